#!/usr/bin/env bash
# The documents name the Debian packages of every list in scripts/ (the lists
# run.sh and test.sh install from): for each scripts/packages-NAME.txt, the
# first fenced block after the line of README.md or docs/*.md that names it
# in backticks holds an apt-get line with exactly that list's packages, one a
# line. And no document names a list that is not there.
#
#   package_lists.sh SOURCE_DIRECTORY
# Exit status: 0 the lists agree, 1 they do not (each difference named).
set -uo pipefail
source_dir=${1:?usage: package_lists.sh SOURCE_DIRECTORY}
source "$source_dir/scripts/common.sh"
documents=("$source_dir/README.md" "$source_dir"/docs/*.md)

status=0
differs() {
    echo "FAILED: $*" >&2
    status=1
}

# The words of the first fenced block after the first line naming `name`, in
# whichever document has it; and that document's name.
block_after() {
    local name=$1 document
    for document in "${documents[@]}"; do
        [ -f "$document" ] || continue
        block=$(awk -v name="\`$name\`" '
            state == 0 && index($0, name) { state = 1; next }
            state == 1 && /^```/ { state = 2; next }
            state == 2 && /^```/ { exit }
            state == 2 { print }' "$document")
        if [ -n "$block" ]; then
            where=${document#"$source_dir"/}
            return 0
        fi
    done
    return 1
}

lists=("$source_dir"/scripts/packages-*.txt)
[ -e "${lists[0]}" ] || {
    echo "FAILED: no scripts/packages-*.txt" >&2
    exit 1
}
for list in "${lists[@]}"; do
    name=scripts/$(basename "$list")
    if ! block_after "$name"; then
        differs "no document has a line naming \`$name\` followed by a fenced block of its packages"
        continue
    fi
    # The block's words, less the apt-get words, its options and the line
    # continuations.
    listed=$(tr -s ' \t\\' '\n' <<<"$block" | grep -v -e '^$' -e '^sudo$' -e '^apt-get$' -e '^install$' -e '^-' | sort)
    wanted=$(packages_in "$list" | sort)
    while read -r package; do
        [ -n "$package" ] && differs "$where's block for $name lacks the line \"    $package \\\""
    done < <(comm -13 <(echo "$listed") <(echo "$wanted"))
    while read -r package; do
        [ -n "$package" ] && differs "$where's block for $name names $package, which $name does not hold"
    done < <(comm -23 <(echo "$listed") <(echo "$wanted"))
    [ "$status" -eq 0 ] && echo "$name: $(wc -l <<<"$wanted") package line(s), as $where lists them"
done
for document in "${documents[@]}"; do
    [ -f "$document" ] || continue
    while read -r named; do
        [ -e "$source_dir/$named" ] || differs "${document#"$source_dir"/} names $named, which is not there"
    done < <(grep -o 'scripts/packages-[A-Za-z0-9_-]*\.txt' "$document" | sort -u)
done
[ "$status" -eq 0 ] && echo "PASSED: the documents list the packages of ${#lists[@]} lists"
exit "$status"
