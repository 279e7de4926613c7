// Tavrel::OS::All: the table of supported distribution releases and their facts.
//
//   if (const Facts* f = Tavrel::OS::All::find("debian", "12")) ...
#pragma once

#include "Tavrel/OS/Facts.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tavrel::OS::All {

// Every supported (distro, major) pair, in table order.
const std::vector<std::pair<std::string, std::string>>& supported_distros();

// The facts of one release, or nullptr when the release is not supported.
const Facts* find(std::string_view distro, std::string_view major);

// The facts used for any system the table does not know.
const Facts& generic();

}  // namespace Tavrel::OS::All
