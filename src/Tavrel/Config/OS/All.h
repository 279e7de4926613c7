// Tavrel::Config::OS::All: the table of supported distribution releases and their facts.
//
//   if (const Facts* f = Tavrel::Config::OS::All::find("debian", "12")) ...
//   auto later = Tavrel::Config::OS::All::inherit("debian", "14");  // Debian 13's facts, as "Debian 14"
#pragma once

#include "Tavrel/Config/OS/Facts.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel::Config::OS::All {

// Every supported (distro, major) pair, in table order.
const std::vector<std::pair<std::string, std::string>>& supported_distros();

// The facts of one release, or nullptr when the release is not supported.
const Facts* find(std::string_view distro, std::string_view major);

// The facts an unknown release inherits from its family: those of the same
// distribution's nearest listed release (the newer one on a tie), or, for a
// rebuild the table does not list (CentOS Stream, Oracle Linux), those of the
// family's nearest release, renamed for the release asked about. Nothing for
// a distribution of no known family.
std::optional<Facts> inherit(std::string_view distro, std::string_view major);

// The facts used for any system the table does not know.
const Facts& generic();

}  // namespace Tavrel::Config::OS::All
