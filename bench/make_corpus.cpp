// Writes the benchmark corpora with the test package builder, the same
// bytes on every run and every platform:
//
//   make_corpus music DIR   200 music packages of 1 to 3 objects, each
//                           package 50 KB to 2 MB of pseudo-random payload
//   make_corpus tables DIR  50 packages that are not music, each with 20,000
//                           names, 1,000 imports and 10,000 exports
//
// DIR is created if needed. Besides the packages it gets corpus.txt, lines
// of "key value" that the benchmark script reads: the number of files, their
// bytes, the bytes of their name, import and export tables (all, and those of
// the largest package), the number of music objects, their bytes, and the
// size of the largest one.
//
// The random numbers come from a fixed-seed SplitMix64 of our own, since the
// standard library's distributions may differ between implementations.
#include "package_builder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct TRandom {
    uint64_t State;

    uint64_t Next() {
        uint64_t z = (State += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A number in [low, high], both included.
    uint64_t Between(uint64_t low, uint64_t high) { return low + Next() % (high - low + 1); }
};

struct TCorpusTotals {
    uint64_t Files = 0;
    uint64_t Bytes = 0;
    uint64_t TableBytes = 0;
    uint64_t LargestTableBytes = 0;
    uint64_t LargestObject = 0;
    uint64_t Objects = 0;     // music objects, each extracted to a file
    uint64_t ObjectBytes = 0; // the bytes of their data
};

bool WriteFile(const std::filesystem::path& path, const TBytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// Adds one package to the totals. The builder puts the objects' data right
// after the header and the three tables after it, up to the end of the file.
void Count(TCorpusTotals& totals, const TBytes& bytes, const TPackageLayout& layout) {
    uint64_t tables = bytes.size() - layout.NameOffset;
    totals.Files += 1;
    totals.Bytes += bytes.size();
    totals.TableBytes += tables;
    totals.LargestTableBytes = std::max(totals.LargestTableBytes, tables);
}

std::string Numbered(const char* stem, uint64_t n, int width) {
    char text[64];
    snprintf(text, sizeof text, "%s%0*llu", stem, width, static_cast<unsigned long long>(n));
    return text;
}

bool MakeMusic(const std::filesystem::path& dir, TCorpusTotals& totals) {
    TRandom random{0x7E55A121u};
    const char* extensions[] = {"it", "s3m", "xm", "mod"};
    const uint16_t versions[] = {61, 62, 68, 69};
    for (uint64_t n = 0; n < 200; ++n) {
        std::string stem = Numbered("Song", n, 3);
        size_t objects = static_cast<size_t>(random.Between(1, 3));
        uint64_t total = random.Between(50'000, 2'000'000);
        std::vector<TMusicObject> music;
        for (size_t i = 0; i < objects; ++i) {
            // The package's bytes are shared out evenly among its objects.
            uint64_t share = total / objects + (i + 1 == objects ? total % objects : 0);
            TMusicObject object;
            object.Name = stem + "_" + std::to_string(i);
            object.Payload.resize(static_cast<size_t>(share));
            for (size_t at = 0; at < object.Payload.size(); at += 8) {
                uint64_t word = random.Next();
                for (size_t b = 0; b < 8 && at + b < object.Payload.size(); ++b)
                    object.Payload[at + b] = static_cast<uint8_t>(word >> (8 * b));
            }
            totals.LargestObject = std::max(totals.LargestObject, share);
            totals.Objects += 1;
            totals.ObjectBytes += share;
            music.push_back(std::move(object));
        }
        uint16_t version = versions[random.Between(0, 3)];
        TPackageLayout layout;
        TBytes bytes = BuildPackage(
            MusicPackageSpec(version, extensions[random.Between(0, 3)], music), &layout);
        Count(totals, bytes, layout);
        if (!WriteFile(dir / (stem + ".umx"), bytes))
            return false;
    }
    return true;
}

// A name such as a code or texture package holds: 3 to 30 letters, digits
// and underscores, so that some fit a short string and some do not.
std::string RandomName(TRandom& random) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
    size_t length = static_cast<size_t>(random.Between(3, 30));
    std::string name;
    name.push_back(letters[random.Between(26, 51)]);
    while (name.size() < length)
        name.push_back(letters[random.Between(0, sizeof letters - 2)]);
    return name;
}

bool MakeTables(const std::filesystem::path& dir, TCorpusTotals& totals) {
    TRandom random{0x7AB1E5u};
    constexpr int32_t NameCount = 20'000;
    constexpr int32_t ImportCount = 1'000;
    constexpr int32_t ExportCount = 10'000;
    for (uint64_t n = 0; n < 50; ++n) {
        TPackageSpec spec;
        // Every fifth package has the older zero-terminated names.
        spec.Version = n % 5 == 4 ? 61 : 69;
        spec.Names = {"None", "Core", "Engine", "Class", "Texture"};
        while (spec.Names.size() < static_cast<size_t>(NameCount))
            spec.Names.push_back(RandomName(random));
        auto anyName = [&] { return static_cast<int32_t>(random.Between(0, NameCount - 1)); };

        // Import 0 is the class Texture, so the first export is no music.
        spec.Imports.push_back({1, 3, 0, 4});
        while (spec.Imports.size() < static_cast<size_t>(ImportCount))
            spec.Imports.push_back(
                {anyName(), anyName(), -static_cast<int32_t>(random.Between(1, 50)), anyName()});
        for (int32_t i = 0; i < ExportCount; ++i) {
            TBuildExport e;
            e.ClassIndex = i == 0 ? -1 : -static_cast<int32_t>(random.Between(1, ImportCount));
            e.SuperIndex = static_cast<int32_t>(random.Between(0, 200));
            e.PackageIndex = static_cast<int32_t>(random.Between(0, ExportCount));
            e.ObjectName = anyName();
            e.ObjectFlags = static_cast<int32_t>(random.Next() & 0x7FFFFFFF);
            e.SerialSize = static_cast<int64_t>(random.Between(0, 1'000'000));
            e.OverrideOffset = true;
            e.SerialOffset = static_cast<int32_t>(random.Between(36, 60'000'000));
            spec.Exports.push_back(e);
        }
        TPackageLayout layout;
        TBytes bytes = BuildPackage(spec, &layout);
        Count(totals, bytes, layout);
        if (!WriteFile(dir / (Numbered("Code", n, 2) + ".u"), bytes))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    std::string kind = argc == 3 ? argv[1] : "";
    if (kind != "music" && kind != "tables") {
        fprintf(stderr, "usage: make_corpus music|tables DIR\n");
        return 2;
    }
    std::filesystem::path dir = argv[2];
    std::error_code error;
    std::filesystem::create_directories(dir, error);

    TCorpusTotals totals;
    bool written = kind == "music" ? MakeMusic(dir, totals) : MakeTables(dir, totals);
    std::ofstream summary(dir / "corpus.txt", std::ios::trunc);
    summary << "files " << totals.Files << "\nbytes " << totals.Bytes << "\ntable_bytes "
            << totals.TableBytes << "\nlargest_table_bytes " << totals.LargestTableBytes
            << "\nlargest_object " << totals.LargestObject << "\nobjects " << totals.Objects
            << "\nobject_bytes " << totals.ObjectBytes << "\n";
    if (!written || !summary) {
        fprintf(stderr, "make_corpus: cannot write into %s\n", dir.string().c_str());
        return 1;
    }
    return 0;
}
