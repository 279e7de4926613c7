#include "Tavrel/ZidavovEva/OutputObject.h"

#include "Tavrel/Output/Formatted/HTML.h"
#include "Tavrel/Output/Formatted/Terminal.h"

namespace Tavrel::ZidavovEva {

std::unique_ptr<Output::Formatted> get_formatted_output_object(
    const std::vector<std::string>& args) {
    for (const auto& arg : args)
        if (arg.find("html") != std::string::npos)
            return std::make_unique<Output::Formatted::HTML>();
    return std::make_unique<Output::Formatted::Terminal>();
}

}  // namespace Tavrel::ZidavovEva
