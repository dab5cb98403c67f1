// TGrid::PrepareSurface and the layer passes of TGrid::Polygonise: the
// reference polygoniser's steps with the same arithmetic, reorganised for
// speed.
//
// The work goes by layers of samples (k). A walker classifies a layer a row
// at a time into bit masks (and Inside), finds the crossed x- and y-edges of
// the layer and the z-edges to the layer above by comparing masks, and
// computes only those edges' points, with the reference's Crossing and the
// reference's running coordinates (accumulated once per call). Every edge
// belongs to exactly one layer, so threads that walk different layers never
// write the same edge.
#include "grid/grid.h"

#include "grid/parallel.h"
#include "grid/crossings.h"
#include "grid/surface_kernels.h"
#include "grid/surface_math.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace {

// The classification and crossings of the layers of one part, a layer at a
// time. Cur holds the bit masks of the layer in hand, Next those of the
// layer above it.
class TLayerWalker {
public:
    TLayerWalker(const TSurfaceJob& Job, std::uint64_t* Scratch)
        : Job_(Job), G_(*Job.Grid), Sx_(G_.SizeX), Sy_(G_.SizeY), Sz_(G_.SizeZ), Vx_(Sx_ + 1),
          Vxy_((Sx_ + 1) * (Sy_ + 1)), Words_((Sx_ + 63) / 64), V_(G_.Values.Data()), Cur_(Scratch),
          Next_(Scratch + Words_ * Sy_) {}

    // Layer First of a part: classifies it (and stores its flags).
    void Begin(std::int64_t First) { Classify(First, Cur_, true); }

    // Layer k: the x- and y-edges in it and the z-edges from it to layer
    // k+1, whose flags it stores too when OwnNext.
    void Step(std::int64_t k, bool OwnNext) {
        const bool zEdges = k + 1 < Sz_;
        if (zEdges) Classify(k + 1, Next_, OwnNext);
        TRowCrossings crossings(Job_);
        for (std::int64_t j = 0; j < Sy_; ++j) {
            // The gradients of the z-edges read two layers up, where nothing
            // has looked yet: fetch that row ahead of them.
            if (zEdges && k + 2 <= Sz_) {
                const float* ahead = V_ + Vx_ * j + Vxy_ * (k + 2);
                for (std::int64_t i = 0; i < Vx_; i += 16) __builtin_prefetch(ahead + i);
            }
            const std::uint64_t* row = Cur_ + Words_ * j;
            crossings.Row(j, k, row, j + 1 < Sy_ ? row + Words_ : nullptr, zEdges ? Next_ + Words_ * j : nullptr);
        }
        std::swap(Cur_, Next_);
    }

    void SwapLayers() { std::swap(Cur_, Next_); }

    // Layers First .. Last-1.
    void Walk(std::int64_t First, std::int64_t Last) {
        if (First >= Last) return;
        Begin(First);
        for (std::int64_t k = First; k < Last; ++k) Step(k, k + 1 < Last);
    }

private:
    void Classify(std::int64_t k, std::uint64_t* Layer, bool Store) {
        for (std::int64_t j = 0; j < Sy_; ++j)
            Job_.Kernels->ClassifyRow(V_ + Vx_ * j + Vxy_ * k, Sx_,
                                      Store ? G_.Inside.Data() + Sx_ * j + Sx_ * Sy_ * k : nullptr,
                                      Layer + Words_ * j);
    }

    const TSurfaceJob& Job_;
    TGrid& G_;
    const std::int64_t Sx_, Sy_, Sz_, Vx_, Vxy_, Words_;
    const float* V_;
    std::uint64_t* Cur_;
    std::uint64_t* Next_;
};

// Running coordinates along one axis: the reference's accumulation.
void FillLine(float* Line, std::int64_t Count, std::int32_t Size, float Cell, float Center) {
    float c = LineStart(Size, Cell, Center);
    for (std::int64_t n = 0; n < Count; ++n, c = c + Cell) Line[n] = c;
}

} // namespace

std::int64_t TGrid::SurfaceScratchWords(std::int32_t SX, std::int32_t SY) {
    return 2 * static_cast<std::int64_t>(SY) * ((static_cast<std::int64_t>(SX) + 63) / 64);
}

TSurfaceJob TGrid::SurfaceJob() {
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    float* lines = LineScratch.Data();
    FillLine(lines, sx, SizeX, CellSize, CenterX);
    FillLine(lines + sx, sy, SizeY, CellSize, CenterY);
    FillLine(lines + sx + sy, sz, SizeZ, CellSize, CenterZ);
    return TSurfaceJob{this, &SurfaceKernels(), lines, lines + sx, lines + sx + sy};
}

std::uint64_t* TGrid::PartScratch(int Part) {
    return BitScratch.Data() + SurfaceScratchWords(SizeX, SizeY) * Part;
}

void TGrid::PrepareSurface() {
    // 1. Field (on the sparse route, the classification too).
    FillSamples();
    if (!HasSurface()) return;

    // 2-5. Classification and the crossings, by layers, every thread taking part.
    const TSurfaceJob job = SurfaceJob();
    const int parts = PartsFor(static_cast<std::int64_t>(SizeX) * SizeY * SizeZ);
    auto body = [&](int part) {
        std::int64_t first, last;
        if (Stats_.Sparse) {
            PartRange(BlocksZ(), part, parts, first, last);
            for (std::int64_t bz = first; bz < last; ++bz) CrossBlockLayerSparse(job, bz);
        } else {
            PartRange(SizeZ, part, parts, first, last);
            TLayerWalker(job, PartScratch(part)).Walk(first, last);
        }
    };
    RunParts(parts, body);
}

int TGrid::BeginLayers() {
    Job_ = SurfaceJob();
    const int parts = PartsFor(static_cast<std::int64_t>(SizeX) * SizeY * SizeZ);
    Helpers_ = parts - 1;
    if (Helpers_ == 0) return 0;
    // The layers go in chunks: the workers take them from the bottom, the
    // caller from the top whenever the next layer to emit is not ready, so
    // the work balances itself whatever emission costs.
    ChunkLayers_ = std::max<std::int64_t>(1, SizeZ / 32);
    if (Stats_.Sparse) ChunkLayers_ = (ChunkLayers_ + kBlockSize - 1) / kBlockSize * kBlockSize;
    Chunks_ = (SizeZ + ChunkLayers_ - 1) / ChunkLayers_;
    // NOTE: the done flags are plain ints reached through the compiler's
    // atomic builtins (what std::atomic_ref does), since the libc++ of the
    // browser build has no std::atomic_ref.
    for (std::int64_t c = 0; c < Chunks_; ++c)
        __atomic_store_n(&ChunkDone[static_cast<std::size_t>(c)], 0, __ATOMIC_RELAXED);
    Claimed_.store(0, std::memory_order_relaxed);
    Bottom_.store(0, std::memory_order_relaxed);
    Top_ = 0;
    StartParts(
        Helpers_,
        [](void* grid, int part) {
            TGrid& g = *static_cast<TGrid*>(grid);
            while (g.Claimed_.fetch_add(1, std::memory_order_relaxed) < g.Chunks_)
                g.WalkChunk(g.Bottom_.fetch_add(1, std::memory_order_relaxed), part);
        },
        this);
    return Helpers_;
}

void TGrid::WalkChunk(std::int64_t Chunk, int Part) {
    const std::int64_t first = Chunk * ChunkLayers_, last = std::min<std::int64_t>(SizeZ, first + ChunkLayers_);
    if (Stats_.Sparse) {
        // Chunks hold whole block layers on this route.
        for (std::int64_t bz = first / kBlockSize; bz * kBlockSize < last; ++bz) CrossBlockLayerSparse(Job_, bz);
    } else {
        TLayerWalker(Job_, PartScratch(Part)).Walk(first, last);
    }
    __atomic_store_n(&ChunkDone[static_cast<std::size_t>(Chunk)], 1, __ATOMIC_RELEASE);
}

bool TGrid::LayerReady(std::int64_t k) {
    return __atomic_load_n(&ChunkDone[static_cast<std::size_t>(k / ChunkLayers_)], __ATOMIC_ACQUIRE) != 0;
}

bool TGrid::HelpWithLayers() {
    if (Claimed_.load(std::memory_order_relaxed) >= Chunks_ ||
        Claimed_.fetch_add(1, std::memory_order_relaxed) >= Chunks_)
        return false;
    WalkChunk(Chunks_ - 1 - Top_++, Helpers_);
    return true;
}

void TGrid::SurfaceLayer(std::int64_t k) {
    if (Stats_.Sparse) {
        if (k % kBlockSize == 0) CrossBlockLayerSparse(Job_, k / kBlockSize);
        return;
    }
    TLayerWalker walker(Job_, PartScratch(0));
    if (k == 0) walker.Begin(0);
    // The walker's two layers alternate: layer k's masks are where step
    // k - 1 left them.
    if (k % 2 == 1) walker.SwapLayers();
    walker.Step(k, true);
}

void TGrid::EndLayers() {
    if (Helpers_ > 0) WaitParts();
    Helpers_ = 0;
}

std::int32_t FindActiveCubes(const std::uint8_t* Row, std::int64_t RowStride, std::int64_t LayerStride,
                             std::int32_t Count, std::uint16_t* Where, std::uint8_t* Cases) {
    return SurfaceKernels().ActiveCubes(Row, RowStride, LayerStride, Count, Where, Cases);
}
