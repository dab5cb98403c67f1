"""The X servers and the screen reader of the program harness: a private
Xvfb (XServer) or Xorg on the dummy driver (DummyXorg, or TwoMonitorXorg:
two screens side by side under Xinerama), each on a display number it picks
itself and stopped by its process id; the current display mode as xrandr
reports it; Screenshot, the root window or one window read back with xwd;
and cursor_pixels, the cursor the pointer shows now (XFixes).
"""
import ctypes
import os
import re
import shutil
import struct
import subprocess
import tempfile
import time

from checks import WAIT_LIMIT, Failure, Skip, check


class XServer:
    """A private Xvfb with one screen of the given size and depth, black
    background. (At depth 8 it has no GLX.)"""

    def __init__(self, width, height, depth=24):
        self._start(["Xvfb", "-screen", "0", f"{width}x{height}x{depth}", "-br"])

    def _start(self, command):
        """Starts the server on a display number it picks itself and reads that number."""
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            [*command, "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + WAIT_LIMIT
        with os.fdopen(read_end, "rb") as pipe:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip():
            self.stop()
            raise Failure(f"{command[0]} did not start")
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


# Xorg's dummy driver: a screen of several modes, the first one current.
DUMMY_CONFIG = """\
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 32768
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "1280x1024" 108.00 1280 1328 1440 1688 1024 1025 1028 1066 +hsync +vsync
  Modeline "1024x768" 65.00 1024 1048 1184 1344 768 771 777 806 -hsync -vsync
  Modeline "800x600" 40.00 800 840 968 1056 600 601 605 628 +hsync +vsync
  Modeline "640x480" 25.18 640 656 752 800 480 490 492 525 -hsync -vsync
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "1280x1024" "1024x768" "800x600" "640x480"
  EndSubSection
EndSection
"""
DUMMY_DRIVER = "/usr/lib/xorg/modules/drivers/dummy_drv.so"


# Two dummy screens, 800 x 600 and 640 x 480 to its right, made one
# 1440 x 600 screen by Xinerama: two monitors to a client.
TWO_MONITOR_CONFIG = """\
Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "DontVTSwitch" "true"
  Option "Xinerama" "true"
EndSection
Section "Device"
  Identifier "dummy0"
  Driver "dummy"
  VideoRam 32768
EndSection
Section "Device"
  Identifier "dummy1"
  Driver "dummy"
  VideoRam 32768
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "800x600" 40.00 800 840 968 1056 600 601 605 628 +hsync +vsync
  Modeline "640x480" 25.18 640 656 752 800 480 490 492 525 -hsync -vsync
EndSection
Section "Screen"
  Identifier "left"
  Device "dummy0"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "800x600"
  EndSubSection
EndSection
Section "Screen"
  Identifier "right"
  Device "dummy1"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "640x480"
  EndSubSection
EndSection
Section "ServerLayout"
  Identifier "layout"
  Screen 0 "left" 0 0
  Screen 1 "right" RightOf "left"
EndSection
"""
# What TwoMonitorXorg's monitors are, (left, top, right, bottom) each.
TWO_MONITORS = ((0, 0, 800, 600), (800, 0, 1440, 480))


class DummyXorg(XServer):
    """A private Xorg on the dummy driver, starting at 1280 x 1024 (as root only)."""

    CONFIG = DUMMY_CONFIG

    def __init__(self):
        if os.geteuid() != 0 or shutil.which("Xorg") is None or not os.path.exists(DUMMY_DRIVER):
            raise Skip("Xorg with the dummy driver needs root, Xorg and xserver-xorg-video-dummy")
        self.dir = tempfile.mkdtemp(prefix="sorvel2-xorg-")
        config = os.path.join(self.dir, "xorg.conf")
        with open(config, "w") as f:
            f.write(self.CONFIG)
        # An empty config folder: nothing of the machine's own X set-up applies.
        os.mkdir(os.path.join(self.dir, "conf.d"))
        try:
            self._start(["Xorg", "-config", config, "-configdir", os.path.join(self.dir, "conf.d"),
                         "-logfile", os.path.join(self.dir, "Xorg.log")])
        except Failure:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def stop(self):
        super().stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class TwoMonitorXorg(DummyXorg):
    """A private Xorg with two monitors, TWO_MONITORS (as root only)."""

    CONFIG = TWO_MONITOR_CONFIG


class _CursorImage(ctypes.Structure):
    _fields_ = [("x", ctypes.c_short), ("y", ctypes.c_short), ("width", ctypes.c_ushort),
                ("height", ctypes.c_ushort), ("xhot", ctypes.c_ushort), ("yhot", ctypes.c_ushort),
                ("cursor_serial", ctypes.c_ulong), ("pixels", ctypes.POINTER(ctypes.c_ulong)),
                ("atom", ctypes.c_ulong), ("name", ctypes.c_char_p)]


def cursor_pixels(display):
    """How many pixels of the cursor the pointer shows now are not fully
    transparent (0: a hidden cursor), read with XFixesGetCursorImage."""
    try:
        xlib = ctypes.CDLL("libX11.so.6")
        xfixes = ctypes.CDLL("libXfixes.so.3")
    except OSError as e:
        raise Skip(f"the cursor is read with libXfixes: {e}")
    xlib.XOpenDisplay.restype = ctypes.c_void_p
    xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    xlib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    xlib.XFree.argtypes = [ctypes.c_void_p]
    xfixes.XFixesGetCursorImage.restype = ctypes.POINTER(_CursorImage)
    xfixes.XFixesGetCursorImage.argtypes = [ctypes.c_void_p]
    connection = xlib.XOpenDisplay(display.encode())
    check(connection, f"cannot open {display} to read the cursor")
    try:
        image = xfixes.XFixesGetCursorImage(connection)
        check(bool(image), "XFixesGetCursorImage gave nothing")
        try:
            found = image.contents
            # Each pixel is ARGB in an unsigned long; alpha 0 is transparent.
            return sum(1 for i in range(found.width * found.height) if (found.pixels[i] >> 24) & 0xFF)
        finally:
            xlib.XFree(ctypes.cast(image, ctypes.c_void_p))
    finally:
        xlib.XCloseDisplay(connection)


def current_mode(display):
    """The screen size xrandr reports as current, (width, height)."""
    out = subprocess.run(["xrandr", "--display", display], check=True, capture_output=True, text=True,
                         timeout=WAIT_LIMIT).stdout
    found = re.search(r"current (\d+) x (\d+)", out)
    check(found is not None, f"no current mode in xrandr's output: {out!r}")
    return int(found.group(1)), int(found.group(2))


class Screenshot:
    """The root window, or one window, read back with xwd (24 or 32 bits a pixel)."""

    def __init__(self, display, window=None):
        which = ["-id", str(window)] if window is not None else ["-root"]
        # NOTE: while the screen changes size (just after a mode switch) the
        # server refuses the read (BadMatch) for a moment: try again briefly.
        deadline = time.monotonic() + 10.0
        while True:
            done = subprocess.run(["xwd", *which, "-silent", "-display", display],
                                  capture_output=True, timeout=WAIT_LIMIT)
            if done.returncode == 0 or time.monotonic() > deadline:
                break
            time.sleep(0.2)
        check(done.returncode == 0, f"xwd failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
        data = done.stdout
        self.raw = data
        fields = struct.unpack(">25I", data[:100])
        header_size, width, height = fields[0], fields[4], fields[5]
        byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
        masks = fields[14:17]
        check(bits_per_pixel in (24, 32), f"unexpected xwd pixel size {bits_per_pixel}")
        self.width, self.height = width, height
        self._offset = header_size + 12 * fields[19]
        # NOTE: xwd may report 24 bits for a depth-24 screen whose pixels
        # take four bytes; the line length tells.
        self._step = 4 if bytes_per_line >= 4 * width else 3
        self._line = bytes_per_line
        self._little = byte_order == 0
        self._shifts = [(mask, (mask & -mask).bit_length() - 1) for mask in masks]

    def at(self, x, y):
        start = self._offset + y * self._line + x * self._step
        value = int.from_bytes(self.raw[start:start + self._step], "little" if self._little else "big")
        return tuple((value & mask) >> shift for mask, shift in self._shifts)

    def region(self, x0, y0, x1, y1, stride=1):
        return [self.at(x, y) for y in range(y0, y1, stride) for x in range(x0, x1, stride)]

    def sample(self, stride=3):
        return self.region(0, 0, self.width, self.height, stride)
