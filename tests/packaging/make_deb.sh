# Sourced by the package checks: make_deb CPACK BUILD_DIR WORK_DIR makes the
# build's .deb with cpack in WORK_DIR/packages and sets deb to its path, or
# fails (with fail, which the check defines).
make_deb() {
    local cpack=$1 build=$2 work=$3
    "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
        { cat "$work/cpack.log" >&2; fail "cpack could not make the .deb"; }
    local debs=("$work"/packages/*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made ${#debs[@]} .deb files: ${debs[*]}"
    deb=${debs[0]}
}
