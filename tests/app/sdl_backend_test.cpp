// The SDL backend's own behaviour, on a private Xvfb started for this test
// program: display modes, the window it makes, the WGL-style context calls,
// the translation of SDL events into window messages and the order of the
// layer's queue, message boxes reduced to their stderr line, and the report
// of exhausted memory through the backend's box with no memory left.
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "support/sanitizers.h"

#include <GL/gl.h>
#include <SDL.h>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kScreenWidth = 640;
constexpr int kScreenHeight = 480;

// Starts Xvfb on a display number it picks itself and stops it by its
// process id at the end.
class TXvfb : public ::testing::Environment {
public:
    void SetUp() override {
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        Pid_ = fork();
        ASSERT_GE(Pid_, 0);
        if (Pid_ == 0) {
            close(pipeFds[0]);
            const std::string fd = std::to_string(pipeFds[1]);
            const std::string screen = std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "x24";
            std::freopen("/dev/null", "w", stderr);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                   "-br", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        std::string number;
        char c = 0;
        while (read(pipeFds[0], &c, 1) == 1 && c != '\n') number += c;
        close(pipeFds[0]);
        ASSERT_FALSE(number.empty()) << "Xvfb did not start";
        setenv("DISPLAY", (":" + number).c_str(), 1);
        unsetenv("SDL_VIDEODRIVER");
        unsetenv("WAYLAND_DISPLAY");
        setenv("SORVEL2_NO_MESSAGE_BOX", "1", 1);
    }
    void TearDown() override {
        // Off the server before it goes: Xlib ends a process whose display vanishes.
        SDL_Quit();
        if (Pid_ > 0) {
            kill(Pid_, SIGTERM);
            waitpid(Pid_, nullptr, 0);
        }
    }

private:
    pid_t Pid_ = -1;
};

DEVMODEA Mode(DWORD Width, DWORD Height, DWORD Bits) {
    DEVMODEA mode{};
    mode.dmSize = sizeof mode;
    mode.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
    mode.dmBitsPerPel = Bits;
    mode.dmPelsWidth = Width;
    mode.dmPelsHeight = Height;
    return mode;
}

PIXELFORMATDESCRIPTOR ProgramPixelFormat() {
    PIXELFORMATDESCRIPTOR format{};
    format.nSize = sizeof format;
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = 32;
    format.cDepthBits = 16;
    return format;
}

std::vector<MSG> Received;

LRESULT RecordingProc(HWND, UINT Message, WPARAM WParam, LPARAM LParam) {
    MSG msg{};
    msg.message = Message;
    msg.wParam = WParam;
    msg.lParam = LParam;
    Received.push_back(msg);
    return 0;
}

HWND MakeWindow(int Width, int Height) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RecordingProc;
    windowClass.lpszClassName = "class VORK";
    RegisterClassA(&windowClass);
    return CreateWindowExA(WS_EX_APPWINDOW, "class VORK", "", WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0,
                           Width, Height, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Takes every message the layer holds now.
std::vector<MSG> Drain() {
    std::vector<MSG> all;
    MSG msg{};
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) all.push_back(msg);
    return all;
}

class SdlBackendTest : public ::testing::Test {
protected:
    void TearDown() override {
        ChangeDisplaySettingsA(nullptr, 0);
        if (Window_ != nullptr) DestroyWindow(Window_);
        Drain();
        Received.clear();
    }
    HWND Window_ = nullptr;
};

TEST_F(SdlBackendTest, OnlyTheExactModeOfTheDisplayIsGranted) {
    static const struct {
        DWORD Width, Height, Bits;
        LONG Result;
    } kModes[] = {
        {kScreenWidth, kScreenHeight, 32, DISP_CHANGE_SUCCESSFUL},
        {800, 600, 32, DISP_CHANGE_BADMODE},
        {320, 240, 32, DISP_CHANGE_BADMODE},
        {kScreenWidth, kScreenHeight, 16, DISP_CHANGE_BADMODE},
    };
    for (const auto& m : kModes) {
        DEVMODEA mode = Mode(m.Width, m.Height, m.Bits);
        EXPECT_EQ(ChangeDisplaySettingsA(&mode, CDS_FULLSCREEN), m.Result) << m.Width << "x" << m.Height << "x" << m.Bits;
        EXPECT_EQ(ChangeDisplaySettingsA(nullptr, 0), DISP_CHANGE_SUCCESSFUL);
    }
}

// The display's own mode gives a full-screen window until the mode is
// restored; any other size a borderless window of that size.
TEST_F(SdlBackendTest, WindowIsFullScreenOnlyInTheGrantedMode) {
    static const struct {
        int Width, Height;
        LONG Result;
    } kCases[] = {{kScreenWidth, kScreenHeight, DISP_CHANGE_SUCCESSFUL}, {320, 200, DISP_CHANGE_BADMODE}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.Width);
        DEVMODEA mode = Mode(c.Width, c.Height, 32);
        ASSERT_EQ(ChangeDisplaySettingsA(&mode, CDS_FULLSCREEN), c.Result);
        Window_ = MakeWindow(c.Width, c.Height);
        ASSERT_NE(Window_, nullptr);
        ShowWindow(Window_, SW_SHOW);
        SDL_Window* window = reinterpret_cast<SDL_Window*>(Window_);
        EXPECT_EQ((SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN) != 0, c.Result == DISP_CHANGE_SUCCESSFUL);
        int w = 0, h = 0;
        SDL_GetWindowSize(window, &w, &h);
        EXPECT_TRUE(w == c.Width && h == c.Height) << w << "x" << h;
        ChangeDisplaySettingsA(nullptr, 0);
        EXPECT_EQ(SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN, 0u);
        if (c.Result != DISP_CHANGE_SUCCESSFUL) {
            EXPECT_NE(SDL_GetWindowFlags(window) & SDL_WINDOW_BORDERLESS, 0u);
        }
        DestroyWindow(Window_);
        Window_ = nullptr;
    }
}

TEST_F(SdlBackendTest, ContextCallsFollowTheWglRules) {
    Window_ = MakeWindow(320, 200);
    ASSERT_NE(Window_, nullptr);
    HDC dc = GetDC(Window_);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(wglCreateContext(dc), nullptr) << "no context before a pixel format";

    PIXELFORMATDESCRIPTOR noGL = ProgramPixelFormat();
    noGL.dwFlags = PFD_DRAW_TO_WINDOW | PFD_DOUBLEBUFFER;
    EXPECT_EQ(ChoosePixelFormat(dc, &noGL), 0);
    const PIXELFORMATDESCRIPTOR format = ProgramPixelFormat();
    const int chosen = ChoosePixelFormat(dc, &format);
    ASSERT_NE(chosen, 0);
    EXPECT_FALSE(SetPixelFormat(dc, chosen + 1, &format));
    ASSERT_TRUE(SetPixelFormat(dc, chosen, &format));
    EXPECT_FALSE(SetPixelFormat(dc, chosen, &format)) << "a window's pixel format is set once";

    HGLRC rc = wglCreateContext(dc);
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(SDL_GL_GetCurrentContext(), nullptr) << "a new context is not current";
    ASSERT_TRUE(wglMakeCurrent(dc, rc));
    EXPECT_EQ(SDL_GL_GetCurrentContext(), reinterpret_cast<SDL_GLContext>(rc));
    GLint depth = 0;
    GLboolean doubleBuffer = GL_FALSE;
    glGetIntegerv(GL_DEPTH_BITS, &depth);
    glGetBooleanv(GL_DOUBLEBUFFER, &doubleBuffer);
    EXPECT_GE(depth, 16);
    EXPECT_TRUE(doubleBuffer);
    EXPECT_TRUE(SwapBuffers(dc));
    EXPECT_TRUE(wglMakeCurrent(dc, nullptr));
    EXPECT_EQ(SDL_GL_GetCurrentContext(), nullptr);
    EXPECT_TRUE(wglDeleteContext(rc));
    EXPECT_FALSE(wglDeleteContext(nullptr));
    EXPECT_EQ(ReleaseDC(Window_, dc), 1);
    EXPECT_TRUE(DestroyWindow(Window_));
    Window_ = nullptr;
}

// Pushes an SDL event as if it had come from X.
void Push(SDL_Event Event) { ASSERT_EQ(SDL_PushEvent(&Event), 1); }

SDL_Event Key(SDL_Keycode Code) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.state = SDL_PRESSED;
    e.key.keysym.sym = Code;
    return e;
}

SDL_Event WindowEvent(HWND Window, Uint8 Kind, int Data1 = 0, int Data2 = 0) {
    SDL_Event e{};
    e.type = SDL_WINDOWEVENT;
    e.window.windowID = SDL_GetWindowID(reinterpret_cast<SDL_Window*>(Window));
    e.window.event = Kind;
    e.window.data1 = Data1;
    e.window.data2 = Data2;
    return e;
}

TEST_F(SdlBackendTest, EventsBecomeWindowMessagesAndTheQuitComesLast) {
    Window_ = MakeWindow(320, 200);
    ASSERT_NE(Window_, nullptr);
    ShowWindow(Window_, SW_SHOW);
    // Let what the X server sends about the new window arrive, then forget it.
    for (int i = 0; i < 10; ++i) {
        Drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    Push(Key(SDLK_ESCAPE));
    Push(Key(SDLK_a));
    Push(Key(SDLK_F4));
    SDL_Event quit{};
    quit.type = SDL_QUIT;
    Push(quit);
    Push(WindowEvent(Window_, SDL_WINDOWEVENT_CLOSE));
    Push(WindowEvent(Window_, SDL_WINDOWEVENT_SIZE_CHANGED, 300, 100));
    Push(WindowEvent(Window_, SDL_WINDOWEVENT_FOCUS_GAINED));
    PostQuitMessage(0);

    std::vector<MSG> got;
    for (const MSG& m : Drain()) {
        // Size reports of the window's own size may still come from the server.
        if (m.message == WM_SIZE && m.lParam == (320 | 200 << 16)) continue;
        got.push_back(m);
    }
    const struct {
        UINT Message;
        WPARAM WParam;
        LPARAM LParam;
    } kExpected[] = {
        {WM_KEYDOWN, VK_ESCAPE, 1}, {WM_KEYDOWN, 'A', 1}, {WM_KEYDOWN, 0, 1},
        {WM_CLOSE, 0, 0},           {WM_CLOSE, 0, 0},     {WM_SIZE, 0, 300 | 100 << 16},
        {WM_QUIT, 0, 0},
    };
    ASSERT_EQ(got.size(), std::size(kExpected));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].message, kExpected[i].Message) << "message " << i;
        EXPECT_EQ(got[i].wParam, kExpected[i].WParam) << "message " << i;
        EXPECT_EQ(got[i].lParam, kExpected[i].LParam) << "message " << i;
        EXPECT_EQ(got[i].hwnd, Window_) << "message " << i;
    }
}

TEST_F(SdlBackendTest, DispatchHandsQueuedMessagesToTheWindowProcedure) {
    Window_ = MakeWindow(320, 200);
    ASSERT_NE(Window_, nullptr);
    Drain();
    Received.clear();
    Push(Key(SDLK_ESCAPE));
    MSG msg{};
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, 0)) << "peek without removing";
    MSG again{};
    ASSERT_TRUE(PeekMessageA(&again, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(again.message, msg.message);
    DispatchMessageA(&again);
    ASSERT_EQ(Received.size(), 1u);
    EXPECT_EQ(Received[0].message, WM_KEYDOWN);
    EXPECT_EQ(Received[0].wParam, VK_ESCAPE);
    EXPECT_EQ(DefWindowProcA(Window_, WM_CLOSE, 0, 0), 0);
}

TEST_F(SdlBackendTest, CursorCountGoesDownAndUp) {
    EXPECT_EQ(ShowCursor(FALSE), -1);
    EXPECT_EQ(ShowCursor(TRUE), 0);
}

TEST_F(SdlBackendTest, TickCountFollowsTheClock) {
    const DWORD before = GetTickCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const DWORD elapsed = GetTickCount() - before;
    EXPECT_GE(elapsed, 50u);
    EXPECT_LT(elapsed, 60000u);
}

TEST_F(SdlBackendTest, MessageBoxWritesItsLineAndSkipsTheWindowWhenAsked) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxA(nullptr, "ErrCode:2", "Error", MB_ICONERROR), IDOK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error: ErrCode:2\n");
}

#if !SORVEL2_ASAN
// Maps the stack pages the report will use while there is room for them: a
// stack that cannot grow any further ends the process with a fault.
[[gnu::noinline]] void GrowStack() {
    volatile char pages[512 * 1024];
    for (std::size_t i = 0; i < sizeof pages; i += 4096) pages[i] = 1;
}

// Takes all the address space a limit of 64 MiB above what is mapped now
// leaves: blocks from the heap down to the smallest, then single pages, so
// that neither the heap nor a mapping (a thread's stack) has room left.
void ExhaustAddressSpace() {
    long pages = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    ASSERT_NE(statm, nullptr);
    ASSERT_EQ(std::fscanf(statm, "%ld", &pages), 1);
    std::fclose(statm);
    const rlim_t limit = static_cast<rlim_t>(pages) * 4096 + (64u << 20);
    rlimit lim{limit, limit};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &lim), 0);
    for (std::size_t size = 32u << 20; size >= 16; size /= 2)
        while (std::malloc(size) != nullptr) {}
    while (mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0) != MAP_FAILED) {}
}

// The report of exhausted memory shown through this backend's box, when no
// memory is left: not even for the box's focus helper thread (its stack), nor
// for SDL's box (no display either, so nothing waits for a key). The helper
// cannot start; that must neither throw nor allocate through operator new,
// which would call the report again from inside itself. One line, exit 203.
TEST(SdlBoxDeathTest, OutOfMemoryReportNeedsNoMemory) {
    auto report = [] {
        unsetenv("SORVEL2_NO_MESSAGE_BOX");
        unsetenv("DISPLAY");
        InitRuntime();
        GrowStack();
        ExhaustAddressSpace();
        void* volatile block = ::operator new(1u << 20);  // fails: the handler reports 203
        (void)block;
    };
    EXPECT_EXIT(report(), ::testing::ExitedWithCode(kErrorOutOfMemory), "^Error: Runtime error 203 at [0-9A-F]{8}\n$");
}
#endif

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new TXvfb);
    return RUN_ALL_TESTS();
}
