#!/usr/bin/env bash
# The cross-built ombrastel.exe carries its resources: the version
# information with the project's version, both as numbers and as text; the
# icon, image for image the one in the repository; and a well-formed manifest
# declaring per-monitor DPI awareness and the supported Windows versions.
#   windows_resources.sh EXE VERSION ICON
set -euo pipefail
exe=$1 version=$2 icon=$3

[ -n "$exe" ] || { echo "SKIPPED: OMBRASTEL_WINDOWS_EXE is not set (test.sh sets it)"; exit 77; }
[ -f "$exe" ] || { echo "SKIPPED: $exe has not been built"; exit 77; }
for tool in wrestool icotool xmllint strings od; do
    command -v "$tool" >/dev/null ||
        { echo "SKIPPED: $tool is not installed (Debian: see scripts/packages-test.txt)"; exit 77; }
done
fail() { echo "FAILED: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Version information (resource type 16).
wrestool -x --raw --type=16 "$exe" >"$work/version" 2>/dev/null && [ -s "$work/version" ] ||
    fail "no version information"
strings -e l "$work/version" >"$work/version.txt"
for key in FileVersion ProductVersion; do
    shown=$(sed -n "/^$key\$/{n;p;q;}" "$work/version.txt")
    [ "$shown" = "$version" ] || fail "$key is '$shown', not $version"
done
grep -qx "ombrastel.exe" "$work/version.txt" || fail "the version information names no ombrastel.exe"
# The fixed part: its signature, then the file's and the product's version,
# each as two 32-bit words (major << 16 | minor, patch << 16 | 0).
IFS=. read -r major minor patch <<<"$version"
want=$(printf '%08x %08x' $(((major << 16) | minor)) $((patch << 16)))
read -r -d '' -a words < <(od -An -tx4 -v "$work/version") || true
found=""
for i in "${!words[@]}"; do
    if [ "${words[$i]}" = feef04bd ]; then
        found="${words[$((i + 2))]} ${words[$((i + 3))]}|${words[$((i + 4))]} ${words[$((i + 5))]}"
        break
    fi
done
[ "$found" = "$want|$want" ] || fail "the fixed file and product versions are '$found', not '$want|$want'"
echo "version information: $version"

# The icon (group type 14), rebuilt from the .exe: the same images as the
# repository's .ico.
mkdir -p "$work/exe/images" "$work/repository/images"
wrestool -x --type=14 "$exe" -o "$work/exe/icon.ico" 2>/dev/null && [ -s "$work/exe/icon.ico" ] || fail "no icon"
cp "$icon" "$work/repository/icon.ico"
for side in exe repository; do
    icotool -x -o "$work/$side/images" "$work/$side/icon.ico"
done
diff -r "$work/exe/images" "$work/repository/images" >/dev/null || fail "the icon's images differ from $icon"
sizes=$(icotool -l "$work/exe/icon.ico" | sed -n 's/.*--width=\([0-9]*\).*/\1/p' | tr '\n' ' ')
[ "$sizes" = "16 32 48 256 " ] || fail "the icon's sizes are $sizes"
echo "icon: ${sizes% }"

# The manifest (type 24, the program's own: name 1).
wrestool -x --raw --type=24 --name=1 "$exe" >"$work/manifest" 2>/dev/null && [ -s "$work/manifest" ] ||
    fail "no manifest"
xmllint --noout "$work/manifest" || fail "the manifest is not well-formed XML"
expect_in_manifest() {
    grep -qF -- "$1" "$work/manifest" || fail "the manifest has no $1"
}
expect_in_manifest '<dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2'
expect_in_manifest '<dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>'
expect_in_manifest "version=\"$version.0\""
for os in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
    4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
    8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    expect_in_manifest "<supportedOS Id=\"{$os}\"/>"
done
echo "manifest: per-monitor DPI awareness (v2), Windows Vista to 11"
