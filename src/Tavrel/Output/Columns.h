// Tavrel::Output::Columns: rows of cells as plain-text columns, each as wide
// as its widest cell, two spaces apart; no line ends in spaces.
//
//   Columns::aligned({{"SERVICE", "PID"}, {"crond", "412"}});
//   // "SERVICE  PID\ncrond    412\n"
#pragma once

#include <string>
#include <vector>

namespace Tavrel::Output::Columns {

std::string aligned(const std::vector<std::vector<std::string>>& lines);

}  // namespace Tavrel::Output::Columns
