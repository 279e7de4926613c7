// Tavrel::ZidavovEva::Argv: the process-wide argument list. The entry program
// stores the command line once; the checks that ask "was this run given
// such a word?" read it here instead of being handed argv through every
// layer.
//
//   Tavrel::ZidavovEva::_set_argv({"--verbose", "crond"});
//   if (Tavrel::ZidavovEva::argv_contains("--ignore-systemd")) ...
//   {
//       Tavrel::ZidavovEva::ArgvGuard lent({"--status"});   // replaced for this scope
//       ...
//   }                                                       // previous list back
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::ZidavovEva {

const std::vector<std::string>& _get_argv();
void _set_argv(std::vector<std::string> arguments);
// Some argument equals `word` exactly.
bool argv_contains(std::string_view word);

// Replaces the argument list until it goes out of scope, also while an
// exception unwinds.
class [[nodiscard]] ArgvGuard final {
  public:
    explicit ArgvGuard(std::vector<std::string> arguments);
    ~ArgvGuard();
    ArgvGuard(const ArgvGuard&) = delete;
    ArgvGuard& operator=(const ArgvGuard&) = delete;

  private:
    std::vector<std::string> saved_;
};

}  // namespace Tavrel::ZidavovEva
