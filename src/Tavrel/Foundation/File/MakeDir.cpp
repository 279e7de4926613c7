#include "Tavrel/Foundation/File/MakeDir.h"

#include "Tavrel/Foundation/File/UmaskGuard.h"

#include <sys/stat.h>

#include <cerrno>

namespace Tavrel::Foundation::File::MakeDir {

namespace {

bool is_real_directory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_one(const std::string& path, mode_t permissions) {
    int rc;
    {
        UmaskGuard mask(static_cast<mode_t>(~permissions & 07777));
        rc = ::mkdir(path.c_str(), permissions & 07777);
    }
    if (rc == 0)
        return true;
    if (errno == EEXIST) {
        if (is_real_directory(path))
            return true;
        errno = EEXIST;
    }
    return false;
}

}  // namespace

bool safemkdir(const std::string& path, mode_t permissions, const Options& options) {
    const int saved = errno;
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    if (is_real_directory(path)) {
        errno = saved;
        return true;
    }
    if (options.parents) {
        // Every missing ancestor, from the top down.
        for (std::string::size_type slash = path.find('/', 1); slash != std::string::npos;
             slash = path.find('/', slash + 1)) {
            const std::string parent = path.substr(0, slash);
            if (parent.empty() || parent.back() == '/')
                continue;
            struct stat st {};
            if (::stat(parent.c_str(), &st) == 0)
                continue;
            if (!make_one(parent, permissions))
                return false;
        }
    }
    if (!make_one(path, permissions))
        return false;
    errno = saved;
    return true;
}

}  // namespace Tavrel::Foundation::File::MakeDir
