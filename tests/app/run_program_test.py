#!/usr/bin/env python3
"""Runs the real sorvel2 program under a private Xvfb and checks what a user
sees: frames on the screen, Escape and a close request ending it with 0, and
the exit codes and report lines of the failures at start-up.

    run_program_test.py --program BIN --demo DIR --close-helper BIN CASE
    run_program_test.py ... screenshot PNG_OR_XWD   (a picture of the demo)

Each case starts its own X server on a free display number (Xvfb picks it
with -displayfd) and stops it again by its process id. Message boxes are
reduced to their stderr lines (SORVEL2_NO_MESSAGE_BOX=1), so nothing waits
for a click. Every wait is bounded.
"""
import argparse
import contextlib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

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


CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
CASES.update({name: (lambda args, row=row: expect_report(args, *row)) for name, row in REPORTS.items()})


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--close-helper", required=True)
    parser.add_argument("case", choices=sorted(CASES) + ["screenshot"])
    parser.add_argument("output", nargs="?")
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(3))
    try:
        if args.case == "screenshot":
            screenshot(args, args.output)
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
