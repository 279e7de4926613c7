// Tavrel::Output::Console: makes an output object the run's reader of the
// lines that code below the output layer sends (Tavrel/Foundation/Console.h:
// the logger's echo, the progress of ending processes), so that standard
// output carries the output object's text and nothing else: records under
// --json, lines of their own in text.
//
//   auto out = std::make_shared<Tavrel::Output::Base>();
//   Tavrel::Output::Console::attach(out);
//
// The object is held weakly: once it is gone, such lines go to standard
// error again.
#pragma once

#include "Tavrel/Output/Base.h"

#include <memory>

namespace Tavrel::Output::Console {

void attach(const std::shared_ptr<Base>& output);

}  // namespace Tavrel::Output::Console
