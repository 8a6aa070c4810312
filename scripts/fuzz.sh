#!/usr/bin/env bash
# Fuzzes the depth pre-pass and the shading walk: builds the libFuzzer target
# in build-fuzz (clang, AddressSanitizer and UndefinedBehaviorSanitizer),
# replays the seed corpus and every kept regression input, then fuzzes for a
# bounded time on a scratch copy of the seed corpus.
#   scripts/fuzz.sh [seconds]     default 60
# Exits non-zero on any finding; the input that found it is left in
# build-fuzz/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
    echo "usage: scripts/fuzz.sh [seconds]  (a whole number of seconds, at least 1)" >&2
    exit 2
fi

build=build-fuzz
configure_build "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOMBRASTEL_FUZZ=ON -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_TOOLS=OFF -DOMBRASTEL_APP=OFF
cmake --build "$build" -j 2 --target fuzz_passes >/dev/null

target="$build/tests/fuzz/fuzz_passes"
artifacts="$build/fuzz-artifacts"
scratch="$build/fuzz-corpus"
log="$build/fuzz.log"
rm -rf "$artifacts" "$scratch"
mkdir -p "$artifacts" "$scratch"
cp tests/fuzz/corpus/* "$scratch"/

# The report of a finding: from the first error line on.
show_finding() {
    local first
    first=$(grep -n -m 1 -E 'ERROR: |runtime error|fuzz_passes: |deadly signal|timeout' "$log" | cut -d: -f1 || true)
    if [ -n "$first" ]; then
        sed -n "$((first > 5 ? first - 5 : 1)),$((first + 40))p" "$log" >&2
    else
        tail -n 40 "$log" >&2
    fi
}

inputs=(tests/fuzz/corpus)
if [ -d tests/fuzz/regressions ] && [ -n "$(ls -A tests/fuzz/regressions)" ]; then
    inputs+=(tests/fuzz/regressions)
fi
# Each stored input once: the seeds and every input that once found a fault.
"$target" -runs=0 -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1 || {
    show_finding
    echo "fuzz: a stored input fails (log: $log)" >&2
    exit 1
}

status=0
"$target" -max_total_time="$seconds" -max_len=96 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$scratch" >>"$log" 2>&1 || status=$?

grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
if [ "$status" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
    show_finding
    echo "fuzz: finding after fuzzing; input kept in $artifacts (log: $log)" >&2
    exit 1
fi
echo "fuzz: no finding in ${seconds} s"
