// What the ball field's block kernels (field_kernel.inc, one copy per
// instruction level, instantiated in field_fast.cpp) share with
// TBallBlockField (field_blocks.cpp): the tables of one call. Internal to
// the scene's field.
#pragma once

#include "grid/grid.h"
#include "scene/ball.h"
#include "scene/field_terms.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

struct TBlockJob {
    TFieldFrame Frame;
    std::int32_t nX, nY, nZ;
    float Cell;
    const TBall* Balls;
    std::int32_t Count;
    const float* X;  // x of every sample of a row (the grid's FieldScratch), padded
    float* Values;
    float* RowR;     // R of row (iy, iz) at iy + (nY + 1) * iz, made by BoundRow
    // Per ball n: its StrengthSqr and X, at n.
    const float* S;
    const float* BallX;
    // In double, (y - Y)^2 of ball n for sample row iy at Dy2[iy * Count + n]
    // and (z - Z)^2 for layer iz at Dz2[iz * Count + n].
    const double* Dy2;
    const double* Dz2;
    // The same ball by ball: (y - Y)^2 of ball n for row iy at
    // Dy2T[n * Dy2TStride + iy], rows past nY padded to whole row sets with
    // 0, and (z - Z)^2 at Dz2T[n * Dz2TStride + iz] likewise.
    const double* Dy2T;
    const double* Dz2T;
    std::int64_t Dy2TStride, Dz2TStride;
    // The tables of the blocks of each scale (TBlockField::BoundRow): [0]
    // for blocks of kBlockSize samples a side, [1] for twice that.
    struct TScale {
        // The least and greatest (y - Y)^2 of ball n over block row by at
        // by * Count + n, and of (z - Z)^2 over block layer bz likewise.
        const double* Dy2Lo;
        const double* Dy2Hi;
        const double* Dz2Lo;
        const double* Dz2Hi;
        // The least and greatest (x - X)^2 of ball n over block column bx,
        // as the field rounds it, at n * XStride + bx.
        const float* Dx2Lo;
        const float* Dx2Hi;
        // The least and greatest x * x over block column bx.
        const float* X2Lo;
        const float* X2Hi;
        std::int32_t Nbx;
        std::int32_t XStride;  // Nbx rounded up to whole vectors of the widest level
    } Scales[2];
};

// The class of a block whose samples have H in [HLo, HHi] and G in
// [GLo, GHi] (bounds made by BoundRow, field_kernel.inc, which says why
// they hold; the contract they serve is TBlockField's in grid/grid.h, the
// passes that use them grid/sparse_surface.cpp). With no balls the field
// stores G itself. Otherwise it stores V = fl(H + fl(fl(G - H) * b)).
//
// The error term. With u = 2^-24 and |d_i| <= u (d_i the rounding of each
// operation), and e_p the absolute error of the product where it is
// subnormal, |e_p| <= 2^-150 (half the least subnormal, 2^-149; a sum or
// difference that lands among the subnormals is exact, so only the product
// has such a term):
//   fl(G - H)        = (G - H)(1 + d1)
//   p = fl(that * b) = b (G - H)(1 + d1)(1 + d2) + e_p
//   V = fl(H + p)    = (H + p)(1 + d3)
// so V - ((1 - b) H + b G) = b (G - H)((1 + d1)(1 + d2) - 1) + e_p + d3 (H + p)
// and |V - ((1 - b) H + b G)| <= u |H| + 3.0001 u b |G - H| + 2^-149.
// The exact blend grows with H and with G (b is in [0, 1]), so over the
// block it is greatest at (HHi, GHi) and least at (HLo, GLo). Those are
// worked out in double: 1 - b and both products of floats are exact there,
// the sum adds at most 2^-53 (|H| + b |G|), and a double sum of opposite
// signs that is not 0 does not round to 0, so the comparisons with 0 keep
// their sense. E below, 4 u (max|H| + b max|G - H| + b max|G|) + 2^-140,
// covers all of it with room to spare (its own rounding included).
// Strengths and squared distances may overflow to infinity; every ball
// term is capped (field_kernel.inc), so H stays finite unless its sum
// itself overflows, and bounds that are not finite prove nothing.
inline std::uint8_t BlockClassOf(const TBlockJob& J, float HLo, float HHi, float GLo, float GHi) {
    if (!std::isfinite(GLo) || !std::isfinite(GHi)) return kBlockMixed;
    if (J.Count == 0) return GHi <= 0.0f ? kBlockOutside : GLo > 0.0f ? kBlockInside : kBlockMixed;
    if (!std::isfinite(HLo) || !std::isfinite(HHi)) return kBlockMixed;
    const double b = J.Frame.Blend, hLo = HLo, hHi = HHi, gLo = GLo, gHi = GHi;
    const double maxH = std::max(std::fabs(hLo), std::fabs(hHi));
    const double maxG = std::max(std::fabs(gLo), std::fabs(gHi));
    const double maxGH = std::max(std::fabs(gHi - hLo), std::fabs(gLo - hHi));
    const double e = 0x1p-22 * (maxH + b * maxGH + b * maxG) + 0x1p-140;
    if ((1.0 - b) * hHi + b * gHi + e <= 0.0) return kBlockOutside;
    if ((1.0 - b) * hLo + b * gLo - e > 0.0) return kBlockInside;
    return kBlockMixed;
}

// The block field's kernels of one instruction level.
struct TBlockKernels {
    // The classes of block row (BY, BZ) of blocks Scale * kBlockSize samples
    // a side (TBlockField::BoundRow). At Scale 2 it works out R of every
    // sample row of the block row and keeps it in RowR, where Scale 1 and
    // Samples read it.
    void (*BoundRow)(const TBlockJob& Job, std::int32_t Scale, std::int32_t BY, std::int32_t BZ,
                     std::uint8_t* Classes);
    // The exact values of the masked samples of rows J .. J + Rows - 1 of
    // layer K, and their inside bits when Inside is not null
    // (TBlockField::EvaluateSamples).
    void (*Samples)(const TBlockJob& Job, std::int32_t J, std::int32_t Rows, std::int32_t K,
                    const std::uint64_t* Mask, std::uint64_t* Inside, std::int64_t InsideStride);
    // The exact values of the masked samples of rows J .. J + kBlockSize - 1
    // of layers K and K + 1, each row's mask MaskWords words after the one
    // before (TBlockField::EvaluateRowSet; null: row by row, as its
    // default does).
    void (*RowSet)(const TBlockJob& Job, std::int32_t J, std::int32_t K, const std::uint64_t* Masks,
                   std::int64_t MaskWords);
};

// The kernels of the level the field uses (grid/simd.h).
const TBlockKernels& BlockKernels();

// Block columns of up to this many blocks: a grid of 1023 samples a side.
inline constexpr std::int32_t kMaxBlockColumns = 256;
