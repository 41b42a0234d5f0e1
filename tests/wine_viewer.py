#!/usr/bin/python3
"""Drives the Windows build of image-viewer under Wine on a private Xvfb
server, with the checks x11_viewer.py makes of the Linux build. The picture
is chosen through the native Windows file dialog, where the Unix path
/x/y.png is Z:\\x\\y.png.

Given a folder of the test picture in other formats and of a Display P3
PNG and a turned P3 JPEG, with the colours each must show (written
beforehand with --write-pictures FOLDER, where Pillow is), it chooses each
of them.
Given the tests' misbehaving reader (the folder holding its imageformats
folder), it then checks that the Windows decoding helper contains it. Given
the installer too, it then installs it silently, checks what it put where,
runs the installed program through the same checks, uninstalls it silently
and checks that nothing of it is left.

Usage: wine_viewer.py PATH-TO-IMAGE-VIEWER.EXE [PATH-TO-SETUP.EXE [PLUGINS [PICTURES]]]
       wine_viewer.py --write-pictures PICTURES
Exits 0 on success, 1 on failure, 77 (skipped) when Wine, Xvfb or
python3-xlib is missing.
"""

import collections
import json
import os
import shutil
import subprocess
import sys

import x11_viewer
from x11_viewer import check

# Wine starts its own services with the first program, and may itself run on
# an emulated machine.
x11_viewer.PATIENCE = 15

# Where the installer registers the program for the list of installed programs.
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\image-viewer"


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def installed_session(wine, setup, env, scratch, picture):
    """Installs, runs and uninstalls the program as the setup lays it out."""
    def run(*command):
        # A silent installer or uninstaller hands over to a copy of itself:
        # wineserver --wait waits until every Windows process has ended.
        subprocess.run([wine, *command], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
        subprocess.run(["wineserver", "--wait"], env=env, timeout=600)

    def registered():
        # The 32-bit installer writes the registry's 32-bit view.
        return subprocess.run([wine, "reg", "query", UNINSTALL_KEY, "/reg:32"], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0

    drive_c = os.path.join(env["WINEPREFIX"], "drive_c")
    run(setup, "/S")
    # 32-bit Program Files: "Program Files (x86)" on a 64-bit Windows.
    folders = [os.path.join(drive_c, p, "Image viewer") for p in ("Program Files (x86)", "Program Files")]
    folder = next((f for f in folders if os.path.isfile(os.path.join(f, "image-viewer.exe"))), None)
    check(folder is not None, "the setup installs image-viewer.exe under Program Files")
    for notice in ("LICENSE.txt", "notices/README.txt", "notices/Qt/LGPL-3.0.txt", "notices/Qt/SOURCE.txt",
                   "notices/Qt/3rdparty/libpng/LICENSE", "notices/Qt/qtimageformats/SOURCE.txt",
                   "notices/Qt/qtsvg/SOURCE.txt", "notices/MinGW/gcc-runtime.txt"):
        check(os.path.isfile(os.path.join(folder, notice)), "the setup installs %s" % notice)
    menu = os.path.join(drive_c, "ProgramData", "Microsoft", "Windows", "Start Menu", "Programs", "Image viewer")
    shortcut = os.path.join(menu, "Image viewer.lnk")
    check(os.path.isfile(shortcut), "the setup adds an \"Image viewer\" shortcut to every user's Start menu")
    check(registered(), "the setup lists the program among the installed ones, with its uninstaller")

    x11_viewer.full_session([wine, os.path.join(folder, "image-viewer.exe")], env, scratch, windows_path(picture))

    run(os.path.join(folder, "Uninstall.exe"), "/S")
    check(not os.path.exists(folder), "the uninstaller removes the install folder")
    check(not os.path.exists(menu), "the uninstaller removes the Start menu folder and its shortcuts")
    check(not registered(), "the uninstaller removes the program from the list of installed ones")


# The helper's job: the decoding bound, the working room, a stack for each
# processor, and Qt and the readers themselves (decodeur/protocole.h). Wine
# keeps a job's limits without holding a process to its memory limit: there
# the helper ends where its 32-bit address space does.
MEMORY_BOUND_MIB = 1024 + 64 + 64 + 8 * (os.cpu_count() or 1)
ADDRESS_SPACE_MIB = 2048


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--write-pictures":
        folder = sys.argv[2]
        x11_viewer.write_pictures_in_formats(os.path.join(folder, "formats"))
        # Small ones: the helper's time for a small file is made for a real
        # processor, and Little CMS's set-up alone takes much of it on the
        # emulated one.
        cases = x11_viewer.write_colour_pictures(os.path.join(folder, "colours"), size=(160, 120),
                                                 names=("p3.png", "p3-orientation-6.jpg"))
        with open(os.path.join(folder, "colours.json"), "w") as f:
            json.dump([[os.path.basename(path), [[*c, n] for c, n in counts.items()]] for path, counts in cases], f)
        return 0
    if len(sys.argv) not in (2, 3, 4, 5):
        print(__doc__)
        return 2
    program = os.path.abspath(sys.argv[1])
    setup = os.path.abspath(sys.argv[2]) if len(sys.argv) >= 3 else None
    plugins = os.path.abspath(sys.argv[3]) if len(sys.argv) >= 4 else None
    pictures = os.path.abspath(sys.argv[4]) if len(sys.argv) == 5 else None
    wine = shutil.which("wine")
    if wine is None:
        print("skipped: Wine is not installed (Debian packages wine and wine32:i386)")
        return x11_viewer.SKIPPED

    def session(env, scratch, picture):
        # No Mono or Gecko: nothing to offer to download; no menu entries on
        # the host for the installer's shortcuts. A GUI program with no
        # console writes its messages to the debugger output, which
        # +debugstr prints, so they count against its silence too.
        env.update(WINEPREFIX=os.path.join(scratch, "wine"), WINEDEBUG="-all,+debugstr",
                   WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=")
        # A new Wine prefix is made before the viewer's first start, not timed with it.
        subprocess.run([wine, "wineboot", "--init"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wineserver", "--wait"], env=env, check=True)
        try:
            x11_viewer.full_session([wine, program], env, scratch, windows_path(picture))
            if pictures:
                formats = os.path.join(pictures, "formats")
                x11_viewer.pictures_session([wine, program], env, scratch,
                                            sorted(os.path.join(formats, p) for p in os.listdir(formats)),
                                            windows_path)
                with open(os.path.join(pictures, "colours.json")) as f:
                    cases = [(os.path.join(pictures, "colours", name),
                              collections.Counter({tuple(c[:3]): c[3] for c in counts}))
                             for name, counts in json.load(f)]
                x11_viewer.colours_session([wine, program], env, scratch, cases, windows_path)
            if plugins:
                # Wine keeps the host's QT_ variables from Windows programs:
                # this one is set in the user's Windows environment instead.
                reg = [wine, "reg", "add", r"HKCU\Environment", "/v", "QT_PLUGIN_PATH", "/t", "REG_SZ",
                       "/d", windows_path(plugins), "/f"]
                for command in (reg, ["wineserver", "--wait"]):
                    subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, check=True)
                x11_viewer.misbehaving_session([wine, program], env, scratch, picture, windows_path,
                                               MEMORY_BOUND_MIB, ADDRESS_SPACE_MIB)
                subprocess.run([wine, "reg", "delete", r"HKCU\Environment", "/v", "QT_PLUGIN_PATH", "/f"], env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
                subprocess.run(["wineserver", "--wait"], env=env, check=True)
            if setup:
                installed_session(wine, setup, env, scratch, picture)
        finally:
            # Wine's own services outlive the viewer, writing to the prefix.
            subprocess.run(["wineserver", "--kill"], env=env)
            subprocess.run(["wineserver", "--wait"], env=env)

    return x11_viewer.on_private_display("viewer-wine-", session)


if __name__ == "__main__":
    sys.exit(main())
