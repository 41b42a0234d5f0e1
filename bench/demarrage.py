#!/usr/bin/python3
"""Start-up time to the first shown window: the viewer against a bare toolkit
window with two buttons, alternated on one private Xvfb server.

Usage: demarrage.py IMAGE-VIEWER BARE-WINDOW [RUNS]
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from x11_viewer import Screen, start_xvfb  # noqa: E402


def time_to_map(screen, program, env):
    """Seconds from launch until the X server maps the program's first window."""
    X = screen.X
    start = time.perf_counter()
    proc = subprocess.Popen([program], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while True:
        event = screen.d.next_event()
        if event.type == X.MapNotify:
            elapsed = time.perf_counter() - start
            window = event.window
            break
    screen.close(window)
    proc.wait(20)
    return elapsed


def main():
    viewer, bare = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 15
    server, name = start_xvfb(shutil.which("Xvfb"))
    try:
        with tempfile.TemporaryDirectory() as runtime:
            env = dict(os.environ, DISPLAY=name, XDG_RUNTIME_DIR=runtime)
            env.pop("QT_QPA_PLATFORM", None)
            screen = Screen(name)
            screen.root.change_attributes(event_mask=screen.X.SubstructureNotifyMask)
            times = {viewer: [], bare: []}
            for program in (viewer, bare):  # warm the page cache
                time_to_map(screen, program, env)
            for _ in range(runs):
                for program in (viewer, bare):
                    times[program].append(time_to_map(screen, program, env))
            v, b = statistics.median(times[viewer]), statistics.median(times[bare])
            ratio = v / b
            print("start-up to the first shown window, median of %d: viewer %.1f ms / bare window %.1f ms = %.2fx"
                  % (runs, v * 1000, b * 1000, ratio))
            met = ratio <= 1.05
            print("start-up target met" if met else "start-up target NOT met")
            return 0 if met else 1
    finally:
        server.terminate()
        server.wait(10)


if __name__ == "__main__":
    sys.exit(main())
