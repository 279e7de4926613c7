// Tavrel::Output::Formatted::Terminal: plain text with the colour of each
// message type, for a person at a terminal. Colour is used only when the
// colour module says the output descriptor wants it (a callback handle never
// does), when neither colour-disabling flag file exists, and when
// _disable_color was not called. Colour is an embellishment: any doubt gives
// plain text, never an error.
#pragma once

#include "Tavrel/Output/Formatted/Plain.h"

#include <string>

namespace Tavrel::Output {

class Formatted::Terminal : public Formatted::Plain {
  public:
    // Either file existing turns colour off for every terminal output object.
    static inline std::string NO_COLOR_FLAG_FILE = "/usr/local/tavrel/etc/nocolor";
    static inline std::string DISABLE_COLOR_FLAG_FILE = "/usr/local/tavrel/etc/disable_color";

    Terminal() : Terminal(Options{}) {}
    explicit Terminal(Options options) : Plain(std::move(options)) {}

    std::string class_name() const override { return "Tavrel::Output::Formatted::Terminal"; }

    // No colour from this object from now on.
    void _disable_color() { colour_disabled_ = true; }
    // Forgets the cached flag-file decision, so the next message looks again.
    static void _clear_cache();

  protected:
    std::string _format_text(std::string_view colour, std::string_view text) const override;

  private:
    bool colour_wanted() const;
    bool colour_disabled_ = false;
};

}  // namespace Tavrel::Output
