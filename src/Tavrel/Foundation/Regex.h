// Tavrel::Foundation::Regex: the one wrapper over PCRE2. Every pattern of the system goes
// through it (never std::regex): patterns are Perl-compatible and compiled once.
// A pattern is JIT-compiled only once it has earned it (JIT_AFTER_MATCHES
// matches, or one subject of JIT_SUBJECT_BYTES or more): most runs of the
// program match a pattern a handful of times, and compiling machine code for
// each costs more than those matches.
//
//   static const Tavrel::Foundation::Regex re(R"(^(?<name>\w+)=(.*)$)");
//   if (auto m = re.match(line)) { use(m->named("name"), (*m)[2]); }
//
// Compile errors throw std::invalid_argument naming the pattern: a bad pattern
// is a programming fault.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Foundation {

namespace RegexSettings {
// Matches of one pattern after which it is JIT-compiled (0: at the first).
inline unsigned JIT_AFTER_MATCHES = 32;
// A subject at least this long is worth JIT-compiling for at once.
inline std::size_t JIT_SUBJECT_BYTES = 16384;
}  // namespace RegexSettings

class Regex {
public:
    enum Flags : unsigned {
        NONE = 0,
        CASELESS = 1u << 0,
        MULTILINE = 1u << 1,
        DOTALL = 1u << 2,
        EXTENDED = 1u << 3,
    };

    // The result of one match: numbered groups (0 = whole match) and named groups.
    // Views point into the subject, which must outlive the Match.
    class Match {
    public:
        std::string_view operator[](std::size_t group) const;
        bool has(std::size_t group) const;  // the group took part in the match
        std::string_view named(std::string_view name) const;
        bool has_named(std::string_view name) const;
        std::size_t size() const { return groups_.size(); }
        std::size_t start(std::size_t group = 0) const;
        std::size_t end(std::size_t group = 0) const;

    private:
        friend class Regex;
        const Regex* re_ = nullptr;
        std::string_view subject_;
        std::vector<std::pair<std::size_t, std::size_t>> groups_;  // npos when unset
    };

    explicit Regex(std::string_view pattern, unsigned flags = NONE);
    ~Regex();
    Regex(Regex&&) noexcept;
    Regex& operator=(Regex&&) noexcept;
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // First match at or after `offset`, or nothing.
    std::optional<Match> match(std::string_view subject, std::size_t offset = 0) const;
    bool test(std::string_view subject) const;
    // Every non-overlapping match, left to right.
    std::vector<Match> match_all(std::string_view subject) const;

    // Replace the first (or every) match. In the replacement, $1, ${1}, ${name}
    // stand for captured groups and $$ for a dollar sign.
    std::string replace(std::string_view subject, std::string_view replacement,
                        bool global = false) const;

    const std::string& pattern() const { return pattern_; }
    int group_number(std::string_view name) const;  // -1 when the name is unknown
    // Matching runs JIT-compiled code (it has earned it, and the platform has JIT).
    bool jit_compiled() const;

    // The literal text as a pattern that matches exactly that text.
    static std::string escape(std::string_view literal);

private:
    struct Impl;
    std::string pattern_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tavrel::Foundation
