#!/usr/bin/python3
"""Drives the real image-viewer on a private Xvfb server, as a user and a
window manager would, and checks what it shows, its exit status and its
silence.

It also chooses the test picture as a WebP, a TIFF and an SVG, and pictures
tagged with colour profiles and an orientation, on an sRGB screen and on a
wide-gamut one. Given the
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


# Colour profiles the tests tag pictures with, written here by hand: the
# primaries of each, as the profile's XYZ columns (D50), and its gamma.
SRGB_PRIMARIES = [(0.4361, 0.2225, 0.0139), (0.3851, 0.7169, 0.0971), (0.1431, 0.0606, 0.7142)]
P3_PRIMARIES = [(0.5151, 0.2412, -0.0011), (0.2920, 0.6922, 0.0419), (0.1571, 0.0666, 0.7841)]
REC2020_PRIMARIES = [(0.6734, 0.2790, -0.0019), (0.1656, 0.6753, 0.0299), (0.1251, 0.0456, 0.7973)]
D50 = (0.9642, 1.0, 0.8249)


def icc_profile(description, tags, device_class=b"mntr"):
    """An ICC version 2 RGB profile (PCS XYZ) holding tags, a list of
    (signature, data) pairs, besides its description and white point."""
    def s15(v):
        return struct.pack(">i", round(v * 65536))

    def text(t):
        t = t.encode() + b"\0"
        return b"desc" + bytes(4) + struct.pack(">I", len(t)) + t + bytes(8) + bytes(3) + bytes(67)
    tags = [(b"desc", text(description)), (b"wtpt", b"XYZ " + bytes(4) + b"".join(s15(v) for v in D50))] + tags
    offset = 128 + 4 + 12 * len(tags)
    table, data = b"", b""
    for signature, body in tags:
        table += signature + struct.pack(">II", offset + len(data), len(body))
        data += body + bytes(-len(body) % 4)
    size = offset + len(data)
    header = (struct.pack(">I", size) + bytes(4) + b"\x02\x10\0\0" + device_class + b"RGB XYZ " + bytes(12)
              + b"acsp" + bytes(24) + struct.pack(">I", 0) + b"".join(s15(v) for v in D50) + bytes(48))
    return header + struct.pack(">I", len(tags)) + table + data


def matrix_profile(description, primaries, gamma=2.2):
    """A matrix-and-curve profile, as cameras, phones and screens have."""
    def xyz(column):
        return b"XYZ " + bytes(4) + b"".join(struct.pack(">i", round(v * 65536)) for v in column)
    curve = b"curv" + bytes(4) + struct.pack(">IH", 1, round(gamma * 256))
    return icc_profile(description, [(b"rXYZ", xyz(primaries[0])), (b"gXYZ", xyz(primaries[1])),
                                     (b"bXYZ", xyz(primaries[2])), (b"rTRC", curve), (b"gTRC", curve),
                                     (b"bTRC", curve)])


def table_profile(description):
    """A table profile (lut16, as scanners and the colour consortium's test
    profiles have), linear, whose table swaps red and blue: its colours are
    right only when it is applied. Qt's own colour spaces cannot read it."""
    def corner(r, g, b):
        # The sRGB primaries, linear: red where blue is asked and blue where red.
        return [sum(c * p[i] for c, p in zip((b, g, r), SRGB_PRIMARIES)) for i in range(3)]
    body = b"mft2" + bytes(4) + bytes([3, 3, 2, 0])
    body += b"".join(struct.pack(">i", 65536 if i == j else 0) for i in range(3) for j in range(3))
    body += struct.pack(">HH", 2, 2) + struct.pack(">HH", 0, 65535) * 3
    for r in (0, 1):
        for g in (0, 1):
            for b in (0, 1):
                body += b"".join(struct.pack(">H", min(65535, round(v * 32768))) for v in corner(r, g, b))
    body += struct.pack(">HH", 0, 65535) * 3
    return icc_profile(description, [(b"A2B0", body)], b"scnr")


def write_colour_pictures(folder, screen=None, size=(PICTURE_W, PICTURE_H), names=None):
    """Tagged pictures of size, written with Pillow (those of names, or all),
    and what the dialog must show of each, converted by Pillow's own ImageCms
    from the picture's profile (or sRGB) to screen's (or sRGB), turned by
    Pillow's ImageOps and cut as the label cuts: a list of (path, Counter of
    the colours shown)."""
    import io
    from PIL import Image, ImageCms, ImageOps
    # Quadrants of unequal sizes, so that a picture shown turned the wrong
    # way shows other counts.
    width, height = size
    left, top = width * 26 // 70, height * 18 // 50
    image = Image.new("RGB", size)
    for (x0, y0, x1, y1), colour in zip([(0, 0, left, top), (left, 0, width, top), (0, top, left, height),
                                         (left, top, width, height)], QUADRANTS):
        image.paste(colour, (x0, y0, x1, y1))
    p3 = matrix_profile("Display P3 (gamma 2.2)", P3_PRIMARIES)
    table = table_profile("red and blue swapped (table)")
    srgb = ImageCms.createProfile("sRGB")
    target = ImageCms.ImageCmsProfile(io.BytesIO(screen)) if screen else srgb
    os.makedirs(folder, exist_ok=True)
    cases = []
    for name, profile, orientation in [("untagged.png", None, 1), ("p3.png", p3, 1), ("p3.jpg", p3, 1),
                                       ("table.png", table, 1), ("table.jpg", table, 1),
                                       ("p3-orientation-6.jpg", p3, 6)]:
        if names is not None and name not in names:
            continue
        path = os.path.join(folder, name)
        options = {"icc_profile": profile} if profile else {}
        if name.endswith(".jpg"):
            exif = Image.Exif()
            exif[0x0112] = orientation
            image.save(path, "JPEG", quality=100, subsampling=0, exif=exif.tobytes(), **options)
        else:
            image.save(path, "PNG", **options)
        stored = Image.open(path)
        source = ImageCms.ImageCmsProfile(io.BytesIO(profile)) if profile else srgb
        shown = ImageCms.profileToProfile(ImageOps.exif_transpose(stored), source, target, outputMode="RGB")
        w, h = shown.size
        y0 = h // 2 - min(h, LABEL_H) // 2
        shown = shown.crop((0, y0, min(w, LABEL_W), y0 + min(h, LABEL_H)))
        cases.append((path, collections.Counter(shown.getdata())))
    return cases


def colours_session(command, env, scratch, cases, to_path, what=""):
    """Chooses each picture of cases in one run of the viewer: the dialog
    shows each colour of it, within 2 levels a channel, on as many pixels as
    it should, within a tenth (JPEG's edges blur)."""
    viewer = Viewer(command[0], command[1:], env, scratch)
    screen = Screen(env["DISPLAY"])
    main = main_window(screen)
    for path, expected in cases:
        choose(screen, main, to_path(path))
        dialog = open_dialog(screen, main)
        main_colours = [(c, n) for c, n in expected.items() if n >= 1000]

        def near(counts):
            return [sum(m for p, m in counts.items() if all(abs(a - b) <= 2 for a, b in zip(p, c)))
                    for c, _ in main_colours]

        def right():
            got = near(screen.pixel_counts(dialog))
            return all(0.9 * n <= m <= 1.1 * n for m, (_, n) in zip(got, main_colours)) and got
        try:
            wait_for("the colours of " + os.path.basename(path), right, 5)
        except Failure:
            raise Failure("%s%s shows %s of the colours %s" % (os.path.basename(path), what,
                          near(screen.pixel_counts(dialog)), main_colours))
        check(True, "%s%s shows its colours as meant: %s" % (os.path.basename(path), what, main_colours))
        screen.close(dialog)
        wait_for("the picture dialog to close", lambda: not other_window(screen, [main]))
    screen.close(main)
    status, out, err = viewer.finish()
    check(status == 0 and out == b"" and err == b"",
          "the viewer exits with status 0 and prints nothing (%d, %r, %r)" % (status, out[:300], err[:300]))


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
        from Xlib import X, XK, Xatom, display
        from Xlib.ext import xtest
        from Xlib.protocol import event
        self.X, self.XK, self.Xatom, self.xtest, self.event = X, XK, Xatom, xtest, event
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

    def pixel_counts(self, w):
        """How many pixels of each colour the window shows, by (r, g, b)."""
        _, _, width, height = self.rect(w)
        data = bytearray(w.get_image(0, 0, width, height, self.X.ZPixmap, 0xFFFFFFFF).data)
        data[3::4] = bytes(len(data) // 4)  # 32-bit pixels of a 24-bit screen: drop the padding
        return collections.Counter({(p >> 16, (p >> 8) & 0xff, p & 0xff): n
                                    for p, n in collections.Counter(array.array("I", data)).items()})

    def colour_counts(self, w, colours=QUADRANTS):
        """How many pixels of each colour (each quadrant's by default) the window shows."""
        pixels = self.pixel_counts(w)
        return [pixels[tuple(c)] for c in colours]

    def set_root_profile(self, profile):
        """Publishes profile as the screen's, as a desktop's colour settings
        do; None takes it away."""
        atom = self.d.intern_atom("_ICC_PROFILE")
        if profile is None:
            self.root.delete_property(atom)
        else:
            self.root.change_property(atom, self.Xatom.CARDINAL, 8, profile)
        self.d.sync()


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
        colours_session([program], env, scratch, write_colour_pictures(os.path.join(scratch, "colours")), lambda p: p)
        # A wide-gamut screen, its profile published on the root window.
        wide = matrix_profile("Rec. 2020 (gamma 2.2)", REC2020_PRIMARIES)
        Screen(env["DISPLAY"]).set_root_profile(wide)
        colours_session([program], env, scratch, write_colour_pictures(os.path.join(scratch, "wide"), wide),
                        lambda p: p, " on a Rec. 2020 screen")
        Screen(env["DISPLAY"]).set_root_profile(None)
        session_with_arguments(program, env, scratch)
        if plugins:
            # The helper's memory: the decoding bound, the working room and
            # a stack for each processor (decodeur/protocole.h).
            misbehaving_session([program], dict(env, QT_PLUGIN_PATH=plugins), scratch, picture, lambda p: p,
                                1024 + 64 + 8 * os.cpu_count())
    return on_private_display("viewer-x11-", session)


if __name__ == "__main__":
    sys.exit(main())
