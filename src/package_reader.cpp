#include "package_reader.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Puts the system's file pointer at `offset` unless it is there already, so
// reads in sequence cost no seek.
void PlaceOsPointer(TPackageFile& file, uint64_t offset) {
    if (file.OsPosition != offset) {
        SeekOsFile(file.Handle, offset);
        file.OsPosition = offset;
    }
}

size_t ReadAtPosition(TPackageFile& file, void* buffer, size_t count) {
    PlaceOsPointer(file, file.Position);
    size_t got = ReadOsFile(file.Handle, buffer, count);
    file.OsPosition += got;
    return got;
}

// Refills the buffer from the current position; false when nothing is left.
bool Refill(TPackageFile& file) {
    if (file.Buffer.size() < PackageBufferSize)
        file.Buffer.resize(PackageBufferSize);
    file.BufferStart = file.Position;
    file.BufferFill = ReadAtPosition(file, file.Buffer.data(), PackageBufferSize);
    return file.BufferFill > 0;
}

// How many bytes of the buffer lie at and after the current position.
size_t Buffered(const TPackageFile& file) {
    if (file.Position < file.BufferStart || file.Position - file.BufferStart >= file.BufferFill)
        return 0;
    return file.BufferFill - static_cast<size_t>(file.Position - file.BufferStart);
}

// The smallest number of bytes one entry of each table takes on disk: a name
// is at least its length byte (or terminating zero) and its flag word; an
// export five one-byte indexes and two raw words; an import three one-byte
// indexes and a raw word.
constexpr uint64_t MinNameEntry = 1 + 4;
constexpr uint64_t MinExportEntry = 5 * 1 + 2 * 4;
constexpr uint64_t MinImportEntry = 3 * 1 + 4;

// Reserves room for as many entries as the file could possibly hold, never
// more than the count asks for.
template <typename T>
void ReserveFor(std::vector<T>& items, const TPackageFile& file, uint32_t count,
                uint64_t minEntry) {
    items.clear();
    items.reserve(static_cast<size_t>(std::min<uint64_t>(count, BytesLeft(file) / minEntry)));
}

} // namespace

bool OpenPackage(TPackageFile& file, const std::string& path) {
    file = TPackageFile{};
    file.Handle = OpenForReading(path);
    if (file.Handle == InvalidOsFile)
        return false;
    file.Size = OsFileSize(file.Handle);
    return true;
}

void ClosePackage(TPackageFile& file) {
    if (file.Handle != InvalidOsFile)
        CloseOsFile(file.Handle);
    file = TPackageFile{};
}

bool PackageIsOpen(const TPackageFile& file) {
    return file.Handle != InvalidOsFile;
}

void SeekPackage(TPackageFile& file, uint64_t offset) {
    file.Position = offset;
}

uint64_t BytesLeft(const TPackageFile& file) {
    return file.Size > file.Position ? file.Size - file.Position : 0;
}

size_t ReadPackageBytes(TPackageFile& file, void* buffer, size_t count) {
    if (file.Failed)
        return 0;
    auto out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < count) {
        size_t have = Buffered(file);
        if (have == 0) {
            // A large remainder goes straight into the caller's memory: the
            // data of a music object is never copied through the buffer.
            if (count - done >= PackageBufferSize) {
                size_t got = ReadAtPosition(file, out + done, count - done);
                file.Position += got;
                done += got;
                break;
            }
            if (!Refill(file))
                break;
            have = Buffered(file);
        }
        size_t take = std::min(have, count - done);
        memcpy(out + done, file.Buffer.data() + (file.Position - file.BufferStart), take);
        file.Position += take;
        done += take;
    }
    if (done < count)
        file.Failed = true;
    return done;
}

uint8_t ReadPackageByte(TPackageFile& file) {
    if (!file.Failed && Buffered(file) > 0)
        return file.Buffer[static_cast<size_t>(file.Position++ - file.BufferStart)];
    uint8_t byte = 0;
    ReadPackageBytes(file, &byte, 1);
    return byte;
}

uint32_t ReadUInt32(TPackageFile& file) {
    uint8_t bytes[4] = {0, 0, 0, 0};
    if (ReadPackageBytes(file, bytes, 4) != 4)
        return 0;
    return Le32(bytes);
}

int32_t ReadCompactIndex(TPackageFile& file) {
    uint8_t b0 = ReadPackageByte(file);
    uint32_t magnitude = b0 & 0x3Fu;
    if (b0 & 0x40u) {
        uint8_t b1 = ReadPackageByte(file);
        magnitude |= static_cast<uint32_t>(b1 & 0x7Fu) << 6;
        if (b1 & 0x80u) {
            uint8_t b2 = ReadPackageByte(file);
            magnitude |= static_cast<uint32_t>(b2 & 0x7Fu) << 13;
            if (b2 & 0x80u) {
                uint8_t b3 = ReadPackageByte(file);
                magnitude |= static_cast<uint32_t>(b3 & 0x7Fu) << 20;
                if (b3 & 0x80u) {
                    // The fifth byte is taken whole; its top bits fall off
                    // the 32-bit value.
                    uint8_t b4 = ReadPackageByte(file);
                    magnitude |= static_cast<uint32_t>(b4) << 27;
                }
            }
        }
    }
    // Negation wraps in two's complement, done unsigned to stay defined.
    uint32_t value = (b0 & 0x80u) ? 0u - magnitude : magnitude;
    return static_cast<int32_t>(value);
}

THeaderOutcome ReadPackageHeader(TPackageFile& file, TPackageHeader& header) {
    uint8_t raw[PackageHeaderSize];
    if (ReadPackageBytes(file, raw, sizeof raw) != sizeof raw)
        return THeaderOutcome::TooShort;
    header.Signature = Le32(raw + 0);
    header.Version = Le16(raw + 4);
    header.Licensee = Le16(raw + 6);
    header.PackageFlags = Le32(raw + 8);
    header.NameCount = Le32(raw + 12);
    header.NameOffset = Le32(raw + 16);
    header.ExportCount = Le32(raw + 20);
    header.ExportOffset = Le32(raw + 24);
    header.ImportCount = Le32(raw + 28);
    header.ImportOffset = Le32(raw + 32);
    if (header.Signature != PackageSignature)
        return THeaderOutcome::NotAPackage;
    return THeaderOutcome::Accepted;
}

bool ReadNameTable(TPackageFile& file, const TPackageHeader& header,
                   std::vector<TNameTableItem>& items) {
    items.clear();
    if (header.NameCount == 0)
        return true;
    SeekPackage(file, header.NameOffset);
    ReserveFor(items, file, header.NameCount, MinNameEntry);
    bool withLength = header.Version >= FirstVersionWithNameLength;
    for (uint32_t i = 0; i < header.NameCount && !file.Failed; ++i) {
        TNameTableItem item;
        if (withLength) {
            // The length is one plain byte, even when it is 64 or more: it
            // is never the start of a longer compact index. It counts the
            // terminating zero, and the text ends at the first zero.
            uint8_t text[255];
            size_t length = ReadPackageByte(file);
            ReadPackageBytes(file, text, length);
            const uint8_t* end = std::find(text, text + length, 0);
            item.Name.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(end - text));
        } else {
            // A failed read yields 0, so a name cut off by the end of the
            // file ends the loop as a terminator would.
            while (uint8_t c = ReadPackageByte(file))
                item.Name.push_back(static_cast<char>(c));
        }
        item.Flags = ReadUInt32(file);
        if (!file.Failed)
            items.push_back(std::move(item));
    }
    return !file.Failed;
}

bool ReadExportTable(TPackageFile& file, const TPackageHeader& header,
                     std::vector<TExportTableItem>& items) {
    items.clear();
    if (header.ExportCount == 0)
        return true;
    SeekPackage(file, header.ExportOffset);
    ReserveFor(items, file, header.ExportCount, MinExportEntry);
    for (uint32_t i = 0; i < header.ExportCount && !file.Failed; ++i) {
        TExportTableItem item;
        item.ClassIndex = ReadCompactIndex(file);
        item.SuperIndex = ReadCompactIndex(file);
        item.PackageIndex = static_cast<int32_t>(ReadUInt32(file));
        item.ObjectName = ReadCompactIndex(file);
        item.ObjectFlags = static_cast<int32_t>(ReadUInt32(file));
        item.SerialSize = ReadCompactIndex(file);
        item.SerialOffset = ReadCompactIndex(file);
        if (!file.Failed)
            items.push_back(item);
    }
    return !file.Failed;
}

bool ReadImportTable(TPackageFile& file, const TPackageHeader& header,
                     std::vector<TImportTableItem>& items) {
    items.clear();
    if (header.ImportCount == 0)
        return true;
    SeekPackage(file, header.ImportOffset);
    ReserveFor(items, file, header.ImportCount, MinImportEntry);
    for (uint32_t i = 0; i < header.ImportCount && !file.Failed; ++i) {
        TImportTableItem item;
        item.ClassPackage = ReadCompactIndex(file);
        item.ClassName = ReadCompactIndex(file);
        item.PackageIndex = static_cast<int32_t>(ReadUInt32(file));
        item.ObjectName = ReadCompactIndex(file);
        if (!file.Failed)
            items.push_back(item);
    }
    return !file.Failed;
}

const TNameTableItem* FindName(const TPackageTables& tables, int32_t index) {
    if (index < 0 || static_cast<uint64_t>(index) >= tables.Names.size())
        return nullptr;
    return &tables.Names[static_cast<size_t>(index)];
}

TClassLookup ResolveClassName(const TPackageTables& tables, size_t exportIndex, std::string& name) {
    if (exportIndex >= tables.Exports.size())
        return TClassLookup::NotImported;
    int32_t reference = tables.Exports[exportIndex].ClassIndex;
    if (reference >= 0)
        return TClassLookup::NotImported;
    // -k is import k-1; computed in 64 bits so that INT32_MIN cannot overflow.
    uint64_t import = static_cast<uint64_t>(-static_cast<int64_t>(reference)) - 1;
    if (import >= tables.Imports.size())
        return TClassLookup::Corrupt;
    // Below the table's size here, so it fits a size_t on 32-bit targets too.
    const TNameTableItem* item =
        FindName(tables, tables.Imports[static_cast<size_t>(import)].ObjectName);
    if (item == nullptr)
        return TClassLookup::Corrupt;
    name = item->Name;
    return TClassLookup::Resolved;
}
