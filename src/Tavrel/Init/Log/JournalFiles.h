// Tavrel::Init::Log::JournalFiles: the journal files that can hold a run's
// lines, so that reading them never opens the whole journal.
//
//   auto files = JournalFiles::written_since(JOURNAL_DIRS, since_us);
//   if (files) for (auto& f : files->paths) args.push_back("--file=" + f);
//
// A busy server keeps hundreds of megabytes of journal in many files, most of
// them archived long ago and no longer in the page cache. journalctl opens
// and searches every one of them for a unit's lines, --since or not (a cold
// journal of 500 MB: a tenth of a second). Each file's header holds the time
// of its last entry, so the files written to since a moment are known from
// the first page of each.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel::Init::Log::JournalFiles {

// This machine's id: its journal is the folder of that name in each journal
// directory, the one journalctl reads by default.
inline std::string MACHINE_ID_FILE = "/etc/machine-id";

// The wall-clock time, in microseconds, of the last entry that a journal
// file's header records; nothing when the bytes are not such a header.
std::optional<std::uint64_t> last_entry_time(std::string_view header);

struct Selection {
    std::vector<std::string> paths;
    // Each file's identity as chosen: a file that journald renames and
    // replaces afterwards (a rotation) makes a later selection differ.
    std::vector<std::pair<dev_t, ino_t>> identities;
    // Whether every file chosen here is still in `later` under its path: a
    // file renamed away since holds lines a read by path would miss.
    bool still_in(const Selection& later) const;
};

// The journal files of this machine, in `dirs`, whose last entry is at or
// after `since_us`; nothing when that cannot be told (no machine id, no
// folder of it, a file whose header cannot be read), and the caller then
// reads the journal whole.
std::optional<Selection> written_since(const std::vector<std::string>& dirs, std::uint64_t since_us);

}  // namespace Tavrel::Init::Log::JournalFiles
