// sorvel2-tool: the demo's engine and scene from the command line.
//
//   info     the settings in options.txt and the grid they imply
//   export   one frame's surface as raw, ply or obj
//   render   frames drawn off-screen by the demo's own scene code, as PNG
//   bench    time per stage of the frame
//
// Each command is in its own file (tool_<command>.cpp); this one dispatches
// and holds info.
#include "app/options.h"
#include "grid/grid.h"
#include "runtime/runtime.h"
#include "scene/ball.h"
#include "scene/state.h"
#include "tool_commands.h"
#include "tool_common.h"

#include <cstdio>
#include <cstring>

namespace {

const char kHelp[] =
    "usage: sorvel2-tool <command> [options]\n"
    "\n"
    "Commands:\n"
    "  info     print the settings in options.txt and what they imply\n"
    "  export   write one frame's surface (raw, ply or obj)\n"
#ifdef SORVEL2_TOOL_RENDER
    "  render   draw frames off-screen with the demo's scene and write PNG files\n"
#endif
    "  bench    time the field, the polygoniser and the GL submission\n"
    "\n"
    "'sorvel2-tool <command> --help' tells more, 'sorvel2-tool --version' the\n"
    "version. Settings files and textures are read from the working directory,\n"
    "as the demo reads them: options.txt holds five integers (screen width,\n"
    "screen height, a value without meaning, the number of balls, the grid\n"
    "size), reflect.bmp and background.bmp are the demo's textures.\n"
    "\n"
    "Exit codes: 0 done; 1 an output that could not be written, no OpenGL\n"
    "context or a texture that cannot be loaded; 64 a bad command line;\n"
    "otherwise the demo's run-time error number (2 no options.txt, 106 a value\n"
    "that is not a number, 201 a ball count below 0 or a grid size below 1,\n"
    "203 out of memory).\n";


// Bytes of one array of Count elements of Size bytes, or -1 when the
// run-time would refuse it.
long long ArrayBytes(std::int64_t Count, std::size_t Size) {
    return CheckArrayLength(Count, Size) == 0 ? Count * static_cast<long long>(Size) : -1;
}

} // namespace

const char kInfoHelp[] =
    "usage: sorvel2-tool info\n"
    "\n"
    "Reads options.txt from the working directory exactly as the demo does (same\n"
    "errors, same exit codes) and prints the four settings, one per line, then\n"
    "what they imply for the grid: samples (GridSize + 1 cubed), cubes\n"
    "(GridSize - 1 cubed), crossable lattice edges, the bytes of the grid's six\n"
    "lattice arrays (samples, inside flags, cube wiring, the edge points of the\n"
    "three axes; the grid's few rows of scratch are not counted) and of the\n"
    "balls. When the demo could not make the grid or the balls with these\n"
    "settings (run-time error 201 at set-up), it says so instead.\n";

int RunInfo(int Argc, char** Argv) {
    TCommandLine line("info", {});
    if (!line.Parse(Argc, Argv)) return kExitUsage;

    ReadOptions();
    std::printf("ScreenWidth %d\nScreenHeight %d\nBallCount %d\nGridSize %d\n", ScreenWidth, ScreenHeight, BallCount,
                GridSize);
    if (ArrayBytes(BallCount, sizeof(TBall)) < 0) {
        std::printf("BallCount below 0: the demo ends at set-up with run-time error 201\n");
        return 0;
    }
    const TGrid::TCounts n = TGrid::CountsFor(GridSize, GridSize, GridSize);
    const long long parts[6] = {
        ArrayBytes(n.Values, sizeof(float)),       ArrayBytes(n.Inside, sizeof(std::uint8_t)),
        ArrayBytes(n.Cubes, sizeof(TCubeEdges)),   ArrayBytes(n.EdgesX, sizeof(TEdgeVertex)),
        ArrayBytes(n.EdgesY, sizeof(TEdgeVertex)), ArrayBytes(n.EdgesZ, sizeof(TEdgeVertex)),
    };
    long long bytes = 0;
    for (long long p : parts) {
        if (p < 0) {
            std::printf("GridSize %s: the demo ends at set-up with run-time error 201\n",
                        GridSize < 1 ? "below 1" : "too large for the grid's arrays");
            return 0;
        }
        bytes += p;
    }
    std::printf("samples %lld\ncubes %lld\nedges %lld\ngrid bytes %lld\nball bytes %lld\n",
                static_cast<long long>(n.Values), static_cast<long long>(n.Cubes),
                static_cast<long long>(n.EdgesX + n.EdgesY + n.EdgesZ), bytes,
                static_cast<long long>(BallCount) * static_cast<long long>(sizeof(TBall)));
    return 0;
}

int main(int argc, char** argv) {
    InitRuntime();
    if (argc < 2) {
        std::fputs(kHelp, stderr);
        return kExitUsage;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0 || std::strcmp(command, "help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (std::strcmp(command, "--version") == 0) {
        std::printf("sorvel2-tool %s\n", SORVEL2_VERSION);
        return 0;
    }
    struct TCommand {
        const char* Name;
        const char* Help;
        int (*Run)(int, char**);
    };
    static const TCommand kCommands[] = {
        {"info", kInfoHelp, RunInfo},
        {"export", kExportHelp, RunExport},
        {"bench", kBenchHelp, RunBench},
#ifdef SORVEL2_TOOL_RENDER
        {"render", kRenderHelp, RunRender},
#endif
    };
    for (const TCommand& c : kCommands) {
        if (std::strcmp(command, c.Name) != 0) continue;
        if (WantsHelp(argc - 2, argv + 2)) {
            std::fputs(c.Help, stdout);
            return 0;
        }
        return c.Run(argc - 2, argv + 2);
    }
#ifndef SORVEL2_TOOL_RENDER
    if (std::strcmp(command, "render") == 0) {
        std::fprintf(stderr, "sorvel2-tool: this build has no render command (built without OpenGL)\n");
        return kExitUsage;
    }
#endif
    std::fprintf(stderr, "sorvel2-tool: unknown command '%s' (see sorvel2-tool --help)\n", command);
    return kExitUsage;
}
