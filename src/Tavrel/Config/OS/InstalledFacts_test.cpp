// The facts this tool holds for the running release, compared with what its
// packages really install. Run by the end-to-end checks inside a sandbox that
// has the catalogue's daemons installed (TAVREL_INSTALLED_FACTS=installed),
// and again while a group of them runs (=running, with the words of that
// group in TAVREL_INSTALLED_FACTS_WORDS); skipped anywhere else.
#include "Tavrel/Config/OS/All.h"
#include "Tavrel/Config/OS/SysBootstrap.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using Tavrel::Config::OS::DaemonFacts;
using Tavrel::Config::OS::Facts;

// What a shell command prints; only fixed package names are passed in.
std::string output_of(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe))
            out += buffer;
        ::pclose(pipe);
    }
    return out;
}

bool package_installed(const std::string& package) {
    return output_of("dpkg-query -W -f='${db:Status-Abbrev}' '" + package + "' 2>/dev/null")
               .rfind("ii", 0) == 0;
}

bool package_known(const std::string& package) {
    return !output_of("apt-cache show --no-all-versions '" + package + "' 2>/dev/null").empty();
}

// The unit or init script the release's facts name for WORD: the package
// must ship one. (A word they do not map is the panel's own, such as the
// mail server's second instance, whose script the panel writes.)
bool has_unit_or_script(const Facts& facts, const std::string& word) {
    const auto mapped = facts.systemd_service_name_map.find(word);
    if (mapped == facts.systemd_service_name_map.end())
        return true;
    const std::string& unit = mapped->second;
    for (const std::string dir : {"/usr/lib/systemd/system/", "/lib/systemd/system/"})
        if (fs::exists(dir + unit + ".service"))
            return true;
    return fs::exists("/etc/init.d/" + unit);
}

// Whether process PID runs PROGRAM: as its executable, or as the script an
// interpreter runs (the spam filter is a Perl program), named among its
// arguments or by the title it gave itself ("spamd", "/usr/sbin/spamd ...").
bool runs_program(const std::string& pid, const std::string& program) {
    std::error_code ec;
    if (fs::read_symlink("/proc/" + pid + "/exe", ec).string() == program)
        return true;
    const std::string name = fs::path(program).filename();
    std::ifstream cmdline("/proc/" + pid + "/cmdline");
    std::string title;
    std::getline(cmdline, title, '\0');
    for (const std::string& own : {program, name})
        if (title == own || title.rfind(own + " ", 0) == 0)
            return true;
    for (std::string word; std::getline(cmdline, word, '\0');)
        if (word == program)
            return true;
    return false;
}

std::string pid_in(const std::string& pidfile) {
    std::string pid;
    std::ifstream(pidfile) >> pid;
    return pid;
}

void check_daemon(const Facts& facts, const std::string& word, const DaemonFacts& daemon,
                  bool running) {
    SCOPED_TRACE(word);
    for (const auto& package : daemon.packages)
        EXPECT_TRUE(package_known(package)) << "no package " << package << " in this release";
    bool installed = !daemon.packages.empty();
    for (const auto& package : daemon.packages)
        installed = installed && package_installed(package);
    if (!installed)
        return;
    EXPECT_EQ(::access(daemon.binary.c_str(), X_OK), 0) << daemon.binary << " is not installed";
    EXPECT_TRUE(has_unit_or_script(facts, word)) << "no unit or init script for " << word;
    if (!daemon.processowner.empty()) {
        EXPECT_NE(::getpwnam(daemon.processowner.c_str()), nullptr)
            << "no account " << daemon.processowner;
    }
    // The pid file is the init script's: under systemd a unit may keep its
    // daemon in the foreground and write none (the virus scanner's, nsd's);
    // one it does write must name the daemon all the same.
    const bool booted_with_systemd = fs::is_directory("/run/systemd/system");
    if (running && !daemon.pidfile.empty() && (!booted_with_systemd || fs::exists(daemon.pidfile))) {
        const std::string pid = pid_in(daemon.pidfile);
        EXPECT_FALSE(pid.empty()) << daemon.pidfile << " names no process while " << word << " runs";
        if (!pid.empty()) {
            EXPECT_TRUE(runs_program(pid, daemon.binary))
                << daemon.pidfile << " names pid " << pid << ", which does not run " << daemon.binary;
        }
    }
}

TEST(InstalledFacts, AreWhatThePackagesOfThisReleaseInstall) {
    const char* mode = std::getenv("TAVREL_INSTALLED_FACTS");
    if (!mode)
        GTEST_SKIP() << "only inside a sandbox with the catalogue installed";
    const auto id = Tavrel::Config::OS::SysBootstrap::parse_os_release(
        Tavrel::TestSupport::TempDir::read("/etc/os-release"));
    ASSERT_TRUE(id);
    const Facts* facts = Tavrel::Config::OS::All::find(id->distro, id->major);
    ASSERT_NE(facts, nullptr) << "no facts for " << id->distro << " " << id->major;
    std::set<std::string> running_words;
    if (std::string(mode) == "running") {
        std::istringstream words(std::getenv("TAVREL_INSTALLED_FACTS_WORDS") ?: "");
        for (std::string word; words >> word;)
            running_words.insert(word);
    }
    for (const auto& [word, daemon] : facts->daemons)
        check_daemon(*facts, word, daemon, running_words.count(word) > 0);
}

}  // namespace
