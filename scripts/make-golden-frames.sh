#!/usr/bin/env bash
# Writes tests/golden/frames.txt: the SHA-256 digests of frames drawn with
# the ieee arithmetic, which gives the same bits on every processor, engine,
# instruction set and worker count. The tests compare every engine with
# them and never write them; run this only when the pictures are meant to
# change, and say why in the commit.
#
#   scripts/make-golden-frames.sh [SNAPSHOT]
#
# SNAPSHOT is the ombrastel-snapshot to use (default build/tools/ombrastel-snapshot).
set -euo pipefail
cd "$(dirname "$0")/.."
snapshot=${1:-build/tools/ombrastel-snapshot}
[ -x "$snapshot" ] || { echo "make-golden-frames.sh: no $snapshot; build ombrastel-snapshot first" >&2; exit 2; }
out=tests/golden/frames.txt

# Frame k is the (k+1)-th picture from the start (see ombrastel-snapshot
# --help), so every size starts from frame 0. At 320x240 a whole zoom
# period: the window test's grabs, taken within the first few hundred
# frames, find theirs. 561 is the zoom's first peak and 1473 its low at 1070
# rows; 412 is the README's picture.
sizes_and_frames=(
    "320x240 0-1823"
    "960x540 412"
    "1910x1070 0,561,1473"
    "1070x1910 0,561,1473"
    "2x2 0,300,1473"
    "6x10 0,561,1000"
    "18x6 0,561,1473"
    "30x2 0,561"
    "642x478 0,412,561,1473"
)

temporary=$(mktemp)
trap 'rm -f "$temporary"' EXIT
{
    echo "# SIZE FRAME SHA-256 of the frame's bytes (blue, green, red, fourth byte per pixel, rows from the top),"
    echo "# drawn with --estimates ieee. Made by scripts/make-golden-frames.sh; the tests only read it."
    for entry in "${sizes_and_frames[@]}"; do
        size=${entry%% *}
        frames=${entry#* }
        "$snapshot" --estimates ieee --size "$size" --frames "$frames" --digest | sed "s/^/$size /"
    done
} >"$temporary"
chmod 644 "$temporary"
mv "$temporary" "$out"
trap - EXIT
echo "wrote $out ($(grep -vc '^#' "$out") frames)"
