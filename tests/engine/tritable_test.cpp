#include "grid/tritable.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <set>
#include <vector>

namespace {

std::uint32_t Crc32(const unsigned char* p, std::size_t n) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::vector<int> Row(int c) {
    std::vector<int> r;
    for (int m = 0; TriTable[c][m] != -1; ++m) r.push_back(TriTable[c][m]);
    return r;
}

TEST(TriTable, Crc32OfTheFourKilobytes) {
    static_assert(sizeof(TriTable) == 4096);
    unsigned char bytes[4096];
    std::memcpy(bytes, TriTable, sizeof bytes);
    EXPECT_EQ(Crc32(bytes, sizeof bytes), 0xDF28C7D6u);
}

TEST(TriTable, EveryRowNamesExactlyTheCrossedEdgesInWholeTriangles) {
    std::map<int, int> histogram;
    for (int c = 0; c < 256; ++c) {
        const std::vector<int> r = Row(c);
        ASSERT_EQ(r.size() % 3, 0u) << "case " << c;
        ASSERT_EQ(TriTable[c][15], -1) << "case " << c;
        for (std::size_t m = r.size(); m < 16; ++m) EXPECT_EQ(TriTable[c][m], -1) << "case " << c;
        std::set<int> named(r.begin(), r.end());
        std::set<int> crossed;
        for (int e = 0; e < 12; ++e)
            if (((c >> kEdgeCorners[e][0]) & 1) != ((c >> kEdgeCorners[e][1]) & 1)) crossed.insert(e);
        EXPECT_EQ(named, crossed) << "case " << c;
        // The emission finds the points of kCrossedEdges once per cube and
        // looks every triangle's corners up among them.
        unsigned mask = 0;
        for (int e : named) mask |= 1u << e;
        EXPECT_EQ(kCrossedEdges[c], mask) << "case " << c;
        ++histogram[static_cast<int>(r.size() / 3)];
    }
    EXPECT_EQ(histogram, (std::map<int, int>{{0, 2}, {1, 16}, {2, 50}, {3, 80}, {4, 76}, {5, 32}}));
}

TEST(TriTable, TellingRows) {
    EXPECT_EQ(Row(1), (std::vector<int>{0, 8, 3}));
    EXPECT_EQ(Row(254), (std::vector<int>{0, 3, 8}));
    EXPECT_EQ(Row(61), (std::vector<int>{5, 7, 0, 5, 0, 9, 7, 11, 0, 1, 0, 10, 11, 10, 0}));
    EXPECT_EQ(Row(105), (std::vector<int>{0, 8, 2, 2, 8, 11, 4, 9, 10, 4, 10, 6}));
    EXPECT_EQ(Row(153), (std::vector<int>{0, 4, 2, 4, 6, 2}));
    EXPECT_TRUE(Row(0).empty());
    EXPECT_TRUE(Row(255).empty());
}

TEST(TriTable, TrianglesWindCounterClockwiseSeenFromTheInsideCorners) {
    // With crossings at edge midpoints (doubled integer coordinates), the
    // right-handed normal of (e0, e1, e2) points towards the set corners.
    auto mid = [](int e) {
        std::array<int, 3> p{};
        for (int a = 0; a < 3; ++a) p[a] = kCornerOffset[kEdgeCorners[e][0]][a] + kCornerOffset[kEdgeCorners[e][1]][a];
        return p;
    };
    for (int c = 0; c < 256; ++c) {
        const std::vector<int> r = Row(c);
        for (std::size_t m = 0; m < r.size(); m += 3) {
            auto p0 = mid(r[m]), p1 = mid(r[m + 1]), p2 = mid(r[m + 2]);
            std::array<int, 3> u{p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
            std::array<int, 3> v{p2[0] - p0[0], p2[1] - p0[1], p2[2] - p0[2]};
            std::array<int, 3> n{u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
            int dot = 0;
            for (int k = 0; k < 3; ++k) {
                const int e = r[m + k];
                const int a = kEdgeCorners[e][0], b = kEdgeCorners[e][1];
                const int set = ((c >> a) & 1) ? a : b, unset = set == a ? b : a;
                for (int q = 0; q < 3; ++q) dot += n[q] * (kCornerOffset[set][q] - kCornerOffset[unset][q]);
            }
            EXPECT_GT(dot, 0) << "case " << c << " triangle " << m / 3;
        }
    }
}

} // namespace
