#include "testsupport/FakeProc.h"

#include "Tavrel/Foundation/ProcFs.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace Tavrel::TestSupport {

namespace {

// Links every entry of the directory `from` into `to`. With `copy_links`, an
// entry that is itself a link gets the same target instead (readlink on it
// then answers as on the real one); without, it points at the entry, which
// keeps the kernel's per-reader links ("self") answering for their reader.
void link_entries(const std::string& from, const std::string& to, bool copy_links) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(from.c_str()), ::closedir);
    if (!dir)
        throw std::runtime_error("FakeProc: cannot list " + from);
    while (const struct dirent* e = ::readdir(dir.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string source = from + "/" + name;
        const std::string link = to + "/" + name;
        struct stat st {};
        if (::lstat(source.c_str(), &st) != 0)
            continue;  // gone meanwhile
        std::string target = source;
        if (copy_links && S_ISLNK(st.st_mode)) {
            std::error_code ec;
            target = std::filesystem::read_symlink(source, ec).string();
            if (ec)
                continue;  // another account's process: unreadable, as in the real tree
        }
        if (::symlink(target.c_str(), link.c_str()) != 0)
            throw std::runtime_error("FakeProc: cannot link " + link);
    }
}

}  // namespace

FakeProc::FakeProc(Kind kind) : saved_(Foundation::ProcFs::PROC_PATH) {
    if (kind == MIRROR)
        link_entries(saved_, dir_.path(), false);
    Foundation::ProcFs::PROC_PATH = dir_.path();
}

FakeProc::~FakeProc() { Foundation::ProcFs::PROC_PATH = saved_; }

void FakeProc::unfold(const std::string& relpath) {
    const std::string here = dir_ / relpath;
    std::filesystem::remove(here);
    std::filesystem::create_directory(here);
    link_entries(saved_ + "/" + relpath, here, true);
}

std::string FakeProc::write(const std::string& relpath, const std::string& content) {
    // Every directory on the way that is a mirrored link becomes a real one.
    for (std::size_t slash = relpath.find('/'); slash != std::string::npos;
         slash = relpath.find('/', slash + 1)) {
        const std::string prefix = relpath.substr(0, slash);
        if (std::filesystem::is_symlink(dir_ / prefix))
            unfold(prefix);
    }
    std::error_code ec;
    if (std::filesystem::is_symlink(dir_ / relpath, ec))
        std::filesystem::remove(dir_ / relpath);
    return dir_.write(relpath, content);
}

}  // namespace Tavrel::TestSupport
