#include "Tavrel/Cli/OutputObject.h"

#include "Tavrel/Output/Console.h"
#include "Tavrel/Output/Formatted/HTML.h"
#include "Tavrel/Output/Formatted/Terminal.h"
#include "Tavrel/Cli/Parseargv.h"

namespace Tavrel::Cli {

namespace {

std::shared_ptr<Output::Base> made_for(const ParsedArgv& parsed) {
    if (parsed.json)
        return std::make_shared<Output::Base>();
    if (parsed.html)
        return std::make_shared<Output::Formatted::HTML>();
    return std::make_shared<Output::Formatted::Terminal>();
}

}  // namespace

std::shared_ptr<Output::Base> output_object_for(const ParsedArgv& parsed) {
    auto out = made_for(parsed);
    Output::Console::attach(out);
    return out;
}

}  // namespace Tavrel::Cli
