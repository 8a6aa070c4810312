#!/usr/bin/env bash
# Builds the program for this machine and runs it, saying each step on
# standard error; arguments are passed on to the program (./run.sh --fps).
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
step() { echo "run.sh: $*" >&2; }

step "checking the Debian packages of scripts/packages-build.txt and scripts/packages-test-libraries.txt"
ensure_debian_packages $(packages_in scripts/packages-build.txt scripts/packages-test-libraries.txt)
# build/ is configured as test.sh configures it, so that neither script
# undoes the other's choices; only the program is built here.
step "configuring build/"
configure_build build
step "building build/app/ombrastel (the first build takes a few minutes; later ones, seconds)"
cmake --build build -j "$(build_jobs)" --target ombrastel >/dev/null
step "starting build/app/ombrastel${*:+ $*} (Space: full speed or idle; Escape: quit)"
exec ./build/app/ombrastel "$@"
