#include "Tavrel/Output/Base.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Output/LineClassifier.h"

#include <unistd.h>

namespace Tavrel::Output {

namespace {

// Saves the indent level and restores it on scope exit, whatever happens in
// between.
class IndentRestorer {
  public:
    explicit IndentRestorer(Base& output) : output_(output), level_(output.get_indent_level()) {}
    ~IndentRestorer() { output_.set_indent_level(level_); }
    IndentRestorer(const IndentRestorer&) = delete;
    IndentRestorer& operator=(const IndentRestorer&) = delete;

  private:
    Base& output_;
    int level_;
};

std::string json_text(const nlohmann::ordered_json& value) {
    // Foreign text may hold bytes that are not UTF-8; replace them rather than
    // lose the message.
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

bool is_source_none(const Source& source) {
    return source.is_null() || (source.is_string() && source.get_ref<const std::string&>().empty());
}

Contents::Contents(const std::exception& e) : value_(Foundation::get_string(e)) {}

std::string Contents::text() const {
    if (text_)
        return *text_;
    const nlohmann::ordered_json* v = &value_;
    if (v->is_object()) {
        auto it = v->find("msg");
        if (it == v->end())
            return "";
        v = &*it;
    }
    if (v->is_string())
        return v->get<std::string>();
    if (v->is_null())
        return "";
    if (v->is_array()) {
        std::string joined;
        for (const auto& piece : *v)
            joined += piece.is_string() ? piece.get<std::string>() : json_text(piece);
        return joined;
    }
    return json_text(*v);
}

IndentGuard::~IndentGuard() {
    release();
}

void IndentGuard::release() {
    if (output_)
        output_->decrease_indent_level();
    output_ = nullptr;
}

Base::Base(Options options)
    : filehandle_(options.filehandle ? std::move(options.filehandle)
                                     : FileHandle::standard_output()),
      source_(std::move(options.source)),
      parent_(std::move(options.parent)) {}

void Base::message(std::string_view type, const Contents& contents, std::optional<Source> source,
                   Partial partial) {
    const Source& src = source ? *source : source_;
    nlohmann::ordered_json record = {
        {"indent", indent_level_},
        {"pid", static_cast<long>(::getpid())},
        {"type", type},
        {"contents", contents.json()},
        {"partial", partial == PARTIAL_MESSAGE ? PARTIAL_MESSAGE : COMPLETE_MESSAGE},
    };
    nlohmann::ordered_json additions = _MESSAGE_ADDITIONS(type, contents);
    if (additions.is_object()) {
        for (auto& [key, value] : additions.items())
            record[key] = value;
    }
    if (!is_source_none(src))
        record["source"] = src;
    _RENDER(record);
}

void Base::_RENDER(const nlohmann::ordered_json& record) {
    write_text(json_text(record) + "\n");
}

nlohmann::ordered_json Base::_MESSAGE_ADDITIONS(std::string_view, const Contents&) {
    return nlohmann::ordered_json::object();
}

void Base::write_text(std::string_view text) {
    filehandle_->write(text);
}

void Base::error(const Contents& c, std::optional<Source> s, Partial p) {
    message(TYPE_ERROR, c, std::move(s), p);
}
void Base::warn(const Contents& c, std::optional<Source> s, Partial p) {
    message(TYPE_WARN, c, std::move(s), p);
}
void Base::warning(const Contents& c, std::optional<Source> s, Partial p) {
    message(TYPE_WARN, c, std::move(s), p);
}
void Base::success(const Contents& c, std::optional<Source> s, Partial p) {
    message(TYPE_SUCCESS, c, std::move(s), p);
}
void Base::out(const Contents& c, std::optional<Source> s, Partial p) {
    message(TYPE_OUT, c, std::move(s), p);
}
void Base::info(const Contents& c, std::optional<Source> s, Partial p) {
    message(TYPE_OUT, c, std::move(s), p);
}
void Base::debug(const Contents& c, std::optional<Source> s, Partial p) {
    if (DEBUG_MESSAGES)
        message(TYPE_DEBUG, c, std::move(s), p);
}

void Base::output(const Contents& c) {
    out(c, SOURCE_LOCAL, COMPLETE_MESSAGE);
}
void Base::output_partial(const Contents& c) {
    out(c, SOURCE_LOCAL, PARTIAL_MESSAGE);
}

void Base::console_line(std::string_view kind, std::string_view text) {
    message(TYPE_LOG, Contents(nlohmann::ordered_json{{"kind", kind}, {"msg", text}}));
}

bool Base::output_highlighted_message(std::string_view line) {
    switch (LineClassifier::classify(line)) {
        case LineClassifier::Kind::Error:
            error(line);
            break;
        case LineClassifier::Kind::Warning:
            warn(line);
            break;
        case LineClassifier::Kind::Plain:
            out(line);
            break;
    }
    return true;
}

void Base::display_message_set(const Contents& header, std::string_view text) {
    message(TYPE_HEADER, Contents(header.text() + "\n"));
    {
        IndentRestorer restore(*this);
        set_indent_level(get_indent_level() + 1);
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t nl = text.find('\n', pos);
            if (nl == std::string_view::npos)
                nl = text.size();
            // Runs of newlines separate lines; they never make empty ones.
            if (nl > pos)
                output_highlighted_message(text.substr(pos, nl - pos));
            pos = nl + 1;
        }
    }
    out("");
}

void Base::increase_indent_level() {
    ++indent_level_;
}

void Base::decrease_indent_level() {
    if (indent_level_ <= 0) {
        indent_level_ = 0;
        Foundation::Debug::log_warn("Output indent level lowered below 0; it stays at 0.");
        return;
    }
    --indent_level_;
}

IndentGuard Base::create_indent_guard() {
    increase_indent_level();
    return IndentGuard(*this);
}

bool Base::set_source(Source source) {
    source_ = std::move(source);
    return true;
}

void to_json(nlohmann::json& j, const Base&) {
    j = std::string(JSON_MARKER);
}
void to_json(nlohmann::ordered_json& j, const Base&) {
    j = std::string(JSON_MARKER);
}

}  // namespace Tavrel::Output
