// Writes the fuzzer's starting corpus into the directory given as the only
// argument. Every seed is built by the package builder, so the corpus is the
// same on every run and nothing binary is kept in the repository.
//
// The seeds reach every branch of the format a fuzzer would be slow to find
// by itself: both name encodings (versions 63 and 64), both layouts of an
// object's leading bytes (versions 61 and 62), several exports, compact
// indexes of every length, empty objects, packages that are no music, and a
// few that are damaged on purpose.
#include "package_builder.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Directory;
int Written = 0;

bool Save(const std::string& name, const TBytes& bytes) {
    std::string path = Directory + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "make_seeds: cannot write %s\n", path.c_str());
        return false;
    }
    bool ok = bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = fclose(f) == 0 && ok;
    ++Written;
    return ok;
}

TBytes Payload(size_t size, uint8_t seed) {
    TBytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (uint8_t& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

// Three objects of different sizes: a one-byte, a two-byte and a zero size.
std::vector<TMusicObject> ThreeObjects() {
    return {{"Intro", Payload(5, 1)}, {"Theme", Payload(70, 2)}, {"Silence", {}}};
}

TPackageSpec WithNames(TPackageSpec spec, size_t fillers) {
    // More than 63 names makes every later name index take two bytes.
    for (size_t i = 0; i < fillers; ++i)
        spec.Names.push_back("Pad" + std::to_string(i));
    return spec;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_seeds <directory>\n");
        return 2;
    }
    Directory = argv[1];
    bool ok = true;

    // Every version threshold, each with several exports.
    for (uint16_t version : std::vector<uint16_t>{61, 62, 63, 64, 69}) {
        std::string v = std::to_string(version);
        ok &= Save("three-objects-v" + v + ".umx",
                   BuildPackage(MusicPackageSpec(version, "it", ThreeObjects())));
        ok &= Save("one-object-v" + v + ".umx",
                   BuildPackage(MusicPackageSpec(version, "s3m", {{"Tune", Payload(16, 3)}})));
    }

    // Long compact indexes: a data size of three bytes, name indexes of two,
    // and export fields of four and five bytes.
    {
        TPackageSpec spec = MusicPackageSpec(69, "xm", {{"Big", Payload(9000, 4)}});
        ok &= Save("three-byte-size-v69.umx", BuildPackage(spec));
    }
    // Data larger than the reader's buffer, read straight into its own.
    ok &= Save("past-buffer-v64.umx",
               BuildPackage(MusicPackageSpec(64, "it", {{"Long", Payload(66000, 10)}})));
    {
        TPackageSpec spec = WithNames(MusicPackageSpec(69, "it", ThreeObjects()), 70);
        for (size_t i = 0; i < spec.Exports.size(); ++i) {
            spec.Names.push_back("Late" + std::to_string(i));
            spec.Exports[i].ObjectName = static_cast<int32_t>(spec.Names.size() - 1);
            spec.Exports[i].SuperIndex = -0x12345678;
            spec.Exports[i].SerialSize = 0x7FFFFFFF;
        }
        spec.Imports[0].ClassPackage = 0x00200000;
        spec.Imports[0].ClassName = -0x0FFFFFFF;
        ok &= Save("long-indexes-v69.umx", BuildPackage(spec));
        spec.Version = 63;
        ok &= Save("long-indexes-v63.umx", BuildPackage(spec));
    }

    // Empty objects only.
    ok &= Save("zero-size-v69.umx",
               BuildPackage(MusicPackageSpec(69, "umx", {{"A", {}}, {"B", {}}, {"C", {}}})));

    // Not music: another class, a class the package defines, no exports.
    {
        TPackageSpec spec = MusicPackageSpec(69, "it", ThreeObjects());
        spec.Names.push_back("Texture");
        spec.Imports[0].ObjectName = static_cast<int32_t>(spec.Names.size() - 1);
        ok &= Save("texture-v69.umx", BuildPackage(spec));
        spec = MusicPackageSpec(62, "it", ThreeObjects());
        spec.Exports[0].ClassIndex = 1;
        ok &= Save("own-class-v62.umx", BuildPackage(spec));
        spec.Exports.clear();
        ok &= Save("no-exports-v62.umx", BuildPackage(spec));
    }

    // Output names that must not be written: a directory part, the package
    // itself (the fuzz target names its input Fuzz.umx), and two objects
    // under one name.
    ok &= Save("slash-name-v69.umx",
               BuildPackage(MusicPackageSpec(69, "it", {{"../Up", Payload(8, 5)}})));
    ok &= Save("self-name-v69.umx",
               BuildPackage(MusicPackageSpec(69, "umx", {{"Fuzz", Payload(8, 6)}})));
    ok &= Save("same-names-v64.umx",
               BuildPackage(MusicPackageSpec(
                   64, "mod", {{"Twice", Payload(4, 7)}, {"Twice", Payload(9, 8)}})));

    // Damaged on purpose: a negative data size, an offset past the end, a
    // name index past the table, an import that is not there, the header
    // alone and a wrong signature.
    {
        TPackageSpec spec = MusicPackageSpec(69, "it", {{"Tune", Payload(8, 9)}});
        TBytes serial(6, 0);
        TBytes size = CompactIndex(-8);
        serial.insert(serial.end(), size.begin(), size.end());
        TBytes data = Payload(8, 9);
        serial.insert(serial.end(), data.begin(), data.end());
        spec.Exports[0].Serial = serial;
        ok &= Save("negative-size-v69.umx", BuildPackage(spec));

        spec = MusicPackageSpec(69, "it", {{"Tune", Payload(8, 9)}});
        spec.Exports[0].OverrideOffset = true;
        spec.Exports[0].SerialOffset = 0x7FFFFFF0;
        ok &= Save("offset-past-end-v69.umx", BuildPackage(spec));

        spec = MusicPackageSpec(69, "it", {{"Tune", Payload(8, 9)}});
        spec.Exports[0].ObjectName = 1000;
        ok &= Save("name-past-table-v69.umx", BuildPackage(spec));

        spec = MusicPackageSpec(69, "it", {{"Tune", Payload(8, 9)}});
        spec.Exports[0].ClassIndex = -2;
        ok &= Save("import-past-table-v69.umx", BuildPackage(spec));

        TBytes header = BuildPackage(MusicPackageSpec(69, "it", {}));
        header.resize(36);
        ok &= Save("header-only.umx", header);
        header[0] = 0x9E;
        ok &= Save("wrong-signature.umx", header);
    }

    if (!ok)
        return 1;
    printf("make_seeds: %d seeds in %s\n", Written, Directory.c_str());
    return 0;
}
