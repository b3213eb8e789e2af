// The package reader on bytes the tests state: compact indexes, the header,
// both name encodings, the object tables and the class lookup.
#include "package_builder.h"
#include "package_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

// Opens `bytes` as a package. The file is unlinked at once; the descriptor
// keeps it readable until the package is closed.
struct TOpenBytes {
    TPackageFile File;
    explicit TOpenBytes(const TBytes& bytes) {
        char path[] = "/tmp/brovask-reader-XXXXXX";
        int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        if (!bytes.empty()) {
            EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        }
        close(fd);
        EXPECT_TRUE(OpenPackage(File, path));
        unlink(path);
    }
    ~TOpenBytes() { ClosePackage(File); }
};

TBytes Cat(std::initializer_list<TBytes> parts) {
    TBytes out;
    for (const TBytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A header announcing the given tables, followed by `body`.
TBytes WithHeader(uint16_t version, uint32_t names, uint32_t exports, uint32_t imports,
                  const TBytes& body) {
    TBytes out(36, 0);
    PutU32(out, 0, 0x9E2A83C1u);
    out[4] = static_cast<uint8_t>(version);
    out[5] = static_cast<uint8_t>(version >> 8);
    PutU32(out, 12, names);
    PutU32(out, 16, 36);
    PutU32(out, 20, exports);
    PutU32(out, 24, 36);
    PutU32(out, 28, imports);
    PutU32(out, 32, 36);
    return Cat({out, body});
}

TPackageHeader HeaderOf(TPackageFile& file) {
    TPackageHeader header;
    EXPECT_EQ(ReadPackageHeader(file, header), THeaderOutcome::Accepted);
    return header;
}

struct TCompactCase {
    TBytes Bytes;
    int32_t Value;
    uint64_t Consumed;
};

TEST(CompactIndex, DecodesAndConsumesExactlyItsBytes) {
    const TCompactCase cases[] = {
        {{0x05}, 5, 1},
        {{0x85}, -5, 1},
        {{0x00}, 0, 1},
        {{0x80}, 0, 1},
        {{0x40, 0x01}, 64, 2},
        {{0xC0, 0x01}, -64, 2},
        {{0x7F, 0x01}, 127, 2},
        {{0x40, 0x80, 0x80, 0x80, 0x01}, 1 << 27, 5},
        // The fifth byte is taken whole and has no continuation bit, even
        // when its top bit is set; bits above 31 fall off.
        {{0x40, 0x80, 0x80, 0x80, 0xFF}, static_cast<int32_t>(0xF8000000u), 5},
        {{0xC0, 0x80, 0x80, 0x80, 0x10}, static_cast<int32_t>(0x80000000u), 5},
        // Bit 7 of the first byte is the sign, never a continuation.
        {{0x85, 0x41}, -5, 1},
    };
    for (const TCompactCase& c : cases) {
        TOpenBytes in(Cat({c.Bytes, {0xAB}}));
        EXPECT_EQ(ReadCompactIndex(in.File), c.Value);
        EXPECT_EQ(in.File.Position, c.Consumed);
        EXPECT_FALSE(in.File.Failed);
    }
}

TEST(CompactIndex, RoundTripsWithTheBuilder) {
    const int32_t values[] = {
        0,          1,          -1,      63,        -63,       64,        8191,
        8192,       -1048575,   1048576, 134217727, 134217728, INT32_MAX, INT32_MIN + 1,
        0x12345678, -0x12345678};
    TBytes all;
    for (int32_t v : values)
        all = Cat({all, CompactIndex(v)});
    TOpenBytes in(all);
    for (int32_t v : values)
        EXPECT_EQ(ReadCompactIndex(in.File), v);
    EXPECT_EQ(in.File.Position, all.size());
    EXPECT_FALSE(in.File.Failed);
}

TEST(CompactIndex, EndOfFileInsideTheIndexFails) {
    TOpenBytes in({0x40, 0x80});
    ReadCompactIndex(in.File);
    EXPECT_TRUE(in.File.Failed);
}

TEST(PackageHeader, TellsPackagesFromOtherFiles) {
    TBytes valid = WithHeader(69, 0, 0, 0, {});
    TBytes reversed = valid;
    reversed[0] = 0x9E;
    reversed[1] = 0x2A;
    reversed[2] = 0x83;
    reversed[3] = 0xC1;
    struct {
        TBytes Bytes;
        THeaderOutcome Outcome;
    } const cases[] = {
        {{}, THeaderOutcome::TooShort},
        {TBytes(valid.begin(), valid.begin() + 35), THeaderOutcome::TooShort},
        {valid, THeaderOutcome::Accepted},
        {Cat({valid, Text("anything at all")}), THeaderOutcome::Accepted},
        {reversed, THeaderOutcome::NotAPackage},
    };
    for (const auto& c : cases) {
        TOpenBytes in(c.Bytes);
        TPackageHeader header;
        EXPECT_EQ(ReadPackageHeader(in.File, header), c.Outcome) << c.Bytes.size();
    }
}

TEST(PackageHeader, DecodesEveryFieldLittleEndian) {
    TBytes bytes(36);
    const uint8_t raw[36] = {0xC1, 0x83, 0x2A, 0x9E, 0x45, 0x00, 0x02, 0x01, 0x01,
                             0x80, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x48, 0x00,
                             0x00, 0x00, 0x01, 0x00, 0x00, 0x80, 0xCB, 0x00, 0x00,
                             0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xBD, 0x00, 0x01, 0x00};
    std::copy(raw, raw + 36, bytes.begin());
    TOpenBytes in(bytes);
    TPackageHeader h = HeaderOf(in.File);
    EXPECT_EQ(h.Version, 69);
    EXPECT_EQ(h.Licensee, 0x0102);
    EXPECT_EQ(h.PackageFlags, 0x8001u);
    EXPECT_EQ(h.NameCount, 10u);
    EXPECT_EQ(h.NameOffset, 0x48u);
    EXPECT_EQ(h.ExportCount, 0x80000001u);
    EXPECT_EQ(h.ExportOffset, 0xCBu);
    EXPECT_EQ(h.ImportCount, 0xFFFFFFFFu);
    EXPECT_EQ(h.ImportOffset, 0x100BDu);
}

struct TNameCase {
    const char* What;
    uint16_t Version;
    TBytes Entries;
    std::vector<std::string> Names;
};

TEST(NameTable, ReadsBothEncodings) {
    const TBytes flags = {1, 2, 3, 4};
    const TNameCase cases[] = {
        {"length form",
         69,
         Cat({{6}, Text("Music"), {0}, flags, {3}, Text("it"), {0}, flags}),
         {"Music", "it"}},
        {"length form from version 64", 64, Cat({{3}, Text("it"), {0}, flags}), {"it"}},
        {"zero-terminated below 64",
         63,
         Cat({Text("Music"), {0}, flags, Text("it"), {0}, flags}),
         {"Music", "it"}},
        {"the text ends at the first zero, all L bytes are consumed",
         69,
         Cat({{8}, Text("Music"), {0, 'x', 'y'}, flags, {3}, Text("it"), {0}, flags}),
         {"Music", "it"}},
        {"length 0 is an empty name",
         69,
         Cat({{0}, flags, {3}, Text("it"), {0}, flags}),
         {"", "it"}},
        {"a length of 64 or more is a plain byte",
         69,
         Cat({{0x41}, TBytes(64, 'a'), {0}, flags}),
         {std::string(64, 'a')}},
        {"a length form text without a zero", 69, Cat({{2}, Text("it"), flags}), {"it"}},
    };
    for (const TNameCase& c : cases) {
        TBytes file = WithHeader(c.Version, static_cast<uint32_t>(c.Names.size()), 0, 0, c.Entries);
        TOpenBytes in(file);
        TPackageHeader header = HeaderOf(in.File);
        std::vector<TNameTableItem> names;
        EXPECT_TRUE(ReadNameTable(in.File, header, names)) << c.What;
        ASSERT_EQ(names.size(), c.Names.size()) << c.What;
        for (size_t i = 0; i < names.size(); ++i) {
            EXPECT_EQ(names[i].Name, c.Names[i]) << c.What;
            EXPECT_EQ(names[i].Flags, 0x04030201u) << c.What;
        }
        EXPECT_EQ(in.File.Position, file.size()) << c.What;
    }
}

TEST(NameTable, EndOfFileInsideAnEntryFails) {
    const TNameCase cases[] = {
        {"zero-terminated name without its zero", 63, Text("Music"), {"x"}},
        {"length form cut inside the text", 69, Cat({{6}, Text("Mus")}), {"x"}},
        {"cut inside the flag word", 69, Cat({{3}, Text("it"), {0, 1, 2}}), {"x"}},
        {"fewer entries than the count", 69, Cat({{3}, Text("it"), {0, 1, 2, 3, 4}}), {"x", "y"}},
    };
    for (const TNameCase& c : cases) {
        TOpenBytes in(
            WithHeader(c.Version, static_cast<uint32_t>(c.Names.size()), 0, 0, c.Entries));
        TPackageHeader header = HeaderOf(in.File);
        std::vector<TNameTableItem> names;
        EXPECT_FALSE(ReadNameTable(in.File, header, names)) << c.What;
    }
}

TEST(Tables, HugeCountsInASmallFileCostNoMemory) {
    TBytes file = WithHeader(69, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, TBytes(64, 0));
    TOpenBytes in(file);
    TPackageHeader header = HeaderOf(in.File);
    std::vector<TNameTableItem> names;
    std::vector<TExportTableItem> exports;
    std::vector<TImportTableItem> imports;
    EXPECT_FALSE(ReadNameTable(in.File, header, names));
    EXPECT_LE(names.capacity(), 64u);
    EXPECT_FALSE(ReadExportTable(in.File, header, exports));
    EXPECT_LE(exports.capacity(), 64u);
    EXPECT_FALSE(ReadImportTable(in.File, header, imports));
    EXPECT_LE(imports.capacity(), 64u);
}

TEST(Tables, CountZeroIsNotReadWhereverItsOffsetPoints) {
    TBytes file = WithHeader(69, 0, 0, 0, {});
    PutU32(file, 16, 0xFFFFFFF0);
    PutU32(file, 24, 0x80000000);
    PutU32(file, 32, 1000);
    TOpenBytes in(file);
    TPackageTables t;
    t.Header = HeaderOf(in.File);
    EXPECT_TRUE(ReadNameTable(in.File, t.Header, t.Names));
    EXPECT_TRUE(ReadExportTable(in.File, t.Header, t.Exports));
    EXPECT_TRUE(ReadImportTable(in.File, t.Header, t.Imports));
    EXPECT_FALSE(in.File.Failed);
}

TEST(Tables, ReadsEveryFieldOfExportsAndImports) {
    TPackageSpec spec;
    spec.Names = {"it", "Core", "Music", "Tune"};
    spec.Imports = {{1, 0x2000, -7, 2}, {-1, 3, 0x12345678, 0}};
    TBuildExport a;
    a.ClassIndex = -1;
    a.SuperIndex = 300;
    a.PackageIndex = -2;
    a.ObjectName = 3;
    a.ObjectFlags = 0x000F0004;
    a.SerialSize = 0; // its offset still follows it
    a.OverrideOffset = true;
    a.SerialOffset = 0x12345;
    TBuildExport b = a;
    b.ClassIndex = -2;
    b.SerialSize = 70000;
    b.SerialOffset = -9;
    spec.Exports = {a, b};
    TPackageLayout layout;
    TOpenBytes in(BuildPackage(spec, &layout));
    TPackageTables t;
    t.Header = HeaderOf(in.File);
    ASSERT_TRUE(ReadNameTable(in.File, t.Header, t.Names));
    ASSERT_TRUE(ReadExportTable(in.File, t.Header, t.Exports));
    ASSERT_TRUE(ReadImportTable(in.File, t.Header, t.Imports));
    ASSERT_EQ(t.Exports.size(), 2u);
    ASSERT_EQ(t.Imports.size(), 2u);
    const TExportTableItem& e = t.Exports[1];
    EXPECT_EQ(t.Exports[0].SerialSize, 0);
    EXPECT_EQ(t.Exports[0].SerialOffset, 0x12345);
    EXPECT_EQ(e.ClassIndex, -2);
    EXPECT_EQ(e.SuperIndex, 300);
    EXPECT_EQ(e.PackageIndex, -2);
    EXPECT_EQ(e.ObjectName, 3);
    EXPECT_EQ(e.ObjectFlags, 0x000F0004);
    EXPECT_EQ(e.SerialSize, 70000);
    EXPECT_EQ(e.SerialOffset, -9);
    EXPECT_EQ(t.Imports[0].ClassPackage, 1);
    EXPECT_EQ(t.Imports[0].ClassName, 0x2000);
    EXPECT_EQ(t.Imports[0].PackageIndex, -7);
    EXPECT_EQ(t.Imports[0].ObjectName, 2);
    EXPECT_EQ(t.Imports[1].ClassPackage, -1);
    EXPECT_EQ(t.Imports[1].PackageIndex, 0x12345678);
}

TEST(ResolveClassName, FollowsImportedClassesOnly) {
    TPackageTables t;
    t.Names = {{"Music", 0}, {"Sound", 0}, {"Core", 0}, {"music", 0}};
    // The import's own name counts; its package and class name do not.
    t.Imports = {{2, 1, 0, 0}, {0, 0, 0, 1}, {99, 99, 0, 3}, {0, 0, 0, 7}};
    struct {
        int32_t ClassIndex;
        TClassLookup Outcome;
        const char* Name;
    } const cases[] = {
        {-1, TClassLookup::Resolved, "Music"},  {-2, TClassLookup::Resolved, "Sound"},
        {-3, TClassLookup::Resolved, "music"}, // import 2, not 3
        {0, TClassLookup::NotImported, ""},     {1, TClassLookup::NotImported, ""},
        {-4, TClassLookup::Corrupt, ""}, // its name lies outside the name table
        {-5, TClassLookup::Corrupt, ""}, // no such import
        {INT32_MIN, TClassLookup::Corrupt, ""},
    };
    for (const auto& c : cases) {
        t.Exports = {TExportTableItem{}};
        t.Exports[0].ClassIndex = c.ClassIndex;
        std::string name;
        EXPECT_EQ(ResolveClassName(t, 0, name), c.Outcome) << c.ClassIndex;
        EXPECT_EQ(name, c.Name) << c.ClassIndex;
    }
    t.Exports.clear();
    std::string name;
    EXPECT_EQ(ResolveClassName(t, 0, name), TClassLookup::NotImported);
}

TEST(PackageFile, ReadsAcrossTheBufferAndSeeksAnywhere) {
    // Three buffers' worth of bytes whose values tell their offsets.
    TBytes bytes(3 * PackageBufferSize + 100);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
    TOpenBytes in(bytes);
    TPackageFile& f = in.File;
    auto expectAt = [&](uint64_t offset, size_t count) {
        SeekPackage(f, offset);
        TBytes got(count);
        ASSERT_EQ(ReadPackageBytes(f, got.data(), count), count);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + static_cast<long>(offset)))
            << offset << "+" << count;
        EXPECT_EQ(f.Position, offset + count);
    };
    expectAt(10, 20);
    expectAt(PackageBufferSize - 3, 10);     // straddles a refill
    expectAt(5, 2 * PackageBufferSize + 50); // a large read, partly buffered
    expectAt(PackageBufferSize + 1, 1);      // backwards, outside the buffer
    expectAt(3 * PackageBufferSize + 99, 1); // the last byte
    SeekPackage(f, 3 * PackageBufferSize + 10);
    EXPECT_EQ(ReadPackageByte(f), bytes[3 * PackageBufferSize + 10]);
    EXPECT_EQ(BytesLeft(f), 89u);

    // Past the end a read is short, and the failure sticks.
    SeekPackage(f, bytes.size() - 2);
    uint8_t four[4];
    EXPECT_EQ(ReadPackageBytes(f, four, 4), 2u);
    EXPECT_TRUE(f.Failed);
    SeekPackage(f, 0);
    EXPECT_EQ(ReadPackageBytes(f, four, 1), 0u);
}

TEST(PackageFile, SeekPastTwoGigabytesGoesExactlyThere) {
    TOpenBytes in({1, 2, 3});
    SeekPackage(in.File, 0x80000000u);
    EXPECT_EQ(BytesLeft(in.File), 0u);
    EXPECT_EQ(ReadPackageByte(in.File), 0);
    EXPECT_TRUE(in.File.Failed);
}

// Tables long enough to cross the buffer's end several times, shifted byte
// by byte so that every kind of entry and field is cut there somewhere: the
// entries taken from the buffer in place and those read across a refill
// must come out alike.
TEST(PackageFile, TableEntriesCutByTheBufferEndReadWhole) {
    for (uint16_t version : {uint16_t{61}, uint16_t{69}}) {
        TPackageSpec spec;
        spec.Version = version;
        for (int i = 0; i < 7000; ++i)
            spec.Names.push_back(
                std::string(static_cast<size_t>(1 + i * 7 % 23), static_cast<char>('a' + i % 26)));
        spec.Imports = {{0, 1, 2, 3}};
        for (int i = 0; i < 7000; ++i) {
            TBuildExport e;
            // Values of one to five bytes as compact indexes, and signs.
            e.ClassIndex = -1 - i % 3;
            e.SuperIndex = i * 37 % 5000;
            e.PackageIndex = static_cast<int32_t>(static_cast<uint32_t>(i) * 0x01010101u);
            e.ObjectName = (i % 2 ? -1 : 1) * i * 9973;
            e.ObjectFlags = ~i;
            e.SerialSize = i % 5 == 0 ? 0 : int64_t{i % 1000} << (i % 4 * 7);
            e.OverrideOffset = true;
            e.SerialOffset = INT32_MIN + i;
            spec.Exports.push_back(e);
        }
        for (size_t shift = 0; shift < 24; ++shift) {
            // The first export's data is `shift` bytes, placed before the tables.
            spec.Exports[0].Serial.assign(shift, 0x55);
            TOpenBytes in(BuildPackage(spec));
            TPackageTables t;
            t.Header = HeaderOf(in.File);
            ASSERT_TRUE(ReadNameTable(in.File, t.Header, t.Names));
            ASSERT_TRUE(ReadExportTable(in.File, t.Header, t.Exports));
            ASSERT_TRUE(ReadImportTable(in.File, t.Header, t.Imports));
            ASSERT_EQ(t.Names.size(), spec.Names.size());
            for (size_t i = 0; i < t.Names.size(); ++i) {
                ASSERT_EQ(t.Names[i].Name, spec.Names[i]) << version << " " << shift << " " << i;
                ASSERT_EQ(t.Names[i].Flags, spec.NameFlags);
            }
            ASSERT_EQ(t.Exports.size(), spec.Exports.size());
            for (size_t i = 0; i < t.Exports.size(); ++i) {
                const TBuildExport& want = spec.Exports[i];
                const TExportTableItem& got = t.Exports[i];
                ASSERT_EQ(got.ClassIndex, want.ClassIndex) << shift << " " << i;
                ASSERT_EQ(got.SuperIndex, want.SuperIndex) << shift << " " << i;
                ASSERT_EQ(got.PackageIndex, want.PackageIndex) << shift << " " << i;
                ASSERT_EQ(got.ObjectName, want.ObjectName) << shift << " " << i;
                ASSERT_EQ(got.ObjectFlags, want.ObjectFlags) << shift << " " << i;
                ASSERT_EQ(got.SerialSize, static_cast<int32_t>(want.SerialSize))
                    << shift << " " << i;
                ASSERT_EQ(got.SerialOffset, want.SerialOffset) << shift << " " << i;
            }
            ASSERT_EQ(t.Imports.size(), 1u);
            EXPECT_EQ(t.Imports[0].ObjectName, 3);
        }
    }
}

// After SeekPackageBeforeBlock the leading bytes and the block that follows
// arrive as with any seek, whether the buffer held them or not; when it did
// not, the buffer took only the leading bytes, and the block came from the
// file straight into the caller's memory.
TEST(PackageFile, ABlockAfterItsLeadingBytesReadsWhole) {
    TBytes bytes(3 * PackageBufferSize + 100);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + i / 241);
    TOpenBytes in(bytes);
    TPackageFile& f = in.File;
    auto expectBlock = [&](uint64_t offset, size_t leading, size_t count) {
        SeekPackageBeforeBlock(f, offset, leading);
        TBytes got(leading + count);
        ASSERT_EQ(ReadPackageBytes(f, got.data(), leading), leading);
        ASSERT_EQ(ReadPackageBytes(f, got.data() + leading, count), count);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin() + static_cast<long>(offset)))
            << offset;
    };
    uint8_t first[4];
    ASSERT_EQ(ReadPackageBytes(f, first, 4), 4u);
    expectBlock(20, 11, 2 * PackageBufferSize); // the buffer holds its start
    expectBlock(PackageBufferSize / 2, 7, 10);  // small, still buffered
    expectBlock(2 * PackageBufferSize + 3, 11, PackageBufferSize);
    EXPECT_EQ(f.BufferFill, 11u);               // only the leading bytes went through the buffer
    expectBlock(PackageBufferSize + 1, 6, 100); // a small block refills as usual
    EXPECT_FALSE(f.Failed);

    // Leading bytes past the end are short, as with any seek.
    SeekPackageBeforeBlock(f, bytes.size() - 3, 11);
    uint8_t six[6];
    EXPECT_EQ(ReadPackageBytes(f, six, 6), 3u);
    EXPECT_TRUE(f.Failed);
}

} // namespace
