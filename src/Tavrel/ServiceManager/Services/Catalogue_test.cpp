#include "Tavrel/ServiceManager/Services/Catalogue.h"

#include "Tavrel/OS.h"
#include "Tavrel/OS/All.h"
#include "Tavrel/OS/SysBootstrap.h"
#include "Tavrel/Regex.h"
#include "Tavrel/ServiceManager.h"
#include "Tavrel/ServiceManager/Registry.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

namespace SB = Tavrel::OS::SysBootstrap;
namespace SM = Tavrel::ServiceManager;
using SM::Services::Catalogue::entries;

// One release file per family the classes must describe.
struct Release {
    const char* name;
    const char* os_release;
    const char* family;
};
const Release RELEASES[] = {
    {"Debian 11", "ID=debian\nVERSION_ID=\"11\"\n", "debian"},
    {"Debian 12", "ID=debian\nVERSION_ID=\"12\"\n", "debian"},
    {"Ubuntu 22.04", "ID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"22.04\"\n", "ubuntu"},
    {"Ubuntu 24.04", "ID=ubuntu\nID_LIKE=debian\nVERSION_ID=\"24.04\"\n", "ubuntu"},
    {"AlmaLinux 8", "ID=\"almalinux\"\nID_LIKE=\"rhel centos fedora\"\nVERSION_ID=\"8.9\"\n", "rhel"},
    {"Rocky Linux 9", "ID=\"rocky\"\nID_LIKE=\"rhel centos fedora\"\nVERSION_ID=\"9.3\"\n", "rhel"},
};

class CatalogueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = {SB::OS_RELEASE_FILE, SB::REDHAT_RELEASE_FILE, SB::CACHE_DIR, SB::CACHE_LINK,
                  SB::CUSTOM_LINK};
        SB::REDHAT_RELEASE_FILE = tmp_ / "redhat-release";
        SB::CACHE_DIR = tmp_ / "caches/os";
        SB::CACHE_LINK = SB::CACHE_DIR + "/identity";
        SB::CUSTOM_LINK = SB::CACHE_DIR + "/identity.custom";
    }
    void TearDown() override {
        SB::OS_RELEASE_FILE = saved_[0];
        SB::REDHAT_RELEASE_FILE = saved_[1];
        SB::CACHE_DIR = saved_[2];
        SB::CACHE_LINK = saved_[3];
        SB::CUSTOM_LINK = saved_[4];
        Tavrel::OS::clear_cache();
    }
    void become(const Release& r) {
        SB::OS_RELEASE_FILE = tmp_.write(std::string("os-release-") + r.family, r.os_release);
        Tavrel::OS::clear_cache();
        ASSERT_EQ(Tavrel::OS::base_distro(), r.family) << r.name;
    }

    Tavrel::TestSupport::TempDir tmp_;
    std::vector<std::string> saved_;
};

bool absolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

// Every built-in class, built on every family, declares a service the tool can
// drive: a program and pid file at absolute paths, a unit name or its own
// start arguments, ports in range, a package to ask about, sane time bounds.
TEST_F(CatalogueTest, EveryClassIsSoundOnEveryFamily) {
    for (const Release& r : RELEASES) {
        become(r);
        for (const std::string& module : SM::Registry::module_words()) {
            SCOPED_TRACE(std::string(r.name) + " " + module);
            auto make = SM::Registry::find(module);
            ASSERT_TRUE(make);
            std::unique_ptr<SM::Base> srv = (*make)();
            const std::string word = srv->service();
            EXPECT_EQ(SM::module_word(word), module) << "the factory would not find " << word;
            EXPECT_EQ(srv->class_name(), SM::Base::SERVICES_CLASS_PREFIX + module);

            const std::string binary = srv->service_binary();
            EXPECT_TRUE(absolute(binary)) << "binary '" << binary << "'";
            if (!srv->pidfile().empty()) {
                EXPECT_TRUE(absolute(srv->pidfile())) << srv->pidfile();
            }
            if (!srv->pid_exe().empty()) {
                Tavrel::Regex exe(srv->pid_exe());
                EXPECT_TRUE(exe.match(binary)) << srv->pid_exe() << " misses " << binary;
            }
            EXPECT_FALSE(srv->processowner().empty());
            EXPECT_FALSE(srv->service_name().empty());

            std::set<int> seen;
            for (int port : srv->ports()) {
                EXPECT_TRUE(port > 0 && port < 65536) << port;
                EXPECT_TRUE(seen.insert(port).second) << "port " << port << " twice";
            }
            EXPECT_GT(srv->startup_timeout(), 0);
            EXPECT_LE(srv->startup_timeout(), 600);
            EXPECT_GE(srv->restart_attempts(), 0);
            EXPECT_LE(srv->restart_attempts(), 5);
            EXPECT_FALSE(srv->has_restart_gracefully());

            for (const auto& args : {srv->startup_args(), srv->shutdown_args(), srv->restart_args()}) {
                if (!args)
                    continue;
                for (const std::string& a : *args)
                    EXPECT_EQ(a.find('{'), std::string::npos) << "unexpanded argument " << a;
            }
            if (srv->is_tavrel_service()) {
                // The panel starts these itself: with its arguments, never a package's unit.
                EXPECT_TRUE(srv->startup_args()) << "no start arguments";
            }
        }
    }
}

// The catalogue's daemons that come from the distribution have package facts
// on every supported release, so that no class falls back to guessing.
TEST_F(CatalogueTest, EveryDistributionDaemonHasPackageFacts) {
    for (const auto& [distro, major] : Tavrel::OS::All::supported_distros()) {
        const Tavrel::OS::Facts* facts = Tavrel::OS::All::find(distro, major);
        ASSERT_NE(facts, nullptr);
        for (const auto& e : entries()) {
            if (!e.binary.empty())
                continue;  // the panel's own program
            SCOPED_TRACE(distro + major + " " + e.word);
            auto it = facts->daemons.find(e.word);
            ASSERT_NE(it, facts->daemons.end());
            EXPECT_TRUE(absolute(it->second.binary));
            EXPECT_FALSE(it->second.packages.empty());
            for (const auto& p : it->second.packages)
                EXPECT_FALSE(p.empty());
        }
    }
}

// The names the program is installed under are the catalogue's own words,
// each of which leads the factory back to its class; no word is taken twice.
TEST_F(CatalogueTest, ServiceWordsLeadBackToTheirClass) {
    std::set<std::string> words;
    for (const std::string& word : SM::Registry::service_words()) {
        EXPECT_TRUE(words.insert(word).second) << word << " twice";
        EXPECT_TRUE(SM::Registry::find(SM::module_word(word))) << word;
    }
    EXPECT_TRUE(words.count("exim-altport"));
    EXPECT_TRUE(words.count("pure-ftpd"));
}

}  // namespace
