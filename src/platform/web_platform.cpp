// Web backend: the window, context, loop and display calls of platform.h in
// a browser page, over Emscripten's GLFW (a WebGL 1 canvas behind its legacy
// OpenGL emulation). The file calls stay posix_files.cpp, on Emscripten's
// in-memory file system, into which the page writes options.txt,
// reflect.bmp and background.bmp before the program starts (its folder's,
// or the settings and textures chosen in the page).
//
// Functions this file must provide (platform.h, Section 1, all but the file
// calls and those window_layer.cpp provides): GetTickCount, MessageBoxA,
// CreateWindowExA, ShowWindow, SetForegroundWindow, SetFocus, ShowCursor,
// DestroyWindow, PostQuitMessage, ChangeDisplaySettingsA, PeekMessageA,
// SetPixelFormat, SwapBuffers, wglCreateContext, wglMakeCurrent,
// wglDeleteContext. (web_gl.cpp adds the OpenGL and GLU calls the
// emulation lacks.) For the page it adds WebCloseRequest.
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
//    of the canvas WM_SIZE. A page that closes takes the program with it;
//    a page that starts the program again (new settings or textures) first
//    asks it to close (WebCloseRequest), which is WM_CLOSE, as a desktop's
//    close button sends. The events arrive from the browser between two
//    animation frames and wait in the layer's own queue, where
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

#include "platform/window_layer.h"

#include <GLFW/glfw3.h>
#include <emscripten.h>

#include <cstdio>

namespace {

// What only the page needs; the window itself is the window layer's.
struct TLayer {
    bool GlfwUp = false;
    int CursorCount = 0;
};

TLayer Layer;

GLFWwindow* AsWindow(HWND Window) { return reinterpret_cast<GLFWwindow*>(Window); }
GLFWwindow* AsWindow(HDC Dc) { return reinterpret_cast<GLFWwindow*>(Dc); }

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
    if (Action == GLFW_PRESS) PostLayerMessage(WM_KEYDOWN, VirtualKey(Key), 1);
    if (Action == GLFW_REPEAT) PostLayerMessage(WM_KEYDOWN, VirtualKey(Key), LPARAM{1} | LPARAM{1} << 30);
}

void OnSize(GLFWwindow* /*window*/, int Width, int Height) {
    PostLayerMessage(WM_SIZE, 0, static_cast<LPARAM>(Width & 0xFFFF) | static_cast<LPARAM>(Height & 0xFFFF) << 16);
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

// The page's close request: WM_CLOSE for the window, which the window
// procedure turns into the quit, so the program ends with 0 through its own
// teardown. 0 when there is no window to close (not opened, or gone).
extern "C" EMSCRIPTEN_KEEPALIVE int WebCloseRequest() {
    if (LayerWindow() == nullptr) return 0;
    PostLayerMessage(WM_CLOSE, 0, 0);
    return 1;
}

// ---------------------------------------------------------------------------
// kernel32
// ---------------------------------------------------------------------------
DWORD GetTickCount() { return static_cast<DWORD>(static_cast<unsigned long long>(emscripten_get_now())); }

// ---------------------------------------------------------------------------
// user32
// ---------------------------------------------------------------------------
int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) {
    const char* text = lpText != nullptr ? lpText : "";
    const char* caption = lpCaption != nullptr ? lpCaption : "";
    // NOTE: pieces rather than a format: printf's machinery is a few KB of
    // the page's module, which has a size limit.
    std::fputs(caption, stderr);
    std::fputs(": ", stderr);
    std::fputs(text, stderr);
    std::fputs("\n", stderr);
    std::fflush(stderr);
    WebShowMessageBox(caption, text);
    return IDOK;
}

HWND CreateWindowExA(DWORD /*dwExStyle*/, LPCSTR /*lpClassName*/, LPCSTR lpWindowName, DWORD /*dwStyle*/, int /*X*/,
                     int /*Y*/, int nWidth, int nHeight, HWND /*hWndParent*/, HMENU /*hMenu*/,
                     HINSTANCE /*hInstance*/, LPVOID /*lpParam*/) {
    if (LayerWindow() != nullptr || nWidth <= 0 || nHeight <= 0) return nullptr;
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
    SetLayerWindow(window);
    return reinterpret_cast<HWND>(window);
}

BOOL ShowWindow(HWND hWnd, int /*nCmdShow*/) { return hWnd != nullptr && AsWindow(hWnd) == LayerWindow(); }

BOOL SetForegroundWindow(HWND hWnd) { return hWnd != nullptr ? TRUE : FALSE; }

HWND SetFocus(HWND /*hWnd*/) { return nullptr; }

int ShowCursor(BOOL bShow) {
    Layer.CursorCount += bShow ? 1 : -1;
    WebShowCursor(Layer.CursorCount >= 0 ? 1 : 0);
    return Layer.CursorCount;
}

BOOL DestroyWindow(HWND hWnd) {
    GLFWwindow* window = AsWindow(hWnd);
    if (window == nullptr || window != LayerWindow()) return FALSE;
    // NOTE: the canvas stays on the page with the last frame in it; only
    // the GLFW window and its context go.
    glfwDestroyWindow(window);
    SetLayerWindow(nullptr);
    return TRUE;
}

void PostQuitMessage(int nExitCode) { PostLayerMessage(WM_QUIT, static_cast<WPARAM>(nExitCode), 0); }

LONG ChangeDisplaySettingsA(DEVMODEA* lpDevMode, DWORD /*dwFlags*/) {
    return lpDevMode == nullptr ? DISP_CHANGE_SUCCESSFUL : DISP_CHANGE_BADMODE;
}

// The browser delivers events between frames, straight into the queue.
BOOL PeekMessageA(MSG* lpMsg, HWND /*hWnd*/, UINT /*wMsgFilterMin*/, UINT /*wMsgFilterMax*/, UINT wRemoveMsg) {
    return TakeLayerMessage(lpMsg, wRemoveMsg);
}

// ---------------------------------------------------------------------------
// gdi32 and WGL
// ---------------------------------------------------------------------------
// The canvas's format was fixed when the window was made: only the rules remain.
BOOL SetPixelFormat(HDC hdc, int format, const PIXELFORMATDESCRIPTOR* ppfd) {
    return ClaimPixelFormat(hdc, format, ppfd) ? TRUE : FALSE;
}

BOOL SwapBuffers(HDC hdc) { return AsWindow(hdc) != nullptr ? TRUE : FALSE; }

HGLRC wglCreateContext(HDC hdc) { return HasPixelFormat(hdc) ? reinterpret_cast<HGLRC>(hdc) : nullptr; }

BOOL wglMakeCurrent(HDC hdc, HGLRC hglrc) {
    if (hglrc == nullptr) {
        glfwMakeContextCurrent(nullptr);
        return TRUE;
    }
    GLFWwindow* window = reinterpret_cast<GLFWwindow*>(hglrc);
    if (AsWindow(hdc) == nullptr || window != LayerWindow()) return FALSE;
    glfwMakeContextCurrent(window);
    return TRUE;
}

BOOL wglDeleteContext(HGLRC hglrc) { return hglrc != nullptr ? TRUE : FALSE; }
