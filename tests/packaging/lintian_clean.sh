#!/usr/bin/env bash
# Makes the .deb with cpack and has lintian check it as a distribution would:
# any error or warning fails. Tags the package overrides are shown too, so
# that an override cannot hide one unseen.
#   lintian_clean.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1 build=$2

if ! command -v lintian >/dev/null; then
    echo "SKIPPED: lintian is not installed (Debian: lintian)"
    exit 77
fi
fail() { echo "FAILED: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/make_deb.sh"
make_deb "$cpack" "$build" "$work"

status=0
lintian --fail-on error,warning --show-overrides --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 ||
    status=$?
# lintian says so when it runs as root; that is no finding about the package.
grep -v '^running with root privileges' "$work/lintian.log" || true
[ "$status" -eq 0 ] || fail "lintian found errors or warnings in $(basename "$deb") (exit status $status)"
echo "lintian: no error and no warning in $(basename "$deb")"
