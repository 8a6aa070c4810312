#!/usr/bin/env bash
# No shell command of the project pipes into a reader that may stop reading
# before the writer is done (grep -q, grep -m, head): the writer then dies
# of SIGPIPE now and then, and under `set -o pipefail` the pipeline fails by
# chance. A captured output or a here-string does the same without the race.
#
#   pipes_end_with_their_reader.sh PROJECT_ROOT
set -euo pipefail
cd "$1"
early='\|[[:space:]]*(grep[[:space:]]+(-[a-zA-Z]*[qm]|--quiet|--max-count)|head([[:space:]]|$))'
files=$(git ls-files '*.sh' '*.cmake' '*CMakeLists.txt' '*.cpp' '*.h' '*.py' '*.js' 'test.sh' 'run.sh' '.ci/*' 2>/dev/null ||
    find . -path ./build\* -prune -o -type f \( -name '*.sh' -o -name '*.cmake' -o -name CMakeLists.txt \) -print)
found=0
for file in $files; do
    [ "$file" = tests/source/pipes_end_with_their_reader.sh ] && continue
    if hits=$(grep -nE -- "$early" "$file"); then
        echo "$file: a pipe into a reader that may stop early:" >&2
        echo "$hits" >&2
        found=1
    fi
done
[ "$found" -eq 0 ] && echo "no pipe into grep -q, grep -m or head"
