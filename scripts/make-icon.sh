#!/usr/bin/env bash
# Draws the Windows program's icon, app/windows/ombrastel.ico, with the
# project's own renderer: one frame of the animation rendered by
# ombrastel-snapshot at each of the icon's sizes (16, 32, 48 and 256 pixels a
# side, each drawn at that size, not scaled), the black around the solid made
# transparent, packed by icotool in 32 bits a pixel (the 256-pixel picture
# kept as PNG, as Windows expects of that size). The .ico is kept in the
# repository, so that building the Windows program needs none of these tools.
#   scripts/make-icon.sh [SNAPSHOT_TOOL]
# SNAPSHOT_TOOL defaults to build/tools/ombrastel-snapshot (build it with
# `cmake --build build --target ombrastel-snapshot`).
# Needs icotool (Debian: icoutils) and convert (Debian: imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."

snapshot=${1:-build/tools/ombrastel-snapshot}
# The solid whole, upright and filling the square.
readonly frame=900
readonly sizes=(16 32 48 256)

[ -x "$snapshot" ] || { echo "make-icon.sh: no snapshot tool at $snapshot; build it first" >&2; exit 2; }
for tool in icotool convert; do
    command -v "$tool" >/dev/null || { echo "make-icon.sh: $tool is not installed (Debian: icoutils, imagemagick)" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pictures=()
for size in "${sizes[@]}"; do
    "$snapshot" --size "${size}x${size}" --frames "$frame" --out "$work/frame$size-%d.png" 2>/dev/null
    # No time stamps in the PNG, so the same frame gives the same icon.
    convert "$work/frame$size-$frame.png" -transparent black -strip -define png:exclude-chunks=date,time \
        "PNG32:$work/icon$size.png"
    if [ "$size" -ge 256 ]; then
        pictures+=(--raw="$work/icon$size.png")
    else
        pictures+=("$work/icon$size.png")
    fi
done
icotool --create --bit-depth=32 --output=app/windows/ombrastel.ico "${pictures[@]}"
icotool --list app/windows/ombrastel.ico
