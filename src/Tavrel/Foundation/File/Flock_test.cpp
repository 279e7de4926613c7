#include "Tavrel/Foundation/File/Flock.h"

#include "Tavrel/Foundation/Exception.h"
#include "Tavrel/Foundation/PlainError.h"
#include "testsupport/InChild.h"
#include "testsupport/TempDir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace {

using Tavrel::Foundation::File::Flock;
using Tavrel::TestSupport::TempDir;

// 0 when another process can take the lock, 1 when it is held elsewhere.
int third_party_try(const std::string& path) {
    return Tavrel::TestSupport::in_child([&] { return Flock::try_lock_path(path) ? 0 : 1; });
}

TEST(Flock, ForkedChildCannotReleaseItsParentsLock) {
    TempDir dir;
    const std::string path = dir / "svc.lock";
    auto lock = Flock::try_lock_path(path, 0600);
    ASSERT_TRUE(lock);
    EXPECT_TRUE(lock->locked());
    EXPECT_EQ(lock->owner_pid(), ::getpid());

    // The child inherits the handle: it may not lock or unlock through it,
    // and releasing or destroying its copy leaves the parent's lock alone.
    int child = Tavrel::TestSupport::in_child([&] {
        try {
            lock->flock({"UN"});
            return 1;
        } catch (const Tavrel::Foundation::PlainError&) {
        }
        lock->release();
        Flock moved = std::move(*lock);
        return 0;
    });
    EXPECT_EQ(child, 0);
    EXPECT_EQ(third_party_try(path), 1) << "the child's exit released the parent's lock";
    EXPECT_TRUE(lock->locked());

    lock->release();
    EXPECT_FALSE(lock->locked());
    EXPECT_EQ(third_party_try(path), 0);
}

TEST(Flock, ExclusiveNonBlockingAgainstAnotherOpenFile) {
    TempDir dir;
    const std::string path = dir / "svc.lock";
    auto first = Flock::try_lock_path(path);
    ASSERT_TRUE(first);
    // A second open of the same file is a second lock holder, even here.
    Flock second = Flock::open_path(path);
    errno = 4242;
    EXPECT_FALSE(second.flock({"EX", "NB"}));
    EXPECT_EQ(errno, 4242);
    EXPECT_FALSE(second.locked());
    { Flock gone = std::move(*first); }  // destroyed in the owner: unlocked
    EXPECT_TRUE(second.flock({"EX", "NB"}));
    EXPECT_TRUE(second.flock({"UN"}));
    EXPECT_FALSE(second.locked());
}

TEST(Flock, LockFileCreatedWithExactPermissionsAndCloseOnExec) {
    TempDir dir;
    const std::string path = dir / "svc.lock";
    const mode_t old = ::umask(0777);
    auto lock = Flock::try_lock_path(path, 0640);
    ::umask(old);
    ASSERT_TRUE(lock);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640);
    EXPECT_TRUE(::fcntl(lock->fd(), F_GETFD) & FD_CLOEXEC);
    // An existing lock file is reused, not truncated.
    lock->release();
    TempDir::read(path);
    ASSERT_EQ(::truncate(path.c_str(), 3), 0);
    auto again = Flock::try_lock_path(path, 0600);
    ASSERT_TRUE(again);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 3);
    EXPECT_EQ(st.st_mode & 07777, 0640);
}

TEST(Flock, FailuresAreTyped) {
    TempDir dir;
    try {
        Flock::open_path(dir / "no/such/dir");
        FAIL();
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Io::OpenFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), ENOENT);
    }
    // flock(2) refuses a descriptor opened with O_PATH.
    const std::string path = dir.write("f", "");
    Flock handle(Tavrel::Foundation::Fd::UniqueFd(::open(path.c_str(), O_PATH | O_CLOEXEC)));
    try {
        handle.flock({"EX"});
        FAIL();
    } catch (const Tavrel::Foundation::Exception& e) {
        EXPECT_TRUE(e.isa("Io::LockFailed")) << e.class_name();
        EXPECT_EQ(e.error_number(), EBADF);
        EXPECT_EQ(e.get_text("path"), path);
    }
    EXPECT_THROW(handle.flock({"EXCLUSIVE"}), Tavrel::Foundation::PlainError);
}

}  // namespace
