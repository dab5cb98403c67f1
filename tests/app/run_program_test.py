#!/usr/bin/env python3
"""Runs the real sorvel2 program under a private X server and checks what a
user sees: frames on the screen, Escape and a close request ending it with 0,
the exit codes and message boxes of the failures at start-up, and the
display mode it switches to and back. The page_* cases do the same for the
browser build: the page served from 127.0.0.1 and opened in headless
Chromium.

    run_program_test.py --program BIN --demo DIR [--close-helper BIN] CASE
    run_program_test.py --program sorvel2.exe --wine-prefix DIR --demo DIR CASE
    run_program_test.py --program sorvel2.scr --wine-prefix DIR --demo DIR --scr-probe EXE scr_CASE
    run_program_test.py ... screenshot PNG_OR_XWD   (a picture of the demo)
    run_program_test.py --page DIST_WEB --demo DIR [--tool SORVEL2_TOOL] page_CASE
    run_program_test.py --page DIST_WEB --demo DIR page_screenshot PNG
    run_program_test.py --page DIST_WEB --demo DIR page_frame_time   (prints it)
    run_program_test.py --program sorvel2-saver --demo DIR --window-helper BIN
                        [--close-helper BIN] saver_CASE
    run_program_test.py --program HACK --demo DIR [--in-root DIR] xscreensaver_daemon

The program is the Linux build, or with --wine-prefix the Windows build run
by Wine in that prefix (made at first use; the case stops its wineserver).
Each case starts its own X server on a free display number (-displayfd) and
stops it again by its process id: Xvfb, which offers one display mode, or
for the mode cases Xorg with the dummy driver, which offers several (those
need root and the driver; without them the case exits 77, skipped).
Message boxes of the Linux build are reduced to their stderr lines
(SORVEL2_NO_MESSAGE_BOX=1) unless the case shows them; Wine always shows
them. A shown box is dismissed with Return. Every wait is bounded.
The page cases (page_cases.py) serve a copy of the page with its own
options and textures (python3 -m http.server on a free port) and open it in
headless Chromium (chromium.py), on virtual time for pictures (the page's
clock advances only as the browser lets it, so a budget of virtual seconds
gives the same frames on a slow machine) or in real time driven over the
DevTools pipe. Both are stopped by their process ids. The scr_* cases
(scr_cases.py) run the Windows screen saver under Wine. The failure table
(failure_table.py) is shared by the program and the page; checks.py holds
what every part uses, xserver.py the X servers and the screen reader.
The saver cases (saver_cases.py) run the XScreenSaver hack in windows made
by the case, and under the real xscreensaver daemon.
Some failure cases run the program under process limits (set before it
starts, as ulimit does), one of them as the user nobody (root only;
skipped elsewhere).
"""
import argparse
import contextlib
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from checks import SKIPPED, WAIT_LIMIT, Failure, Skip, check, spread
from failure_table import ERROR, REPORTS, place_files
from page_cases import PAGE_CASES, page_frame_time, page_screenshot
from saver_cases import SAVER_CASES
from scr_cases import SCR_CASES
from xserver import DummyXorg, Screenshot, XServer, current_mode

NOBODY = 65534  # user and group id of nobody


class Run:
    """One run of the program in a fresh working directory.

    The Linux build's message boxes stay stderr lines unless boxes is true.
    Under Wine the boxes are always real. limits are (resource, bytes or
    count) pairs set in the program's process before it starts (as ulimit
    does); with as_nobody it runs as the user nobody (root only), for a
    process-count limit, which root's own processes are exempt from.
    wine_channels are Wine debug channels logged to stderr besides the
    message boxes' (e.g. "+win").
    """

    def __init__(self, args, options="640 480 0 10 40\n", files=("reflect.bmp", "background.bmp"),
                 display=None, boxes=False, limits=(), as_nobody=False, arguments=(), wine_channels=()):
        self.dir = tempfile.mkdtemp(prefix="sorvel2-run-")
        if options is not None:
            with open(os.path.join(self.dir, "options.txt"), "w") as f:
                f.write(options)
        place_files(self.dir, args.demo, files)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER", "SORVEL2_NO_MESSAGE_BOX")}
        self.wine_prefix = args.wine_prefix
        command = [os.path.abspath(args.program), *arguments]
        if self.wine_prefix is not None:
            command.insert(0, "wine")
            env["WINEPREFIX"] = os.path.abspath(self.wine_prefix)
            # Wine's own logging off, except the message box channel: it logs
            # each box's text as the box opens, which is how a test reads it.
            env["WINEDEBUG"] = ",".join(["-all", "+msgbox", *wine_channels])
            # No offer to install Mono or Gecko when the prefix is made.
            env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        elif not boxes:
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
        user = {}
        if as_nobody:
            os.chmod(self.dir, 0o755)  # nobody reads its working directory
            user = {"user": NOBODY, "group": NOBODY, "extra_groups": []}

        def set_limits():
            for which, value in limits:
                resource.setrlimit(which, (value, value))

        self.process = subprocess.Popen(command, cwd=self.dir, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=self.stderr_file, preexec_fn=set_limits if limits else None,
                                        **user)

    def wait(self, limit=WAIT_LIMIT):
        try:
            return self.process.wait(limit)
        except subprocess.TimeoutExpired:
            return None

    def stderr(self):
        self.stderr_file.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def boxes(self, captions):
        """Every message box shown so far, in order, as (caption, text). The
        Linux build's stderr lines give both (only lines of the given captions
        count); Wine's log gives the text, and the caption is None."""
        lines = self.stderr().splitlines()
        if self.wine_prefix is None:
            return [tuple(line.split(": ", 1)) for line in lines if line.split(": ", 1)[0] in captions]
        found = [re.search(r':trace:msgbox:MSGBOX_OnInit L"(.*)"$', line) for line in lines]
        return [(None, re.sub(r"\\(.)", r"\1", f.group(1))) for f in found if f]

    def finish(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        if self.wine_prefix is not None:
            # The prefix's wineserver (and any program left in it) goes too.
            subprocess.run(["wineserver", "-k"], env=self.env, timeout=WAIT_LIMIT, check=False)
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


def xdotool(display, *words, check_rc=True):
    return subprocess.run(["xdotool", *words], env=dict(os.environ, DISPLAY=display), check=check_rc,
                          timeout=WAIT_LIMIT, capture_output=True, text=True)


def visible_windows(display, *criteria):
    """Ids of the mapped windows that meet every criterion (xdotool search)."""
    found = xdotool(display, "search", "--all", "--onlyvisible", *criteria, check_rc=False)
    return [int(w) for w in found.stdout.split()]


def boxes_named(display, caption):
    """Ids of the mapped top-level windows named caption."""
    # NOTE: read with xwininfo: xdotool does not match names stored as
    # UTF8_STRING, which SDL's boxes use.
    tree = subprocess.run(["xwininfo", "-root", "-children", "-display", display], check=True,
                          capture_output=True, text=True, timeout=WAIT_LIMIT).stdout
    named = [int(w, 16) for w, name in re.findall(r'^\s*(0x[0-9a-f]+) "(.*)":', tree, re.M) if name == caption]
    return [w for w in named if "IsViewable" in subprocess.run(
        ["xwininfo", "-id", str(w), "-display", display], capture_output=True, text=True, timeout=WAIT_LIMIT).stdout]


def focused_window(display):
    """The window that has the keyboard focus (None for PointerRoot or none)."""
    found = xdotool(display, "getwindowfocus", "-f", check_rc=False).stdout.strip()
    return int(found) if found.isdigit() else None


def program_window(server, run):
    """The program's render window: its largest mapped window."""
    def area(window):
        geometry = xdotool(server.display, "getwindowgeometry", str(window)).stdout
        w, h = re.search(r"Geometry: (\d+)x(\d+)", geometry).groups()
        return int(w) * int(h)
    windows = visible_windows(server.display, "--pid", str(run.process.pid))
    check(windows, "the program has no window")
    return max(windows, key=area)


def press(server, run, key, window=None):
    """Types a key. Under Wine the window gets the focus first: with no window
    manager, Wine's windows may not get the keyboard focus by themselves. The
    Linux build is left to take it itself (that is part of what is tested)."""
    if run.wine_prefix is not None:
        xdotool(server.display, "windowfocus", "--sync", str(window or program_window(server, run)))
    xdotool(server.display, "key", key)


def ended_with(run, code, limit=WAIT_LIMIT):
    rc = run.wait(limit)
    check(rc is not None, f"still running after {limit} s")
    check(rc == code, f"exit code {rc}, expected {code}; stderr: {run.stderr()}")


@contextlib.contextmanager
def session(args, options="640 480 0 10 20\n", files=("reflect.bmp", "background.bmp"), screen=(640, 480),
            frames=True, boxes=False, **run_options):
    """The program on a private X server (an Xvfb of the screen size, or the
    given server class); with frames, waits for its first picture (the shot).
    run_options go to Run (limits, as_nobody)."""
    server = XServer(*screen) if isinstance(screen, tuple) else screen()
    run = None
    try:
        run = Run(args, options=options, files=files, display=server.display, boxes=boxes, **run_options)
        run.shot = wait_for_frames(server, 640, 480, run) if frames else None
        yield server, run
    finally:
        if run is not None:
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
        time.sleep(1.0)
        after = Screenshot(server.display).sample()
        changed = sum(1 for a, b in zip(before, after) if a != b)
        check(changed > len(before) // 20, f"the picture does not move: {changed} of {len(before)} samples changed")
        press(server, run, "Escape")
        ended_with(run, 0)


def case_escape_ends_within_a_second(args):
    # NOTE: with no window manager Wine itself takes about 2 s to destroy a
    # window, so under Wine Escape gets 4 s; the program's part is the same.
    limit = 1.0 if args.wine_prefix is None else 4.0
    with session(args) as (server, run):
        window = program_window(server, run)
        start = time.monotonic()
        press(server, run, "Escape", window)
        ended_with(run, 0)
        took = time.monotonic() - start
        check(took < limit, f"Escape took {took:.2f} s to end the program")
        print(f"Escape to exit: {took:.3f} s")


def case_other_keys_do_nothing(args):
    with session(args) as (server, run):
        xdotool(server.display, "key", "a", "space", "Return", "q", "F4")
        time.sleep(1.0)
        check(run.process.poll() is None, f"ended after a key other than Escape: {run.stderr()}")
        press(server, run, "Escape")
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
        press(server, run, "Escape")
        ended_with(run, 0)


def wait_for_mode(display, wanted):
    deadline = time.monotonic() + 10.0
    while current_mode(display) != wanted and time.monotonic() < deadline:
        time.sleep(0.1)
    return current_mode(display)


def case_mode_switch(args):
    # Xorg offers 640 x 480 among its modes: the program switches the display
    # to it, covers the whole screen, and Escape brings 1280 x 1024 back.
    with session(args, options="640 480 0 10 20\n", screen=DummyXorg) as (server, run):
        mode = wait_for_mode(server.display, (640, 480))
        check(mode == (640, 480), f"the display is at {mode}, not 640 x 480")
        shot = Screenshot(server.display)
        check((shot.width, shot.height) == (640, 480), f"the screen is {shot.width} x {shot.height}")
        for x0, y0 in ((0, 0), (320, 0), (0, 240), (320, 240)):
            colours, _ = spread(shot.region(x0, y0, x0 + 320, y0 + 240, 2))
            check(colours > 100, f"the quarter at {x0},{y0} is flat: {colours} colours")
        press(server, run, "Escape")
        ended_with(run, 0)
        mode = wait_for_mode(server.display, (1280, 1024))
        check(mode == (1280, 1024), f"after Escape the display is at {mode}, not back at 1280 x 1024")


def case_mode_not_offered(args):
    # 700 x 500 is none of Xorg's modes: the display stays, the program draws
    # in a 700 x 500 window at the top left.
    with session(args, options="700 500 0 10 20\n", screen=DummyXorg) as (server, run):
        window = program_window(server, run)
        geometry = xdotool(server.display, "getwindowgeometry", str(window)).stdout
        check("Position: 0,0" in geometry and "Geometry: 700x500" in geometry, f"the window: {geometry!r}")
        # NOTE: the window itself, not the root: this Xorg reads the root
        # back wrongly at 1280 x 1024 when a window of another visual is on it.
        colours, _ = spread(Screenshot(server.display, window).sample())
        check(colours > 500, f"flat window: {colours} colours")
        check(current_mode(server.display) == (1280, 1024), f"the display changed to {current_mode(server.display)}")
        press(server, run, "Escape", window)
        ended_with(run, 0)
        check(current_mode(server.display) == (1280, 1024), f"after Escape: {current_mode(server.display)}")


def expect_report(args, options, files, code, expected, shown=False, helper=True, **run_options):
    """Runs a failure; with shown boxes (always under Wine), waits for each box
    in turn, checks its caption and text and dismisses it with Return.
    Without the helper (no thread for it), the Linux build's box must stay
    without the keyboard focus, and the case gives it the focus, as a
    click would. run_options go to Run (limits, as_nobody)."""
    captions = {caption for caption, _ in expected}
    shown = shown or args.wine_prefix is not None
    with session(args, options=options, files=files, frames=False, boxes=shown, **run_options) as (server, run):
        for i, (caption, _) in enumerate(expected if shown else []):
            deadline = time.monotonic() + WAIT_LIMIT
            while not (boxes := boxes_named(server.display, caption)):
                check(run.process.poll() is None, f"ended ({run.process.returncode}) without box {caption!r}: "
                                                  f"{run.stderr()}")
                check(time.monotonic() < deadline, f"no box {caption!r} within the time limit")
                time.sleep(0.1)
            check(len(run.boxes(captions)) == i + 1, f"box {i + 1} is up, but the boxes shown were "
                                                     f"{run.boxes(captions)}")
            if run.wine_prefix is None and not helper:
                time.sleep(1.0)
                check(focused_window(server.display) != boxes[0],
                      f"the box {caption!r} got the keyboard focus: its helper thread ran after all")
                xdotool(server.display, "windowfocus", "--sync", str(boxes[0]))
            elif run.wine_prefix is None:
                # The Linux build gives its box the keyboard focus (no window
                # manager here does); as a user would, wait to see it there.
                deadline = time.monotonic() + 10.0
                while focused_window(server.display) != boxes[0]:
                    check(time.monotonic() < deadline, f"the box {caption!r} ({boxes[0]}) does not get the keyboard "
                                                       f"focus, {focused_window(server.display)} has it")
                    time.sleep(0.05)
            press(server, run, "Return", boxes[0])
            deadline = time.monotonic() + WAIT_LIMIT
            while boxes[0] in boxes_named(server.display, caption):
                check(time.monotonic() < deadline, f"Return did not close the box {caption!r}")
                time.sleep(0.1)
        ended_with(run, code)
        seen = run.boxes(captions)
        check(len(seen) == len(expected), f"boxes {seen}, expected {expected}")
        for (caption, text), (want_caption, pattern) in zip(seen, expected):
            check(caption in (None, want_caption) and re.fullmatch(pattern, text),
                  f"box {caption}: {text!r}, expected {want_caption}: {pattern!r}")


# The same reports where the process lacks what the box's focus helper
# thread, or the report itself, could need: limits set before the program
# starts. The helper is a convenience; without it the box still shows, and
# the exit code is the report's.
#   huge_stack: a stack limit of 200,000,000 KiB, far beyond the address
#     space: a thread made with the default stack, which follows the limit,
#     cannot start; the helper asks for a stack of its own size and still
#     gives the box the focus
#   no_threads: as nobody, one process at most: neither a thread nor SDL's
#     forked box process can start, so SDL shows the box in the program's
#     own process, without the helper (root only)
#   out_of_memory: grid 350 in a 2 GiB address space: each of the grid's
#     arrays is allowed (under 2 GiB), together they need over 5 GiB
HUGE_STACK = ((resource.RLIMIT_STACK, 200_000_000 * 1024),)
LIMITED_REPORTS = {
    "missing_options_huge_stack_boxes": (*REPORTS["missing_options"], dict(shown=True, limits=HUGE_STACK)),
    "missing_options_no_threads_boxes": (*REPORTS["missing_options"],
                                         dict(shown=True, helper=False, as_nobody=True,
                                              limits=((resource.RLIMIT_NPROC, 1),))),
    "out_of_memory": ("640 480 0 10 350\n", ("reflect.bmp", "background.bmp"), 203, [("Error", ERROR.format(203))],
                      dict(limits=((resource.RLIMIT_AS, 2 << 30),))),
}
LIMITED_REPORTS["out_of_memory_boxes"] = (*LIMITED_REPORTS["out_of_memory"][:4],
                                          dict(LIMITED_REPORTS["out_of_memory"][4], shown=True))


def expect_limited_report(args, options, files, code, expected, settings):
    if settings.get("as_nobody") and os.geteuid() != 0:
        raise Skip("running the program as nobody needs root")
    expect_report(args, options, files, code, expected, **settings)


def case_missing_options_huge_stack(args):
    # As a user met it: the box (no display for it) under the huge stack
    # limit. Exactly the report's line, and its exit code.
    run = Run(args, options=None, files=(), display=None, boxes=True, limits=HUGE_STACK)
    try:
        ended_with(run, 2)
        check(re.fullmatch("Error: " + ERROR.format(2) + "\n", run.stderr()), f"stderr: {run.stderr()!r}")
    finally:
        run.finish()


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
        press(server, run, "Escape")
        ended_with(run, 0)


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
CASES.update(PAGE_CASES)
CASES.update(SAVER_CASES)
CASES.update(SCR_CASES)
CASES.update({name: (lambda args, row=row: expect_report(args, *row)) for name, row in REPORTS.items()})
# The same failures with the Linux build's boxes on screen, closed from the keyboard.
CASES.update({name + "_boxes": (lambda args, row=row: expect_report(args, *row, shown=True))
              for name, row in REPORTS.items()})
CASES.update({name: (lambda args, row=row: expect_limited_report(args, *row)) for name, row in LIMITED_REPORTS.items()})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program")
    parser.add_argument("--demo", required=True)
    parser.add_argument("--close-helper", help="the close-request helper (close_request_ends only)")
    parser.add_argument("--wine-prefix", help="run --program, a Windows build, under Wine in this prefix")
    parser.add_argument("--scr-probe", help="scr_probe.exe, the Windows helper of the scr_* cases (sorvel2.scr)")
    parser.add_argument("--page", help="the built page folder (dist/web), for the page_* cases")
    parser.add_argument("--window-helper", help="the test window maker x11_test_window (saver_* cases)")
    parser.add_argument("--in-root", help="xscreensaver_daemon: the Debian root the daemon and the .deb are in")
    parser.add_argument("--tool", help="a native sorvel2-tool with render and export, for the page cases that "
                                       "compare frames or triangles with it")
    parser.add_argument("case", choices=sorted(CASES) + ["screenshot", "page_screenshot", "page_frame_time"])
    parser.add_argument("output", nargs="?")
    args = parser.parse_args()
    if args.case.startswith("page_"):
        if args.page is None:
            parser.error("the page cases need --page")
    elif args.program is None:
        parser.error("the program cases need --program")
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
    except Skip as skip:
        print(f"skipped {args.case}: {skip}")
        return SKIPPED
    print(f"ok {args.case}")
    return 0



# ---------------------------------------------------------------------------
# Soak: the program on each configuration below for SORVEL2_SOAK_SECONDS
# (default 120) must stay alive with flat memory and still end with 0 on
# Escape. Resident memory is sampled every second; the first seconds warm
# up and the software renderer's own use swings by about 2 MB from second to
# second, so the rule compares medians of the quarters of the samples.
# Memory keeps growing when the last quarter lies more than
# SOAK_GROWTH_LIMIT_KB above the second and it grew on both sides of the
# third, by more than a quarter of the limit each: a steady leak that
# passes the limit grows by at least four tenths of it on either side
# (the last quarter's median lies half a quarter further on), while a
# one-time step (the renderer taking a buffer once, sometimes only in the
# last seconds of a short run) shows on one side only. Frames are counted
# by Mesa's frame-rate graph, dumped once a second and never drawn.
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
    """The medians of the second, third and last quarters, and whether memory
    kept growing by the rule above."""
    quarter = len(samples) // 4
    check(quarter >= 1, f"too few memory samples: {len(samples)}")
    second, third = median(samples[quarter:2 * quarter]), median(samples[2 * quarter:3 * quarter])
    last = median(samples[3 * quarter:])
    side = SOAK_GROWTH_LIMIT_KB / 4
    return second, third, last, last - second > SOAK_GROWTH_LIMIT_KB and third - second > side and last - third > side


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
        second, third, last, grows = memory_grows(samples)
        print(f"soak {name} ({options.strip()}): {len(samples)} s, {sum(rates):.0f} frames "
              f"(median {median(rates):.0f} fps), resident memory {samples[0]} kB at the first sample, "
              f"median {second:.0f} kB in the second quarter, {third:.0f} kB in the third, {last:.0f} kB "
              f"in the last ({last - second:+.0f} kB), highest {max(samples)} kB")
        check(not grows, f"{name}: memory keeps growing: {second:.0f} kB -> {third:.0f} kB -> {last:.0f} kB")
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
