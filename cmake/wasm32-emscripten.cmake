# Builds for WebAssembly (wasm32, with SIMD128 and threads) with Debian's
# emscripten (package emscripten, its prebuilt system libraries; nothing is
# downloaded):
#   cmake -S . -B build-wasm -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-emscripten.cmake
# It gives the web page's two modules (app/web/) and the tests and the
# snapshot tool as programs for node, which ctest runs them under.

# Emscripten's own file says x86 unless told otherwise, and the project
# would then take its x86 path: the processor is named before it is read.
set(EMSCRIPTEN_SYSTEM_PROCESSOR wasm32)

# The programs run under node. Set before emscripten's file, which then
# keeps it: that file would give node alone, and emcmake a flag that node 20
# refuses. Node 20's fetch() does not read file paths, which the loader of
# emscripten 3.1.6 asks it to: without it, the loader reads the file.
find_program(OMBRASTEL_NODE NAMES node nodejs REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${OMBRASTEL_NODE} --no-experimental-fetch)

include(/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake)

# The link step runs emscripten's JavaScript optimizer, which needs Debian's
# acorn (node-acorn, in /usr/share/nodejs): node is told where it is, both
# for the configure step's trial links and for the build's.
set(ENV{NODE_PATH} /usr/share/nodejs)
set(CMAKE_C_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs)
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs)
