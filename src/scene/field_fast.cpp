// EvaluateBallField: the reference field's arithmetic, many samples per
// instruction and split by rows over the worker threads.
//
// Per row, the balls are taken in index order and each one's term is added
// to a row buffer of H values, so every sample still sums its balls in index
// order; the x of the samples is accumulated once per call into the grid's
// FieldScratch and read by every row.
#include "scene/field.h"
#include "scene/field_terms.h"

#include "grid/parallel.h"
#include "grid/simd.h"

#include <algorithm>
#include <cstring>

namespace {

struct TFieldJob {
    TFieldFrame Frame;
    float Cell;
    std::int32_t nX, nY, nZ;
    const TBall* Balls;
    std::int32_t Count;
    const float* X;  // x of every sample of a row, padded by kPadding
    float* Values;
};

// Samples of a row that share one pass over the balls, and balls whose row
// scratch is made at a time: both bound the stack buffers of a row.
constexpr std::int64_t kSampleChunk = 512;
constexpr std::int32_t kBallChunk = 128;

} // namespace

#define FIELD_NS portable
#define FIELD_TARGET
#define FIELD_VF float
#define FIELD_W 1
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W

#if SORVEL2_X86_SIMD
namespace {
typedef float TFloat4 __attribute__((vector_size(16)));
typedef float TFloat8 __attribute__((vector_size(32)));
typedef float TFloat16 __attribute__((vector_size(64)));
} // namespace

#define FIELD_NS sse2
#define FIELD_TARGET
#define FIELD_VF TFloat4
#define FIELD_W 4
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W

#define FIELD_NS avx2
#define FIELD_TARGET SORVEL2_TARGET_AVX2
#define FIELD_VF TFloat8
#define FIELD_W 8
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W

#define FIELD_NS avx512
#define FIELD_TARGET SORVEL2_TARGET_AVX512
#define FIELD_VF TFloat16
#define FIELD_W 16
#include "scene/field_kernel.inc"
#undef FIELD_NS
#undef FIELD_TARGET
#undef FIELD_VF
#undef FIELD_W
#endif

namespace {

using TRowsKernel = void (*)(const TFieldJob& Job, std::int64_t First, std::int64_t Last);

// The kernel of each level, by TSimdLevel.
#if SORVEL2_X86_SIMD
constexpr TRowsKernel kRowsKernels[kSimdLevelCount] = {portable::Rows, sse2::Rows, avx2::Rows, avx512::Rows};
#else
constexpr TRowsKernel kRowsKernels[kSimdLevelCount] = {portable::Rows, portable::Rows, portable::Rows,
                                                       portable::Rows};
#endif

} // namespace

void EvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count) {
    const std::int32_t nX = Grid.SizeX, nY = Grid.SizeY, nZ = Grid.SizeZ;
    if (nX < 0 || nY < 0 || nZ < 0) return;
    const float c = Grid.CellSize;
    TFieldJob job{FieldFrameAt(T), c, nX, nY, nZ, Balls, Count, Grid.FieldScratch.Data(), Grid.Values.Data()};

    // x of every sample along a row, accumulated as the reference does; the
    // padding lanes carry on the same way and are never stored.
    float* xs = Grid.FieldScratch.Data();
    const std::int64_t xCount = static_cast<std::int64_t>(nX) + 1 + kFieldScratchPadding;
    float x = FieldRowStart(nX, c);
    for (std::int64_t i = 0; i < xCount; ++i, x = x + c) xs[i] = x;

    const std::int64_t rows = (static_cast<std::int64_t>(nY) + 1) * (static_cast<std::int64_t>(nZ) + 1);
    const std::int64_t samples = rows * (static_cast<std::int64_t>(nX) + 1);
    const int parts = PartsFor(samples * (Count + 2) / 4);
    const TRowsKernel kernel = kRowsKernels[ActiveSimdLevel()];
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
