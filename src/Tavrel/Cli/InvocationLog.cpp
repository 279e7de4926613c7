#include "Tavrel/Cli/InvocationLog.h"

#include "Tavrel/Foundation/File/AppendLine.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/ProcFs.h"

#include <cstdio>

namespace Tavrel::Cli::InvocationLog {

std::string clean_command_line(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    bool gap = false;
    for (char ch : raw) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < '!' || c > '~') {
            gap = true;
            continue;
        }
        if (gap && !out.empty())
            out += ' ';
        gap = false;
        out += ch;
    }
    return out;
}

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string format_record(const std::string& timestamp, const std::string& program,
                          const std::vector<std::string>& args, pid_t ppid,
                          const std::string& parent_command_line) {
    std::string line = "[" + timestamp + "] " + escape(program);
    for (const auto& a : args)
        line += " " + escape(a);
    line += "; ppid " + std::to_string(ppid) + ": " + clean_command_line(parent_command_line) + "\n";
    return line;
}

std::string parent_command_line(pid_t ppid) {
    auto raw = Foundation::ProcFs::path(Foundation::ProcFs::PROC_PATH + "/" + std::to_string(ppid) + "/cmdline");
    if (!raw)
        return UNKNOWN_PARENT;
    std::string cleaned = clean_command_line(*raw);
    return cleaned.empty() ? UNKNOWN_PARENT : cleaned;
}

bool record(const std::string& program, const std::vector<std::string>& args, pid_t ppid) {
    const std::string line =
        format_record(Foundation::Logger::get_timestamp(), program, args, ppid, parent_command_line(ppid));
    return !Foundation::File::AppendLine::append_line(LOG_FILE, line);
}

}  // namespace Tavrel::Cli::InvocationLog
