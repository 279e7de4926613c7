// Tavrel::Run::FindBin: finds a program by name in a fixed list of directories
// (never PATH): the first regular file there that the effective user may run.
//
//   auto sshd = Tavrel::Run::FindBin::findbin("sshd");
//   auto ftpd = Tavrel::Run::FindBin::findbin("proftpd", {"/usr/sbin", "/usr/local/sbin"});
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Run::FindBin {

// Where daemons live on the supported distributions, searched in this order.
inline std::vector<std::string> SEARCH_DIRS = {
    "/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/libexec",
};

// The path of the program, or nothing. An empty `path` means SEARCH_DIRS. A
// name with a "/" is never searched.
std::optional<std::string> findbin(std::string_view name,
                                   const std::vector<std::string>& path = {});

// Whether `path` is a regular file the effective user may execute.
bool is_executable(const std::string& path);

}  // namespace Tavrel::Run::FindBin
