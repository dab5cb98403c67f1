#!/usr/bin/env python3
"""Runs the real sorvel2 program under a private Xvfb and checks what a user
sees: frames on the screen, Escape and a close request ending it with 0, and
the exit codes and report lines of the failures at start-up. The page_*
cases do the same for the browser build: the page served from 127.0.0.1 and
opened in headless Chromium.

    run_program_test.py --program BIN --demo DIR --close-helper BIN CASE
    run_program_test.py ... screenshot PNG_OR_XWD   (a picture of the demo)
    run_program_test.py --page DIST_WEB --demo DIR [--tool SORVEL2_TOOL] page_CASE
    run_program_test.py --page DIST_WEB --demo DIR page_screenshot PNG
    run_program_test.py --page DIST_WEB --demo DIR page_frame_time   (prints it)

Each case starts its own X server on a free display number (Xvfb picks it
with -displayfd) and stops it again by its process id. Message boxes are
reduced to their stderr lines (SORVEL2_NO_MESSAGE_BOX=1), so nothing waits
for a click. A page case serves a copy of the page with its own options and
textures (python3 -m http.server on a free port) and runs Chromium on
virtual time: the page's clock advances only as the browser lets it, so a
budget of virtual seconds gives the same frames on a slow machine. Both are
stopped by their process ids. Every wait is bounded.
"""
import argparse
import base64
import contextlib
import fcntl
import json
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request
import zlib

WAIT_LIMIT = 60.0  # seconds for anything that should happen much sooner


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class XServer:
    """A private Xvfb with one screen of the given size, black background."""

    def __init__(self, width, height):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-br", "-noreset"],
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
            raise Failure("Xvfb did not start")
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Screenshot:
    """The root window read back with xwd (24 or 32 bits a pixel)."""

    def __init__(self, display):
        data = subprocess.run(["xwd", "-root", "-silent", "-display", display],
                              check=True, capture_output=True, timeout=WAIT_LIMIT).stdout
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


def spread(pixels):
    """Number of distinct colours and the standard deviation of brightness."""
    lum = [0.299 * r + 0.587 * g + 0.114 * b for r, g, b in pixels]
    mean = sum(lum) / len(lum)
    deviation = (sum((v - mean) ** 2 for v in lum) / len(lum)) ** 0.5
    return len(set(pixels)), deviation


class Run:
    """One run of the program in a fresh working directory."""

    def __init__(self, args, options="640 480 0 10 40\n", files=("reflect.bmp", "background.bmp"),
                 display=None):
        self.dir = tempfile.mkdtemp(prefix="sorvel2-run-")
        if options is not None:
            with open(os.path.join(self.dir, "options.txt"), "w") as f:
                f.write(options)
        for name in files:
            shutil.copy(os.path.join(args.demo, name), self.dir)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
        env["SORVEL2_NO_MESSAGE_BOX"] = "1"
        # NOTE: in a sanitizer build, SDL unloads the X libraries it opened
        # when the program ends, so what they keep for the life of the
        # process is reported as leaks with no module left to suppress by
        # name. The program's own memory is leak-checked by the unit tests.
        options = env.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (options + ":" if options else "") + "detect_leaks=0"
        if display is not None:
            env["DISPLAY"] = display
        self.env = env
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.stderr_file = open(self.stderr_path, "wb")
        self.process = subprocess.Popen([os.path.abspath(args.program)], cwd=self.dir, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=self.stderr_file)

    def wait(self, limit=WAIT_LIMIT):
        try:
            return self.process.wait(limit)
        except subprocess.TimeoutExpired:
            return None

    def stderr(self):
        self.stderr_file.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def finish(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.stderr_file.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def wait_for_frames(server, width, height, run):
    """Waits until the program's window shows a picture; returns the screenshot."""
    deadline = time.monotonic() + WAIT_LIMIT
    while time.monotonic() < deadline:
        check(run.process.poll() is None, f"the program ended early ({run.process.returncode}): {run.stderr()}")
        shot = Screenshot(server.display)
        if spread(shot.region(0, 0, width, height, 3))[0] > 200:
            return shot
        time.sleep(0.2)
    raise Failure("no picture within the time limit")


def xdotool(display, *words):
    subprocess.run(["xdotool", *words], env=dict(os.environ, DISPLAY=display), check=True,
                   timeout=WAIT_LIMIT, stdout=subprocess.DEVNULL)


def ended_with(run, code, limit=WAIT_LIMIT):
    rc = run.wait(limit)
    check(rc is not None, f"still running after {limit} s")
    check(rc == code, f"exit code {rc}, expected {code}; stderr: {run.stderr()}")


@contextlib.contextmanager
def session(args, options="640 480 0 10 20\n", files=("reflect.bmp", "background.bmp"), screen=(640, 480),
            frames=True):
    """The program on a private X server; with frames, waits for its first picture (the shot)."""
    server = XServer(*screen)
    run = Run(args, options=options, files=files, display=server.display)
    try:
        run.shot = wait_for_frames(server, 640, 480, run) if frames else None
        yield server, run
    finally:
        run.finish()
        server.stop()


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------
def case_draws_frames(args):
    with session(args, options="640 480 0 10 40\n") as (server, run):
        before = run.shot.sample()
        colours, deviation = spread(before)
        check(colours > 500 and deviation > 10, f"flat picture: {colours} colours, deviation {deviation:.1f}")
        time.sleep(0.5)
        after = Screenshot(server.display).sample()
        changed = sum(1 for a, b in zip(before, after) if a != b)
        check(changed > len(before) // 20, f"the picture does not move: {changed} of {len(before)} samples changed")
        xdotool(server.display, "key", "Escape")
        ended_with(run, 0)


def case_escape_ends_within_a_second(args):
    with session(args) as (server, run):
        start = time.monotonic()
        xdotool(server.display, "key", "Escape")
        ended_with(run, 0)
        took = time.monotonic() - start
        check(took < 1.0, f"Escape took {took:.2f} s to end the program")
        print(f"Escape to exit: {took:.3f} s")


def case_other_keys_do_nothing(args):
    with session(args) as (server, run):
        xdotool(server.display, "key", "a", "space", "Return", "q", "F4")
        time.sleep(1.0)
        check(run.process.poll() is None, f"ended after a key other than Escape: {run.stderr()}")
        xdotool(server.display, "key", "Escape")
        ended_with(run, 0)


def case_close_request_ends(args):
    with session(args) as (server, run):
        subprocess.run([args.close_helper, str(run.process.pid)], env=dict(os.environ, DISPLAY=server.display),
                       check=True, timeout=WAIT_LIMIT)
        ended_with(run, 0)


def case_size_not_offered(args):
    # The display offers only 800 x 600: a borderless 640 x 480 window in that mode.
    with session(args, options="640 480 0 10 30\n", screen=(800, 600)) as (server, run):
        colours, _ = spread(run.shot.region(0, 0, 640, 480, 2))
        check(colours > 500, f"flat window: {colours} colours")
        outside = set(run.shot.region(640, 0, 800, 600)) | set(run.shot.region(0, 480, 640, 600))
        check(outside == {(0, 0, 0)}, f"the window covers more than 640 x 480: {len(outside)} colours outside")
        xdotool(server.display, "key", "Escape")
        ended_with(run, 0)


# Start-up failures: options, files, exit code, and lines that must be on stderr.
REPORTS = {
    "missing_options": (None, ("reflect.bmp", "background.bmp"), 2, [r"Error: Runtime error   2 at [0-9A-F]{8}"]),
    "missing_reflect": ("640 480 0 10 20\n", ("background.bmp",), 1,
                        [r'BMP Unit: Error opening "reflect\.bmp', r"Loading Textures: Unable to load reflect\.bmp"]),
    "negative_ball_count": ("640 480 0 -1 20\n", ("reflect.bmp", "background.bmp"), 201,
                            [r"Error: Runtime error 201 at [0-9A-F]{8}"]),
    "grid_size_zero": ("640 480 0 10 0\n", ("reflect.bmp", "background.bmp"), 201,
                       [r"Error: Runtime error 201 at [0-9A-F]{8}"]),
}


def expect_report(args, options, files, code, patterns):
    with session(args, options=options, files=files, frames=False) as (_, run):
        ended_with(run, code)
        err = run.stderr()
        for pattern in patterns:
            check(any(re.fullmatch(pattern, line) for line in err.splitlines()), f"no line {pattern!r} in: {err!r}")


def case_no_display(args):
    run = Run(args, options="640 480 0 10 20\n", display=None)
    try:
        ended_with(run, 0)
        check("Error: Fullscreen mode - failed" in run.stderr().splitlines(),
              f"no 'Fullscreen mode - failed' line: {run.stderr()!r}")
    finally:
        run.finish()


def screenshot(args, path):
    with session(args, options="640 480 0 10 40\n") as (server, run):
        time.sleep(2.0)
        with open(path, "wb") as f:
            f.write(Screenshot(server.display).raw)
        xdotool(server.display, "key", "Escape")
        ended_with(run, 0)


# ---------------------------------------------------------------------------
# The page in a browser
# ---------------------------------------------------------------------------
PAGE_FILES = ("index.html", "sorvel2.js", "sorvel2.wasm")
BROWSER_WINDOW = (700, 540)  # the page scales the 640 x 480 canvas into it


def free_port():
    with contextlib.closing(socket.socket()) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Site:
    """A copy of the built page with its own options.txt and textures, served
    on 127.0.0.1 by python3 -m http.server."""

    def __init__(self, args, options="640 480 0 10 40\n", files=("reflect.bmp", "background.bmp")):
        self.dir = tempfile.mkdtemp(prefix="sorvel2-page-")
        self.server = None
        for name in PAGE_FILES:
            shutil.copy(os.path.join(args.page, name), self.dir)
        if options is not None:
            with open(os.path.join(self.dir, "options.txt"), "w") as f:
                f.write(options)
        for name in files:
            shutil.copy(os.path.join(args.demo, name), self.dir)
        port = free_port()
        self.url = f"http://127.0.0.1:{port}/index.html"
        self.server = subprocess.Popen([sys.executable, "-m", "http.server", "-b", "127.0.0.1", "-d", self.dir,
                                        str(port)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + WAIT_LIMIT
        while True:
            check(self.server.poll() is None, "the page server ended at start")
            try:
                with urllib.request.urlopen(self.url, timeout=5):
                    break
            except OSError:
                check(time.monotonic() < deadline, "the page server did not answer")
                time.sleep(0.1)

    def stop(self):
        if self.server is not None and self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(WAIT_LIMIT)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def browse(site, virtual_ms, *what):
    """Headless Chromium on the page for virtual_ms of virtual time, doing
    what (--screenshot=FILE or --dump-dom); returns stdout and the page's
    console lines. Chromium and its helpers are one process group, stopped by
    the group's id if it overruns."""
    profile = tempfile.mkdtemp(prefix="sorvel2-chromium-")
    command = ["chromium", "--headless=new", "--no-sandbox", "--use-angle=swiftshader",
               "--enable-unsafe-swiftshader", "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--no-first-run", "--disable-quic", "--enable-logging=stderr", "--v=0",
               f"--user-data-dir={profile}", "--window-size={},{}".format(*BROWSER_WINDOW),
               f"--virtual-time-budget={virtual_ms}", *what, site.url]
    browser = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               start_new_session=True)
    try:
        out, err = browser.communicate(timeout=WAIT_LIMIT)
    except subprocess.TimeoutExpired:
        os.killpg(browser.pid, signal.SIGKILL)
        browser.communicate()
        raise Failure(f"Chromium took longer than {WAIT_LIMIT} s")
    finally:
        shutil.rmtree(profile, ignore_errors=True)
    console = [m.group(1) for m in re.finditer(r':CONSOLE:\d+\] "(.*)", source: ', err.decode(errors="replace"))]
    return out.decode(errors="replace"), console


class Png:
    """An 8-bit RGB or RGBA PNG (what Chromium writes), decoded."""

    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        check(data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG")
        pos, idat = 8, b""
        while pos < len(data):
            length, kind = struct.unpack(">I4s", data[pos:pos + 8])
            body = data[pos + 8:pos + 8 + length]
            if kind == b"IHDR":
                self.width, self.height, depth, colour = struct.unpack(">IIBB", body[:10])
                check(depth == 8 and colour in (2, 6), f"PNG depth {depth}, colour type {colour}")
                self._n = 3 if colour == 2 else 4
            elif kind == b"IDAT":
                idat += body
            pos += 12 + length
        raw, line = zlib.decompress(idat), self.width * self._n
        rows, previous = [], bytearray(line)
        for y in range(self.height):
            kind, row = raw[y * (line + 1)], bytearray(raw[y * (line + 1) + 1:(y + 1) * (line + 1)])
            for i in range(line):
                a = row[i - self._n] if i >= self._n else 0
                b = previous[i]
                c = previous[i - self._n] if i >= self._n else 0
                if kind == 1:
                    row[i] = (row[i] + a) & 255
                elif kind == 2:
                    row[i] = (row[i] + b) & 255
                elif kind == 3:
                    row[i] = (row[i] + (a + b) // 2) & 255
                elif kind == 4:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    row[i] = (row[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
            rows.append(bytes(row))
            previous = row
        self._rows = rows

    def at(self, x, y):
        i = x * self._n
        return tuple(self._rows[y][i:i + 3])

    def centre(self, stride=3):
        """The middle half of the picture in each direction: inside the canvas."""
        return [self.at(x, y) for y in range(self.height // 4, 3 * self.height // 4, stride)
                for x in range(self.width // 4, 3 * self.width // 4, stride)]


def page_shot(args, site, virtual_ms):
    path = os.path.join(site.dir, f"shot-{virtual_ms}.png")
    browse(site, virtual_ms, f"--screenshot={path}")
    check(os.path.exists(path), "Chromium wrote no screenshot")
    return Png(path)


def page_state(dom):
    """The page's exit code (None while running) and its dialog as "Caption: text" (None when hidden)."""
    code = re.search(r'id="status" data-exit-code="(\d+)"', dom)
    box = re.search(r'<div id="box"([^>]*)>\s*<div id="box-caption">([^<]*)</div>\s*<div id="box-text">([^<]*)</div>',
                    dom)
    shown = box is not None and "hidden" not in box.group(1)
    return (int(code.group(1)) if code else None), (f"{box.group(2)}: {box.group(3)}" if shown else None)


class DevTools:
    """Headless Chromium on the page in real time, driven over its DevTools
    pipe (it reads commands on descriptor 3 and answers on 4): key presses,
    and expressions evaluated in the page."""

    def __init__(self, url):
        self.profile = tempfile.mkdtemp(prefix="sorvel2-chromium-")
        command_read, command_write = os.pipe()
        reply_read, reply_write = os.pipe()
        # Out of the way of 3 and 4, which the child's copies must take.
        child_read = fcntl.fcntl(command_read, fcntl.F_DUPFD, 10)
        child_write = fcntl.fcntl(reply_write, fcntl.F_DUPFD, 10)
        os.close(command_read)
        os.close(reply_write)
        self.log = open(os.path.join(self.profile, "stderr.txt"), "wb")

        def to_3_and_4():
            os.dup2(child_read, 3)
            os.dup2(child_write, 4)

        self.process = subprocess.Popen(
            ["chromium", "--headless=new", "--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
             "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-first-run",
             "--disable-quic", "--enable-logging=stderr", "--v=0", f"--user-data-dir={self.profile}",
             "--window-size={},{}".format(*BROWSER_WINDOW), "--remote-debugging-pipe", url],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log, pass_fds=(3, 4),
            preexec_fn=to_3_and_4, start_new_session=True)
        os.close(child_read)
        os.close(child_write)
        self.commands, self.replies = command_write, reply_read
        self.pending, self.next_id, self.session = b"", 0, None
        pages = [t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page"]
        check(pages, "Chromium shows no page")
        attached = self.call("Target.attachToTarget", targetId=pages[0]["targetId"], flatten=True)
        self.session = attached["sessionId"]

    def call(self, method, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if self.session is not None:
            message["sessionId"] = self.session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + WAIT_LIMIT
        while True:
            while b"\0" in self.pending:
                text, self.pending = self.pending.split(b"\0", 1)
                reply = json.loads(text)
                if reply.get("id") == self.next_id:
                    check("error" not in reply, f"{method}: {reply.get('error')}")
                    return reply["result"]
            left = deadline - time.monotonic()
            check(left > 0 and select.select([self.replies], [], [], left)[0], f"no answer to {method}")
            chunk = os.read(self.replies, 65536)
            check(chunk, f"Chromium ended during {method}")
            self.pending += chunk

    def evaluate(self, expression):
        return self.call("Runtime.evaluate", expression=expression, returnByValue=True)["result"].get("value")

    def key(self, key, code, virtual_key):
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", type=kind, key=key, code=code, windowsVirtualKeyCode=virtual_key)

    def wait_for(self, expression, what, limit=WAIT_LIMIT):
        deadline = time.monotonic() + limit
        while not self.evaluate(expression):
            check(time.monotonic() < deadline, f"{what} within {limit} s")
            time.sleep(0.1)

    def stop(self):
        # Closed as a user would; the whole group killed only if it hangs.
        self.session = None
        with contextlib.suppress(Failure, OSError):
            self.call("Browser.close")
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        os.close(self.commands)
        os.close(self.replies)
        self.log.close()
        shutil.rmtree(self.profile, ignore_errors=True)


PASSES = "(typeof Module == 'object' && Module._WebPassCount ? Module._WebPassCount() : 0)"
EXIT_CODE = "document.getElementById('status').dataset.exitCode"


def case_page_draws(args):
    site = Site(args)
    try:
        colours, deviation = spread(page_shot(args, site, 3000).centre())
        check(colours > 500 and deviation > 10, f"flat page: {colours} colours, deviation {deviation:.1f}")
        dom, console = browse(site, 3000, "--dump-dom")
        code, box = page_state(dom)
        check(code is None and box is None, f"the page ended ({code}) or shows a box ({box}); console: {console}")
    finally:
        site.stop()


def case_page_animates(args):
    site = Site(args)
    try:
        before, after = page_shot(args, site, 2000).centre(), page_shot(args, site, 5000).centre()
        changed = sum(1 for a, b in zip(before, after) if a != b)
        check(changed > len(before) // 20, f"the page does not move: {changed} of {len(before)} samples changed")
    finally:
        site.stop()


def case_page_escape_ends(args):
    site = Site(args)
    browser = None
    try:
        browser = DevTools(site.url)
        browser.wait_for(f"{PASSES} >= 5", "no frames")
        for key, code, virtual_key in (("a", "KeyA", 65), (" ", "Space", 32), ("Enter", "Enter", 13)):
            browser.key(key, code, virtual_key)
        frames = browser.evaluate(PASSES)
        browser.wait_for(f"{PASSES} >= {frames + 5}", "no frames after other keys")
        check(browser.evaluate(EXIT_CODE) is None, "ended after a key other than Escape")
        start = time.monotonic()
        browser.key("Escape", "Escape", 27)
        browser.wait_for(f"{EXIT_CODE} !== undefined", "Escape did not end the demo", limit=5.0)
        took = time.monotonic() - start
        check(browser.evaluate(EXIT_CODE) == "0", f"exit code {browser.evaluate(EXIT_CODE)} after Escape")
        status = browser.evaluate("document.getElementById('status').textContent")
        check(status == "The demo has ended (exit code 0).", f"the page says {status!r}")
        check(browser.evaluate("document.getElementById('box').hidden"), "a dialog shows after Escape")
        print(f"Escape to exit code: {took:.3f} s")
    finally:
        if browser is not None:
            browser.stop()
        site.stop()


def page_frame_time(args, seconds=10.0):
    """Frames per second and the program's time per frame, the page left
    running in real time (not a test: a measurement)."""
    site = Site(args)
    browser = None
    try:
        browser = DevTools(site.url)
        browser.wait_for(f"{PASSES} >= 30", "no frames")
        first, start = browser.evaluate(PASSES), time.monotonic()
        time.sleep(seconds)
        frames, took = browser.evaluate(PASSES) - first, time.monotonic() - start
        mean = browser.evaluate("Module._WebMeanPassMs()")
        print(f"{frames / took:.1f} frames per second ({1000.0 * took / frames:.1f} ms a frame), "
              f"{mean:.2f} ms per frame in the program")
    finally:
        if browser is not None:
            browser.stop()
        site.stop()


# In the page, right after a frame (while the canvas still holds it): the
# frame's ElapsedMs and the canvas as a PNG data URL.
GRAB_FRAME = """new Promise(resolve => {
    Module.postMainLoop = () => {
        Module.postMainLoop = null;
        resolve({ms: Module._WebElapsedMs(), png: Module.canvas.toDataURL("image/png")});
    };
})"""


def case_page_matches_native(args):
    """A frame of the page against the same frame drawn natively (the tool's
    render: the scene's fixed-function route through Mesa)."""
    check(args.tool is not None, "page_matches_native needs --tool")
    site = Site(args)
    browser = None
    try:
        browser = DevTools(site.url)
        browser.wait_for(f"{PASSES} >= 20", "no frames")
        frame = browser.call("Runtime.evaluate", expression=GRAB_FRAME, awaitPromise=True,
                             returnByValue=True)["result"]["value"]
        with open(os.path.join(site.dir, "page.png"), "wb") as f:
            f.write(base64.b64decode(frame["png"].split(",", 1)[1]))
        subprocess.run([os.path.abspath(args.tool), "render", "--time-ms", str(frame["ms"]), "--size", "640x480",
                        "-o", "native.png"], cwd=site.dir, check=True, timeout=WAIT_LIMIT,
                       stdout=subprocess.DEVNULL)
        page, native = Png(os.path.join(site.dir, "page.png")), Png(os.path.join(site.dir, "native.png"))
        check((page.width, page.height) == (native.width, native.height) == (640, 480),
              f"page {page.width}x{page.height}, native {native.width}x{native.height}")
        total, far, pixels = 0, 0, page.width * page.height
        for y in range(page.height):
            for x in range(page.width):
                d = [abs(a - b) for a, b in zip(page.at(x, y), native.at(x, y))]
                total += sum(d)
                far += max(d) > 16
        mean = total / (3 * pixels)
        print(f"frame at {frame['ms']} ms: mean difference {mean:.2f} levels, {100.0 * far / pixels:.2f} % of "
              f"pixels off by more than 16")
        colours, _ = spread([page.at(x, y) for y in range(0, page.height, 3) for x in range(0, page.width, 3)])
        check(colours > 500, f"flat frame from the page: {colours} colours")
        check(mean < 0.5 and far < pixels // 200, "the page's frame differs from the native one")
    finally:
        if browser is not None:
            browser.stop()
        site.stop()


def expect_page_report(args, options, files, code, patterns):
    """A start-up failure in the page: its exit code, its last box as the
    dialog, and every report line on the console."""
    site = Site(args, options=options, files=files)
    try:
        dom, console = browse(site, 3000, "--dump-dom")
        ended, box = page_state(dom)
        check(ended == code, f"page exit code {ended}, expected {code}; console: {console}")
        check(box is not None and re.fullmatch(patterns[-1], box), f"dialog {box!r}, expected {patterns[-1]!r}")
        for pattern in patterns:
            check(any(re.fullmatch(pattern, line) for line in console), f"no console line {pattern!r} in {console!r}")
    finally:
        site.stop()


def page_screenshot(args, path):
    site = Site(args)
    try:
        page_shot(args, site, 4000)
        shutil.copy(os.path.join(site.dir, "shot-4000.png"), path)
    finally:
        site.stop()


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
CASES.update({name: (lambda args, row=row: expect_report(args, *row)) for name, row in REPORTS.items()})
CASES.update({"page_" + name: (lambda args, row=row: expect_page_report(args, *row)) for name, row in REPORTS.items()})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program")
    parser.add_argument("--demo", required=True)
    parser.add_argument("--close-helper")
    parser.add_argument("--page", help="the built page folder (dist/web), for the page_* cases")
    parser.add_argument("--tool", help="a native sorvel2-tool with render, for page_matches_native")
    parser.add_argument("case", choices=sorted(CASES) + ["screenshot", "page_screenshot", "page_frame_time"])
    parser.add_argument("output", nargs="?")
    args = parser.parse_args()
    if args.case.startswith("page_"):
        if args.page is None:
            parser.error("the page cases need --page")
    elif args.program is None or args.close_helper is None:
        parser.error("the program cases need --program and --close-helper")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    try:
        if args.case == "screenshot":
            screenshot(args, args.output)
        elif args.case == "page_screenshot":
            page_screenshot(args, args.output)
        elif args.case == "page_frame_time":
            page_frame_time(args)
        else:
            CASES[args.case](args)
    except Failure as failure:
        print(f"FAILED {args.case}: {failure}")
        return 1
    print(f"ok {args.case}")
    return 0



# ---------------------------------------------------------------------------
# Soak: the program on each configuration below for SORVEL2_SOAK_SECONDS
# (default 120) must stay alive with flat memory and still end with 0 on
# Escape. Resident memory is sampled every second; the first seconds warm
# up and the software renderer's own use swings by about 2 MB from second to
# second, so the rule compares medians: the last quarter of the samples may
# lie at most SOAK_GROWTH_LIMIT_KB above the second quarter. Frames are
# counted by Mesa's frame-rate graph, dumped once a second and never drawn.
# ---------------------------------------------------------------------------
SOAK_CONFIGS = (("shipped settings", "640 480 0 10 40\n"), ("grid 128, 50 balls", "640 480 0 50 128\n"))
SOAK_GROWTH_LIMIT_KB = 2048


def resident_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise Failure(f"no VmRSS for process {pid}")


def median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def memory_grows(samples):
    """The quarter medians and whether the last lies above the second by more than the limit."""
    quarter = len(samples) // 4
    check(quarter >= 1, f"too few memory samples: {len(samples)}")
    second, last = median(samples[quarter:2 * quarter]), median(samples[3 * quarter:])
    return second, last, last - second > SOAK_GROWTH_LIMIT_KB


def soak_once(args, name, options, seconds):
    hud = tempfile.mkdtemp(prefix="sorvel2-hud-")
    hud_env = {"GALLIUM_HUD": "fps", "GALLIUM_HUD_VISIBLE": "false", "GALLIUM_HUD_PERIOD": "1",
               "GALLIUM_HUD_DUMP_DIR": hud}
    saved = {key: os.environ.get(key) for key in hud_env}
    os.environ.update(hud_env)  # Run passes the harness's environment on
    try:
        with session(args, options=options) as (server, run):
            samples = []
            next_sample = time.monotonic()
            for _ in range(int(seconds)):
                next_sample += 1.0
                time.sleep(max(0.0, next_sample - time.monotonic()))
                check(run.process.poll() is None,
                      f"{name}: ended after {len(samples)} s ({run.process.returncode}): {run.stderr()}")
                samples.append(resident_kb(run.process.pid))
            xdotool(server.display, "key", "Escape")
            ended_with(run, 0)
        dumps = [os.path.join(hud, f) for f in os.listdir(hud)]
        check(dumps, f"{name}: no frame-rate dump in {hud}")
        with open(dumps[0]) as f:
            rates = [float(line) for line in f if line.strip()]
        check(rates, f"{name}: empty frame-rate dump")
        second, last, grows = memory_grows(samples)
        print(f"soak {name} ({options.strip()}): {len(samples)} s, {sum(rates):.0f} frames "
              f"(median {median(rates):.0f} fps), resident memory {samples[0]} kB at the first sample, "
              f"median {second:.0f} kB in the second quarter, {last:.0f} kB in the last "
              f"({last - second:+.0f} kB), highest {max(samples)} kB")
        check(not grows, f"{name}: memory keeps growing: {second:.0f} kB -> {last:.0f} kB")
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value
        shutil.rmtree(hud, ignore_errors=True)


def case_soak(args):
    seconds = float(os.environ.get("SORVEL2_SOAK_SECONDS", "120"))
    check(seconds >= 4, "SORVEL2_SOAK_SECONDS must be at least 4 (one sample a quarter)")
    for name, options in SOAK_CONFIGS:
        soak_once(args, name, options, seconds)


CASES["soak"] = case_soak

if __name__ == "__main__":
    sys.exit(main())
