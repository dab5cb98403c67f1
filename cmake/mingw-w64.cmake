# Cross-building sorvel2 for 64-bit Windows with Debian's mingw-w64
# (g++-mingw-w64-x86-64):
#   cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(SORVEL2_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model: std::thread and std::mutex need it.
find_program(CMAKE_C_COMPILER NAMES ${SORVEL2_MINGW_PREFIX}-gcc-posix ${SORVEL2_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${SORVEL2_MINGW_PREFIX}-g++-posix ${SORVEL2_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${SORVEL2_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${SORVEL2_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A program that runs without the compiler's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
