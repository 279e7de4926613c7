#include "Tavrel/Output/ColorSupport.h"

#include "Tavrel/Foundation/Fd/Query.h"

#include "Tavrel/Run/Binaries.h"
#include "Tavrel/Foundation/ProcFs.h"
#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Run/SafeRun/Object.h"

#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace Tavrel::Output::ColorSupport {

namespace {

struct Cache {
    std::optional<bool> stdin_is_terminal;
    std::optional<bool> own_runtime;
    std::optional<bool> disabled_by_flag;
    std::optional<bool> disabled_by_env;
    std::optional<int> current_colors;
    std::map<std::string, std::optional<int>, std::less<>> colors;
};

const std::map<std::string, std::optional<int>, std::less<>>& known_colors() {
    static const std::map<std::string, std::optional<int>, std::less<>> known = {
        {"putty", 8},
        {"xterm", 8},
        {"xterm-color", 8},
        {"xterm-16color", 16},
        {"xterm-256color", 256},
        {"xterm-24", 256},
    };
    return known;
}

Cache& cache() {
    static Cache c = [] {
        Cache fresh;
        fresh.colors = known_colors();
        return fresh;
    }();
    return c;
}

std::optional<int> to_int(std::string_view digits) {
    int value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

bool executable_is_own() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink(Foundation::ProcFs::PROC_PATH + "/self/exe", ec);
    return !ec && !OWN_PROGRAM.empty() && exe.filename() == OWN_PROGRAM;
}

std::optional<int> ask_terminfo(std::string_view terminal) {
    try {
        std::string program = INFOCMP_PATH ? *INFOCMP_PATH : *Run::Binaries::path("infocmp");
        if (::access(program.c_str(), X_OK) != 0)
            return std::nullopt;
        Run::SafeRun::Options options;
        options.program = program;
        // TERM comes from whoever started us: after "--" a value such as
        // "-A/tmp/x" is a terminal name, never an option of the tool.
        options.args = {"-L", "-1", "--", std::string(terminal)};
        options.timeout = TERMINFO_QUERY_TIMEOUT;
        Run::SafeRun::Object run(std::move(options));
        if (run.CHILD_ERROR() != 0)
            return std::nullopt;
        return parse_infocmp_colors(run.stdout_text());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace

bool is_terminal_default(int fd) {
    return Foundation::Fd::Query::is_terminal(fd);
}

bool it_is_safe_to_colorize() {
    Cache& c = cache();
    if (!c.stdin_is_terminal)
        c.stdin_is_terminal = is_terminal && is_terminal(0);
    if (!*c.stdin_is_terminal)
        return false;
    if (!c.own_runtime)
        c.own_runtime = executable_is_own();
    return *c.own_runtime;
}

bool color_disabled_by_flag_file() {
    Cache& c = cache();
    if (!c.disabled_by_flag) {
        c.disabled_by_flag = false;
        for (const auto& path : DISABLE_COLOR_FILES) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0)
                c.disabled_by_flag = true;
        }
    }
    return *c.disabled_by_flag;
}

void note_colour_wish() {
    const char* no_color = std::getenv("NO_COLOR");
    cache().disabled_by_env = no_color != nullptr && *no_color != '\0';
}

bool color_disabled_by_environment() {
    if (!cache().disabled_by_env)
        note_colour_wish();
    return *cache().disabled_by_env;
}

std::optional<int> parse_infocmp_colors(std::string_view output) {
    // infocmp writes large numbers in hexadecimal ("max_colors#0x100" for 256):
    // reading only the leading digits would give 0 colours.
    static const Foundation::Regex re(R"(max_colors\#(?:0x([0-9a-fA-F]+)|(\d+)))");
    auto m = re.match(output);
    if (!m)
        return std::nullopt;
    std::string_view digits = m->has(1) ? (*m)[1] : (*m)[2];
    int base = m->has(1) ? 16 : 10;
    int value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (ec != std::errc() || end != digits.data() + digits.size() || value <= 0)
        return std::nullopt;
    return value;
}

std::optional<int> colors_from_name(std::string_view terminal) {
    static const Foundation::Regex re(R"(([0-9]+)color)");
    auto m = re.match(terminal);
    return m ? to_int((*m)[1]) : std::nullopt;
}

std::optional<int> get_max_colors_for_terminal(std::string_view terminal) {
    if (terminal.empty())
        return std::nullopt;
    auto& colors = cache().colors;
    if (auto it = colors.find(terminal); it != colors.end())
        return it->second;
    std::optional<int> count = ask_terminfo(terminal);
    if (!count)
        count = colors_from_name(terminal);
    colors.emplace(std::string(terminal), count);
    return count;
}

int colors_of_current_terminal() {
    Cache& c = cache();
    if (!c.current_colors) {
        const char* term = std::getenv("TERM");
        c.current_colors = term ? get_max_colors_for_terminal(term).value_or(0) : 0;
    }
    return *c.current_colors;
}

void clear_cache() {
    Cache& c = cache();
    c = Cache{};
    c.colors = known_colors();
}

}  // namespace Tavrel::Output::ColorSupport
