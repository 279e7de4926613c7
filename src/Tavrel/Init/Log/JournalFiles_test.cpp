#include "Tavrel/Init/Log/JournalFiles.h"

#include "testsupport/JournalHeader.h"
#include "testsupport/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>

namespace {

namespace JournalFiles = Tavrel::Init::Log::JournalFiles;
using Tavrel::TestSupport::journal_header;
using Tavrel::TestSupport::TempDir;

const std::string MACHINE = "0123456789abcdef0123456789abcdef";

class JournalFilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = JournalFiles::MACHINE_ID_FILE;
        JournalFiles::MACHINE_ID_FILE = tmp_.write("machine-id", MACHINE + "\n");
    }
    void TearDown() override { JournalFiles::MACHINE_ID_FILE = saved_; }
    std::string journal(const std::string& dir, const std::string& name, std::uint64_t last_us) {
        return tmp_.write(dir + "/" + MACHINE + "/" + name, journal_header(last_us));
    }
    std::vector<std::string> dirs() const { return {tmp_ / "run", tmp_ / "var"}; }
    TempDir tmp_;
    std::string saved_;
};

}  // namespace

TEST_F(JournalFilesTest, OnlyTheFilesWrittenSinceTheMomentAreChosen) {
    const std::string archived = journal("var", "system@0001-0002.journal", 1000);
    const std::string active = journal("var", "system.journal", 5000);
    const std::string user = journal("var", "user-1000.journal", 4000);
    journal("run", "system.journal", 2000);
    tmp_.write("var/" + MACHINE + "/system.journal~", journal_header(9000));  // set aside as corrupt
    tmp_.write("var/other-machine/system.journal", journal_header(9000));

    auto chosen = JournalFiles::written_since(dirs(), 3000);
    ASSERT_TRUE(chosen);
    std::sort(chosen->paths.begin(), chosen->paths.end());
    EXPECT_EQ(chosen->paths, (std::vector<std::string>{active, user}));
    // Nothing written since: no file at all, and that is an answer too.
    ASSERT_TRUE(JournalFiles::written_since(dirs(), 6000));
    EXPECT_TRUE(JournalFiles::written_since(dirs(), 6000)->paths.empty());
    (void)archived;
}

TEST_F(JournalFilesTest, WhatCannotBeToldLeavesTheJournalWhole) {
    EXPECT_FALSE(JournalFiles::last_entry_time(journal_header(7).substr(0, 100)));
    std::string other = journal_header(7);
    other[0] = 'X';
    EXPECT_FALSE(JournalFiles::last_entry_time(other));
    EXPECT_EQ(JournalFiles::last_entry_time(journal_header(7)), 7u);

    // No folder of this machine: its journal is elsewhere.
    EXPECT_FALSE(JournalFiles::written_since(dirs(), 0));
    journal("var", "system.journal", 5000);
    EXPECT_TRUE(JournalFiles::written_since(dirs(), 0));
    // A file that is not a journal under a journal's name.
    tmp_.write("var/" + MACHINE + "/broken.journal", "not a journal");
    EXPECT_FALSE(JournalFiles::written_since(dirs(), 0));
    std::filesystem::remove(tmp_ / ("var/" + MACHINE + "/broken.journal"));
    // No machine id.
    JournalFiles::MACHINE_ID_FILE = tmp_ / "none";
    EXPECT_FALSE(JournalFiles::written_since(dirs(), 0));
}

// journald renames a full file and starts another under its name: a read by
// the chosen paths would then miss the renamed file's lines.
TEST_F(JournalFilesTest, ARotationMeanwhileIsNoticed) {
    const std::string active = journal("var", "system.journal", 5000);
    const auto chosen = JournalFiles::written_since(dirs(), 3000);
    ASSERT_TRUE(chosen);
    journal("var", "user-1000.journal", 6000);  // a new file: no harm
    EXPECT_TRUE(chosen->still_in(*JournalFiles::written_since(dirs(), 3000)));
    std::filesystem::rename(active, tmp_ / ("var/" + MACHINE + "/system@0001-0002.journal"));
    journal("var", "system.journal", 7000);
    EXPECT_FALSE(chosen->still_in(*JournalFiles::written_since(dirs(), 3000)));
}
