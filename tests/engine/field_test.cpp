#include "scene/field.h"

#include "scene/state.h"
#include "support/recording_sink.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>

namespace {

// Scene times at which the blend factor is (almost) 0 or 1.
const float kBallsOnly = static_cast<float>(1.5 * std::numbers::pi / 0.01981);
const float kTubeOnly = static_cast<float>(0.5 * std::numbers::pi / 0.01981);

void Unused(TGrid&) {}

TEST(BallAnimation, FirstFrameValues) {
    EXPECT_EQ(SceneTimeAt(0), 20.0f);
    EXPECT_EQ(SceneTimeAt(1234), 21.234f);
    EXPECT_LT(SceneTimeAt(INT32_MIN), 0.0f) << "after 2^31 ms the elapsed time reads as negative";

    TBall balls[11] = {};
    MoveBalls(balls, 11, SceneTimeAt(0));
    EXPECT_NEAR(balls[0].X, 0.0025, 5e-5);
    EXPECT_NEAR(balls[0].Y, -0.2910, 5e-5);
    EXPECT_NEAR(balls[0].Z, 0.1923, 5e-5);
    EXPECT_NEAR(balls[0].Strength, 0.1367, 5e-5);
    EXPECT_FLOAT_EQ(balls[10].Strength, balls[0].Strength) << "phases repeat every ten balls";
    EXPECT_EQ(balls[0].StrengthSqr, 0.0f) << "scratch fields are the field's business";
    for (const TBall& b : balls) {
        EXPECT_LE(std::fabs(b.X), 0.5f);
        EXPECT_LE(std::fabs(b.Y), 0.5f);
        EXPECT_LE(std::fabs(b.Z), 0.5f);
        EXPECT_GE(b.Strength, 0.12f - 1e-6f);
        EXPECT_LE(b.Strength, 0.20f + 1e-6f);
    }
}

TEST(Field, WritesEverySampleIncludingTheLastLayers) {
    for (int s : {1, 2, 3, 8}) {
        TGrid g(s, s, s, 2.0f / s, 0, 0, 0, Unused);
        for (float& v : g.Values) v = std::numeric_limits<float>::quiet_NaN();
        TBall balls[3] = {};
        MoveBalls(balls, 3, 20.0f);
        EvaluateBallField(g, 20.0f, balls, 3);
        for (float v : g.Values) ASSERT_TRUE(std::isfinite(v)) << s;
        EXPECT_EQ(balls[2].StrengthSqr, balls[2].Strength * balls[2].Strength);
    }
}

TEST(Field, NoBallsShowsTheTubeAtFullWeight) {
    // With no balls every sample is G: positive exactly inside the tube
    // x^2 + w^2 < 0.05, whatever the blend factor.
    const int s = 24;
    TGrid g(s, s, s, 2.0f / s, 0, 0, 0, Unused);
    for (float T : {20.0f, 21.7f, kBallsOnly}) {
        EvaluateBallField(g, T, nullptr, 0);
        const double d = std::sin(2.1231 * T) * 0.3;
        int inside = 0;
        for (int k = 0; k <= s; ++k)
            for (int j = 0; j <= s; ++j)
                for (int i = 0; i <= s; ++i) {
                    const double x = -1.0 + i * (2.0 / s), y = -1.0 + j * (2.0 / s), z = -1.0 + k * (2.0 / s);
                    const double w = std::sqrt((y * y - d) * (y * y - d) + z * z) - 0.3;
                    const double want = 0.05 - x * x - w * w;
                    const float got = g.Values[i + (s + 1) * (j + (s + 1) * k)];
                    EXPECT_NEAR(got, want, 1e-5) << i << " " << j << " " << k;
                    inside += got > 0;
                }
        EXPECT_GT(inside, 0) << T;
    }
}

TEST(Field, BlendEndsShowBallsAloneOrTubeAlone) {
    const int s = 16;
    TGrid g(s, s, s, 2.0f / s, 0, 0, 0, Unused);
    // A lone ball of strength 0.3 at (0.25, 0, 0), on a sample.
    TBall ball{0.3f, 0, 0.25f, 0, 0, 0};
    EvaluateBallField(g, kBallsOnly, &ball, 1);
    for (int k = 0; k <= s; ++k)
        for (int j = 0; j <= s; ++j)
            for (int i = 0; i <= s; ++i) {
                const double x = -1.0 + i / 8.0, y = -1.0 + j / 8.0, z = -1.0 + k / 8.0;
                const double r2 = (x - 0.25) * (x - 0.25) + y * y + z * z;
                const float v = g.Values[i + (s + 1) * (j + (s + 1) * k)];
                if (r2 == 0) continue;
                EXPECT_NEAR(v, 0.09 / r2 - 1.0, 1e-5 * std::max(1.0, 0.09 / r2)) << i << " " << j << " " << k;
                if (r2 < 0.09 * 0.99) {
                    EXPECT_GT(v, 0.0f);
                }
                if (r2 > 0.09 * 1.01) {
                    EXPECT_LT(v, 0.0f);
                }
            }

    TGrid tube(s, s, s, 2.0f / s, 0, 0, 0, Unused);
    EvaluateBallField(g, kTubeOnly, &ball, 1);
    EvaluateBallField(tube, kTubeOnly, nullptr, 0);
    const int centre = 10 + (s + 1) * (8 + (s + 1) * 8); // the ball's own sample
    for (int n = 0; n < g.Values.Count(); ++n)
        if (n != centre) {
            EXPECT_NEAR(g.Values[n], tube.Values[n], 1e-6);
        }
}

TEST(Field, SampleOnABallCentreStaysFinite) {
    // Grid 4 has exact samples at 0; a ball there divides 0 by 0 or s^2 by 0.
    TGrid g(4, 4, 4, 0.5f, 0, 0, 0, Unused);
    for (float strength : {0.15f, 0.0f}) {
        TBall balls[2] = {{strength, 0, 0, 0, 0, 0}, {strength, 0, 0, 0, 0, 0}};
        EvaluateBallField(g, 20.0f, balls, 2);
        for (float v : g.Values) ASSERT_TRUE(std::isfinite(v));
        EXPECT_GT(g.Values[2 + 5 * (2 + 5 * 2)], 1.0e19f) << "the centre reads as deep inside";
        RecordingSink sink;
        g.EmitTriangles(sink);
    }
}

// Counts the emitted triangles whose right-handed normal (vertices in
// emission order) points against the sum of their emitted normals, and those
// whose normal points along it.
std::pair<int, int> Orientation(TGrid& g) {
    RecordingSink sink;
    g.Polygonise(sink); // the test's field function leaves the values alone
    const auto& v = sink.Vertices;
    int against = 0, along = 0;
    for (std::size_t t = 0; t < v.size(); t += 3) {
        const TVector& a = v[t].Position;
        const TVector& b = v[t + 1].Position;
        const TVector& c = v[t + 2].Position;
        const double u[3] = {b.x - a.x, b.y - a.y, b.z - a.z}, w[3] = {c.x - a.x, c.y - a.y, c.z - a.z};
        const double n[3] = {u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0]};
        double dot = 0;
        for (int q = 0; q < 3; ++q) dot += n[0] * v[t + q].Normal.x + n[1] * v[t + q].Normal.y + n[2] * v[t + q].Normal.z;
        (dot < 0 ? against : along) += 1;
    }
    return {against, along};
}

TEST(Field, SurfaceWindsCounterClockwiseFromOutsideWithInwardNormals) {
    const int s = 32;
    TGrid g(s, s, s, 2.0f / s, 0, 0, 0, Unused);
    // A lone ball: a convex surface, so every triangle must agree.
    TBall ball{0.35f, 0, 0.1f, 0.05f, -0.07f, 0};
    EvaluateBallField(g, kBallsOnly, &ball, 1);
    auto [against, along] = Orientation(g);
    EXPECT_GT(against, 300);
    EXPECT_EQ(along, 0);

    // The scene: where balls merge, forward-difference normals of a coarse
    // grid can disagree with a few small triangles near the saddles, so
    // only a tiny share may point along.
    TArray<TBall> balls;
    balls.Create(10);
    for (std::int32_t ms : {0, 1234, 60000, 150000, 222222}) {
        const float T = SceneTimeAt(ms);
        MoveBalls(balls.Data(), 10, T);
        EvaluateBallField(g, T, balls.Data(), 10);
        std::tie(against, along) = Orientation(g);
        EXPECT_GT(against, 300) << ms;
        EXPECT_LE(along * 200, against) << ms;
    }
}

TEST(Field, FieldFunctionReadsTheProgramState) {
    TGrid g(6, 6, 6, 2.0f / 6, 0, 0, 0, EvaluateField);
    TGrid ref(6, 6, 6, 2.0f / 6, 0, 0, 0, Unused);
    BallCount = 3;
    Balls.Create(3);
    SceneTime = 27.5f;
    MoveBalls(Balls.Data(), BallCount, SceneTime);
    RecordingSink sink;
    g.Polygonise(sink);
    TBall copy[3] = {Balls[0], Balls[1], Balls[2]};
    EvaluateBallField(ref, 27.5f, copy, 3);
    for (int n = 0; n < g.Values.Count(); ++n) ASSERT_EQ(g.Values[n], ref.Values[n]);
    BallCount = 0;
    Balls.Release();
}

} // namespace
