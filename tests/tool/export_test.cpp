// sorvel2-tool export set against the engine's own stream: the raw format
// must be that stream exactly, the ply and obj files the same triangles
// welded.
#include "grid/grid.h"
#include "scene/field.h"
#include "scene/state.h"
#include "support/recording_sink.h"
#include "tool_run.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TFrameCase {
    std::int32_t Grid;
    std::int32_t Balls;
    std::int32_t Ms;
};

// Small grids, odd and even, with and without balls, at several times
// (negative too: the elapsed time read as signed after 2^31 ms), and one
// large enough for the sparse route's edge store, whose room is reused
// within a frame (welding goes by the points' addresses).
const TFrameCase kFrames[] = {
    {7, 3, 2500}, {8, 3, 0}, {11, 10, 0}, {16, 0, 5000}, {13, 25, -3000}, {20, 10, 333333}, {101, 10, 2500},
};

// The demo's frame built here from its definitions: balls sized to the
// count, grid S^3 with cell 2/S about the origin, SceneTime for ElapsedMs,
// the balls moved, then Polygonise. EdgePoints: how many distinct edge
// points (by address in the grid) the stream used.
std::vector<TEdgeVertex> EngineStream(const TFrameCase& c, std::size_t* EdgePoints = nullptr) {
    BallCount = c.Balls;
    Balls.Create(c.Balls);
    TGrid grid(c.Grid, c.Grid, c.Grid, 2.0f / static_cast<float>(c.Grid), 0.0f, 0.0f, 0.0f, EvaluateField);
    SceneTime = SceneTimeAt(c.Ms);
    MoveBalls(Balls.Data(), BallCount, SceneTime);
    RecordingSink sink;
    std::set<const TEdgeVertex*> distinct;
    grid.Polygonise([&](const TEdgeVertex& v) {
        sink(v);
        distinct.insert(&v);
    });
    Balls.Release();
    if (EdgePoints != nullptr) *EdgePoints = distinct.size();
    return sink.Vertices;
}

std::vector<std::string> ExportArgs(const TFrameCase& c, const char* Format) {
    return {"export", "--time-ms", std::to_string(c.Ms), "--grid", std::to_string(c.Grid),
            "--balls", std::to_string(c.Balls), "--format", Format};
}

std::string Describe(const TFrameCase& c) {
    return "grid " + std::to_string(c.Grid) + " balls " + std::to_string(c.Balls) + " ms " + std::to_string(c.Ms);
}

bool Same(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// A welded mesh as read back from a file.
struct TReadMesh {
    std::vector<TVector> Positions;
    std::vector<TVector> Normals;
    std::vector<std::uint32_t> Corners;
};

// The binary little-endian ply that export writes: header lines, then the
// vertex and face records.
bool ParsePly(const std::string& Bytes, TReadMesh& Out) {
    const std::size_t end = Bytes.find("end_header\n");
    if (Bytes.rfind("ply\nformat binary_little_endian 1.0\n", 0) != 0 || end == std::string::npos) return false;
    std::istringstream header(Bytes.substr(0, end));
    std::string line;
    std::size_t vertices = 0, faces = 0;
    std::vector<std::string> properties;
    while (std::getline(header, line)) {
        std::istringstream words(line);
        std::string w, kind;
        words >> w;
        if (w == "element") {
            words >> kind;
            (kind == "vertex" ? vertices : faces) = std::stoul(words.str().substr(9 + kind.size()));
        } else if (w == "property") {
            properties.push_back(line);
        }
    }
    const std::vector<std::string> want = {"property float x",  "property float y",  "property float z",
                                           "property float nx", "property float ny", "property float nz",
                                           "property list uchar uint vertex_indices"};
    if (properties != want) return false;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(Bytes.data()) + end + 11;
    const unsigned char* stop = reinterpret_cast<const unsigned char*>(Bytes.data()) + Bytes.size();
    if (static_cast<std::size_t>(stop - p) != vertices * 24 + faces * 13) return false;
    auto u32 = [&]() {
        const std::uint32_t v = p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
        p += 4;
        return v;
    };
    auto f32 = [&]() { return std::bit_cast<float>(u32()); };
    for (std::size_t v = 0; v < vertices; ++v) {
        Out.Positions.push_back({f32(), f32(), f32()});
        Out.Normals.push_back({f32(), f32(), f32()});
    }
    for (std::size_t f = 0; f < faces; ++f) {
        if (*p++ != 3) return false;
        for (int c = 0; c < 3; ++c) Out.Corners.push_back(u32());
    }
    return true;
}

// The obj that export writes: v, vn, then f a//a b//b c//c lines.
bool ParseObj(const std::string& Text, TReadMesh& Out) {
    std::istringstream in(Text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string tag;
        words >> tag;
        if (tag == "v" || tag == "vn") {
            TVector v{};
            if (!(words >> v.x >> v.y >> v.z)) return false;
            (tag == "v" ? Out.Positions : Out.Normals).push_back(v);
        } else if (tag == "f") {
            for (int c = 0; c < 3; ++c) {
                std::string ref;
                words >> ref;
                const std::size_t slash = ref.find("//");
                if (slash == std::string::npos || ref.substr(0, slash) != ref.substr(slash + 2)) return false;
                const long index = std::stol(ref.substr(0, slash));
                if (index < 1) return false;
                Out.Corners.push_back(static_cast<std::uint32_t>(index - 1));
            }
        } else if (!tag.empty() && tag != "#") {
            return false;
        }
    }
    return Out.Positions.size() == Out.Normals.size();
}

TEST(ToolExport, RawIsTheEngineStreamExactly) {
    TScratchDir dir;
    for (const TFrameCase& c : kFrames) {
        const std::vector<TEdgeVertex> want = EngineStream(c);
        ASSERT_FALSE(want.empty()) << Describe(c) << ": pick a frame with a surface";
        const TToolRun run = RunTool(dir, ExportArgs(c, "raw"));
        ASSERT_EQ(run.Exit, 0) << Describe(c) << run.Err;
        std::istringstream lines(run.Out);
        std::string line;
        std::size_t n = 0;
        while (std::getline(lines, line)) {
            ASSERT_LT(n, want.size()) << Describe(c) << ": more lines than vertices";
            // Six numbers, each written with nine significant digits.
            float f[6];
            std::istringstream words(line);
            std::string word;
            for (float& x : f) {
                ASSERT_TRUE(words >> word) << line;
                x = std::strtof(word.c_str(), nullptr);
                char again[32];
                std::snprintf(again, sizeof again, "%.9g", static_cast<double>(x));
                EXPECT_EQ(word, again);
            }
            EXPECT_FALSE(words >> word) << line;
            const TEdgeVertex& w = want[n];
            const float expected[6] = {w.Normal.x, w.Normal.y, w.Normal.z, w.Position.x, w.Position.y, w.Position.z};
            for (int i = 0; i < 6; ++i) EXPECT_TRUE(Same(f[i], expected[i])) << Describe(c) << " line " << n << ": " << line;
            ++n;
        }
        EXPECT_EQ(n, want.size()) << Describe(c);
        // Every sample evaluated gives the same bytes.
        std::vector<std::string> dense = ExportArgs(c, "raw");
        dense.insert(dense.end(), {"--field", "dense"});
        const TToolRun all = RunTool(dir, dense);
        ASSERT_EQ(all.Exit, 0) << Describe(c) << all.Err;
        EXPECT_TRUE(all.Out == run.Out) << Describe(c) << ": --field dense differs";
    }
}

// The welded file against the stream: one vertex per distinct edge point,
// one face per emitted triple, in order, with the stream's positions and its
// normals turned outwards at unit length.
void ExpectWeldedStream(const TReadMesh& m, const TFrameCase& c, const std::string& what) {
    std::size_t edgePoints = 0;
    const std::vector<TEdgeVertex> want = EngineStream(c, &edgePoints);
    ASSERT_EQ(m.Corners.size(), want.size()) << what;
    EXPECT_EQ(m.Positions.size(), edgePoints) << what << ": one vertex per edge point";
    for (std::uint32_t k : m.Corners) ASSERT_LT(k, m.Positions.size()) << what << ": face refers past the vertices";

    std::set<std::uint32_t> used;
    for (std::size_t i = 0; i < want.size(); ++i) {
        used.insert(m.Corners[i]);
        const TVector& p = m.Positions[m.Corners[i]];
        const TVector& n = m.Normals[m.Corners[i]];
        const TEdgeVertex& w = want[i];
        EXPECT_TRUE(Same(p.x, w.Position.x) && Same(p.y, w.Position.y) && Same(p.z, w.Position.z))
            << what << " corner " << i;
        const double len = std::sqrt(double(w.Normal.x) * w.Normal.x + double(w.Normal.y) * w.Normal.y +
                                     double(w.Normal.z) * w.Normal.z);
        ASSERT_GT(len, 0.0);
        EXPECT_NEAR(n.x, -w.Normal.x / len, 1e-6) << what << " corner " << i;
        EXPECT_NEAR(n.y, -w.Normal.y / len, 1e-6) << what << " corner " << i;
        EXPECT_NEAR(n.z, -w.Normal.z / len, 1e-6) << what << " corner " << i;
    }
    EXPECT_EQ(used.size(), m.Positions.size()) << what << ": every vertex is a corner of some face";
}

// Seen from outside (where the written normals point) the corners of a face
// run counter-clockwise: the right-hand normal agrees with the vertex normals.
void ExpectCounterClockwise(const TReadMesh& m, const std::string& what) {
    std::size_t agree = 0, faces = m.Corners.size() / 3;
    for (std::size_t f = 0; f < faces; ++f) {
        const TVector& a = m.Positions[m.Corners[3 * f]];
        const TVector& b = m.Positions[m.Corners[3 * f + 1]];
        const TVector& d = m.Positions[m.Corners[3 * f + 2]];
        const double ux = b.x - a.x, uy = b.y - a.y, uz = b.z - a.z;
        const double vx = d.x - a.x, vy = d.y - a.y, vz = d.z - a.z;
        double nx = 0, ny = 0, nz = 0;
        for (int k = 0; k < 3; ++k) {
            const TVector& n = m.Normals[m.Corners[3 * f + k]];
            nx += n.x, ny += n.y, nz += n.z;
        }
        if ((uy * vz - uz * vy) * nx + (uz * vx - ux * vz) * ny + (ux * vy - uy * vx) * nz > 0.0) ++agree;
    }
    ASSERT_GT(faces, 0u);
    // On coarse grids a few slivers tilt against the smooth normals (all but
    // a handful agree on fine ones); a reversed winding would agree on almost
    // none.
    EXPECT_GT(agree * 4, faces * 3) << what << ": " << agree << " of " << faces;
}

// Both files, for every frame: the stream welded, faces wound outwards (the
// same corners in both, so one winding check covers both).
TEST(ToolExport, PlyAndObjAreTheStreamWelded) {
    TScratchDir dir;
    for (const TFrameCase& c : kFrames) {
        std::vector<std::string> args = ExportArgs(c, "ply");
        args.insert(args.end(), {"-o", "frame.ply"});
        const TToolRun ply = RunTool(dir, args);
        ASSERT_EQ(ply.Exit, 0) << ply.Err;
        EXPECT_EQ(ply.Out, "");
        const TToolRun obj = RunTool(dir, ExportArgs(c, "obj"));
        ASSERT_EQ(obj.Exit, 0) << obj.Err;
        TReadMesh plyMesh, objMesh;
        ASSERT_TRUE(ParsePly(dir.Read("frame.ply"), plyMesh)) << Describe(c);
        ASSERT_TRUE(ParseObj(obj.Out, objMesh)) << Describe(c);
        ExpectWeldedStream(plyMesh, c, "ply " + Describe(c));
        ExpectWeldedStream(objMesh, c, "obj " + Describe(c));
        ExpectCounterClockwise(objMesh, "obj " + Describe(c));
    }
}

TEST(ToolExport, SettingsComeFromTheFileUnlessBothFlagsAreGiven) {
    TScratchDir dir;
    dir.Write("options.txt", "320 200 0 4 9");
    const std::vector<std::string> base = {"export", "--time-ms", "750", "--format", "raw"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = base;
        a.insert(a.end(), extra.begin(), extra.end());
        return RunTool(dir, a);
    };
    const std::string fromFile = with({}).Out;
    const std::vector<TEdgeVertex> want = EngineStream({9, 4, 750});
    EXPECT_EQ(std::count(fromFile.begin(), fromFile.end(), '\n'), static_cast<long>(want.size()));
    EXPECT_EQ(with({"--grid", "9", "--balls", "4"}).Out, fromFile);
    EXPECT_EQ(with({"--grid", "9"}).Out, fromFile) << "balls from the file";
    EXPECT_EQ(with({"--balls", "4"}).Out, fromFile) << "grid from the file";
    EXPECT_NE(with({"--balls", "3"}).Out, fromFile) << "the flag overrides the file";

    TScratchDir bare;  // no options.txt: needed only when a flag is missing
    EXPECT_EQ(RunTool(bare, {"export", "--time-ms", "750", "--format", "raw", "--grid", "9", "--balls", "4"}).Out,
              fromFile);
}

TEST(ToolExport, OneCellGridHasNoSurface) {
    TScratchDir dir;
    for (const char* format : {"raw", "obj"}) {
        const TToolRun run = RunTool(dir, {"export", "--time-ms", "0", "--grid", "1", "--balls", "3", "--format", format});
        EXPECT_EQ(run.Exit, 0) << run.Err;
        EXPECT_EQ(run.Out.find("\nf "), std::string::npos) << format;
        if (std::string(format) == "raw") {
            EXPECT_EQ(run.Out, "");
        }
    }
}

} // namespace
