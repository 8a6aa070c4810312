#!/usr/bin/env bash
# Measures the web page's fast engine, WebAssembly in headless Chromium
# (the page's benchmark mode, scripts/benchmark_web.js), against the native
# build's fast engine with SSE3 (ombrastel-bench --isa sse3), both with the
# ieee arithmetic and 2 workers, at 1910x1070 and 640x480. The two take
# turns, round after round, so that a disturbance of the machine falls on
# both alike; each figure printed at the end is the median of its rounds.
# Run it on a quiet machine.
#   scripts/benchmark_web.sh [rounds]     default 5
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

rounds=${1:-5}
if ! [[ "$rounds" =~ ^[0-9]+$ ]] || [ "$rounds" -lt 1 ]; then
    echo "usage: scripts/benchmark_web.sh [rounds]  (a whole number, at least 1)" >&2
    exit 2
fi

echo "benchmark_web.sh: building build-bench/tools/ombrastel-bench and the web page in build-wasm/web" >&2
configure_build build-bench -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_APP=OFF
cmake --build build-bench -j "$(build_jobs)" --target ombrastel-bench >/dev/null
configure_build build-wasm -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-emscripten.cmake
cmake --build build-wasm -j "$(build_jobs)" --target ombrastel-page-threads >/dev/null

# Frames measured at each size, after 60 that are not: about as long at both.
declare -A frames=([1910x1070]=600 [640x480]=1824)
sizes=(1910x1070 640x480)

fps_of() { sed -n 's/.*"fps":\([0-9.e+]*\).*/\1/p'; }
declare -A native web
for round in $(seq 1 "$rounds"); do
    for size in "${sizes[@]}"; do
        # The order changes every round.
        for side in $( ((round % 2)) && echo "native web" || echo "web native"); do
            if [ "$side" = native ]; then
                figure=$(build-bench/tools/ombrastel-bench --isa sse3 --estimates ieee --workers 2 --size "$size" \
                    --frames "${frames[$size]}" 2>/dev/null | tail -n 1 | fps_of)
                native[$size]+="$figure "
            else
                figure=$(node scripts/benchmark_web.js build-wasm/web "$size" "${frames[$size]}" | fps_of)
                web[$size]+="$figure "
            fi
            [ -n "$figure" ] || { echo "benchmark_web.sh: the $side run at $size gave no figure" >&2; exit 1; }
            echo "benchmark_web.sh: round $round of $rounds, $size, $side: $figure frames/s" >&2
        done
    done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
echo "Processor: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sort -u | paste -sd ';'), $(nproc) processors;" \
    "load average at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '%-10s %22s %22s %8s\n' "size" "native SSE3, frames/s" "Chromium wasm, frames/s" "ratio"
for size in "${sizes[@]}"; do
    n=$(median <<<"${native[$size]}")
    w=$(median <<<"${web[$size]}")
    printf '%-10s %22.1f %22.1f %8.2f\n' "$size" "$n" "$w" "$(awk -v n="$n" -v w="$w" 'BEGIN { print w / n }')"
done
echo "(medians of $rounds rounds; fast engine, 2 workers, ieee arithmetic; Chromium $(chromium --version 2>/dev/null | sed -n 's/^Chromium \([0-9.]*\).*/\1/p'))"
