#include "app/scr_window.h"

#include "app/saver_settings.h"
#include "app/scr_resources.h"
#include "app/scr_rules.h"
#include "app/scr_settings.h"
#include "app/view.h"
#include "scene/scene.h"
#include "scene/state.h"

#include <cstdint>

namespace {

constexpr const char* kClassName = "sorvel2 saver";
constexpr const char* kErrorCaption = "Error";
constexpr BYTE kColourBits = 32;
constexpr BYTE kDepthBits = 16;

// The one saver window and what belongs to it; null until made.
struct TScrWindow {
    HWND Window = nullptr;
    HWND Parent = nullptr;  // the preview's host window; null full screen
    HDC DeviceContext = nullptr;
    HGLRC RenderContext = nullptr;
    POINT PointerStart{};  // where the pointer was when the saver started
};
TScrWindow Saver;

// The textures' bytes, pointing into the program's own resources (which
// stay mapped for the life of the process).
TSceneTextureBytes Textures{};

// A resource's bytes; null and 0 when it is not there (InitScene then
// reports the texture as unreadable).
const std::uint8_t* ResourceBytes(HINSTANCE Instance, int Id, std::size_t& Size) {
    Size = 0;
    const HRSRC found = FindResourceA(Instance, MAKEINTRESOURCEA(Id), MAKEINTRESOURCEA(10));  // RT_RCDATA
    if (found == nullptr) return nullptr;
    const HGLOBAL loaded = LoadResource(Instance, found);
    if (loaded == nullptr) return nullptr;
    Size = SizeofResource(Instance, found);
    return static_cast<const std::uint8_t*>(LockResource(loaded));
}

// The saver ends by destroying its window: WM_DESTROY releases the context
// and posts the quit message, whoever destroyed it (the saver on input, or
// Windows with the preview's host window).
void EndSaver() {
    if (Saver.Window != nullptr) DestroyWindow(Saver.Window);
}

void ReleaseContext() {
    if (Saver.RenderContext != nullptr) {
        wglMakeCurrent(nullptr, nullptr);
        wglDeleteContext(Saver.RenderContext);
        Saver.RenderContext = nullptr;
    }
    if (Saver.DeviceContext != nullptr) {
        ReleaseDC(Saver.Window, Saver.DeviceContext);
        Saver.DeviceContext = nullptr;
    }
}

// Input of the full-screen saver: true when it ends the saver.
bool EndsSaver(UINT Message, WPARAM WParam) {
    switch (Message) {
    case WM_MOUSEMOVE: {
        // NOTE: Windows sends a move when a window appears under a resting
        // pointer, and a jittery mouse sends small ones: only a real move
        // away from where the pointer was at start counts.
        POINT now{};
        GetCursorPos(&now);
        return PointerMovedAway(Saver.PointerStart.x, Saver.PointerStart.y, now.x, now.y);
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
        return true;
    case WM_ACTIVATEAPP:
        // Another program took the foreground (a log-on screen, a task
        // switch): the saver gives way.
        return WParam == FALSE;
    default:
        return false;
    }
}

LRESULT CALLBACK ScrWindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    switch (Message) {
    case WM_DESTROY:
        ReleaseContext();
        Saver.Window = nullptr;
        PostQuitMessage(0);
        return 0;
    case WM_SIZE:
        if (Saver.RenderContext != nullptr) ResizeView(LOWORD(LParam), HIWORD(LParam));
        return 0;
    case WM_ERASEBKGND:
        return 1;  // the frame covers every pixel
    case WM_PAINT:
        ValidateRect(Window, nullptr);  // the loop draws
        return 0;
    default:
        break;
    }
    if (Saver.Parent != nullptr) return DefWindowProcA(Window, Message, WParam, LParam);
    if (Message == WM_SYSCOMMAND && (WParam & 0xFFF0u) == SC_SCREENSAVE) return 0;  // already running
    if (Message == WM_SETCURSOR) {
        SetCursor(nullptr);
        return TRUE;
    }
    if (EndsSaver(Message, WParam)) {
        EndSaver();
        return 0;
    }
    return DefWindowProcA(Window, Message, WParam, LParam);
}

// Pixel format and OpenGL context of the window, made current; false after
// a box saying what failed, with what was made released again.
bool MakeContext() {
    Saver.DeviceContext = GetDC(Saver.Window);
    PIXELFORMATDESCRIPTOR format{};
    format.nSize = sizeof(format);
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = kColourBits;
    format.cDepthBits = kDepthBits;
    format.iLayerType = PFD_MAIN_PLANE;
    const char* failed = nullptr;
    const int chosen = ChoosePixelFormat(Saver.DeviceContext, &format);
    if (chosen == 0 || !SetPixelFormat(Saver.DeviceContext, chosen, &format)) {
        failed = "sorvel2.scr: this display offers no OpenGL pixel format it can use.";
    } else if ((Saver.RenderContext = wglCreateContext(Saver.DeviceContext)) == nullptr ||
               !wglMakeCurrent(Saver.DeviceContext, Saver.RenderContext)) {
        failed = "sorvel2.scr: no OpenGL context could be made for its window.";
    }
    if (failed == nullptr) return true;
    ReleaseContext();
    MessageBoxA(nullptr, failed, kErrorCaption, MB_OK | MB_ICONERROR);
    return false;
}

// Asks for swap interval 1; true when the driver took it, so that each
// swap waits for the display's refresh.
bool WaitForRefresh() {
    using TSwapInterval = BOOL(WINAPI*)(int);
    const auto setInterval = reinterpret_cast<TSwapInterval>(
        reinterpret_cast<void*>(wglGetProcAddress("wglSwapIntervalEXT")));
    return setInterval != nullptr && setInterval(1) != FALSE;
}

std::int64_t Microseconds(const LARGE_INTEGER& Frequency) {
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    // Whole seconds and the rest apart: count * 10^6 would overflow after
    // days of uptime.
    return count.QuadPart / Frequency.QuadPart * 1000000 +
           count.QuadPart % Frequency.QuadPart * 1000000 / Frequency.QuadPart;
}

// Frames until the quit message: every queued message first, then a frame
// when the pacer allows, else a wait that new input cuts short.
int RunLoop(bool SwapWaits) {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    TFramePacer pacer(kSaverFrameMicroseconds, SwapWaits);
    const DWORD startMs = GetTickCount();
    MSG message{};
    for (;;) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return static_cast<int>(message.wParam);
            DispatchMessageA(&message);
        }
        // NOTE: Windows destroys the preview with its host window; this
        // covers a host that ends without its windows being destroyed in order.
        if (Saver.Parent != nullptr && !IsWindow(Saver.Parent)) {
            EndSaver();
            continue;
        }
        if (Saver.RenderContext == nullptr) continue;  // destroyed; the quit message is next
        const std::int64_t now = Microseconds(frequency);
        const std::int64_t wait = pacer.Wait(now);
        if (wait > 0) {
            MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>((wait + 999) / 1000), QS_ALLINPUT,
                                        MWMO_INPUTAVAILABLE);
            continue;
        }
        pacer.Started(now);
        // Unsigned difference: right across one wrap of the tick counter.
        ElapsedMs = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetTickCount() - startMs));
        RenderScene();
        SwapBuffers(Saver.DeviceContext);
    }
}

} // namespace

int RunScrWindow(HINSTANCE Instance, HWND Parent) {
    const TSaverSettings settings = LoadScrSettings();
    BallCount = settings.Balls;
    GridSize = settings.Grid;
    Textures.Reflect = ResourceBytes(Instance, SCR_IDR_REFLECT, Textures.ReflectSize);
    Textures.Background = ResourceBytes(Instance, SCR_IDR_BACKGROUND, Textures.BackgroundSize);
    SceneTextureBytes = &Textures;

    WNDCLASSA windowClass{};
    windowClass.style = CS_OWNDC;
    windowClass.lpfnWndProc = ScrWindowProc;
    windowClass.hInstance = Instance;
    windowClass.lpszClassName = kClassName;
    RegisterClassA(&windowClass);

    Saver.Parent = Parent;
    if (Parent != nullptr) {
        RECT client{};
        GetClientRect(Parent, &client);
        Saver.Window = CreateWindowExA(0, kClassName, "sorvel2", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0,
                                       client.right, client.bottom, Parent, nullptr, Instance, nullptr);
    } else {
        // The virtual screen: the rectangle around every monitor, whose
        // corner may lie left of or above the primary one.
        GetCursorPos(&Saver.PointerStart);
        Saver.Window = CreateWindowExA(WS_EX_TOPMOST, kClassName, "sorvel2", WS_POPUP | WS_VISIBLE,
                                       GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                                       GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN),
                                       nullptr, nullptr, Instance, nullptr);
    }
    if (Saver.Window == nullptr) {
        MessageBoxA(nullptr, "sorvel2.scr: its window could not be made.", kErrorCaption, MB_OK | MB_ICONERROR);
        return kScrExitNoWindow;
    }
    if (!MakeContext()) {
        DestroyWindow(Saver.Window);
        return kScrExitNoWindow;
    }
    const bool swapWaits = WaitForRefresh();
    RECT client{};
    GetClientRect(Saver.Window, &client);
    ResizeView(client.right, client.bottom);
    InitScene();
    if (Parent == nullptr) {
        ShowCursor(FALSE);
        SetForegroundWindow(Saver.Window);
        SetFocus(Saver.Window);
    }
    const int code = RunLoop(swapWaits);
    if (Parent == nullptr) ShowCursor(TRUE);
    return code;
}
