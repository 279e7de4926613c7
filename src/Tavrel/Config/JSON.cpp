#include "Tavrel/Config/JSON.h"

#include "Tavrel/Foundation/Autodie.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Foundation/IO/Flush.h"
#include "Tavrel/Foundation/LoadFile/ReadFast.h"
#include "Tavrel/Foundation/PlainError.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Tavrel::Config::JSON {

namespace {

constexpr auto kReplace = nlohmann::json::error_handler_t::replace;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Drops comments outside strings and escapes literal tabs inside them.
std::string strip_comments(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    bool in_string = false;
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (in_string) {
            if (c == '\\' && i + 1 < in.size()) {
                out += c;
                out += in[++i];
            } else if (c == '\t') {
                out += "\\t";
            } else {
                if (c == '"')
                    in_string = false;
                out += c;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
            out += c;
        } else if (c == '#' || (c == '/' && i + 1 < in.size() && in[i + 1] == '/')) {
            while (i < in.size() && in[i] != '\n')
                ++i;
            out += '\n';
        } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '*') {
            const size_t end = in.find("*/", i + 2);
            i = end == std::string_view::npos ? in.size() : end + 1;
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

// Removes a comma whose next non-blank character closes an array or object.
std::string drop_trailing_commas(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    bool in_string = false;
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (in_string) {
            if (c == '\\' && i + 1 < in.size()) {
                out += c;
                out += in[++i];
                continue;
            }
            if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == ',') {
            size_t j = i + 1;
            while (j < in.size() && is_space(in[j]))
                ++j;
            if (j < in.size() && (in[j] == ']' || in[j] == '}'))
                continue;
        }
        out += c;
    }
    return out;
}

Value parse(std::string_view text, const std::string& path, bool relaxed) {
    try {
        if (relaxed)
            return Value::parse(drop_trailing_commas(strip_comments(text)));
        return Value::parse(text);
    } catch (const nlohmann::json::exception& e) {
        Foundation::Exception::Metadata md{{"error", e.what()}};
        if (!path.empty())
            md.emplace_back("path", path);
        md.emplace_back("text", std::string(text));
        throw Foundation::Exception::create_raw("JSONParseError",
                                    std::string("The JSON ") +
                                        (path.empty() ? "text" : "file \"" + path + "\"") +
                                        " could not be decoded: " + e.what(),
                                    std::move(md));
    }
}

std::string read_whole(int fd, const std::string& path) {
    std::string text;
    try {
        Foundation::LoadFile::ReadFast::read_all_fast(fd, text);
    } catch (const Foundation::PlainError& e) {
        throw Foundation::PlainError("Could not read the JSON file \"" + path + "\": " + e.what());
    }
    if (text.empty())
        throw Foundation::PlainError("The JSON file \"" + path + "\" is empty");
    return text;
}

Value load_file(const std::string& path, bool relaxed) {
    const int saved = errno;
    Foundation::Fd::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw Foundation::PlainError("Could not open the JSON file \"" + path + "\": " + std::strerror(errno));
    }
    Value v = parse(read_whole(fd.get(), path), path, relaxed);
    errno = saved;
    return v;
}

}  // namespace

Value Load(std::string_view text, const std::string& path) {
    return parse(text, path, false);
}

Value LoadRelaxed(std::string_view text, const std::string& path) {
    return parse(text, path, true);
}

Value LoadNoSetUTF8(std::string_view text, const std::string& path) {
    return parse(text, path, false);
}

Value LoadNoSetUTF8Relaxed(std::string_view text, const std::string& path) {
    return parse(text, path, true);
}

Value LoadFile(const std::string& path) {
    return load_file(path, false);
}

Value LoadFile(int fd, const std::string& path) {
    const std::string name = path.empty() ? "descriptor " + std::to_string(fd) : path;
    return parse(read_whole(fd, name), path, false);
}

Value LoadFileRelaxed(const std::string& path) {
    return load_file(path, true);
}

Value LoadFileNoSetUTF8(const std::string& path) {
    return load_file(path, false);
}

Value SafeLoadFile(const std::string& path) {
    return load_file(path, false);
}

std::string Dump(const Value& value) {
    return value.dump(-1, ' ', false, kReplace);
}

std::string Dump(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, kReplace);
}

std::string pretty_dump(const Value& value) {
    return value.dump(2, ' ', false, kReplace) + "\n";
}

std::string pretty_dump(const nlohmann::ordered_json& value) {
    return value.dump(2, ' ', false, kReplace) + "\n";
}

// Value keeps object keys sorted, so its plain dump is already canonical.
std::string canonical_dump(const Value& value) {
    return Dump(value);
}

std::string canonical_dump(const nlohmann::ordered_json& value) {
    return Dump(Value(value));
}

std::string pretty_canonical_dump(const Value& value) {
    return pretty_dump(value);
}

std::string SafeDump(const Value& value) {
    const std::string plain = Dump(value);
    std::string out;
    out.reserve(plain.size() + 8);
    for (char c : plain) {
        if (c == '/')
            out += '\\';
        out += c;
    }
    return out;
}

bool DumpFile(int fd, const Value& value) {
    Foundation::IO::Flush::write_all(fd, Dump(value));
    return true;
}

bool DumpFile(const std::string& path, const Value& value) {
    auto fd = Foundation::Autodie::sysopen(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return DumpFile(fd.get(), value);
}

bool looks_like_json(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    if (i == text.size())
        return false;
    const char c = text[i];
    return c == '[' || c == '{' || c == '"' || (c >= '0' && c <= '9');
}

bool looks_like_json_fd(int fd) {
    const int saved = errno;
    char buf[4096];
    off_t at = 0;
    bool answer = false;
    for (;;) {
        ssize_t n = ::pread(fd, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string_view chunk(buf, static_cast<size_t>(n));
        size_t i = 0;
        while (i < chunk.size() && is_space(chunk[i]))
            ++i;
        if (i < chunk.size()) {
            answer = looks_like_json(chunk.substr(i));
            break;
        }
        at += n;
    }
    errno = saved;
    return answer;
}

}  // namespace Tavrel::Config::JSON
