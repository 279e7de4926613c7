#include "Tavrel/Catalogue/Definition.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Service/Base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace Tavrel::Catalogue {

namespace {

[[noreturn]] void load_failed(const std::string& module, const std::string& reason) {
    throw Foundation::Exception::create("Module::LoadFailed", {{"module", module}, {"error", reason}});
}

std::string module_of(const std::string& path) {
    std::string base = path.substr(path.rfind('/') + 1);
    if (base.size() > Definition::SUFFIX.size() &&
        base.compare(base.size() - Definition::SUFFIX.size(), std::string::npos,
                     Definition::SUFFIX) == 0)
        base.resize(base.size() - Definition::SUFFIX.size());
    return base;
}

std::size_t line_at(const std::string& text, std::size_t byte) {
    byte = std::min(byte, text.size());
    return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + byte, '\n'));
}

// Why the directory `path` (lstat `st`) lets someone other than root change
// what it holds; nothing when it does not. `sticky_may_be_shared`: a sticky
// directory writable by all is fine (nobody may rename another's entry).
std::optional<std::string> untrusted_directory(const std::string& path, const struct stat& st,
                                               bool sticky_may_be_shared) {
    if (S_ISLNK(st.st_mode))
        return path + " is a symbolic link";
    if (!S_ISDIR(st.st_mode))
        return path + " is not a directory";
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return path + " belongs to another account (uid " + std::to_string(st.st_uid) + ")";
    if ((st.st_mode & 022) != 0 && !(sticky_may_be_shared && (st.st_mode & S_ISVTX) != 0))
        return path + " may be written by its group or others";
    return std::nullopt;
}

[[noreturn]] void directory_refused(const std::string& module, const std::string& reason) {
    load_failed(module, "every service definition in " + Definition::DIR + " is ignored, because " +
                            reason + ". Make " + Definition::DIR +
                            " and each directory above it a real directory that only root owns "
                            "and may write.");
}

}  // namespace

std::optional<std::string> Definition::untrusted_directory_reason() {
    std::string dir = DIR;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    for (bool is_definitions_dir = true;; is_definitions_dir = false) {
        struct stat st {};
        if (::lstat(dir.c_str(), &st) != 0) {
            if (is_definitions_dir && (errno == ENOENT || errno == ENOTDIR))
                return std::nullopt;
            return dir + " cannot be examined (" + std::strerror(errno) + ")";
        }
        if (auto why = untrusted_directory(dir, st, !is_definitions_dir))
            return why;
        const auto slash = dir.rfind('/');
        if (dir == "/" || slash == std::string::npos)
            return std::nullopt;
        dir = slash == 0 ? "/" : dir.substr(0, slash);
    }
}

std::optional<Definition> Definition::find(const std::string& module_word) {
    const std::string name = module_word + SUFFIX;
    const std::string path = DIR + "/" + name;
    const std::string module = module_word;
    if (auto why = untrusted_directory_reason())
        directory_refused(module, *why);
    // The directory as it was examined: opened without following a link and
    // looked at again, so a swap after the look above is refused too.
    Foundation::Fd::UniqueFd dir_fd(::open(DIR.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!dir_fd) {
        if (errno == ENOENT)
            return std::nullopt;
        directory_refused(module, DIR + " cannot be opened as a directory (" + std::strerror(errno) + ")");
    }
    struct stat dir_st {};
    if (::fstat(dir_fd.get(), &dir_st) != 0)
        load_failed(module, DIR + ": " + std::strerror(errno));
    if (auto why = untrusted_directory(DIR, dir_st, false))
        directory_refused(module, *why);
    Foundation::Fd::UniqueFd fd(
        ::openat(dir_fd.get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        load_failed(module, path + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        load_failed(module, path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode))
        load_failed(module, path + ": not a regular file");
    if ((st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & 022) != 0)
        load_failed(module, path + ": must be owned by root and writable by no one else");
    if (static_cast<std::size_t>(st.st_size) > MAX_SIZE)
        load_failed(module, path + ": larger than " + std::to_string(MAX_SIZE) + " bytes");
    std::string text;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            load_failed(module, path + ": " + std::strerror(errno));
        if (n == 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > MAX_SIZE)
            load_failed(module, path + ": larger than " + std::to_string(MAX_SIZE) + " bytes");
    }
    return parse(path, text);
}

Definition Definition::parse(const std::string& path, const std::string& text) {
    Definition d;
    d.path_ = path;
    d.module_ = module_of(path);
    d.text_ = text;
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text, nullptr, true, /*ignore_comments=*/true);
    } catch (const nlohmann::json::parse_error& e) {
        // The library's text repeats the position; the line is what a person needs.
        std::string what = e.what();
        if (auto at = what.find("syntax error"); at != std::string::npos)
            what = what.substr(at);
        d.fail(line_at(text, e.byte == 0 ? 0 : e.byte - 1), "not valid JSON: " + what);
    } catch (const nlohmann::json::exception& e) {
        // A number too large for any number type (406) names its digits.
        std::string what = e.what();
        if (auto at = what.find("] "); at != std::string::npos)
            what = what.substr(at + 2);
        std::size_t line = 1;
        if (auto open = what.find('\''), close = what.rfind('\'');
            open != std::string::npos && close > open + 1) {
            const auto at = text.find(what.substr(open + 1, close - open - 1));
            if (at != std::string::npos)
                line = line_at(text, at);
        }
        d.fail(line, "not usable JSON: " + what);
    }
    if (!doc.is_object())
        d.fail(1, "the definition must be a JSON object of attribute names and values");
    for (auto& [key, value] : doc.items()) {
        if (key == HOT_KEY) {
            if (!value.is_boolean())
                d.fail(d.line_of(key), "“" + HOT_KEY + "” must be true or false");
            d.hot_ = value.get<bool>();
            continue;
        }
        d.attributes_[key] = value;
    }
    return d;
}

void Definition::apply(Tavrel::Service::Base& object) const {
    for (auto& [key, value] : attributes_.items()) {
        bool known = false;
        try {
            known = object.set_attribute(key, value);
        } catch (const Foundation::Exception& e) {
            fail(line_of(key), "wrong value for the attribute “" + key + "”: " + e.to_string_no_id());
        }
        if (!known)
            fail(line_of(key), "unknown attribute “" + key + "”");
    }
}

void Definition::fail(std::size_t line, const std::string& reason) const {
    load_failed(module_, path_ + " line " + std::to_string(line) + ": " + reason);
}

std::size_t Definition::line_of(std::string_view key) const {
    const Foundation::Regex member("\"" + Foundation::Regex::escape(key) + "\"\\s*:");
    if (auto m = member.match(text_))
        return line_at(text_, m->start());
    return 1;
}

}  // namespace Tavrel::Catalogue
