#include "Tavrel/Server/Database/ClientConfig.h"

#include "Tavrel/Foundation/LoadFile.h"
#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Server::Database::ClientConfig {

bool is_remote_mysql() {
    static const Foundation::Regex section(R"(^\s*\[\s*([^\]\s]+)\s*\])");
    static const Foundation::Regex host(R"(^\s*host\s*=\s*["']?([^"'\s]*))");
    auto text = Foundation::LoadFile::loadfile(MY_CNF);
    if (!text)
        return false;
    std::string current;
    std::string found;
    size_t pos = 0;
    while (pos < text->size()) {
        size_t nl = text->find('\n', pos);
        std::string_view line(text->data() + pos,
                              (nl == std::string::npos ? text->size() : nl) - pos);
        pos = nl == std::string::npos ? text->size() : nl + 1;
        if (auto m = section.match(line)) {
            current = std::string((*m)[1]);
        } else if (current == "client") {
            if (auto h = host.match(line))
                found = std::string((*h)[1]);
        }
    }
    return !(found.empty() || found == "localhost" || found == "127.0.0.1" || found == "::1" ||
             found == "localhost.localdomain" || found.front() == '/');
}

}  // namespace Tavrel::Server::Database::ClientConfig
