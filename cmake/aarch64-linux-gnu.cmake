# Cross-builds for ARM64 Linux with Debian's cross-compiler
# (g++-aarch64-linux-gnu) against the arm64 packages of a multiarch system
# (dpkg --add-architecture arm64; libsdl2-dev:arm64, libpng-dev:arm64, ...):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# ctest runs the ARM64 programs under qemu-aarch64 (Debian: qemu-user).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(OMBRASTEL_CROSS_PREFIX aarch64-linux-gnu)
find_program(CMAKE_C_COMPILER NAMES ${OMBRASTEL_CROSS_PREFIX}-gcc)
find_program(CMAKE_CXX_COMPILER NAMES ${OMBRASTEL_CROSS_PREFIX}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${OMBRASTEL_CROSS_PREFIX})

# The arm64 libraries are in the system's multiarch directories
# (/usr/lib/aarch64-linux-gnu, its cmake/ and pkgconfig/), which the
# library architecture above selects; the C library and the compiler's own
# are under /usr/aarch64-linux-gnu. Programs are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${OMBRASTEL_CROSS_PREFIX} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
find_program(PKG_CONFIG_EXECUTABLE NAMES ${OMBRASTEL_CROSS_PREFIX}-pkg-config)

# The tests, and the tools the tests start, run under qemu's user-mode
# emulation. The loader must be the one of the C library the programs load,
# the multiarch libc6:arm64 in /lib/aarch64-linux-gnu: the cross-compiler's
# own loader under /usr/aarch64-linux-gnu is of another build of the C
# library, and with it a program's first start of a thread never returns
# (it loops in the C library, over data the two builds lay out apart).
find_program(OMBRASTEL_QEMU_AARCH64 qemu-aarch64)
if(OMBRASTEL_QEMU_AARCH64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${OMBRASTEL_QEMU_AARCH64} -L /)
endif()

# The .deb is for arm64; dpkg-shlibdeps reads the arm64 libraries' package
# names from the multiarch dpkg database.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
