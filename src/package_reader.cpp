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
// It asks for a whole buffer, or for what SeekPackageBeforeBlock left in
// NextRefill. Near the end of the file it asks for no more than the file
// held when it was opened: a request past the end would come back short and
// make the system read once more only to learn that the file has ended. Past
// that size it asks for a whole buffer, so a file that has grown still reads
// on.
bool Refill(TPackageFile& file) {
    if (file.Buffer.size() < PackageBufferSize)
        file.Buffer.resize(PackageBufferSize);
    size_t want = PackageBufferSize;
    if (file.NextRefill > 0 && file.NextRefill < want)
        want = file.NextRefill;
    file.NextRefill = 0;
    uint64_t left = BytesLeft(file);
    if (left > 0 && left < want)
        want = static_cast<size_t>(left);
    file.BufferStart = file.Position;
    file.BufferFill = ReadAtPosition(file, file.Buffer.data(), want);
    return file.BufferFill > 0;
}

// How many bytes of the buffer lie at and after the current position.
size_t Buffered(const TPackageFile& file) {
    if (file.Position < file.BufferStart || file.Position - file.BufferStart >= file.BufferFill)
        return 0;
    return file.BufferFill - static_cast<size_t>(file.Position - file.BufferStart);
}

// The bytes that Buffered counts. Only called when that count is not 0.
const uint8_t* BufferedBytes(const TPackageFile& file) {
    return file.Buffer.data() + static_cast<size_t>(file.Position - file.BufferStart);
}

// Decodes one compact index from the bytes that `next` yields in turn; it
// asks for exactly the bytes of the index.
template <typename TNextByte> int32_t DecodeCompactIndex(TNextByte next) {
    uint8_t b0 = next();
    uint32_t magnitude = b0 & 0x3Fu;
    if (b0 & 0x40u) {
        uint8_t b1 = next();
        magnitude |= static_cast<uint32_t>(b1 & 0x7Fu) << 6;
        if (b1 & 0x80u) {
            uint8_t b2 = next();
            magnitude |= static_cast<uint32_t>(b2 & 0x7Fu) << 13;
            if (b2 & 0x80u) {
                uint8_t b3 = next();
                magnitude |= static_cast<uint32_t>(b3 & 0x7Fu) << 20;
                if (b3 & 0x80u) {
                    // The fifth byte is taken whole; its top bits fall off
                    // the 32-bit value.
                    uint8_t b4 = next();
                    magnitude |= static_cast<uint32_t>(b4) << 27;
                }
            }
        }
    }
    // Negation wraps in two's complement, done unsigned to stay defined.
    uint32_t value = (b0 & 0x80u) ? 0u - magnitude : magnitude;
    return static_cast<int32_t>(value);
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
    file.NextRefill = 0;
}

void SeekPackageBeforeBlock(TPackageFile& file, uint64_t offset, size_t leading) {
    file.Position = offset;
    // Bytes the buffer holds already cost nothing; only a refill is cut short.
    file.NextRefill = Buffered(file) > 0 ? 0 : leading;
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
    // The tables' fixed fields are taken from the buffer in place when it
    // holds them, the common case.
    if (!file.Failed && Buffered(file) >= 4) {
        uint32_t value = Le32(BufferedBytes(file));
        file.Position += 4;
        return value;
    }
    uint8_t bytes[4] = {0, 0, 0, 0};
    if (ReadPackageBytes(file, bytes, 4) != 4)
        return 0;
    return Le32(bytes);
}

int32_t ReadCompactIndex(TPackageFile& file) {
    // When the buffer holds the longest index, it is decoded in place, with
    // no test per byte; otherwise byte by byte, which may refill or fail.
    if (!file.Failed && Buffered(file) >= MaxCompactIndexSize) {
        const uint8_t* start = BufferedBytes(file);
        const uint8_t* at = start;
        int32_t value = DecodeCompactIndex([&] { return *at++; });
        file.Position += static_cast<uint64_t>(at - start);
        return value;
    }
    return DecodeCompactIndex([&] { return ReadPackageByte(file); });
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

namespace {

// A zero-terminated name: the bytes up to the first zero byte, which is
// consumed. The buffered bytes are searched in place; at the buffer's end a
// byte is read on its own, which refills. A failed read yields 0, so a name
// cut off by the end of the file ends as a terminator would.
void ReadTerminatedName(TPackageFile& file, std::string& name) {
    for (;;) {
        size_t have = file.Failed ? 0 : Buffered(file);
        if (have == 0) {
            uint8_t c = ReadPackageByte(file);
            if (c == 0)
                return;
            name.push_back(static_cast<char>(c));
            continue;
        }
        const uint8_t* start = BufferedBytes(file);
        const void* zero = memchr(start, 0, have);
        size_t take = zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - start) : have;
        name.append(reinterpret_cast<const char*>(start), take);
        file.Position += take;
        if (zero) {
            file.Position += 1;
            return;
        }
    }
}

} // namespace

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
            // The text is taken from the buffer in place when it holds all
            // of it, and copied out of the file otherwise.
            uint8_t copy[255];
            const uint8_t* text = copy;
            size_t length = ReadPackageByte(file);
            if (length > 0 && !file.Failed && Buffered(file) >= length) {
                text = BufferedBytes(file);
                file.Position += length;
            } else {
                ReadPackageBytes(file, copy, length);
            }
            const void* zero = memchr(text, 0, length);
            size_t used =
                zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - text) : length;
            item.Name.assign(reinterpret_cast<const char*>(text), used);
        } else {
            ReadTerminatedName(file, item.Name);
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
