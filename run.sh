#!/usr/bin/env bash
# Builds the program for this machine and runs it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
ensure_debian_packages g++ cmake make pkg-config libsdl2-dev libpng-dev libgtest-dev libbenchmark-dev \
    libcli11-dev libssl-dev
# build/ is configured as test.sh configures it, so that neither script
# undoes the other's choices; only the program is built here.
configure_build build
cmake --build build -j "$(build_jobs)" --target ombrastel >/dev/null
exec ./build/app/ombrastel
