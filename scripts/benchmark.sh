#!/usr/bin/env bash
# Measures both engines with ombrastel-bench and prints the tables of docs/performance.md:
# every engine, instruction set and worker count, at 1910x1070 and 640x480.
# The configurations take turns, round after round, so that a disturbance of
# the machine falls on all of them alike; each figure is the median of its
# rounds. Run it on a quiet machine. Each run says on standard error what it
# measures, how far the whole is and how long it has taken.
#   scripts/benchmark.sh [rounds]     default 3
# The bench's JSON lines are kept in build-bench/benchmark.jsonl.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

rounds=${1:-3}
if ! [[ "$rounds" =~ ^[0-9]+$ ]] || [ "$rounds" -lt 1 ]; then
    echo "usage: scripts/benchmark.sh [rounds]  (a whole number, at least 1)" >&2
    exit 2
fi

build=build-bench
echo "benchmark.sh: building $build/tools/ombrastel-bench" >&2
configure_build "$build" -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_APP=OFF
cmake --build "$build" -j "$(build_jobs)" --target ombrastel-bench >/dev/null
bench="$build/tools/ombrastel-bench"

processors=$(nproc)
configurations=("--engine reference --workers 1" "--engine reference --workers 2"
                "--isa sse3 --workers 1" "--isa sse3 --workers $processors")
for wide in avx2 avx512; do
    if "$bench" --size 2x2 --frames 1 --warmup 0 --isa $wide >/dev/null 2>&1; then
        configurations+=("--isa $wide --workers 1" "--isa $wide --workers $processors")
    fi
done
sizes=(1910x1070 640x480)

results="$build/benchmark.jsonl"
: >"$results"
runs=$((rounds * ${#sizes[@]} * ${#configurations[@]}))
run=0
started=$SECONDS
for round in $(seq 1 "$rounds"); do
    for size in "${sizes[@]}"; do
        for configuration in "${configurations[@]}"; do
            run=$((run + 1))
            elapsed=$((SECONDS - started))
            printf 'benchmark.sh: run %d of %d (round %d of %d): %s %s; %d min %02d s so far\n' "$run" "$runs" \
                "$round" "$rounds" "$size" "$configuration" $((elapsed / 60)) $((elapsed % 60)) >&2
            # shellcheck disable=SC2086
            "$bench" --size "$size" $configuration 2>/dev/null | tail -n 1 >>"$results"
        done
    done
done

# The median of one field over the rounds of one size and configuration.
median() {  # size, engine, isa, workers, field
    local width=${1%x*} height=${1#*x}
    grep "\"width\":$width,\"height\":$height,\"engine\":\"$2\",\"workers\":$4,\"isa\":\"$3\"" "$results" |
        sed -n "s/.*\"$5\":\([-0-9.e+]*\).*/\1/p" | sort -g |
        awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

elapsed=$((SECONDS - started))
printf 'benchmark.sh: %d runs in %d min %02d s\n' "$runs" $((elapsed / 60)) $((elapsed % 60)) >&2

echo
echo "Processor: $(sed -n '/^model name/{s/^model name[[:space:]]*: //p;q;}' /proc/cpuinfo), $processors processors;" \
    "medians of $rounds rounds"
echo
echo "| Frame | Engine | ISA | Workers | Frames/s | ms/frame median | 95th pct. | Clearing ms | Transform ms |" \
    "Depth pre-pass ms | Shading ms | Workers' wall ms | Pixels shaded/s | Peak resident KiB |"
echo "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
for size in "${sizes[@]}"; do
    for configuration in "${configurations[@]}"; do
        read -r engine isa workers < <(echo "$configuration" |
            awk '{ e = "fast"; i = "avx2"; w = 0
                   for (k = 1; k <= NF; k += 2) { if ($k == "--engine") e = $(k+1); if ($k == "--isa") i = $(k+1); if ($k == "--workers") w = $(k+1) }
                   if (e == "reference") i = "sse3"; print e, i, w }')
        row="| ${size/x/ × } | $engine | $isa | $workers"
        for field in fps ms_per_frame_median ms_per_frame_p95 clearing_ms_per_frame \
            transform_and_projection_ms_per_frame depth_pre_pass_ms_per_frame shading_pass_ms_per_frame \
            workers_ms_per_frame pixels_shaded_per_second peak_resident_kib; do
            value=$(median "$size" "$engine" "$isa" "$workers" "$field")
            case $field in
            fps) value=$(printf '%.1f' "$value") ;;
            pixels_shaded_per_second) value=$(awk -v v="$value" 'BEGIN { printf "%.1f M", v / 1e6 }') ;;
            peak_resident_kib) value=$(printf '%.0f' "$value") ;;
            *) [ "$value" = - ] || value=$(printf '%.3f' "$value") ;;
            esac
            row+=" | $value"
        done
        echo "$row |"
    done
done

echo
for size in "${sizes[@]}"; do
    reference_two=$(median "$size" reference sse3 2 fps)
    reference_one=$(median "$size" reference sse3 1 fps)
    best=$(echo "${configurations[-1]}" | awk '{ print $2 }')
    fast_all=$(median "$size" fast "$best" "$processors" fps)
    fast_one=$(median "$size" fast "$best" 1 fps)
    awk -v s="$size" -v a="$fast_all" -v r="$reference_two" -v o="$fast_one" -v q="$reference_one" -v n="$processors" -v i="$best" \
        'BEGIN { printf "%s: fast (%s, %d workers) %.2f times the reference engine with its two workers; one worker %.2f times one\n", s, i, n, a / r, o / q }'
done
