// Cube numbering shared by the triangle table, the case index and the cube
// wiring of the grid.
//
// Corner n of the cube whose lowest corner is sample (i, j, k):
//   0 (i,j,k)  1 (i+1,j,k)  2 (i+1,j+1,k)  3 (i,j+1,k)
//   4..7: the same four at k+1.
// Bit n of a case index is set when corner n is inside (its sample > 0).
//
// Cube edge e joins two corners and lies on one lattice edge:
//   0: 0-1 x-edge (i,j,k)      4: 4-5 x-edge (i,j,k+1)     8: 0-4 z-edge (i,j,k)
//   1: 1-2 y-edge (i+1,j,k)    5: 5-6 y-edge (i+1,j,k+1)   9: 1-5 z-edge (i+1,j,k)
//   2: 2-3 x-edge (i,j+1,k)    6: 6-7 x-edge (i,j+1,k+1)  10: 2-6 z-edge (i+1,j+1,k)
//   3: 0-3 y-edge (i,j,k)      7: 4-7 y-edge (i,j,k+1)    11: 3-7 z-edge (i,j+1,k)
#pragma once

#include <array>
#include <cstdint>

// TriTable[case][m]: the m-th entry of the case's row. A row holds zero to
// five triangles, three cube edge numbers each, listed counter-clockwise as
// seen from the inside corners, then -1; every entry after the first -1 is
// -1 too, and position 15 always is.
extern const std::int8_t TriTable[256][16];

// The two corners that cube edge e joins.
inline constexpr std::uint8_t kEdgeCorners[12][2] = {
    {0, 1}, {1, 2}, {2, 3}, {0, 3}, {4, 5}, {5, 6}, {6, 7}, {4, 7}, {0, 4}, {1, 5}, {2, 6}, {3, 7},
};

// Bit e of kCrossedEdges[case]: cube edge e joins an inside and an outside
// corner, which makes it exactly the edges the case's row names.
inline constexpr std::array<std::uint16_t, 256> kCrossedEdges = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned c = 0; c < 256; ++c)
        for (unsigned e = 0; e < 12; ++e)
            if ((c >> kEdgeCorners[e][0] ^ c >> kEdgeCorners[e][1]) & 1) t[c] |= static_cast<std::uint16_t>(1u << e);
    return t;
}();

// Offset (dx, dy, dz) of cube corner n from the cube's lowest corner.
inline constexpr std::uint8_t kCornerOffset[8][3] = {
    {0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1},
};

// Axis of cube edge e (0 = x, 1 = y, 2 = z): which edge array its point is in.
inline constexpr std::uint8_t kEdgeAxis[12] = {0, 1, 0, 1, 0, 1, 0, 1, 2, 2, 2, 2};
