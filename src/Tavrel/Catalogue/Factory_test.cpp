#include "Tavrel/Catalogue/Factory.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/Logger.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Catalogue/Definition.h"
#include "Tavrel/Server/Enabled.h"
#include "Tavrel/Server/Monitor/Config.h"
#include "Tavrel/Init/SysV/Script.h"
#include "Tavrel/Service/Lock.h"
#include "Tavrel/Config/OS.h"
#include "testsupport/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace Tavrel::Catalogue {
namespace {

using Tavrel::TestSupport::TempDir;
using testing::HasSubstr;

// Every place the factory looks is moved into a temporary directory.
class Factory : public testing::Test {
  protected:
    void SetUp() override {
        saved_ = {Definition::DIR, Init::SysV::Script::INIT_D_DIR, Tavrel::Service::Lock::LOCK_BASE,
                  Foundation::Logger::STD_LOG_FILE, STRICT_FILE, Config::OS::SYSTEMD_RUN_DIR};
        Definition::DIR = tmp_ / "defs";
        ::mkdir(Definition::DIR.c_str(), 0755);
        Init::SysV::Script::INIT_D_DIR = tmp_ / "init.d";
        ::mkdir(Init::SysV::Script::INIT_D_DIR.c_str(), 0755);
        Tavrel::Service::Lock::LOCK_BASE = tmp_ / "locks";
        Foundation::Logger::STD_LOG_FILE = tmp_ / "error_log";
        Foundation::Logger::clear_singleton_stash();
        STRICT_FILE = tmp_ / "strict";
        Config::OS::SYSTEMD_RUN_DIR = tmp_ / "no-systemd";  // no unit is ever asked for
        saved_.push_back(Server::Monitor::Config::SVCWATCH_DIR);
        Server::Monitor::Config::SVCWATCH_DIR = tmp_ / "svcwatch.d";
        ::mkdir(Server::Monitor::Config::SVCWATCH_DIR.c_str(), 0755);
    }
    void TearDown() override {
        Definition::DIR = saved_[0];
        Init::SysV::Script::INIT_D_DIR = saved_[1];
        Tavrel::Service::Lock::LOCK_BASE = saved_[2];
        Foundation::Logger::STD_LOG_FILE = saved_[3];
        Foundation::Logger::clear_singleton_stash();
        STRICT_FILE = saved_[4];
        Config::OS::SYSTEMD_RUN_DIR = saved_[5];
        Server::Monitor::Config::SVCWATCH_DIR = saved_[6];
    }
    void init_script(const std::string& name) {
        std::string p = tmp_.write("init.d/" + name, "#!/bin/sh\nexit 0\n");
        ::chmod(p.c_str(), 0755);
    }
    // An init script of a service the service monitor watches.
    void known_init_script(const std::string& name) {
        init_script(name);
        tmp_.write("svcwatch.d/" + name, "");
    }
    std::string logged() { return TempDir::read(Foundation::Logger::STD_LOG_FILE); }

    TempDir tmp_;
    std::vector<std::string> saved_;
};

std::string class_of_failure(const nlohmann::json& options) {
    try {
        create(options);
    } catch (const Foundation::Exception& e) {
        return e.class_name();
    } catch (const Foundation::PlainError& e) {
        return "PlainError";
    }
    return "none";
}

TEST(ModuleWord, MapsServiceWordsToClassNames) {
    EXPECT_EQ(module_word("crond"), "Crond");
    EXPECT_EQ(module_word("exim-altport"), "Exim_altport");
    EXPECT_EQ(module_word("clamd@scan.x"), "Clamd_scan_x");
    EXPECT_TRUE(is_module_word("Exim_altport"));
    EXPECT_FALSE(is_module_word("3proxy"));
    EXPECT_FALSE(is_module_word(""));
}

TEST_F(Factory, RefusesMissingOrUnsafeServiceWords) {
    EXPECT_EQ(class_of_failure(nlohmann::json::object()), "PlainError");
    EXPECT_EQ(class_of_failure({{"service", ""}}), "PlainError");
    // A definition named like the escape must never be read.
    tmp_.write("x.json", R"({"pidfile": "/p"})");
    const std::vector<std::string> bad_words = {"../x", "a/b", "..", std::string("a\0b", 3),
                                                std::string(200, 'a'), "cr\nond"};
    for (const std::string& bad : bad_words)
        EXPECT_EQ(class_of_failure({{"service", bad}}), "Tavrel::Exception::Param::Invalid") << bad;
}

TEST_F(Factory, BuiltInClassWinsOverTheInitScript) {
    init_script("crond");
    auto srv = create({{"service", "crond"}});
    EXPECT_EQ(srv->class_name(), "Tavrel::ServiceManager::Services::Crond");
    EXPECT_EQ(srv->service(), "crond");
    EXPECT_FALSE(srv->pidfile().empty());
}

TEST_F(Factory, GenericObjectOnlyForServicesWithAScriptOrUnit) {
    known_init_script("foo");
    auto srv = create({{"service", "foo"}});
    EXPECT_EQ(srv->class_name(), "Tavrel::ServiceManager::Base");
    EXPECT_EQ(srv->service(), "foo");
    try {
        create({{"service", "nosuch"}, {"longmess", "called from a test"}});
        FAIL() << "no error";
    } catch (const Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Services::Unknown"));
        EXPECT_EQ(e.get_text("service"), "nosuch");
        EXPECT_THAT(e.to_string(), HasSubstr("nosuch"));
    }
}

TEST_F(Factory, DefinitionDefinesANewServiceAndOptionsWin) {
    tmp_.write("defs/Ztestd.json", R"({"hot": true, "pidfile": "/run/ztestd.pid", "ports": [8765]})");
    auto srv = create({{"service", "ztestd"}});
    EXPECT_EQ(srv->class_name(), "Tavrel::ServiceManager::Hot");
    EXPECT_EQ(srv->service(), "ztestd");
    EXPECT_EQ(srv->pidfile(), "/run/ztestd.pid");
    srv.reset();
    srv = create({{"service", "ztestd"}, {"pidfile", "/run/other.pid"}});
    EXPECT_EQ(srv->pidfile(), "/run/other.pid");
    EXPECT_EQ(srv->ports(), std::vector<int>{8765});
}

// The installed registry knows nothing of a service an administrator added
// by a definition: only its switches decide, as for any installed service.
TEST_F(Factory, ServiceKnownOnlyByItsDefinitionIsSwitchedByItsFlagFiles) {
    const std::string saved_flags = Server::Enabled::FLAG_DIR;
    Server::Enabled::FLAG_DIR = tmp_ / "disabled";
    tmp_.write("defs/Ztestd.json", R"({"pidfile": "/run/ztestd.pid"})");
    auto srv = create({{"service", "ztestd"}});
    EXPECT_TRUE(srv->is_enabled());
    srv.reset();
    tmp_.write("disabled/ztestd.disable", "");
    srv = create({{"service", "ztestd"}});
    EXPECT_FALSE(srv->is_enabled());
    srv.reset();
    // The definition's own word wins over the switches.
    tmp_.write("defs/Ztestd.json", R"({"pidfile": "/run/ztestd.pid", "is_enabled": true})");
    srv = create({{"service", "ztestd"}});
    EXPECT_TRUE(srv->is_enabled());
    srv.reset();
    // A built-in class keeps asking the registry whether it is installed.
    tmp_.write("defs/Crond.json", R"({"pidfile": "/run/elsewhere.pid"})");
    srv = create({{"service", "crond"}});
    EXPECT_FALSE(srv->described_by_definition());
    Server::Enabled::FLAG_DIR = saved_flags;
}

// An init script alone does not make a service one this server knows: the
// refusal comes before anything is done, says what is missing and how to add
// it, and not that the service is disabled.
TEST_F(Factory, ServiceThisServerDoesNotKnowIsRefusedForWhatItIs) {
    init_script("slowd");
    try {
        create({{"service", "slowd"}});
        FAIL() << "no error";
    } catch (const Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Services::Unknown")) << e.class_name();
        EXPECT_THAT(e.to_string(), HasSubstr("does not know the service “slowd”: it has an init script"));
        EXPECT_THAT(e.to_string(), HasSubstr("no service class, no definition and no service-monitor entry"));
        EXPECT_THAT(e.to_string(), HasSubstr(tmp_ / "defs/Slowd.json"));
        EXPECT_THAT(e.to_string(), testing::Not(HasSubstr("disabled")));
    }
    // A word no definition can be named after is made known by the monitor.
    init_script("3proxy");
    try {
        create({{"service", "3proxy"}});
        FAIL() << "no error";
    } catch (const Foundation::Exception& e) {
        EXPECT_THAT(e.to_string(), HasSubstr(tmp_ / "svcwatch.d/3proxy"));
    }
    // With a monitor entry it is known: the generic object.
    tmp_.write("svcwatch.d/slowd", "");
    EXPECT_EQ(create({{"service", "slowd"}})->class_name(), "Tavrel::ServiceManager::Base");
}

TEST_F(Factory, DefinitionOverridesABuiltInClass) {
    tmp_.write("defs/Crond.json", R"({"pidfile": "/run/elsewhere.pid", "startup_timeout": 3})");
    auto srv = create({{"service", "crond"}});
    EXPECT_EQ(srv->class_name(), "Tavrel::ServiceManager::Services::Crond");
    EXPECT_EQ(srv->pidfile(), "/run/elsewhere.pid");
    EXPECT_EQ(srv->startup_timeout(), 3);
}

TEST_F(Factory, BrokenDefinitionWarnsThenFallsBack) {
    // Over a built-in class: the class without the broken overrides.
    tmp_.write("defs/Crond.json", "{\n  \"pidfile\": \"/run/x.pid\",\n  \"bogus\": 1\n}\n");
    auto srv = create({{"service", "crond"}});
    EXPECT_EQ(srv->class_name(), "Tavrel::ServiceManager::Services::Crond");
    EXPECT_NE(srv->pidfile(), "/run/x.pid");
    srv.reset();
    EXPECT_THAT(logged(), HasSubstr("Crond.json line 3: unknown attribute “bogus”"));

    // A new service with an init script: the generic object.
    tmp_.write("defs/Foo.json", "{ \"pidfile\": ");
    known_init_script("foo");
    srv = create({{"service", "foo"}});
    EXPECT_EQ(srv->class_name(), "Tavrel::ServiceManager::Base");
    srv.reset();
    EXPECT_THAT(logged(), HasSubstr("Foo.json line 1: not valid JSON"));

    // Neither: unknown, unless the strict marker asks for the load error.
    tmp_.write("defs/Bar.json", "[]");
    try {
        create({{"service", "bar"}});
        FAIL() << "no error";
    } catch (const Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Services::Unknown"));
        // The caller sees why the definition did not count, not only the log.
        EXPECT_THAT(e.to_string(), HasSubstr("Bar.json line 1: the definition must be"));
    }
    tmp_.write("strict", "");
    EXPECT_EQ(class_of_failure({{"service", "bar"}}), "Tavrel::Exception::Module::LoadFailed");
}

}  // namespace
}  // namespace Tavrel::Catalogue
