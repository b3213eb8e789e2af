// libFuzzer target: each input is one package file, run through the tool's
// whole per-file sequence (header, report, tables, music check, extraction)
// exactly as a matched entry of a search would be.
//
// The process works in a private scratch directory, entered once at start,
// so every file the tool writes lands there. Between inputs the directory is
// emptied. After each run the target checks what the tool promises beyond
// not crashing, and aborts (a finding) when a promise is broken:
// - the package itself is left exactly as it was;
// - no temporary file is left behind, and every other entry is a regular,
//   non-empty file whose bytes all come, in one piece, from the package;
// - every file the run opened has been closed again.
#include "Brovask.h"
#include "console.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char InputName[] = "Fuzz.umx";

std::string ScratchPath;

[[noreturn]] void Finding(const std::string& what) {
    fprintf(stderr, "fuzz_package: %s\n", what.c_str());
    abort();
}

std::vector<std::string> ScratchEntries() {
    std::vector<std::string> names;
    DIR* d = opendir(".");
    if (d == nullptr)
        Finding("cannot list the scratch directory");
    while (struct dirent* de = readdir(d)) {
        std::string name = de->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    return names;
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    if (DIR* d = opendir(path.c_str())) {
        while (struct dirent* de = readdir(d)) {
            std::string name = de->d_name;
            if (name != "." && name != "..")
                RemoveTree(path + "/" + name);
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

void EmptyScratch() {
    for (const std::string& name : ScratchEntries())
        RemoveTree(name);
}

void RemoveScratch() {
    if (!ScratchPath.empty() && chdir("/") == 0)
        RemoveTree(ScratchPath);
}

bool ReadWhole(const std::string& name, std::string& bytes) {
    int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(got));
    close(fd);
    return got == 0;
}

void WriteInput(const uint8_t* data, size_t size) {
    int fd = open(InputName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        Finding("cannot write the input file");
    size_t done = 0;
    while (done < size) {
        ssize_t put = write(fd, data + done, size - done);
        if (put <= 0)
            Finding("cannot write the input file");
        done += static_cast<size_t>(put);
    }
    close(fd);
}

// The lowest descriptor number not in use; a file left open by the run
// shows as a higher number afterwards.
int LowestFreeDescriptor() {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        Finding("cannot open /dev/null");
    close(fd);
    return fd;
}

void CheckScratch(const std::string& input) {
    for (const std::string& name : ScratchEntries()) {
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            Finding("not a regular file after the run: " + name);
        std::string bytes;
        if (!ReadWhole(name, bytes))
            Finding("cannot read back " + name);
        if (name == InputName) {
            if (bytes != input)
                Finding("the package was changed");
            continue;
        }
        // The tool writes no file for an empty object, so an empty file is
        // a temporary one left behind. (Its name proves nothing: an object
        // may be named like a temporary file.)
        if (bytes.empty())
            Finding("empty file left behind: " + name);
        if (input.find(bytes) == std::string::npos)
            Finding("output file does not hold bytes of the package: " + name);
    }
    std::string bytes;
    if (!ReadWhole(InputName, bytes))
        Finding("the package is gone");
}

// The target leaves the directory it was started in, so the paths on its
// command line must not depend on it: before libFuzzer reads them, relative
// corpus directories and artifact paths are made absolute, and findings go
// to the starting directory unless -artifact_prefix says otherwise.
void AnchorArguments(int* argc, char*** argv, const std::string& start) {
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    const std::string pathFlags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict="};
    bool prefixGiven = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        if (i > 0 && !arg.empty() && arg[0] != '-' && arg[0] != '/')
            arg = start + "/" + arg;
        for (const std::string& flag : pathFlags) {
            if (arg.rfind(flag, 0) != 0)
                continue;
            prefixGiven |= flag == pathFlags[0];
            if (arg.size() > flag.size() && arg[flag.size()] != '/')
                arg = flag + start + "/" + arg.substr(flag.size());
        }
        args.push_back(arg);
    }
    if (!prefixGiven)
        args.push_back(pathFlags[0] + start + "/");
    for (std::string& arg : args)
        pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    *argc = static_cast<int>(args.size());
    *argv = pointers.data();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    std::vector<char> start(4096);
    if (getcwd(start.data(), start.size()) == nullptr)
        Finding("cannot tell the current directory");
    AnchorArguments(argc, argv, start.data());

    const char* base = getenv("TMPDIR");
    std::string templ =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brovask-fuzz-XXXXXX";
    if (templ[0] != '/')
        templ = std::string(start.data()) + "/" + templ;
    std::vector<char> path(templ.begin(), templ.end());
    path.push_back('\0');
    if (mkdtemp(path.data()) == nullptr || chdir(path.data()) != 0)
        Finding("cannot make the scratch directory under " + templ);
    ScratchPath = path.data();
    atexit(RemoveScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    EmptyScratch();
    WriteInput(data, size);
    std::string input(reinterpret_cast<const char*>(data), size);

    TSearchEntry entry;
    entry.Name = InputName;
    entry.Path = InputName;
    entry.Size = size;
    int freeBefore = LowestFreeDescriptor();
    ProcessPackage(entry);
    ConsoleFinish();
    if (LowestFreeDescriptor() != freeBefore)
        Finding("a file was left open");

    CheckScratch(input);
    EmptyScratch();
    return 0;
}
