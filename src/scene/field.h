// The scene's field: a metaball field blended over time with a tube around a
// ring that pinches into a figure of eight, and the ball animation that
// drives it. No OpenGL here: the frame calls these between its GL calls, and
// tools and benchmarks call them without a context.
#pragma once

#include "grid/grid.h"
#include "scene/ball.h"

#include <cstdint>

// Fills every sample of Grid.Values for scene time T and the first Count
// balls (their Strength, X, Y, Z; writes their StrengthSqr and DistSqrYZ).
// Values grow towards the inside, so the grid's normals point inwards.
//
// Evaluation: quantities made once per call or per row (blend, pinch, y, z,
// the row term, the balls' scratch fields, the start of a row) are computed
// in double and rounded to 32 bits when stored; the per-sample arithmetic is
// 32-bit, one rounding per operation, balls summed in index order, x
// accumulated along the row.
//
// A sample on a ball's centre (denominator 0) would make an infinite term
// and a NaN sample; every term is capped at kMaxBallTerm (a NaN term becomes
// the cap) so that all stored values are finite.
void EvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count);

inline constexpr float kMaxBallTerm = 1.0e20f;

// The same, written the plain way: one sample and one ball at a time, on the
// calling thread. The fast EvaluateBallField matches it bit for bit; kept for
// the tests and the benchmarks.
void ReferenceEvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count);

// The field function the scene hands to TGrid: EvaluateBallField with the
// program state's SceneTime, Balls and BallCount.
void EvaluateField(TGrid& Grid);

// Scene time of a frame: ElapsedMs (signed) / 1000 + 20, rounded to 32 bits.
float SceneTimeAt(std::int32_t ElapsedMs);

// Moves the first Count balls to their places at scene time T and sets their
// strengths (X, Y, Z, then Strength; scratch fields untouched).
void MoveBalls(TBall* Balls, std::int32_t Count, float T);
