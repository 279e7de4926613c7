#define PCRE2_CODE_UNIT_WIDTH 8
#include "Tavrel/Foundation/Regex.h"

#include <pcre2.h>

#include <atomic>
#include <cctype>
#include <mutex>
#include <stdexcept>

namespace Tavrel::Foundation {

namespace {

std::string pcre2_error_text(int code) {
    PCRE2_UCHAR buffer[256];
    pcre2_get_error_message(code, buffer, sizeof buffer);
    return reinterpret_cast<const char*>(buffer);
}

struct MatchDataDeleter {
    void operator()(pcre2_match_data* data) const { pcre2_match_data_free(data); }
};
using MatchDataPtr = std::unique_ptr<pcre2_match_data, MatchDataDeleter>;

// The offset just past the character at `offset`: an empty match must move
// on by a whole UTF-8 character, or the next match could start (and a
// replacement be inserted) in the middle of one.
std::size_t next_character(std::string_view subject, std::size_t offset) {
    ++offset;
    while (offset < subject.size() &&
           (static_cast<unsigned char>(subject[offset]) & 0xC0) == 0x80) {
        ++offset;
    }
    return offset;
}

}  // namespace

struct Regex::Impl {
    pcre2_code* code = nullptr;
    uint32_t capture_count = 0;
    // The JIT-compiled copy, once made. A copy rather than `code` itself, so
    // that a match running at that moment in another thread never sees the
    // pattern change under it.
    std::atomic<pcre2_code*> jit{nullptr};
    std::atomic<unsigned> matches{0};
    std::once_flag jit_once;
    ~Impl() {
        if (pcre2_code* j = jit.load())
            pcre2_code_free(j);
        if (code)
            pcre2_code_free(code);
    }

    // The code to match `subject_size` bytes with: the JIT copy when there is
    // one or when this match earns it, else the interpreted pattern.
    const pcre2_code* for_match(std::size_t subject_size) {
        if (const pcre2_code* j = jit.load(std::memory_order_acquire))
            return j;
        const unsigned n = matches.fetch_add(1, std::memory_order_relaxed) + 1;
        if (n <= RegexSettings::JIT_AFTER_MATCHES &&
            subject_size < RegexSettings::JIT_SUBJECT_BYTES)
            return code;
        std::call_once(jit_once, [this] {
            pcre2_code* copy = pcre2_code_copy(code);
            // JIT is an optimisation only; a platform without it still matches.
            if (copy && pcre2_jit_compile(copy, PCRE2_JIT_COMPLETE) == 0)
                jit.store(copy, std::memory_order_release);
            else if (copy)
                pcre2_code_free(copy);
        });
        const pcre2_code* j = jit.load(std::memory_order_acquire);
        return j ? j : code;
    }
};

Regex::Regex(std::string_view pattern, unsigned flags) : pattern_(pattern), impl_(new Impl) {
    uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (flags & CASELESS)
        options |= PCRE2_CASELESS;
    if (flags & MULTILINE)
        options |= PCRE2_MULTILINE;
    if (flags & DOTALL)
        options |= PCRE2_DOTALL;
    if (flags & EXTENDED)
        options |= PCRE2_EXTENDED;
    int error_code = 0;
    PCRE2_SIZE error_offset = 0;
    impl_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern_.data()), pattern_.size(),
                                options, &error_code, &error_offset, nullptr);
    if (!impl_->code) {
        throw std::invalid_argument("invalid regular expression \"" + pattern_ + "\" at offset " +
                                    std::to_string(error_offset) + ": " +
                                    pcre2_error_text(error_code));
    }
    pcre2_pattern_info(impl_->code, PCRE2_INFO_CAPTURECOUNT, &impl_->capture_count);
}

Regex::~Regex() = default;
Regex::Regex(Regex&&) noexcept = default;
Regex& Regex::operator=(Regex&&) noexcept = default;

std::optional<Regex::Match> Regex::match(std::string_view subject, std::size_t offset) const {
    if (offset > subject.size())
        return std::nullopt;
    MatchDataPtr data(pcre2_match_data_create_from_pattern(impl_->code, nullptr));
    if (!data)
        throw std::bad_alloc();
    int rc = pcre2_match(impl_->for_match(subject.size()),
                         reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                         offset, 0, data.get(), nullptr);
    if (rc == PCRE2_ERROR_NOMATCH)
        return std::nullopt;
    if (rc < 0) {
        throw std::runtime_error("regular expression \"" + pattern_ +
                                 "\" failed: " + pcre2_error_text(rc));
    }
    PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    Match m;
    m.re_ = this;
    m.subject_ = subject;
    m.groups_.reserve(impl_->capture_count + 1);
    for (uint32_t i = 0; i <= impl_->capture_count; ++i) {
        if (static_cast<int>(i) < rc && ovector[2 * i] != PCRE2_UNSET) {
            m.groups_.emplace_back(ovector[2 * i], ovector[2 * i + 1]);
        } else {
            m.groups_.emplace_back(std::string_view::npos, std::string_view::npos);
        }
    }
    return m;
}

bool Regex::test(std::string_view subject) const {
    return match(subject).has_value();
}

std::vector<Regex::Match> Regex::match_all(std::string_view subject) const {
    std::vector<Match> all;
    std::size_t offset = 0;
    while (offset <= subject.size()) {
        auto m = match(subject, offset);
        if (!m)
            break;
        std::size_t end = m->end();
        // An empty match must still move forward, or the loop never ends.
        offset = end == m->start() ? next_character(subject, end) : end;
        all.push_back(std::move(*m));
    }
    return all;
}

bool Regex::jit_compiled() const { return impl_->jit.load(std::memory_order_acquire) != nullptr; }

int Regex::group_number(std::string_view name) const {
    std::string key(name);
    int n =
        pcre2_substring_number_from_name(impl_->code, reinterpret_cast<PCRE2_SPTR>(key.c_str()));
    return n < 0 ? -1 : n;
}

std::string Regex::replace(std::string_view subject, std::string_view replacement,
                           bool global) const {
    std::string out;
    std::size_t copied = 0;
    std::size_t offset = 0;
    while (offset <= subject.size()) {
        auto m = match(subject, offset);
        if (!m)
            break;
        out.append(subject.substr(copied, m->start() - copied));
        for (std::size_t i = 0; i < replacement.size(); ++i) {
            char c = replacement[i];
            if (c != '$' || i + 1 >= replacement.size()) {
                out += c;
                continue;
            }
            char next = replacement[i + 1];
            if (next == '$') {
                out += '$';
                ++i;
            } else if (next >= '0' && next <= '9') {
                std::size_t j = i + 1;
                std::size_t group = 0;
                while (j < replacement.size() && replacement[j] >= '0' && replacement[j] <= '9') {
                    group = group * 10 + static_cast<std::size_t>(replacement[j] - '0');
                    ++j;
                }
                if (group < m->size())
                    out.append((*m)[group]);
                i = j - 1;
            } else if (next == '{') {
                std::size_t close = replacement.find('}', i + 2);
                if (close == std::string_view::npos) {
                    out += c;
                    continue;
                }
                std::string_view ref = replacement.substr(i + 2, close - i - 2);
                bool numeric = !ref.empty() && ref.size() < 6 &&
                               ref.find_first_not_of("0123456789") == ref.npos;
                int group = numeric ? std::stoi(std::string(ref)) : group_number(ref);
                if (group >= 0 && static_cast<std::size_t>(group) < m->size()) {
                    out.append((*m)[static_cast<std::size_t>(group)]);
                }
                i = close;
            } else {
                out += c;
            }
        }
        copied = m->end();
        if (m->end() == m->start()) {
            std::size_t next = next_character(subject, m->end());
            if (m->end() < subject.size())
                out.append(subject.substr(m->end(), next - m->end()));
            copied = next;
            offset = next;
        } else {
            offset = m->end();
        }
        if (!global)
            break;
    }
    if (copied < subject.size())
        out.append(subject.substr(copied));
    return out;
}

std::string Regex::escape(std::string_view literal) {
    std::string out;
    out.reserve(literal.size() * 2);
    // Every ASCII character other than a letter, digit or underscore is
    // escaped (a backslash before such a character always means the character
    // itself), so white space survives EXTENDED patterns too. Bytes of
    // multi-byte characters pass unchanged.
    for (char c : literal) {
        auto u = static_cast<unsigned char>(c);
        if (c == '\0') {
            out += "\\x00";
            continue;
        }
        if (u < 0x80 && !std::isalnum(u) && c != '_')
            out += '\\';
        out += c;
    }
    return out;
}

std::string_view Regex::Match::operator[](std::size_t group) const {
    if (!has(group))
        return {};
    return subject_.substr(groups_[group].first, groups_[group].second - groups_[group].first);
}

bool Regex::Match::has(std::size_t group) const {
    return group < groups_.size() && groups_[group].first != std::string_view::npos;
}

std::string_view Regex::Match::named(std::string_view name) const {
    int n = re_->group_number(name);
    return n < 0 ? std::string_view() : (*this)[static_cast<std::size_t>(n)];
}

bool Regex::Match::has_named(std::string_view name) const {
    int n = re_->group_number(name);
    return n >= 0 && has(static_cast<std::size_t>(n));
}

std::size_t Regex::Match::start(std::size_t group) const {
    return group < groups_.size() ? groups_[group].first : std::string_view::npos;
}

std::size_t Regex::Match::end(std::size_t group) const {
    return group < groups_.size() ? groups_[group].second : std::string_view::npos;
}

}  // namespace Tavrel::Foundation
