#include "Tavrel/Process/PsParser.h"

#include "Tavrel/Process/Kill/Target.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Process/Proc/Bin.h"
#include "testsupport/TestChild.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

using namespace Tavrel;
using Tavrel::TestSupport::TestChild::spawn;
using Tavrel::TestSupport::TestChild::unique_name;

namespace {

bool has(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

std::optional<Tavrel::Process::PsParser::Record> record_of(pid_t pid, Tavrel::Process::PsParser::Options o = {}) {
    o.want_pid = pid;
    auto table = Tavrel::Process::PsParser::fast_parse_ps(o);
    if (table.empty())
        return std::nullopt;
    return table.front();
}

// Restores the settings a test changes.
struct SettingsGuard {
    bool read_proc = Tavrel::Process::PsParser::READ_PROC;
    ~SettingsGuard() { Tavrel::Process::PsParser::READ_PROC = read_proc; }
};

}  // namespace

TEST(FastParsePs, RecordOfARealProcess) {
    std::string name = unique_name("tvps");
    auto c = spawn("/bin/sleep", {"/bin/" + name, "30"});
    Tavrel::Process::PsParser::Options o;
    o.memory_stats = o.cpu_stats = o.elapsed_stats = true;
    auto rec = record_of(c.pid(), o);
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->uid, ::geteuid());
    EXPECT_EQ(rec->user, ::geteuid() == 0 ? "root" : std::to_string(::geteuid()));
    EXPECT_EQ(*rec->command, "/bin/" + name + " 30");
    EXPECT_EQ(*rec->ppid, ::getpid());
    // Asleep, or still on its way there on a busy machine.
    EXPECT_TRUE(*rec->state == "S" || *rec->state == "R") << *rec->state;
    EXPECT_EQ(*rec->nice, ::getpriority(PRIO_PROCESS, 0));
    ASSERT_TRUE(rec->mem && rec->cpu && rec->elapsed);
    EXPECT_GT(*rec->mem, 0);
    EXPECT_LT(*rec->elapsed, 30);

    auto info = Tavrel::Process::PsParser::get_pid_info(c.pid());
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->cpu && info->elapsed && info->mem);
    c.stop();
    EXPECT_FALSE(Tavrel::Process::PsParser::get_pid_info(c.pid()));
}

TEST(FastParsePs, KernelThreadGetsMarkedNameAndIsExcludedAsKernel) {
    auto rec = record_of(2);
    if (!rec || rec->command->empty() || rec->command->front() != '[')
        GTEST_SKIP() << "no kernel thread visible as pid 2 here";
    EXPECT_EQ(*rec->command, "[kthreadd]");
    Tavrel::Process::PsParser::Options o;
    o.exclude_kernel = true;
    bool init_listed = false;
    for (const auto& r : Tavrel::Process::PsParser::fast_parse_ps(o)) {
        EXPECT_NE(r.pid, 2);
        EXPECT_NE(*r.ppid, 2) << r.pid << " " << *r.command;  // the kernel's threads
        init_listed = init_listed || r.pid == 1;
    }
    // Small pids are not the kernel's: pid 1 is listed.
    EXPECT_TRUE(init_listed);
}

TEST(FastParsePs, ZombieHasEndedAndShowsKernelName) {
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    for (int i = 0; i < 200; ++i) {  // wait for it to become a zombie
        auto rec = record_of(pid);
        if (rec && *rec->state == "Z")
            break;
        ::usleep(5000);
    }
    auto rec = record_of(pid);
    ASSERT_TRUE(rec);
    EXPECT_EQ(*rec->state, "Z");
    EXPECT_EQ(rec->command->front(), '[');
    EXPECT_EQ(rec->command->back(), ']');
    ::waitpid(pid, nullptr, 0);
}

TEST(FastParsePs, NameWithClosingParenthesisKeepsFieldsAligned) {
    TestSupport::TempDir dir;
    std::string exe = dir / "a) R 1 (b";
    std::filesystem::copy_file("/bin/sleep", exe);
    ::chmod(exe.c_str(), 0755);
    auto c = spawn(exe, {exe, "30"});
    auto rec = record_of(c.pid());
    for (int i = 0; i < 200 && rec && *rec->state != "S"; ++i) {  // until it sleeps
        ::usleep(5000);
        rec = record_of(c.pid());
    }
    ASSERT_TRUE(rec);
    EXPECT_EQ(*rec->state, "S");  // a split at the first ')' would read "R" and ppid 1
    EXPECT_EQ(*rec->ppid, ::getpid());
    Tavrel::Process::PsParser::Options o;
    o.skip_cmdline = true;
    EXPECT_EQ(*record_of(c.pid(), o)->command, "[a) R 1 (b]");
}

TEST(FastParsePs, OptionFiltersAndSkips) {
    auto c = spawn("/bin/sleep", {unique_name("tvopt"), "30"});
    Tavrel::Process::PsParser::Options o;
    o.exclude_self = true;
    auto table = Tavrel::Process::PsParser::fast_parse_ps(o);
    EXPECT_FALSE(
        std::any_of(table.begin(), table.end(), [](const auto& r) { return r.pid == ::getpid(); }));
    EXPECT_TRUE(
        std::any_of(table.begin(), table.end(), [&](const auto& r) { return r.pid == c.pid(); }));

    o = {};
    o.want_uid = 12345;  // nobody here runs as this uid
    EXPECT_TRUE(Tavrel::Process::PsParser::fast_parse_ps(o).empty());

    o = {};
    o.skip_stat = o.skip_cmdline = true;
    auto bare = record_of(c.pid(), o);
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->command || bare->state || bare->ppid || bare->nice);
}

TEST(FastParsePs, RefusesSkipStatCombinations) {
    Tavrel::Process::PsParser::Options o;
    o.skip_stat = true;
    EXPECT_THROW(Tavrel::Process::PsParser::fast_parse_ps(o), Tavrel::Foundation::PlainError);  // without skip_cmdline
    o.skip_cmdline = true;
    for (auto flag : {&Tavrel::Process::PsParser::Options::exclude_kernel, &Tavrel::Process::PsParser::Options::cpu_stats,
                      &Tavrel::Process::PsParser::Options::elapsed_stats}) {
        Tavrel::Process::PsParser::Options bad = o;
        bad.*flag = true;
        EXPECT_THROW(Tavrel::Process::PsParser::fast_parse_ps(bad), Tavrel::Foundation::PlainError);
    }
}

TEST(FastParsePs, FallsBackOnSystemPsWithTheSameRecords) {
    SettingsGuard guard;
    auto c = spawn("/bin/sleep", {unique_name("tvfb"), "30"});
    auto direct = record_of(c.pid());
    Tavrel::Process::PsParser::READ_PROC = false;
    auto via_ps = record_of(c.pid());
    ASSERT_TRUE(direct && via_ps);
    EXPECT_EQ(via_ps->uid, direct->uid);
    EXPECT_EQ(via_ps->user, direct->user);
    EXPECT_EQ(*via_ps->command, *direct->command);
    EXPECT_EQ(*via_ps->ppid, *direct->ppid);
    // The state may change between the two reads (a busy machine runs it late).
    EXPECT_NE(std::string("RS").find(*via_ps->state), std::string::npos);
    EXPECT_EQ(*via_ps->nice, *direct->nice);
}

TEST(GetChildPids, DescendantsInOrder) {
    // A shell whose child is a second shell whose child sleeps.
    std::string name = unique_name("tvtree");
    auto c = spawn("/bin/sh", {"sh", "-c", "sh -c 'sleep 30; :' & sleep 30; wait"});
    std::vector<pid_t> kids;
    for (int i = 0; i < 200 && kids.size() < 3; ++i) {
        ::usleep(5000);
        kids = Tavrel::Process::PsParser::get_child_pids({c.pid()});
    }
    ASSERT_EQ(kids.size(), 3u);
    auto direct = Tavrel::Process::PsParser::get_child_pids({kids[0]});
    auto other = Tavrel::Process::PsParser::get_child_pids({kids[1]});
    // Direct children first, then the grandchild.
    EXPECT_EQ(direct.size() + other.size(), 1u);
    EXPECT_EQ(kids[2], direct.empty() ? other[0] : direct[0]);
    for (pid_t k : kids)
        ::kill(k, SIGKILL);
}

TEST(GetPidsByName, FindsByProgramNameExecutableAndNeverReservedPids) {
    std::string name = unique_name("tvname");
    auto c = spawn("/bin/sleep", {"/opt/" + name, "30"});
    EXPECT_EQ(Tavrel::Process::PsParser::get_pids_by_name(name), std::vector<pid_t>{c.pid()});
    EXPECT_EQ(Tavrel::Process::PsParser::get_pids_by_name(std::vector<std::string>{"no-such-prog", name}),
              std::vector<pid_t>{c.pid()});
    EXPECT_TRUE(Tavrel::Process::PsParser::get_pids_by_name(name.substr(0, name.size() - 1)).empty());  // exact
    EXPECT_TRUE(Tavrel::Process::PsParser::get_pids_by_name(name, {"12345"}).empty());                  // owner
    EXPECT_EQ(Tavrel::Process::PsParser::get_pids_by_name(name, {"root", "12345"}), std::vector<pid_t>{c.pid()});
    auto re = std::make_shared<const Tavrel::Foundation::Regex>("^" + name + "$");
    EXPECT_EQ(Tavrel::Process::PsParser::get_pids_by_name(re), std::vector<pid_t>{c.pid()});
    // A pattern that matches the empty text would match every process.
    EXPECT_TRUE(Tavrel::Process::PsParser::get_pids_by_name(std::make_shared<const Tavrel::Foundation::Regex>("x*")).empty());
    EXPECT_TRUE(Tavrel::Process::PsParser::get_pids_by_name(std::vector<std::string>{""}).empty());
    EXPECT_TRUE(Tavrel::Process::PsParser::get_pids_by_name(Tavrel::Process::PsParser::Deadcmd()).empty());
    // The executable's file name matches too, whatever the process title.
    auto by_exe = Tavrel::Process::PsParser::get_pids_by_name("sleep");
    EXPECT_TRUE(has(by_exe, c.pid()));
    EXPECT_TRUE(std::all_of(by_exe.begin(), by_exe.end(), [](pid_t p) { return p >= 300; }));
}

// An owner given as a number too large for a uid names nobody: the search
// never fails over it, and it never wraps around to a real uid such as 0.
TEST(GetPidsByName, OverLongNumericOwnerMatchesNobody) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "owners are only looked at for root";
    std::string name = unique_name("tvowner");
    auto c = spawn("/bin/sleep", {name, "30"});
    std::vector<pid_t> found;
    EXPECT_NO_THROW(found = Tavrel::Process::PsParser::get_pids_by_name(name, {"99999999999999999999999"}));
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(Tavrel::Process::PsParser::get_pids_by_name(name, {"4294967296"}).empty());  // 2^32: not uid 0
    EXPECT_EQ(Tavrel::Process::PsParser::get_pids_by_name(name, {"4294967296", "0"}), std::vector<pid_t>{c.pid()});
}

TEST(GetPidsByName, LoginShellAndProcessTitleWithColon) {
    std::string shell = unique_name("tvsh");
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    TestSupport::TestChild::SpawnOptions o;
    o.stdin_fd = fds[0];
    auto sh = spawn("/bin/sh", {"-" + shell, "-c", "read x"}, o);
    ::close(fds[0]);
    std::string daemon = unique_name("tvcolon");
    auto d = spawn("/bin/sleep", {daemon + ":", "30"});
    // A login shell may fork subshells of the same name while it reads its profile.
    EXPECT_TRUE(has(Tavrel::Process::PsParser::get_pids_by_name(shell), sh.pid()));
    EXPECT_EQ(Tavrel::Process::PsParser::get_pids_by_name(daemon), std::vector<pid_t>{d.pid()});
    ::close(fds[1]);
}

TEST(GetPidsByName, InterpreterRunningAScriptIsFoundByScriptName) {
    TestSupport::TempDir dir;
    std::string script_name = unique_name("tvscript") + ".pl";
    std::string script = dir.write(script_name, "sleep 30;\n");
    auto c = spawn("/usr/bin/perl", {"perl", "-w", "-T", script});
    EXPECT_EQ(Tavrel::Process::PsParser::get_pids_by_name(script_name), std::vector<pid_t>{c.pid()});
    // A word after the script is not the script.
    auto other = spawn("/usr/bin/perl", {"perl", "-e", "sleep 30", script_name});
    EXPECT_FALSE(has(Tavrel::Process::PsParser::get_pids_by_name(script_name), other.pid()));
}

TEST(GetPidsByName, DeletedBinaryFoundByCommandLineOnlyOnTheDirectPath) {
    SettingsGuard guard;
    TestSupport::TempDir dir;
    std::string name = unique_name("tvdel");
    std::string exe = dir / name;
    std::filesystem::copy_file("/bin/sleep", exe);
    ::chmod(exe.c_str(), 0755);
    auto by_path = spawn(exe, {exe, "30"});
    auto renamed = spawn(exe, {unique_name("tvother"), "30"});
    ASSERT_EQ(::unlink(exe.c_str()), 0);

    EXPECT_EQ(Tavrel::Process::Proc::Bin::getbin(by_path.pid()), exe);  // the deleted marker is cut off
    auto direct = Tavrel::Process::PsParser::get_pids_by_name(name);
    EXPECT_TRUE(has(direct, by_path.pid()));
    EXPECT_FALSE(has(direct, renamed.pid()));  // its file name carries the marker

    Tavrel::Process::PsParser::READ_PROC = false;  // the fallback path compares getbin's file name
    auto fallback = Tavrel::Process::PsParser::get_pids_by_name(name);
    EXPECT_TRUE(has(fallback, by_path.pid()));
    EXPECT_TRUE(has(fallback, renamed.pid()));
}

// An unprivileged caller may act on its own processes only, but looks at
// everyone's: root's daemon, whose executable it cannot read, is found by
// its command line.
TEST(GetPidsByName, UnprivilegedCallerActsOnItsOwnProcessesAndSeesEveryones) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to nobody";
    using Tavrel::Process::PsParser::Purpose;
    std::string name = unique_name("tvpriv");
    auto c = spawn("/bin/sleep", {name, "30"});
    auto found_as_nobody = [&](const std::vector<std::string>& owners, Purpose purpose) {
        pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(2);
            const auto pids = Tavrel::Process::PsParser::get_pids_by_name(name, owners, purpose);
            ::_exit(pids.empty() ? 0 : pids == std::vector<pid_t>{c.pid()} ? 1 : 3);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(found_as_nobody({"0"}, Purpose::Act), 0);
    EXPECT_EQ(found_as_nobody({}, Purpose::Act), 0);
    EXPECT_EQ(found_as_nobody({"0"}, Purpose::Look), 1);
    EXPECT_EQ(found_as_nobody({}, Purpose::Look), 1);
    EXPECT_EQ(found_as_nobody({"65534"}, Purpose::Look), 0);  // the owners given still hold
}

TEST(GetKnownInterpretersRegex, NamesAsAlternatives) {
    const auto& re = Tavrel::Process::PsParser::get_known_interpreters_regex();
    EXPECT_TRUE(re.test("perl"));
    auto m = Tavrel::Process::PsParser::NameMatcher::create("x.pl");
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->matches_words("perl5.36", {"-w", "x.pl"}, ""));
    EXPECT_FALSE(m->matches_words("perlx", {"x.pl"}, ""));
    EXPECT_FALSE(m->matches_words("bash", {"x.pl"}, ""));
}

// A census answers every search to look as the process table did when it was
// taken, and a search to act (or any search once it is gone) reads afresh.
TEST(GetPidsByName, ACensusAnswersLooksFromOneReadingAndActsAfresh) {
    SettingsGuard guard;
    namespace Ps = Tavrel::Process::PsParser;
    using Ps::Purpose;
    TestSupport::TempDir dir;
    const std::string name = unique_name("tvcensus");
    const std::string script_name = unique_name("tvcscript") + ".pl";
    auto c = spawn("/bin/sleep", {"/opt/" + name, "30"});
    auto script = spawn("/usr/bin/perl", {"perl", "-w", dir.write(script_name, "sleep 30;\n")});
    const std::vector<Ps::Deadcmd> searches = {
        name, std::vector<std::string>{"no-such-prog", name}, "sleep", script_name,
        std::make_shared<const Tavrel::Foundation::Regex>("^" + name + "$")};
    auto answers = [&] {
        std::vector<std::vector<pid_t>> all;
        for (const auto& search : searches) {
            all.push_back(Ps::get_pids_by_name(search, {}, Purpose::Look));
            all.push_back(Ps::get_pids_by_name(search, {"12345"}, Purpose::Look));
        }
        return all;
    };
    const auto alone = answers();
    const std::string late = unique_name("tvlate");
    {
        const Ps::Census census;
        EXPECT_EQ(answers(), alone);
        auto born_after = spawn("/bin/sleep", {late, "30"});
        EXPECT_TRUE(Ps::get_pids_by_name(late, {}, Purpose::Look).empty());
        EXPECT_EQ(Ps::get_pids_by_name(late, {}, Purpose::Act), std::vector<pid_t>{born_after.pid()});
    }
    auto again = spawn("/bin/sleep", {late, "30"});
    EXPECT_EQ(Ps::get_pids_by_name(late, {}, Purpose::Look), std::vector<pid_t>{again.pid()});
    // Where procfs is not read, a census holds nothing and looks go their usual way.
    Ps::READ_PROC = false;
    const Ps::Census census;
    auto unread = spawn("/bin/sleep", {unique_name("tvunread"), "30"});
    EXPECT_TRUE(has(Ps::get_pids_by_name("sleep", {}, Purpose::Look), unread.pid()));
}
