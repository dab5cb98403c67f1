// sorvel2-tool export: one frame's surface as a file.
#include "mesh_writers.h"
#include "tool_commands.h"
#include "tool_common.h"

#include <cstdio>
#include <cstring>
#include <string>

const char kExportHelp[] =
    "usage: sorvel2-tool export --time-ms N [--grid S] [--balls B] [--field F] --format raw|ply|obj\n"
    "                           [-o FILE]\n"
    "\n"
    "Writes the surface of the frame the demo draws at ElapsedMs = N (scene time\n"
    "N / 1000 + 20 s, the balls moved as in that frame), polygonised by the engine.\n"
    "\n"
    "  --time-ms N   milliseconds since the frame loop began (-2147483648..2147483647)\n"
    "  --grid S      grid resolution (1 or more) instead of options.txt's\n"
    "  --balls B     number of balls (0 or more) instead of options.txt's\n"
    SORVEL2_FIELD_HELP
    "  --format F    raw, ply or obj\n"
    "  -o, --output FILE  output file (default, or '-': standard output)\n"
    "\n"
    "Settings come from options.txt in the working directory, read as the demo reads\n"
    "it (same errors and exit codes); --grid and --balls override its values. With\n"
    "both given, options.txt is not read. A grid or ball count the demo cannot use\n"
    "in options.txt ends with the demo's run-time error 201; as a flag it is refused.\n"
    "\n"
    "Formats:\n"
    "  raw  one line 'nx ny nz x y z' (%.9g) per vertex, in emission order: the exact\n"
    "       stream the demo hands to OpenGL, three lines per triangle. Normals are as\n"
    "       computed: they point into the surface and are not of unit length.\n"
    "       Vertices shared between triangles repeat.\n"
    "  ply  binary little endian, float x y z nx ny nz per vertex, uint indices.\n"
    "  obj  text, 'v', 'vn' and 'f v//n' lines.\n"
    "  ply and obj weld shared vertices: each crossed lattice edge is one vertex, used\n"
    "  by every triangle that touches it (by the edge point's identity, not by\n"
    "  comparing positions). Their normals point out of the surface with unit length\n"
    "  (0 0 0 where the field's gradient is zero), and each triangle runs\n"
    "  counter-clockwise seen from outside.\n"
    "\n"
    "Exit codes: 0 done; 1 the output could not be written; 64 a bad command line;\n"
    "otherwise the demo's run-time error number (2 no options.txt, 106, 201, 203).\n";

namespace {

const TFlagRule kOptions[] = {{"time-ms", true}, {"grid", true},  {"balls", true},
                              {"field", true},   {"format", true}, {"output", true, 'o'}};

} // namespace

int RunExport(int Argc, char** Argv) {
    TCommandLine line("export", kOptions);
    if (!line.Parse(Argc, Argv)) return kExitUsage;
    std::int32_t ms = 0;
    if (!line.Has("time-ms")) return line.Fail("--time-ms is required"), kExitUsage;
    if (!line.Int("time-ms", INT32_MIN, INT32_MAX, ms)) return kExitUsage;
    const char* format = line.Value("format");
    if (format == nullptr) return line.Fail("--format is required"), kExitUsage;
    const bool raw = std::strcmp(format, "raw") == 0, ply = std::strcmp(format, "ply") == 0,
               obj = std::strcmp(format, "obj") == 0;
    if (!raw && !ply && !obj) return line.Fail(std::string("unknown format '") + format + "'"), kExitUsage;
    const char* path = line.Has("output") ? line.Value("output") : "-";

    TFieldRoute route;
    if (!ResolveFieldRoute(line, route)) return kExitUsage;
    TToolSettings settings;
    if (!ResolveSettings(line, settings)) return kExitUsage;
    TSceneFrame frame(settings.Grid, settings.Balls);
    frame.Grid().Route = route;
    SetFrameTime(ms);

    std::FILE* out = OpenOutput("export", path, ply);
    if (out == nullptr) return kExitFailed;
    bool ok = true;
    if (raw) {
        frame.Grid().Polygonise(TRawSink{out});
        ok = std::ferror(out) == 0;
    } else {
        TMesh mesh;
        // Welding goes by the points' addresses: every point in the edge
        // arrays, where an address names one lattice edge.
        frame.Grid().SizeEdgeStore(0, 0);
        frame.Grid().Polygonise(TWeldingSink(mesh));
        const std::string comment = "sorvel2-tool export: time-ms " + std::to_string(ms) + ", grid " +
                                    std::to_string(settings.Grid) + ", balls " + std::to_string(settings.Balls);
        ok = ply ? WritePly(out, mesh, comment) : WriteObj(out, mesh, comment);
    }
    if (!CloseOutput("export", path, out) || !ok) return kExitFailed;
    return 0;
}
