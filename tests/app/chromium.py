"""Chromium's side of the program harness: Site, a copy of the built page
(dist/web) with its own options.txt and textures, served on 127.0.0.1;
browse(), headless Chromium on virtual time for a screenshot or the DOM
(page_shot() and page_state() read them); DevTools, headless Chromium in
real time driven over its DevTools pipe (keys, clicks, files for a file
input, expressions in the page, the requests it made); Png, the PNG
reader for what Chromium writes. Every process is stopped by its id."""
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

from checks import WAIT_LIMIT, Failure, check
from failure_table import place_files

PAGE_FILES = ("index.html", "sorvel2.js", "sorvel2.wasm")
BROWSER_WINDOW = (700, 540)  # the page scales the 640 x 480 canvas into it, above its panel
CHROMIUM = ["chromium", "--headless=new", "--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader",
            "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-first-run",
            "--disable-quic", "--enable-logging=stderr", "--v=0"]


def free_port():
    with contextlib.closing(socket.socket()) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Site:
    """A copy of the built page with its own options.txt and textures (a
    failure-table file list), served on 127.0.0.1 by python3 -m http.server."""

    def __init__(self, args, options="640 480 0 10 40\n", files=("reflect.bmp", "background.bmp")):
        self.dir = tempfile.mkdtemp(prefix="sorvel2-page-")
        self.server = None
        for name in PAGE_FILES:
            shutil.copy(os.path.join(args.page, name), self.dir)
        if options is not None:
            with open(os.path.join(self.dir, "options.txt"), "w") as f:
                f.write(options)
        place_files(self.dir, args.demo, files)
        port = free_port()
        self.origin = f"http://127.0.0.1:{port}/"
        self.url = self.origin + "index.html"
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


def browse(site, virtual_ms, *what, url=None, window=BROWSER_WINDOW):
    """Headless Chromium on the page (or url) for virtual_ms of virtual time,
    doing what (--screenshot=FILE or --dump-dom); returns stdout and the
    page's console lines. Chromium and its helpers are one process group,
    stopped by the group's id if it overruns."""
    profile = tempfile.mkdtemp(prefix="sorvel2-chromium-")
    command = [*CHROMIUM, f"--user-data-dir={profile}", "--window-size={},{}".format(*window),
               f"--virtual-time-budget={virtual_ms}", *what, url or site.url]
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
    """An 8-bit RGB or RGBA PNG (what Chromium writes), decoded: from a file,
    or from a data URL (what a canvas gives)."""

    def __init__(self, source):
        if source.startswith("data:image/png;base64,"):
            data = base64.b64decode(source.split(",", 1)[1])
        else:
            with open(source, "rb") as f:
                data = f.read()
        check(data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG")
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
    """Headless Chromium in real time, driven over its DevTools pipe (it reads
    commands on descriptor 3 and answers on 4): it opens a blank page, starts
    recording the requests, then loads url. Keys, clicks and text go where a
    user's would (the focused element, the point clicked)."""

    def __init__(self, url, window=BROWSER_WINDOW):
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
            [*CHROMIUM, f"--user-data-dir={self.profile}", "--window-size={},{}".format(*window),
             "--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log, pass_fds=(3, 4),
            preexec_fn=to_3_and_4, start_new_session=True)
        os.close(child_read)
        os.close(child_write)
        self.commands, self.replies = command_write, reply_read
        self.pending, self.next_id, self.session, self.events = b"", 0, None, []
        pages = [t for t in self.call("Target.getTargets")["targetInfos"] if t["type"] == "page"]
        check(pages, "Chromium shows no page")
        attached = self.call("Target.attachToTarget", targetId=pages[0]["targetId"], flatten=True)
        self.session = attached["sessionId"]
        self.call("Network.enable")
        self.call("Page.navigate", url=url)

    def call(self, method, **params):
        """Sends a command and returns its result; events that arrive meanwhile are kept in events."""
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
                if "method" in reply:
                    self.events.append((reply["method"], reply.get("params", {})))
            left = deadline - time.monotonic()
            check(left > 0 and select.select([self.replies], [], [], left)[0], f"no answer to {method}")
            chunk = os.read(self.replies, 65536)
            check(chunk, f"Chromium ended during {method}")
            self.pending += chunk

    def evaluate(self, expression, promise=False, console_api=False):
        """The value of expression in the page (awaited when it is a promise;
        with console_api, the DevTools console's functions such as
        getEventListeners are there too)."""
        reply = self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=promise,
                          includeCommandLineAPI=console_api)
        check("exceptionDetails" not in reply, f"{expression}: {reply.get('exceptionDetails')}")
        return reply["result"].get("value")

    def requests(self):
        """The URL of every request the page has made so far."""
        return [p["request"]["url"] for m, p in self.events if m == "Network.requestWillBeSent"]

    def key(self, key, code, virtual_key, text=None):
        extra = {"text": text} if text is not None else {}
        self.call("Input.dispatchKeyEvent", type="keyDown", key=key, code=code, windowsVirtualKeyCode=virtual_key,
                  **extra)
        self.call("Input.dispatchKeyEvent", type="keyUp", key=key, code=code, windowsVirtualKeyCode=virtual_key)

    def type(self, digits):
        for digit in digits:
            self.key(digit, "Digit" + digit, ord(digit), text=digit)

    def click(self, selector):
        """A mouse click in the middle of the element that selector finds."""
        box = self.evaluate(f"(r => [r.x + r.width / 2, r.y + r.height / 2])"
                            f"(document.querySelector({json.dumps(selector)}).getBoundingClientRect())")
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    def set_files(self, selector, paths):
        """Chooses files for the file input that selector finds, as its picker would."""
        found = self.call("Runtime.evaluate", expression=f"document.querySelector({json.dumps(selector)})")
        self.call("DOM.setFileInputFiles", files=[os.path.abspath(p) for p in paths],
                  objectId=found["result"]["objectId"])

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


@contextlib.contextmanager
def page_session(args, options="640 480 0 10 40\n", files=("reflect.bmp", "background.bmp"), query="",
                 window=BROWSER_WINDOW):
    """The page served from its own folder and opened (with query) in DevTools-driven Chromium."""
    site = Site(args, options=options, files=files)
    browser = None
    try:
        browser = DevTools(site.url + query, window)
        yield site, browser
    finally:
        if browser is not None:
            browser.stop()
        site.stop()
