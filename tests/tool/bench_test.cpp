// sorvel2-tool bench: what it reports, not how fast anything is.
#include "grid/grid.h"
#include "scene/field.h"
#include "scene/state.h"
#include "support/sanitizers.h"
#include "tool_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Mean triangles per frame over the frames bench runs (ElapsedMs = f * 1000 / 60).
double MeanTriangles(std::int32_t GridSize, std::int32_t Count, int Frames) {
    BallCount = Count;
    Balls.Create(Count);
    TGrid grid(GridSize, GridSize, GridSize, 2.0f / static_cast<float>(GridSize), 0.0f, 0.0f, 0.0f, EvaluateField);
    long long vertices = 0;
    for (int f = 0; f < Frames; ++f) {
        SceneTime = SceneTimeAt(f * 1000 / 60);
        MoveBalls(Balls.Data(), BallCount, SceneTime);
        grid.Polygonise([&](const TEdgeVertex&) { ++vertices; });
    }
    Balls.Release();
    return static_cast<double>(vertices) / 3.0 / Frames;
}

TEST(ToolBench, JsonReportsEveryStageAndTheSettings) {
    TScratchDir dir;
    const TToolRun run = RunTool(dir, {"bench", "--frames", "7", "--grid", "12", "--balls", "5", "--threads", "1", "--json", "--no-gl"});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    ASSERT_EQ(run.Out.front(), '{');
    ASSERT_EQ(run.Out.substr(run.Out.size() - 2), "}\n");
    for (const char* stage : {"field", "polygonise"}) {
        const std::string o = JsonObject(run.Out, stage);
        const double median = JsonNumber(o, "median_ms"), p95 = JsonNumber(o, "p95_ms");
        EXPECT_GE(median, 0.0) << stage << ": " << run.Out;
        EXPECT_GE(p95, median) << stage;
    }
    EXPECT_NE(run.Out.find("\"gl_submit\": null, \"frame\": null, \"minor_faults_per_frame\": null"),
              std::string::npos)
        << "--no-gl leaves them out";
    EXPECT_EQ(run.Out.find("\"submit\""), std::string::npos) << "no way of submitting without GL";
    EXPECT_EQ(JsonNumber(run.Out, "grid"), 12);
    EXPECT_EQ(JsonNumber(run.Out, "balls"), 5);
    EXPECT_EQ(JsonNumber(run.Out, "threads"), 1);
    EXPECT_EQ(JsonNumber(run.Out, "frames"), 7);
    EXPECT_NEAR(JsonNumber(run.Out, "triangles"), MeanTriangles(12, 5, 7), 0.051);
    // The sparse route by default: it says how much it evaluated and walked,
    // and the dense route the same triangles with everything evaluated.
    const double evaluated = JsonNumber(run.Out, "samples_evaluated"), walked = JsonNumber(run.Out, "cubes_walked");
    EXPECT_GT(evaluated, 0.0);
    EXPECT_LT(evaluated, 1.0);
    EXPECT_GT(walked, 0.0);
    EXPECT_LT(walked, 1.0);
    EXPECT_EQ(JsonNumber(run.Out, "sparse_frames"), 7);
    EXPECT_NE(run.Out.find("\"route\": \"sparse\""), std::string::npos);
    for (const char* level : {"field_level", "polygonise_level"}) {
        const std::size_t at = run.Out.find(std::string("\"") + level + "\": \"");
        ASSERT_NE(at, std::string::npos) << level;
        const std::string name = run.Out.substr(at + std::string(level).size() + 5, 4);
        EXPECT_TRUE(name == "port" || name == "sse2" || name == "avx2" || name == "avx5" || name == "simd") << name;
    }
    const TToolRun dense =
        RunTool(dir, {"bench", "--frames", "7", "--grid", "12", "--balls", "5", "--threads", "1", "--json", "--no-gl", "--field", "dense"});
    ASSERT_EQ(dense.Exit, 0) << dense.Err;
    EXPECT_EQ(JsonNumber(dense.Out, "samples_evaluated"), 1.0);
    EXPECT_EQ(JsonNumber(dense.Out, "cubes_walked"), 1.0);
    EXPECT_EQ(JsonNumber(dense.Out, "sparse_frames"), 0);
    EXPECT_EQ(JsonNumber(dense.Out, "triangles"), JsonNumber(run.Out, "triangles"));
}

TEST(ToolBench, GoesOnAloneWhenNoWorkerThreadCanStart) {
    if (SORVEL2_ASAN) GTEST_SKIP() << "AddressSanitizer sizes its own stacks from the limit";
    // A stack limit far beyond the address space: a thread's default stack
    // (which follows the limit) cannot be had. The engine goes on with the
    // calling thread alone, the same triangles, and says so.
    TScratchDir dir;
    const std::vector<std::string> args = {"bench", "--frames", "3", "--grid", "48", "--balls", "5", "--threads", "2",
                                           "--json", "--no-gl"};
    const TToolRun run = RunTool(dir, args, 200000000ull * 1024);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(JsonNumber(run.Out, "threads"), 1);
    EXPECT_EQ(JsonNumber(run.Out, "triangles"), JsonNumber(RunTool(dir, args).Out, "triangles"));
}

TEST(ToolBench, TextNamesEveryStage) {
    TScratchDir dir;
    dir.Write("options.txt", "640 480 0 3 10");
    const TToolRun run = RunTool(dir, {"bench", "--frames", "3", "--threads", "2"});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_NE(run.Out.find("grid 10, balls 3, threads 2"), std::string::npos) << run.Out;
    for (const char* stage : {"field ", "polygonise ", "gl_submit ", "frame ", "triangles "})
        EXPECT_NE(run.Out.find(stage), std::string::npos) << stage;
}

} // namespace
