#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and builds its Debian package,
# then checks what lands where, that the desktop files validate and, when
# lintian is installed, that it finds no error and no warning in the package.
# Usage: install_test.sh BUILD_DIR APP_ID QT_WIDGETS_PACKAGE READER_PACKAGE...
# Exits 77 (skipped) when a tool it needs is missing.
set -euo pipefail
build=$1 id=$2 widgets_package=$3
shift 3
reader_packages=("$@")

for tool in desktop-file-validate appstreamcli dpkg-deb dpkg-shlibdeps file; do
    if ! command -v "$tool" >/dev/null; then
        echo "skipped: $tool is not installed (desktop-file-utils, appstream, dpkg-dev, file)"
        exit 77
    fi
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
ok() { echo "ok: $*"; }

# What a desktop looks for, under a prefix.
check_tree() {
    local prefix=$1 what=$2
    [ -x "$prefix/bin/image-viewer" ] || fail "$what: no bin/image-viewer"
    [ -x "$prefix/libexec/image-viewer/image-viewer-decodeur" ] || fail "$what: no decoding helper in libexec/image-viewer"
    local desktop=$prefix/share/applications/$id.desktop
    local icon=$prefix/share/icons/hicolor/scalable/apps/$id.svg
    local metainfo=$prefix/share/metainfo/$id.metainfo.xml
    for f in "$desktop" "$icon" "$metainfo"; do
        [ -f "$f" ] || fail "$what: missing ${f#"$prefix"/}"
    done
    grep -qx 'Name=Image viewer' "$desktop" || fail "$what: desktop entry is not named Image viewer"
    grep -qx 'Exec=image-viewer' "$desktop" || fail "$what: desktop entry does not run image-viewer alone"
    grep -qx 'Categories=Graphics;Viewer;' "$desktop" || fail "$what: desktop entry categories"
    grep -qx "Icon=$id" "$desktop" || fail "$what: desktop entry icon"
    if grep -q '^MimeType=' "$desktop" || grep -q '%[fFuU]' "$desktop"; then
        fail "$what: the viewer takes no file, but its desktop entry offers one"
    fi
    desktop-file-validate "$desktop" || fail "$what: desktop-file-validate"
    appstreamcli validate --no-net "$metainfo" >/dev/null || fail "$what: appstreamcli validate"
    grep -q '<svg' "$icon" || fail "$what: the icon is no SVG"
    grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "$what: the metainfo names no licence"
    local doc=$prefix/share/doc/image-viewer
    grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$doc/copyright" \
        || fail "$what: no machine-readable copyright file"
    gzip -dc "$doc/changelog.gz" | head -n 1 | grep -q '^image-viewer (' || fail "$what: no changelog"
    gzip -dc "$prefix/share/man/man1/image-viewer.1.gz" | grep -q '^\.TH IMAGE-VIEWER 1' || fail "$what: no manual page"
    ok "$what: program, decoding helper, desktop entry, icon, metainfo, copyright, changelog and manual page in place and valid"
}

cmake --install "$build" --prefix "$scratch/install" >/dev/null
check_tree "$scratch/install" "cmake --install"
# Installed, the viewer finds its helper in libexec: a chosen picture shows.
status=0
/usr/bin/python3 "$(dirname "$0")/x11_viewer.py" "$scratch/install/bin/image-viewer" > "$scratch/x11.log" 2>&1 || status=$?
case $status in
    0) ok "the installed viewer shows a chosen picture, decoded by its installed helper" ;;
    77) echo "note: $(tail -n 1 "$scratch/x11.log"), so the installed viewer was not run" ;;
    *) cat "$scratch/x11.log"; fail "the installed viewer" ;;
esac

(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >/dev/null) \
    || fail "cpack could not build the package"
deb=$(ls "$scratch"/package/*.deb)
dpkg-deb -x "$deb" "$scratch/root"
check_tree "$scratch/root/usr" ".deb"
# The package's long description says what the metainfo's does, word for word.
words() { tr -s ' \n\t' '\n\n\n' | sed '/^\.\?$/d'; }
description=$(dpkg-deb -f "$deb" Description | tail -n +2 | words)
metainfo_words=$(sed -n '/<description>/,/<\/description>/p' "$scratch/root/usr/share/metainfo/$id.metainfo.xml" \
    | sed 's/<[^>]*>//g' | words)
[ -n "$description" ] && [ "$description" = "$metainfo_words" ] \
    || fail ".deb description differs from the metainfo's: $description"
ok ".deb has the metainfo's description"
if command -v lintian >/dev/null; then
    root=()
    [ "$(id -u)" -eq 0 ] && root=(--allow-root)
    lintian "${root[@]}" --fail-on error,warning --tag-display-limit 0 --display-info "$deb" \
        || fail "lintian finds errors or warnings in the .deb"
    ok "lintian: no error and no warning"
else
    echo "note: lintian is not installed, so the .deb was not checked with it"
fi
depends=$(dpkg-deb -f "$deb" Depends)
[[ $depends == *"$widgets_package"* && $depends == *libc6* && $depends == *libseccomp2* ]] \
    || fail ".deb dependencies do not come from the linked libraries: $depends"
ok ".deb depends on: $depends"
# The picture readers come by default, and are the archive's own packages.
recommends=$(dpkg-deb -f "$deb" Recommends)
for package in "${reader_packages[@]}"; do
    [[ ", $recommends, " == *", $package, "* ]] || fail ".deb does not recommend $package: $recommends"
    if command -v apt-cache >/dev/null && [ -z "$(apt-cache show --no-all-versions "$package" 2>/dev/null)" ]; then
        fail ".deb recommends $package, which the archive does not have"
    fi
done
ok ".deb recommends: $recommends"
