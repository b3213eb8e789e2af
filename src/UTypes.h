// The records shared by the package reader, the extraction and the report.
//
// They hold the values exactly as the package stores them; nothing here is
// validated. The reader decodes every field from little-endian bytes, so the
// layout of these structs in memory never has to match the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The first four bytes of every Unreal package: C1 83 2A 9E in file order.
constexpr uint32_t PackageSignature = 0x9E2A83C1u;

// Size of the fixed header at offset 0.
constexpr uint32_t PackageHeaderSize = 36;

// Names carry a length byte from this version on; older ones are zero-terminated.
constexpr uint16_t FirstVersionWithNameLength = 64;

// From the version after this one a music object has four more leading bytes.
constexpr uint16_t LastVersionWithShortObjectHeader = 61;

struct TPackageHeader {
    uint32_t Signature = 0;
    uint16_t Version = 0;
    uint16_t Licensee = 0; // read with the header, used nowhere
    uint32_t PackageFlags = 0;
    uint32_t NameCount = 0;
    uint32_t NameOffset = 0;
    uint32_t ExportCount = 0;
    uint32_t ExportOffset = 0;
    uint32_t ImportCount = 0;
    uint32_t ImportOffset = 0;
};

struct TNameTableItem {
    std::string Name; // the text without its terminating zero byte
    uint32_t Flags = 0;
};

// Object references are signed: -k designates import entry k-1, 0 is "none",
// a positive value designates an export.
struct TExportTableItem {
    int32_t ClassIndex = 0;
    int32_t SuperIndex = 0;
    int32_t PackageIndex = 0;
    int32_t ObjectName = 0; // name index
    int32_t ObjectFlags = 0;
    int32_t SerialSize = 0;
    int32_t SerialOffset = 0; // absolute file offset of the object's data
};

struct TImportTableItem {
    int32_t ClassPackage = 0;
    int32_t ClassName = 0;
    int32_t PackageIndex = 0;
    int32_t ObjectName = 0; // name index
};

// Everything read from one package; it lives no longer than the open file.
struct TPackageTables {
    TPackageHeader Header;
    std::vector<TNameTableItem> Names;
    std::vector<TExportTableItem> Exports;
    std::vector<TImportTableItem> Imports;
};
