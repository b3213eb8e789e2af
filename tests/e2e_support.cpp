#include "e2e_support.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string Env(const char* name) {
    const char* value = getenv(name);
    return value ? value : "";
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        if (DIR* d = opendir(path.c_str())) {
            while (struct dirent* de = readdir(d)) {
                std::string name = de->d_name;
                if (name != "." && name != "..")
                    RemoveTree(path + "/" + name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string ReadAll(const std::string& path) {
    std::string out;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, got);
    fclose(f);
    return out;
}

std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text) {
        if (c == ' ') {
            if (!word.empty())
                words.push_back(word);
            word.clear();
        } else {
            word.push_back(c);
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

uint32_t Le32(const TBytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

} // namespace

TScratch::TScratch() {
    std::string base = Env("TMPDIR");
    if (base.empty())
        base = "/tmp";
    std::string templ = base + "/brovask-e2e-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    Path = buf.data();
}

TScratch::~TScratch() {
    RemoveTree(Path);
}

void TScratch::Write(const std::string& name, const TBytes& bytes) const {
    FILE* f = fopen(At(name).c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot write " + name);
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

void TScratch::Write(const std::string& name, const std::string& text) const {
    Write(name, TBytes(text.begin(), text.end()));
}

void TScratch::MakeDir(const std::string& name) const {
    mkdir(At(name).c_str(), 0755);
}

TFolder TScratch::Contents(const std::string& subdir) const {
    TFolder out;
    std::string dir = subdir.empty() ? Path : At(subdir);
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    while (struct dirent* de = readdir(d)) {
        std::string name = de->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            ssize_t n = readlink(path.c_str(), target, sizeof target);
            out[name] = "-> " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            out[name] = "<dir>";
        } else if (S_ISREG(st.st_mode)) {
            out[name] = ReadAll(path);
        } else {
            out[name] = "<special>";
        }
    }
    closedir(d);
    return out;
}

bool UnderRunner() {
    return !Env("BROVASK_RUNNER").empty();
}

bool WindowsBuild() {
    std::string program = Env("BROVASK_PROGRAM");
    if (program.size() < 4)
        return false;
    std::string suffix = program.substr(program.size() - 4);
    for (char& c : suffix)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return suffix == ".exe";
}

TRunResult RunTool(const std::string& dir, const std::vector<std::string>& args,
                   uint64_t fileSizeLimit) {
    std::string program = Env("BROVASK_PROGRAM");
    if (program.empty())
        throw std::runtime_error("BROVASK_PROGRAM is not set");
    std::vector<std::string> argv = SplitWords(Env("BROVASK_RUNNER"));
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());

    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        if (fileSizeLimit != 0) {
            struct rlimit limit = {fileSizeLimit, fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails instead
        }
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        std::vector<char*> cargs;
        for (std::string& a : argv)
            cargs.push_back(a.data());
        cargs.push_back(nullptr);
        execvp(cargs[0], cargs.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    // The run ends when the program exits, not when its output pipes close:
    // a runner may leave helpers behind that hold them open for seconds
    // (Wine's server does). Whatever the program wrote is in the pipes by
    // the time it has exited, and is drained then.
    TRunResult result;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    auto drain = [&](int i) {
        char buf[65536];
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
            (i == 0 ? result.Stdout : result.Stderr).append(buf, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR)
            return true;
        close(fds[i].fd);
        fds[i].fd = -1;
        return false;
    };
    int status = 0;
    struct rusage usage {};
    bool exited = false;
    // A program that hangs is killed after this long and fails its case.
    int msLeft = 120 * 1000;
    while (!exited) {
        int ready = poll(fds, 2, 50);
        if (ready > 0) {
            for (int i = 0; i < 2; ++i)
                if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    drain(i);
        } else if (ready == 0) {
            msLeft -= 50;
        }
        if (wait4(pid, &status, WNOHANG, &usage) == pid) {
            exited = true;
        } else if (msLeft <= 0) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &usage);
            exited = true;
        }
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0)
            continue;
        fcntl(fds[i].fd, F_SETFL, fcntl(fds[i].fd, F_GETFL) | O_NONBLOCK);
        while (drain(i)) {
        }
    }
    result.ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.PeakMemoryKiB = usage.ru_maxrss; // Linux counts it in KiB
    return result;
}

std::string Lines(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines)
        out += line + "\r\n";
    return out;
}

std::string Banner() {
    return Lines({"Tessaril v1.0 by the Tessaril developers [https://tessaril.example.org/]"});
}

std::string FileHeader(const std::string& name, uint64_t size) {
    return Lines({"==============================================",
                  "File: \"" + name + "\", Size: " + std::to_string(size) + " bytes"});
}

std::string Report(const TBytes& b) {
    uint32_t version = static_cast<uint32_t>(b[4] | b[5] << 8);
    uint32_t flags = Le32(b, 8);
    std::vector<std::string> lines = {"Package ver.  : " + std::to_string(version),
                                      "Package flags :"};
    const std::pair<uint32_t, const char*> texts[] = {
        {0x0001, "Allow downloading package"},
        {0x0002, "Purely optional for clients"},
        {0x0004, "Only needed on the server side"},
        {0x0008, "Loaded from linker with broken import links"},
        {0x0010, "Not trusted"},
        {0x8000, "Client needs to download this package"},
    };
    for (const auto& [bit, text] : texts)
        if (flags & bit)
            lines.push_back(std::string("  ") + text);
    lines.push_back("Name count   : " + std::to_string(Le32(b, 12)) +
                    ", Name Table offset  : " + std::to_string(Le32(b, 16)));
    lines.push_back("Export count : " + std::to_string(Le32(b, 20)) +
                    ", Export Table offset: " + std::to_string(Le32(b, 24)));
    lines.push_back("Import count : " + std::to_string(Le32(b, 28)) +
                    ", Import Table offset: " + std::to_string(Le32(b, 32)));
    return Lines(lines);
}

std::string AsString(const TBytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
