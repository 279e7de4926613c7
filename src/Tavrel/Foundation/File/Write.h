// Tavrel::Foundation::File::Write: atomic file writes.
//
//   Tavrel::Foundation::File::Write::overwrite(path, text, 0644);   // replace
//   Tavrel::Foundation::File::Write::write(path, text);             // create, 0600
//   Tavrel::Foundation::File::Write::overwrite(path, text,
//       {0600, [](int fd) { ::fsync(fd); }});                // hook before install
//
// The content goes to a temporary file created exclusively, with exactly the
// permissions asked for, in the target's directory; it is complete before it
// is put in place, so readers see the old or the new file, never a partial
// one. overwrite() renames it over the target; write() hard-links it to the
// target name (failing when the target exists) and removes the temporary
// name. A path that is a symbolic link is resolved and its final target
// written, so the link survives. SIGXFSZ is ignored while writing, so a file
// over the size limit fails with EFBIG instead of ending the process. On any
// failure the temporary file is removed.
#pragma once

#include "Tavrel/Foundation/Fd/UniqueFd.h"

#include <sys/types.h>
#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <string_view>

namespace Tavrel::Foundation::File::Write {

inline constexpr mode_t DEFAULT_PERMISSIONS = 0600;
inline int MAX_TMPFILE_CREATE_ATTEMPTS = 1024;
inline constexpr unsigned long TMPFILE_RANDOM_RANGE = 99999999;
// Hidden prefix of the temporary names, followed by a random number.
inline std::string TMPFILE_PREFIX = ".tavrel_write_tmp.";

// The third argument: a permission number, or permissions plus a hook run
// with the written descriptor before the file is put in place (a throw from
// the hook aborts the write and removes the temporary file).
struct Options {
    Options(mode_t perms = DEFAULT_PERMISSIONS) : permissions(perms) {}  // NOLINT: implicit
    Options(mode_t perms, std::function<void(int fd)> hook)
        : permissions(perms), before_installation(std::move(hook)) {}
    mode_t permissions;
    std::function<void(int fd)> before_installation;
};

// Content to write: a text, a pointer to a text, or a dynamic (JSON) value,
// which must hold a string; any other kind is refused with Param::Invalid
// naming its type.
class Content {
  public:
    Content(const char* text) : text_(text) {}         // NOLINT: implicit
    Content(std::string_view text) : text_(text) {}    // NOLINT: implicit
    Content(const std::string& text) : text_(text) {}  // NOLINT: implicit
    Content(const std::string* text);                  // NOLINT: implicit
    Content(const nlohmann::json& value);              // NOLINT: implicit
    std::string_view text() const { return text_; }

  private:
    std::string_view text_;
};

// Replaces `path` atomically; returns the still-open (write-only) descriptor.
Fd::UniqueFd overwrite(const std::string& path, const Content& content,
                            const Options& options = {});
// Creates `path` atomically; fails (Io::LinkFailed, EEXIST) when it exists.
Fd::UniqueFd write(const std::string& path, const Content& content,
                        const Options& options = {});
// overwrite(), but a failure is logged as a warning and an empty descriptor
// returned.
Fd::UniqueFd overwrite_no_exceptions(const std::string& path, const Content& content,
                                          const Options& options = {}) noexcept;
// Rewrites an open file in place: seek to 0, write, truncate at the new end.
bool write_fh(int fd, const Content& content);

}  // namespace Tavrel::Foundation::File::Write
