// Tavrel::SafeRun::Errors: the three standard-error policies of
// Tavrel::SafeRun::Simple under their own names, for callers that only want
// those.
//
//   auto text = Tavrel::SafeRun::Errors::saferunnoerror({"/usr/bin/dpkg-query", "-W", "cron"});
#pragma once

#include "Tavrel/Run/SafeRun/Simple.h"

namespace Tavrel::SafeRun::Errors {

using Simple::saferunallerrors;
using Simple::saferunnoerror;
using Simple::saferunonlyerrors;

}  // namespace Tavrel::SafeRun::Errors
