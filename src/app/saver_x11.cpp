// sorvel2-saver: the demo's metaballs as an XScreenSaver hack (installed as
// /usr/libexec/xscreensaver/sorvel2). The host owns the window, the input
// and the end: the daemon hands it a window ($XSCREENSAVER_WINDOW with
// --root), the settings' preview one by id (--window-id), and ends it with
// SIGTERM. It draws the demo's own frame (InitScene, RenderScene) at the
// window's size, following its resizes, with the textures carried inside
// the binary; it never changes the display mode and never grabs input.
//
// Set-up: command line, window and context, view, scene. Loop: events, the
// end flag, one frame at the time elapsed since the set-up, the pause.
// Tear-down: the context (and the own window), exit 0.
#include "app/saver_settings.h"
#include "app/saver_textures.h"
#include "app/view.h"
#include "platform/x11_saver.h"
#include "runtime/runtime.h"
#include "scene/scene.h"
#include "scene/state.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kExitUsage = 64;  // a bad command line, as sorvel2-tool has it
constexpr int kExitFailed = 1;  // no display, window or GL context
constexpr std::int32_t kMaxDelay = 10000000;  // --delay: 10 s between frames at most
// A swap interval that leaves swaps faster than this (a virtual X server,
// a software renderer: no refresh to wait for) counts as none; no display
// refreshes this often.
constexpr double kFastestRefresh = 250.0;

const char kHelp[] =
    "usage: sorvel2-saver [--root | --window-id ID | --window] [--balls N] [--grid N]\n"
    "                     [--delay MICROSECONDS] [--fps]\n"
    "\n"
    "The sorvel2 metaballs as an XScreenSaver hack (installed as\n"
    "/usr/libexec/xscreensaver/sorvel2). Options take one dash or two.\n"
    "\n"
    "  --root          draw on the window named by $XSCREENSAVER_WINDOW, else on\n"
    "                  the root window (what the daemon runs)\n"
    "  --window-id ID  draw into window ID, decimal or 0x hex (the settings' preview)\n"
    "  --window        draw in a 640 x 480 window of its own (the default)\n"
    "  --balls N       number of balls, 1 to 100 (default 10)\n"
    "  --grid N        grid cells along each side, 4 to 128 (default 40)\n"
    "  --delay N       microseconds to wait after each frame, 0 to 10000000; without it\n"
    "                  frames follow the display's refresh, at most about 60 a second\n"
    "  --fps           write the frames per second to stderr once a second\n"
    "  --help          this text\n"
    "\n"
    "It ends with 0 on SIGTERM or SIGINT, when its window is destroyed or its own\n"
    "window is closed; 64 for a bad option or value, 1 when there is no display,\n"
    "window or OpenGL context.\n";

struct TSaverArgs {
    TSaverTarget Target = TSaverTarget::OwnWindow;
    std::uint32_t WindowId = 0;
    TSaverSettings Settings = DefaultSaverSettings();
    std::int32_t Delay = -1;  // microseconds; -1: follow the display, capped
    bool Fps = false;
};

// One option of the command line: its name, whether a value follows, and
// what it is written into (targets: Target is set; values: parsed by Read).
struct TSaverOption {
    const char* Name;
    bool TakesValue;
};
const TSaverOption kOptions[] = {{"root", false},  {"window", false}, {"window-id", true}, {"balls", true},
                                 {"grid", true},   {"delay", true},   {"fps", false},      {"help", false}};

bool Usage(const char* Reason, const char* What) {
    std::fprintf(stderr, "sorvel2-saver: %s '%s' (see sorvel2-saver --help)\n", Reason, What);
    return false;
}

// Fills Args from the command line. False after the one-line message on
// stderr; Help is set for --help.
bool ParseArgs(int Argc, char** Argv, TSaverArgs& Args, bool& Help) {
    int targets = 0;
    for (int i = 1; i < Argc; ++i) {
        const char* word = Argv[i];
        if (word[0] != '-' || word[1] == '\0') return Usage("unexpected argument", word);
        const char* name = word + (word[1] == '-' ? 2 : 1);
        const TSaverOption* option = nullptr;
        for (const TSaverOption& o : kOptions)
            if (std::strcmp(o.Name, name) == 0) option = &o;
        if (option == nullptr) return Usage("unknown option", word);
        const char* value = nullptr;
        if (option->TakesValue) {
            if (i + 1 >= Argc) return Usage("a value is missing after", word);
            value = Argv[++i];
        }
        const char* n = option->Name;
        if (std::strcmp(n, "help") == 0) {
            Help = true;
            return true;
        } else if (std::strcmp(n, "root") == 0) {
            Args.Target = TSaverTarget::Root;
            ++targets;
        } else if (std::strcmp(n, "window") == 0) {
            Args.Target = TSaverTarget::OwnWindow;
            ++targets;
        } else if (std::strcmp(n, "window-id") == 0) {
            if (!ParseWindowId(value, Args.WindowId)) return Usage("--window-id wants a window id, not", value);
            Args.Target = TSaverTarget::WindowId;
            ++targets;
        } else if (std::strcmp(n, "balls") == 0) {
            if (!ParseSaverValue(value, kSaverMinBalls, kSaverMaxBalls, Args.Settings.Balls))
                return Usage("--balls wants a whole number from 1 to 100, not", value);
        } else if (std::strcmp(n, "grid") == 0) {
            if (!ParseSaverValue(value, kSaverMinGrid, kSaverMaxGrid, Args.Settings.Grid))
                return Usage("--grid wants a whole number from 4 to 128, not", value);
        } else if (std::strcmp(n, "delay") == 0) {
            if (!ParseSaverValue(value, 0, kMaxDelay, Args.Delay))
                return Usage("--delay wants microseconds from 0 to 10000000, not", value);
        } else if (std::strcmp(n, "fps") == 0) {
            Args.Fps = true;
        }
        if (targets > 1) return Usage("only one of --root, --window-id and --window, not also", word);
    }
    return true;
}

} // namespace

int main(int Argc, char** Argv) {
    static_assert(kSaverMinBalls == 1 && kSaverMaxBalls == 100 && kSaverMinGrid == 4 && kSaverMaxGrid == 128,
                  "the help and the messages name these limits");
    TSaverArgs args;
    bool help = false;
    if (!ParseArgs(Argc, Argv, args, help)) return kExitUsage;
    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }

    // Set-up: window and context, then the demo's view and scene on them.
    InitRuntime();
    WatchEndSignals();
    TX11SaverWindow window;
    if (!window.Open(args.Target, args.WindowId)) {
        std::fprintf(stderr, "sorvel2-saver: %s\n", window.Error());
        return kExitFailed;
    }
    // Pace: --delay, or the display's refresh with the cap near 60 frames a
    // second when the interval cannot be had or does not slow the swaps.
    const bool interval = args.Delay < 0 && window.SetSwapInterval(1);
    if (args.Delay >= 0) window.SetSwapInterval(0);
    bool capped = args.Delay < 0 && !interval;
    BallCount = args.Settings.Balls;
    GridSize = args.Settings.Grid;
    SceneTextureBytes = &kSaverTextureBytes;
    ResizeView(window.Width(), window.Height());
    InitScene();

    // Loop.
    const std::int64_t start = MonotonicMicroseconds();
    std::int64_t countedSince = start;
    std::int64_t counted = 0;
    bool first = true;
    for (;;) {
        const TSaverEvents events = window.Poll();
        if (events.Ended || EndRequested()) break;
        if (events.Resized) ResizeView(window.Width(), window.Height());
        const std::int64_t frameStart = MonotonicMicroseconds();
        ElapsedMs = static_cast<std::int32_t>(static_cast<std::uint32_t>((frameStart - start) / 1000));
        RenderScene();
        window.Present();
        if (first) {
            UnblockEndSignals();
            first = false;
        }
        ++counted;
        const std::int64_t done = MonotonicMicroseconds();
        if (done - countedSince >= 1000000) {
            const double rate = static_cast<double>(counted) * 1e6 / static_cast<double>(done - countedSince);
            if (args.Fps) std::fprintf(stderr, "sorvel2-saver: %.1f fps\n", rate);
            if (interval && !capped && rate > kFastestRefresh) capped = true;
            countedSince = done;
            counted = 0;
        }
        if (args.Delay >= 0)
            PauseUntil(done + args.Delay);
        else if (capped)
            PauseUntil(frameStart + kSaverFrameMicroseconds);
    }

    // Tear-down.
    window.Close();
    return 0;
}
