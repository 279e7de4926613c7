#include "Tavrel/Cli/OutputObject.h"

#include "Tavrel/Output/Formatted/HTML.h"
#include "Tavrel/Output/Formatted/Terminal.h"
#include "Tavrel/Cli/Parseargv.h"

namespace Tavrel::Cli {

std::shared_ptr<Output::Base> output_object_for(const ParsedArgv& parsed) {
    if (parsed.json)
        return std::make_shared<Output::Base>();
    if (parsed.html)
        return std::make_shared<Output::Formatted::HTML>();
    return std::make_shared<Output::Formatted::Terminal>();
}

}  // namespace Tavrel::Cli
