// sorvel2-tool's command line: help, refusals, the demo's settings errors,
// and info.
#include "tool_run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int kUsage = 64;

// A build without OpenGL (engine only) has a tool without render, which
// refuses the command itself before looking at its options.
constexpr bool kHasRender = SORVEL2_TOOL_HAS_RENDER != 0;
constexpr const char* kNoRender = "this build has no render command";

struct TRefusal {
    std::vector<std::string> Args;
    const char* Says;  // part of the message on stderr
};

// Every one of these is a bad command line; none needs options.txt to be
// refused (the scratch directory has none, so reading it would exit with 2).
const TRefusal kRefusals[] = {
    {{}, "usage: sorvel2-tool"},
    {{"paint"}, "unknown command 'paint'"},
    {{"info", "--grid", "3"}, "unknown option '--grid'"},
    {{"info", "extra"}, "unexpected argument 'extra'"},
    {{"export", "--format", "raw"}, "--time-ms is required"},
    {{"export", "--time-ms", "0", "--grid", "4", "--balls", "1"}, "--format is required"},
    {{"export", "--time-ms", "0", "--format", "stl"}, "unknown format 'stl'"},
    {{"export", "--time-ms", "zero", "--format", "raw"}, "--time-ms wants a whole number, not 'zero'"},
    {{"export", "--time-ms", "2147483648", "--format", "raw"}, "--time-ms must be from"},
    {{"export", "--time-ms", "12ms", "--format", "raw"}, "wants a whole number"},
    {{"export", "--time-ms", "0", "--format", "raw", "--grid", "0", "--balls", "1"}, "--grid must be from 1"},
    {{"export", "--time-ms", "0", "--format", "raw", "--grid", "4", "--balls", "-1"}, "--balls must be from 0"},
    {{"export", "--time-ms", "0", "--format"}, "option '--format' needs a value"},
    {{"export", "--time-ms=0", "--time-ms=1", "--format=raw"}, "given twice"},
    {{"export", "-x"}, "unknown option '-x'"},
    {{"bench", "--threads", "9", "--grid", "4", "--balls", "1"}, "--threads must be from 1 to 8"},
    {{"bench", "--size", "0x10", "--grid", "4", "--balls", "1"}, "--size wants WxH"},
    {{"bench", "--frames", "0", "--grid", "4", "--balls", "1"}, "--frames must be from 1"},
    {{"bench", "--json=yes", "--grid", "4", "--balls", "1"}, "'--json' takes no value"},
    {{"bench", "--submit", "retained", "--grid", "4", "--balls", "1"}, "--submit "},
    {{"bench", "--submit", "arrays,arrays", "--grid", "4", "--balls", "1"}, "--submit "},
    {{"bench", "--submit", "immediate,", "--grid", "4", "--balls", "1"}, "--submit "},
    {{"export", "--time-ms", "0", "--format", "raw", "--field", "fast"}, "--field wants sparse or dense, not 'fast'"},
    {{"render", "--time-ms", "0", "--field", "Dense", "-o", "f.png"}, "--field wants sparse or dense"},
    {{"bench", "--field=both", "--grid", "4", "--balls", "1"}, "--field wants sparse or dense"},
};

TEST(ToolCommandLine, BadCommandLinesAreRefusedPlainly) {
    TScratchDir dir;
    for (const TRefusal& r : kRefusals) {
        std::string shown;
        for (const std::string& a : r.Args) shown += a + " ";
        const TToolRun run = RunTool(dir, r.Args);
        const char* says = !kHasRender && !r.Args.empty() && r.Args[0] == "render" ? kNoRender : r.Says;
        EXPECT_EQ(run.Exit, kUsage) << shown;
        EXPECT_NE(run.Err.find(says), std::string::npos) << shown << "\nstderr: " << run.Err;
        EXPECT_EQ(run.Out, "") << shown;
    }
}

TEST(ToolCommandLine, EveryCommandHasHelp) {
    TScratchDir dir;
    const char* kCommands[] = {"info", "export", "bench", "render"};
    for (const char* command : kCommands) {
        const TToolRun run = RunTool(dir, {command, "--help"});
        if (std::string(command) == "render" && !kHasRender) {
            EXPECT_EQ(run.Exit, kUsage);
            EXPECT_NE(run.Err.find(kNoRender), std::string::npos) << run.Err;
            continue;
        }
        EXPECT_EQ(run.Exit, 0) << command;
        EXPECT_EQ(run.Out.rfind(std::string("usage: sorvel2-tool ") + command, 0), 0u) << command << ": " << run.Out;
        EXPECT_EQ(run.Err, "") << command;
        if (std::string(command) != "export") continue;
        // How normals and welding work.
        for (const char* says : {"weld", "point out of the surface", "counter-clockwise"})
            EXPECT_NE(run.Out.find(says), std::string::npos) << says;
    }
    const TToolRun top = RunTool(dir, {"--help"});
    EXPECT_EQ(top.Exit, 0);
    EXPECT_NE(top.Out.find("export"), std::string::npos);
}

// The demo's own start-up failures, with the demo's exit codes, and an
// output file that cannot be written.
struct TSettingsFailure {
    const char* Options;  // nullptr: no options.txt at all
    std::vector<std::string> Args;
    int Exit;
    const char* Says;
};

const TSettingsFailure kSettingsFailures[] = {
    {nullptr, {"info"}, 2, "Error: Runtime error   2 at "},
    {nullptr, {"export", "--time-ms", "0", "--format", "raw"}, 2, "Error: Runtime error   2 at "},
    {nullptr, {"export", "--time-ms", "0", "--format", "raw", "--grid", "5"}, 2, "Error: Runtime error   2 at "},
    {nullptr, {"bench", "--frames", "1", "--balls", "2"}, 2, "Error: Runtime error   2 at "},
    {"640 480 0 10 forty", {"info"}, 106, "Error: Runtime error 106 at "},
    {"640 480 0 10 4O", {"export", "--time-ms", "0", "--format", "obj"}, 106, "Error: Runtime error 106 at "},
    {"640 480 0 10 0", {"export", "--time-ms", "0", "--format", "raw"}, 201, "Error: Runtime error 201 at "},
    {"640 480 0 -1 8", {"export", "--time-ms", "0", "--format", "raw"}, 201, "Error: Runtime error 201 at "},
    {"640 480 0 3 -7", {"bench", "--frames", "1"}, 201, "Error: Runtime error 201 at "},
    {nullptr, {"export", "--time-ms", "0", "--grid", "6", "--balls", "2", "--format", "ply", "-o", "no/such/dir/x.ply"},
     1, "cannot write 'no/such/dir/x.ply'"},
};

TEST(ToolSettings, StartUpAndOutputErrorsKeepTheirExitCodes) {
    for (const TSettingsFailure& f : kSettingsFailures) {
        TScratchDir dir;
        if (f.Options != nullptr) dir.Write("options.txt", f.Options);
        const TToolRun run = RunTool(dir, f.Args);
        EXPECT_EQ(run.Exit, f.Exit) << (f.Options ? f.Options : "(no file)") << " " << f.Args[0];
        EXPECT_NE(run.Err.find(f.Says), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "") << f.Says;
    }
}

TEST(ToolSettings, ErrorTextEndsInEightHexDigits) {
    TScratchDir dir;
    const std::string err = RunTool(dir, {"info"}).Err;
    const std::string head = "Error: Runtime error   2 at ";
    ASSERT_EQ(err.size(), head.size() + 9) << err;  // eight digits and the newline
    for (std::size_t i = head.size(); i < head.size() + 8; ++i)
        EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(err[i])) && !std::islower(err[i])) << err;
}

TEST(ToolInfo, PrintsTheSettingsAndTheGridTheyImply) {
    TScratchDir dir;
    dir.Write("options.txt", "$280\r\n480\t99 0x0A\n\n40 trailing words are never read");
    const TToolRun run = RunTool(dir, {"info"});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    // Grid 40: 41^3 samples, 40^3 flags, 39^3 cubes of 48 bytes, 3 * 39 * 40 * 40
    // edges of 24 bytes; ten balls of 24 bytes.
    const long long bytes = 68921LL * 4 + 64000 + 59319LL * 48 + 187200LL * 24;
    const std::string want = "ScreenWidth 640\nScreenHeight 480\nBallCount 10\nGridSize 40\n"
                             "samples 68921\ncubes 59319\nedges 187200\ngrid bytes " +
                             std::to_string(bytes) + "\nball bytes 240\n";
    EXPECT_EQ(run.Out, want);
}

// Settings the demo would fail on: info says so instead of the grid figures.
TEST(ToolInfo, SaysWhenTheDemoCouldNotMakeTheGridOrTheBalls) {
    const char* const kOptions[][2] = {{"640 480 0 10 0", "run-time error 201"},
                                       {"640 480 0 10 -3", "run-time error 201"},
                                       {"1 1 0 1 2000", "run-time error 201"},
                                       {"640 480 0 -1 8", "BallCount below 0"}};
    for (const auto& [options, says] : kOptions) {
        TScratchDir dir;
        dir.Write("options.txt", options);
        const TToolRun run = RunTool(dir, {"info"});
        EXPECT_EQ(run.Exit, 0) << options;
        EXPECT_NE(run.Out.find(says), std::string::npos) << options << ": " << run.Out;
        EXPECT_EQ(run.Out.find("samples"), std::string::npos) << options;
    }
}

} // namespace
