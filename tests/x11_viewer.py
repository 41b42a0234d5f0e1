#!/usr/bin/python3
"""Drives the real image-viewer on a private Xvfb server, as a user and a
window manager would, and checks what it shows, its exit status and its
silence.

It also chooses the test picture as a WebP, a TIFF and an SVG. Given the
tests' misbehaving reader (the folder holding its imageformats folder), it
then checks that the decoding helper contains it.

Usage: x11_viewer.py PATH-TO-IMAGE-VIEWER [PLUGINS]
Exits 0 on success, 1 on failure, 77 (skipped) when Xvfb, python3-xlib or
python3-pil is missing.
"""

import array
import collections
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zlib

SKIPPED = 77

# The test picture: four quadrants of colours nothing else on screen has,
# larger than the 640 x 480 the picture dialog shows of it.
QUADRANTS = [(200, 30, 40), (20, 180, 60), (40, 50, 220), (230, 210, 20)]
PICTURE_W, PICTURE_H = 700, 500
LABEL_W, LABEL_H = 640, 480

# Scales every wait and pause: slower hosts (Wine, an emulated machine) raise it.
PATIENCE = 1.0


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    print("ok:", what, flush=True)


def pause(seconds):
    time.sleep(seconds * PATIENCE)


def write_picture(path):
    left, right = PICTURE_W // 2, PICTURE_W - PICTURE_W // 2
    top, bottom = [b"\0" + bytes(QUADRANTS[q]) * left + bytes(QUADRANTS[q + 1]) * right for q in (0, 2)]
    rows = top * (PICTURE_H // 2) + bottom * (PICTURE_H - PICTURE_H // 2)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", PICTURE_W, PICTURE_H, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
                + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def write_pictures_in_formats(folder):
    """The test picture as a lossless WebP, a TIFF and an SVG, written with
    Pillow (Debian package python3-pil) and by hand; returns their paths."""
    from PIL import Image
    image = Image.new("RGB", (PICTURE_W, PICTURE_H))
    left, top = PICTURE_W // 2, PICTURE_H // 2
    boxes = [(0, 0, left, top), (left, 0, PICTURE_W, top), (0, top, left, PICTURE_H), (left, top, PICTURE_W, PICTURE_H)]
    for box, colour in zip(boxes, QUADRANTS):
        image.paste(colour, box)
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, "picture." + suffix) for suffix in ("webp", "tif", "svg")]
    image.save(paths[0], "WEBP", lossless=True)
    image.save(paths[1], "TIFF", compression="tiff_deflate")
    rects = "".join('<rect x="%d" y="%d" width="%d" height="%d" fill="rgb%s"/>'
                    % (x0, y0, x1 - x0, y1 - y0, colour) for (x0, y0, x1, y1), colour in zip(boxes, QUADRANTS))
    with open(paths[2], "w") as f:
        f.write('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d">%s</svg>' % (PICTURE_W, PICTURE_H, rects))
    return paths


def pictures_session(command, env, scratch, pictures, to_path):
    """Chooses each of pictures (the test picture in other formats) in one
    run of the viewer: each shows as the PNG does."""
    viewer = Viewer(command[0], command[1:], env, scratch)
    screen = Screen(env["DISPLAY"])
    main = main_window(screen)
    for picture in pictures:
        choose(screen, main, to_path(picture))
        see_picture(screen, main, "a picture in %s shows" % os.path.splitext(picture)[1], shown_of_picture())
    screen.close(main)
    status, out, err = viewer.finish()
    check(status == 0 and out == b"" and err == b"",
          "the viewer exits with status 0 and prints nothing (%d, %r, %r)" % (status, out[:300], err[:300]))


def start_xvfb(xvfb):
    reader, writer = os.pipe()
    server = subprocess.Popen(
        [xvfb, "-displayfd", str(writer), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
        pass_fds=(writer,), stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(writer)
    number = b""
    deadline = time.monotonic() + 30
    while not number.endswith(b"\n"):
        if not select.select([reader], [], [], max(0.0, deadline - time.monotonic()))[0]:
            server.kill()
            raise Failure("Xvfb did not report its display")
        part = os.read(reader, 16)
        if not part:
            raise Failure("Xvfb exited before reporting its display")
        number += part
    os.close(reader)
    return server, ":" + number.decode().strip()


class Screen:
    """The X side: finding windows, clicking, typing, closing like a window manager."""

    def __init__(self, name):
        from Xlib import X, XK, display
        from Xlib.ext import xtest
        from Xlib.protocol import event
        self.X, self.XK, self.xtest, self.event = X, XK, xtest, event
        self.d = display.Display(name)
        self.root = self.d.screen().root
        self.wm_protocols = self.d.intern_atom("WM_PROTOCOLS")
        self.wm_delete = self.d.intern_atom("WM_DELETE_WINDOW")
        self.net_wm_name = self.d.intern_atom("_NET_WM_NAME")
        self.utf8 = self.d.intern_atom("UTF8_STRING")

    def windows(self):
        """Viewable top-level windows: with no window manager, the root's children."""
        shown = []
        for w in self.root.query_tree().children:
            try:
                if w.get_attributes().map_state == self.X.IsViewable:
                    shown.append(w)
            except Exception:  # gone meanwhile
                pass
        return shown

    def title(self, w):
        try:
            prop = w.get_full_property(self.net_wm_name, self.utf8)
            if prop is not None:
                return prop.value.decode("utf-8")
            return w.get_wm_name() or ""
        except Exception:
            return ""

    def rect(self, w):
        g = w.get_geometry()
        origin = w.translate_coords(self.root, 0, 0)
        return -origin.x, -origin.y, g.width, g.height

    def click(self, x, y):
        self.xtest.fake_input(self.d, self.X.MotionNotify, x=x, y=y)
        self.xtest.fake_input(self.d, self.X.ButtonPress, 1)
        self.xtest.fake_input(self.d, self.X.ButtonRelease, 1)
        self.d.sync()

    def key(self, keysym, shift=False):
        code = self.d.keysym_to_keycode(keysym)
        shift_code = self.d.keysym_to_keycode(self.XK.XK_Shift_L)
        if shift:
            self.xtest.fake_input(self.d, self.X.KeyPress, shift_code)
        self.xtest.fake_input(self.d, self.X.KeyPress, code)
        self.xtest.fake_input(self.d, self.X.KeyRelease, code)
        if shift:
            self.xtest.fake_input(self.d, self.X.KeyRelease, shift_code)
        self.d.sync()
        time.sleep(0.01)

    def type(self, text):
        for ch in text:
            keysym = ord(ch)  # printable ASCII keysyms are their code points
            code = self.d.keysym_to_keycode(keysym)
            self.key(keysym, shift=self.d.keycode_to_keysym(code, 0) != keysym)

    def focus(self, w):
        w.set_input_focus(self.X.RevertToParent, self.X.CurrentTime)
        self.d.sync()

    def close(self, w):
        """What a window manager sends when the user closes a window."""
        message = self.event.ClientMessage(
            window=w, client_type=self.wm_protocols,
            data=(32, [self.wm_delete, self.X.CurrentTime, 0, 0, 0]))
        w.send_event(message, event_mask=self.X.NoEventMask)
        self.d.sync()

    def colour_counts(self, w, colours=QUADRANTS):
        """How many pixels of each colour (each quadrant's by default) the window shows."""
        _, _, width, height = self.rect(w)
        data = bytearray(w.get_image(0, 0, width, height, self.X.ZPixmap, 0xFFFFFFFF).data)
        data[3::4] = bytes(len(data) // 4)  # 32-bit pixels of a 24-bit screen: drop the padding
        pixels = collections.Counter(array.array("I", data))
        return [pixels[(r << 16) | (g << 8) | b] for r, g, b in colours]


def wait_for(what, condition, timeout=20.0):
    deadline = time.monotonic() + timeout * PATIENCE
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("timed out waiting for " + what)
        time.sleep(0.05)


class Viewer:
    def __init__(self, program, args, env, scratch):
        self.out_path = os.path.join(scratch, "stdout")
        self.err_path = os.path.join(scratch, "stderr")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([program] + args, env=env, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=err)

    def finish(self, timeout=20):
        try:
            status = self.proc.wait(timeout * PATIENCE)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise Failure("the viewer did not exit after its window was closed")
        with open(self.out_path, "rb") as f:
            out = f.read()
        with open(self.err_path, "rb") as f:
            err = f.read()
        return status, out, err


def main_window(screen):
    return wait_for("the window titled 'Image viewer'",
                    lambda: next((w for w in screen.windows()
                                  if screen.title(w) == "Image viewer"), None))


def other_window(screen, known, title=None):
    ids = {w.id for w in known}
    return next((w for w in screen.windows() if w.id not in ids
                 and (title is None or screen.title(w) == title)), None)


def choose(screen, main, picture):
    """Clicks "Choose an image"; types picture's path and Return, or Escape to cancel."""
    x, y, w, h = screen.rect(main)
    screen.click(x + 3 * w // 4, y + h // 2)
    chooser = wait_for("the file dialog", lambda: other_window(screen, [main], "Choose an image"))
    pause(0.3)  # let it settle and take focus
    screen.focus(chooser)
    if picture is None:
        screen.key(screen.XK.XK_Escape)
    else:
        screen.type(picture)
        screen.key(screen.XK.XK_Return)
    # A completion popup may take the first Return: press it again until the dialog closes.
    for _ in range(3):
        try:
            wait_for("the file dialog to close", lambda: not other_window(screen, [main], "Choose an image"), 2)
            return
        except Failure:
            screen.key(screen.XK.XK_Return)
    raise Failure("the file dialog did not close")


def open_dialog(screen, main):
    x, y, w, h = screen.rect(main)
    screen.click(x + w // 4, y + h // 2)
    return wait_for("the picture dialog", lambda: other_window(screen, [main]))


def shown_of_picture():
    """How many pixels of each quadrant the label shows: the picture's left
    LABEL_W columns and its middle LABEL_H rows."""
    top = PICTURE_H // 2 - LABEL_H // 2
    columns = [PICTURE_W // 2, LABEL_W - PICTURE_W // 2]
    rows = [PICTURE_H // 2 - top, top + LABEL_H - PICTURE_H // 2]
    return [rows[q // 2] * columns[q % 2] for q in range(4)]


def see_picture(screen, main, what, counts):
    """Opens the picture dialog, waits until it shows counts pixels of each quadrant's colour, closes it."""
    dialog = open_dialog(screen, main)
    wait_for(what, lambda: screen.colour_counts(dialog) == counts, 5)
    check(True, what)
    screen.close(dialog)
    wait_for("the picture dialog to close", lambda: not other_window(screen, [main]))


def full_session(command, env, scratch, picture):
    """A whole run of the viewer that command starts; picture is typed into its file dialog."""
    viewer = Viewer(command[0], command[1:], env, scratch)
    screen = Screen(env["DISPLAY"])
    main = main_window(screen)
    _, _, w, h = screen.rect(main)
    check(w < 640 and h < 480 and w > h, "main window opened at its layout's size (%dx%d)" % (w, h))

    dialog = open_dialog(screen, main)
    check(screen.colour_counts(dialog) == [0] * 4, "before any choice the picture dialog is empty")
    # Out of the way of the main window's buttons, to show they are blocked.
    dialog.configure(x=700, y=600)
    screen.d.sync()
    pause(0.3)
    screen.close(main)
    mx, my, mw, mh = screen.rect(main)
    screen.click(mx + 3 * mw // 4, my + mh // 2)
    pause(0.5)
    check(viewer.proc.poll() is None and any(x.id == main.id for x in screen.windows()),
          "while the dialog runs, the main window cannot be closed")
    extra = other_window(screen, [main, dialog])
    check(extra is None, "while the dialog runs, the main window's buttons take no clicks%s"
          % ("" if extra is None else " (but a window %r opened)" % screen.title(extra)))
    screen.close(dialog)
    wait_for("the picture dialog to close", lambda: not other_window(screen, [main]))
    check(viewer.proc.poll() is None, "closing the picture dialog leaves the program running")

    choose(screen, main, picture)
    see_picture(screen, main, "the picture dialog shows the chosen picture, every pixel the label "
                "can: its left %d columns and middle %d rows" % (LABEL_W, LABEL_H), shown_of_picture())
    choose(screen, main, None)
    see_picture(screen, main, "a cancelled choice empties the picture dialog", [0] * 4)

    screen.close(main)
    status, out, err = viewer.finish()
    check(status == 0, "closing the main window exits with status 0 (got %d)" % status)
    check(out == b"" and err == b"", "nothing printed (stdout %r, stderr %r)" % (out[:300], err[:300]))


# The tests' misbehaving reader (tests/lecteur_hostile) draws these in its
# plain picture, and a pixel of BLOCK for each 16 MiB block it could take.
HOSTILE_PLAIN = [(40 * x, 80 * y, 200) for y in range(3) for x in range(5)]
BLOCK = (20, 40, 60)


def misbehaving_session(command, env, scratch, picture, to_path, memory_bound_mib, unbound_mib=None):
    """The misbehaving reader, which env's QT_PLUGIN_PATH finds, crashes,
    spins, sleeps and takes memory: each time the window is back promptly
    with the empty picture, and the next picture opens; the memory it got
    is within memory_bound_mib, or, where the system may not hold the helper
    to that, within unbound_mib (all a 32-bit process can address). to_path
    turns a path into the program's."""
    files = {}
    for mode in ("plain", "crash", "spin", "sleep", "allocate"):
        files[mode] = os.path.join(scratch, mode + ".hostile")
        with open(files[mode], "wb") as f:
            f.write(b"image-viewer-hostile " + mode.encode() + b"\n")
    viewer = Viewer(command[0], command[1:], env, scratch)
    screen = Screen(env["DISPLAY"])
    main = main_window(screen)

    def choose_and_see(path, colours, shown=lambda counts: True):
        """Chooses path; once the window takes clicks again, returns the
        seconds that took and what the picture dialog shows of colours, as
        soon as that satisfies shown."""
        choose(screen, main, to_path(path))
        start = time.monotonic()
        dialog = open_dialog(screen, main)
        elapsed = time.monotonic() - start
        try:
            counts = wait_for("the picture", lambda: (lambda c: shown(c) and c)(screen.colour_counts(dialog, colours)), 5)
        except Failure:
            counts = screen.colour_counts(dialog, colours)
        screen.close(dialog)
        wait_for("the picture dialog to close", lambda: not other_window(screen, [main]))
        return elapsed, counts

    plain = [1] * len(HOSTILE_PLAIN)
    check(choose_and_see(files["plain"], HOSTILE_PLAIN, lambda c: c == plain)[1] == plain,
          "the decoding helper uses the misbehaving reader: its plain picture shows")
    for mode in ("crash", "spin", "sleep"):
        elapsed, counts = choose_and_see(files[mode], QUADRANTS + [BLOCK])
        check(counts == [0] * 5 and elapsed < 2 * PATIENCE,
              "a reader that does %s gives the empty picture (%s), the window back in %.1f s" % (mode, counts, elapsed))
        expected = shown_of_picture()
        check(choose_and_see(picture, QUADRANTS, lambda c: c == expected)[1] == expected, "the next picture opens")
    blocks = choose_and_see(files["allocate"], [BLOCK], lambda c: c[0] > 0)[1][0]
    if unbound_mib is None or 0 < blocks * 16 <= memory_bound_mib:
        check(0 < blocks and blocks * 16 <= memory_bound_mib,
              "a reader that takes memory without end gets %d MiB, no more than %d" % (blocks * 16, memory_bound_mib))
    else:
        check(blocks * 16 <= unbound_mib, "a reader that takes memory without end gets %d MiB: this system does not "
              "hold the helper to its %d MiB, but it ends there, with all a 32-bit process can address"
              % (blocks * 16, memory_bound_mib))
    expected = shown_of_picture()
    check(choose_and_see(picture, QUADRANTS, lambda c: c == expected)[1] == expected, "the next picture opens")

    screen.close(main)
    status, out, err = viewer.finish()
    check(status == 0 and out == b"" and err == b"",
          "the viewer exits with status 0 and prints nothing (%d, %r, %r)" % (status, out[:300], err[:300]))


def session_with_arguments(program, env, scratch):
    viewer = Viewer(program, ["-style", "fusion", "foo", "--bar"], env, scratch)
    screen = Screen(env["DISPLAY"])
    main = main_window(screen)
    screen.close(main)
    status, out, err = viewer.finish()
    check(status == 0, "with toolkit options and stray arguments it starts and exits 0 (got %d)" % status)
    check(out == b"" and err == b"", "nothing printed with arguments (stdout %r, stderr %r)" % (out[:300], err[:300]))


def on_private_display(prefix, session):
    """Runs session(env, scratch, picture) against a private Xvfb server, in a
    scratch folder holding the test picture; returns the exit status."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None:
        print("skipped: Xvfb is not installed (Debian package xvfb)")
        return SKIPPED
    try:
        import Xlib.ext.xtest  # noqa: F401
    except ImportError:
        print("skipped: python3-xlib is not installed")
        return SKIPPED

    with tempfile.TemporaryDirectory(prefix=prefix) as scratch:
        picture = os.path.join(scratch, "picture.png")
        write_picture(picture)
        runtime = os.path.join(scratch, "runtime")
        os.mkdir(runtime, 0o700)
        server, name = start_xvfb(xvfb)
        env = {k: v for k, v in os.environ.items()
               if k not in ("QT_QPA_PLATFORM", "XDG_CURRENT_DESKTOP", "WAYLAND_DISPLAY", "QT_STYLE_OVERRIDE")}
        env.update(DISPLAY=name, XDG_RUNTIME_DIR=runtime)
        try:
            session(env, scratch, picture)
        except Failure as failure:
            print("FAIL:", failure, flush=True)
            return 1
        finally:
            server.terminate()
            server.wait(10)
    print("all checks passed")
    return 0


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__)
        return 2
    program = os.path.abspath(sys.argv[1])
    plugins = os.path.abspath(sys.argv[2]) if len(sys.argv) == 3 else None
    try:
        import PIL  # noqa: F401
    except ImportError:
        print("skipped: python3-pil is not installed")
        return SKIPPED

    def session(env, scratch, picture):
        full_session([program], env, scratch, picture)
        pictures_session([program], env, scratch, write_pictures_in_formats(os.path.join(scratch, "pictures")),
                         lambda p: p)
        session_with_arguments(program, env, scratch)
        if plugins:
            # The helper's memory: the decoding bound, the working room and
            # a stack for each processor (decodeur/protocole.h).
            misbehaving_session([program], dict(env, QT_PLUGIN_PATH=plugins), scratch, picture, lambda p: p,
                                1024 + 64 + 8 * os.cpu_count())
    return on_private_display("viewer-x11-", session)


if __name__ == "__main__":
    sys.exit(main())
