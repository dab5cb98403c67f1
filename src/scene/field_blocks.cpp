// TBallBlockField: the ball field for the grid's sparse route. Begin makes
// the per-call tables that let a block row be bounded in a few operations
// per ball (the least and greatest (x - X)^2, (y - Y)^2 and (z - Z)^2 over
// every block, rounded as the field rounds them); the kernels of
// field_kernel.inc do the rest.
#include "scene/field.h"
#include "scene/field_blocks.h"
#include "scene/state.h"

#include "grid/parallel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

// The helpers of Begin are kept out of line: it runs once a frame, and
// copies of them would only make the program (and the page) larger.
namespace {

// Whole vectors of the widest level.
constexpr std::int32_t kLanes = 16;

// What one ball at one sample of an axis weighs in Begin's tables, in the
// samples that PartsFor (grid/parallel.h) splits work by: at 50 balls a
// grid of 128 gets two parts and one of 256 four (at most the threads),
// while the tables of a few balls, a few microseconds' work, stay on the
// calling thread.
constexpr std::int64_t kBeginTableWeight = 4;

// Blocks along an axis of Size cells at a scale (0: kBlockSize samples a
// side, 1: twice that).
std::int64_t BlocksAlong(std::int32_t Size, int Scale) { return Size / (kBlockSize << Scale) + 1; }

std::int64_t TableBytes(const TGrid& Grid, std::int32_t MaxBalls) {
    const std::int64_t balls = std::max<std::int32_t>(MaxBalls, 0);
    const std::int64_t ys = static_cast<std::int64_t>(Grid.SizeY) + 1, zs = static_cast<std::int64_t>(Grid.SizeZ) + 1;
    std::int64_t bytes = 4 * ys * zs + balls * (8 * (ys + zs) + 8) + balls * 8 * (ys + kBlockSize + zs + 1);
    for (int scale = 0; scale < 2; ++scale) {
        const std::int64_t stride = (BlocksAlong(Grid.SizeX, scale) + kLanes - 1) / kLanes * kLanes;
        bytes += balls * (16 * (BlocksAlong(Grid.SizeY, scale) + BlocksAlong(Grid.SizeZ, scale)) + 8 * stride) + 8 * stride;
    }
    return bytes;
}

// The least and greatest of Value(i) over the samples i of each block of
// Side samples along an axis of Size cells, into Lo[b] and Hi[b].
template <class T, class F>
[[gnu::noinline]] void BlockExtremes(std::int32_t Size, std::int32_t Side, T* Lo, T* Hi, F&& Value) {
    for (std::int32_t b = 0; b * Side <= Size; ++b) {
        T lo = std::numeric_limits<T>::infinity(), hi = -lo;
        for (std::int32_t i = b * Side; i <= std::min(b * Side + Side - 1, Size); ++i) {
            const T v = Value(i);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        Lo[b] = lo;
        Hi[b] = hi;
    }
}

// Lo[b * Count + n] and Hi[b * Count + n]: the least and greatest of
// In[i * Count + n] over the samples i of each block of kBlockSize samples
// along an axis of Size cells, for every ball n (the balls side by side, so
// that they go a vector at a time).
[[gnu::noinline]] void BallBlockExtremes(std::int32_t Size, std::int64_t Count, const double* __restrict In,
                                         double* __restrict Lo, double* __restrict Hi) {
    for (std::int32_t b = 0; b * kBlockSize <= Size; ++b) {
        double* lo = Lo + b * Count;
        double* hi = Hi + b * Count;
        const double* first = In + b * kBlockSize * Count;
        for (std::int64_t n = 0; n < Count; ++n) lo[n] = hi[n] = first[n];
        for (std::int32_t i = b * kBlockSize + 1; i <= std::min(b * kBlockSize + kBlockSize - 1, Size); ++i) {
            const double* row = In + i * Count;
            for (std::int64_t n = 0; n < Count; ++n) {
                lo[n] = std::min(lo[n], row[n]);
                hi[n] = std::max(hi[n], row[n]);
            }
        }
    }
}

// The extremes of blocks of twice the side (scale 1) from those of scale 0
// along an axis of Size cells, Count values a block side by side (Lo0[b *
// Count + n], and so on): block b of scale 1 is blocks 2b and 2b + 1 of
// scale 0, or 2b alone where the axis ends before 2b + 1. Exact: the least
// of the blocks' least is the least of all (no value is NaN).
template <class T>
[[gnu::noinline]] void DoubledExtremes(std::int32_t Size, std::int64_t Count, const T* __restrict Lo0,
                                       const T* __restrict Hi0, T* __restrict Lo1, T* __restrict Hi1) {
    for (std::int32_t b = 0; b * 2 * kBlockSize <= Size; ++b) {
        // The second block, or the first again where there is none.
        const std::int64_t a = 2 * b * Count, a2 = (2 * b + 1) * kBlockSize <= Size ? a + Count : a;
        for (std::int64_t n = 0; n < Count; ++n) {
            Lo1[b * Count + n] = std::min(Lo0[a + n], Lo0[a2 + n]);
            Hi1[b * Count + n] = std::max(Hi0[a + n], Hi0[a2 + n]);
        }
    }
}

// Out[i * Count + n] = (c_i - Centre_n)^2 in double for the samples i of an
// axis of Size cells and every ball n, c_i being the sample's coordinate
// and Centre_n the ball's Axis.
[[gnu::noinline]] void SquaredDistances(std::int32_t Size, float Cell, const TBall* Balls, float TBall::*Axis,
                                        std::int64_t Count, double* Out) {
    for (std::int32_t i = 0; i <= Size; ++i) {
        const double coordinate = FieldCoordinate(i, Size, Cell);
        for (std::int64_t n = 0; n < Count; ++n) {
            const double d = coordinate - Balls[n].*Axis;
            Out[i * Count + n] = d * d;
        }
    }
}

// Out[n * Stride + i] = In[i * Count + n] for the samples i of an axis of
// Size cells, and 0 for i past Size up to Stride.
[[gnu::noinline]] void Transpose(std::int32_t Size, std::int64_t Count, const double* In, std::int64_t Stride,
                                 double* Out) {
    for (std::int64_t n = 0; n < Count; ++n)
        for (std::int64_t i = 0; i < Stride; ++i) Out[n * Stride + i] = i <= Size ? In[i * Count + n] : 0.0;
}

// The least and greatest (x - X)^2 in float (as the field rounds it) over
// the samples of each block of both scales along a row of Size cells whose
// samples' x are Xs.
[[gnu::noinline]] void XExtremes(std::int32_t Size, const float* Xs, float X, float* FineLo, float* FineHi,
                                 float* CoarseLo, float* CoarseHi) {
    BlockExtremes<float>(Size, kBlockSize, FineLo, FineHi, [&](std::int32_t i) {
        const float d = Xs[i] - X;
        return d * d;
    });
    DoubledExtremes<float>(Size, 1, FineLo, FineHi, CoarseLo, CoarseHi);
}

// The tables of the y or z axis (Axis): (c_i - Centre_n)^2 by row (Rows)
// and by ball (ByBall, Stride a ball), and their least and greatest over
// the blocks of both scales.
[[gnu::noinline]] void AxisTables(std::int32_t Size, float Cell, const TBall* Balls, float TBall::*Axis,
                                  std::int64_t Count, double* Rows, double* ByBall, std::int64_t Stride,
                                  double* FineLo, double* FineHi, double* CoarseLo, double* CoarseHi) {
    SquaredDistances(Size, Cell, Balls, Axis, Count, Rows);
    Transpose(Size, Count, Rows, Stride, ByBall);
    BallBlockExtremes(Size, Count, Rows, FineLo, FineHi);
    DoubledExtremes(Size, Count, FineLo, FineHi, CoarseLo, CoarseHi);
}

bool Finite(const TBall& B) {
    return std::isfinite(B.X) && std::isfinite(B.Y) && std::isfinite(B.Z) && std::isfinite(B.Strength);
}

} // namespace

bool TBallBlockField::Fits(const TGrid& Grid, std::int32_t MaxBalls) {
    const std::int32_t m = TGrid::kMaxSparseSize;
    return Grid.SizeX >= 1 && Grid.SizeY >= 1 && Grid.SizeZ >= 1 && Grid.SizeX <= m && Grid.SizeY <= m &&
           Grid.SizeZ <= m && MaxBalls >= 0 && TableBytes(Grid, MaxBalls) <= kMaxBlockTableBytes;
}

TBallBlockField::TBallBlockField(const TGrid& Grid, std::int32_t MaxBalls, TBallSource Source)
    : MaxBalls_(std::max(MaxBalls, 0)), Bytes_(TableBytes(Grid, MaxBalls_)), Source_(Source) {
    const std::int64_t balls = MaxBalls_;
    const std::int64_t ys = static_cast<std::int64_t>(Grid.SizeY) + 1, zs = static_cast<std::int64_t>(Grid.SizeZ) + 1;
    RowR_.Create(ys * zs);
    S_.Create(balls);
    BallX_.Create(balls);
    Dy2_.Create(balls * ys);
    Dz2_.Create(balls * zs);
    Dy2T_.Create(balls * (ys + kBlockSize));
    Dz2T_.Create(balls * (zs + 1));
    for (int scale = 0; scale < 2; ++scale) {
        TScaleTables& t = Scales_[scale];
        t.Nbx = static_cast<std::int32_t>(BlocksAlong(Grid.SizeX, scale));
        t.XStride = (t.Nbx + kLanes - 1) / kLanes * kLanes;
        const std::int64_t nby = BlocksAlong(Grid.SizeY, scale), nbz = BlocksAlong(Grid.SizeZ, scale);
        t.Dy2Lo.Create(balls * nby);
        t.Dy2Hi.Create(balls * nby);
        t.Dz2Lo.Create(balls * nbz);
        t.Dz2Hi.Create(balls * nbz);
        t.Dx2Lo.Create(balls * t.XStride);
        t.Dx2Hi.Create(balls * t.XStride);
        t.X2Lo.Create(t.XStride);
        t.X2Hi.Create(t.XStride);
    }
}

bool TBallBlockField::Begin(TGrid& Grid) {
    const std::int32_t nX = Grid.SizeX, nY = Grid.SizeY, nZ = Grid.SizeZ;
    const float c = Grid.CellSize;
    Scene_ = Source_();
    const TBall* const Balls = Scene_.Balls;
    const std::int32_t Count = Scene_.Count;
    if (Count < 0 || Count > MaxBalls_ || (Count > 0 && Balls == nullptr) || !std::isfinite(c)) return false;
    for (std::int32_t n = 0; n < Count; ++n)
        if (!Finite(Balls[n])) return false;

    // x of every sample along a row, accumulated as EvaluateBallField does
    // (it keeps them in the same place).
    float* xs = Grid.FieldScratch.Data();
    const std::int64_t xCount = static_cast<std::int64_t>(nX) + 1 + kFieldScratchPadding;
    float x = FieldRowStart(nX, c);
    for (std::int64_t i = 0; i < xCount; ++i, x = x + c) xs[i] = x;
    // Each coordinate runs one way along its axis, so finite ends mean finite all along.
    if (!std::isfinite(xs[0]) || !std::isfinite(xs[xCount - 1]) || !std::isfinite(FieldCoordinate(0, nY, c)) ||
        !std::isfinite(FieldCoordinate(nY, nY, c)) || !std::isfinite(FieldCoordinate(0, nZ, c)) ||
        !std::isfinite(FieldCoordinate(nZ, nZ, c)))
        return false;

    // The balls' terms as the field rounds them: (x - X)^2 in float,
    // (y - Y)^2 and (z - Z)^2 in double (BallDistSqrYZ). The tables of y
    // and z go by row, every ball of a row side by side, and again by ball
    // for the exact set's row sets (rows up to three past nY and a layer
    // past nZ read as 0).
    const std::int64_t count = Count;
    for (std::int32_t n = 0; n < Count; ++n) {
        S_[static_cast<std::size_t>(n)] = BallStrengthSqr(Balls[n]);
        BallX_[static_cast<std::size_t>(n)] = Balls[n].X;
    }
    const std::int64_t yStride = static_cast<std::int64_t>(nY) + 1 + kBlockSize;
    const std::int64_t zStride = static_cast<std::int64_t>(nZ) + 2;
    Job_ = TBlockJob{FieldFrameAt(Scene_.T), nX, nY, nZ, c, Balls, Count, xs, Grid.Values.Data(), RowR_.Data(),
                     S_.Data(), BallX_.Data(), Dy2_.Data(), Dz2_.Data(), Dy2T_.Data(), Dz2T_.Data(), yStride,
                     zStride, {}};
    for (int scale = 0; scale < 2; ++scale) {
        TScaleTables& t = Scales_[scale];
        Job_.Scales[scale] = {t.Dy2Lo.Data(), t.Dy2Hi.Data(), t.Dz2Lo.Data(), t.Dz2Hi.Data(), t.Dx2Lo.Data(),
                              t.Dx2Hi.Data(), t.X2Lo.Data(), t.X2Hi.Data(), t.Nbx, t.XStride};
    }

    // The tables themselves, and their least and greatest over the blocks
    // of both scales: each axis's, and x's ball by ball, depend on nothing
    // but the balls, so the worker threads share them. With more threads
    // than the calling one, this is most of what it would otherwise do
    // alone before any block row may start.
    const int parts = PartsFor(kBeginTableWeight * count * (std::int64_t{nX} + nY + nZ));
    auto part = [this, parts](int Part) { MakeTables(Part, parts); };
    RunParts(parts, part);
    return true;
}

// Part 0 takes y's tables, the next z's (with one part, both), and x's
// balls are shared by the rest (with two parts, by both): each axis's
// tables take about as long as all of x's.
void TBallBlockField::MakeTables(int Part, int Parts) {
    const TBlockJob& J = Job_;
    TScaleTables& fine = Scales_[0];
    TScaleTables& coarse = Scales_[1];
    if (Part == 0)
        AxisTables(J.nY, J.Cell, J.Balls, &TBall::Y, J.Count, Dy2_.Data(), Dy2T_.Data(), J.Dy2TStride, fine.Dy2Lo.Data(),
                   fine.Dy2Hi.Data(), coarse.Dy2Lo.Data(), coarse.Dy2Hi.Data());
    if (Part == 1 % Parts)
        AxisTables(J.nZ, J.Cell, J.Balls, &TBall::Z, J.Count, Dz2_.Data(), Dz2T_.Data(), J.Dz2TStride, fine.Dz2Lo.Data(),
                   fine.Dz2Hi.Data(), coarse.Dz2Lo.Data(), coarse.Dz2Hi.Data());
    const int xFirst = Parts > 2 ? 2 : 0;
    if (Part < xFirst) return;
    std::int64_t first, last;
    PartRange(J.Count, Part - xFirst, Parts - xFirst, first, last);
    // x * x is (x - X)^2 at X = 0, bit for bit.
    if (Part == xFirst)
        XExtremes(J.nX, J.X, 0.0f, fine.X2Lo.Data(), fine.X2Hi.Data(), coarse.X2Lo.Data(), coarse.X2Hi.Data());
    for (std::int64_t n = first; n < last; ++n)
        XExtremes(J.nX, J.X, J.BallX[n], fine.Dx2Lo.Data() + n * fine.XStride, fine.Dx2Hi.Data() + n * fine.XStride,
                  coarse.Dx2Lo.Data() + n * coarse.XStride, coarse.Dx2Hi.Data() + n * coarse.XStride);
}

void TBallBlockField::BoundRow(const TGrid&, std::int32_t Scale, std::int32_t BY, std::int32_t BZ,
                               std::uint8_t* Classes) {
    BlockKernels().BoundRow(Job_, Scale, BY, BZ, Classes);
}

void TBallBlockField::EvaluateSamples(TGrid& Grid, std::int32_t J, std::int32_t Rows, std::int32_t K,
                                      const std::uint64_t* Mask, std::uint64_t* Inside) {
    BlockKernels().Samples(Job_, J, Rows, K, Mask, Inside, (static_cast<std::int64_t>(Grid.SizeX) + 64) / 64);
}

void TBallBlockField::EvaluateRowSet(TGrid& Grid, std::int32_t J, std::int32_t K, const std::uint64_t* Masks) {
    if (BlockKernels().RowSet == nullptr) return TBlockField::EvaluateRowSet(Grid, J, K, Masks);
    BlockKernels().RowSet(Job_, J, K, Masks, (static_cast<std::int64_t>(Grid.SizeX) + 64) / 64);
}

void TBallBlockField::End(TGrid& Grid) {
    // The balls' scratch fields as EvaluateBallField's last row leaves them.
    TBall* const Balls = Scene_.Balls;
    const std::int32_t Count = Scene_.Count;
    const float y = FieldCoordinate(Grid.SizeY, Grid.SizeY, Grid.CellSize);
    const float z = FieldCoordinate(Grid.SizeZ, Grid.SizeZ, Grid.CellSize);
    for (std::int32_t n = 0; n < Count; ++n) {
        Balls[n].StrengthSqr = BallStrengthSqr(Balls[n]);
        Balls[n].DistSqrYZ = BallDistSqrYZ(Balls[n], y, z);
    }
}

TBallBlockField* UseBallBlockField(TGrid& Grid, std::int32_t MaxBalls, TBallSource Source) {
    if (!TBallBlockField::Fits(Grid, MaxBalls)) return nullptr;
    auto field = std::make_unique<TBallBlockField>(Grid, MaxBalls, Source);
    TBallBlockField* p = field.get();
    Grid.UseBlockField(std::move(field));
    return p;
}
