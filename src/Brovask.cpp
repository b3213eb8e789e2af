// Brovask: pulls the music out of Unreal-engine music packages.
//
// Every argument is a file name or a wildcard mask. Each entry a search
// yields goes through ProcessPackage on its own; nothing of one package is
// used for the next, and no failure changes the exit status.
#include "Brovask.h"

#include "console.h"
#include "messages.h"
#include "music_extract.h"
#include "package_reader.h"

namespace {

struct TFlagText {
    uint32_t Bit;
    const char* Text;
};

// Tested and printed in this order; other bits print nothing.
constexpr TFlagText FlagTexts[] = {
    {0x0001, "Allow downloading package"},
    {0x0002, "Purely optional for clients"},
    {0x0004, "Only needed on the server side"},
    {0x0008, "Loaded from linker with broken import links"},
    {0x0010, "Not trusted"},
    {0x8000, "Client needs to download this package"},
};

// A count and offset line goes out in two halves, the first flushed alone.
void PrintTableLine(const char* countLabel, uint32_t count, const char* offsetLabel,
                    uint32_t offset) {
    ConsoleText(countLabel);
    ConsoleNumber(count);
    ConsoleFlush();
    ConsoleText(offsetLabel);
    ConsoleNumber(offset);
    ConsoleEndLine();
}

void PrintFileLine(const TSearchEntry& entry) {
    ConsoleText("File: \"");
    ConsoleText(entry.Name);
    ConsoleText("\", Size: ");
    ConsoleNumber(entry.Size);
    ConsoleText(" bytes");
    ConsoleEndLine();
}

// Reads the header and the three tables; false after printing the message
// that ends this package.
bool ReadPackage(TPackageFile& file, TPackageTables& tables) {
    switch (ReadPackageHeader(file, tables.Header)) {
    case THeaderOutcome::TooShort:
        ConsoleLine(ErrorReadFile);
        return false;
    case THeaderOutcome::NotAPackage:
        ConsoleLine(NotUnrealPackage);
        return false;
    case THeaderOutcome::Accepted:
        break;
    }
    PrintPackageReport(tables.Header);
    if (!ReadNameTable(file, tables.Header, tables.Names) ||
        !ReadExportTable(file, tables.Header, tables.Exports) ||
        !ReadImportTable(file, tables.Header, tables.Imports)) {
        ConsoleLine(ErrorReadFile);
        return false;
    }
    return true;
}

} // namespace

void PrintPackageReport(const TPackageHeader& header) {
    ConsoleText("Package ver.  : ");
    ConsoleNumber(header.Version);
    ConsoleEndLine();
    ConsoleLine("Package flags :");
    for (const TFlagText& flag : FlagTexts) {
        if (header.PackageFlags & flag.Bit)
            ConsoleLine(std::string("  ") + flag.Text);
    }
    PrintTableLine("Name count   : ", header.NameCount,
                   ", Name Table offset  : ", header.NameOffset);
    PrintTableLine("Export count : ", header.ExportCount,
                   ", Export Table offset: ", header.ExportOffset);
    PrintTableLine("Import count : ", header.ImportCount,
                   ", Import Table offset: ", header.ImportOffset);
}

void ProcessPackage(const TSearchEntry& entry) {
    // The entry is opened where the search found it, not under its bare
    // name in the current directory, which may hold another file or none.
    TPackageFile file;
    if (!OpenPackage(file, entry.Path)) {
        ConsoleLine(ErrorOpenFile);
        return;
    }
    ConsoleLine(SeparatorText);
    PrintFileLine(entry);

    TPackageTables tables;
    if (ReadPackage(file, tables))
        ExtractMusic(file, tables);
    ClosePackage(file);
}

int main(int argc, char** argv) {
    ConsoleLine(BannerText);
    if (argc < 2) {
        ConsoleLine(UsageText);
        ConsoleFinish();
        return 0;
    }
    // Every argument is a pattern of its own: a Unix shell expands a mask
    // into many arguments before the tool sees them.
    for (int i = 1; i < argc; ++i) {
        TSearchEntry entry;
        TDirSearch* search = StartSearch(argv[i], entry);
        if (search == nullptr) {
            ConsoleLine(NoFilesFound);
            continue;
        }
        do {
            ProcessPackage(entry);
        } while (NextEntry(search, entry));
        EndSearch(search);
    }
    ConsoleFinish();
    return 0;
}
