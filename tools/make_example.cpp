// Writes the bundled example package, examples/DemoTune.umx, from the code
// that defines it, and on request the bare module beside it, for a player.
//
//   make_example <package.umx> [<module.mod>]
//
// The build runs it as `cmake --build build --target example`; a test checks
// that the committed file holds exactly these bytes.
#include "demo_module.h"

#include <cstdio>

namespace {

bool WriteFile(const char* path, const TBytes& bytes) {
    FILE* f = fopen(path, "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: make_example <package.umx> [<module.mod>]\n");
        return 2;
    }
    if (!WriteFile(argv[1], DemoPackage())) {
        fprintf(stderr, "make_example: cannot write %s\n", argv[1]);
        return 1;
    }
    if (argc == 3 && !WriteFile(argv[2], DemoModule())) {
        fprintf(stderr, "make_example: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
