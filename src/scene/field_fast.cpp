// EvaluateBallField: the reference field's arithmetic, many samples per
// instruction and split by rows over the worker threads.
//
// Per row, the balls are taken in index order and each one's term is added
// to a row buffer of H values, so every sample still sums its balls in index
// order. The x of the samples is accumulated once per call into the grid's
// FieldScratch, and (x - X)^2 of every sample and ball once per part into a
// table that every row reads (field_kernel.inc).
#include "scene/field.h"
#include "scene/field_blocks.h"
#include "scene/field_terms.h"

#include "grid/parallel.h"
#include "grid/simd.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

struct TFieldJob {
    TFieldFrame Frame;
    float Cell;
    std::int32_t nX, nY, nZ;
    const TBall* Balls;
    std::int32_t Count;
    const float* X;  // x of every sample of a row, padded by kFieldScratchPadding
    bool FiniteX;    // every x of X (padding included) is finite
    float* Values;
};

// Samples of a row that share one pass over the balls; floats of the table
// of (x - X)^2 (balls times samples); balls in one batch at most. They bound
// the stack buffers of a part.
constexpr std::int64_t kSampleChunk = 512;
constexpr std::int64_t kTableFloats = 16384;
constexpr std::int32_t kBallChunk = 256;

// term < cap ? term : cap in every lane; SSE's min is exactly that (the
// second operand when either is NaN), one instruction where a compiler
// might otherwise compare and blend.
[[maybe_unused]] inline float MinLanes(float a, float b) { return a < b ? a : b; }

// Bit l set where lane l is greater than 0.0 (NaN is not): an inside flag
// per lane, as the grid classifies samples.
[[maybe_unused]] inline std::uint64_t PositiveLanes(float a) { return a > 0.0f ? 1u : 0u; }

} // namespace

#if SORVEL2_PORTABLE_LEVEL
#define FIELD_NS portable
#define FIELD_TARGET
#define FIELD_VF float
#define FIELD_W 1
#define FIELD_V8 float
#define FIELD_V4 float
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W
#undef FIELD_V8
#undef FIELD_V4
#endif

#if SORVEL2_SIMD4
#include <immintrin.h>

namespace {
typedef float TFloat4 __attribute__((vector_size(16)));

inline TFloat4 MinLanes(TFloat4 a, TFloat4 b) { return (TFloat4)_mm_min_ps((__m128)a, (__m128)b); }
inline std::uint64_t PositiveLanes(TFloat4 a) {
    return static_cast<std::uint64_t>(_mm_movemask_ps(_mm_cmpgt_ps((__m128)a, _mm_setzero_ps())));
}
} // namespace

#define FIELD_NS sse2
#define FIELD_TARGET
#define FIELD_VF TFloat4
#define FIELD_W 4
#define FIELD_V8 TFloat4
#define FIELD_V4 TFloat4
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W
#undef FIELD_V8
#undef FIELD_V4
#endif

#if SORVEL2_X86_SIMD
namespace {
typedef float TFloat8 __attribute__((vector_size(32)));
typedef float TFloat16 __attribute__((vector_size(64)));

SORVEL2_TARGET_AVX2 inline TFloat8 MinLanes(TFloat8 a, TFloat8 b) {
    return (TFloat8)_mm256_min_ps((__m256)a, (__m256)b);
}
SORVEL2_TARGET_AVX2 inline std::uint64_t PositiveLanes(TFloat8 a) {
    return static_cast<std::uint64_t>(_mm256_movemask_ps(_mm256_cmp_ps((__m256)a, _mm256_setzero_ps(), _CMP_GT_OQ)));
}
SORVEL2_TARGET_AVX512 inline std::uint64_t PositiveLanes(TFloat16 a) {
    return _mm512_cmp_ps_mask((__m512)a, _mm512_setzero_ps(), _CMP_GT_OQ);
}
SORVEL2_TARGET_AVX512 inline TFloat16 MinLanes(TFloat16 a, TFloat16 b) {
    // NOTE: the zero-masking form, because g++ 12 warns about the
    // undefined pass-through inside the plain one.
    return (TFloat16)_mm512_maskz_min_ps(0xFFFF, (__m512)a, (__m512)b);
}
} // namespace

#define FIELD_NS avx2
#define FIELD_TARGET SORVEL2_TARGET_AVX2
#define FIELD_VF TFloat8
#define FIELD_W 8
#define FIELD_V8 TFloat8
#define FIELD_V4 TFloat4
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W
#undef FIELD_V8
#undef FIELD_V4

#define FIELD_NS avx512
#define FIELD_TARGET SORVEL2_TARGET_AVX512
#define FIELD_VF TFloat16
#define FIELD_W 16
#define FIELD_V8 TFloat8
#define FIELD_V4 TFloat4
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W
#undef FIELD_V8
#undef FIELD_V4
#endif

namespace {

using TRowsKernel = void (*)(const TFieldJob& Job, std::int64_t First, std::int64_t Last);

// The kernel of each level, by TSimdLevel.
#if SORVEL2_X86_SIMD
constexpr TRowsKernel kRowsKernels[kSimdLevelCount] = {portable::Rows, sse2::Rows, avx2::Rows, avx512::Rows};
#elif SORVEL2_SIMD4
constexpr TRowsKernel kRowsKernels[kSimdLevelCount] = {sse2::Rows, sse2::Rows, sse2::Rows, sse2::Rows};
#else
constexpr TRowsKernel kRowsKernels[kSimdLevelCount] = {portable::Rows, portable::Rows, portable::Rows,
                                                       portable::Rows};
#endif

// The block field's kernels of each level, by TSimdLevel.
#if SORVEL2_X86_SIMD
constexpr TBlockKernels kBlockKernels[kSimdLevelCount] = {{portable::BoundRow, portable::Samples, portable::RowSet},
                                                          {sse2::BoundRow, sse2::Samples, sse2::RowSet},
                                                          {avx2::BoundRow, avx2::Samples, avx2::RowSet},
                                                          {avx512::BoundRow, avx512::Samples, avx512::RowSet}};
#elif SORVEL2_SIMD4
// NOTE: no packing kernel for the exact set's rows in the page's module
// (4 KB, and the page has a size limit): the block field asks for them
// one by one (TBlockField::EvaluateRowSet's own way).
constexpr TBlockKernels kBlockKernels[kSimdLevelCount] = {{sse2::BoundRow, sse2::Samples, nullptr},
                                                          {sse2::BoundRow, sse2::Samples, nullptr},
                                                          {sse2::BoundRow, sse2::Samples, nullptr},
                                                          {sse2::BoundRow, sse2::Samples, nullptr}};
#else
constexpr TBlockKernels kBlockKernels[kSimdLevelCount] = {{portable::BoundRow, portable::Samples, portable::RowSet},
                                                          {portable::BoundRow, portable::Samples, portable::RowSet},
                                                          {portable::BoundRow, portable::Samples, portable::RowSet},
                                                          {portable::BoundRow, portable::Samples, portable::RowSet}};
#endif

} // namespace

const TBlockKernels& BlockKernels() { return kBlockKernels[KernelLevel(kFieldKernels)]; }

#if SORVEL2_X86_SIMD
namespace {

TBall gProbeBalls[16];
TBallScene ProbeBalls() { return {20.0f, gProbeBalls, 16}; }

// The sparse route's kernels, which a frame runs most: every block row of a
// thin grid bounded at both scales with nothing known before, then in
// each of its block rows the samples of a few blocks of each row
// evaluated, inside bits and all, and a few samples of each row, as the
// exact set's rows have them (TBlockField's passes 0, 1 and 3). In a
// frame the samples take about three times what the bounds take; here
// they take more than the bounds too. It matters: the widest vectors may
// bound as fast as narrower ones, but they hold a few blocks' samples with
// lanes to spare.
double ProbeBlockKernels(TSimdLevel Level) {
    static TGrid grid(127, 15, 15, 2.0f / 127, 0.0f, 0.0f, 0.0f, nullptr);
    static TBallBlockField field(grid, 16, ProbeBalls);
    MoveBalls(gProbeBalls, 16, 20.0f);
    if (!field.Begin(grid)) return 0.0;
    const TBlockKernels& k = kBlockKernels[Level];
    const TBlockJob& job = field.Job();
    std::uint8_t classes[kMaxBlockColumns];
    // Unproven blocks come two to six in a block row: runs of 8 to 24
    // samples.
    const std::uint64_t mask[2] = {0xFFFull << 12 | 0xFFull << 44, 0xFFFFull << 44};
    std::uint64_t inside[4 * 2] = {};
    const double start = ProbeClockNow();
    for (int scale : {2, 1})
        for (std::int32_t bz = 0; bz * scale * kBlockSize <= 15; ++bz)
            for (std::int32_t by = 0; by * scale * kBlockSize <= 15; ++by) {
                std::fill(classes, classes + kMaxBlockColumns, static_cast<std::uint8_t>(kBlockMixed));
                k.BoundRow(job, scale, by, bz, classes);
            }
    std::uint64_t few[kRowSetRows * 2];
    for (std::int32_t r = 0; r < kRowSetRows; ++r) {
        few[2 * r] = 0x30000000c0ull << (3 * r);
        few[2 * r + 1] = 0x1ull << (5 * r);
    }
    for (std::int32_t j = 0; j + kBlockSize <= 16; j += kBlockSize) {
        for (std::int32_t kz = 0; kz < kBlockSize; ++kz) k.Samples(job, j, kBlockSize, kz, mask, inside, 2);
        for (std::int32_t kz = 0; kz < kBlockSize; kz += 2) k.RowSet(job, j, kz, few, 2);
    }
    const double end = ProbeClockNow();
    return end - start;
}

} // namespace
#endif

double ProbeFieldKernels([[maybe_unused]] TSimdLevel Level) {
#if !SORVEL2_X86_SIMD
    return 0.0;  // one level only: nothing to choose
#else
    // 16 rows of 128 samples and 16 balls of the scene: the divisions that
    // bound both routes of the field, the dense route's rows and the sparse
    // route's bounds and samples.
    constexpr std::int32_t kX = 127, kRows = 16, kBalls = 16;
    alignas(64) static float xs[kX + 1 + kFieldScratchPadding];
    alignas(64) static float values[(kX + 1) * kRows];
    TBall balls[kBalls];
    MoveBalls(balls, kBalls, 20.0f);
    const float c = 2.0f / kX;
    float x = FieldRowStart(kX, c);
    for (float& v : xs) v = x, x = x + c;
    const TFieldJob job{FieldFrameAt(20.0f), c, kX, kRows - 1, 0, balls, kBalls, xs, true, values};
    const double start = ProbeClockNow();
    kRowsKernels[Level](job, 0, kRows);
    const double end = ProbeClockNow();
    return end - start + ProbeBlockKernels(Level);
#endif
}

void EvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count) {
    const std::int32_t nX = Grid.SizeX, nY = Grid.SizeY, nZ = Grid.SizeZ;
    if (nX < 0 || nY < 0 || nZ < 0) return;
    const float c = Grid.CellSize;
    TFieldJob job{FieldFrameAt(T), c,     nX, nY, nZ, Balls, Count, Grid.FieldScratch.Data(), false,
                  Grid.Values.Data()};

    // x of every sample along a row, accumulated as the reference does; the
    // padding lanes carry on the same way and are never stored.
    float* xs = Grid.FieldScratch.Data();
    const std::int64_t xCount = static_cast<std::int64_t>(nX) + 1 + kFieldScratchPadding;
    float x = FieldRowStart(nX, c);
    for (std::int64_t i = 0; i < xCount; ++i, x = x + c) xs[i] = x;
    // The accumulation runs one way, so finite ends mean finite all along.
    job.FiniteX = std::isfinite(c) && std::isfinite(xs[0]) && std::isfinite(xs[xCount - 1]);

    const std::int64_t rows = (static_cast<std::int64_t>(nY) + 1) * (static_cast<std::int64_t>(nZ) + 1);
    const std::int64_t samples = rows * (static_cast<std::int64_t>(nX) + 1);
    // Four parts per thread, taken first come first served: a thread that
    // starts late or runs slow leaves its share to the others.
    const int threads = PartsFor(samples * (Count + 2) / 4);
    const int parts = threads == 1 ? 1 : 4 * threads;
    const TRowsKernel kernel = kRowsKernels[KernelLevel(kFieldKernels)];
    auto body = [&](int part) {
        std::int64_t first, last;
        PartRange(rows, part, parts, first, last);
        kernel(job, first, last);
    };
    RunParts(parts, body);

    // The balls' scratch fields as the last row leaves them.
    const TFieldRow last = FieldRowAt(job.Frame, nY, nZ, nY, nZ, c);
    for (std::int32_t n = 0; n < Count; ++n) {
        Balls[n].StrengthSqr = BallStrengthSqr(Balls[n]);
        Balls[n].DistSqrYZ = BallDistSqrYZ(Balls[n], last.Y, last.Z);
    }
}
