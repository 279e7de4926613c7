#include "Tavrel/Run/SafeRun/Object.h"

#include "Tavrel/Foundation/Debug.h"
#include "Tavrel/Foundation/ErrnoGuard.h"
#include "Tavrel/Run/Env.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Config/PwCache.h"
#include "Tavrel/Run/ReadMultipleFH.h"
#include "Tavrel/Run/SafeRun/Child.h"
#include "Tavrel/Run/SafeRun/SignalGuard.h"

#include <alloca.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <linux/close_range.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <unordered_set>

extern char** environ;

namespace Tavrel::Run::SafeRun {

namespace {

using Foundation::Fd::UniqueFd;
using Clock = std::chrono::steady_clock;

struct Account {
    std::string user;
    std::string home;
};

// The effective user's name and home, read once per effective uid.
Account effective_account() {
    static std::mutex lock;
    static std::optional<std::pair<uid_t, Account>> cached;
    const uid_t euid = ::geteuid();
    std::lock_guard guard(lock);
    if (!cached || cached->first != euid) {
        auto rec = Config::PwCache::getpwuid_noshadow(euid);
        if (!rec || rec->name.empty() || rec->dir.empty()) {
            throw Foundation::PlainError("No user name or home directory is known for the effective uid " +
                             std::to_string(euid) + ".");
        }
        cached.emplace(euid, Account{rec->name, rec->dir});
    }
    return cached->second;
}

const std::unordered_set<std::string>& safe_names() {
    static const std::unordered_set<std::string> names = [] {
        auto list = Env::safe_env_var_names();
        return std::unordered_set<std::string>(list.begin(), list.end());
    }();
    return names;
}

bool is_one_of(std::string_view name, std::initializer_list<std::string_view> names) {
    for (auto n : names) {
        if (n == name)
            return true;
    }
    return false;
}

// The variables every child gets when they are missing: HOME, USER, and TMP
// and TEMP (only when the parent has no TMP).
std::vector<std::string> default_variables(const Options& o) {
    std::optional<Account> account;
    auto need = [&]() -> const Account& {
        if (!account)
            account = effective_account();
        return *account;
    };
    const std::string home = o.homedir ? *o.homedir : need().home;
    const std::string user = o.user ? *o.user : need().user;
    std::vector<std::string> vars{"HOME=" + home, "USER=" + user};
    if (::getenv("TMP") == nullptr) {
        const std::string tmp = home + "/" + TMP_SUBDIR;
        vars.push_back("TMP=" + tmp);
        vars.push_back("TEMP=" + tmp);
    }
    return vars;
}

// The cleaned environment: the safe variables the parent has, then the defaults.
std::vector<std::string> clean_environment(const std::vector<std::string>& defaults) {
    std::vector<std::string> env;
    const bool tmp_default = defaults.size() > 2;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        const std::string_view name(*e, eq ? static_cast<std::size_t>(eq - *e) : std::strlen(*e));
        if (!safe_names().contains(std::string(name)))
            continue;
        if (is_one_of(name, {"HOME", "USER"}))
            continue;
        if (tmp_default && name == "TEMP")
            continue;
        env.emplace_back(eq ? std::string(*e) : std::string(name) + "=");
    }
    env.insert(env.end(), defaults.begin(), defaults.end());
    return env;
}

// Sets one "NAME=value" entry in an environment list, replacing that name.
void set_variable(std::vector<std::string>& env, const std::string& entry) {
    const std::size_t eq = entry.find('=');
    if (eq == 0 || eq == std::string::npos)
        throw Foundation::PlainError("“" + entry + "” is not an environment entry of the form NAME=value.");
    const std::string_view name(entry.data(), eq + 1);
    for (auto& e : env) {
        if (std::string_view(e).substr(0, name.size()) == name) {
            e = entry;
            return;
        }
    }
    env.push_back(entry);
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (auto& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// A descriptor handed to the child: owned when we made it, borrowed otherwise.
struct ChildFd {
    UniqueFd owned;
    int fd = -1;
};

// A caller's descriptor; one of 0, 1, 2 is duplicated so that placing the
// three standard descriptors in the child cannot overwrite it first.
ChildFd callers_fd(int fd, const char* stream) {
    if (fd < 0)
        throw Foundation::PlainError(std::string("The ") + stream + " descriptor is not valid.");
    if (fd > 2)
        return {UniqueFd(), fd};
    UniqueFd dup(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
    if (!dup) {
        throw Foundation::PlainError(std::string("Could not duplicate the ") + stream +
                         " descriptor: " + std::strerror(errno));
    }
    const int raw = dup.get();
    return {std::move(dup), raw};
}

// Moves a descriptor of ours off 0, 1 and 2 (free only when the caller closed
// them), so placing the child's standard descriptors cannot overwrite it.
UniqueFd lift(UniqueFd fd) {
    if (!fd || fd.get() > 2)
        return fd;
    UniqueFd moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    if (!moved)
        throw Foundation::PlainError(std::string("Could not move a descriptor: ") + std::strerror(errno));
    return moved;
}

std::pair<UniqueFd, UniqueFd> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw Foundation::PlainError(std::string("Could not create a pipe: ") + std::strerror(errno));
    }
    return {lift(UniqueFd(fds[0])), lift(UniqueFd(fds[1]))};
}

std::string exec_failure_text(const std::string& program, int err) {
    return Foundation::LocaleString("The system could not execute “[_1]”: [_2]", {program, std::strerror(err)})
               .to_string() +
           "\n";
}

// Everything the forked child needs, prepared before the fork so the child
// itself only calls async-signal-safe functions (apart from before_exec).
struct ForkPlan {
    const char* program;
    char** argv;
    char** envp;  // nullptr: keep the environment
    int in, out, err;
    int exec_errno_fd;
    const std::function<void()>* before_exec;
    char** defaults;  // "NAME=value" filled in after before_exec where missing
    const char* before_exec_failed;
};

bool env_has(const char* entry) {
    const char* eq = std::strchr(entry, '=');
    const std::size_t len = static_cast<std::size_t>(eq - entry) + 1;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, entry, len) == 0)
            return true;
    }
    return false;
}

// Slots an environment array needs to add the missing defaults (0: none missing).
std::size_t slots_with_defaults(char** defaults) {
    std::size_t n = 0, missing = 0;
    for (char** e = environ; e && *e; ++e)
        ++n;
    for (char** d = defaults; *d; ++d)
        missing += env_has(*d) ? 0 : 1;
    return missing == 0 ? 0 : n + missing + 1;
}

// Fills `env` with the environment plus the missing defaults.
void add_missing_defaults(char** env, char** defaults) {
    std::size_t i = 0;
    for (char** e = environ; e && *e; ++e)
        env[i++] = *e;
    for (char** d = defaults; *d; ++d) {
        if (!env_has(*d))
            env[i++] = *d;
    }
    env[i] = nullptr;
}

void write_text(int fd, const char* text) {
    std::size_t len = std::strlen(text);
    while (len > 0) {
        const ssize_t n = ::write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

[[noreturn]] void run_forked_child(const ForkPlan& plan) {
    reset_child_signals();
    if (::dup2(plan.in, 0) < 0 || ::dup2(plan.out, 1) < 0 || ::dup2(plan.err, 2) < 0) {
        const int e = errno;
        (void)!::write(plan.exec_errno_fd, &e, sizeof e);
        ::_exit(e);
    }
    if (plan.envp)
        environ = plan.envp;
    if (*plan.before_exec) {
        try {
            (*plan.before_exec)();
        } catch (const std::exception& ex) {
            const int e = errno;
            write_text(2, plan.before_exec_failed);
            write_text(2, ex.what());
            write_text(2, "\n");
            ::_exit(e ? e : 127);
        } catch (...) {
            const int e = errno;
            write_text(2, plan.before_exec_failed);
            write_text(2, "\n");
            ::_exit(e ? e : 127);
        }
    }
    // On this frame's stack: it must live until execve.
    if (const std::size_t slots = slots_with_defaults(plan.defaults)) {
        auto** env = static_cast<char**>(alloca(slots * sizeof(char*)));
        add_missing_defaults(env, plan.defaults);
        environ = env;
    }
    mark_descriptors_close_on_exec(3);
    ::execve(plan.program, plan.argv, environ);
    const int e = errno;
    (void)!::write(plan.exec_errno_fd, &e, sizeof e);
    ::_exit(e ? e : 127);
}

}  // namespace

Object::Object(Options o) : ChildErrorStringifier(0, o.program), args_(std::move(o.args)) {
    // The system calls of a run leave their traces in errno (EAGAIN from the
    // pipe reads, ENOENT from probing the program); the caller's survives.
    Foundation::ErrnoGuard keep_errno;
    if (o.program.empty())
        throw Foundation::PlainError("No program was given to run.");
    for (const auto& arg : args_) {
        if (arg.find('\0') != std::string::npos) {
            throw Foundation::PlainError("An argument of “" + command_line() + "” contains a NUL byte.");
        }
    }
    if (o.program.find('/') != std::string::npos) {
        struct stat st;
        if (::stat(o.program.c_str(), &st) != 0 && errno == ENOENT) {
            throw Foundation::Exception::create("Param::Invalid", "The program “[_1]” does not exist.",
                                    {o.program}, {{"name", "program"}, {"value", o.program}});
        }
    }
    const double timeout = o.timeout.value_or(DEFAULT_TIMEOUT);
    const double read_timeout = o.read_timeout.value_or(DEFAULT_READ_TIMEOUT);

    // Standard input.
    ChildFd child_in;
    UniqueFd parent_in;
    std::shared_ptr<const std::string> input_text;
    std::istream* input_stream = nullptr;
    const InputWriter* input_writer = nullptr;
    if (auto* s = std::get_if<std::string>(&o.stdin_from); s && !s->empty()) {
        input_text = std::make_shared<const std::string>(std::move(*s));
    } else if (auto* sp = std::get_if<std::shared_ptr<const std::string>>(&o.stdin_from);
               sp && *sp && !(*sp)->empty()) {
        input_text = *sp;
    } else if (auto* is = std::get_if<std::istream*>(&o.stdin_from); is && *is) {
        input_stream = *is;
    } else if (auto* w = std::get_if<InputWriter>(&o.stdin_from); w && *w) {
        input_writer = w;
    }
    if (auto* fd = std::get_if<Fd>(&o.stdin_from)) {
        child_in = callers_fd(fd->fd, "input");
    } else if (input_text || input_stream || input_writer) {
        auto [r, w] = make_pipe();
        child_in.fd = r.get();
        child_in.owned = std::move(r);
        parent_in = std::move(w);
    } else {
        UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!null)
            throw Foundation::PlainError(std::string("Could not open /dev/null: ") + std::strerror(errno));
        child_in.owned = lift(std::move(null));
        child_in.fd = child_in.owned.get();
    }

    // Standard output and error.
    ChildFd child_out, child_err;
    UniqueFd parent_out, parent_err;
    auto setup_output = [](const Output& to, ChildFd& child, UniqueFd& parent, const char* name) {
        if (auto* fd = std::get_if<Fd>(&to)) {
            child = callers_fd(fd->fd, name);
            return;
        }
        if (auto* os = std::get_if<std::ostream*>(&to); os && *os == nullptr) {
            throw Foundation::PlainError(std::string("The ") + name + " stream is not valid.");
        }
        auto [r, w] = make_pipe();
        child.fd = w.get();
        child.owned = std::move(w);
        parent = std::move(r);
    };
    setup_output(o.stdout_to, child_out, parent_out, "output");
    auto* out_stream = std::get_if<std::ostream*>(&o.stdout_to);
    auto* err_stream = std::get_if<std::ostream*>(&o.stderr_to);
    const bool merged = out_stream && err_stream && *out_stream == *err_stream;
    if (merged) {
        child_err.fd = child_out.fd;
    } else {
        setup_output(o.stderr_to, child_err, parent_err, "error");
    }
    if (parent_out && !out_stream)
        stdout_ = std::make_shared<std::string>();
    if (parent_err && !err_stream)
        stderr_ = std::make_shared<std::string>();

    // Argument vector and environment.
    std::vector<std::string> argv_strings;
    argv_strings.reserve(args_.size() + 1);
    argv_strings.push_back(o.program);
    argv_strings.insert(argv_strings.end(), args_.begin(), args_.end());
    std::vector<char*> argv = pointers(argv_strings);
    std::vector<std::string> defaults;
    std::vector<std::string> env_strings;
    if (!o.keep_env) {
        defaults = default_variables(o);
        env_strings = clean_environment(defaults);
    } else if (o.before_exec) {
        defaults = default_variables(o);
    }
    const bool own_env = !o.keep_env || !o.set_env.empty();
    if (o.keep_env && own_env) {
        for (char** e = environ; e && *e; ++e)
            env_strings.emplace_back(*e);
    }
    for (const auto& entry : o.set_env)
        set_variable(env_strings, entry);
    std::vector<char*> envp = pointers(env_strings);
    std::vector<char*> default_ptrs = pointers(defaults);
    char** child_env = own_env ? envp.data() : environ;

    SignalGuard sigchld(SIGCHLD, SIG_DFL);
    const auto start = Clock::now();
    Child child;
    UniqueFd exec_errno_read;
    int spawn_error = 0;
    if (!o.before_exec) {
        spawn_error = spawn_child(child, o.program.c_str(), argv.data(), child_env,
                                  {child_in.fd, child_out.fd, child_err.fd});
    } else {
        auto [r, w] = make_pipe();
        exec_errno_read = std::move(r);
        const std::string before_exec_failed =
            "The preparation of “" + o.program + "” before it was executed failed: ";
        ForkPlan plan{o.program.c_str(),
                      argv.data(),
                      own_env ? envp.data() : nullptr,
                      child_in.fd,
                      child_out.fd,
                      child_err.fd,
                      w.get(),
                      &o.before_exec,
                      default_ptrs.data(),
                      before_exec_failed.c_str()};
        const pid_t pid = ::fork();
        if (pid < 0)
            throw Foundation::Exception::create("Fork::Failed", {{"error", errno}});
        if (pid == 0)
            run_forked_child(plan);
        child.adopt(pid);
    }
    child_pid_ = child.pid();

    // The child holds its own copies now.
    child_in = {};
    child_out = {};
    child_err = {};

    if (spawn_error != 0) {
        set_child_error(spawn_error << 8);
        set_exec_failed(true);
        if (stderr_)
            *stderr_ += exec_failure_text(o.program, spawn_error);
        return;
    }
    if (o.after_fork)
        o.after_fork(child_pid_);

    if (input_writer) {
        SignalGuard no_sigpipe(SIGPIPE, SIG_IGN);
        (*input_writer)(parent_in.get());
        parent_in.reset();
    }

    auto left = [&]() -> std::optional<double> {
        if (timeout <= 0)
            return std::nullopt;
        return timeout - std::chrono::duration<double>(Clock::now() - start).count();
    };
    bool timed_out = false;
    if (parent_in || parent_out || parent_err) {
        ReadMultipleFH::Options ro;
        if (parent_out) {
            ReadMultipleFH::Target t = stdout_;
            if (out_stream)
                t = *out_stream;
            ro.filehandles.push_back({parent_out.get(), t});
        }
        if (parent_err) {
            ReadMultipleFH::Target t = stderr_;
            if (err_stream)
                t = *err_stream;
            ro.filehandles.push_back({parent_err.get(), t});
        }
        if (parent_in)
            ro.feed = ReadMultipleFH::Feed{std::move(parent_in), input_text, input_stream};
        const auto remaining = left();
        ro.timeout = remaining ? std::max(*remaining, 1e-3) : 0.0;
        ro.read_timeout = read_timeout;
        try {
            ReadMultipleFH reader(std::move(ro));
            if (!reader.did_finish()) {
                timed_out = true;
                timed_out_after_ =
                    read_timeout > 0 && reader.timed_out() == read_timeout ? read_timeout : timeout;
            }
        } catch (Foundation::Exception& e) {
            e.set("command", command_line());
            throw;
        }
    }
    parent_out.reset();
    parent_err.reset();

    if (!timed_out) {
        const auto remaining = left();
        if (auto status = child.wait(remaining ? std::max(*remaining, 0.0) : -1.0)) {
            set_child_error(*status);
        } else {
            timed_out_after_ = timeout;
            timed_out = true;
        }
    }
    if (timed_out)
        set_child_error(child.stop(SAFEKILL_TIMEOUT));

    if (exec_errno_read) {
        int err = 0;
        if (::read(exec_errno_read.get(), &err, sizeof err) == sizeof err && err != 0) {
            set_exec_failed(true);
            set_child_error((err & 0xff) << 8);
            if (stderr_)
                *stderr_ += exec_failure_text(o.program, err);
        }
    }
}

Object Object::new_or_die(Options options) {
    Object run(std::move(options));
    run.die_if_error();
    return run;
}

const std::string& Object::stdout_text() const {
    return *stdout_r();
}
const std::string& Object::stderr_text() const {
    return *stderr_r();
}

std::shared_ptr<const std::string> Object::stdout_r() const {
    if (!stdout_)
        throw Foundation::PlainError("The standard output of “" + command_line() + "” was not captured.");
    return stdout_;
}

std::shared_ptr<const std::string> Object::stderr_r() const {
    if (!stderr_)
        throw Foundation::PlainError("The standard error of “" + command_line() + "” was not captured.");
    return stderr_;
}

std::string Object::command_line() const {
    std::string line = program();
    for (const auto& arg : args_)
        line += " " + arg;
    return line;
}

std::optional<long> Object::pid_for_phrases() const {
    if (child_pid_ <= 0)
        return std::nullopt;
    return child_pid_;
}

std::vector<Foundation::LocaleString> Object::extra_autopsy_phrases() const {
    if (!timed_out_after_)
        return {};
    return {Foundation::LocaleString("The process was stopped because it ran longer than [_1] seconds.",
                         {*timed_out_after_})};
}

std::optional<Foundation::Exception> Object::to_exception() const {
    auto add_output = [this](Foundation::Exception& e) {
        e.set("stdout", stdout_ ? *stdout_ : std::string());
        e.set("stderr", stderr_ ? *stderr_ : std::string());
    };
    if (timed_out_after_) {
        Foundation::Exception e = Foundation::Exception::create(
            "Child::TimedOut", "“[_1]” (process [_2]) did not finish within [_3] seconds.",
            {command_line(), child_pid_, *timed_out_after_},
            {{"program", command_line()}, {"pid", child_pid_}, {"timeout", *timed_out_after_}});
        add_output(e);
        return e;
    }
    auto e = ChildErrorStringifier::to_exception();
    if (e) {
        e->set("program", command_line());
        add_output(*e);
    }
    return e;
}

}  // namespace Tavrel::Run::SafeRun
