#!/usr/bin/env bash
# scripts/make-golden-frames.sh remakes the golden digests only when told
# why: without a reason (none, empty, blank) it refuses, exit status 2, and
# writes nothing. With one, it writes the reason into the file's header
# after those of the remakes before, and prints the file's new digest for
# the pin of tests/golden_tests.cpp. A stand-in snapshot tool gives the
# digests, so that nothing is rendered and tests/golden/ is never touched.
#
#   golden_frames_script.sh SOURCE_DIRECTORY
# Exit status: 0 passed, 1 failed.
set -uo pipefail
source_dir=${1:?usage: golden_frames_script.sh SOURCE_DIRECTORY}
script=$source_dir/scripts/make-golden-frames.sh

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ombrastel-golden.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
status=0
fail() {
    echo "FAILED: $*" >&2
    status=1
}

# The stand-in: "FRAME DIGEST" for the first frame asked for.
cat >"$scratch/snapshot" <<'STAND_IN'
#!/usr/bin/env bash
while [ $# -gt 0 ] && [ "$1" != --frames ]; do shift; done
echo "${2%%[-,]*} $(printf '%064d' 0)"
STAND_IN
chmod +x "$scratch/snapshot"
out=$scratch/frames.txt

for refused in "" "--reason ''" "--reason '   '"; do
    eval "set -- $refused"
    code=0
    bash "$script" "$@" "$scratch/snapshot" "$out" >"$scratch/said" 2>&1 || code=$?
    [ "$code" -eq 2 ] || fail "without a reason ($refused): exit status $code, wanted 2"
    [ ! -e "$out" ] || fail "without a reason ($refused): $out was written"
    grep -F -- "--reason" "$scratch/said" >/dev/null || fail "without a reason ($refused): it does not ask for --reason: $(cat "$scratch/said")"
done
[ "$status" -ne 0 ] || echo "without a reason: refused, exit status 2, nothing written"

for reason in "the first picture" "the second picture"; do
    bash "$script" --reason "$reason" "$scratch/snapshot" "$out" >"$scratch/said" 2>&1 ||
        fail "with a reason: exit status $?: $(cat "$scratch/said")"
done
reasons=$(sed -n 's/^# Remade [0-9-]*: //p' "$out")
[ "$reasons" = $'the first picture\nthe second picture' ] || fail "the header keeps the reasons \"$reasons\""
[ "$(grep -c '^320x240 0 0\{64\}$' "$out")" -eq 1 ] || fail "no digest line of 320x240 frame 0: $(cat "$out")"
digest=$(sha256sum "$out")
grep -Fx "  golden_frames_sha256 = \"${digest%% *}\"" "$scratch/said" >/dev/null ||
    fail "it does not print the file's new digest ${digest%% *}: $(cat "$scratch/said")"
[ "$status" -ne 0 ] || echo "with a reason: written into the header after the earlier one, and the new digest printed"
exit "$status"
