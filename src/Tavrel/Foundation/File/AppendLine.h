// Tavrel::Foundation::File::AppendLine: one line added to a private log file
// of the program, whole or not at all.
//
//   if (auto why = AppendLine::append_line("/var/log/zidavoveva/history", line))
//       warn("not recorded: " + *why);
//
// The file is created 0600 and its folder, when missing, 0700; neither is
// ever opened through a symbolic link. The line is one append-mode write, so
// lines of parallel runs never mix, and a write that only part of the line
// fits into (a full file system) is cut back off (IO::Flush::append_record).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace Tavrel::Foundation::File::AppendLine {

// Nothing when the line was written; else why not, in words.
std::optional<std::string> append_line(const std::string& path, std::string_view line);

}  // namespace Tavrel::Foundation::File::AppendLine
