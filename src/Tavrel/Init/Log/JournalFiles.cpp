#include "Tavrel/Init/Log/JournalFiles.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fstream>

namespace Tavrel::Init::Log::JournalFiles {

namespace {

// The journal file format's header: its signature, the size it declares,
// and where the last entry's wall-clock time is kept (little endian).
constexpr std::string_view SIGNATURE = "LPKSHHRH";
constexpr std::size_t HEADER_SIZE_AT = 88;
constexpr std::size_t TAIL_ENTRY_REALTIME_AT = 192;
constexpr std::size_t HEADER_READ = 208;

std::uint64_t little_endian_64(std::string_view bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i)
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

std::optional<std::string> machine_id() {
    std::ifstream in(MACHINE_ID_FILE);
    std::string id;
    if (!(in >> id) || id.size() != 32 ||
        !std::all_of(id.begin(), id.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    return id;
}

bool is_journal_file(const std::string& name) {
    return name.size() > 8 && name.compare(name.size() - 8, 8, ".journal") == 0;
}

enum class Folder { Missing, Judged, Unjudged };

// Adds the files of one folder written since the moment.
Folder select_in(const std::string& folder, std::uint64_t since_us, Selection& chosen) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return errno == ENOENT ? Folder::Missing : Folder::Unjudged;
    Folder judged = Folder::Judged;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!is_journal_file(name))
            continue;
        const std::string path = folder + "/" + name;
        Foundation::Fd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        struct stat st {};
        std::array<char, HEADER_READ> header{};
        const ssize_t got = fd.get() < 0 ? -1 : ::pread(fd.get(), header.data(), header.size(), 0);
        const auto last = got > 0 ? last_entry_time({header.data(), static_cast<std::size_t>(got)})
                                  : std::nullopt;
        if (!last || ::fstat(fd.get(), &st) != 0) {
            judged = Folder::Unjudged;
            break;
        }
        if (*last >= since_us) {
            chosen.paths.push_back(path);
            chosen.identities.emplace_back(st.st_dev, st.st_ino);
        }
    }
    ::closedir(dir);
    return judged;
}

}  // namespace

std::optional<std::uint64_t> last_entry_time(std::string_view header) {
    if (header.size() < HEADER_READ || header.substr(0, SIGNATURE.size()) != SIGNATURE ||
        little_endian_64(header, HEADER_SIZE_AT) < HEADER_READ)
        return std::nullopt;
    return little_endian_64(header, TAIL_ENTRY_REALTIME_AT);
}

bool Selection::still_in(const Selection& later) const {
    for (std::size_t i = 0; i < paths.size(); ++i) {
        bool found = false;
        for (std::size_t j = 0; j < later.paths.size() && !found; ++j)
            found = later.paths[j] == paths[i] && later.identities[j] == identities[i];
        if (!found)
            return false;
    }
    return true;
}

std::optional<Selection> written_since(const std::vector<std::string>& dirs, std::uint64_t since_us) {
    const auto id = machine_id();
    if (!id)
        return std::nullopt;
    Selection chosen;
    bool any_folder = false;
    for (const auto& dir : dirs) {
        const Folder folder = select_in(dir + "/" + *id, since_us, chosen);
        if (folder == Folder::Unjudged)
            return std::nullopt;
        any_folder = any_folder || folder == Folder::Judged;
    }
    // Without this machine's folder the journal lies elsewhere: no choice.
    if (!any_folder)
        return std::nullopt;
    return chosen;
}

}  // namespace Tavrel::Init::Log::JournalFiles
