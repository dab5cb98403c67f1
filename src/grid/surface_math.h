// Arithmetic shared by the reference polygoniser and its fast paths, so that
// both round exactly alike: sample coordinates and the crossing point of a
// lattice edge.
#pragma once

#include "grid/vector.h"

#include <cfloat>
#include <cstdint>

// The results are the same bit for bit on every route, level and thread
// count, and the sparse route's bounds hold, only if every operation is
// rounded once to its type as written: no fast-math, no wider intermediates.
// NOTE: the build sets the flags (cmake/Sorvel2Defaults.cmake); this stops a
// build that overrides them.
#if defined(__FAST_MATH__)
#error "sorvel2's field and polygoniser need IEEE arithmetic: build without -ffast-math"
#endif
#if !defined(FLT_EVAL_METHOD) || FLT_EVAL_METHOD != 0
#error "sorvel2's field and polygoniser need float and double evaluated in their own precision (FLT_EVAL_METHOD 0)"
#endif

// A sample coordinate: (n - Size/2) * CellSize + Center, with a real half,
// evaluated in double and rounded once to 32 bits.
inline float SampleCoordinate(std::int64_t n, std::int32_t Size, float CellSize, float Center) {
    return static_cast<float>((static_cast<double>(n) - static_cast<double>(Size) / 2.0) * CellSize + Center);
}

// The running coordinate at the start of a line of edges: the coordinate
// of sample 0, rounded to 32 bits.
inline float LineStart(std::int32_t Size, float CellSize, float Center) {
    return SampleCoordinate(0, Size, CellSize, Center);
}

// The interpolated surface point on a crossed edge between samples a (first
// endpoint, at running coordinate Start) and b, with the forward-difference
// gradients G0 and G1 at the two endpoints. Writes the moving coordinate
// through Moving and the normal.
inline void Crossing(float a, float b, TVector G0, TVector G1, float Start, float CellSize, float& Moving,
                     TVector& Normal) {
    // Exactly one of a and b is > 0, so a - b is never 0 and t is in 0..1.
    const float t = static_cast<float>(static_cast<double>(a) / (static_cast<double>(a) - static_cast<double>(b)));
    Moving = static_cast<float>(static_cast<double>(t) * CellSize + Start);
    VectorSub(G1, G0);
    VectorScale(G1, t);
    VectorAdd(G1, G0);
    Normal = G1;
}
