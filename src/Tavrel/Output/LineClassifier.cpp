#include "Tavrel/Output/LineClassifier.h"

#include "Tavrel/Foundation/Regex.h"

namespace Tavrel::Output::LineClassifier {

bool is_error(std::string_view line) {
    static const Foundation::Regex re(
        R"((?:(?:(?<!log-)error|(?<![a-zA-Z\.])err)[\]\s:]|:\s*bad \S+ name|\* (?:DIE|FATAL)|\] E ))");
    return re.test(line);
}

bool is_warning(std::string_view line) {
    static const Foundation::Regex re(R"((?:warn(?:ing)?[\]\s:]|\] W ))");
    return re.test(line);
}

Kind classify(std::string_view line) {
    if (is_error(line))
        return Kind::Error;
    if (is_warning(line))
        return Kind::Warning;
    return Kind::Plain;
}

}  // namespace Tavrel::Output::LineClassifier
