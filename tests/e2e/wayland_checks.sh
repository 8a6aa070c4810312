#!/usr/bin/env bash
# The Linux program under a real Wayland compositor, as a desktop without X
# runs it: WAYLAND_DISPLAY alone set, no DISPLAY and no Xwayland. The
# compositor (tests/e2e/compositor.sh) is started headless by the check,
# its window looked at with grim, typed at with wtype, and the program ended.
#
#   wayland_checks.sh CHECK
#
#   picture       sway, 1920x1080: the window is 1910x1070 at the output's
#                 top-left corner, presented through wl_shm buffers; Space
#                 switches to idle, where no pause finds a frame being drawn;
#                 screenshots equal headless frames (ieee, SHA-256 against
#                 the frame's digest and the golden one where the golden
#                 file keeps it) and change from one to the next; Escape ends
#                 it with status 0
#   scaled        sway, 1920x1080 device pixels at scale 2: the frame is
#                 1910x1070 device pixels in a window of 955x535 units, shown
#                 1:1 (a screenshot of the output's pixels equals a headless
#                 frame)
#   frozen        sway stopped (SIGSTOP) under a program at full speed: the
#                 program ends with status 1, saying that no buffer came
#                 back, without a signal or a hang
#   gone          sway killed under the program: status 1 and a reason
#   weston        weston's headless backend, whose lack of an input seat
#                 SDL's Wayland driver does not survive: the program fails
#                 its start with "Startup failed." and a reason naming it,
#                 with SDL_VIDEODRIVER unset and with it set to wayland;
#                 never a signal
#   nothing       WAYLAND_DISPLAY naming no compositor: "Startup failed."
#                 and a reason naming it
#
# Environment: OMBRASTEL_PROGRAM (the program), SNAPSHOT_TOOL, GOLDEN_FRAMES.
# Exit status: 0 passed, 1 failed, 77 skipped (a tool missing).
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=compositor.sh
source "$here/compositor.sh"

check=${1:-}
program=${OMBRASTEL_PROGRAM:-}
snapshot=${SNAPSHOT_TOOL:-}
work=$(mktemp -d)
pid=""

say() { echo "[wayland/$check] $*"; }
fail() {
    echo "FAILED: $*"
    local file
    for file in "$work/program.err" "$work/program.out"; do
        [ -s "$file" ] && printf -- '--- %s:\n%s\n' "${file##*/}" "$(tail -n 20 "$file")"
    done
    exit 1
}
skip() {
    echo "SKIPPED: $*"
    exit 77
}
cleanup() {
    compositor_stop
    rm -rf "$work"
}
trap cleanup EXIT

[ -n "$program" ] && [ -x "$program" ] || skip "the window program (OMBRASTEL_PROGRAM) is not built"
[ -n "$snapshot" ] && [ -x "$snapshot" ] || skip "the snapshot tool (SNAPSHOT_TOOL) is not built"

# Under AddressSanitizer: the libraries SDL's Wayland driver loads while it
# runs (libdecor and its plugin, libxkbcommon) keep memory past SDL_Quit and
# are unloaded before the leak check, which can then name neither them nor
# their callers. Here memory errors are looked for, not leaks: the X11 window
# checks and the unit tests look for those.
if [[ $(ldd "$program") == *libasan* ]]; then
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
    say "AddressSanitizer build: memory errors checked, leaks not (SDL's Wayland libraries are unloaded before the leak check)"
fi

# Starts the program as the compositor's client; sets pid.
start_program() {
    local staged
    staged=$(compositor_stage "$program") || fail "$compositor_error"
    compositor_spawn "$work/program.out" "$work/program.err" "$staged" "$@" || fail "$compositor_error"
    pid=$compositor_spawned_pid
}

# expect_exit SECONDS STATUS WHAT
expect_exit() {
    compositor_wait_exit "$pid" "$1" || fail "$3: $compositor_error"
    [ "$compositor_exit_status" -eq "$2" ] || fail "$3: exit status $compositor_exit_status, wanted $2"
}

# The SHA-256 of a picture's pixels as the frames' digests take them: blue,
# green, red and a zero byte a pixel, rows from the top.
picture_digest() {
    local digest
    digest=$(convert "$1" -alpha set -channel A -evaluate set 0 +channel -depth 8 bgra:- | sha256sum) || return 1
    echo "${digest%% *}"
}

# expect_headless_frame PICTURE SIZE: the picture is a headless ieee frame
# of that size, by the frame's digest and the golden one; prints the frame.
expect_headless_frame() {
    local picture=$1 size=$2 frame shown headless golden
    frame=$("$snapshot" --estimates ieee --size "$size" --find "$picture" --max 200000 2>/dev/null) ||
        return 1
    shown=$(picture_digest "$picture") || fail "the digest of $picture could not be taken"
    headless=$("$snapshot" --estimates ieee --size "$size" --frames "$frame" --digest 2>/dev/null)
    headless=${headless#* }
    [ "$shown" = "$headless" ] || fail "${picture##*/}'s SHA-256 $shown is not frame $frame's digest $headless"
    golden=$(awk -v size="$size" -v frame="$frame" '$1 == size && $2 == frame { print $3 }' "${GOLDEN_FRAMES:-/dev/null}")
    if [ -n "$golden" ]; then
        [ "$shown" = "$golden" ] || fail "${picture##*/}'s SHA-256 $shown is not the golden digest $golden of frame $frame"
        say "${picture##*/} is frame $frame, its golden digest too"
    else
        say "${picture##*/} is frame $frame (SHA-256 $shown, the headless frame's)"
    fi
    echo "$frame" >"$work/frame"
}

# True once the window shows anything but black, which every frame does.
shows_a_frame() {
    compositor_screenshot "$work/first.png" && [ "$(convert "$work/first.png" -format '%[max]' info:)" != 0 ]
}

check_picture() {
    command -v convert >/dev/null 2>&1 || skip "convert (imagemagick) is not installed"
    compositor_start sway || fail "sway: $compositor_error"
    start_program --estimates ieee --timing
    compositor_wait_window "$pid" 60 || fail "$compositor_error"
    say "window at $compositor_window_rect, floating: $compositor_window_floating"
    [ "$compositor_window_rect" = "0,0 1910x1070" ] ||
        fail "the window's content is $compositor_window_rect, not 1910x1070 at the output's top-left corner"
    compositor_poll 60 shows_a_frame || fail "the window stayed black for a minute"
    # Idle: the picture changes more slowly, and the frame numbers the
    # headless search counts up to stay small.
    compositor_keys "$pid" space || fail "$compositor_error"
    local shot matched=0
    for shot in 1 2 3; do
        compositor_screenshot "$work/shot$shot.png" || fail "$compositor_error"
    done
    compositor_keys "$pid" Escape || fail "$compositor_error"
    expect_exit 60 0 "Escape"

    local report
    report=$(grep -m1 ' frames shown, ' "$work/program.out") || fail "--timing printed nothing"
    [[ $report == *"presented through Wayland shared-memory buffers (wl_shm):"* ]] ||
        fail "not presented through wl_shm buffers: $report"
    local pauses drawing
    pauses=$(sed -n 's/.*; \([0-9]*\) idle pauses, \([0-9]*\) of them with a frame being drawn;.*/\1 \2/p' <<<"$report")
    [ -n "$pauses" ] || fail "--timing gave no idle pauses: $report"
    drawing=${pauses#* }
    pauses=${pauses% *}
    [ "$pauses" -gt 0 ] || fail "Space did not switch to idle: no idle pause ($report)"
    [ "$drawing" -eq 0 ] || fail "$drawing of $pauses idle pauses had a frame being drawn"
    say "Space: $pauses idle pauses, none with a frame being drawn; Escape: status 0"

    for shot in 1 2 3; do
        if expect_headless_frame "$work/shot$shot.png" 1910x1070; then
            matched=$((matched + 1))
        else
            say "shot$shot.png matches no headless frame"
        fi
    done
    [ "$matched" -gt 0 ] || {
        cp "$work/shot1.png" "${E2E_ARTIFACTS:-$PWD}/wayland-picture-shot1.png" 2>/dev/null
        fail "no screenshot equals a headless frame (kept wayland-picture-shot1.png)"
    }
    if cmp -s "$work/shot1.png" "$work/shot2.png" && cmp -s "$work/shot2.png" "$work/shot3.png"; then
        fail "three screenshots a moment apart show the same picture"
    fi
    say "$matched of 3 screenshots are headless frames; the picture changes"
}

check_scaled() {
    command -v convert >/dev/null 2>&1 || skip "convert (imagemagick) is not installed"
    compositor_start sway 2 || fail "sway: $compositor_error"
    start_program --estimates ieee --timing
    compositor_wait_window "$pid" 60 || fail "$compositor_error"
    [ "$compositor_window_rect" = "0,0 955x535" ] ||
        fail "the window's content is $compositor_window_rect, not 955x535 units at the output's top-left corner"
    compositor_poll 60 shows_a_frame || fail "the window stayed black for a minute"
    compositor_keys "$pid" space || fail "$compositor_error"
    compositor_screenshot "$work/shot.png" || fail "$compositor_error"
    compositor_keys "$pid" Escape || fail "$compositor_error"
    expect_exit 60 0 "Escape"
    local size
    size=$(convert "$work/shot.png" -format '%wx%h' info:) || fail "the screenshot cannot be read"
    [ "$size" = 1910x1070 ] || fail "the screenshot of the window is $size device pixels, not 1910x1070"
    expect_headless_frame "$work/shot.png" 1910x1070 || fail "the screenshot at scale 2 equals no headless frame"
}

check_frozen() {
    compositor_start sway || fail "sway: $compositor_error"
    start_program --timing
    compositor_wait_window "$pid" 60 || fail "$compositor_error"
    compositor_poll 60 shows_a_frame || fail "the window stayed black for a minute"
    kill -STOP "$compositor_pid"
    say "sway stopped"
    # Ten seconds without a release, then the program says so.
    compositor_wait_exit "$pid" 60 || {
        kill -CONT "$compositor_pid"
        fail "a minute after sway stopped: $compositor_error"
    }
    kill -CONT "$compositor_pid"
    [ "$compositor_exit_status" -eq 1 ] || fail "exit status $compositor_exit_status after sway stopped, wanted 1"
    grep -q "^ombrastel: frames can no longer be shown: " "$work/program.err" ||
        fail "no reason on standard error after sway stopped"
    say "status 1: $(grep -m1 '^ombrastel: frames' "$work/program.err")"
}

check_gone() {
    compositor_start sway || fail "sway: $compositor_error"
    start_program --timing
    compositor_wait_window "$pid" 60 || fail "$compositor_error"
    compositor_poll 60 shows_a_frame || fail "the window stayed black for a minute"
    kill -KILL "$compositor_pid"
    say "sway killed"
    compositor_wait_exit "$pid" 60 || fail "a minute after sway went: $compositor_error"
    [ "$compositor_exit_status" -eq 1 ] || fail "exit status $compositor_exit_status after sway went, wanted 1"
    [ -s "$work/program.err" ] || fail "no reason on standard error after sway went"
    say "status 1: $(head -n 1 "$work/program.err")"
}

check_weston() {
    compositor_start weston || fail "weston: $compositor_error"
    local staged driver status
    staged=$(compositor_stage "$program") || fail "$compositor_error"
    for driver in "" wayland; do
        status=0
        "${compositor_as_user[@]}" SDL_VIDEODRIVER="$driver" "$staged" >"$work/program.out" 2>"$work/program.err" \
            </dev/null || status=$?
        [ "$status" -eq 1 ] || fail "under weston (SDL_VIDEODRIVER \"$driver\"): exit status $status, wanted 1"
        grep -qx "Startup failed." "$work/program.err" || fail "under weston: no \"Startup failed.\""
        grep -q 'offers no input seat (wl_seat)' "$work/program.err" ||
            fail "under weston: the reason does not name the missing seat: $(sed -n 2p "$work/program.err")"
        say "SDL_VIDEODRIVER \"$driver\": $(sed -n 2p "$work/program.err")"
    done
}

check_nothing() {
    compositor_start sway || fail "sway: $compositor_error"
    local staged status=0
    staged=$(compositor_stage "$program") || fail "$compositor_error"
    "${compositor_as_user[@]}" WAYLAND_DISPLAY=wayland-none "$staged" >"$work/program.out" 2>"$work/program.err" \
        </dev/null || status=$?
    [ "$status" -eq 1 ] || fail "with WAYLAND_DISPLAY naming nothing: exit status $status, wanted 1"
    grep -qx "Startup failed." "$work/program.err" || fail "no \"Startup failed.\""
    grep -q 'the Wayland display "wayland-none" (WAYLAND_DISPLAY) could not be opened' "$work/program.err" ||
        fail "the reason does not name WAYLAND_DISPLAY's display: $(sed -n 2p "$work/program.err")"
    say "$(sed -n 2p "$work/program.err")"
}

case $check in
picture | scaled | frozen | gone | weston | nothing) "check_$check" ;;
*)
    echo "wayland_checks.sh: no check \"$check\"" >&2
    exit 2
    ;;
esac
