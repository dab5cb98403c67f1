"""The screen saver cases of the program harness (saver_*), for the
XScreenSaver hack (--program is sorvel2-saver): on a private Xvfb, in a
window the case makes as the daemon or the settings' preview would
(--window-helper, x11_test_window), it draws the surface into that window
and nowhere else, grabs neither keyboard nor pointer, follows the window's
resizes, leaves the pointer's cursor over it as it was, ends with 0 within
a second of SIGTERM and when the window is destroyed; a window it cannot
draw in (InputOnly, a visual without a depth buffer) or a display with no
GLX is one line on stderr and exit 1; --root draws on the
root window, or on $XSCREENSAVER_WINDOW's window when that is set; --window
draws in a window of its own that a close request ends; frames are paced
(near 60 a second, or --delay); a bad argument or value is one line on
stderr and exit 64. Every run has an empty working directory: the saver
carries its textures.

xscreensaver_daemon runs the real thing: Debian's xscreensaver daemon, as an
ordinary user the case creates, with a HOME whose .xscreensaver lists only
this hack, inside a Debian root (--in-root DIR, where the .deb and
xscreensaver are installed; scripts/stages/58-xscreensaver.sh makes it) or
on this machine. `xscreensaver-command -activate` must put the surface on
the screen, `-deactivate` end the hack within two seconds, and no core
file or crash be left. SAVER_CASES maps each case name to its function.
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from checks import WAIT_LIMIT, Failure, Skip, check, spread
from xserver import Screenshot, XServer, cursor_pixels

# The screen every case starts, and the helper's window on it.
SCREEN = (640, 480)
WINDOW_AT = (40, 40)
WINDOW_SIZE = (320, 240)
GROWN_SIZE = (480, 360)
# A picture of the surface: many colours (the flat black a window starts
# with has one).
PICTURE_COLOURS = 200


class SaverRun:
    """The saver with these arguments on a display, in an empty working
    directory; stderr kept in a file."""

    def __init__(self, args, words, display, env=None):
        self.dir = tempfile.mkdtemp(prefix="sorvel2-saver-")
        environment = {k: v for k, v in os.environ.items()
                       if k not in ("DISPLAY", "WAYLAND_DISPLAY", "XSCREENSAVER_WINDOW")}
        if display is not None:
            environment["DISPLAY"] = display
        environment.update(env or {})
        # NOTE: in a sanitizer build, closing the display unloads Mesa's
        # driver, so what it keeps for the life of the process is reported
        # as leaks with no module left to suppress by name (as SDL does to
        # the demo). The scene's own memory is leak-checked by the unit tests.
        options = environment.get("ASAN_OPTIONS", "")
        environment["ASAN_OPTIONS"] = (options + ":" if options else "") + "detect_leaks=0"
        self.stderr_path = os.path.join(self.dir, "stderr.txt")
        self.stderr_file = open(self.stderr_path, "wb")
        self.stdout_path = os.path.join(self.dir, "stdout.txt")
        self.stdout_file = open(self.stdout_path, "wb")
        # The working directory itself stays empty: the files live beside it.
        self.cwd = os.path.join(self.dir, "cwd")
        os.mkdir(self.cwd)
        self.process = subprocess.Popen([os.path.abspath(args.program), *words], cwd=self.cwd, env=environment,
                                        stdin=subprocess.DEVNULL, stdout=self.stdout_file, stderr=self.stderr_file)

    def stderr(self):
        self.stderr_file.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def stdout(self):
        self.stdout_file.flush()
        with open(self.stdout_path, "rb") as f:
            return f.read().decode(errors="replace")

    def ended_with(self, code, limit=WAIT_LIMIT):
        """Waits at most limit seconds for the end; returns the time it took."""
        start = time.monotonic()
        try:
            rc = self.process.wait(limit)
        except subprocess.TimeoutExpired:
            raise Failure(f"still running after {limit} s; stderr: {self.stderr()}")
        check(rc == code, f"exit code {rc}, expected {code}; stderr: {self.stderr()!r}")
        return time.monotonic() - start

    def terminate_within(self, limit):
        """SIGTERM, then the exit code must be 0 within limit seconds."""
        self.process.send_signal(signal.SIGTERM)
        took = self.ended_with(0, limit=WAIT_LIMIT)
        check(took < limit, f"SIGTERM took {took:.2f} s to end the saver")
        return took

    def finish(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.stderr_file.close()
        self.stdout_file.close()
        shutil.rmtree(self.dir, ignore_errors=True)


class TestWindow:
    """A window made by the helper, as a host makes one; resized and
    destroyed on command."""

    def __init__(self, args, display, at=WINDOW_AT, size=WINDOW_SIZE, kind=None):
        check(args.window_helper is not None, "this case needs --window-helper")
        words = [args.window_helper, str(at[0]), str(at[1]), str(size[0]), str(size[1])] + ([kind] if kind else [])
        self.process = subprocess.Popen(words, env=dict(os.environ, DISPLAY=display), stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        check(line.strip().isdigit(), f"the window helper said {line!r}")
        self.id = int(line)
        self.display = display

    def command(self, words):
        self.process.stdin.write(words + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().strip()
        check(answer == "ok", f"the window helper answered {answer!r} to {words!r}")

    def exists(self):
        return subprocess.run(["xwininfo", "-id", str(self.id), "-display", self.display], capture_output=True,
                              timeout=WAIT_LIMIT).returncode == 0

    def finish(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def wait_for_picture(run, shoot, box, what):
    """Waits until the shot (a function) shows a picture inside box (x0, y0,
    x1, y1); returns the shot."""
    deadline = time.monotonic() + WAIT_LIMIT
    while time.monotonic() < deadline:
        check(run.process.poll() is None, f"the saver ended early ({run.process.returncode}): {run.stderr()}")
        shot = shoot()
        if spread(shot.region(*box, 3))[0] > PICTURE_COLOURS:
            return shot
        time.sleep(0.2)
    raise Failure(f"no picture {what} within the time limit; stderr: {run.stderr()}")


def check_moves(run, shoot, box):
    """Two shots a second apart differ in many places: the animation runs."""
    before = shoot().region(*box, 3)
    time.sleep(1.0)
    after = shoot().region(*box, 3)
    changed = sum(1 for a, b in zip(before, after) if a != b)
    check(changed > len(before) // 20, f"the picture does not move: {changed} of {len(before)} samples changed; "
                                       f"stderr: {run.stderr()}")


def outside_is_black(shot, window_box):
    """The root window's pixels outside window_box, sampled: all black."""
    x0, y0, x1, y1 = window_box
    seen = {shot.at(x, y) for y in range(0, shot.height, 4) for x in range(0, shot.width, 4)
            if not (x0 <= x < x1 and y0 <= y < y1)}
    return seen == {(0, 0, 0)}


def on_screen(args, *words, env=None, depth=24, kind=None):
    """An Xvfb of SCREEN (and depth) with the helper's window (of kind) on
    it and the saver run with words (each {id} replaced by the window's id):
    (server, window, run)."""
    server = XServer(*SCREEN, depth=depth)
    window = run = None
    try:
        window = TestWindow(args, server.display, kind=kind)
        words = [w.replace("{id}", str(window.id)) for w in words]
        env = {k: v.replace("{id}", hex(window.id)) for k, v in (env or {}).items()}
        run = SaverRun(args, words, server.display, env=env)
        return server, window, run
    except BaseException:
        for part in (run, window):
            if part is not None:
                part.finish()
        server.stop()
        raise


def close_all(server, window, run):
    run.finish()
    window.finish()
    server.stop()


def window_box(size=WINDOW_SIZE):
    return (WINDOW_AT[0], WINDOW_AT[1], WINDOW_AT[0] + size[0], WINDOW_AT[1] + size[1])


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------
def case_saver_window_id(args):
    # The settings' preview: --window-id draws into that window alone,
    # follows its growth, and SIGTERM ends it at once with 0; the window
    # stays, it is not the saver's.
    server, window, run = on_screen(args, "--window-id", "{id}")
    try:
        # The pointer over the window: its cursor is the window owner's
        # business, not the saver's (the daemon hides it on its own window).
        subprocess.run(["xdotool", "mousemove", str(WINDOW_AT[0] + 20), str(WINDOW_AT[1] + 20)],
                       env=dict(os.environ, DISPLAY=server.display), check=True, timeout=WAIT_LIMIT)
        inside = lambda: Screenshot(server.display, window.id)
        wait_for_picture(run, inside, (0, 0, *WINDOW_SIZE), "in the window")
        check(cursor_pixels(server.display) > 0, "the pointer shows no cursor over the window the saver draws in")
        check_moves(run, inside, (0, 0, *WINDOW_SIZE))
        shot = Screenshot(server.display)
        check(outside_is_black(shot, window_box()), "the saver drew outside its window")
        window.command("grab")  # the saver holds neither the keyboard nor the pointer
        window.command("resize %d %d" % GROWN_SIZE)
        # The part the window gained: the strip on the right and the one at
        # the bottom, where a saver still drawing at the old size leaves
        # the window's black.
        w, h = GROWN_SIZE
        wait_for_picture(run, inside, (WINDOW_SIZE[0], 0, w, h), "in the right strip the window gained")
        wait_for_picture(run, inside, (0, WINDOW_SIZE[1], w, h), "in the bottom strip the window gained")
        check(outside_is_black(Screenshot(server.display), window_box(GROWN_SIZE)), "drawn outside the grown window")
        took = run.terminate_within(1.0)
        check(window.exists(), "the window is gone with the saver")
        print(f"SIGTERM to exit: {took:.3f} s")
    finally:
        close_all(server, window, run)


def case_saver_window_destroyed(args):
    # The preview closes: its window goes, the saver ends with 0. A window
    # that is not there cannot be drawn in: exit 1.
    server, window, run = on_screen(args, "-window-id", "{id}")
    try:
        wait_for_picture(run, lambda: Screenshot(server.display, window.id), (0, 0, *WINDOW_SIZE), "in the window")
        window.command("destroy")
        took = run.ended_with(0, limit=WAIT_LIMIT)
        check(took < 2.0, f"the saver took {took:.2f} s to end after its window went")
        # Started again on the id of the window that is gone: 1, and why.
        again = SaverRun(args, ["--window-id", hex(window.id)], server.display)
        try:
            again.ended_with(1)
            check(f"there is no window {hex(window.id)}" in again.stderr(), f"stderr: {again.stderr()!r}")
        finally:
            again.finish()
    finally:
        close_all(server, window, run)


# Windows a GL saver cannot draw in, and a display with no GLX at all: exit
# 1 and one line on stderr that says why (not a crash, not a quiet 0).
# (what, the screen's depth, the helper's window kind, words, text the line
# must hold)
REFUSED_WINDOWS = (
    ("an InputOnly window", 24, "input-only", ["--window-id", "{id}"], "is InputOnly"),
    ("a visual without a depth buffer", 24, "no-depth-buffer", ["--window-id", "{id}"],
     "without OpenGL, RGBA or a depth buffer"),
    ("an InputOnly $XSCREENSAVER_WINDOW", 24, "input-only", ["--root"], "is InputOnly"),
    # NOTE: Xvfb offers GLX only on a screen whose visuals all have OpenGL;
    # at 8 bits a pixel it offers no GLX at all.
    ("a display with no GLX", 8, None, ["--window-id", "{id}"], "the display has no GLX"),
)


def case_saver_refused_window(args):
    for what, depth, kind, words, named in REFUSED_WINDOWS:
        env = {"XSCREENSAVER_WINDOW": "{id}"} if words == ["--root"] else None
        server, window, run = on_screen(args, *words, env=env, depth=depth, kind=kind)
        try:
            run.ended_with(1)
            lines = run.stderr().splitlines()
            # A window refused is named (the display's refusal has none to name).
            wanted = [named] + ([hex(window.id)] if kind is not None else [])
            check(len(lines) == 1 and all(w in lines[0] for w in wanted),
                  f"{what}: stderr {run.stderr()!r}, expected one line holding {wanted}")
        finally:
            close_all(server, window, run)


def case_saver_root(args):
    # --root with no $XSCREENSAVER_WINDOW: the root window, all of it (the
    # helper's window lies on top of part of it, which hides that part).
    server, window, run = on_screen(args, "--root")
    try:
        whole = lambda: Screenshot(server.display)
        shot = wait_for_picture(run, whole, (WINDOW_AT[0] + WINDOW_SIZE[0], 0, *SCREEN), "on the root window")
        for x0, y0 in ((0, 300), (400, 0), (400, 300)):
            colours, _ = spread(shot.region(x0, y0, x0 + 200, y0 + 150, 3))
            check(colours > 100, f"the root window's part at {x0},{y0} is flat: {colours} colours")
        inside = Screenshot(server.display, window.id).region(0, 0, *WINDOW_SIZE, 4)
        check(set(inside) == {(0, 0, 0)}, "the saver drew into a window it was not given")
        check_moves(run, whole, (400, 0, *SCREEN))
        window.command("grab")  # the saver holds neither the keyboard nor the pointer
        run.terminate_within(1.0)
    finally:
        close_all(server, window, run)


def case_saver_root_env(args):
    # --root under the daemon: $XSCREENSAVER_WINDOW names the window (hex,
    # as XScreenSaver writes it); the root window around it stays black.
    server, window, run = on_screen(args, "-root", env={"XSCREENSAVER_WINDOW": "{id}"})
    try:
        wait_for_picture(run, lambda: Screenshot(server.display, window.id), (0, 0, *WINDOW_SIZE), "in the window")
        check(outside_is_black(Screenshot(server.display), window_box()), "the saver drew outside its window")
        run.terminate_within(1.0)
    finally:
        close_all(server, window, run)


def case_saver_own_window(args):
    # --window (and no argument at all): a window of its own, drawn in and
    # ended with 0 by a close request, as a window manager's close button.
    for words in (["--window"], []):
        server = XServer(*SCREEN)
        run = None
        try:
            run = SaverRun(args, words, server.display)
            wait_for_picture(run, lambda: Screenshot(server.display), (0, 0, 640, 480), f"with {words}")
            check(args.close_helper is not None, "this case needs --close-helper")
            subprocess.run([args.close_helper, str(run.process.pid)], env=dict(os.environ, DISPLAY=server.display),
                           check=True, timeout=WAIT_LIMIT)
            run.ended_with(0)
        finally:
            if run is not None:
                run.finish()
            server.stop()


def fps_lines(run):
    rates = [float(r) for r in re.findall(r"^sorvel2-saver: ([0-9.]+) fps$", run.stderr(), re.M)]
    return rates


def case_saver_pace(args):
    # --fps writes the rate once a second. Without --delay the frames stay
    # near 60 a second at most (the refresh, or the cap where the display has
    # none to wait for, as Xvfb); --delay 200000 waits a fifth of a second
    # after each frame. Only upper bounds: a busy machine draws fewer.
    for words, most in ((["--fps"], 63.0), (["--fps", "--delay", "200000"], 5.05)):
        server = XServer(*SCREEN)
        run = None
        try:
            run = SaverRun(args, ["--root", *words], server.display)
            deadline = time.monotonic() + WAIT_LIMIT
            while len(fps_lines(run)) < 4:
                check(run.process.poll() is None, f"ended early: {run.stderr()}")
                check(time.monotonic() < deadline, f"fewer than 4 rates: {run.stderr()!r}")
                time.sleep(0.2)
            run.terminate_within(1.0)
            rates = fps_lines(run)[1:]  # the first second holds the set-up
            print(f"{' '.join(words)}: {', '.join(f'{r:.1f}' for r in rates)} frames a second")
            check(all(0 < r <= most for r in rates), f"{words}: rates {rates}, at most {most} expected")
        finally:
            if run is not None:
                run.finish()
            server.stop()


# A bad command line: exit 64 and one line on stderr that names what was
# wrong, before any display is opened. (words, text the line must hold)
BAD_ARGUMENTS = (
    (["--balls", "0"], "'0'"), (["--balls", "101"], "'101'"), (["--grid", "3"], "'3'"),
    (["--grid", "129"], "'129'"), (["--grid", "40x"], "'40x'"), (["--grid", " 40"], "' 40'"),
    (["--balls", "99999999999"], "'99999999999'"), (["--delay", "-1"], "'-1'"), (["--grid"], "'--grid'"),
    (["--bogus"], "'--bogus'"), (["root"], "'root'"), (["--window-id", "zz"], "'zz'"),
    (["--window-id", "0"], "'0'"), (["--root", "--window"], "'--window'"), (["---root"], "'---root'"),
)
# Good command lines with no display: past the arguments, the display
# cannot be opened (exit 1), so the values were taken.
GOOD_ARGUMENTS = (["--balls", "1", "--grid", "4"], ["-balls", "100", "-grid", "128"], ["--grid", "+40"],
                  ["--delay", "0", "--fps", "--root"], ["--window-id", "0x1234"])


def case_saver_bad_arguments(args):
    for words, named in BAD_ARGUMENTS:
        run = SaverRun(args, words, None)
        try:
            run.ended_with(64)
            lines = run.stderr().splitlines()
            check(len(lines) == 1 and named in lines[0], f"{words}: stderr {run.stderr()!r}, expected one line "
                                                         f"naming {named}")
        finally:
            run.finish()
    for words in GOOD_ARGUMENTS:
        run = SaverRun(args, words, None)
        try:
            run.ended_with(1)
            check("cannot open the display" in run.stderr(), f"{words}: stderr {run.stderr()!r}")
        finally:
            run.finish()
    for words in (["--help"], ["-help"]):
        run = SaverRun(args, words, None)
        try:
            run.ended_with(0)
            check(run.stdout().startswith("usage: sorvel2-saver") and "--window-id" in run.stdout(),
                  f"{words}: stdout {run.stdout()!r}")
        finally:
            run.finish()


# ---------------------------------------------------------------------------
# With the real daemon
# ---------------------------------------------------------------------------
DAEMON_USER = "sorvel2-saver-test"
# Only this hack, chosen at once, shown without fading, no lock, no splash.
XSCREENSAVER_SETTINGS = """mode:		one
selected:	0
timeout:	0:30:00
cycle:		0:00:00
lock:		False
fade:		False
unfade:		False
splash:		False
dpmsEnabled:	False
grabDesktopImages:	False
grabVideoFrames:	False
programs:	GL: sorvel2 --root \n
"""


class Host:
    """Runs commands on this machine or inside a root (chroot), as root or
    as the daemon's user, with a clean environment."""

    def __init__(self, root):
        self.root = root

    def path(self, inside):
        return inside if self.root is None else os.path.join(self.root, inside.lstrip("/"))

    def command(self, words, user=None, env=None):
        environment = {"PATH": "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin", "LANG": "C.UTF-8", **(env or {})}
        prefix = []
        if self.root is not None:
            prefix = ["chroot"] + ([f"--userspec={user}:{user}"] if user else []) + [self.root]
        elif user:
            prefix = ["setpriv", f"--reuid={user}", f"--regid={user}", "--init-groups"]
        return prefix + ["env", "-i", *[f"{k}={v}" for k, v in environment.items()], *words]

    def run(self, words, user=None, env=None, check_rc=True):
        done = subprocess.run(self.command(words, user, env), capture_output=True, text=True, timeout=WAIT_LIMIT)
        check(not check_rc or done.returncode == 0, f"{words}: exit {done.returncode}: {done.stderr}")
        return done


def descendants(pid):
    """Process ids below pid, with their command names."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            name = stat[stat.index("(") + 1:stat.rindex(")")]
            parent = int(stat[stat.rindex(")") + 2:].split()[1])
            children.setdefault(parent, []).append((int(entry), name))
    found, todo = [], [pid]
    while todo:
        for child, name in children.get(todo.pop(), []):
            found.append((child, name))
            todo.append(child)
    return found


def case_xscreensaver_daemon(args):
    if os.geteuid() != 0:
        raise Skip("the daemon's user is made by the case, which needs root")
    host = Host(args.in_root)
    check(shutil.which("xscreensaver") is not None or args.in_root is not None, "no xscreensaver here")
    hack = host.path("/usr/libexec/xscreensaver/sorvel2")
    check(os.access(hack, os.X_OK), f"no hack at {hack}")
    if host.run(["id", "-u", DAEMON_USER], check_rc=False).returncode != 0:
        host.run(["useradd", "--create-home", "--shell", "/bin/sh", DAEMON_USER])
    home = host.run(["sh", "-c", "echo ~" + DAEMON_USER]).stdout.strip()
    home_outside = host.path(home)
    for name in os.listdir(home_outside):
        if name.startswith("core") or name == ".xscreensaver":
            os.remove(os.path.join(home_outside, name))
    with open(os.path.join(home_outside, ".xscreensaver"), "w") as f:
        f.write(XSCREENSAVER_SETTINGS)
    server = XServer(*SCREEN)
    env = {"DISPLAY": server.display, "HOME": home, "USER": DAEMON_USER, "LOGNAME": DAEMON_USER}
    log = open(os.path.join(tempfile.gettempdir(), f"sorvel2-xscreensaver-{os.getpid()}.log"), "w+")
    daemon = None
    try:
        daemon = subprocess.Popen(host.command(["sh", "-c", "ulimit -c unlimited; cd && exec xscreensaver "
                                                "-no-splash -verbose"], DAEMON_USER, env),
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

        def said():
            log.flush()
            log.seek(0)
            return log.read()

        def command(word):
            # The daemon answers once it is up; until then the command fails.
            deadline = time.monotonic() + WAIT_LIMIT
            while True:
                done = host.run(["xscreensaver-command", word], DAEMON_USER, env, check_rc=False)
                if done.returncode == 0:
                    return
                check(daemon.poll() is None, f"the daemon ended ({daemon.returncode}): {said()}")
                check(time.monotonic() < deadline, f"xscreensaver-command {word}: {done.stderr}; daemon: {said()}")
                time.sleep(0.3)

        def hacks():
            return [pid for pid, name in descendants(daemon.pid) if name == "sorvel2"]

        command("-activate")
        deadline = time.monotonic() + WAIT_LIMIT
        while True:
            check(daemon.poll() is None, f"the daemon ended ({daemon.returncode}): {said()}")
            shot = Screenshot(server.display)
            colours, deviation = spread(shot.sample(4))
            if hacks() and colours > PICTURE_COLOURS:
                break
            check(time.monotonic() < deadline, f"no picture on the screen ({colours} colours, hacks {hacks()}); "
                                               f"daemon: {said()}")
            time.sleep(0.3)
        for x0, y0 in ((0, 0), (320, 0), (0, 240), (320, 240)):
            quarter, _ = spread(shot.region(x0, y0, x0 + 320, y0 + 240, 3))
            check(quarter > 100, f"the screen's quarter at {x0},{y0} is flat: {quarter} colours")
        running = hacks()
        print(f"activated: hack {running}, {colours} colours on the screen")
        command("-deactivate")
        start = time.monotonic()
        while hacks() and time.monotonic() - start < 2.0:
            time.sleep(0.05)
        check(not hacks(), f"the hack still runs 2 s after -deactivate: {hacks()}; daemon: {said()}")
        print(f"deactivated: the hack ended in {time.monotonic() - start:.2f} s")
        cores = [n for n in os.listdir(home_outside) if n.startswith("core")]
        check(not cores, f"core files in the daemon's home: {cores}")
        text = said()
        crashed = re.findall(r".*(?:crashed|dumped core|exited abnormally|terminated with signal).*", text)
        check(not crashed, f"the daemon saw the hack fail: {crashed}")
        named = [line for line in text.splitlines() if "sorvel2" in line]
        check(named, f"the daemon's log does not name the hack: {text}")
        print("the daemon's log on the hack:\n  " + "\n  ".join(named))
    finally:
        if daemon is not None:
            left = descendants(daemon.pid)
            if daemon.poll() is None:
                daemon.terminate()
                try:
                    daemon.wait(10)
                except subprocess.TimeoutExpired:
                    daemon.kill()
                    daemon.wait()
            for pid, _ in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        log.close()
        os.remove(log.name)
        server.stop()


SAVER_CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_")}
