// The window and context code against the recording backend: records handed
// to the platform, the order of acquisition, every failure of the opening,
// the teardown, and the window procedure.
#include "app/program_state.h"
#include "app/window.h"
#include "platform/fake_platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

void ResetProgramState() {
    FakeReset();
    ModuleInstance = FakeInstance();
    WindowHandle = nullptr;
    DeviceContext = nullptr;
    RenderContext = nullptr;
    LoopMessage = MSG{};
}

Lines Concat(std::initializer_list<Lines> Parts) {
    Lines all;
    for (const Lines& part : Parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

const Lines kOpenTo640x480 = {
    "RegisterClassA(class VORK)",
    "ChangeDisplaySettingsA(640x480x32, 0x4) -> 0",
    "CreateWindowExA(0x40000, class VORK, \"\", 0x86000000, 0, 0, 640, 480, null, null, inst, null)",
    "GetDC(wnd)",
};

const Lines kShowAndSetUp640x480 = {
    "ShowWindow(wnd, 5)", "SetForegroundWindow(wnd)", "SetFocus(wnd)", "ShowCursor(0)",
    "ResizeView(640, 480)", "InitScene",
};

Lines CloseSequence(const char* Context) {
    return {"ChangeDisplaySettingsA(null, 0x0)",
            "ShowCursor(1)",
            "wglMakeCurrent(dc, null) -> 1",
            std::string("wglDeleteContext(") + Context + ")",
            "ReleaseDC(wnd, dc)",
            "DestroyWindow(wnd)"};
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_F(WindowTest, OpeningAcquiresEverythingInOrderAndReturnsTrue) {
    ASSERT_TRUE(OpenRenderWindow(640, 480, 32));
    const Lines expected = Concat({kOpenTo640x480,
                                   {"ChoosePixelFormat(dc) -> 1", "SetPixelFormat(dc, 1, same record) -> 1",
                                    "wglCreateContext(dc) -> rc", "wglMakeCurrent(dc, rc) -> 1"},
                                   kShowAndSetUp640x480});
    EXPECT_EQ(FakeLog(), expected);
    EXPECT_EQ(WindowHandle, FakeWindow());
    EXPECT_EQ(DeviceContext, FakeDeviceContext());
    EXPECT_EQ(RenderContext, FakeRenderContext());
    EXPECT_EQ(FakeCursorCount(), -1);
}

TEST_F(WindowTest, ClassModeAndPixelFormatRecords) {
    ASSERT_TRUE(OpenRenderWindow(1024, 768, 32));
    const WNDCLASSA& c = FakeLastClass();
    EXPECT_EQ(c.style, 0x23u);
    EXPECT_EQ(c.lpfnWndProc, &RenderWindowProc);
    EXPECT_EQ(c.cbClsExtra + c.cbWndExtra, 0);
    EXPECT_EQ(c.hInstance, FakeInstance());
    EXPECT_TRUE(c.hIcon == nullptr && c.hCursor == nullptr && c.hbrBackground == nullptr && c.lpszMenuName == nullptr);
    EXPECT_STREQ(c.lpszClassName, "class VORK");
    // The mode and pixel-format records hold the listed fields and zeros elsewhere.
    DEVMODEA mode{};
    std::memset(&mode, 0, sizeof mode);
    mode.dmSize = 156;
    mode.dmFields = 0x001C0000u;
    mode.dmBitsPerPel = 32;
    mode.dmPelsWidth = 1024;
    mode.dmPelsHeight = 768;
    EXPECT_EQ(std::memcmp(&FakeLastMode(), &mode, sizeof mode), 0);
    PIXELFORMATDESCRIPTOR format;
    std::memset(&format, 0, sizeof format);
    format.nSize = 40;
    format.nVersion = 1;
    format.dwFlags = 0x25;
    format.cColorBits = 32;
    format.cDepthBits = 16;
    EXPECT_EQ(std::memcmp(&FakeLastPixelFormat(), &format, sizeof format), 0);
}

// A display-mode answer other than DISP_CHANGE_FAILED lets the opening go on.
TEST_F(WindowTest, OnlyMinusOneFromTheModeChangeIsAFailure) {
    static const LONG kAnswers[] = {DISP_CHANGE_BADMODE, DISP_CHANGE_RESTART, -3, -4, -5};
    for (LONG answer : kAnswers) {
        ResetProgramState();
        FakeScript().ChangeDisplayResult = answer;
        EXPECT_TRUE(OpenRenderWindow(640, 480, 32)) << "answer " << answer;
        EXPECT_EQ(FakeLog().back(), "InitScene") << "answer " << answer;
    }
}

TEST_F(WindowTest, CloseGivesBackInReverseOrder) {
    ASSERT_TRUE(OpenRenderWindow(640, 480, 32));
    const std::size_t opened = FakeLog().size();
    CloseRenderWindow();
    const Lines tail(FakeLog().begin() + static_cast<std::ptrdiff_t>(opened), FakeLog().end());
    EXPECT_EQ(tail, CloseSequence("rc"));
    EXPECT_EQ(FakeCursorCount(), 0);
}

// ---------------------------------------------------------------------------
// The failure table: what is torn down, which box, and the result.
// ---------------------------------------------------------------------------
struct TFailureRow {
    const char* Name;
    void (*Arrange)(TFakeScript&);
    Lines Calls;     // after kOpenTo640x480
    const char* Context;  // what wglDeleteContext gets in the teardown
    const char* Box;      // nullptr: no box
};

const TFailureRow kFailures[] = {
    {"ChoosePixelFormat returns 0", [](TFakeScript& s) { s.ChoosePixelFormatResult = 0; },
     {"ChoosePixelFormat(dc) -> 0"}, "null", "ErrCode:1"},
    {"SetPixelFormat fails", [](TFakeScript& s) { s.SetPixelFormatResult = FALSE; },
     {"ChoosePixelFormat(dc) -> 1", "SetPixelFormat(dc, 1, same record) -> 0"}, "null", "ErrCode:2"},
    {"wglCreateContext returns null", [](TFakeScript& s) { s.CreateContextFails = true; },
     {"ChoosePixelFormat(dc) -> 1", "SetPixelFormat(dc, 1, same record) -> 1", "wglCreateContext(dc) -> null"},
     "null", "ErrCode:3"},
    {"wglMakeCurrent fails", [](TFakeScript& s) { s.MakeCurrentResult = FALSE; },
     {"ChoosePixelFormat(dc) -> 1", "SetPixelFormat(dc, 1, same record) -> 1", "wglCreateContext(dc) -> rc",
      "wglMakeCurrent(dc, rc) -> 0"},
     "rc", nullptr},
};

TEST_F(WindowTest, EachContextFailureTearsDownBeforeItsBoxAndReturnsFalse) {
    for (const TFailureRow& row : kFailures) {
        ResetProgramState();
        row.Arrange(FakeScript());
        EXPECT_FALSE(OpenRenderWindow(640, 480, 32)) << row.Name;
        Lines expected = Concat({kOpenTo640x480, row.Calls, CloseSequence(row.Context)});
        if (row.Box != nullptr) expected.push_back(std::string("MessageBoxA(null, ") + row.Box + ", Error, 0x10)");
        EXPECT_EQ(FakeLog(), expected) << row.Name;
        EXPECT_EQ(FakeCursorCount(), 1) << row.Name << ": the cursor was never hidden";
    }
}

TEST_F(WindowTest, RefusedModeChangeShowsItsBoxAndMakesNoWindow) {
    FakeScript().ChangeDisplayResult = DISP_CHANGE_FAILED;
    EXPECT_FALSE(OpenRenderWindow(640, 480, 32));
    const Lines expected = {"RegisterClassA(class VORK)", "ChangeDisplaySettingsA(640x480x32, 0x4) -> -1",
                            "MessageBoxA(null, Fullscreen mode - failed, Error, 0x10)"};
    EXPECT_EQ(FakeLog(), expected);
    EXPECT_EQ(WindowHandle, nullptr);
}

// ---------------------------------------------------------------------------
// The window procedure.
// ---------------------------------------------------------------------------
struct TProcRow {
    const char* Name;
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
    Lines Calls;
};

const TProcRow kProcRows[] = {
    {"Escape", WM_KEYDOWN, VK_ESCAPE, 0x00010001, {"PostQuitMessage(0)"}},
    {"letter A", WM_KEYDOWN, 'A', 0x001E0001, {}},
    {"space", WM_KEYDOWN, 0x20, 0x00390001, {}},
    {"key code 0", WM_KEYDOWN, 0, 1, {}},
    {"close", WM_CLOSE, 0, 0, {"PostQuitMessage(0)"}},
    {"size 800 x 600", WM_SIZE, 0, 800 | 600 << 16, {"ResizeView(800, 600)"}},
    {"size with height 0", WM_SIZE, 0, 800, {"ResizeView(800, 0)"}},
    {"size with width 0", WM_SIZE, 0, 600 << 16, {"ResizeView(0, 600)"}},
    {"size words are unsigned", WM_SIZE, 0, 0xFFFF | 0x8000 << 16, {"ResizeView(65535, 32768)"}},
    {"paint", 0x000F, 1, 2, {"DefWindowProcA(wnd, 0xF, 0x1, 0x2)"}},
    {"character", 0x0102, 'a', 1, {"DefWindowProcA(wnd, 0x102, 0x61, 0x1)"}},
    {"quit", WM_QUIT, 0, 0, {"DefWindowProcA(wnd, 0x12, 0x0, 0x0)"}},
};

TEST_F(WindowTest, WindowProcedureTable) {
    for (const TProcRow& row : kProcRows) {
        ResetProgramState();
        EXPECT_EQ(RenderWindowProc(FakeWindow(), row.Message, row.WParam, row.LParam), 0) << row.Name;
        EXPECT_EQ(FakeLog(), row.Calls) << row.Name;
    }
}

TEST_F(WindowTest, SizeSentWhileShowingResizesBeforeTheExplicitResize) {
    FakeScript().SizeOnShow = true;
    ASSERT_TRUE(OpenRenderWindow(640, 480, 32));
    const Lines& log = FakeLog();
    const Lines expected = {"ShowWindow(wnd, 5)", "ResizeView(640, 480)", "SetForegroundWindow(wnd)", "SetFocus(wnd)"};
    ASSERT_GE(log.size(), 7u);
    EXPECT_EQ(Lines(log.end() - 7, log.end() - 3), expected);
    const Lines last = {"ShowCursor(0)", "ResizeView(640, 480)", "InitScene"};
    EXPECT_EQ(Lines(log.end() - 3, log.end()), last);
}

} // namespace
