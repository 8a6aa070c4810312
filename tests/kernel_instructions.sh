#!/usr/bin/env bash
# The core library's machine code holds no fused multiply-add, whose single
# rounding would change the bits, and no AVX-512 estimate (rsqrt14, rcp14),
# which differs from the four-lane one. A wider instruction set's flags may
# bring either in with them; -ffp-contract=off and the choice of intrinsics
# are what keep them out, and this is where that is seen.
#   kernel_instructions.sh OBJDUMP OBJECT...
set -euo pipefail
objdump=$1
shift
found=0
for object in "$@"; do
    code=$("$objdump" -d --no-show-raw-insn "$object")
    hits=$(grep -E '\bv?f(n)?m(add|sub|addsub|subadd)[0-9]{3}|\bv(rsqrt|rcp)(14|28)' <<<"$code" || true)
    if [ -n "$hits" ]; then
        echo "$(basename "$object"): $(sed -n '1,3p' <<<"$hits" | tr -s ' \t' ' ')" >&2
        found=1
    fi
done
[ "$found" -eq 0 ] && echo "no fused multiply-add and no AVX-512 estimate in $# objects"
exit "$found"
