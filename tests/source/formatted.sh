#!/usr/bin/env bash
# Every C++ file of the project is laid out as .clang-format says.
#
#   formatted.sh PROJECT_ROOT
set -euo pipefail
cd "$1"
command -v clang-format >/dev/null || { echo "clang-format is not installed (Debian: clang-format)" >&2; exit 77; }
mapfile -t files < <(git ls-files '*.cpp' '*.h')
[ ${#files[@]} -gt 0 ] || { echo "no C++ files found: is $1 a git checkout?" >&2; exit 1; }
if ! clang-format --dry-run -Werror "${files[@]}"; then
    echo "Reformat with: clang-format -i \$(git ls-files '*.cpp' '*.h')" >&2
    exit 1
fi
echo "${#files[@]} files laid out as .clang-format says"
