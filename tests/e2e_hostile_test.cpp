// Damaged and hostile packages, end to end: the program must answer each
// with its messages, exit normally, stay small and quick, write nothing
// outside its current directory and replace nothing it was not asked to.
//
// Every case runs in a folder "run" inside a fresh scratch folder, so a file
// that escaped the current directory would show up beside "run".
#include "e2e_support.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string ReadError = "Error read file.";
const std::string CreateError = "Error create file.";
const std::string Corrupt = "Corrupt package tables.";
const std::string Extract = "  Extract...";
const std::string ExtractDone = "  Extract...done.";

// Large counts must not turn into large allocations or long loops. The
// figure also holds what the test process had resident when it forked, a
// few MiB; the tool alone takes about 3 MiB (8 to 14 under the sanitizers).
constexpr long MemoryBoundKiB = 64 * 1024;

std::string Found(const std::string& file, uint32_t offset, uint32_t size) {
    char hex[16];
    snprintf(hex, sizeof hex, "0x%.4X", offset);
    return "Found \"Music\" object: \"" + file + "\" (Offset: " + hex +
           ", Size: " + std::to_string(size) + " bytes)";
}

// Runs the program and checks what every run must give: a normal exit with
// status 0, nothing on standard error, and, natively, the time and memory
// bounds (under a runner both belong to the runner as much as to the tool).
TRunResult RunChecked(const std::string& dir, const std::vector<std::string>& args) {
    auto start = std::chrono::steady_clock::now();
    TRunResult r = RunTool(dir, args);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.ExitStatus, 0);
    EXPECT_EQ(r.Stderr, "");
    EXPECT_LT(took.count(), UnderRunner() ? 30.0 : 2.0);
    if (!UnderRunner()) {
        EXPECT_LT(r.PeakMemoryKiB, MemoryBoundKiB);
    }
    return r;
}

// Makes the entries of `folder` under `dir`: "<dir>" a directory, "<fifo>"
// a FIFO, "-> x" a symbolic link to x, anything else a regular file holding
// those bytes.
void Make(const TScratch& scratch, const std::string& dir, const TFolder& folder) {
    for (const auto& [name, what] : folder) {
        std::string path = dir + "/" + name;
        if (what == "<dir>")
            scratch.MakeDir(path);
        else if (what == "<fifo>")
            ASSERT_EQ(mkfifo(scratch.At(path).c_str(), 0644), 0);
        else if (what.rfind("-> ", 0) == 0)
            ASSERT_EQ(symlink(what.substr(3).c_str(), scratch.At(path).c_str()), 0);
        else
            scratch.Write(path, what);
    }
}

// ---- The truncation sweep ----------------------------------------------

struct TPlacedObject {
    std::string File;
    uint32_t Offset = 0;    // where its leading bytes start
    uint32_t DataStart = 0; // where its data starts, after the size
    TBytes Payload;
};

struct TTablesFirst {
    TBytes Bytes;
    uint32_t TablesEnd = 0;
    std::vector<TPlacedObject> Objects;
};

// A music package whose objects come after its tables, so that cutting it
// short reaches every step in turn: the header, the tables, and each object's
// leading bytes, data size and data.
TTablesFirst TablesFirstPackage(uint16_t version) {
    std::vector<TMusicObject> objects = {
        {"Intro", Text("first")}, {"Rest", {}}, {"Theme", TBytes(70, 0x5A)}};
    TPackageSpec spec = MusicPackageSpec(version, "it", objects);
    std::vector<TBytes> serials;
    for (TBuildExport& e : spec.Exports) {
        serials.push_back(e.Serial);
        e.SerialSize = static_cast<int64_t>(e.Serial.size());
        e.Serial.clear();
        e.OverrideOffset = true;
        e.SerialOffset = 0x1000; // two bytes, as every real offset here
    }
    TTablesFirst out;
    out.TablesEnd = static_cast<uint32_t>(BuildPackage(spec).size());
    uint32_t at = out.TablesEnd;
    for (size_t i = 0; i < spec.Exports.size(); ++i) {
        spec.Exports[i].SerialOffset = static_cast<int32_t>(at);
        size_t sizeBytes = CompactIndex(static_cast<int32_t>(objects[i].Payload.size())).size();
        uint32_t lead = version > 61 ? 6 : 2;
        out.Objects.push_back({objects[i].Name + ".it", at,
                               at + lead + static_cast<uint32_t>(sizeBytes), objects[i].Payload});
        at += static_cast<uint32_t>(serials[i].size());
    }
    out.Bytes = BuildPackage(spec);
    EXPECT_EQ(out.Bytes.size(), out.TablesEnd) << "an offset changed the width of its index";
    EXPECT_GE(out.TablesEnd, 64u);
    for (const TBytes& serial : serials)
        out.Bytes.insert(out.Bytes.end(), serial.begin(), serial.end());
    return out;
}

class TruncationSweep : public ::testing::TestWithParam<uint16_t> {};

TEST_P(TruncationSweep, EveryLengthEndsOnAMessageAndLeavesOnlyWholeFiles) {
    TTablesFirst package = TablesFirstPackage(GetParam());
    for (size_t length = 0; length <= package.Bytes.size(); ++length) {
        SCOPED_TRACE("cut at " + std::to_string(length) + " of " +
                     std::to_string(package.Bytes.size()));
        TBytes cut(package.Bytes.begin(), package.Bytes.begin() + static_cast<long>(length));
        std::string expected = Banner() + FileHeader("Cut.umx", length);
        TFolder files = {{"Cut.umx", AsString(cut)}};
        if (length < 36) {
            expected += Lines({ReadError});
        } else if (length < package.TablesEnd) {
            expected += Report(package.Bytes) + Lines({ReadError});
        } else {
            expected += Report(package.Bytes);
            for (const TPlacedObject& object : package.Objects) {
                if (length < object.DataStart) {
                    expected += Lines({ReadError});
                    break;
                }
                auto size = static_cast<uint32_t>(object.Payload.size());
                expected += Lines({Found(object.File, object.Offset, size)});
                if (size == 0) {
                    expected += Lines({"  Size is zero, skip."});
                } else if (length < object.DataStart + size) {
                    expected += Lines({Extract, ReadError});
                    break;
                } else {
                    expected += Lines({ExtractDone});
                    files[object.File] = AsString(object.Payload);
                }
            }
        }
        TScratch scratch;
        scratch.Write("Cut.umx", cut);
        TRunResult r = RunChecked(scratch.Path, {"Cut.umx"});
        EXPECT_EQ(r.Stdout, expected);
        EXPECT_EQ(scratch.Contents(), files);
        if (HasFailure())
            break; // one cut's story is enough to read
    }
}

// 69 takes the length form of names and six leading bytes per object; 61 the
// zero-terminated form and two leading bytes.
INSTANTIATE_TEST_SUITE_P(Versions, TruncationSweep, ::testing::Values(69, 61));

// ---- The table of hostile packages ---------------------------------------

const TBytes TunePayload = Text("tune data");

// The common base: one music object Tune.it at offset 0x24.
TPackageSpec TuneSpec(uint16_t version = 69) {
    return MusicPackageSpec(version, "it", {{"Tune", TunePayload}});
}

TBytes Tune(uint16_t version = 69) {
    return BuildPackage(TuneSpec(version));
}

std::string TuneFound() {
    return Found("Tune.it", 0x24, 9);
}

TBytes Patched(TBytes bytes, size_t offset, uint32_t value) {
    PutU32(bytes, offset, value);
    return bytes;
}

// Tune with its data replaced: six leading bytes, then `size` as raw bytes,
// then the payload.
TBytes TuneWithSize(const TBytes& size) {
    TPackageSpec spec = TuneSpec();
    TBytes serial(6, 0);
    serial.insert(serial.end(), size.begin(), size.end());
    serial.insert(serial.end(), TunePayload.begin(), TunePayload.end());
    spec.Exports[0].Serial = serial;
    return BuildPackage(spec);
}

// A data size of two bytes that counts every byte after it to the end of
// the file; the data starts at 0x24 + 6 + 2.
constexpr long ToTheEndStart = 0x24 + 6 + 2;
const uint32_t ToTheEnd =
    static_cast<uint32_t>(TuneWithSize(CompactIndex(100)).size() - ToTheEndStart);

TBytes WithObject(const std::string& name, const std::string& extension = "it") {
    return BuildPackage(MusicPackageSpec(69, extension, {{name, TunePayload}}));
}

TBytes WithExport(const std::function<void(TBuildExport&)>& change) {
    TPackageSpec spec = TuneSpec();
    change(spec.Exports[0]);
    return BuildPackage(spec);
}

struct THostileCase {
    std::string Name;
    std::function<TBytes()> Package;
    std::vector<std::string> Tail; // the lines after the report
    TFolder After;                 // what "run" holds besides the package
    TFolder Before = {};           // made in "run" before the program starts
    std::string PackageName = "Hostile.umx";
    bool PosixOnly = false; // symbolic links and FIFOs
};

const std::string LongName(300, 'n');
const uint32_t Huge = 0xFFFFFFFFu;
const uint32_t Half = 0x80000000u;

std::vector<THostileCase> HostileCases() {
    const std::vector<std::string> readError = {ReadError};
    const TFolder none = {};
    const TFolder tune = {{"Tune.it", AsString(TunePayload)}};
    TBytes toTheEnd = TuneWithSize(CompactIndex(static_cast<int32_t>(ToTheEnd)));
    const std::string tail = AsString(TBytes(toTheEnd.begin() + ToTheEndStart, toTheEnd.end()));
    return {
        // Counts that no file can hold: the table is read until the file
        // ends, never sized from the count first.
        {"NameCountAllOnes", [] { return Patched(Tune(), 12, Huge); }, readError, none},
        {"NameCountHalf", [] { return Patched(Tune(), 12, Half); }, readError, none},
        {"NameCountAllOnesTerminated", [] { return Patched(Tune(61), 12, Huge); }, readError, none},
        {"ExportCountAllOnes", [] { return Patched(Tune(), 20, Huge); }, readError, none},
        {"ExportCountHalf", [] { return Patched(Tune(), 20, Half); }, readError, none},
        {"ImportCountAllOnes", [] { return Patched(Tune(), 28, Huge); }, readError, none},
        {"ImportCountHalf", [] { return Patched(Tune(), 28, Half); }, readError, none},

        // Table offsets at 2 GiB and past the end of the file.
        {"NameOffsetHalf", [] { return Patched(Tune(), 16, Half); }, readError, none},
        {"ExportOffsetHalf", [] { return Patched(Tune(), 24, Half); }, readError, none},
        {"ImportOffsetHalf", [] { return Patched(Tune(), 32, Half); }, readError, none},
        {"NameOffsetAtEnd",
         [] {
             TBytes b = Tune();
             return Patched(b, 16, static_cast<uint32_t>(b.size()));
         },
         readError, none},
        {"ExportOffsetPastEnd", [] { return Patched(Tune(), 24, 0x00100000); }, readError, none},
        // A table of no entries is never read, wherever it is said to be.
        {"NoExportsOffsetPastEnd",
         [] { return Patched(Patched(Tune(), 20, 0), 24, Huge); },
         {"Not found \"Music\" object in this file."},
         none},

        // An object's data at a negative offset or past the end: no Found line.
        {"SerialOffsetHalf",
         [] {
             return WithExport([](TBuildExport& e) {
                 e.OverrideOffset = true;
                 e.SerialOffset = INT32_MIN; // five bytes, bit 31 set
             });
         },
         readError, none},
        {"SerialOffsetMinusOne",
         [] {
             return WithExport([](TBuildExport& e) {
                 e.OverrideOffset = true;
                 e.SerialOffset = -1;
             });
         },
         readError, none},
        {"SerialOffsetPastEnd",
         [] {
             return WithExport([](TBuildExport& e) {
                 e.OverrideOffset = true;
                 e.SerialOffset = 0x7FFFFFFF;
             });
         },
         readError, none},
        {"SizeFieldPastEnd",
         [] {
             // The six leading bytes are the file's last; the size is missing.
             // Both offsets take two bytes, so the file keeps its size.
             TPackageSpec spec = TuneSpec();
             spec.Exports[0].OverrideOffset = true;
             spec.Exports[0].SerialOffset = 100;
             spec.Exports[0].SerialOffset = static_cast<int32_t>(BuildPackage(spec).size() - 6);
             return BuildPackage(spec);
         },
         readError, none},
        {"SecondObjectOffsetHalf",
         [] {
             TPackageSpec spec =
                 MusicPackageSpec(69, "it", {{"Tune", TunePayload}, {"Next", TunePayload}});
             spec.Exports[1].OverrideOffset = true;
             spec.Exports[1].SerialOffset = INT32_MIN;
             return BuildPackage(spec);
         },
         {TuneFound(), ExtractDone, ReadError},
         tune},

        // References out of their tables, as five-byte indexes with bit 31.
        {"ClassIndexFiveBytes",
         [] { return WithExport([](TBuildExport& e) { e.ClassIndex = INT32_MIN; }); },
         {Corrupt},
         none},
        {"ObjectNameFiveBytes",
         [] { return WithExport([](TBuildExport& e) { e.ObjectName = INT32_MIN; }); },
         {Corrupt},
         none},
        {"ImportNameFiveBytes",
         [] {
             TPackageSpec spec = TuneSpec();
             spec.Imports[0].ObjectName = INT32_MIN;
             return BuildPackage(spec);
         },
         {Corrupt},
         none},

        // Data sizes that the file cannot back: never a buffer of that size,
        // no file, and a file of the output name keeps its contents.
        {"SizeMaxPositive",
         [] { return TuneWithSize(CompactIndex(0x7FFFFFFF)); },
         {Found("Tune.it", 0x24, 0x7FFFFFFF), Extract, ReadError},
         none},
        {"SizeNegative",
         [] { return TuneWithSize(CompactIndex(-9)); },
         {Found("Tune.it", 0x24, 0xFFFFFFF7u), Extract, ReadError},
         none},
        {"SizeFiveBytesPositiveBit31",
         [] {
             return TuneWithSize({0x40, 0x80, 0x80, 0x80, 0x10});
         },
         {Found("Tune.it", 0x24, 0x80000000u), Extract, ReadError},
         none},
        {"SizeFiveBytesTopByteWhole",
         [] {
             return TuneWithSize({0x7F, 0xFF, 0xFF, 0xFF, 0xFF});
         },
         {Found("Tune.it", 0x24, 0xFFFFFFFFu), Extract, ReadError},
         none},
        // The data runs to the end of the file, or one byte past it.
        {"SizeToTheEnd",
         [] { return TuneWithSize(CompactIndex(static_cast<int32_t>(ToTheEnd))); },
         {Found("Tune.it", 0x24, ToTheEnd), ExtractDone},
         {{"Tune.it", tail}}},
        {"SizeOneMoreThanThere",
         [] { return TuneWithSize(CompactIndex(static_cast<int32_t>(ToTheEnd + 1))); },
         {Found("Tune.it", 0x24, ToTheEnd + 1), Extract, ReadError},
         {{"Tune.it", "old"}},
         {{"Tune.it", "old"}}},

        // Output names that would leave the current directory, or name it.
        {"NameClimbsUp",
         [] { return WithObject("../Escape"); },
         {Found("../Escape.it", 0x24, 9), Extract, CreateError},
         none},
        {"NameIntoSubfolder",
         [] { return WithObject("sub/Inner"); },
         {Found("sub/Inner.it", 0x24, 9), Extract, CreateError},
         {{"sub", "<dir>"}},
         {{"sub", "<dir>"}}},
        {"NameAbsolute",
         [] { return WithObject("/tmp/Brovask-escape"); },
         {Found("/tmp/Brovask-escape.it", 0x24, 9), Extract, CreateError},
         none},
        {"NameIsParentFolder",
         [] { return WithObject(".", ""); },
         {Found("..", 0x24, 9), Extract, CreateError},
         none},
        // Longer than a file name may be: the finished temporary file cannot
        // take the name, and is removed.
        {"NameTooLong",
         [] {
             return BuildPackage(MusicPackageSpec(61, "it", {{LongName, TunePayload}}));
         },
         {Found(LongName + ".it", 0x24, 9), Extract, CreateError},
         none},
        // Named like the tool's own temporary files, and still an output:
        // leftover temporary files cannot be told by their names.
        {"NameLikeATemporaryFile",
         [] { return WithObject(".Brovask-1-0", "tmp"); },
         {Found(".Brovask-1-0.tmp", 0x24, 9), ExtractDone},
         {{".Brovask-1-0.tmp", AsString(TunePayload)}}},
        {"NameOfDotsOnly",
         [] { return WithObject(".."); },
         {Found("...it", 0x24, 9), ExtractDone},
         {{"...it", AsString(TunePayload)}}},

        // The package itself, and things already standing under the name.
        {"NameIsThePackage",
         [] { return Tune(); },
         {TuneFound(), Extract, CreateError},
         none,
         none,
         "Tune.it"},
        {"DirectoryUnderName",
         [] { return Tune(); },
         {TuneFound(), Extract, CreateError},
         {{"Tune.it", "<dir>"}},
         {{"Tune.it", "<dir>"}}},
        {"LinkToThePackage",
         [] { return Tune(); },
         {TuneFound(), Extract, CreateError},
         {{"Tune.it", "-> Song.umx"}},
         {{"Tune.it", "-> Song.umx"}},
         "Song.umx",
         true},
        {"LinkUnderNameIsReplaced",
         [] { return Tune(); },
         {TuneFound(), ExtractDone},
         {{"Tune.it", AsString(TunePayload)}, {"victim.txt", "keep"}},
         {{"Tune.it", "-> victim.txt"}, {"victim.txt", "keep"}},
         "Hostile.umx",
         true},
        // Opening a FIFO to write would wait for a reader.
        {"FifoUnderNameIsReplaced",
         [] { return Tune(); },
         {TuneFound(), ExtractDone},
         tune,
         {{"Tune.it", "<fifo>"}},
         "Hostile.umx",
         true},
        {"DanglingLinkUnderNameIsReplaced",
         [] { return Tune(); },
         {TuneFound(), ExtractDone},
         tune,
         {{"Tune.it", "-> nowhere"}},
         "Hostile.umx",
         true},
        {"LinkToFolderUnderNameIsReplaced",
         [] { return Tune(); },
         {TuneFound(), ExtractDone},
         {{"Tune.it", AsString(TunePayload)}, {"sub", "<dir>"}},
         {{"Tune.it", "-> sub"}, {"sub", "<dir>"}},
         "Hostile.umx",
         true},
    };
}

void PrintTo(const THostileCase& c, std::ostream* os) {
    *os << c.Name;
}

class Hostile : public ::testing::TestWithParam<THostileCase> {};

TEST_P(Hostile, ExactOutputAndFiles) {
    const THostileCase& c = GetParam();
    if (c.PosixOnly && WindowsBuild())
        GTEST_SKIP() << "symbolic links and FIFOs are a POSIX matter";
    TBytes package = c.Package();
    TScratch scratch;
    scratch.MakeDir("run");
    Make(scratch, "run", c.Before);
    scratch.Write("run/" + c.PackageName, package);

    TRunResult r = RunChecked(scratch.At("run"), {c.PackageName});

    EXPECT_EQ(r.Stdout, Banner() + FileHeader(c.PackageName, package.size()) + Report(package) +
                            Lines(c.Tail));
    TFolder expected = c.After;
    if (expected.count(c.PackageName) == 0)
        expected[c.PackageName] = AsString(package);
    EXPECT_EQ(scratch.Contents("run"), expected);
    EXPECT_EQ(scratch.Contents(), (TFolder{{"run", "<dir>"}})) << "a file escaped the folder";
}

INSTANTIATE_TEST_SUITE_P(Packages, Hostile, ::testing::ValuesIn(HostileCases()),
                         [](const ::testing::TestParamInfo<THostileCase>& param) {
                             return param.param.Name;
                         });

// A FIFO among the packages: it is reported as a file that cannot be opened,
// and the run goes on without waiting for a writer.
TEST(HostileEntries, FifoMatchedByMaskDoesNotBlock) {
    if (WindowsBuild())
        GTEST_SKIP() << "FIFOs are a POSIX matter";
    TScratch scratch;
    ASSERT_EQ(mkfifo(scratch.At("Pipe.umx").c_str(), 0644), 0);
    TBytes tune = Tune();
    scratch.Write("Tune.umx", tune);

    TRunResult r = RunChecked(scratch.Path, {"*.umx"});

    EXPECT_EQ(r.Stdout, Banner() + Lines({"Error open file."}) +
                            FileHeader("Tune.umx", tune.size()) + Report(tune) +
                            Lines({TuneFound(), ExtractDone}));
    EXPECT_EQ(scratch.Contents(), (TFolder{{"Pipe.umx", "<special>"},
                                           {"Tune.umx", AsString(tune)},
                                           {"Tune.it", AsString(TunePayload)}}));
}

} // namespace
