// The scene's field: a metaball field blended over time with a tube around a
// ring that pinches into a figure of eight, and the ball animation that
// drives it. No OpenGL here: the frame calls these between its GL calls, and
// tools and benchmarks call them without a context.
#pragma once

#include "grid/grid.h"
#include "grid/simd.h"
#include "scene/ball.h"
#include "scene/field_blocks.h"

#include <cstdint>

// Fills every sample of Grid.Values for scene time T and the first Count
// balls (their Strength, X, Y, Z; writes their StrengthSqr and DistSqrYZ).
// Values grow towards the inside, so the grid's normals point inwards.
//
// Evaluation: quantities made once per call or per row (blend, pinch, y, z,
// the row term, the balls' scratch fields, the start of a row) are computed
// in double and rounded to 32 bits when stored; the per-sample arithmetic is
// 32-bit, one rounding per operation, balls summed in index order, x
// accumulated along the row.
//
// A sample on a ball's centre (denominator 0) would make an infinite term
// and a NaN sample; every term is capped at kMaxBallTerm (a NaN term becomes
// the cap) so that all stored values are finite.
void EvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count);

inline constexpr float kMaxBallTerm = 1.0e20f;

// The same, written the plain way: one sample and one ball at a time, on the
// calling thread. The fast EvaluateBallField matches it bit for bit; kept for
// the tests and the benchmarks.
void ReferenceEvaluateBallField(TGrid& Grid, float T, TBall* Balls, std::int32_t Count);

// The balls and scene time of one call of a ball field.
struct TBallScene {
    float T;
    TBall* Balls;
    std::int32_t Count;
};

// Where a grid's ball field takes them from, at every call. The grid's two
// routes read the one source: the field function is BallFieldFrom<Source>
// and the block field calls Source at every Begin (UseBallField attaches
// both), so the routes cannot see different balls or times.
using TBallSource = TBallScene (*)();

template <TBallSource Source>
void BallFieldFrom(TGrid& Grid) {
    const TBallScene s = Source();
    EvaluateBallField(Grid, s.T, s.Balls, s.Count);
}

// The same field for the grid's sparse route (TBlockField): the values
// EvaluateBallField stores, bit for bit, computed only for the samples the
// grid asks for, and blocks proven all outside or all inside from bounds
// made with the field's own float operations (field_kernel.inc says why
// they hold). The balls and time come from Source at every Begin; a call
// whose balls or sample coordinates are not all finite, or that has more
// than MaxBalls balls, is left to the dense route.
class TBallBlockField : public TBlockField {
public:
    // Tables for Grid's sizes and up to MaxBalls balls, made here once
    // (run-time error 203 when memory runs out).
    TBallBlockField(const TGrid& Grid, std::int32_t MaxBalls, TBallSource Source);

    // Whether the sparse route can serve Grid with up to MaxBalls balls:
    // sizes it takes (TGrid::kMaxSparseSize) and tables of at most
    // kMaxBlockTableBytes.
    static bool Fits(const TGrid& Grid, std::int32_t MaxBalls);

    // Bytes of its tables (the grid's memory per sample counts them).
    std::int64_t Bytes() const { return Bytes_; }
    // The tables Begin made last (the kernels' probe times them).
    const TBlockJob& Job() const { return Job_; }

    bool Begin(TGrid& Grid) override;
    void BoundRow(const TGrid& Grid, std::int32_t Scale, std::int32_t BY, std::int32_t BZ,
                  std::uint8_t* Classes) override;
    void EvaluateSamples(TGrid& Grid, std::int32_t J, std::int32_t Rows, std::int32_t K, const std::uint64_t* Mask,
                         std::uint64_t* Inside) override;
    void EvaluateRowSet(TGrid& Grid, std::int32_t J, std::int32_t K, const std::uint64_t* Masks) override;
    void End(TGrid& Grid) override;

private:
    // Part Part of Parts of Begin's tables (the parts run on the worker
    // threads, each writing tables of its own).
    void MakeTables(int Part, int Parts);

    std::int32_t MaxBalls_;
    std::int64_t Bytes_;
    TBallSource Source_;
    TBallScene Scene_{};  // this call's, read by Begin
    TBlockJob Job_{};     // this call's, made by Begin
    TArray<float> RowR_, S_, BallX_;
    TArray<double> Dy2_, Dz2_, Dy2T_, Dz2T_;
    // The block tables of each scale (TBlockJob::TScale).
    struct TScaleTables {
        TArray<double> Dy2Lo, Dy2Hi, Dz2Lo, Dz2Hi;
        TArray<float> Dx2Lo, Dx2Hi, X2Lo, X2Hi;
        std::int32_t Nbx = 0, XStride = 0;
    } Scales_[2];
};

// Attaches a TBallBlockField reading Source to Grid (which owns it) and
// returns it, or returns nullptr and leaves the grid dense where it does
// not fit.
TBallBlockField* UseBallBlockField(TGrid& Grid, std::int32_t MaxBalls, TBallSource Source);
inline constexpr std::int64_t kMaxBlockTableBytes = std::int64_t(64) << 20;

// Both routes of Grid from Source: BallFieldFrom<Source> as its field
// function and, where it fits, a TBallBlockField reading Source (returned).
template <TBallSource Source>
TBallBlockField* UseBallField(TGrid& Grid, std::int32_t MaxBalls) {
    Grid.FieldProc = BallFieldFrom<Source>;
    return UseBallBlockField(Grid, MaxBalls, Source);
}

// The program state's SceneTime, Balls and BallCount: the scene's source.
TBallScene ProgramBalls();

// The field function the scene hands to TGrid: BallFieldFrom<ProgramBalls>.
void EvaluateField(TGrid& Grid);

// The scene's grid gets the sparse route this way: a TBallBlockField that
// reads ProgramBalls as EvaluateField does (where it fits).
void UseSceneBlockField(TGrid& Grid);

// Seconds a small fixed job of the field's kernels takes at Level (the
// dense route's rows, and the sparse route's block bounds and samples,
// which a frame runs most): the probe by which ChooseKernelLevels
// (grid/simd.h) picks the field's level.
double ProbeFieldKernels(TSimdLevel Level);

// Scene time of a frame: ElapsedMs (signed) / 1000 + 20, rounded to 32 bits.
float SceneTimeAt(std::int32_t ElapsedMs);

// Moves the first Count balls to their places at scene time T and sets their
// strengths (X, Y, Z, then Strength; scratch fields untouched).
void MoveBalls(TBall* Balls, std::int32_t Count, float T);
