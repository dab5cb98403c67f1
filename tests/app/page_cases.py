"""The page cases of the program harness (page_*): the browser build served
from 127.0.0.1 and opened in headless Chromium (chromium.py). The page
draws, moves and matches the native frame; it runs every row of the
failure table at start-up, and meets some rows through its panel (a ball
count of -1 or a grid of 0 applied, a refused BMP chosen); settings come
from a link and from Apply (status line, the address, triangles per frame
against the native tool's count); textures chosen and dropped change the
picture and Reset brings the folder's back; keys typed in the panel never
reach the demo, Escape on the canvas ends it with 0, Run again starts it;
the page stays small. PAGE_CASES maps each case name to its function;
page_screenshot and page_frame_time are not tests (a picture, a measure).
"""
import base64
import json
import os
import re
import subprocess
import shutil
import tempfile
import time

from checks import WAIT_LIMIT, check, spread
from chromium import PAGE_FILES, Png, Site, browse, page_session, page_shot, page_state
from failure_table import REPORTS, bmp

# In the page: the current run's passes of the frame loop (0 before its
# runtime is up), its exit code (undefined while it runs), the status line.
PASSES = "(window.Module && Module.calledRun ? Module._WebPassCount() : 0)"
EXIT_CODE = "document.getElementById('status').dataset.exitCode"
STATUS = "document.getElementById('status').textContent"
# The page's own files may add up to this; the two BMPs do not count.
PAGE_LIMIT_BYTES = 300 * 1024
SHIPPED = "640 480 0 10 40\n"


def running(browser, frames=5, what="no frames"):
    """Waits until the current run has drawn frames more frames than when asked."""
    start = browser.evaluate(PASSES)
    browser.wait_for(f"{PASSES} >= {start + frames} && {EXIT_CODE} === undefined", what)


def restarted(browser, act, what):
    """Does act, then waits for a new run of the program drawing frames."""
    browser.evaluate("void (window.earlierRun = window.Module)")
    act()
    browser.wait_for(f"window.Module !== earlierRun && {PASSES} >= 5 && {EXIT_CODE} === undefined", what)


# The listeners on the window and on the document, by event type.
LISTENERS = """Object.fromEntries([["window", window], ["document", document]].map(([name, target]) =>
    [name, Object.fromEntries(Object.entries(getEventListeners(target)).map(([type, l]) => [type, l.length]))]))"""


def settings_line(options):
    width, height, _, balls, grid = options.split()
    return f"{width} x {height}, {balls} balls, grid {grid}"


# In the page, right after a frame (while the canvas still holds it): the
# frame's ElapsedMs and the canvas as a PNG data URL.
GRAB_FRAME = """new Promise(resolve => {
    Module.postMainLoop = () => {
        Module.postMainLoop = null;
        resolve({ms: Module._WebElapsedMs(), png: Module.canvas.toDataURL("image/png")});
    };
})"""


def grab_frame(browser):
    frame = browser.evaluate(GRAB_FRAME, promise=True)
    return frame["ms"], Png(frame["png"])


def native_frame(args, folder, ms, size):
    """The native tool's render of the frame at ms, in folder (its options.txt and textures)."""
    check(args.tool is not None, "this case needs --tool")
    subprocess.run([os.path.abspath(args.tool), "render", "--time-ms", str(ms), "--size", size, "-o", "native.png"],
                   cwd=folder, check=True, timeout=WAIT_LIMIT, stdout=subprocess.DEVNULL)
    return Png(os.path.join(folder, "native.png"))


def native_triangles(args, options, ms):
    """Triangles in the native tool's export of the frame at ms on these settings."""
    check(args.tool is not None, "this case needs --tool")
    folder = tempfile.mkdtemp(prefix="sorvel2-export-")
    try:
        with open(os.path.join(folder, "options.txt"), "w") as f:
            f.write(options)
        raw = subprocess.run([os.path.abspath(args.tool), "export", "--time-ms", str(ms), "--format", "raw"],
                             cwd=folder, check=True, timeout=WAIT_LIMIT, capture_output=True).stdout
        return raw.count(b"\n") // 3
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def check_same_frame(page, native, what, colours=500):
    """The page's frame against the native one: mean difference under half a
    level, under 0.5 % of the pixels off by more than 16; and not flat: more
    than colours colours in the page's."""
    check((page.width, page.height) == (native.width, native.height),
          f"{what}: page {page.width}x{page.height}, native {native.width}x{native.height}")
    total, far, pixels = 0, 0, page.width * page.height
    for y in range(page.height):
        for x in range(page.width):
            d = [abs(a - b) for a, b in zip(page.at(x, y), native.at(x, y))]
            total += sum(d)
            far += max(d) > 16
    mean = total / (3 * pixels)
    print(f"{what}: mean difference {mean:.2f} levels, {100.0 * far / pixels:.2f} % of pixels off by more than 16")
    found, _ = spread([page.at(x, y) for y in range(0, page.height, 3) for x in range(0, page.width, 3)])
    check(found > colours, f"{what}: flat frame from the page: {found} colours")
    check(mean < 0.5 and far < pixels // 200, f"{what}: the page's frame differs from the native one")


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


def case_page_matches_native(args):
    """A frame of the page against the same frame drawn natively (the tool's
    render: the scene's fixed-function route through Mesa)."""
    with page_session(args) as (site, browser):
        running(browser, 20)
        ms, page = grab_frame(browser)
        check_same_frame(page, native_frame(args, site.dir, ms, "640x480"), f"frame at {ms} ms")


def case_page_keys(args):
    """Keys reach the demo only from the canvas: other keys there do nothing;
    digits, Backspace and Escape typed in a field edit the field and leave
    the demo running; the canvas goes full screen with the keys; Escape on
    it ends the demo with 0 (and full screen), and Run again
    starts it on the same settings, and the ended run has left no listener
    behind on the window or the document."""
    with page_session(args) as (site, browser):
        running(browser)
        listeners = browser.evaluate(LISTENERS, console_api=True)
        check(listeners["window"].get("keydown", 0) >= 2, f"no run's key listener on the window: {listeners}")
        check(browser.evaluate("document.activeElement.id") == "canvas", "the canvas lacks the focus at start")
        for key, code, virtual_key in (("a", "KeyA", 65), (" ", "Space", 32), ("Enter", "Enter", 13)):
            browser.key(key, code, virtual_key)
        running(browser, what="no frames after other keys")
        browser.click("#width")
        browser.evaluate("document.getElementById('width').setSelectionRange(99, 99)")
        browser.type("12")
        browser.key("Backspace", "Backspace", 8)
        browser.type("7")
        browser.key("Escape", "Escape", 27)
        value = browser.evaluate("document.getElementById('width').value")
        check(value == "64017", f"typing 1 2 Backspace 7 in the width field gave {value!r}, not '64017'")
        running(browser, 10, "no frames after typing in the panel")
        browser.click("#width")
        browser.click("#canvas")
        check(browser.evaluate("document.activeElement.id") == "canvas", "a click does not give the canvas the focus")
        browser.click("#fullscreen")
        browser.wait_for("document.fullscreenElement === Module.canvas", "the canvas is not in full screen")
        check(browser.evaluate("document.activeElement.id") == "canvas", "the canvas lacks the focus in full screen")
        fills = browser.evaluate("Module.canvas.clientWidth == innerWidth || Module.canvas.clientHeight == innerHeight")
        check(fills, "the canvas does not fill the screen in full screen")
        running(browser, what="no frames in full screen")
        # NOTE: a browser with a window takes the first Escape to leave full
        # screen; headless Chromium hands it to the page. Either way, at most
        # two end the demo, and the page is out of full screen.
        start = time.monotonic()
        browser.key("Escape", "Escape", 27)
        if browser.evaluate(f"{EXIT_CODE} === undefined && !document.fullscreenElement"):
            browser.key("Escape", "Escape", 27)
        browser.wait_for(f"{EXIT_CODE} !== undefined", "Escape did not end the demo", limit=5.0)
        took = time.monotonic() - start
        browser.wait_for("!document.fullscreenElement", "the page stays in full screen after the end", limit=5.0)
        check(browser.evaluate(EXIT_CODE) == "0", f"exit code {browser.evaluate(EXIT_CODE)} after Escape")
        status = browser.evaluate(STATUS)
        check(status == settings_line(SHIPPED) + ". The demo has ended (exit code 0).", f"the page says {status!r}")
        check(browser.evaluate("document.getElementById('box').hidden"), "a dialog shows after Escape")
        print(f"Escape to exit code: {took:.3f} s")
        restarted(browser, lambda: browser.click("#again"), "Run again did not start the demo")
        status = browser.evaluate(STATUS)
        check(status == settings_line(SHIPPED), f"after Run again the page says {status!r}")
        check(browser.evaluate("document.getElementById('again').hidden"), "Run again still shows while it runs")
        again = browser.evaluate(LISTENERS, console_api=True)
        check(again == listeners, f"listeners after one run {listeners}, after two {again}")


def check_settings(args, browser, options, what):
    """The run in the page is on options (the file it was handed, the status
    line, the canvas) and its triangles match the native tool's count."""
    written = browser.evaluate("new TextDecoder().decode(Module.FS.readFile('options.txt'))")
    check(written == options, f"{what}: the program was handed options.txt {written!r}, not {options!r}")
    status = browser.evaluate(STATUS)
    check(status == settings_line(options), f"{what}: the page says {status!r}")
    width, height = options.split()[:2]
    size = browser.evaluate("[Module.canvas.width, Module.canvas.height]")
    check(size == [int(width), int(height)], f"{what}: the canvas is {size}")
    frame = browser.evaluate("({ms: Module._WebElapsedMs(), triangles: Module._WebFrameTriangles()})")
    native = native_triangles(args, options, frame["ms"])
    print(f"{what}: {frame['triangles']} triangles at {frame['ms']} ms, native {native}")
    check(native > 0 and frame["triangles"] == native,
          f"{what}: {frame['triangles']} triangles at {frame['ms']} ms, the native tool {native}")


def set_fields(browser, options):
    width, height, _, balls, grid = options.split()
    values = {"width": width, "height": height, "balls": balls, "grid": grid}
    browser.evaluate(f"Object.entries({json.dumps(values)}).forEach(([id, v]) => document.getElementById(id).value = v)")


def case_page_link_settings(args):
    """A link's settings (the missing one from options.txt), then Apply with
    new ones: each run on them, the third value kept as the folder's file
    has it, the address updated for sharing; the statistics on the status
    line; every request to the page's own folder."""
    folder_options = "640 480 7 10 40\n"
    with page_session(args, options=folder_options, query="?width=800&height=600&balls=50") as (site, browser):
        running(browser)
        check_settings(args, browser, "800 600 7 50 40\n", "link")
        applied = "1024 576 7 30 64\n"
        set_fields(browser, applied)
        restarted(browser, lambda: browser.click("#apply"), "Apply did not start the demo again")
        check_settings(args, browser, applied, "Apply")
        search = browser.evaluate("location.search")
        check(search == "?width=1024&height=576&balls=30&grid=64", f"after Apply the address has {search!r}")
        check(browser.evaluate("document.getElementById('link').href") == site.url + search,
              "the link does not carry the settings")
        browser.click("#stats")
        stats = r"1024 x 576, 30 balls, grid 64: \d+ frames per second, \d+\.\d ms per frame in the program, " \
                r"[1-9]\d* triangles per frame"
        browser.wait_for(f"/^{stats}$/.test({STATUS})", "no statistics on the status line")
        check(browser.evaluate("location.search").endswith("&stats"), "the address does not keep stats")
        print(f"status line: {browser.evaluate(STATUS)}")
        requests = browser.requests()
        outside = [url for url in requests if not url.startswith(site.origin)]
        check(not outside, f"the page fetched from outside its folder: {outside}")
        wasm = [url for url in requests if url.endswith("sorvel2.wasm")]
        check(len(wasm) == 1, f"sorvel2.wasm was fetched {len(wasm)} times over two runs")


# Pixels of a frame that lean to one colour channel: the share whose
# channel c is over 40 and more than twice each other channel.
def share(png, channel):
    pixels = [png.at(x, y) for y in range(0, png.height, 2) for x in range(0, png.width, 2)]
    leaning = [p for p in pixels if p[channel] > 40 and all(p[channel] > 2 * v for i, v in enumerate(p) if i != channel)]
    return len(leaning) / len(pixels)


# Drops the file (name, base64 bytes) on a texture's zone, as a file
# dragged from the desktop would arrive.
DROP = """((zone, name, data) => {
    const bytes = Uint8Array.from(atob(data), c => c.charCodeAt(0));
    const transfer = new DataTransfer();
    transfer.items.add(new File([bytes], name, {type: "image/bmp"}));
    for (const type of ["dragover", "drop"])
        zone.dispatchEvent(new DragEvent(type, {dataTransfer: transfer, bubbles: true, cancelable: true}));
})(document.querySelector('.drop[data-name="%s"]'), %s, %s)"""


def texture_label(browser, name):
    return browser.evaluate(f"document.querySelector('.drop[data-name=\"{name}\"] i').textContent")


def case_page_textures(args):
    """A reflection chosen with the picker and a background dropped on the
    page each change the picture toward the new image (and match the native
    frame drawn with the same files); Reset brings the folder's set back."""
    red, green = bmp(64, 64, (220, 30, 30)), bmp(64, 64, (30, 200, 60))
    with page_session(args) as (site, browser):
        running(browser)
        _, before = grab_frame(browser)
        red_before, green_before = share(before, 0), share(before, 1)
        chosen = os.path.join(site.dir, "chosen")
        os.mkdir(chosen)
        with open(os.path.join(chosen, "red.bmp"), "wb") as f:
            f.write(red)
        restarted(browser, lambda: browser.set_files('.drop[data-name="reflect.bmp"] input',
                                                     [os.path.join(chosen, "red.bmp")]),
                  "choosing a reflection did not start the demo again")
        check(texture_label(browser, "reflect.bmp") == "red.bmp", "the reflection's label does not name red.bmp")
        _, reflected = grab_frame(browser)
        drop = DROP % ("background.bmp", json.dumps("green.bmp"), json.dumps(base64.b64encode(green).decode()))
        restarted(browser, lambda: browser.evaluate(drop), "dropping a background did not start the demo again")
        check(texture_label(browser, "background.bmp") == "green.bmp",
              "the background's label does not name green.bmp")
        ms, both = grab_frame(browser)
        shares = [(share(p, 0), share(p, 1)) for p in (before, reflected, both)]
        print("red and green shares: " + ", ".join(f"{what} {r:.3f} {g:.3f}" for what, (r, g) in
                                                   zip(("before", "red reflection", "and green background"), shares)))
        check(shares[1][0] > red_before + 0.05, f"the red reflection did not redden the picture: {shares}")
        check(shares[2][1] > green_before + 0.5 and shares[2][0] > red_before + 0.05,
              f"the green background did not turn the picture green: {shares}")
        for name, data in (("options.txt", SHIPPED.encode()), ("reflect.bmp", red), ("background.bmp", green)):
            with open(os.path.join(chosen, name), "wb") as f:
                f.write(data)
        # Two textures of one colour each: the shading alone makes the colours.
        check_same_frame(both, native_frame(args, chosen, ms, "640x480"), f"chosen textures, frame at {ms} ms", 100)
        restarted(browser, lambda: browser.click("#reset"), "Reset did not start the demo again")
        check(texture_label(browser, "reflect.bmp") == "reflect.bmp from the folder", "Reset left the reflection")
        ms, after = grab_frame(browser)
        check_same_frame(after, native_frame(args, site.dir, ms, "640x480"), f"after Reset, frame at {ms} ms")


# The page's limits and its one-value check, as the page states them beside
# a field: (field, value, the message). The program's own rules stay its
# own: a ball count of -1 or a grid of 0 still reaches it (PANEL_ROWS).
REFUSED = [
    ("balls", "5000000", "at most 50 in this page"),
    ("grid", "$FFF", "at most 96 in this page"),
    ("width", "0x2000", "at most 4096 in this page"),
    ("height", "4097", "at most 4096 in this page"),
    ("balls", "5\x010", "one value: no spaces or control characters"),
    ("grid", "\t40", "one value: no spaces or control characters"),
    ("width", "6 40", "one value: no spaces or control characters"),
    ("height", "4" * 33, "at most 32 characters"),
    ("height", "", "a value is needed"),
]
NOTE = "document.getElementById('%s-note').textContent"
FIELD_IDS = ("width", "height", "balls", "grid")


def notes(browser):
    return {id: browser.evaluate(NOTE % id) for id in FIELD_IDS}


def case_page_link_refused(args):
    """A link whose value the page refuses (beyond its limits, a control
    character, more than one value) starts nothing and writes nothing: the
    field holds the link's value with the message beside it, the status line
    says why; the page's limits are stated under the panel. A value put
    right and applied then starts the demo on it."""
    with page_session(args, query="?balls=5000000") as (site, browser):
        # NOTE: the status line is there only once the page has replaced about:blank.
        browser.wait_for(f"document.getElementById('status') && /^Not started/.test({STATUS})",
                         "a link with 5000000 balls was not refused")
        check(browser.evaluate("window.Module") is None, "a run was started on 5000000 balls")
        found = notes(browser)
        check(found == {"width": "", "height": "", "balls": "at most 50 in this page", "grid": ""},
              f"the notes beside the fields: {found}")
        check(browser.evaluate("document.getElementById('balls').value") == "5000000", "the field lost the link's value")
        limits = browser.evaluate("document.getElementById('limits').textContent")
        check(all(f" {n} " in limits or f" {n}," in limits for n in ("4096", "50", "96")),
              f"the limits are not stated: {limits!r}")
        for query, field, message in [("?width=800&balls=1%010", "balls", "one value: no spaces or control characters"),
                                      ("?grid=4%0A0", "grid", "one value: no spaces or control characters"),
                                      ("?grid=x1000&height=600", "grid", "at most 96 in this page"),
                                      ("?width=1%202", "width", "one value: no spaces or control characters")]:
            browser.evaluate("void (window.earlierPage = true)")
            browser.call("Page.navigate", url=site.url + query)
            browser.wait_for(f"window.earlierPage === undefined && document.getElementById('status') && "
                             f"/^Not started/.test({STATUS})", f"{query} was not refused")
            found = notes(browser)
            check(found == {id: message if id == field else "" for id in FIELD_IDS}, f"{query}: the notes {found}")
            check(browser.evaluate("window.Module") is None, f"{query}: a run was started")
        for field, value in (("width", "640"), ("grid", "32")):
            browser.evaluate(f"document.getElementById('{field}').value = '{value}'")
            browser.evaluate(f"document.getElementById('{field}').dispatchEvent(new Event('input'))")
        restarted(browser, lambda: browser.click("#apply"), "Apply of a good value did not start the demo")
        check_settings(args, browser, "640 480 0 10 32\n", "put right")
        check(notes(browser) == dict.fromkeys(FIELD_IDS, ""), f"notes left after Apply: {notes(browser)}")


def case_page_apply_refused(args):
    """Apply with a refused value in any field (beyond the limits, a control
    character, a space, too long, empty): the message beside that field,
    nothing written, the address kept, and the running demo goes on; two
    refused fields both say so."""
    with page_session(args) as (site, browser):
        running(browser)
        browser.evaluate("void (window.firstRun = window.Module)")
        for field, value, message in REFUSED:
            set_fields(browser, SHIPPED)
            browser.evaluate(f"document.getElementById('{field}').value = {json.dumps(value)}")
            browser.click("#apply")
            found = notes(browser)
            check(found == {id: message if id == field else "" for id in FIELD_IDS},
                  f"{field} {value!r}: the notes {found}")
            check(browser.evaluate("document.activeElement.id") == field, f"{field} {value!r}: the field lacks the focus")
            running(browser, what=f"{field} {value!r}: the demo stopped")
            check(browser.evaluate("window.Module === firstRun && Module.FS.readFile('options.txt').length") ==
                  len(SHIPPED), f"{field} {value!r}: the demo was started again or its options.txt changed")
            check(browser.evaluate("location.search") == "", f"{field} {value!r}: the address changed")
        set_fields(browser, "640 480 0 5000000 40\n")
        browser.evaluate("document.getElementById('width').value = '6\\x0340'")
        browser.click("#apply")
        found = notes(browser)
        check(found["width"] and found["balls"] and not found["height"] and not found["grid"],
              f"two refused fields: the notes {found}")
        check(browser.evaluate("window.Module === firstRun"), "two refused fields: the demo was started again")


def case_page_module_fails(args):
    """A module that cannot start says what failed on the status line instead
    of "Starting...": sorvel2.wasm missing, sorvel2.wasm that does not
    validate (damaged, or a browser without WebAssembly SIMD), a module that
    validates but is not the program's, sorvel2.js missing."""
    for what, change, expected in [
            ("no sorvel2.wasm", lambda d: os.remove(os.path.join(d, "sorvel2.wasm")),
             r"Not started: sorvel2\.wasm could not be loaded\."),
            ("a damaged sorvel2.wasm", lambda d: os.truncate(os.path.join(d, "sorvel2.wasm"), 1000),
             r"Not started: this browser cannot run sorvel2\.wasm \(it needs WebAssembly SIMD.*"),
            ("an empty module", lambda d: open(os.path.join(d, "sorvel2.wasm"), "wb").write(b"\0asm\1\0\0\0"),
             r"The program could not start: .+"),
            ("no sorvel2.js", lambda d: os.remove(os.path.join(d, "sorvel2.js")),
             r"sorvel2\.js could not be loaded\.")]:
        site = Site(args)
        try:
            change(site.dir)
            dom, console = browse(site, 3000, "--dump-dom")
            status = re.search(r'<div id="status"[^>]*>([^<]*)</div>', dom)
            check(status and re.fullmatch(expected, status.group(1)),
                  f"{what}: the status line says {status and status.group(1)!r}; console: {console}")
            print(f"{what}: {status.group(1)}")
        finally:
            site.stop()


def case_page_size(args):
    """The page's files (all but the two BMPs) stay under the limit."""
    names = [*PAGE_FILES, "options.txt"]
    sizes = {name: os.path.getsize(os.path.join(args.page, name)) for name in names
             if os.path.exists(os.path.join(args.page, name))}
    total = sum(sizes.values())
    print(f"page: {total} bytes ({', '.join(f'{n} {s}' for n, s in sizes.items())})")
    check(total < PAGE_LIMIT_BYTES, f"the page is {total} bytes, over {PAGE_LIMIT_BYTES}")


def expect_page_report(args, options, files, code, expected):
    """A start-up failure in the page: its exit code, its first box as the
    dialog, and every report line on the console ("Caption: text")."""
    patterns = [re.escape(caption) + ": " + text for caption, text in expected]
    site = Site(args, options=options, files=files)
    try:
        dom, console = browse(site, 3000, "--dump-dom")
        ended, box = page_state(dom)
        check(ended == code, f"page exit code {ended}, expected {code}; console: {console}")
        check(box is not None and re.fullmatch(patterns[0], box), f"dialog {box!r}, expected {patterns[0]!r}")
        for pattern in patterns:
            check(any(re.fullmatch(pattern, line) for line in console), f"no console line {pattern!r} in {console!r}")
    finally:
        site.stop()


# Failure-table rows the panel can bring about in a running page: settings
# applied from the fields, or a chosen texture (the row's own files).
PANEL_ROWS = {"negative_ball_count": "apply", "grid_size_zero": "apply", "eight_bit_reflect": "choose"}


def expect_panel_report(args, name):
    """A failure brought about from the panel of a running page: the same
    exit code and the same boxes, shown one after the other, each closed
    with OK; then Run again is offered."""
    options, files, code, expected = REPORTS[name]
    how = PANEL_ROWS[name]
    # The page starts on the folder's textures; a chosen row starts on its own settings.
    with page_session(args, options=SHIPPED if how == "apply" else options) as (site, browser):
        running(browser)
        if how == "apply":
            set_fields(browser, options)
            browser.click("#apply")
        for chosen_name, data in (entry for entry in files if not isinstance(entry, str)):
            path = os.path.join(site.dir, "chosen-" + chosen_name)
            with open(path, "wb") as f:
                f.write(data)
            browser.set_files(f'.drop[data-name="{chosen_name}"] input', [path])
        browser.wait_for(f"window.Module !== undefined && {EXIT_CODE} !== undefined", f"{name}: the demo did not end")
        check(browser.evaluate(EXIT_CODE) == str(code), f"{name}: exit code {browser.evaluate(EXIT_CODE)}, "
                                                        f"expected {code}")
        for caption, pattern in expected:
            shown = browser.evaluate("document.getElementById('box').hidden ? null : "
                                     "document.getElementById('box-caption').textContent + ': ' + "
                                     "document.getElementById('box-text').textContent")
            check(shown is not None and re.fullmatch(re.escape(caption) + ": " + pattern, shown),
                  f"{name}: dialog {shown!r}, expected {caption}: {pattern}")
            browser.click("#box-ok")
        check(browser.evaluate("document.getElementById('box').hidden"), f"{name}: a dialog is left after the last")
        check(not browser.evaluate("document.getElementById('again').hidden"), f"{name}: no Run again")


def page_screenshot(args, path, query="?width=800&height=600&balls=20&grid=56&stats", window=(960, 860)):
    """A picture of the page with its panel, on a link's settings, statistics on."""
    with page_session(args, query=query, window=window) as (site, browser):
        running(browser, 30)
        browser.wait_for(f"/frames per second/.test({STATUS})", "no statistics")
        shot = browser.call("Page.captureScreenshot", format="png")
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))


def page_frame_time(args, seconds=10.0):
    """Frames per second and the program's time per frame, the page left
    running in real time (not a test: a measurement)."""
    with page_session(args) as (site, browser):
        running(browser, 30)
        first, start = browser.evaluate(PASSES), time.monotonic()
        time.sleep(seconds)
        frames, took = browser.evaluate(PASSES) - first, time.monotonic() - start
        mean = browser.evaluate("Module._WebMeanPassMs()")
        print(f"{frames / took:.1f} frames per second ({1000.0 * took / frames:.1f} ms a frame), "
              f"{mean:.2f} ms per frame in the program")


PAGE_CASES = {name[len("case_"):]: fn for name, fn in globals().items() if name.startswith("case_page_")}
PAGE_CASES.update({"page_" + name: (lambda args, row=row: expect_page_report(args, *row))
                   for name, row in REPORTS.items()})
PAGE_CASES.update({f"page_{how}_{name}": (lambda args, name=name: expect_panel_report(args, name))
                   for name, how in PANEL_ROWS.items()})
