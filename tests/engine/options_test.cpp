#include "app/options.h"
#include "app/saver_settings.h"

#include "platform/platform.h"
#include "scene/state.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class OptionsFile : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("sorvel2-options-" + std::to_string(getpid()) + "-" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Write(const std::string& bytes) {
        const fs::path p = dir_ / "options.txt";
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }
    // Reads the bytes as a file; returns the error number (0 on success).
    int Load(const std::string& bytes) { return LoadOptions(Write(bytes).c_str(), values_); }
    std::vector<std::int32_t> Values() const { return {std::begin(values_.Value), std::end(values_.Value)}; }

    fs::path dir_;
    TOptionValues values_{};
};

using V = std::vector<std::int32_t>;

TEST_F(OptionsFile, SeparatorsOfAnyKindAndLayout) {
    ASSERT_EQ(Load("640 480 0 10 40"), 0);
    EXPECT_EQ(Values(), (V{640, 480, 0, 10, 40}));
    ASSERT_EQ(Load("640\r\n480\r\n\r\n0\n\t10\n40\n"), 0);
    EXPECT_EQ(Values(), (V{640, 480, 0, 10, 40}));
    ASSERT_EQ(Load(std::string("\x01" "1\x00" "2\x1f" "3\x7f", 8)), kErrorInvalidNumber) << "0x7F is no separator";
    ASSERT_EQ(Load(std::string("\x01" "1\x00" "2\x1f" "3 4\x20" "5", 11)), 0);
    EXPECT_EQ(Values(), (V{1, 2, 3, 4, 5}));
}

TEST_F(OptionsFile, MissingValuesReadAsZero) {
    ASSERT_EQ(Load(""), 0);
    EXPECT_EQ(Values(), (V{0, 0, 0, 0, 0}));
    ASSERT_EQ(Load(" \n\t\r\n "), 0);
    EXPECT_EQ(Values(), (V{0, 0, 0, 0, 0}));
    ASSERT_EQ(Load("800 600 1"), 0);
    EXPECT_EQ(Values(), (V{800, 600, 1, 0, 0}));
}

TEST_F(OptionsFile, CtrlZEndsTheDataAndTrailingTextIsNeverRead) {
    ASSERT_EQ(Load("640 480\x1a" "7 10 40"), 0);
    EXPECT_EQ(Values(), (V{640, 480, 0, 0, 0}));
    ASSERT_EQ(Load("640 480\x1a" "garbage"), 0);
    ASSERT_EQ(Load("1 2 3 4 5 this is not a number $$$"), 0);
    EXPECT_EQ(Values(), (V{1, 2, 3, 4, 5}));
    ASSERT_EQ(Load("1 2 3 4 5x"), kErrorInvalidNumber) << "glued text belongs to the fifth token";
}

TEST_F(OptionsFile, TokensAreCutAt32Bytes) {
    // 32 zeros then 640: the first token is the 32 zeros, 640 the next value.
    ASSERT_EQ(Load(std::string(32, '0') + "640 480"), 0);
    EXPECT_EQ(Values(), (V{0, 640, 480, 0, 0}));
    ASSERT_EQ(Load("$" + std::string(31, '0') + "280"), 0);
    EXPECT_EQ(Values(), (V{0, 280, 0, 0, 0})) << "the cut-off digits form a decimal token";
}

TEST_F(OptionsFile, ValuesSpanningTheReadBuffer) {
    // The file is read 128 bytes at a time; tokens across the boundary stay whole.
    std::string text(126, ' ');
    text += "12345 67";
    ASSERT_EQ(Load(text), 0);
    EXPECT_EQ(Values(), (V{12345, 67, 0, 0, 0}));
    std::string big(1000, '\n');
    big += "1\n2\n3\n4\n5\n";
    ASSERT_EQ(Load(big), 0);
    EXPECT_EQ(Values(), (V{1, 2, 3, 4, 5}));
}

TEST_F(OptionsFile, InvalidTokensAre106) {
    for (const char* bad : {"width=640", "640px", "640.0", "-", "+", "$", "x", "0x", "-$10", "+0x10",
                            "2147483648", "-2147483649", "$100000000", "0x1G", "4294967296", "--1", "1e3"}) {
        EXPECT_EQ(Load(std::string("1 ") + bad), kErrorInvalidNumber) << bad;
    }
    EXPECT_EQ(Load("1 2 bogus 4 5"), kErrorInvalidNumber) << "the third value is checked too";
}

TEST(OptionToken, DecimalAndHexadecimalForms) {
    const std::pair<const char*, std::int32_t> good[] = {
        {"$280", 640},         {"0x280", 640},        {"0X280", 640},     {"x280", 640},
        {"X280", 640},         {"-0", 0},             {"007", 7},         {"+42", 42},
        {"2147483647", 2147483647}, {"-2147483648", INT32_MIN}, {"$FFFFFFFF", -1}, {"0xffffffff", -1},
        {"$7fffffff", 2147483647}, {"$00000000000000000001", 1}, {"0", 0}, {"-214748364", -214748364},
    };
    for (auto [token, want] : good) {
        std::int32_t got = 12345;
        EXPECT_TRUE(ConvertOptionToken(token, std::strlen(token), got)) << token;
        EXPECT_EQ(got, want) << token;
    }
}

TEST(OptionsFileErrors, OperatingSystemCodes) {
    TOptionValues v{};
    const fs::path dir = fs::temp_directory_path() / ("sorvel2-options-errors-" + std::to_string(getpid()));
    fs::create_directories(dir);
    EXPECT_EQ(LoadOptions((dir / "missing.txt").c_str(), v), 2);
    EXPECT_EQ(LoadOptions((dir / "no-such-folder" / "options.txt").c_str(), v), 3);
    EXPECT_EQ(LoadOptions(dir.c_str(), v), 5) << "a folder cannot be opened as a file";
    fs::remove_all(dir);
}

TEST(OptionsFileDeathTest, ReadOptionsUsesTheWorkingDirectory) {
    const fs::path dir = fs::temp_directory_path() / ("sorvel2-options-cwd-" + std::to_string(getpid()));
    fs::create_directories(dir / "empty");
    std::ofstream(dir / "options.txt") << "1024 768 0 7 33\n";
    const fs::path old = fs::current_path();

    fs::current_path(dir);
    ReadOptions();
    EXPECT_EQ(ScreenWidth, 1024);
    EXPECT_EQ(ScreenHeight, 768);
    EXPECT_EQ(BallCount, 7);
    EXPECT_EQ(GridSize, 33);

    fs::current_path(dir / "empty");
    EXPECT_EXIT(ReadOptions(), testing::ExitedWithCode(2), "^Error: Runtime error   2 at [0-9A-F]{8}\n$");
    std::ofstream("options.txt") << "640 480 0 10 forty";
    EXPECT_EXIT(ReadOptions(), testing::ExitedWithCode(106), "^Error: Runtime error 106 at [0-9A-F]{8}\n$");

    fs::current_path(old);
    fs::remove_all(dir);
}

// --- The savers' settings ----------------------------------------------------

// Every way a value reaches a saver (its command line, its dialog) goes
// through ParseSaverValue: only a whole decimal number within the range.
TEST(SaverSettings, ParseTakesWholeDecimalNumbersWithinTheRangeOnly) {
    const struct {
        const char* Text;
        bool Taken;
        std::int32_t Value;
    } cases[] = {
        {"1", true, 1}, {"100", true, 100}, {"+42", true, 42}, {"007", true, 7},
        {"0", false, 0}, {"101", false, 0}, {"-1", false, 0}, {"", false, 0}, {"+", false, 0}, {"-", false, 0},
        {" 5", false, 0}, {"5 ", false, 0}, {"5x", false, 0}, {"0x10", false, 0}, {"1e2", false, 0},
        {"4294967297", false, 0}, {"99999999999999999999999", false, 0}, {"5\n", false, 0}, {"\x01" "5", false, 0},
    };
    for (const auto& c : cases) {
        std::int32_t out = -7;
        EXPECT_EQ(ParseSaverValue(c.Text, kSaverMinBalls, kSaverMaxBalls, out), c.Taken) << '"' << c.Text << '"';
        EXPECT_EQ(out, c.Taken ? c.Value : -7) << '"' << c.Text << "\" is written only when taken";
    }
    std::int32_t out = -7;
    EXPECT_FALSE(ParseSaverValue(nullptr, 1, 10, out));
    EXPECT_TRUE(ParseSaverValue("-3", -5, 5, out));
    EXPECT_EQ(out, -3);
    EXPECT_TRUE(ParseSaverValue("-2147483648", INT32_MIN, INT32_MAX, out));
    EXPECT_EQ(out, INT32_MIN);
}

// Stored values outside the range fall back to the defaults, one by one; the
// defaults are the shipped demo's and lie inside the ranges.
TEST(SaverSettings, StoredValuesOutOfRangeBecomeTheDefaults) {
    EXPECT_EQ(DefaultSaverSettings().Balls, 10);
    EXPECT_EQ(DefaultSaverSettings().Grid, 40);
    const struct {
        std::int32_t Balls, Grid, WantBalls, WantGrid;
    } cases[] = {
        {1, 4, 1, 4}, {100, 128, 100, 128}, {0, 40, 10, 40}, {101, 3, 10, 40}, {-5, 129, 10, 40},
        {INT32_MIN, INT32_MAX, 10, 40}, {50, 0, 50, 40}, {0, 64, 10, 64},
    };
    for (const auto& c : cases) {
        const TSaverSettings s = CheckedSaverSettings(c.Balls, c.Grid);
        EXPECT_EQ(s.Balls, c.WantBalls) << c.Balls << " " << c.Grid;
        EXPECT_EQ(s.Grid, c.WantGrid) << c.Balls << " " << c.Grid;
    }
}

} // namespace
