# A Wayland compositor for the window checks, sourced by them: sway (headless
# backend, pixman renderer) or weston (headless backend), started in a
# scratch folder of its own, with the window program run as a client of it
# with WAYLAND_DISPLAY alone set (no DISPLAY, no Xwayland).
#
# sway refuses to run as root, so as root the compositor and the programs
# run as an unprivileged system user, COMPOSITOR_USER (ombrastel-test by
# default, made with useradd --system if missing); as another user they run
# as that user. The tools that look at the compositor (swaymsg, grim, wtype,
# weston-info) run as the caller: root may use the user's socket.
#
# Every function returns 0 on success; otherwise it returns 1 and leaves in
# compositor_error what failed, for the caller's message:
#
#   compositor_start sway|weston [SCALE [ARGUMENT...]]
#       starts the compositor with one headless output of 1920x1080 pixels
#       at output scale SCALE (1 by default), the ARGUMENTs added to its
#       command line (weston's --xwayland, say), and waits, 20 s at most, for it
#       to answer; sets compositor_kind, compositor_scratch,
#       compositor_wayland_display (the socket's full path) and
#       compositor_as_user (below)
#   compositor_stop
#       ends every process the functions started (the compositor and the
#       programs, each with the processes of its session) and removes the
#       scratch folder; harmless when nothing was started, so a trap may
#       call it after any failure
#   compositor_stage FILE
#       copies FILE (a program) into the scratch folder, where the
#       compositor's user can run it wherever the build is, and prints the
#       copy's path
#   compositor_spawn OUT ERR COMMAND...
#       starts COMMAND in the background as the compositor's user, in a
#       session of its own, its standard output and error into the files
#       OUT and ERR; sets compositor_spawned_pid (the program's own process:
#       `wait` gives its exit status)
#   compositor_run OUT ERR COMMAND...
#       the same in the foreground; sets compositor_run_status
#   compositor_wait_window PID SECONDS
#       (sway) waits for a mapped window of process PID; sets
#       compositor_window_rect to its content rectangle in the layout's
#       coordinates, "X,Y WxH" (grim -g's form), compositor_window_size to
#       "WxH" and compositor_window_floating to yes or no
#   compositor_screenshot FILE [GEOMETRY]
#       (sway) a PNG of GEOMETRY, by default compositor_window_rect, at the
#       output's scale: its pixels are the output's pixels, WxH times SCALE
#   compositor_keys PID KEY...
#       (sway) focuses the window of process PID and types each KEY (an XKB
#       key name: space, Escape) with wtype
#   compositor_wait_exit PID SECONDS
#       waits for process PID, started by compositor_spawn, to end; sets
#       compositor_exit_status (128 + N for signal N)
#
#   "${compositor_as_user[@]}" COMMAND...
#       runs COMMAND as the compositor's user with the compositor's
#       environment: the caller's, less DISPLAY and every other way to a
#       display, with WAYLAND_DISPLAY, XDG_RUNTIME_DIR, HOME and TMPDIR of
#       the scratch folder. Start it under setsid, as compositor_spawn does,
#       so that compositor_stop can end what it leaves behind only if it is
#       recorded: prefer compositor_spawn.
#
# A caller's shell must not have job control (set -m): setsid then forks,
# and the process started is no longer the caller's child. Weston offers
# neither sway's IPC, nor the screen-copy protocol grim reads, nor the
# virtual keyboard wtype types with: under it only starting, running and
# waiting for a program are offered.

compositor_user=${COMPOSITOR_USER:-ombrastel-test}
readonly compositor_output_width=1920 compositor_output_height=1080
compositor_kind=""
compositor_scratch=""
compositor_error=""
compositor_wayland_display=""
compositor_sessions=()
compositor_as_user=()

# Polls COMMAND... every 0.1 s until it succeeds, SECONDS at most.
compositor_poll() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -ge "$deadline" ] && return 1
        sleep 0.1
    done
}

compositor_failed() {
    compositor_error="$*"
    return 1
}

# The compositor's log, last lines, for a message.
compositor_log_tail() {
    [ -s "$compositor_scratch/compositor.log" ] || return 0
    printf '\n--- the %s log, last lines:\n%s' "$compositor_kind" "$(tail -n 15 "$compositor_scratch/compositor.log")"
}

# The processes of session SID that have not ended, by process id.
compositor_session_processes() {
    local sid=$1 entry stat rest state ppid pgrp session
    for entry in /proc/[0-9]*/stat; do
        { stat=$(<"$entry"); } 2>/dev/null || continue
        # The command's name, in parentheses, may itself hold spaces.
        rest=${stat##*) }
        read -r state ppid pgrp session _ <<<"$rest"
        [ "$session" = "$sid" ] && [ "$state" != Z ] && echo "${entry//[!0-9]/}"
    done
}

compositor_session_ended() { [ -z "$(compositor_session_processes "$1")" ]; }

# Ends each recorded session's processes: SIGTERM, then SIGKILL to those
# left after 5 s.
compositor_end_sessions() {
    local sid process signal
    for signal in TERM KILL; do
        for sid in "${compositor_sessions[@]}"; do
            for process in $(compositor_session_processes "$sid"); do
                kill -s "$signal" "$process" 2>/dev/null
            done
        done
        [ "$signal" = KILL ] && break
        for sid in "${compositor_sessions[@]}"; do
            compositor_poll 5 compositor_session_ended "$sid"
        done
    done
    for sid in "${compositor_sessions[@]}"; do
        compositor_poll 5 compositor_session_ended "$sid" ||
            echo "compositor.sh: processes $(compositor_session_processes "$sid" | tr '\n' ' ')of session $sid outlived SIGKILL" >&2
        # Reaps a child of this shell; the others are not this shell's to wait for.
        wait "$sid" 2>/dev/null
    done
    compositor_sessions=()
}

compositor_stop() {
    compositor_end_sessions
    [ -n "$compositor_scratch" ] && rm -rf "$compositor_scratch"
    compositor_scratch=""
    compositor_kind=""
    compositor_wayland_display=""
    compositor_as_user=()
    return 0
}

# The system user the compositor runs as, made if missing. Two checks that
# start at once may both find it missing: the lock makes the second wait and
# find it made.
compositor_ensure_user() {
    id -u "$compositor_user" >/dev/null 2>&1 && return 0
    command -v useradd >/dev/null 2>&1 || compositor_failed "no user $compositor_user, and no useradd to make it" || return 1
    local made
    made=$(flock /run/lock/ombrastel-compositor-user.lock sh -c '
        id -u "$1" >/dev/null 2>&1 ||
            useradd --system --user-group --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$1" 2>&1' \
        _ "$compositor_user") ||
        compositor_failed "could not make the system user $compositor_user: $made" || return 1
    id -u "$compositor_user" >/dev/null 2>&1 || compositor_failed "no user $compositor_user after useradd" || return 1
}

# The scratch folder: reachable by the compositor's user, holding its
# runtime folder (mode 0700, as libwayland and wlroots demand), its home and
# the copies of the programs it runs.
compositor_make_scratch() {
    compositor_scratch=$(mktemp -d "${TMPDIR:-/tmp}/ombrastel-compositor.XXXXXX") ||
        compositor_failed "no scratch folder could be made in ${TMPDIR:-/tmp}" || return 1
    chmod 0711 "$compositor_scratch"
    mkdir -m 0755 "$compositor_scratch/bin"
    mkdir -m 0700 "$compositor_scratch/runtime" "$compositor_scratch/home" "$compositor_scratch/tmp"
    if [ -n "$compositor_owner" ]; then
        chown "$compositor_owner" "$compositor_scratch/runtime" "$compositor_scratch/home" "$compositor_scratch/tmp"
    fi
    "${compositor_become[@]}" test -x "$compositor_scratch/runtime" ||
        compositor_failed "$compositor_user cannot reach $compositor_scratch: each folder above it must be searchable by others (TMPDIR is ${TMPDIR:-unset})"
}

# The environment of the compositor: nothing of the caller's.
compositor_clean_environment() {
    compositor_environment=(
        env -i
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin
        HOME="$compositor_scratch/home"
        USER="$compositor_user" LOGNAME="$compositor_user"
        XDG_RUNTIME_DIR="$compositor_scratch/runtime"
        TMPDIR="$compositor_scratch/tmp"
        LANG=C.UTF-8
    )
}

# Starts COMMAND... in a session of its own, its output into LOG (appended),
# and records the session; sets compositor_started_pid.
compositor_start_session() {
    local log=$1
    shift
    setsid "$@" >>"$log" 2>&1 </dev/null &
    compositor_started_pid=$!
    compositor_sessions+=("$compositor_started_pid")
}

compositor_running() { kill -0 "$compositor_pid" 2>/dev/null; }

# Whether sway answers on its IPC socket with its one output at the size
# and scale asked for.
compositor_sway_ready() {
    local socket outputs
    compositor_wayland_display=""
    for socket in "$compositor_scratch"/runtime/wayland-[0-9]*; do
        [ -S "$socket" ] && compositor_wayland_display=$socket
    done
    [ -n "$compositor_wayland_display" ] || return 1
    compositor_swaysock=""
    for socket in "$compositor_scratch"/runtime/sway-ipc.*.sock; do
        [ -S "$socket" ] && compositor_swaysock=$socket
    done
    [ -n "$compositor_swaysock" ] || return 1
    outputs=$(compositor_swaymsg -t get_outputs 2>/dev/null) || return 1
    compositor_outputs=$(jq -r '.[] | select(.active) | "\(.name) \(.current_mode.width)x\(.current_mode.height) \(.scale)"' <<<"$outputs" 2>/dev/null)
    [ -n "$compositor_outputs" ]
}

compositor_swaymsg() { SWAYSOCK=$compositor_swaysock swaymsg "$@"; }

# Wayland clients of the caller's: the tools that look at the compositor.
compositor_client() {
    env -u DISPLAY -u WAYLAND_SOCKET XDG_RUNTIME_DIR="$compositor_scratch/runtime" \
        WAYLAND_DISPLAY="$compositor_wayland_display" "$@"
}

compositor_start_sway() {
    local scale=$1
    shift
    local tool
    for tool in sway swaymsg jq; do
        command -v "$tool" >/dev/null 2>&1 || compositor_failed "$tool is not installed (Debian: see scripts/packages-test.txt)" || return 1
    done
    # One output, no bar, no borders, gaps or size limits that would make the
    # window another size than it asks for, and every window floating at the
    # output's top-left corner: sway tiles a window that states no size
    # limits (SDL 2.26 states none for a window that cannot be resized), and
    # a tiled window is told to take the whole output.
    cat >"$compositor_scratch/sway.conf" <<EOF
xwayland disable
output * resolution ${compositor_output_width}x${compositor_output_height} position 0 0 scale $scale
default_border none
default_floating_border none
gaps inner 0
gaps outer 0
floating_minimum_size -1 x -1
floating_maximum_size -1 x -1
focus_follows_mouse no
for_window [shell=".*"] floating enable, move absolute position 0 0
EOF
    chmod 0644 "$compositor_scratch/sway.conf"
    compositor_clean_environment
    # noatomic: a change of the layout (a window mapped, floated, moved) is
    # shown at once. Otherwise sway shows it only once the window has drawn
    # again after acknowledging its new state, or 200 ms later: a client
    # that draws once and waits for events stays unseen that long after it
    # is in the tree, and a screenshot taken then shows the background.
    compositor_start_session "$compositor_scratch/compositor.log" "${compositor_become[@]}" "${compositor_environment[@]}" \
        WLR_BACKENDS=headless WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 WLR_HEADLESS_OUTPUTS=1 \
        sway -D noatomic --config "$compositor_scratch/sway.conf" "$@"
    compositor_pid=$compositor_started_pid
    local deadline=$((SECONDS + 20))
    until compositor_sway_ready; do
        compositor_running || compositor_failed "sway ended before it answered$(compositor_log_tail)" || return 1
        [ "$SECONDS" -ge "$deadline" ] &&
            { compositor_failed "sway did not answer swaymsg -t get_outputs within 20 s$(compositor_log_tail)" || return 1; }
        sleep 0.1
    done
    local wanted="${compositor_output_width}x${compositor_output_height} $scale"
    [ "${compositor_outputs#* }" = "$wanted" ] ||
        compositor_failed "sway's outputs are \"$compositor_outputs\", not one of $wanted (size, scale)$(compositor_log_tail)" ||
        return 1
    compositor_hold_keyboard
}

# The seat's keyboard, held for the compositor's whole life. Without input
# devices the seat has none, and each wtype brings one that leaves with it:
# a client learns of it only after the key is sent, and never sees the key.
# A keyboard that stays keeps every client's wl_keyboard, and the keys of
# each wtype reach it, its keymap first. wtype sleeps in steps of at most
# 1000 s (its milliseconds are multiplied into microseconds).
compositor_hold_keyboard() {
    command -v wtype >/dev/null 2>&1 || return 0
    local sleeps=() step
    for step in 1 2 3 4 5 6 7 8 9 10; do sleeps+=(-s 1000000); done
    compositor_start_session "$compositor_scratch/keyboard.log" "${compositor_become[@]}" "${compositor_environment[@]}" \
        WAYLAND_DISPLAY="${compositor_wayland_display##*/}" wtype "${sleeps[@]}"
    compositor_poll 10 compositor_seat_has_keyboard ||
        compositor_failed "sway's seat has no keyboard 10 s after wtype started to hold one$(tail -n 5 "$compositor_scratch/keyboard.log")"
}

compositor_seat_has_keyboard() {
    local seats
    seats=$(compositor_swaymsg -t get_seats 2>/dev/null) || return 1
    [ "$(jq '[.[].devices[] | select(.type == "keyboard")] | length' <<<"$seats")" -gt 0 ]
}

# Whether weston answers a client on its socket.
compositor_weston_ready() {
    [ -S "$compositor_wayland_display" ] || return 1
    compositor_outputs=$(compositor_client weston-info 2>/dev/null) || return 1
    grep -q "interface: 'wl_output'" <<<"$compositor_outputs"
}

compositor_start_weston() {
    local scale=$1
    shift
    local tool
    for tool in weston weston-info; do
        command -v "$tool" >/dev/null 2>&1 || compositor_failed "$tool is not installed (Debian: see scripts/packages-test.txt)" || return 1
    done
    # No panel, no input method, no screen lock, nothing started but the
    # shell's own client.
    cat >"$compositor_scratch/weston.ini" <<EOF
[core]
idle-time=0
[shell]
panel-position=none
locking=false
background-color=0xff000000
[input-method]
path=
EOF
    chmod 0644 "$compositor_scratch/weston.ini"
    compositor_wayland_display=$compositor_scratch/runtime/wayland-1
    compositor_clean_environment
    compositor_start_session "$compositor_scratch/compositor.log" "${compositor_become[@]}" "${compositor_environment[@]}" \
        weston --config="$compositor_scratch/weston.ini" --backend=headless-backend.so --use-pixman \
        --width="$compositor_output_width" --height="$compositor_output_height" --scale="$scale" \
        --socket=wayland-1 --idle-time=0 "$@"
    compositor_pid=$compositor_started_pid
    local deadline=$((SECONDS + 20))
    until compositor_weston_ready; do
        compositor_running || compositor_failed "weston ended before it answered$(compositor_log_tail)" || return 1
        [ "$SECONDS" -ge "$deadline" ] &&
            { compositor_failed "weston did not answer weston-info within 20 s$(compositor_log_tail)" || return 1; }
        sleep 0.1
    done
}

compositor_start() {
    local kind=${1:-} scale=${2:-1}
    shift 2 2>/dev/null || shift $#
    [ -z "$compositor_kind" ] || compositor_failed "a compositor ($compositor_kind) runs already" || return 1
    case $kind in
    sway | weston) ;;
    *) compositor_failed "compositor_start: \"$kind\" is neither sway nor weston" || return 1 ;;
    esac
    [[ $scale =~ ^[1-9]$ ]] || compositor_failed "compositor_start: the scale \"$scale\" is not a whole number from 1 to 9" || return 1
    [[ $- != *m* ]] || compositor_failed "compositor_start: the shell has job control (set -m); setsid would fork" || return 1
    command -v setsid >/dev/null 2>&1 || compositor_failed "setsid is not installed (Debian: util-linux)" || return 1
    compositor_become=()
    compositor_owner=""
    if [ "$(id -u)" -eq 0 ]; then
        compositor_ensure_user || return 1
        compositor_become=(setpriv "--reuid=$compositor_user" "--regid=$(id -g "$compositor_user")" --clear-groups)
        compositor_owner="$compositor_user:$(id -g "$compositor_user")"
    else
        compositor_user=$(id -un)
    fi
    compositor_make_scratch || {
        compositor_stop
        return 1
    }
    compositor_kind=$kind
    compositor_scale=$scale
    compositor_window_rect=""
    if ! "compositor_start_$kind" "$scale" "$@"; then
        local error=$compositor_error
        compositor_stop
        compositor_error=$error
        return 1
    fi
    compositor_as_user=("${compositor_become[@]}" env -u DISPLAY -u WAYLAND_SOCKET -u SWAYSOCK -u I3SOCK
        -u XDG_CONFIG_HOME -u XDG_CACHE_HOME -u XDG_DATA_HOME -u XDG_STATE_HOME -u XAUTHORITY
        HOME="$compositor_scratch/home" TMPDIR="$compositor_scratch/tmp"
        USER="$compositor_user" LOGNAME="$compositor_user"
        XDG_RUNTIME_DIR="$compositor_scratch/runtime" WAYLAND_DISPLAY="${compositor_wayland_display##*/}")
}

compositor_stage() {
    local file=$1 copy
    [ -n "$compositor_scratch" ] || compositor_failed "compositor_stage: no compositor started" || return 1
    [ -f "$file" ] && [ -x "$file" ] || compositor_failed "compositor_stage: $file is not a program" || return 1
    copy=$compositor_scratch/bin/$(basename "$file")
    install -m 0755 "$file" "$copy" || compositor_failed "compositor_stage: $file could not be copied to $copy" || return 1
    echo "$copy"
}

compositor_spawn() {
    local out=$1 err=$2
    shift 2
    [ ${#compositor_as_user[@]} -gt 0 ] || compositor_failed "compositor_spawn: no compositor started" || return 1
    setsid "${compositor_as_user[@]}" "$@" >"$out" 2>"$err" </dev/null &
    compositor_spawned_pid=$!
    compositor_sessions+=("$compositor_spawned_pid")
}

compositor_run() {
    local out=$1 err=$2
    shift 2
    [ ${#compositor_as_user[@]} -gt 0 ] || compositor_failed "compositor_run: no compositor started" || return 1
    compositor_run_status=0
    "${compositor_as_user[@]}" "$@" >"$out" 2>"$err" </dev/null || compositor_run_status=$?
}

compositor_need_sway() {
    [ "$compositor_kind" = sway ] || compositor_failed "$1 needs sway (the compositor is \"$compositor_kind\")"
}

# Sets compositor_window_rect etc. from sway's tree, for the window of PID.
compositor_find_window() {
    local pid=$1 tree found
    tree=$(compositor_swaymsg -t get_tree 2>/dev/null) || return 1
    found=$(jq -r --argjson pid "$pid" '
        first(.. | objects | select(.pid? == $pid and (.type == "con" or .type == "floating_con") and .visible))
        | "\(.rect.x + .window_rect.x),\(.rect.y + .window_rect.y) \(.window_rect.width)x\(.window_rect.height) \(.type)"' <<<"$tree") ||
        return 1
    [ -n "$found" ] || return 1
    compositor_window_rect=${found% *}
    compositor_window_size=${compositor_window_rect#* }
    compositor_window_floating=no
    [ "${found##* }" = floating_con ] && compositor_window_floating=yes
    return 0
}

compositor_wait_window() {
    local pid=$1 seconds=$2
    compositor_need_sway compositor_wait_window || return 1
    local deadline=$((SECONDS + seconds))
    until compositor_find_window "$pid"; do
        kill -0 "$pid" 2>/dev/null || compositor_failed "process $pid ended before its window appeared in sway's tree" || return 1
        [ "$SECONDS" -ge "$deadline" ] &&
            { compositor_failed "no window of process $pid appeared in sway's tree within $seconds s" || return 1; }
        sleep 0.1
    done
}

compositor_screenshot() {
    local file=$1 geometry=${2:-$compositor_window_rect} out
    compositor_need_sway compositor_screenshot || return 1
    command -v grim >/dev/null 2>&1 || compositor_failed "grim is not installed (Debian: see scripts/packages-test.txt)" || return 1
    [ -n "$geometry" ] || compositor_failed "compositor_screenshot: no rectangle (no window found yet)" || return 1
    out=$(compositor_client grim -t png -g "$geometry" "$file" 2>&1) ||
        compositor_failed "grim -g \"$geometry\" failed: $out"
}

compositor_keys() {
    local pid=$1 key out
    shift
    compositor_need_sway compositor_keys || return 1
    command -v wtype >/dev/null 2>&1 || compositor_failed "wtype is not installed (Debian: see scripts/packages-test.txt)" || return 1
    out=$(compositor_swaymsg "[pid=$pid] focus" 2>&1) || compositor_failed "sway could not focus the window of process $pid: $out" || return 1
    for key in "$@"; do
        out=$(compositor_client wtype -k "$key" 2>&1) || compositor_failed "wtype -k $key failed: $out" || return 1
    done
}

compositor_wait_exit() {
    local pid=$1 seconds=$2
    compositor_poll "$seconds" eval '! kill -0 "$pid" 2>/dev/null' ||
        compositor_failed "process $pid was still running after $seconds s" || return 1
    compositor_exit_status=0
    wait "$pid" || compositor_exit_status=$?
}
