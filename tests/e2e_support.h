// Running the built program in a fresh scratch folder and reading back what
// it printed and what it left there.
//
// The program comes from BROVASK_PROGRAM; BROVASK_RUNNER, when set, is a
// command put before it (for example "wine" for the Windows build), so the
// same cases serve every build of the tool.
#pragma once

#include "package_builder.h"

#include <map>
#include <string>
#include <vector>

struct TRunResult {
    std::string Stdout;
    std::string Stderr;
    int ExitStatus = -1;    // -1 when the program did not exit normally
    long PeakMemoryKiB = 0; // the child's peak resident memory (under a runner: the runner's)
};

// What a scratch folder holds: each entry's name and what it is. A regular
// file shows its bytes, a directory "<dir>", a symbolic link "-> target".
using TFolder = std::map<std::string, std::string>;

struct TScratch {
    std::string Path;
    TScratch();
    ~TScratch();
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;

    std::string At(const std::string& name) const { return Path + "/" + name; }
    void Write(const std::string& name, const TBytes& bytes) const;
    void Write(const std::string& name, const std::string& text) const;
    void MakeDir(const std::string& name) const;
    TFolder Contents(const std::string& subdir = "") const;
};

// Runs the program with `args` in `dir` as its current directory. A
// non-zero `fileSizeLimit` caps the size of every file it writes, so that
// writes fail as on a full disk.
TRunResult RunTool(const std::string& dir, const std::vector<std::string>& args,
                   uint64_t fileSizeLimit = 0);

// True when the program runs under a runner (another platform's build).
bool UnderRunner();

// True when the program is the Windows build (its file name ends in ".exe",
// and it runs under Wine): the directory search and the file names then
// follow Windows rules, and the cases that differ there say so.
bool WindowsBuild();

// The lines, each ended by CR LF.
std::string Lines(const std::vector<std::string>& lines);

// The banner line with its line end.
std::string Banner();

// The separator and file lines for one entry.
std::string FileHeader(const std::string& name, uint64_t size);

// The report lines of a package built from `bytes`.
std::string Report(const TBytes& bytes);

std::string AsString(const TBytes& bytes);
