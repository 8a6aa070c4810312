#!/usr/bin/env bash
# `cmake --install` into a scratch prefix: the programs, a gzipped manual
# page for each that man can read, and the README, the licence and the
# changelog in the documentation folder.
#   installed_tree.sh CMAKE BUILD_DIR PROGRAM...
set -euo pipefail
cmake=$1 build=$2
shift 2
programs=("$@")
fail() { echo "FAILED: $*" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "cmake --install failed"; }

for program in "${programs[@]}"; do
    [ -x "$work/prefix/bin/$program" ] || fail "no bin/$program"
    page=$work/prefix/share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "no manual page share/man/man1/$program.1.gz"
    # The page's name line and the options the program's --help lists.
    text=$(gzip -dc "$page")
    grep -q "^$program \\\\- " <<<"$text" || fail "the manual page of $program has no name line"
    for option in $("$work/prefix/bin/$program" --help | grep -o -- '^  --[a-z-]*'); do
        grep -qF -- "${option//-/\\-}" <<<"$text" || fail "the manual page of $program does not list $option"
    done
done
for file in README.md LICENSE copyright changelog.gz; do
    [ -f "$work/prefix/share/doc/ombrastel/$file" ] || fail "no share/doc/ombrastel/$file"
done
cmp "$work/prefix/share/doc/ombrastel/LICENSE" "$(dirname "$0")/../../LICENSE" || fail "the installed LICENSE differs"
echo "installed: ${programs[*]}, their manual pages, README.md, LICENSE, copyright, changelog.gz"
