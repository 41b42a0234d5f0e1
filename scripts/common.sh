# Sourced by the scripts: installs what is missing, builds, and finds the
# MinGW Qt that the Windows build uses.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

# What building the viewer needs on Debian or Ubuntu.
BUILD_PACKAGES=(cmake make g++ qtbase5-dev libseccomp-dev liblcms2-dev zlib1g-dev libxcb1-dev)

# Runs a command as root, through sudo when we are not root already.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

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

    echo "Installing: ${missing[*]}"
    refresh_package_lists as_root apt-get
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
}

# Runs "$@ update": the apt-get command given (with its prefix and options)
# refreshes its package lists. An archive may serve one index out of step
# with its Release file (a mirror mid-sync, or one stuck that way); apt-get
# update then fails as a whole although every other list is fresh, and what
# is wanted may well come from those. So a failed update is told in a line
# and set-up goes on: if something needed really cannot be installed, the
# install that follows ends the run with apt's own error.
refresh_package_lists() {
    local log status=0
    log=$(mktemp)
    "$@" update 2> "$log" || status=$?
    if [ "$status" -eq 0 ]; then
        cat "$log" >&2
    else
        local failed
        failed=$(sed -n 's/^[EW]: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' "$log")
        if [ -z "$failed" ]; then
            cat "$log" >&2
            failed="some package lists (status $status)"
        fi
        while read -r index; do
            echo "apt-get update could not fetch $index; going on with the package lists it has" >&2
        done <<<"$failed"
    fi
    rm -f "$log"
}

# Configures and builds in BUILD_DIR; extra arguments go to the configure step.
configure_and_build() {
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$BUILD_DIR" --parallel "$(nproc 2>/dev/null || echo 2)"
}

# The Windows build: a 32-bit MinGW-w64 cross compiler and a Qt built with it.
MINGW=i686-w64-mingw32

# What the scripts build once and keep between runs, outside the clone.
cache_dir() {
    echo "${IMAGE_VIEWER_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/image-viewer}"
}

# Where scripts/windows keeps the MinGW Qt it builds: one folder per Qt
# source version and compiler, so a change of either builds anew.
mingw_qt_cache_prefix() {
    local qt compiler
    qt=$(dpkg-query -W -f='${source:Version}' qtbase5-dev 2>/dev/null) && [ -n "$qt" ] || return 1
    compiler=$($MINGW-g++-posix -dumpversion 2>/dev/null) || return 1
    echo "$(cache_dir)/qt-$qt-$MINGW-gcc-$compiler"
}

# Prints the MinGW Qt to build with, and fails when there is none ready:
# IMAGE_VIEWER_MINGW_QT if set (any MinGW Qt 5 install), else the cached one
# once its build has finished.
mingw_qt_prefix() {
    if [ -n "${IMAGE_VIEWER_MINGW_QT:-}" ]; then
        echo "$IMAGE_VIEWER_MINGW_QT"
        return 0
    fi
    local prefix
    prefix=$(mingw_qt_cache_prefix) && [ -f "$prefix/.complete" ] && echo "$prefix"
}

# Cross-builds the viewer in BUILD_DIR against the MinGW Qt at $1, lays out
# the portable folder there, zips it (image-viewer-<version>-win32.zip) and
# makes its installer (image-viewer-<version>-win32-setup.exe), all with
# stripped libraries; prints the zip's path, then the installer's. Further
# arguments go to the configure step.
build_windows_packages() {
    local zip setup qt=$1
    shift
    cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
            -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$MINGW.cmake" -DCMAKE_PREFIX_PATH="$qt" "$@" >&2 \
        && cmake --build "$BUILD_DIR" --parallel "$(nproc 2>/dev/null || echo 2)" >&2 \
        && zip=$(cd "$BUILD_DIR" && cpack -G ZIP | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p') \
        && setup=$(cd "$BUILD_DIR" && cpack -G NSIS | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p') \
        && [ -n "$zip" ] && [ -n "$setup" ] && rm -rf "${zip%.zip}" \
        && cmake --install "$BUILD_DIR" --prefix "${zip%.zip}" --strip >&2 \
        && echo "$zip" && echo "$setup"
}

# This machine's release (bookworm for Debian 12).
release_codename() {
    (. /etc/os-release && echo "$VERSION_CODENAME")
}

# The archives this machine installs from, for its own release, as lines of
# "URI SUITE COMPONENT".
release_archives() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Identifier: Packages' \
        | awk -v c="$(release_codename)" '$2 == c || index($2, c "-") == 1' | sort -u
}

# Whether this kernel runs 32-bit x86 programs: some are built or booted
# without them (ia32_emulation=off), and then Wine's 32-bit half cannot run
# here. Only running one tells: /proc/sys/abi/vsyscall32 is there either way.
# The probe is a 91-byte static i386 program that only exits 0, so asking
# needs no i386 package. It runs from the cache, as /tmp may forbid running.
runs_32bit_programs() {
    local probe status=0
    mkdir -p "$(cache_dir)" && probe=$(mktemp "$(cache_dir)/probe32.XXXXXX") || return 1
    # ELF header, one loadable segment, then: xor ebx,ebx; xor eax,eax;
    # inc eax; int 0x80 (exit with status 0).
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0'\
'\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10'\
'\133\0\0\0\133\0\0\0\5\0\0\0\0\20\0\0\61\333\61\300\100\315\200' > "$probe" \
        && chmod 700 "$probe" && "$probe" 2>/dev/null || status=1
    rm -f "$probe"
    return $status
}

# Whether this machine runs Wine's 32-bit half.
wine_runs_here() {
    [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

# Where scripts/wine-vm keeps the emulated machine that runs Wine when this
# one cannot; prints it and succeeds once it is ready.
wine_vm_dir() {
    local dir
    dir="$(cache_dir)/wine-vm-$(release_codename)"
    echo "$dir"
    [ -f "$dir/.complete" ]
}
