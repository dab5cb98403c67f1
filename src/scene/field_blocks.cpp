// TBallBlockField: the ball field for the grid's sparse route. Begin makes
// the per-call tables that let a block row be bounded in a few operations
// per ball (the least and greatest (x - X)^2, (y - Y)^2 and (z - Z)^2 over
// every block, rounded as the field rounds them); the kernels of
// field_kernel.inc do the rest.
#include "scene/field.h"
#include "scene/field_blocks.h"
#include "scene/state.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace {

// Whole vectors of the widest level.
constexpr std::int32_t kLanes = 16;

struct TTableSizes {
    std::int64_t Balls, Rows, YS, ZS, Nby, Nbz, XStride;
    std::int64_t Bytes() const {
        return 4 * Rows + Balls * (8 * (YS + ZS) + 16 * (Nby + Nbz) + 8 * XStride + 8) + 8 * XStride;
    }
};

TTableSizes SizesFor(const TGrid& Grid, std::int32_t MaxBalls) {
    const std::int64_t nbx = Grid.BlocksX();
    return {std::max<std::int64_t>(MaxBalls, 0),
            (static_cast<std::int64_t>(Grid.SizeY) + 1) * (static_cast<std::int64_t>(Grid.SizeZ) + 1),
            static_cast<std::int64_t>(Grid.SizeY) + 1,
            static_cast<std::int64_t>(Grid.SizeZ) + 1,
            Grid.BlocksY(),
            Grid.BlocksZ(),
            (nbx + kLanes - 1) / kLanes * kLanes};
}

// The least and greatest of Value(i) over the samples i of each block along
// an axis of Size cells, into Lo[b] and Hi[b].
template <class T, class F>
void BlockExtremes(std::int32_t Size, T* Lo, T* Hi, F&& Value) {
    for (std::int32_t b = 0; b * kBlockSize <= Size; ++b) {
        T lo = std::numeric_limits<T>::infinity(), hi = -lo;
        for (std::int32_t i = b * kBlockSize; i <= std::min(b * kBlockSize + kBlockSize - 1, Size); ++i) {
            const T v = Value(i);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        Lo[b] = lo;
        Hi[b] = hi;
    }
}

bool Finite(const TBall& B) {
    return std::isfinite(B.X) && std::isfinite(B.Y) && std::isfinite(B.Z) && std::isfinite(B.Strength);
}

} // namespace

bool TBallBlockField::Fits(const TGrid& Grid, std::int32_t MaxBalls) {
    const std::int32_t m = TGrid::kMaxSparseSize;
    return Grid.SizeX >= 1 && Grid.SizeY >= 1 && Grid.SizeZ >= 1 && Grid.SizeX <= m && Grid.SizeY <= m &&
           Grid.SizeZ <= m && MaxBalls >= 0 && SizesFor(Grid, MaxBalls).Bytes() <= kMaxBlockTableBytes;
}

TBallBlockField::TBallBlockField(const TGrid& Grid, std::int32_t MaxBalls) : MaxBalls_(MaxBalls) {
    const TTableSizes n = SizesFor(Grid, MaxBalls);
    XStride_ = static_cast<std::int32_t>(n.XStride);
    RowR_.Create(n.Rows);
    Dy2_.Create(n.Balls * n.YS);
    Dz2_.Create(n.Balls * n.ZS);
    Dy2Lo_.Create(n.Balls * n.Nby);
    Dy2Hi_.Create(n.Balls * n.Nby);
    Dz2Lo_.Create(n.Balls * n.Nbz);
    Dz2Hi_.Create(n.Balls * n.Nbz);
    Dx2Lo_.Create(n.Balls * n.XStride);
    Dx2Hi_.Create(n.Balls * n.XStride);
    X2Lo_.Create(n.XStride);
    X2Hi_.Create(n.XStride);
    S_.Create(n.Balls);
    BallX_.Create(n.Balls);
}

bool TBallBlockField::Begin(TGrid& Grid) {
    const std::int32_t nX = Grid.SizeX, nY = Grid.SizeY, nZ = Grid.SizeZ;
    const float c = Grid.CellSize;
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

    const TTableSizes sizes = SizesFor(Grid, MaxBalls_);
    Job_ = TBlockJob{FieldFrameAt(T), nX, nY, nZ, c, Balls, Count, xs, Grid.Values.Data(), RowR_.Data(),
                     S_.Data(), BallX_.Data(), Dy2_.Data(), Dz2_.Data(), Dy2Lo_.Data(), Dy2Hi_.Data(), Dz2Lo_.Data(), Dz2Hi_.Data(),
                     Dx2Lo_.Data(), Dx2Hi_.Data(), X2Lo_.Data(), X2Hi_.Data(), Grid.BlocksX(), Grid.BlocksY(),
                     Grid.BlocksZ(), XStride_};
    BlockExtremes<float>(nX, X2Lo_.Data(), X2Hi_.Data(), [&](std::int32_t i) { return xs[i] * xs[i]; });
    // The balls' terms as the field rounds them: (x - X)^2 in float,
    // (y - Y)^2 and (z - Z)^2 in double (BallDistSqrYZ). The tables of y
    // and z go by row, every ball of a row side by side.
    const std::int64_t count = Count;
    for (std::int32_t n = 0; n < Count; ++n) {
        const TBall& ball = Balls[n];
        S_[static_cast<std::size_t>(n)] = BallStrengthSqr(ball);
        BallX_[static_cast<std::size_t>(n)] = ball.X;
        BlockExtremes<float>(nX, Dx2Lo_.Data() + n * sizes.XStride, Dx2Hi_.Data() + n * sizes.XStride,
                             [&](std::int32_t i) {
                                 const float d = xs[i] - ball.X;
                                 return d * d;
                             });
    }
    auto squares = [&](std::int32_t Size, double* Out, double* Lo, double* Hi, auto Centre) {
        for (std::int32_t i = 0; i <= Size; ++i) {
            const double coordinate = FieldCoordinate(i, Size, c);
            for (std::int32_t n = 0; n < Count; ++n) {
                const double d = coordinate - Centre(Balls[n]);
                Out[i * count + n] = d * d;
            }
        }
        for (std::int32_t b = 0; b * kBlockSize <= Size; ++b)
            for (std::int32_t n = 0; n < Count; ++n) {
                double lo = Out[b * kBlockSize * count + n], hi = lo;
                for (std::int32_t i = b * kBlockSize + 1; i <= std::min(b * kBlockSize + kBlockSize - 1, Size); ++i) {
                    lo = std::min(lo, Out[i * count + n]);
                    hi = std::max(hi, Out[i * count + n]);
                }
                Lo[b * count + n] = lo;
                Hi[b * count + n] = hi;
            }
    };
    squares(nY, Dy2_.Data(), Dy2Lo_.Data(), Dy2Hi_.Data(), [](const TBall& B) { return B.Y; });
    squares(nZ, Dz2_.Data(), Dz2Lo_.Data(), Dz2Hi_.Data(), [](const TBall& B) { return B.Z; });
    return true;
}

void TBallBlockField::BoundRow(const TGrid&, std::int32_t BY, std::int32_t BZ, std::uint8_t* Classes) {
    BlockKernels().BoundRow(Job_, BY, BZ, Classes);
}

void TBallBlockField::EvaluateSamples(TGrid&, std::int32_t J, std::int32_t K, const std::uint64_t* Mask) {
    BlockKernels().Samples(Job_, J, K, Mask);
}

void TBallBlockField::End(TGrid& Grid) {
    // The balls' scratch fields as EvaluateBallField's last row leaves them.
    const float y = FieldCoordinate(Grid.SizeY, Grid.SizeY, Grid.CellSize);
    const float z = FieldCoordinate(Grid.SizeZ, Grid.SizeZ, Grid.CellSize);
    for (std::int32_t n = 0; n < Count; ++n) {
        Balls[n].StrengthSqr = BallStrengthSqr(Balls[n]);
        Balls[n].DistSqrYZ = BallDistSqrYZ(Balls[n], y, z);
    }
}

TBallBlockField* UseBallBlockField(TGrid& Grid, std::int32_t MaxBalls) {
    if (!TBallBlockField::Fits(Grid, MaxBalls)) return nullptr;
    auto field = std::make_unique<TBallBlockField>(Grid, MaxBalls);
    TBallBlockField* p = field.get();
    Grid.UseBlockField(std::move(field));
    return p;
}
