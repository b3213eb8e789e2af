// The Unreal package format as this tool reads it: the compact index, the
// header, the name table and the export and import tables.
//
// Every read goes through a TPackageFile, a buffered cursor over the open
// package with a sticky error: once a read comes back short, Failed stays set
// and every later read yields zero bytes. A reader decodes a whole record and
// checks Failed once at the end, so damaged input never becomes garbage that
// is acted on, and never loops: each read either advances or fails.
#pragma once

#include "UTypes.h"
#include "platform.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TPackageFile {
    TOsFile Handle = InvalidOsFile;
    uint64_t Size = 0;     // the file's size when it was opened
    uint64_t Position = 0; // offset of the next byte to be read
    bool Failed = false;   // a read came back short; sticky until closed

    // Buffer holds the file's bytes [BufferStart, BufferStart + BufferFill).
    std::vector<uint8_t> Buffer;
    uint64_t BufferStart = 0;
    size_t BufferFill = 0;
    uint64_t OsPosition = 0; // where the system's file pointer stands
    size_t NextRefill = 0;   // when not 0, the most the next refill asks for
};

// Reads from the package go through a buffer of this size; a larger read
// goes straight into the caller's memory.
constexpr size_t PackageBufferSize = 64 * 1024;

// Opens a regular file for reading. False when it cannot be opened or is not
// a regular file.
bool OpenPackage(TPackageFile& file, const std::string& path);

// Closes the package; closing one that is not open does nothing.
void ClosePackage(TPackageFile& file);

bool PackageIsOpen(const TPackageFile& file);

// Moves to an absolute offset. Costs nothing; a position past the end of the
// file makes the next read short.
void SeekPackage(TPackageFile& file, uint64_t offset);

// Moves to an absolute offset from which a few leading bytes (at most
// `leading`) are read before a large block that goes straight into the
// caller's memory, such as an object's data after its size. When the offset
// lies outside the buffer, the refill for the leading bytes asks for only
// that many, so the block is not read into the buffer and copied out again:
// it comes from the file with one read into the caller's memory.
void SeekPackageBeforeBlock(TPackageFile& file, uint64_t offset, size_t leading);

// How many bytes the file holds after the current position.
uint64_t BytesLeft(const TPackageFile& file);

// Reads `count` bytes into `buffer`. Returns how many arrived; fewer than
// `count` sets Failed. After a failure it reads nothing.
size_t ReadPackageBytes(TPackageFile& file, void* buffer, size_t count);

// One byte, or 0 with Failed set when the file has ended.
uint8_t ReadPackageByte(TPackageFile& file);

// Four raw bytes, little-endian; 0 with Failed set when they are not all there.
uint32_t ReadUInt32(TPackageFile& file);

// The most bytes one compact index takes.
constexpr size_t MaxCompactIndexSize = 5;

// Decodes one compact index: a signed integer of one to five bytes. The first
// byte holds the sign (bit 7), a continuation flag (bit 6) and the lowest six
// bits; the next three hold a continuation flag (bit 7) and seven bits each;
// a fifth byte, if reached, is taken whole. The arithmetic is 32-bit and
// wraps. Consumes exactly the bytes of the index; when the file ends inside
// it the result is meaningless and Failed is set.
int32_t ReadCompactIndex(TPackageFile& file);

enum class THeaderOutcome { Accepted, TooShort, NotAPackage };

// Reads the 36-byte header from the current position (offset 0 of a freshly
// opened package). TooShort when fewer than 36 bytes arrive, NotAPackage when
// the signature is wrong; nothing else is validated.
THeaderOutcome ReadPackageHeader(TPackageFile& file, TPackageHeader& header);

// Each table reader seeks to the table's offset and reads its count of
// entries into `items`, growing it entry by entry, so a huge count in a small
// file costs only what the file holds. A count of 0 reads nothing and leaves
// the position alone. False when the file ends inside an entry.
bool ReadNameTable(TPackageFile& file, const TPackageHeader& header,
                   std::vector<TNameTableItem>& items);
bool ReadExportTable(TPackageFile& file, const TPackageHeader& header,
                     std::vector<TExportTableItem>& items);
bool ReadImportTable(TPackageFile& file, const TPackageHeader& header,
                     std::vector<TImportTableItem>& items);

// The name-table entry that a name index selects, or nullptr when it selects
// none.
const TNameTableItem* FindName(const TPackageTables& tables, int32_t index);

enum class TClassLookup {
    Resolved,    // the class is imported; its name is in `name`
    NotImported, // the export's class is 0, an export, or there is no such export
    Corrupt,     // the class reference or the import's name lies outside its table
};

// The name of the class of export `exportIndex`. Only an imported class
// (a negative reference -k, import entry k-1) has a name here, and only the
// import's own ObjectName counts: its package plays no part.
TClassLookup ResolveClassName(const TPackageTables& tables, size_t exportIndex, std::string& name);
