#include "grid/grid.h"

#include "grid/parallel.h"
#include "grid/surface_math.h"

#include <chrono>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

// a * b * c, clamped to the 64-bit range: any clamped count is far too large
// for an array, with its sign kept.
std::int64_t Product(std::int64_t a, std::int64_t b, std::int64_t c) {
    const __int128 p = static_cast<__int128>(a) * b * c;
    if (p > INT64_MAX) return INT64_MAX;
    if (p < INT64_MIN) return INT64_MIN;
    return static_cast<std::int64_t>(p);
}

// Asks the kernel to back the whole-page part of a large array with huge
// pages: the polygoniser reaches the y- and z-edges of neighbouring cubes
// hundreds of kilobytes apart, and with small pages nearly every such read
// misses the address-translation cache. Only a hint; nothing changes where
// it is not available.
template <class T>
void AdviseHugePages([[maybe_unused]] TArray<T>& Array) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kPage = 4096;
    const auto begin = reinterpret_cast<std::uintptr_t>(Array.Data());
    const std::uintptr_t end = begin + sizeof(T) * static_cast<std::uintptr_t>(Array.Count());
    const std::uintptr_t first = (begin + kPage - 1) & ~(kPage - 1), last = end & ~(kPage - 1);
    if (last > first + (std::uintptr_t(2) << 20)) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#endif
}

} // namespace

std::int64_t SerialClockNs() {
#ifdef __EMSCRIPTEN__
    // NOTE: the page runs one thread and times no serial share: no clock
    // (and no clock glue in its module).
    return 0;
#else
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

TGrid::TCounts TGrid::CountsFor(std::int32_t SX, std::int32_t SY, std::int32_t SZ) {
    const std::int64_t x = SX, y = SY, z = SZ;
    return {Product(x + 1, y + 1, z + 1), Product(x, y, z),     Product(x - 1, y - 1, z - 1),
            Product(x - 1, y, z),         Product(x, y - 1, z), Product(x, y, z - 1)};
}

TGrid::TGrid(std::int32_t SizeX_, std::int32_t SizeY_, std::int32_t SizeZ_, float CellSize_, float CenterX_,
             float CenterY_, float CenterZ_, TFieldProc FieldProc_)
    : SizeX(SizeX_), SizeY(SizeY_), SizeZ(SizeZ_), CellSize(CellSize_), CenterX(CenterX_), CenterY(CenterY_),
      CenterZ(CenterZ_), FieldProc(FieldProc_) {
    const TCounts n = CountsFor(SizeX, SizeY, SizeZ);
    Values.Create(n.Values);
    Inside.Create(n.Inside);
    Cubes.Create(n.Cubes);
    EdgesX.Create(n.EdgesX);
    EdgesY.Create(n.EdgesY);
    EdgesZ.Create(n.EdgesZ);
    // Scratch for the fast paths. Negative sizes are legal when every count
    // above is not (nothing is then polygonised), so these never go below 0.
    auto atLeast0 = [](std::int64_t n) { return n < 0 ? 0 : n; };
    const std::int64_t px = atLeast0(SizeX), py = atLeast0(SizeY), pz = atLeast0(SizeZ);
    FieldScratch.Create(px + 1 + kFieldScratchPadding);
    LineScratch.Create(px + py + pz);
    BitScratch.Create(kMaxThreads * SurfaceScratchWords(static_cast<std::int32_t>(px), static_cast<std::int32_t>(py)));
    ChunkDone.Create(pz + 1);
    AdviseHugePages(Values);
    AdviseHugePages(Inside);
    AdviseHugePages(Cubes);
    AdviseHugePages(EdgesX);
    AdviseHugePages(EdgesY);
    AdviseHugePages(EdgesZ);

    // Fixed coordinates of the edge points; loops in each array's own
    // index order, so the element index simply counts up.
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    TEdgeVertex* e = EdgesX.Data();
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t j = 0; j < sy; ++j)
            for (std::int64_t i = 0; i < sx - 1; ++i, ++e) {
                e->Position.y = SampleCoordinate(j, SizeY, CellSize, CenterY);
                e->Position.z = SampleCoordinate(k, SizeZ, CellSize, CenterZ);
            }
    e = EdgesY.Data();
    for (std::int64_t i = 0; i < sx; ++i)
        for (std::int64_t k = 0; k < sz; ++k)
            for (std::int64_t j = 0; j < sy - 1; ++j, ++e) {
                e->Position.x = SampleCoordinate(i, SizeX, CellSize, CenterX);
                e->Position.z = SampleCoordinate(k, SizeZ, CellSize, CenterZ);
            }
    e = EdgesZ.Data();
    for (std::int64_t j = 0; j < sy; ++j)
        for (std::int64_t i = 0; i < sx; ++i)
            for (std::int64_t k = 0; k < sz - 1; ++k, ++e) {
                e->Position.x = SampleCoordinate(i, SizeX, CellSize, CenterX);
                e->Position.y = SampleCoordinate(j, SizeY, CellSize, CenterY);
            }

    // The same coordinates along each axis, for the sparse route's edge
    // store, which writes its points whole.
    FixedCoord_.Create(kEdgeStore ? px + py + pz : 0);
    if (kEdgeStore) {
        for (std::int64_t i = 0; i < px; ++i) FixedCoord_[i] = SampleCoordinate(i, SizeX, CellSize, CenterX);
        for (std::int64_t j = 0; j < py; ++j) FixedCoord_[px + j] = SampleCoordinate(j, SizeY, CellSize, CenterY);
        for (std::int64_t k = 0; k < pz; ++k) FixedCoord_[px + py + k] = SampleCoordinate(k, SizeZ, CellSize, CenterZ);
    }

    // Cube wiring, by the slot table of the numbering in grid/tritable.h.
    auto ex = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return std::uint32_t(i + (sx - 1) * (j + sy * k)); };
    auto ey = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return std::uint32_t(j + (sy - 1) * (k + sz * i)); };
    auto ez = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return std::uint32_t(k + (sz - 1) * (i + sx * j)); };
    TCubeEdges* c = Cubes.Data();
    for (std::int64_t k = 0; k < sz - 1; ++k)
        for (std::int64_t j = 0; j < sy - 1; ++j)
            for (std::int64_t i = 0; i < sx - 1; ++i, ++c) {
                c->Edge[0] = ex(i, j, k);
                c->Edge[1] = ey(i + 1, j, k);
                c->Edge[2] = ex(i, j + 1, k);
                c->Edge[3] = ey(i, j, k);
                c->Edge[4] = ex(i, j, k + 1);
                c->Edge[5] = ey(i + 1, j, k + 1);
                c->Edge[6] = ex(i, j + 1, k + 1);
                c->Edge[7] = ey(i, j, k + 1);
                c->Edge[8] = ez(i, j, k);
                c->Edge[9] = ez(i + 1, j, k);
                c->Edge[10] = ez(i + 1, j + 1, k);
                c->Edge[11] = ez(i, j + 1, k);
            }
}
