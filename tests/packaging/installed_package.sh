#!/usr/bin/env bash
# Makes the .deb with cpack, unpacks it with dpkg -x into a temporary root and
# runs the installed ombrastel-snapshot: its version, and one small frame that
# must be, byte for byte, the frame the snapshot tool of the build writes.
#   installed_package.sh CPACK BUILD_DIR VERSION BUILT_SNAPSHOT PROGRAM...
# PROGRAM... are the programs the package must hold in /usr/bin.
# OMBRASTEL_EMULATOR, when set, is the command that runs the programs (a
# cross-build's qemu with its options), and OMBRASTEL_DEB_ARCHITECTURE the
# package's architecture (default: this machine's).
set -euo pipefail
cpack=$1 build=$2 version=$3 built_snapshot=$4
shift 4
programs=("$@")
read -r -a emulator <<<"${OMBRASTEL_EMULATOR:-}"

for tool in dpkg dpkg-deb; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIPPED: $tool is not installed (a Debian machine has it)"
        exit 77
    fi
done
fail() { echo "FAILED: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

source "$(dirname "$0")/make_deb.sh"
make_deb "$cpack" "$build" "$work"
echo "made $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = ombrastel ] || fail "the package is called $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "the package's version is $(dpkg-deb -f "$deb" Version), not $version"
architecture=${OMBRASTEL_DEB_ARCHITECTURE:-$(dpkg --print-architecture)}
[ "$(dpkg-deb -f "$deb" Architecture)" = "$architecture" ] ||
    fail "the package is for $(dpkg-deb -f "$deb" Architecture), not $architecture"
echo "depends on: $(dpkg-deb -f "$deb" Depends)"

dpkg -x "$deb" "$work/root"
for program in "${programs[@]}"; do
    [ -x "$work/root/usr/bin/$program" ] || fail "the package holds no /usr/bin/$program"
done
installed=$work/root/usr/bin/ombrastel-snapshot

shown=$("${emulator[@]}" "$installed" --version)
[ "$shown" = "ombrastel-snapshot $version" ] || fail "the installed tool says '$shown'"

"${emulator[@]}" "$installed" --size 64x48 --frames 3 --out "$work/installed%d.png"
"${emulator[@]}" "$built_snapshot" --size 64x48 --frames 3 --out "$work/built%d.png"
cmp "$work/installed3.png" "$work/built3.png" || fail "the installed tool's frame 3 differs from the build's"
echo "the installed ombrastel-snapshot $version wrote frame 3 as the build's does"
