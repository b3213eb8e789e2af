#include "music_extract.h"

#include "console.h"
#include "messages.h"
#include "platform.h"

#include <cstdio>
#include <memory>
#include <new>

namespace {

enum class TCopyOutcome { Done, CreateFailed, ReadFailed, WriteFailed };

// Copies `size` bytes from the package's current position into a file named
// `name`. The bytes go into a temporary file first, which takes the name only
// once all of them are written: a failed copy leaves no trace, and a file
// that already had the name keeps its old contents.
TCopyOutcome CopyObject(TPackageFile& file, const std::string& name, int32_t size) {
    if (!OutputNameAllowed(name, file.Handle))
        return TCopyOutcome::CreateFailed;
    std::string tempName;
    TOsFile out = CreateTempOutput(tempName);
    if (out == InvalidOsFile)
        return TCopyOutcome::CreateFailed;
    auto discard = [&](TCopyOutcome outcome) {
        CloseOsFile(out);
        RemoveOsFile(tempName);
        return outcome;
    };

    // A negative size, or one larger than what follows in the file, can
    // only end in a short read; no memory is ever reserved for it.
    if (size < 0 || static_cast<uint64_t>(size) > BytesLeft(file))
        return discard(TCopyOutcome::ReadFailed);
    size_t count = static_cast<size_t>(size);
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[count]);
    if (!data)
        return discard(TCopyOutcome::ReadFailed);
    if (ReadPackageBytes(file, data.get(), count) != count)
        return discard(TCopyOutcome::ReadFailed);
    if (WriteOsFile(out, data.get(), count) != count)
        return discard(TCopyOutcome::WriteFailed);
    CloseOsFile(out);
    if (!ReplaceWithTemp(tempName, name)) {
        RemoveOsFile(tempName);
        return TCopyOutcome::CreateFailed;
    }
    return TCopyOutcome::Done;
}

// An index into the name table given as a count of exports; those past the
// range of a name index select no name.
const TNameTableItem* NameAt(const TPackageTables& tables, size_t index) {
    if (index > static_cast<size_t>(INT32_MAX))
        return nullptr;
    return FindName(tables, static_cast<int32_t>(index));
}

void PrintFoundLine(const std::string& object, const std::string& extension, int32_t offset,
                    int32_t size) {
    char hex[16];
    snprintf(hex, sizeof hex, "0x%.4X", static_cast<unsigned>(static_cast<uint32_t>(offset)));
    ConsoleText("Found \"Music\" object: \"");
    ConsoleText(object);
    ConsoleText(".");
    ConsoleText(extension);
    ConsoleText("\" (Offset: ");
    ConsoleText(hex);
    ConsoleText(", Size: ");
    ConsoleNumber(static_cast<uint32_t>(size));
    ConsoleText(" bytes)");
    ConsoleEndLine();
}

} // namespace

bool ExtractMusic(TPackageFile& file, const TPackageTables& tables) {
    auto stop = [&](const char* message) {
        ConsoleLine(message);
        ClosePackage(file);
        return false;
    };

    // Only the first export's class decides; a package without exports, or
    // whose first export's class is not imported, is no music package.
    std::string className;
    switch (ResolveClassName(tables, 0, className)) {
    case TClassLookup::Corrupt:
        return stop(CorruptTables);
    case TClassLookup::NotImported:
        return stop(NotMusic);
    case TClassLookup::Resolved:
        if (className != MusicClassName)
            return stop(NotMusic);
        break;
    }

    // The extension is the same for every object of the package: the name
    // whose index is the number of exports less one.
    const TNameTableItem* extension = NameAt(tables, tables.Exports.size() - 1);
    if (extension == nullptr)
        return stop(CorruptTables);

    bool longObjectHeader = tables.Header.Version > LastVersionWithShortObjectHeader;
    for (const TExportTableItem& item : tables.Exports) {
        const TNameTableItem* object = FindName(tables, item.ObjectName);
        if (object == nullptr)
            return stop(CorruptTables);
        if (item.SerialOffset < 0)
            return stop(ErrorReadFile);

        // The object's data starts with 2 bytes (6 from version 62 on) that
        // are skipped, then its size as a compact index, then the data. Only
        // those leading bytes go through the package buffer; the data is read
        // straight into a buffer of its own.
        uint8_t skipped[6];
        size_t skip = longObjectHeader ? 6 : 2;
        SeekPackageBeforeBlock(file, static_cast<uint32_t>(item.SerialOffset),
                               skip + MaxCompactIndexSize);
        ReadPackageBytes(file, skipped, skip);
        int32_t size = ReadCompactIndex(file);
        if (file.Failed)
            return stop(ErrorReadFile);

        PrintFoundLine(object->Name, extension->Name, item.SerialOffset, size);
        if (size == 0) {
            ConsoleLine("  Size is zero, skip.");
            continue;
        }
        ConsoleText("  Extract...");
        ConsoleFlush();
        // Every error completes the "  Extract..." line first, so that the
        // message stands on a line of its own.
        switch (CopyObject(file, object->Name + "." + extension->Name, size)) {
        case TCopyOutcome::Done:
            ConsoleLine("done.");
            break;
        case TCopyOutcome::CreateFailed:
            ConsoleText("\r\n");
            return stop(ErrorCreateFile);
        case TCopyOutcome::ReadFailed:
            ConsoleText("\r\n");
            return stop(ErrorReadFile);
        case TCopyOutcome::WriteFailed:
            ConsoleText("\r\n");
            return stop(ErrorWriteFile);
        }
    }
    return true;
}
