#!/usr/bin/env bash
# The core library's machine code holds no fused multiply-add, whose single
# rounding would change the bits, and on x86 no AVX-512 estimate (rsqrt14,
# rcp14 and the 28-bit ones), which differs from the four-lane one. A wider
# instruction set's flags may bring either in with them; -ffp-contract=off
# and the choice of intrinsics are what keep them out, and this is where
# that is seen.
#
# A pattern that has never matched is not known to match: each one is first
# shown to find its instruction in a small object made to hold them all
# (tests/kernel_instructions/fused_ARCHITECTURE.cpp, compiled with
# contraction on), and only then looked for in the core.
#
#   kernel_instructions.sh x86|arm64|wasm OBJDUMP FUSED_OBJECT -- CORE_OBJECT...
# Exit status: 0 the core is clean, 1 it is not or a pattern found nothing
# in the fused object, 2 usage.
set -euo pipefail

usage() {
    echo "usage: kernel_instructions.sh x86|arm64|wasm OBJDUMP FUSED_OBJECT -- CORE_OBJECT..." >&2
    exit 2
}
[ $# -ge 5 ] && [ "$4" = "--" ] || usage
architecture=$1 objdump=$2 fused=$3
shift 4

# NAME|EXTENDED REGULAR EXPRESSION, on objdump's lines of one instruction.
case $architecture in
x86)
    patterns=(
        "multiply-add|\bvfmadd[0-9]{3}"
        "multiply-subtract|\bvfmsub[0-9]{3}"
        "negated multiply-add|\bvfnmadd[0-9]{3}"
        "negated multiply-subtract|\bvfnmsub[0-9]{3}"
        "alternating multiply-add-subtract|\bvfmaddsub[0-9]{3}"
        "alternating multiply-subtract-add|\bvfmsubadd[0-9]{3}"
        "14-bit reciprocal square root estimate|\bvrsqrt14"
        "14-bit reciprocal estimate|\bvrcp14"
        "28-bit reciprocal square root estimate|\bvrsqrt28"
        "28-bit reciprocal estimate|\bvrcp28"
    )
    ;;
arm64)
    patterns=(
        "multiply-add|\bfmadd\b"
        "multiply-subtract|\bfmsub\b"
        "negated multiply-add|\bfnmadd\b"
        "negated multiply-subtract|\bfnmsub\b"
        "lanes' multiply-accumulate|\bfmla\b"
        "lanes' multiply-subtract|\bfmls\b"
    )
    ;;
wasm)
    # LLVM 14 spells the relaxed instructions fma and fms; the proposal's
    # final names are relaxed_madd and relaxed_nmadd.
    patterns=(
        "relaxed multiply-add|\b(f32x4|f64x2)\.(relaxed_)?(fma|madd)\b"
        "relaxed negated multiply-add|\b(f32x4|f64x2)\.(relaxed_)?(fms|nmadd)\b"
    )
    ;;
*) usage ;;
esac

disassembly() { "$objdump" -d --no-show-raw-insn "$1"; }

fused_code=$(disassembly "$fused")
blind=0
for entry in "${patterns[@]}"; do
    name=${entry%%|*}
    if ! grep -E -- "${entry#*|}" <<<"$fused_code" >/dev/null; then
        echo "the $name pattern /${entry#*|}/ finds nothing in $(basename "$fused"), which holds one: it would miss it in the core" >&2
        blind=1
    fi
done
[ "$blind" -eq 0 ] || exit 1

found=0
for object in "$@"; do
    code=$(disassembly "$object")
    for entry in "${patterns[@]}"; do
        hits=$(grep -E -- "${entry#*|}" <<<"$code" || true)
        if [ -n "$hits" ]; then
            echo "$(basename "$object"): ${entry%%|*}: $(sed -n '1,3p' <<<"$hits" | tr -s ' \t' ' ')" >&2
            found=1
        fi
    done
done
[ "$found" -eq 0 ] || exit 1
echo "$architecture: each of the ${#patterns[@]} patterns found its instruction in $(basename "$fused"); none is in the $# objects of the core"
