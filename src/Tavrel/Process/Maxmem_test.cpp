#include "Tavrel/Process/Maxmem.h"

#include "Tavrel/Process/Rlimit.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

namespace {

using namespace Tavrel;

// The panel's domain list, as a server hosting `n` domains has it.
std::string domain_list(int n) {
    std::string text = "# hosted domains\n\n";
    for (int i = 0; i < n; ++i)
        text += "site" + std::to_string(i) + ".example: owner" + std::to_string(i % 50) + "\n";
    return text;
}

class MaxmemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_file_ = Tavrel::Process::Maxmem::USER_DOMAINS_FILE;
        saved_counter_ = Tavrel::Process::Maxmem::count_user_domains;
        saved_config_ = Tavrel::Process::Rlimit::config_value;
        // The real counter reading the list, whatever an earlier test left.
        Tavrel::Process::Maxmem::count_user_domains = Tavrel::Process::Maxmem::count_domains_in_list;
        Tavrel::Process::Rlimit::config_value = [](std::string_view) { return std::optional<std::string>(); };
        Tavrel::Process::Maxmem::USER_DOMAINS_FILE = dir_ / "userdomains";
    }
    void TearDown() override {
        Tavrel::Process::Maxmem::USER_DOMAINS_FILE = saved_file_;
        Tavrel::Process::Maxmem::count_user_domains = saved_counter_;
        Tavrel::Process::Rlimit::config_value = saved_config_;
    }
    TestSupport::TempDir dir_;

  private:
    std::string saved_file_;
    decltype(Tavrel::Process::Maxmem::count_user_domains) saved_counter_;
    decltype(Tavrel::Process::Rlimit::config_value) saved_config_;
};

TEST_F(MaxmemTest, CeilingGrowsWithTheHostedDomains) {
    // No list: one domain.
    EXPECT_EQ(Tavrel::Process::Maxmem::default_mib(), 4096u);
    dir_.write("userdomains", domain_list(30000));
    EXPECT_EQ(Tavrel::Process::Maxmem::count_domains_in_list(), 30000u);
    EXPECT_EQ(Tavrel::Process::Maxmem::default_mib(), 16384u);
    // What a daemon is then started with when the configuration sets nothing.
    EXPECT_EQ(Tavrel::Process::Rlimit::get_server_setting_or_default().limit_bytes, 16384ull * 1048576);
    dir_.write("userdomains", domain_list(9999));
    EXPECT_EQ(Tavrel::Process::Maxmem::default_mib(), 4096u);
    dir_.write("userdomains", domain_list(10000));
    EXPECT_EQ(Tavrel::Process::Maxmem::default_mib(), 8192u);
}

TEST_F(MaxmemTest, OnlyDomainLinesCount) {
    EXPECT_EQ(Tavrel::Process::Maxmem::count_domain_lines(""), 0u);
    EXPECT_EQ(Tavrel::Process::Maxmem::count_domain_lines("a.example: a\r\n  \n# b.example: b\n\tc.example: c"), 2u);
}

}  // namespace
