#include "grid/surface_kernels.h"

#include "grid/grid.h"
#include "grid/simd.h"
#include "grid/surface_math.h"

#include <cstring>

#if SORVEL2_SIMD4
#include <immintrin.h>
#endif

namespace {

// One cube's case index from its corner-0 flag, as TGrid::CaseIndex builds it.
inline unsigned CaseAt(const std::uint8_t* p, std::int64_t sx, std::int64_t sxy) {
    return static_cast<unsigned>(p[0] | p[1] << 1 | p[1 + sx] << 2 | p[sx] << 3 | p[sxy] << 4 | p[sxy + 1] << 5 |
                                 p[sxy + 1 + sx] << 6 | p[sxy + sx] << 7);
}

// Cubes From .. Count-1 one at a time; returns the new number of active ones.
inline std::int32_t ActiveTail(const std::uint8_t* Row, std::int64_t sx, std::int64_t sxy, std::int32_t From,
                               std::int32_t Count, std::uint16_t* Where, std::uint8_t* Cases, std::int32_t Found) {
    for (std::int32_t i = From; i < Count; ++i) {
        const unsigned c = CaseAt(Row + i, sx, sxy);
        if (c != 0 && c != 255) {
            Where[Found] = static_cast<std::uint16_t>(i);
            Cases[Found] = static_cast<std::uint8_t>(c);
            ++Found;
        }
    }
    return Found;
}

// Adds the cubes of Mask (bit m: cube Base + m, case Block[m]).
[[maybe_unused]] inline std::int32_t TakeMask(std::uint64_t Mask, std::int32_t Base, const std::uint8_t* Block, std::uint16_t* Where,
                             std::uint8_t* Cases, std::int32_t Found) {
    while (Mask != 0) {
        const int m = __builtin_ctzll(Mask);
        Mask &= Mask - 1;
        Where[Found] = static_cast<std::uint16_t>(Base + m);
        Cases[Found] = Block[m];
        ++Found;
    }
    return Found;
}

// --- Portable -----------------------------------------------------------------

// The moving coordinate of an edge point along each axis.
constexpr float TVector::*kMoving[3] = {&TVector::x, &TVector::y, &TVector::z};

// Edges From .. Count-1 of a batch one at a time.
inline void CrossingsTail(const TCrossBatch& B, std::int32_t From) {
    const std::int64_t vx = B.RowStride, vxy = B.LayerStride;
    for (std::int32_t q = From; q < B.Count; ++q) {
        const float* p = B.Values + B.Samples[q];
        const float* r = p + B.Step;
        const TVector g0{p[1] - p[0], p[vx] - p[0], p[vxy] - p[0]};
        const TVector g1{r[1] - r[0], r[vx] - r[0], r[vxy] - r[0]};
        TEdgeVertex& e = B.Edges[B.Elements[q]];
        Crossing(p[0], r[0], g0, g1, B.Starts[q], B.CellSize, e.Position.*kMoving[B.Axis], e.Normal);
    }
}

void CrossingsPortable(const TCrossBatch& B) { CrossingsTail(B, 0); }

void ClassifyRowPortable(const float* v, std::int64_t n, std::uint8_t* inside, std::uint64_t* bits) {
    for (std::int64_t w = 0; w * 64 < n; ++w) {
        std::uint64_t word = 0;
        const std::int64_t end = n - w * 64 < 64 ? n - w * 64 : 64;
        for (std::int64_t b = 0; b < end; ++b) word |= static_cast<std::uint64_t>(v[w * 64 + b] > 0.0f) << b;
        bits[w] = word;
    }
    if (inside != nullptr)
        for (std::int64_t i = 0; i < n; ++i) inside[i] = v[i] > 0.0f ? 1 : 0;
}

[[maybe_unused]] std::int32_t ActiveCubesPortable(const std::uint8_t* Row, std::int64_t sx, std::int64_t sxy, std::int32_t Count,
                                 std::uint16_t* Where, std::uint8_t* Cases) {
    return ActiveTail(Row, sx, sxy, 0, Count, Where, Cases, 0);
}

#if SORVEL2_SIMD4

// kSpread4[m]: the four flags of mask m as bytes 0 or 1, lowest first.
constexpr std::uint32_t Spread4(unsigned m) {
    return (m & 1) | (m >> 1 & 1) << 8 | (m >> 2 & 1) << 16 | static_cast<std::uint32_t>(m >> 3 & 1) << 24;
}
constexpr std::uint32_t kSpread4[16] = {Spread4(0),  Spread4(1),  Spread4(2),  Spread4(3), Spread4(4),  Spread4(5),
                                        Spread4(6),  Spread4(7),  Spread4(8),  Spread4(9), Spread4(10), Spread4(11),
                                        Spread4(12), Spread4(13), Spread4(14), Spread4(15)};

// --- SSE2 ---------------------------------------------------------------------

void ClassifyRowSse2(const float* v, std::int64_t n, std::uint8_t* inside, std::uint64_t* bits) {
    const __m128 zero = _mm_setzero_ps();
    std::int64_t i = 0;
    for (; i + 64 <= n; i += 64) {
        std::uint64_t word = 0;
        for (int q = 0; q < 16; ++q) {
            const unsigned m = static_cast<unsigned>(_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(v + i + 4 * q), zero)));
            word |= static_cast<std::uint64_t>(m) << (4 * q);
            if (inside != nullptr) std::memcpy(inside + i + 4 * q, &kSpread4[m], 4);
        }
        bits[i / 64] = word;
    }
    if (i < n) ClassifyRowPortable(v + i, n - i, inside == nullptr ? nullptr : inside + i, bits + i / 64);
}

std::int32_t ActiveCubesSse2(const std::uint8_t* Row, std::int64_t sx, std::int64_t sxy, std::int32_t Count,
                             std::uint16_t* Where, std::uint8_t* Cases) {
    std::int32_t found = 0, i = 0;
    const __m128i zero = _mm_setzero_si128(), full = _mm_set1_epi8(-1);
    auto load = [](const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
    // Blocks of 16 cubes; the last block ends at the last cube and skips
    // the ones the block before it took.
    for (std::int32_t next = 0; next < Count && Count >= 16; i = next) {
        const std::int32_t start = next + 16 <= Count ? next : Count - 16;
        next = start + 16;
        const std::uint8_t* p = Row + start;
        __m128i c = load(p);
        c = _mm_or_si128(c, _mm_slli_epi16(load(p + 1), 1));
        c = _mm_or_si128(c, _mm_slli_epi16(load(p + 1 + sx), 2));
        c = _mm_or_si128(c, _mm_slli_epi16(load(p + sx), 3));
        c = _mm_or_si128(c, _mm_slli_epi16(load(p + sxy), 4));
        c = _mm_or_si128(c, _mm_slli_epi16(load(p + sxy + 1), 5));
        c = _mm_or_si128(c, _mm_slli_epi16(load(p + sxy + 1 + sx), 6));
        c = _mm_or_si128(c, _mm_slli_epi16(load(p + sxy + sx), 7));
        const unsigned trivial = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(c, zero), _mm_cmpeq_epi8(c, full))));
        const std::uint64_t active = ~trivial & 0xFFFFu & ~0ull << (i - start);
        if (active == 0) continue;
        alignas(16) std::uint8_t block[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(block), c);
        found = TakeMask(active, start, block, Where, Cases, found);
    }
    return ActiveTail(Row, sx, sxy, i, Count, Where, Cases, found);
}

#endif

#if SORVEL2_X86_SIMD

// --- AVX2 ---------------------------------------------------------------------

// kSpread8[m]: the eight flags of mask m as bytes 0 or 1, lowest first.
constexpr std::uint64_t Spread8(unsigned m) { return Spread4(m & 15) | static_cast<std::uint64_t>(Spread4(m >> 4)) << 32; }
struct TSpread8 {
    std::uint64_t Table[256];
    constexpr TSpread8() : Table() {
        for (unsigned m = 0; m < 256; ++m) Table[m] = Spread8(m);
    }
};
constexpr TSpread8 kSpread8;

SORVEL2_TARGET_AVX2 void ClassifyRowAvx2(const float* v, std::int64_t n, std::uint8_t* inside, std::uint64_t* bits) {
    const __m256 zero = _mm256_setzero_ps();
    std::int64_t i = 0;
    for (; i + 64 <= n; i += 64) {
        std::uint64_t word = 0;
        for (int q = 0; q < 8; ++q) {
            const unsigned m = static_cast<unsigned>(
                _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(v + i + 8 * q), zero, _CMP_GT_OQ)));
            word |= static_cast<std::uint64_t>(m) << (8 * q);
            if (inside != nullptr) std::memcpy(inside + i + 8 * q, &kSpread8.Table[m], 8);
        }
        bits[i / 64] = word;
    }
    if (i < n) ClassifyRowPortable(v + i, n - i, inside == nullptr ? nullptr : inside + i, bits + i / 64);
}

SORVEL2_TARGET_AVX2 inline __m256i Load32(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

SORVEL2_TARGET_AVX2 std::int32_t ActiveCubesAvx2(const std::uint8_t* Row, std::int64_t sx, std::int64_t sxy,
                                                 std::int32_t Count, std::uint16_t* Where, std::uint8_t* Cases) {
    if (Count < 32) return ActiveCubesSse2(Row, sx, sxy, Count, Where, Cases);
    std::int32_t found = 0, i = 0;
    const __m256i zero = _mm256_setzero_si256(), full = _mm256_set1_epi8(-1);
    // Blocks of 32 cubes; the last block ends at the last cube and skips
    // the ones the block before it took.
    for (std::int32_t next = 0; next < Count && Count >= 32; i = next) {
        const std::int32_t start = next + 32 <= Count ? next : Count - 32;
        next = start + 32;
        const std::uint8_t* p = Row + start;
        __m256i c = Load32(p);
        c = _mm256_or_si256(c, _mm256_slli_epi16(Load32(p + 1), 1));
        c = _mm256_or_si256(c, _mm256_slli_epi16(Load32(p + 1 + sx), 2));
        c = _mm256_or_si256(c, _mm256_slli_epi16(Load32(p + sx), 3));
        c = _mm256_or_si256(c, _mm256_slli_epi16(Load32(p + sxy), 4));
        c = _mm256_or_si256(c, _mm256_slli_epi16(Load32(p + sxy + 1), 5));
        c = _mm256_or_si256(c, _mm256_slli_epi16(Load32(p + sxy + 1 + sx), 6));
        c = _mm256_or_si256(c, _mm256_slli_epi16(Load32(p + sxy + sx), 7));
        const unsigned trivial = static_cast<unsigned>(
            _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(c, zero), _mm256_cmpeq_epi8(c, full))));
        const std::uint64_t active = ~trivial & 0xFFFFFFFFu & ~0ull << (i - start);
        if (active == 0) continue;
        alignas(32) std::uint8_t block[32];
        _mm256_store_si256(reinterpret_cast<__m256i*>(block), c);
        found = TakeMask(active, start, block, Where, Cases, found);
    }
    return ActiveTail(Row, sx, sxy, i, Count, Where, Cases, found);
}

// --- Crossings ----------------------------------------------------------------
// One body (crossings_kernel.inc) for both levels: SSE2 does Crossing's
// double part two lanes at a time, AVX2 four in one __m256d.

namespace crossings_sse2 {

// Four floats, one from each address.
inline __m128 Load4(const float* const* P, std::int64_t Offset) {
    const __m128 lo = _mm_unpacklo_ps(_mm_load_ss(P[0] + Offset), _mm_load_ss(P[1] + Offset));
    const __m128 hi = _mm_unpacklo_ps(_mm_load_ss(P[2] + Offset), _mm_load_ss(P[3] + Offset));
    return _mm_movelh_ps(lo, hi);
}

using TCell = __m128d;
inline TCell MakeCell(float CellSize) { return _mm_set1_pd(static_cast<double>(CellSize)); }

// Lanes 0-1 of v in Low, 2-3 in High, widened to double.
inline void Widen(__m128 v, __m128d& Low, __m128d& High) {
    Low = _mm_cvtps_pd(v);
    High = _mm_cvtps_pd(_mm_movehl_ps(v, v));
}
inline __m128 Narrow(__m128d Low, __m128d High) { return _mm_movelh_ps(_mm_cvtpd_ps(Low), _mm_cvtpd_ps(High)); }

inline void Divide(__m128 a, __m128 b, __m128 Starts, TCell Cell, __m128& t, __m128& m) {
    __m128d a0, a1, b0, b1, t0, t1, s0, s1;
    Widen(a, a0, a1);
    Widen(b, b0, b1);
    t = Narrow(_mm_div_pd(a0, _mm_sub_pd(a0, b0)), _mm_div_pd(a1, _mm_sub_pd(a1, b1)));
    Widen(t, t0, t1);
    Widen(Starts, s0, s1);
    m = Narrow(_mm_add_pd(_mm_mul_pd(t0, Cell), s0), _mm_add_pd(_mm_mul_pd(t1, Cell), s1));
}

} // namespace crossings_sse2

#define CROSS_NS crossings_sse2
#define CROSS_TARGET
#include "grid/crossings_kernel.inc"
#undef CROSS_NS
#undef CROSS_TARGET

namespace crossings_avx2 {

// Four floats, one from each address.
SORVEL2_TARGET_AVX2 inline __m128 Load4(const float* const* P, std::int64_t Offset) {
    __m128 r = _mm_load_ss(P[0] + Offset);
    r = _mm_insert_ps(r, _mm_load_ss(P[1] + Offset), 0x10);
    r = _mm_insert_ps(r, _mm_load_ss(P[2] + Offset), 0x20);
    return _mm_insert_ps(r, _mm_load_ss(P[3] + Offset), 0x30);
}

using TCell = __m256d;
SORVEL2_TARGET_AVX2 inline TCell MakeCell(float CellSize) { return _mm256_set1_pd(static_cast<double>(CellSize)); }

SORVEL2_TARGET_AVX2 inline void Divide(__m128 a, __m128 b, __m128 Starts, TCell Cell, __m128& t, __m128& m) {
    const __m256d ad = _mm256_cvtps_pd(a);
    t = _mm256_cvtpd_ps(_mm256_div_pd(ad, _mm256_sub_pd(ad, _mm256_cvtps_pd(b))));
    m = _mm256_cvtpd_ps(_mm256_add_pd(_mm256_mul_pd(_mm256_cvtps_pd(t), Cell), _mm256_cvtps_pd(Starts)));
}

} // namespace crossings_avx2

#define CROSS_NS crossings_avx2
#define CROSS_TARGET SORVEL2_TARGET_AVX2
#include "grid/crossings_kernel.inc"
#undef CROSS_NS
#undef CROSS_TARGET

// --- AVX-512 ------------------------------------------------------------------

SORVEL2_TARGET_AVX512 void ClassifyRowAvx512(const float* v, std::int64_t n, std::uint8_t* inside,
                                             std::uint64_t* bits) {
    const __m512 zero = _mm512_setzero_ps();
    const __m512i one = _mm512_set1_epi8(1);
    std::int64_t i = 0;
    // Whole words with plain loads and stores; the last part word masked.
    for (; i + 64 <= n; i += 64) {
        const std::uint64_t word =
            static_cast<std::uint64_t>(_mm512_cmp_ps_mask(_mm512_loadu_ps(v + i), zero, _CMP_GT_OQ)) |
            static_cast<std::uint64_t>(_mm512_cmp_ps_mask(_mm512_loadu_ps(v + i + 16), zero, _CMP_GT_OQ)) << 16 |
            static_cast<std::uint64_t>(_mm512_cmp_ps_mask(_mm512_loadu_ps(v + i + 32), zero, _CMP_GT_OQ)) << 32 |
            static_cast<std::uint64_t>(_mm512_cmp_ps_mask(_mm512_loadu_ps(v + i + 48), zero, _CMP_GT_OQ)) << 48;
        bits[i / 64] = word;
        if (inside != nullptr) _mm512_storeu_si512(inside + i, _mm512_maskz_mov_epi8(word, one));
    }
    if (i < n) {
        const std::int64_t left = n - i;
        std::uint64_t word = 0;
        for (int q = 0; q < 4 && 16 * q < left; ++q) {
            const std::int64_t lanes = left - 16 * q;
            const __mmask16 load = lanes >= 16 ? static_cast<__mmask16>(0xFFFF)
                                               : static_cast<__mmask16>((1u << lanes) - 1);
            const __m512 x = _mm512_maskz_loadu_ps(load, v + i + 16 * q);
            word |= static_cast<std::uint64_t>(_mm512_mask_cmp_ps_mask(load, x, zero, _CMP_GT_OQ)) << (16 * q);
        }
        bits[i / 64] = word;
        if (inside != nullptr) _mm512_mask_storeu_epi8(inside + i, (1ull << left) - 1, _mm512_maskz_mov_epi8(word, one));
    }
}

SORVEL2_TARGET_AVX512 inline __m512i Load64(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

SORVEL2_TARGET_AVX512 std::int32_t ActiveCubesAvx512(const std::uint8_t* Row, std::int64_t sx, std::int64_t sxy,
                                                     std::int32_t Count, std::uint16_t* Where,
                                                     std::uint8_t* Cases) {
    if (Count < 64) return ActiveCubesAvx2(Row, sx, sxy, Count, Where, Cases);
    std::int32_t found = 0, i = 0;
    const __m512i zero = _mm512_setzero_si512(), full = _mm512_set1_epi8(-1);
    // Blocks of 64 cubes; the last block ends at the last cube and skips
    // the ones the block before it took.
    for (std::int32_t next = 0; next < Count && Count >= 64; i = next) {
        const std::int32_t start = next + 64 <= Count ? next : Count - 64;
        next = start + 64;
        const std::uint8_t* p = Row + start;
        __m512i c = Load64(p);
        c = _mm512_or_si512(c, _mm512_slli_epi16(Load64(p + 1), 1));
        c = _mm512_or_si512(c, _mm512_slli_epi16(Load64(p + 1 + sx), 2));
        c = _mm512_or_si512(c, _mm512_slli_epi16(Load64(p + sx), 3));
        c = _mm512_or_si512(c, _mm512_slli_epi16(Load64(p + sxy), 4));
        c = _mm512_or_si512(c, _mm512_slli_epi16(Load64(p + sxy + 1), 5));
        c = _mm512_or_si512(c, _mm512_slli_epi16(Load64(p + sxy + 1 + sx), 6));
        c = _mm512_or_si512(c, _mm512_slli_epi16(Load64(p + sxy + sx), 7));
        const std::uint64_t active =
            _mm512_cmpneq_epi8_mask(c, zero) & _mm512_cmpneq_epi8_mask(c, full) & ~0ull << (i - start);
        if (active == 0) continue;
        alignas(64) std::uint8_t block[64];
        _mm512_store_si512(block, c);
        found = TakeMask(active, start, block, Where, Cases, found);
    }
    return ActiveTail(Row, sx, sxy, i, Count, Where, Cases, found);
}

#endif

// The table of each level, by TSimdLevel.
#if SORVEL2_X86_SIMD
const TSurfaceKernels kKernels[kSimdLevelCount] = {
    {ClassifyRowPortable, ActiveCubesPortable, CrossingsPortable},
    {ClassifyRowSse2, ActiveCubesSse2, crossings_sse2::Crossings},
    {ClassifyRowAvx2, ActiveCubesAvx2, crossings_avx2::Crossings},
    {ClassifyRowAvx512, ActiveCubesAvx512, crossings_avx2::Crossings},
};
#elif SORVEL2_SIMD4
const TSurfaceKernels kKernels[kSimdLevelCount] = {
    {ClassifyRowSse2, ActiveCubesSse2, CrossingsPortable},
    {ClassifyRowSse2, ActiveCubesSse2, CrossingsPortable},
    {ClassifyRowSse2, ActiveCubesSse2, CrossingsPortable},
    {ClassifyRowSse2, ActiveCubesSse2, CrossingsPortable},
};
#else
const TSurfaceKernels kKernels[kSimdLevelCount] = {
    {ClassifyRowPortable, ActiveCubesPortable, CrossingsPortable},
    {ClassifyRowPortable, ActiveCubesPortable, CrossingsPortable},
    {ClassifyRowPortable, ActiveCubesPortable, CrossingsPortable},
    {ClassifyRowPortable, ActiveCubesPortable, CrossingsPortable},
};
#endif

#if SORVEL2_X86_SIMD

// A frame's crossings in small: the crossed edges of each axis among a few
// rows of samples around tilted planes, listed in the values' order as a
// frame lists them, in batches of at most a frame's 256, with the y- and
// z-edges' elements spread over an edge array as the lattice-wide arrays
// spread a row's edges (the x-edges' lie side by side there too).
struct TCrossProbe {
    static constexpr int kX = 32, kY = 8, kZ = 5, kRoom = 4096, kMost = 256;
    float Values[kX * kY * kZ];
    std::int32_t Samples[3][kMost], Elements[3][kMost];
    float Starts[3][kMost];
    std::int32_t Count[3] = {0, 0, 0};
    TEdgeVertex Edges[kRoom];

    TCrossProbe() : Values(), Samples(), Elements(), Starts(), Edges() {
        // Planes i * 7 + j * 5 + k * 3 = 11 m + 5.3, several in a row of
        // samples, so that a few rows hold a frame's batch.
        for (int k = 0; k < kZ; ++k)
            for (int j = 0; j < kY; ++j)
                for (int i = 0; i < kX; ++i)
                    Values[i + kX * (j + kY * k)] = static_cast<float>((7 * i + 5 * j + 3 * k) % 11) - 5.3f;
        for (int axis = 0; axis < 3; ++axis) {
            const int step = axis == 0 ? 1 : axis == 1 ? kX : kX * kY;
            // Both ends and their forward neighbours stay inside the values.
            for (int k = 0; k + 1 + (axis == 2) < kZ; ++k)
                for (int j = 0; j + 1 + (axis == 1) < kY; ++j)
                    for (int i = 0; i + 1 + (axis == 0) < kX; ++i) {
                        const int n = i + kX * (j + kY * k), q = Count[axis];
                        if (q == kMost || (Values[n] > 0.0f) == (Values[n + step] > 0.0f)) continue;
                        Samples[axis][q] = n;
                        Elements[axis][q] = axis == 0 ? q : q * 1031 % kRoom;
                        Starts[axis][q] = static_cast<float>(axis == 0 ? i : axis == 1 ? j : k) * 0.0625f - 1.0f;
                        ++Count[axis];
                    }
        }
    }

    void Run(const TSurfaceKernels& Kernels) {
        for (int axis = 0; axis < 3; ++axis)
            Kernels.Crossings({Values, kX, kX * kY, axis == 0 ? 1 : axis == 1 ? kX : kX * kY, Samples[axis],
                               Elements[axis], Starts[axis], Count[axis], 0.0625f, Edges, axis});
    }
};

#endif

} // namespace

const TSurfaceKernels& SurfaceKernels() { return kKernels[KernelLevel(kSurfaceKernels)]; }

double ProbeSurfaceKernels([[maybe_unused]] TSimdLevel Level) {
#if !SORVEL2_X86_SIMD
    return 0.0;  // one level only: nothing to choose
#else
    // Two layers of 64 x 32 samples around a tilted plane: classified, then
    // the cubes between them scanned, as the dense route does it; and the
    // crossings of a frame's batches, which the sparse route (the one the
    // program takes) spends most of this family's time in.
    constexpr int kX = 64, kY = 32;
    alignas(64) static float values[2 * kX * kY];
    alignas(64) static std::uint8_t inside[2 * kX * kY + 64];
    static TCrossProbe crossings;
    std::uint64_t bits[2 * kY * (kX / 64)];
    std::uint16_t where[kX];
    std::uint8_t cases[kX];
    for (int n = 0; n < 2 * kX * kY; ++n) values[n] = static_cast<float>((n % kX) + 3 * (n / kX % kY) - 40 + 20 * (n / (kX * kY)));
    const TSurfaceKernels& k = kKernels[Level];
    const double start = ProbeClockNow();
    std::int32_t found = 0;
    for (int round = 0; round < 2; ++round) {
        for (int row = 0; row < 2 * kY; ++row) k.ClassifyRow(values + kX * row, kX, inside + kX * row, bits + row);
        for (int row = 0; row + 1 < kY; ++row) found += k.ActiveCubes(inside + kX * row, kX, kX * kY, kX - 1, where, cases);
    }
    for (int round = 0; round < 4; ++round) crossings.Run(k);
    const double end = ProbeClockNow();
    return found < 0 ? 0.0 : end - start;
#endif
}
