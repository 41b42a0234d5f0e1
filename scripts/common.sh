# Sourced by scripts/run and scripts/test: installs what is missing and builds.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

# What building the viewer needs on Debian or Ubuntu.
BUILD_PACKAGES=(cmake make g++ qtbase5-dev)

# Installs, with apt, whichever of the named packages are not installed yet.
install_missing() {
    if ! command -v dpkg-query >/dev/null 2>&1; then
        echo "Not a Debian system: make sure these are installed: $*" >&2
        return 0
    fi
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    echo "Installing: ${missing[*]}"
    "${as_root[@]}" apt-get update
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
}

# Configures and builds in BUILD_DIR; extra arguments go to the configure step.
configure_and_build() {
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$BUILD_DIR" --parallel "$(nproc 2>/dev/null || echo 2)"
}
