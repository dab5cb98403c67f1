#include "runtime/runtime.h"

#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/resource.h>

namespace {

std::string Report(int code, std::uint32_t location) {
    char text[kRuntimeErrorTextSize + 1];
    FormatRuntimeError(code, location, text);
    return text;
}

TEST(RuntimeErrorReport, NumberEndsAtCharacter17AndLocationIsEightHexDigits) {
    EXPECT_EQ(Report(2, 0), "Runtime error   2 at 00000000");
    EXPECT_EQ(Report(106, 0x1A2B), "Runtime error 106 at 00001A2B");
    EXPECT_EQ(Report(203, 0xDEADBEEF), "Runtime error 203 at DEADBEEF");
    EXPECT_EQ(Report(32, 0x00abcdef), "Runtime error  32 at 00ABCDEF");
    for (int code : {0, 5, 99, 201, 255}) {
        const std::string t = Report(code, 0x12345678);
        ASSERT_EQ(t.size(), 29u);
        EXPECT_EQ(t.substr(0, 13), "Runtime error");
        EXPECT_EQ(t[13], ' ');
        EXPECT_EQ(t[17], ' ');
        EXPECT_EQ(std::stoi(t.substr(13, 4)), code);
        EXPECT_NE(t[16], ' ');
        EXPECT_EQ(t.substr(18), "at 12345678");
    }
}

TEST(RuntimeErrorReport, ArrayLengthRule) {
    EXPECT_EQ(CheckArrayLength(0, 4), 0);
    EXPECT_EQ(CheckArrayLength(-1, 4), kErrorRangeCheck);
    EXPECT_EQ(CheckArrayLength(0x7FFFFFFF / 4, 4), 0);
    EXPECT_EQ(CheckArrayLength(0x7FFFFFFF / 4 + 1, 4), kErrorRangeCheck);
    EXPECT_EQ(CheckArrayLength(0x7FFFFFFF, 1), 0);
    EXPECT_EQ(CheckArrayLength(0x80000000LL, 1), kErrorRangeCheck);
    EXPECT_EQ(CheckArrayLength(INT64_MIN, 1), kErrorRangeCheck);
}

TEST(RuntimeErrorReport, OsErrorCodesKeepTheirLowByteButNeverReadAsSuccess) {
    EXPECT_EQ(OsErrorNumber(2), 2);
    EXPECT_EQ(OsErrorNumber(32), 32);
    EXPECT_EQ(OsErrorNumber(1117), 93);
    EXPECT_EQ(OsErrorNumber(256), 255);
    EXPECT_EQ(OsErrorNumber(0x12345600u), 255);
}

TEST(RuntimeErrorReportDeathTest, RunErrorShowsTheBoxLineAndExitsWithTheNumber) {
    EXPECT_EXIT(RunError(201), testing::ExitedWithCode(201),
                "^Error: Runtime error 201 at [0-9A-F]{8}\n$");
}

// A failure while the report is under way (here in the finalisation after
// the box, as memory running out in a destructor would report) shows no
// second report and keeps the first number.
TEST(RuntimeErrorReportDeathTest, AFailureDuringTheReportKeepsTheFirstNumber) {
    auto twice = [] {
        std::atexit([] { RunError(kErrorOutOfMemory); });
        RunError(kErrorRangeCheck);
    };
    EXPECT_EXIT(twice(), testing::ExitedWithCode(kErrorRangeCheck), "^Error: Runtime error 201 at [0-9A-F]{8}\n$");
}

TEST(RuntimeErrorReportDeathTest, ArraysRefuseBadLengths) {
    TArray<double> a;
    EXPECT_EXIT(a.Create(-1), testing::ExitedWithCode(201), "Runtime error 201 at");
    EXPECT_EXIT(a.Create(0x10000000), testing::ExitedWithCode(201), "Runtime error 201 at");
    a.Create(3);
    ASSERT_EQ(a.Count(), 3);
    for (double v : a) EXPECT_EQ(v, 0.0);
}

#if !SORVEL2_ASAN
TEST(RuntimeErrorReportDeathTest, ExhaustedMemoryIs203) {
    auto exhaust = [] {
        rlimit lim{512u << 20, 512u << 20};
        setrlimit(RLIMIT_AS, &lim);
        TArray<char> big;
        big.Create(0x7FFFFFFF); // 2 GiB of address space, over the limit
    };
    EXPECT_EXIT(exhaust(), testing::ExitedWithCode(203), "Runtime error 203 at");
}
#endif

} // namespace
