// sorvel2-tool bench: how long each stage of a frame takes on this machine.
//
// Set-up: the demo's scene state and grid for the settings. Loop: K frames
// over a moving time, each stage timed on its own. Tear-down: the figures.
#include "scene/field.h"
#include "tool_commands.h"
#include "tool_common.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

const char kHelp[] =
    "usage: sorvel2-tool bench [--frames K] [--grid S] [--balls B] [--threads T] [--json]\n"
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
    "  gl_submit   handing the triangles to an off-screen OpenGL context as the\n"
    "              demo does (glNormal3fv, glVertex3fv in one GL_TRIANGLES batch),\n"
    "              up to glFinish; left out with --no-gl or when no context opens\n"
#endif
    "\n"
    "and the mean number of triangles per frame.\n"
    "\n"
    "  --frames K   frames to time (1 or more)\n"
    "  --grid S     grid resolution instead of options.txt's\n"
    "  --balls B    number of balls instead of options.txt's\n"
    "  --threads T  worker threads; only 1 for now\n"
#ifdef SORVEL2_TOOL_RENDER
    "  --no-gl      do not time the GL submission\n"
#endif
    "  --json       print one JSON object instead of text\n"
    "\n"
    "Settings are read as export reads them (see sorvel2-tool export --help): with\n"
    "both --grid and --balls given, options.txt is not needed.\n";

const TOptionSpec kOptions[] = {{"frames", true}, {"grid", true},  {"balls", true},
                                {"threads", true}, {"json", false}, {"no-gl", false}};

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

} // namespace

int RunBench(int Argc, char** Argv) {
    if (WantsHelp(Argc, Argv)) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    TCommandLine line("bench", kOptions);
    if (!line.Parse(Argc, Argv)) return kExitUsage;
    std::int32_t frames = 100, threads = 1;
    if (!line.Int("frames", 1, 1000000, frames)) return kExitUsage;
    if (!line.Int("threads", 1, 1024, threads)) return kExitUsage;
    if (threads != 1) return line.Fail("--threads: the grid has no worker threads yet, only 1 is possible"), kExitUsage;
    TToolSettings settings;
    if (!ResolveSettings(line, settings)) return kExitUsage;

    // Set-up: all arrays sized here, none in the loop.
    TSceneFrame frame(settings.Grid, settings.Balls);
    TGrid& grid = frame.Grid();
    grid.FieldProc = NoField;  // the field is timed on its own
    std::vector<double> fieldMs(static_cast<std::size_t>(frames)), polygoniseMs(fieldMs.size());
    long long vertices = 0;

    // Loop: frame -1 warms the caches and is not counted.
    for (std::int32_t f = -1; f < frames; ++f) {
        const std::int32_t ms = static_cast<std::int32_t>(static_cast<std::int64_t>(f < 0 ? 0 : f) * 1000 / 60);
        long long emitted = 0;
        const TClock::time_point t0 = TClock::now();
        frame.SetTime(ms);
        EvaluateField(grid);
        const TClock::time_point t1 = TClock::now();
        grid.Polygonise(TCountingSink{&emitted});
        const TClock::time_point t2 = TClock::now();
        if (f < 0) continue;
        fieldMs[static_cast<std::size_t>(f)] = Milliseconds(t0, t1);
        polygoniseMs[static_cast<std::size_t>(f)] = Milliseconds(t1, t2);
        vertices += emitted;
    }

    // Tear-down: the figures.
    const TStage field = Summarise(fieldMs), polygonise = Summarise(polygoniseMs);
    const double triangles = static_cast<double>(vertices) / 3.0 / frames;
    if (line.Has("json")) {
        std::printf("{\"field\": {\"median_ms\": %.4f, \"p95_ms\": %.4f}, "
                    "\"polygonise\": {\"median_ms\": %.4f, \"p95_ms\": %.4f}, \"gl_submit\": null, "
                    "\"triangles\": %.1f, \"frames\": %d, \"grid\": %d, \"balls\": %d, \"threads\": %d}\n",
                    field.Median, field.P95, polygonise.Median, polygonise.P95, triangles, frames, settings.Grid,
                    settings.Balls, threads);
    } else {
        std::printf("frames %d, grid %d, balls %d, threads %d\n", frames, settings.Grid, settings.Balls, threads);
        std::printf("field        median %9.4f ms   p95 %9.4f ms\n", field.Median, field.P95);
        std::printf("polygonise   median %9.4f ms   p95 %9.4f ms\n", polygonise.Median, polygonise.P95);
        std::printf("gl_submit    not measured\n");
        std::printf("triangles    %.1f per frame (mean)\n", triangles);
    }
    return 0;
}
