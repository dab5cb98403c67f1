#include "scene/field.h"

#include "scene/state.h"

#include <cmath>
#include <numbers>

void EvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count) {
    const double t = T;
    // Blend factor in [0, 1], period about 317 s; pinch term in [-0.3, 0.3].
    const float b = static_cast<float>((std::sin(0.01981 * t) + 1.0) * 0.5);
    const float d = static_cast<float>(std::sin(2.1231 * t) * static_cast<double>(0.3f));
    const float c = Grid.CellSize;
    const std::int32_t nX = Grid.SizeX, nY = Grid.SizeY, nZ = Grid.SizeZ;
    const double r02 = static_cast<double>(0.2f), r03 = static_cast<double>(0.3f);
    float* out = Grid.Values.Data();

    for (std::int32_t iz = 0; iz <= nZ; ++iz) {
        for (std::int32_t iy = 0; iy <= nY; ++iy) {
            const float z = static_cast<float>((iz - nZ / 2.0) * c);
            const float y = static_cast<float>((iy - nY / 2.0) * c);
            float x = static_cast<float>((-nX / 2.0) * c);
            float* v = out + static_cast<std::int64_t>(nX + 1) * ((static_cast<std::int64_t>(nY) + 1) * iz + iy);

            const double yy = static_cast<double>(y) * y - d;
            const float w = static_cast<float>(std::sqrt(yy * yy + static_cast<double>(z) * z) - r03);
            const float R = static_cast<float>(r02 * r02 - static_cast<double>(w) * w + 0.01);

            for (std::int32_t n = 0; n < Count; ++n) {
                TBall& ball = Balls[n];
                ball.StrengthSqr = ball.Strength * ball.Strength;
                const double dy = static_cast<double>(y) - ball.Y, dz = static_cast<double>(z) - ball.Z;
                ball.DistSqrYZ = static_cast<float>(dy * dy + dz * dz);
            }

            for (std::int32_t ix = 0; ix <= nX; ++ix) {
                const float G = R - x * x;
                float V = G;
                if (Count != 0) {
                    float H = -1.0f;
                    for (std::int32_t n = 0; n < Count; ++n) {
                        const TBall& ball = Balls[n];
                        const float dx = x - ball.X;
                        float term = ball.StrengthSqr / (dx * dx + ball.DistSqrYZ);
                        // Written as a min so that NaN also gives the cap.
                        term = term < kMaxBallTerm ? term : kMaxBallTerm;
                        H = H + term;
                    }
                    V = H + (G - H) * b;
                }
                *v++ = V;
                x = x + c;
            }
        }
    }
}

void EvaluateField(TGrid& Grid) { EvaluateBallField(Grid, SceneTime, Balls.Data(), BallCount); }

float SceneTimeAt(std::int32_t Ms) { return static_cast<float>(Ms / 1000.0 + 20.0); }

void MoveBalls(TBall* Balls, std::int32_t Count, float T) {
    const double t = T;
    for (std::int32_t n = 0; n < Count; ++n) {
        const double i = n;
        TBall& ball = Balls[n];
        ball.X = static_cast<float>(-0.5 * std::cos(t / std::sqrt(i + 2.0)));
        ball.Y = static_cast<float>(-0.5 * std::sin(t / std::sqrt(i + 2.3)));
        ball.Z = static_cast<float>(-0.5 * std::sin(t / std::sqrt(i + 2.7)));
        ball.Strength = static_cast<float>((2.0 * std::sin(1.1307 * t + (i / 10.0) * 2.0 * std::numbers::pi) + 8.0) * 0.02);
    }
}
