#include "Tavrel/Server/Type/Profile.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Run/GlobalCache.h"
#include "Tavrel/Foundation/PlainError.h"
#include "Tavrel/Server/Type.h"
#include "Tavrel/Server/Type/Profile/Roles.h"
#include "Tavrel/Server/Type/Role.h"
#include "Tavrel/Server/Type/Role/EnabledCache.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

namespace {

namespace Type = Tavrel::Server::Type;
namespace Profile = Type::Profile;
namespace Roles = Profile::Roles;
using Type::Role;

class RolesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_dir_ = Role::TOUCHFILE_DIR;
        Role::TOUCHFILE_DIR = tmp_ / "roles";
        std::filesystem::create_directories(Role::TOUCHFILE_DIR);
        saved_product_ = Tavrel::Run::GlobalCache::default_product_dir();
        Tavrel::Run::GlobalCache::default_product_dir(tmp_ / "product");
        postgres_installed(true);
        reset();
    }
    void TearDown() override {
        Role::TOUCHFILE_DIR = saved_dir_;
        Tavrel::Run::GlobalCache::default_product_dir(saved_product_);
        Tavrel::Run::GlobalCache::clearcache();
        reset();
    }
    static void reset() {
        Role::EnabledCache::_unset_all();
        Role::_reset_available_cache();
        Profile::_reset_cache();
        Tavrel::Run::GlobalCache::clearcache();
    }
    void postgres_installed(bool yes) {
        tmp_.write("product/" + Tavrel::Run::GlobalCache::GLOBAL_CACHE_SUBDIR + "/" +
                       Role::POSTGRES_CACHE_NAME + ".json",
                   std::string(R"({"data":{")") + Role::POSTGRES_CACHE_KEY +
                       "\":" + (yes ? "true" : "false") + "}}");
        // The cache is read only when its file is newer than a given time; make sure of that.
        Tavrel::Run::GlobalCache::clearcache();
    }
    void disable(std::initializer_list<const char*> roles) {
        for (const char* r : roles) {
            std::string name = r;
            for (char& c : name)
                c = static_cast<char>(std::tolower(c));
            tmp_.write("roles/" + name, "");
        }
        reset();
    }

    Tavrel::TestSupport::TempDir tmp_;
    std::string saved_dir_, saved_product_;
};

TEST_F(RolesTest, EveryRoleOnMeansTheCompleteProfile) {
    EXPECT_EQ(Profile::get_all_possible_roles().size(), 14u);
    for (const std::string& cls : Profile::get_all_possible_roles()) {
        EXPECT_EQ(Role::load(cls).is_enabled(), 1) << cls;
    }
    EXPECT_EQ(Profile::get_current_profile(), "COMPLETE");
    EXPECT_TRUE(Profile::current_profile_matches(std::vector<std::string>{"POSTAL", "COMPLETE"}));
    EXPECT_FALSE(Profile::get_disabled_roles_for_profile("COMPLETE"));
}

TEST_F(RolesTest, ProfileTableMatchesItsCounts) {
    const auto& meta = Profile::get_meta();
    EXPECT_EQ(meta.at("POSTAL").enabled_roles.size(), 6u);
    EXPECT_EQ(meta.at("POSTAL").optional_roles.size(), 4u);
    EXPECT_EQ(meta.at("RESOLVER").enabled_roles.size(), 3u);
    EXPECT_EQ(meta.at("RESOLVER").optional_roles.size(), 2u);
    EXPECT_EQ(meta.at("LEDGER").enabled_roles.size(), 3u);
    EXPECT_EQ(meta.at("LEDGER").optional_roles.size(), 1u);
    EXPECT_EQ(meta.at("LEDGER").experimental, 1);
    for (const auto& [name, m] : meta) {
        for (const auto& cls : m.enabled_roles)
            EXPECT_NO_THROW(Role::load(cls)) << cls;
        if (name != "COMPLETE") {
            for (const char* all : {"MailLocal", "MailSend"}) {
                EXPECT_NE(std::find(m.enabled_roles.begin(), m.enabled_roles.end(),
                                    std::string(Role::CLASS_PREFIX) + all),
                          m.enabled_roles.end())
                    << name << " lacks " << all;
            }
        }
    }
    auto described = Profile::get_meta_with_descriptions();
    EXPECT_TRUE(described.at("RESOLVER").description.has_value());
    EXPECT_FALSE(Profile::get_meta().at("RESOLVER").description.has_value());
    EXPECT_THROW(Profile::get_disabled_roles_for_profile("NOPE"), Tavrel::Foundation::PlainError);
    EXPECT_EQ(Profile::get_service_subdomains_for_profile("POSTAL"),
              (std::vector<std::string>{"webmail", "calendar", "contacts", "webdisk"}));
}

TEST_F(RolesTest, ADnsOnlyRolePatternIsTheResolverProfile) {
    disable({"CalendarContact", "FTP", "FileStorage", "MailReceive", "Postgres", "SpamFilter",
             "WebDisk", "WebServer", "Webmail"});
    EXPECT_EQ(Profile::get_current_profile(), "RESOLVER");
    EXPECT_EQ(Roles::get_optional_roles_for_profile("RESOLVER"),
              (std::map<std::string, int>{{std::string(Role::CLASS_PREFIX) + "Analytics", 1},
                                          {std::string(Role::CLASS_PREFIX) + "MySQL", 1}}));
    disable({"DNS"});
    EXPECT_EQ(Profile::get_current_profile(), "COMPLETE") << "Analytics is not a LEDGER role";
    disable({"Analytics"});
    EXPECT_EQ(Profile::get_current_profile(), "LEDGER");
    EXPECT_THROW(Roles::get_optional_roles_for_profile("NOPE"), Tavrel::Foundation::Exception);
}

TEST_F(RolesTest, ServiceIsAllowedWhileAnyGoverningRoleIsOn) {
    EXPECT_EQ(Roles::_get_service_roles("hubdavd"),
              (std::vector<std::string>{"CalendarContact", "MailReceive", "WebDisk"}));
    EXPECT_EQ(Roles::is_service_allowed("sshd"), 1) << "no role governs it";
    disable({"CalendarContact", "MailReceive"});
    EXPECT_EQ(Roles::is_service_allowed("hubdavd"), 1);
    disable({"WebDisk"});
    EXPECT_EQ(Roles::is_service_allowed("hubdavd"), 0);
    EXPECT_EQ(Roles::is_service_allowed("named"), 1);
    disable({"DNS"});
    EXPECT_EQ(Roles::is_service_allowed("named"), 0);
}

TEST_F(RolesTest, MailRolesAreAlwaysOnByShortName) {
    disable({"MailLocal", "MailSend"});
    EXPECT_EQ(Roles::is_role_enabled("MailLocal"), 1);
    EXPECT_EQ(Roles::is_role_enabled("MailSend"), 1);
    EXPECT_NO_THROW(Roles::verify_roles_enabled("MailSend"));
    EXPECT_EQ(Role::load("MailSend").is_enabled(), 0) << "the class itself sees its flag";
}

TEST_F(RolesTest, VerifyRolesEnabledModes) {
    disable({"Postgres"});
    EXPECT_NO_THROW(Roles::verify_roles_enabled(Roles::Query{{"MySQL", "Postgres"}, "any"}));
    EXPECT_EQ(Roles::are_roles_enabled(Roles::Query{{"MySQL", "Postgres"}, "any"}), 1);
    EXPECT_EQ(Roles::are_roles_enabled(Roles::Query{{"MySQL", "Postgres"}, ""}), 0);
    try {
        Roles::verify_roles_enabled(Roles::Query{{"MySQL", "Postgres"}, ""});
        ADD_FAILURE() << "passed with a disabled role";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("System::RolesNotEnabled"));
        EXPECT_EQ(*e.get("roles"), Tavrel::Foundation::Exception::Value::array({"Postgres"}));
    }
    try {
        Roles::verify_roles_enabled(Roles::Query{{"MySQL"}, "some"});
        ADD_FAILURE() << "accepted a bad mode";
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Param::Invalid"));
        EXPECT_NE(e.to_string().find("match"), std::string::npos);
    }
    try {
        Roles::verify_roles_enabled("Postgres");
        ADD_FAILURE();
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("System::RoleNotEnabled"));
        EXPECT_EQ(e.get_text("role"), "Postgres");
    }
}

TEST_F(RolesTest, EnabledAnswerIsCachedUntilUnset) {
    const Role& dns = Role::load("DNS");
    EXPECT_EQ(dns.is_enabled(), 1);
    tmp_.write("roles/dns", "");
    EXPECT_EQ(dns.is_enabled(), 1) << "cached for the process";
    Role::EnabledCache::unset(dns.class_name());
    EXPECT_EQ(dns.is_enabled(), 0);
    EXPECT_EQ(Role::EnabledCache::get(dns.class_name()), 0);
    EXPECT_THROW(Role::EnabledCache::set(dns.class_name(), 2), Tavrel::Foundation::PlainError);
}

TEST_F(RolesTest, PostgresNeedsAnInstalledServer) {
    postgres_installed(false);
    reset();
    EXPECT_EQ(Role::load("Postgres").is_enabled(), 0);
    EXPECT_FALSE(Role::load("Postgres").is_available());
    EXPECT_EQ(Role::load("MySQL").is_enabled(), 1);
}

TEST_F(RolesTest, AbstractHooksAndUnknownRoles) {
    struct Bare : Role {
        Bare() : Role("Tavrel::Server::Type::Role::Bare", "Bare") {}
    } bare;
    try {
        bare._TOUCHFILE();
        ADD_FAILURE();
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("AbstractMethod"));
        EXPECT_NE(e.to_string().find("Role::Bare"), std::string::npos) << e.to_string();
    }
    EXPECT_THROW(bare._NAME(), Tavrel::Foundation::Exception);
    // Either name finds a role; a failure names the class either way.
    for (const char* unknown : {"Nope", "Tavrel::Server::Type::Role::Nope"}) {
        try {
            Role::load(unknown);
            ADD_FAILURE() << unknown;
        } catch (const Tavrel::Foundation::Exception& e) {
            EXPECT_EQ(e.get_text("module"), "Tavrel::Server::Type::Role::Nope") << unknown;
        }
    }
    EXPECT_EQ(&Role::load("Tavrel::Server::Type::Role::DNS"), &Role::load("DNS"));
    EXPECT_EQ(Role::load("DNS").short_name(), "DNS");
}

TEST(ZoneOnlyTest, FlagFileAndOverride) {
    Tavrel::TestSupport::TempDir tmp;
    std::string saved = Type::ZONEONLY_FILE;
    Type::ZONEONLY_FILE = tmp / "zoneonly";
    EXPECT_EQ(Type::is_zoneonly(), 0);
    tmp.write("zoneonly", "");
    EXPECT_EQ(Type::is_zoneonly(), 1);
    Type::ZONEONLY_OVERRIDE = false;
    EXPECT_EQ(Type::is_zoneonly(), 0);
    Type::ZONEONLY_OVERRIDE.reset();
    Type::ZONEONLY_FILE = tmp / "zoneonly/below-a-file";
    EXPECT_THROW(Type::is_zoneonly(), Tavrel::Foundation::PlainError) << "ENOTDIR is not a missing file";
    Type::ZONEONLY_FILE = saved;
}

}  // namespace
