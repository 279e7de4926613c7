#include "Tavrel/Output/Formatted.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/Text/Printable.h"
#include "Tavrel/Output/Terminal.h"

#include <vector>

namespace Tavrel::Output {

namespace detail {

std::string fit_to_width(std::string_view text, std::size_t width, bool right_align) {
    std::size_t chars = 0;
    std::size_t cut = text.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
        if (continuation)
            continue;
        if (chars == width) {
            cut = i;
            break;
        }
        ++chars;
    }
    std::string fitted(text.substr(0, cut));
    std::string padding(width - chars, ' ');
    return right_align ? padding + fitted : fitted + padding;
}

}  // namespace detail

namespace {

bool is_error_grade(std::string_view type) {
    return type == TYPE_ERROR || type == "fatal" || type == "die" || type == "panic";
}

std::string_view colour_for(std::string_view type, const Source& source) {
    if (is_error_grade(type))
        return Terminal::COLOR_ERROR;
    if (type == TYPE_WARN)
        return Terminal::COLOR_WARN;
    if (type == TYPE_SUCCESS)
        return Terminal::COLOR_SUCCESS;
    if (type == TYPE_HEADER)
        return Terminal::COLOR_HEADER;
    if (source.is_object() && source.contains("host"))
        return Terminal::COLOR_REMOTE;
    return "";
}

bool is_known_type(std::string_view type) {
    return is_error_grade(type) || type == TYPE_WARN || type == TYPE_SUCCESS ||
           type == TYPE_HEADER || type == TYPE_OUT || type == TYPE_DEBUG;
}

std::string value_text(const nlohmann::ordered_json& value) {
    if (value.is_string())
        return value.get<std::string>();
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// A message of a type the formatted classes do not draw specially: one line
// naming the type, then the text or the members of the map.
std::string describe_other_type(std::string_view type, const Contents& contents) {
    std::string line(type);
    line += ":";
    if (!contents.is_map())
        return line + " " + contents.text();
    for (const auto& [name, value] : contents.json().items())
        line += " " + name + "=" + value_text(value);
    return line;
}

// Pieces between newlines; trailing empty pieces are dropped, and no pieces
// at all means one empty line.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) {
            lines.push_back(text.substr(pos));
            break;
        }
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.empty())
        lines.emplace_back();
    return lines;
}

}  // namespace

Formatted::Formatted(Options options) : Base(std::move(options)) {
    reset();
}

void Formatted::reset() {
    reset_indent_level();
    last_message_had_newline_ = true;
}

void Formatted::message(std::string_view type, const Contents& contents,
                        std::optional<Source> source, Partial partial) {
    message(type, contents, std::move(source), partial, PREPENDED_MESSAGE);
}

void Formatted::message(std::string_view type, const Contents& contents,
                        std::optional<Source> source, Partial partial, Prepend prepend) {
    // Deciding on colour probes the terminal and flag files; a message leaves
    // the caller's errno alone.
    Foundation::ErrnoGuard keep_errno;
    const Source& src = source ? *source : this->source();
    if (!is_known_type(type)) {
        _safe_render_message(describe_other_type(type, contents), "", partial, prepend);
        return;
    }
    _safe_render_message(contents.text(), colour_for(type, src), partial, prepend);
}

void Formatted::console_line(std::string_view, std::string_view text) {
    Foundation::ErrnoGuard keep_errno;
    if (!last_message_had_newline_) {
        write_text(_new_line());
        last_message_had_newline_ = true;
    }
    _safe_render_message(text, "", COMPLETE_MESSAGE, NOT_PREPENDED_MESSAGE);
}

std::string Formatted::format_message(std::string_view colour, std::string_view text) const {
    return _format_text(colour, text);
}

std::string Formatted::_format_text(std::string_view, std::string_view text) const {
    return std::string(text);
}

std::string Formatted::_indent() const {
    std::string indent;
    for (int i = 0; i < get_indent_level(); ++i)
        indent += _indent_unit();
    return indent;
}

// Every line but the last is terminated. The last one is terminated unless the
// message is partial; a partial message of a single line that ends with a
// newline has ended its line all the same. A multi-line partial message leaves
// its last line open for the next message, trailing newline or not.
void Formatted::_safe_render_message(std::string_view text, std::string_view colour,
                                     Partial partial, Prepend prepend) {
    const bool ends_with_newline = !text.empty() && text.back() == '\n';
    const std::vector<std::string_view> lines = split_lines(text);
    const bool terminate_last =
        partial != PARTIAL_MESSAGE || (lines.size() == 1 && ends_with_newline);

    std::string drawn;
    bool at_line_start = last_message_had_newline_;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const bool terminate = i + 1 < lines.size() || terminate_last;
        if (at_line_start) {
            // A continued line already has its prefixes and indent.
            if (parent())
                drawn += parent_prefix();
            drawn += _indent();
            if (prepend == PREPENDED_MESSAGE && !_prepend_message().empty())
                drawn += _format_text("", _prepend_message());
        }
        // Text drawn here comes from daemons and logs too (startup logs,
        // log messages, command lines in a status): a control character in
        // it would reach the terminal raw and could clear the screen, retitle
        // the window or hide text behind a carriage return, so it is shown
        // escaped. Colour is added after, by this object alone.
        if (!lines[i].empty())
            drawn += format_message(colour, Foundation::Text::printable(lines[i], Foundation::Text::KEEP_TAB));
        if (terminate)
            drawn += _new_line();
        at_line_start = terminate;
    }
    last_message_had_newline_ = at_line_start;
    write_text(drawn);
}

const std::string& Formatted::cached_fit(FitCache& cache, const std::string& raw, std::size_t width,
                                         bool right_align) {
    if (!cache.valid || cache.raw != raw) {
        cache.raw = raw;
        cache.fitted = detail::fit_to_width(raw, width, right_align);
        cache.valid = true;
    }
    return cache.fitted;
}

std::string Formatted::parent_prefix() {
    const ParentContext& p = *parent();
    std::string queue_child = p.queue;
    if (!p.queue.empty() && !p.child_number.empty())
        queue_child += ":";
    queue_child += p.child_number;

    std::string prefix = cached_fit(fmt_cache_pid_, std::to_string(p.pid), 6, true);
    prefix += "|" + cached_fit(fmt_cache_queue_child_number_, queue_child, 10, false);
    prefix += "|" + cached_fit(fmt_cache_item_name_, p.item_name, 1, false);
    prefix += "|" + cached_fit(fmt_cache_item_, p.item, 16, false);
    return _format_text(::Tavrel::Output::Terminal::COLOR_PARENT, prefix) + _format_text("", " ");
}

}  // namespace Tavrel::Output
