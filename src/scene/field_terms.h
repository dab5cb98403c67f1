// The per-call and per-row quantities of the scene's field, computed in
// double and rounded to 32 bits when stored. The reference field and its
// fast paths both take them from here, so they round exactly alike; only
// the per-sample arithmetic (32-bit, one rounding per operation) is
// written out in each.
#pragma once

#include "grid/exact_float.h"
#include "scene/ball.h"

#include <cfloat>
#include <cmath>
#include <cstdint>

// Made once per call: blend factor b in [0, 1] and pinch term d.
struct TFieldFrame {
    float Blend;
    float Pinch;
};

inline TFieldFrame FieldFrameAt(float T) {
    const double t = T;
    return {static_cast<float>((std::sin(0.01981 * t) + 1.0) * 0.5),
            static_cast<float>(std::sin(2.1231 * t) * static_cast<double>(0.3f))};
}

// Made once per row of samples (iy, iz): its y and z, and the row term R of
// the analytic field.
struct TFieldRow {
    float Y;
    float Z;
    float R;
};

// The y (or z) of sample row i of n cells: (i - n / 2) * c with a real
// half, rounded to 32 bits.
inline float FieldCoordinate(std::int32_t i, std::int32_t n, float c) { return static_cast<float>((i - n / 2.0) * c); }

inline TFieldRow FieldRowAt(const TFieldFrame& Frame, std::int32_t iy, std::int32_t iz, std::int32_t nY,
                            std::int32_t nZ, float c) {
    const double r02 = static_cast<double>(0.2f), r03 = static_cast<double>(0.3f);
    TFieldRow row;
    row.Z = FieldCoordinate(iz, nZ, c);
    row.Y = FieldCoordinate(iy, nY, c);
    const double yy = static_cast<double>(row.Y) * row.Y - Frame.Pinch;
    const float w = static_cast<float>(std::sqrt(yy * yy + static_cast<double>(row.Z) * row.Z) - r03);
    row.R = static_cast<float>(r02 * r02 - static_cast<double>(w) * w + 0.01);
    return row;
}

// The x of the first sample of every row.
inline float FieldRowStart(std::int32_t nX, float c) { return static_cast<float>((-nX / 2.0) * c); }

// A ball's scratch values for a row at (y, z).
inline float BallStrengthSqr(const TBall& Ball) { return Ball.Strength * Ball.Strength; }
inline float BallDistSqrYZ(const TBall& Ball, float y, float z) {
    const double dy = static_cast<double>(y) - Ball.Y, dz = static_cast<double>(z) - Ball.Z;
    return static_cast<float>(dy * dy + dz * dz);
}
