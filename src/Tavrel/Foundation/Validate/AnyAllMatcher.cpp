#include "Tavrel/Foundation/Validate/AnyAllMatcher.h"

#include "Tavrel/Foundation/Exception.h"

namespace Tavrel::Foundation::Validate::AnyAllMatcher {

int match(const Query& query, const std::function<int(const std::string&)>& question) {
    bool any = query.match == "any";
    if (!any && !query.match.empty() && query.match != "all") {
        throw Exception::create(
            "Param::Invalid", "The “[_1]” mode must be “[_2]” or “[_3]”.", {"match", "all", "any"},
            {{"name", "match"}, {"value", query.match}});
    }
    for (const std::string& item : query.items) {
        bool yes = question(item) != 0;
        if (any && yes)
            return 1;
        if (!any && !yes)
            return 0;
    }
    return any ? 0 : 1;
}

}  // namespace Tavrel::Foundation::Validate::AnyAllMatcher
