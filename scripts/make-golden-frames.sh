#!/usr/bin/env bash
# Writes tests/golden/frames.txt: the SHA-256 digests of frames drawn with
# the ieee arithmetic, which gives the same bits on every processor, engine,
# instruction set and worker count. The tests compare every engine with
# them and never write them, and tests/golden_tests.cpp pins the file's own
# digest. Run this only when the pictures are meant to change: it refuses
# without the reason, which it writes into the file's header beside the
# reasons of earlier remakes, and it prints the file's new digest for the
# pin, so that the commit shows both.
#
#   scripts/make-golden-frames.sh --reason "WHY THE PICTURES CHANGE" [SNAPSHOT [OUT]]
#
# SNAPSHOT is the ombrastel-snapshot to use (default
# build/tools/ombrastel-snapshot); OUT the file to write (default
# tests/golden/frames.txt).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: scripts/make-golden-frames.sh --reason \"WHY THE PICTURES CHANGE\" [SNAPSHOT [OUT]]" >&2
    exit 2
}
reason=""
if [ "${1:-}" = --reason ] && [ $# -ge 2 ]; then
    reason=$2
    shift 2
fi
if [ -z "${reason//[[:space:]]/}" ]; then
    echo "make-golden-frames.sh: the golden digests are remade only when the pictures are meant to change; say why with --reason" >&2
    usage
fi
[[ "$reason" != *$'\n'* ]] || {
    echo "make-golden-frames.sh: --reason is one line" >&2
    exit 2
}
[ $# -le 2 ] || usage
snapshot=${1:-build/tools/ombrastel-snapshot}
out=${2:-tests/golden/frames.txt}
[ -x "$snapshot" ] || { echo "make-golden-frames.sh: no $snapshot; build ombrastel-snapshot first" >&2; exit 2; }

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
    # The reasons of the remakes before this one, then this one's.
    [ ! -f "$out" ] || sed -n '/^# Remade /p' "$out"
    echo "# Remade $(date -u +%Y-%m-%d): $reason"
    for entry in "${sizes_and_frames[@]}"; do
        size=${entry%% *}
        frames=${entry#* }
        "$snapshot" --estimates ieee --size "$size" --frames "$frames" --digest | sed "s/^/$size /"
    done
} >"$temporary"
chmod 644 "$temporary"
mv "$temporary" "$out"
trap - EXIT
digest=$(sha256sum "$out")
echo "wrote $out ($(grep -vc '^#' "$out") frames); pin its new digest in tests/golden_tests.cpp:"
echo "  golden_frames_sha256 = \"${digest%% *}\""
