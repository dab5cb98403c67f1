// The sparse route of TGrid::Polygonise: the field evaluated only where the
// triangles depend on it. What a block field promises: TBlockField in
// grid/grid.h; how the ball field keeps it: scene/field_kernel.inc
// (BoundRow) and BlockClassOf in scene/field_blocks.h (the error term).
//
// What the triangles depend on: the sign of every classified sample (the
// case indices and which edges cross), and the exact value only at the ends
// of crossed edges and at their forward neighbours (a crossing reads the
// values at both ends and the forward differences there). Call B the
// classified samples with a classified face neighbour of the other class:
// the exact set is B plus B moved one step along x, along y and along z.
// Any other sample may hold anything of the right class.
//
// The passes, the first four (FillSamples) split over the worker threads
// by block rows, the last by block layers as the dense route's passes go
// by layers (Polygonise keeps the emission close behind them):
//  0. Coarse bound: the field proves blocks of twice the size (eight
//     blocks) all outside or all inside where it can, which is most of
//     space far from the surface.
//  1. Bound: the field proves the other blocks where it can; the samples
//     of the blocks it cannot prove are evaluated, and every classified row
//     gets its inside bits (proven blocks wholesale, the rest as the field
//     found them) and its Inside flags, only where they differ from what
//     Inside holds already: a proven block's when its class changed, an
//     unproven block's where its bits did (the last call's bits are what
//     Inside holds).
//  2. Touch: the blocks that may hold samples of B, those not proven or
//     next to a block of another class. Every other block, and every row
//     of only such blocks, has nothing to do with the surface.
//  3. Exact set: in the rows of touching block rows, B from the inside
//     bits (each row's once, kept for the block rows after it, which read
//     it as a neighbour's), and the samples of the exact set that pass 1
//     left out evaluated, the rows of two layers in one call (a few samples
//     a row).
//  4. Crossings: the crossed edges of the rows of touching blocks, as the
//     dense route computes them (grid/crossings.h).
// The emission then finds the cubes with corners of both classes from the
// inside bits, in the rows of touching block rows only
// (TGrid::EmitLayerSparse). FillSamples runs the passes one after the
// other over the whole grid; Polygonise streams the block layers through
// them (TGrid::PolygoniseStreamed), which keeps what a pass reads in the
// caches, and puts the edge points into the edge store (TGrid::EdgeStore_)
// rather than the lattice-wide edge arrays. The result is what the dense
// route gives, bit for bit: same samples where computed, same flags, same
// edge points (in the store or the arrays), same triangles in the same
// order.
#include "grid/grid.h"

#include "grid/crossings.h"
#include "grid/parallel.h"
#include "grid/simd.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstring>
#include <limits>
#include <utility>

namespace {

// Bit rows of up to kMaxSparseSize + 1 samples.
constexpr std::int64_t kMaxWords = (TGrid::kMaxSparseSize + 1 + 63) / 64;

// Word W of the mask of bits First .. Last.
std::uint64_t RangeWord(std::int64_t W, std::int64_t First, std::int64_t Last) {
    const std::int64_t lo = std::max<std::int64_t>(First - 64 * W, 0), hi = std::min<std::int64_t>(Last - 64 * W, 63);
    if (lo > hi) return 0;
    return (hi - lo == 63 ? ~0ull : ((1ull << (hi - lo + 1)) - 1)) << lo;
}

bool Any(const std::uint64_t* Mask, std::int64_t Words) {
    for (std::int64_t w = 0; w < Words; ++w)
        if (Mask[w] != 0) return true;
    return false;
}

// Most words of the masks counted are 0.
std::int64_t Count(const std::uint64_t* Mask, std::int64_t Words) {
    std::int64_t n = 0;
    for (std::int64_t w = 0; w < Words; ++w)
        if (Mask[w] != 0) n += BitCount(Mask[w]);
    return n;
}

// The first N (1 to 8) bytes at P as the low bytes of a word, the rest
// clear; and the low N bytes of V stored at P. A whole word (or, for the
// coarse classes, half of one) is one load or store, which is nearly every
// call. Those two load into a variable of their own size: a part of a
// word copied into a word on the stack and read back whole cannot be
// forwarded from the store, and waits for it to reach the cache (a fifth
// of pass 1's time when the coarse classes went that way). The other sizes
// (a row's last few bytes) still go through memory: they are rare, and a
// loop of bytes made the page's module larger.
inline std::uint64_t LoadBytes(const std::uint8_t* P, std::int64_t N) {
    if (N == 8) {
        std::uint64_t v;
        std::memcpy(&v, P, 8);
        return v;
    }
    if (N == 4) {
        std::uint32_t v;
        std::memcpy(&v, P, 4);
        return v;
    }
    std::uint64_t v = 0;
    std::memcpy(&v, P, static_cast<std::size_t>(N));
    return v;
}
inline void StoreBytes(std::uint8_t* P, std::uint64_t V, std::int64_t N) {
    if (N == 8) {
        std::memcpy(P, &V, 8);
    } else {
        std::memcpy(P, &V, static_cast<std::size_t>(N));
    }
}

// A block row's flag, stored only when it changes. The flags of a block
// layer's rows share cache lines, and the threads' rows lie side by side
// in them: a store, even of the value already there, takes the line from
// the other core, which then waits for it back at its next row. Most
// flags hold from frame to frame, so most rows store nothing.
inline void StoreChanged(std::uint8_t& Flag, std::uint8_t Value) {
    if (Flag != Value) Flag = Value;
}

// The eight flags of a byte as bytes 0 or 1, lowest first: eight Inside
// flags of a row in one store.
constexpr std::array<std::uint64_t, 256> kSpread8 = [] {
    std::array<std::uint64_t, 256> t{};
    for (unsigned m = 0; m < 256; ++m)
        for (unsigned b = 0; b < 8; ++b) t[m] |= static_cast<std::uint64_t>(m >> b & 1) << (8 * b);
    return t;
}();

// Whether the emission from the edge store may count bits with popcnt.
bool PopcntWay() {
#if SORVEL2_X86_SIMD
    return KernelLevel(kSurfaceKernels) >= kSimdAvx2 && __builtin_cpu_supports("popcnt");
#else
    return false;
#endif
}

} // namespace

// The passes of one sparse call. A friend of TGrid.
class TSparsePass {
public:
    // Tally: where this pass counts the samples it evaluates, when only one
    // thread uses it (a streamed task); else the grid's shared count.
    explicit TSparsePass(TGrid& Grid, std::int64_t* Tally = nullptr)
        : G(Grid), F(*Grid.BlockField_), Tally_(Tally), Sx(Grid.SizeX), Sy(Grid.SizeY), Sz(Grid.SizeZ), Nbx(Grid.BlocksX()),
          Nby(Grid.BlocksY()), Nbz(Grid.BlocksZ()), Words((Sx + 63) / 64), SampleWords((Sx + 64) / 64),
          LastWord(RangeWord(Words - 1, 0, Sx - 1)),
          LastSampleWord(RangeWord(SampleWords - 1, 0, Sx)) {}

    // Fn(u) for every unit u of 0 .. Count-1, split over the threads as far
    // as Work (the samples the units stand for) makes it worth it.
    template <class Body>
    void Split(std::int64_t Count, std::int64_t Work, Body&& Fn) {
        const int threads = PartsFor(Work);
        const int parts = threads == 1 ? 1 : 4 * threads;
        auto body = [&](int part) {
            std::int64_t first, last;
            PartRange(Count, part, parts, first, last);
            for (std::int64_t u = first; u < last; ++u) Fn(u);
        };
        RunParts(parts, body);
    }

    // Pass 0 on the coarse rows of coarse layer 0, those the streamed
    // call's first two steps read (the rest are its tasks').
    void CoarseFirstLayer() {
        for (std::int64_t cy = 0; 2 * cy < Nby; ++cy) BoundCoarse(cy, 0);
    }

    // Pass 0.
    void Coarse() {
        const std::int64_t coarseY = Sy / (2 * kBlockSize) + 1, coarseRows = coarseY * (Sz / (2 * kBlockSize) + 1);
        Split(coarseRows, Nby * Nbz * Nbx, [&](std::int64_t r) { BoundCoarse(r % coarseY, r / coarseY); });
    }

    // Passes 0 to 3, each over the whole grid.
    void Fill() {
        const std::int64_t rows = Nby * Nbz, samples = static_cast<std::int64_t>(G.Values.Count());
        Coarse();
        Split(rows, samples, [&](std::int64_t r) { Bound(r % Nby, r / Nby); });
        Split(rows, rows * Nbx, [&](std::int64_t r) { Touch(r % Nby, r / Nby); });
        Split(rows, samples / 8, [&](std::int64_t r) { Boundaries(r % Nby, r / Nby); });
        Split(rows, samples / 8, [&](std::int64_t r) { Exact(r % Nby, r / Nby); });
    }

    // Block row by of step Step of the streamed call (TGrid::RunStreamRows).
    // Part: the thread's own part of the step (its chunks of the runs).
    void StreamRow(const TSurfaceJob& Job, std::int64_t by, std::int64_t Step, int Part) {
        // Pass 0 a step ahead of the pass 1 that reads it: an even block
        // row bounds the coarse row of itself and the row above, for the
        // two block layers of the next steps (layer 0's is done at the start).
        if (by % 2 == 0 && Step % 2 == 1 && Step + 1 < Nbz) BoundCoarse(by / 2, (Step + 1) / 2);
        if (Step < Nbz) Bound(by, Step);
        if (Step - 2 >= 0 && Step - 2 < Nbz) {
            // B of the block row reads the inside bits of its neighbours'
            // rows, the last written two steps ago (block layer Step - 1).
            Touch(by, Step - 2);
            Boundaries(by, Step - 2);
        }
        if (Step - 3 >= 0 && Step - 3 < Nbz) Exact(by, Step - 3);
        const std::int64_t crossed = Step - TGrid::kStreamCrossLag;
        if (crossed >= 0 && crossed < Nbz) {
            if (G.StoreEdges()) {
                const TEdgeStoreJob store = G.EdgeStoreJob(crossed, Part);
                CrossBlockRow(Job, by, crossed, &store);
            } else {
                CrossBlockRow(Job, by, crossed);
            }
        }
        // The row's cubes read the inside bits up to the first layer of the
        // block layer above (pass 1, done six steps ago), the touch of the
        // block rows around (pass 2, four steps ago), and the points of the
        // edges of their own block row and layer (crossed two steps ago), of
        // the block row above (two steps ago too: rows are at most a step
        // apart) and of the block layer above (a step ago, here and in the
        // row above, which has done that step before this one starts).
        const std::int64_t recorded = Step - TGrid::kStreamRecordLag;
        if (TGrid::kEmissionRuns && G.RecordRuns_ && recorded >= 0 && recorded < Nbz) G.RecordBlockRow(by, recorded, Part);
    }

    // Pass 4 on block layer bz: the crossed edges of its touching block
    // rows (an edge whose ends differ has both ends in B).
    void CrossBlockLayer(const TSurfaceJob& Job, std::int64_t bz) const {
        for (std::int64_t by = 0; by < Nby; ++by) CrossBlockRow(Job, by, bz);
    }

private:
    const std::uint8_t* Classes(std::int64_t by, std::int64_t bz) const { return G.BlockClass_.Data() + Nbx * (by + Nby * bz); }
    const std::uint64_t* ClassRow(std::int64_t j, std::int64_t k) const { return G.ClassBits_.Data() + Words * (j + Sy * k); }
    std::uint64_t* BoundaryRow(std::int64_t j, std::int64_t k) const {
        return G.BoundaryBits_.Data() + SampleWords * (j + Sy * k);
    }
    bool RowTouches(std::int64_t by, std::int64_t bz) const { return G.RowTouch_[static_cast<std::size_t>(by + Nby * bz)] != 0; }
    std::uint8_t RowClass(std::int64_t by, std::int64_t bz) const { return G.RowClass_[static_cast<std::size_t>(by + Nby * bz)]; }

    // Samples First .. Last along an axis of block b, with Size the
    // lattice's last index.
    static std::int64_t First(std::int64_t b) { return b * kBlockSize; }
    static std::int64_t Last(std::int64_t b, std::int64_t Size) { return std::min(b * kBlockSize + kBlockSize - 1, Size); }

    // The samples of the block row's unproven blocks (Mixed) and of those
    // proven inside (Inside), bits 0 .. Sx: a block's four samples are a
    // nibble of a word, sixteen blocks a word, eight classes at a time.
    void ClassMasks(const std::uint8_t* Cls, std::uint64_t* Mixed, std::uint64_t* Inside) const {
        static_assert(kBlockSize == 4, "a block's samples are a nibble of a mask word");
        static_assert(kBlockOutside == 0 && kBlockInside == 1 && kBlockMixed == 2, "a class's bits say which it is");
        // Bit 0 of each byte of Bytes as a nibble of 0 or 15, byte n's as nibble n.
        auto nibbles = [](std::uint64_t Bytes) {
            std::uint64_t x = (Bytes & 0x0101010101010101ull) * 15;
            x = (x | x >> 4) & 0x00FF00FF00FF00FFull;
            x = (x | x >> 8) & 0x0000FFFF0000FFFFull;
            return (x | x >> 16) & 0xFFFFFFFFull;
        };
        for (std::int64_t w = 0; w < SampleWords; ++w) {
            std::uint64_t mixed = 0, inside = 0;
            for (std::int64_t half = 0; half < 2; ++half) {
                const std::int64_t bx = 16 * w + 8 * half, n = std::min<std::int64_t>(Nbx - bx, 8);
                if (n <= 0) break;
                const std::uint64_t cls = LoadBytes(Cls + bx, n);
                mixed |= nibbles(cls >> 1) << (32 * half);
                inside |= nibbles(cls) << (32 * half);
            }
            Mixed[w] = mixed;
            if (Inside != nullptr) Inside[w] = inside;
        }
        Mixed[SampleWords - 1] &= LastSampleWord;
        if (Inside != nullptr) Inside[SampleWords - 1] &= LastSampleWord;
    }

    // Pass 0 on block row (by, bz) of blocks twice the size: what can be
    // proven of eight blocks at once.
    void BoundCoarse(std::int64_t by, std::int64_t bz) {
        const std::int64_t nbx = Sx / (2 * kBlockSize) + 1;
        std::uint8_t* cls = G.CoarseClass_.Data() + nbx * (by + (Sy / (2 * kBlockSize) + 1) * bz);
        std::fill(cls, cls + nbx, static_cast<std::uint8_t>(kBlockMixed));
        F.BoundRow(G, 2, static_cast<std::int32_t>(by), static_cast<std::int32_t>(bz), cls);
    }

    // Pass 1 on block row (by, bz).
    void Bound(std::int64_t by, std::int64_t bz) {
        std::uint8_t* cls = G.BlockClass_.Data() + Nbx * (by + Nby * bz);
        // What the coarse blocks proved, each coarse class twice, eight
        // blocks a store; the rest bounded block by block.
        const std::int64_t cbx = Sx / (2 * kBlockSize) + 1, cby = Sy / (2 * kBlockSize) + 1;
        const std::uint8_t* coarse = G.CoarseClass_.Data() + cbx * (by / 2 + cby * (bz / 2));
        for (std::int64_t bx = 0; bx < Nbx; bx += 8) {
            const std::int64_t n = std::min<std::int64_t>(Nbx - bx, 8), from = std::min<std::int64_t>(cbx - bx / 2, 4);
            std::uint64_t c = LoadBytes(coarse + bx / 2, from);
            c = (c | c << 16) & 0x0000FFFF0000FFFFull;
            c = ((c | c << 8) & 0x00FF00FF00FF00FFull) * 0x0101;
            StoreBytes(cls + bx, c, n);
        }
        if (std::memchr(cls, kBlockMixed, static_cast<std::size_t>(Nbx)) != nullptr)
            F.BoundRow(G, 1, static_cast<std::int32_t>(by), static_cast<std::int32_t>(bz), cls);
        // The row's summary: one proven class for all its blocks, or mixed.
        std::uint64_t differ = 0;
        {
            const std::uint64_t first = cls[0] * 0x0101010101010101ull;
            std::int64_t bx = 0;
            for (; bx + 8 <= Nbx; bx += 8) {
                std::uint64_t c;
                std::memcpy(&c, cls + bx, 8);
                differ |= c ^ first;
            }
            for (; bx < Nbx; ++bx) differ |= cls[bx] ^ cls[0];
        }
        const std::uint8_t uniform = differ == 0 ? cls[0] : static_cast<std::uint8_t>(kBlockMixed);
        const std::size_t at = static_cast<std::size_t>(by + Nby * bz);
        StoreChanged(G.RowClass_[at], uniform);
        // Of one proven class, as last call: its rows' inside bits and its
        // Inside flags hold that already (StoreInside sets RowInside_ only
        // once both are written).
        if (uniform != kBlockMixed && G.InsideKnown_ && G.RowInside_[at] == uniform) return;
        std::uint64_t mixed[kMaxWords], in[kMaxWords];
        if (uniform == kBlockMixed) {
            ClassMasks(cls, mixed, in);
        } else {
            std::fill(mixed, mixed + SampleWords, 0ull);
            std::fill(in, in + Words, uniform == kBlockInside ? ~0ull : 0ull);
        }
        in[Words - 1] &= LastWord;
        const std::int64_t mixedCount = uniform == kBlockMixed ? Count(mixed, SampleWords) : 0;
        const bool anyMixed = mixedCount != 0;
        const std::int64_t j0 = First(by), rows = Last(by, Sy) - j0 + 1;
        std::int64_t evaluated = 0;
        for (std::int64_t k = First(bz); k <= Last(bz, Sz); ++k) {
            // The rows' inside bits: proven blocks as proven, the rest as the
            // field found them (the same samples in every row of the layer).
            std::uint64_t measured[kBlockSize * kMaxWords];  // a row's mask every SampleWords words
            if (anyMixed) {
                std::fill(measured, measured + rows * SampleWords, 0ull);
                F.EvaluateSamples(G, static_cast<std::int32_t>(j0), static_cast<std::int32_t>(rows),
                                  static_cast<std::int32_t>(k), mixed, measured);
                evaluated += rows * mixedCount;
            }
            if (k >= Sz) continue;
            for (std::int64_t r = 0; r < rows && j0 + r < Sy; ++r) {
                std::uint64_t* bits = G.ClassBits_.Data() + Words * (j0 + r + Sy * k);
                if (!anyMixed) {
                    std::copy(in, in + Words, bits);
                    continue;
                }
                // The unproven blocks' Inside flags from the bits, eight a
                // store, where they differ from what the last call left: the
                // row's bits then, which Inside holds (see InsideKnown_). A
                // proven block sharing the eight gets its own class, which
                // Inside must hold anyway (StoreInside sees to the rest).
                std::uint8_t* flags = G.Inside.Data() + Sx * (j0 + r) + Sx * Sy * k;
                for (std::int64_t w = 0; w < Words; ++w) {
                    const std::uint64_t now = (in[w] | measured[r * SampleWords + w]) & (w == Words - 1 ? LastWord : ~0ull);
                    std::uint64_t changed = (G.InsideKnown_ ? bits[w] ^ now : ~0ull) & mixed[w];
                    if (w == Words - 1) changed &= LastWord;
                    bits[w] = now;
                    while (changed != 0) {
                        const unsigned shift = static_cast<unsigned>(__builtin_ctzll(changed)) & ~7u;
                        const std::int64_t first = 64 * w + shift;
                        StoreBytes(flags + first, kSpread8[now >> shift & 255], std::min<std::int64_t>(Sx - first, 8));
                        changed &= ~(0xFFull << shift);
                    }
                }
            }
        }
        Counted(evaluated);
        StoreInside(by, bz, cls, uniform);
    }

    // Inside for the classified samples of the proven blocks of block row
    // (by, bz) (Bound wrote the unproven ones'): written only where Inside
    // does not hold them already, so an unchanged stretch of space costs
    // nothing.
    void StoreInside(std::int64_t by, std::int64_t bz, const std::uint8_t* Cls, std::uint8_t Uniform) {
        const std::int64_t j0 = First(by), j1 = std::min(Last(by, Sy), Sy - 1);
        const std::int64_t k0 = First(bz), k1 = std::min(Last(bz, Sz), Sz - 1);
        if (j0 > j1 || k0 > k1) return;
        // A whole block row of one proven class whose flags Inside holds
        // already: nothing to look at block by block.
        std::uint8_t& rowKnown = G.RowInside_[static_cast<std::size_t>(by + Nby * bz)];
        if (Uniform != kBlockMixed && G.InsideKnown_ && rowKnown == Uniform) return;
        rowKnown = Uniform;
        std::uint8_t* known = G.BlockInside_.Data() + Nbx * (by + Nby * bz);
        std::uint8_t* inside = G.Inside.Data();
        for (std::int64_t bx0 = 0; bx0 < Nbx; bx0 += 8) {
            // Eight blocks whose classes are what Inside holds: nothing to do.
            const std::int64_t group = std::min<std::int64_t>(Nbx - bx0, 8);
            if (G.InsideKnown_ && group == 8) {
                std::uint64_t now, held;
                std::memcpy(&now, Cls + bx0, 8);
                std::memcpy(&held, known + bx0, 8);
                if (now == held) continue;
            }
            for (std::int64_t bx = bx0; bx < bx0 + group; ++bx) {
                const std::uint8_t c = Cls[bx];
                // (The last block may hold no classified sample.)
                if (c != kBlockMixed && (known[bx] != c || !G.InsideKnown_) && First(bx) < Sx) {
                    const std::int64_t a = First(bx), n = std::min(Last(bx, Sx), Sx - 1) - a + 1;
                    for (std::int64_t k = k0; k <= k1; ++k)
                        for (std::int64_t j = j0; j <= j1; ++j)
                            std::memset(inside + a + Sx * j + Sx * Sy * k, c, static_cast<std::size_t>(n));
                }
                known[bx] = c;
            }
        }
    }

    // Pass 2 on block row (by, bz): a block touches the surface when it is
    // not proven or a face neighbour has another class (an unproven one
    // included). Only such blocks can hold a sample of B, so the later
    // passes skip a block row with none.
    void Touch(std::int64_t by, std::int64_t bz) {
        StoreChanged(G.RowTouch_[static_cast<std::size_t>(by + Nby * bz)], Touches(by, bz) ? 1 : 0);
    }

    // Whether block row (by, bz) touches the surface, as above.
    bool Touches(std::int64_t by, std::int64_t bz) const {
        // A block row of one proven class between block rows of the same one
        // touches nothing.
        const std::uint8_t uniform = RowClass(by, bz);
        if (uniform != kBlockMixed && (by == 0 || RowClass(by - 1, bz) == uniform) &&
            (by + 1 == Nby || RowClass(by + 1, bz) == uniform) && (bz == 0 || RowClass(by, bz - 1) == uniform) &&
            (bz + 1 == Nbz || RowClass(by, bz + 1) == uniform))
            return false;
        const std::uint8_t* cls = Classes(by, bz);
        // A missing neighbour row reads as the row itself: no difference.
        const std::uint8_t* below = by > 0 ? Classes(by - 1, bz) : cls;
        const std::uint8_t* above = by + 1 < Nby ? Classes(by + 1, bz) : cls;
        const std::uint8_t* front = bz > 0 ? Classes(by, bz - 1) : cls;
        const std::uint8_t* back = bz + 1 < Nbz ? Classes(by, bz + 1) : cls;
        // Eight blocks at a time, a class a byte: a byte of d is not 0 where
        // the block is unproven (bit 1 of its class) or differs from a
        // neighbour's class.
        constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full, kOnes = 0x0101010101010101ull;
        for (std::int64_t bx = 0; bx < Nbx; bx += 8) {
            const std::int64_t n = std::min<std::int64_t>(Nbx - bx, 8);
            auto load = [&](const std::uint8_t* Row) { return LoadBytes(Row + bx, n); };
            std::uint64_t c = load(cls);
            // Past the row's last block: copies of it, so that the last one
            // sees no neighbour after it.
            if (n < 8) c |= (c >> (8 * (n - 1)) & 0xFF) * (kOnes << (8 * n));
            const std::uint64_t left = c << 8 | (bx > 0 ? cls[bx - 1] : c & 0xFF);
            const std::uint64_t right = c >> 8 | static_cast<std::uint64_t>(n == 8 && bx + 8 < Nbx ? cls[bx + 8] : c >> 56) << 56;
            const std::uint64_t d = (c & 2 * kOnes) | (c ^ left) | (c ^ right) | (c ^ load(below)) | (c ^ load(above)) |
                                    (c ^ load(front)) | (c ^ load(back));
            // The bytes that are not 0 as bits 0 .. 7.
            std::uint64_t bits = (((d & kLow7) + kLow7) | d) >> 7 & kOnes;
            bits = (bits * 0x0102040810204080ull) >> 56;
            if (n < 8) bits &= (1ull << n) - 1;
            if (bits != 0) return true;
        }
        return false;
    }

    // The crossed edges of the rows of block row (by, bz), row by row as the
    // values lie (a row's x-edges, its y-edges to the next row and z-edges
    // to the next layer), so the rows of values they read stay in the
    // nearest caches; each axis's edges are computed in batches.
    // Store: into the edge store (the streamed call's), else into the edge
    // arrays.
    void CrossBlockRow(const TSurfaceJob& Job, std::int64_t by, std::int64_t bz,
                       const TEdgeStoreJob* Store = nullptr) const {
        if (!RowTouches(by, bz)) return;
        const std::int64_t j0 = First(by), j1 = std::min(Last(by, Sy), Sy - 1);
        const std::int64_t k0 = First(bz), k1 = std::min(Last(bz, Sz), Sz - 1);
        if (j0 > j1 || k0 > k1) return;
        auto rows = [&](TRowCrossings& crossings) {
            for (std::int64_t k = k0; k <= k1; ++k)
                for (std::int64_t j = j0; j <= j1; ++j)
                    crossings.Row(j, k, ClassRow(j, k), j + 1 < Sy ? ClassRow(j + 1, k) : nullptr,
                                  k + 1 < Sz ? ClassRow(j, k + 1) : nullptr);
        };
        if (kEdgeStore && Store != nullptr) {
            TRowCrossings crossings(Job, *Store);
            rows(crossings);
        } else {
            TRowCrossings crossings(Job);
            rows(crossings);
        }
    }

    // B of classified row (j, k) into Out (SampleWords words): the samples
    // whose flag differs from a classified face neighbour's.
    void Boundary(std::int64_t j, std::int64_t k, std::uint64_t* Out) const {
        const std::uint64_t* c = ClassRow(j, k);
        // A missing neighbour reads as the row itself: no difference.
        const std::uint64_t* ym = j > 0 ? ClassRow(j - 1, k) : c;
        const std::uint64_t* yp = j + 1 < Sy ? ClassRow(j + 1, k) : c;
        const std::uint64_t* zm = k > 0 ? ClassRow(j, k - 1) : c;
        const std::uint64_t* zp = k + 1 < Sz ? ClassRow(j, k + 1) : c;
        for (std::int64_t w = 0; w < Words; ++w) {
            const std::uint64_t left = c[w] << 1 | (w > 0 ? c[w - 1] >> 63 : 0);           // bit i: flag i-1
            const std::uint64_t right = c[w] >> 1 | (w + 1 < Words ? c[w + 1] << 63 : 0);  // bit i: flag i+1
            // Flag 0 has no neighbour before it, flag Sx-1 none after it,
            // and none lies past Sx-1.
            const bool end = w == Words - 1;
            Out[w] = ((c[w] ^ left) & (w == 0 ? ~1ull : ~0ull) & (end ? LastWord : ~0ull)) |
                     ((c[w] ^ right) & (end ? LastWord >> 1 : ~0ull)) | (c[w] ^ ym[w]) | (c[w] ^ yp[w]) |
                     (c[w] ^ zm[w]) | (c[w] ^ zp[w]);
        }
        if (SampleWords > Words) Out[Words] = 0;
    }

    // B of the classified rows of block row (by, bz), into BoundaryBits_.
    // Rows of block rows that touch nothing have none, and are not written.
    void Boundaries(std::int64_t by, std::int64_t bz) const {
        if (!RowTouches(by, bz)) return;
        for (std::int64_t k = First(bz); k <= std::min(Last(bz, Sz), Sz - 1); ++k)
            for (std::int64_t j = First(by); j <= std::min(Last(by, Sy), Sy - 1); ++j) Boundary(j, k, BoundaryRow(j, k));
    }

    // Pass 3 on block row (by, bz): the exact set of its rows, B of the row
    // plus B of the row shifted one step along x, plus B of the rows one
    // step back along y and z; what pass 1 did not evaluate is evaluated.
    void Exact(std::int64_t by, std::int64_t bz) {
        // B of row (j, k) as Boundaries left it, the row before j0 in block
        // row by - 1 and the layer before k0 in bz - 1; none outside the
        // classified lattice or in a block row that touches nothing.
        const bool here = RowTouches(by, bz), before_y = by > 0 && RowTouches(by - 1, bz),
                   before_z = bz > 0 && RowTouches(by, bz - 1);
        if (!here && !before_y && !before_z) return;
        const std::int64_t j0 = First(by), j1 = Last(by, Sy), k0 = First(bz), k1 = Last(bz, Sz);
        std::uint64_t mixed[kMaxWords];
        ClassMasks(Classes(by, bz), mixed, nullptr);
        static constexpr std::uint64_t kNone[kMaxWords] = {};
        // b[k - k0 + 1][j - j0 + 1]: B of row (j, k) (row j0 - 1 of layer
        // k0 - 1 is nobody's neighbour here).
        const std::uint64_t* b[kBlockSize + 1][kBlockSize + 1];
        for (std::int64_t k = k0 - 1; k <= k1; ++k)
            for (std::int64_t j = j0 - 1; j <= j1; ++j) {
                const bool touches = j < j0 ? before_y && k >= k0 : k < k0 ? before_z : here;
                b[k - k0 + 1][j - j0 + 1] = touches && j < Sy && k < Sz ? BoundaryRow(j, k) : kNone;
            }
        // The rows of two layers at a time, each with its own samples, in
        // one call: few samples a row, many rows with some.
        static_assert(kRowSetRows == 2 * kBlockSize, "a row set is two layers of a block row");
        std::uint64_t wanted[kRowSetRows * kMaxWords];
        std::int64_t evaluated = 0;
        for (std::int64_t kA = k0; kA <= k1; kA += 2) {
            std::int64_t found = 0;
            for (std::int32_t r = 0; r < kRowSetRows; ++r) {
                std::uint64_t* row = wanted + r * SampleWords;
                const std::int64_t j = j0 + r % kBlockSize, k = kA + r / kBlockSize;
                if (j > j1 || k > k1) {
                    std::fill(row, row + SampleWords, 0ull);
                    continue;
                }
                const std::uint64_t* at = b[k - k0 + 1][j - j0 + 1];
                const std::uint64_t* back_y = b[k - k0 + 1][j - j0];
                const std::uint64_t* back_z = b[k - k0][j - j0 + 1];
                if (at == kNone && back_y == kNone && back_z == kNone) {
                    std::fill(row, row + SampleWords, 0ull);
                    continue;
                }
                for (std::int64_t w = 0; w < SampleWords; ++w) {
                    const std::uint64_t shifted = at[w] << 1 | (w > 0 ? at[w - 1] >> 63 : 0);
                    row[w] = (at[w] | shifted | back_y[w] | back_z[w]) & ~mixed[w];
                }
                found += Count(row, SampleWords);
            }
            if (found == 0) continue;
            F.EvaluateRowSet(G, static_cast<std::int32_t>(j0), static_cast<std::int32_t>(kA), wanted);
            evaluated += found;
        }
        Counted(evaluated);
    }

    void Counted(std::int64_t Samples) {
        if (Tally_ != nullptr) {
            *Tally_ += Samples;
        } else if (Samples != 0) {
            G.Evaluated_.fetch_add(Samples, std::memory_order_relaxed);
        }
    }

    TGrid& G;
    TBlockField& F;
    std::int64_t* const Tally_;
    const std::int64_t Sx, Sy, Sz, Nbx, Nby, Nbz;
    const std::int64_t Words;       // words of a row of inside bits (samples 0 .. Sx-1)
    const std::int64_t SampleWords; // words of a row of all samples (0 .. Sx)
    const std::uint64_t LastWord;   // the classified samples' bits in the last word
    const std::uint64_t LastSampleWord;  // all samples' bits in the last word
};

void TBlockField::EvaluateRowSet(TGrid& Grid, std::int32_t J, std::int32_t K, const std::uint64_t* Masks) {
    const std::int64_t words = (static_cast<std::int64_t>(Grid.SizeX) + 64) / 64;
    for (std::int32_t r = 0; r < kRowSetRows; ++r)
        if (Any(Masks + r * words, words))
            EvaluateSamples(Grid, J + r % kBlockSize, 1, K + r / kBlockSize, Masks + r * words, nullptr);
}

void TGrid::SizeEmissionRuns(std::int64_t SlotRefs, std::int64_t ChunkRefs) {
    if (!kEmissionRuns || BlockField_ == nullptr || ClassBits_.Count() == 0) return;
    // A run's offsets are 32-bit.
    RunSlotRefs_ = std::clamp<std::int64_t>(SlotRefs, 0, std::numeric_limits<std::int32_t>::max() / kRunSlots);
    RunChunkRefs_ = std::max<std::int64_t>(ChunkRefs, 1);
    RunRefs_.Create(kRunSlots * RunSlotRefs_);
    Runs_.Create(kRunSlots * static_cast<std::int64_t>(BlocksY()));
}

void TGrid::SizeEdgeStore(std::int64_t SlotPoints, std::int64_t ChunkPoints) {
    if (!kEdgeStore || BlockField_ == nullptr || ClassBits_.Count() == 0) return;
    // A point's place in the store is 32-bit, and kNoStorePoint is none.
    EdgeSlotPoints_ = std::clamp<std::int64_t>(SlotPoints, 0, std::numeric_limits<std::int32_t>::max() / kRunSlots);
    // A word's edges of one axis always fit one chunk.
    EdgeChunkPoints_ = std::max<std::int64_t>(ChunkPoints, 64);
    EdgeStore_.Create(kRunSlots * EdgeSlotPoints_);
    EdgeMap_.Create(EdgeSlotPoints_ == 0 ? 0 : TEdgeStoreJob::kEdgeMapLayers * SizeY * 3 * ((SizeX + 63) / 64));
    // As with Values: every page touched now rather than first met in a frame.
    std::fill(EdgeStore_.begin(), EdgeStore_.end(), TEdgeVertex{});
    std::fill(EdgeMap_.begin(), EdgeMap_.end(), kNoStorePoint);
}

TEdgeStoreJob TGrid::EdgeStoreJob(std::int64_t BZ, int Part) {
    const std::int64_t slot = BZ % kRunSlots;
    const float* fixed = FixedCoord_.Data();
    TEdgeStoreJob job{};
    job.Points = EdgeStore_.Data();
    job.Map = EdgeMap_.Data();
    job.Words = (SizeX + 63) / 64;
    job.SizeY = SizeY;
    job.FixedX = fixed;
    job.FixedY = fixed + SizeX;
    job.FixedZ = fixed + SizeX + SizeY;
    job.At = &PartState_[Part].EdgeAt[slot];
    job.End = &PartState_[Part].EdgeEnd[slot];
    job.Taken = &EdgeTaken_[slot];
    job.SlotFirst = EdgeSlotPoints_ * slot;
    job.SlotPoints = EdgeSlotPoints_;
    job.ChunkPoints = EdgeChunkPoints_;
    job.NotStored = &EdgesNotStored_;
    return job;
}

// A point's ref in a run (TGrid::VertexRef): where it lies tells which
// array holds it.
std::uint32_t TGrid::VertexRef(const TEdgeVertex& Point) const {
    const auto at = reinterpret_cast<std::uintptr_t>(&Point);
    auto place = [&](const TEdgeVertex* First, std::int64_t Count) -> std::int64_t {
        const auto first = reinterpret_cast<std::uintptr_t>(First);
        if (at < first || at >= first + static_cast<std::uintptr_t>(Count) * sizeof(TEdgeVertex)) return -1;
        return static_cast<std::int64_t>((at - first) / sizeof(TEdgeVertex));
    };
    std::int64_t n = place(EdgeStore_.Data(), EdgeStore_.Count());
    std::uint32_t kind = kStoreRef;
    for (int axis = 0; axis < 3 && n < 0; ++axis) {
        const TArray<TEdgeVertex>& edges = axis == 0 ? EdgesX : axis == 1 ? EdgesY : EdgesZ;
        n = place(edges.Data(), edges.Count());
        kind = static_cast<std::uint32_t>(axis);
    }
    assert(n >= 0 && "every point lies in the store or an edge array");
    return MakeVertexRef(kind, n);
}

// The runs of block row (BY, BZ): the points of its cube rows' cubes with
// corners of both classes, as the emission would hand them to the sink,
// written on into this thread's chunk of the slot of block layer BZ; when
// the chunk runs out, the row so far moves to a new chunk, at least twice
// its size, so that a row always lies in one piece. A row the slot cannot
// hold, or with a point past what a ref holds, is left to the caller
// (Fits 0) and its refs given back.
template <int Way>
[[gnu::always_inline]] inline void TGrid::RecordBlockRowWay(std::int64_t BY, std::int64_t BZ, int Part) {
    const std::int64_t slot = BZ % kRunSlots;
    TEmissionRun& run = Runs_[static_cast<std::size_t>(BY + BlocksY() * slot)];
    TRunChunk& chunk = PartState_[Part].Run[slot];
    std::uint32_t* refs = RunRefs_.Data() + RunSlotRefs_ * slot;
    std::int64_t start = chunk.At, n = start, end = chunk.End, walked = 0;
    bool fits = true;
    // The most points a cube has: five triangles.
    constexpr std::int64_t kCubeRefs = 15;
    // A chunk with room for the row so far and a cube more, or false.
    auto moveOn = [&] {
        const std::int64_t row = n - start, size = std::max(RunChunkRefs_, 2 * row + kCubeRefs);
        const std::int64_t at = RunTaken_[slot].fetch_add(size, std::memory_order_relaxed);
        if (at + size > RunSlotRefs_) return false;
        std::copy(refs + start, refs + n, refs + at);
        start = chunk.At = at;
        n = at + row;
        end = chunk.End = at + size;
        return true;
    };
    auto record = [&](std::uint32_t Ref) __attribute__((always_inline)) {
        fits = fits && Ref != kNoVertexRef;
        refs[n++] = Ref;
    };
    TStoredWord word;
    std::uint32_t ends[kBlockSize] = {};
    for (std::int64_t q = 0; q < kBlockSize; ++q) {
        const std::int64_t k = BZ * kBlockSize + q;
        if (k + 1 < SizeZ && fits)
            walked += ScanCubesSparse<false>(k, BY * kBlockSize, BY * kBlockSize + kBlockSize - 1,
                                             [&](std::int64_t i, std::int64_t j, unsigned Case)
                                                 __attribute__((always_inline)) {
                                                 if (!fits || (n + kCubeRefs > end && !moveOn())) {
                                                     fits = false;
                                                     return;
                                                 }
                                                 if constexpr (Way == kEmitArrays) {
                                                     EmitCube(i, j, k, Case, [&](const TEdgeVertex& Point) {
                                                         record(VertexRef(Point));
                                                     });
                                                 } else {
                                                     EmitCubeStored<Way == kEmitStoredPopcnt, true>(i, j, k, Case,
                                                                                                    word, record);
                                                 }
                                             });
        ends[q] = static_cast<std::uint32_t>(n - start);
    }
    if (!fits) {
        run.Fits = 0;
        return;
    }
    chunk.At = n;
    run.Start = static_cast<std::uint32_t>(start);
    for (std::int64_t q = 0; q < kBlockSize; ++q) run.End[q] = ends[q];
    run.Walked = static_cast<std::uint32_t>(walked);
    run.Fits = 1;
}

[[gnu::noinline]] SORVEL2_TARGET_POPCNT void TGrid::RecordBlockRowPopcnt(std::int64_t BY, std::int64_t BZ, int Part) {
    RecordBlockRowWay<kEmitStoredPopcnt>(BY, BZ, Part);
}

void TGrid::RecordBlockRow(std::int64_t BY, std::int64_t BZ, int Part) {
    if constexpr (!kEmissionRuns) return;
    if (!StoreEdges()) {
        RecordBlockRowWay<kEmitArrays>(BY, BZ, Part);
    } else if (StoreWay_ == kEmitStored) {
        RecordBlockRowWay<kEmitStored>(BY, BZ, Part);
    } else {
        RecordBlockRowPopcnt(BY, BZ, Part);
    }
}

void TGrid::UseBlockField(std::unique_ptr<TBlockField> Field) {
    BlockField_ = std::move(Field);
    InsideKnown_ = false;
    DenseFrames_ = 0;
    const bool fits = SizeX >= 1 && SizeY >= 1 && SizeZ >= 1 && SizeX <= kMaxSparseSize && SizeY <= kMaxSparseSize &&
                      SizeZ <= kMaxSparseSize;
    if (BlockField_ == nullptr || !fits) {
        for (auto* a : {&CoarseClass_, &BlockClass_, &BlockInside_, &RowTouch_, &RowClass_, &RowInside_}) a->Release();
        ClassBits_.Release();
        BoundaryBits_.Release();
        RunRefs_.Release();
        Runs_.Release();
        RunSlotRefs_ = 0;
        EdgeStore_.Release();
        EdgeMap_.Release();
        EdgeSlotPoints_ = 0;
        return;
    }
    // The sparse route writes a few samples here and there, a different few
    // every frame: every page of Values is touched now, at set-up, so that
    // none is first met (and faulted in) during a frame.
    std::fill(Values.begin(), Values.end(), 0.0f);
    const std::int64_t blocks = static_cast<std::int64_t>(BlocksX()) * BlocksY() * BlocksZ();
    const std::int64_t rows = static_cast<std::int64_t>(BlocksY()) * BlocksZ();
    const std::int64_t coarse = (static_cast<std::int64_t>(SizeX) / (2 * kBlockSize) + 1) *
                                (SizeY / (2 * kBlockSize) + 1) * (SizeZ / (2 * kBlockSize) + 1);
    CoarseClass_.Create(coarse);
    BlockClass_.Create(blocks);
    BlockInside_.Create(blocks);
    RowTouch_.Create(rows);
    RowClass_.Create(rows);
    RowInside_.Create(rows);
    ClassBits_.Create(static_cast<std::int64_t>(SizeY) * SizeZ * ((SizeX + 63) / 64));
    BoundaryBits_.Create(static_cast<std::int64_t>(SizeY) * SizeZ * ((SizeX + 64) / 64));
    // Room for the emission runs: a block layer of the shipped scenes has
    // far fewer cubes with corners of both classes than a layer has cubes
    // (one in eighteen at grid 256 with 50 balls, one in nine at 128), each
    // with about two triangles (six refs), and each thread may leave most of
    // a chunk unused.
    const std::int64_t sx = SizeX, sy = SizeY, chunk = 16 * sx + 256;
    SizeEmissionRuns(4 * sx * sy + kMaxThreads * chunk, chunk);
    SizeEdgeStore(Values.Count() >= kEdgeStoreMinSamples ? EdgeStorePoints(SizeX, SizeY) : 0, kEdgeStoreChunk);
}

bool TGrid::SparseThisCall() {
    if (BlockField_ == nullptr || Route == TFieldRoute::Dense || ClassBits_.Count() == 0) return false;
    if (Route == TFieldRoute::SparseAlways) return true;
    if (std::min({SizeX, SizeY, SizeZ}) < kSparseMinSize) return false;
    if (DenseFrames_ > 0) {
        --DenseFrames_;
        return false;
    }
    return true;
}

std::uint64_t TGrid::InsideHash() const {
    std::uint64_t h = 0xcbf29ce484222325ull;
    const std::size_t n = static_cast<std::size_t>(Inside.Count());
    std::size_t at = 0;
    for (std::uint64_t w; at + 8 <= n; at += 8) {
        std::memcpy(&w, Inside.Data() + at, 8);
        h = (h ^ w) * 0x100000001b3ull;
    }
    for (; at < n; ++at) h = (h ^ Inside.Data()[at]) * 0x100000001b3ull;
    return h;
}

bool TGrid::ClassBitsMatchInside() const {
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ, words = (sx + 63) / 64;
    for (std::int64_t k = 0; k < sz; ++k)
        for (std::int64_t j = 0; j < sy; ++j) {
            const std::uint64_t* bits = ClassBits_.Data() + words * (j + sy * k);
            const std::uint8_t* flags = Inside.Data() + sx * (j + sy * k);
            for (std::int64_t i = 0; i < sx; ++i)
                if ((bits[i / 64] >> (i % 64) & 1) != flags[i]) return false;
        }
    return true;
}

bool TGrid::StartSparse() {
    if (!SparseThisCall()) return false;
    // The sparse route writes only the flags that change: it trusts Inside
    // to hold what its last call left unless told otherwise.
    assert((!InsideKnown_ || InsideHash() == InsideLeft_) && "Inside was written without TGrid::InsideWritten()");
    if (PoisonValues) std::fill(Values.begin(), Values.end(), std::numeric_limits<float>::quiet_NaN());
    if (!BlockField_->Begin(*this)) return false;
    Stats_ = {true, 0, 0, 0, 0, 0, 0, 0};
    Evaluated_.store(0, std::memory_order_relaxed);
    for (TPartState& part : PartState_) part.Evaluated = 0;
    return true;
}

void TGrid::EndSparse() {
    BlockField_->End(*this);
    Stats_.SamplesEvaluated = Evaluated_.load(std::memory_order_relaxed);
    for (const TPartState& part : PartState_) Stats_.SamplesEvaluated += part.Evaluated;
    Stats_.EdgesNotStored = StoreEdges() ? EdgesNotStored_.load(std::memory_order_relaxed) : 0;
    StoreWay_ = kEmitArrays;
    InsideKnown_ = true;
#ifndef NDEBUG
    InsideLeft_ = InsideHash();
    // The next call writes only the flags whose bits change from these.
    assert(ClassBitsMatchInside() && "Inside and the inside bits disagree after a sparse call");
#endif
    if (Route == TFieldRoute::Sparse &&
        static_cast<double>(Stats_.SamplesEvaluated) > kSparseMaxShare * static_cast<double>(Values.Count()))
        DenseFrames_ = kSparseRetryCalls;
}

void TGrid::FillDense() {
    FieldProc(*this);
    // The dense route writes every flag of Inside.
    InsideKnown_ = false;
    const std::int64_t cubes = HasSurface() ? static_cast<std::int64_t>(SizeX - 1) * (SizeY - 1) * (SizeZ - 1) : 0;
    Stats_ = {false, Values.Count(), cubes, 0, 0, 0, 0, 0};
}

void TGrid::FillSamples() {
    if (!StartSparse()) {
        FillDense();
        return;
    }
    TSparsePass(*this).Fill();
    EndSparse();
}

void TGrid::CrossBlockLayerSparse(const TSurfaceJob& Job, std::int64_t BZ) { TSparsePass(*this).CrossBlockLayer(Job, BZ); }

// The streamed call. Step s works, for every block row by, on four block
// layers at once, each far enough behind the one before that what it needs
// was finished in an earlier step: pass 1 on layer s, pass 2 on s - 2
// (it needs the classes of s - 1), pass 3 on s - 3 (the touch of s - 3 and
// s - 4, the inside bits of s - 2), crossings on s - 5 (the exact values
// of s - 4). The layers a step works on are a few apart, so different
// block rows and different stages never write the same thing.
//
// Pass 0 runs a step ahead of pass 1, in the even block rows: the
// coarse row it writes is read by pass 1 of that row and the odd row above,
// in later steps.
//
// Every pass of a block row reads, of other block rows, only what the rows
// on either side wrote in earlier steps: classes and inside bits of the
// rows by - 1 and by + 1 (passes 2 to 4, and the runs, which look one row
// of samples into row by + 1), their touch (passes 3 and the runs), B of
// row by - 1 (pass 3), and exact values one sample into row by + 1 (pass
// 4). And whatever a task writes is its own block row's and is read only
// in later steps. So a task needs no more than its row and the two beside
// it to have done the step before; and since a task waits only on tasks
// taken before it, by threads that never wait on anything later, every
// task gets done.
void TGrid::StartSparseStream() {
    Job_ = SurfaceJob();
    TSparsePass(*this).CoarseFirstLayer();
    const int parts = PartsFor(static_cast<std::int64_t>(Values.Count()));
    Helpers_ = parts - 1;
    // Alone, the caller emits as it goes: recording would only add work.
    // With a few threads too: the caller's share of the frame's work (a
    // third or more) is well over the emission's (a tenth to a third of a
    // one-thread frame, as the sink reads the points or not), so it has the
    // time to find the cubes and their points itself, and the runs would
    // only add their recording and replay (with two threads, frames took 4
    // to 6 % longer with them, a fifth longer with a sink that only
    // counts). With more threads the caller's share shrinks towards what
    // emission costs, and the runs take the finding off it: one frame's
    // task times replayed for more threads, with a sink that reads the
    // points (as the program's does), break even at four and take 0.56 to
    // 0.86 of the time from five to eight (docs/performance-routes.md).
    RecordRuns_ = Helpers_ > 0 && Helpers_ + 1 >= RecordRunsFrom && Runs_.Count() > 0;
    // Every processor with AVX2 has popcnt; the level in use decides, so
    // that the tests, which set each level, see both ways.
    StoreWay_ = !kEdgeStore || EdgeSlotPoints_ == 0 ? kEmitArrays : PopcntWay() ? kEmitStoredPopcnt : kEmitStored;
    EdgesNotStored_.store(0, std::memory_order_relaxed);
    const std::int64_t rows = BlocksY(), steps = StreamSteps();
    assert(rows <= kMaxBlockRows && steps <= kMaxBlockRows + kStreamSteps && "sizes past kMaxSparseSize go dense");
    StreamTasks_ = rows * steps;
    StreamNext_.store(0, std::memory_order_relaxed);
    // With one worker, it takes each step's rows from the bottom up and the
    // caller from the top down, until they meet: a block row then stays on
    // the same core from step to step (pass 1 on a layer, passes 2 to 4 on
    // it a few steps on) and from frame to frame (pass 1 compares with the
    // inside bits the last frame left), so what its passes read is mostly
    // in that core's caches. Taken from one queue, the rows went to either
    // thread as it came, and frames took 6 to 9 % longer. Where the two
    // meet moves with each step's work, so each step still splits evenly.
    // Every task still gets done: the worker takes a step's rows only once
    // all of the step before are taken, so a task it waits in waits only on
    // tasks taken before it; and the caller takes one only once it may
    // start, so it never waits. (With more threads, the queue.)
    TwoEnds_ = Helpers_ == 1;
    CallerStep_ = 0;
    if (TwoEnds_)
        for (std::int64_t s = 0; s < steps; ++s) StepLeft_[s].store(static_cast<std::uint64_t>(rows), std::memory_order_relaxed);
    for (std::int64_t by = 0; by < rows; ++by) RowSteps_[by].store(0, std::memory_order_relaxed);
    for (std::int64_t s = 0; s < steps; ++s) StepRows_[s].store(0, std::memory_order_relaxed);
    for (std::int64_t bz = 0; bz < kRunSlots; ++bz) ClearStreamSlot(bz);
    // (The workers see all of this: handing them the job publishes it.)
    if constexpr (kEmissionRuns) {
        if (Helpers_ > 0)
            StartParts(
                Helpers_,
                [](void* grid, int part) { static_cast<TGrid*>(grid)->RunStreamRows(part); },
                this);
    }
}

void TGrid::FinishSparseStream() {
    if (Helpers_ > 0) WaitParts();
}

bool TGrid::StreamTaskReady(std::int64_t BY, std::int64_t Step) const {
    const std::int64_t rows = BlocksY();
    auto done = [&](std::int64_t by) {
        return by < 0 || by >= rows || RowSteps_[by].load(std::memory_order_acquire) >= Step;
    };
    return done(BY) && done(BY - 1) && done(BY + 1) && StreamSlotClear(Step);
}

// Whether the slot that the tasks of Step cross into is clear.
bool TGrid::StreamSlotClear(std::int64_t Step) const {
    return Step < kStreamCrossLag || SlotsClear_.load(std::memory_order_acquire) > Step - kStreamCrossLag;
}

void TGrid::RunStreamTask(std::int64_t Task, int Part) {
    const std::int64_t rows = BlocksY(), by = Task % rows, step = Task / rows;
    for (int spins = 0; !StreamTaskReady(by, step);) Backoff(spins);
    if (StreamTaskHook != nullptr && Helpers_ > 0) StreamTaskHook(by, step);
    TSparsePass pass(*this, &PartState_[Part].Evaluated);
    pass.StreamRow(Job_, by, step, Part);
    RowSteps_[by].store(static_cast<std::int32_t>(step + 1), std::memory_order_release);
    StepRows_[step].fetch_add(1, std::memory_order_acq_rel);
}

// Alone: every block row of a step, in order.
void TGrid::RunStreamStep(std::int64_t Step) {
    TSparsePass pass(*this, &PartState_[0].Evaluated);
    for (std::int64_t by = 0; by < BlocksY(); ++by) pass.StreamRow(Job_, by, Step, 0);
}

void TGrid::RunStreamRows(int Part) {
    if (!TwoEnds_) {
        for (std::int64_t t; (t = StreamNext_.fetch_add(1, std::memory_order_relaxed)) < StreamTasks_;)
            RunStreamTask(t, Part);
        return;
    }
    // The bottom end: each step's lowest row not yet taken, until the
    // caller's rows from the top meet them.
    const std::int64_t rows = BlocksY();
    for (std::int64_t step = 0; step * rows < StreamTasks_; ++step) {
        std::atomic<std::uint64_t>& left = StepLeft_[step];
        for (std::uint64_t l = left.load(std::memory_order_relaxed); (l >> 32) < (l & 0xFFFFFFFFu);)
            if (left.compare_exchange_weak(l, l + (1ull << 32), std::memory_order_relaxed)) {
                RunStreamTask(step * rows + static_cast<std::int64_t>(l >> 32), Part);
                l = left.load(std::memory_order_relaxed);
            }
    }
}

// The caller takes the next task only when the slot it crosses into is
// clear already: otherwise it (or a task before it) would wait for the
// caller's own next emission. False: no task taken.
bool TGrid::CallerStreamTask() {
    const std::int64_t rows = BlocksY();
    if (TwoEnds_) {
        // The top end: the highest row of the step not yet taken, and only
        // once it may start (its slot clear included, as above).
        for (; CallerStep_ * rows < StreamTasks_; ++CallerStep_) {
            std::atomic<std::uint64_t>& left = StepLeft_[CallerStep_];
            for (std::uint64_t l = left.load(std::memory_order_relaxed); (l >> 32) < (l & 0xFFFFFFFFu);) {
                const std::int64_t by = static_cast<std::int64_t>(l & 0xFFFFFFFFu) - 1;
                if (!StreamTaskReady(by, CallerStep_)) return false;
                if (left.compare_exchange_weak(l, l - 1, std::memory_order_relaxed)) {
                    RunStreamTask(CallerStep_ * rows + by, Helpers_);
                    return true;
                }
            }
        }
        return false;
    }
    std::int64_t t = StreamNext_.load(std::memory_order_relaxed);
    while (t < StreamTasks_) {
        if (!StreamSlotClear(t / rows)) return false;
        if (StreamNext_.compare_exchange_weak(t, t + 1, std::memory_order_relaxed)) {
            RunStreamTask(t, Helpers_);
            return true;
        }
    }
    return false;
}

// Clears the slot of block layer BZ (kRunSlots layers on from the one the
// caller just handed on) and lets the tasks that cross BZ start.
void TGrid::ClearStreamSlot(std::int64_t BZ) {
    const std::int64_t slot = BZ % kRunSlots;
    if (RecordRuns_) {
        RunTaken_[slot].store(0, std::memory_order_relaxed);
        for (TPartState& part : PartState_) part.Run[slot] = TRunChunk{};
    }
    if (StoreEdges()) {
        EdgeTaken_[slot].store(0, std::memory_order_relaxed);
        for (TPartState& part : PartState_) part.EdgeAt[slot] = part.EdgeEnd[slot] = 0;
    }
    SlotsClear_.store(BZ + 1, std::memory_order_release);
}
