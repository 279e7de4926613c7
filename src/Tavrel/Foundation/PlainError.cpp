#include "Tavrel/Foundation/PlainError.h"

#include "Tavrel/Foundation/StackTrace.h"

namespace Tavrel::Foundation {

PlainError::PlainError(const std::string& message)
    : std::runtime_error(message), longmess_(StackTrace::capture_text(1)) {}

}  // namespace Tavrel::Foundation
