# Cross build of the 32-bit Windows console program Brovask.exe with
# Debian's mingw-w64 (package g++-mingw-w64-i686):
#
#   cmake -S . -B build-win32 -DBROVASK_TESTS=OFF \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
#
# The program is linked statically, so it needs no runtime DLLs of the
# compiler beside it: it imports only from DLLs that every Windows has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(BROVASK_MINGW_TRIPLET i686-w64-mingw32)
# The win32 thread model: the tool starts no threads, and this variant needs
# no winpthread library.
find_program(CMAKE_CXX_COMPILER NAMES ${BROVASK_MINGW_TRIPLET}-g++-win32 ${BROVASK_MINGW_TRIPLET}-g++
             REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${BROVASK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A console program that carries its C++ runtime inside.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -mconsole")
