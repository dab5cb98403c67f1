// sorvel2-tool render: the PNG files it writes, set against the demo's own
// frame drawn here in an off-screen context; and bench's GL figures.
#include "app/view.h"
#include "scene/scene.h"
#include "scene/state.h"
#include "support/headless_gl.h"
#include "support/sanitizers.h"
#include "tool_run.h"

#include <gtest/gtest.h>
#include <png.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

struct TImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Rgb;  // top row first
};

// Decodes a PNG file into 8-bit RGB; false when it is not one.
bool ReadPng(const std::string& Path, TImage& Out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, Path.c_str())) return false;
    image.format = PNG_FORMAT_RGB;
    Out.Width = static_cast<int>(image.width);
    Out.Height = static_cast<int>(image.height);
    Out.Rgb.assign(PNG_IMAGE_SIZE(image), 0);
    return png_image_finish_read(&image, nullptr, Out.Rgb.data(), 0, nullptr) != 0;
}

// A scratch directory holding the demo's two textures and Options.
void Prepare(const TScratchDir& Dir, const char* Options) {
    for (const char* name : {"reflect.bmp", "background.bmp"})
        std::filesystem::copy_file(std::string(SORVEL2_DEMO_DIR) + "/" + name, Dir.File(name));
    if (Options != nullptr) Dir.Write("options.txt", Options);
}

class ToolRender : public THeadlessGLTest {
protected:
    ToolRender() : THeadlessGLTest(160, 120) {}
};

// The demo's set-up and frame, in this process, at ElapsedMs = 2500 with 10
// balls on a grid of 24, against the tool's image of the same settings from
// options.txt, from --grid and --balls with no options.txt, and from the
// flags laid over a file that says otherwise.
struct TSameFrameRow {
    const char* Options;  // nullptr: no options.txt
    std::vector<std::string> Flags;
};
const TSameFrameRow kSameFrame[] = {
    {"640 480 0 10 24", {}},
    {nullptr, {"--grid", "24", "--balls", "10"}},
    {"640 480 0 3 9", {"--balls", "10", "--grid", "24"}},
};

TEST_F(ToolRender, ImageIsTheDemosOwnFrame) {
    TScratchDir here;
    Prepare(here, nullptr);
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(here.Path());  // InitScene reads the textures from here
    BallCount = 10;
    GridSize = 24;
    ResizeView(160, 120);
    InitScene();
    ElapsedMs = 2500;
    RenderScene();
    glFinish();
    ReadBack();
    std::filesystem::current_path(previous);
    delete Grid;
    Grid = nullptr;
    Balls.Release();

    for (const TSameFrameRow& row : kSameFrame) {
        SCOPED_TRACE(row.Options != nullptr ? row.Options : "no options.txt");
        TScratchDir dir;
        Prepare(dir, row.Options);
        std::vector<std::string> args = {"render", "--time-ms", "2500", "--size", "160x120", "-o", "frame.png"};
        args.insert(args.end(), row.Flags.begin(), row.Flags.end());
        const TToolRun run = RunTool(dir, args);
        ASSERT_EQ(run.Exit, 0) << run.Err;
        TImage image;
        ASSERT_TRUE(ReadPng(dir.File("frame.png"), image));
        ASSERT_EQ(image.Width, 160);
        ASSERT_EQ(image.Height, 120);
        std::size_t differing = 0;
        for (std::size_t i = 0; i < image.Rgb.size(); ++i) differing += image.Rgb[i] != Pixels()[i];
        EXPECT_EQ(differing, 0u) << "of " << image.Rgb.size() << " bytes";
    }
}

TEST(ToolRenderFiles, ImageIsNotOneFlatColourAndRepeatsExactly) {
    TScratchDir dir;
    Prepare(dir, "640 480 0 6 20");
    const std::vector<std::string> args = {"render", "--time-ms", "0", "--size", "96x72", "-o", "a.png"};
    ASSERT_EQ(RunTool(dir, args).Exit, 0);
    std::vector<std::string> again = args;
    again.back() = "b.png";
    ASSERT_EQ(RunTool(dir, again).Exit, 0);
    EXPECT_EQ(dir.Read("a.png"), dir.Read("b.png"));

    TImage image;
    ASSERT_TRUE(ReadPng(dir.File("a.png"), image));
    std::set<std::uint32_t> colours;
    for (std::size_t i = 0; i < image.Rgb.size(); i += 3)
        colours.insert(image.Rgb[i] | image.Rgb[i + 1] << 8 | static_cast<std::uint32_t>(image.Rgb[i + 2]) << 16);
    EXPECT_GT(colours.size(), 50u);
}

// Without --size the image has the settings' screen size; a pattern names
// the files of a sequence.
TEST(ToolRenderFiles, DefaultSizeAndPatternNames) {
    TScratchDir dir;
    Prepare(dir, "96 64 0 3 12");
    ASSERT_EQ(RunTool(dir, {"render", "--time-ms", "0", "--frames", "2", "-o", "shot-%03d.png"}).Exit, 0);
    TImage image;
    ASSERT_TRUE(ReadPng(dir.File("shot-000.png"), image));
    EXPECT_EQ(image.Width, 96);
    EXPECT_EQ(image.Height, 64);
    EXPECT_TRUE(std::filesystem::exists(dir.File("shot-001.png")));
}

// Frame k of a sequence is the single frame at N + k * 1000 / F.
TEST(ToolRenderFiles, SequenceFramesFollowTheFrameRate) {
    TScratchDir dir;
    Prepare(dir, "64 48 0 5 16");
    const TToolRun run = RunTool(dir, {"render", "--time-ms", "1000", "--frames", "3", "--fps", "8", "-o", "seq"});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Err, "") << "no progress bar when stderr is not a terminal";
    ASSERT_EQ(RunTool(dir, {"render", "--time-ms", "1250", "-o", "single.png"}).Exit, 0);  // 2 * 1000 / 8 = 250
    EXPECT_EQ(dir.Read("seq00002.png"), dir.Read("single.png"));
    EXPECT_NE(dir.Read("seq00000.png"), dir.Read("seq00001.png"));
    EXPECT_FALSE(std::filesystem::exists(dir.File("seq00003.png")));
}

// With stderr on a terminal the sequence shows its progress there.
TEST(ToolRenderFiles, SequenceShowsProgressOnATerminal) {
    TScratchDir dir;
    Prepare(dir, "32 24 0 2 8");
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (chdir(dir.Path().c_str()) == 0)
            execl(SORVEL2_TOOL_PATH, "sorvel2-tool", "render", "--time-ms", "0", "--frames", "3", "-o", "p", nullptr);
        _exit(127);
    }
    std::string seen;
    char buffer[256];
    for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) seen.append(buffer, static_cast<std::size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    close(terminal);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << seen;
    EXPECT_NE(seen.find("\r["), std::string::npos) << seen;
    EXPECT_NE(seen.find("] 1/3"), std::string::npos) << seen;
    EXPECT_NE(seen.find("] 3/3"), std::string::npos) << seen;
    EXPECT_TRUE(std::filesystem::exists(dir.File("p00002.png")));
}

struct TRenderFailure {
    const char* Options;
    bool Textures;
    std::vector<std::string> Args;
    int Exit;
    const char* Says;
};

const TRenderFailure kRenderFailures[] = {
    {"64 48 0 2 8", false, {"render", "--time-ms", "0", "-o", "x.png"}, 1, "Unable to load reflect.bmp"},
    {"0 0 0 2 8", true, {"render", "--time-ms", "0", "-o", "x.png"}, 1, "give --size"},
    {nullptr, true, {"render", "--time-ms", "0", "--size", "8x8", "-o", "x.png"}, 2, "Runtime error   2 at "},
    {"64 48 0 2 0", true, {"render", "--time-ms", "0", "-o", "x.png"}, 201, "Runtime error 201 at "},
    {"64 48 0 2 8", true, {"render", "--time-ms", "0", "-o", "no/dir/x.png"}, 1, "cannot write 'no/dir/x.png'"},
    {"64 48 0 2 8", true, {"render", "--time-ms", "0", "--size", "64x", "-o", "x.png"}, 64, "--size wants WxH"},
    {"64 48 0 2 8", true, {"render", "--time-ms", "0"}, 64, "-o OUT is required"},
    {"64 48 0 2 8", true, {"render", "--time-ms", "0", "--frames", "2", "-o", "%d%d"}, 64, "one conversion"},
    {"64 48 0 2 8", true, {"render", "--time-ms", "0", "--fps", "5", "-o", "x.png"}, 64, "--fps goes with --frames"},
    {"64 48 0 2 8", true, {"render", "--time-ms", "0", "--grid", "0", "-o", "x.png"}, 64, "--grid must be from 1"},
    {"64 48 0 2 8", true, {"render", "--time-ms", "0", "--balls", "-2", "-o", "x.png"}, 64, "--balls must be from 0"},
    // The size still comes from options.txt when --size is not given.
    {nullptr, true, {"render", "--time-ms", "0", "--grid", "8", "--balls", "2", "-o", "x.png"}, 2, "Runtime error   2 at "},
};

TEST(ToolRenderFiles, FailuresAreReportedWithTheirExitCodes) {
    for (const TRenderFailure& f : kRenderFailures) {
        TScratchDir dir;
        if (f.Textures) {
            Prepare(dir, f.Options);
        } else if (f.Options != nullptr) {
            dir.Write("options.txt", f.Options);
        }
        const TToolRun run = RunTool(dir, f.Args);
        EXPECT_EQ(run.Exit, f.Exit) << f.Says;
        EXPECT_NE(run.Err.find(f.Says), std::string::npos) << run.Err;
        EXPECT_FALSE(std::filesystem::exists(dir.File("x.png"))) << f.Says;
    }
}

// With the textures there, bench draws the demo's frame: each way of
// submitting the surface it was asked for gets a gl_submit and a frame row
// (named plainly for one way, by way for two, in the order given), the frame
// with the frames per second its median gives.
struct TBenchSubmitRow {
    std::vector<std::string> Flags;
    const char* Submit;  // what the report says it timed
    std::vector<std::string> Rows;
    std::vector<std::string> Absent;
};
const TBenchSubmitRow kBenchSubmits[] = {
    {{}, "arrays", {"gl_submit", "frame"}, {"gl_submit/arrays", "frame/immediate"}},
    {{"--submit", "immediate"}, "immediate", {"gl_submit", "frame"}, {"gl_submit/immediate"}},
    {{"--submit", "immediate,arrays"},
     "immediate,arrays",
     {"gl_submit/immediate", "frame/immediate", "gl_submit/arrays", "frame/arrays"},
     {"gl_submit", "frame"}},
    {{"--submit", "arrays,immediate"},
     "arrays,immediate",
     {"gl_submit/arrays", "frame/arrays", "gl_submit/immediate", "frame/immediate"},
     {"gl_submit", "frame"}},
};

TEST(ToolBenchGL, TimesEachWayOfSubmittingAndTheWholeFrame) {
    TScratchDir dir;
    Prepare(dir, nullptr);
    for (const TBenchSubmitRow& row : kBenchSubmits) {
        SCOPED_TRACE(row.Submit);
        std::vector<std::string> args = {"bench", "--frames", "3", "--grid", "16", "--balls", "4", "--size", "64x48", "--json"};
        args.insert(args.end(), row.Flags.begin(), row.Flags.end());
        const TToolRun run = RunTool(dir, args);
        ASSERT_EQ(run.Exit, 0) << run.Err;
        EXPECT_NE(run.Out.find(std::string("\"submit\": \"") + row.Submit + "\""), std::string::npos) << run.Out;
        std::size_t previous = 0;
        for (const std::string& name : row.Rows) {
            const std::size_t at = run.Out.find("\"" + name + "\": {");
            ASSERT_NE(at, std::string::npos) << name << " in " << run.Out;
            EXPECT_GT(at, previous) << name << " out of order";
            previous = at;
            const std::string o = JsonObject(run.Out, name);
            const double median = JsonNumber(o, "median_ms"), p95 = JsonNumber(o, "p95_ms");
            EXPECT_GE(p95, median) << name;
            if (name.rfind("frame", 0) != 0) continue;
            EXPECT_GT(median, 0.0) << name;
            // fps (2 places) comes from the unrounded median (4 places).
            EXPECT_NEAR(JsonNumber(o, "fps"), 1000.0 / median, 0.006 + 1000.0 / (median * median) * 5e-5) << o;
        }
        for (const std::string& name : row.Absent)
            EXPECT_EQ(run.Out.find("\"" + name + "\": "), std::string::npos) << name << " in " << run.Out;
    }

    const TToolRun text = RunTool(dir, {"bench", "--frames", "2", "--grid", "8", "--balls", "2", "--size", "32x24",
                                        "--submit", "arrays,immediate"});
    ASSERT_EQ(text.Exit, 0) << text.Err;
    EXPECT_NE(text.Out.find("32x24, submit arrays,immediate\n"), std::string::npos) << text.Out;
    for (const char* name : {"gl_submit/arrays ", "frame/arrays ", "gl_submit/immediate ", "frame/immediate "})
        EXPECT_NE(text.Out.find(name), std::string::npos) << name << " in " << text.Out;
    EXPECT_NE(text.Out.find(" frames/s\n"), std::string::npos) << text.Out;
}

// Mesa's renderer frees its working memory at the start of every frame; the
// off-screen context keeps it in the process, so a frame does not fault it
// in again (at this size some 2,000 minor faults a frame when it did).
TEST(ToolBenchGL, FramesDoNotFaultTheRenderersMemoryInAgain) {
    if (SORVEL2_ASAN) GTEST_SKIP() << "AddressSanitizer's allocator holds freed memory back on purpose";
    TScratchDir dir;
    Prepare(dir, nullptr);
    const TToolRun run = RunTool(dir, {"bench", "--frames", "6", "--grid", "64", "--balls", "20", "--size", "640x480",
                                       "--threads", "1", "--json"});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    const double faults = JsonNumber(run.Out, "minor_faults_per_frame");
    EXPECT_GE(faults, 0.0) << run.Out;
    EXPECT_LT(faults, 200.0) << run.Out;
}

} // namespace
