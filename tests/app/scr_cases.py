"""The screen saver cases of the program harness (scr_*): sorvel2.scr run by
Wine, as Windows runs a saver, with scr_probe.exe (scr_probe.cpp, cross-built
beside it) playing the part of Windows' settings page.

    run_program_test.py --program sorvel2.scr --wine-prefix DIR --demo DIR \\
        --scr-probe scr_probe.exe scr_CASE

  scr_full_screen  /s covers the display at its own size (not options.txt's,
                   which lies beside it with no texture files) and hides the
                   cursor (ShowCursor's count, as Windows reports it to
                   another program, and the cursor X shows); a second /s
                   while it runs ends at once with 0 and the first stays, as
                   does the window after SC_SCREENSAVE (answered by the
                   saver itself, never passed to DefWindowProc); a move of
                   the pointer within the slack leaves it running, 20 pixels
                   end it with 0 and the cursor shows again
  scr_every_monitor two monitors side by side (root only: Xorg): /s covers
                   both, the whole virtual screen, and draws on each
  scr_preview      /p HWND of a window the probe made: a child window of the
                   saver's class fills its client area and draws a moving
                   picture; /c:HWND opens the dialog owned by that window,
                   Escape closes it with 0 and stores nothing; destroying
                   the window ends the preview with 0
  scr_settings     /c shows the dialog (title, no owner, the two fields and
                   their limits, stored values that are garbage shown as the
                   defaults); garbage and out-of-range values typed there are
                   refused with a box naming the field, and the registry
                   keeps what it had; values typed and OK'd are stored, and
                   the next /s draws with them (a single ball against a
                   hundred: how much of the screen the surface covers); a
                   key ends each /s with 0
  scr_bad_argument an unknown argument: a box saying so, exit code 64

SCR_CASES maps each case name to its function. The X servers and the
screen reader come from xserver.py; the program's runs and the xdotool
drivers are the harness's own (run_program_test.py imports this module, so
they are taken from it when a case runs).
"""
import os
import re
import select
import subprocess
import sys
import tempfile
import time

from checks import WAIT_LIMIT, Skip, check, spread
from xserver import TWO_MONITORS, Screenshot, TwoMonitorXorg, XServer, cursor_pixels

DIALOG_TITLE = "sorvel2 screen saver settings"
BOX_CAPTION = "sorvel2"
KEY = r"HKCU\Software\sorvel2"
# Under Wine a window takes about 2 s to go with no window manager (see
# escape_ends_within_a_second): the saver's own part is far quicker.
END_LIMIT = 10.0


def harness():
    """run_program_test.py, whether it runs as the script or was imported."""
    return sys.modules.get("run_program_test") or sys.modules["__main__"]


def wine_env(args, display):
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    env.update(WINEPREFIX=os.path.abspath(args.wine_prefix), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    if display is not None:
        env["DISPLAY"] = display
    return env


def needs_saver(args):
    if args.wine_prefix is None or args.scr_probe is None:
        raise Skip("the saver cases need --wine-prefix and --scr-probe (sorvel2.scr under Wine)")


def wine(args, display, *command, check_rc=False):
    """Runs a Windows command under Wine on the case's display; (exit code,
    stdout, stderr).

    NOTE: always with the display: the first Wine program of a session
    starts the prefix's desktop process, which keeps the display it was
    given (with none, no later program of the session can make a window).
    Output goes through files, not pipes: those background programs keep a
    pipe open long after the command ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        rc = subprocess.run(["wine", *command], env=wine_env(args, display), stdin=subprocess.DEVNULL, stdout=out,
                            stderr=err, timeout=WAIT_LIMIT).returncode
        out.seek(0)
        err.seek(0)
        said = out.read().decode(errors="replace"), err.read().decode(errors="replace")
    check(rc == 0 or not check_rc, f"wine {' '.join(command)}: exit code {rc}: {said[1]}")
    return rc, *said


def registry(args, display):
    """The saver's stored values as {name: (type, data)}; empty without the key."""
    _, out, _ = wine(args, display, "reg", "query", KEY)
    return {name: (kind, data.strip()) for name, kind, data in re.findall(r"^\s+(\w+)\s+(REG_\w+)\s*(.*)$", out, re.M)}


def store(args, display, **values):
    """Writes the key afresh with the given (type, data) values."""
    wine(args, display, "reg", "delete", KEY, "/f")
    for name, (kind, data) in values.items():
        wine(args, display, "reg", "add", KEY, "/v", name, "/t", kind, "/d", data, "/f", check_rc=True)


def probe_dialog(args, display):
    """The settings dialog's fields as the probe reads them on Windows' side."""
    rc, out, err = wine(args, display, os.path.abspath(args.scr_probe), "dialog", DIALOG_TITLE)
    check(rc == 0, f"the probe found no dialog: {err.strip()}")
    return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)


class Host:
    """The probe's host window for /p, and its command pipe."""

    def __init__(self, args, display, width, height):
        self.process = subprocess.Popen(["wine", os.path.abspath(args.scr_probe), "host", str(width), str(height)],
                                        env=wine_env(args, display), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        self.pending = b""
        self.window = int(self.expect(r"window (\d+)").group(1))

    def expect(self, pattern):
        """The probe's next line that matches pattern (lines before it are skipped)."""
        deadline = time.monotonic() + WAIT_LIMIT
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                found = re.fullmatch(pattern, line.decode(errors="replace").strip())
                if found:
                    return found
            check(time.monotonic() < deadline, f"the probe did not say {pattern!r} in time")
            # Read from the pipe itself: a buffered reader could hold lines
            # that select() no longer sees.
            ready, _, _ = select.select([self.process.stdout], [], [], 0.5)
            if ready:
                chunk = os.read(self.process.stdout.fileno(), 4096)
                check(chunk, f"the probe ended while waiting for {pattern!r}")
                self.pending += chunk

    def command(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def children(self):
        self.command("children")
        found = []
        while (line := self.expect(r"end|child .*").group(0)) != "end":
            name, *place = line[len("child "):].rsplit(" ", 4)
            found.append((name, tuple(int(v) for v in place)))
        return found

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(WAIT_LIMIT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def saver_window(server, run):
    """The full-screen saver's X window and its geometry (x, y, width, height)."""
    h = harness()
    window = h.program_window(server, run)
    geometry = h.xdotool(server.display, "getwindowgeometry", str(window)).stdout
    x, y = map(int, re.search(r"Position: (-?\d+),(-?\d+)", geometry).groups())
    width, height = map(int, re.search(r"Geometry: (\d+)x(\d+)", geometry).groups())
    return window, (x, y, width, height)


def start_saver(args, server, arguments=("/s",), **run_options):
    """sorvel2.scr in a folder that holds an options.txt of 640 x 480 and no
    texture: what it draws comes from itself. The pointer rests at the
    screen's centre first, so that the start is the same every time."""
    h = harness()
    # NOTE: no --sync: xdotool then waits for a move, which never comes
    # when the pointer is there already.
    h.xdotool(server.display, "mousemove", "320", "240")
    return h.Run(args, options="640 480 0 10 40\n", files=(), display=server.display, arguments=arguments,
                 **run_options)


def surface_share(shot):
    """The share of the screen the surface covers: the reflected sky (light
    blue, green above red) and ground (dark grey-brown), which the purple
    nebula and white stars of the background do not have."""
    pixels = shot.sample(4)
    sky = sum(1 for r, g, b in pixels if b > 140 and g > r + 15)
    ground = sum(1 for r, g, b in pixels if r >= b and 15 < r < 60 and abs(r - g) < 12)
    return (sky + ground) / len(pixels)


def shares(server, count=2, pause=0.5):
    h = harness()
    found = []
    for _ in range(count):
        found.append(surface_share(Screenshot(server.display)))
        time.sleep(pause)
    return found


def ends_within(run, limit=END_LIMIT, start=None):
    """Seconds from start (now by default) until run ended with 0."""
    start = time.monotonic() if start is None else start
    harness().ended_with(run, 0, limit)
    return time.monotonic() - start


def probe_saver(args, display):
    """What the probe sees of the running full-screen saver, {word: rest of
    the line}: window, cursor, screensave, running (scr_probe.cpp)."""
    rc, out, err = wine(args, display, os.path.abspath(args.scr_probe), "saver")
    check(rc == 0, f"the probe found no saver window: {err.strip()}")
    return dict(line.split(" ", 1) for line in out.splitlines() if " " in line)


def case_scr_full_screen(args):
    needs_saver(args)
    h = harness()
    server = XServer(800, 600)
    run = second = None
    try:
        check(cursor_pixels(server.display) > 0, "the pointer shows no cursor before the saver starts")
        # Wine's window log shows whether DefWindowProc took a WM_SYSCOMMAND
        # (handle_sys_command).
        run = start_saver(args, server, wine_channels=("+win",))
        h.wait_for_frames(server, 800, 600, run)
        window, geometry = saver_window(server, run)
        check(geometry == (0, 0, 800, 600), f"the saver's window is at {geometry}, not over the 800 x 600 display")
        shot = Screenshot(server.display)
        for x0, y0 in ((0, 0), (400, 0), (0, 300), (400, 300), (640, 480)):
            colours, _ = spread(shot.region(x0, y0, min(x0 + 400, 800), min(y0 + 300, 600), 2))
            check(colours > 100, f"the part at {x0},{y0} is flat: {colours} colours")
        # The cursor: hidden by ShowCursor (the saver window has no cursor
        # of its class, so Wine would blank the pointer over it anyway; the
        # count is what Windows goes by), and blank on the X screen.
        seen = probe_saver(args, server.display)
        check(seen.get("window") == "0 0 800 600", f"the probe sees the saver's window at {seen.get('window')}")
        check(seen.get("cursor", "").startswith("hidden "), f"the cursor is {seen.get('cursor')} while it runs")
        check((shown := cursor_pixels(server.display)) == 0, f"the cursor shows {shown} pixels while it runs")
        # SC_SCREENSAVE, which Windows sends to start a saver, to the running
        # one: answered 0 by the saver and not handed on (on Windows,
        # DefWindowProc would start the saver again).
        check(seen.get("screensave") == "0" and seen.get("running") == "1",
              f"after SC_SCREENSAVE: answer {seen.get('screensave')}, window there {seen.get('running')}")
        log = run.stderr()
        check(":trace:win:" in log, "Wine's window log is empty: SC_SCREENSAVE's way cannot be seen")
        handed = re.findall(r".*WM_SYSCOMMAND f14[0-9a-f].*", log)
        check(not handed, f"SC_SCREENSAVE reached DefWindowProc: {handed}")
        check(run.process.poll() is None, f"SC_SCREENSAVE ended it ({run.process.returncode})")
        # Windows may start the saver again while it runs: the second ends
        # at once, the first stays.
        second = h.Run(args, options=None, files=(), display=server.display, arguments=("/s",))
        h.ended_with(second, 0)
        check(run.process.poll() is None, f"a second start ended the first ({run.process.returncode})")
        # Within the slack: it keeps running.
        h.xdotool(server.display, "mousemove_relative", "--sync", "--", "3", "-2")
        time.sleep(1.5)
        check(run.process.poll() is None, f"a move of 3 pixels ended it ({run.process.returncode})")
        h.xdotool(server.display, "mousemove_relative", "--sync", "--", "20", "0")
        print(f"a 20-pixel move ended it in {ends_within(run):.2f} s")
        check(cursor_pixels(server.display) > 0, "the cursor stays hidden after the saver ended")
    finally:
        # The second's teardown stops the prefix's programs: the first goes first.
        for started in (run, second):
            if started is not None:
                started.finish()
        server.stop()


def case_scr_every_monitor(args):
    needs_saver(args)
    h = harness()
    server = TwoMonitorXorg()
    run = None
    driver = r"HKCU\Software\Wine\X11 Driver"
    try:
        # NOTE: Xorg hides RandR under Xinerama, so Wine 8 takes the
        # monitors from Xinerama; with its XVidMode mode lister on as well it
        # crashes listing the second monitor's modes ("free(): invalid
        # pointer") and falls back to one monitor.
        wine(args, server.display, "reg", "add", driver, "/v", "UseXVidMode", "/t", "REG_SZ", "/d", "N", "/f",
             check_rc=True)
        subprocess.run(["wineserver", "-k"], env=wine_env(args, None), timeout=WAIT_LIMIT, check=False)
        _, out, _ = wine(args, server.display, os.path.abspath(args.scr_probe), "screen")
        wanted = ["virtual 0 0 1440 600", *("monitor %d %d %d %d" % m for m in TWO_MONITORS)]
        check(out.splitlines()[:3] == wanted, f"Wine sees {out!r}, not the two monitors")
        run = start_saver(args, server)
        h.wait_for_frames(server, 800, 600, run)
        window, geometry = saver_window(server, run)
        check(geometry == (0, 0, 1440, 600), f"the saver's window is at {geometry}, not over both monitors")
        shot = Screenshot(server.display)
        # Each monitor whole (a corner of the background alone may be
        # nearly flat): where the saver does not draw, Xorg's screen is black.
        counts = [spread(shot.region(*monitor, 4))[0] for monitor in TWO_MONITORS]
        print(f"colours on the two monitors: {counts}")
        check(min(counts) > 200, f"a monitor is flat: {counts} colours")
        h.press(server, run, "a")
        print(f"a key ended it in {ends_within(run):.2f} s")
    finally:
        if run is not None:
            run.finish()
        wine(args, server.display, "reg", "delete", driver, "/v", "UseXVidMode", "/f")
        # The session's desktop program keeps this display: it goes before the server.
        subprocess.run(["wineserver", "-k"], env=wine_env(args, None), timeout=WAIT_LIMIT, check=False)
        server.stop()


def gl_child(server, host_x, width, height):
    """The X window Wine draws the preview's OpenGL into: width x height and
    not the host's own window (made with the pixel format, a moment after
    the preview's window)."""
    deadline = time.monotonic() + WAIT_LIMIT
    while True:
        tree = subprocess.run(["xwininfo", "-root", "-tree", "-display", server.display], check=True,
                              capture_output=True, text=True, timeout=WAIT_LIMIT).stdout
        found = [int(w, 16) for w, size in re.findall(r"^\s*(0x[0-9a-f]+) .*?(\d+x\d+)\+", tree, re.M)
                 if size == f"{width}x{height}" and int(w, 16) != host_x]
        check(len(found) <= 1, f"{len(found)} windows of {width} x {height} besides the host's: {found}")
        if found:
            return found[0]
        check(time.monotonic() < deadline, f"no X window of {width} x {height} for the preview")
        time.sleep(0.2)


def case_scr_preview(args):
    needs_saver(args)
    h = harness()
    width, height = 336, 212  # a size no other window has
    server = XServer(640, 480)
    host = None
    runs = []
    try:
        host = Host(args, server.display, width, height)
        runs.append(h.Run(args, options=None, files=(), display=server.display, arguments=("/p", str(host.window))))
        run = runs[0]
        deadline = time.monotonic() + WAIT_LIMIT
        while not (children := host.children()):
            check(run.process.poll() is None, f"the saver ended ({run.process.returncode}): {run.stderr()}")
            check(time.monotonic() < deadline, "no preview window within the time limit")
            time.sleep(0.3)
        check(children == [("sorvel2 saver", (0, 0, width, height))],
              f"the host's children are {children}, not one saver window filling its client area")
        # NOTE: Wine draws OpenGL into a child window of another process in
        # an X window of its own, kept off screen (it composites only its own
        # process's children); put where Windows' desktop shows it, it can
        # be read back. The pixels are the saver's.
        host_x = h.visible_windows(server.display, "--name", "^scr_probe host$")
        check(len(host_x) == 1, f"host windows: {host_x}")
        drawn = gl_child(server, host_x[0], width, height)
        h.xdotool(server.display, "windowreparent", str(drawn), str(host_x[0]))
        h.xdotool(server.display, "windowmap", "--sync", str(drawn))
        deadline = time.monotonic() + WAIT_LIMIT
        while spread((before := Screenshot(server.display, drawn)).sample())[0] < 200:
            check(time.monotonic() < deadline, "the preview shows no picture within the time limit")
            time.sleep(0.3)
        check((before.width, before.height) == (width, height), f"the preview is {before.width} x {before.height}")
        time.sleep(1.0)
        after = Screenshot(server.display, drawn).sample()
        changed = sum(1 for a, b in zip(before.sample(), after) if a != b)
        check(changed > len(after) // 20, f"the preview does not move: {changed} of {len(after)} samples changed")
        # The settings page's Settings button: /c:HWND, a dialog owned by
        # that window; Escape closes it with 0 and stores nothing.
        stored = registry(args, server.display)
        runs.append(h.Run(args, options=None, files=(), display=server.display,
                          arguments=(f"/c:{host.window}",)))
        fields = probe_dialog(args, server.display)
        check(fields.get("owner") == str(host.window), f"the dialog's owner is {fields.get('owner')}, "
                                                       f"not the window {host.window}")
        dialog = h.visible_windows(server.display, "--name", f"^{DIALOG_TITLE}$")
        check(len(dialog) == 1, f"dialog windows: {dialog}")
        type_into_field(server, dialog[0], "7")
        h.xdotool(server.display, "key", "Escape")
        ends_within(runs[-1])
        check((now := registry(args, server.display)) == stored, f"Escape changed the registry: {now}")
        start = time.monotonic()
        host.command("destroy")
        host.expect("destroyed")
        print(f"the host's window destroyed, the preview ended in {ends_within(run, start=start):.2f} s")
    finally:
        if host is not None:
            host.stop()
        # Each teardown stops the prefix's programs: the preview goes first.
        for started in runs:
            started.finish()
        server.stop()


def type_into_field(server, dialog, text):
    """Replaces the text of the dialog's focused field, from the keyboard."""
    h = harness()
    h.xdotool(server.display, "windowfocus", "--sync", str(dialog))
    h.xdotool(server.display, "key", "End", "shift+Home")
    h.xdotool(server.display, "type", text)


def refused(server, run, dialog, expected_text, count):
    """OK pressed: the box names the field; closed with Return, the dialog stays."""
    h = harness()
    h.xdotool(server.display, "key", "Return")
    deadline = time.monotonic() + WAIT_LIMIT
    while not (boxes := h.boxes_named(server.display, BOX_CAPTION)):
        check(run.process.poll() is None, f"the dialog ended ({run.process.returncode}) instead of refusing")
        check(time.monotonic() < deadline, f"no box refusing {expected_text!r}")
        time.sleep(0.1)
    shown = run.boxes({BOX_CAPTION})
    check(len(shown) == count and shown[-1][1] == expected_text, f"boxes {shown}, expected {expected_text!r} last")
    h.press(server, run, "Return", boxes[0])
    while boxes[0] in h.boxes_named(server.display, BOX_CAPTION):
        check(time.monotonic() < deadline, "Return did not close the box")
        time.sleep(0.1)
    # The dialog stays: its process runs on and its window is shown. Asked
    # again for a while, since a search of the windows while Wine destroys
    # the box's can miss the dialog; a dialog that closed ends the process.
    deadline = time.monotonic() + WAIT_LIMIT
    while dialog not in h.visible_windows(server.display, "--name", f"^{DIALOG_TITLE}$"):
        check(run.process.poll() is None, "the dialog closed")
        check(time.monotonic() < deadline, "the dialog is not shown again")
        time.sleep(0.1)


def case_scr_settings(args):
    needs_saver(args)
    h = harness()
    server = XServer(640, 480)
    runs = []
    try:
        # One ball stored, and a grid that is text (as regedit could leave it).
        store(args, server.display, Balls=("REG_DWORD", "1"), Grid=("REG_SZ", "abc"))
        # A single ball: the surface covers hardly anything.
        runs.append(start_saver(args, server))
        h.wait_for_frames(server, 640, 480, runs[-1])
        one_ball = shares(server)
        h.press(server, runs[-1], "a")
        ends_within(runs[-1])

        runs.append(start_saver(args, server, arguments=("/c",)))
        run = runs[-1]
        fields = probe_dialog(args, server.display)
        check(fields == {"title": DIALOG_TITLE, "owner": "0", "balls": "1", "balls_limits": "1 to 100", "grid": "40",
                         "grid_limits": "4 to 128"}, f"the dialog shows {fields}")
        dialog = h.visible_windows(server.display, "--name", f"^{DIALOG_TITLE}$")
        check(len(dialog) == 1, f"dialog windows: {dialog}")
        dialog = dialog[0]
        stored = registry(args, server.display)
        # The balls field has the focus when the dialog opens.
        type_into_field(server, dialog, "abc")
        refused(server, run, dialog, "Balls: enter a whole number from 1 to 100.", 1)
        check(probe_dialog(args, server.display)["balls"] == "abc", "the refused text is gone from the field")
        check((now := registry(args, server.display)) == stored, f"a refused value changed the registry: {now}")
        type_into_field(server, dialog, "100")
        h.xdotool(server.display, "key", "Tab")
        type_into_field(server, dialog, "500")
        refused(server, run, dialog, "Grid size: enter a whole number from 4 to 128.", 2)
        check((now := registry(args, server.display)) == stored, f"a refused value changed the registry: {now}")
        # The refusal left the caret in the grid field.
        type_into_field(server, dialog, "16")
        h.xdotool(server.display, "key", "Return")
        ends_within(run)
        values = registry(args, server.display)
        check(values == {"Balls": ("REG_DWORD", "0x64"), "Grid": ("REG_DWORD", "0x10")},
              f"the registry holds {values} after OK")

        # A hundred balls: a surface over much of the screen, every time.
        runs.append(start_saver(args, server))
        h.wait_for_frames(server, 640, 480, runs[-1])
        hundred = shares(server)
        h.press(server, runs[-1], "a")
        ends_within(runs[-1])
        print(f"surface share with one ball {max(one_ball):.3f} at most, with a hundred {min(hundred):.3f} at least")
        check(max(one_ball) < 0.03, f"one ball covers {one_ball} of the screen")
        check(min(hundred) > 0.06, f"a hundred balls cover only {hundred} of the screen")
    finally:
        for run in reversed(runs):
            run.finish()
        server.stop()


def case_scr_bad_argument(args):
    needs_saver(args)
    h = harness()
    server = XServer(640, 480)
    run = None
    try:
        run = h.Run(args, options=None, files=(), display=server.display, arguments=("/settings",))
        deadline = time.monotonic() + WAIT_LIMIT
        while not (boxes := h.boxes_named(server.display, BOX_CAPTION)):
            check(run.process.poll() is None, f"ended ({run.process.returncode}) without a box")
            check(time.monotonic() < deadline, "no box within the time limit")
            time.sleep(0.1)
        h.press(server, run, "Return", boxes[0])
        h.ended_with(run, 64)
        shown = run.boxes({BOX_CAPTION})
        check(len(shown) == 1 and shown[0][1].startswith('Unknown argument "/settings".'), f"boxes: {shown}")
    finally:
        if run is not None:
            run.finish()
        server.stop()


SCR_CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_scr_")}
