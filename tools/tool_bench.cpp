// sorvel2-tool bench: how long each stage of a frame takes on this machine.
//
// Set-up: the demo's scene state and grid for the settings. Loop: K frames
// over a moving time, each stage timed on its own. Tear-down: the figures.
#include "grid/parallel.h"
#include "scene/field.h"
#include "scene/state.h"
#include "tool_commands.h"
#include "tool_common.h"

#ifdef SORVEL2_TOOL_RENDER
#include "app/view.h"
#include "platform/offscreen_gl.h"
#include "scene/scene.h"

#include <GL/gl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

const char kBenchHelp[] =
    "usage: sorvel2-tool bench [--frames K] [--grid S] [--balls B] [--threads T] [--size WxH] [--no-gl] [--json]\n"
    "\n"
    "Runs the frame's work K times (default 100, after one frame not counted) with\n"
    "ElapsedMs = 0, 16, 33, 50, ... (60 frames a second) and prints the median and\n"
    "the 95th percentile (nearest rank) of each stage in milliseconds:\n"
    "\n"
    "  field       moving the balls and filling every grid sample (EvaluateField)\n"
    "  polygonise  the grid's own work after the field: classifying the samples,\n"
    "              the crossing points and normals, and walking the cubes into a\n"
    "              sink that only counts the vertices\n"
#ifdef SORVEL2_TOOL_RENDER
    "  gl_submit   the demo's RenderScene in an off-screen context (Mesa's software\n"
    "              renderer) up to glFinish, with the field already filled, less\n"
    "              the same frame's polygonise time: the background sphere, the GL\n"
    "              state, the glNormal3fv/glVertex3fv calls of the surface and the\n"
    "              rasterisation. Needs reflect.bmp and background.bmp in the\n"
    "              working directory (the demo's set-up loads them); left out\n"
    "              (null in JSON) without them, with --no-gl, or with no context.\n"
#endif
    "\n"
    "and the mean number of triangles per frame.\n"
    "\n"
    "  --frames K   frames to time (1 or more)\n"
    "  --grid S     grid resolution instead of options.txt's\n"
    "  --balls B    number of balls instead of options.txt's\n"
    "  --threads T  threads sharing the field and the polygoniser, the caller\n"
    "               included (1 to 8; default: the engine's, as in the demo)\n"
#ifdef SORVEL2_TOOL_RENDER
    "  --size WxH   size of the off-screen image for gl_submit (default 640x480)\n"
    "  --no-gl      do not time the GL submission\n"
#endif
    "  --json       print one JSON object instead of text\n"
    "\n"
    "Settings are read as export reads them (see sorvel2-tool export --help): with\n"
    "both --grid and --balls given, options.txt is not needed.\n";

namespace {

const TFlagRule kOptions[] = {{"frames", true},  {"grid", true},  {"balls", true}, {"threads", true},
                                {"size", true},    {"json", false}, {"no-gl", false}};

// Counts what the polygoniser emits and nothing else.
struct TCountingSink {
    long long* Vertices;
    void operator()(const TEdgeVertex&) const { ++*Vertices; }
};

void NoField(TGrid&) {}

using TClock = std::chrono::steady_clock;

double Milliseconds(TClock::time_point From, TClock::time_point To) {
    return std::chrono::duration<double, std::milli>(To - From).count();
}

struct TStage {
    double Median = 0.0;
    double P95 = 0.0;
};

// Median and 95th percentile (nearest rank) of the samples; sorts them.
TStage Summarise(std::vector<double>& Ms) {
    std::sort(Ms.begin(), Ms.end());
    const std::size_t n = Ms.size();
    TStage s;
    s.Median = n % 2 == 1 ? Ms[n / 2] : (Ms[n / 2 - 1] + Ms[n / 2]) / 2.0;
    s.P95 = Ms[static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(n))) - 1];
    return s;
}

void PrintJsonStage(const char* Name, const TStage& S) {
    std::printf("\"%s\": {\"median_ms\": %.4f, \"p95_ms\": %.4f}, ", Name, S.Median, S.P95);
}

void PrintTextStage(const char* Name, const TStage& S) {
    std::printf("%-12s median %9.4f ms   p95 %9.4f ms\n", Name, S.Median, S.P95);
}

} // namespace

int RunBench(int Argc, char** Argv) {
    TCommandLine line("bench", kOptions);
    if (!line.Parse(Argc, Argv)) return kExitUsage;
    std::int32_t frames = 100, threads = 0, width = 640, height = 480;
    if (!line.Int("frames", 1, 1000000, frames) || !line.Int("threads", 1, kMaxThreads, threads) ||
        !line.Size("size", width, height))
        return kExitUsage;
    TToolSettings settings;
    if (!ResolveSettings(line, settings)) return kExitUsage;
    if (threads != 0) SetThreadCount(threads);

    // Set-up: all arrays sized here, none in the loop. With GL the demo's own
    // set-up makes the balls and the grid; without, the engine alone.
    BallCount = settings.Balls;
    GridSize = settings.Grid;
    TGrid* grid = nullptr;
    std::string noGl = "not built with OpenGL";
#ifdef SORVEL2_TOOL_RENDER
    TOffscreenGL gl;
    if (line.Has("no-gl")) {
        noGl = "--no-gl";
    } else if (access("reflect.bmp", R_OK) != 0 || access("background.bmp", R_OK) != 0) {
        noGl = "no reflect.bmp and background.bmp in the working directory";
    } else if (!gl.Open(width, height)) {
        noGl = std::string("no off-screen OpenGL context: ") + gl.Error();
    } else {
        ResizeView(width, height);
        InitScene();
        grid = Grid;
    }
#endif
    const bool timeGl = grid != nullptr;
    std::unique_ptr<TSceneFrame> engineOnly;
    if (grid == nullptr) {
        engineOnly = std::make_unique<TSceneFrame>(settings.Grid, settings.Balls);
        grid = &engineOnly->Grid();
    }
    grid->FieldProc = NoField;  // the field is timed on its own
    std::vector<double> fieldMs(static_cast<std::size_t>(frames)), polygoniseMs(fieldMs.size()), glMs(fieldMs.size());
    long long vertices = 0;

    // Loop: frame -1 warms the caches (and starts the worker threads) and is
    // not counted.
    for (std::int32_t f = -1; f < frames; ++f) {
        const std::int32_t ms = static_cast<std::int32_t>(static_cast<std::int64_t>(f < 0 ? 0 : f) * 1000 / 60);
        long long emitted = 0;
        const TClock::time_point t0 = TClock::now();
        SetFrameTime(ms);
        EvaluateField(*grid);
        const TClock::time_point t1 = TClock::now();
        grid->Polygonise(TCountingSink{&emitted});
        const TClock::time_point t2 = TClock::now();
        TClock::time_point t3 = t2;
#ifdef SORVEL2_TOOL_RENDER
        if (timeGl) {
            RenderScene();
            glFinish();
            t3 = TClock::now();
        }
#endif
        if (f < 0) continue;
        const auto at = static_cast<std::size_t>(f);
        fieldMs[at] = Milliseconds(t0, t1);
        polygoniseMs[at] = Milliseconds(t1, t2);
        glMs[at] = Milliseconds(t2, t3) - polygoniseMs[at];
        vertices += emitted;
    }

    // Tear-down: the figures.
    const TStage field = Summarise(fieldMs), polygonise = Summarise(polygoniseMs), glSubmit = Summarise(glMs);
    const double triangles = static_cast<double>(vertices) / 3.0 / frames;
    if (line.Has("json")) {
        std::printf("{");
        PrintJsonStage("field", field);
        PrintJsonStage("polygonise", polygonise);
        if (timeGl) {
            PrintJsonStage("gl_submit", glSubmit);
        } else {
            std::printf("\"gl_submit\": null, ");
        }
        std::printf("\"triangles\": %.1f, \"frames\": %d, \"grid\": %d, \"balls\": %d, \"threads\": %d}\n",
                    triangles, frames, settings.Grid, settings.Balls, ThreadCount());
    } else {
        std::printf("frames %d, grid %d, balls %d, threads %d\n", frames, settings.Grid, settings.Balls,
                    ThreadCount());
        PrintTextStage("field", field);
        PrintTextStage("polygonise", polygonise);
        if (timeGl) {
            PrintTextStage("gl_submit", glSubmit);
        } else {
            std::printf("gl_submit    not measured (%s)\n", noGl.c_str());
        }
        std::printf("triangles    %.1f per frame (mean)\n", triangles);
    }
    return 0;
}
