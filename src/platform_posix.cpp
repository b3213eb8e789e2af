// The POSIX backend of the platform services.
//
// The directory search imitates the Windows one the tool was first written
// for, in the simplest form that is predictable on Unix: the pattern's last
// "/" splits it into a directory and a name pattern; "*" and "?" are the
// only wildcards; the directory is read once, "." and ".." included, and the
// matches come in byte order of their names.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct TDirSearch {
    std::vector<TSearchEntry> Matches;
    size_t Next = 0;
};

namespace {

// "*" matches any run of bytes, "?" exactly one, everything else itself.
// Backtracks only to the last "*", so the cost stays within
// length(name) * length(pattern) however many stars the pattern holds.
bool WildcardMatch(const std::string& pattern, const std::string& name) {
    size_t p = 0, n = 0;
    size_t starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// The size a search reports: that of the file a link points to, or of the
// link itself when it dangles.
uint64_t EntrySize(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 || lstat(path.c_str(), &st) == 0)
        return static_cast<uint64_t>(st.st_size);
    return 0;
}

} // namespace

TDirSearch* StartSearch(const std::string& pattern, TSearchEntry& entry) {
    size_t slash = pattern.rfind('/');
    std::string prefix = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (namePattern.empty())
        return nullptr;

    auto search = new TDirSearch;
    if (namePattern.find_first_of("*?") == std::string::npos) {
        // A plain name names one entry; a dangling link still counts as one.
        struct stat st;
        if (lstat(pattern.c_str(), &st) == 0)
            search->Matches.push_back({namePattern, pattern, EntrySize(pattern)});
    } else {
        std::string dir = prefix.empty() ? "." : prefix;
        if (DIR* d = opendir(dir.c_str())) {
            while (struct dirent* de = readdir(d)) {
                std::string name = de->d_name;
                if (WildcardMatch(namePattern, name))
                    search->Matches.push_back({name, prefix + name, 0});
            }
            closedir(d);
        }
        std::sort(search->Matches.begin(), search->Matches.end(),
                  [](const TSearchEntry& a, const TSearchEntry& b) { return a.Name < b.Name; });
        for (TSearchEntry& match : search->Matches)
            match.Size = EntrySize(match.Path);
    }
    if (!NextEntry(search, entry)) {
        delete search;
        return nullptr;
    }
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

TOsFile OpenForReading(const std::string& path) {
    // O_NONBLOCK keeps a FIFO from stalling the open; anything that turns
    // out not to be a regular file is closed again without a read.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return InvalidOsFile;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return InvalidOsFile;
    }
    // The open set no other status flag, so clearing them all clears
    // O_NONBLOCK without asking for the flags first.
    fcntl(fd, F_SETFL, 0);
    return fd;
}

size_t ReadOsFile(TOsFile file, void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t got = read(static_cast<int>(file), static_cast<char*>(buffer) + done, count - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
    }
    return done;
}

void SeekOsFile(TOsFile file, uint64_t offset) {
    lseek(static_cast<int>(file), static_cast<off_t>(offset), SEEK_SET);
}

uint64_t OsFileSize(TOsFile file) {
    struct stat st;
    if (fstat(static_cast<int>(file), &st) != 0)
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

void CloseOsFile(TOsFile file) {
    close(static_cast<int>(file));
}

bool OutputNameAllowed(const std::string& name, TOsFile source) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return false;
    // When lstat finds nothing under the name, stat cannot either; only a
    // link needs stat to learn what it points to.
    struct stat st;
    if (lstat(name.c_str(), &st) != 0)
        return true;
    if (S_ISDIR(st.st_mode))
        return false;
    if (S_ISLNK(st.st_mode) && stat(name.c_str(), &st) != 0)
        return true;
    struct stat src;
    if (fstat(static_cast<int>(source), &src) == 0 && st.st_dev == src.st_dev &&
        st.st_ino == src.st_ino)
        return false;
    return true;
}

TOsFile CreateTempOutput(std::string& tempName) {
    // O_EXCL never opens what is already there, a link included; the mode
    // is that of any new file, 0666 less the umask.
    static unsigned serial = 0;
    static const long pid = static_cast<long>(getpid());
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        snprintf(name, sizeof name, ".Brovask-%ld-%u.tmp", pid, serial++);
        int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            tempName = name;
            return fd;
        }
        if (errno != EEXIST)
            break;
    }
    return InvalidOsFile;
}

size_t WriteOsFile(TOsFile file, const void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        ssize_t put =
            write(static_cast<int>(file), static_cast<const char*>(buffer) + done, count - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        done += static_cast<size_t>(put);
    }
    return done;
}

bool ReplaceWithTemp(const std::string& tempName, const std::string& name) {
    return rename(tempName.c_str(), name.c_str()) == 0;
}

void RemoveOsFile(const std::string& name) {
    unlink(name.c_str());
}

void WriteStandardOutput(const char* text, size_t length) {
    WriteOsFile(1, text, length);
}

bool StandardOutputIsTerminal() {
    return isatty(1) != 0;
}
