#!/usr/bin/env bash
# Measures the window programs' frames/s against ombrastel-bench's: the
# Linux program on a 1920x1080 Xvfb screen, presenting through shared memory
# and, on a screen without MIT-SHM, by copying, and under sway (headless,
# 1920x1080, WAYLAND_DISPLAY alone) through wl_shm buffers; the Windows
# program under Wine on the Xvfb screen; the bench at their frame size,
# 1910x1070. Every
# one with the fast engine on every processor and the widest instruction
# set. The cases take turns, round after round, so that a disturbance of the
# machine falls on all of them alike; each figure is the median of its
# rounds. Run it on a quiet machine.
#   scripts/window-benchmark.sh [seconds] [rounds]     default 10 s, 3 rounds
# Environment:
#   WINDOW_BENCHMARK_CASES   the cases, of: bench linux-shared linux-copying
#                            linux-wayland windows, and any of the window
#                            cases with -before (default: bench
#                            linux-shared linux-copying linux-wayland
#                            windows; windows only where Wine and the
#                            MinGW-w64 cross-compiler are)
#   OMBRASTEL_BENCH, OMBRASTEL_LINUX_PROGRAM, OMBRASTEL_WINDOWS_PROGRAM
#                            programs to measure instead of building them
#                            (another build, an older one)
#   OMBRASTEL_BEFORE_LINUX_PROGRAM, OMBRASTEL_BEFORE_WINDOWS_PROGRAM
#                            the programs of the -before cases: an earlier
#                            build, measured in turn with this one
# Each window program runs `seconds` with --timing and is then ended by
# Escape; its --timing lines are kept in build-window-bench/timing.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

seconds=${1:-10}
rounds=${2:-3}
if ! [[ "$seconds" =~ ^[0-9]+$ && "$rounds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ] || [ "$rounds" -lt 1 ]; then
    echo "usage: scripts/window-benchmark.sh [seconds] [rounds]  (whole numbers, at least 1)" >&2
    exit 2
fi
for tool in Xvfb xdotool; do
    command -v $tool >/dev/null || { echo "window-benchmark.sh: $tool is needed (scripts/packages-test.txt)" >&2; exit 1; }
done

build=build-window-bench
work=$(mktemp -d "${TMPDIR:-/tmp}/ombrastel-window-bench.XXXXXX")
xvfb_pid=""
program_pid=""
cleanup() {
    # What is already gone is no failure of the measurement (wineserver -k
    # with no server running, say).
    set +e
    declare -F compositor_stop >/dev/null && { compositor_stop || :; }
    [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null && wait "$program_pid" 2>/dev/null
    [ -n "${WINESERVER:-}" ] && [ -n "${WINEPREFIX:-}" ] && "$WINESERVER" -k 2>/dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

cases=${WINDOW_BENCHMARK_CASES:-bench linux-shared linux-copying linux-wayland windows}
if [[ " $cases " == *" linux-wayland"* ]]; then
    for tool in sway swaymsg jq wtype; do
        command -v $tool >/dev/null || { echo "window-benchmark.sh: $tool is needed (scripts/packages-test.txt)" >&2; exit 1; }
    done
    source tests/e2e/compositor.sh
fi
wine_loader=""
for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] && { wine_loader=$candidate; break; }
done
if [[ " $cases " == *" windows"* ]] && [ -z "${OMBRASTEL_WINDOWS_PROGRAM:-}" ]; then
    if [ -z "$wine_loader" ] || ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
        echo "window-benchmark.sh: no Wine or no MinGW-w64: the Windows program is left out" >&2
        cases=${cases/windows/}
    fi
fi

if [ -z "${OMBRASTEL_BENCH:-}" ] || [ -z "${OMBRASTEL_LINUX_PROGRAM:-}" ]; then
    echo "window-benchmark.sh: building $build" >&2
    configure_build "$build" -DOMBRASTEL_TESTS=OFF
    cmake --build "$build" -j "$(build_jobs)" --target ombrastel ombrastel-bench >/dev/null
fi
bench=${OMBRASTEL_BENCH:-$build/tools/ombrastel-bench}
linux_program=${OMBRASTEL_LINUX_PROGRAM:-$build/app/ombrastel}
windows_program=${OMBRASTEL_WINDOWS_PROGRAM:-}
if [[ " $cases " == *" windows"* ]]; then
    if [ -z "$windows_program" ]; then
        echo "window-benchmark.sh: building build-windows" >&2
        configure_build build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
            -DOMBRASTEL_TESTS=OFF -DOMBRASTEL_TOOLS=OFF
        cmake --build build-windows -j "$(build_jobs)" >/dev/null
        windows_program=build-windows/app/ombrastel.exe
    fi
    export WINE_LOADER=$wine_loader WINESERVER=$(command -v wineserver) WINEPREFIX=$PWD/$build/wineprefix
    export WINEDEBUG=-all
    mkdir -p "$build"
    [ -f "$WINEPREFIX/system.reg" ] || bash tests/e2e/wine_prefix.sh >&2
fi

# Starts a 1920x1080 screen (Xvfb's further options given); sets DISPLAY.
# -noreset, as display managers run X: a server that resets when its last
# client leaves refuses, meanwhile, the next one to connect.
start_screen() {
    : >"$work/display"
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -noreset -nolisten tcp -s 0 "$@" 3>"$work/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    local tries=0
    until [ -s "$work/display" ]; do
        tries=$((tries + 1))
        [ $tries -le 200 ] || { echo "window-benchmark.sh: Xvfb did not start" >&2; exit 1; }
        sleep 0.1
    done
    export DISPLAY=":$(sed -n 1p "$work/display")"
}

stop_screen() {
    [ -n "${WINESERVER:-}" ] && "$WINESERVER" -k 2>/dev/null && "$WINESERVER" -w 2>/dev/null
    kill "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
}

# Runs a window program for `seconds` from its window's appearance, ends it
# with Escape and appends its --timing line, tagged with the case, to
# timing.txt.
run_window() {  # case, program runner...
    local name=$1
    shift
    "$@" --timing >"$work/out" 2>"$work/err" &
    program_pid=$!
    local window=""
    window=$(timeout 120 xdotool search --sync --onlyvisible --name '^Ombrastel, press space' 2>/dev/null | sed -n 1p) ||
        { echo "window-benchmark.sh: $name showed no window: $(cat "$work/err")" >&2; exit 1; }
    sleep "$seconds"
    xdotool windowfocus --sync "$window" key Escape
    wait "$program_pid" || { echo "window-benchmark.sh: $name ended with an error: $(cat "$work/err")" >&2; exit 1; }
    program_pid=""
    tr -d '\r' <"$work/out" | sed -n "s/^ombrastel: /$name /p" >>"$results/timing.txt"
}

# The same under sway, its window looked for in sway's tree and its Escape
# typed by wtype.
run_wayland_window() {  # case, program
    local name=$1 staged
    compositor_start sway || { echo "window-benchmark.sh: sway: $compositor_error" >&2; exit 1; }
    staged=$(compositor_stage "$2") || { echo "window-benchmark.sh: $compositor_error" >&2; exit 1; }
    compositor_spawn "$work/out" "$work/err" "$staged" --timing
    local pid=$compositor_spawned_pid
    compositor_wait_window "$pid" 120 ||
        { echo "window-benchmark.sh: $name: $compositor_error: $(cat "$work/err")" >&2; exit 1; }
    sleep "$seconds"
    compositor_keys "$pid" Escape || { echo "window-benchmark.sh: $name: $compositor_error" >&2; exit 1; }
    compositor_wait_exit "$pid" 120 && [ "$compositor_exit_status" -eq 0 ] ||
        { echo "window-benchmark.sh: $name ended with an error: $(cat "$work/err")" >&2; exit 1; }
    compositor_stop || :
    sed -n "s/^ombrastel: /$name /p" "$work/out" >>"$results/timing.txt"
}

results=$PWD/$build
mkdir -p "$results"
: >"$results/timing.txt"
: >"$results/bench.jsonl"
started=$SECONDS
for round in $(seq 1 "$rounds"); do
    for name in $cases; do
        elapsed=$((SECONDS - started))
        printf 'window-benchmark.sh: round %d of %d: %s; %d min %02d s so far\n' "$round" "$rounds" "$name" \
            $((elapsed / 60)) $((elapsed % 60)) >&2
        linux=$linux_program
        windows_exe=$windows_program
        if [[ $name == *-before ]]; then
            linux=${OMBRASTEL_BEFORE_LINUX_PROGRAM:?the -before cases need OMBRASTEL_BEFORE_LINUX_PROGRAM}
            [[ $name == windows* ]] &&
                windows_exe=${OMBRASTEL_BEFORE_WINDOWS_PROGRAM:?windows-before needs OMBRASTEL_BEFORE_WINDOWS_PROGRAM}
        fi
        case ${name%-before} in
        bench) "$bench" --size 1910x1070 2>/dev/null | tail -n 1 >>"$results/bench.jsonl" ;;
        linux-shared)
            start_screen
            run_window "$name" "$linux"
            stop_screen
            ;;
        linux-copying)
            start_screen -extension MIT-SHM
            run_window "$name" "$linux"
            stop_screen
            ;;
        linux-wayland) run_wayland_window "$name" "$linux" ;;
        windows)
            start_screen
            run_window "$name" "$WINE_LOADER" "$windows_exe"
            stop_screen
            ;;
        *) echo "window-benchmark.sh: no case \"$name\"" >&2; exit 2 ;;
        esac
    done
done

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median over the rounds of one figure of a case's --timing lines: the
# number before `pattern`.
timing_median() {  # case, pattern
    sed -n "s/^$1 .*[ (]\([0-9.]*\) $2.*/\1/p" "$results/timing.txt" | median
}

bench_fps=$(sed -n 's/.*"fps":\([0-9.e+]*\).*/\1/p' "$results/bench.jsonl" | median)
echo
echo "Processor: $(sed -n '/^model name/{s/^model name[[:space:]]*: //p;q;}' /proc/cpuinfo), $(nproc) processors;" \
    "medians of $rounds rounds of $seconds s"
echo
echo "| Case | Frames/s | Of the bench's | ms/frame | Presenting | Waiting for the display | Waiting for the workers |" \
    "Beginning frames | Events | The rest | Presented through |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
for name in $cases; do
    if [ "$name" = bench ]; then
        echo "| bench 1910 × 1070 | $(printf '%.1f' "$bench_fps") | 1.00 | $(awk -v f="$bench_fps" 'BEGIN { printf "%.3f", 1000 / f }') | | | | | | | |"
        continue
    fi
    fps=$(timing_median "$name" 'frames\/s')
    way=$(sed -n "s/^$name .*presented through \([^:]*\):.*/\1/p" "$results/timing.txt" | sed -n 1p)
    row="| $name | $fps | $(awk -v a="$fps" -v b="$bench_fps" 'BEGIN { if (b > 0 && a != "-") printf "%.2f", a / b; else print "-" }')"
    row+=" | $(timing_median "$name" 'ms per frame')"
    for part in 'ms presenting' 'ms waiting for the display' 'ms waiting for the workers' 'ms beginning frames' \
        'ms handling events' 'ms the rest'; do
        row+=" | $(timing_median "$name" "$part")"
    done
    echo "$row | ${way:--} |"
done
