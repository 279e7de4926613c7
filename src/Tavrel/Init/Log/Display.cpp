#include "Tavrel/Init/Log/Display.h"

#include "Tavrel/Foundation/Exception.h"

namespace Tavrel::Init::Log {

Display::Display(Options options) : o_(std::move(options)) {
    if (o_.service.empty())
        throw Foundation::Exception::create("Param::Missing", {{"name", "service"}});
    if (!o_.output_obj)
        throw Foundation::Exception::create("Param::Missing", {{"name", "output_obj"}});
}

int Display::show_startup_log() {
    // Each log is shown only by what this run added to it (see Log.h).
    auto [ok, text] = fetch_service_startup_log(o_.service, o_.service_via_systemd);
    if (ok && !text.empty())
        o_.output_obj->display_message_set(STARTUP_LOG_HEADER, text);
    const std::string& words = o_.service_words.empty() ? o_.service : o_.service_words;
    auto [found, lines] = fetch_service_log_messages(words, o_.service);
    if (found && !lines.empty())
        o_.output_obj->display_message_set(LOG_MESSAGES_HEADER, lines);
    return 1;
}

}  // namespace Tavrel::Init::Log
