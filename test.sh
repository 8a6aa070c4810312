#!/usr/bin/env bash
# Builds everything and runs every test: the unit, tool, soak and end-to-end
# tests (the Windows program under Wine among them), the worker tests under
# ThreadSanitizer, the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, and a minute of fuzzing of both rasterizing
# passes.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
ensure_debian_packages $(grep -v '^#' scripts/test-packages.txt)

jobs=$(build_jobs)
failed=()
stage() { echo "== $*" >&2; }
configure_and_build() {  # directory, targets..., -- cmake options...
    local dir=$1; shift
    local targets=()
    while [ "$1" != "--" ]; do targets+=(--target "$1"); shift; done
    shift
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs" "${targets[@]}" >/dev/null
}

stage "Windows program, cross-built with MinGW-w64"
configure_and_build build-windows all -- -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_TOOLS=OFF

stage "Native build: unit, tool, soak and end-to-end tests"
configure_and_build build all -- -DCMAKE_BUILD_TYPE=Release \
    -DOMBRASTEL_WINDOWS_EXE="$PWD/build-windows/app/ombrastel.exe"
(cd build && ctest --output-on-failure) || failed+=("tests")

stage "Render workers under ThreadSanitizer"
configure_and_build build-tsan worker_tests -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOMBRASTEL_APP=OFF -DOMBRASTEL_TOOLS=OFF -DOMBRASTEL_TOOL_AND_WINDOW_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread"
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -L workers) || failed+=("thread sanitizer")

stage "The suite under AddressSanitizer and UndefinedBehaviorSanitizer"
# The Windows program's tests are left out: Wine runs the same unsanitized
# program again.
configure_and_build build-asan all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/../tests/sanitizers/leaks.supp" \
    ctest --output-on-failure -E 'e2e_(windows|wine)') || failed+=("address and undefined-behaviour sanitizers")

if [ -x scripts/fuzz.sh ]; then
    stage "Fuzzing the depth pre-pass and the shading walk"
    scripts/fuzz.sh 60 || failed+=("fuzzing")
fi

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED: ${failed[*]}" >&2
    exit 1
fi
echo "All test stages passed." >&2
