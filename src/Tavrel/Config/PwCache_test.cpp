#include "Tavrel/Config/PwCache.h"

#include "Tavrel/Config/PwCache/Helpers.h"
#include "Tavrel/Config/PwCache/Load.h"
#include "Tavrel/Config/PwUtils.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <utime.h>

#include <cstring>

using namespace Tavrel;

namespace {

const char* PASSWD =
    "root:x:0:0:root:/root:/bin/bash\n"
    "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n"
    "mail:x:8:8:mail:/var/mail:/usr/sbin/nologin\n"
    "toor:x:0:0:second superuser:/root:/bin/sh\n"
    "web.user-1:x:1001:1001:Web User,,,:/home/web:/bin/bash\n";
const char* SHADOW =
    "root:$y$j9T$abc$def:19700:0:99999:7:::\n"
    "mail:*:19700:0:99999:7::20000:\n";

// Account files in a temporary directory, restored afterwards.
struct Accounts {
    TestSupport::TempDir dir;
    std::string passwd_saved = Tavrel::Config::PwCache::PASSWD_FILE, shadow_saved = Tavrel::Config::PwCache::SHADOW_FILE,
                nscd_saved = Tavrel::Config::PwCache::NSCD_SOCKET;
    Accounts() {
        Tavrel::Config::PwCache::PASSWD_FILE = dir.write("passwd", PASSWD);
        Tavrel::Config::PwCache::SHADOW_FILE = dir.write("shadow", SHADOW);
        Tavrel::Config::PwCache::NSCD_SOCKET = dir / "no-nscd";
        Tavrel::Config::PwCache::reset();
    }
    ~Accounts() {
        Tavrel::Config::PwCache::PASSWD_FILE = passwd_saved;
        Tavrel::Config::PwCache::SHADOW_FILE = shadow_saved;
        Tavrel::Config::PwCache::NSCD_SOCKET = nscd_saved;
        Tavrel::Config::PwCache::reset();
    }
    void touch(const std::string& path, time_t when) {
        struct utimbuf t {
            when, when
        };
        ::utime(path.c_str(), &t);
    }
};

}  // namespace

TEST(PwCache, LookupsByNameAndUid) {
    Accounts a;
    auto mail = Tavrel::Config::PwCache::getpwnam_noshadow("mail");
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->uid, 8u);
    EXPECT_EQ(mail->gid, 8u);
    EXPECT_EQ(mail->dir, "/var/mail");
    EXPECT_EQ(mail->shell, "/usr/sbin/nologin");
    EXPECT_EQ(mail->passwd, Tavrel::Config::PwCache::NO_SHADOW_PASSWORD);
    EXPECT_EQ(mail->passwd_mtime, Tavrel::Config::PwCache::Load::mtime_of(Tavrel::Config::PwCache::PASSWD_FILE));
    EXPECT_EQ(Tavrel::Config::PwCache::getpwuid_name(1001), "web.user-1");
    EXPECT_EQ(Tavrel::Config::PwCache::getpwuid_name(0), "root");  // the first uid-0 line wins
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam_uid("daemon"), 1u);
    EXPECT_FALSE(Tavrel::Config::PwCache::getpwnam("nosuch"));
    EXPECT_FALSE(Tavrel::Config::PwCache::getpwuid(4242));
    // Keys that cannot be account names or uids never reach the files.
    for (const char* bad : {"", "a:b", "../etc", "x y", "-opt"})
        EXPECT_FALSE(Tavrel::Config::PwCache::getpwnam(bad)) << bad;
}

TEST(PwCache, ShadowDataOnlyForRootAndFullRecords) {
    Accounts a;
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ::chmod(a.dir.path().c_str(), 0755);
    ::chmod(Tavrel::Config::PwCache::PASSWD_FILE.c_str(), 0644);
    auto root = Tavrel::Config::PwCache::getpwnam("root");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->passwd, "$y$j9T$abc$def");
    EXPECT_EQ(root->lastchg, 19700);
    EXPECT_EQ(root->expire, -1);
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam("mail")->expire, 20000);
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam_noshadow("daemon")->passwd, "x");
    // No shadow line: the record comes back without shadow data.
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam("daemon")->passwd, "x");
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setuid(65534) != 0)
            ::_exit(2);
        Tavrel::Config::PwCache::reset();
        auto r = Tavrel::Config::PwCache::getpwnam("root");
        ::_exit(r && r->passwd == "x" ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A map holding what a full lookup stored, hash included.
class HashHoldingMap : public Tavrel::Config::PwCache::Helpers::Tied {
  public:
    std::optional<Tavrel::Config::PwCache::Entry> FETCH(const std::string& key) override {
        if (key != Tavrel::Config::PwCache::make_key(Tavrel::Config::PwCache::NAME_FIELD, "root"))
            return std::nullopt;
        Tavrel::Config::PwCache::Entry e;
        e.contents.name = "root";
        e.contents.passwd = "$y$j9T$abc$def";
        e.contents.lastchg = 19700;
        e.contents.dir = "/root";
        return e;
    }
    void STORE(const std::string&, const Tavrel::Config::PwCache::Entry&) override {}
    bool EXISTS(const std::string&) override { return true; }
};

// The lookups that do not ask for the password never get it, wherever the
// record comes from: the bound disk cache, or what a full lookup left here.
TEST(PwCache, NoShadowLookupsNeverCarryTheHash) {
    Accounts a;
    HashHoldingMap disk;
    Tavrel::Config::PwCache::Helpers::init(&disk, true);
    auto bound = Tavrel::Config::PwCache::getpwnam_noshadow("root");
    Tavrel::Config::PwCache::Helpers::deinit();
    ASSERT_TRUE(bound);
    EXPECT_EQ(bound->passwd, "x");
    EXPECT_EQ(bound->lastchg, -1);
    EXPECT_EQ(bound->dir, "/root");

    if (::geteuid() != 0)
        GTEST_SKIP() << "only root reads the hash into the per-process cache";
    ::chmod(a.dir.path().c_str(), 0755);
    ASSERT_EQ(Tavrel::Config::PwCache::getpwnam("root")->passwd, "$y$j9T$abc$def");
    auto after_full = Tavrel::Config::PwCache::getpwnam_noshadow("root");
    ASSERT_TRUE(after_full);
    EXPECT_EQ(after_full->passwd, "x");
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam("root")->passwd, "$y$j9T$abc$def");
}

TEST(PwCache, ChangedAccountFileInvalidatesTheCache) {
    Accounts a;
    a.touch(Tavrel::Config::PwCache::PASSWD_FILE, 1000000000);
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam_uid("mail"), 8u);
    TestSupport::TempDir other;
    std::string text = std::string(PASSWD);
    text.replace(text.find("mail:x:8:8"), 10, "mail:x:9:9");
    std::string changed = other.write("passwd", text);
    ::rename(changed.c_str(), Tavrel::Config::PwCache::PASSWD_FILE.c_str());
    a.touch(Tavrel::Config::PwCache::PASSWD_FILE, 1000000000);
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam_uid("mail"), 8u);  // same time: the cached entry stands
    a.touch(Tavrel::Config::PwCache::PASSWD_FILE, 1000000500);
    EXPECT_EQ(Tavrel::Config::PwCache::getpwnam_uid("mail"), 9u);
}

TEST(PwCache, SystemLookupWhenTheNameServiceCacheRuns) {
    Accounts a;
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to drop to nobody";
    ::chmod(a.dir.path().c_str(), 0755);
    std::string sock = a.dir / "nscd.socket";
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, sock.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ::chmod(sock.c_str(), 0666);
    Tavrel::Config::PwCache::NSCD_SOCKET = sock;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setuid(65534) != 0)
            ::_exit(2);
        Tavrel::Config::PwCache::reset();
        // "toor" exists only in the test file: the system lookup does not know it.
        if (Tavrel::Config::PwCache::getpwnam("toor"))
            ::_exit(3);
        auto r = Tavrel::Config::PwCache::getpwuid(0);
        if (!r || r->lastchg != -1 || r->expire != -1 || r->passwd_mtime != 0 ||
            r->shadow_mtime != 0)
            ::_exit(4);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fd);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A line whose uid or gid is not a plain id is malformed and matches nothing:
// a failed conversion must never pass for uid 0, nor an id wrap around to it.
TEST(PwCacheParse, MalformedIdsNeverMatchAndShadowCompletesTheRecord) {
    const char* text =
        "broken:x:notanumber:100::/tmp:/bin/sh\n"
        "wrap:x:4294967296:0::/tmp:/bin/sh\n"
        "minus:x:-1:0::/tmp:/bin/sh\n"
        "noid:x:4294967295:0::/tmp:/bin/sh\n"
        "short:x:5:5\n"
        "mail:x:8:8:mail:/var/mail:/usr/sbin/nologin\n";
    for (const char* name : {"broken", "wrap", "minus", "noid", "short"})
        EXPECT_FALSE(Tavrel::Config::PwCache::Load::find_account(text, name, Tavrel::Config::PwCache::NAME_FIELD)) << name;
    EXPECT_FALSE(Tavrel::Config::PwCache::Load::find_account(text, "0", Tavrel::Config::PwCache::UID_FIELD));
    auto mail = Tavrel::Config::PwCache::Load::find_account(text, "8", Tavrel::Config::PwCache::UID_FIELD);
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->name, "mail");
    EXPECT_EQ(mail->dir, "/var/mail");

    EXPECT_TRUE(Tavrel::Config::PwCache::Load::apply_shadow(SHADOW, *mail));
    EXPECT_EQ(mail->passwd, "*");
    EXPECT_EQ(mail->lastchg, 19700);
    EXPECT_EQ(mail->expire, 20000);
    Tavrel::Config::PwCache::Record nobody;
    nobody.name = "nobody";
    EXPECT_FALSE(Tavrel::Config::PwCache::Load::apply_shadow(SHADOW, nobody));
}

// Disk cache records with ids that are not whole numbers within range are
// refused, not converted into some other account's id.
TEST(PwCacheParse, JsonRecordIdsMustBeWholeIds) {
    auto rec = [](const char* uid) {
        return nlohmann::json::parse(std::string(R"(["mail","x",)") + uid +
                                     R"(,8,"","","mail","/var/mail","/bin/sh",-1,-1,0,0])");
    };
    EXPECT_EQ(Tavrel::Config::PwCache::record_from_json(rec("8"))->uid, 8u);
    for (const char* bad : {"8.5", "1e300", "-1", "4294967295", "4294967296", "\"8\"", "null"})
        EXPECT_FALSE(Tavrel::Config::PwCache::record_from_json(rec(bad))) << bad;
}

TEST(PwUtils, NormalizeToUid) {
    Accounts a;
    EXPECT_EQ(Tavrel::Config::PwUtils::normalize_to_uid("8"), 8u);
    EXPECT_EQ(Tavrel::Config::PwUtils::normalize_to_uid("mail"), 8u);
    EXPECT_EQ(Tavrel::Config::PwUtils::normalize_to_uid("0"), 0u);
    EXPECT_FALSE(Tavrel::Config::PwUtils::normalize_to_uid("nosuch"));
    EXPECT_FALSE(Tavrel::Config::PwUtils::normalize_to_uid(""));
}
