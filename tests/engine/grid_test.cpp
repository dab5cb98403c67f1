#include "grid/grid.h"

#include <gtest/gtest.h>

namespace {

void NoField(TGrid&) {}

TEST(GridCreate, ArrayCountsOfSmallGrids) {
    TGrid one(1, 1, 1, 2.0f, 0, 0, 0, NoField);
    EXPECT_EQ(one.Values.Count(), 8);
    EXPECT_EQ(one.Inside.Count(), 1);
    EXPECT_EQ(one.Cubes.Count(), 0);
    EXPECT_EQ(one.EdgesX.Count() + one.EdgesY.Count() + one.EdgesZ.Count(), 0);

    TGrid g(4, 3, 2, 1.0f, 0, 0, 0, NoField);
    EXPECT_EQ(g.Values.Count(), 60);
    EXPECT_EQ(g.Inside.Count(), 24);
    EXPECT_EQ(g.Cubes.Count(), 6);
    EXPECT_EQ(g.EdgesX.Count(), 18);
    EXPECT_EQ(g.EdgesY.Count(), 16);
    EXPECT_EQ(g.EdgesZ.Count(), 12);
    for (float v : g.Values) EXPECT_EQ(v, 0.0f);

    // The last cube (2, 1, 0) reaches the last element of every edge array.
    const TCubeEdges& last = g.Cubes[5];
    EXPECT_EQ(last.Edge[10], 11u);
    EXPECT_EQ(last.Edge[5], 15u);
    EXPECT_EQ(last.Edge[6], 17u);
}

TEST(GridCreate, FixedCoordinatesUseARealHalf) {
    TGrid g(3, 3, 3, 1.0f, 0, 0, 0, NoField);
    // y-edge (i=2, j=0, k=1) is element j + (SizeY-1)(k + SizeZ i) = 14.
    EXPECT_EQ(g.EdgesY[14].Position.x, 0.5f);
    EXPECT_EQ(g.EdgesY[14].Position.z, -0.5f);
    EXPECT_EQ(g.EdgesY[14].Position.y, 0.0f) << "the moving coordinate starts at 0";
    // Sample coordinates along y seen through the x-edges: -1.5, -0.5, 0.5.
    EXPECT_EQ(g.EdgesX[0].Position.y, -1.5f);
    EXPECT_EQ(g.EdgesX[2].Position.y, -0.5f);
    EXPECT_EQ(g.EdgesX[4].Position.y, 0.5f);

    TGrid off(2, 2, 2, 0.5f, 10.0f, -3.0f, 7.0f, NoField);
    EXPECT_EQ(off.EdgesZ[0].Position.x, 9.5f);
    EXPECT_EQ(off.EdgesZ[0].Position.y, -3.5f);
}

TEST(GridCreate, SceneGridCoversMinusOneToOne) {
    const int s = 20;
    TGrid g(s, s, s, 2.0f / s, 0, 0, 0, NoField);
    EXPECT_EQ(g.CellSize, 0.1f);
    // z-edges of (i, j=0): their x runs over the surface samples -1.0 .. 0.9.
    EXPECT_EQ(g.EdgesZ[0].Position.x, -1.0f);
    EXPECT_FLOAT_EQ(g.EdgesZ[(s - 1) * (s - 1)].Position.x, 0.9f);
}

TEST(GridCreate, EveryCubeSlotReachesTheLatticeEdgeOfItsCorners) {
    const int sx = 5, sy = 4, sz = 3;
    TGrid g(sx, sy, sz, 1.0f, 0, 0, 0, NoField);
    auto coord = [](int n, int size) { return static_cast<float>(n - size / 2.0); };
    int cube = 0;
    for (int k = 0; k < sz - 1; ++k)
        for (int j = 0; j < sy - 1; ++j)
            for (int i = 0; i < sx - 1; ++i, ++cube)
                for (int e = 0; e < 12; ++e) {
                    const auto* lo = kCornerOffset[kEdgeCorners[e][0]];
                    const TEdgeVertex& v = g.CubeEdge(g.Cubes[cube], e);
                    const float x = coord(i + lo[0], sx), y = coord(j + lo[1], sy), z = coord(k + lo[2], sz);
                    const int axis = kEdgeAxis[e];
                    if (axis != 0) {
                        EXPECT_EQ(v.Position.x, x) << cube << " slot " << e;
                    }
                    if (axis != 1) {
                        EXPECT_EQ(v.Position.y, y) << cube << " slot " << e;
                    }
                    if (axis != 2) {
                        EXPECT_EQ(v.Position.z, z) << cube << " slot " << e;
                    }
                }
}

TEST(GridCreate, CountsAreWideAndTheByteLimitHolds) {
    // 356 is the largest size whose 48-byte cubes fit 2^31 - 1 bytes.
    for (int s : {1, 2, 100, 356}) {
        const TGrid::TCounts n = TGrid::CountsFor(s, s, s);
        EXPECT_EQ(CheckArrayLength(n.Values, 4) | CheckArrayLength(n.Cubes, sizeof(TCubeEdges)) |
                      CheckArrayLength(n.EdgesX, sizeof(TEdgeVertex)),
                  0)
            << s;
    }
    EXPECT_EQ(CheckArrayLength(TGrid::CountsFor(357, 357, 357).Cubes, sizeof(TCubeEdges)), kErrorRangeCheck);
    // 2000^3 wraps in 32 bits; computed wide it is simply too large.
    EXPECT_EQ(TGrid::CountsFor(2000, 2000, 2000).Inside, 8000000000LL);
}

TEST(GridCreate, NegativeSizesWithNoNegativeCountMakeAnEmptyGrid) {
    // (-2, -2, 3): every array count is a product of two negative factors
    // or of zero, so the grid exists, with nothing to classify or draw.
    const TGrid::TCounts n = TGrid::CountsFor(-2, -2, 3);
    EXPECT_EQ(n.Values, 4);
    EXPECT_EQ(n.Cubes, 18);
    TGrid g(-2, -2, 3, 1.0f, 0, 0, 0, [](TGrid& grid) { for (float& v : grid.Values) v = 1.0f; });
    int emitted = 0;
    g.Polygonise([&](const TEdgeVertex&) { ++emitted; });
    g.PrepareSurface();
    g.EmitTriangles([&](const TEdgeVertex&) { ++emitted; });
    EXPECT_EQ(emitted, 0);
    for (float v : g.Values) EXPECT_EQ(v, 1.0f) << "the field still runs";
}

TEST(GridCreateDeathTest, SizesBelowOneOrTooLargeAre201) {
    for (int s : {0, -1, -5, 357, 2000, 1700000}) {
        EXPECT_EXIT(TGrid(s, s, s, 2.0f / s, 0, 0, 0, NoField), testing::ExitedWithCode(201),
                    "^Error: Runtime error 201 at [0-9A-F]{8}\n$")
            << s;
    }
}

} // namespace
