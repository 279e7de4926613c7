#include "Tavrel/Run/ForkSync.h"

#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Fd/UniqueFd.h"
#include "Tavrel/Run/ForkAsync.h"
#include "Tavrel/Foundation/IO/Flush.h"
#include "Tavrel/Run/SafeRun/Child.h"
#include "Tavrel/Run/SafeRun/LastStatus.h"
#include "Tavrel/Run/SafeRun/SignalGuard.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace Tavrel::Run {

namespace {

using Value = ForkSync::Value;

Value failure_message(Value text, Value structured, std::string full_text,
                      Value metadata = Value::object()) {
    return Value{{"_exception", std::move(text)},
                 {"_full_exception_text", std::move(full_text)},
                 {"_structured_exception", std::move(structured)},
                 {"_metadata", std::move(metadata)}};
}

// Runs the function and builds the message; also returns what was thrown.
Value run_for_message(const ForkSync::Function& function, std::exception_ptr& thrown) {
    try {
        return Value{{"_return", Value::array({function()})}};
    } catch (const Foundation::Exception& e) {
        thrown = std::current_exception();
        Value structured = e.structured();
        Value metadata = structured.value("metadata", Value::object());
        return failure_message(e.to_string(), std::move(structured), e.to_string(),
                               std::move(metadata));
    } catch (const Foundation::UntrustedException& e) {
        thrown = std::current_exception();
        Value md = Value::object();
        for (const auto& [k, v] : e.metadata()) {
            if (!v.is_structured())
                md[k] = v;
        }
        Value structured{{"class", e.sender_class()},
                         {"string", e.to_string()},
                         {"longmess", e.longmess()},
                         {"metadata", md}};
        if (int err = e.error_number(); err > 0)
            structured["metadata_errno"] = err;
        return failure_message(e.to_string(), std::move(structured), e.to_string(), md);
    } catch (const Value& v) {
        thrown = std::current_exception();
        if (v.is_structured())
            return failure_message(v, v, "");
        const std::string text = v.is_string() ? v.get<std::string>() : v.dump();
        return failure_message(text, nullptr, text);
    } catch (const std::exception& e) {
        thrown = std::current_exception();
        return failure_message(e.what(), nullptr, e.what());
    } catch (const std::string& s) {
        thrown = std::current_exception();
        return failure_message(s, nullptr, s);
    } catch (const char* s) {
        thrown = std::current_exception();
        return failure_message(s ? s : "", nullptr, s ? s : "");
    } catch (...) {
        thrown = std::current_exception();
        const std::string text = "The function failed with an unknown error.";
        return failure_message(text, nullptr, text);
    }
}

// The child's side: run, send one message, then end as ForkAsync does.
void child_body(int write_fd, const ForkSync::Function& function) {
    std::exception_ptr thrown;
    const Value message = run_for_message(function, thrown);
    const int saved_errno = errno;
    // Invalid UTF-8 in a text must not lose the message: it is replaced.
    const std::string text = message.dump(-1, ' ', false, Value::error_handler_t::replace);
    Foundation::IO::Flush::write_all(write_fd, text);
    ::close(write_fd);
    errno = saved_errno;
    if (thrown)
        std::rethrow_exception(thrown);
}

std::string read_all(int fd, std::string& error) {
    std::string data;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            data.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = std::string("Could not read the child's message: ") + std::strerror(errno);
            break;
        }
    }
    return data;
}

}  // namespace

ForkSync::ForkSync(const Function& function) {
    run(nullptr, function, false);
}

ForkSync ForkSync::new_with_parent_callback(const std::function<void()>& parent,
                                            const Function& function) {
    ForkSync result;
    result.run(parent ? &parent : nullptr, function, false);
    return result;
}

ForkSync ForkSync::new_quiet(const Function& function) {
    ForkSync result;
    result.run(nullptr, function, true);
    return result;
}

std::optional<ForkSync::Value> ForkSync::do_in_child(const Function& function) {
    try {
        ForkSync run(function);
        SafeRun::set_last_child_status(run.CHILD_ERROR());
        if (!run.retrieve_error().empty() || run.CHILD_ERROR() != 0)
            return std::nullopt;
        return run.return_value();
    } catch (const Foundation::Exception&) {
        // A failed fork is not a failure of the child: it is reported as one.
        SafeRun::set_last_child_status(-1);
        return std::nullopt;
    }
}

void ForkSync::run(const std::function<void()>* parent, const Function& function, bool quiet) {
    Foundation::ErrnoGuard keep_errno;
    SafeRun::SignalGuard sigchld(SIGCHLD, SIG_DFL);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw Foundation::Exception::create("Io::CommandOpenFailed",
                                Foundation::Exception::Metadata{{"command", "fork"}, {"error", errno}});
    }
    Foundation::Fd::UniqueFd read_end(fds[0]), write_end(fds[1]);
    const int child_write = write_end.get();
    const int child_read = read_end.get();
    auto body = [&] {
        ::close(child_read);
        child_body(child_write, function);
    };
    pid_ = quiet ? ForkAsync::do_in_child_quiet(body) : ForkAsync::do_in_child(body);
    SafeRun::Child child(pid_);
    write_end.reset();

    if (parent) {
        try {
            (*parent)();
        } catch (...) {
        }
    }
    const std::string data = read_all(read_end.get(), retrieve_err_);
    read_end.reset();
    set_child_error(child.wait(-1).value_or(0));

    if (retrieve_err_.empty()) {
        try {
            take_message(Value::parse(data));
        } catch (const std::exception& e) {
            retrieve_err_ = data.empty()
                                ? "The child sent no message."
                                : std::string("Could not decode the child's message: ") + e.what();
        }
    }
}

void ForkSync::take_message(const Value& message) {
    if (!message.is_object())
        throw std::runtime_error("the message is not a map");
    if (auto it = message.find("_return"); it != message.end()) {
        if (it->is_array() && !it->empty())
            return_ = it->back();
        return;
    }
    if (auto it = message.find("_exception"); it != message.end())
        exception_ = *it;
    full_exception_text_ = message.value("_full_exception_text", "");
    auto it = message.find("_structured_exception");
    if (it == message.end() || it->is_null())
        return;
    structured_exception_ = *it;
    if (it->is_object() && it->contains("class") && (*it)["class"].is_string()) {
        untrusted_ = Foundation::UntrustedException::from_structured(*it);
    }
}

std::string ForkSync::exception_text() const {
    if (!exception_)
        return "";
    return exception_->is_string() ? exception_->get<std::string>() : exception_->dump();
}

bool ForkSync::had_error() const {
    return CHILD_ERROR() != 0 || exception_.has_value() || !retrieve_err_.empty();
}

}  // namespace Tavrel::Run
