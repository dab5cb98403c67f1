// Shared by the bit-identity tests: every way the fast paths can run on
// this machine, and scenes to run them on.
#pragma once

#include "grid/parallel.h"
#include "grid/simd.h"
#include "scene/ball.h"
#include "scene/field.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// One way of running the fast paths: an instruction level and a thread count.
struct TSpeedConfig {
    TSimdLevel Level;
    int Threads;
    std::string Name() const { return std::string(SimdLevelName(Level)) + "/" + std::to_string(Threads) + "t"; }
};

// Every level this machine can run, each with 1, 2 and 3 threads and a
// count above the machine's cores (at least 4, at most kMaxThreads), where
// threads wait for a core and parts finish out of order. Under
// AddressSanitizer, which looks for bad memory accesses rather than bits
// that differ, every level with 1 thread and the highest also with the
// count above the cores: every kernel and both the sequential and the
// parallel code (the same for every level) still run, in a third of the time.
// Under ThreadSanitizer, which looks for threads that meet without order,
// only the highest level, with 2 threads and the count above the cores.
inline std::vector<TSpeedConfig> AllConfigs() {
    const int above = std::min(kMaxThreads, std::max(4, static_cast<int>(std::thread::hardware_concurrency()) + 1));
    std::vector<TSpeedConfig> all;
    for (int level = LowestSimdLevel(); level <= SupportedSimdLevel(); ++level) {
        const bool highest = level == SupportedSimdLevel();
        const std::vector<int> counts = SORVEL2_TSAN  ? (highest ? std::vector<int>{2, above} : std::vector<int>{})
                                        : !SORVEL2_ASAN ? std::vector<int>{1, 2, 3, above}
                                        : highest      ? std::vector<int>{1, above}
                                                       : std::vector<int>{1};
        for (int threads : counts) all.push_back({static_cast<TSimdLevel>(level), threads});
    }
    return all;
}

// Selects a configuration for the fast paths and splits even the smallest
// grid into parts; restores the defaults when it goes out of scope.
class TUseConfig {
public:
    explicit TUseConfig(const TSpeedConfig& Config) {
        EXPECT_TRUE(SetSimdLevel(Config.Level)) << Config.Name();
        SetThreadCount(Config.Threads);
        SetParallelGrain(1);
    }
    ~TUseConfig() {
        SetSimdLevel(SupportedSimdLevel());
        SetThreadCount(0);
        SetParallelGrain(32 * 1024);
    }
    TUseConfig(const TUseConfig&) = delete;
    TUseConfig& operator=(const TUseConfig&) = delete;
};

// The same 32 bits.
inline bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Count balls placed by the scene's animation at time T.
inline std::vector<TBall> SceneBalls(int Count, float T) {
    std::vector<TBall> balls(static_cast<std::size_t>(Count));
    MoveBalls(balls.data(), Count, T);
    return balls;
}
