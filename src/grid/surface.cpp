// TGrid::PrepareSurface: the reference polygoniser's steps with the same
// arithmetic, reorganised for speed.
//
// The layers of samples are split over the worker threads. Each thread
// classifies its layers a row at a time into bit masks (and Inside), finds
// the crossed x-, y- and z-edges of its layers by comparing masks, and
// computes only those edges' points, with the reference's Crossing and the
// reference's running coordinates (accumulated once per call). Every edge
// belongs to exactly one layer, so no two threads write the same edge.
#include "grid/grid.h"

#include "grid/parallel.h"
#include "grid/surface_kernels.h"
#include "grid/surface_math.h"

#include <utility>

namespace {

struct TSurfaceJob {
    TGrid* Grid;
    const TSurfaceKernels* Kernels;
    const float* LineX;  // running coordinate of each edge's first endpoint
    const float* LineY;
    const float* LineZ;
};

// Layers First .. Last-1, with the scratch of one part.
void Layers(const TSurfaceJob& Job, std::int64_t First, std::int64_t Last, std::uint64_t* Scratch) {
    TGrid& g = *Job.Grid;
    const std::int64_t sx = g.SizeX, sy = g.SizeY, sz = g.SizeZ;
    const std::int64_t vx = sx + 1, vxy = (sx + 1) * (sy + 1);
    const std::int64_t words = (sx + 63) / 64;
    const float cell = g.CellSize;
    const float* V = g.Values.Data();
    auto gradient = [&](std::int64_t n) { return TVector{V[n + 1] - V[n], V[n + vx] - V[n], V[n + vxy] - V[n]}; };
    auto classify = [&](std::int64_t k, std::uint64_t* layer, bool own) {
        for (std::int64_t j = 0; j < sy; ++j)
            Job.Kernels->ClassifyRow(V + vx * j + vxy * k, sx, own ? g.Inside.Data() + sx * j + sx * sy * k : nullptr,
                                     layer + words * j);
    };

    std::uint64_t* cur = Scratch;
    std::uint64_t* next = Scratch + words * sy;
    if (First < Last) classify(First, cur, true);
    for (std::int64_t k = First; k < Last; ++k) {
        const bool zEdges = k + 1 < sz;
        if (zEdges) classify(k + 1, next, k + 1 < Last);
        for (std::int64_t j = 0; j < sy; ++j) {
            const std::uint64_t* row = cur + words * j;
            const std::int64_t n0 = vx * j + vxy * k;
            // x-edges (i, j, k), i to sx-2: flag i differs from flag i+1.
            for (std::int64_t w = 0; w < words; ++w) {
                const std::uint64_t carry = w + 1 < words ? row[w + 1] << 63 : 0;
                std::uint64_t d = row[w] ^ (row[w] >> 1 | carry);
                if (w == words - 1) d &= (sx - 1) % 64 == 0 ? 0 : ~0ull >> (64 - (sx - 1) % 64);
                while (d != 0) {
                    const std::int64_t i = w * 64 + __builtin_ctzll(d);
                    d &= d - 1;
                    const std::int64_t n = n0 + i;
                    TEdgeVertex& e = g.EdgesX[static_cast<std::size_t>(i + (sx - 1) * (j + sy * k))];
                    Crossing(V[n], V[n + 1], gradient(n), gradient(n + 1), Job.LineX[i], cell, e.Position.x,
                             e.Normal);
                }
            }
            // y-edges (i, j, k), j to sy-2.
            if (j + 1 < sy) {
                const std::uint64_t* above = row + words;
                for (std::int64_t w = 0; w < words; ++w) {
                    std::uint64_t d = row[w] ^ above[w];
                    while (d != 0) {
                        const std::int64_t i = w * 64 + __builtin_ctzll(d);
                        d &= d - 1;
                        const std::int64_t n = n0 + i;
                        TEdgeVertex& e = g.EdgesY[static_cast<std::size_t>(j + (sy - 1) * (k + sz * i))];
                        Crossing(V[n], V[n + vx], gradient(n), gradient(n + vx), Job.LineY[j], cell, e.Position.y,
                                 e.Normal);
                    }
                }
            }
            // z-edges (i, j, k), k to sz-2.
            if (zEdges) {
                const std::uint64_t* front = next + words * j;
                for (std::int64_t w = 0; w < words; ++w) {
                    std::uint64_t d = row[w] ^ front[w];
                    while (d != 0) {
                        const std::int64_t i = w * 64 + __builtin_ctzll(d);
                        d &= d - 1;
                        const std::int64_t n = n0 + i;
                        TEdgeVertex& e = g.EdgesZ[static_cast<std::size_t>(k + (sz - 1) * (i + sx * j))];
                        Crossing(V[n], V[n + vxy], gradient(n), gradient(n + vxy), Job.LineZ[k], cell, e.Position.z,
                                 e.Normal);
                    }
                }
            }
        }
        std::swap(cur, next);
    }
}

// Running coordinates along one axis: the reference's accumulation.
void FillLine(float* Line, std::int64_t Count, std::int32_t Size, float Cell, float Center) {
    float c = LineStart(Size, Cell, Center);
    for (std::int64_t n = 0; n < Count; ++n, c = c + Cell) Line[n] = c;
}

} // namespace

std::int64_t TGrid::SurfaceScratchWords(std::int32_t SX, std::int32_t SY) {
    return 2 * static_cast<std::int64_t>(SY) * ((static_cast<std::int64_t>(SX) + 63) / 64);
}

void TGrid::PrepareSurface() {
    // 1. Field.
    FieldProc(*this);

    // 2-5. Classification and the crossings, by layers.
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    float* lines = LineScratch.Data();
    FillLine(lines, sx, SizeX, CellSize, CenterX);
    FillLine(lines + sx, sy, SizeY, CellSize, CenterY);
    FillLine(lines + sx + sy, sz, SizeZ, CellSize, CenterZ);
    const TSurfaceJob job{this, &SurfaceKernels(), lines, lines + sx, lines + sx + sy};
    const int parts = PartsFor(sx * sy * sz);
    auto body = [&](int part) {
        std::int64_t first, last;
        PartRange(sz, part, parts, first, last);
        Layers(job, first, last, BitScratch.Data() + SurfaceScratchWords(SizeX, SizeY) * part);
    };
    RunParts(parts, body);
}

std::int32_t FindActiveCubes(const std::uint8_t* Row, std::int64_t RowStride, std::int64_t LayerStride,
                             std::int32_t Count, std::uint16_t* Where, std::uint8_t* Cases) {
    return SurfaceKernels().ActiveCubes(Row, RowStride, LayerStride, Count, Where, Cases);
}
