// Tavrel::Output::Formatted::Terminal: plain text with the colour of each
// message type, for a person at a terminal. Whether colour is drawn, and how,
// is asked of Tavrel::Output::TerminalColors (which also honours the
// colour-disabling flag files); a callback handle, having no descriptor, never
// gets colour, and _disable_color turns it off for this object. Colour is an
// embellishment: any doubt gives plain text, never an error.
#pragma once

#include "Tavrel/Output/Formatted/Plain.h"

#include <optional>
#include <string>

namespace Tavrel::Output {

class Formatted::Terminal : public Formatted::Plain {
  public:
    Terminal() : Terminal(Options{}) {}
    explicit Terminal(Options options) : Plain(std::move(options)) {}

    std::string class_name() const override { return "Tavrel::Output::Formatted::Terminal"; }

    // No colour from this object from now on.
    void _disable_color() { colour_disabled_ = true; }
    // Forgets this object's colour decision, so the next coloured text asks
    // the colour module again.
    void _clear_cache() { colour_wanted_.reset(); }

  protected:
    std::string _format_text(std::string_view colour, std::string_view text) const override;

  private:
    bool colour_wanted() const;
    bool colour_disabled_ = false;
    mutable std::optional<bool> colour_wanted_;
};

}  // namespace Tavrel::Output
