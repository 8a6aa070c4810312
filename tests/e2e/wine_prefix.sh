#!/usr/bin/env bash
# Sets up the Wine prefix the end-to-end tests run the Windows program in,
# once per build directory; later runs find it ready and take a moment.
#
# Environment (set by ctest): WINE_LOADER, WINESERVER, WINEPREFIX.
# Exit status: 0 ready, 1 failed, 77 skipped (Wine is not installed).
set -uo pipefail

[ -n "${WINE_LOADER:-}" ] && [ -x "$WINE_LOADER" ] || { echo "SKIPPED: Wine's 64-bit loader is not installed (Debian: wine64)"; exit 77; }
[ -n "${WINESERVER:-}" ] && [ -x "$WINESERVER" ] || { echo "SKIPPED: wineserver is not installed (Debian: wine)"; exit 77; }
[ -n "${WINEPREFIX:-}" ] || { echo "FAILED: WINEPREFIX is not set" >&2; exit 1; }

export WINEDEBUG=-all
# No Mono or Gecko: the program needs neither, and there is nothing to fetch
# them from; without this Wine would offer to download them.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Nothing on any screen while the prefix is made.
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$WINEPREFIX"
if ! "$WINE_LOADER" wineboot -i >"$WINEPREFIX/../wineboot.log" 2>&1; then
    echo "FAILED: wineboot -i failed:" >&2
    tail -n 20 "$WINEPREFIX/../wineboot.log" >&2
    exit 1
fi

# The program's window is its client area (the frame, 10 pixels less than the
# screen) plus a caption and borders, so it is taller than the screen. Wine
# caps a new window at its largest tracking size, the screen plus 4 plus two
# sizing frames; with Wine's default border width that is 8 pixels less than
# Windows 10 allows, and Wine would clip the client area's last rows. A
# border width of 5 gives Wine the same cap as Windows 10, and leaves the
# fixed-size window's own borders as they are.
if ! "$WINE_LOADER" reg add 'HKCU\Control Panel\Desktop\WindowMetrics' /v BorderWidth /t REG_SZ /d 5 /f \
    >>"$WINEPREFIX/../wineboot.log" 2>&1; then
    echo "FAILED: cannot set Wine's border width:" >&2
    tail -n 20 "$WINEPREFIX/../wineboot.log" >&2
    exit 1
fi
"$WINESERVER" -w
[ -f "$WINEPREFIX/system.reg" ] || { echo "FAILED: no registry in $WINEPREFIX" >&2; exit 1; }
echo "PASSED: Wine prefix ready in $WINEPREFIX"
