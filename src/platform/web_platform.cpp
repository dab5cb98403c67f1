// Web backend: the window, context, loop and display calls of platform.h in
// a browser page, over Emscripten's GLFW (a WebGL 1 canvas behind its legacy
// OpenGL emulation). The file calls stay posix_files.cpp, on Emscripten's
// in-memory file system, into which the page copies options.txt,
// reflect.bmp and background.bmp from its own folder before the program
// starts.
//
// Functions this file must provide (platform.h, Section 1, all but the file
// calls): GetModuleHandleA, GetTickCount, MessageBoxA, RegisterClassA,
// CreateWindowExA, ShowWindow, SetForegroundWindow, SetFocus, ShowCursor,
// GetDC, ReleaseDC, DestroyWindow, DefWindowProcA, PostQuitMessage,
// ChangeDisplaySettingsA, PeekMessageA, DispatchMessageA, ChoosePixelFormat,
// SetPixelFormat, SwapBuffers, wglCreateContext, wglMakeCurrent,
// wglDeleteContext. (web_gl.cpp adds the OpenGL and GLU calls the
// emulation lacks.)
//
// How the Win32 ideas map onto a page:
//  * One window: the page's canvas. HWND, HDC and HGLRC are all the GLFW
//    window, which owns the canvas and its WebGL context; the context exists
//    from CreateWindowExA on and wglCreateContext only hands it out once the
//    pixel format is set. The canvas takes the window's size; the page may
//    scale it to fit, keeping its aspect ratio.
//  * Display modes: a page cannot switch them. Every mode change answers
//    DISP_CHANGE_BADMODE (so the program keeps the current mode and a window
//    of its own size, as on a desktop that lacks the mode);
//    ChangeDisplaySettingsA(NULL, 0) succeeds.
//  * Messages: key presses on the page become WM_KEYDOWN (VK_ESCAPE for
//    Escape, letters and digits as their upper-case codes), a size change
//    of the canvas WM_SIZE. A page that closes takes the program with it,
//    so there is no WM_CLOSE. The events arrive from the browser between
//    two animation frames and wait in the layer's own queue, where
//    PostQuitMessage puts WM_QUIT behind them.
//  * The frame loop: the browser calls the program once per animation frame
//    (app/main_web.cpp); SwapBuffers does nothing, since the browser shows
//    the canvas when that call returns.
//  * MessageBoxA writes "Caption: text" to stderr (the browser's console)
//    and shows a dialog in the page with the caption and the text. A page
//    cannot wait for a click, so the call returns at once, as if OK had
//    been pressed.
//  * GetTickCount: the page's clock (performance.now), in milliseconds.
#include "platform/platform.h"

#include <GLFW/glfw3.h>
#include <emscripten.h>

#include <cstdio>

namespace {

constexpr unsigned kQueueSize = 256;

struct TLayer {
    bool GlfwUp = false;
    WNDPROC Proc = nullptr;
    GLFWwindow* Window = nullptr;
    bool PixelFormatSet = false;
    int CursorCount = 0;
    MSG Queue[kQueueSize]{};
    unsigned Head = 0;
    unsigned Count = 0;
};

TLayer Layer;

GLFWwindow* AsWindow(HWND Window) { return reinterpret_cast<GLFWwindow*>(Window); }
GLFWwindow* AsWindow(HDC Dc) { return reinterpret_cast<GLFWwindow*>(Dc); }

void Post(UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Layer.Count == kQueueSize) {
        // Full: a quit request must not be lost, anything else may be.
        if (Message != WM_QUIT) return;
        --Layer.Count;
    }
    MSG& msg = Layer.Queue[(Layer.Head + Layer.Count) % kQueueSize];
    msg = MSG{};
    msg.hwnd = reinterpret_cast<HWND>(Layer.Window);
    msg.message = Message;
    msg.wParam = WParam;
    msg.lParam = LParam;
    msg.time = GetTickCount();
    ++Layer.Count;
}

// Virtual-key code of a GLFW key: letters and digits as their upper-case
// characters, a few named keys, 0 for the rest.
WPARAM VirtualKey(int Key) {
    if (Key == GLFW_KEY_ESCAPE) return VK_ESCAPE;
    if ((Key >= GLFW_KEY_A && Key <= GLFW_KEY_Z) || (Key >= GLFW_KEY_0 && Key <= GLFW_KEY_9))
        return static_cast<WPARAM>(Key);
    if (Key == GLFW_KEY_SPACE) return 0x20;
    if (Key == GLFW_KEY_ENTER) return 0x0D;
    if (Key == GLFW_KEY_TAB) return 0x09;
    return 0;
}

void OnKey(GLFWwindow* /*window*/, int Key, int /*scancode*/, int Action, int /*mods*/) {
    if (Action == GLFW_PRESS) Post(WM_KEYDOWN, VirtualKey(Key), 1);
    if (Action == GLFW_REPEAT) Post(WM_KEYDOWN, VirtualKey(Key), LPARAM{1} | LPARAM{1} << 30);
}

void OnSize(GLFWwindow* /*window*/, int Width, int Height) {
    Post(WM_SIZE, 0, static_cast<LPARAM>(Width & 0xFFFF) | static_cast<LPARAM>(Height & 0xFFFF) << 16);
}

} // namespace

// The page's side of a message box (index.html); a page without it keeps
// the console line only.
EM_JS(void, WebShowMessageBox, (const char* caption, const char* text), {
    if (Module.showMessageBox) Module.showMessageBox(UTF8ToString(caption), UTF8ToString(text));
});

EM_JS(void, WebShowCursor, (int visible), {
    if (Module.canvas) Module.canvas.style.cursor = visible ? "" : "none";
});

// ---------------------------------------------------------------------------
// kernel32
// ---------------------------------------------------------------------------
HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    static char self;
    return lpModuleName == nullptr ? reinterpret_cast<HMODULE>(&self) : nullptr;
}

DWORD GetTickCount() { return static_cast<DWORD>(static_cast<unsigned long long>(emscripten_get_now())); }

// ---------------------------------------------------------------------------
// user32
// ---------------------------------------------------------------------------
int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) {
    const char* text = lpText != nullptr ? lpText : "";
    const char* caption = lpCaption != nullptr ? lpCaption : "";
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
    WebShowMessageBox(caption, text);
    return IDOK;
}

ATOM RegisterClassA(const WNDCLASSA* lpWndClass) {
    if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr) return 0;
    Layer.Proc = lpWndClass->lpfnWndProc;
    return 1;
}

HWND CreateWindowExA(DWORD /*dwExStyle*/, LPCSTR /*lpClassName*/, LPCSTR lpWindowName, DWORD /*dwStyle*/, int /*X*/,
                     int /*Y*/, int nWidth, int nHeight, HWND /*hWndParent*/, HMENU /*hMenu*/,
                     HINSTANCE /*hInstance*/, LPVOID /*lpParam*/) {
    if (Layer.Window != nullptr || nWidth <= 0 || nHeight <= 0) return nullptr;
    if (!Layer.GlfwUp) {
        if (glfwInit() != GLFW_TRUE) return nullptr;
        Layer.GlfwUp = true;
    }
    // The program's pixel format: 8 bits per channel, a depth buffer, no
    // alpha (the page behind must not show through), double buffered.
    glfwWindowHint(GLFW_ALPHA_BITS, 0);
    glfwWindowHint(GLFW_DEPTH_BITS, 16);
    GLFWwindow* window =
        glfwCreateWindow(nWidth, nHeight, lpWindowName != nullptr ? lpWindowName : "", nullptr, nullptr);
    if (window == nullptr) return nullptr;
    glfwSetKeyCallback(window, OnKey);
    glfwSetWindowSizeCallback(window, OnSize);
    Layer.Window = window;
    Layer.PixelFormatSet = false;
    return reinterpret_cast<HWND>(window);
}

BOOL ShowWindow(HWND hWnd, int /*nCmdShow*/) { return hWnd != nullptr && AsWindow(hWnd) == Layer.Window; }

BOOL SetForegroundWindow(HWND hWnd) { return hWnd != nullptr ? TRUE : FALSE; }

HWND SetFocus(HWND /*hWnd*/) { return nullptr; }

int ShowCursor(BOOL bShow) {
    Layer.CursorCount += bShow ? 1 : -1;
    WebShowCursor(Layer.CursorCount >= 0 ? 1 : 0);
    return Layer.CursorCount;
}

HDC GetDC(HWND hWnd) { return reinterpret_cast<HDC>(hWnd); }

int ReleaseDC(HWND hWnd, HDC hDC) { return hWnd != nullptr && reinterpret_cast<HDC>(hWnd) == hDC ? 1 : 0; }

BOOL DestroyWindow(HWND hWnd) {
    GLFWwindow* window = AsWindow(hWnd);
    if (window == nullptr || window != Layer.Window) return FALSE;
    // NOTE: the canvas stays on the page with the last frame in it; only
    // the GLFW window and its context go.
    glfwDestroyWindow(window);
    Layer.Window = nullptr;
    Layer.PixelFormatSet = false;
    return TRUE;
}

LRESULT DefWindowProcA(HWND /*hWnd*/, UINT /*Msg*/, WPARAM /*wParam*/, LPARAM /*lParam*/) { return 0; }

void PostQuitMessage(int nExitCode) { Post(WM_QUIT, static_cast<WPARAM>(nExitCode), 0); }

LONG ChangeDisplaySettingsA(DEVMODEA* lpDevMode, DWORD /*dwFlags*/) {
    return lpDevMode == nullptr ? DISP_CHANGE_SUCCESSFUL : DISP_CHANGE_BADMODE;
}

BOOL PeekMessageA(MSG* lpMsg, HWND /*hWnd*/, UINT /*wMsgFilterMin*/, UINT /*wMsgFilterMax*/, UINT wRemoveMsg) {
    if (Layer.Count == 0) return FALSE;
    *lpMsg = Layer.Queue[Layer.Head];
    if ((wRemoveMsg & PM_REMOVE) != 0) {
        Layer.Head = (Layer.Head + 1) % kQueueSize;
        --Layer.Count;
    }
    return TRUE;
}

LRESULT DispatchMessageA(const MSG* lpMsg) {
    if (lpMsg == nullptr || Layer.Proc == nullptr || lpMsg->message == WM_QUIT) return 0;
    return Layer.Proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

// ---------------------------------------------------------------------------
// gdi32 and WGL
// ---------------------------------------------------------------------------
int ChoosePixelFormat(HDC hdc, const PIXELFORMATDESCRIPTOR* ppfd) {
    if (hdc == nullptr || ppfd == nullptr) return 0;
    const DWORD needed = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL;
    if ((ppfd->dwFlags & needed) != needed || ppfd->iPixelType != PFD_TYPE_RGBA) return 0;
    return 1;  // the one format: the canvas's
}

BOOL SetPixelFormat(HDC hdc, int format, const PIXELFORMATDESCRIPTOR* ppfd) {
    if (AsWindow(hdc) == nullptr || AsWindow(hdc) != Layer.Window || format != 1 || ppfd == nullptr) return FALSE;
    if (Layer.PixelFormatSet) return FALSE;  // as on Windows: set once per window
    Layer.PixelFormatSet = true;
    return TRUE;
}

BOOL SwapBuffers(HDC hdc) { return AsWindow(hdc) != nullptr ? TRUE : FALSE; }

HGLRC wglCreateContext(HDC hdc) {
    GLFWwindow* window = AsWindow(hdc);
    if (window == nullptr || window != Layer.Window || !Layer.PixelFormatSet) return nullptr;
    return reinterpret_cast<HGLRC>(window);
}

BOOL wglMakeCurrent(HDC hdc, HGLRC hglrc) {
    if (hglrc == nullptr) {
        glfwMakeContextCurrent(nullptr);
        return TRUE;
    }
    if (AsWindow(hdc) == nullptr || reinterpret_cast<GLFWwindow*>(hglrc) != Layer.Window) return FALSE;
    glfwMakeContextCurrent(Layer.Window);
    return TRUE;
}

BOOL wglDeleteContext(HGLRC hglrc) { return hglrc != nullptr ? TRUE : FALSE; }
