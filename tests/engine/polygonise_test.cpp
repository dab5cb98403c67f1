#include "grid/grid.h"
#include "support/recording_sink.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>

namespace {

// Field functions are plain function pointers; tests route them through this.
std::function<float(int, int, int)> gField;
int gFieldCalls = 0;

void TestField(TGrid& g) {
    ++gFieldCalls;
    for (int k = 0; k <= g.SizeZ; ++k)
        for (int j = 0; j <= g.SizeY; ++j)
            for (int i = 0; i <= g.SizeX; ++i)
                g.Values[i + (g.SizeX + 1) * (j + (g.SizeY + 1) * k)] = gField(i, j, k);
}

std::vector<TEdgeVertex> Polygonised(TGrid& g, std::function<float(int, int, int)> f) {
    gField = std::move(f);
    RecordingSink sink;
    g.Polygonise(sink);
    return sink.Vertices;
}

void ExpectVertex(const TEdgeVertex& v, TVector pos, TVector normal) {
    EXPECT_EQ(v.Position.x, pos.x);
    EXPECT_EQ(v.Position.y, pos.y);
    EXPECT_EQ(v.Position.z, pos.z);
    EXPECT_EQ(v.Normal.x, normal.x);
    EXPECT_EQ(v.Normal.y, normal.y);
    EXPECT_EQ(v.Normal.z, normal.z);
}

TEST(Polygonise, PlaneBetweenTwoLayersIsCase153) {
    TGrid g(2, 2, 2, 1.0f, 0, 0, 0, TestField);
    auto out = Polygonised(g, [](int i, int, int) { return 0.5f - static_cast<float>(i); });
    EXPECT_EQ(g.CaseIndex(0, 0, 0), 153u);
    ASSERT_EQ(out.size(), 6u);
    const TVector n{-1, 0, 0};
    const TVector want[6] = {{-0.5f, 0, -1}, {-0.5f, -1, 0}, {-0.5f, -1, -1},
                             {-0.5f, 0, -1}, {-0.5f, 0, 0},  {-0.5f, -1, 0}};
    for (int v = 0; v < 6; ++v) ExpectVertex(out[v], want[v], n);
}

TEST(Polygonise, SingleCornerIsCase1EmittedInReverse) {
    TGrid g(2, 2, 2, 1.0f, 0, 0, 0, TestField);
    auto out = Polygonised(g, [](int i, int j, int k) { return (i | j | k) == 0 ? 1.0f : -3.0f; });
    ASSERT_EQ(out.size(), 3u);
    const TVector n{-3, -3, -3};
    ExpectVertex(out[0], {-1, -0.75f, -1}, n);  // y-edge (0,0,0), table entry 3
    ExpectVertex(out[1], {-1, -1, -0.75f}, n);  // z-edge (0,0,0), entry 8
    ExpectVertex(out[2], {-0.75f, -1, -1}, n);  // x-edge (0,0,0), entry 0
}

TEST(Polygonise, UniformFieldsEmitNothingButCallTheFieldOnce) {
    TGrid g(4, 4, 4, 0.5f, 0, 0, 0, TestField);
    gFieldCalls = 0;
    EXPECT_TRUE(Polygonised(g, [](int, int, int) { return 1.0f; }).empty());
    EXPECT_TRUE(Polygonised(g, [](int, int, int) { return 0.0f; }).empty()) << "0.0 is outside";
    EXPECT_TRUE(Polygonised(g, [](int, int, int) { return -2.0f; }).empty());
    EXPECT_EQ(gFieldCalls, 3);

    TGrid flat(1, 5, 5, 1.0f, 0, 0, 0, TestField);
    EXPECT_TRUE(Polygonised(flat, [](int, int j, int) { return j == 2 ? 1.0f : -1.0f; }).empty());
    EXPECT_EQ(gFieldCalls, 4);
}

TEST(Polygonise, ZeroSampleNextToAPositiveOneGivesAVertexOnTheSample) {
    TGrid g(2, 2, 2, 1.0f, 0, 0, 0, TestField);
    // Sample (1,0,0) is exactly 0.0 (outside), (0,0,0) positive, the rest negative.
    auto out = Polygonised(g, [](int i, int j, int k) {
        if (i == 0 && j == 0 && k == 0) return 2.0f;
        if (i == 1 && j == 0 && k == 0) return 0.0f;
        return -1.0f;
    });
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].Position.x, 0.0f) << "t = 1 puts the x-edge vertex on sample (1,0,0)";
}

TEST(Polygonise, UpperLayerOnlyChangesNormals) {
    TGrid g(3, 3, 3, 1.0f, 0, 0, 0, TestField);
    auto base = [](int i, int j, int k) { return 1.2f - std::hypot(float(i) - 1, float(j) - 1, float(k) - 1); };
    auto a = Polygonised(g, base);
    auto b = Polygonised(g, [&](int i, int j, int k) { return (i == 3 || j == 3 || k == 3) ? 50.0f : base(i, j, k); });
    ASSERT_EQ(a.size(), b.size());
    ASSERT_FALSE(a.empty());
    bool normalsDiffer = false;
    for (std::size_t v = 0; v < a.size(); ++v) {
        EXPECT_EQ(a[v].Position.x, b[v].Position.x);
        EXPECT_EQ(a[v].Position.y, b[v].Position.y);
        EXPECT_EQ(a[v].Position.z, b[v].Position.z);
        normalsDiffer |= a[v].Normal.x != b[v].Normal.x || a[v].Normal.y != b[v].Normal.y;
    }
    EXPECT_TRUE(normalsDiffer);
}

// Which lattice edge an emitted vertex is: the sink receives references into
// the grid's own edge arrays, so a pointer identifies the lattice edge.
struct PointerSink {
    std::vector<const TEdgeVertex*> Vertices;
    void operator()(const TEdgeVertex& v) { Vertices.push_back(&v); }
};

struct EdgeId {
    int Axis;
    std::int64_t Index;
};
EdgeId Identify(const TGrid& g, const TEdgeVertex* v) {
    for (int axis = 0; axis < 3; ++axis) {
        const TEdgeVertex* base = g.EdgeArray(axis);
        const std::int64_t n = axis == 0 ? g.EdgesX.Count() : axis == 1 ? g.EdgesY.Count() : g.EdgesZ.Count();
        if (v >= base && v < base + n) return {axis, v - base};
    }
    ADD_FAILURE() << "emitted vertex is not an edge point of the grid";
    return {-1, -1};
}

// Random noise in [-1, 1] with every boundary sample of the surface lattice
// outside, so the surface must come out closed.
void CheckRandomSurface(int sx, int sy, int sz, unsigned seed) {
    SCOPED_TRACE(testing::Message() << sx << "x" << sy << "x" << sz << " seed " << seed);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> field(static_cast<std::size_t>((sx + 1) * (sy + 1) * (sz + 1)));
    for (float& f : field) f = noise(rng);
    const float cell = 0.25f, cx = 0.5f, cy = -1.0f, cz = 2.0f;
    TGrid g(sx, sy, sz, cell, cx, cy, cz, TestField);
    gField = [&](int i, int j, int k) {
        const bool boundary = i == 0 || j == 0 || k == 0 || i >= sx - 1 || j >= sy - 1 || k >= sz - 1;
        return boundary ? -0.5f : field[static_cast<std::size_t>(i + (sx + 1) * (j + (sy + 1) * k))];
    };
    PointerSink sink;
    g.Polygonise(sink);
    const auto& out = sink.Vertices;
    ASSERT_EQ(out.size() % 3, 0u);
    ASSERT_FALSE(out.empty());

    // Every vertex lies on a lattice edge whose two samples straddle 0.
    for (const TEdgeVertex* v : out) {
        const EdgeId id = Identify(g, v);
        std::int64_t i = 0, j = 0, k = 0, d[3] = {0, 0, 0};
        if (id.Axis == 0) {
            i = id.Index % (sx - 1), j = id.Index / (sx - 1) % sy, k = id.Index / (sx - 1) / sy;
        } else if (id.Axis == 1) {
            j = id.Index % (sy - 1), k = id.Index / (sy - 1) % sz, i = id.Index / (sy - 1) / sz;
        } else {
            k = id.Index % (sz - 1), i = id.Index / (sz - 1) % sx, j = id.Index / (sz - 1) / sx;
        }
        d[id.Axis] = 1;
        auto value = [&](std::int64_t a, std::int64_t b, std::int64_t c) {
            return g.Values[static_cast<std::size_t>(a + (sx + 1) * (b + (sy + 1) * c))];
        };
        EXPECT_NE(value(i, j, k) > 0, value(i + d[0], j + d[1], k + d[2]) > 0);
        const double lo[3] = {cx + (i - sx / 2.0) * cell, cy + (j - sy / 2.0) * cell, cz + (k - sz / 2.0) * cell};
        const float p[3] = {v->Position.x, v->Position.y, v->Position.z};
        for (int a = 0; a < 3; ++a) {
            if (a == id.Axis) {
                EXPECT_GE(p[a], lo[a] - 1e-5);
                EXPECT_LE(p[a], lo[a] + cell + 1e-5);
            } else {
                EXPECT_EQ(p[a], static_cast<float>(lo[a]));
            }
        }
    }

    // Closed and consistently wound: every directed side appears exactly
    // once, and its reverse exactly once.
    std::map<std::pair<const TEdgeVertex*, const TEdgeVertex*>, int> sides;
    for (std::size_t t = 0; t < out.size(); t += 3)
        for (int s = 0; s < 3; ++s) ++sides[{out[t + s], out[t + (s + 1) % 3]}];
    for (const auto& [side, count] : sides) {
        EXPECT_EQ(count, 1);
        const auto back = sides.find({side.second, side.first});
        ASSERT_NE(back, sides.end()) << "open side";
        EXPECT_EQ(back->second, 1);
    }
}

TEST(PolygoniseProperties, RandomFieldsGiveClosedSurfacesOnStraddlingEdges) {
    unsigned seed = 1;
    for (int s : {4, 5, 8, 13})
        for (int r = 0; r < 3; ++r) CheckRandomSurface(s, s, s, seed++);
    CheckRandomSurface(9, 5, 7, 99);
    CheckRandomSurface(4, 12, 6, 100);
}

} // namespace
