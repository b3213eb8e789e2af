// The benchmark's reference copier: copies each file named on the command
// line into the current directory under its bare name, holding it whole in
// one buffer, with one read request and one write request. That is the least
// a tool that moves each object through one buffer of its own has to do; the
// benchmark sets it beside cp (which may copy inside the kernel) so that the
// cost of the buffer itself can be told from the tool's own overhead.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path source = argv[i];
        std::error_code error;
        auto size = static_cast<size_t>(std::filesystem::file_size(source, error));
        FILE* in = error ? nullptr : fopen(source.string().c_str(), "rb");
        FILE* out = in == nullptr ? nullptr : fopen(source.filename().string().c_str(), "wb");
        bool copied = false;
        if (out != nullptr) {
            // Unbuffered streams hand a large request straight to the system.
            setvbuf(in, nullptr, _IONBF, 0);
            setvbuf(out, nullptr, _IONBF, 0);
            std::unique_ptr<char[]> data(new char[size == 0 ? 1 : size]);
            copied =
                fread(data.get(), 1, size, in) == size && fwrite(data.get(), 1, size, out) == size;
        }
        if (out != nullptr && fclose(out) != 0)
            copied = false;
        if (in != nullptr)
            fclose(in);
        if (!copied) {
            fprintf(stderr, "copy_whole: cannot copy %s\n", argv[i]);
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
