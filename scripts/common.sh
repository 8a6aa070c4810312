# Shared by run.sh, test.sh and scripts/fuzz.sh: installing the Debian
# packages that are missing, and configuring a build directory.

# The packages named in lists such as scripts/packages-build.txt: one a
# line, '#' starting a comment.
packages_in() {
    sed 's/#.*//' "$@" | tr -s ' \t' '\n' | grep -v '^$'
}

# Whether a package (name, or name:architecture) is installed: a name alone
# means the machine's own architecture, or a package for all of them. With
# the same package installed for two architectures, dpkg-query names both.
package_installed() {
    local name=${1%%:*} architecture=${1#*:} installed
    [ "$architecture" != "$1" ] || architecture=$(dpkg --print-architecture)
    installed=$(dpkg-query -W -f='${Status}|${Architecture}\n' "$name" 2>/dev/null) || return 1
    grep -qxE "install ok installed\|($architecture|all)" <<<"$installed"
}

# Installs the Debian packages that are missing, or, without root, says
# which apt-get lines would and stops. A package of another architecture
# (libpng-dev:arm64) first needs that architecture added to dpkg's.
ensure_debian_packages() {
    local missing=() architectures=()
    for package in "$@"; do
        package_installed "$package" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local architecture
    for architecture in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
        [ "$architecture" = "$(dpkg --print-architecture)" ] && continue
        grep -qx "$architecture" <<<"$(dpkg --print-foreign-architectures)" || architectures+=("$architecture")
    done
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages; install them with:" >&2
        for architecture in "${architectures[@]}"; do
            echo "  sudo dpkg --add-architecture $architecture" >&2
        done
        [ ${#architectures[@]} -eq 0 ] || echo "  sudo apt-get update" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    for architecture in "${architectures[@]}"; do
        echo "Adding the package architecture $architecture" >&2
        dpkg --add-architecture "$architecture"
    done
    echo "Installing ${missing[*]}" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_jobs() { nproc 2>/dev/null || echo 2; }

# Configures a build directory with every option of the project stated: first
# the full native build's settings, then the caller's, which win (CMake keeps
# the last -D of a name). A directory's cache thus never keeps a choice that
# an earlier configure made: run.sh and test.sh share build/, and a test run
# that found the tests switched off there would find no test.
#   configure_build DIRECTORY [CMAKE OPTION...]
configure_build() {
    local dir=$1
    shift
    local stated=(
        -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_CXX_FLAGS=
        -DOMBRASTEL_APP=ON
        -DOMBRASTEL_TOOLS=ON
        -DOMBRASTEL_TESTS=ON
        -DOMBRASTEL_TOOL_AND_WINDOW_TESTS=ON
        -DOMBRASTEL_FUZZ=OFF
        "-DOMBRASTEL_WINDOWS_EXE=$PWD/build-windows/app/ombrastel.exe"
    )
    cmake -S . -B "$dir" --no-warn-unused-cli "${stated[@]}" "$@" >/dev/null || return 1
    # An option added to the project later must be stated here too, or a
    # directory would keep whatever value it was once given.
    local option unstated=()
    for option in $(sed -n 's/^\(OMBRASTEL_[A-Z0-9_]*\):BOOL=.*/\1/p' "$dir/CMakeCache.txt"); do
        [[ " ${stated[*]} " == *" -D$option="* ]] || unstated+=("$option")
    done
    if [ ${#unstated[@]} -gt 0 ]; then
        echo "scripts/common.sh: configure_build does not state ${unstated[*]}; add it there" >&2
        return 1
    fi
}
