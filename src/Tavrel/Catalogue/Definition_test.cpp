#include "Tavrel/Catalogue/Definition.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Service/Base.h"
#include "Tavrel/Catalogue/Registry.h"
#include "Tavrel/Init/SysV/Startup.h"
#include "testsupport/TempDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace Tavrel::Catalogue {
namespace {

using Tavrel::TestSupport::TempDir;
using testing::HasSubstr;

std::string load_error(const std::function<void()>& body) {
    try {
        body();
    } catch (const Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Module::LoadFailed")) << e.class_name();
        return e.to_string_no_id();
    }
    ADD_FAILURE() << "no error";
    return {};
}

TEST(Definition, ParsesAttributesAndTheHotFlag) {
    auto d = Definition::parse("/d/Ztestd.json", R"({
        // the test daemon
        "hot": true,
        "pidfile": "/run/ztestd.pid",
        "ports": [8765]
    })");
    EXPECT_TRUE(d.hot());
    EXPECT_EQ(d.attributes().size(), 2u);
    EXPECT_FALSE(d.attributes().contains("hot"));
    auto obj = std::make_unique<Tavrel::Service::Base>();
    d.apply(*obj);
    EXPECT_EQ(obj->pidfile(), "/run/ztestd.pid");
    EXPECT_EQ(obj->ports(), std::vector<int>{8765});
}

TEST(Definition, ErrorsNameTheFileAndTheLine) {
    std::string text = "{\n  \"pidfile\": \"/run/x.pid\",\n  \"ports\": [1,,2]\n}\n";
    EXPECT_THAT(load_error([&] { Definition::parse("/d/X.json", text); }),
                HasSubstr("/d/X.json line 3: not valid JSON"));
    // Digits beyond any number type: the parser's own exception must not escape.
    EXPECT_THAT(load_error([] {
                    Definition::parse("/d/X.json", "{\n\"startup_timeout\": 7" + std::string(400, '0') + "}");
                }),
                HasSubstr("/d/X.json line 2: not usable JSON: number overflow"));
    EXPECT_THAT(load_error([] { Definition::parse("/d/X.json", "[1]"); }),
                HasSubstr("/d/X.json line 1: the definition must be a JSON object"));
    EXPECT_THAT(load_error([] { Definition::parse("/d/X.json", "{\n\"hot\": 1}"); }),
                HasSubstr("line 2: “hot” must be true or false"));

    auto unknown = Definition::parse("/d/X.json", "{\n  \"pidfile\": \"/p\",\n\n  \"pidfle\": \"/p\"\n}");
    Tavrel::Service::Base obj;
    EXPECT_THAT(load_error([&] { unknown.apply(obj); }),
                HasSubstr("/d/X.json line 4: unknown attribute “pidfle”"));
    auto shape = Definition::parse("/d/X.json", "{\n  \"ports\": \"eighty\"\n}");
    EXPECT_THAT(load_error([&] { shape.apply(obj); }),
                HasSubstr("/d/X.json line 2: wrong value for the attribute “ports”"));
}

// An administrator gives a slow init script more time; no bound at all is
// not a value, since nothing may wait for ever.
TEST(Definition, SetsTheBoundOfTheServiceCommands) {
    auto obj = std::make_unique<Tavrel::Service::Base>();
    EXPECT_DOUBLE_EQ(obj->command_timeout(), Init::SysV::DEFAULT_COMMAND_TIMEOUT);
    Definition::parse("/d/X.json", R"({"command_timeout": 300})").apply(*obj);
    EXPECT_DOUBLE_EQ(obj->command_timeout(), 300);
    for (const char* bad : {"0", "-5", "\"never\""}) {
        Tavrel::Service::Base other;
        auto d = Definition::parse("/d/X.json", std::string("{\n\"command_timeout\": ") + bad + "}");
        EXPECT_THAT(load_error([&] { d.apply(other); }),
                    HasSubstr("line 2: wrong value for the attribute “command_timeout”"))
            << bad;
    }
}

TEST(Definition, FindsOnlyTrustworthyFiles) {
    TempDir dir;
    auto saved = Definition::DIR;
    Definition::DIR = dir.path();
    EXPECT_FALSE(Definition::find("Absent").has_value());

    std::string path = dir.write("Good.json", R"({"pidfile": "/run/good.pid"})");
    ASSERT_TRUE(Definition::find("Good").has_value());
    EXPECT_EQ(Definition::find("Good")->path(), path);

    // A file others may write could make this tool run anything as root.
    ::chmod(path.c_str(), 0666);
    EXPECT_THAT(load_error([] { Definition::find("Good"); }), HasSubstr("writable by no one else"));
    ::mkdir((dir / "Dir.json").c_str(), 0755);
    EXPECT_THAT(load_error([] { Definition::find("Dir"); }), HasSubstr("not a regular file"));
    ::symlink(path.c_str(), (dir / "Link.json").c_str());
    EXPECT_THAT(load_error([] { Definition::find("Link"); }), HasSubstr("Link.json"));
    Definition::DIR = saved;
}

// Whoever may rename entries in the definitions directory, or in one above
// it, can swap or remove the administrator's definitions: then none is used.
TEST(Definition, IgnoresEveryDefinitionInADirectoryOthersControl) {
    TempDir top;
    auto saved = Definition::DIR;
    const std::string parent = top / "etc";
    Definition::DIR = parent + "/services";
    EXPECT_FALSE(Definition::find("Good").has_value());  // no directory: no definitions
    top.write("etc/services/Good.json", R"({"pidfile": "/run/good.pid"})");
    ::chmod(parent.c_str(), 0755);
    ::chmod(Definition::DIR.c_str(), 0755);
    ASSERT_TRUE(Definition::find("Good").has_value());

    const auto refused = [](const std::string& why) {
        EXPECT_THAT(load_error([] { Definition::find("Good"); }),
                    testing::AllOf(HasSubstr("every service definition in " + Definition::DIR + " is ignored"),
                                   HasSubstr(why)));
    };
    ::chmod(Definition::DIR.c_str(), 0775);
    refused(Definition::DIR + " may be written by its group or others");
    // Sticky does not help the directory itself: others could add files to it.
    ::chmod(Definition::DIR.c_str(), 01777);
    refused(Definition::DIR + " may be written by its group or others");
    ::chmod(Definition::DIR.c_str(), 0755);
    ::chmod(parent.c_str(), 0777);
    refused(parent + " may be written by its group or others");
    // Above it, a directory shared the way /tmp is shared is fine.
    ::chmod(parent.c_str(), 01777);
    EXPECT_TRUE(Definition::find("Good").has_value());
    ::chmod(parent.c_str(), 0755);

    // A link to the real directory, or to a directory above it.
    const std::string link = top / "link";
    ASSERT_EQ(::symlink(parent.c_str(), link.c_str()), 0);
    Definition::DIR = link + "/services";
    refused(link + " is a symbolic link");
    Definition::DIR = top / "services-link";
    ASSERT_EQ(::symlink((parent + "/services").c_str(), Definition::DIR.c_str()), 0);
    refused(Definition::DIR + " is a symbolic link");

    // Another account's directory (only root can give one away).
    Definition::DIR = parent + "/services";
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(Definition::DIR.c_str(), 65534, 65534), 0);
        refused(Definition::DIR + " belongs to another account (uid 65534)");
        ASSERT_EQ(::chown(Definition::DIR.c_str(), 0, 0), 0);
        ASSERT_EQ(::chown(parent.c_str(), 65534, 65534), 0);
        refused(parent + " belongs to another account (uid 65534)");
        ASSERT_EQ(::chown(parent.c_str(), 0, 0), 0);
    }
    EXPECT_TRUE(Definition::find("Good").has_value());
    Definition::DIR = saved;
}

TEST(Registry, BuiltInClassesAreFoundByModuleWordAndInstalledUnderTheirWords) {
    for (const auto& module : Registry::module_words()) {
        auto make = Registry::find(module);
        ASSERT_TRUE(make.has_value()) << module;
        EXPECT_EQ((*make)()->class_name(), "Tavrel::ServiceManager::Services::" + module);
    }
    EXPECT_FALSE(Registry::find("crond").has_value());  // module words, not service words
    // The install rules link one name per word; they must list the same words.
    std::vector<std::string> installed;
    std::stringstream csv(TAVREL_INSTALLED_SERVICE_WORDS);
    for (std::string w; std::getline(csv, w, ',');)
        installed.push_back(w);
    EXPECT_EQ(installed, Registry::service_words());
    EXPECT_THAT(Registry::service_words(), testing::IsSupersetOf({"crond", "nscd", "rsyslogd", "sshd"}));
}

}  // namespace
}  // namespace Tavrel::Catalogue
