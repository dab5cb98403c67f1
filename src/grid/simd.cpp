#include "grid/simd.h"

#include "grid/surface_kernels.h"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace {

TSimdLevel Detect() {
#if SORVEL2_X86_SIMD
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return kSimdAvx512;
    if (__builtin_cpu_supports("avx2")) return kSimdAvx2;
    return kSimdSse2;
#elif SORVEL2_SIMD4
    // NOTE: a WebAssembly module that uses SIMD128 does not load where it
    // is missing, so a running one always has it.
    return kSimdSse2;
#else
    return kSimdPortable;
#endif
}

// Per family: -1 until first asked or set.
std::atomic<int> gLevel[kKernelFamilyCount] = {-1, -1};
std::atomic<bool> gSet{false};
std::atomic<TProbeClock> gProbeClock{nullptr};

} // namespace

TSimdLevel SupportedSimdLevel() {
    static const TSimdLevel supported = Detect();
    return supported;
}

TSimdLevel LowestSimdLevel() { return SORVEL2_PORTABLE_LEVEL ? kSimdPortable : kSimdSse2; }

TSimdLevel KernelLevel(TKernelFamily Family) {
    int level = gLevel[Family].load(std::memory_order_relaxed);
    if (level < 0) {
        level = SupportedSimdLevel();
        gLevel[Family].store(level, std::memory_order_relaxed);
    }
    return static_cast<TSimdLevel>(level);
}

bool SetKernelLevel(TKernelFamily Family, TSimdLevel Level) {
    if (Level < LowestSimdLevel() || Level > SupportedSimdLevel()) return false;
    gLevel[Family].store(Level, std::memory_order_relaxed);
    gSet.store(true, std::memory_order_relaxed);
    return true;
}

bool SetSimdLevel(TSimdLevel Level) {
    if (Level < LowestSimdLevel() || Level > SupportedSimdLevel()) return false;
    for (int f = 0; f < kKernelFamilyCount; ++f) SetKernelLevel(static_cast<TKernelFamily>(f), Level);
    return true;
}

bool KernelLevelsSet() { return gSet.load(std::memory_order_relaxed); }

double ProbeClockNow() {
    if (const TProbeClock clock = gProbeClock.load(std::memory_order_relaxed)) return clock();
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void SetProbeClock(TProbeClock Clock) { gProbeClock.store(Clock, std::memory_order_relaxed); }

TSimdLevel FastestLevel(TKernelProbe Probe) {
    // Each level in one stretch of calls, the lowest first, timed by the
    // fastest call of the stretch's second half. The widest vectors' heavy
    // instructions (AVX-512's divisions on Intel's server parts) lower the
    // core's clock once they have run for a fraction of a millisecond: a
    // few calls of each level in turn timed them at the clock they started
    // with, and picked AVX-512 now and then where it makes sparse frames an
    // eighth slower. The clock comes back some 2 ms after they stop, before
    // the second half of the next stretch (the other family's probe may
    // have run AVX-512 just before).
    constexpr double kStretch = 4e-3;            // seconds of calls a level
    constexpr int kMinCalls = 9, kMaxCalls = 200;  // the most: for clocks that cannot time a call
    double best[kSimdLevelCount];
    for (double& b : best) b = 1e30;
    for (int level = LowestSimdLevel(); level <= SupportedSimdLevel(); ++level) {
        double spent = 0.0;
        for (int calls = 0; calls < kMaxCalls && (calls < kMinCalls || spent < kStretch); ++calls) {
            const double t = Probe(static_cast<TSimdLevel>(level));
            // (A time that is not a positive finite number ends the stretch:
            // it tells nothing, and the level's least time says so below.)
            if (!(t > 0.0 && t < 1e30)) {
                best[level] = t;
                break;
            }
            if (spent >= kStretch / 2 || calls >= kMaxCalls / 2) best[level] = std::min(best[level], t);
            spent += t;
        }
    }
    // NOTE: the highest level is the default, not the lowest: a clock that
    // cannot time the job makes every level tie, and the portable code
    // would then run on a processor that has the wide kernels.
    int fastest = SupportedSimdLevel();
    for (int level = LowestSimdLevel(); level <= SupportedSimdLevel(); ++level)
        if (!(best[level] > 0.0 && best[level] < 1e30)) return SupportedSimdLevel();
    for (int level = SupportedSimdLevel() - 1; level >= LowestSimdLevel(); --level)
        if (best[level] < best[fastest]) fastest = level;
    return static_cast<TSimdLevel>(fastest);
}

void ChooseKernelLevels(TKernelProbe FieldProbe) {
    static std::atomic<bool> done{false};
    if (LowestSimdLevel() == SupportedSimdLevel() || KernelLevelsSet() || done.exchange(true)) return;
    const TSimdLevel surface = FastestLevel(ProbeSurfaceKernels), field = FastestLevel(FieldProbe);
    gLevel[kSurfaceKernels].store(surface, std::memory_order_relaxed);
    gLevel[kFieldKernels].store(field, std::memory_order_relaxed);
}

const char* SimdLevelName(TSimdLevel Level) {
    switch (Level) {
    case kSimdPortable: return "portable";
    case kSimdSse2: return SORVEL2_X86_SIMD ? "sse2" : "simd128";
    case kSimdAvx2: return "avx2";
    case kSimdAvx512: return "avx512";
    }
    return "?";
}
