// Tavrel::Config::LoadConfig: the key=value file loader, with optional locking.
//
//   auto r = Tavrel::Config::LoadConfig::load(path, {.keep_locked_open = true});
//   if (!r.data) fail(r.error);
//   ... r.lock holds the file open and locked until it is dropped ...
//
// Format: one "key=value" per line; blank lines and lines whose first
// non-blank character is "#" are skipped; key and value lose surrounding
// blanks (and a trailing carriage return); a line without "=" is a key with
// an empty value. A later line for the same key wins.
#pragma once

#include "Tavrel/Config/LoadTvConf.h"
#include "Tavrel/Foundation/File/Flock.h"

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Config::LoadConfig {

// How long a locked load waits for another holder of the file's lock. When the
// wait runs out, the file is read all the same: the result has the settings,
// no lock, and the time-out as its error (EWOULDBLOCK).
inline double LOCK_TIMEOUT = 60.0;
inline double LOCK_POLL_INTERVAL = 0.05;

struct Options {
    bool keep_locked_open = false;  // return the open file with its exclusive lock held
    bool rw = false;                // open it for update (implies keep_locked_open)
};

struct Result {
    std::optional<TvConf> data;            // nothing when the file could not be read
    std::optional<Foundation::File::Flock> lock;  // the open, locked file when asked for and had
    time_t mtime = 0;                      // modification time of what was read
    int error_number = 0;                  // errno of a failure (ENOENT: missing file)
    std::string error;                     // text of a failure
};

TvConf parse(std::string_view text);
Result load(const std::string& path, Options options = {});

}  // namespace Tavrel::Config::LoadConfig
