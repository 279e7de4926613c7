// Tavrel::Run::SafeRun::Errors: the three standard-error policies of
// Tavrel::Run::SafeRun::Simple under their own names, for callers that only want
// those.
//
//   auto text = Tavrel::Run::SafeRun::Errors::saferunnoerror({"/usr/bin/dpkg-query", "-W", "cron"});
#pragma once

#include "Tavrel/Run/SafeRun/Simple.h"

namespace Tavrel::Run::SafeRun::Errors {

using Simple::saferunallerrors;
using Simple::saferunnoerror;
using Simple::saferunonlyerrors;

}  // namespace Tavrel::Run::SafeRun::Errors
