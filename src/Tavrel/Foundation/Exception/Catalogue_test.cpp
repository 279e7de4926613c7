#include "Tavrel/Foundation/Exception/Catalogue.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <csignal>

using Tavrel::Foundation::Exception;

namespace {

std::string text(std::string_view type, Exception::Metadata md) {
    return Exception::create(type, std::move(md)).to_string_no_id();
}

}  // namespace

TEST(ExceptionCatalogue, EveryTypeBuildsItsOwnMessage) {
    const char* types[] = {"Io::OpenFailed",
                           "Io::CommandOpenFailed",
                           "Io::WriteFailed",
                           "Io::ReadFailed",
                           "Io::SeekFailed",
                           "Io::TruncateFailed",
                           "Io::RenameFailed",
                           "Io::StatFailed",
                           "Io::FcntlFailed",
                           "Io::LockFailed",
                           "Io::DirectoryReadFailed",
                           "Io::TempFileFailed",
                           "Io::NotFound",
                           "Io::WaitFailed",
                           "Io::UnsafeDirectory",
                           "Child::Signalled",
                           "Child::ExitedNonZero",
                           "Child::TimedOut",
                           "Fork::Failed",
                           "Param::Missing",
                           "Param::Invalid",
                           "Module::LoadFailed",
                           "Module::InvalidName",
                           "Name::Invalid",
                           "Timeout",
                           "Proc::Ended",
                           "ProcessCheck::CommandMismatch",
                           "ProcessCheck::IgnoredCommand",
                           "ProcessCheck::WrongOwner",
                           "Services::Disabled",
                           "Services::NotConfigured",
                           "Services::NotInstalled",
                           "Services::IsDown",
                           "Services::StartError",
                           "Services::RestartError",
                           "Services::ReloadError",
                           "Services::BinaryNotFound",
                           "Services::CommandTimedOut",
                           "Services::RoleNotAllowed",
                           "Services::Unknown"};
    for (const char* type : types) {
        ASSERT_NE(Exception::find_type(type), nullptr) << type;
        // Even with no metadata at all the message is one of the type's own.
        Exception e = Exception::create(type);
        ASSERT_NE(e.locale_message(), nullptr) << type;
        EXPECT_EQ(e.to_string_no_id().find("reported an error of the type"), std::string::npos)
            << type;
    }
}

TEST(ExceptionCatalogue, IoMessagesNameThePathAndTheSystemError) {
    EXPECT_EQ(text("Io::OpenFailed", {{"path", "/etc/x"}, {"error", ENOENT}}),
              "The system failed to open the file “/etc/x” because of an error: No such file or "
              "directory");
    EXPECT_EQ(text("Io::OpenFailed",
                   {{"path", "/var/log/l"}, {"mode", ">>"}, {"error", EPERM}, {"immutable", 1}}),
              "The system failed to open the file “/var/log/l” in mode “>>”, which has the "
              "immutable attribute, because of an error: Operation not permitted");
    EXPECT_EQ(text("Io::WriteFailed", {{"length", 12}}), "The system failed to write 12 bytes.");
    EXPECT_EQ(text("Io::RenameFailed", {{"old_path", "/a"}, {"new_path", "/b"}, {"error", EXDEV}}),
              "The system failed to rename “/a” to “/b” because of an error: Invalid "
              "cross-device link");
    EXPECT_EQ(text("Io::LockFailed",
                   {{"path", "/run/l"}, {"operation", LOCK_EX | LOCK_NB}, {"error", EBADF}}),
              "The system failed to lock “/run/l” (LOCK_EX|LOCK_NB) because of an error: Bad "
              "file descriptor");
    EXPECT_EQ(
        text("Io::TempFileFailed", {{"path", "/etc/f"}, {"permissions", 0600}, {"error", ENOSPC}}),
        "The system failed to create a temporary file for “/etc/f” with the permissions "
        "0600 because of an error: No space left on device");
    EXPECT_EQ(text("Io::SeekFailed", {{"path", "/f"}, {"whence", SEEK_END}, {"position", -10}}),
              "The system failed to seek to position -10 (SEEK_END) in “/f”.");
    EXPECT_EQ(text("Io::ReadFailed", {{"handle", 7}, {"error", EIO}}),
              "The system failed to read from the file descriptor 7 because of an error: "
              "Input/output error");
    EXPECT_EQ(text("Io::UnlinkFailed", {{"path", "/run/x.pid"}, {"error", EROFS}}),
              "The system failed to delete “/run/x.pid” because of an error: Read-only file "
              "system");
    // An error given as text is shown as given.
    EXPECT_EQ(text("Io::ReadFailed", {{"path", "/p"}, {"error", "Is a directory"}}),
              "The system failed to read from “/p” because of an error: Is a directory");
}

TEST(ExceptionCatalogue, ChildAndProcessMessages) {
    EXPECT_EQ(text("Child::Signalled", {{"program", "/usr/sbin/exim"}, {"signal", SIGKILL}}),
              "The subprocess “/usr/sbin/exim” ended because of the signal 9 (SIGKILL).");
    EXPECT_EQ(text("Child::ExitedNonZero", {{"program", "/bin/false"}, {"exit_code", 1}}),
              "The subprocess “/bin/false” exited with the status 1.");
    EXPECT_EQ(text("Child::TimedOut", {{"program", "/bin/sleep"}, {"timeout", 5}}),
              "The subprocess “/bin/sleep” did not finish within 5 seconds.");
    EXPECT_EQ(text("Fork::Failed", {{"error", EAGAIN}}),
              "The system failed to create a new process because of an error: Resource "
              "temporarily unavailable");
    EXPECT_EQ(
        text("ProcessCheck::WrongOwner", {{"pid", 42}, {"expected_uid", 0}, {"actual_uid", 99}}),
        "The process with ID 42 runs as the user ID 99, not the expected user ID 0.");
    EXPECT_EQ(text("Module::LoadFailed", {{"module", "Tavrel::ServiceManager::Services::Httpd"},
                                          {"error", "Can't locate the module in the search path"}}),
              "The system failed to load the module “Tavrel::ServiceManager::Services::Httpd” "
              "because of an error: Can't locate the module in the search path");
}

TEST(ExceptionCatalogue, ServiceFailuresNameTheServiceAndTheirHints) {
    EXPECT_EQ(text("Services::Disabled", {{"service", "exim"}}), "The service “exim” is disabled.");
    EXPECT_EQ(text("Services::Disabled",
                   {{"service", "exim"}, {"hint", "Remove “/etc/eximdisable” to enable it."}}),
              "The service “exim” is disabled. Remove “/etc/eximdisable” to enable it.");
    EXPECT_EQ(
        text("Services::NotConfigured", {{"service", "named"}, {"reason", "no zones are defined"}}),
        "The service “named” is not configured: no zones are defined");
    EXPECT_EQ(text("Services::NotInstalled", {{"service", "clamd"}, {"package", "clamav"}}),
              "The service “clamd” is not installed: its package “clamav” is missing.");
    EXPECT_EQ(text("Services::BinaryNotFound",
                   {{"service", "sshd"}, {"binary", "/usr/sbin/sshd"}, {"error", ENOENT}}),
              "The service “sshd” cannot run because its program “/usr/sbin/sshd” is not "
              "executable: No such file or directory");
    EXPECT_EQ(text("Services::BinaryNotFound", {{"service", "sshd"}, {"binary", "/x"}}),
              "The service “sshd” cannot run because its program “/x” is missing.");
    EXPECT_EQ(text("Services::RoleNotAllowed", {{"service_name", "mysql"}}),
              "The service “mysql” is not allowed by this server’s role profile.");
    EXPECT_EQ(text("Services::RestartError", {{"service", "httpd"}}),
              "The system failed to restart the service “httpd”.");
}
