#include "Tavrel/Cli/BinCheck.h"

#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/Regex.h"

#include <cstdlib>
#include <fstream>
#include <iostream>

namespace Tavrel::Cli::BinCheck {

std::optional<std::string> basemem() {
    std::ifstream in(Foundation::ProcFs::PROC_PATH + "/" + STATUS_FILE);
    static const Foundation::Regex field_value(R"(^(\S+):\s*(\d+))");
    for (std::string line; std::getline(in, line);) {
        auto m = field_value.match(line);
        if (m && (*m)[1] == MEMORY_FIELD)
            return std::string((*m)[2]);
    }
    return std::nullopt;
}

std::optional<int> handle(std::string_view argument, std::ostream& out) {
    if (argument == BINCHECK_SWITCH) {
        out << BINCHECK_TEXT << "\n";
        return 0;
    }
    if (argument == BASEMEM_SWITCH) {
        out << basemem().value_or("0") << "\n";
        return 0;
    }
    return std::nullopt;
}

void process(const char* argument) {
    if (!argument)
        return;
    if (auto status = handle(argument, std::cout)) {
        std::cout.flush();
        std::exit(*status);
    }
}

}  // namespace Tavrel::Cli::BinCheck
