// The crossed edges of classified samples, found by comparing inside-bit
// masks and computed with the reference's arithmetic (by the instruction
// level's kernel, grid/surface_kernels.h): shared by the dense layer walker
// (grid/surface.cpp) and the sparse route (grid/sparse_surface.cpp).
// Internal to the grid.
#pragma once

#include "grid/grid.h"
#include "grid/surface_kernels.h"
#include "grid/surface_math.h"

#include <cstdint>

// The crossed edges of one axis waiting to be computed, a few hundred at a
// time, so that the instruction level's kernel takes them many at once.
// An edge writes only its own element, so the order they are computed in
// does not matter.
class TEdgeBatch {
public:
    TEdgeBatch(const TSurfaceJob& Job, int Axis) : Kernels_(*Job.Kernels) {
        TGrid& g = *Job.Grid;
        const std::int64_t vx = g.SizeX + 1, vxy = vx * (g.SizeY + 1);
        Batch_ = {g.Values.Data(), vx, vxy, Axis == 0 ? 1 : Axis == 1 ? vx : vxy, Samples_, Elements_, Starts_, 0,
                  g.CellSize, Axis == 0 ? g.EdgesX.Data() : Axis == 1 ? g.EdgesY.Data() : g.EdgesZ.Data(), Axis};
    }
    TEdgeBatch(const TEdgeBatch&) = delete;
    TEdgeBatch& operator=(const TEdgeBatch&) = delete;
    ~TEdgeBatch() { Flush(); }

    // The edges of the set bits b of Bits: from sample Sample + b, with
    // element Element + Stride * b and start Starts[StartStep * b] (along
    // x each edge has its own start, along y and z a row's edges share one).
    void Add(std::uint64_t Bits, std::int64_t Sample, std::int64_t Element, std::int64_t Stride, const float* Starts,
             std::int64_t StartStep) {
        std::int32_t q = Reserve();
        for (; Bits != 0; Bits &= Bits - 1, ++q) {
            const int b = __builtin_ctzll(Bits);
            // The values the kernel reads for this edge (its ends and their
            // forward neighbours, all in the lattice), fetched now: listing
            // reads only inside bits, so they are seldom cached, and they
            // arrive while the rest of the batch is listed.
            const float* v = Batch_.Values + Sample + b;
            __builtin_prefetch(v);
            __builtin_prefetch(v + Batch_.RowStride);
            __builtin_prefetch(v + Batch_.LayerStride);
            __builtin_prefetch(v + Batch_.Step + Batch_.RowStride);
            __builtin_prefetch(v + Batch_.Step + Batch_.LayerStride);
            Samples_[q] = static_cast<std::int32_t>(Sample + b);
            Elements_[q] = static_cast<std::int32_t>(Element + Stride * b);
            Starts_[q] = Starts[StartStep * b];
        }
        Batch_.Count = q;
    }

    void Flush() {
        if (Batch_.Count > 0) Kernels_.Crossings(Batch_);
        Batch_.Count = 0;
    }

private:
    static constexpr std::int32_t kCapacity = 256;
    // Where the next word's edges go, with room for all 64.
    std::int32_t Reserve() {
        if (Batch_.Count > kCapacity - 64) Flush();
        return Batch_.Count;
    }
    const TSurfaceKernels& Kernels_;
    TCrossBatch Batch_;
    std::int32_t Samples_[kCapacity];
    std::int32_t Elements_[kCapacity];
    float Starts_[kCapacity];
};

// The crossed edges of rows of inside bits, a row at a time in the order
// the values lie, each axis's edges computed in batches.
class TRowCrossings {
public:
    explicit TRowCrossings(const TSurfaceJob& Job)
        : Job_(Job), Sx_(Job.Grid->SizeX), Sy_(Job.Grid->SizeY), Sz_(Job.Grid->SizeZ), Vx_(Sx_ + 1),
          Vxy_(Vx_ * (Sy_ + 1)), Words_((Sx_ + 63) / 64),
          LastX_((Sx_ - 1) % 64 <= 0 ? 0 : ~0ull >> (64 - (Sx_ - 1) % 64)), X_(Job, 0), Y_(Job, 1), Z_(Job, 2) {}

    // Row (j, k), whose inside bits are Row (bit i for sample i, none past
    // SizeX - 1): its crossed x-edges, its y-edges to row j+1 (bits
    // RowAbove; null for the last row) and its z-edges to layer k+1 (bits
    // LayerAbove; null for the last layer).
    void Row(std::int64_t j, std::int64_t k, const std::uint64_t* Row, const std::uint64_t* RowAbove,
             const std::uint64_t* LayerAbove) {
        const std::int64_t n = Vx_ * j + Vxy_ * k;
        // The x-, y- and z-edge from sample (i, j, k) are elements ex + i,
        // ey + (SizeY - 1) * SizeZ * i and ez + (SizeZ - 1) * i.
        const std::int64_t ex = (Sx_ - 1) * (j + Sy_ * k), ey = j + (Sy_ - 1) * k, ez = k + (Sz_ - 1) * Sx_ * j;
        const std::int64_t yStride = (Sy_ - 1) * Sz_, zStride = Sz_ - 1;
        const float startY = Job_.LineY[j], startZ = Job_.LineZ[k];
        for (std::int64_t w = 0, i = 0; w < Words_; ++w, i += 64) {
            // Bit b of x: flags i + b and i + b + 1 differ (the last sample
            // has no x-edge).
            const bool last = w + 1 == Words_;
            const std::uint64_t x = (Row[w] ^ (Row[w] >> 1 | (last ? 0 : Row[w + 1] << 63))) & (last ? LastX_ : ~0ull);
            const std::uint64_t y = RowAbove != nullptr ? Row[w] ^ RowAbove[w] : 0;
            const std::uint64_t z = LayerAbove != nullptr ? Row[w] ^ LayerAbove[w] : 0;
            if ((x | y | z) == 0) continue;
            if (x != 0) X_.Add(x, n + i, ex + i, 1, Job_.LineX + i, 1);
            if (y != 0) Y_.Add(y, n + i, ey + yStride * i, yStride, &startY, 0);
            if (z != 0) Z_.Add(z, n + i, ez + zStride * i, zStride, &startZ, 0);
        }
    }

private:
    const TSurfaceJob& Job_;
    const std::int64_t Sx_, Sy_, Sz_, Vx_, Vxy_, Words_;
    const std::uint64_t LastX_;  // the x-edges' bits in a row's last word
    TEdgeBatch X_, Y_, Z_;
};
