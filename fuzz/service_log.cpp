// The logs shown when a service fails to start: a log file read from its end
// (the startup log or a system log, filtered by program), and the web
// server's startup log without its warning lines. Only lines of the file come
// back, newest first, at most as many as asked.
#include "Check.h"

#include "Tavrel/Foundation/Regex.h"
#include "Tavrel/Init/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace Log = Tavrel::Init::Log;

namespace {

std::string scratch_file() {
    static std::string path = [] {
        std::string p = "/dev/shm/fuzz-service-log." + std::to_string(::getpid());
        std::atexit([] { ::unlink(("/dev/shm/fuzz-service-log." + std::to_string(::getpid())).c_str()); });
        return p;
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto text = Fuzz::text(data, size);
    const std::string path = scratch_file();
    {
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        FUZZ_CHECK(fd >= 0);
        FUZZ_CHECK(::write(fd, data, size) == static_cast<ssize_t>(size));
        ::close(fd);
    }
    // The size of the tail and the number of lines come from the input too.
    const std::size_t read_bytes = 1 + (size ? data[0] : 0) * 4;
    const std::size_t max_messages = size > 1 ? data[1] % 8 : 5;
    static const Tavrel::Foundation::Regex filter(Log::program_line_pattern({"cron", "apache2", "pure-ftpd"}));
    for (const Tavrel::Foundation::Regex* re : {static_cast<const Tavrel::Foundation::Regex*>(nullptr), &filter}) {
        std::string out;
        auto [read, errors] = Log::_read_log(
            out, {.path = path, .read_bytes = read_bytes, .max_messages = max_messages, .log_regex = re});
        if (!read) {
            FUZZ_CHECK(size == 0 && errors.size() == 1);
            continue;
        }
        std::size_t lines = out.empty() ? 0 : 1;
        for (char c : out)
            lines += c == '\n';
        FUZZ_CHECK(lines <= max_messages);
        std::size_t start = 0;
        while (start < out.size()) {
            std::size_t nl = out.find('\n', start);
            if (nl == std::string::npos)
                nl = out.size();
            FUZZ_CHECK(text.find(std::string_view(out).substr(start, nl - start)) !=
                       std::string_view::npos);
            start = nl + 1;
        }
    }

    // Warning lines go; nothing is added.
    Log::LOG_READ_BYTES = 16;
    std::string startup(text);
    Log::_decruft_log_for_service("httpd", startup);
    FUZZ_CHECK(startup.size() <= text.size());
    return 0;
}
