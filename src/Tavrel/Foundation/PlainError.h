// Tavrel::Foundation::PlainError: a programming fault (bad argument, wrong calling context,
// unknown program name): a text and the stack trace at the throw site. Service
// and system failures use the typed Tavrel::Foundation::Exception family instead.
#pragma once

#include <stdexcept>
#include <string>

namespace Tavrel::Foundation {

class PlainError : public std::runtime_error {
public:
    explicit PlainError(const std::string& message);
    const std::string& longmess() const { return longmess_; }

private:
    std::string longmess_;
};

}  // namespace Tavrel::Foundation
