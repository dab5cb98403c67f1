// Which vector instructions the fast paths of the field and the polygoniser
// use. Chosen at start-up from what the processor offers and, family by
// family, from what it does fastest; the binary itself targets a plain
// x86-64 (or any other architecture, where only the portable level exists).
// Every level gives the same results bit for bit.
#pragma once

enum TSimdLevel : int {
    kSimdPortable = 0,  // plain C++, one value at a time
    kSimdSse2 = 1,      // 4 floats per instruction (every x86-64; SIMD128 in WebAssembly)
    kSimdAvx2 = 2,      // 8 floats
    kSimdAvx512 = 3,    // 16 floats (AVX-512 F, BW, DQ, VL)
};
inline constexpr int kSimdLevelCount = 4;

// The best level this processor and this build can run.
TSimdLevel SupportedSimdLevel();

// The lowest level this build carries: kSimdPortable, except in a
// WebAssembly build with SIMD128, which carries that level alone (a page is
// downloaded whole, and it would never run the plain code).
TSimdLevel LowestSimdLevel();

// The kinds of kernels whose level is chosen apart: a processor may do one
// kind of work best at one width and another at another (a Zen 4 splits
// 512-bit work in two, so its divisions, and so the field, go faster with
// AVX2, while its polygoniser still gains from AVX-512).
enum TKernelFamily : int {
    kFieldKernels = 0,    // the field: its rows, its block bounds, its samples
    kSurfaceKernels = 1,  // the polygoniser: classification, the cube scan, the crossings
};
inline constexpr int kKernelFamilyCount = 2;

// The level a family's kernels use: SupportedSimdLevel() until set.
TSimdLevel KernelLevel(TKernelFamily Family);

// Selects a level for one family, or for all. A level above
// SupportedSimdLevel() or below LowestSimdLevel() is refused: returns false
// and changes nothing.
bool SetKernelLevel(TKernelFamily Family, TSimdLevel Level);
bool SetSimdLevel(TSimdLevel Level);

// True once a level was set: a calibration then leaves it alone.
bool KernelLevelsSet();

// Times a small fixed job of one family's kernels at Level, in seconds.
using TKernelProbe = double (*)(TSimdLevel Level);

// The clock the probes read, in seconds: the steady clock unless a test
// puts another in its place (nullptr brings the steady clock back).
using TProbeClock = double (*)();
double ProbeClockNow();
void SetProbeClock(TProbeClock Clock);

// The level at which Probe runs fastest on this processor: every supported
// level timed over a stretch of calls (a few milliseconds), the least time
// of each stretch's second half compared, when the clock has settled to
// what the level's instructions leave it (simd.cpp). Every level gives the
// same results, so a choice skewed by a busy moment only costs time. A
// lower level must be strictly faster to win: ties go to the
// highest supported level, and so does everything when a least time is not
// a positive finite number (a clock too coarse for the job, or stopped,
// reads 0 before and after), since such timings tell nothing.
TSimdLevel FastestLevel(TKernelProbe Probe);

// Picks every family's level by FastestLevel, once per process and only if
// no level was set and the build has more than one: the polygoniser's with
// the grid's own probe, the field's with FieldProbe (the field lives above
// the grid). Some 30 ms (4 ms a level and family); for set-up, not for a
// frame.
void ChooseKernelLevels(TKernelProbe FieldProbe);

// "portable", "sse2" ("simd128" in WebAssembly), "avx2", "avx512".
const char* SimdLevelName(TSimdLevel Level);

// Compiler attributes that let one function use a level's instructions
// while the rest of the binary stays plain x86-64.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define SORVEL2_X86_SIMD 1
#define SORVEL2_TARGET_AVX2 __attribute__((target("avx2")))
#define SORVEL2_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))
#define SORVEL2_TARGET_POPCNT __attribute__((target("popcnt")))
#else
#define SORVEL2_X86_SIMD 0
#define SORVEL2_TARGET_POPCNT
#endif

// The 4-float level: SSE2 on x86-64, and in a WebAssembly build made with
// -msimd128 -msse2 the same SSE2 code, which Emscripten's headers turn into
// SIMD128 instructions (exactly: its min is a compare and select, as SSE's).
#if SORVEL2_X86_SIMD || (defined(__EMSCRIPTEN__) && defined(__wasm_simd128__) && defined(__SSE2__))
#define SORVEL2_SIMD4 1
#else
#define SORVEL2_SIMD4 0
#endif

// Whether the build carries the plain kernels as a level of their own (see
// LowestSimdLevel).
#if SORVEL2_SIMD4 && !SORVEL2_X86_SIMD
#define SORVEL2_PORTABLE_LEVEL 0
#else
#define SORVEL2_PORTABLE_LEVEL 1
#endif
