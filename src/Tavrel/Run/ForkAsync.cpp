#include "Tavrel/Run/ForkAsync.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/UntrustedException.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace Tavrel::Run::ForkAsync {

namespace {

void flush_standard_streams() {
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(nullptr);
}

void report(const std::string& text) {
    const std::string line = text.empty() || text.back() != '\n' ? text + "\n" : text;
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(2, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

int exit_code_for(int err) {
    const int code = err & 0xff;
    return code != 0 ? code : DEFAULT_ERROR_CODE;
}

pid_t fork_and_run(const std::function<void()>& function, bool quiet) {
    flush_standard_streams();
    const pid_t pid = ::fork();
    if (pid < 0)
        throw Foundation::Exception::create("Fork::Failed", Foundation::Exception::Metadata{{"error", errno}});
    if (pid == 0)
        run_and_exit(function, quiet);
    return pid;
}

}  // namespace

void run_and_exit(const std::function<void()>& function, bool quiet) {
    int code = 0;
    try {
        errno = 0;
        function();
    } catch (const Foundation::Exception& e) {
        code = exit_code_for(errno);
        if (!quiet)
            report(e.to_string());
    } catch (const Foundation::UntrustedException& e) {
        code = exit_code_for(errno);
        if (!quiet)
            report(e.to_string());
    } catch (const std::exception& e) {
        code = exit_code_for(errno);
        if (!quiet)
            report(e.what());
    } catch (...) {
        code = exit_code_for(errno);
        if (!quiet)
            report("The child process failed with an unknown error.");
    }
    flush_standard_streams();
    ::_exit(code);
}

pid_t do_in_child(const std::function<void()>& function) {
    return fork_and_run(function, false);
}

pid_t do_in_child_quiet(const std::function<void()>& function) {
    return fork_and_run(function, true);
}

}  // namespace Tavrel::Run::ForkAsync
