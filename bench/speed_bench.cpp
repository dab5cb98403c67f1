// sorvel2_speed_bench: the per-frame work of the demo, timed.
//
// Three jobs, each at GridSize 32/64/128/200, BallCount 10/50, SceneTime
// 20/200:
//   Field    MoveBalls + the field on every sample;
//   Surface  classification, edge points and emission of a field already
//            in the grid (the polygoniser without its field call);
//   Frame    MoveBalls + Polygonise (field included), what one frame costs.
// Each job runs on the reference code ("ref") and on every fast path this
// machine can run (level/threads), so every figure has its ratio to the
// reference measured in the same run. Triangles go to a recording sink
// sized once. Counters: triangles per frame and grid bytes per sample.
//
// The Route jobs put the grid's two ways of getting its samples side by
// side, on the levels the program picks (ChooseKernelLevels), at GridSize
// 64/128/200/256, BallCount 10/50, 1 and 2 threads:
//   RouteField       MoveBalls + FillSamples (dense: every sample; sparse:
//                    the blocks bounded, the exact set, the classification);
//   RoutePolygonise  the rest of Polygonise (PolygoniseSamples);
//   RouteFrame       MoveBalls + Polygonise.
// Triangles go to a sink that only counts them. Counters: triangles, the
// shares of samples evaluated and cubes walked, the exact set's share (the
// samples the triangles depend on: tools/route_table.py sets the field's
// time against it), the polygoniser's time per triangle, grid bytes per
// sample (the block field's tables included), and on the sparse RouteFrame
// rows the serial time (TSurfaceStats::SerialNs, ms a frame: the work only
// the calling thread can do; tools/route_table.py sets it against the
// one-thread frame).
//
//   sorvel2_speed_bench --benchmark_filter='Frame/.*/128/10/20$'
//   sorvel2_speed_bench --benchmark_filter='Route.*/grid:128/balls:50/'
//
// --surface_level=NAME (a SimdLevelName) runs the Route rows' polygoniser at
// that level instead of the one the start-up timing picks, so that runs
// under callgrind, where timings mean little, compare levels as chosen;
// --field_level=NAME likewise the field, so that two builds whose probes
// may choose differently compare the same kernels.
// --route_sink=copy has the Route rows' sink copy every vertex (as one
// that draws reads them) instead of only counting.
// --record_runs_from=N has the sparse rows' workers record the emission
// runs from N threads on (TGrid::RecordRunsFrom) rather than the program's
// count, so that two threads show what the calling thread's part is with
// the runs, as it is with many.
// --lockstep=ROW runs one RouteFrame row's frames on request, for
// tools/ab_frames.py (see LockstepWith).
// SurfaceProbe/LEVEL times one call of the polygoniser's start-up probe
// (ProbeSurfaceKernels), which runs over a stretch of some 4 ms per level
// at start-up (FastestLevel);
// FieldProbe/LEVEL the field's (ProbeFieldKernels) likewise.
#include "grid/grid.h"
#include "grid/parallel.h"
#include "grid/reference.h"
#include "grid/simd.h"
#include "grid/surface_kernels.h"
#include "scene/field.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// A sink that keeps every vertex in storage reserved up front.
struct TBenchSink {
    std::vector<TEdgeVertex> Vertices;
    void operator()(const TEdgeVertex& v) { Vertices.push_back(v); }
};

// A sink that only counts (the Route rows: the engine's own work, without
// the cost of storing what it emits).
struct TCountSink {
    long long Vertices = 0;
    void operator()(const TEdgeVertex&) { ++Vertices; }
};

// With --route_sink=copy, the Route rows' sink copies every vertex, as a
// sink that draws does, into a ring that stays in the nearest cache: what
// reading the edge points costs where they lie.
struct TCopySink {
    long long Vertices = 0;
    TEdgeVertex Ring[256];
    void operator()(const TEdgeVertex& v) { Ring[Vertices++ & 255] = v; }
};
bool gCopySink = false;

// The field function of the benchmark's grids: the scene's field with the
// benchmark's balls and time, through the fast or the reference path.
struct TBenchScene {
    std::vector<TBall> Balls;
    float T = 20.0f;
    bool Reference = false;
};
TBenchScene gScene;

void BenchField(TGrid& Grid) {
    const auto count = static_cast<std::int32_t>(gScene.Balls.size());
    if (gScene.Reference) {
        ReferenceEvaluateBallField(Grid, gScene.T, gScene.Balls.data(), count);
    } else {
        EvaluateBallField(Grid, gScene.T, gScene.Balls.data(), count);
    }
}

void NoField(TGrid&) {}

// The Route rows' balls and time, read by both routes.
TBallScene BenchBalls() { return {gScene.T, gScene.Balls.data(), static_cast<std::int32_t>(gScene.Balls.size())}; }

// The share of the samples the triangles depend on (grid/sparse_surface.cpp):
// B, the classified samples with a face neighbour of the other class, and
// B moved one step along x, y and z. From Inside, which either route leaves
// complete.
double ExactShare(const TGrid& g) {
    const std::int64_t sx = g.SizeX, sy = g.SizeY, sz = g.SizeZ, vx = sx + 1, vy = sy + 1;
    std::vector<std::uint8_t> exact(static_cast<std::size_t>(g.Values.Count()), 0);
    auto flag = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return g.Inside[static_cast<std::size_t>(i + sx * (j + sy * k))]; };
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t j = 0; j < sy; ++j)
            for (std::int64_t i = 0; i < sx; ++i) {
                const std::uint8_t f = flag(i, j, k);
                const bool b = (i > 0 && flag(i - 1, j, k) != f) || (i + 1 < sx && flag(i + 1, j, k) != f) ||
                               (j > 0 && flag(i, j - 1, k) != f) || (j + 1 < sy && flag(i, j + 1, k) != f) ||
                               (k > 0 && flag(i, j, k - 1) != f) || (k + 1 < sz && flag(i, j, k + 1) != f);
                if (!b) continue;
                const std::int64_t at = i + vx * (j + vy * k);
                for (std::int64_t step : {std::int64_t(0), std::int64_t(1), vx, vx * vy}) exact[static_cast<std::size_t>(at + step)] = 1;
            }
    std::int64_t n = 0;
    for (std::uint8_t e : exact) n += e;
    return static_cast<double>(n) / static_cast<double>(g.Values.Count());
}

double GridBytes(const TGrid& g) {
    return 4.0 * g.Values.Count() + g.Inside.Count() + double(sizeof(TCubeEdges)) * g.Cubes.Count() +
           double(sizeof(TEdgeVertex)) * (g.EdgesX.Count() + g.EdgesY.Count() + g.EdgesZ.Count()) +
           static_cast<double>(g.ScratchBytes());
}

enum TJob { kField, kSurface, kFrame };

// Arguments: path (-1 = reference, else a TSimdLevel), threads, grid size,
// ball count, scene time.
void Run(benchmark::State& state, TJob job) {
    const int path = static_cast<int>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const int n = static_cast<int>(state.range(2));
    const int balls = static_cast<int>(state.range(3));
    const float T = static_cast<float>(state.range(4));
    if (path > SupportedSimdLevel()) {
        state.SkipWithError("level not supported here");
        return;
    }
    const bool reference = path < 0;
    if (!reference) SetSimdLevel(static_cast<TSimdLevel>(path));
    SetThreadCount(threads);

    gScene.Balls.assign(static_cast<std::size_t>(balls), TBall{});
    gScene.T = T;
    gScene.Reference = reference;
    auto grid = std::make_unique<TGrid>(n, n, n, 2.0f / static_cast<float>(n), 0.0f, 0.0f, 0.0f,
                                        job == kSurface ? NoField : BenchField);
    TBenchSink sink;
    sink.Vertices.reserve(std::size_t(1) << 22);
    MoveBalls(gScene.Balls.data(), balls, T);
    if (job == kSurface) BenchField(*grid);

    for (auto _ : state) {
        sink.Vertices.clear();
        if (job != kSurface) MoveBalls(gScene.Balls.data(), balls, T);
        if (job == kField) {
            BenchField(*grid);
        } else if (reference) {
            ReferencePolygonise(*grid, sink);
        } else {
            grid->Polygonise(sink);
        }
        benchmark::DoNotOptimize(sink.Vertices.data());
        benchmark::ClobberMemory();
    }
    state.counters["triangles"] = static_cast<double>(sink.Vertices.size() / 3);
    state.counters["bytes/sample"] = GridBytes(*grid) / static_cast<double>(grid->Values.Count());
    state.SetLabel(reference ? "ref" : std::string(SimdLevelName(static_cast<TSimdLevel>(path))) + "/" +
                                           std::to_string(threads) + "t");
    SetSimdLevel(SupportedSimdLevel());
    SetThreadCount(0);
}

void Paths(benchmark::internal::Benchmark* b) {
    const int hw = ThreadCount();
    for (int n : {32, 64, 128, 200})
        for (int balls : {10, 50})
            for (int T : {20, 200}) {
                b->Args({-1, 1, n, balls, T});
                for (int level = kSimdPortable; level < kSimdLevelCount; ++level) {
                    b->Args({level, 1, n, balls, T});
                    if (hw > 1) b->Args({level, hw, n, balls, T});
                }
            }
    b->ArgNames({"path", "threads", "grid", "balls", "T"});
    b->Unit(benchmark::kMillisecond);
    b->UseRealTime();
}

// The levels the program would use here, picked once before any benchmark
// sets one.
TSimdLevel gFieldLevel = kSimdPortable, gSurfaceLevel = kSimdPortable;
int gRecordRunsFrom = TGrid::kRecordRunsFrom;

// A Route row's grid (GridSize N, the benchmark's scene with Balls balls
// at time T, the route and the threads as given), after a first call that
// writes Inside whole and touches the pages; null when the grid gets no
// block field.
template <class Sink>
std::unique_ptr<TGrid> MakeRouteGrid(bool Sparse, int Threads, int N, int Balls, float T, TJob Job, Sink& Emit,
                                     TBallBlockField*& Blocks) {
    SetKernelLevel(kFieldKernels, gFieldLevel);
    SetKernelLevel(kSurfaceKernels, gSurfaceLevel);
    SetThreadCount(Threads);
    gScene.Balls.assign(static_cast<std::size_t>(Balls), TBall{});
    gScene.T = T;
    gScene.Reference = false;
    auto grid = std::make_unique<TGrid>(N, N, N, 2.0f / static_cast<float>(N), 0.0f, 0.0f, 0.0f, BenchField);
    Blocks = UseBallField<BenchBalls>(*grid, Balls);
    if (Blocks == nullptr) return nullptr;
    grid->Route = Sparse ? TFieldRoute::Sparse : TFieldRoute::Dense;
    grid->TimeSerial = Sparse && Job == kFrame;
    grid->RecordRunsFrom = gRecordRunsFrom;
    MoveBalls(gScene.Balls.data(), Balls, T);
    grid->Polygonise(Emit);
    return grid;
}

// Arguments: route (0 dense, 1 sparse as the program takes it), threads,
// grid size, ball count, scene time.
template <class Sink>
void RunRouteWith(benchmark::State& state, TJob job) {
    const bool sparse = state.range(0) != 0;
    const int threads = static_cast<int>(state.range(1)), n = static_cast<int>(state.range(2));
    const int balls = static_cast<int>(state.range(3));
    const float T = static_cast<float>(state.range(4));
    Sink sink;
    TBallBlockField* blocks = nullptr;
    const auto grid = MakeRouteGrid(sparse, threads, n, balls, T, job, sink, blocks);
    if (grid == nullptr) {
        state.SkipWithError("no sparse route for this grid");
        return;
    }
    double evaluated = 0.0, walked = 0.0, frames = 0.0, serialNs = 0.0;
    for (auto _ : state) {
        sink.Vertices = 0;
        if (job == kSurface) {
            state.PauseTiming();
            MoveBalls(gScene.Balls.data(), balls, T);
            grid->FillSamples();
            state.ResumeTiming();
            grid->PolygoniseSamples(sink);
        } else {
            MoveBalls(gScene.Balls.data(), balls, T);
            if (job == kField) {
                grid->FillSamples();
            } else {
                grid->Polygonise(sink);
            }
        }
        benchmark::DoNotOptimize(sink);
        benchmark::ClobberMemory();
        serialNs += static_cast<double>(grid->LastStats().SerialNs);
        evaluated += static_cast<double>(grid->LastStats().SamplesEvaluated);
        walked += static_cast<double>(grid->LastStats().CubesWalked);
        frames += 1.0;
    }
    const double triangles = static_cast<double>(sink.Vertices / 3);
    if (job != kField) state.counters["triangles"] = triangles;
    if (job == kSurface)
        state.counters["s/triangle"] = benchmark::Counter(triangles, benchmark::Counter::kIsIterationInvariantRate |
                                                                         benchmark::Counter::kInvert);
    state.counters["evaluated"] = evaluated / frames / static_cast<double>(grid->Values.Count());
    state.counters["exact"] = ExactShare(*grid);
    if (job != kField) state.counters["walked"] = walked / frames / (double(n - 1) * (n - 1) * (n - 1));
    if (grid->TimeSerial && frames > 0.0) state.counters["serial ms"] = serialNs / frames / 1e6;
    state.counters["bytes/sample"] =
        (GridBytes(*grid) + static_cast<double>(blocks->Bytes())) / static_cast<double>(grid->Values.Count());
    state.SetLabel(std::string(sparse ? "sparse " : "dense ") + SimdLevelName(gFieldLevel) + "+" +
                   SimdLevelName(gSurfaceLevel) + "/" + std::to_string(threads) + "t");
    SetSimdLevel(SupportedSimdLevel());
    SetThreadCount(0);
}

void RunRoute(benchmark::State& state, TJob job) {
    if (gCopySink) {
        RunRouteWith<TCopySink>(state, job);
    } else {
        RunRouteWith<TCountSink>(state, job);
    }
}

// --lockstep=sparse:S/threads:T/grid:N/balls:B[/T:time]: a RouteFrame
// row's frames one at a time on request, for tools/ab_frames.py, which
// has two builds take turns frame by frame so that both meet the machine
// in the same state. Prints "ready" once the grid is made; then, for each
// line read, runs one frame and prints its time in nanoseconds; ends at
// the end of its input. Returns the exit status.
template <class Sink>
int LockstepWith(const char* Row) {
    int sparse = 0, threads = 0, n = 0, balls = 0, time = 20;
    if (std::sscanf(Row, "sparse:%d/threads:%d/grid:%d/balls:%d/T:%d", &sparse, &threads, &n, &balls, &time) < 4 ||
        threads < 1 || threads > kMaxThreads || n < 2 || n > TGrid::kMaxSparseSize || balls < 0 || balls > 1000) {
        std::fprintf(stderr, "--lockstep=%s: expected sparse:S/threads:T/grid:N/balls:B[/T:time]\n", Row);
        return 2;
    }
    Sink sink;
    TBallBlockField* blocks = nullptr;
    const auto grid = MakeRouteGrid(sparse != 0, threads, n, balls, static_cast<float>(time), kFrame, sink, blocks);
    if (grid == nullptr) {
        std::fprintf(stderr, "--lockstep=%s: no sparse route for this grid\n", Row);
        return 2;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        const auto start = std::chrono::steady_clock::now();
        MoveBalls(gScene.Balls.data(), balls, static_cast<float>(time));
        grid->Polygonise(sink);
        benchmark::DoNotOptimize(sink);
        benchmark::ClobberMemory();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
        std::printf("%lld\n", static_cast<long long>(ns.count()));
        std::fflush(stdout);
    }
    return 0;
}

void Routes(benchmark::internal::Benchmark* b) {
    for (int n : {64, 128, 200, 256})
        for (int balls : {10, 50})
            for (int threads : {1, 2})
                for (int sparse : {0, 1}) b->Args({sparse, threads, n, balls, 20});
    b->ArgNames({"sparse", "threads", "grid", "balls", "T"});
    b->Unit(benchmark::kMillisecond);
    b->UseRealTime();
}

void RouteField(benchmark::State& s) { RunRoute(s, kField); }
void RoutePolygonise(benchmark::State& s) { RunRoute(s, kSurface); }
void RouteFrame(benchmark::State& s) { RunRoute(s, kFrame); }
BENCHMARK(RouteField)->Apply(Routes);
BENCHMARK(RoutePolygonise)->Apply(Routes);
BENCHMARK(RouteFrame)->Apply(Routes);

// A start-up probe, one call, at each level: the polygoniser's
// (ProbeSurfaceKernels) and the field's (ProbeFieldKernels, the dense rows
// and the sparse route's kernels).
void TimeProbe(benchmark::State& state, TKernelProbe Probe) {
    const TSimdLevel level = static_cast<TSimdLevel>(state.range(0));
    if (level < LowestSimdLevel() || level > SupportedSimdLevel()) {
        state.SkipWithError("level not supported here");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(Probe(level));
    state.SetLabel(SimdLevelName(level));
}
void SurfaceProbe(benchmark::State& s) { TimeProbe(s, ProbeSurfaceKernels); }
void FieldProbe(benchmark::State& s) { TimeProbe(s, ProbeFieldKernels); }
BENCHMARK(SurfaceProbe)->DenseRange(kSimdPortable, kSimdLevelCount - 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(FieldProbe)->DenseRange(kSimdPortable, kSimdLevelCount - 1)->Unit(benchmark::kMicrosecond);

void Field(benchmark::State& s) { Run(s, kField); }
void Surface(benchmark::State& s) { Run(s, kSurface); }
void Frame(benchmark::State& s) { Run(s, kFrame); }
BENCHMARK(Field)->Apply(Paths);
BENCHMARK(Surface)->Apply(Paths);
BENCHMARK(Frame)->Apply(Paths);

} // namespace

int main(int argc, char** argv) {
    ChooseKernelLevels(ProbeFieldKernels);
    gFieldLevel = KernelLevel(kFieldKernels);
    gSurfaceLevel = KernelLevel(kSurfaceKernels);
    constexpr char kSurfaceFlag[] = "--surface_level=", kFieldFlag[] = "--field_level=";
    constexpr char kRecordFlag[] = "--record_runs_from=";
    // Takes argument a out of argv (the benchmark library would refuse it),
    // so that the loop looks at the same place again.
    auto drop = [&](int& a) {
        for (int b = a; b + 1 < argc; ++b) argv[b] = argv[b + 1];
        --argc;
        --a;
    };
    for (int a = 1; a < argc; ++a) {
        if (std::strncmp(argv[a], kRecordFlag, sizeof kRecordFlag - 1) == 0) {
            gRecordRunsFrom = std::atoi(argv[a] + sizeof kRecordFlag - 1);
            if (gRecordRunsFrom < 2) {
                std::fprintf(stderr, "%s: expected 2 threads or more\n", argv[a]);
                return 1;
            }
            drop(a);
            continue;
        }
        if (std::strcmp(argv[a], "--route_sink=copy") == 0) {
            gCopySink = true;
            drop(a);
            continue;
        }
        const bool surface = std::strncmp(argv[a], kSurfaceFlag, sizeof kSurfaceFlag - 1) == 0;
        if (!surface && std::strncmp(argv[a], kFieldFlag, sizeof kFieldFlag - 1) != 0) continue;
        const char* name = argv[a] + (surface ? sizeof kSurfaceFlag : sizeof kFieldFlag) - 1;
        bool known = false;
        for (int level = LowestSimdLevel(); level <= SupportedSimdLevel(); ++level)
            if (std::strcmp(name, SimdLevelName(static_cast<TSimdLevel>(level))) == 0) {
                (surface ? gSurfaceLevel : gFieldLevel) = static_cast<TSimdLevel>(level);
                known = true;
            }
        if (!known) {
            std::fprintf(stderr, "%s: no such level here\n", argv[a]);
            return 1;
        }
        drop(a);
    }
    constexpr char kLockstepFlag[] = "--lockstep=";
    for (int a = 1; a < argc; ++a)
        if (std::strncmp(argv[a], kLockstepFlag, sizeof kLockstepFlag - 1) == 0) {
            const char* row = argv[a] + sizeof kLockstepFlag - 1;
            return gCopySink ? LockstepWith<TCopySink>(row) : LockstepWith<TCountSink>(row);
        }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
