#!/usr/bin/env bash
# Fuzzes the rasterizing passes, the span kernels and the PNG reader: builds
# the libFuzzer targets in build-fuzz (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer), replays each one's seed corpus and every kept
# regression input, then fuzzes each for a bounded time on a scratch copy of
# its seed corpus, as many targets at a time as there are processors.
#   fuzz_passes   the depth pre-pass and the shading walk on one face
#   fuzz_kernels  the span kernels against the walk's own per-pixel steps
#   fuzz_png      the PNG reader, on any file (ombrastel-snapshot --find)
#   scripts/fuzz.sh [seconds]     default 60, for each target
# Exits non-zero on any finding; the input that found it is left in
# build-fuzz/fuzz-artifacts/NAME/.
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
cmake --build "$build" -j 2 --target fuzz_passes fuzz_kernels fuzz_png >/dev/null

artifacts="$build/fuzz-artifacts"
rm -rf "$artifacts"
mkdir -p "$artifacts"

# The report of a finding: from the first error line on.
show_finding() {
    local log=$1 first
    first=$(grep -n -m 1 -E 'ERROR: |runtime error|fuzz_[a-z]+: |deadly signal|timeout' "$log" | cut -d: -f1 || true)
    if [ -n "$first" ]; then
        sed -n "$((first > 5 ? first - 5 : 1)),$((first + 40))p" "$log" >&2
    else
        tail -n 40 "$log" >&2
    fi
}

# fuzz NAME SEED-DIRECTORY [REGRESSION-DIRECTORY] MAX-LEN
fuzz() {
    local name=$1 seeds=$2 regressions=$3 max_len=$4
    local target="$build/tests/fuzz/fuzz_$name" scratch="$build/fuzz-corpus-$name" log="$build/fuzz-$name.log"
    local artifacts="$artifacts/$name"  # of this target alone: others fuzz beside it
    rm -rf "$scratch"
    mkdir -p "$scratch" "$artifacts"
    cp "$seeds"/* "$scratch"/
    local inputs=("$seeds")
    if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
        inputs+=("$regressions")
    fi
    # Each stored input once: the seeds and every input that once found a fault.
    "$target" -runs=0 -artifact_prefix="$artifacts/" "${inputs[@]}" >"$log" 2>&1 || {
        show_finding "$log"
        echo "fuzz_$name: a stored input fails (log: $log)" >&2
        return 1
    }
    local status=0
    "$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" "$scratch" >>"$log" 2>&1 || status=$?
    echo "fuzz_$name:"
    grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true
    grep -E 'stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
    if [ "$status" -ne 0 ] || [ -n "$(ls -A "$artifacts")" ]; then
        show_finding "$log"
        echo "fuzz_$name: finding after fuzzing; input kept in $artifacts (log: $log)" >&2
        return 1
    fi
    echo "fuzz_$name: no finding in ${seconds} s"
}

# As many targets at a time as there are processors, each fuzzing on one of
# its own for the whole time; each one's report is printed whole, in the
# targets' order, once it has ended.
targets=(
    "passes tests/fuzz/corpus tests/fuzz/regressions 96"
    "kernels tests/fuzz/kernels_corpus tests/fuzz/kernels_regressions 512"
    "png tests/fuzz/png_corpus tests/fuzz/png_regressions 4096"
)
at_once=$(build_jobs)
failures=0
for ((first = 0; first < ${#targets[@]}; first += at_once)); do
    pids=()
    for ((t = first; t < first + at_once && t < ${#targets[@]}; ++t)); do
        read -r -a target <<<"${targets[t]}"
        fuzz "${target[@]}" >"$build/fuzz-${target[0]}.report" 2>&1 &
        pids+=($!)
    done
    for ((t = first; t < first + ${#pids[@]}; ++t)); do
        read -r -a target <<<"${targets[t]}"
        wait "${pids[t - first]}" || failures=$((failures + 1))
        cat "$build/fuzz-${target[0]}.report"
    done
done
[ "$failures" -eq 0 ]
