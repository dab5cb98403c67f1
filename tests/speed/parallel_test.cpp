// The worker threads behind the fast paths: every part runs exactly once,
// results are visible to the caller afterwards, and the thread count obeys
// its setter.
#include "grid/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(Parallel, ThreadCountIsCappedAndDefaultsToTheHardware) {
    SetThreadCount(1);
    EXPECT_EQ(ThreadCount(), 1);
    SetThreadCount(3);
    const int three = ThreadCount();
    EXPECT_TRUE(three == 3 || three == 1) << "3, or 1 in a build without threads";
    SetThreadCount(1000);
    EXPECT_LE(ThreadCount(), kMaxThreads);
    SetThreadCount(0);
    EXPECT_GE(ThreadCount(), 1);
    EXPECT_LE(ThreadCount(), kMaxThreads);
    if (three == 3) {
        const unsigned hw = std::thread::hardware_concurrency();
        if (hw >= 1 && hw <= static_cast<unsigned>(kMaxThreads)) {
            EXPECT_EQ(ThreadCount(), static_cast<int>(hw));
        }
    }
}

TEST(Parallel, EveryPartRunsOnceAndItsWritesAreSeenAfterwards) {
    for (int threads : {1, 2, 3, 5}) {
        SetThreadCount(threads);
        for (int parts = 1; parts <= 3 * ThreadCount(); ++parts)
            for (int round = 0; round < 50; ++round) {
                std::vector<int> runs(static_cast<std::size_t>(parts), 0);
                auto body = [&](int part) { runs[static_cast<std::size_t>(part)] += 1 + round; };
                RunParts(parts, body);
                for (int p = 0; p < parts; ++p)
                    ASSERT_EQ(runs[static_cast<std::size_t>(p)], 1 + round) << threads << " " << parts << " " << p;
            }
    }
    SetThreadCount(0);
}

TEST(Parallel, StartedPartsRunAlongsideTheCallerAndAreDoneAfterWaiting) {
    for (int threads : {2, 3, 4}) {
        SetThreadCount(threads);
        const int parts = ThreadCount() - 1;
        if (parts < 1) continue;
        for (int round = 0; round < 50; ++round) {
            std::vector<std::int64_t> sums(static_cast<std::size_t>(parts), 0);
            auto body = [&](int part) {
                std::int64_t s = 0;
                for (int n = 0; n <= 1000 * (part + 1); ++n) s += n;
                sums[static_cast<std::size_t>(part)] = s;
            };
            StartParts(parts, body);
            WaitParts();
            for (int p = 0; p < parts; ++p) {
                const std::int64_t top = 1000 * (p + 1);
                ASSERT_EQ(sums[static_cast<std::size_t>(p)], top * (top + 1) / 2) << threads << " " << p;
            }
        }
    }
    SetThreadCount(0);
}

TEST(Parallel, PartRangesTileTheWholeRangeInOrder) {
    const std::int64_t counts[] = {0, 1, 2, 7, 64, 129, 1000003};
    for (std::int64_t count : counts)
        for (int parts = 1; parts <= kMaxThreads; ++parts) {
            std::int64_t expected = 0;
            for (int p = 0; p < parts; ++p) {
                std::int64_t first, last;
                PartRange(count, p, parts, first, last);
                EXPECT_EQ(first, expected) << count << " " << parts << " " << p;
                EXPECT_LE(last - first, count / parts + 1);
                EXPECT_GE(last - first, count / parts);
                expected = last;
            }
            EXPECT_EQ(expected, count);
        }
}

TEST(Parallel, SmallJobsStayOnTheCallingThread) {
    SetThreadCount(4);
    SetParallelGrain(1000);
    EXPECT_EQ(PartsFor(0), 1);
    EXPECT_EQ(PartsFor(1999), 1);
    EXPECT_EQ(PartsFor(2000), std::min(2, ThreadCount()));
    EXPECT_EQ(PartsFor(1000000), ThreadCount());
    SetThreadCount(1);
    EXPECT_EQ(PartsFor(1000000), 1);
    SetParallelGrain(32 * 1024);
    SetThreadCount(0);
}

} // namespace
