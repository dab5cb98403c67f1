// The crossed edges of classified samples, found by comparing inside-bit
// masks and computed with the reference's arithmetic: shared by the dense
// layer walker (grid/surface.cpp) and the sparse route
// (grid/sparse_surface.cpp). Internal to the grid.
#pragma once

#include "grid/grid.h"
#include "grid/surface_kernels.h"
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

// Word W of the crossed x-edges of a row of inside bits (Words words): bit
// i set when flags i and i+1 differ, for i up to SizeX-2.
inline std::uint64_t CrossedX(const std::uint64_t* Row, std::int64_t W, std::int64_t Words, std::int64_t SizeX) {
    const std::uint64_t carry = W + 1 < Words ? Row[W + 1] << 63 : 0;
    std::uint64_t d = Row[W] ^ (Row[W] >> 1 | carry);
    if (W == Words - 1) d &= (SizeX - 1) % 64 == 0 ? 0 : ~0ull >> (64 - (SizeX - 1) % 64);
    return d;
}

// Computes the point and normal of one crossed edge from the samples at its
// ends and their forward neighbours.
class TCrossing {
public:
    explicit TCrossing(const TSurfaceJob& Job)
        : Job_(Job), G_(*Job.Grid), Sx_(G_.SizeX), Sy_(G_.SizeY), Sz_(G_.SizeZ), Vx_(Sx_ + 1),
          Vxy_((Sx_ + 1) * (Sy_ + 1)), V_(G_.Values.Data()), Cell_(G_.CellSize) {}

    // The x-, y- and z-edge from sample (i, j, k).
    void X(std::int64_t i, std::int64_t j, std::int64_t k) const {
        const std::int64_t n = Sample(i, j, k);
        TEdgeVertex& e = G_.EdgesX[static_cast<std::size_t>(i + (Sx_ - 1) * (j + Sy_ * k))];
        Crossing(V_[n], V_[n + 1], Gradient(n), Gradient(n + 1), Job_.LineX[i], Cell_, e.Position.x, e.Normal);
    }
    void Y(std::int64_t i, std::int64_t j, std::int64_t k) const {
        const std::int64_t n = Sample(i, j, k);
        TEdgeVertex& e = G_.EdgesY[static_cast<std::size_t>(j + (Sy_ - 1) * (k + Sz_ * i))];
        Crossing(V_[n], V_[n + Vx_], Gradient(n), Gradient(n + Vx_), Job_.LineY[j], Cell_, e.Position.y, e.Normal);
    }
    void Z(std::int64_t i, std::int64_t j, std::int64_t k) const {
        const std::int64_t n = Sample(i, j, k);
        TEdgeVertex& e = G_.EdgesZ[static_cast<std::size_t>(k + (Sz_ - 1) * (i + Sx_ * j))];
        Crossing(V_[n], V_[n + Vxy_], Gradient(n), Gradient(n + Vxy_), Job_.LineZ[k], Cell_, e.Position.z,
                 e.Normal);
    }

    // The element of the x-, y- or z-edge (Axis 0, 1, 2) from (i, j, k).
    const TEdgeVertex* Element(int Axis, std::int64_t i, std::int64_t j, std::int64_t k) const {
        if (Axis == 0) return G_.EdgesX.Data() + (i + (Sx_ - 1) * (j + Sy_ * k));
        if (Axis == 1) return G_.EdgesY.Data() + (j + (Sy_ - 1) * (k + Sz_ * i));
        return G_.EdgesZ.Data() + (k + (Sz_ - 1) * (i + Sx_ * j));
    }

    // Starts reading what the edge from (i, j, k) along Axis needs: its
    // element and the values at its ends and their forward neighbours.
    void Fetch(int Axis, std::int64_t i, std::int64_t j, std::int64_t k) const {
        __builtin_prefetch(Element(Axis, i, j, k), 1);
        const std::int64_t n = Sample(i, j, k), m = n + (Axis == 0 ? 1 : Axis == 1 ? Vx_ : Vxy_);
        __builtin_prefetch(V_ + n);
        __builtin_prefetch(V_ + n + Vx_);
        __builtin_prefetch(V_ + n + Vxy_);
        if (Axis != 0) {
            __builtin_prefetch(V_ + m + Vx_);
            __builtin_prefetch(V_ + m + Vxy_);
        }
    }

private:
    std::int64_t Sample(std::int64_t i, std::int64_t j, std::int64_t k) const { return i + Vx_ * j + Vxy_ * k; }
    // Forward-difference gradient at sample index n.
    TVector Gradient(std::int64_t n) const {
        return TVector{V_[n + 1] - V_[n], V_[n + Vx_] - V_[n], V_[n + Vxy_] - V_[n]};
    }

    const TSurfaceJob& Job_;
    TGrid& G_;
    const std::int64_t Sx_, Sy_, Sz_, Vx_, Vxy_;
    const float* V_;
    const float Cell_;
};

// Row (j, k), whose inside bits are Row ((SizeX + 63) / 64 words, bit i for
// sample i): its crossed x-edges, its y-edges to row j+1 (bits RowAbove;
// null for the last row) and its z-edges to layer k+1 (bits LayerAbove;
// null for the last layer).
inline void CrossRow(const TSurfaceJob& Job, std::int64_t j, std::int64_t k, const std::uint64_t* Row,
                     const std::uint64_t* RowAbove, const std::uint64_t* LayerAbove) {
    const TCrossing cross(Job);
    const std::int64_t sx = Job.Grid->SizeX, words = (sx + 63) / 64;
    for (std::int64_t w = 0; w < words; ++w)
        ForEachBit(CrossedX(Row, w, words, sx), w * 64, [&](std::int64_t i) { cross.X(i, j, k); });
    if (RowAbove != nullptr) ForEachDifference(Row, RowAbove, words, [&](std::int64_t i) { cross.Y(i, j, k); });
    if (LayerAbove != nullptr) ForEachDifference(Row, LayerAbove, words, [&](std::int64_t i) { cross.Z(i, j, k); });
}

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
    // element Element + Stride * b and start Starts[StartStep * b].
    void Add(std::uint64_t Bits, std::int64_t Sample, std::int64_t Element, std::int64_t Stride, const float* Starts,
             std::int64_t StartStep) {
        if (Bits == 0) return;
        if (Batch_.Count > kCapacity - 64) Flush();
        std::int32_t q = Batch_.Count;
        for (; Bits != 0; Bits &= Bits - 1, ++q) {
            const int b = __builtin_ctzll(Bits);
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
    const TSurfaceKernels& Kernels_;
    TCrossBatch Batch_;
    std::int32_t Samples_[kCapacity];
    std::int32_t Elements_[kCapacity];
    float Starts_[kCapacity];
};
