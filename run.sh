#!/usr/bin/env bash
# Builds the program for this machine and runs it.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
ensure_debian_packages g++ cmake make pkg-config libsdl2-dev libpng-dev libgtest-dev libbenchmark-dev
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DOMBRASTEL_TESTS=OFF >/dev/null
cmake --build build -j "$(build_jobs)" --target ombrastel >/dev/null
exec ./build/app/ombrastel
