#include "Tavrel/Output/Callback/LineWrite.h"

#include "Tavrel/Output/Formatted/Plain.h"
#include "Tavrel/Foundation/PlainError.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Tavrel::Output::Callback::LineWrite;
using Lines = std::vector<std::string>;

TEST(WriteLine, DeliversWholeLinesAndKeepsTheRest) {
    Lines lines;
    LineWrite fh([&](std::string_view l) { lines.emplace_back(l); });
    fh.write("first line\nsecond");
    EXPECT_EQ(lines, (Lines{"first line\n"}));
    fh.write(" half\nthird\nfourth\n");
    EXPECT_EQ(lines, (Lines{"first line\n", "second half\n", "third\n", "fourth\n"}));
    fh.write("tail");
    fh.clear();
    fh.clear();  // nothing left: no empty call
    EXPECT_EQ(lines.back(), "tail");
    EXPECT_EQ(lines.size(), 5u);
    EXPECT_EQ(fh.fileno(), -1);
}

TEST(WriteLine, CloseAndDestructionDeliverThePartialLine) {
    Lines lines;
    {
        LineWrite fh([&](std::string_view l) { lines.emplace_back(l); });
        fh.write("kept until close");
        fh.close();
        EXPECT_FALSE(fh.is_open());
        EXPECT_FALSE(fh.write("after close\n"));
    }
    {
        LineWrite fh([&](std::string_view l) { lines.emplace_back(l); });
        fh.write("kept until destruction");
    }
    EXPECT_EQ(lines, (Lines{"kept until close", "kept until destruction"}));
    EXPECT_THROW(LineWrite(nullptr), Tavrel::Foundation::PlainError);
}

TEST(WriteLine, AThrowingFunctionLosesNoLaterLines) {
    Lines lines;
    bool fail = true;
    LineWrite fh([&](std::string_view l) {
        if (fail && l == "bad\n")
            throw std::runtime_error("consumer failed");
        lines.emplace_back(l);
    });
    EXPECT_THROW(fh.write("ok\nbad\nlater\npart"), std::runtime_error);
    fail = false;
    fh.write("ial\n");
    EXPECT_EQ(lines, (Lines{"ok\n", "later\n", "partial\n"}));
}

TEST(WriteLine, FunctionMayWriteBackIntoTheHandle) {
    Lines lines;
    LineWrite* self = nullptr;
    LineWrite fh([&](std::string_view l) {
        lines.emplace_back(l);
        if (l == "echo\n")
            self->write("echoed ");
    });
    self = &fh;
    fh.write("echo\nrest\n");
    fh.close();
    EXPECT_EQ(lines, (Lines{"echo\n", "rest\n", "echoed "}));
}

TEST(WriteLine, OutputObjectLinesArriveWhole) {
    Lines lines;
    Tavrel::Output::Base::Options o;
    o.filehandle =
        std::make_shared<LineWrite>([&](std::string_view l) { lines.emplace_back(l); });
    Tavrel::Output::Formatted::Plain out(o);
    out.output_partial("Stopping crond");
    out.output_partial(" ...");
    EXPECT_TRUE(lines.empty());
    out.output(" done");
    EXPECT_EQ(lines, (Lines{"Stopping crond ... done\n"}));
}

}  // namespace
