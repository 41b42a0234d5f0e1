#!/usr/bin/python3
"""Drives the Windows build of image-viewer under Wine on a private Xvfb
server, with the checks x11_viewer.py makes of the Linux build. The picture
is chosen through the native Windows file dialog, where the Unix path
/x/y.png is Z:\\x\\y.png.

Usage: wine_viewer.py PATH-TO-IMAGE-VIEWER.EXE
Exits 0 on success, 1 on failure, 77 (skipped) when Wine, Xvfb or
python3-xlib is missing.
"""

import os
import shutil
import subprocess
import sys

import x11_viewer

# Wine starts its own services with the first program, and may itself run on
# an emulated machine.
x11_viewer.PATIENCE = 15


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    program = os.path.abspath(sys.argv[1])
    wine = shutil.which("wine")
    if wine is None:
        print("skipped: Wine is not installed (Debian packages wine and wine32:i386)")
        return x11_viewer.SKIPPED

    def session(env, scratch, picture):
        # No Mono or Gecko: nothing to offer to download. A GUI program with
        # no console writes its messages to the debugger output, which
        # +debugstr prints, so they count against its silence too.
        env.update(WINEPREFIX=os.path.join(scratch, "wine"), WINEDEBUG="-all,+debugstr",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        # A new Wine prefix is made before the viewer's first start, not timed with it.
        subprocess.run([wine, "wineboot", "--init"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        subprocess.run(["wineserver", "--wait"], env=env, check=True)
        try:
            x11_viewer.full_session([wine, program], env, scratch, "Z:" + picture.replace("/", "\\"))
        finally:
            # Wine's own services outlive the viewer, writing to the prefix.
            subprocess.run(["wineserver", "--kill"], env=env)
            subprocess.run(["wineserver", "--wait"], env=env)

    return x11_viewer.on_private_display("viewer-wine-", session)


if __name__ == "__main__":
    sys.exit(main())
