// The frame loop and the program body against the recording backend: all
// queued messages before a frame, WM_QUIT ends at once, the elapsed time by
// unsigned subtraction, and the paths of the whole program with its exit
// code.
#include "app/program.h"
#include "app/program_state.h"
#include "app/window.h"
#include "platform/fake_platform.h"
#include "scene/state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string kPeek = "PeekMessageA(null, 0, 0, 0x1)";
const MSG kEscape = FakeMessage(WM_KEYDOWN, VK_ESCAPE, 1);
const MSG kLetterA = FakeMessage(WM_KEYDOWN, 'A', 1);
const MSG kSize = FakeMessage(WM_SIZE, 0, 320 | 200 << 16);
const MSG kClose = FakeMessage(WM_CLOSE);
const MSG kQuit = FakeMessage(WM_QUIT);

// The loop alone, with the window procedure registered and the handles set
// as after a successful opening.
class LoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeReset();
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = RenderWindowProc;
        windowClass.lpszClassName = "class VORK";
        RegisterClassA(&windowClass);
        FakeClearLog();
        WindowHandle = FakeWindow();
        DeviceContext = FakeDeviceContext();
        RenderContext = FakeRenderContext();
        ElapsedMs = 0;
    }
};

long Count(const Lines& Log, const std::string& Prefix) {
    return std::count_if(Log.begin(), Log.end(), [&](const std::string& l) { return l.rfind(Prefix, 0) == 0; });
}

TEST_F(LoopTest, AllQueuedMessagesAreHandledBeforeEachFrame) {
    FakeScript().Queue = {kLetterA, kSize};
    FakeScript().Batches = {{kLetterA}, {kEscape}};
    FakeScript().Ticks = {1016, 1033};
    RunFrameLoop(1000);
    const Lines expected = {
        kPeek + " -> 0x100", "DispatchMessageA(0x100)",
        kPeek + " -> 0x5", "DispatchMessageA(0x5)", "ResizeView(320, 200)",
        kPeek + " -> none", "GetTickCount() -> 1016", "RenderScene(16)", "SwapBuffers(dc)",
        kPeek + " -> 0x100", "DispatchMessageA(0x100)",
        kPeek + " -> none", "GetTickCount() -> 1033", "RenderScene(33)", "SwapBuffers(dc)",
        kPeek + " -> 0x100", "DispatchMessageA(0x100)", "PostQuitMessage(0)",
        kPeek + " -> 0x12",
    };
    EXPECT_EQ(FakeLog(), expected);
}

TEST_F(LoopTest, QuitAmongQueuedMessagesEndsTheLoopAtOnce) {
    FakeScript().Queue = {kLetterA, kQuit, kClose, kEscape};
    RunFrameLoop(0);
    const Lines expected = {kPeek + " -> 0x100", "DispatchMessageA(0x100)", kPeek + " -> 0x12"};
    EXPECT_EQ(FakeLog(), expected);
    EXPECT_EQ(FakeScript().Queue.size(), 2u) << "the messages after WM_QUIT stay unhandled";
    EXPECT_EQ(LoopMessage.message, WM_QUIT);
}

TEST_F(LoopTest, NoFrameAfterTheQuitMessageIsTaken) {
    FakeScript().Batches = {{kEscape, kLetterA}};
    RunFrameLoop(0);
    EXPECT_EQ(Count(FakeLog(), "RenderScene"), 1);
    EXPECT_EQ(FakeLog().back(), kPeek + " -> 0x12");
    // The quit request goes behind the key that was already queued.
    const Lines tail(FakeLog().end() - 5, FakeLog().end());
    const Lines expected = {"DispatchMessageA(0x100)", "PostQuitMessage(0)", kPeek + " -> 0x100",
                            "DispatchMessageA(0x100)", kPeek + " -> 0x12"};
    EXPECT_EQ(tail, expected);
}

TEST_F(LoopTest, CloseRequestEndsTheLoop) {
    FakeScript().Batches = {{}, {kClose}};
    RunFrameLoop(0);
    EXPECT_EQ(Count(FakeLog(), "RenderScene"), 2);
    EXPECT_EQ(Count(FakeLog(), "PostQuitMessage(0)"), 1);
    EXPECT_EQ(Count(FakeLog(), "DestroyWindow"), 0) << "the loop does not tear down";
}

// A browser runs one pass per animation frame: each pass empties the queue,
// draws exactly one frame and reports true; the pass that takes WM_QUIT
// draws nothing and reports false.
TEST_F(LoopTest, OnePassEmptiesTheQueueThenDrawsOneFrame) {
    FakeScript().Queue = {kLetterA, kSize};
    FakeScript().Batches = {{}, {kEscape}};
    FakeScript().Ticks = {1016, 1033};
    EXPECT_TRUE(RunFramePass(1000));
    const Lines first = {
        kPeek + " -> 0x100", "DispatchMessageA(0x100)",
        kPeek + " -> 0x5", "DispatchMessageA(0x5)", "ResizeView(320, 200)",
        kPeek + " -> none", "GetTickCount() -> 1016", "RenderScene(16)", "SwapBuffers(dc)",
    };
    EXPECT_EQ(FakeLog(), first);
    FakeClearLog();
    EXPECT_TRUE(RunFramePass(1000));
    EXPECT_EQ(Count(FakeLog(), "RenderScene(33)"), 1);
    FakeClearLog();
    EXPECT_FALSE(RunFramePass(1000));
    const Lines last = {kPeek + " -> 0x100", "DispatchMessageA(0x100)", "PostQuitMessage(0)", kPeek + " -> 0x12"};
    EXPECT_EQ(FakeLog(), last);
}

// ElapsedMs = tick - start modulo 2^32, read as a signed value.
struct TElapsedRow {
    std::uint32_t Start;
    DWORD Tick;
    std::int32_t Elapsed;
};
const TElapsedRow kElapsed[] = {
    {1000, 1000, 0},
    {1000, 2234, 1234},
    {0xFFFFFF9Cu, 0x00000064u, 200},          // across the wrap of the counter
    {0xFFFFFFFFu, 0x00000000u, 1},
    {0, 0x7FFFFFFFu, 0x7FFFFFFF},
    {0, 0x80000000u, INT32_MIN},               // after 2^31 ms it reads as negative
    {5, 4, -1},
};

TEST_F(LoopTest, ElapsedTimeIsTheUnsignedDifference) {
    for (const TElapsedRow& row : kElapsed) {
        SetUp();
        FakeScript().Ticks = {row.Tick};
        FakeScript().Batches = {{kEscape}};
        RunFrameLoop(row.Start);
        EXPECT_EQ(ElapsedMs, row.Elapsed) << "start " << row.Start << " tick " << row.Tick;
        EXPECT_EQ(Count(FakeLog(), "RenderScene(" + std::to_string(row.Elapsed) + ")"), 1);
    }
}

// ---------------------------------------------------------------------------
// The whole program, in a working directory holding an options.txt.
// ---------------------------------------------------------------------------
class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeReset();
        WindowHandle = nullptr;
        DeviceContext = nullptr;
        RenderContext = nullptr;
        ModuleInstance = nullptr;
        Previous_ = std::filesystem::current_path();
        Dir_ = std::filesystem::temp_directory_path() /
               ("sorvel2-app-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(Dir_);
        std::ofstream(Dir_ / "options.txt") << "800 600 0 3 8\n";
        std::filesystem::current_path(Dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(Previous_);
        std::filesystem::remove_all(Dir_);
    }
    std::filesystem::path Previous_;
    std::filesystem::path Dir_;
};

TEST_F(ProgramTest, RunsSetUpLoopAndTeardownAndExitsWithZero) {
    FakeScript().Ticks = {5000, 5007};
    FakeScript().Batches = {{kEscape}};
    EXPECT_EQ(RunProgram(), 0);
    const Lines& log = FakeLog();
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], "GetModuleHandleA((null))");
    EXPECT_EQ(log[1], "RegisterClassA(class VORK)");
    EXPECT_EQ(log[2], "ChangeDisplaySettingsA(800x600x32, 0x4) -> 0");
    EXPECT_EQ(FakeLastClass().hInstance, FakeInstance());
    const auto init = std::find(log.begin(), log.end(), "InitScene");
    ASSERT_NE(init, log.end());
    const Lines rest(init + 1, log.end());
    const Lines expected = {
        "GetTickCount() -> 5000",
        kPeek + " -> none", "GetTickCount() -> 5007", "RenderScene(7)", "SwapBuffers(dc)",
        kPeek + " -> 0x100", "DispatchMessageA(0x100)", "PostQuitMessage(0)", kPeek + " -> 0x12",
        "ChangeDisplaySettingsA(null, 0x0)", "ShowCursor(1)", "wglMakeCurrent(dc, null) -> 1",
        "wglDeleteContext(rc)", "ReleaseDC(wnd, dc)", "DestroyWindow(wnd)",
    };
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(BallCount, 3);
    EXPECT_EQ(GridSize, 8);
}

// A failed opening: no frame, no tick read, no second teardown, exit code 0.
struct TOpeningFailure {
    const char* Name;
    void (*Arrange)(TFakeScript&);
    long Teardowns;
};
const TOpeningFailure kOpeningFailures[] = {
    {"mode change refused", [](TFakeScript& s) { s.ChangeDisplayResult = DISP_CHANGE_FAILED; }, 0},
    {"no pixel format", [](TFakeScript& s) { s.ChoosePixelFormatResult = 0; }, 1},
    {"pixel format refused", [](TFakeScript& s) { s.SetPixelFormatResult = FALSE; }, 1},
    {"no context", [](TFakeScript& s) { s.CreateContextFails = true; }, 1},
    {"context not current", [](TFakeScript& s) { s.MakeCurrentResult = FALSE; }, 1},
};

TEST_F(ProgramTest, FailedOpeningDrawsNothingAndExitsWithZero) {
    for (const TOpeningFailure& row : kOpeningFailures) {
        FakeReset();
        row.Arrange(FakeScript());
        FakeScript().Batches = {{kEscape}};
        EXPECT_EQ(RunProgram(), 0) << row.Name;
        for (const char* call : {"GetTickCount", "PeekMessageA", "RenderScene", "InitScene"})
            EXPECT_EQ(Count(FakeLog(), call), 0) << row.Name << ": " << call;
        EXPECT_EQ(Count(FakeLog(), "ChangeDisplaySettingsA(null"), row.Teardowns) << row.Name;
        EXPECT_EQ(Count(FakeLog(), "DestroyWindow"), row.Teardowns) << row.Name;
    }
}

TEST_F(ProgramTest, MissingOptionsEndsWithErrorTwoBeforeAnyWindow) {
    std::filesystem::remove(Dir_ / "options.txt");
    EXPECT_EXIT(RunProgram(), ::testing::ExitedWithCode(2), "Error: Runtime error   2 at [0-9A-F]{8}");
}

TEST_F(ProgramTest, RunsAtTheSizeOfTheOptions) {
    std::ofstream(Dir_ / "options.txt", std::ios::trunc) << "$140 0xF0 7 0 1\n";
    FakeScript().Batches = {{kEscape}};
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_EQ(Count(FakeLog(), "ChangeDisplaySettingsA(320x240x32, 0x4)"), 1);
    EXPECT_EQ(Count(FakeLog(), "CreateWindowExA(0x40000, class VORK, \"\", 0x86000000, 0, 0, 320, 240,"), 1);
    EXPECT_EQ(Count(FakeLog(), "ResizeView(320, 240)"), 1);
}

} // namespace
