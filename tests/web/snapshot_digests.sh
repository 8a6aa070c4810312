#!/usr/bin/env bash
# The WebAssembly build's ombrastel-snapshot, run under node as the native one
# is run, prints the golden digests of frames of several sizes with both
# engines and several worker counts; and it refuses, in one line and with
# exit status 2, what this build cannot do.
#
#   snapshot_digests.sh GOLDEN_FRAMES NODE [NODE OPTION...] SNAPSHOT_JS
set -euo pipefail
golden=$1
shift
tool=("$@")  # node, its options and the tool's script

status=0
failed() {
    echo "FAILED: $*" >&2
    status=1
}

# The digest lines of the golden file for a size and frames: "FRAME DIGEST".
golden_lines() {  # size frame...
    local size=$1 frame
    shift
    for frame in "$@"; do
        awk -v size="$size" -v frame="$frame" '$1 == size && $2 == frame { print $2, $3 }' "$golden"
    done
}

digests() {  # size "frame,frame,..." options...
    local size=$1 frames=$2 printed wanted
    shift 2
    if ! printed=$("${tool[@]}" --size "$size" --frames "$frames" --digest "$@" 2>/dev/null); then
        failed "ombrastel-snapshot --size $size --frames $frames --digest $* failed"
        return
    fi
    wanted=$(golden_lines "$size" ${frames//,/ })
    if [ -z "$wanted" ] || [ "$printed" != "$wanted" ]; then
        failed "--size $size --frames $frames $*: printed"$'\n'"$printed"$'\n'"but the golden file has"$'\n'"$wanted"
        return
    fi
    echo "--size $size --frames $frames $*: $(wc -l <<<"$printed") golden digests"
}

digests 320x240 0,300,412
digests 642x478 0,412 --workers 3
digests 960x540 412 --engine reference --workers 1
digests 1910x1070 0 --isa simd128 --workers 2
digests 1070x1910 0 --engine reference
digests 6x10 0,561 --engine reference

refused() {  # words the message must hold, then the arguments
    local words=$1 message code=0
    shift
    message=$("${tool[@]}" "$@" 2>&1 >/dev/null) || code=$?
    if [ "$code" -ne 2 ] || [ "$(wc -l <<<"$message")" -ne 1 ] || [[ "$message" != *"$words"* ]]; then
        failed "ombrastel-snapshot $*: exit status $code and \"$message\" (wanted 2 and one line with \"$words\")"
        return
    fi
    echo "refused: $*: $message"
}

refused "--out: this build reads and writes no PNG files" --frames 0 --out 'f%d.png'
refused "--texture-out: this build reads and writes no PNG files" --texture-out t.png
refused "--find: this build reads and writes no PNG files" --find f.png
refused "--estimates x86: this processor has no x86 estimates" --frames 0 --digest --estimates x86
refused "--isa wants auto or simd128, not 'sse3'" --frames 0 --digest --isa sse3

[ "$status" -eq 0 ] && echo "PASSED"
exit "$status"
