// Arithmetic shared by the reference polygoniser and its fast paths, so that
// both round exactly alike: sample coordinates and the crossing point of a
// lattice edge.
#pragma once

#include "grid/exact_float.h"
#include "grid/vector.h"

#include <cfloat>
#include <cstdint>

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
