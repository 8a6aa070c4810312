#!/usr/bin/env bash
# Builds everything and runs every test: the unit, tool, soak and end-to-end
# tests (the Windows program under Wine among them), the ARM64 build's tests
# under qemu, the WebAssembly build's tests under node and its web page in
# headless Chromium and Firefox, the worker tests under ThreadSanitizer, the
# whole suite under AddressSanitizer and UndefinedBehaviorSanitizer, and a
# minute each of fuzzing the rasterizing passes, the span kernels and the PNG
# reader.
# Each stage says how long it took, and the end names the instruction sets
# this processor could not check. docs/testing.md says what each stage runs.
#
# A test that skips fails the run: a skip means that something the test
# needs is missing, and the run would otherwise pass without having tested
# it. Every skipped test is named at the end; those that need root (an IPC
# namespace of their own, device nodes, mounts), and so skip in a run without
# it, in one line. To let skips pass (on a machine that cannot have
# everything), run it as OMBRASTEL_ALLOW_SKIPS=1 ./test.sh.
#
# The summary comes however the run ends: a stage whose build fails is named
# and the run goes on to the next; anything else that ends it early still
# prints the summary, with the stage it was in. The exit status is 0 only
# when every stage passed.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh

allow_skips=${OMBRASTEL_ALLOW_SKIPS:-0}
if [ "$allow_skips" != 0 ] && [ "$allow_skips" != 1 ]; then
    echo "OMBRASTEL_ALLOW_SKIPS must be 0 or 1, not \"$allow_skips\"" >&2
    exit 2
fi

jobs=$(build_jobs)
failed=()     # the stages that failed, and what of them
skipped=()    # "stage: test" for every test that did not run
needs_root=() # "test|why" of the skipped tests that need root
retries=()    # "stage: check ..." for every window check run again
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

# Configures and builds; a failure is the stage's, named, and the caller
# leaves out the stage's tests (there is nothing to run them on).
configure_and_build() {  # directory, targets..., -- cmake options...
    local dir=$1
    shift
    local targets=()
    while [ "$1" != "--" ]; do
        targets+=(--target "$1")
        shift
    done
    shift
    if ! configure_build "$dir" "$@"; then
        failed+=("$stage_name: configuring $dir failed")
        return 1
    fi
    if ! cmake --build "$dir" -j "$jobs" "${targets[@]}" >/dev/null; then
        failed+=("$stage_name: building $dir failed")
        return 1
    fi
}

# Runs ctest in a build directory and counts what it reports. ctest passes a
# run whose tests all skipped, so the skipped ones are read from its JUnit
# report ("notrun": skipped by the test itself; "disabled": switched off),
# and so is each one's reason where it says that it needs root; a stage that
# finds no test fails. The window checks name each check they ran again in
# tests/e2e/retries.txt.
run_tests() {  # stage name, build directory, ctest options...
    local name=$1 dir=$2
    shift 2
    local results="$PWD/$dir/test-results.xml" retried="$PWD/$dir/tests/e2e/retries.txt"
    rm -f "$results" "$retried"
    local status=0
    (cd "$dir" && ctest --no-tests=error --output-on-failure --output-junit "$results" "$@") || status=$?
    [ "$status" -eq 0 ] || failed+=("$name")
    if [ -s "$retried" ]; then
        local line
        while read -r line; do retries+=("$name: $line"); done <"$retried"
    fi
    if [ ! -s "$results" ]; then
        [ "$status" -ne 0 ] || failed+=("$name (ctest wrote no results)")
        return 0
    fi
    local test why
    while IFS='|' read -r test why; do
        skipped+=("$name: $test")
        [ -z "$why" ] || needs_root+=("$test|$why")
    done < <(awk '
        /<testcase / {
            test = ""; skip = 0; why = ""
            if (match($0, /name="[^"]*"/)) test = substr($0, RSTART + 6, RLENGTH - 7)
            skip = $0 ~ / status="(notrun|disabled)"/
        }
        skip && why == "" && /needs root/ {
            why = $0
            sub(/^.*<system-out>/, "", why)
            sub(/^[ \t]*(SKIPPED: )?/, "", why)
        }
        /<\/testcase>/ && skip { print test "|" why; skip = 0 }' "$results")
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
    help=$("$snapshot" --help 2>/dev/null) || {
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

# The end of every run, however it ends: the stages' durations, what was
# not checked, the retries and the skips, the failures and the count of
# tests; and the exit status, non-zero when anything failed.
summary() {
    local status=$?
    trap - EXIT
    set +e
    if [ "$status" -ne 0 ] && [ -n "$stage_name" ]; then
        failed+=("$stage_name: the run ended here, exit status $status")
    fi
    end_stage
    echo >&2
    echo "Stages:" >&2
    [ ${#durations[@]} -eq 0 ] || printf '  %s\n' "${durations[@]}" >&2
    instruction_sets_checked >&2
    if [ ${#retries[@]} -gt 0 ]; then
        echo "Window checks run again after a fault outside the program (more than one fails the run):" >&2
        printf '  %s\n' "${retries[@]}" >&2
        [ ${#retries[@]} -le 1 ] || failed+=("${#retries[@]} window checks run again")
    fi
    local listed=("${skipped[@]}")
    if [ ${#needs_root[@]} -gt 0 ]; then
        # Named once each, however many stages skipped them.
        local entry line="" names=()
        for entry in "${needs_root[@]}"; do
            [[ " ${names[*]} " == *" ${entry%%|*} "* ]] && continue
            names+=("${entry%%|*}")
            line+="${line:+; }${entry%%|*} (${entry#*|})"
        done
        echo "Not run without root, ${#needs_root[@]} times in all (as root they run): $line" >&2
        listed=()
        for entry in "${skipped[@]}"; do
            [[ " ${names[*]} " == *" ${entry#*: } "* ]] || listed+=("$entry")
        done
    fi
    if [ ${#skipped[@]} -gt 0 ]; then
        if [ "$allow_skips" = 1 ]; then
            [ ${#listed[@]} -eq 0 ] || echo "Skipped tests (allowed by OMBRASTEL_ALLOW_SKIPS=1):" >&2
        else
            [ ${#listed[@]} -eq 0 ] || echo "Skipped tests (each one fails the run; OMBRASTEL_ALLOW_SKIPS=1 lets them pass):" >&2
            failed+=("${#skipped[@]} skipped tests")
        fi
        [ ${#listed[@]} -eq 0 ] || printf '  %s\n' "${listed[@]}" >&2
    fi
    local elapsed failed_text
    elapsed=$(minutes_and_seconds "$SECONDS")
    if [ ${#failed[@]} -gt 0 ]; then
        failed_text=$(printf '%s, ' "${failed[@]}")
        echo "FAILED after $elapsed: ${failed_text%, }" >&2
    else
        echo "All test stages passed in $elapsed." >&2
    fi
    echo "Tests: $passed_count passed, $failed_count failed, ${#skipped[@]} skipped" >&2
    [ ${#failed[@]} -eq 0 ] && [ "$status" -eq 0 ] || exit 1
    exit 0
}
trap summary EXIT

stage "Debian packages"
# Every list: building, the tests' libraries, the test runs, the cross-builds.
ensure_debian_packages $(packages_in scripts/packages-*.txt)

stage "Windows program, cross-built with MinGW-w64"
configure_and_build build-windows all -- -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_TOOLS=OFF || true

# The tests run as many at a time as there are processors: each window
# check has a server, a scratch folder and, where it needs one, an IPC
# namespace of its own, and the Wine checks take turns with one prefix.
stage "Native build: unit, tool, soak and end-to-end tests"
if configure_and_build build all -- -DOMBRASTEL_WINDOWS_EXE="$PWD/build-windows/app/ombrastel.exe"; then
    run_tests "tests" build -j "$jobs"
fi

# ARM64: what only the emulated processor can show. The whole-frame
# comparisons of every engine against the scalar version (label frames) and
# the soak are the native stage's: the same sources, drawing the same bits,
# and the golden frames that run here pin the ARM64 pictures to them.
stage "ARM64: cross-built; unit, golden-frame, kernel, tool, package and window tests under qemu"
if configure_and_build build-arm64 all -- -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake; then
    run_tests "ARM64 under qemu" build-arm64 -LE 'soak|frames' -j "$jobs"
fi

# WebAssembly: the core's tests, the whole-frame comparisons and the golden
# frames under node (no emulator: they take seconds), the snapshot tool's
# digests, and the web page in headless Chromium and Firefox. The soak is the
# native stage's, and so are the checks of the sources and documents, which
# are the same files.
stage "WebAssembly: built with emscripten; unit, whole-frame, golden-frame and tool tests under node, the web page in headless Chromium and Firefox"
if configure_and_build build-wasm all -- -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-emscripten.cmake; then
    run_tests "WebAssembly" build-wasm -LE 'soak|source|docs' -j "$jobs"
fi

stage "Render workers of both engines under ThreadSanitizer"
if configure_and_build build-tsan worker_tests -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOMBRASTEL_APP=OFF -DOMBRASTEL_TOOLS=OFF -DOMBRASTEL_TOOL_AND_WINDOW_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread"; then
    TSAN_OPTIONS=halt_on_error=1 run_tests "thread sanitizer" build-tsan -L workers
fi

stage "The suite under AddressSanitizer and UndefinedBehaviorSanitizer"
# The Windows program's tests are left out: Wine runs the same unsanitized
# program again. The sanitizers look for faults of memory and arithmetic,
# which every frame of a kind meets alike: the whole-frame comparisons and
# the golden frames take every 4th of their sampled frames, still with every
# engine, instruction set, worker count and size, as under the emulator; and
# the soak, whose hundred thousand frames repeat the same few, is the native
# stage's, where it measures the memory of the program as it runs.
if configure_and_build build-asan all -- -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"; then
    # The suppressed leaks are not listed: the window checks read what the
    # program writes on standard error.
    OMBRASTEL_FRAME_STRIDE=4 ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/leaks.supp:print_suppressions=0" \
        run_tests "address and undefined-behaviour sanitizers" build-asan -E 'e2e_(windows|wine)' -LE soak -j "$jobs"
fi

stage "Fuzzing the rasterizing passes, the span kernels and the PNG reader"
# fuzz.sh builds build-fuzz, replays every stored input and fuzzes each
# target for a minute; the replays are then counted with the other tests.
scripts/fuzz.sh 60 || failed+=("fuzzing")
if [ -d build-fuzz/tests/fuzz ]; then
    run_tests "fuzz replay" build-fuzz/tests/fuzz
else
    failed+=("fuzz replay (fuzz.sh built no build-fuzz/tests/fuzz)")
fi
exit 0
