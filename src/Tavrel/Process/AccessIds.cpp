#include "Tavrel/Process/AccessIds.h"

#include "Tavrel/Process/AccessIds/SetUids.h"
#include "Tavrel/Foundation/PlainError.h"

#include <string>

namespace Tavrel::Process::AccessIds {

Run::ForkSync::Value runasuser(std::string_view user, const Run::ForkSync::Function& work) {
    const std::string account(user);
    auto run = Run::ForkSync::new_quiet([&]() {
        SetUids::setuids(account);
        return work();
    });
    if (run.had_error() || !run.return_value()) {
        std::string why = run.exception_text();
        if (why.empty())
            why = run.retrieve_error();
        throw Foundation::PlainError("The work as \"" + account + "\" failed: " + why);
    }
    return *run.return_value();
}

}  // namespace Tavrel::Process::AccessIds
