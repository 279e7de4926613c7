// Tavrel::Foundation::LoadFile: whole-file readers.
//
//   std::string text = Tavrel::Foundation::LoadFile::load(path);         // throws
//   auto maybe = Tavrel::Foundation::LoadFile::load_if_exists(path);     // nullopt if missing
//   auto forgiving = Tavrel::Foundation::LoadFile::loadfile(path);       // never throws
//
// The strict forms throw Io::NotFound (missing file, error ENOENT),
// Io::OpenFailed, Io::ReadFailed or Io::SeekFailed, each with "path" and
// "error". They read with large unbuffered reads (LoadFile::ReadFast). An
// offset seeks before reading; a length reads at most that many bytes.
// Returned strings are moved out, so the "_r" forms (which return a
// reference to the content elsewhere) are the same calls here.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace Tavrel::Foundation::LoadFile {

std::string load(const std::string& path, off_t offset = 0,
                 std::optional<size_t> length = std::nullopt);
std::optional<std::string> load_if_exists(const std::string& path, off_t offset = 0,
                                          std::optional<size_t> length = std::nullopt);
inline std::string load_r(const std::string& path, off_t offset = 0,
                          std::optional<size_t> length = std::nullopt) {
    return load(path, offset, length);
}
inline std::optional<std::string> load_r_if_exists(const std::string& path, off_t offset = 0,
                                                   std::optional<size_t> length = std::nullopt) {
    return load_if_exists(path, offset, length);
}

// The forgiving forms: nothing when the file cannot be opened or read.
struct LoadOptions {
    bool binmode = true;  // bytes as they are (text is never translated on Linux)
};
std::optional<std::string> loadfile(const std::string& path, LoadOptions options = {});
std::optional<std::string> loadbinfile(const std::string& path);
// The lines, each without its newline.
std::optional<std::vector<std::string>> loadfileasarrayref(const std::string& path);
// Copies the file's content to `out_fd`; false when it cannot be read or written.
bool slurpfile(int out_fd, const std::string& path);

}  // namespace Tavrel::Foundation::LoadFile
