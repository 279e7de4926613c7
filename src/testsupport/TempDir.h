// A temporary directory for one test, removed with everything in it when the
// object goes out of scope.
#pragma once

#include <string>

namespace Tavrel::TestSupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Writes `content` to path()/name (creating parent folders) and returns the full path.
    std::string write(const std::string& name, const std::string& content) const;
    static std::string read(const std::string& path);

private:
    std::string path_;
};

}  // namespace Tavrel::TestSupport
