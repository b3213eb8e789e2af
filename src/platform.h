// The operating-system services the tool uses: directory search, files and
// standard output. Each platform has one backend (platform_posix.cpp,
// platform_win32.cpp) and the build picks it; nothing above this header
// knows which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An open file: a descriptor on POSIX, a HANDLE on Windows.
using TOsFile = intptr_t;
constexpr TOsFile InvalidOsFile = -1;

// One match of a directory search.
struct TSearchEntry {
    std::string Name; // the bare name, without any directory part
    std::string Path; // where to open it: the pattern's directory part and Name
    uint64_t Size = 0;
};

// A running search; what it holds is the backend's business.
struct TDirSearch;

// Starts a search for `pattern` and delivers its first match into `entry`.
// Returns nullptr when nothing matches (then there is nothing to end).
TDirSearch* StartSearch(const std::string& pattern, TSearchEntry& entry);

// Delivers the next match; false when there is none.
bool NextEntry(TDirSearch* search, TSearchEntry& entry);

void EndSearch(TDirSearch* search);

// The names avoid those of the Windows API, which its headers turn into macros.

// Opens a regular file for reading. Anything else (a directory, a FIFO, a
// device, a dangling link, a name that does not exist) gives InvalidOsFile,
// and nothing that could block is ever opened for real.
TOsFile OpenForReading(const std::string& path);

// Reads up to `count` bytes; loops over short transfers, so the result is
// `count` unless the file ended (or failed) first.
size_t ReadOsFile(TOsFile file, void* buffer, size_t count);

// Moves to an absolute offset, taken as unsigned. A failure goes unnoticed
// here; the next read then comes back short.
void SeekOsFile(TOsFile file, uint64_t offset);

// The file's current size in bytes, or 0 when it cannot be told.
uint64_t OsFileSize(TOsFile file);

void CloseOsFile(TOsFile file);

// Whether `name` may become an output file in the current directory: it must
// be a plain name there (no directory part, nothing the platform treats as a
// device), no directory may stand under it, and it must not be the same file
// as `source`, the package being read.
bool OutputNameAllowed(const std::string& name, TOsFile source);

// Creates a new, empty temporary file in the current directory, beside where
// the output will go, with the mode a new file gets. Its name goes to
// `tempName`. InvalidOsFile on failure.
TOsFile CreateTempOutput(std::string& tempName);

// Writes `count` bytes; the result is how many were written.
size_t WriteOsFile(TOsFile file, const void* buffer, size_t count);

// Puts the finished temporary file in place of `name`, replacing a file or a
// symbolic link of that name (never writing through the link).
bool ReplaceWithTemp(const std::string& tempName, const std::string& name);

void RemoveOsFile(const std::string& name);

// Raw standard output. Bytes go out unchanged (no line-end translation).
void WriteStandardOutput(const char* text, size_t length);
bool StandardOutputIsTerminal();
