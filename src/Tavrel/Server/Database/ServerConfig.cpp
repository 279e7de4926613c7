#include "Tavrel/Server/Database/ServerConfig.h"

#include "Tavrel/Foundation/LoadFile.h"

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <set>

namespace Tavrel::Server::Database::ServerConfig {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

std::string normal_name(std::string_view name) {
    std::string out;
    for (char c : name)
        out += c == '-' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string unquoted(std::string_view v) {
    v = trim(v);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return std::string(v.substr(1, v.size() - 2));
    // An unquoted value ends at a comment.
    if (size_t hash = v.find(" #"); hash != std::string_view::npos)
        v = trim(v.substr(0, hash));
    return std::string(v);
}

void read_into(const std::string& path, int depth, std::set<std::string>& seen,
               std::vector<Setting>& out) {
    if (depth > MAX_INCLUDE_DEPTH || !seen.insert(path).second)
        return;
    auto text = Foundation::LoadFile::loadfile(path);
    if (!text)
        return;
    for (auto& s : parse(*text)) {
        if (s.group == "!include") {
            read_into(s.value, depth + 1, seen, out);
        } else if (s.group == "!includedir") {
            std::vector<std::string> names;
            if (DIR* d = ::opendir(s.value.c_str())) {
                while (const dirent* e = ::readdir(d)) {
                    std::string_view n = e->d_name;
                    if (n.size() > 4 && n.ends_with(".cnf"))
                        names.emplace_back(n);
                }
                ::closedir(d);
            }
            std::sort(names.begin(), names.end());
            std::string dir = s.value;
            while (dir.size() > 1 && dir.back() == '/')
                dir.pop_back();
            for (const auto& n : names)
                read_into(dir + "/" + n, depth + 1, seen, out);
        } else {
            out.push_back(std::move(s));
        }
    }
}

}  // namespace

std::vector<Setting> parse(std::string_view text) {
    std::vector<Setting> out;
    std::string group;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string_view line =
            trim(text.substr(pos, (nl == std::string_view::npos ? text.size() : nl) - pos));
        pos = nl == std::string_view::npos ? text.size() : nl + 1;
        if (line.empty() || line.front() == '#' || line.front() == ';')
            continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close != std::string_view::npos) {
                group = std::string(trim(line.substr(1, close - 1)));
                for (char& c : group)
                    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
            continue;
        }
        if (line.starts_with("!includedir") || line.starts_with("!include")) {
            bool dir = line.starts_with("!includedir");
            std::string_view rest = trim(line.substr(dir ? 11 : 8));
            if (!rest.empty())
                out.push_back({dir ? "!includedir" : "!include", "", std::string(rest)});
            continue;
        }
        size_t eq = line.find('=');
        std::string_view name = trim(line.substr(0, eq));
        std::string value = eq == std::string_view::npos ? "" : unquoted(line.substr(eq + 1));
        if (!name.empty())
            out.push_back({group, normal_name(name), std::move(value)});
    }
    return out;
}

std::vector<Setting> read(const std::vector<std::string>& files) {
    std::vector<Setting> out;
    std::set<std::string> seen;
    for (const auto& f : files)
        read_into(f, 0, seen, out);
    return out;
}

std::optional<std::string> option(std::string_view name, const std::vector<std::string>& files) {
    const std::string wanted = normal_name(name);
    std::optional<std::string> found;
    for (auto& s : read(files))
        if (s.name == wanted &&
            std::find(SERVER_GROUPS.begin(), SERVER_GROUPS.end(), s.group) != SERVER_GROUPS.end())
            found = std::move(s.value);
    return found;
}

}  // namespace Tavrel::Server::Database::ServerConfig
