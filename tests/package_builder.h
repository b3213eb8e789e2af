// A small writer of Unreal packages for the tests, the fuzzer's seeds, the
// benchmark corpora and the bundled example. Every byte it writes follows
// from the spec given to it, so a test can state exactly what a file holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using TBytes = std::vector<uint8_t>;

struct TBuildImport {
    int32_t ClassPackage = 0;
    int32_t ClassName = 0;
    int32_t PackageIndex = 0;
    int32_t ObjectName = 0;
};

struct TBuildExport {
    int32_t ClassIndex = -1;
    int32_t SuperIndex = 0;
    int32_t PackageIndex = 0;
    int32_t ObjectName = 0;
    int32_t ObjectFlags = 0;
    // The bytes placed in the file for this object (see MusicObjectData);
    // SerialOffset points at them.
    TBytes Serial;
    // -1: the size of Serial.
    int64_t SerialSize = -1;
    // Set to place SerialOffset elsewhere than at Serial.
    bool OverrideOffset = false;
    int32_t SerialOffset = 0;
};

struct TPackageSpec {
    uint16_t Version = 69;
    uint16_t Licensee = 0;
    uint32_t PackageFlags = 0;
    std::vector<std::string> Names;
    uint32_t NameFlags = 0x00070010;
    std::vector<TBuildImport> Imports;
    std::vector<TBuildExport> Exports;
    // Zero bytes between the header and the first object's data, to place
    // the objects at chosen offsets.
    uint32_t LeadingGap = 0;
};

// Where BuildPackage put things, for tests that patch or cut the bytes.
struct TPackageLayout {
    uint32_t NameOffset = 0;
    uint32_t ExportOffset = 0;
    uint32_t ImportOffset = 0;
    std::vector<uint32_t> SerialOffsets; // one per export
};

// The file: the 36-byte header, the objects' data, the name table, the
// import table and the export table, in that order.
TBytes BuildPackage(const TPackageSpec& spec, TPackageLayout* layout = nullptr);

// The compact index of `value`, in its shortest form.
TBytes CompactIndex(int32_t value);

// An object's data as a music object stores it: 2 leading bytes (6 from
// version 62 on), the size as a compact index, then the payload.
TBytes MusicObjectData(uint16_t version, const TBytes& payload);

// A music package: names[0] is the extension, then "None", "Core",
// "Music", then the objects' names; one import of class "Music"; one export
// per object. With several objects the extension is the name at index
// objects-1, so the names are laid out for that.
struct TMusicObject {
    std::string Name;
    TBytes Payload;
};
TPackageSpec MusicPackageSpec(uint16_t version, const std::string& extension,
                              const std::vector<TMusicObject>& objects);

// Little helpers for the bytes of a test.
void PutU32(TBytes& bytes, size_t offset, uint32_t value);
TBytes Text(const std::string& text);
