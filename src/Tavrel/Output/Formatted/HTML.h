// Tavrel::Output::Formatted::HTML: the output drawn as an HTML fragment for a
// web page. Every text it writes (message texts, service names, log lines,
// the parent-context prefix) is escaped, so foreign text can never become
// markup. Lines end with "<br />" and a newline; each indent level is four
// non-breaking spaces; colours become inline styles on a span.
//
//   <span style="color:#dc322f;font-weight:bold">Job for httpd failed</span><br />
#pragma once

#include "Tavrel/Output/Formatted.h"

#include <string>
#include <string_view>

namespace Tavrel::Output {

class Formatted::HTML : public Formatted {
  public:
    HTML() : HTML(Options{}) {}
    explicit HTML(Options options) : Formatted(std::move(options)) {}

    std::string class_name() const override { return "Tavrel::Output::Formatted::HTML"; }

    // `text` with &, <, >, " and ' replaced by character references.
    static std::string escape(std::string_view text);
    // The inline style of a colour description (see Tavrel/Output/Terminal.h);
    // words without a style are ignored, so the result is always safe markup.
    static std::string style_for(std::string_view colour);

  protected:
    std::string _format_text(std::string_view colour, std::string_view text) const override;
    std::string_view _new_line() const override { return "<br />\n"; }
    std::string_view _indent_unit() const override { return "&nbsp;&nbsp;&nbsp;&nbsp;"; }
};

}  // namespace Tavrel::Output
