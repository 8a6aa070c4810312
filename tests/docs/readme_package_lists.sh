#!/usr/bin/env bash
# README.md names the Debian packages of every list in scripts/ (the lists
# run.sh and test.sh install from): for each scripts/packages-NAME.txt, the
# first fenced block after the README line that names it in backticks holds
# an apt-get line with exactly that list's packages, one a line. And the
# README names no list that is not there.
#
#   readme_package_lists.sh SOURCE_DIRECTORY
# Exit status: 0 the lists agree, 1 they do not (each difference named).
set -uo pipefail
source_dir=${1:?usage: readme_package_lists.sh SOURCE_DIRECTORY}
readme=$source_dir/README.md
source "$source_dir/scripts/common.sh"

status=0
differs() { echo "FAILED: $*" >&2; status=1; }

lists=("$source_dir"/scripts/packages-*.txt)
[ -e "${lists[0]}" ] || { echo "FAILED: no scripts/packages-*.txt" >&2; exit 1; }
for list in "${lists[@]}"; do
    name=scripts/$(basename "$list")
    # The block's words, less the apt-get words, its options and the line
    # continuations.
    block=$(awk -v name="\`$name\`" '
        state == 0 && index($0, name) { state = 1; next }
        state == 1 && /^```/ { state = 2; next }
        state == 2 && /^```/ { exit }
        state == 2 { print }' "$readme")
    if [ -z "$block" ]; then
        differs "README.md has no line naming \`$name\` followed by a fenced block of its packages"
        continue
    fi
    listed=$(tr -s ' \t\\' '\n' <<<"$block" | grep -v -e '^$' -e '^sudo$' -e '^apt-get$' -e '^install$' -e '^-' | sort)
    wanted=$(packages_in "$list" | sort)
    while read -r package; do
        [ -n "$package" ] && differs "README.md's block for $name lacks the line \"    $package \\\""
    done < <(comm -13 <(echo "$listed") <(echo "$wanted"))
    while read -r package; do
        [ -n "$package" ] && differs "README.md's block for $name names $package, which $name does not hold"
    done < <(comm -23 <(echo "$listed") <(echo "$wanted"))
    [ "$status" -eq 0 ] && echo "$name: $(wc -l <<<"$wanted") package line(s), as README.md lists them"
done
while read -r named; do
    [ -e "$source_dir/$named" ] || differs "README.md names $named, which is not there"
done < <(grep -o 'scripts/packages-[A-Za-z0-9_-]*\.txt' "$readme" | sort -u)
[ "$status" -eq 0 ] && echo "PASSED: README.md lists the packages of ${#lists[@]} lists"
exit "$status"
