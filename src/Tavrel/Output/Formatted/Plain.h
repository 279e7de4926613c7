// Tavrel::Output::Formatted::Plain: plain text, no colour, lines ended by a
// newline, one tab per indent level.
#pragma once

#include "Tavrel/Output/Formatted.h"

namespace Tavrel::Output {

class Formatted::Plain : public Formatted {
  public:
    Plain() : Plain(Options{}) {}
    explicit Plain(Options options) : Formatted(std::move(options)) {}

    std::string class_name() const override { return "Tavrel::Output::Formatted::Plain"; }

  protected:
    std::string_view _new_line() const override { return "\n"; }
    std::string_view _indent_unit() const override { return "\t"; }
};

}  // namespace Tavrel::Output
