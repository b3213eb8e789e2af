// The Windows backend of the platform services, on the kernel32 file API.
//
// The directory search is the system's own (FindFirstFileA rules: case does
// not count, "." and ".." are entries, "*.*" matches every name), and every
// file is reached through CreateFileA/ReadFile/WriteFile/SetFilePointer/
// CloseHandle. Standard output is written with WriteFile as well, so no C
// runtime text mode ever turns CR LF into CR CR LF.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include "platform.h"

#include <algorithm>
#include <cstdio>
#include <vector>
#include <windows.h>

// The C runtime must hand the arguments over as typed: a mask is the tool's
// to search, not the runtime's to expand beforehand.
extern "C" {
int _dowildcard = 0;
}

struct TDirSearch {
    std::vector<TSearchEntry> Matches;
    size_t Next = 0;
};

namespace {

HANDLE AsHandle(TOsFile file) {
    return reinterpret_cast<HANDLE>(file);
}
TOsFile AsOsFile(HANDLE handle) {
    return reinterpret_cast<TOsFile>(handle);
}

// ReadFile and WriteFile take a 32-bit count; larger requests go in pieces.
constexpr size_t MaxTransfer = 1u << 30;

// Where a pattern's matches lie: everything up to and including its last
// "\" or "/", or a drive prefix such as "C:" (that drive's current
// directory) when there is no separator.
std::string DirectoryPart(const std::string& pattern) {
    size_t slash = pattern.find_last_of("\\/");
    if (slash != std::string::npos)
        return pattern.substr(0, slash + 1);
    if (pattern.size() >= 2 && pattern[1] == ':')
        return pattern.substr(0, 2);
    return "";
}

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// Windows turns a name into a device when its part before the first full
// stop, less trailing blanks, is a reserved device name, in any case and in
// any directory: "nul.it" or "Con .s3m" open the device, not a file.
bool IsDeviceName(const std::string& name) {
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        c = UpperAscii(c);
    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : plain)
        if (base == device)
            return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

// The last part of a path, after any directory or drive prefix.
std::string BareName(const std::string& path) {
    return path.substr(DirectoryPart(path).size());
}

TSearchEntry EntryFrom(const std::string& prefix, const WIN32_FIND_DATAA& data) {
    TSearchEntry entry;
    entry.Name = data.cFileName;
    entry.Path = prefix + entry.Name;
    entry.Size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    return entry;
}

bool Identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(handle, &info) != 0;
}

} // namespace

// The whole listing is taken when the search starts, so that the files the
// tool itself writes into the directory (its temporary files and the music
// it extracts) never turn up as matches later in the same run.
TDirSearch* StartSearch(const std::string& pattern, TSearchEntry& entry) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return nullptr;
    std::string prefix = DirectoryPart(pattern);
    auto search = new TDirSearch;
    do {
        search->Matches.push_back(EntryFrom(prefix, data));
    } while (FindNextFileA(find, &data) != 0);
    FindClose(find);
    NextEntry(search, entry);
    return search;
}

bool NextEntry(TDirSearch* search, TSearchEntry& entry) {
    if (search->Next >= search->Matches.size())
        return false;
    entry = search->Matches[search->Next++];
    return true;
}

void EndSearch(TDirSearch* search) {
    delete search;
}

// Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open at all; a
// device name is refused before it is opened, and anything else that is
// not a file on disk is closed again unread.
TOsFile OpenForReading(const std::string& path) {
    if (IsDeviceName(BareName(path)))
        return InvalidOsFile;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return InvalidOsFile;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(handle) != FILE_TYPE_DISK || !Identity(handle, info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(handle);
        return InvalidOsFile;
    }
    return AsOsFile(handle);
}

size_t ReadOsFile(TOsFile file, void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        DWORD want = static_cast<DWORD>(std::min(count - done, MaxTransfer));
        DWORD got = 0;
        // Only the transferred count matters: 0 is the end of the file or
        // a failure, and either ends the read.
        ReadFile(AsHandle(file), static_cast<char*>(buffer) + done, want, &got, nullptr);
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

// The high part makes offsets of 2 GiB and more go exactly where they say,
// as on every other platform, instead of failing as negative numbers.
void SeekOsFile(TOsFile file, uint64_t offset) {
    LONG high = static_cast<LONG>(static_cast<uint32_t>(offset >> 32));
    SetFilePointer(AsHandle(file), static_cast<LONG>(static_cast<uint32_t>(offset)), &high,
                   FILE_BEGIN);
}

uint64_t OsFileSize(TOsFile file) {
    LARGE_INTEGER size;
    if (GetFileSizeEx(AsHandle(file), &size) == 0 || size.QuadPart < 0)
        return 0;
    return static_cast<uint64_t>(size.QuadPart);
}

void CloseOsFile(TOsFile file) {
    CloseHandle(AsHandle(file));
}

bool OutputNameAllowed(const std::string& name, TOsFile source) {
    // "\", "/" and ":" would put the file elsewhere (another directory, a
    // drive's current directory, a stream of another file).
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("\\/:") != std::string::npos || IsDeviceName(name))
        return false;
    DWORD attributes = GetFileAttributesA(name.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return false;
    // The same file is the same volume and file index, whatever the name's
    // case or the way the system spells it. Opening without any access
    // right reads nothing and is not refused by the package's own sharing.
    HANDLE existing =
        CreateFileA(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (existing == INVALID_HANDLE_VALUE)
        return true;
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = Identity(existing, a) && Identity(AsHandle(source), b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(existing);
    return !same;
}

// CREATE_NEW never opens what is already there; nobody else may open the
// file while it is being written.
TOsFile CreateTempOutput(std::string& tempName) {
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        snprintf(name, sizeof name, ".Brovask-%lu-%u.tmp",
                 static_cast<unsigned long>(GetCurrentProcessId()), serial++);
        HANDLE handle = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            tempName = name;
            return AsOsFile(handle);
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return InvalidOsFile;
}

size_t WriteOsFile(TOsFile file, const void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        DWORD want = static_cast<DWORD>(std::min(count - done, MaxTransfer));
        DWORD put = 0;
        WriteFile(AsHandle(file), static_cast<const char*>(buffer) + done, want, &put, nullptr);
        if (put == 0)
            break;
        done += put;
    }
    return done;
}

// MoveFileExA replaces a file or a link of that name, never what a link
// points to.
bool ReplaceWithTemp(const std::string& tempName, const std::string& name) {
    return MoveFileExA(tempName.c_str(), name.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void RemoveOsFile(const std::string& name) {
    DeleteFileA(name.c_str());
}

void WriteStandardOutput(const char* text, size_t length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE)
        WriteOsFile(AsOsFile(out), text, length);
}

bool StandardOutputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
