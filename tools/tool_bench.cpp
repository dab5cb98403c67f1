// sorvel2-tool bench: how long each stage of a frame takes on this machine.
//
// Set-up: the demo's scene state and grid for the settings. Loop: K frames
// over a moving time, each stage timed on its own. Tear-down: the figures.
#include "grid/parallel.h"
#include "grid/simd.h"
#include "scene/field.h"
#include "scene/state.h"
#include "tool_commands.h"
#include "tool_common.h"

#ifdef SORVEL2_TOOL_RENDER
#include "app/view.h"
#include "platform/offscreen_gl.h"
#include "scene/scene.h"

#include <GL/gl.h>
#include <sys/resource.h>
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
    "usage: sorvel2-tool bench [--frames K] [--grid S] [--balls B] [--field F] [--threads T]\n"
    "                          [--size WxH] [--submit immediate|arrays|immediate,arrays] [--no-gl]\n"
    "                          [--json]\n"
    "\n"
    "Runs the frame's work K times (default 100, after one frame not counted) with\n"
    "ElapsedMs = 0, 16, 33, 50, ... (60 frames a second) and prints the median and\n"
    "the 95th percentile (nearest rank) of each stage in milliseconds:\n"
    "\n"
    "  field       moving the balls and getting the samples the grid needs: every\n"
    "              sample (dense), or the blocks bounded, the samples the triangles\n"
    "              depend on and the classification (sparse)\n"
    "  polygonise  the grid's own work after that: classifying the samples (dense),\n"
    "              the crossing points and normals, and walking the cubes into a\n"
    "              sink that only counts the vertices\n"
#ifdef SORVEL2_TOOL_RENDER
    "  gl_submit   the demo's RenderScene in an off-screen context (Mesa's software\n"
    "              renderer) up to glFinish, with the field already filled, less\n"
    "              the same frame's polygonise time: the background sphere, the GL\n"
    "              state, the submission of the surface and the rasterisation\n"
    "  frame       the demo's whole frame: RenderScene up to glFinish, the field\n"
    "              and the polygoniser included, and the frames per second that\n"
    "              gives (no buffer swap, no display)\n"
#endif
    "\n"
    "and the mean number of triangles per frame, the share of the samples whose\n"
    "exact value was computed and of the cubes walked (both 100 % when dense), and\n"
    "the instruction level the field's and the polygoniser's kernels use"
#ifdef SORVEL2_TOOL_RENDER
    "; with GL, also the minor page faults\n"
    "of the process per timed frame (all its passes), which stay near zero once\n"
    "the renderer's memory is kept from frame to frame.\n"
    "\n"
    "gl_submit and frame need reflect.bmp and background.bmp in the working\n"
    "directory (the demo's set-up loads them); they are left out (null in JSON)\n"
    "without them, with --no-gl, or with no context. With two ways of submitting\n"
    "the surface, each frame is drawn with both, alternating which goes first,\n"
    "and their rows are named gl_submit/immediate, frame/arrays and so on.\n"
#else
    ".\n"
#endif
    "\n"
    "  --frames K   frames to time (1 or more)\n"
    "  --grid S     grid resolution instead of options.txt's\n"
    "  --balls B    number of balls instead of options.txt's\n"
    "  --field F    sparse (default, as the demo) or dense: how the grid gets its\n"
    "               samples (see sorvel2-tool export --help)\n"
    "  --threads T  threads sharing the field and the polygoniser, the caller\n"
    "               included (1 to 8; default: the engine's, as in the demo)\n"
#ifdef SORVEL2_TOOL_RENDER
    "  --size WxH   size of the off-screen image (default 640x480)\n"
    "  --submit M   how the surface goes to OpenGL: immediate (glNormal3fv and\n"
    "               glVertex3fv per vertex), arrays (a vertex batch drawn with\n"
    "               glDrawArrays) or both, comma-separated, timed side by side\n"
    "               (default: what the demo uses, arrays)\n"
    "  --no-gl      do not time the GL submission\n"
#endif
    "  --json       print one JSON object instead of text\n"
    "\n"
    "Settings are read as export reads them (see sorvel2-tool export --help): with\n"
    "both --grid and --balls given, options.txt is not needed.\n";

namespace {

const TFlagRule kOptions[] = {{"frames", true}, {"grid", true},   {"balls", true}, {"field", true}, {"threads", true},
                              {"size", true},   {"submit", true}, {"json", false}, {"no-gl", false}};

// Counts what the polygoniser emits and nothing else.
struct TCountingSink {
    long long* Vertices;
    void operator()(const TEdgeVertex&) const { ++*Vertices; }
};

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

void PrintJsonStage(const std::string& Name, const TStage& S) {
    std::printf("\"%s\": {\"median_ms\": %.4f, \"p95_ms\": %.4f}, ", Name.c_str(), S.Median, S.P95);
}

void PrintJsonFrame(const std::string& Name, const TStage& S) {
    std::printf("\"%s\": {\"median_ms\": %.4f, \"p95_ms\": %.4f, \"fps\": %.2f}, ", Name.c_str(), S.Median, S.P95,
                1000.0 / S.Median);
}

void PrintTextStage(const std::string& Name, const TStage& S) {
    std::printf("%-19s median %9.4f ms   p95 %9.4f ms\n", Name.c_str(), S.Median, S.P95);
}

void PrintTextFrame(const std::string& Name, const TStage& S) {
    std::printf("%-19s median %9.4f ms   p95 %9.4f ms   %.1f frames/s\n", Name.c_str(), S.Median, S.P95,
                1000.0 / S.Median);
}

// One way of submitting the surface and its samples.
struct TSubmitTimes {
    const char* Name;
#ifdef SORVEL2_TOOL_RENDER
    TSurfaceSubmit Submit;
#endif
    std::vector<double> GlMs;
    std::vector<double> FrameMs;
};

#ifdef SORVEL2_TOOL_RENDER
// The --submit value: "immediate", "arrays", or both, comma-separated, each
// once; the demo's own way when absent.
bool ParseSubmit(const TCommandLine& Line, std::vector<TSubmitTimes>& Out) {
    struct TName {
        const char* Name;
        TSurfaceSubmit Submit;
    };
    static const TName kNames[] = {{"immediate", TSurfaceSubmit::Immediate}, {"arrays", TSurfaceSubmit::Arrays}};
    const char* text = Line.Value("submit");
    if (text == nullptr) {
        for (const TName& n : kNames)
            if (n.Submit == SurfaceSubmit) Out.push_back({n.Name, n.Submit, {}, {}});
        return true;
    }
    const std::string value = text;
    for (std::size_t at = 0; at <= value.size();) {
        const std::size_t comma = std::min(value.find(',', at), value.size());
        const std::string word = value.substr(at, comma - at);
        const TName* found = nullptr;
        for (const TName& n : kNames)
            if (word == n.Name) found = &n;
        bool repeated = false;
        for (const TSubmitTimes& t : Out) repeated = repeated || word == t.Name;
        if (found == nullptr || repeated)
            return Line.Fail("--submit wants immediate, arrays or immediate,arrays, not '" + value + "'");
        Out.push_back({found->Name, found->Submit, {}, {}});
        at = comma + 1;
    }
    return true;
}
#endif

} // namespace

int RunBench(int Argc, char** Argv) {
    TCommandLine line("bench", kOptions);
    if (!line.Parse(Argc, Argv)) return kExitUsage;
    std::int32_t frames = 100, threads = 0, width = 640, height = 480;
    if (!line.Int("frames", 1, 1000000, frames) || !line.Int("threads", 1, kMaxThreads, threads) ||
        !line.Size("size", width, height))
        return kExitUsage;
    std::vector<TSubmitTimes> submits;
#ifdef SORVEL2_TOOL_RENDER
    if (!ParseSubmit(line, submits)) return kExitUsage;
#else
    if (line.Has("submit")) return line.Fail("--submit needs a build with OpenGL"), kExitUsage;
#endif
    TFieldRoute route;
    if (!ResolveFieldRoute(line, route)) return kExitUsage;
    TToolSettings settings;
    if (!ResolveSettings(line, settings)) return kExitUsage;
    if (threads != 0) SetThreadCount(threads);

    // Set-up: all arrays sized here, none in the loop. With GL the demo's own
    // set-up makes the balls, the grid and the vertex batch; without, the
    // engine alone.
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
    grid->Route = route;
    std::vector<double> fieldMs(static_cast<std::size_t>(frames)), polygoniseMs(fieldMs.size());
    for (TSubmitTimes& t : submits) {
        t.GlMs.resize(fieldMs.size());
        t.FrameMs.resize(fieldMs.size());
    }
    long long vertices = 0;
    long long faults = 0;  // minor page faults of the timed frames, GL passes included
    double evaluated = 0.0, walked = 0.0;  // shares of the samples and cubes, summed over the frames
    int sparseFrames = 0;
    const double samples = static_cast<double>(grid->Values.Count());
    const double cubes = std::max(1.0, static_cast<double>(grid->SizeX - 1) * (grid->SizeY - 1) * (grid->SizeZ - 1));

    // Loop: frame -1 warms the caches (and starts the worker threads) and is
    // not counted.
    for (std::int32_t f = -1; f < frames; ++f) {
        const std::int32_t ms = static_cast<std::int32_t>(static_cast<std::int64_t>(f < 0 ? 0 : f) * 1000 / 60);
        const auto at = static_cast<std::size_t>(f < 0 ? 0 : f);
        long long emitted = 0;
#ifdef SORVEL2_TOOL_RENDER
        rusage usage{};
        if (f == 0 && getrusage(RUSAGE_SELF, &usage) == 0) faults = -usage.ru_minflt;
#endif
        const TClock::time_point t0 = TClock::now();
        SetFrameTime(ms);
        grid->FillSamples();
        const TClock::time_point t1 = TClock::now();
        grid->PolygoniseSamples(TCountingSink{&emitted});
        const TClock::time_point t2 = TClock::now();
        fieldMs[at] = Milliseconds(t0, t1);
        polygoniseMs[at] = Milliseconds(t1, t2);
        const TSurfaceStats& stats = grid->LastStats();
        if (f >= 0) {
            evaluated += static_cast<double>(stats.SamplesEvaluated) / samples;
            walked += static_cast<double>(stats.CubesWalked) / cubes;
            sparseFrames += stats.Sparse ? 1 : 0;
        }
#ifdef SORVEL2_TOOL_RENDER
        // Each way of submitting draws this frame twice: with the field as
        // it is (gl_submit) and as the demo does it (frame). Which way goes
        // first alternates, so neither always finds the caches the other left.
        for (std::size_t k = 0; timeGl && k < submits.size(); ++k) {
            TSubmitTimes& t = submits[(k + at) % submits.size()];
            SurfaceSubmit = t.Submit;
            const TClock::time_point g0 = TClock::now();
            grid->ReuseSamples = true;
            RenderScene();
            glFinish();
            const TClock::time_point g1 = TClock::now();
            grid->ReuseSamples = false;
            RenderScene();
            glFinish();
            const TClock::time_point g2 = TClock::now();
            t.GlMs[at] = Milliseconds(g0, g1) - polygoniseMs[at];
            t.FrameMs[at] = Milliseconds(g1, g2);
        }
#endif
        if (f >= 0) vertices += emitted;
    }
#ifdef SORVEL2_TOOL_RENDER
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) == 0) faults += usage.ru_minflt;
#endif
    const double faultsPerFrame = static_cast<double>(faults) / frames;

    // Tear-down: the figures.
    const TStage field = Summarise(fieldMs), polygonise = Summarise(polygoniseMs);
    const double triangles = static_cast<double>(vertices) / 3.0 / frames;
    const char* routeName = route == TFieldRoute::Dense ? "dense" : "sparse";
    const char* fieldLevel = SimdLevelName(KernelLevel(kFieldKernels));
    const char* surfaceLevel = SimdLevelName(KernelLevel(kSurfaceKernels));
    std::string submitNames;
    // Appended in place: a temporary made by prepending ("," + name) sets off g++ 12's -Wrestrict at -O3.
    for (const TSubmitTimes& t : submits) submitNames.append(submitNames.empty() ? "" : ",").append(t.Name);
    // One way keeps the plain row names; two are told apart by a suffix.
    auto rowName = [&](const char* Row, const TSubmitTimes& T) {
        return submits.size() == 1 ? std::string(Row) : std::string(Row) + "/" + T.Name;
    };
    if (line.Has("json")) {
        std::printf("{");
        PrintJsonStage("field", field);
        PrintJsonStage("polygonise", polygonise);
        if (timeGl) {
            for (TSubmitTimes& t : submits) {
                PrintJsonStage(rowName("gl_submit", t), Summarise(t.GlMs));
                PrintJsonFrame(rowName("frame", t), Summarise(t.FrameMs));
            }
            std::printf("\"submit\": \"%s\", \"minor_faults_per_frame\": %.1f, ", submitNames.c_str(), faultsPerFrame);
        } else {
            std::printf("\"gl_submit\": null, \"frame\": null, \"minor_faults_per_frame\": null, ");
        }
        std::printf("\"triangles\": %.1f, \"samples_evaluated\": %.4f, \"cubes_walked\": %.4f, \"sparse_frames\": %d, "
                    "\"field_level\": \"%s\", \"polygonise_level\": \"%s\", \"route\": \"%s\", ",
                    triangles, evaluated / frames, walked / frames, sparseFrames, fieldLevel, surfaceLevel, routeName);
        std::printf("\"frames\": %d, \"grid\": %d, \"balls\": %d, \"threads\": %d}\n", frames, settings.Grid,
                    settings.Balls, ThreadCount());
    } else {
        std::printf("frames %d, grid %d, balls %d, threads %d, field %s", frames, settings.Grid, settings.Balls,
                    ThreadCount(), routeName);
        if (timeGl) std::printf(", %dx%d, submit %s", width, height, submitNames.c_str());
        std::printf("\n");
        PrintTextStage("field", field);
        PrintTextStage("polygonise", polygonise);
        if (timeGl) {
            for (TSubmitTimes& t : submits) {
                PrintTextStage(rowName("gl_submit", t), Summarise(t.GlMs));
                PrintTextFrame(rowName("frame", t), Summarise(t.FrameMs));
            }
            std::printf("page faults         %.1f minor per frame (mean, all of its GL passes)\n", faultsPerFrame);
        } else {
            std::printf("gl_submit           not measured (%s)\n", noGl.c_str());
            std::printf("frame               not measured (%s)\n", noGl.c_str());
        }
        std::printf("triangles           %.1f per frame (mean)\n", triangles);
        std::printf("samples evaluated   %.2f %% of %.0f (mean; %d of %d frames sparse)\n", 100.0 * evaluated / frames,
                    samples, sparseFrames, frames);
        std::printf("cubes walked        %.2f %% of %.0f (mean)\n", 100.0 * walked / frames, cubes);
        std::printf("levels              field %s, polygonise %s\n", fieldLevel, surfaceLevel);
    }
    return 0;
}
