// The inner loops of the fast polygoniser that differ by instruction level
// (grid/simd.h). Each level gives the same results; the table of the level
// in use is picked per call.
#pragma once

#include "grid/simd.h"

#include <cstdint>

struct TEdgeVertex;

// Crossed edges of one axis to compute (grid/crossings.h): edge q runs from
// sample Samples[q] (an index into Values) to the sample Step further on,
// its element is Edges[Elements[q]], whose coordinate Axis moves from the
// running coordinate Starts[q].
struct TCrossBatch {
    const float* Values;
    std::int64_t RowStride;    // from a sample to the next along y
    std::int64_t LayerStride;  // and along z
    std::int64_t Step;         // 1, RowStride or LayerStride: the edge's axis
    const std::int32_t* Samples;
    const std::int32_t* Elements;
    const float* Starts;
    std::int32_t Count;
    float CellSize;
    TEdgeVertex* Edges;
    int Axis;
};

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

    // The point and normal of every edge of Batch, as Crossing (in
    // grid/surface_math.h) computes them from the values at its ends and
    // the forward differences there.
    void (*Crossings)(const TCrossBatch& Batch);
};

// The kernels of the polygoniser's level (KernelLevel(kSurfaceKernels)).
const TSurfaceKernels& SurfaceKernels();

// Seconds a small fixed job of the kernels takes at Level (a TKernelProbe):
// mostly crossings, as on the sparse route, and a few dense rows.
double ProbeSurfaceKernels(TSimdLevel Level);
