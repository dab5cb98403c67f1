#include "scene/field.h"

#include "scene/state.h"

#include <cmath>
#include <memory>
#include <numbers>

TBallScene ProgramBalls() { return {SceneTime, Balls.Data(), BallCount}; }

void EvaluateField(TGrid& Grid) { BallFieldFrom<ProgramBalls>(Grid); }

void UseSceneBlockField(TGrid& Grid) { UseBallBlockField(Grid, BallCount, ProgramBalls); }

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
