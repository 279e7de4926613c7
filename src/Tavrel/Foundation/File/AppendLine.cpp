#include "Tavrel/Foundation/File/AppendLine.h"

#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/File/Open.h"
#include "Tavrel/Foundation/IO/Flush.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace Tavrel::Foundation::File::AppendLine {

std::optional<std::string> append_line(const std::string& path, std::string_view line) {
    if (auto slash = path.rfind('/'); slash != std::string::npos && slash > 0)
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    Fd::UniqueFd fd;
    if (!Open::sysopen_with_real_perms(fd, path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY, 0600))
        return std::string(std::strerror(errno));
    int write_error = 0;
    if (IO::Flush::append_record(fd.get(), line, &write_error))
        return std::nullopt;
    if (write_error != 0)
        return std::string(std::strerror(write_error));
    return std::string("only part of the line fitted (a full file system or a file size limit)");
}

}  // namespace Tavrel::Foundation::File::AppendLine
