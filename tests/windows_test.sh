#!/usr/bin/env bash
# The 32-bit Windows build: cross-builds it with the MinGW Qt that
# scripts/windows keeps, checks the zip, the installer and the executable,
# then runs the zip's program and the installer under Wine on a private Xvfb
# server with wine_viewer.py. Where this machine's kernel runs no 32-bit
# programs, Wine runs on the emulated machine that scripts/wine-vm builds.
#
# Usage: windows_test.sh WORK-DIR
# Exits 0 on success, 1 on failure, 77 (skipped) when there is no MinGW Qt or
# nowhere to run Wine.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
WORK=$1
BUILD_DIR=$WORK/build
source "$HERE/../scripts/common.sh"

ok() { echo "ok: $*"; }
fail() { echo "FAIL: $*"; exit 1; }

if ! qt=$(mingw_qt_prefix); then
    echo "skipped: no MinGW Qt (scripts/windows builds one)"
    exit 77
fi
if wine_runs_here; then
    vm=
elif ! vm=$(wine_vm_dir); then
    echo "skipped: this kernel runs no 32-bit programs and there is no Wine test machine (scripts/wine-vm builds one)"
    exit 77
fi

rm -rf "$WORK"
mkdir -p "$WORK"
packages=$(build_windows_packages "$qt" -DIMAGE_VIEWER_TEST_READER=ON 2> "$WORK/build.log") \
    || { cat "$WORK/build.log"; fail "the Windows build"; }
plugins=$BUILD_DIR/tests/lecteur_hostile/plugins
[ -f "$plugins/imageformats/liblecteur-hostile.dll" ] || fail "no misbehaving reader for the Windows build"
zip=$(sed -n 1p <<<"$packages")
setup=$(sed -n 2p <<<"$packages")

# The zip, unpacked afresh, is all a Windows user needs.
cmake -E make_directory "$WORK/unpacked"
(cd "$WORK/unpacked" && cmake -E tar xf "$zip")
folder=$WORK/unpacked/$(basename "$zip" .zip)
expected="image-viewer.exe image-viewer-decodeur.exe libgcc_s_dw2-1.dll libstdc++-6.dll libwinpthread-1.dll
Qt5Core.dll Qt5Gui.dll Qt5Widgets.dll platforms/qwindows.dll platforms/qminimal.dll imageformats/qgif.dll
imageformats/qico.dll imageformats/qjpeg.dll imageformats/qwebp.dll imageformats/qtiff.dll imageformats/qtga.dll
imageformats/qicns.dll imageformats/qwbmp.dll Qt5Svg.dll imageformats/qsvg.dll styles/qwindowsvistastyle.dll
liblcms2-2.dll LICENSE.txt"
files=$(cd "$folder" && find . -type f -not -path './notices/*' | sed 's|^\./||' | sort)
[ "$files" = "$(tr ' ' '\n' <<<"$expected" | sort)" ] || fail "the zip holds $(tr '\n' ' ' <<<"$files")"
ok "the zip holds the program, its decoding helper, its licence, Qt's libraries and plugins (the WebP, TIFF, TGA, ICNS, WBMP and SVG readers included), Little CMS and the MinGW run time"
# The notices of what it ships, from the sources built: Qt's licence and
# source, each library Qt bundles, the GCC run time's exception, winpthreads.
grep -q 'GNU LESSER GENERAL PUBLIC LICENSE' "$folder/notices/Qt/LGPL-3.0.txt" || fail "no LGPL text for Qt"
grep -q 'apt-get source qtbase-opensource-src=' "$folder/notices/Qt/SOURCE.txt" || fail "no word of Qt's source"
for library in libpng libjpeg zlib freetype harfbuzz-ng pcre2; do
    [ -n "$(find "$folder/notices/Qt/3rdparty/$library" -type f -iname '*LICEN[CS]E*' -o -type f -name COPYING)" ] \
        || fail "no licence for the $library Qt bundles"
done
for module in qtimageformats qtsvg; do
    grep -q "apt-get source $module-opensource-src=" "$folder/notices/Qt/$module/SOURCE.txt" \
        || fail "no word of the source of Qt's $module"
    grep -q '^Format: ' "$folder/notices/Qt/$module/copyright.txt" || fail "no copyright file for Qt's $module"
done
grep -q 'Copyright' "$folder/notices/Qt/qtimageformats/3rdparty/libwebp/COPYING" || fail "no licence for libwebp"
grep -q 'Copyright' "$folder/notices/Qt/qtimageformats/3rdparty/libtiff/COPYRIGHT" || fail "no licence for libtiff"
grep -q 'Copyright' "$folder/notices/Qt/qtsvg/svg/XSVG_LICENSE.txt" || fail "no licence for Qt SVG's XSVG code"
grep -q 'apt-get source lcms2=' "$folder/notices/LittleCMS/SOURCE.txt" || fail "no word of Little CMS's source"
grep -q 'Permission is hereby granted' "$folder/notices/LittleCMS/COPYING.txt" || fail "no licence for Little CMS"
grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$folder/notices/MinGW/gcc-runtime.txt" || fail "no GCC run time notice"
grep -q 'winpthreads' "$folder/notices/MinGW/mingw-w64-winpthreads.txt" || fail "no winpthreads notice"
ok "the zip holds the notices of Qt and its modules, the libraries they bundle and the MinGW run time"

# Both programs: 32-bit GUI programs, so that no console window flashes.
for program in image-viewer image-viewer-decodeur; do
    headers=$($MINGW-objdump -p "$folder/$program.exe")
    grep -q 'file format pei-i386' <<<"$headers" || fail "$program.exe is not a 32-bit x86 PE executable"
    grep -Eq '^Subsystem[[:space:]]+00000002[[:space:]]+\(Windows GUI\)' <<<"$headers" \
        || fail "$program.exe is not a Windows GUI program"
done
for dll in Qt5Core Qt5Gui Qt5Widgets; do
    grep -q "DLL Name: $dll.dll" <<<"$($MINGW-objdump -p "$folder/image-viewer.exe")" || fail "does not import $dll.dll"
done
ok "image-viewer.exe and image-viewer-decodeur.exe are PE32 i386 GUI-subsystem programs; the viewer imports Qt5Core, Qt5Gui and Qt5Widgets"
grep -rqs 'libqtmain\.a' "$BUILD_DIR/CMakeFiles/image-viewer.dir" || fail "Qt's entry library is not on the link line"
ok "Qt's entry library (libqtmain.a) is on its link line"
resources=$(wrestool -l "$folder/image-viewer.exe")
grep -q -- "--type=14 --name='IDI_ICON1'" <<<"$resources" || fail "no application icon: $resources"
[ "$(grep -c -- '--type=3 ' <<<"$resources")" -ge 8 ] || fail "the icon lacks sizes: $resources"
version=$(wrestool -x --raw --type=16 "$folder/image-viewer.exe" | strings -el)
for field in "ProductName Image viewer" "FileVersion 1.2.0" "FileDescription Image viewer"; do
    grep -qx "${field#* }" <<<"$(grep -A1 -x "${field%% *}" <<<"$version")" || fail "no $field in: $version"
done
ok "image-viewer.exe carries the application's icon in $(grep -c -- '--type=3 ' <<<"$resources") sizes and its version"
[ -f "$setup" ] && [[ $setup == *-win32-setup.exe ]] || fail "no installer ($setup)"
grep -q 'Nullsoft' "$setup" || fail "$setup is no NSIS installer"
ok "the installer $(basename "$setup") is $(stat -c %s "$setup") bytes, the zip $(stat -c %s "$zip")"

# The test picture in the extra readers' formats, written here, where
# Pillow is.
pictures=$WORK/pictures
/usr/bin/python3 "$HERE/wine_viewer.py" --write-pictures "$pictures" || fail "could not write the test pictures"

if [ -z "$vm" ]; then
    exec /usr/bin/python3 "$HERE/wine_viewer.py" "$folder/image-viewer.exe" "$setup" "$plugins" "$pictures"
fi

# On the emulated machine: the test goes in as a second initramfs after the
# machine's own, and its report comes back on the serial console.
payload=$WORK/payload
mkdir -p "$payload/test"
cp -r "$folder" "$payload/test/viewer"
cp "$setup" "$payload/test/setup.exe"
cp -r "$plugins" "$payload/test/plugins"
cp -r "$pictures" "$payload/test/pictures"
cp "$HERE/x11_viewer.py" "$HERE/wine_viewer.py" "$payload/test/"
printf '#!/bin/sh\nexec python3 /test/wine_viewer.py /test/viewer/image-viewer.exe /test/setup.exe /test/plugins /test/pictures\n' \
    > "$payload/test/run"
chmod 755 "$payload/test/run"
(cd "$payload" && find . | cpio --quiet -o -H newc) | cat "$vm/root.cpio" - > "$WORK/initrd"
# A processor without AVX and SMAP: QEMU 7.2's emulation faults on AVX2
# masked loads that Qt's drawing code makes, and on the return from the
# kernel to 32-bit programs where SMAP is on.
timeout 1500 qemu-system-x86_64 -m 4096 -smp 2 -accel tcg,thread=multi -cpu Nehalem \
    -display none -monitor none -serial stdio -no-reboot \
    -kernel "$vm/vmlinuz" -initrd "$WORK/initrd" \
    -append "console=ttyS0 quiet panic=-1 rdinit=/init" < /dev/null | tr -d '\r' | tee "$WORK/console.log" \
    || true  # a machine that hangs or dies is told by its missing report
rm -f "$WORK/initrd"
status=$(sed -n 's/^test status: \([0-9]*\)$/\1/p' "$WORK/console.log")
[ -n "$status" ] || fail "the Wine test machine did not report"
exit "$status"
