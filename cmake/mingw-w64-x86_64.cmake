# Cross-builds the Windows program with MinGW-w64 (Debian: g++-mingw-w64-x86-64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(OMBRASTEL_MINGW_PREFIX x86_64-w64-mingw32)
# The POSIX thread model gives the complete C++ library; its thread support
# is linked in statically below.
find_program(CMAKE_C_COMPILER NAMES ${OMBRASTEL_MINGW_PREFIX}-gcc-posix ${OMBRASTEL_MINGW_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${OMBRASTEL_MINGW_PREFIX}-g++-posix ${OMBRASTEL_MINGW_PREFIX}-g++)
find_program(CMAKE_RC_COMPILER NAMES ${OMBRASTEL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${OMBRASTEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: the GCC runtime, the C++ library and winpthread
# are linked in, so it runs without any DLL beside it (also under Wine).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
