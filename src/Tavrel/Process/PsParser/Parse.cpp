#include "Tavrel/Process/PsParser/Parse.h"

#include <cctype>
#include <charconv>

namespace Tavrel::Process::PsParser::Parse {

namespace {

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

std::optional<size_t> field_start(std::string_view text) {
    size_t close = text.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    size_t pos = close + 1;
    if (pos < text.size() && text[pos] == ' ')
        ++pos;
    while (pos < text.size() && is_space(text[pos]))
        ++pos;
    if (pos >= text.size())
        return std::nullopt;
    return pos;
}

}  // namespace

char Stat::state() const {
    return fields.empty() || fields[0].empty() ? '?' : fields[0][0];
}

long long Stat::number(size_t index) const {
    if (index >= fields.size())
        return 0;
    const std::string& f = fields[index];
    long long value = 0;
    auto [ptr, ec] = std::from_chars(f.data(), f.data() + f.size(), value);
    (void)ptr;
    return ec == std::errc() ? value : 0;
}

std::optional<Stat> stat(std::string_view text) {
    auto start = field_start(text);
    if (!start)
        return std::nullopt;
    Stat out;
    std::string_view head = text.substr(0, text.rfind(')'));
    size_t i = 0;
    while (i < head.size() && std::isdigit(static_cast<unsigned char>(head[i])))
        ++i;
    size_t j = i;
    while (j < head.size() && is_space(head[j]))
        ++j;
    if (i > 0 && j > i) {  // drop the "pid (" prefix
        if (j < head.size() && head[j] == '(')
            ++j;
        head.remove_prefix(j);
    }
    out.name = std::string(head);
    std::string_view rest = text.substr(*start);
    size_t p = 0;
    while (p < rest.size()) {
        while (p < rest.size() && is_space(rest[p]))
            ++p;
        size_t q = p;
        while (q < rest.size() && !is_space(rest[q]))
            ++q;
        if (q > p)
            out.fields.emplace_back(rest.substr(p, q - p));
        p = q;
    }
    if (out.fields.empty())
        return std::nullopt;
    return out;
}

std::optional<char> stat_state(std::string_view text) {
    auto start = field_start(text);
    if (!start)
        return std::nullopt;
    return text[*start];
}

std::string command_from_cmdline(std::string_view raw) {
    std::string out(raw);
    for (char& c : out)
        if (c == '\0')
            c = ' ';
    size_t end = out.size();
    while (end > 0 && is_space(out[end - 1]))
        --end;
    out.resize(end);
    return out;
}

std::vector<std::string> cmdline_words(std::string_view raw) {
    std::vector<std::string> words;
    size_t p = 0;
    while (p < raw.size()) {
        size_t q = raw.find('\0', p);
        if (q == std::string_view::npos)
            q = raw.size();
        words.emplace_back(raw.substr(p, q - p));
        p = q + 1;
    }
    while (!words.empty() && words.back().empty())
        words.pop_back();
    return words;
}

std::optional<long long> statm_resident(std::string_view text) {
    size_t p = 0;
    while (p < text.size() && is_space(text[p]))
        ++p;
    while (p < text.size() && !is_space(text[p]))
        ++p;  // size
    if (p == 0)
        return std::nullopt;
    while (p < text.size() && is_space(text[p]))
        ++p;
    long long value = 0;
    auto [ptr, ec] = std::from_chars(text.data() + p, text.data() + text.size(), value);
    if (ec != std::errc() || ptr == text.data() + p)
        return std::nullopt;
    return value;
}

}  // namespace Tavrel::Process::PsParser::Parse
