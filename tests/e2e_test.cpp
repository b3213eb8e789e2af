// The built program, run in scratch folders on packages the builder writes:
// its exact output and the exact files it leaves.
#include "e2e_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string Usage = "Usage: Brovask.exe <filename or filemask> - extract files from package";
const std::string NotFound = "Not found \"Music\" object in this file.";

// Symbolic links, FIFOs and modes are POSIX matters.
#define POSIX_ONLY()                                                                               \
    if (WindowsBuild())                                                                            \
    GTEST_SKIP() << "a POSIX-only case"

TRunResult RunIn(const TScratch& dir, const std::vector<std::string>& args) {
    TRunResult r = RunTool(dir.Path, args);
    EXPECT_EQ(r.ExitStatus, 0);
    if (!UnderRunner()) {
        EXPECT_EQ(r.Stderr, "");
    }
    return r;
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%.4X", value);
    return text;
}

std::string Found(const std::string& file, uint32_t offset, uint32_t size) {
    return "Found \"Music\" object: \"" + file + "\" (Offset: " + Hex(offset) +
           ", Size: " + std::to_string(size) + " bytes)";
}

// The report of a package as written to the scratch folder under `name`.
std::string Head(const std::string& name, const TBytes& bytes) {
    return FileHeader(name, bytes.size()) + Report(bytes);
}

TBytes Payload(size_t size, uint8_t seed) {
    TBytes out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(seed + i * 31 + i / 7);
    return out;
}

TBytes OneTune(uint16_t version = 69) {
    return BuildPackage(MusicPackageSpec(version, "it", {{"Tune", Payload(100, 1)}}));
}

// ---------------------------------------------------------------------------
// Command line and file loop

TEST(CommandLine, WithoutArgumentPrintsUsage) {
    TScratch dir;
    EXPECT_EQ(RunIn(dir, {}).Stdout, Banner() + Lines({Usage}));
}

TEST(CommandLine, MaskMatchingNothing) {
    TScratch dir;
    EXPECT_EQ(RunIn(dir, {"*.umx"}).Stdout, Banner() + Lines({"0 files found"}));
    EXPECT_EQ(RunIn(dir, {"missing.umx"}).Stdout, Banner() + Lines({"0 files found"}));
}

TEST(CommandLine, EveryArgumentIsAPatternInTurn) {
    TScratch dir;
    TBytes pkg = BuildPackage(MusicPackageSpec(69, "it", {{"Tune", {}}}));
    dir.Write("b.umx", pkg);
    dir.Write("a.umx", pkg);
    std::string one = Report(pkg) + Lines({Found("Tune.it", 36, 0), "  Size is zero, skip."});
    EXPECT_EQ(RunIn(dir, {"b.umx", "nothing*", "a.umx"}).Stdout,
              Banner() + FileHeader("b.umx", pkg.size()) + one + Lines({"0 files found"}) +
                  FileHeader("a.umx", pkg.size()) + one);
    // A mask's matches come in byte order of their names.
    EXPECT_EQ(RunIn(dir, {"*.umx"}).Stdout, Banner() + FileHeader("a.umx", pkg.size()) + one +
                                                FileHeader("b.umx", pkg.size()) + one);
}

TEST(CommandLine, StarMatchesDotEntriesAndDirectoriesToo) {
    TScratch dir;
    TBytes pkg = BuildPackage(MusicPackageSpec(69, "it", {{"Tune", {}}}));
    dir.Write("Song.umx", pkg);
    dir.MakeDir("sub");
    std::string open = Lines({"Error open file."});
    EXPECT_EQ(RunIn(dir, {"*"}).Stdout,
              Banner() + open + open + Head("Song.umx", pkg) +
                  Lines({Found("Tune.it", 36, 0), "  Size is zero, skip."}) + open);
}

TEST(CommandLine, WildcardRules) {
    TScratch dir;
    for (const char* name : {"a.umx", "ab.umx", "abc.umx", "A.UMX", "noext"})
        dir.Write(name, "x");
    // Linux: byte order of the names, case counts, no special case for
    // "*.*". Windows: the system's own search, where case does not count,
    // "*.*" matches every name and the order ignores case (names that differ
    // only in case, which Wine lets stand side by side, come upper case
    // first). Where Windows versions and Wine disagree ("?" next to a full
    // stop or at the end may match nothing there) the Windows column is
    // left open.
    using TNames = std::vector<std::string>;
    const std::optional<TNames> varies;
    struct {
        const char* Pattern;
        TNames Linux;
        std::optional<TNames> Windows;
    } const cases[] = {
        {"a?.umx", {"ab.umx"}, varies},
        {"a?c.umx", {"abc.umx"}, TNames{"abc.umx"}},
        {"a*.umx", {"a.umx", "ab.umx", "abc.umx"}, TNames{"A.UMX", "a.umx", "ab.umx", "abc.umx"}},
        {"*c*", {"abc.umx"}, TNames{"abc.umx"}},
        // "." and ".." have a full stop too (and cannot be opened as
        // packages).
        {"*.*",
         {".", "..", "A.UMX", "a.umx", "ab.umx", "abc.umx"},
         TNames{".", "..", "A.UMX", "a.umx", "ab.umx", "abc.umx", "noext"}},
        {"A*", {"A.UMX"}, TNames{"A.UMX", "a.umx", "ab.umx", "abc.umx"}},
        {"noext", {"noext"}, TNames{"noext"}},
        {"NoExt", {}, TNames{"noext"}},
        {"*t", {"noext"}, TNames{"noext"}},
        {"?????", {"A.UMX", "a.umx", "noext"}, varies},
    };
    for (const auto& c : cases) {
        if (WindowsBuild() && !c.Windows)
            continue;
        const TNames& matches = WindowsBuild() ? *c.Windows : c.Linux;
        std::string expected = Banner();
        for (const std::string& m : matches)
            expected += m[0] == '.' ? Lines({"Error open file."})
                                    : FileHeader(m, 1) + Lines({"Error read file."});
        if (matches.empty())
            expected += Lines({"0 files found"});
        EXPECT_EQ(RunIn(dir, {c.Pattern}).Stdout, expected) << c.Pattern;
    }
}

TEST(CommandLine, SeparatorsDrivesAndCaseInMasks) {
    // On Linux "\\" and ":" are bytes of a name like any other and case
    // counts. On Windows "\\" separates directories as "/" does, "Z:" names a
    // drive (Wine's Z: is the Unix root, so its current directory is the
    // scratch folder) and case does not count.
    struct {
        const char* Pattern;
        bool OnLinux;
        bool OnWindows;
    } const cases[] = {
        {"music/Song.umx", true, true},    {"music\\Song.umx", false, true},
        {"music\\*.umx", false, true},     {"MUSIC/song.UMX", false, true},
        {"music/*.UMX", false, true},      {"Z:music\\S*", false, true},
        {"Z:music/Song.umx", false, true},
    };
    for (const auto& c : cases) {
        TScratch dir;
        dir.MakeDir("music");
        TBytes pkg = OneTune();
        dir.Write("music/Song.umx", pkg);
        bool matches = WindowsBuild() ? c.OnWindows : c.OnLinux;
        // The file line shows the name as the folder holds it, and the
        // music lands in the current directory.
        std::string expected =
            Banner() + (matches ? Head("Song.umx", pkg) +
                                      Lines({Found("Tune.it", 36, 100), "  Extract...done."})
                                : Lines({"0 files found"}));
        EXPECT_EQ(RunIn(dir, {c.Pattern}).Stdout, expected) << c.Pattern;
        TFolder files = dir.Contents();
        EXPECT_EQ(files.size(), matches ? 2u : 1u) << c.Pattern;
        if (matches) {
            EXPECT_EQ(files["Tune.it"], AsString(Payload(100, 1))) << c.Pattern;
        }
    }
}

TEST(CommandLine, EntriesAreOpenedWhereTheSearchFoundThem) {
    TScratch dir;
    dir.MakeDir("music");
    dir.MakeDir("out");
    TBytes pkg = OneTune();
    dir.Write("music/Song.umx", pkg);
    // A file of the same bare name in the current directory is not the one
    // the mask found, and must not be read.
    dir.Write("out/Song.umx", "decoy");
    std::string expected =
        Banner() + Head("Song.umx", pkg) + Lines({Found("Tune.it", 36, 100), "  Extract...done."});
    EXPECT_EQ(RunTool(dir.At("out"), {"../music/*.umx"}).Stdout, expected);
    EXPECT_EQ(RunTool(dir.At("out"), {"../music/Song.umx"}).Stdout, expected);
    TFolder out = dir.Contents("out");
    EXPECT_EQ(out.size(), 2u);
    EXPECT_EQ(out["Tune.it"], AsString(Payload(100, 1)));
    EXPECT_EQ(out["Song.umx"], "decoy");
    EXPECT_EQ(dir.Contents("music").size(), 1u); // nothing is written beside the package
}

TEST(CommandLine, EntriesThatAreNotRegularFilesAreNotOpened) {
    POSIX_ONLY();
    TScratch dir;
    ASSERT_EQ(mkfifo(dir.At("fifo.umx").c_str(), 0644), 0);
    ASSERT_EQ(symlink("nowhere", dir.At("dangling.umx").c_str()), 0);
    dir.MakeDir("dir.umx");
    std::string open = Lines({"Error open file."});
    // A FIFO must neither block the open nor be read.
    EXPECT_EQ(RunIn(dir, {"*.umx"}).Stdout, Banner() + open + open + open);
    EXPECT_EQ(RunIn(dir, {"dangling.umx"}).Stdout, Banner() + open);
    EXPECT_EQ(RunIn(dir, {"fifo.umx"}).Stdout, Banner() + open);
}

TEST(CommandLine, FileLineShowsTheWholeSizePastFourGigabytes) {
    TScratch dir;
    TBytes pkg = BuildPackage(MusicPackageSpec(69, "it", {{"Tune", {}}}));
    dir.Write("Big.umx", pkg);
    const uint64_t size = (1ull << 32) + 5;
    if (truncate(dir.At("Big.umx").c_str(), static_cast<off_t>(size)) != 0)
        GTEST_SKIP() << "no sparse files here";
    EXPECT_EQ(RunIn(dir, {"Big.umx"}).Stdout,
              Banner() + FileHeader("Big.umx", size) + Report(pkg) +
                  Lines({Found("Tune.it", 36, 0), "  Size is zero, skip."}));
}

TEST(CommandLine, TablesPastTwoGigabytesAreReadWhereTheySay) {
    // The object's data just below 2 GiB, the tables just above: a seek
    // that took their offsets as negative numbers would read elsewhere.
    TScratch dir;
    TPackageSpec spec = MusicPackageSpec(69, "it", {{"Tune", Payload(50, 4)}});
    const uint32_t dataAt = 0x7FFFFF00u, tablesAt = 0x80000100u;
    spec.Exports[0].OverrideOffset = true;
    spec.Exports[0].SerialOffset = static_cast<int32_t>(dataAt);
    TPackageLayout at;
    TBytes pkg = BuildPackage(spec, &at);
    TBytes header(pkg.begin(), pkg.begin() + 36);
    for (size_t field : {16u, 24u, 32u}) {
        uint32_t offset = static_cast<uint32_t>(header[field] | header[field + 1] << 8 |
                                                header[field + 2] << 16 | header[field + 3] << 24);
        PutU32(header, field, offset - at.NameOffset + tablesAt);
    }
    int fd = open(dir.At("Far.umx").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    auto put = [&](const uint8_t* bytes, size_t count, uint64_t offset) {
        return pwrite(fd, bytes, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
    };
    bool written = put(header.data(), header.size(), 0) &&
                   put(pkg.data() + 36, at.NameOffset - 36, dataAt) &&
                   put(pkg.data() + at.NameOffset, pkg.size() - at.NameOffset, tablesAt);
    close(fd);
    if (!written)
        GTEST_SKIP() << "no sparse files here";
    const uint64_t size = tablesAt + (pkg.size() - at.NameOffset);
    EXPECT_EQ(RunIn(dir, {"Far.umx"}).Stdout,
              Banner() + FileHeader("Far.umx", size) + Report(header) +
                  Lines({Found("Tune.it", dataAt, 50), "  Extract...done."}));
    // The package goes first: the folder listing would read all of it.
    unlink(dir.At("Far.umx").c_str());
    EXPECT_EQ(dir.Contents(), (TFolder{{"Tune.it", AsString(Payload(50, 4))}}));
}

// ---------------------------------------------------------------------------
// Header and report

TEST(Header, FilesThatAreNotPackages) {
    TScratch dir;
    TBytes pkg = BuildPackage(MusicPackageSpec(69, "it", {{"Tune", {}}}));
    TBytes reversed = pkg;
    std::reverse(reversed.begin(), reversed.begin() + 4);
    struct {
        const char* Name;
        TBytes Bytes;
        const char* Message;
    } const cases[] = {
        {"empty.umx", {}, "Error read file."},
        {"short.umx", TBytes(pkg.begin(), pkg.begin() + 35), "Error read file."},
        {"reversed.umx", reversed, "Unknown format or not Unreal Package."},
        {"text.umx", Text("This is not a package, but it is long enough."),
         "Unknown format or not Unreal Package."},
    };
    for (const auto& c : cases) {
        dir.Write(c.Name, c.Bytes);
        EXPECT_EQ(RunIn(dir, {c.Name}).Stdout,
                  Banner() + FileHeader(c.Name, c.Bytes.size()) + Lines({c.Message}))
            << c.Name;
    }
}

TEST(Report, VersionFlagsCountsAndOffsets) {
    TScratch dir;
    struct {
        uint32_t Flags;
        std::vector<std::string> Lines;
    } const cases[] = {
        {0x8001, {"  Allow downloading package", "  Client needs to download this package"}},
        {0x0100, {}},
        {0xFFFFFFFF,
         {"  Allow downloading package", "  Purely optional for clients",
          "  Only needed on the server side", "  Loaded from linker with broken import links",
          "  Not trusted", "  Client needs to download this package"}},
    };
    for (const auto& c : cases) {
        TPackageSpec spec;
        spec.PackageFlags = c.Flags;
        TBytes pkg = BuildPackage(spec);
        dir.Write("p.umx", pkg);
        std::vector<std::string> lines = {"Package ver.  : 69", "Package flags :"};
        lines.insert(lines.end(), c.Lines.begin(), c.Lines.end());
        lines.push_back("Name count   : 0, Name Table offset  : 36");
        lines.push_back("Export count : 0, Export Table offset: 36");
        lines.push_back("Import count : 0, Import Table offset: 36");
        lines.push_back(NotFound);
        EXPECT_EQ(RunIn(dir, {"p.umx"}).Stdout, Banner() + FileHeader("p.umx", 36) + Lines(lines));
    }
}

TEST(Report, LargeNumbersPrintUnsigned) {
    TScratch dir;
    TBytes pkg = BuildPackage(TPackageSpec{});
    pkg[4] = 0xFF;
    pkg[5] = 0xFF;
    PutU32(pkg, 20, 0x80000000u);
    PutU32(pkg, 24, 0xFFFFFFFFu);
    dir.Write("p.umx", pkg);
    EXPECT_EQ(RunIn(dir, {"p.umx"}).Stdout,
              Banner() + FileHeader("p.umx", 36) +
                  Lines({"Package ver.  : 65535",
                         "Package flags :", "Name count   : 0, Name Table offset  : 36",
                         "Export count : 2147483648, Export Table offset: 4294967295",
                         "Import count : 0, Import Table offset: 36", "Error read file."}));
}

// ---------------------------------------------------------------------------
// Tables cut short

TEST(Tables, FileEndingInsideATableIsAReadError) {
    TScratch dir;
    TPackageLayout layout;
    TBytes pkg = BuildPackage(MusicPackageSpec(63, "it", {{"Tune", Payload(10, 2)}}), &layout);
    struct {
        const char* What;
        size_t Cut;
    } const cases[] = {
        {"inside a zero-terminated name", layout.NameOffset + 1},
        {"inside a name's flag word", layout.NameOffset + 4},
        {"inside the import table", layout.ImportOffset + 2},
        {"inside the export table", pkg.size() - 1},
    };
    for (const auto& c : cases) {
        TBytes cut(pkg.begin(), pkg.begin() + static_cast<long>(c.Cut));
        dir.Write("cut.umx", cut);
        EXPECT_EQ(RunIn(dir, {"cut.umx"}).Stdout,
                  Banner() + Head("cut.umx", cut) + Lines({"Error read file."}))
            << c.What;
    }
    EXPECT_EQ(dir.Contents().size(), 1u);
}

// ---------------------------------------------------------------------------
// Extraction

TEST(Extract, OneObjectLandsInTheCurrentDirectory) {
    TScratch dir;
    TPackageSpec spec = MusicPackageSpec(69, "it", {{"Tune", Payload(300, 5)}});
    spec.LeadingGap = 6; // puts the data at 0x2A
    TBytes pkg = BuildPackage(spec);
    dir.Write("Song.umx", pkg);
    EXPECT_EQ(RunIn(dir, {"Song.umx"}).Stdout,
              Banner() + Head("Song.umx", pkg) +
                  Lines({"Found \"Music\" object: \"Tune.it\" (Offset: 0x002A, Size: 300 bytes)",
                         "  Extract...done."}));
    TFolder files = dir.Contents();
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files["Tune.it"], AsString(Payload(300, 5)));
}

TEST(Extract, LeadingBytesDependOnTheVersion) {
    // Up to version 61 the size follows 2 leading bytes, from 62 on 6; the
    // names switch to their length form at 64.
    for (uint16_t version : std::vector<uint16_t>{60, 61, 62, 63, 64, 69}) {
        TScratch dir;
        TBytes pkg = OneTune(version);
        dir.Write("Song.umx", pkg);
        EXPECT_EQ(RunIn(dir, {"Song.umx"}).Stdout,
                  Banner() + Head("Song.umx", pkg) +
                      Lines({Found("Tune.it", 36, 100), "  Extract...done."}))
            << version;
        EXPECT_EQ(dir.Contents()["Tune.it"], AsString(Payload(100, 1))) << version;
    }
}

TEST(Extract, OffsetsPrintWithAllTheirDigits) {
    TScratch dir;
    TPackageSpec spec = MusicPackageSpec(69, "s3m", {{"Long", Payload(20, 9)}});
    spec.LeadingGap = 0x12345 - 36;
    TBytes pkg = BuildPackage(spec);
    dir.Write("Far.umx", pkg);
    EXPECT_EQ(RunIn(dir, {"Far.umx"}).Stdout,
              Banner() + Head("Far.umx", pkg) +
                  Lines({"Found \"Music\" object: \"Long.s3m\" (Offset: 0x12345, Size: 20 bytes)",
                         "  Extract...done."}));
}

TEST(Extract, EveryObjectTakesTheExtensionAtExportCountLessOne) {
    TScratch dir;
    TPackageSpec spec = MusicPackageSpec(
        69, "xm", {{"One", Payload(10, 1)}, {"Two", {}}, {"Three", Payload(70000, 3)}});
    ASSERT_EQ(spec.Names[2], "xm");
    // The second export's own class plays no part.
    spec.Exports[1].ClassIndex = 0;
    TPackageLayout at;
    TBytes pkg = BuildPackage(spec, &at);
    dir.Write("Three.umx", pkg);
    EXPECT_EQ(RunIn(dir, {"Three.umx"}).Stdout,
              Banner() + Head("Three.umx", pkg) +
                  Lines({Found("One.xm", at.SerialOffsets[0], 10), "  Extract...done.",
                         Found("Two.xm", at.SerialOffsets[1], 0), "  Size is zero, skip.",
                         Found("Three.xm", at.SerialOffsets[2], 70000), "  Extract...done."}));
    TFolder files = dir.Contents();
    EXPECT_EQ(files.size(), 3u);
    EXPECT_EQ(files["One.xm"], AsString(Payload(10, 1)));
    EXPECT_EQ(files["Three.xm"], AsString(Payload(70000, 3)));
}

TEST(Extract, LaterFilesReplaceEarlierOnes) {
    TScratch dir;
    TPackageSpec spec = MusicPackageSpec(69, "it", {{"Same", Payload(10, 1)}, {"x", {}}});
    spec.Exports[1].ObjectName = spec.Exports[0].ObjectName;
    spec.Exports[1].Serial = MusicObjectData(69, Payload(20, 2));
    TPackageLayout at;
    TBytes pkg = BuildPackage(spec, &at);
    dir.Write("Twice.umx", pkg);
    dir.Write("Same.it", "from an earlier run");
    std::string expected = Banner() + Head("Twice.umx", pkg) +
                           Lines({Found("Same.it", at.SerialOffsets[0], 10), "  Extract...done.",
                                  Found("Same.it", at.SerialOffsets[1], 20), "  Extract...done."});
    EXPECT_EQ(RunIn(dir, {"Twice.umx"}).Stdout, expected);
    EXPECT_EQ(dir.Contents()["Same.it"], AsString(Payload(20, 2)));
    EXPECT_EQ(RunIn(dir, {"Twice.umx"}).Stdout, expected);
    EXPECT_EQ(dir.Contents().size(), 2u);
}

TEST(Extract, OutputNamesThatAreNoPlainFileHere) {
    // Each object becomes <object>.<extension> beside the package Song.umx,
    // or "Error create file." with nothing created and the package left as
    // it was. On Windows a name whose part before the first full stop is a
    // device (blanks after it do not count) would write to the device, "\\"
    // and ":" lead elsewhere, and the package itself has more spellings than
    // one: its name in another case, or with a full stop after it, which
    // Windows drops.
    struct {
        const char* Object;
        const char* Extension;
        bool OnLinux;
        bool OnWindows;
    } const cases[] = {
        {"CON", "it", true, false},      {"nul", "it", true, false},
        {"Aux", "s3m", true, false},     {"prn", "it", true, false},
        {"COM1", "xm", true, false},     {"lpt9", "it", true, false},
        {"Con ", "it", true, false},     {"conout$", "it", true, false},
        {"nul.tune", "it", true, false}, {"COM0", "it", true, true},
        {"LPT10", "it", true, true},     {"CONSOLE", "it", true, true},
        {"a\\b", "it", true, false},     {"c:x", "it", true, false},
        {"sub/x", "it", false, false},   {"song", "umx", true, false},
        {"Song.umx", "", true, false},
    };
    for (const auto& c : cases) {
        TScratch dir;
        dir.MakeDir("sub");
        TBytes pkg = BuildPackage(MusicPackageSpec(69, c.Extension, {{c.Object, Payload(100, 1)}}));
        dir.Write("Song.umx", pkg);
        std::string output = std::string(c.Object) + "." + c.Extension;
        bool created = WindowsBuild() ? c.OnWindows : c.OnLinux;
        EXPECT_EQ(RunIn(dir, {"Song.umx"}).Stdout,
                  Banner() + Head("Song.umx", pkg) + Lines({Found(output, 36, 100)}) +
                      (created ? Lines({"  Extract...done."})
                               : "  Extract...\r\n" + Lines({"Error create file."})))
            << output;
        TFolder files = dir.Contents();
        EXPECT_EQ(files.size(), created ? 3u : 2u) << output;
        EXPECT_EQ(files["Song.umx"], AsString(pkg)) << output;
        if (created) {
            EXPECT_EQ(files[output], AsString(Payload(100, 1))) << output;
        }
    }
}

TEST(Extract, NewFilesGetTheUsualMode) {
    POSIX_ONLY();
    TScratch dir;
    dir.Write("Song.umx", OneTune());
    mode_t old = umask(027);
    RunIn(dir, {"Song.umx"});
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(dir.At("Tune.it").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(Extract, PackagesThatAreNotMusic) {
    TScratch dir;
    auto withClass = [](const std::string& className, int32_t classIndex) {
        TPackageSpec spec = MusicPackageSpec(69, "it", {{"Tune", Payload(5, 1)}});
        for (std::string& n : spec.Names)
            if (n == "Music")
                n = className;
        spec.Exports[0].ClassIndex = classIndex;
        return BuildPackage(spec);
    };
    TPackageSpec none = MusicPackageSpec(69, "it", {});
    none.Exports.clear();
    struct {
        const char* What;
        TBytes Bytes;
    } const cases[] = {
        {"class in lower case", withClass("music", -1)},
        {"another class", withClass("Texture", -1)},
        {"class defined in the package", withClass("Music", 1)},
        {"class none", withClass("Music", 0)},
        {"no exports", BuildPackage(none)},
    };
    for (const auto& c : cases) {
        dir.Write("p.umx", c.Bytes);
        EXPECT_EQ(RunIn(dir, {"p.umx"}).Stdout,
                  Banner() + Head("p.umx", c.Bytes) + Lines({NotFound}))
            << c.What;
    }
    EXPECT_EQ(dir.Contents().size(), 1u);
}

TEST(Extract, ReferencesOutsideTheirTables) {
    TScratch dir;
    const int32_t far = 1000;
    struct {
        const char* What;
        void (*Damage)(TPackageSpec&);
        size_t FoundBefore; // objects extracted before the damage is met
    } const cases[] = {
        {"class import", [](TPackageSpec& s) { s.Exports[0].ClassIndex = -2; }, 0},
        {"class import name", [](TPackageSpec& s) { s.Imports[0].ObjectName = far; }, 0},
        {"extension", [](TPackageSpec& s) { s.Names.resize(1); }, 0},
        {"first object name", [](TPackageSpec& s) { s.Exports[0].ObjectName = -1; }, 0},
        {"second object name", [](TPackageSpec& s) { s.Exports[1].ObjectName = far; }, 1},
    };
    for (const auto& c : cases) {
        TPackageSpec spec =
            MusicPackageSpec(69, "it", {{"One", Payload(10, 1)}, {"Two", Payload(10, 2)}});
        c.Damage(spec);
        TPackageLayout at;
        TBytes pkg = BuildPackage(spec, &at);
        dir.Write("p.umx", pkg);
        std::vector<std::string> lines;
        if (c.FoundBefore == 1)
            lines = {Found("One.it", at.SerialOffsets[0], 10), "  Extract...done."};
        lines.push_back("Corrupt package tables.");
        EXPECT_EQ(RunIn(dir, {"p.umx"}).Stdout, Banner() + Head("p.umx", pkg) + Lines(lines))
            << c.What;
        // What was written before the damage stays.
        EXPECT_EQ(dir.Contents().size(), 1 + c.FoundBefore) << c.What;
        unlink(dir.At("One.it").c_str());
    }
}

TEST(Extract, ObjectDataOutsideTheFile) {
    TScratch dir;
    // The second object's data holds 10 bytes after a size field of its own.
    enum TWhere { AsBuilt, Negative, PastTheEnd, NearTheEnd };
    struct {
        const char* What;
        TWhere Offset;
        int32_t DataSize;
        bool FoundLine;
    } const cases[] = {
        {"negative offset", Negative, 10, false},
        {"offset past the end", PastTheEnd, 10, false},
        {"size field past the end", NearTheEnd, 10, false},
        {"size larger than what follows", AsBuilt, 100000, true},
        {"negative size", AsBuilt, -5, true},
        {"size 0x7FFFFFFF", AsBuilt, 0x7FFFFFFF, true},
    };
    for (const auto& c : cases) {
        TPackageSpec spec = MusicPackageSpec(69, "it", {{"One", Payload(10, 1)}, {"Tune", {}}});
        TBytes serial(6, 0);
        for (const TBytes& part : {CompactIndex(c.DataSize), Payload(10, 7)})
            serial.insert(serial.end(), part.begin(), part.end());
        spec.Exports[1].Serial = serial;
        TBuildExport& e = spec.Exports[1];
        e.OverrideOffset = c.Offset != AsBuilt;
        e.SerialOffset = c.Offset == Negative ? -4 : c.Offset == PastTheEnd ? 0x7FFFFFF0 : 200;
        TPackageLayout at;
        TBytes pkg = BuildPackage(spec, &at);
        if (c.Offset == NearTheEnd) {
            // Three bytes before the end: not even the leading bytes fit.
            // Both offsets take two bytes as a compact index, so the size
            // of the package stays the same.
            e.SerialOffset = static_cast<int32_t>(pkg.size() - 3);
            pkg = BuildPackage(spec, &at);
        }
        uint32_t offset =
            e.OverrideOffset ? static_cast<uint32_t>(e.SerialOffset) : at.SerialOffsets[1];
        dir.Write("p.umx", pkg);
        dir.Write("Tune.it", "old contents");
        std::string expected =
            Banner() + Head("p.umx", pkg) +
            Lines({Found("One.it", at.SerialOffsets[0], 10), "  Extract...done."});
        if (c.FoundLine)
            expected += Lines({Found("Tune.it", offset, static_cast<uint32_t>(c.DataSize))}) +
                        "  Extract...\r\n";
        expected += Lines({"Error read file."});
        EXPECT_EQ(RunIn(dir, {"p.umx"}).Stdout, expected) << c.What;
        // No temporary file is left, and the old file keeps its contents.
        TFolder files = dir.Contents();
        EXPECT_EQ(files.size(), 3u) << c.What;
        EXPECT_EQ(files["Tune.it"], "old contents") << c.What;
    }
}

TEST(Extract, OutputNamesThatWouldNotBeAPlainNewFileHere) {
    struct {
        const char* What;
        std::string Object;
        std::string Extension;
        void (*Prepare)(const TScratch&);
        bool PosixOnly; // symbolic links are a POSIX matter
    } const cases[] = {
        {"a name with a directory part", "../Tune", "it", nullptr, false},
        {"a name that climbs out", "..", "/etc/x", nullptr, false},
        {"a directory under the name", "Tune", "it",
         [](const TScratch& d) { d.MakeDir("inner/Tune.it"); }, false},
        {"the package itself", "Song", "umx", nullptr, false},
        {"a link to the package", "Tune", "it",
         [](const TScratch& d) { (void)!symlink("Song.umx", d.At("inner/Tune.it").c_str()); },
         true},
    };
    for (const auto& c : cases) {
        if (c.PosixOnly && WindowsBuild())
            continue;
        TScratch dir;
        dir.MakeDir("inner");
        TBytes pkg = BuildPackage(MusicPackageSpec(69, c.Extension, {{c.Object, Payload(50, 4)}}));
        dir.Write("inner/Song.umx", pkg);
        if (c.Prepare)
            c.Prepare(dir);
        // Run from inside the folder so that "../" would land in the
        // scratch folder, where the test can see it.
        TFolder before = dir.Contents("inner");
        TFolder outerBefore = dir.Contents();
        TRunResult r = RunTool(dir.At("inner"), {"Song.umx"});
        EXPECT_EQ(r.Stdout, Banner() + Head("Song.umx", pkg) +
                                Lines({Found(c.Object + "." + c.Extension, 36, 50)}) +
                                "  Extract...\r\n" + Lines({"Error create file."}))
            << c.What;
        EXPECT_EQ(dir.Contents("inner"), before) << c.What;
        EXPECT_EQ(dir.Contents(), outerBefore) << c.What;
    }
}

TEST(Extract, SymbolicLinkUnderTheNameIsReplacedNotWrittenThrough) {
    POSIX_ONLY();
    TScratch dir;
    dir.Write("target", "keep me");
    ASSERT_EQ(symlink("target", dir.At("Tune.it").c_str()), 0);
    dir.Write("Song.umx", OneTune());
    RunIn(dir, {"Song.umx"});
    TFolder files = dir.Contents();
    EXPECT_EQ(files["target"], "keep me");
    EXPECT_EQ(files["Tune.it"], AsString(Payload(100, 1))); // a regular file now
    EXPECT_EQ(files.size(), 3u);
}

TEST(Extract, FailedWriteKeepsTheOldFileAndLeavesNoTemporary) {
    POSIX_ONLY();
    TScratch dir;
    TBytes pkg = BuildPackage(MusicPackageSpec(69, "it", {{"Tune", Payload(5000, 3)}}));
    dir.Write("Song.umx", pkg);
    dir.Write("Tune.it", "old contents");
    TRunResult r = RunTool(dir.Path, {"Song.umx"}, 1000);
    EXPECT_EQ(r.Stdout, Banner() + Head("Song.umx", pkg) + Lines({Found("Tune.it", 36, 5000)}) +
                            "  Extract...\r\n" + Lines({"Error write file."}));
    TFolder files = dir.Contents();
    EXPECT_EQ(files.size(), 2u);
    EXPECT_EQ(files["Tune.it"], "old contents");
}

// Real packages from a game's dedicated server, read where they lie. Their
// music objects are empty, so each gives its "Found" line and a skip.
TEST(RealPackages, EveryStubIsFoundAndSkipped) {
    const std::string stubs = std::string(BROVASK_SOURCE_DIR) + "/../shared/fixtures/real-stubs";
    DIR* d = opendir(stubs.c_str());
    if (d == nullptr)
        GTEST_SKIP() << "no real packages beside the project";
    std::vector<std::string> names;
    while (struct dirent* de = readdir(d))
        if (std::string(de->d_name).size() > 4 &&
            std::string(de->d_name).substr(std::string(de->d_name).size() - 4) == ".umx")
            names.push_back(de->d_name);
    closedir(d);
    // The order of the search: byte order on Linux; on Windows case does
    // not count (and names that differ only in case come upper case first).
    auto upper = [](std::string name) {
        for (char& ch : name)
            ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
        return name;
    };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        if (WindowsBuild() && upper(a) != upper(b))
            return upper(a) < upper(b);
        return a < b;
    });
    ASSERT_EQ(names.size(), 30u);

    TScratch dir;
    std::string out = RunIn(dir, {stubs + "/*.umx"}).Stdout;
    std::string expected = Banner();
    std::regex found("Found \"Music\" object: \"[A-Za-z0-9_-]+\\.(it|s3m|xm)\" \\(Offset: "
                     "0x00[0-9A-F]{2}, Size: 0 bytes\\)\r\n  Size is zero, skip\\.\r\n");
    size_t at = expected.size();
    ASSERT_EQ(out.substr(0, at), expected);
    for (const std::string& name : names) {
        FILE* f = fopen((stubs + "/" + name).c_str(), "rb");
        ASSERT_NE(f, nullptr);
        TBytes bytes(4096);
        bytes.resize(fread(bytes.data(), 1, bytes.size(), f));
        fclose(f);
        std::string head = Head(name, bytes);
        ASSERT_EQ(out.substr(at, head.size()), head) << name;
        at += head.size();
        size_t next = out.find("=====", at);
        std::string rest =
            out.substr(at, next == std::string::npos ? std::string::npos : next - at);
        EXPECT_TRUE(std::regex_match(rest, found)) << name << ": " << rest;
        at += rest.size();
    }
    EXPECT_EQ(at, out.size());
    // Two read off by hand from the bytes.
    EXPECT_NE(out.find("File: \"Credits.umx\", Size: 217 bytes\r\n"), std::string::npos);
    EXPECT_NE(out.find("\"Trophy.it\" (Offset: 0x00B6, Size: 0 bytes)"), std::string::npos);
    EXPECT_NE(out.find("\"Mech8.s3m\" (Offset: 0x00A9, Size: 0 bytes)"), std::string::npos);
    EXPECT_TRUE(dir.Contents().empty());
}

} // namespace
