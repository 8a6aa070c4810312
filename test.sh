#!/usr/bin/env bash
# Builds everything and runs every test: the unit, tool, soak and end-to-end
# tests (the Windows program under Wine among them), the ARM64 build's tests
# under qemu, the WebAssembly build's tests under node and its web page in
# headless Chromium, the worker tests under ThreadSanitizer, the whole suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and a minute each of
# fuzzing the rasterizing passes, the span kernels and the PNG reader.
# Each stage says how long it took, and the end names the instruction sets
# this processor could not check. docs/testing.md says what each stage runs.
#
# A test that skips fails the run: a skip means that something the test
# needs is missing, and the run would otherwise pass without having tested
# it. Every skipped test is named at the end. To let skips pass (on a machine
# that cannot have everything), run it as OMBRASTEL_ALLOW_SKIPS=1 ./test.sh.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

allow_skips=${OMBRASTEL_ALLOW_SKIPS:-0}
if [ "$allow_skips" != 0 ] && [ "$allow_skips" != 1 ]; then
    echo "OMBRASTEL_ALLOW_SKIPS must be 0 or 1, not \"$allow_skips\"" >&2
    exit 2
fi

jobs=$(build_jobs)
failed=()     # the stages that failed
skipped=()    # "stage: test" for every test that did not run
durations=()  # "DURATION  STAGE" of every stage ended
passed_count=0
failed_count=0

minutes_and_seconds() { echo "$(($1 / 60)) min $(($1 % 60)) s"; }
stage_name=""
stage_start=$SECONDS
end_stage() {
    [ -n "$stage_name" ] || return 0
    local took=$((SECONDS - stage_start))
    echo "== $stage_name: $(minutes_and_seconds "$took")" >&2
    durations+=("$(printf '%3d min %2d s' $((took / 60)) $((took % 60)))  $stage_name")
    stage_name=""
}
stage() {
    end_stage
    stage_name=$*
    stage_start=$SECONDS
    echo "== $*" >&2
}

configure_and_build() {  # directory, targets..., -- cmake options...
    local dir=$1
    shift
    local targets=()
    while [ "$1" != "--" ]; do
        targets+=(--target "$1")
        shift
    done
    shift
    configure_build "$dir" "$@"
    cmake --build "$dir" -j "$jobs" "${targets[@]}" >/dev/null
}

# Runs ctest in a build directory and counts what it reports. ctest passes a
# run whose tests all skipped, so the skipped ones are read from its JUnit
# report ("notrun": skipped by the test itself; "disabled": switched off);
# and a stage that finds no test fails.
run_tests() {  # stage name, build directory, ctest options...
    local name=$1 dir=$2
    shift 2
    local results="$PWD/$dir/test-results.xml"
    rm -f "$results"
    local status=0
    (cd "$dir" && ctest --no-tests=error --output-on-failure --output-junit "$results" "$@") || status=$?
    [ "$status" -eq 0 ] || failed+=("$name")
    if [ ! -s "$results" ]; then
        [ "$status" -ne 0 ] || failed+=("$name (ctest wrote no results)")
        return 0
    fi
    local test
    while read -r test; do
        skipped+=("$name: $test")
    done < <(sed -n 's/.*<testcase name="\([^"]*\)".* status="\(notrun\|disabled\)".*/\1/p' "$results")
    passed_count=$((passed_count + $(grep -c '<testcase .* status="run"' "$results" || true)))
    failed_count=$((failed_count + $(grep -c '<testcase .* status="fail"' "$results" || true)))
}

# The instruction sets the native build has kernels for, and which of them
# this processor cannot run, or cannot run with an arithmetic, each with the
# snapshot tool's own reason: the tests leave those kernels out. That is no
# failure (a processor without AVX-512 cannot run it), but no test here
# checked them.
instruction_sets_checked() {
    local snapshot=build/tools/ombrastel-snapshot help sets set estimates refused not_checked=""
    help=$("$snapshot" --help) || {
        echo "Instruction sets: the snapshot tool could not say which were built"
        return 0
    }
    sets=$(sed -n 's/.*--isa auto|\([a-z0-9|]*\).*/\1/p' <<<"$help" | tr '|' ' ')
    for set in $sets; do
        for estimates in x86 ieee; do
            if ! refused=$("$snapshot" --size 2x2 --frames 0 --digest --isa "$set" --estimates "$estimates" 2>&1 >/dev/null); then
                not_checked+="  $set with the $estimates arithmetic: ${refused#ombrastel-snapshot: }"$'\n'
            fi
        done
    done
    if [ -z "$not_checked" ]; then
        echo "Instruction sets: every one built ($sets) was checked here, with both arithmetics."
    else
        echo "Instruction sets built: $sets. Not checked on this processor (their kernels were left out of the tests):"
        printf '%s' "$not_checked"
    fi
}

stage "Debian packages"
# Every list: building, the tests' libraries, the test runs, the cross-builds.
ensure_debian_packages $(packages_in scripts/packages-*.txt)

stage "Windows program, cross-built with MinGW-w64"
configure_and_build build-windows all -- -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_TOOLS=OFF

stage "Native build: unit, tool, soak and end-to-end tests"
configure_and_build build all -- -DOMBRASTEL_WINDOWS_EXE="$PWD/build-windows/app/ombrastel.exe"
run_tests "tests" build

# ARM64: what only the emulated processor can show. The whole-frame
# comparisons of every engine against the scalar version (label frames) and
# the soak are the native stage's: the same sources, drawing the same bits,
# and the golden frames that run here pin the ARM64 pictures to them.
stage "ARM64: cross-built; unit, golden-frame, kernel, tool, package and window tests under qemu"
configure_and_build build-arm64 all -- -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
run_tests "ARM64 under qemu" build-arm64 -LE 'soak|frames' -j "$jobs"

# WebAssembly: the core's tests, the whole-frame comparisons and the golden
# frames under node (no emulator: they take seconds), the snapshot tool's
# digests, and the web page in headless Chromium. The soak is the native
# stage's, and so are the checks of the sources and documents, which are the
# same files.
stage "WebAssembly: built with emscripten; unit, whole-frame, golden-frame and tool tests under node, the web page in headless Chromium"
configure_and_build build-wasm all -- -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-emscripten.cmake
run_tests "WebAssembly" build-wasm -LE 'soak|source|docs' -j "$jobs"

stage "Render workers of both engines under ThreadSanitizer"
configure_and_build build-tsan worker_tests -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOMBRASTEL_APP=OFF -DOMBRASTEL_TOOLS=OFF -DOMBRASTEL_TOOL_AND_WINDOW_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread"
TSAN_OPTIONS=halt_on_error=1 run_tests "thread sanitizer" build-tsan -L workers

stage "The suite under AddressSanitizer and UndefinedBehaviorSanitizer"
# The Windows program's tests are left out: Wine runs the same unsanitized
# program again.
configure_and_build build-asan all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
# The suppressed leaks are not listed: the window checks read what the
# program writes on standard error.
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/leaks.supp:print_suppressions=0" \
    run_tests "address and undefined-behaviour sanitizers" build-asan -E 'e2e_(windows|wine)'

stage "Fuzzing the rasterizing passes, the span kernels and the PNG reader"
# fuzz.sh builds build-fuzz, replays every stored input and fuzzes each
# target for a minute; the replays are then counted with the other tests.
scripts/fuzz.sh 60 || failed+=("fuzzing")
run_tests "fuzz replay" build-fuzz/tests/fuzz
end_stage

echo >&2
echo "Stages:" >&2
printf '  %s\n' "${durations[@]}" >&2
instruction_sets_checked >&2
if [ ${#skipped[@]} -gt 0 ]; then
    if [ "$allow_skips" = 1 ]; then
        echo "Skipped tests (allowed by OMBRASTEL_ALLOW_SKIPS=1):" >&2
    else
        echo "Skipped tests (each one fails the run; OMBRASTEL_ALLOW_SKIPS=1 lets them pass):" >&2
        failed+=("${#skipped[@]} skipped tests")
    fi
    printf '  %s\n' "${skipped[@]}" >&2
fi
elapsed=$(minutes_and_seconds "$SECONDS")
if [ ${#failed[@]} -gt 0 ]; then
    failed_text=$(printf '%s, ' "${failed[@]}")
    echo "FAILED after $elapsed: ${failed_text%, }" >&2
else
    echo "All test stages passed in $elapsed." >&2
fi
echo "Tests: $passed_count passed, $failed_count failed, ${#skipped[@]} skipped" >&2
[ ${#failed[@]} -eq 0 ]
