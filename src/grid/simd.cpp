#include "grid/simd.h"

#include <atomic>

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

// -1 until first asked.
std::atomic<int> gActive{-1};

} // namespace

TSimdLevel SupportedSimdLevel() {
    static const TSimdLevel supported = Detect();
    return supported;
}

TSimdLevel ActiveSimdLevel() {
    int level = gActive.load(std::memory_order_relaxed);
    if (level < 0) {
        level = SupportedSimdLevel();
        gActive.store(level, std::memory_order_relaxed);
    }
    return static_cast<TSimdLevel>(level);
}

bool SetSimdLevel(TSimdLevel Level) {
    if (Level < kSimdPortable || Level > SupportedSimdLevel()) return false;
    gActive.store(Level, std::memory_order_relaxed);
    return true;
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
