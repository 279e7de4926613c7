#include "Tavrel/Foundation/UntrustedException.h"

#include "Tavrel/Foundation/PlainError.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

using Tavrel::Foundation::Exception;
using Tavrel::Foundation::UntrustedException;

namespace {

// Runs `body` in a forked child and returns what it wrote to the pipe, the way
// a child reports its failure to its parent.
std::string from_child(void (*body)(int fd)) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        body(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string data;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
        data.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return data;
}

}  // namespace

TEST(UntrustedException, RebuiltFromAChildWithoutClaimingItsClass) {
    std::string message = from_child([](int fd) {
        try {
            throw Exception::create("Services::NotInstalled",
                                    {{"service", "clamd"}, {"error", ENOENT}, {"package", "clam"}});
        } catch (const Exception& e) {
            std::string text = e.structured().dump();
            ssize_t ignored = write(fd, text.data(), text.size());
            (void)ignored;
        }
    });
    ASSERT_FALSE(message.empty());
    auto ux = UntrustedException::from_structured(nlohmann::ordered_json::parse(message));

    EXPECT_EQ(ux.sender_class(), "Tavrel::Exception::Services::NotInstalled");
    EXPECT_EQ(ux.class_name(), "Tavrel::UntrustedException");
    EXPECT_TRUE(ux.isa("Tavrel::UntrustedException"));
    EXPECT_FALSE(ux.isa("Tavrel::Exception::Services::NotInstalled"));
    EXPECT_FALSE(ux.isa("Tavrel::Exception"));
    EXPECT_EQ(dynamic_cast<const Exception*>(static_cast<const std::exception*>(&ux)), nullptr);

    EXPECT_NE(ux.to_string().find("“clamd” is not installed"), std::string::npos);
    EXPECT_NE(ux.to_string().find("(error id: "), std::string::npos);
    EXPECT_EQ(ux.to_string_no_id().find("error id"), std::string::npos);
    EXPECT_EQ(Tavrel::Foundation::get_string(ux), ux.to_string());
    EXPECT_EQ(Tavrel::Foundation::get_string_no_id(ux), ux.to_string_no_id());
    EXPECT_FALSE(ux.longmess().empty());
    EXPECT_EQ(ux.get_text("package"), "clam");
    EXPECT_EQ(ux.error_number(), ENOENT);
}

TEST(UntrustedException, ErrnoRestoredAndReferencesDropped) {
    nlohmann::ordered_json s = {
        {"class", "Tavrel::Exception::Io::ReadFailed"},
        {"string", "read failed"},
        {"metadata", {{"path", "/p"}, {"error", "Permission denied"}, {"ref", {1, 2}}}},
        {"metadata_errno", EACCES}};
    auto ux = UntrustedException::from_structured(s);
    EXPECT_EQ(ux.error_number(), EACCES);
    EXPECT_EQ(ux.get("ref"), nullptr);
    EXPECT_EQ(ux.to_string(), "read failed");
    EXPECT_EQ(ux.to_string_no_id(), "read failed");
    EXPECT_EQ(ux.longmess(), "");

    nlohmann::ordered_json without_entry = {{"class", "X"}, {"metadata_errno", 5}};
    EXPECT_EQ(UntrustedException::from_structured(without_entry).error_number(), 5);
}

TEST(UntrustedException, RefusesWhatIsNotAStructuredException) {
    EXPECT_THROW(UntrustedException::from_structured("text"), Tavrel::Foundation::PlainError);
    EXPECT_THROW(UntrustedException::from_structured({{"string", "no class"}}), Tavrel::Foundation::PlainError);
    EXPECT_THROW(UntrustedException::from_structured({{"class", 3}}), Tavrel::Foundation::PlainError);
}
