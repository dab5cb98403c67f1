// The crossed edges of one row of classified samples, found by comparing
// inside-bit masks and computed with the reference's arithmetic: shared by
// the dense layer walker (grid/surface.cpp) and the sparse route
// (grid/sparse_surface.cpp). Internal to the grid.
#pragma once

#include "grid/grid.h"
#include "grid/surface_math.h"

#include <cstdint>

// Fn(Base + b) for every set bit b of Bits, lowest first.
template <class Visit>
inline void ForEachBit(std::uint64_t Bits, std::int64_t Base, Visit&& Fn) {
    for (; Bits != 0; Bits &= Bits - 1) Fn(Base + __builtin_ctzll(Bits));
}

// Fn(i) for every sample i whose flag differs between the rows of bit
// masks A and B (Words words each): the crossed edges between two rows.
template <class Visit>
inline void ForEachDifference(const std::uint64_t* A, const std::uint64_t* B, std::int64_t Words, Visit&& Fn) {
    for (std::int64_t w = 0; w < Words; ++w) ForEachBit(A[w] ^ B[w], w * 64, Fn);
}

// Row (j, k), whose inside bits are Row ((SizeX + 63) / 64 words, bit i for
// sample i): its crossed x-edges, its y-edges to row j+1 (bits RowAbove;
// null for the last row) and its z-edges to layer k+1 (bits LayerAbove;
// null for the last layer). Each crossed edge gets its point and normal
// from the samples at its ends and their forward neighbours.
inline void CrossRow(const TSurfaceJob& Job, std::int64_t j, std::int64_t k, const std::uint64_t* Row,
                     const std::uint64_t* RowAbove, const std::uint64_t* LayerAbove) {
    TGrid& g = *Job.Grid;
    const std::int64_t sx = g.SizeX, sy = g.SizeY, sz = g.SizeZ, words = (sx + 63) / 64;
    const std::int64_t vx = sx + 1, vxy = (sx + 1) * (sy + 1), n0 = vx * j + vxy * k;
    const float* V = g.Values.Data();
    const float cell = g.CellSize;
    // Forward-difference gradient at sample index n.
    auto gradient = [&](std::int64_t n) { return TVector{V[n + 1] - V[n], V[n + vx] - V[n], V[n + vxy] - V[n]}; };

    // x-edges (i, j, k), i to sx-2: flag i differs from flag i+1.
    for (std::int64_t w = 0; w < words; ++w) {
        const std::uint64_t carry = w + 1 < words ? Row[w + 1] << 63 : 0;
        std::uint64_t d = Row[w] ^ (Row[w] >> 1 | carry);
        if (w == words - 1) d &= (sx - 1) % 64 == 0 ? 0 : ~0ull >> (64 - (sx - 1) % 64);
        ForEachBit(d, w * 64, [&](std::int64_t i) {
            const std::int64_t n = n0 + i;
            TEdgeVertex& e = g.EdgesX[static_cast<std::size_t>(i + (sx - 1) * (j + sy * k))];
            Crossing(V[n], V[n + 1], gradient(n), gradient(n + 1), Job.LineX[i], cell, e.Position.x, e.Normal);
        });
    }
    // y-edges (i, j, k), j to sy-2.
    if (RowAbove != nullptr) {
        ForEachDifference(Row, RowAbove, words, [&](std::int64_t i) {
            const std::int64_t n = n0 + i;
            TEdgeVertex& e = g.EdgesY[static_cast<std::size_t>(j + (sy - 1) * (k + sz * i))];
            Crossing(V[n], V[n + vx], gradient(n), gradient(n + vx), Job.LineY[j], cell, e.Position.y, e.Normal);
        });
    }
    // z-edges (i, j, k), k to sz-2.
    if (LayerAbove != nullptr) {
        ForEachDifference(Row, LayerAbove, words, [&](std::int64_t i) {
            const std::int64_t n = n0 + i;
            TEdgeVertex& e = g.EdgesZ[static_cast<std::size_t>(k + (sz - 1) * (i + sx * j))];
            Crossing(V[n], V[n + vxy], gradient(n), gradient(n + vxy), Job.LineZ[k], cell, e.Position.z, e.Normal);
        });
    }
}
