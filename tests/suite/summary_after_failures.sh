#!/usr/bin/env bash
# test.sh's summary comes however the run fails. In a scratch tree that holds
# test.sh and scripts/common.sh as they are, beside a stand-in project of no
# sources (each stage's build one quick step, its tests one `true`), faults
# are put in on purpose:
#   - the ARM64 stage's build fails, and the WebAssembly stage's configure:
#     every stage still runs and is listed with its duration, the end names
#     both failed stages, counts the other stages' tests, exit status 1;
#   - a window check run again (a line in a stage's tests/e2e/retries.txt):
#     named at the end; one passes, two fail the run;
#   - a test that skips as it needs root, in two stages, beside one that
#     skips for another reason: the first named in one line with its reason,
#     the other listed; both counted, and the run fails;
#   - a stage that ends the run outright (a missing package without root,
#     which stops at the first stage): the summary still comes, naming that
#     stage, exit status 1.
#
#   summary_after_failures.sh SOURCE_DIRECTORY
# Exit status: 0 passed, 1 failed.
set -uo pipefail
source_dir=${1:?usage: summary_after_failures.sh SOURCE_DIRECTORY}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ombrastel-summary.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
status=0
fail() {
    echo "FAILED: $*" >&2
    status=1
}

# The stand-in project. Its build folder names the stage; the faults a run
# is to meet are lines of the scratch tree's file faults.
make_tree() {
    local tree=$1
    mkdir -p "$tree/scripts" "$tree/cmake"
    cp "$source_dir/test.sh" "$tree/"
    cp "$source_dir/scripts/common.sh" "$tree/scripts/"
    echo bash >"$tree/scripts/packages-stand-in.txt"
    local toolchain
    for toolchain in mingw-w64-x86_64 aarch64-linux-gnu wasm32-emscripten; do
        : >"$tree/cmake/$toolchain.cmake"
    done
    cat >"$tree/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.16)
project(stand_in NONE)
foreach(option APP TOOLS TESTS TOOL_AND_WINDOW_TESTS FUZZ)
  option(OMBRASTEL_${option} "" ON)
endforeach()
set(OMBRASTEL_WINDOWS_EXE "" CACHE FILEPATH "")
get_filename_component(stage ${CMAKE_BINARY_DIR} NAME)
file(STRINGS ${CMAKE_SOURCE_DIR}/faults faults)
if("configure ${stage}" IN_LIST faults)
  message(FATAL_ERROR "a configure broken on purpose")
endif()
set(step true)
if("build ${stage}" IN_LIST faults)
  set(step false)
endif()
add_custom_target(stand_in ALL COMMAND ${step})
add_custom_target(worker_tests COMMAND true)
enable_testing()
set(test_command true)
if("retry ${stage}" IN_LIST faults)
  set(retried ${CMAKE_BINARY_DIR}/tests/e2e)
  set(test_command sh -c "mkdir -p ${retried} && echo 'picture/native: the X11 driver did not start' >>${retried}/retries.txt")
endif()
add_test(NAME stand_in_test COMMAND ${test_command})
set_tests_properties(stand_in_test PROPERTIES LABELS workers)
if("root ${stage}" IN_LIST faults)
  add_test(NAME stand_in_root_test COMMAND sh -c "echo 'SKIPPED: making device nodes needs root'; exit 77")
  set_tests_properties(stand_in_root_test PROPERTIES SKIP_RETURN_CODE 77)
endif()
if("skip ${stage}" IN_LIST faults)
  add_test(NAME stand_in_skipped_test COMMAND sh -c "echo 'SKIPPED: a tool is missing'; exit 77")
  set_tests_properties(stand_in_skipped_test PROPERTIES SKIP_RETURN_CODE 77)
endif()
EOF
    cat >"$tree/scripts/fuzz.sh" <<'EOF'
#!/usr/bin/env bash
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh
configure_build build-fuzz
mkdir -p build-fuzz/tests/fuzz
cp build-fuzz/CTestTestfile.cmake build-fuzz/tests/fuzz/
EOF
    chmod +x "$tree/test.sh" "$tree/scripts/fuzz.sh"
}

# run_tree TREE [COMMAND PREFIX...]: runs the tree's test.sh; sets
# run_status, and the summary in run_err.
run_tree() {
    local tree=$1
    shift
    run_status=0
    (cd "$tree" && env -u OMBRASTEL_ALLOW_SKIPS "$@" ./test.sh) >"$tree.out" 2>"$tree.err" || run_status=$?
    run_err=$(cat "$tree.err")
}

# expect_in TEXT WHAT: the summary holds the fixed text.
expect_in() {
    [[ "$run_err" == *"$1"* ]] || fail "$2: the summary lacks \"$1\""
}

stages=("Debian packages" "Windows program, cross-built with MinGW-w64" "Native build: unit, tool, soak and end-to-end tests"
    "ARM64: " "WebAssembly: " "Render workers of both engines under ThreadSanitizer"
    "The suite under AddressSanitizer and UndefinedBehaviorSanitizer"
    "Fuzzing the rasterizing passes, the span kernels and the PNG reader")

# Both faults in one run: every stage listed, both named, the rest counted.
make_tree "$scratch/builds"
printf '%s\n' "build build-arm64" "configure build-wasm" >"$scratch/builds/faults"
run_tree "$scratch/builds"
[ "$run_status" -eq 1 ] || fail "a broken build: exit status $run_status, wanted 1"
block=$(sed -n '/^Stages:$/,/^Instruction sets/p' "$scratch/builds.err")
for name in "${stages[@]}"; do
    grep -F -- "s  $name" <<<"$block" >/dev/null || fail "a broken build: the Stages block does not list \"$name\": $block"
done
expect_in "FAILED after " "a broken build"
expect_in "ARM64: cross-built; unit, golden-frame, kernel, tool, package and window tests under qemu: building build-arm64 failed" \
    "a broken build"
expect_in "WebAssembly: built with emscripten; unit, whole-frame, golden-frame and tool tests under node, the web page in headless Chromium and Firefox: configuring build-wasm failed" \
    "a broken configure"
expect_in "Instruction sets: the snapshot tool could not say which were built" "a broken build"
# Native, thread sanitizer, address sanitizer and the fuzz replay ran theirs.
expect_in "Tests: 4 passed, 0 failed, 0 skipped" "a broken build"
[ "$status" -eq 0 ] && echo "a broken build and a broken configure: both stages named, every stage listed, exit status 1"

# One retry is named and passes; two fail the run.
make_tree "$scratch/retry"
echo "retry build" >"$scratch/retry/faults"
run_tree "$scratch/retry"
[ "$run_status" -eq 0 ] || fail "one retry: exit status $run_status, wanted 0: $run_err"
expect_in "  tests: picture/native: the X11 driver did not start" "one retry"
printf '%s\n' "retry build" "retry build-arm64" >"$scratch/retry/faults"
run_tree "$scratch/retry"
[ "$run_status" -eq 1 ] || fail "two retries: exit status $run_status, wanted 1"
expect_in "  ARM64 under qemu: picture/native: the X11 driver did not start" "two retries"
expect_in "2 window checks run again" "two retries"
[ "$status" -eq 0 ] && echo "one retry: named, the run passes; two: both named, exit status 1"

# Skips: those that need root in one line, the others listed.
make_tree "$scratch/skips"
printf '%s\n' "root build" "root build-asan" "skip build" >"$scratch/skips/faults"
run_tree "$scratch/skips"
[ "$run_status" -eq 1 ] || fail "skipped tests: exit status $run_status, wanted 1"
expect_in "Not run without root, 2 times in all (as root they run): stand_in_root_test (making device nodes needs root)" \
    "tests that need root"
expect_in "$(printf 'Skipped tests (each one fails the run; OMBRASTEL_ALLOW_SKIPS=1 lets them pass):\n  tests: stand_in_skipped_test\nFAILED')" \
    "a test skipped for another reason"
expect_in "3 skipped tests" "skipped tests"
expect_in "Tests: 6 passed, 0 failed, 3 skipped" "skipped tests"
[ "$status" -eq 0 ] && echo "skips: those that need root named in one line with their reason, the other listed; the run fails"

# A run that stops outright, in its first stage: as a user without root
# whose machine lacks a package.
make_tree "$scratch/stopped"
: >"$scratch/stopped/faults"
echo ombrastel-no-such-package >"$scratch/stopped/scripts/packages-stand-in.txt"
prefix=()
if [ "$(id -u)" -eq 0 ]; then
    command -v setpriv >/dev/null || {
        echo "FAILED: setpriv (Debian: util-linux) is needed to run as a user without root" >&2
        exit 1
    }
    chmod -R a+rwX "$scratch/stopped"
    chmod a+rx "$scratch"
    prefix=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
fi
run_tree "$scratch/stopped" "${prefix[@]}"
[ "$run_status" -eq 1 ] || fail "a run stopped in its first stage: exit status $run_status, wanted 1: $run_err"
expect_in "Missing packages; install them with:" "a run stopped in its first stage"
expect_in "Stages:" "a run stopped in its first stage"
expect_in "FAILED after " "a run stopped in its first stage"
expect_in "Debian packages: the run ended here, exit status 1" "a run stopped in its first stage"
expect_in "Tests: 0 passed, 0 failed, 0 skipped" "a run stopped in its first stage"
[ "$status" -eq 0 ] && echo "a run stopped in its first stage: the summary names it, exit status 1"
exit "$status"
