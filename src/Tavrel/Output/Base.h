// Tavrel::Output: the sink for every user-visible message of a run. What a
// message is (type, contents, source, partial flag) is decided here; how it is
// drawn is decided by the class:
//
//   Tavrel::Output::Base                  one JSON object per line (machines)
//   Tavrel::Output::Formatted             text with indentation, partial lines
//   Tavrel::Output::Formatted::Plain      plain text
//   Tavrel::Output::Formatted::Terminal   text with terminal colours
//   Tavrel::Output::Formatted::HTML       an HTML fragment, every text escaped
//
//   Tavrel::Output::Formatted::Terminal out;           // standard output
//   out.output_partial("Restarting httpd ...");
//   out.output(" done");                               // same line
//   {
//       auto guard = out.create_indent_guard();        // one level deeper
//       out.warn("config has a deprecated directive");
//   }                                                  // level restored
//   out.display_message_set("Startup Log", log_text);  // header + indented lines
//
// Text goes to the FileHandle given at construction (standard output by
// default). Write failures are ignored: a message that cannot be shown must
// never turn a successful service operation into a failed one.
#pragma once

#include "Tavrel/Foundation/LocaleString.h"
#include "Tavrel/Output/FileHandle.h"

#include <nlohmann/json.hpp>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Tavrel::Output {

// A message source: SOURCE_NONE (drawn uncoloured, left out of records),
// SOURCE_LOCAL, SOURCE_REMOTE, or a record naming the remote "host".
using Source = nlohmann::ordered_json;
inline constexpr std::string_view SOURCE_NONE = "";
inline constexpr int SOURCE_LOCAL = 0;
inline constexpr int SOURCE_REMOTE = 1;
bool is_source_none(const Source& source);

enum Partial : int { COMPLETE_MESSAGE = 0, PARTIAL_MESSAGE = 1 };
enum Prepend : int { NOT_PREPENDED_MESSAGE = 0, PREPENDED_MESSAGE = 1 };

// Message types, one per sending method. "warning" sends TYPE_WARN, "info"
// sends TYPE_OUT. Other types may be sent through message().
inline constexpr std::string_view TYPE_ERROR = "error";
inline constexpr std::string_view TYPE_WARN = "warn";
inline constexpr std::string_view TYPE_SUCCESS = "success";
inline constexpr std::string_view TYPE_OUT = "out";
inline constexpr std::string_view TYPE_DEBUG = "debug";
inline constexpr std::string_view TYPE_HEADER = "header";
// A line that code below the output layer sent the run's reader.
inline constexpr std::string_view TYPE_LOG = "log";

// Process-wide switch: the debug method sends nothing unless it is set.
inline bool DEBUG_MESSAGES = false;

// What an output object serialises to; its fields never go into JSON.
inline constexpr std::string_view JSON_MARKER = "Tavrel::Output object";

// The work context of the process that owns the output, when it is one child
// of a parent working through a queue of items. Every formatted line then
// starts with a fixed-width prefix describing it.
struct ParentContext {
    long pid = 0;
    std::string queue;
    std::string child_number;
    std::string item_name;
    std::string item;
};

// The contents of one message: a text, a map (the text is its "msg" member),
// a list of texts (joined), an exception or a localisable string (their text).
class Contents {
  public:
    Contents() = default;
    Contents(const char* text) : value_(text ? text : "") {}
    Contents(std::string_view text) : value_(std::string(text)) {}
    Contents(const std::string& text) : value_(text) {}
    Contents(nlohmann::ordered_json value) : value_(std::move(value)) {}
    Contents(const std::vector<std::string>& texts) : value_(texts) {}
    Contents(const std::exception& e);
    Contents(const Foundation::LocaleString& s) : value_(s.to_json()), text_(s.to_string()) {}

    // The value as it goes into a JSON record.
    const nlohmann::ordered_json& json() const { return value_; }
    // The text a person reads.
    std::string text() const;
    bool is_map() const { return value_.is_object(); }

  private:
    nlohmann::ordered_json value_;
    std::optional<std::string> text_;
};

class Base;

// Lowers the indent level of its output object by one when it goes out of
// scope, also while an exception unwinds. Made by Base::create_indent_guard.
class [[nodiscard]] IndentGuard final {
  public:
    IndentGuard(IndentGuard&& other) noexcept : output_(other.output_) { other.output_ = nullptr; }
    IndentGuard& operator=(IndentGuard&&) = delete;
    IndentGuard(const IndentGuard&) = delete;
    IndentGuard& operator=(const IndentGuard&) = delete;
    ~IndentGuard();
    // Lowers the level now instead of at scope exit.
    void release();

  private:
    friend class Base;
    explicit IndentGuard(Base& output) : output_(&output) {}
    Base* output_;
};

class Base {
  public:
    struct Options {
        std::shared_ptr<FileHandle> filehandle;  // standard output when empty
        Source source = SOURCE_NONE;             // default source of messages
        std::optional<ParentContext> parent;
    };

    Base() : Base(Options{}) {}
    explicit Base(Options options);
    virtual ~Base() = default;
    Base(const Base&) = delete;
    Base& operator=(const Base&) = delete;

    virtual std::string class_name() const { return "Tavrel::Output"; }

    // Sends one message. A missing source means the object's default source.
    virtual void message(std::string_view type, const Contents& contents,
                         std::optional<Source> source = std::nullopt,
                         Partial partial = COMPLETE_MESSAGE);

    void error(const Contents& c, std::optional<Source> s = {}, Partial p = COMPLETE_MESSAGE);
    void warn(const Contents& c, std::optional<Source> s = {}, Partial p = COMPLETE_MESSAGE);
    void warning(const Contents& c, std::optional<Source> s = {}, Partial p = COMPLETE_MESSAGE);
    void success(const Contents& c, std::optional<Source> s = {}, Partial p = COMPLETE_MESSAGE);
    void out(const Contents& c, std::optional<Source> s = {}, Partial p = COMPLETE_MESSAGE);
    void info(const Contents& c, std::optional<Source> s = {}, Partial p = COMPLETE_MESSAGE);
    // Nothing unless DEBUG_MESSAGES is set.
    void debug(const Contents& c, std::optional<Source> s = {}, Partial p = COMPLETE_MESSAGE);

    // A whole line, or a fragment that the next message continues, from this
    // process (SOURCE_LOCAL).
    void output(const Contents& c);
    void output_partial(const Contents& c);

    // Sends one line of foreign text as an error, a warning or plain output
    // according to Tavrel::Output::LineClassifier. Returns true.
    bool output_highlighted_message(std::string_view line);

    // One line from below the output layer (Tavrel/Foundation/Console.h): the
    // logger's echo, the progress of ending processes. `kind` is its log
    // level or "progress". Base: a record of type TYPE_LOG whose contents
    // are {"kind", "msg"}; the formatted classes draw it as a line of its own.
    virtual void console_line(std::string_view kind, std::string_view text);

    // The header, then every non-empty line of `text` one level deeper (each
    // highlighted), then an empty line at the previous level. The indent level
    // afterwards is the level before, also when sending fails.
    void display_message_set(const Contents& header, std::string_view text);

    void increase_indent_level();
    // At level 0 this warns and stays at 0.
    void decrease_indent_level();
    int get_indent_level() const { return indent_level_; }
    void reset_indent_level() { indent_level_ = 0; }
    void set_indent_level(int level) { indent_level_ = level < 0 ? 0 : level; }
    // One level deeper until the guard goes out of scope.
    IndentGuard create_indent_guard();

    bool set_source(Source source);
    const Source& source() const { return source_; }
    const std::shared_ptr<FileHandle>& filehandle() const { return filehandle_; }
    const std::optional<ParentContext>& parent() const { return parent_; }

  protected:
    // Writes one record (base class: its JSON text and a newline, one write).
    virtual void _RENDER(const nlohmann::ordered_json& record);
    // Extra members for the record of a message (none in the base class).
    virtual nlohmann::ordered_json _MESSAGE_ADDITIONS(std::string_view type,
                                                      const Contents& contents);
    // Hands text to the file handle; failures are ignored (see above).
    void write_text(std::string_view text);

  private:
    std::shared_ptr<FileHandle> filehandle_;
    Source source_;
    std::optional<ParentContext> parent_;
    int indent_level_ = 0;
};

void to_json(nlohmann::json& j, const Base& output);
void to_json(nlohmann::ordered_json& j, const Base& output);

}  // namespace Tavrel::Output
