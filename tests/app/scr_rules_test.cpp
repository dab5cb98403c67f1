// The Windows screen saver's rules, which need no Windows: its command line
// (every form Windows uses, and what it must refuse), the pointer's slack,
// and the frame pacer (the rhythm, a late frame, and a swap that claims to
// wait but does not).
#include "app/scr_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

TScrCommand Parse(std::vector<const char*> Arguments) {
    return ParseScrCommand(static_cast<int>(Arguments.size()), Arguments.data());
}

struct TAccepted {
    std::vector<const char*> Arguments;
    TScrAction Action;
    std::uintptr_t Window;
};

TEST(ScrCommand, WindowsForms) {
    const TAccepted accepted[] = {
        {{}, TScrAction::Configure, 0},
        {{"/s"}, TScrAction::Run, 0},
        {{"/S"}, TScrAction::Run, 0},
        {{"-s"}, TScrAction::Run, 0},
        {{"-S"}, TScrAction::Run, 0},
        {{"/p", "1234"}, TScrAction::Preview, 1234},
        {{"/P", "66022"}, TScrAction::Preview, 66022},
        {{"/p:1234"}, TScrAction::Preview, 1234},
        {{"-p:4294967295"}, TScrAction::Preview, 4294967295u},
        {{"/c"}, TScrAction::Configure, 0},
        {{"/C:398"}, TScrAction::Configure, 398},
        {{"-c"}, TScrAction::Configure, 0},
    };
    for (const TAccepted& row : accepted) {
        const TScrCommand command = Parse(row.Arguments);
        const std::string what = row.Arguments.empty() ? "(none)" : row.Arguments[0];
        EXPECT_EQ(command.Action, row.Action) << what;
        EXPECT_EQ(command.Window, row.Window) << what;
        EXPECT_EQ(command.Refused, nullptr) << what;
        EXPECT_EQ(command.Problem, TScrProblem::None) << what;
    }
}

struct TRefused {
    std::vector<const char*> Arguments;
    int RefusedIndex;  // which argument the refusal names
    TScrProblem Problem;
};

TEST(ScrCommand, RefusesAnythingElseNamingTheArgument) {
    constexpr TScrProblem kUnknown = TScrProblem::UnknownArgument;
    constexpr TScrProblem kBad = TScrProblem::BadWindow;
    constexpr TScrProblem kExtra = TScrProblem::ExtraArgument;
    const TRefused refused[] = {
        {{"s"}, 0, kUnknown},  // no switch character
        {{"/"}, 0, kUnknown},
        {{"-"}, 0, kUnknown},
        {{""}, 0, kUnknown},
        {{"/x"}, 0, kUnknown},
        {{"/a"}, 0, kUnknown},         // Windows 9x's password change: not this saver's
        {{"/settings"}, 0, kUnknown},  // not read letter by letter
        {{"/s1"}, 0, kUnknown},
        {{"/s", "/p"}, 1, kExtra},     // one command only
        {{"/p"}, 0, TScrProblem::NoWindow},
        {{"/p", "12x"}, 1, kBad},
        {{"/p", "-5"}, 1, kBad},
        {{"/p", "+5"}, 1, kBad},
        {{"/p", "0"}, 1, kBad},        // no window is 0
        {{"/p", ""}, 1, kBad},
        {{"/p", "123456789012345678901234567890"}, 1, kBad},  // overflows any pointer
        {{"/p:"}, 0, kBad},
        {{"/p:12 "}, 0, kBad},
        {{"/p=12"}, 0, kUnknown},
        {{"/p", "12", "13"}, 2, kExtra},
        {{"/p:12", "13"}, 1, kExtra},
        {{"/c:"}, 0, kBad},
        {{"/c:abc"}, 0, kBad},
        {{"/c1"}, 0, kUnknown},
        {{"/c", "1234"}, 1, kExtra},
    };
    for (const TRefused& row : refused) {
        const TScrCommand command = Parse(row.Arguments);
        const std::string what = row.Arguments[0];
        EXPECT_EQ(command.Action, TScrAction::Unknown) << what;
        EXPECT_EQ(command.Window, 0u) << what;
        EXPECT_EQ(command.Refused, row.Arguments[static_cast<std::size_t>(row.RefusedIndex)]) << what;
        EXPECT_EQ(command.Problem, row.Problem) << what;
    }
}

TEST(ScrCommand, LargestHandleThatFitsAPointer) {
    const std::string largest = std::to_string(UINTPTR_MAX);
    const std::string over = largest.substr(0, largest.size() - 1) + std::to_string(largest.back() - '0' + 1);
    EXPECT_EQ(Parse({"/p", largest.c_str()}).Window, UINTPTR_MAX);
    EXPECT_EQ(Parse({"/p", over.c_str()}).Action, TScrAction::Unknown);
}

TEST(ScrPointer, MovesWithinTheSlackDoNotCount) {
    EXPECT_FALSE(PointerMovedAway(400, 300, 400, 300));
    EXPECT_FALSE(PointerMovedAway(400, 300, 400 + kScrPointerSlack, 300 - kScrPointerSlack));
    EXPECT_TRUE(PointerMovedAway(400, 300, 400 + kScrPointerSlack + 1, 300));
    EXPECT_TRUE(PointerMovedAway(400, 300, 400, 300 - kScrPointerSlack - 1));
    EXPECT_TRUE(PointerMovedAway(400, 300, 420, 300));
    // Monitors left of the primary one have negative coordinates.
    EXPECT_FALSE(PointerMovedAway(-1900, -10, -1897, -12));
    EXPECT_TRUE(PointerMovedAway(INT32_MIN, 0, INT32_MAX, 0));
}

constexpr std::int64_t kPeriod = 16667;

TEST(ScrPacer, KeepsTheRhythmOnAverageAtCoarseWakeUps) {
    TFramePacer pacer(kPeriod, false);
    EXPECT_FALSE(pacer.SwapPaces());
    EXPECT_EQ(pacer.Wait(1000), 0);
    pacer.Started(1000);
    EXPECT_EQ(pacer.Wait(1000), kPeriod);
    EXPECT_EQ(pacer.Wait(1000 + kPeriod - 1), 1);
    // Woken only at ticks of 15625 us, as Windows does by default: frames
    // start at the first tick after each deadline, and over a second
    // about 60 of them start.
    std::int64_t now = 1000;
    int frames = 1;
    while (now < 1000 + 1000000) {
        now += 15625;
        if (pacer.Wait(now) == 0) {
            pacer.Started(now);
            ++frames;
        }
    }
    EXPECT_GE(frames, 59);
    EXPECT_LE(frames, 61);
}

TEST(ScrPacer, ALateFrameShortensTheNextWaitButASlowOneRestartsTheRhythm) {
    TFramePacer pacer(kPeriod, false);
    pacer.Started(0);
    pacer.Started(kPeriod + 5000);  // 5 ms late
    EXPECT_EQ(pacer.Wait(kPeriod + 5000), kPeriod - 5000);
    // A frame that took three periods: the next waits a whole period, no burst.
    const std::int64_t late = 2 * kPeriod + 3 * kPeriod;
    EXPECT_EQ(pacer.Wait(late), 0);
    pacer.Started(late);
    EXPECT_EQ(pacer.Wait(late), kPeriod);
}

TEST(ScrPacer, ASwapThatWaitsIsTrustedForGood) {
    TFramePacer pacer(kPeriod, true);
    // A 60 Hz display: the swap takes the whole period.
    for (std::int64_t frame = 0; frame < 200; ++frame) {
        const std::int64_t now = frame * kPeriod;
        ASSERT_EQ(pacer.Wait(now), 0) << frame;
        pacer.Started(now);
        ASSERT_TRUE(pacer.SwapPaces()) << frame;
    }
    // Later frames faster than any display (a driver setting changed, say)
    // are no longer timed: the decision was made.
    for (std::int64_t frame = 0; frame < 200; ++frame) pacer.Started(200 * kPeriod + frame * 100);
    EXPECT_TRUE(pacer.SwapPaces());
    EXPECT_EQ(pacer.Wait(200 * kPeriod + 200 * 100), 0);
}

TEST(ScrPacer, ASwapThatDoesNotWaitIsFoundOutAndCapped) {
    TFramePacer pacer(kPeriod, true);
    // 1000 frames a second: the request was taken and ignored.
    std::int64_t now = 0;
    for (std::int32_t frame = 0; frame < kScrProbeFrames; ++frame, now += 1000) {
        ASSERT_EQ(pacer.Wait(now), 0);
        pacer.Started(now);
        ASSERT_TRUE(pacer.SwapPaces());
    }
    EXPECT_EQ(pacer.Wait(now), 0);
    pacer.Started(now);
    EXPECT_FALSE(pacer.SwapPaces());
    EXPECT_EQ(pacer.Wait(now + 1000), kPeriod - 1000);
    // A 250 Hz display, the fastest a swap is believed for, is trusted.
    TFramePacer fast(kPeriod, true);
    for (std::int32_t frame = 0; frame <= kScrProbeFrames; ++frame) {
        fast.Started(frame * kScrFastestRefreshMicroseconds);
    }
    EXPECT_TRUE(fast.SwapPaces());
    TFramePacer faster(kPeriod, true);
    for (std::int32_t frame = 0; frame <= kScrProbeFrames; ++frame) {
        faster.Started(frame * (kScrFastestRefreshMicroseconds - 1));
    }
    EXPECT_FALSE(faster.SwapPaces());
}

} // namespace
