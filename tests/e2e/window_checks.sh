#!/usr/bin/env bash
# End-to-end checks of the running window program, on a private Xvfb screen.
#
#   window_checks.sh CHECK
#
# CHECK is one of
#   window      1920x1080 screen: the exact title, a 1910x1070 client area,
#               Space twice, 2000 pointer motions, then Escape ends it
#               with exit code 0
#   close       the window manager's delete request ends it with exit code 0
#   picture     330x250 screen: the client area, drawn by the fast engine
#               (under Wine with the widest of AVX-512 and AVX2 that the
#               processor has), equals, pixel for pixel, a frame the
#               headless reference engine produces; it keeps changing; drawn
#               with --estimates ieee, the same, and its SHA-256 is that
#               frame's digest
#   resilience  650x250 screen: minimised, then restored filled with a colour
#               of no frame, it puts its frame whole: a grab equals a headless
#               frame, inside the model's extent and outside it, and it goes on
#               drawing; a flood of Space presses leaves it answering Escape
#   no-display  without a display (the X11 video driver asked for) it says
#               "Startup failed." and why on standard error, first, and ends
#               with exit code 1; with DISPLAY naming a display where no
#               server runs, the reason names that display
#   no-display-fallback
#               without a display and without SDL_VIDEODRIVER it fails the
#               same way instead of rendering to SDL's off-screen driver;
#               with SDL_VIDEODRIVER=offscreen chosen by the user it runs
#   startup-failure
#               8x8 screen, too small for a frame: "Startup failed." and why
#               on standard error (the Windows program also in its message
#               box, which must be closed) and exit code 1; the native
#               program, its message box on the screen, ends with exit code 1
#               on SIGTERM and on SIGINT, and its box goes with it
#   options     --help, -h and --version answer without a window, exit code
#               0; the help, which a Windows program without a console shows
#               in a message box, speaks of no standard output or error; a
#               flag given twice and --isa auto with either engine are taken;
#               bad arguments: one line on standard error, exit code 2; the
#               Windows program started without a console shows either in a
#               message box
#   pacing      330x250 screen, --fps and --timing: a frame rate line a
#               second on standard error, at full speed and then idle, timed
#               against the seconds they took; idle, the loop pauses many
#               times and never with a frame being drawn
#   engines     330x250 screen: the reference engine and the fast engine with
#               three workers each draw the window, and --timing says so
#   no-buffers  8192x8192 screen, the program's address space limited so
#               that it loads and opens its window but cannot have the two
#               frame-sized buffers: "Startup failed.", a reason that names
#               their size, exit code 1
#   destroyed   (native) 330x250 screen: its window destroyed by another
#               client, the program ends with exit code 1
#   server-gone (native) 330x250 screen: the X server ends under the running
#               program, which ends with exit code 1 and says so
#   server-frozen
#               (native, shared images) 330x250 screen: the X server stops
#               answering (SIGSTOP); the program, which waits for its puts'
#               completions 10 s at most, ends with exit code 1 and says why
#   images      (native; OMBRASTEL_PROGRAM is shared_images_test) 330x250
#               screen: the fast engine's frames drawn into two shared
#               images and put reach a window whole and exact
#   segments    (native) in an IPC namespace of its own, with its own Xvfb:
#               the running program's two shared-memory images are already
#               marked for removal, and none is left once the program is
#               killed (SIGKILL, nothing of its own runs)
#
# The native program presents its frames the way OMBRASTEL_PRESENTING names,
# and the picture, pacing and engines checks read from --timing that it did:
#   shared      (the default) MIT-SHM images on a local Xvfb
#   copying     Xvfb without its MIT-SHM extension: SDL's window surface
#   remote      the display reached over TCP (127.0.0.1), where the server
#               cannot attach the program's shared memory: copying
#   refused     the program in an IPC namespace of its own whose system limit
#               refuses a segment the size of a frame: copying
#
# Environment (set by ctest):
#   OMBRASTEL_PROGRAM   the program to run
#   OMBRASTEL_LAUNCHER  native, or wine (then WINE_LOADER, WINESERVER and
#                       WINEPREFIX too)
#   X11_PROBE           tests/e2e/x11_probe
#   X11_PROBE_WHOLE_WINDOW  ON when x11_probe can grab a window reaching past
#                       the screen's edge (the Wine window does)
#   SNAPSHOT_TOOL       ombrastel-snapshot (picture only)
#   OMBRASTEL_BASELINE_ISA  the program's baseline instruction set: sse3, or
#                       neon for an ARM64 program
#   GOLDEN_FRAMES       tests/golden/frames.txt (picture only)
#   OMBRASTEL_PRESENTING  shared, copying, remote or refused (native only;
#                       see above)
#   OMBRASTEL_EMULATED  1 when the program is a cross-build's, run under
#                       qemu's user-mode emulation: it draws many times
#                       slower, and its address space is the emulator's
#
# Exit status: 0 passed, 1 failed, 77 skipped (a tool it needs is missing).
set -uo pipefail

readonly skip_status=77
readonly outside_fault_status=75
readonly startup_failed_status=1
readonly title="Ombrastel, press space -> speed - full/idle "
check=${1:-}
launcher=${OMBRASTEL_LAUNCHER:-native}
program=${OMBRASTEL_PROGRAM:-}
emulated=${OMBRASTEL_EMULATED:-0}
presenting=${OMBRASTEL_PRESENTING:-shared}

# A check of the Linux program that fails in a way proven to be outside the
# program (fail below tells which) is run once more; the retry is written to
# $E2E_ARTIFACTS/retries.txt, which ./test.sh names in its summary (more
# than one in a run fails it). A second such failure, or any other, ends the
# check.
retries_file=${E2E_ARTIFACTS:-.}/retries.txt
if [ "$launcher" = native ] && [ -z "${OMBRASTEL_ATTEMPT:-}" ]; then
    status=0
    fault_note=$(mktemp "${TMPDIR:-/tmp}/ombrastel-e2e-fault.XXXXXX")
    OMBRASTEL_ATTEMPT=1 OMBRASTEL_FAULT_NOTE=$fault_note bash "$0" "$@" || status=$?
    reason=$(cat "$fault_note")
    rm -f "$fault_note"
    [ "$status" -eq "$outside_fault_status" ] || exit "$status"
    echo "$check/$launcher/$presenting: run again after a fault outside the program: $reason" >>"$retries_file"
    echo "[$check] the first attempt failed outside the program (above): $reason; the check runs again, once"
    status=0
    OMBRASTEL_ATTEMPT=2 bash "$0" "$@" || status=$?
    if [ "$status" -eq "$outside_fault_status" ]; then
        echo "FAILED: $check: a fault outside the program twice in a row" >&2
        exit 1
    fi
    exit "$status"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ombrastel-e2e.XXXXXX")
xvfb_pid=""
program_pid=""

say() { echo "[$check/$launcher${OMBRASTEL_PRESENTING:+/$presenting}] $*"; }
skip() { echo "SKIPPED: $*"; exit "$skip_status"; }
fail() {
    echo "FAILED: $*" >&2
    if [ -s "$work/program.err" ]; then
        echo "--- the program's standard error:" >&2
        tail -n 20 "$work/program.err" >&2
    fi
    if [ "$launcher" = native ] && outside_fault; then
        echo "--- not the program's fault: $outside_fault_seen" >&2
        [ -z "${OMBRASTEL_FAULT_NOTE:-}" ] || echo "$outside_fault_seen" >"$OMBRASTEL_FAULT_NOTE"
        exit "$outside_fault_status"
    fi
    exit 1
}

# Whether the failure is proven to be outside the program; sets
# outside_fault_seen. Two faults are:
# - SDL finding its X11 driver "not available" (or about to fall back to its
#   off-screen driver) while the X server answers another client right
#   after: the server was up, yet SDL could not open it;
# - under qemu's user-mode emulation only, the process that SDL forks for a
#   message box deadlocking in the emulator before it shows the box, while
#   the program waits for it.
box_process_stuck=no
outside_fault_seen=""
outside_fault() {
    case $check in
    no-display | no-display-fallback) ;;
    *)
        if [ -n "$xvfb_pid" ] && [ -s "$work/program.err" ] &&
            grep -qE 'SDL: x11 not available|SDL would fall back to its "offscreen"' "$work/program.err" &&
            xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
            outside_fault_seen="SDL's X11 driver did not start, and the X server $DISPLAY answered xdpyinfo right after"
            return 0
        fi
        ;;
    esac
    if [ "$emulated" = 1 ] && [ "$box_process_stuck" = yes ]; then
        outside_fault_seen="the message box's process never showed the box (in the emulator)"
        return 0
    fi
    return 1
}

# The processes the program started (SDL's message box), by process id.
children_of() {
    cat /proc/"$1"/task/*/children 2>/dev/null
}

stop_wine() {
    # Ends every process of this test's Wine prefix (the program, and the
    # desktop process Wine started for it on this screen), so that the next
    # test starts a fresh one on its own screen.
    if [ "$launcher" = wine ] && [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        "$WINESERVER" -k >/dev/null 2>&1
        "$WINESERVER" -w >/dev/null 2>&1
    fi
}

cleanup() {
    if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
        # A box's process that hangs would outlive the program.
        local child
        for child in $(children_of "$program_pid"); do kill -KILL "$child" 2>/dev/null; done
        kill "$program_pid" 2>/dev/null
        wait "$program_pid" 2>/dev/null
    fi
    stop_wine
    if [ -n "$xvfb_pid" ]; then
        kill -CONT "$xvfb_pid" 2>/dev/null
        kill "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

need_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (Debian: see scripts/packages-test.txt)"
    done
}

# Polls `command...` until it succeeds or `seconds` have passed.
wait_until() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

# The X server runs with -noreset, as a display manager runs one under a
# session: otherwise it resets whenever its last client leaves, and a client
# that connects meanwhile (the program, right after a probe) fails.
start_screen() {
    local size=$1
    # What the way of presenting adds to -noreset.
    local options
    case $presenting in
    copying) options=(-nolisten tcp -extension MIT-SHM) ;;
    remote) options=(-listen tcp) ;;
    *) options=(-nolisten tcp) ;;
    esac
    : >"$work/display"
    Xvfb -noreset -displayfd 3 -screen 0 "${size}x24" "${options[@]}" -s 0 3>"$work/display" >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    wait_until 20 test -s "$work/display" || fail "Xvfb did not start: $(tail -n 5 "$work/xvfb.log")"
    # The server's own command line: a change above that lost -noreset
    # fails here.
    local running
    running=" $(tr '\0' ' ' <"/proc/$xvfb_pid/cmdline")"
    [[ $running == *" -noreset "* ]] || fail "Xvfb runs without -noreset:$running"
    export DISPLAY=":$(head -n 1 "$work/display")"
    # The probe and xdotool stay on the local connection; only the program
    # is sent over the network.
    program_display=$DISPLAY
    [ "$presenting" = remote ] && program_display="127.0.0.1$DISPLAY"
    say "Xvfb $size on $DISPLAY (-noreset ${options[*]})"
}

# The native program's way of being started: in an IPC namespace whose
# limit refuses a frame-sized segment, for `refused`.
native_launch=()
prepare_presenting() {
    [ "$launcher" = native ] || return 0
    case $presenting in
    shared | copying | remote) ;;
    refused)
        need_tools unshare
        # 4096 bytes: the largest segment that may be had.
        unshare --ipc sh -c 'echo 4096 >/proc/sys/kernel/shmmax' 2>/dev/null ||
            skip "no IPC namespace of its own with a lower shared-memory limit can be had here (unshare --ipc needs root)"
        native_launch=(unshare --ipc sh -c 'echo 4096 >/proc/sys/kernel/shmmax && exec "$@"' launch)
        ;;
    *) fail "OMBRASTEL_PRESENTING is \"$presenting\": shared, copying, remote or refused" ;;
    esac
}

# Starts the program in the background with the given arguments.
start_program() {
    case $launcher in
    native) env ${program_display:+"DISPLAY=$program_display"} "${native_launch[@]}" "$program" "$@" \
        >"$work/program.out" 2>"$work/program.err" & ;;
    wine) "$WINE_LOADER" "$program" "$@" >"$work/program.out" 2>"$work/program.err" & ;;
    esac
    program_pid=$!
}

# --timing's line names the way the frames were presented: the one that
# OMBRASTEL_PRESENTING asks for.
expect_presenting_way() {
    local what=$1 report wanted
    report=$(cat "$work/program.out")
    case $launcher/$presenting in
    wine/*) wanted='presented through GDI' ;;
    native/shared) wanted='presented through X shared-memory images:' ;;
    native/copying) wanted="presented through SDL's window surface \(a copy\), not shared memory: the X server has no MIT-SHM extension:" ;;
    native/remote) wanted="presented through SDL's window surface \(a copy\), not shared memory: the X server could not attach shared memory: BadAccess" ;;
    native/refused) wanted="presented through SDL's window surface \(a copy\), not shared memory: no shared memory segment of [0-9]+ bytes could be had" ;;
    esac
    grep -qE -- "$wanted" <<<"$report" || fail "$what: --timing does not say /$wanted/: $report"
    say "$what: ${report#*presented through }"
}

# Runs the program to its end with the given arguments; sets run_status,
# and leaves its output in program.out and program.err.
run_program() {
    run_status=0
    case $launcher in
    native) "$program" "$@" >"$work/program.out" 2>"$work/program.err" </dev/null || run_status=$? ;;
    wine) "$WINE_LOADER" "$program" "$@" >"$work/program.out" 2>"$work/program.err" </dev/null || run_status=$? ;;
    esac
    # A Windows program ends its lines with CR LF.
    sed -i 's/\r$//' "$work/program.out" "$work/program.err"
}

program_running() { kill -0 "$program_pid" 2>/dev/null; }

# Waits for the program to end by itself and checks its exit code.
expect_exit_code_0() {
    local seconds=$1 what=$2
    wait_until "$seconds" eval '! program_running' ||
        fail "$what: the program was still running after ${seconds} s"
    wait "$program_pid"
    local status=$?
    program_pid=""
    [ "$status" -eq 0 ] || fail "$what: exit code $status, wanted 0"
    say "$what: exit code 0"
}

# The frame the program sizes for a screen side: less 10, down to an even number.
frame_side() { echo $((($1 - 10) / 2 * 2)); }

# Waits for the program to end after a failed start-up and checks its exit
# code. A message box titled "Error" that shows on the screen meanwhile is
# closed, as a user would; message_box_seen says whether one did. (The
# native program's box needs fonts the X server may lack; standard error
# tells the same in any case.)
expect_startup_failure() {
    local seconds=$1 what=$2
    local deadline=$((SECONDS + seconds)) box
    message_box_seen=no
    while program_running; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            [ "$message_box_seen" = no ] && grep -qx "Startup failed." "$work/program.err" &&
                [ -n "$(children_of "$program_pid")" ] && box_process_stuck=yes
            fail "$what: the program was still running after ${seconds} s"
        fi
        if [ "$message_box_seen" = no ] && [ -n "${DISPLAY:-}" ] && box=$("$X11_PROBE" find "Error" 100); then
            message_box_seen=yes
            say "$what: message box \"Error\" shown; closing it"
            "$X11_PROBE" delete "$box" || fail "$what: cannot close the message box"
        fi
        sleep 0.1
    done
    wait "$program_pid"
    local status=$?
    program_pid=""
    [ "$status" -eq "$startup_failed_status" ] ||
        fail "$what: exit code $status, wanted $startup_failed_status"
    say "$what: exit code $status"
}

# The report of a failed start-up on standard error: "Startup failed.",
# then one line with the reason, which must match the extended regular
# expression `reason`.
expect_failure_report() {
    local what=$1 reason=$2 line
    # A Windows program ends its lines with CR LF.
    sed -i 's/\r$//' "$work/program.err"
    grep -qx "Startup failed." "$work/program.err" || fail "$what: standard error does not say \"Startup failed.\""
    # The program's first line; a sanitizer's own report of a refused
    # allocation (==PID==...), in the sanitizers' build, is not the program's.
    local first
    first=$(grep -v -m 1 '^==[0-9]*==' "$work/program.err")
    [ "$first" = "Startup failed." ] || fail "$what: standard error starts with \"$first\", not \"Startup failed.\""
    line=$(sed -n '/^Startup failed\.$/{n;p;q;}' "$work/program.err")
    [ -n "$line" ] || fail "$what: no reason after \"Startup failed.\""
    grep -qE -- "$reason" <<<"$line" || fail "$what: the reason \"$line\" does not match /$reason/"
    say "$what: \"Startup failed.\", then \"$line\""
}

find_window() {
    # A fresh Wine prefix session starts slowly; the native program shows its
    # window within a second.
    local timeout_ms=30000
    [ "$launcher" = wine ] && timeout_ms=120000
    window=$("$X11_PROBE" find "$title" "$timeout_ms") ||
        fail "no viewable window titled exactly \"$title\" appeared"
    program_running || fail "the program ended right after showing its window"
    say "window $window titled \"$title\""
}

expect_client_area() {
    local screen_width=$1 screen_height=$2
    local width height x y
    read -r width height x y < <("$X11_PROBE" geometry "$window") || fail "cannot read the window's geometry"
    local want_width want_height
    want_width=$(frame_side "$screen_width")
    want_height=$(frame_side "$screen_height")
    [ "$width" -eq "$want_width" ] && [ "$height" -eq "$want_height" ] ||
        fail "client area ${width}x${height}, wanted ${want_width}x${want_height}"
    # Without a window manager the native window's client area is the X
    # window itself, placed where the program asked: the top-left corner.
    # Wine puts its own non-client area (caption and border) above and left
    # of it.
    if [ "$launcher" = native ]; then
        [ "$x" -eq 0 ] && [ "$y" -eq 0 ] || fail "client area at ($x, $y), wanted (0, 0)"
    fi
    say "client area ${width}x${height} at ($x, $y)"
}

# Keyboard input goes to the window with the input focus; Wine needs it.
press() {
    xdotool windowfocus --sync "$window" >/dev/null 2>&1 || fail "cannot give the window the input focus"
    xdotool key --delay 0 "$@" || fail "xdotool could not press $*"
}

# The program must stay up for a moment; and, unless minimised, keep its
# window on the screen.
expect_still_running() {
    local what=$1 i
    for i in $(seq 1 10); do
        program_running || fail "$what: the program ended"
        sleep 0.1
    done
    if [ "${2:-}" != minimised ]; then
        "$X11_PROBE" viewable "$window" || fail "$what: the window is gone"
    fi
    say "$what: still running"
}

check_window() {
    need_tools Xvfb xdotool
    start_screen 1920x1080
    start_program --timing
    find_window
    expect_client_area 1920 1080

    press space
    press space
    expect_still_running "Space pressed twice"

    # Under the emulator a frame takes a fifth of a second.
    local motions=2000
    [ "$emulated" = 1 ] && motions=100
    "$X11_PROBE" motions "$window" $motions || fail "cannot move the pointer"
    expect_still_running "$motions pointer motions"

    press Escape
    # The Windows program takes its messages one per frame, the pointer's
    # among them, which the system merges; the Linux program has SDL drop
    # every event type it does not act on, so that no motion queues up ahead
    # of Escape.
    expect_exit_code_0 180 "Escape"
    if [ "$launcher" = native ]; then
        local handled
        handled=$(sed -n 's/.*; \([0-9]*\) events handled$/\1/p' "$work/program.out")
        [ -n "$handled" ] || fail "--timing printed no count of events: $(cat "$work/program.out")"
        [ "$handled" -lt 100 ] || fail "$handled events handled for 4 keys and $motions pointer motions: the motions queued"
        say "$handled events handled for 4 keys and $motions pointer motions"
    fi
}

# The Windows program at 144 DPI (Wine takes its DPI from the registry): a
# program aware of each monitor's DPI sizes its window for that DPI, so that
# the client area is still exactly the frame, in pixels.
check_dpi() {
    [ "$launcher" = wine ] || fail "the DPI check is the Windows program's"
    need_tools Xvfb xdotool
    # The prefix is the Windows checks' own; this one changes a copy.
    cp -a "$WINEPREFIX" "$work/prefix" || fail "the Wine prefix could not be copied"
    export WINEPREFIX="$work/prefix"
    "$WINE_LOADER" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1 ||
        fail "LogPixels could not be set in the prefix's registry"
    # The registry reaches the prefix's files when its server ends.
    "$WINESERVER" -w
    awk '/^\[/ { key = index($0, "[Control Panel\\\\Desktop]") == 1 }
         key && /^"LogPixels"=dword:00000090$/ { found = 1 }
         END { exit !found }' "$WINEPREFIX/user.reg" || fail "the prefix's registry does not hold LogPixels 144"
    start_screen 1920x1080
    start_program
    find_window
    expect_client_area 1920 1080
    press Escape
    expect_exit_code_0 120 "Escape"
}

check_close() {
    need_tools Xvfb
    start_screen 1920x1080
    start_program
    find_window
    "$X11_PROBE" delete "$window" || fail "cannot send the delete request"
    expect_exit_code_0 60 "delete request"
}

# Grabs the client area three times, each once the picture has changed from
# the one before (within 30 s). At least one grab must be a frame of the
# headless renderer exactly.
# More than one grab: a grab is taken between two uploads of the program's
# picture, but a window layer is free to upload a frame in pieces.
# A second run draws with --estimates ieee: its grab must equal the headless
# ieee frame, and its SHA-256 (the bytes blue, green, red and a zero fourth
# byte) that frame's --digest, the form of the golden frames, and the golden
# digest of tests/golden/frames.txt; a grab past the frames it keeps is
# taken only if no other is a frame, and then the check skips, naming them.
check_picture() {
    need_tools Xvfb xdotool convert sha256sum
    [ -n "${SNAPSHOT_TOOL:-}" ] && [ -x "$SNAPSHOT_TOOL" ] || skip "the snapshot tool ombrastel-snapshot is not built"
    [ -n "${GOLDEN_FRAMES:-}" ] && [ -r "$GOLDEN_FRAMES" ] || fail "the golden frames (GOLDEN_FRAMES) cannot be read"
    if [ "$launcher" = wine ] && [ "${X11_PROBE_WHOLE_WINDOW:-OFF}" != ON ]; then
        skip "the Wine window's client area reaches past the screen's bottom edge; grabbing all of it needs x11_probe built with the X Composite extension (Debian: libxcomposite-dev)"
    fi
    start_screen 330x250
    # The fast engine draws the window; the headless frames it must equal
    # come from the reference engine. Under Wine the widest kernel this
    # processor can run is asked for by name, so that the Windows build's
    # AVX-512 or AVX2 code is what draws: a set is passed over only where
    # the snapshot tool refuses it for this processor, and that is said.
    local isa_args=()
    if [ "$launcher" = wine ]; then
        local wide refused
        for wide in avx512 avx2; do
            if refused=$("$SNAPSHOT_TOOL" --size 2x2 --isa $wide --frames 0 --digest 2>&1 >/dev/null); then
                isa_args=(--isa $wide)
                break
            fi
            [[ "$refused" == *"--isa $wide: this processor does not offer $wide"* ||
                "$refused" == *"--isa $wide: $wide cannot be used here with the x86 estimates"* ]] ||
                fail "the snapshot tool, asked whether $wide can draw here, failed: $refused"
            say "not $wide: ${refused#ombrastel-snapshot: }"
        done
        [ ${#isa_args[@]} -gt 0 ] || say "this processor can run neither avx512 nor avx2: the Windows build's sse3 kernel draws"
    fi
    # Both arithmetics on x86 (the native program's and the Windows one's);
    # on ARM64 the x86 estimates do not exist, and the tools refuse them.
    local refused
    if [ "${OMBRASTEL_BASELINE_ISA:-sse3}" = sse3 ]; then
        refused=$("$SNAPSHOT_TOOL" --size 2x2 --estimates x86 --frames 0 --digest 2>&1 >/dev/null) ||
            fail "the snapshot tool refuses the x86 arithmetic on x86: $refused"
        picture_run x86 "${isa_args[@]}"
    elif refused=$("$SNAPSHOT_TOOL" --size 2x2 --estimates x86 --frames 0 --digest 2>&1 >/dev/null); then
        fail "the snapshot tool takes the x86 arithmetic on ${OMBRASTEL_BASELINE_ISA}, which has none"
    else
        say "no x86 arithmetic on ${OMBRASTEL_BASELINE_ISA} (${refused#ombrastel-snapshot: }): the ieee picture alone"
    fi
    picture_run ieee "${isa_args[@]}" --estimates ieee
}

# True once the client area holds anything but black, which every frame
# does (the model is lit).
shows_a_frame() {
    "$X11_PROBE" grab "$window" "$work/first.png" >/dev/null 2>&1 &&
        [ "$(convert "$work/first.png" -format '%[max]' info:)" != 0 ]
}

# picture_run ARITHMETIC PROGRAM_ARGUMENTS...
picture_run() {
    local arithmetic=$1
    shift
    start_program "$@" --timing
    find_window
    # Idle pacing at once: the picture changes more slowly, and the frame
    # number the headless renderer has to count up to stays small, within
    # the golden frames.
    press space
    expect_client_area 330 250
    say "drawn with the fast engine $*"
    # A program slow to start (a fresh Wine session on a busy machine) may
    # show nothing yet but the window's background: the grabs wait for the
    # first frame on the screen.
    wait_until 60 shows_a_frame || fail "the client area stayed black for a minute"
    "$X11_PROBE" grab "$window" "$work/grab1.png" "$work/grab2.png" "$work/grab3.png" 2>"$work/probe.err" ||
        fail "three grabs of the client area, each once the picture had changed: $(cat "$work/probe.err")"
    press Escape
    expect_exit_code_0 60 "Escape"
    sed -i 's/\r$//' "$work/program.out"
    expect_presenting_way "$arithmetic arithmetic"

    # The last frame the golden digests of 320x240 keep.
    local golden_last
    golden_last=$(awk '$1 == "320x240" { last = $2 } END { print last }' "${GOLDEN_FRAMES:-/dev/null}")
    local matched=0 grab frame found_frame="" found_grab="" frames=""
    for grab in grab1 grab2 grab3; do
        if frame=$("$SNAPSHOT_TOOL" --engine reference --estimates "$arithmetic" --size 320x240 --find "$work/$grab.png"); then
            say "$grab.png is headless frame $frame ($arithmetic)"
            matched=$((matched + 1))
            frames+="${frames:+, }$frame"
            # The earliest frame the golden digests keep.
            if [ -z "$found_frame" ] && [ -n "$golden_last" ] && [ "$frame" -le "$golden_last" ]; then
                found_frame=$frame
                found_grab=$grab
            fi
        else
            say "$grab.png matches no headless frame ($arithmetic)"
        fi
    done
    if [ "$matched" -eq 0 ]; then
        mkdir -p "${E2E_ARTIFACTS:-$PWD}"
        cp "$work/grab1.png" "${E2E_ARTIFACTS:-$PWD}/picture-$launcher-$arithmetic-grab1.png"
        fail "no grab of the client area equals a frame of the headless reference engine with the $arithmetic arithmetic (kept picture-$launcher-$arithmetic-grab1.png)"
    fi
    # (Each grab was taken once the picture had changed from the one before.)
    [ "$arithmetic" = ieee ] || return 0
    if [ -z "$found_frame" ]; then
        [ -n "$golden_last" ] || fail "the golden frames (GOLDEN_FRAMES) hold no 320x240 frame"
        echo "SKIPPED: the ieee grabs are frames $frames, past the golden 320x240 frames (0..$golden_last): their SHA-256 was compared with no golden digest"
        exit "$skip_status"
    fi
    check_picture_digest "$found_grab" "$found_frame"
}

# check_picture_digest GRAB FRAME: the grab's SHA-256 against the headless
# frame's and the golden one.
check_picture_digest() {
    local grab=$1 frame=$2 shown headless golden
    shown=$(convert "$work/$grab.png" -alpha set -channel A -evaluate set 0 +channel -depth 8 bgra:- | sha256sum)
    shown=${shown%% *}
    headless=$("$SNAPSHOT_TOOL" --estimates ieee --size 320x240 --frames "$frame" --digest)
    headless=${headless#* }
    [ "$shown" = "$headless" ] || fail "$grab.png's SHA-256 $shown is not frame $frame's digest $headless"
    say "$grab.png's SHA-256 is frame $frame's digest $shown"
    golden=$(awk -v frame="$frame" '$1 == "320x240" && $2 == frame { print $3 }' "$GOLDEN_FRAMES")
    [ -n "$golden" ] || fail "the golden frames keep no digest of 320x240 frame $frame"
    [ "$shown" = "$golden" ] || fail "$grab.png's SHA-256 $shown is not the golden digest $golden of frame $frame"
    say "and the golden digest of frame $frame"
}

# The command line: --help, --version and bad arguments answer without a
# window, and the engine options are taken.
check_options() {
    run_program --version
    [ "$run_status" -eq 0 ] || fail "--version: exit status $run_status"
    grep -qx "ombrastel [0-9]*\.[0-9]*\.[0-9]*" "$work/program.out" || fail "--version printed: $(cat "$work/program.out")"
    run_program --help
    [ "$run_status" -eq 0 ] || fail "--help: exit status $run_status"
    local option
    for option in --engine --workers --isa --estimates --timing --fps --version; do
        grep -q -- "$option" "$work/program.out" || fail "--help does not mention $option"
    done
    ! grep -n "standard \(output\|error\)" "$work/program.out" ||
        fail "--help speaks of standard output or error, which a message box has not"
    cp "$work/program.out" "$work/help.out"
    run_program -h
    [ "$run_status" -eq 0 ] && cmp -s "$work/program.out" "$work/help.out" || fail "-h does not answer as --help does"
    say "--version, --help and -h answer"
    local good
    for good in "--timing --timing --version" "--fps --fps --version" "--engine reference --isa auto --version" \
        "--isa auto --engine fast --version"; do
        # shellcheck disable=SC2086
        run_program $good
        [ "$run_status" -eq 0 ] && [ ! -s "$work/program.err" ] ||
            fail "$good: exit status $run_status, standard error: $(cat "$work/program.err")"
    done
    say "a flag given twice, and --isa auto with either engine, are taken"
    local entry bad mention
    for entry in "--workers 0|--workers" "--workers 65|--workers" "--engine slow|--engine" "--isa avx1024|--isa" \
        "--engine reference --workers 3|--workers" "--engine reference --isa sse3|--isa" "--estimates exact|--estimates" "--bogus|--bogus" \
        "stray|stray" "--engine --workers 1|--engine needs a value" "--workers|--workers needs a value" \
        "--timing=1|--timing takes no value"; do
        bad=${entry%%|*}
        mention=${entry#*|}
        # shellcheck disable=SC2086
        run_program $bad
        [ "$run_status" -eq 2 ] || fail "$bad: exit status $run_status, wanted 2"
        [ "$(wc -l <"$work/program.err")" -eq 1 ] && grep -q "^ombrastel: " "$work/program.err" ||
            fail "$bad: standard error is not one line naming the program: $(cat "$work/program.err")"
        grep -qF -- "$mention" "$work/program.err" || fail "$bad: \"$(cat "$work/program.err")\" does not say \"$mention\""
    done
    say "bad arguments: exit status 2 and one line each, naming the cause"

    # Started by Windows' own start command, as from Explorer, the program
    # has no standard output: --help and bad arguments show in a message box
    # titled "Ombrastel", and closing it ends the program with their status.
    if [ "$launcher" = wine ]; then
        need_tools Xvfb
        # The runs above left a Wine session without a screen: its desktop
        # process would take the boxes, and none would show on this one.
        stop_wine
        start_screen 1024x768
        local entry arguments status box got
        for entry in "--help|0" "--engine slow|2"; do
            arguments=${entry%|*}
            status=${entry#*|}
            # shellcheck disable=SC2086
            "$WINE_LOADER" start /wait /unix "$program" $arguments >"$work/program.out" 2>"$work/program.err" </dev/null &
            program_pid=$!
            box=$("$X11_PROBE" find "Ombrastel" 60000) || fail "$arguments without a console: no message box titled \"Ombrastel\""
            "$X11_PROBE" delete "$box" || fail "$arguments: cannot close the message box"
            got=0
            wait "$program_pid" || got=$?
            program_pid=""
            [ "$got" -eq "$status" ] || fail "$arguments in a message box: exit status $got, wanted $status"
            say "$arguments without a console: a message box, exit status $status once closed"
        done
    fi
}

# Both engines run the window, a moment each, and say what they drew with.
check_engines() {
    need_tools Xvfb xdotool
    start_screen 330x250
    local entry arguments expected baseline=${OMBRASTEL_BASELINE_ISA:-sse3}
    for entry in "--engine reference --workers 1|reference engine, 1 worker, $baseline" \
        "--workers 3 --isa $baseline|fast engine, 3 workers, $baseline"; do
        arguments=${entry%%|*}
        expected=${entry#*|}
        # shellcheck disable=SC2086
        start_program $arguments --timing
        find_window
        expect_still_running "$arguments"
        press Escape
        expect_exit_code_0 60 "$arguments: Escape"
        sed -i 's/\r$//' "$work/program.out"
        grep -qF "frames shown, $expected:" "$work/program.out" ||
            fail "$arguments --timing printed: $(cat "$work/program.out")"
        expect_presenting_way "$arguments"
    done
}

# --timing's parts of the frame (presenting, waiting for the display and the
# workers, beginning frames, events, idle pauses, the rest) add up to the
# time per frame, to the rounding of its figures.
expect_parts_add_up() {
    local report=$1 whole parts
    whole=$(sed -n 's/.*: \([0-9.]*\) ms per frame (.*/\1/p' <<<"$report")
    parts=$(grep -oE '[0-9]+\.[0-9]+ ms (presenting|waiting for the display|waiting for the workers|beginning frames|handling events|in idle pauses|the rest)[,;]' <<<"$report" |
        cut -d ' ' -f 1)
    [ -n "$whole" ] && [ "$(wc -l <<<"$parts")" -eq 7 ] || fail "--timing's parts cannot be read: $report"
    awk -v whole="$whole" '{ sum += $1 } END { exit !(sum >= whole - 0.004 && sum <= whole + 0.004) }' <<<"$parts" ||
        fail "--timing's parts do not add up to its $whole ms per frame: $report"
    say "--timing's seven parts add up to its $whole ms per frame"
}

# The moment standard error first holds `count` frame rate lines of `mode`
# ("full speed" or "idle"), as $EPOCHREALTIME; looked for every 20 ms.
frame_rate_lines_at() {
    local mode=$1 count=$2 deadline=$((SECONDS + 30))
    until [ "$(grep -c "frames/s, $mode" "$work/program.err")" -ge "$count" ]; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.02
    done
    echo "$EPOCHREALTIME"
}

# The lines come a second apart: each once a second of frames has passed,
# so apart by a second and at most a frame more (the frame time is the
# line's own rate's reciprocal). Lines `first` to `last` of `mode`, seen at
# `since` and `until`, against the time between; half a second is allowed
# for the moments this check saw them at. Says how they kept the pace.
lines_keep_a_second() {
    local mode=$1 first=$2 last=$3 since=$4 until=$5 rates
    rates=$(sed -n "s/.*: \([0-9.]*\) frames\/s, $mode.*/\1/p" "$work/program.err" | sed -n "$((first + 1)),${last}p")
    awk -v intervals=$((last - first)) -v since="$since" -v until="$until" -v mode="$mode" -v first="$first" '
        { if (slowest == "" || $1 < slowest) slowest = $1 }
        END {
            elapsed = until - since
            most = intervals * (1 + 1 / slowest) + 0.5
            least = intervals - 0.5
            printf "%s lines %d to %d: %d seconds in %.2f s (a second each: %.2f to %.2f s)\n", mode, first, first + intervals,
                intervals, elapsed, least, most
            exit !(elapsed >= least && elapsed <= most)
        }' <<<"$rates" >"$work/pace"
}

# Three lines of `mode` at a second's pace, from the first one on. A program
# whose lines come at another pace is off in every window of three; a
# machine that stalls the program or this check for a moment, only in
# some: up to three windows are timed, each named, and one at the pace
# passes.
expect_a_line_a_second() {
    local mode=$1 first=1 since until window off=""
    since=$(frame_rate_lines_at "$mode" 1) || fail "no frame rate line ($mode)"
    for window in 1 2 3; do
        until=$(frame_rate_lines_at "$mode" $((first + 3))) || fail "fewer than $((first + 3)) frame rate lines ($mode) in 30 s"
        if lines_keep_a_second "$mode" "$first" $((first + 3)) "$since" "$until"; then
            say "$(cat "$work/pace")"
            return 0
        fi
        off+="${off:+; }$(cat "$work/pace")"
        say "off the pace: $(cat "$work/pace")"
        first=$((first + 3))
        since=$until
    done
    fail "the frame rate lines are not a second apart: $off"
}

# --fps at full speed and then idle: the lines against the time they took;
# and --timing's count of idle pauses: idle, nothing is drawn during a
# pause, so none may find a frame in progress.
check_pacing() {
    need_tools Xvfb xdotool
    start_screen 330x250
    start_program --fps --timing
    find_window
    expect_a_line_a_second "full speed"
    press space
    expect_a_line_a_second idle
    local idle_lines
    press Escape
    expect_exit_code_0 60 "Escape"
    sed -i 's/\r$//' "$work/program.out" "$work/program.err"
    # Standard error holds the frame rate lines and nothing else (Wine's
    # messages are switched off).
    local other
    other=$(grep -vE '^ombrastel: [0-9]+\.[0-9] frames/s, (full speed|idle)$' "$work/program.err")
    [ -z "$other" ] || fail "standard error holds more than frame rate lines: $other"
    idle_lines=$(grep -c "frames/s, idle$" "$work/program.err")
    say "$(grep -c "frames/s, full speed$" "$work/program.err") frame rate lines at full speed, $idle_lines idle"
    local report pauses drawing
    report=$(cat "$work/program.out")
    pauses=$(sed -n 's/.*; \([0-9]*\) idle pauses, [0-9]* of them with a frame being drawn; [0-9]* events handled$/\1/p' <<<"$report")
    drawing=$(sed -n 's/.*; [0-9]* idle pauses, \([0-9]*\) of them with a frame being drawn; [0-9]* events handled$/\1/p' <<<"$report")
    [ -n "$pauses" ] && [ -n "$drawing" ] || fail "--timing printed: $report"
    [ "$pauses" -ge 20 ] || fail "only $pauses idle pauses in more than two idle seconds: $report"
    [ "$drawing" -eq 0 ] || fail "$drawing of $pauses idle pauses had a frame being drawn: $report"
    say "$pauses idle pauses, none with a frame being drawn"
    expect_presenting_way "--timing"
    expect_parts_add_up "$report"
}

# The colour a restored window shows until the program puts its frame
# there: no frame has it (the model's colours never lack green where red
# and blue are full, and the rest of a frame is black).
readonly lost_colour=ff00ff

check_resilience() {
    need_tools Xvfb xdotool
    [ -n "${SNAPSHOT_TOOL:-}" ] && [ -x "$SNAPSHOT_TOOL" ] || skip "the snapshot tool ombrastel-snapshot is not built"
    # A frame twice as wide as it is high: the model, whose size follows the
    # frame's height, never reaches its left and right sixths (at 1000 x 240
    # no frame of the animation has a pixel left of column 240 or right of
    # 758), so a program that put only the model's extent there would leave
    # them showing what the window showed before, in every frame.
    start_screen 650x250
    start_program
    find_window

    "$X11_PROBE" iconify "$window" || fail "cannot minimise the window"
    wait_until 10 eval '! "$X11_PROBE" viewable "$window"' || fail "the window stayed on the screen"
    expect_still_running "minimised" minimised
    # Restored, the window holds nothing of what it showed: the server fills
    # it with a colour of no frame, and the program must put its next frame
    # whole, not only where the model is.
    "$X11_PROBE" restore "$window" "$lost_colour" || fail "cannot restore the window"
    wait_until 10 "$X11_PROBE" viewable "$window" || fail "the window did not come back"
    expect_still_running "restored"
    "$X11_PROBE" cleared "$window" "$lost_colour" 30000 2>"$work/probe.err" ||
        fail "restored, the window still shows the colour it was restored with where the program put nothing: $(cat "$work/probe.err")"
    "$X11_PROBE" grab "$window" "$work/after1.png" "$work/after2.png" 2>"$work/probe.err" ||
        fail "restored, two grabs of the client area, each once the picture had changed: $(cat "$work/probe.err")"
    # Every picture the animation shows: frame k is frame k + 29184 from the
    # zoom's second period (its 1475th frame) on.
    local grab frame found=""
    for grab in after1 after2; do
        if frame=$("$SNAPSHOT_TOOL" --size 640x240 --max 30657 --find "$work/$grab.png" 2>/dev/null); then
            found=$frame
            say "restored: $grab.png is headless frame $frame, inside the model's extent and outside it"
            break
        fi
    done
    if [ -z "$found" ]; then
        mkdir -p "${E2E_ARTIFACTS:-$PWD}"
        cp "$work/after1.png" "${E2E_ARTIFACTS:-$PWD}/resilience-$launcher-after1.png"
        fail "restored: no grab equals a headless frame (kept resilience-$launcher-after1.png)"
    fi

    # An even count, so the pacing ends where it started.
    press --repeat 2000 space
    expect_still_running "2000 Space presses"
    press Escape
    expect_exit_code_0 180 "Escape after the flood"
}

check_no_display() {
    [ "$launcher" = native ] || fail "only the native program opens its own display"
    unset DISPLAY
    env -u WAYLAND_DISPLAY SDL_VIDEODRIVER=x11 "$program" >"$work/program.out" 2>"$work/program.err" &
    program_pid=$!
    expect_startup_failure 30 "no display"
    expect_failure_report "no display" "^No display could be opened: DISPLAY is not set \(SDL: .+\)\.$"

    # A display where no X server runs is named.
    local number=99
    while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
    env -u WAYLAND_DISPLAY DISPLAY=":$number" SDL_VIDEODRIVER=x11 "$program" >"$work/program.out" 2>"$work/program.err" &
    program_pid=$!
    expect_startup_failure 30 "no server on :$number"
    expect_failure_report "no server on :$number" "^No display could be opened: the X display \":$number\" \(DISPLAY\) could not be opened"
}

check_no_display_fallback() {
    [ "$launcher" = native ] || fail "only the native program opens its own display"
    unset DISPLAY
    env -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER "$program" >"$work/program.out" 2>"$work/program.err" &
    program_pid=$!
    expect_startup_failure 30 "no display, no driver chosen"
    expect_failure_report "no display, no driver chosen" \
        '^No display: DISPLAY is not set, and WAYLAND_DISPLAY is not set; SDL would fall back to its "[a-z]+" video driver'

    local number=99
    while [ -e "/tmp/.X11-unix/X$number" ] || [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
    env -u WAYLAND_DISPLAY -u SDL_VIDEODRIVER DISPLAY=":$number" "$program" >"$work/program.out" 2>"$work/program.err" &
    program_pid=$!
    expect_startup_failure 30 "no server on :$number, no driver chosen"
    expect_failure_report "no server on :$number, no driver chosen" \
        "^No display: the X display \":$number\" \(DISPLAY\) could not be opened, and WAYLAND_DISPLAY is not set; SDL would fall back"

    # Asked for, the off-screen driver is the user's to have: the program
    # runs, and ends when asked to (SDL turns SIGTERM into its quit event).
    env -u WAYLAND_DISPLAY SDL_VIDEODRIVER=offscreen "$program" >"$work/program.out" 2>"$work/program.err" &
    program_pid=$!
    local i
    for i in $(seq 1 20); do
        program_running || fail "SDL_VIDEODRIVER=offscreen chosen: the program ended"
        sleep 0.1
    done
    say "SDL_VIDEODRIVER=offscreen chosen: still running"
    kill -TERM "$program_pid"
    expect_exit_code_0 30 "SIGTERM to the off-screen run"
}

check_startup_failure() {
    need_tools Xvfb
    start_screen 8x8
    start_program
    expect_startup_failure 120 "8x8 screen"
    expect_failure_report "8x8 screen" "^The screen, 8 x 8 pixels, gives no frame"
    if [ "$launcher" = wine ]; then
        [ "$message_box_seen" = yes ] || fail "8x8 screen: no message box titled \"Error\" showed"
        return 0
    fi
    # With nobody to close the box, SIGTERM or SIGINT ends the program, as
    # they end it while it runs: exit code 1, soon, and the box (which SDL
    # shows from a process of its own) goes too. A program started in the
    # background by a shell would ignore SIGINT from the start; env gives it
    # back its default.
    local signal box ended status
    native_launch=(env --default-signal=INT)
    for signal in TERM INT; do
        start_program
        if ! box=$("$X11_PROBE" find "Error" 30000); then
            [ -n "$(children_of "$program_pid")" ] && box_process_stuck=yes
            fail "SIG$signal: no message box titled \"Error\" showed (the X fonts of xfonts-base are needed)"
        fi
        say "SIG$signal: message box $box on the screen"
        kill -"$signal" "$program_pid"
        ended=no
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            program_running || { ended=yes; break; }
            sleep 0.1
        done
        [ "$ended" = yes ] || fail "SIG$signal: the program was still running a second after it"
        status=0
        wait "$program_pid" || status=$?
        program_pid=""
        [ "$status" -eq "$startup_failed_status" ] ||
            fail "SIG$signal with the message box up: exit code $status, wanted $startup_failed_status"
        wait_until 10 eval '! "$X11_PROBE" viewable "$box"' || fail "SIG$signal: the message box stayed on the screen"
        say "SIG$signal with the message box up: exit code $status within a second, and the box is gone"
    done
    native_launch=()
}

# Waits for the program to end by itself and checks that it failed as a
# program does, with exit code 1: not 0, and not killed by a signal.
expect_exit_code_1() {
    local seconds=$1 what=$2 status=0
    wait_until "$seconds" eval '! program_running' || fail "$what: the program was still running after ${seconds} s"
    wait "$program_pid" || status=$?
    program_pid=""
    [ "$status" -eq 1 ] || fail "$what: exit code $status, wanted 1"
    say "$what: exit code 1"
}

# Another client destroys the window: nothing can be shown any more, and the
# program ends, with an X error's report, rather than draw for nobody or
# hang waiting for a put that never completes.
check_destroyed() {
    [ "$launcher" = native ] || fail "only the native program's window is an X window of its own"
    need_tools Xvfb
    start_screen 330x250
    start_program --timing
    find_window
    "$X11_PROBE" destroy "$window" || fail "cannot destroy the window"
    expect_exit_code_1 30 "window destroyed"
    grep -q . "$work/program.err" || fail "window destroyed: nothing on standard error says why the program ended"
    say "window destroyed: \"$(sed -n 1p "$work/program.err")\""
}

# The X server ends under the running program: it ends too, saying so.
check_server_gone() {
    [ "$launcher" = native ] || fail "only the native program's display connection is its own"
    need_tools Xvfb
    start_screen 330x250
    start_program
    find_window
    # A write to the server as it ends raises SIGPIPE: not ignored, the
    # signal ends the program unexplained whenever the server goes while a
    # frame is being put, as it now and then does below.
    local ignored
    ignored=$(sed -n 's/^SigIgn:[[:space:]]*//p' "/proc/$program_pid/status")
    [ -n "$ignored" ] && (((16#$ignored >> (13 - 1)) & 1)) ||
        fail "the program does not ignore SIGPIPE (signals ignored: ${ignored:-none read})"
    kill "$xvfb_pid"
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
    expect_exit_code_1 30 "X server gone"
    grep -qF "ombrastel: the connection to the X display \"$program_display\" was lost." "$work/program.err" ||
        fail "X server gone: standard error does not say so: $(cat "$work/program.err")"
    say "X server gone: \"$(sed -n 1p "$work/program.err")\""
}

# The X server stops answering under the running program: no completion
# comes, and the program ends rather than wait for one forever.
check_server_frozen() {
    [ "$launcher" = native ] && [ "$presenting" = shared ] ||
        fail "only the native program's shared images wait for the server's completions"
    need_tools Xvfb
    start_screen 330x250
    start_program
    find_window
    # Frozen before the program is past its start-up, the server would hold
    # it in a call that waits for the server's answer, as it would hold SDL:
    # a frame on the screen says the program is in its loop.
    need_tools convert
    wait_until 60 shows_a_frame || fail "the client area stayed black for a minute"
    kill -STOP "$xvfb_pid"
    local status=0
    wait_until 60 eval '! program_running' || status=$?
    kill -CONT "$xvfb_pid"
    [ "$status" -eq 0 ] || fail "X server frozen: the program was still running after 60 s"
    expect_exit_code_1 10 "X server frozen"
    grep -qF "ombrastel: frames can no longer be shown: the X server did not finish showing a frame within" \
        "$work/program.err" || fail "X server frozen: standard error does not say why: $(cat "$work/program.err")"
    say "X server frozen: \"$(sed -n 1p "$work/program.err")\""
}

# The shared images under the fast engine, a test program of their own.
check_images() {
    need_tools Xvfb
    start_screen 330x250
    XVFB_PID=$xvfb_pid "$program" >"$work/program.out" 2>&1 || { cat "$work/program.out"; fail "shared_images_test failed"; }
    sed -n 's/^\[  PASSED  \] /passed: /p' "$work/program.out"
}

# In an IPC namespace of its own, where every
# segment is this check's: the program's two images exist, marked for
# removal, while it runs; killed, it leaves none behind once the server has
# let go of them.
check_segments() {
    [ "$launcher" = native ] || fail "only the native program shares memory with the X server"
    need_tools Xvfb ipcs
    start_screen 330x250
    start_program
    find_window
    # The program makes its images as it starts presenting, which may come
    # just after its window shows: awaited, both made and marked for removal
    # (ipcs -m: key, id, owner, permissions, bytes, attached, status).
    wait_until 20 eval '[ "$(ipcs -m | awk '"'"'$2 ~ /^[0-9]+$/ && $5 == 320 * 240 * 4 && $7 == "dest"'"'"' | grep -c .)" -eq 2 ]' ||
        fail "not two frame-sized segments, both marked for removal, while running: $(ipcs -m)"
    say "two frame-sized segments, both marked for removal"
    kill -KILL "$program_pid"
    wait "$program_pid" 2>/dev/null
    program_pid=""
    wait_until 20 eval '[ -z "$(ipcs -m | awk '"'"'$2 ~ /^[0-9]+$/'"'"')" ]' ||
        fail "segments left after the program was killed: $(ipcs -m)"
    say "killed: no segment left"
}

check_no_buffers() {
    [ "$launcher" = native ] || fail "only the native program's address space can be limited here"
    need_tools Xvfb
    [ "$emulated" = 1 ] || need_tools ldd
    local side=8192
    local frame_bytes=$(($(frame_side $side) * $(frame_side $side) * 4))
    local refused="frame buffer"
    start_screen ${side}x${side}
    # Enough for the program, its libraries and the window's own frame-sized
    # surface, not for two frame-sized buffers more: the limit is two frames.
    if [ "$emulated" = 1 ]; then
        # The emulator's own memory would count against a limit of the
        # process; qemu limits the program's address space itself instead.
        say "emulated: the program's address space limited to $((2 * frame_bytes / 1024)) KiB"
        QEMU_RESERVED_VA=$((2 * frame_bytes)) "$program" >"$work/program.out" 2>"$work/program.err" &
    elif [[ $(ldd "$program") == *libasan* ]]; then
        # AddressSanitizer reserves terabytes of address space for its shadow
        # memory and cannot run under any such limit; its allocator is
        # limited instead, to blocks of less than a frame.
        say "AddressSanitizer build: blocks above $((frame_bytes / 1048576 - 1)) MiB refused"
        # A frame buffer that is a shared-memory image is no block of the
        # allocator's: the first block refused is then the depth buffer.
        [ "$presenting" = shared ] && refused="depth buffer"
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}allocator_may_return_null=1:max_allocation_size_mb=$((frame_bytes / 1048576 - 1))" \
            "$program" >"$work/program.out" 2>"$work/program.err" &
    else
        say "address space limited to $((2 * frame_bytes / 1024)) KiB"
        (ulimit -v $((2 * frame_bytes / 1024)) && exec "$program") >"$work/program.out" 2>"$work/program.err" &
    fi
    program_pid=$!
    expect_startup_failure 60 "no buffers"
    expect_failure_report "no buffers" "^The $refused, $frame_bytes bytes for a $(frame_side $side) x $(frame_side $side) frame, could not be had"
}

if [ -z "$program" ]; then
    [ "$launcher" = wine ] && skip "OMBRASTEL_WINDOWS_EXE is not set: configure with -DOMBRASTEL_WINDOWS_EXE=<build-windows>/app/ombrastel.exe (test.sh does)"
    skip "the window program is not part of this build (OMBRASTEL_APP is OFF)"
fi
[ -e "$program" ] || skip "the program $program has not been built"
case $check in
no-display | no-display-fallback) ;;
*) [ -n "${X11_PROBE:-}" ] && [ -x "$X11_PROBE" ] || skip "x11_probe is not built (it needs the X11 development files)" ;;
esac
if [ "$launcher" = wine ]; then
    [ -n "${WINE_LOADER:-}" ] && [ -x "$WINE_LOADER" ] || skip "Wine's 64-bit loader is not installed (Debian: wine64)"
    [ -n "${WINEPREFIX:-}" ] && [ -f "$WINEPREFIX/system.reg" ] || skip "the Wine prefix was not set up"
    [ -n "${WINESERVER:-}" ] && [ -x "$WINESERVER" ] || skip "wineserver is not installed (Debian: wine)"
    export WINEDEBUG=-all
fi

# The segments check runs in an IPC namespace of its own, with its own Xvfb.
if [ "$check" = segments ] && [ -z "${OMBRASTEL_OWN_IPC_NAMESPACE:-}" ]; then
    command -v unshare >/dev/null 2>&1 || skip "unshare is not installed (Debian: util-linux)"
    unshare --ipc true 2>/dev/null || skip "no IPC namespace of its own can be had here (unshare --ipc needs root)"
    rm -rf "$work"
    trap - EXIT
    OMBRASTEL_OWN_IPC_NAMESPACE=1 exec unshare --ipc bash "$0" "$@"
fi
prepare_presenting

case $check in
window) check_window ;;
close) check_close ;;
dpi) check_dpi ;;
picture) check_picture ;;
resilience) check_resilience ;;
no-display) check_no_display ;;
no-display-fallback) check_no_display_fallback ;;
startup-failure) check_startup_failure ;;
no-buffers) check_no_buffers ;;
options) check_options ;;
pacing) check_pacing ;;
engines) check_engines ;;
segments) check_segments ;;
images) check_images ;;
destroyed) check_destroyed ;;
server-gone) check_server_gone ;;
server-frozen) check_server_frozen ;;
*)
    echo "usage: $0 window|close|dpi|picture|resilience|no-display|no-display-fallback|startup-failure|no-buffers|options|engines|pacing|segments|images|destroyed|server-gone|server-frozen" >&2
    exit 2
    ;;
esac
echo "PASSED: $check ($launcher)"
