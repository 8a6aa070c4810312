#!/usr/bin/env bash
# Builds everything and runs every test: the unit and end-to-end tests, the
# Windows build under Wine, and the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
ensure_debian_packages $(grep -v '^#' scripts/test-packages.txt)

jobs=$(build_jobs)
status=0

# The Windows program, cross-built; the end-to-end tests run it under Wine.
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_TOOLS=OFF >/dev/null
cmake --build build-windows -j "$jobs" >/dev/null

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release \
    -DOMBRASTEL_WINDOWS_EXE="$PWD/build-windows/app/ombrastel.exe" >/dev/null
cmake --build build -j "$jobs" >/dev/null
(cd build && ctest --output-on-failure -j 1) || status=1

# Data races between the two render workers.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRASTEL_APP=OFF -DOMBRASTEL_TOOLS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build-tsan -j "$jobs" --target worker_tests >/dev/null
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L workers) || status=1

exit $status
