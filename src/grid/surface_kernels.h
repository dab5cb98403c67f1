// The inner loops of the fast polygoniser that differ by instruction level
// (grid/simd.h). Each level gives the same results; the table of the level
// in use is picked per call.
#pragma once

#include "grid/simd.h"

#include <cstdint>

struct TSurfaceKernels {
    // Classifies Count samples (Values[i] > 0.0f): bit i % 64 of
    // Bits[i / 64] is set for an inside sample, and the bits of the last
    // word past Count are clear. When Inside is not null, also stores each
    // flag there as a byte 0 or 1.
    void (*ClassifyRow)(const float* Values, std::int64_t Count, std::uint8_t* Inside, std::uint64_t* Bits);

    // For the cubes 0 .. Count-1 of a row whose corner 0 flags start at
    // Row (Row[i] for cube i, Row[i + 1], Row[i + RowStride], ...,
    // Row[i + LayerStride + RowStride + 1] for its other corners): stores
    // the position and case index of every cube whose case is neither 0
    // nor 255, in order, and returns how many there are.
    std::int32_t (*ActiveCubes)(const std::uint8_t* Row, std::int64_t RowStride, std::int64_t LayerStride,
                                std::int32_t Count, std::uint16_t* Where, std::uint8_t* Cases);
};

// The kernels of the polygoniser's level (KernelLevel(kSurfaceKernels)).
const TSurfaceKernels& SurfaceKernels();

// Seconds a small fixed job of the kernels takes at Level (a TKernelProbe).
double ProbeSurfaceKernels(TSimdLevel Level);
