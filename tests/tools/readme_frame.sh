#!/usr/bin/env bash
# Runs the README's own --find command for its picture, as the README gives
# it (with this build's ombrastel-snapshot in place of build/tools/), from
# the repository's root, and expects the frame number it promises. A
# cross-build's tool runs under the emulator given after it.
#
#   readme_frame.sh SOURCE_DIR SNAPSHOT_TOOL [EMULATOR WITH ITS OPTIONS]
set -euo pipefail
source_dir=$1
snapshot=$2
shift 2
emulator=("$@")
cd "$source_dir"
line=$(grep -E '^build/tools/ombrastel-snapshot .*--find docs/frame\.png' README.md) || {
    echo "README.md has no ombrastel-snapshot --find docs/frame.png command" >&2
    exit 1
}
command=${line%%#*}
promised=$(sed -E 's/.*# prints ([0-9]+).*/\1/' <<<"$line")
read -r -a words <<<"$command"
[ "${words[0]}" = build/tools/ombrastel-snapshot ] || exit 1
words=("${emulator[@]}" "$snapshot" "${words[@]:1}")
echo "running: ${words[*]}"
found=$("${words[@]}")
echo "found frame $found; the README says $promised"
[ "$found" = "$promised" ]
