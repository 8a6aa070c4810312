#!/usr/bin/env bash
# Builds the program for this machine and runs it, saying each step on
# standard error; arguments are passed on to the program (./run.sh --fps).
# ./run.sh --web builds the web page instead (build-wasm/web) and serves it
# on this machine alone, printing the address to open in a browser.
set -euo pipefail
cd "$(dirname "$0")"
source scripts/common.sh
step() { echo "run.sh: $*" >&2; }

if [ "${1:-}" = "--web" ]; then
    if [ $# -gt 1 ]; then
        echo "run.sh: --web takes no other argument (the page takes its options in its address)" >&2
        exit 2
    fi
    step "checking the Debian packages of scripts/packages-build.txt and scripts/packages-web.txt"
    ensure_debian_packages $(packages_in scripts/packages-build.txt scripts/packages-web.txt)
    # build-wasm/ is configured as test.sh configures it.
    step "configuring build-wasm/ for WebAssembly with emscripten"
    configure_build build-wasm -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-emscripten.cmake
    step "building the web page in build-wasm/web (the first build takes a few minutes; later ones, seconds)"
    cmake --build build-wasm -j "$(build_jobs)" --target ombrastel-page-threads ombrastel-page-single >/dev/null
    step "serving build-wasm/web on 127.0.0.1 with cross-origin isolation (Ctrl-C ends it); open the address below"
    exec python3 scripts/serve_web.py --quiet build-wasm/web
fi

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
