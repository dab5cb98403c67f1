// The fast polygoniser (TGrid::PrepareSurface + EmitTriangles) against
// ReferencePolygonise: same Inside flags, same edge arrays bit for bit and
// the same vertices in the same order, on every instruction level and
// thread count this machine can run; and each level's crossings kernel
// against Crossing, edge by edge.
#include "grid/grid.h"
#include "grid/reference.h"
#include "grid/surface_kernels.h"
#include "grid/surface_math.h"
#include "scene/field_terms.h"
#include "speed_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <mutex>
#include <numbers>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace {

// The field both grids of a comparison read: a copy of gSource.
std::vector<float> gSource;
void SourceField(TGrid& g) {
    for (int n = 0; n < g.Values.Count(); ++n) g.Values[n] = gSource[static_cast<std::size_t>(n)];
}

// Where an emitted vertex lives: axis and element of the edge arrays, or
// axis -1 for a point of the sparse route's edge store (within Polygonise
// its crossings go there).
struct TVertexRef {
    int Axis;
    std::int64_t Index;
    TEdgeVertex Value;
};

struct TRecorder {
    const TGrid* Grid;
    std::vector<TVertexRef> Out;
    bool StoreAllowed = true;
    void operator()(const TEdgeVertex& v) {
        for (int axis = 0; axis < 3; ++axis) {
            const TEdgeVertex* base = Grid->EdgeArray(axis);
            const TArray<TEdgeVertex>& a = axis == 0 ? Grid->EdgesX : axis == 1 ? Grid->EdgesY : Grid->EdgesZ;
            if (&v >= base && &v < base + a.Count()) {
                Out.push_back({axis, &v - base, v});
                return;
            }
        }
        if (!StoreAllowed) ADD_FAILURE() << "vertex outside the edge arrays";
        Out.push_back({-1, -1, v});
    }
};

bool SameVertex(const TEdgeVertex& a, const TEdgeVertex& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Two streams of vertices: the same points in the same order, bit for bit,
// and the same elements wherever both come from the edge arrays. A point
// of the store is its edge's whole point (both fixed coordinates and the
// moving one, and the normal), and since every crossed edge of a cube is a
// vertex of its triangles (the triangle table's test), the stream shows
// every crossed edge's point.
void ExpectSameStreams(const std::vector<TVertexRef>& Want, const std::vector<TVertexRef>& Got) {
    ASSERT_EQ(Want.size(), Got.size());
    for (std::size_t v = 0; v < Want.size(); ++v) {
        ASSERT_TRUE(SameVertex(Want[v].Value, Got[v].Value)) << "vertex " << v;
        if (Want[v].Axis >= 0 && Got[v].Axis >= 0) {
            ASSERT_EQ(Want[v].Axis, Got[v].Axis) << "vertex " << v;
            ASSERT_EQ(Want[v].Index, Got[v].Index) << "vertex " << v;
        }
    }
}

// Every edge a grid's Inside crosses, with its element of the edge arrays
// and what that holds: what a call that wrote its crossings into the
// arrays left there (two grids with the same Inside list the same edges).
std::vector<TVertexRef> CrossedEdges(const TGrid& G) {
    const std::int64_t sx = G.SizeX, sy = G.SizeY, sz = G.SizeZ;
    auto in = [&](std::int64_t i, std::int64_t j, std::int64_t k) { return G.Inside[std::size_t(i + sx * (j + sy * k))]; };
    std::vector<TVertexRef> out;
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t j = 0; j < sy; ++j)
            for (std::int64_t i = 0; i < sx; ++i) {
                const std::int64_t e[3] = {i + (sx - 1) * (j + sy * k), j + (sy - 1) * (k + sz * i), k + (sz - 1) * (i + sx * j)};
                const bool crossed[3] = {i + 1 < sx && in(i, j, k) != in(i + 1, j, k),
                                         j + 1 < sy && in(i, j, k) != in(i, j + 1, k),
                                         k + 1 < sz && in(i, j, k) != in(i, j, k + 1)};
                for (int a = 0; a < 3; ++a)
                    if (crossed[a]) out.push_back({a, e[a], G.EdgeArray(a)[e[a]]});
            }
    return out;
}

void ExpectSameEdges(const TArray<TEdgeVertex>& ref, const TArray<TEdgeVertex>& fast, const char* name) {
    ASSERT_EQ(ref.Count(), fast.Count());
    int wrong = 0;
    for (int n = 0; n < ref.Count(); ++n)
        if (!SameVertex(ref[n], fast[n]) && ++wrong <= 3) ADD_FAILURE() << name << "[" << n << "] differs";
    EXPECT_EQ(wrong, 0) << name;
}

// Polygonises the fields in turn on a reference grid and a fast one (so
// that edges left from earlier frames matter too) and compares after each.
void ExpectSameSurfaces(int sx, int sy, int sz, const std::vector<std::vector<float>>& fields,
                        const TSpeedConfig& config) {
    SCOPED_TRACE(testing::Message() << config.Name() << " " << sx << "x" << sy << "x" << sz);
    TGrid ref(sx, sy, sz, 0.25f, 0.5f, -1.0f, 2.0f, SourceField);
    TGrid fast(sx, sy, sz, 0.25f, 0.5f, -1.0f, 2.0f, SourceField);
    TUseConfig use(config);
    for (std::size_t f = 0; f < fields.size(); ++f) {
        SCOPED_TRACE(testing::Message() << "field " << f);
        gSource = fields[f];
        TRecorder a{&ref, {}, false}, b{&fast, {}, false};
        ReferencePolygonise(ref, a);
        // Both ways in: Polygonise (emission following the layer passes),
        // and the two steps called apart.
        if (f % 2 == 0) {
            fast.Polygonise(b);
        } else {
            fast.PrepareSurface();
            fast.EmitTriangles(b);
        }
        ASSERT_EQ(ref.Inside.Count(), fast.Inside.Count());
        EXPECT_EQ(std::memcmp(ref.Inside.Data(), fast.Inside.Data(), static_cast<std::size_t>(ref.Inside.Count())), 0);
        ExpectSameEdges(ref.EdgesX, fast.EdgesX, "EdgesX");
        ExpectSameEdges(ref.EdgesY, fast.EdgesY, "EdgesY");
        ExpectSameEdges(ref.EdgesZ, fast.EdgesZ, "EdgesZ");
        ASSERT_EQ(a.Out.size(), b.Out.size());
        for (std::size_t v = 0; v < a.Out.size(); ++v) {
            ASSERT_EQ(a.Out[v].Axis, b.Out[v].Axis) << "vertex " << v;
            ASSERT_EQ(a.Out[v].Index, b.Out[v].Index) << "vertex " << v;
            ASSERT_TRUE(SameVertex(a.Out[v].Value, b.Out[v].Value)) << "vertex " << v;
        }
    }
}

// Noise in [-1, 1] with some samples exactly 0.0 (outside, t = 0 or 1).
std::vector<float> Noise(std::int64_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    std::vector<float> v(static_cast<std::size_t>(count));
    for (float& f : v) f = rng() % 7 == 0 ? 0.0f : noise(rng);
    return v;
}

// A smooth blob: large empty and full stretches, so whole blocks of cubes
// are skipped and a few are not.
std::vector<float> Blob(int sx, int sy, int sz, float r) {
    std::vector<float> v;
    for (int k = 0; k <= sz; ++k)
        for (int j = 0; j <= sy; ++j)
            for (int i = 0; i <= sx; ++i) {
                const float x = (i - sx / 2.0f) / std::max(sx, 1), y = (j - sy / 2.0f) / std::max(sy, 1),
                            z = (k - sz / 2.0f) / std::max(sz, 1);
                v.push_back(r * r - (x * x + y * y + z * z));
            }
    return v;
}

struct TSize {
    int X, Y, Z;
};
// Sizes 1 and 2, odd sizes, rows of more than 64 flags (several mask words
// and vector blocks), rows longer than one emission chunk.
const TSize kSizes[] = {{1, 1, 1},  {2, 2, 2},   {1, 5, 5},  {5, 1, 5},  {5, 5, 1},   {3, 4, 5},
                        {9, 7, 13}, {17, 33, 3}, {63, 3, 4}, {64, 2, 3}, {65, 4, 2},  {66, 3, 3},
                        {127, 2, 3}, {130, 3, 2}, {200, 5, 4}, {2100, 2, 2}, {24, 24, 24},
                        // Tall grids: the layers go to the threads in chunks of several.
                        {3, 4, 70}, {2, 3, 101}};

TEST(FastSurface, MatchesTheReferenceOnNoiseAndBlobs) {
    for (const TSpeedConfig& config : AllConfigs())
        for (const TSize& s : kSizes) {
            const std::int64_t count = std::int64_t(s.X + 1) * (s.Y + 1) * (s.Z + 1);
            ExpectSameSurfaces(s.X, s.Y, s.Z,
                               {Noise(count, 7u + s.X), Blob(s.X, s.Y, s.Z, 0.3f), Noise(count, 99u + s.Z),
                                Blob(s.X, s.Y, s.Z, 0.45f)},
                               config);
        }
}

TEST(FastSurface, UniformFieldsEmitNothingOnEveryPath) {
    for (const TSpeedConfig& config : AllConfigs()) {
        TGrid g(70, 3, 3, 0.25f, 0, 0, 0, SourceField);
        TUseConfig use(config);
        for (float value : {1.0f, 0.0f, -1.0f}) {
            gSource.assign(static_cast<std::size_t>(g.Values.Count()), value);
            TRecorder out{&g, {}};
            g.Polygonise(out);
            EXPECT_TRUE(out.Out.empty()) << config.Name() << " " << value;
            for (std::uint8_t flag : g.Inside) ASSERT_EQ(flag, value > 0.0f ? 1 : 0);
        }
    }
}

TEST(FastSurface, FieldAndSinkRunOnTheCallingThreadOnly) {
    // With workers about, the field function and every sink call still
    // happen on the thread that called Polygonise (the one that owns the GL
    // context in the program).
    static std::thread::id fieldThread;
    struct TThreadSink {
        std::thread::id Caller;
        int Calls = 0, Foreign = 0;
        void operator()(const TEdgeVertex&) {
            ++Calls;
            Foreign += std::this_thread::get_id() != Caller;
        }
    };
    for (const TSpeedConfig& config : AllConfigs()) {
        TGrid g(40, 40, 40, 0.25f, 0, 0, 0, [](TGrid& grid) {
            fieldThread = std::this_thread::get_id();
            SourceField(grid);
        });
        gSource = Blob(40, 40, 40, 0.4f);
        TUseConfig use(config);
        TThreadSink sink{std::this_thread::get_id()};
        fieldThread = std::thread::id();
        g.Polygonise(sink);
        EXPECT_EQ(fieldThread, std::this_thread::get_id()) << config.Name();
        EXPECT_GT(sink.Calls, 0) << config.Name();
        EXPECT_EQ(sink.Foreign, 0) << config.Name();
    }
}

// The scene itself: the fast field and polygoniser together against the
// reference pair over several frames.
void SceneField(TGrid& g);
std::vector<TBall> gBalls;
float gTime = 20.0f;
bool gReferenceField = false;
void SceneField(TGrid& g) {
    if (gReferenceField) {
        ReferenceEvaluateBallField(g, gTime, gBalls.data(), static_cast<std::int32_t>(gBalls.size()));
    } else {
        EvaluateBallField(g, gTime, gBalls.data(), static_cast<std::int32_t>(gBalls.size()));
    }
}

TEST(FastSurface, SceneFramesMatchTheReference) {
    struct TFrame {
        int Size, Balls;
        float T;
    };
    const TFrame frames[] = {{31, 10, 20.0f}, {31, 10, 200.0f}, {31, 50, 20.0f}, {31, 0, 77.0f}, {31, 10, 21.5f}};
    for (const TSpeedConfig& config : AllConfigs()) {
        SCOPED_TRACE(config.Name());
        TGrid ref(31, 31, 31, 2.0f / 31, 0, 0, 0, SceneField);
        TGrid fast(31, 31, 31, 2.0f / 31, 0, 0, 0, SceneField);
        TUseConfig use(config);
        for (const TFrame& f : frames) {
            gTime = f.T;
            gBalls = SceneBalls(f.Balls, f.T);
            gReferenceField = true;
            TRecorder a{&ref, {}}, b{&fast, {}};
            ReferencePolygonise(ref, a);
            gReferenceField = false;
            fast.Polygonise(b);
            ASSERT_EQ(a.Out.size(), b.Out.size()) << f.T;
            EXPECT_GT(a.Out.size(), 0u);
            for (std::size_t v = 0; v < a.Out.size(); ++v) {
                ASSERT_EQ(a.Out[v].Index, b.Out[v].Index) << f.T << " vertex " << v;
                ASSERT_TRUE(SameVertex(a.Out[v].Value, b.Out[v].Value)) << f.T << " vertex " << v;
            }
        }
    }
}

// --- The crossings kernel of each level against Crossing -----------------------

// One crossed edge as the kernel sees it: its two ends, their forward
// neighbours (x, y, z), the running coordinate it starts at.
struct TCrossEdge {
    float A, B, AX, AY, AZ, BX, BY, BZ, Start;
};

// Values nobody would pick: subnormal and tiny, huge, signed zeros, and for
// the neighbours infinities and one NaN (a single NaN pattern, so that where
// two NaNs meet in an operation, which one comes out cannot differ).
constexpr float kMin = std::numeric_limits<float>::denorm_min(), kInf = std::numeric_limits<float>::infinity(),
                kNaN = std::numeric_limits<float>::quiet_NaN();
const float kAwkwardOut[] = {-0.0f, 0.0f, -kMin, -3 * kMin, -FLT_MIN, -1e-30f, -0.25f, -1.0f, -3e37f, -FLT_MAX};
const float kAwkwardIn[] = {kMin, 5 * kMin, FLT_MIN, 1e-30f, 0.375f, 1.0f, 7e36f, FLT_MAX};
const float kNeighbours[] = {0.0f, -0.0f, kMin, -kMin, 0.5f, -2.0f, 1e-35f, FLT_MAX, -FLT_MAX, kInf, -kInf, kNaN};

// Edge q of a batch: every fifth an ordinary one, the others drawn from the
// awkward values; one end outside and one inside, in either order.
TCrossEdge MakeCrossEdge(std::mt19937& rng, int q) {
    auto pick = [&rng](const auto& table) { return table[rng() % std::size(table)]; };
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    float out = -unit(rng), in = unit(rng) + kMin;
    if (q % 5 != 0) {
        out = pick(kAwkwardOut);
        in = pick(kAwkwardIn);
    }
    // Neighbours near the ends for most lanes, awkward ones for some.
    auto neighbour = [&](float end) { return rng() % 3 == 0 ? pick(kNeighbours) : end + unit(rng) - 0.5f; };
    const bool swap = rng() % 2 == 0;
    const float a = swap ? in : out, b = swap ? out : in;
    const float starts[] = {0.0f, -0.0f, -1.0f, 0.8125f, 1e30f, -kMin};
    return {a, b, neighbour(a), neighbour(a), neighbour(a), neighbour(b), neighbour(b), neighbour(b), pick(starts)};
}

TEST(FastSurface, CrossingsKernelsMatchCrossingEdgeByEdge) {
    // Each edge gets its own cell of values, 4 x 4 x 3 samples, with only
    // the eight it reads set (the rest NaN of another sign, which would show
    // if a kernel read them); cells in a scattered order, elements of an
    // edge array scattered too, every other element left as it was.
    constexpr std::int64_t kRow = 4, kLayer = 16, kCell = 48;
    constexpr int kMost = 256, kRoom = 521;  // a prime above 2 * kMost: q * 37 % kRoom never repeats
    const float stray = -kNaN;
    TEdgeVertex sentinel;
    std::memset(&sentinel, 0xA5, sizeof sentinel);
    for (int level = LowestSimdLevel(); level <= SupportedSimdLevel(); ++level) {
        ASSERT_TRUE(SetKernelLevel(kSurfaceKernels, static_cast<TSimdLevel>(level)));
        const TSurfaceKernels& kernels = SurfaceKernels();
        for (int axis = 0; axis < 3; ++axis) {
            const std::int64_t step = axis == 0 ? 1 : axis == 1 ? kRow : kLayer;
            for (int count : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 37, 255, 256}) {
                SCOPED_TRACE(testing::Message() << SimdLevelName(static_cast<TSimdLevel>(level)) << " axis " << axis
                                                << " count " << count);
                // The same batches on every level.
                std::mt19937 rng(static_cast<unsigned>(1000 * axis + count));
                std::vector<float> values(static_cast<std::size_t>(kCell * (kMost + 1)), stray);
                std::vector<std::int32_t> samples(kMost), elements(kMost);
                std::vector<float> starts(kMost);
                std::vector<TEdgeVertex> edges(kRoom, sentinel), expected(kRoom, sentinel);
                const float cellSize = count % 2 == 0 ? 0.0625f : 2.0f / 3.0f;
                for (int q = 0; q < count; ++q) {
                    TCrossEdge e = MakeCrossEdge(rng, q);
                    // The first end's neighbour along the edge is its other end.
                    (axis == 0 ? e.AX : axis == 1 ? e.AY : e.AZ) = e.B;
                    const std::int64_t p = kCell * ((q * 5 + 3) % (kMost + 1)), r = p + step;
                    const std::int64_t at[8] = {p, r, p + 1, p + kRow, p + kLayer, r + 1, r + kRow, r + kLayer};
                    const float set[8] = {e.A, e.B, e.AX, e.AY, e.AZ, e.BX, e.BY, e.BZ};
                    for (int n = 0; n < 8; ++n) values[static_cast<std::size_t>(at[n])] = set[n];
                    samples[static_cast<std::size_t>(q)] = static_cast<std::int32_t>(p);
                    elements[static_cast<std::size_t>(q)] = q * 37 % kRoom;
                    starts[static_cast<std::size_t>(q)] = e.Start;
                    // What Crossing gives, written into a copy of the element.
                    TEdgeVertex& want = expected[static_cast<std::size_t>(q * 37 % kRoom)];
                    float& moving = axis == 0 ? want.Position.x : axis == 1 ? want.Position.y : want.Position.z;
                    Crossing(e.A, e.B, TVector{e.AX - e.A, e.AY - e.A, e.AZ - e.A},
                             TVector{e.BX - e.B, e.BY - e.B, e.BZ - e.B}, e.Start, cellSize, moving, want.Normal);
                }
                kernels.Crossings({values.data(), kRow, kLayer, step, samples.data(), elements.data(), starts.data(),
                                   count, cellSize, edges.data(), axis});
                int wrong = 0;
                for (int n = 0; n < kRoom; ++n) {
                    const TEdgeVertex &got = edges[static_cast<std::size_t>(n)], &want = expected[static_cast<std::size_t>(n)];
                    if (SameVertex(got, want) || ++wrong > 3) continue;
                    ADD_FAILURE() << "element " << n << ": normal " << got.Normal.x << " " << got.Normal.y << " "
                                  << got.Normal.z << " position " << got.Position.x << " " << got.Position.y << " "
                                  << got.Position.z << ", want " << want.Normal.x << " " << want.Normal.y << " "
                                  << want.Normal.z << " position " << want.Position.x << " " << want.Position.y << " "
                                  << want.Position.z;
                }
                EXPECT_EQ(wrong, 0);
            }
        }
    }
    SetSimdLevel(SupportedSimdLevel());
}

} // namespace

// --- The sparse route against the dense one -----------------------------------

// A block field over gSource: it proves a block only when every one of its
// samples has the proven sign (the tightest bound there is), or, with
// Proves off, nothing at all. It also counts the calls that come before
// the coarse bounds around them (Early), which a field may take for done
// (the ball field works out its rows' terms there).
class TSourceBlockField : public TBlockField {
public:
    bool Proves = true;
    std::atomic<int> Early{0};
    bool Begin(TGrid& g) override {
        CoarseY_ = g.SizeY / (2 * kBlockSize) + 1;
        Coarse_ = std::make_unique<std::atomic<bool>[]>(static_cast<std::size_t>(CoarseY_ * (g.SizeZ / (2 * kBlockSize) + 1)));
        return true;
    }
    void BoundRow(const TGrid& g, std::int32_t Scale, std::int32_t BY, std::int32_t BZ,
                  std::uint8_t* Classes) override {
        if (Scale == 1) CheckCoarse(BY / 2, BZ / 2);
        if (Proves) Prove(g, Scale, BY, BZ, Classes);
        if (Scale == 2) Coarse_[static_cast<std::size_t>(BY + CoarseY_ * BZ)].store(true, std::memory_order_release);
    }
    void EvaluateSamples(TGrid& g, std::int32_t J, std::int32_t Rows, std::int32_t K, const std::uint64_t* Mask,
                         std::uint64_t* Inside) override {
        CheckCoarse(J / (2 * kBlockSize), K / (2 * kBlockSize));
        const std::int64_t words = (g.SizeX + 64) / 64;
        for (std::int32_t r = 0; r < Rows; ++r) {
            const std::int64_t row = (g.SizeX + 1) * (J + r + (g.SizeY + 1) * static_cast<std::int64_t>(K));
            for (std::int64_t i = 0; i <= g.SizeX; ++i) {
                if ((Mask[i / 64] >> (i % 64) & 1) == 0) continue;
                const float v = gSource[static_cast<std::size_t>(row + i)];
                g.Values[static_cast<std::size_t>(row + i)] = v;
                if (Inside != nullptr && v > 0.0f) Inside[r * words + i / 64] |= 1ull << (i % 64);
            }
        }
    }
    void End(TGrid&) override {}

private:
    void CheckCoarse(std::int64_t CY, std::int64_t CZ) {
        if (!Coarse_[static_cast<std::size_t>(CY + CoarseY_ * CZ)].load(std::memory_order_acquire)) ++Early;
    }
    static void Prove(const TGrid& g, std::int32_t Scale, std::int32_t BY, std::int32_t BZ, std::uint8_t* Classes) {
        const std::int64_t side = kBlockSize * Scale, vx = g.SizeX + 1, vy = g.SizeY + 1;
        for (std::int64_t bx = 0; bx * side <= g.SizeX; ++bx) {
            if (Classes[bx] != kBlockMixed) continue;
            bool in = true, out = true;
            for (std::int64_t k = BZ * side; k <= std::min<std::int64_t>(BZ * side + side - 1, g.SizeZ); ++k)
                for (std::int64_t j = BY * side; j <= std::min<std::int64_t>(BY * side + side - 1, g.SizeY); ++j)
                    for (std::int64_t i = bx * side; i <= std::min<std::int64_t>(bx * side + side - 1, g.SizeX); ++i) {
                        const bool inside = gSource[static_cast<std::size_t>(i + vx * (j + vy * k))] > 0.0f;
                        in = in && inside;
                        out = out && !inside;
                    }
            Classes[bx] = in ? kBlockInside : out ? kBlockOutside : kBlockMixed;
        }
    }
    std::int64_t CoarseY_ = 0;
    std::unique_ptr<std::atomic<bool>[]> Coarse_;  // coarse block row (cy, cz) bounded, at cy + CoarseY_ * cz
};

TEST(SparseSurface, MatchesTheReferenceOnNoiseAndBlobs) {
    // The grid's own part of the sparse route, on any field: sizes 1 and 2,
    // odd sizes, rows of several words, blobs with most blocks proven and
    // noise with hardly any; every sample it does not ask for is NaN.
    for (const TSpeedConfig& config : AllConfigs())
        for (const TSize& s : kSizes) {
            SCOPED_TRACE(testing::Message() << config.Name() << " " << s.X << "x" << s.Y << "x" << s.Z);
            const std::int64_t count = std::int64_t(s.X + 1) * (s.Y + 1) * (s.Z + 1);
            TGrid ref(s.X, s.Y, s.Z, 0.25f, 0.5f, -1.0f, 2.0f, SourceField);
            TGrid sparse(s.X, s.Y, s.Z, 0.25f, 0.5f, -1.0f, 2.0f, SourceField);
            auto field = std::make_unique<TSourceBlockField>();
            const TSourceBlockField& calls = *field;
            sparse.UseBlockField(std::move(field));
            sparse.Route = TFieldRoute::SparseAlways;
            sparse.PoisonValues = true;
            sparse.SizeEdgeStore(TGrid::EdgeStorePoints(s.X, s.Y), TGrid::kEdgeStoreChunk);
            TUseConfig use(config);
            int f = 0;
            for (const std::vector<float>& field : {Blob(s.X, s.Y, s.Z, 0.3f), Noise(count, 5u + s.Y), Blob(s.X, s.Y, s.Z, 0.45f),
                                                    Noise(count, 6u + s.Z)}) {
                gSource = field;
                TRecorder a{&ref, {}}, b{&sparse, {}};
                ReferencePolygonise(ref, a);
                // Both ways in: Polygonise (the layers streamed through the
                // passes) and the passes over the whole grid one by one.
                const bool streamed = f++ % 2 == 0;
                if (streamed) {
                    sparse.Polygonise(b);
                } else {
                    sparse.PrepareSurface();
                    sparse.EmitTriangles(b);
                }
                // Fine bounds and evaluations only where the coarse bounds
                // around them are done, also when the call streams.
                EXPECT_EQ(calls.Early.load(), 0);
                EXPECT_EQ(sparse.LastStats().Sparse, s.X <= TGrid::kMaxSparseSize);
                EXPECT_EQ(sparse.LastStats().Triangles * 3, static_cast<std::int64_t>(b.Out.size()));
                ASSERT_EQ(std::memcmp(ref.Inside.Data(), sparse.Inside.Data(), static_cast<std::size_t>(ref.Inside.Count())), 0);
                // The samples it counts as evaluated (which decide when it
                // goes dense) are the ones it wrote: every value here is a
                // number, and the others were NaN before the call.
                if (sparse.LastStats().Sparse) {
                    EXPECT_EQ(sparse.LastStats().SamplesEvaluated,
                              std::count_if(sparse.Values.begin(), sparse.Values.end(), [](float v) { return !std::isnan(v); }));
                }
                // PrepareSurface writes the crossings into the edge arrays;
                // Polygonise puts them in the store when it streams.
                if (!streamed) ExpectSameStreams(CrossedEdges(ref), CrossedEdges(sparse));
                ExpectSameStreams(a.Out, b.Out);
            }
        }
}

TEST(SparseSurface, GoesDenseWhereProvingCannotPay) {
    // Nothing provable: one sparse call that evaluates everything, then
    // dense for a while, then a try again; tiny grids stay dense. The
    // triangles are the same whichever route a call takes.
    const int size = TGrid::kSparseMinSize + 3;
    const std::int64_t count = std::int64_t(size + 1) * (size + 1) * (size + 1);
    TGrid ref(size, size, size, 0.25f, 0, 0, 0, SourceField), grid(size, size, size, 0.25f, 0, 0, 0, SourceField);
    auto field = std::make_unique<TSourceBlockField>();
    field->Proves = false;
    grid.UseBlockField(std::move(field));
    std::vector<bool> routes;
    for (int call = 0; call < 2 * (TGrid::kSparseRetryCalls + 1) + 1; ++call) {
        gSource = Noise(count, 40u + static_cast<unsigned>(call));
        TRecorder a{&ref, {}}, b{&grid, {}};
        ReferencePolygonise(ref, a);
        grid.Polygonise(b);
        routes.push_back(grid.LastStats().Sparse);
        ASSERT_EQ(a.Out.size(), b.Out.size()) << call;
        for (std::size_t v = 0; v < a.Out.size(); ++v) ASSERT_TRUE(SameVertex(a.Out[v].Value, b.Out[v].Value)) << call;
    }
    for (std::size_t call = 0; call < routes.size(); ++call)
        EXPECT_EQ(routes[call], call % (TGrid::kSparseRetryCalls + 1) == 0) << "call " << call;

    TGrid tiny(TGrid::kSparseMinSize - 1, 20, 20, 0.25f, 0, 0, 0, SourceField);
    tiny.UseBlockField(std::make_unique<TSourceBlockField>());
    gSource = Blob(TGrid::kSparseMinSize - 1, 20, 20, 0.3f);
    TRecorder out{&tiny, {}};
    tiny.Polygonise(out);
    EXPECT_FALSE(tiny.LastStats().Sparse);
    tiny.Route = TFieldRoute::SparseAlways;
    tiny.Polygonise(out);
    EXPECT_TRUE(tiny.LastStats().Sparse);
}

TEST(SparseSurface, AWriterOfInsideMustSaySo) {
    // The sparse route writes only the flags that change from its last
    // call. A caller that writes Inside and says so (InsideWritten) gets the
    // reference's flags and triangles again; one that does not is caught in
    // debug builds.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int size = 24;
    TGrid ref(size, size, size, 0.25f, 0, 0, 0, SourceField), grid(size, size, size, 0.25f, 0, 0, 0, SourceField);
    grid.UseBlockField(std::make_unique<TSourceBlockField>());
    grid.Route = TFieldRoute::SparseAlways;
    gSource = Blob(size, size, size, 0.3f);
    TRecorder a{&ref, {}}, b{&grid, {}};
    grid.Polygonise(b);
    std::fill(grid.Inside.begin(), grid.Inside.end(), std::uint8_t(1));
    grid.InsideWritten();
    b.Out.clear();
    ReferencePolygonise(ref, a);
    grid.Polygonise(b);
    EXPECT_TRUE(grid.LastStats().Sparse);
    EXPECT_EQ(std::memcmp(ref.Inside.Data(), grid.Inside.Data(), static_cast<std::size_t>(ref.Inside.Count())), 0);
    ASSERT_EQ(a.Out.size(), b.Out.size());
    for (std::size_t v = 0; v < a.Out.size(); ++v) ASSERT_TRUE(SameVertex(a.Out[v].Value, b.Out[v].Value)) << v;
    std::fill(grid.Inside.begin(), grid.Inside.end(), std::uint8_t(1));
    EXPECT_DEBUG_DEATH(grid.Polygonise(b), "InsideWritten");
}

// One frame of the ball field: grid size, balls (from the scene's animation
// unless given), scene time.
struct TSparseCase {
    int Size;
    int Balls;
    float T;
    std::vector<TBall> Given = {};
};

// Scene times where the blend factor is 0 and 1 (the two ends of the blend).
const float kBlendZero = static_cast<float>(1.5 * std::numbers::pi / 0.01981);
const float kBlendOne = static_cast<float>(0.5 * std::numbers::pi / 0.01981);

// A grid of the scene's shape whose field is the ball field on the dense
// route, or, with a block field attached, on the sparse one; both read
// the frame in hand (Source).
struct TBallGrid {
    std::vector<TBall> Balls;
    float T = 20.0f;
    std::unique_ptr<TGrid> Grid;
    TBallBlockField* Blocks = nullptr;

    // Store: the edge store whatever the grid's size (UseBlockField gives
    // it to large grids only).
    TBallGrid(int Size, int MaxBalls, bool Sparse, bool Store = true) {
        Grid = std::make_unique<TGrid>(Size, Size, Size, 2.0f / static_cast<float>(Size), 0.0f, 0.0f, 0.0f,
                                       BallFieldFrom<Source>);
        if (Sparse) {
            Blocks = UseBallField<Source>(*Grid, MaxBalls);
            Grid->Route = TFieldRoute::SparseAlways;
            if (Store) Grid->SizeEdgeStore(TGrid::EdgeStorePoints(Size, Size), TGrid::kEdgeStoreChunk);
        }
    }
    // Polygonises the case's frame into Out. With Apart, FillSamples and
    // PolygoniseSamples are called apart and, between them, every sample
    // outside the exact set is poisoned (NaN): nothing after the samples'
    // classification may read one.
    void Frame(const TSparseCase& c, TRecorder& Out, bool Apart = false) {
        Balls = c.Given.empty() ? SceneBalls(c.Balls, c.T) : c.Given;
        T = c.T;
        gCurrent = this;
        if (Apart) {
            Grid->FillSamples();
            const std::vector<bool> exact = ExactSet(*Grid);
            for (std::size_t n = 0; n < exact.size(); ++n)
                if (!exact[n]) Grid->Values[n] = std::numeric_limits<float>::quiet_NaN();
            Grid->PolygoniseSamples(Out);
        } else {
            Grid->Polygonise(Out);
        }
        gCurrent = nullptr;
    }
    // The samples the triangles depend on: B, the classified samples with a
    // classified face neighbour of the other class, and B moved one step
    // along x, y and z (grid/sparse_surface.cpp), from Inside.
    static std::vector<bool> ExactSet(const TGrid& g) {
        const std::int64_t sx = g.SizeX, sy = g.SizeY, sz = g.SizeZ, vx = sx + 1, vy = sy + 1;
        std::vector<bool> exact(static_cast<std::size_t>(g.Values.Count()));
        auto flag = [&](std::int64_t i, std::int64_t j, std::int64_t k) {
            return g.Inside[static_cast<std::size_t>(i + sx * (j + sy * k))];
        };
        for (std::int64_t k = 0; k < sz; ++k)
            for (std::int64_t j = 0; j < sy; ++j)
                for (std::int64_t i = 0; i < sx; ++i) {
                    const std::uint8_t f = flag(i, j, k);
                    if ((i > 0 && flag(i - 1, j, k) != f) || (i + 1 < sx && flag(i + 1, j, k) != f) ||
                        (j > 0 && flag(i, j - 1, k) != f) || (j + 1 < sy && flag(i, j + 1, k) != f) ||
                        (k > 0 && flag(i, j, k - 1) != f) || (k + 1 < sz && flag(i, j, k + 1) != f))
                        for (std::int64_t step : {std::int64_t(0), std::int64_t(1), vx, vx * vy})
                            exact[static_cast<std::size_t>(i + vx * (j + vy * k) + step)] = true;
                }
        return exact;
    }
    static inline TBallGrid* gCurrent = nullptr;
    static TBallScene Source() {
        return {gCurrent->T, gCurrent->Balls.data(), static_cast<std::int32_t>(gCurrent->Balls.size())};
    }
};

// The sparse route on every level and thread count against the dense one
// on the default ones: same flags, same edge arrays (those not crossed keep
// what earlier frames left, so the frames run in turn on both), same
// vertices in the same order. Every sample it did not compute is NaN before
// each call, and every one it did must have the dense bits; every other
// frame takes its samples apart from the rest of the call, every sample
// outside the exact set then poisoned too (TBallGrid::Frame). With worker
// threads the streamed frames hand the sink what the workers recorded
// (emission runs): Runs, when given, gets the block rows recorded and not
// recorded over those frames; Room, when given, sizes the runs.
// Room of the emission runs and of the edge store (0: the usual).
struct TRunRoom {
    std::int64_t SlotRefs, ChunkRefs;
    std::int64_t SlotPoints = 0, ChunkPoints = 0;
};
// Runs: the runs' and the store's counts summed over the frames, and in
// Crossed, the crossed edges of the frames the layers streamed through.
// Hook: TGrid::StreamTaskHook of the sparse grid.
void ExpectSparseMatchesDense(const std::vector<TSparseCase>& Frames, TSurfaceStats* Runs = nullptr,
                              const TRunRoom* Room = nullptr, std::int64_t* Crossed = nullptr,
                              void (*Hook)(std::int64_t, std::int64_t) = nullptr) {
    const int size = Frames[0].Size;
    int most = 0;
    for (const TSparseCase& c : Frames) most = std::max<int>(most, c.Given.empty() ? c.Balls : int(c.Given.size()));
    TBallGrid dense(size, most, false);
    std::vector<std::vector<TVertexRef>> streams;
    std::vector<std::vector<float>> values;
    std::vector<std::vector<std::uint8_t>> inside;
    std::vector<std::vector<TVertexRef>> crossed;
    // The cubes with corners of both classes: every one the emission must
    // visit (the runs report the ones they visited for the calling thread).
    std::vector<std::int64_t> active;
    for (const TSparseCase& c : Frames) {
        TRecorder out{dense.Grid.get(), {}};
        dense.Frame(c, out);
        streams.push_back(out.Out);
        const TGrid& g = *dense.Grid;
        std::int64_t cubes = 0;
        for (std::int64_t k = 0; k + 1 < g.SizeZ; ++k)
            for (std::int64_t j = 0; j + 1 < g.SizeY; ++j)
                for (std::int64_t i = 0; i + 1 < g.SizeX; ++i) {
                    int corners = 0;
                    for (int n = 0; n < 8; ++n)
                        corners += g.Inside[std::size_t(i + (n & 1) + g.SizeX * (j + (n >> 1 & 1) + g.SizeY * (k + (n >> 2))))];
                    cubes += corners != 0 && corners != 8;
                }
        active.push_back(cubes);
        values.emplace_back(dense.Grid->Values.begin(), dense.Grid->Values.end());
        inside.emplace_back(dense.Grid->Inside.begin(), dense.Grid->Inside.end());
        crossed.push_back(CrossedEdges(*dense.Grid));
    }
    for (const TSpeedConfig& config : AllConfigs()) {
        TBallGrid sparse(size, most, true);
        ASSERT_NE(sparse.Blocks, nullptr);
        sparse.Grid->PoisonValues = true;
        sparse.Grid->StreamTaskHook = Hook;
        // Tests of the runs' room have every thread count with workers record them.
        if (Room != nullptr && Room->SlotRefs > 0) {
            sparse.Grid->SizeEmissionRuns(Room->SlotRefs, Room->ChunkRefs);
            sparse.Grid->RecordRunsFrom = 2;
        }
        if (Room != nullptr && Room->SlotPoints > 0) sparse.Grid->SizeEdgeStore(Room->SlotPoints, Room->ChunkPoints);
        TUseConfig use(config);
        for (std::size_t f = 0; f < Frames.size(); ++f) {
            const TSparseCase& c = Frames[f];
            SCOPED_TRACE(testing::Message() << config.Name() << " grid " << size << " balls " << c.Balls
                                            << (c.Given.empty() ? "" : " (placed)") << " T " << c.T);
            TRecorder out{sparse.Grid.get(), {}};
            sparse.Frame(c, out, f % 2 == 1);
            ASSERT_TRUE(sparse.Grid->LastStats().Sparse);
            const TSurfaceStats& stats = sparse.Grid->LastStats();
            EXPECT_EQ(stats.Triangles * 3, static_cast<std::int64_t>(out.Out.size()));
            EXPECT_EQ(stats.CubesWalked, active[f]);
            if (f % 2 == 1 || config.Threads < sparse.Grid->RecordRunsFrom) {
                EXPECT_EQ(stats.RowsRecorded + stats.RowsNotRecorded, 0) << "runs only where enough threads stream";
            } else {
                EXPECT_GT(stats.RowsRecorded + stats.RowsNotRecorded, 0) << "runs wherever enough threads stream";
            }
            if (f % 2 == 1) {
                EXPECT_EQ(stats.EdgesNotStored, 0) << "the store only where the layers stream";
            }
            if (Runs != nullptr) {
                Runs->RowsRecorded += stats.RowsRecorded;
                Runs->RowsNotRecorded += stats.RowsNotRecorded;
                Runs->EdgesNotStored += stats.EdgesNotStored;
                if (f % 2 == 0 && Crossed != nullptr) *Crossed += static_cast<std::int64_t>(crossed[f].size());
            }
            EXPECT_EQ(std::memcmp(inside[f].data(), sparse.Grid->Inside.Data(), inside[f].size()), 0);
            int wrong = 0;
            std::int64_t written = 0, nan = 0;
            for (std::size_t n = 0; n < values[f].size(); ++n) {
                const float v = sparse.Grid->Values[n];
                if (!std::isnan(v) && !SameBits(v, values[f][n]) && ++wrong <= 3)
                    ADD_FAILURE() << "sample " << n << ": " << v << " vs " << values[f][n];
                written += !std::isnan(v);
                nan += std::isnan(values[f][n]);
            }
            EXPECT_EQ(wrong, 0);
            // The samples it counts as evaluated are the ones it wrote, less
            // any whose own value is NaN (on the frames whose samples are
            // not poisoned again after the classification).
            if (f % 2 == 0) {
                EXPECT_GE(stats.SamplesEvaluated, written);
                EXPECT_LE(stats.SamplesEvaluated, written + nan);
            }
            ExpectSameStreams(streams[f], out.Out);
            // Called apart, the crossings go to the edge arrays.
            if (f % 2 == 1) ExpectSameStreams(crossed[f], CrossedEdges(*sparse.Grid));
        }
    }
}

// Sizes 1 and 2, odd sizes, rows of more than one bit word, and the
// shipped grid; ball counts 0 to 200; times across the blend.
TEST(SparseSurface, MatchesTheDenseRouteOnSceneFrames) {
    const float times[] = {20.0f, 21.5f, 97.0f, kBlendZero, kBlendOne, 300.0f};
    struct TRow {
        int Size;
        std::vector<int> Balls;
    };
    const TRow rows[] = {{1, {0, 10}}, {2, {0, 1, 10}},       {3, {10}},     {5, {1, 10}},
                         {9, {0, 10, 50}}, {17, {10, 200}},  {40, {0, 1, 10, 50, 200}}, {67, {10, 50}}};
    for (const TRow& row : rows) {
        std::vector<TSparseCase> frames;
        for (int balls : row.Balls)
            for (float t : times) frames.push_back({row.Size, balls, t});
        ExpectSparseMatchesDense(frames);
    }
}

TEST(SparseSurface, MatchesTheDenseRouteOnALargeGrid) {
    TSurfaceStats runs;
    ExpectSparseMatchesDense({{128, 10, 20.0f}, {128, 50, 150.0f}, {128, 50, kBlendZero}}, &runs);
    // The runs' room holds the shipped scene's rows: the workers record them
    // all; and the edge store holds every crossed edge.
    EXPECT_GT(runs.RowsRecorded, 0);
    EXPECT_EQ(runs.RowsNotRecorded, 0);
    EXPECT_EQ(runs.EdgesNotStored, 0);
}

TEST(SparseSurface, OnlyLargeGridsGetTheEdgeStore) {
    // As UseBlockField leaves it: the triangles of a grid below
    // kEdgeStoreMinSamples samples come from the edge arrays, those of one
    // above it from the store.
    for (int size : {40, 100, 101}) {
        TBallGrid grid(size, 50, true, false);
        TRecorder out{grid.Grid.get(), {}};
        grid.Frame({size, 50, 20.0f}, out);
        const bool large = grid.Grid->Values.Count() >= TGrid::kEdgeStoreMinSamples;
        EXPECT_EQ(large, size == 101) << size;
        ASSERT_FALSE(out.Out.empty());
        const bool stored = std::any_of(out.Out.begin(), out.Out.end(), [](const TVertexRef& v) { return v.Axis < 0; });
        EXPECT_EQ(stored, large) << size;
    }
}

TEST(SparseSurface, EdgesTheStoreCannotHoldGoToTheEdgeArrays) {
    // Room for a few hundred points in a layer's slot, in chunks of a word's
    // worth: threads find the slot full part way through a layer, and
    // later block layers start again with an empty one. The edges that do
    // not fit are written into the edge arrays and read from there, cube by
    // cube, mixed with the stored ones.
    TRunRoom room{0, 0, 300, 64};
    TSurfaceStats runs;
    std::int64_t crossed = 0;
    ExpectSparseMatchesDense({{40, 50, 20.0f}, {40, 1, 97.0f}, {40, 10, kBlendOne}}, &runs, &room, &crossed);
    EXPECT_GT(runs.EdgesNotStored, 0);
    // Both over every configuration: many edges stored all the same.
    EXPECT_LT(runs.EdgesNotStored, crossed * 9 / 10);
}

TEST(SparseSurface, RowsTheRunsCannotHoldAreEmittedByTheCallingThread) {
    // Room for the points of a few dozen cubes in a layer's slot, taken a
    // point at a time: rows move to new chunks as they grow, and later rows
    // find the slot full. The calling thread emits those itself, in their
    // place in the stream.
    const TRunRoom room{240, 1};
    TSurfaceStats runs;
    ExpectSparseMatchesDense({{40, 50, 20.0f}, {40, 1, 97.0f}, {40, 10, kBlendOne}}, &runs, &room);
    EXPECT_GT(runs.RowsRecorded, 0);
    EXPECT_GT(runs.RowsNotRecorded, 0);
}

// The streamed call's tasks as they started: block row, step, and whether
// the calling thread took it.
struct TTaskTaken {
    std::int64_t BY, Step;
    bool Caller;
};
std::mutex gTasksLock;
std::vector<TTaskTaken> gTasks;
std::thread::id gCaller;
// Records a task; and HoldSomeTasks holds up the tasks of some rows (a
// pattern that moves with the step), or every task the calling thread
// takes.
bool gHoldCaller = false;
void RecordTask(std::int64_t BY, std::int64_t Step) {
    std::lock_guard<std::mutex> lock(gTasksLock);
    gTasks.push_back({BY, Step, std::this_thread::get_id() == gCaller});
}
void HoldSomeTasks(std::int64_t BY, std::int64_t Step) {
    RecordTask(BY, Step);
    if (gHoldCaller ? std::this_thread::get_id() == gCaller : (5 * BY + Step) % 7 == 0)
        std::this_thread::sleep_for(std::chrono::microseconds(300));
}

TEST(SparseSurface, MatchesTheDenseRouteWhenBlockRowsRunAhead) {
    // With workers, a block row's next step starts as soon as it and the
    // rows beside it are done with this one: held-up rows leave the others
    // running ahead, and a held-up calling thread (the emission) leaves the
    // workers running as far ahead as the slots allow. Grids of 11 and 26
    // block rows and layers.
    gCaller = std::this_thread::get_id();
    for (bool caller : {false, true}) {
        SCOPED_TRACE(caller ? "calling thread held up" : "rows held up");
        gHoldCaller = caller;
        gTasks.clear();
        ExpectSparseMatchesDense({{40, 50, 20.0f}, {40, 10, kBlendOne}}, nullptr, nullptr, nullptr, HoldSomeTasks);
        ExpectSparseMatchesDense({{101, 50, 20.0f}, {101, 200, 97.0f}}, nullptr, nullptr, nullptr, HoldSomeTasks);
        // Some task started before one of an earlier step: no step waited
        // for the whole of the one before. (A step far below the highest
        // so far starts the next frame.)
        std::int64_t highest = 0, overtaken = 0;
        for (const auto& [by, step, byCaller] : gTasks) {
            if (step + 3 < highest) highest = step;
            if (step < highest) ++overtaken;
            highest = std::max(highest, step);
        }
        EXPECT_GT(overtaken, 0);
    }
    gHoldCaller = false;
}

TEST(SparseSurface, TwoThreadsTakeEachStepsBlockRowsFromEitherEnd) {
    // With one worker, the worker takes each step's block rows from the
    // bottom and the calling thread from the top: every step splits into
    // the worker's rows below the caller's, each row taken once, so a row
    // stays with one thread from step to step. Rows held up (as above)
    // move where the two meet.
    gCaller = std::this_thread::get_id();
    for (bool hold : {false, true}) {
        SCOPED_TRACE(hold ? "rows held up" : "as they come");
        TBallGrid grid(101, 50, true);
        TUseConfig use({SupportedSimdLevel(), 2});
        grid.Grid->StreamTaskHook = hold ? HoldSomeTasks : RecordTask;
        gHoldCaller = false;
        // Tasks of both frames, and those the calling thread took.
        std::int64_t tasks = 0, byCallerCount = 0;
        for (float t : {20.0f, 97.0f}) {
            gTasks.clear();
            TRecorder out{grid.Grid.get(), {}};
            grid.Frame({101, 50, t}, out);
            const std::int64_t rows = grid.Grid->BlocksY(), steps = static_cast<std::int64_t>(gTasks.size()) / rows;
            ASSERT_EQ(steps * rows, static_cast<std::int64_t>(gTasks.size()));
            ASSERT_GT(steps, 20);
            // Per step: the worker's highest row and the caller's lowest.
            std::vector<std::int64_t> workerTop(steps, -1), callerBottom(steps, rows), taken(steps * rows, 0);
            tasks += steps * rows;
            for (const auto& [by, step, byCaller] : gTasks) {
                ASSERT_LT(step, steps);
                ++taken[step * rows + by];
                if (byCaller) {
                    callerBottom[step] = std::min(callerBottom[step], by);
                    ++byCallerCount;
                } else {
                    workerTop[step] = std::max(workerTop[step], by);
                }
            }
            for (std::int64_t n : taken) EXPECT_EQ(n, 1);
            for (std::int64_t step = 0; step < steps; ++step) EXPECT_LT(workerTop[step], callerBottom[step]) << step;
        }
        // Both took some: the split is the work's, not one thread's. (Over
        // two frames: on a loaded machine the worker may not get a core at
        // all during one.)
        EXPECT_GT(byCallerCount, 0);
        EXPECT_LT(byCallerCount, tasks);
    }
}

TEST(SparseSurface, MatchesTheDenseRouteWithBallsOnSamplesAndOutsideTheLattice) {
    // Grid 8 over -1..1 has samples on multiples of 0.25: balls there have a
    // denominator of 0 (capped terms, NaN for strength 0); others lie far
    // outside the lattice or straddle its edge.
    const std::vector<TBall> placed = {{0.3f, 0, 0.25f, 0.0f, -0.5f, 0},   {0.0f, 0, -0.75f, 0.5f, 0.25f, 0},
                                       {0.2f, 0, 0.25f, 0.0f, -0.5f, 0},   {0.15f, 0, 0.1f, 0.2f, 0.3f, 0},
                                       {0.5f, 0, 3.0f, -4.0f, 2.0f, 0},    {0.3f, 0, 1.0f, 1.0f, 1.0f, 0},
                                       {0.25f, 0, -1.1f, 0.0f, 0.0f, 0}};
    std::vector<TSparseCase> frames;
    for (float t : {20.0f, kBlendZero, kBlendOne, 150.0f}) frames.push_back({8, 7, t, placed});
    ExpectSparseMatchesDense(frames);
    for (TSparseCase& f : frames) f.Size = 16;
    ExpectSparseMatchesDense(frames);
}

// A count from the environment for a longer run (docs/testing.md), or
// Default where Name is not set; a value that is not a count up to Most
// fails the test.
int CountFromEnvironment(const char* Name, int Default, int Most) {
    const char* text = std::getenv(Name);
    if (text == nullptr) return Default;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < 0 || n > Most) {
        ADD_FAILURE() << Name << "=" << text << ": not a count from 0 to " << Most;
        return Default;
    }
    return static_cast<int>(n);
}

// Scenes no animation makes, drawn at random (from a fixed seed unless the
// environment gives another): up to sixty balls in and around the
// lattice, some with a strength or a coordinate at the ends of the float
// range, some on samples, some on the lattice's centre; grid sizes from 1
// up; times across the blend and past its period. Every other scene is a
// corner scene (below): one sample of a block gives both of the block's
// bounds on one side, and its value sits on 0, where the blend's error
// term decides whether the block is proven.
TEST(SparseSurface, MatchesTheDenseRouteOnRandomBalls) {
    std::mt19937 random(static_cast<unsigned>(CountFromEnvironment("SORVEL2_RANDOM_SEED", 20261209, INT_MAX)));
    auto below = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto from = [&](std::initializer_list<float> v) { return *(v.begin() + below(static_cast<int>(v.size()))); };
    auto uniform = [&](float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(random); };
    const float tiny = std::numeric_limits<float>::denorm_min();
    // Every build runs all forty (eight, tried under the sanitizers, held no
    // corner scene): a second or two in Release, some 15 s under AddressSanitizer.
    const int scenes = CountFromEnvironment("SORVEL2_RANDOM_SCENES", 40, 1000000);
    int onZero = 0;
    for (int scene = 0; scene < scenes; ++scene) {
        int size = below(3) == 0 ? 1 + below(12) : 13 + below(36);
        float cell = 2.0f / static_cast<float>(size);
        int count = 1 + below(below(3) == 0 ? 60 : 8);
        std::vector<TBall> balls;
        for (int b = 0; b < count; ++b) {
            TBall ball{uniform(0.02f, 0.6f), 0, uniform(-1.2f, 1.2f), uniform(-1.2f, 1.2f), uniform(-1.2f, 1.2f), 0};
            switch (below(12)) {
            case 0: ball.Strength = from({0.0f, -0.3f, tiny, 1e-20f, 3.0f, 1e19f, 1e30f, FLT_MAX, -FLT_MAX}); break;
            case 1: ball.X = from({1e30f, -1e19f, 5.0f, -FLT_MAX, tiny, -0.0f}); break;
            case 2: ball.Y = from({-1e30f, 1e19f, -5.0f, FLT_MAX, tiny}); break;
            case 3: ball.Z = from({1e30f, -5.0f, FLT_MAX, -tiny}); break;
            case 4:  // on a sample
                ball.X = cell * static_cast<float>(below(size + 1)) - 1.0f;
                ball.Y = cell * static_cast<float>(below(size + 1)) - 1.0f;
                ball.Z = cell * static_cast<float>(below(size + 1)) - 1.0f;
                break;
            case 5: ball.X = ball.Y = ball.Z = 0.0f; break;
            default: break;
            }
            balls.push_back(ball);
        }
        float t = below(4) == 0 ? from({kBlendZero, kBlendOne, 0.0f, 1e6f}) : uniform(0.0f, 400.0f);
        if (scene % 2 == 1) {
            // Corner scenes: a random block's sample c where G is greatest
            // (the block's least x * x, greatest R) or least, and one to
            // three balls nearest to c or farthest from it, so that c gives
            // the block's bound of both H and G on that side. Then ball 0's
            // strength is bisected on c's sign.
            size = 4 + below(21);
            cell = 2.0f / static_cast<float>(size);
            const bool nearest = below(2) == 0;
            t = uniform(1.0f, 400.0f);
            if (std::sin(0.01981f * t) > 0.8f) t += 158.6f;  // half the blend's period: balls still count
            const int blocks = size / kBlockSize + 1;
            int lo[3], hi[3], c[3];
            for (int a = 0; a < 3; ++a) {
                lo[a] = below(blocks) * kBlockSize;
                hi[a] = std::min(lo[a] + kBlockSize - 1, size);
            }
            auto xx = [&](int i) { const float x = FieldCoordinate(i, size, cell); return x * x; };
            c[0] = lo[0];
            for (int i = lo[0]; i <= hi[0]; ++i)
                if (nearest ? xx(i) < xx(c[0]) : xx(i) > xx(c[0])) c[0] = i;
            float x = FieldRowStart(size, cell);  // c's x, as the field adds it up
            for (int i = 0; i < c[0]; ++i) x = x + cell;
            count = 1 + below(3);
            balls.assign(static_cast<std::size_t>(count), TBall{});
            TBallGrid probe(size, count, false);
            std::size_t at = 0;  // c's sample
            auto positive = [&](float strength, float time) {
                balls[0].Strength = strength;
                TRecorder out{probe.Grid.get(), {}};
                probe.Frame({size, count, time, balls}, out);
                return probe.Grid->Values[at] > 0.0f;
            };
            // A few times a little apart (each moves G and the blend's
            // rounding): the first at which the blend worked out exactly, as
            // the bound works it out, lies on the other side of 0 than the
            // field's rounded one, with c where the bound could prove its
            // block wrongly (above 0 where c is the greatest, 0 or below
            // where the least): there the error term alone keeps the block
            // unproven. H at c is the field's own where the blend is 0 (the
            // balls do not depend on the time); G = R - x * x as the field
            // rounds it.
            for (int attempt = 0; attempt < 16; ++attempt, t += 0.37f) {
                const TFieldFrame frame = FieldFrameAt(t);
                c[1] = lo[1], c[2] = lo[2];
                float best = FieldRowAt(frame, c[1], c[2], size, size, cell).R;
                for (int k = lo[2]; k <= hi[2]; ++k)
                    for (int j = lo[1]; j <= hi[1]; ++j) {
                        const float r = FieldRowAt(frame, j, k, size, size, cell).R;
                        if (nearest ? r > best : r < best) c[1] = j, c[2] = k, best = r;
                    }
                at = static_cast<std::size_t>(c[0] + (size + 1) * (c[1] + (size + 1) * c[2]));
                bool placed = true;
                for (TBall& ball : balls) {
                    ball.Strength = uniform(0.05f, 0.5f);
                    float* centre[3] = {&ball.X, &ball.Y, &ball.Z};
                    for (int a = 0; a < 3; ++a) {
                        // Nearest: beyond c's face of the block, or level with c
                        // where c lies inside; farthest: beyond the other face.
                        int side = c[a] == hi[a] && c[a] > lo[a] ? 1 : c[a] == lo[a] && c[a] < hi[a] ? -1 : 0;
                        if (!nearest) side = lo[a] == hi[a] ? 1 : -side;
                        if (!nearest && side == 0) placed = false;  // c inside: no far side
                        const int end = side > 0 ? hi[a] : side < 0 ? lo[a] : c[a];
                        const float beyond = static_cast<float>(side) * cell * uniform(0.3f, 3.0f);
                        *centre[a] = FieldCoordinate(end, size, cell) + beyond;
                    }
                }
                // V grows with ball 0's strength: the least that puts c above 0.
                float low = 0.0f, high = 4.0f;
                if (!placed || positive(low, t) || !positive(high, t)) continue;
                for (float mid = 0.5f * (low + high); mid != low && mid != high; mid = 0.5f * (low + high))
                    (positive(mid, t) ? high : low) = mid;
                balls[0].Strength = nearest ? high : low;
                const bool above = positive(balls[0].Strength, t);
                positive(balls[0].Strength, kBlendZero);
                const double h = probe.Grid->Values[at];
                const double g = FieldRowAt(frame, c[1], c[2], size, size, cell).R - x * x, b = frame.Blend;
                if (above != ((1.0 - b) * h + b * g > 0.0)) {
                    ++onZero;
                    break;
                }
            }
        }
        std::vector<TSparseCase> frames = {{size, count, t, balls}};
        // A second frame with the balls moved a little (finite ones only).
        if (below(2) == 0) {
            for (TBall& b : balls)
                if (std::isfinite(b.X + 0.01f)) b.X += 0.01f;
            frames.push_back({size, count, t + 0.5f, balls});
        }
        SCOPED_TRACE(testing::Message() << "scene " << scene);
        ExpectSparseMatchesDense(frames);
        if (HasFailure()) return;
    }
    // About one scene in seven is such a corner (7 of the 40 here; 39 to 66
    // in 400 with other seeds).
    EXPECT_GE(onZero, scenes / 16) << "corner scenes that only the error term keeps right";
}

TEST(SparseSurface, MatchesTheDenseRouteAlongAChainOfBalls) {
    // Balls in a line along x: the block rows along the chain hold an
    // unproven block in nearly every column, so a row's packed samples run
    // on past a word of their inside flags.
    std::vector<TBall> chain;
    for (int n = 0; n < 24; ++n)
        chain.push_back({0.09f, 0, -0.92f + 0.08f * static_cast<float>(n), 0.013f, -0.021f, 0});
    std::vector<TSparseCase> frames;
    for (float t : {20.0f, kBlendZero, kBlendOne}) frames.push_back({64, 24, t, chain});
    ExpectSparseMatchesDense(frames);
    for (TSparseCase& f : frames) f.Size = 127;
    ExpectSparseMatchesDense(frames);
}

TEST(SparseSurface, MatchesTheDenseRouteWhereABoundIsWithinRoundingOfZero) {
    // Grid 16 at T 20 (blend b = 0x1.62cb5cp-1): both balls lie beyond the
    // corner (8, 8, 3) of block (2, 2, 0), so every one of its least terms
    // and its least G (largest x * x, least R) are those of the opposite
    // corner, sample (11, 11, 0): the block's lower bound is that sample's
    // own exact blend, (1 - b) H + b G = +2.1e-9 with H = 0x1.9f558ep+0 and
    // G = -0x1.700f74p-1, while the field rounds it to 0.0, outside. Only the
    // blend's error term keeps the block from being proven inside, and
    // leaving either ball out of the bounds moves them by far more than it.
    const std::vector<TBall> placed = {{0x1.1dfa76p+0f, 0, -0x1p-5f, -0x1p-5f, -0x1.3p-1f, 0},
                                       {0x1.33334ap-2f, 0, -0x1.8p-3f, -0x1p-3f, -0x1.cp-2f, 0}};
    const TSparseCase edge{16, 2, 20.0f, placed};
    // The frame still sits on the edge: the dense route's value there is 0.
    TBallGrid dense(16, 2, false);
    TRecorder out{dense.Grid.get(), {}};
    dense.Frame(edge, out);
    ASSERT_TRUE(SameBits(dense.Grid->Values[11 + 17 * (11 + 17 * 0)], 0.0f));
    ExpectSparseMatchesDense({edge, {16, 2, 21.5f, placed}, edge});
}

TEST(SparseSurface, ReadsNoSampleOutsideWhatItEvaluated) {
    // Every sample it did not compute is NaN before the call: any read of
    // one would show in a normal or an edge point.
    std::vector<TSparseCase> frames;
    for (float t : {20.0f, 40.0f, kBlendZero, kBlendOne}) frames.push_back({33, 50, t});
    ExpectSparseMatchesDense(frames);
    for (TSparseCase& f : frames) f.Size = 64;
    ExpectSparseMatchesDense(frames);
}

TEST(SparseSurface, EveryProvenBlockHasTheProvenClass) {
    // Over many frames, every sample of a block the field proved outside is
    // 0.0 or less and of one proved inside greater than 0.0 on the dense
    // route; with each level's bounds (their kernels are each level's own).
    // Under AddressSanitizer, which looks for bad accesses rather than
    // wrong classes, fewer frames a level.
    const int frames = SORVEL2_ASAN ? 10 : 40;
    for (int level = LowestSimdLevel(); level <= SupportedSimdLevel(); ++level) {
        TUseConfig use({static_cast<TSimdLevel>(level), 1});
        for (int size : {24, 64}) {
            for (int balls : {0, 10, 50}) {
                TBallGrid dense(size, balls, false), sparse(size, balls, true);
                std::int64_t proven = 0;
                for (int frame = 0; frame < frames; ++frame) {
                    const TSparseCase c{size, balls, 20.0f + 7.3f * static_cast<float>(frame)};
                    TRecorder a{dense.Grid.get(), {}}, b{sparse.Grid.get(), {}};
                    dense.Frame(c, a);
                    sparse.Frame(c, b);
                    const TGrid& g = *sparse.Grid;
                    const std::int64_t nbx = g.BlocksX(), nby = g.BlocksY(), n = size + 1;
                    for (std::int64_t k = 0; k < n; ++k)
                        for (std::int64_t j = 0; j < n; ++j)
                            for (std::int64_t i = 0; i < n; ++i) {
                                const std::uint8_t cls = g.BlockClasses()[static_cast<std::size_t>(
                                    i / kBlockSize + nbx * (j / kBlockSize + nby * (k / kBlockSize)))];
                                if (cls == kBlockMixed) continue;
                                ++proven;
                                const float v = dense.Grid->Values[static_cast<std::size_t>(i + n * (j + n * k))];
                                ASSERT_EQ(cls == kBlockInside, v > 0.0f)
                                    << SimdLevelName(static_cast<TSimdLevel>(level)) << " size " << size << " balls "
                                    << balls << " T " << c.T << " sample " << i << "," << j << "," << k
                                    << " value " << v;
                            }
                }
                EXPECT_GT(proven, 0) << size << " " << balls;
            }
        }
    }
}
