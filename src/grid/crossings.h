// The crossed edges of classified samples, found by comparing inside-bit
// masks and computed with the reference's arithmetic (by the instruction
// level's kernel, grid/surface_kernels.h): shared by the dense layer walker
// (grid/surface.cpp) and the sparse route (grid/sparse_surface.cpp).
// Internal to the grid.
#pragma once

#include "grid/grid.h"
#include "grid/surface_kernels.h"
#include "grid/surface_math.h"

#include <cassert>
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
    // From now on into Points (the edge store, AddStored) instead of the
    // axis's edge array; before the first edge.
    void UseStore(TEdgeVertex* Points) {
        Lattice_ = Batch_.Edges;
        Batch_.Edges = Points;
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
            FetchValues(Sample + b);
            Samples_[q] = static_cast<std::int32_t>(Sample + b);
            Elements_[q] = static_cast<std::int32_t>(Element + Stride * b);
            Starts_[q] = Starts[StartStep * b];
        }
        Batch_.Count = q;
    }

    // The edges of the set bits b of Bits into the store's points From,
    // From + 1, ... in bit order (Points[From + n] for the n-th), with their
    // fixed coordinates: along x (Fy, Fz), along y (Fx[b], Fz), along z
    // (Fx[b], Fy); the moving one is the kernel's. Sample and Starts as
    // for Add.
    void AddStored(std::uint64_t Bits, std::int64_t Sample, std::int64_t From, const float* Starts,
                   std::int64_t StartStep, const float* Fx, float Fy, float Fz) {
        assert(Lattice_ != nullptr && "a batch that went to the edge array stays there");
        std::int32_t q = Reserve();
        TEdgeVertex* points = Batch_.Edges;
        for (std::int64_t at = From; Bits != 0; Bits &= Bits - 1, ++q, ++at) {
            const int b = __builtin_ctzll(Bits);
            FetchValues(Sample + b);
            TVector& p = points[at].Position;
            p = Batch_.Axis == 0 ? TVector{0.0f, Fy, Fz} : Batch_.Axis == 1 ? TVector{Fx[b], 0.0f, Fz} : TVector{Fx[b], Fy, 0.0f};
            Samples_[q] = static_cast<std::int32_t>(Sample + b);
            Elements_[q] = static_cast<std::int32_t>(at);
            Starts_[q] = Starts[StartStep * b];
        }
        Batch_.Count = q;
    }

    // From now on into the axis's edge array (Add): the store is full.
    void UseLattice() {
        if (Lattice_ == nullptr) return;
        Flush();
        Batch_.Edges = Lattice_;
        Lattice_ = nullptr;
    }

    void Flush() {
        if (Batch_.Count > 0) Kernels_.Crossings(Batch_);
        Batch_.Count = 0;
    }

private:
    // The values the kernel reads for the edge from Sample (its ends and
    // their forward neighbours, all in the lattice), fetched as it is
    // listed: listing reads only inside bits, so they are seldom cached,
    // and they arrive while the rest of the batch is listed.
    void FetchValues(std::int64_t Sample) const {
        const float* v = Batch_.Values + Sample;
        __builtin_prefetch(v);
        __builtin_prefetch(v + Batch_.RowStride);
        __builtin_prefetch(v + Batch_.LayerStride);
        __builtin_prefetch(v + Batch_.Step + Batch_.RowStride);
        __builtin_prefetch(v + Batch_.Step + Batch_.LayerStride);
    }

    static constexpr std::int32_t kCapacity = 256;
    // Where the next word's edges go, with room for all 64.
    std::int32_t Reserve() {
        if (Batch_.Count > kCapacity - 64) Flush();
        return Batch_.Count;
    }
    const TSurfaceKernels& Kernels_;
    TCrossBatch Batch_;
    TEdgeVertex* Lattice_ = nullptr;  // the edge array, while Batch_ writes into the store
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
    // The same into the edge store (TEdgeStoreJob), as far as it has room.
    TRowCrossings(const TSurfaceJob& Job, const TEdgeStoreJob& Store) : TRowCrossings(Job) {
        Store_ = &Store;
        for (TEdgeBatch* batch : {&X_, &Y_, &Z_}) batch->UseStore(Store.Points);
    }

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
        // Into the store: the map row of (j, k), which keeps the first point
        // of each word's edges of each axis, and the fixed coordinates.
        std::uint32_t* map = kEdgeStore && Store_ != nullptr ? Store_->MapRow(j, k) : nullptr;
        const float fy = map != nullptr ? Store_->FixedY[j] : 0.0f, fz = map != nullptr ? Store_->FixedZ[k] : 0.0f;
        const float* fx = map != nullptr ? Store_->FixedX : nullptr;
        for (std::int64_t w = 0, i = 0; w < Words_; ++w, i += 64) {
            // Bit b of x: flags i + b and i + b + 1 differ (the last sample
            // has no x-edge).
            const bool last = w + 1 == Words_;
            const std::uint64_t x = (Row[w] ^ (Row[w] >> 1 | (last ? 0 : Row[w + 1] << 63))) & (last ? LastX_ : ~0ull);
            const std::uint64_t y = RowAbove != nullptr ? Row[w] ^ RowAbove[w] : 0;
            const std::uint64_t z = LayerAbove != nullptr ? Row[w] ^ LayerAbove[w] : 0;
            if ((x | y | z) == 0) continue;
            if (map == nullptr) {
                if (x != 0) X_.Add(x, n + i, ex + i, 1, Job_.LineX + i, 1);
                if (y != 0) Y_.Add(y, n + i, ey + yStride * i, yStride, &startY, 0);
                if (z != 0) Z_.Add(z, n + i, ez + zStride * i, zStride, &startZ, 0);
                continue;
            }
            if (x != 0) Stored(X_, x, n + i, map[w], Job_.LineX + i, 1, ex + i, 1, fx + i, fy, fz);
            if (y != 0) Stored(Y_, y, n + i, map[Words_ + w], &startY, 0, ey + yStride * i, yStride, fx + i, fy, fz);
            if (z != 0) Stored(Z_, z, n + i, map[2 * Words_ + w], &startZ, 0, ez + zStride * i, zStride, fx + i, fy, fz);
        }
    }

private:
    // One word's edges of one axis into the store: the next free points of
    // this thread's chunk (or of a new one), in bit order, the first kept in
    // First. When the slot is full, into the edge array instead (Add's
    // Element and Stride), and First says so (kNoStorePoint).
    void Stored(TEdgeBatch& Batch, std::uint64_t Bits, std::int64_t Sample, std::uint32_t& First, const float* Starts,
                std::int64_t StartStep, std::int64_t Element, std::int64_t Stride, const float* Fx, float Fy, float Fz) {
        const std::int64_t from = Store_->Take(BitCount(Bits));
        if (from < 0) {
            Store_->NotStored->fetch_add(BitCount(Bits), std::memory_order_relaxed);
            First = kNoStorePoint;
            Batch.UseLattice();
            Batch.Add(Bits, Sample, Element, Stride, Starts, StartStep);
            return;
        }
        First = static_cast<std::uint32_t>(from);
        Batch.AddStored(Bits, Sample, from, Starts, StartStep, Fx, Fy, Fz);
    }

    const TSurfaceJob& Job_;
    const TEdgeStoreJob* Store_ = nullptr;
    const std::int64_t Sx_, Sy_, Sz_, Vx_, Vxy_, Words_;
    const std::uint64_t LastX_;  // the x-edges' bits in a row's last word
    TEdgeBatch X_, Y_, Z_;
};
