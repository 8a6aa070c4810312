#!/usr/bin/env bash
# Measures the web page's fast engine, WebAssembly in headless Chromium and
# in headless Firefox (the page's benchmark mode, scripts/benchmark_web.js),
# against the native build's fast engine with SSE3 (ombrastel-bench --isa
# sse3), all with the ieee arithmetic and 2 workers, at 1910x1070 and
# 640x480 (the page after 3 s of frames in which the browser puts in its
# optimised code, docs/web.md). The three take turns, round after round,
# each round in another order, so that a disturbance of the machine falls
# on all alike; each figure printed at the end is the median of its rounds,
# and each ratio the browser's median over the native one. Run it on a
# quiet machine.
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
sides=(native chromium firefox)

fps_of() { sed -n 's/.*"fps":\([0-9.e+]*\).*/\1/p'; }
declare -A figures versions
for round in $(seq 1 "$rounds"); do
    for size in "${sizes[@]}"; do
        # Each round starts with the next side: native, Chromium, Firefox
        # first in turn.
        for i in 0 1 2; do
            side=${sides[$(((round + i) % 3))]}
            if [ "$side" = native ]; then
                line=$(build-bench/tools/ombrastel-bench --isa sse3 --estimates ieee --workers 2 --size "$size" \
                    --frames "${frames[$size]}" 2>/dev/null | tail -n 1)
            else
                line=$(node scripts/benchmark_web.js "$side" build-wasm/web "$size" "${frames[$size]}")
                versions[$side]=$(sed -n 's/.*"browser":"\([^"]*\)".*/\1/p' <<<"$line")
            fi
            figure=$(fps_of <<<"$line")
            [ -n "$figure" ] || { echo "benchmark_web.sh: the $side run at $size gave no figure" >&2; exit 1; }
            figures[$side,$size]+="$figure "
            echo "benchmark_web.sh: round $round of $rounds, $size, $side: $figure frames/s" >&2
        done
    done
done

median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v n="$1" -v w="$2" 'BEGIN { printf "%.2f", w / n }'; }
echo "Processor: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | sort -u | paste -sd ';')" \
    "(family $(sed -n 's/^cpu family[[:space:]]*: //p' /proc/cpuinfo | sort -u | paste -sd ';')," \
    "model $(sed -n 's/^model[[:space:]]*: //p' /proc/cpuinfo | sort -u | paste -sd ';')), $(nproc) processors;" \
    "load average at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '%-10s %14s %14s %8s %14s %8s\n' "size" "native SSE3" "Chromium" "ratio" "Firefox" "ratio"
for size in "${sizes[@]}"; do
    n=$(median <<<"${figures[native,$size]}")
    c=$(median <<<"${figures[chromium,$size]}")
    f=$(median <<<"${figures[firefox,$size]}")
    printf '%-10s %14.1f %14.1f %8s %14.1f %8s\n' "$size" "$n" "$c" "$(ratio "$n" "$c")" "$f" "$(ratio "$n" "$f")"
done
echo "(frames/s, medians of $rounds rounds; fast engine, 2 workers, ieee arithmetic; ${versions[chromium]}, ${versions[firefox]})"
