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
//   sorvel2_speed_bench --benchmark_filter='Frame/.*/128/10/20$'
#include "grid/grid.h"
#include "grid/parallel.h"
#include "grid/reference.h"
#include "grid/simd.h"
#include "scene/field.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

// A sink that keeps every vertex in storage reserved up front.
struct TBenchSink {
    std::vector<TEdgeVertex> Vertices;
    void operator()(const TEdgeVertex& v) { Vertices.push_back(v); }
};

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

void Field(benchmark::State& s) { Run(s, kField); }
void Surface(benchmark::State& s) { Run(s, kSurface); }
void Frame(benchmark::State& s) { Run(s, kFrame); }
BENCHMARK(Field)->Apply(Paths);
BENCHMARK(Surface)->Apply(Paths);
BENCHMARK(Frame)->Apply(Paths);

} // namespace

BENCHMARK_MAIN();
