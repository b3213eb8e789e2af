// The bundled example package: the module inside it is a well-formed
// ProTracker module, the committed file is exactly what the code writes, and
// the tool extracts the module from it unchanged.
#include "demo_module.h"
#include "e2e_support.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <set>
#include <vector>

namespace {

size_t U16BigEndian(const TBytes& b, size_t at) {
    return static_cast<size_t>(b.at(at)) << 8 | static_cast<size_t>(b.at(at + 1));
}

TBytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The three octaves of the ProTracker note table at finetune 0.
const std::set<size_t> ProTrackerPeriods = {
    856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453, 428, 404, 381, 360, 339, 320,
    302, 285, 269, 254, 240, 226, 214, 202, 190, 180, 170, 160, 151, 143, 135, 127, 120, 113};

} // namespace

// Reads the module back the way a player does and checks every field a
// player relies on: the tag, the sample headers, the order table, the
// pattern count it implies, the cells and the total size.
TEST(DemoModule, IsAWellFormedProTrackerModule) {
    TBytes mod = DemoModule();
    ASSERT_GE(mod.size(), 1084u);
    EXPECT_EQ(AsString(TBytes(mod.begin() + 1080, mod.begin() + 1084)), "M.K.");
    EXPECT_NE(mod[0], 0) << "the title is empty";

    size_t sampleBytes = 0;
    std::set<size_t> usable;
    for (size_t s = 0; s < 31; ++s) {
        size_t at = 20 + s * 30;
        size_t length = U16BigEndian(mod, at + 22);
        uint8_t finetune = mod[at + 24];
        uint8_t volume = mod[at + 25];
        size_t loopStart = U16BigEndian(mod, at + 26);
        size_t loopLength = U16BigEndian(mod, at + 28);
        SCOPED_TRACE("sample " + std::to_string(s + 1));
        EXPECT_LE(finetune, 0x0F);
        EXPECT_LE(volume, 64);
        EXPECT_GE(loopLength, 1u);
        if (length == 0) {
            EXPECT_EQ(loopStart, 0u);
            EXPECT_EQ(loopLength, 1u);
            continue;
        }
        EXPECT_LE(loopStart + loopLength, length);
        EXPECT_GT(volume, 0);
        usable.insert(s + 1);
        sampleBytes += 2 * length;
    }
    EXPECT_EQ(usable.size(), 2u);

    size_t songLength = mod[950];
    ASSERT_GE(songLength, 1u);
    ASSERT_LE(songLength, 128u);
    size_t patterns = 1 + *std::max_element(mod.begin() + 952, mod.begin() + 1080);
    EXPECT_GE(patterns, 3u);
    ASSERT_EQ(mod.size(), 1084 + patterns * 1024 + sampleBytes);

    std::vector<size_t> notes(patterns, 0);
    for (size_t cell = 0; cell < patterns * 64 * 4; ++cell) {
        size_t at = 1084 + cell * 4;
        size_t sample = (mod[at] & 0xF0u) | (mod[at + 2] >> 4);
        size_t period = (mod[at] & 0x0Fu) << 8 | mod[at + 1];
        SCOPED_TRACE("cell " + std::to_string(cell));
        if (period != 0) {
            EXPECT_TRUE(ProTrackerPeriods.count(period)) << period;
            EXPECT_TRUE(usable.count(sample)) << sample;
            ++notes[cell / (64 * 4)];
        } else {
            EXPECT_EQ(sample, 0u);
        }
    }
    for (size_t count : notes)
        EXPECT_GT(count, 0u) << "a pattern without notes";
}

TEST(ExamplePackage, CommittedFileIsWhatTheCodeWrites) {
    TBytes committed = ReadFile(BROVASK_EXAMPLE_PACKAGE);
    ASSERT_FALSE(committed.empty()) << "cannot read " << BROVASK_EXAMPLE_PACKAGE;
    EXPECT_TRUE(committed == DemoPackage())
        << "examples/DemoTune.umx is stale: run cmake --build build --target example";
}

// The README's first command: the tool run on the committed example from
// another folder prints the report and one extraction, and leaves exactly
// the module there.
TEST(ExamplePackage, ToolExtractsTheModule) {
    TBytes package = ReadFile(BROVASK_EXAMPLE_PACKAGE);
    TBytes mod = DemoModule();
    TScratch dir;
    TRunResult r = RunTool(dir.Path, {BROVASK_EXAMPLE_PACKAGE});
    EXPECT_EQ(r.ExitStatus, 0);
    EXPECT_EQ(r.Stdout, Banner() + FileHeader("DemoTune.umx", package.size()) + Report(package) +
                            Lines({"Found \"Music\" object: \"DemoTune.mod\" (Offset: 0x0024, "
                                   "Size: " +
                                       std::to_string(mod.size()) + " bytes)",
                                   "  Extract...done."}));
    EXPECT_EQ(r.Stderr, "");
    EXPECT_EQ(dir.Contents(), (TFolder{{"DemoTune.mod", AsString(mod)}}));
}
