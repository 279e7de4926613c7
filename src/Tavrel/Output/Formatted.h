// Tavrel::Output::Formatted: the human-readable output objects. A message is
// drawn as text lines with the indentation of the object, the colour of its
// type, an optional class prefix and, when the object has a parent context, a
// fixed-width prefix naming that context. Partial lines are tracked across
// calls: a partial message leaves its line open, and the next message
// continues it without a new indent.
//
//   Formatted::Plain out;
//   out.output_partial("Waiting ");
//   out.output_partial(".");
//   out.output(" done");        // "Waiting . done\n"
//
// A partial line is continued by the next message, whatever its type: the
// progress dots of a restart are closed on the same line by the word that
// tells how it went ("Restarting httpd ... " then success("done")).
//
// The drawing itself (indent unit, line terminator, colour) belongs to the
// subclasses: Plain, Terminal and HTML.
#pragma once

#include "Tavrel/Output/Base.h"

#include <string>
#include <string_view>

namespace Tavrel::Output {

class Formatted : public Base {
  public:
    class Plain;
    class Terminal;
    class HTML;

    // The indent goes before the class prefix.
    static constexpr bool INDENT_AFTER_PREPEND = false;

    explicit Formatted(Options options = {});

    std::string class_name() const override { return "Tavrel::Output::Formatted"; }

    void message(std::string_view type, const Contents& contents,
                 std::optional<Source> source = std::nullopt,
                 Partial partial = COMPLETE_MESSAGE) override;
    void message(std::string_view type, const Contents& contents, std::optional<Source> source,
                 Partial partial, Prepend prepend);

    // A line of its own: a line this object left open is ended first, and
    // the text is drawn at the current indent without colour or prefix.
    void console_line(std::string_view kind, std::string_view text) override;

    // `text` drawn in `colour` (a colour description, see
    // Tavrel/Output/Terminal.h); empty colour means none.
    std::string format_message(std::string_view colour, std::string_view text) const;

    // Indent level 0 and at the start of a line.
    void reset();
    bool last_message_had_newline() const { return last_message_had_newline_; }

  protected:
    virtual std::string _format_text(std::string_view colour, std::string_view text) const;
    virtual std::string_view _prepend_message() const { return ""; }
    virtual std::string_view _new_line() const = 0;
    virtual std::string_view _indent_unit() const = 0;
    std::string _indent() const;

    // Draws `text` line by line and writes it (see Formatted.cpp).
    void _safe_render_message(std::string_view text, std::string_view colour, Partial partial,
                              Prepend prepend);

  private:
    struct FitCache {
        std::string raw;
        std::string fitted;
        bool valid = false;
    };
    std::string parent_prefix();
    static const std::string& cached_fit(FitCache& cache, const std::string& raw, std::size_t width,
                                         bool right_align);

    bool last_message_had_newline_ = true;
    FitCache fmt_cache_pid_;
    FitCache fmt_cache_queue_child_number_;
    FitCache fmt_cache_item_name_;
    FitCache fmt_cache_item_;
};

namespace detail {
// `text` cut to `width` characters (UTF-8 sequences count as one) and padded
// with spaces to exactly `width` characters, on the right or, when
// `right_align`, on the left.
std::string fit_to_width(std::string_view text, std::size_t width, bool right_align = false);
}  // namespace detail

}  // namespace Tavrel::Output
