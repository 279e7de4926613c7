// Tavrel::Foundation::Validate::AnyAllMatcher: applies a yes/no question to a list of
// names and combines the answers, "all" (the default) or "any".
//
//   Query s{{"imap", "pop"}, "any"};
//   int on = Tavrel::Foundation::Validate::AnyAllMatcher::match(s, [](auto& n) { return is_on(n); });
//
// An answer counts as yes when it is not 0 (so an undetermined -1 counts as
// yes). An empty list matches under "all" and not under "any". A mode other
// than "all", "any" or empty is Param::Invalid naming "match".
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace Tavrel::Foundation::Validate::AnyAllMatcher {

struct Query {
    std::vector<std::string> items;
    std::string match;  // "all" (or empty) or "any"
};

int match(const Query& query, const std::function<int(const std::string&)>& question);

}  // namespace Tavrel::Foundation::Validate::AnyAllMatcher
