#include "Tavrel/Process/Proc/Basename.h"

#include <cctype>

namespace Tavrel::Process::Proc::Basename {

std::string getbasename(std::string_view word) {
    for (size_t i = 0; i < word.size(); ++i) {
        if (std::isspace(static_cast<unsigned char>(word[i]))) {
            word = word.substr(0, i);
            break;
        }
    }
    if (!word.empty() && word.front() == '/')
        word.remove_prefix(word.rfind('/') + 1);
    return std::string(word);
}

}  // namespace Tavrel::Process::Proc::Basename
