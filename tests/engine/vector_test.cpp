#include "grid/vector.h"

#include <gtest/gtest.h>

namespace {

TEST(Vector, OperationsWorkInPlaceAndAllowAliasing) {
    TVector a{1.5f, -2.0f, 3.25f};
    VectorScale(a, 1.0f);
    EXPECT_EQ(a.x, 1.5f);
    VectorScale(a, -1.0f);
    EXPECT_EQ(a.x, -1.5f);
    EXPECT_EQ(a.y, 2.0f);
    EXPECT_EQ(a.z, -3.25f);
    VectorAdd(a, a);
    EXPECT_EQ(a.x, -3.0f);
    EXPECT_EQ(a.z, -6.5f);
    VectorSub(a, a);
    EXPECT_EQ(a.x, 0.0f);
    EXPECT_EQ(a.y, 0.0f);
    EXPECT_EQ(a.z, 0.0f);
}

TEST(Vector, BlendSequenceOfTheEdgeNormal) {
    // G1 := G1 - G0; G1 := G1 * t; G1 := G1 + G0 gives G0 + t (G1 - G0).
    TVector g1{0, 0, 0};
    const TVector g0{-4, -4, -4};
    VectorSub(g1, g0);
    VectorScale(g1, 0.25f);
    VectorAdd(g1, g0);
    EXPECT_EQ(g1.x, -3.0f);
    EXPECT_EQ(g1.y, -3.0f);
    EXPECT_EQ(g1.z, -3.0f);

    // Each step rounds to 32 bits: 1 + 2^-24 is not representable.
    TVector a{1.0f, 0, 0};
    VectorAdd(a, TVector{5.9604645e-08f, 0, 0});
    EXPECT_EQ(a.x, 1.0f);
}

} // namespace
