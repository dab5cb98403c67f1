// TGrid: a regular lattice of scalar samples and the marching-cubes
// polygoniser that turns it into triangles with per-vertex normals.
//
// The value lattice has (SizeX+1)(SizeY+1)(SizeZ+1) samples; sample (i,j,k)
// stands for the point ((i - SizeX/2)*CellSize + CenterX, ...), with SizeX/2
// a real half. Only samples 0..Size-1 on each axis are classified and
// polygonised: the last layer serves the forward differences that make the
// normals at the upper boundary.
//
// Field function contract (TFieldProc):
//  * When: exactly once at the start of every Polygonise that takes the
//    dense route (every call, unless a block field is attached: see
//    TBlockField), with the grid as its argument, before the grid reads any
//    sample. Never from the constructor. On the thread that calls
//    Polygonise.
//  * What it fills: every element of Values, element
//    i + (SizeX+1)*(j + (SizeY+1)*k) for k 0..SizeZ, j 0..SizeY, i 0..SizeX,
//    with a finite value; greater than 0.0 is inside. An element it leaves
//    alone keeps its previous value (0.0 before the first call).
//  * It may read the sizes, CellSize and the centre; it changes none of them,
//    never resizes an array and does not touch Inside, Cubes or the edges.
//  * It may run while the caller's GL_TRIANGLES primitive is open, so it
//    makes no OpenGL calls.
#pragma once

#include "grid/parallel.h"
#include "grid/simd.h"
#include "grid/tritable.h"
#include "grid/vector.h"
#include "runtime/runtime.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>

// The surface point on one lattice edge. On an x-edge, Position.y and .z are
// fixed at construction and Position.x moves (likewise for y- and z-edges);
// Normal is written together with the moving coordinate.
struct TEdgeVertex {
    TVector Position;
    TVector Normal;
};
static_assert(sizeof(TEdgeVertex) == 24, "six packed floats");

// The twelve edge points of one cube, by cube edge number. Slot e holds an
// index into the edge array of its axis (kEdgeAxis[e]): EdgesX for the slots
// 0, 2, 4, 6, EdgesY for 1, 3, 5, 7, EdgesZ for 8 to 11. 32-bit indices keep
// a cube at 48 bytes.
struct TCubeEdges {
    std::uint32_t Edge[12];
};

class TGrid;
using TFieldProc = void (*)(TGrid& Grid);

// Blocks: the value lattice cut into cubes of kBlockSize samples a side,
// block (bx, by, bz) holding the samples i = 4bx .. 4bx+3, j = 4by .. 4by+3,
// k = 4bz .. 4bz+3 that exist (the last block along an axis may be shorter:
// the lattice ends at index Size). A block row (by, bz) is the blocks
// bx = 0 .. BlocksX-1 of those sample rows.
inline constexpr std::int32_t kBlockSize = 4;

// What a field proved about a block: every sample of it outside (its value
// would be 0.0 or less), every sample inside (greater than 0.0), or nothing.
enum TBlockClass : std::uint8_t { kBlockOutside = 0, kBlockInside = 1, kBlockMixed = 2 };

// Rows of samples in one TBlockField::EvaluateRowSet: those of two layers
// of a block row.
inline constexpr std::int32_t kRowSetRows = 2 * kBlockSize;

// A field that can also bound itself over blocks, so that the grid needs
// its exact values only where the triangles depend on them (the sparse
// route, grid/sparse_surface.cpp): the signs of the samples, which proven
// blocks give wholesale, and the exact values only at the ends of crossed
// edges and at their forward neighbours, which the normals' forward
// differences read. The triangles come out the same, bit for bit, as when
// FieldProc fills every sample.
//
// Contract. On a Polygonise that takes the sparse route the grid does not
// call FieldProc; it calls, in this order:
//  * Begin(Grid), once, on the calling thread, before anything else: the
//    per-call set-up, which may share its own work with the worker threads
//    (RunParts, grid/parallel.h): nothing else runs then. Returning false
//    means this call's blocks cannot be bounded (say, a ball with a
//    coordinate that is not finite): the grid then calls FieldProc and
//    takes the dense route for this call.
//  * BoundRow(Grid, Scale, BY, BZ, Classes): the classes of block row
//    (BY, BZ) of blocks Scale * kBlockSize samples a side (samples 4 Scale bx
//    .. 4 Scale bx + 4 Scale - 1 along x, and so on). At Scale 2 once for
//    every such block row; at Scale 1 only for the block rows where a
//    coarse block could not be proven, and only after the Scale 2 call of
//    the coarse block row around it, (BY / 2, BZ / 2), has returned (its
//    writes are visible then): Polygonise goes on bounding coarse block
//    rows while it bounds and evaluates the fine ones of those it has. On
//    entry Classes[bx] holds what is already known for every block bx of
//    the row (kBlockMixed where nothing is: everywhere at Scale 2; a
//    proven coarse block's class at Scale 1); the field works out the
//    others. kBlockOutside only if the value FieldProc would store is 0.0
//    or less at every sample of the block, kBlockInside only if it is
//    greater than 0.0 at every one; kBlockMixed is always allowed. A wrong
//    proof gives wrong triangles: the bound must hold for the field's own
//    arithmetic, rounding included.
//  * EvaluateSamples(Grid, J, Rows, K, Mask, Inside): stores into Values,
//    for every row (j, K), j = J .. J + Rows - 1, and every sample i whose
//    bit i % 64 of Mask[i / 64] is set, exactly the value FieldProc would
//    store there, bit for bit; and, when Inside is not null, sets bit i of
//    that row's mask where that value is greater than 0.0 (Rows masks one
//    after the other, (SizeX + 64) / 64 words each, their bits clear to
//    begin with). Only after the Scale 2 call of the coarse block row
//    around the rows, (J / 8, K / 8), has returned; never twice for one
//    sample.
//  * EvaluateRowSet(Grid, J, K, Masks): the same as EvaluateSamples
//    without Inside, for the kRowSetRows rows j = J .. J + kBlockSize - 1
//    of layers K and K + 1, each with its own samples: row r is
//    (J + r % kBlockSize, K + r / kBlockSize), its mask at
//    Masks + r * ((SizeX + 64) / 64); a row outside the lattice has no bit
//    set. The exact set's rows have a few samples each, too few to fill a
//    vector alone. The default asks EvaluateSamples row by row.
//  * End(Grid), once, on the calling thread, after the last evaluation.
// BoundRow and the evaluations run on the grid's worker threads
// (grid/parallel.h), concurrently for different block rows and rows; they
// start no parallel work of their own. None of them makes OpenGL calls
// or touches anything of the grid but Values and FieldScratch.
// The passes that rely on this: grid/sparse_surface.cpp; the ball field's
// bounds: scene/field_kernel.inc (BoundRow), its error term: BlockClassOf
// in scene/field_blocks.h.
class TBlockField {
public:
    virtual ~TBlockField() = default;
    virtual bool Begin(TGrid& Grid) = 0;
    virtual void BoundRow(const TGrid& Grid, std::int32_t Scale, std::int32_t BY, std::int32_t BZ,
                          std::uint8_t* Classes) = 0;
    virtual void EvaluateSamples(TGrid& Grid, std::int32_t J, std::int32_t Rows, std::int32_t K,
                                 const std::uint64_t* Mask, std::uint64_t* Inside) = 0;
    virtual void EvaluateRowSet(TGrid& Grid, std::int32_t J, std::int32_t K, const std::uint64_t* Masks);
    virtual void End(TGrid& Grid) = 0;
};

// How Polygonise gets its samples when a block field is attached.
enum class TFieldRoute {
    Dense,         // FieldProc fills every sample
    Sparse,        // blocks bounded, exact values only where needed; dense where
                   // that cannot pay (tiny grids, frames with hardly a proven block)
    SparseAlways,  // sparse whenever the field can bound the call (tests, benchmarks)
};

// What the last Polygonise (or PrepareSurface) did.
struct TSurfaceStats {
    bool Sparse = false;                // it took the sparse route
    std::int64_t SamplesEvaluated = 0;  // samples whose exact value was computed
    std::int64_t CubesWalked = 0;       // cubes whose case index was looked at
    std::int64_t Triangles = 0;         // triangles its emission handed to the sink
    // With TGrid::TimeSerial, on the sparse route within Polygonise: the
    // nanoseconds of work only the calling thread can do, whether or not
    // workers ran meanwhile: the field's set-up and close, and the emission
    // (with workers, of the cubes they found; alone, all of it).
    // What more threads cannot shorten.
    std::int64_t SerialNs = 0;
    // With the emission runs (TGrid::RecordRunsFrom threads or more), on the
    // sparse route within Polygonise: the block rows of every block layer
    // whose cubes went into the runs, recorded by whichever thread streamed
    // them, for the calling thread to hand on; and those that did not fit
    // the runs' room (the calling thread found their cubes itself, with the
    // same result).
    std::int64_t RowsRecorded = 0;
    std::int64_t RowsNotRecorded = 0;
    // On the sparse route within Polygonise: the crossed edges whose points
    // went to the edge arrays because the edge store was full (the same
    // triangles; the store's room is TGrid::SizeEdgeStore).
    std::int64_t EdgesNotStored = 0;
};

// A monotonic clock in nanoseconds (TGrid::TimeSerial).
std::int64_t SerialClockNs();

// What the layer passes of one Polygonise share (grid/surface.cpp).
struct TSurfaceKernels;
struct TSurfaceJob {
    TGrid* Grid;
    const TSurfaceKernels* Kernels;
    const float* LineX;  // running coordinate of each edge's first endpoint
    const float* LineY;
    const float* LineZ;
};

// A streamed sparse call's edge store as the crossings of one block layer
// fill it (grid/crossings.h): the layer's slot of the store's points, taken
// by each thread a chunk at a time, and the map that says where they went.
// The crossed edges of one axis in one word of a row (64 samples) take
// points in a row, in bit order, so the map keeps only the first of them:
// the n-th crossed edge of the word is that point plus n.
inline constexpr std::uint32_t kNoStorePoint = ~0u;  // in the map: the word's points are in the edge array
// NOTE: the page leaves the store out: its grids are small, and its module
// has a size limit.
#ifdef __EMSCRIPTEN__
inline constexpr bool kEdgeStore = false;
#else
inline constexpr bool kEdgeStore = true;
#endif
struct TEdgeStoreJob {
    TEdgeVertex* Points;    // the whole store
    std::uint32_t* Map;     // the whole map
    std::int64_t Words, SizeY;  // words of a row of samples, rows of a layer
    const float* FixedX;    // the coordinate of every sample i, j and k
    const float* FixedY;
    const float* FixedZ;
    std::int64_t* At;       // this thread's chunk of the slot: points At .. End-1 free
    std::int64_t* End;
    std::atomic<std::int64_t>* Taken;  // points of the slot given out in chunks
    std::int64_t SlotFirst, SlotPoints, ChunkPoints;
    std::atomic<std::int64_t>* NotStored;  // edges that went to the edge arrays

    // The map row of sample row (j, k): element a * Words + w for the
    // a-axis edges from the samples of word w. The map keeps the rows of
    // kEdgeMapLayers layers, the block layers of the store's slots.
    static constexpr std::int64_t kEdgeMapLayers = 16;
    static std::int64_t MapRowAt(std::int64_t Words, std::int64_t SizeY, std::int64_t j, std::int64_t k) {
        return 3 * Words * (j + SizeY * (k % kEdgeMapLayers));
    }
    std::uint32_t* MapRow(std::int64_t j, std::int64_t k) const { return Map + MapRowAt(Words, SizeY, j, k); }
    // The first of N free points in a row, or -1 when the slot has no room.
    std::int64_t Take(std::int64_t N) const {
        if (*At + N > *End) {
            const std::int64_t size = std::max(ChunkPoints, N);
            const std::int64_t at = Taken->fetch_add(size, std::memory_order_relaxed);
            if (at + size > SlotPoints) {
                *At = *End;
                return -1;
            }
            *At = SlotFirst + at;
            *End = *At + size;
        }
        const std::int64_t first = *At;
        *At += N;
        return first;
    }
};

class TGrid {
public:
    // Stores the arguments, creates the six arrays zero-filled (in the order
    // Values, Inside, Cubes, EdgesX, EdgesY, EdgesZ) and then the small
    // scratch arrays of the fast paths, sets every edge point's two fixed
    // coordinates and wires every cube to its twelve edge points.
    // An array whose element count is negative, or whose size in bytes does
    // not fit a 32-bit signed integer, ends the program with run-time error
    // 201; counts are computed in 64 bits and never wrap. Out of memory: 203.
    TGrid(std::int32_t SizeX, std::int32_t SizeY, std::int32_t SizeZ, float CellSize, float CenterX, float CenterY,
          float CenterZ, TFieldProc FieldProc);
    TGrid(const TGrid&) = delete;
    TGrid& operator=(const TGrid&) = delete;

    // Gets the samples (FillSamples), classifies them, updates the crossed
    // edges, then hands every vertex of every triangle to Sink, three per
    // triangle, as Sink(const TEdgeVertex&): the consumer takes Normal, then
    // Position (for OpenGL: glNormal3fv, then glVertex3fv). The reference
    // holds until the triangle's last vertex has been handed on: the sparse
    // route's edge store reuses its room within the call. A sink that keeps
    // addresses longer (to weld by them) calls SizeEdgeStore(0, 0) first:
    // every point is then in the edge arrays, one element per lattice edge.
    //
    // The same results and calls as PrepareSurface() then EmitTriangles(),
    // but emission follows the layer passes closely: alone, the calling
    // thread emits each layer of cubes as soon as the layer above it is
    // done; with worker threads, they take chunks of layers from the bottom
    // while the calling thread emits the layers that are done and, when the
    // next one is not, computes a chunk from the top itself. The sink is
    // only ever called on the calling thread, in cube order; it must not
    // start parallel work of its own through grid/parallel.h (the field
    // function may: it runs before the workers start).
    template <class Sink>
    void Polygonise(Sink&& Emit) {
        if (!ReuseSamples) {
            const std::int64_t start = TimeSerial ? SerialClockNs() : 0;
            if (StartSparse()) {
                PolygoniseStreamed(Emit, start);
                return;
            }
            FillDense();
        }
        PolygoniseSamples(Emit);
    }

    // The first part of Polygonise: the samples its route needs. Dense: calls
    // FieldProc. Sparse (a block field attached and Route allowing it):
    // bounds the blocks, evaluates the exact set and classifies every
    // sample (Inside is then complete). LastStats() tells which it took.
    void FillSamples();

    // The rest of Polygonise, on the samples of the last FillSamples.
    template <class Sink>
    void PolygoniseSamples(Sink&& Emit) {
        Stats_.Triangles = 0;
        if (!HasSurface()) return;
        std::int64_t walked = 0;
        auto emitLayer = [&](std::int64_t k) {
            if (Stats_.Sparse) {
                walked += EmitLayerSparse(k, Emit);
            } else {
                EmitLayer(k, Emit);
            }
        };
        if (BeginLayers() == 0) {
            for (std::int64_t k = 0; k < SizeZ; ++k) {
                SurfaceLayer(k);
                if (k >= 1) emitLayer(k - 1);
            }
        } else {
            int spins = 0;
            for (std::int64_t k = 0; k + 1 < SizeZ;) {
                if (LayerReady(k) && LayerReady(k + 1)) {
                    emitLayer(k);
                    ++k;
                    spins = 0;
                } else if (HelpWithLayers()) {
                    spins = 0;
                } else {
                    Backoff(spins);
                }
            }
        }
        EndLayers();
        if (Stats_.Sparse) Stats_.CubesWalked = walked;
    }

    // For timing the parts of a frame apart: Polygonise then skips
    // FillSamples and works on the samples the last call left.
    bool ReuseSamples = false;
    // For the benchmark: the sparse route within Polygonise measures
    // TSurfaceStats::SerialNs (a few clock reads per block layer).
    bool TimeSerial = false;

    // Steps before emission: field, classification, crossings on the x-, y-
    // and z-edges. Same results as ReferencePrepareSurface (grid/reference.h),
    // split over the worker threads (grid/parallel.h) and using the vector
    // instructions in use (grid/simd.h). On the sparse route the samples
    // outside the exact set keep whatever they held (see Values).
    void PrepareSurface();

    // Emission: cubes in index order (i fastest, then j, then k); for each,
    // the case's row of TriTable three entries at a time until -1, each
    // triangle's vertices in reverse order (e2, e1, e0). Reads only Inside
    // and the edge arrays (the cube wiring is computed, not read), scanning
    // the flags many cubes at a time. After PrepareSurface: a sparse
    // Polygonise leaves its edge points in the edge store, not in the arrays.
    template <class Sink>
    void EmitTriangles(Sink&& Emit) const;

    // False when a size is 0 or negative: a grid whose counts all allow it
    // but that has no sample to classify, no crossed edge and no cube.
    bool HasSurface() const { return SizeX > 0 && SizeY > 0 && SizeZ > 0; }

    // Attaches a field that bounds blocks, which the grid then owns (nullptr:
    // none, every call dense). Set-up, not per frame: sizes the sparse
    // route's arrays (run-time error 201 or 203 when they cannot be had).
    void UseBlockField(std::unique_ptr<TBlockField> Field);
    // Set-up: the room of the emission runs the workers record for the
    // calling thread, in points per block layer in flight (SlotRefs), and
    // the pieces of it a thread takes at a time (ChunkRefs). UseBlockField
    // sizes them for ordinary surfaces; a block row that does not fit is
    // emitted by the calling thread itself, which gives the same calls.
    // Tests make them small. The runs are recorded only where a streamed
    // call has RecordRunsFrom threads or more; with fewer, the calling
    // thread finds its cubes itself, which costs less in all as long as
    // its share of the frame's work is well over the emission's.
    void SizeEmissionRuns(std::int64_t SlotRefs, std::int64_t ChunkRefs);
    static constexpr int kRecordRunsFrom = 4;
    int RecordRunsFrom = kRecordRunsFrom;  // tests and benchmarks set other counts
    // Set-up: the room of the edge store, in points per block layer in
    // flight (SlotPoints), and the pieces a thread takes at a time
    // (ChunkPoints); 0 points: no store, every edge in the edge arrays.
    // UseBlockField gives grids of kEdgeStoreMinSamples samples or more
    // EdgeStorePoints and kEdgeStoreChunk, which hold ordinary surfaces; the
    // edges that do not fit go to the edge arrays, with the same triangles.
    // Smaller grids' edge arrays are near enough the caches that the store
    // does not pay. Tests give it any room on any grid.
    void SizeEdgeStore(std::int64_t SlotPoints, std::int64_t ChunkPoints);
    static constexpr std::int64_t kEdgeStoreMinSamples = std::int64_t(1) << 20;
    static constexpr std::int64_t kEdgeStoreChunk = 1024;
    // A block layer of the shipped scenes crosses fewer edges than a layer
    // has samples (about a third as many at grid 256 with 50 balls).
    static std::int64_t EdgeStorePoints(std::int32_t SizeX, std::int32_t SizeY) {
        return static_cast<std::int64_t>(SizeX) * SizeY + kMaxThreads * kEdgeStoreChunk;
    }
    TBlockField* BlockField() const { return BlockField_.get(); }
    TFieldRoute Route = TFieldRoute::Sparse;

    // Whether this grid's sizes allow the sparse route at all: every axis 1
    // to kMaxSparseSize samples (longer rows go dense).
    static constexpr std::int32_t kMaxSparseSize = 1023;
    // When TFieldRoute::Sparse goes dense instead: on grids smaller than
    // kSparseMinSize on an axis (a block is then a large part of the grid,
    // and proving rarely pays), and for kSparseRetryCalls calls after a
    // sparse call that had to evaluate more than kSparseMaxShare of the
    // samples (hardly a block proven); then it tries again.
    static constexpr std::int32_t kSparseMinSize = 12;
    static constexpr int kSparseRetryCalls = 7;
    static constexpr double kSparseMaxShare = 0.6;

    // Blocks along each axis, and the class the last sparse call gave block
    // (bx, by, bz) (element bx + BlocksX * (by + BlocksY * bz)).
    std::int32_t BlocksX() const { return SizeX / kBlockSize + 1; }
    std::int32_t BlocksY() const { return SizeY / kBlockSize + 1; }
    std::int32_t BlocksZ() const { return SizeZ / kBlockSize + 1; }
    const TArray<std::uint8_t>& BlockClasses() const { return BlockClass_; }

    const TSurfaceStats& LastStats() const { return Stats_; }

    // For debugging and tests: before every sparse call, fill all of Values
    // with NaN, so that a value read outside the exact set shows.
    bool PoisonValues = false;
    // For tests: called before each of the streamed call's tasks (a block
    // row's work of one step) once it may start, on the thread that took
    // it, when worker threads share them. A test delays some, so that rows
    // run ahead of others as far as they may.
    void (*StreamTaskHook)(std::int64_t BY, std::int64_t Step) = nullptr;

    // Whoever writes Inside other than this class's own routes (the
    // reference polygoniser) calls this: the sparse route then rewrites all
    // of Inside on its next call instead of trusting what it wrote last.
    // Debug builds check it: a sparse call that trusts Inside first makes
    // sure it holds what the last one left (an assertion names this).
    void InsideWritten() { InsideKnown_ = false; }

    // The edge point in slot Slot of a cube.
    const TEdgeVertex& CubeEdge(const TCubeEdges& Cube, int Slot) const {
        return EdgeArray(kEdgeAxis[Slot])[Cube.Edge[Slot]];
    }
    const TEdgeVertex* EdgeArray(int Axis) const {
        return Axis == 0 ? EdgesX.Data() : Axis == 1 ? EdgesY.Data() : EdgesZ.Data();
    }

    // The case index of the cube whose lowest corner is (i, j, k).
    unsigned CaseIndex(std::int32_t i, std::int32_t j, std::int32_t k) const;

    // Element counts of the six arrays for the given sizes, in 64 bits.
    struct TCounts {
        std::int64_t Values, Inside, Cubes, EdgesX, EdgesY, EdgesZ;
    };
    static TCounts CountsFor(std::int32_t SizeX, std::int32_t SizeY, std::int32_t SizeZ);

    std::int32_t SizeX;
    std::int32_t SizeY;
    std::int32_t SizeZ;
    float CellSize;
    float CenterX;
    float CenterY;
    float CenterZ;
    // The samples. On the dense route FieldProc fills all of them every
    // call. On the sparse route only the exact set is computed: the samples
    // of blocks not proven, and in proven blocks the ends of crossed edges
    // and their forward neighbours; every other element keeps a stale value
    // (NaN with PoisonValues). Nothing may read a value outside the exact
    // set: Inside, the edges and the triangles never do.
    TArray<float> Values;
    TArray<std::uint8_t> Inside;
    TArray<TCubeEdges> Cubes;
    // The edge points. The dense route, PrepareSurface and FillSamples then
    // PolygoniseSamples write every crossed edge's moving coordinate and
    // normal here. The sparse route within Polygonise, on a grid with an
    // edge store (SizeEdgeStore), writes them into the store instead (whole
    // points, in the order it crosses them), and the triangles come from
    // there, the same bits; the arrays then keep what earlier calls left,
    // save edges the store had no room for.
    TArray<TEdgeVertex> EdgesX;
    TArray<TEdgeVertex> EdgesY;
    TArray<TEdgeVertex> EdgesZ;
    TFieldProc FieldProc;

    // Scratch of SizeX + 1 + kFieldScratchPadding floats that the field
    // function may use as it likes (the scene's keeps the x of every sample
    // of a row there). The grid itself never reads it.
    TArray<float> FieldScratch;

    // Bytes of the scratch arrays.
    std::int64_t ScratchBytes() const {
        return 4 * static_cast<std::int64_t>(FieldScratch.Count() + LineScratch.Count()) +
               8 * static_cast<std::int64_t>(BitScratch.Count()) + 4 * static_cast<std::int64_t>(ChunkDone.Count()) +
               static_cast<std::int64_t>(BlockClass_.Count()) + CoarseClass_.Count() + BlockInside_.Count() +
               RowTouch_.Count() + RowClass_.Count() + RowInside_.Count() +
               8 * (static_cast<std::int64_t>(ClassBits_.Count()) + BoundaryBits_.Count()) +
               4 * static_cast<std::int64_t>(RunRefs_.Count()) +
               static_cast<std::int64_t>(sizeof(TEmissionRun)) * Runs_.Count() +
               static_cast<std::int64_t>(sizeof(TEdgeVertex)) * EdgeStore_.Count() +
               4 * static_cast<std::int64_t>(EdgeMap_.Count() + FixedCoord_.Count());
    }

private:
    bool SparseThisCall();
    // The sparse route's call: StartSparse decides and begins it (false:
    // this call is dense, FillDense does its field), EndSparse closes it.
    bool StartSparse();
    void EndSparse();
    void FillDense();
    // The sparse route within Polygonise streams: the block layers pass
    // through the field's passes, the crossings and the emission a few
    // layers apart (sparse_surface.cpp), so that what one layer's passes
    // write is still in the caches when the next pass reads it. Same
    // results as FillSamples then PolygoniseSamples.
    //
    // The work of a step on one block row is a task; tasks are taken in
    // order (step by step, rows in order within a step) by whichever thread
    // comes first, and a task starts once its row and the rows on either
    // side have done the step before, with no meeting of all threads
    // between steps (which rows a task reads: sparse_surface.cpp). A row
    // may thus be a step ahead of its neighbours, and a row d rows away d
    // steps. The calling thread emits block layer L once every row has done
    // step (L + EmitAfter()), and then clears the slots that layer (L +
    // kRunSlots) will use, which the tasks crossing it wait for. So the
    // workers may run up to two steps ahead of the layer the caller is
    // emitting (one with runs), never more (the slots hold four layers).
    template <class Sink>
    void PolygoniseStreamed(Sink&& Emit, std::int64_t Start);
    void StartSparseStream();
    void FinishSparseStream();
    void RunStreamRows(int Part);
    void RunStreamStep(std::int64_t Step);
    bool StreamTaskReady(std::int64_t BY, std::int64_t Step) const;
    bool StreamSlotClear(std::int64_t Step) const;
    void RunStreamTask(std::int64_t Task, int Part);
    bool CallerStreamTask();
    bool StreamStepDone(std::int64_t Step) const {
        return StepRows_[Step].load(std::memory_order_acquire) == BlocksY();
    }
    void ClearStreamSlot(std::int64_t BZ);
    // The most steps after the last layer's pass 1: its recording, with
    // runs. This call's count of steps: up to the last layer's crossing, or
    // with runs its recording.
    static constexpr std::int64_t kStreamSteps = 7;
    std::int64_t StreamSteps() const { return BlocksZ() + (RecordRuns_ ? kStreamRecordLag : kStreamCrossLag); }
    // A layer is emitted once step (layer + this) is done: the one that
    // crosses the layer above (its cubes' points reach into it), or with
    // runs the one that records it.
    std::int64_t EmitAfter() const { return RecordRuns_ ? kStreamRecordLag : kStreamCrossLag + 1; }
    // The crossed edges of the layers of block layer BZ after a sparse
    // FillSamples.
    void CrossBlockLayerSparse(const TSurfaceJob& Job, std::int64_t BZ);
    template <class Sink>
    std::int64_t EmitLayerSparse(std::int64_t k, Sink&& Emit) const;
    // How the emission finds the edge points: in the edge arrays, in the
    // edge store, or in the store with the processor's popcnt instruction
    // at hand (the functions of that way are compiled for it).
    enum TEmitWay { kEmitArrays, kEmitStored, kEmitStoredPopcnt };
    template <int Way, class Sink>
    std::int64_t EmitRowsSparse(std::int64_t k, std::int64_t First, std::int64_t Last, Sink&& Emit) const;
    template <int Way, class Sink>
    std::int64_t EmitRowsBody(std::int64_t k, std::int64_t First, std::int64_t Last, Sink&& Emit) const;
    template <class Sink>
    std::int64_t EmitRowsPopcnt(std::int64_t k, std::int64_t First, std::int64_t Last, Sink&& Emit) const;
    template <bool Prefetch, class Visit>
    std::int64_t ScanCubesSparse(std::int64_t k, std::int64_t First, std::int64_t Last, Visit&& Fn) const;
    template <class Sink>
    int EmitCube(std::int64_t i, std::int64_t j, std::int64_t k, unsigned Case, Sink&& Emit) const;
    // What the cubes of one word of a cube row (j, k) share when their
    // points come from the edge store: for each corner row and axis an edge
    // of the cube can lie on, the word's crossed edges (Crossed) and its
    // first point in the store (At). Made when emission reaches a cube of
    // another word, row or layer, so each word's cubes read them once.
    struct TStoredWord {
        std::int64_t J = -1, K = -1, W = -1;
        std::uint64_t Crossed[8];
        std::uint32_t At[8];
    };
    void LoadStoredWord(TStoredWord& Word, std::int64_t j, std::int64_t k, std::int64_t w) const;
    // Refs: Emit gets each point's VertexRef rather than the point.
    template <bool Popcnt, bool Refs = false, class Sink>
    int EmitCubeStored(std::int64_t i, std::int64_t j, std::int64_t k, unsigned Case, TStoredWord& Word,
                       Sink&& Emit) const;


    // Emission runs. With worker threads, the streamed call has the workers
    // find each block row's cubes with corners of both classes and record
    // the points of their triangles, vertex by vertex in emission order (a
    // ref: VertexRef), in a run, a slot of runs per block layer in flight
    // (each thread filling a chunk of the slot it took, so that threads
    // seldom meet); the calling thread then only hands those points to the
    // sink, in order, without looking for the cubes or their points. A
    // cube's points reach into the block row above and the block layer
    // above, which are crossed a step after its own (kStreamCrossLag), and
    // rows may be a step apart, so a layer is recorded in step (layer +
    // kStreamRecordLag), two steps after its crossing, and handed on once
    // that step is done; the caller clears the slot for the layer kRunSlots
    // on as soon as it has handed this one on.
    struct TEmissionRun {
        std::uint32_t Start;            // its first ref in the slot
        std::uint32_t End[kBlockSize];  // the end of each cube layer's refs, from Start
        std::uint32_t Walked;           // cubes it looked at
        std::uint32_t Fits;             // 0: the caller emits the row itself
    };
    static constexpr int kRunSlots = 4;
    // A build without worker threads (the page) has no use for them.
    static constexpr bool kEmissionRuns = SORVEL2_THREADS != 0;
    static constexpr std::int64_t kStreamCrossLag = 5;   // a layer is crossed in step (layer + this)
    static constexpr std::int64_t kStreamRecordLag = 7;  // and recorded in step (layer + this)
    static_assert(kStreamSteps >= kStreamRecordLag && kStreamRecordLag >= kStreamCrossLag + 2, "see above");
    // A point as a run holds it: its element of edge array Axis (0 to 2) as
    // Axis << 30 | element, or its place in the edge store as kStoreRef <<
    // 30 | place; kNoVertexRef when it is past what 30 bits hold (the row
    // is then left to the caller).
    static constexpr std::uint32_t kNoVertexRef = ~0u, kVertexRefPlaces = (1u << 30) - 1, kStoreRef = 3;
    static std::uint32_t MakeVertexRef(std::uint32_t Kind, std::int64_t Place) {
        return Place >= 0 && Place <= kVertexRefPlaces ? Kind << 30 | static_cast<std::uint32_t>(Place) : kNoVertexRef;
    }
    std::uint32_t VertexRef(const TEdgeVertex& Point) const;  // from where the point lies
    const TEdgeVertex& RefVertex(std::uint32_t Ref) const {
        const std::uint32_t at = Ref & kVertexRefPlaces;
        return Ref >> 30 == kStoreRef ? EdgeStore_.Data()[at] : EdgeArray(static_cast<int>(Ref >> 30))[at];
    }
    void RecordBlockRow(std::int64_t BY, std::int64_t BZ, int Part);
    template <int Way>
    void RecordBlockRowWay(std::int64_t BY, std::int64_t BZ, int Part);
    void RecordBlockRowPopcnt(std::int64_t BY, std::int64_t BZ, int Part);
    template <int Way, class Sink>
    std::int64_t ReplayBlockLayer(std::int64_t L, Sink&& Emit) const;
    template <class Sink>
    std::int64_t ReplayBlockLayerPopcnt(std::int64_t L, Sink&& Emit) const;
    TArray<std::uint32_t> RunRefs_;  // kRunSlots slots of RunSlotRefs_ refs
    TArray<TEmissionRun> Runs_;      // kRunSlots slots of BlocksY() runs
    std::int64_t RunSlotRefs_ = 0;
    std::int64_t RunChunkRefs_ = 0;
    // Taken by every thread as it fills its chunks (as EdgeTaken_ below).
    alignas(64) std::atomic<std::int64_t> RunTaken_[kRunSlots] = {};  // refs of each slot given out in chunks
    struct TRunChunk {
        std::int64_t At = 0, End = 0;  // a thread's next ref and the end of its chunk
    };
    alignas(64) bool RecordRuns_ = false;  // this streamed call records runs (every task reads it: off the counters' line)
    void PrefetchCube(std::int64_t i, std::int64_t j, std::int64_t k) const;

    // The edge store. Within Polygonise the sparse route puts the points of
    // the edges it crosses, not into the lattice-wide edge arrays, where the
    // y- and z-edges of a row lie far apart and each write reaches a line of
    // its own, but into a store that keeps them in the order they are
    // crossed: a slot per block layer in flight (block layer L in slot
    // L % kRunSlots), each thread filling chunks of it, every point whole
    // (its fixed coordinates written with it). The map (TEdgeStoreJob::MapRow)
    // says where each crossed edge's point went; the emission reads them
    // there. The caller clears a slot for its next layer once it is done
    // with the layers that read it (L - 1 and L).
    TArray<TEdgeVertex> EdgeStore_;  // kRunSlots slots of EdgeSlotPoints_ points
    TArray<std::uint32_t> EdgeMap_;  // TEdgeStoreJob::kEdgeMapLayers layers of rows of 3 SizeX
    TArray<float> FixedCoord_;       // the coordinates of the samples along x, then y, then z
    std::int64_t EdgeSlotPoints_ = 0;
    std::int64_t EdgeChunkPoints_ = 0;
    // Taken by every thread as it fills its chunks: on lines of their own,
    // away from what the tasks read (TPartState says why).
    alignas(64) std::atomic<std::int64_t> EdgeTaken_[kRunSlots] = {};
    // How this streamed call's emission finds the points (kEmitArrays: the
    // call does not use the store).
    alignas(64) int StoreWay_ = kEmitArrays;  // (every task reads it: off the counters' line)
    bool StoreEdges() const { return kEdgeStore && StoreWay_ != kEmitArrays; }
    std::atomic<std::int64_t> EdgesNotStored_{0};
    static_assert(TEdgeStoreJob::kEdgeMapLayers == kRunSlots * kBlockSize, "the map holds the slots' layers");
    TEdgeStoreJob EdgeStoreJob(std::int64_t BZ, int Part);

    // Scratch of PrepareSurface: the running coordinates of the three axes,
    // and two layers of inside-bit masks for each worker thread.
    TArray<float> LineScratch;
    TArray<std::uint64_t> BitScratch;
    TArray<std::int32_t> ChunkDone;  // per chunk of layers: 1 when done
    static std::int64_t SurfaceScratchWords(std::int32_t SizeX, std::int32_t SizeY);

    // Pieces of Polygonise. BeginLayers() (after the field) returns how many
    // worker threads compute the layers. With none, the caller runs
    // SurfaceLayer(k) for k = 0, 1, ... in turn. Otherwise the workers take
    // chunks of layers from the bottom; LayerReady(k) tells whether layer k
    // is done, and HelpWithLayers() has the caller compute a chunk from the
    // top (false when none is left). EmitLayer(k) emits the cubes of layer k
    // (it needs layers k and k + 1); EndLayers() waits for the workers.
    int BeginLayers();
    void SurfaceLayer(std::int64_t k);
    bool LayerReady(std::int64_t k);
    bool HelpWithLayers();
    void EndLayers();
    template <class Sink>
    void EmitLayer(std::int64_t k, Sink&& Emit) const;

    TSurfaceJob SurfaceJob();
    std::uint64_t* PartScratch(int Part);
    void WalkChunk(std::int64_t Chunk, int Part);

    // State of one Polygonise with workers.
    TSurfaceJob Job_{};
    int Helpers_ = 0;
    std::int64_t ChunkLayers_ = 1;          // layers in a chunk
    std::int64_t Chunks_ = 0;               // chunks in the grid
    std::atomic<std::int64_t> Claimed_{0};  // chunks claimed so far, by anyone
    std::atomic<std::int64_t> Bottom_{0};   // chunks the workers took
    std::int64_t Top_ = 0;                  // chunks the caller took

    // The sparse route (grid/sparse_surface.cpp), sized by UseBlockField.
    friend class TSparsePass;
    std::unique_ptr<TBlockField> BlockField_;
    TArray<std::uint8_t> CoarseClass_;  // per block of twice the size: this call's TBlockClass
    TArray<std::uint8_t> BlockClass_;   // per block: this call's TBlockClass
    TArray<std::uint8_t> BlockInside_;  // per block: 0 or 1 when Inside holds that
                                        // at all its samples, 2 when unknown
    TArray<std::uint8_t> RowTouch_;     // per block row: 1 when a block of it may
                                        // hold the end of a crossed edge
    TArray<std::uint8_t> RowClass_;     // per block row: the class of all its blocks, or mixed
    TArray<std::uint8_t> RowInside_;    // per block row: 0 or 1 when Inside and ClassBits_
                                        // hold that throughout, otherwise 2
    TArray<std::uint64_t> ClassBits_;   // inside bits of every classified row
    TArray<std::uint64_t> BoundaryBits_;  // per classified row of a touching block row:
                                          // its samples with a face neighbour of the
                                          // other class, (SizeX + 64) / 64 words
    bool InsideKnown_ = false;          // BlockInside_, RowInside_ and ClassBits_ agree with
                                        // Inside (the last call was sparse, and nobody wrote it since)
    std::uint64_t InsideLeft_ = 0;      // debug builds: a hash of Inside as the last sparse call left it
    std::uint64_t InsideHash() const;
    bool ClassBitsMatchInside() const;  // debug builds: what the next call trusts
    std::atomic<std::int64_t> Evaluated_{0};  // samples evaluated so far in this call by passes the
                                              // threads share (a streamed task counts in its TPartState)
    // What one thread of a streamed call writes every few rows, on cache
    // lines of its own: written next to another thread's, each write would
    // take the line from the other core.
    struct alignas(64) TPartState {
        TRunChunk Run[kRunSlots];                         // its chunk of each slot's refs
        std::int64_t EdgeAt[kRunSlots], EdgeEnd[kRunSlots];  // its chunk of each slot's store
        std::int64_t Evaluated = 0;                       // samples its tasks evaluated
    };
    TPartState PartState_[kMaxThreads];
    // The streamed call's tasks: task t is block row t % BlocksY() of step
    // t / BlocksY().
    static constexpr std::int64_t kMaxBlockRows = kMaxSparseSize / kBlockSize + 1;
    std::int64_t StreamTasks_ = 0;
    alignas(64) std::atomic<std::int64_t> StreamNext_{0};  // the next task to take
    // With one worker, the two threads take each step's block rows from
    // either end instead (StartSparseStream says why): per step, the rows
    // not yet taken, First << 32 | End.
    bool TwoEnds_ = false;
    std::atomic<std::uint64_t> StepLeft_[kMaxBlockRows + kStreamSteps] = {};
    // The caller's own, and the counts every task writes, each on lines of
    // their own (TPartState says why).
    alignas(64) std::int64_t CallerStep_ = 0;  // the step whose rows the caller takes from the top
    alignas(64) std::atomic<std::int32_t> RowSteps_[kMaxBlockRows] = {};  // steps each block row has done
    std::atomic<std::int32_t> StepRows_[kMaxBlockRows + kStreamSteps] = {};  // block rows each step has done
    alignas(64) std::atomic<std::int64_t> SlotsClear_{0};  // block layers below this may be crossed: their slots are clear
    int DenseFrames_ = 0;               // calls left that go dense without trying
    // (Off the line of SlotsClear_, which every task reads: the emission
    // writes these as the workers go.)
    alignas(64) mutable TSurfaceStats Stats_;  // CubesWalked and Triangles are counted by the emission
};

inline constexpr std::int64_t kFieldScratchPadding = 16;

// The set bits of a word. (A plain x86-64 has no popcount instruction; the
// builtin would call a library routine.)
inline int BitCount(std::uint64_t x) {
    x = x - (x >> 1 & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + (x >> 2 & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>(x * 0x0101010101010101ull >> 56);
}

// Finds the cubes of one row whose case index is neither 0 nor 255 (the
// instruction level in use does the scan): Count cubes whose corner-0 flags
// start at Row, with the flags of the row above RowStride bytes on and of
// the layer above LayerStride bytes on. Stores their positions in the row
// and case indices, in order; returns how many.
std::int32_t FindActiveCubes(const std::uint8_t* Row, std::int64_t RowStride, std::int64_t LayerStride,
                             std::int32_t Count, std::uint16_t* Where, std::uint8_t* Cases);

// The y- and z-edges of a cube lie far from those of the cube before it:
// the emission starts reading the next cube's while it emits this one.
inline void TGrid::PrefetchCube(std::int64_t i, std::int64_t j, std::int64_t k) const {
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ, oy = sy - 1, oz = sz - 1;
    const TEdgeVertex* y = EdgesY.Data();
    const TEdgeVertex* z = EdgesZ.Data();
    __builtin_prefetch(y + (j + oy * (k + sz * i)));
    __builtin_prefetch(y + (j + oy * (k + 1 + sz * i)));
    __builtin_prefetch(y + (j + oy * (k + sz * (i + 1))));
    __builtin_prefetch(y + (j + oy * (k + 1 + sz * (i + 1))));
    __builtin_prefetch(z + (k + oz * (i + sx * j)));
    __builtin_prefetch(z + (k + oz * (i + sx * (j + 1))));
}

// The triangles of cube (i, j, k), whose case index is Case (neither 0 nor
// 255): the case's row of TriTable three entries at a time until -1, each
// triangle's vertices in reverse order. Returns how many: the callers count
// them in a register, since a sink may write anywhere and Stats_ would
// otherwise be reloaded and stored around every cube.
template <class Sink>
int TGrid::EmitCube(std::int64_t i, std::int64_t j, std::int64_t k, unsigned Case, Sink&& Emit) const {
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    // The edge point of slot s of cube (i, j, k) is element
    // Base[kEdgeAxis[s]] + Offset[s] of its axis's array, Base being the
    // x-, y- and z-edge at corner 0: the cube wiring of the constructor,
    // computed instead of read.
    const std::int64_t ox = sx - 1, oy = sy - 1, oz = sz - 1;
    const std::int64_t offset[12] = {0,  oy * sz, ox, 0,      ox * sy,      oy * sz + oy,
                                     ox + ox * sy, oy,      0,  oz, oz + oz * sx, oz * sx};
    const TEdgeVertex* base[3] = {EdgesX.Data() + (i + ox * (j + sy * k)), EdgesY.Data() + (j + oy * (k + sz * i)),
                                  EdgesZ.Data() + (k + oz * (i + sx * j))};
    const std::int8_t* tri = TriTable[Case];
    int m = 0;
    for (; tri[m] != -1; m += 3) {
        Emit(base[kEdgeAxis[tri[m + 2]]][offset[tri[m + 2]]]);
        Emit(base[kEdgeAxis[tri[m + 1]]][offset[tri[m + 1]]]);
        Emit(base[kEdgeAxis[tri[m]]][offset[tri[m]]]);
    }
    return m / 3;
}

// EmitCube's triangles with the edge points from the edge store after a
// streamed sparse call's crossings. A point's place: the map's first point
// of its word and axis in its row, plus the crossed edges of that word and
// axis before it (from the inside bits, as the crossings found them); or,
// where the map says the store had no room, its element of the edge array.
// The corner row and axis of each of TStoredWord's eight: x along all
// four rows, y along rows 0 and 2 (to rows 1 and 3), z along rows 0 and 1
// (to rows 2 and 3); and which of them cube edge e lies on.
inline constexpr std::uint8_t kStoredRow[8] = {0, 1, 2, 3, 0, 2, 0, 1};
inline constexpr std::uint8_t kStoredAxis[8] = {0, 0, 0, 0, 1, 1, 2, 2};
inline constexpr std::uint8_t kStoredOf[12] = {0, 4, 1, 4, 2, 5, 3, 5, 6, 6, 7, 7};

inline void TGrid::LoadStoredWord(TStoredWord& Word, std::int64_t j, std::int64_t k, std::int64_t w) const {
    const std::int64_t words = (SizeX + 63) / 64, sy = SizeY;
    const std::uint32_t* below = EdgeMap_.Data() + TEdgeStoreJob::MapRowAt(words, sy, j, k);
    const std::uint32_t* above = EdgeMap_.Data() + TEdgeStoreJob::MapRowAt(words, sy, j, k + 1);
    const std::uint32_t* first[4] = {below, below + 3 * words, above, above + 3 * words};
    const std::uint64_t* rows = ClassBits_.Data() + words * (j + sy * k);
    const std::uint64_t c[4] = {rows[w], rows[words + w], rows[words * sy + w], rows[words * (sy + 1) + w]};
    for (int m = 0; m < 8; ++m) {
        const unsigned r = kStoredRow[m], a = kStoredAxis[m];
        // Along x a flag against the next: the bits below a cube's own need
        // nothing from the next word. Along y against the row above, along z
        // against the layer above.
        Word.Crossed[m] = a == 0 ? c[r] ^ c[r] >> 1 : c[r] ^ c[r + a];
        Word.At[m] = first[r][a * words + w];
    }
    Word.J = j;
    Word.K = k;
    Word.W = w;
}

template <bool Popcnt, bool Refs, class Sink>
[[gnu::always_inline]] inline int TGrid::EmitCubeStored(std::int64_t i, std::int64_t j, std::int64_t k, unsigned Case,
                                                        TStoredWord& Word, Sink&& Emit) const {
    // Slot e's point: corner row kRow[e] of the cube ((j, k), (j+1, k),
    // (j, k+1), (j+1, k+1)), the edge of axis kEdgeAxis[e] from sample
    // i + kStep[e].
    static constexpr std::uint8_t kRow[12] = {0, 0, 1, 0, 2, 2, 3, 2, 0, 0, 1, 1};
    static constexpr std::uint8_t kStep[12] = {0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0};
    const TEdgeVertex* store = EdgeStore_.Data();
    // The rare way (an edge in the next word, or one the store had no room
    // for): what it needs is worked out here, not for every cube. Inlined:
    // out of line, a sink that never reads the points (the benchmark's)
    // would have them all found, its compiler unable to drop the call.
    auto point = [&](int e) -> const TEdgeVertex& {
        const std::int64_t words = (SizeX + 63) / 64, sx = SizeX, sy = SizeY, sz = SizeZ;
        const std::uint32_t* below = EdgeMap_.Data() + TEdgeStoreJob::MapRowAt(words, sy, j, k);
        const std::uint32_t* above = EdgeMap_.Data() + TEdgeStoreJob::MapRowAt(words, sy, j, k + 1);
        const std::uint32_t* first[4] = {below, below + 3 * words, above, above + 3 * words};
        const std::uint64_t* rows = ClassBits_.Data() + words * (j + sy * k);
        const std::uint64_t* bits[4] = {rows, rows + words, rows + words * sy, rows + words * (sy + 1)};
        // The edge arrays' elements, as EmitCube finds them.
        const std::int64_t ox = sx - 1, oy = sy - 1, oz = sz - 1;
        const std::int64_t offset[12] = {0,  oy * sz, ox, 0,      ox * sy,      oy * sz + oy,
                                         ox + ox * sy, oy,      0,  oz, oz + oz * sx, oz * sx};
        const TEdgeVertex* base[3] = {EdgesX.Data() + (i + ox * (j + sy * k)), EdgesY.Data() + (j + oy * (k + sz * i)),
                                      EdgesZ.Data() + (k + oz * (i + sx * j))};
        const unsigned r = kRow[e], a = kEdgeAxis[e];
        const std::int64_t n = i + kStep[e], w = n >> 6;
        const std::uint32_t at = first[r][a * words + w];
        // The word's crossings of that axis: along x a flag against the
        // next (the bits below n's need nothing from the next word), along
        // y against the row above, along z against the layer above.
        const std::uint64_t c = bits[r][w], other = bits[r + a][w];
        const std::uint64_t before = (a == 0 ? c ^ c >> 1 : c ^ other) & ((1ull << (n & 63)) - 1);
        std::uint32_t rank;
        if constexpr (Popcnt) {
            rank = static_cast<std::uint32_t>(__builtin_popcountll(before));
        } else {
            rank = static_cast<std::uint32_t>(BitCount(before));
        }
        return at != kNoStorePoint ? store[at + rank] : base[a][offset[e]];
    };
    // Each crossed edge's point found once: a cube's triangles share edges
    // (two of them four, three of them five). From the word's shared values,
    // but for an edge in the next word (the word's last cube, one step on)
    // or one the store had no room for.
    const std::int64_t w = i >> 6;
    if (Word.W != w || Word.J != j || Word.K != k) LoadStoredWord(Word, j, k, w);
    using TPoint = std::conditional_t<Refs, std::uint32_t, const TEdgeVertex*>;
    TPoint points[12];
    for (unsigned crossed = kCrossedEdges[Case]; crossed != 0; crossed &= crossed - 1) {
        const int e = __builtin_ctz(crossed);
        const unsigned m = kStoredOf[e], n = static_cast<unsigned>(i & 63) + kStep[e];
        const std::uint32_t at = Word.At[m];
        if (n < 64 && at != kNoStorePoint) {
            const std::uint64_t before = Word.Crossed[m] & ((1ull << n) - 1);
            std::uint32_t rank;
            if constexpr (Popcnt) {
                rank = static_cast<std::uint32_t>(__builtin_popcountll(before));
            } else {
                rank = static_cast<std::uint32_t>(BitCount(before));
            }
            if constexpr (Refs) {
                points[e] = MakeVertexRef(kStoreRef, std::int64_t{at} + rank);
            } else {
                points[e] = store + at + rank;
            }
        } else if constexpr (Refs) {
            points[e] = VertexRef(point(e));
        } else {
            points[e] = &point(e);
        }
    }
    const std::int8_t* tri = TriTable[Case];
    int m = 0;
    for (; tri[m] != -1; m += 3) {
        if constexpr (Refs) {
            Emit(points[tri[m + 2]]);
            Emit(points[tri[m + 1]]);
            Emit(points[tri[m]]);
        } else {
            Emit(*points[tri[m + 2]]);
            Emit(*points[tri[m + 1]]);
            Emit(*points[tri[m]]);
        }
    }
    return m / 3;
}

// Layer k: each row's active cubes found in their flags many at a time,
// then emitted in order.
template <class Sink>
void TGrid::EmitLayer(std::int64_t k, Sink&& Emit) const {
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    if (sx < 2 || sy < 2 || sz < 2) return;
    constexpr std::int32_t kChunk = 2048;
    std::uint16_t where[kChunk];
    std::uint8_t cases[kChunk];
    std::int64_t triangles = 0;
    for (std::int64_t j = 0; j < sy - 1; ++j) {
        const std::uint8_t* row = Inside.Data() + sx * j + sx * sy * k;
        for (std::int64_t i0 = 0; i0 < sx - 1; i0 += kChunk) {
            const std::int32_t count = static_cast<std::int32_t>(sx - 1 - i0 < kChunk ? sx - 1 - i0 : kChunk);
            const std::int32_t found = FindActiveCubes(row + i0, sx, sx * sy, count, where, cases);
            for (std::int32_t q = 0; q < found; ++q) {
                if (q + 1 < found) PrefetchCube(i0 + where[q + 1], j, k);
                triangles += EmitCube(i0 + where[q], j, k, cases[q], Emit);
            }
        }
    }
    Stats_.Triangles += triangles;
}

// The case index of a cube from its corner rows' flag pairs: bits 2r and
// 2r + 1 of the index into it are the flags at i and i + 1 of corner row r
// ((j, k), (j+1, k), (j, k+1), (j+1, k+1)). Rows 0 and 2 hold corners 0, 1
// and 4, 5 in that order; rows 1 and 3 hold 3, 2 and 7, 6, swapped.
inline constexpr std::array<std::uint8_t, 256> kCornerCase = [] {
    std::array<std::uint8_t, 256> t{};
    auto swapped = [](unsigned p) { return (p >> 1 | p << 1) & 3u; };
    for (unsigned n = 0; n < 256; ++n)
        t[n] = static_cast<std::uint8_t>((n & 3) | swapped(n >> 2 & 3) << 2 | (n >> 4 & 3) << 4 | swapped(n >> 6 & 3) << 6);
    return t;
}();

// Rows First .. Last of cube layer k after a sparse call, from the inside
// bits of every classified row rather than from Inside: for each cube row,
// the cubes whose eight corners are neither all inside nor all outside are
// found a word of cubes at a time, and Fn(i, j, Case) is called for each,
// in order. Rows of block rows that touch no surface have none (a cube
// with corners of both classes has a crossed edge, whose ends lie in
// touching blocks). Same cubes, same order as EmitLayer. Returns how many
// cubes it visited. Prefetch: start reading the next cube's edges (for a
// sink that reads them).
template <bool Prefetch, class Visit>
[[gnu::always_inline]] inline std::int64_t TGrid::ScanCubesSparse(std::int64_t k, std::int64_t First, std::int64_t Last,
                                                                 Visit&& Fn) const {
    const std::int64_t sx = SizeX, sy = SizeY, sz = SizeZ;
    if (sx < 2 || sy < 2 || sz < 2) return 0;
    const std::int64_t words = (sx + 63) / 64, nby = BlocksY();
    const std::uint64_t* layer = ClassBits_.Data() + words * sy * k;
    const std::int64_t bz0 = k / kBlockSize, bz1 = (k + 1) / kBlockSize;
    // The cubes of a row's last word (cube sx - 2 is the row's last).
    const std::uint64_t lastCubes = (sx - 1) % 64 == 0 ? 0 : ~0ull >> (64 - (sx - 1) % 64);
    std::int64_t visited = 0;
    for (std::int64_t j = First; j <= Last && j < sy - 1; ++j) {
        const std::int64_t by0 = j / kBlockSize, by1 = (j + 1) / kBlockSize;
        if (!(RowTouch_[by0 + nby * bz0] | RowTouch_[by1 + nby * bz0] | RowTouch_[by0 + nby * bz1] |
              RowTouch_[by1 + nby * bz1]))
            continue;
        // The corner rows: c[0] is (j, k), c[1] (j+1, k), c[2] (j, k+1), c[3] (j+1, k+1).
        const std::uint64_t* c[4] = {layer + words * j, layer + words * (j + 1), layer + words * (j + sy),
                                     layer + words * (j + 1 + sy)};
        // Per column of four flags: all inside, any inside; each word's read
        // once and kept for the word before it, whose last cube needs column 0.
        std::uint64_t cur[4] = {c[0][0], c[1][0], c[2][0], c[3][0]};
        std::uint64_t a = cur[0] & cur[1] & cur[2] & cur[3], o = cur[0] | cur[1] | cur[2] | cur[3];
        for (std::int64_t w = 0; w < words; ++w) {
            std::uint64_t next[4] = {0, 0, 0, 0};
            if (w + 1 < words)
                for (int r = 0; r < 4; ++r) next[r] = c[r][w + 1];
            const std::uint64_t aN = next[0] & next[1] & next[2] & next[3], oN = next[0] | next[1] | next[2] | next[3];
            // Cube i takes columns i and i + 1.
            std::uint64_t active = ~((a & (a >> 1 | aN << 63)) | ~(o | o >> 1 | oN << 63));
            if (w == words - 1) active &= lastCubes;
            if (active != 0) {
                // The flag pairs of the word's last cube, whose second column
                // is the next word's first (worked out here only when needed:
                // it is seldom).
                unsigned last = 0;
                if (active >> 63 != 0)
                    for (int r = 0; r < 4; ++r) last |= static_cast<unsigned>(cur[r] >> 63 | (next[r] & 1) << 1) << (2 * r);
                for (; active != 0; active &= active - 1, ++visited) {
                    const unsigned b = static_cast<unsigned>(__builtin_ctzll(active));
                    const std::int64_t i = w * 64 + b;
                    if constexpr (Prefetch) {
                        if ((active & (active - 1)) != 0)
                            PrefetchCube(w * 64 + __builtin_ctzll(active & (active - 1)), j, k);
                    }
                    // The flags of columns b and b + 1 of each corner row, as
                    // two bits, four rows in a byte, which kCornerCase turns
                    // into the case index.
                    const unsigned pairs = b < 63 ? static_cast<unsigned>((cur[0] >> b & 3) | (cur[1] >> b & 3) << 2 |
                                                                          (cur[2] >> b & 3) << 4 | (cur[3] >> b & 3) << 6)
                                                  : last;
                    Fn(i, j, static_cast<unsigned>(kCornerCase[pairs]));
                }
            }
            for (int r = 0; r < 4; ++r) cur[r] = next[r];
            a = aN;
            o = oN;
        }
    }
    return visited;
}

// Rows First .. Last of cube layer k after a sparse call to the sink.
// NOTE: not inlined: both ways of polygonising call it, and a copy of it in
// each, for every kind of sink, only makes the program larger (it runs a
// whole layer per call).
// Way: where the edge points are (TEmitWay).
template <int Way, class Sink>
[[gnu::always_inline]] inline std::int64_t TGrid::EmitRowsBody(std::int64_t k, std::int64_t First, std::int64_t Last,
                                                               Sink&& Emit) const {
    std::int64_t triangles = 0;
    TStoredWord word;
    // The store's points were written moments ago, near at hand: only the
    // edge arrays' are worth fetching ahead.
    const std::int64_t walked =
        ScanCubesSparse<Way == kEmitArrays>(k, First, Last, [&](std::int64_t i, std::int64_t j, unsigned Case) {
            if constexpr (Way == kEmitArrays) {
                triangles += EmitCube(i, j, k, Case, Emit);
            } else {
                triangles += EmitCubeStored<Way == kEmitStoredPopcnt>(i, j, k, Case, word, Emit);
            }
        });
    Stats_.Triangles += triangles;
    return walked;
}

template <int Way, class Sink>
[[gnu::noinline]] std::int64_t TGrid::EmitRowsSparse(std::int64_t k, std::int64_t First, std::int64_t Last,
                                                     Sink&& Emit) const {
    if constexpr (Way == kEmitStoredPopcnt) {
        return EmitRowsPopcnt(k, First, Last, Emit);
    } else {
        return EmitRowsBody<Way>(k, First, Last, Emit);
    }
}

// NOTE: the popcnt way's functions are compiled for that instruction, with
// what they call inlined into them, so that it is used.
template <class Sink>
[[gnu::noinline]] SORVEL2_TARGET_POPCNT std::int64_t TGrid::EmitRowsPopcnt(std::int64_t k, std::int64_t First,
                                                                           std::int64_t Last, Sink&& Emit) const {
    return EmitRowsBody<kEmitStoredPopcnt>(k, First, Last, Emit);
}

template <class Sink>
std::int64_t TGrid::EmitLayerSparse(std::int64_t k, Sink&& Emit) const {
    return EmitRowsSparse<kEmitArrays>(k, 0, SizeY - 2, Emit);
}

// Block layer L's triangles from the runs its block rows left: the cubes
// recorded, cube layer by cube layer, block row by block row (cube order),
// and the rows that did not fit emitted here. Returns the cubes visited.
template <int Way, class Sink>
[[gnu::always_inline]] inline std::int64_t TGrid::ReplayBlockLayer(std::int64_t L, Sink&& Emit) const {
    const std::int64_t nby = BlocksY(), slot = L % kRunSlots;
    const TEmissionRun* runs = Runs_.Data() + nby * slot;
    const std::uint32_t* refs = RunRefs_.Data() + RunSlotRefs_ * slot;
    std::int64_t walked = 0;
    for (std::int64_t by = 0; by < nby; ++by) {
        if (runs[by].Fits != 0) {
            walked += runs[by].Walked;
            ++Stats_.RowsRecorded;
        } else {
            ++Stats_.RowsNotRecorded;
        }
    }
    std::int64_t triangles = 0;
    for (std::int64_t q = 0; q < kBlockSize && L * kBlockSize + q + 1 < SizeZ; ++q) {
        const std::int64_t k = L * kBlockSize + q;
        for (std::int64_t by = 0; by < nby; ++by) {
            const TEmissionRun& run = runs[by];
            if (run.Fits == 0) {
                walked += EmitRowsSparse<Way>(k, by * kBlockSize, by * kBlockSize + kBlockSize - 1, Emit);
                continue;
            }
            const std::uint32_t* ref = refs + run.Start + (q == 0 ? 0 : run.End[q - 1]);
            const std::uint32_t* last = refs + run.Start + run.End[q];
            triangles += (last - ref) / 3;
            for (; ref < last; ++ref) Emit(RefVertex(*ref));
        }
    }
    Stats_.Triangles += triangles;
    return walked;
}

template <class Sink>
[[gnu::noinline]] SORVEL2_TARGET_POPCNT std::int64_t TGrid::ReplayBlockLayerPopcnt(std::int64_t L, Sink&& Emit) const {
    return ReplayBlockLayer<kEmitStoredPopcnt>(L, Emit);
}

template <class Sink>
void TGrid::PolygoniseStreamed(Sink&& Emit, std::int64_t Start) {
    Stats_.Triangles = 0;
    // Serial time, the work only the caller can do: from Start
    // (Polygonise's, before Begin) to the first parallel pass; each layer's
    // emission (whole, whether or not workers overlap it: with more of them
    // they would not); End.
    std::int64_t serial = TimeSerial ? SerialClockNs() - Start : 0;
    StartSparseStream();
    const std::int64_t layers = BlocksZ(), steps = StreamSteps();
    std::int64_t walked = 0;
    auto emitBlockLayer = [&](std::int64_t L) {
        if constexpr (kEmissionRuns) {
            if (RecordRuns_) {
                if (!StoreEdges()) {
                    walked += ReplayBlockLayer<kEmitArrays>(L, Emit);
                } else if (StoreWay_ == kEmitStored) {
                    walked += ReplayBlockLayer<kEmitStored>(L, Emit);
                } else {
                    walked += ReplayBlockLayerPopcnt(L, Emit);
                }
                return;
            }
        }
        for (std::int64_t k = L * kBlockSize; k < L * kBlockSize + kBlockSize && k + 1 < SizeZ; ++k) {
            if (!StoreEdges()) {
                walked += EmitRowsSparse<kEmitArrays>(k, 0, SizeY - 2, Emit);
            } else if (StoreWay_ == kEmitStored) {
                walked += EmitRowsSparse<kEmitStored>(k, 0, SizeY - 2, Emit);
            } else {
                walked += EmitRowsPopcnt(k, 0, SizeY - 2, Emit);
            }
        }
    };
    // Block layer L may be emitted once step (L + EmitAfter()) is done; the
    // slots it used are then cleared for layer L + kRunSlots.
    std::int64_t L = 0;
    auto emitNext = [&] {
        const std::int64_t e0 = TimeSerial ? SerialClockNs() : 0;
        emitBlockLayer(L);
        ClearStreamSlot(L + kRunSlots);
        ++L;
        if (TimeSerial) serial += SerialClockNs() - e0;
    };
    auto emitStep = [&](std::int64_t Layer) { return std::min(Layer + EmitAfter(), steps - 1); };
    auto alone = [&] {
        // The steps in order, each layer emitted once it may be.
        for (std::int64_t step = 0; step < steps; ++step) {
            RunStreamStep(step);
            while (L < layers && emitStep(L) <= step) emitNext();
        }
    };
    if constexpr (!kEmissionRuns) {
        // (A build without worker threads needs none of the rest.)
        alone();
    } else if (Helpers_ == 0) {
        alone();
    } else {
        // Each layer as soon as its rows are done (the caller's part, and
        // what the workers wait on last); between layers, a task if one
        // may start without waiting on the caller itself.
        int spins = 0;
        while (L < layers) {
            if (StreamStepDone(emitStep(L))) {
                emitNext();
                spins = 0;
            } else if (CallerStreamTask()) {
                spins = 0;
            } else {
                Backoff(spins);
            }
        }
    }
    const std::int64_t tail = TimeSerial ? SerialClockNs() : 0;
    FinishSparseStream();
    EndSparse();
    Stats_.CubesWalked = walked;
    Stats_.SerialNs = TimeSerial ? serial + SerialClockNs() - tail : 0;
}

template <class Sink>
void TGrid::EmitTriangles(Sink&& Emit) const {
    Stats_.Triangles = 0;
    if (!HasSurface()) return;
    if (!Stats_.Sparse) {
        for (std::int64_t k = 0; k + 1 < SizeZ; ++k) EmitLayer(k, Emit);
        return;
    }
    std::int64_t walked = 0;
    for (std::int64_t k = 0; k + 1 < SizeZ; ++k) walked += EmitLayerSparse(k, Emit);
    Stats_.CubesWalked = walked;
}

inline unsigned TGrid::CaseIndex(std::int32_t i, std::int32_t j, std::int32_t k) const {
    const std::int64_t sx = SizeX;
    const std::int64_t sxy = sx * SizeY;
    const std::uint8_t* p = Inside.Data() + (i + sx * j + sxy * k);
    return static_cast<unsigned>(p[0] | p[1] << 1 | p[1 + sx] << 2 | p[sx] << 3 | p[sxy] << 4 | p[sxy + 1] << 5 |
                                 p[sxy + 1 + sx] << 6 | p[sxy + sx] << 7);
}
