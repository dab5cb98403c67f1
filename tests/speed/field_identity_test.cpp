// The fast field against ReferenceEvaluateBallField, bit for bit, on every
// instruction level and thread count this machine can run.
#include "grid/grid.h"
#include "grid/surface_kernels.h"
#include "scene/field_blocks.h"
#include "speed_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>

namespace {

void NoField(TGrid&) {}

struct TFieldCase {
    int SizeX, SizeY, SizeZ;
    int Balls;
    float T;
};

// Odd and tiny sizes, rows longer than one pass over the balls, ball counts
// of 0, 1 and many.
const TFieldCase kCases[] = {
    {1, 1, 1, 3, 20.0f},     {2, 2, 2, 10, 20.0f},   {2, 1, 1, 2, 21.0f},   {3, 5, 7, 0, 20.0f},
    {3, 5, 7, 1, 200.0f},    {17, 9, 4, 10, 33.3f},  {16, 16, 16, 10, 20.0f}, {31, 2, 3, 50, 200.0f},
    {33, 33, 33, 10, 200.0f}, {700, 2, 3, 7, 25.0f}, {5, 40, 3, 130, 20.0f}, {1, 64, 2, 4, 99.0f},
    // Several batches of balls per row: long rows with many balls, and more
    // balls than one batch holds.
    {600, 2, 2, 50, 20.0f},  {4, 4, 4, 300, 200.0f},
    // Scene times where the blend factor is (almost) 0 and 1.
    {24, 24, 24, 10, static_cast<float>(1.5 * std::numbers::pi / 0.01981)},
    {24, 24, 24, 10, static_cast<float>(0.5 * std::numbers::pi / 0.01981)},
};

// Runs the reference and the fast field on twin grids and compares every
// value and the balls' scratch fields.
void ExpectSameField(const TFieldCase& c, std::vector<TBall> balls, const TSpeedConfig& config, float cell = 0.0f) {
    SCOPED_TRACE(testing::Message() << config.Name() << " " << c.SizeX << "x" << c.SizeY << "x" << c.SizeZ
                                    << " balls " << balls.size() << " T " << c.T);
    if (cell == 0.0f) cell = 2.0f / static_cast<float>(std::max(c.SizeX, 1));
    TGrid ref(c.SizeX, c.SizeY, c.SizeZ, cell, 0, 0, 0, NoField);
    TGrid fast(c.SizeX, c.SizeY, c.SizeZ, cell, 0, 0, 0, NoField);
    std::vector<TBall> fastBalls = balls;
    const int count = static_cast<int>(balls.size());
    ReferenceEvaluateBallField(ref, c.T, balls.data(), count);
    {
        TUseConfig use(config);
        // Stale values must not survive: the fast path writes every sample.
        for (float& v : fast.Values) v = 12345.0f;
        EvaluateBallField(fast, c.T, fastBalls.data(), count);
    }
    ASSERT_EQ(ref.Values.Count(), fast.Values.Count());
    int wrong = 0;
    for (int n = 0; n < ref.Values.Count(); ++n)
        if (!SameBits(ref.Values[n], fast.Values[n]) && ++wrong <= 3)
            ADD_FAILURE() << "sample " << n << ": " << ref.Values[n] << " vs " << fast.Values[n];
    EXPECT_EQ(wrong, 0);
    for (int n = 0; n < count; ++n) {
        EXPECT_TRUE(SameBits(balls[n].StrengthSqr, fastBalls[n].StrengthSqr)) << "ball " << n;
        EXPECT_TRUE(SameBits(balls[n].DistSqrYZ, fastBalls[n].DistSqrYZ)) << "ball " << n;
    }
}

TEST(FastField, MatchesTheReferenceOnManyGridsTimesAndBallCounts) {
    for (const TSpeedConfig& config : AllConfigs())
        for (const TFieldCase& c : kCases) ExpectSameField(c, SceneBalls(c.Balls, c.T), config);
}

TEST(FastField, MatchesTheReferenceWithBallsOnSamplePoints) {
    // Grid 8 over -1..1 has samples on multiples of 0.25: these balls sit on
    // samples, so their denominators are 0 (infinite terms, and NaN for the
    // ball of strength 0), which both paths must cap alike.
    const std::vector<TBall> balls = {{0.3f, 0, 0.25f, 0.0f, -0.5f, 0},
                                      {0.0f, 0, -0.75f, 0.5f, 0.25f, 0},
                                      {0.2f, 0, 0.25f, 0.0f, -0.5f, 0},
                                      {0.15f, 0, 0.1f, 0.2f, 0.3f, 0}};
    const TFieldCase c{8, 8, 8, 4, 20.0f};
    for (const TSpeedConfig& config : AllConfigs()) ExpectSameField(c, balls, config);
}

TEST(FastField, MatchesTheReferenceWithBallsAtInfinityOrNaN) {
    // A NaN coordinate makes every term of that ball NaN (capped); an
    // infinite X makes them 0. The fast path leaves out the cap only where
    // it provably changes nothing, so these must still come out alike.
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<TBall> balls = {{0.2f, 0, nan, 0.1f, 0.0f, 0},
                                      {0.2f, 0, inf, 0.1f, 0.0f, 0},
                                      {0.2f, 0, 0.1f, nan, 0.0f, 0},
                                      {0.2f, 0, -inf, 0.3f, 0.2f, 0},
                                      {0.15f, 0, 0.1f, 0.2f, 0.3f, 0}};
    const TFieldCase c{19, 7, 5, 5, 20.0f};
    for (const TSpeedConfig& config : AllConfigs()) ExpectSameField(c, balls, config);
}

TEST(FastField, MatchesTheReferenceWhenSampleCoordinatesOverflow) {
    // Cells so large that the row's x values are infinite.
    const TFieldCase c{4, 3, 3, 3, 20.0f};
    for (const TSpeedConfig& config : AllConfigs())
        ExpectSameField(c, SceneBalls(c.Balls, c.T), config, 3.0e38f);
}

TEST(BlockBounds, AProvenClassHoldsForTheBlendAsTheFieldRoundsIt) {
    // Blocks whose H and G are known exactly, with the blend a few ulps
    // either side of 0: the class proven must be the sign of the value the
    // field computes, rounding and all. Without the blend's error term many
    // of these would be proven the wrong way.
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    TBlockJob job{};
    job.Count = 1;
    int outside = 0, inside = 0;
    for (int n = 0; n < 300000; ++n) {
        const float b = n % 97 == 0 ? 1.0f : unit(rng);
        job.Frame.Blend = b;
        const float H = (unit(rng) * 6.0f - 1.0f) * std::ldexp(1.0f, static_cast<int>(rng() % 40) - 30);
        // G where the exact blend is 0, then moved a few ulps (half the
        // cases) or by a small share of the values' size.
        float G = static_cast<float>(-(1.0 - b) * H / b);
        if (n % 2 == 0) {
            for (int ulps = static_cast<int>(rng() % 9) - 4; ulps != 0; ulps += ulps > 0 ? -1 : 1)
                G = std::nextafter(G, ulps > 0 ? 1e30f : -1e30f);
        } else {
            G += (unit(rng) - 0.5f) * std::ldexp(std::fabs(H) + std::fabs(G), -static_cast<int>(rng() % 20) - 2);
        }
        const float V = H + (G - H) * b;
        const std::uint8_t c = BlockClassOf(job, H, H, G, G);
        if (c == kBlockOutside) {
            ++outside;
            ASSERT_LE(V, 0.0f) << "H " << H << " G " << G << " b " << b;
        } else if (c == kBlockInside) {
            ++inside;
            ASSERT_GT(V, 0.0f) << "H " << H << " G " << G << " b " << b;
        }
    }
    // Away from the last few ulps the bound still decides.
    EXPECT_GT(outside, 10000);
    EXPECT_GT(inside, 10000);
}

// The block field's tables (TBallBlockField::Begin), made by one thread
// and shared by several, over the cases' sizes and ball counts: every
// block's least and greatest (x - X)^2, x * x, (y - Y)^2 and (z - Z)^2 at
// both scales, against its samples' terms. The balls move between two
// calls on one field, so a table left from the call before shows. A wrong
// extreme loosens the bounds made from it, which no surface test sees, or
// breaks them.
std::vector<TBall> gTableBalls;
float gTableT = 0.0f;
TBallScene TableBalls() { return {gTableT, gTableBalls.data(), static_cast<std::int32_t>(gTableBalls.size())}; }

void ExpectExtremesHold(const TBlockJob& J) {
    int wrong = 0;
    // Block b of Side samples along an axis of Size cells: Value's least
    // and greatest over its samples against Lo and Hi.
    auto check = [&](const char* What, std::int64_t Size, std::int64_t Side, std::int64_t b, auto Value, auto Lo,
                     auto Hi) {
        decltype(Lo) lo = INFINITY, hi = -INFINITY;
        for (std::int64_t i = b * Side; i <= std::min(b * Side + Side - 1, Size); ++i) {
            lo = std::min(lo, Value(i));
            hi = std::max(hi, Value(i));
        }
        if ((Lo != lo || Hi != hi) && ++wrong <= 3) ADD_FAILURE() << What << ", block " << b << " of side " << Side;
    };
    const std::int64_t count = J.Count;
    for (int scale = 0; scale < 2; ++scale) {
        const TBlockJob::TScale& t = J.Scales[scale];
        const std::int64_t side = kBlockSize << scale;
        EXPECT_EQ(t.Nbx, J.nX / side + 1);
        for (std::int64_t b = 0; b * side <= J.nX; ++b) {
            check("x * x", J.nX, side, b, [&](std::int64_t i) { return J.X[i] * J.X[i]; }, t.X2Lo[b], t.X2Hi[b]);
            for (std::int64_t n = 0; n < count; ++n) {
                auto term = [&](std::int64_t i) {
                    const float d = J.X[i] - J.Balls[n].X;
                    return d * d;
                };
                check("(x - X)^2", J.nX, side, b, term, t.Dx2Lo[n * t.XStride + b], t.Dx2Hi[n * t.XStride + b]);
            }
        }
        // y and z in double, as BallDistSqrYZ rounds them.
        for (std::int64_t n = 0; n < count; ++n)
            for (const bool y : {true, false}) {
                const std::int32_t size = y ? J.nY : J.nZ;
                auto term = [&](std::int64_t i) {
                    const double d = static_cast<double>(FieldCoordinate(static_cast<std::int32_t>(i), size, J.Cell)) -
                                     (y ? J.Balls[n].Y : J.Balls[n].Z);
                    return d * d;
                };
                for (std::int64_t b = 0; b * side <= size; ++b)
                    check(y ? "(y - Y)^2" : "(z - Z)^2", size, side, b, term, (y ? t.Dy2Lo : t.Dz2Lo)[b * count + n],
                          (y ? t.Dy2Hi : t.Dz2Hi)[b * count + n]);
            }
    }
    EXPECT_EQ(wrong, 0) << J.nX << "x" << J.nY << "x" << J.nZ << " balls " << count;
}

TEST(BlockTables, HoldEachBlocksExtremesOfTheBallsTerms) {
    for (const TSpeedConfig& config : AllConfigs()) {
        if (config.Level != SupportedSimdLevel()) continue;  // the tables are the same on every level
        TUseConfig use(config);
        SCOPED_TRACE(config.Name());
        for (const TFieldCase& c : kCases) {
            const float cell = 2.0f / static_cast<float>(std::max(c.SizeX, 1));
            TGrid g(c.SizeX, c.SizeY, c.SizeZ, cell, 0, 0, 0, NoField);
            if (!TBallBlockField::Fits(g, c.Balls)) continue;
            TBallBlockField field(g, c.Balls, TableBalls);
            for (const float t : {c.T, c.T + 7.0f}) {
                gTableT = t;
                gTableBalls = SceneBalls(c.Balls, t);
                ASSERT_TRUE(field.Begin(g));
                SCOPED_TRACE(t == c.T ? "first call" : "second call");
                ExpectExtremesHold(field.Job());
            }
        }
    }
}

// The block field's samples (TBlockField::EvaluateSamples) on every level:
// in each of one to four rows, the masked samples get the dense field's
// bits and their inside flags, and every other sample keeps what it held,
// its flag clear. Masks of whole blocks, as pass 1 gives them, and of
// scattered samples, parts of blocks and the row's last sample alone.
TBall gMaskBalls[40];
TBallScene MaskBalls() { return {20.0f, gMaskBalls, 40}; }

TEST(BlockSamples, OnlyTheMaskedSamplesAreStoredAndFlagged) {
    constexpr int kSx = 70, kSy = 9, kSz = 9;  // rows of 71 samples: two mask words
    constexpr std::int64_t kWords = 2, kRow = kSx + 1;
    const float cell = 2.0f / kSx;
    std::vector<TBall> balls = SceneBalls(40, 20.0f);
    std::copy(balls.begin(), balls.end(), gMaskBalls);
    TGrid ref(kSx, kSy, kSz, cell, 0, 0, 0, NoField);
    ReferenceEvaluateBallField(ref, 20.0f, balls.data(), 40);
    const std::uint64_t masks[][kWords] = {
        {0x0000FF00F0F0000Full, 0x4F},  // whole blocks, and sample 70 of the last, shorter one
        {0x8421084210842108ull, 0x25},  // one sample here and there
        {0x6ull << 20 | 0x9ull << 36 | ~0ull << 61, 0x7F},  // parts of blocks, a run over the words
        {0, 0x40},  // the last sample alone
    };
    const float kHeld = std::bit_cast<float>(0x7FC0DEADu);
    int flagged = 0, clear = 0;
    for (int level = LowestSimdLevel(); level <= SupportedSimdLevel(); ++level) {
        TUseConfig use({static_cast<TSimdLevel>(level), 1});
        SCOPED_TRACE(SimdLevelName(static_cast<TSimdLevel>(level)));
        TGrid fast(kSx, kSy, kSz, cell, 0, 0, 0, NoField);
        TBallBlockField field(fast, 40, MaskBalls);
        ASSERT_TRUE(field.Begin(fast));
        // Samples come only after every coarse block row is bounded.
        std::uint8_t classes[kMaxBlockColumns];
        for (int bz = 0; bz * 2 * kBlockSize <= kSz; ++bz)
            for (int by = 0; by * 2 * kBlockSize <= kSy; ++by) {
                std::fill(std::begin(classes), std::end(classes), static_cast<std::uint8_t>(kBlockMixed));
                field.BoundRow(fast, 2, by, bz, classes);
            }
        for (const auto& mask : masks)
            for (int rows = 1; rows <= kBlockSize; ++rows)
                for (int j0 : {0, kSy + 1 - rows})
                    for (int k : {0, 4, kSz}) {
                        std::fill(fast.Values.begin(), fast.Values.end(), kHeld);
                        std::uint64_t inside[kBlockSize * kWords] = {};
                        field.EvaluateSamples(fast, j0, rows, k, mask, inside);
                        int wrong = 0;
                        for (int r = 0; r < rows; ++r) {
                            // No flag past the row's last sample.
                            wrong += (inside[r * kWords + kWords - 1] >> (kSx % 64 + 1)) != 0;
                            for (int i = 0; i <= kSx; ++i) {
                                const bool masked = (mask[i / 64] >> (i % 64) & 1) != 0;
                                const bool flag = (inside[r * kWords + i / 64] >> (i % 64) & 1) != 0;
                                const std::int64_t at = i + kRow * (j0 + r + (kSy + 1) * std::int64_t{k});
                                const float want = masked ? ref.Values[at] : kHeld;
                                const bool bad = !SameBits(fast.Values[at], want) || flag != (masked && want > 0.0f);
                                if (bad && ++wrong <= 3)
                                    ADD_FAILURE() << "rows " << rows << " from " << j0 << " layer " << k << ": sample "
                                                  << i << " of row " << r << " holds " << fast.Values[at] << " (flag "
                                                  << flag << "), not " << want;
                                (flag ? flagged : clear) += masked;
                            }
                        }
                        ASSERT_EQ(wrong, 0) << "rows " << rows << " from " << j0 << " layer " << k;
                    }
    }
    // Both signs met among the masked samples.
    EXPECT_GT(flagged, 100);
    EXPECT_GT(clear, 100);
}

TEST(FastField, EveryLevelUpToTheSupportedOneCanBeSelected) {
    const TSimdLevel lowest = LowestSimdLevel();
    EXPECT_TRUE(SetSimdLevel(lowest));
    EXPECT_EQ(KernelLevel(kFieldKernels), lowest);
    EXPECT_EQ(KernelLevel(kSurfaceKernels), lowest);
    for (int level = kSimdPortable; level < kSimdLevelCount; ++level)
        EXPECT_EQ(SetSimdLevel(static_cast<TSimdLevel>(level)), level >= LowestSimdLevel() && level <= SupportedSimdLevel())
            << level;
    EXPECT_EQ(KernelLevel(kFieldKernels), SupportedSimdLevel()) << "a refused level leaves the last accepted one";
    // The families go their own ways.
    EXPECT_TRUE(SetKernelLevel(kSurfaceKernels, lowest));
    EXPECT_EQ(KernelLevel(kFieldKernels), SupportedSimdLevel());
    EXPECT_EQ(KernelLevel(kSurfaceKernels), lowest);
    EXPECT_FALSE(SetKernelLevel(kFieldKernels, static_cast<TSimdLevel>(kSimdLevelCount)));
    SetSimdLevel(SupportedSimdLevel());
}

// The choice of level from the probes' timings: a lower level wins only when
// it is measurably faster; ties and timings that tell nothing (a stopped or
// coarse clock reads 0, a broken one NaN or a negative span) leave the
// highest level the processor has.
double gTimes[kSimdLevelCount];
double TableProbe(TSimdLevel Level) { return gTimes[Level]; }
// Every level 1e-4 s a call, but the highest 0.8e-4 for its first five
// calls and 1.3e-4 after them.
int gCalls = 0;
double SlowingProbe(TSimdLevel Level) {
    if (Level != SupportedSimdLevel()) return 1e-4;
    return ++gCalls <= 5 ? 0.8e-4 : 1.3e-4;
}
double gStoppedAt = 0.0;
double StoppedClock() { return gStoppedAt; }
// Ticks of 10 ms, far longer than a probe's job.
double CoarseClock() {
    const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    return std::floor(now * 100.0) / 100.0;
}

TEST(FastField, TiesAndUntrustedTimingsChooseTheHighestLevel) {
    const int lowest = LowestSimdLevel(), highest = SupportedSimdLevel();
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct TRow {
        const char* Name;
        double Highest, Others;  // the highest level's time, every other level's
        bool LowestWins;         // the expectation when there is more than one level
    } rows[] = {
        {"all equal", 1e-4, 1e-4, false},
        {"all zero", 0.0, 0.0, false},
        {"zero on the others", 1e-4, 0.0, false},
        {"zero on the highest", 0.0, 1e-4, false},
        {"NaN", nan, 1e-5, false},
        {"a negative span", -1e-4, 1e-4, false},
        {"infinite", inf, 1e-4, false},
        {"the others faster", 2e-4, 1e-4, true},
        {"the highest faster", 1e-4, 2e-4, false},
    };
    for (const TRow& row : rows) {
        for (int level = 0; level < kSimdLevelCount; ++level) gTimes[level] = level == highest ? row.Highest : row.Others;
        // Among the faster ones that tie, the highest of them.
        const int expected = row.LowestWins && lowest < highest ? highest - 1 : highest;
        EXPECT_EQ(FastestLevel(TableProbe), expected) << row.Name;
    }
    // A middle level that is fastest wins over both ends.
    if (highest - lowest >= 2) {
        for (int level = 0; level < kSimdLevelCount; ++level) gTimes[level] = level == lowest + 1 ? 1e-4 : 3e-4;
        EXPECT_EQ(FastestLevel(TableProbe), lowest + 1);
    }
    // The highest level fastest for its first calls and slower from then on,
    // as wide vectors are where they lower the clock: it is timed as it
    // runs on, and loses.
    if (highest > lowest) {
        gCalls = 0;
        EXPECT_EQ(FastestLevel(SlowingProbe), highest - 1);
        EXPECT_GT(gCalls, 20) << "a stretch of calls, not a few";
    }

    // The program's own probes on clocks that cannot time them.
    for (const TProbeClock clock : {StoppedClock, CoarseClock}) {
        SetProbeClock(clock);
        EXPECT_EQ(FastestLevel(ProbeFieldKernels), highest) << (clock == StoppedClock ? "stopped" : "coarse");
        EXPECT_EQ(FastestLevel(ProbeSurfaceKernels), highest) << (clock == StoppedClock ? "stopped" : "coarse");
    }
    SetProbeClock(nullptr);
    EXPECT_GT(ProbeClockNow(), 0.0);
}

// The start-up calibration itself, on a stopped clock. It runs once per
// process and only when no level was set, as in a fresh test process (ctest
// runs each test in its own).
TEST(FastField, StartUpCalibrationOnAStoppedClockKeepsTheHighestLevel) {
    if (KernelLevelsSet()) GTEST_SKIP() << "a level was set earlier in this process";
    gStoppedAt = 12345.0;
    SetProbeClock(StoppedClock);
    ChooseKernelLevels(ProbeFieldKernels);
    SetProbeClock(nullptr);
    EXPECT_EQ(KernelLevel(kFieldKernels), SupportedSimdLevel());
    EXPECT_EQ(KernelLevel(kSurfaceKernels), SupportedSimdLevel());
}

} // namespace
