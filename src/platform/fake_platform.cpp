// Recording backend for tests.
//
// Functions this file must provide (platform.h, Section 1, all but the file
// calls): GetModuleHandleA, GetTickCount, MessageBoxA, RegisterClassA,
// CreateWindowExA, ShowWindow, SetForegroundWindow, SetFocus, ShowCursor,
// GetDC, ReleaseDC, DestroyWindow, DefWindowProcA, PostQuitMessage,
// ChangeDisplaySettingsA, PeekMessageA, DispatchMessageA, ChoosePixelFormat,
// SetPixelFormat, SwapBuffers, wglCreateContext, wglMakeCurrent,
// wglDeleteContext.
//
// Each call appends one line to the log; results come from the script.
#include "platform/fake_platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct TFakeState {
    TFakeScript Script;
    std::vector<std::string> Log;
    WNDCLASSA Class{};
    DEVMODEA Mode{};
    PIXELFORMATDESCRIPTOR PixelFormat{};
    int CursorCount = 0;
    std::size_t TickIndex = 0;
    int WindowWidth = 0;
    int WindowHeight = 0;
    int EmptyPeeks = 0;  // empty queue with nothing scripted, in a row
};

TFakeState& State() {
    static TFakeState state;
    return state;
}

// NOTE: a loop under test that never sees WM_QUIT would spin forever;
// after this many empty polls with nothing left in the script the fake
// stops the test program instead.
constexpr int kMaxIdlePeeks = 100000;

std::string Hex(std::uint64_t Value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(Value));
    return text;
}

std::string Name(const void* Handle) {
    if (Handle == nullptr) return "null";
    if (Handle == FakeWindow()) return "wnd";
    if (Handle == FakeDeviceContext()) return "dc";
    if (Handle == FakeRenderContext()) return "rc";
    if (Handle == FakeInstance()) return "inst";
    return Hex(reinterpret_cast<std::uintptr_t>(Handle));
}

std::string Text(LPCSTR Value) { return Value != nullptr ? Value : "(null)"; }

void Log(const std::string& Line) { State().Log.push_back(Line); }

LRESULT Send(UINT Message, WPARAM WParam, LPARAM LParam) {
    if (State().Class.lpfnWndProc == nullptr) return 0;
    return State().Class.lpfnWndProc(FakeWindow(), Message, WParam, LParam);
}

} // namespace

void FakeReset() {
    TFakeState& s = State();
    s = TFakeState{};
}

TFakeScript& FakeScript() { return State().Script; }
const std::vector<std::string>& FakeLog() { return State().Log; }
void FakeRecord(const std::string& Line) { Log(Line); }
void FakeClearLog() { State().Log.clear(); }
const WNDCLASSA& FakeLastClass() { return State().Class; }
const DEVMODEA& FakeLastMode() { return State().Mode; }
const PIXELFORMATDESCRIPTOR& FakeLastPixelFormat() { return State().PixelFormat; }
int FakeCursorCount() { return State().CursorCount; }

MSG FakeMessage(UINT Message, WPARAM WParam, LPARAM LParam) {
    MSG msg{};
    msg.hwnd = FakeWindow();
    msg.message = Message;
    msg.wParam = WParam;
    msg.lParam = LParam;
    return msg;
}

HWND FakeWindow() { return reinterpret_cast<HWND>(std::uintptr_t{0x1000}); }
HDC FakeDeviceContext() { return reinterpret_cast<HDC>(std::uintptr_t{0x2000}); }
HGLRC FakeRenderContext() { return reinterpret_cast<HGLRC>(std::uintptr_t{0x3000}); }
HINSTANCE FakeInstance() { return reinterpret_cast<HINSTANCE>(std::uintptr_t{0x4000}); }

// ---------------------------------------------------------------------------
// kernel32
// ---------------------------------------------------------------------------
HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    Log("GetModuleHandleA(" + Text(lpModuleName) + ")");
    return FakeInstance();
}

DWORD GetTickCount() {
    TFakeState& s = State();
    const std::vector<DWORD>& ticks = s.Script.Ticks;
    DWORD tick = 0;
    if (!ticks.empty()) {
        tick = ticks[s.TickIndex < ticks.size() ? s.TickIndex : ticks.size() - 1];
        if (s.TickIndex < ticks.size()) ++s.TickIndex;
    }
    Log("GetTickCount() -> " + std::to_string(tick));
    return tick;
}

// ---------------------------------------------------------------------------
// user32
// ---------------------------------------------------------------------------
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    std::fprintf(stderr, "%s: %s\n", lpCaption != nullptr ? lpCaption : "", lpText != nullptr ? lpText : "");
    std::fflush(stderr);
    Log("MessageBoxA(" + Name(hWnd) + ", " + Text(lpText) + ", " + Text(lpCaption) + ", " + Hex(uType) + ")");
    return IDOK;
}

ATOM RegisterClassA(const WNDCLASSA* lpWndClass) {
    State().Class = *lpWndClass;
    Log("RegisterClassA(" + Text(lpWndClass->lpszClassName) + ")");
    return 1;
}

HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
    State().WindowWidth = nWidth;
    State().WindowHeight = nHeight;
    Log("CreateWindowExA(" + Hex(dwExStyle) + ", " + Text(lpClassName) + ", \"" + Text(lpWindowName) + "\", " +
        Hex(dwStyle) + ", " + std::to_string(X) + ", " + std::to_string(Y) + ", " + std::to_string(nWidth) + ", " +
        std::to_string(nHeight) + ", " + Name(hWndParent) + ", " + Name(hMenu) + ", " + Name(hInstance) + ", " +
        Name(lpParam) + ")");
    return FakeWindow();
}

BOOL ShowWindow(HWND hWnd, int nCmdShow) {
    Log("ShowWindow(" + Name(hWnd) + ", " + std::to_string(nCmdShow) + ")");
    if (State().Script.SizeOnShow) {
        const LPARAM size = static_cast<LPARAM>((State().WindowWidth & 0xFFFF) | (State().WindowHeight & 0xFFFF) << 16);
        Send(WM_SIZE, 0, size);
    }
    return FALSE;
}

BOOL SetForegroundWindow(HWND hWnd) {
    Log("SetForegroundWindow(" + Name(hWnd) + ")");
    return TRUE;
}

HWND SetFocus(HWND hWnd) {
    Log("SetFocus(" + Name(hWnd) + ")");
    return nullptr;
}

int ShowCursor(BOOL bShow) {
    State().CursorCount += bShow ? 1 : -1;
    Log("ShowCursor(" + std::to_string(bShow) + ")");
    return State().CursorCount;
}

HDC GetDC(HWND hWnd) {
    Log("GetDC(" + Name(hWnd) + ")");
    return FakeDeviceContext();
}

int ReleaseDC(HWND hWnd, HDC hDC) {
    Log("ReleaseDC(" + Name(hWnd) + ", " + Name(hDC) + ")");
    return 1;
}

BOOL DestroyWindow(HWND hWnd) {
    Log("DestroyWindow(" + Name(hWnd) + ")");
    return TRUE;
}

LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    Log("DefWindowProcA(" + Name(hWnd) + ", " + Hex(Msg) + ", " + Hex(wParam) + ", " + Hex(lParam) + ")");
    return 0;
}

void PostQuitMessage(int nExitCode) {
    Log("PostQuitMessage(" + std::to_string(nExitCode) + ")");
    State().Script.Queue.push_back(FakeMessage(WM_QUIT, static_cast<WPARAM>(nExitCode)));
}

LONG ChangeDisplaySettingsA(DEVMODEA* lpDevMode, DWORD dwFlags) {
    if (lpDevMode == nullptr) {
        Log("ChangeDisplaySettingsA(null, " + Hex(dwFlags) + ")");
        return DISP_CHANGE_SUCCESSFUL;
    }
    State().Mode = *lpDevMode;
    const LONG result = State().Script.ChangeDisplayResult;
    Log("ChangeDisplaySettingsA(" + std::to_string(lpDevMode->dmPelsWidth) + "x" +
        std::to_string(lpDevMode->dmPelsHeight) + "x" + std::to_string(lpDevMode->dmBitsPerPel) + ", " + Hex(dwFlags) +
        ") -> " + std::to_string(result));
    return result;
}

BOOL PeekMessageA(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    TFakeState& s = State();
    const std::string call =
        "PeekMessageA(" + Name(hWnd) + ", " + std::to_string(wMsgFilterMin) + ", " + std::to_string(wMsgFilterMax) +
        ", " + Hex(wRemoveMsg) + ")";
    if (s.Script.Queue.empty()) {
        if (!s.Script.Batches.empty()) {
            for (const MSG& m : s.Script.Batches.front()) s.Script.Queue.push_back(m);
            s.Script.Batches.pop_front();
            s.EmptyPeeks = 0;
        } else if (++s.EmptyPeeks > kMaxIdlePeeks) {
            std::fprintf(stderr, "fake platform: the loop keeps polling with nothing left in the script\n");
            std::abort();
        }
        Log(call + " -> none");
        return FALSE;
    }
    *lpMsg = s.Script.Queue.front();
    if (wRemoveMsg & PM_REMOVE) s.Script.Queue.pop_front();
    Log(call + " -> " + Hex(lpMsg->message));
    return TRUE;
}

LRESULT DispatchMessageA(const MSG* lpMsg) {
    Log("DispatchMessageA(" + Hex(lpMsg->message) + ")");
    if (State().Class.lpfnWndProc == nullptr) return 0;
    return State().Class.lpfnWndProc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

// ---------------------------------------------------------------------------
// gdi32 and WGL
// ---------------------------------------------------------------------------
int ChoosePixelFormat(HDC hdc, const PIXELFORMATDESCRIPTOR* ppfd) {
    State().PixelFormat = *ppfd;
    const int result = State().Script.ChoosePixelFormatResult;
    Log("ChoosePixelFormat(" + Name(hdc) + ") -> " + std::to_string(result));
    return result;
}

BOOL SetPixelFormat(HDC hdc, int format, const PIXELFORMATDESCRIPTOR* ppfd) {
    const bool same = std::memcmp(ppfd, &State().PixelFormat, sizeof *ppfd) == 0;
    const BOOL result = State().Script.SetPixelFormatResult;
    Log("SetPixelFormat(" + Name(hdc) + ", " + std::to_string(format) + (same ? ", same record" : ", other record") +
        ") -> " + std::to_string(result));
    return result;
}

BOOL SwapBuffers(HDC hdc) {
    Log("SwapBuffers(" + Name(hdc) + ")");
    return TRUE;
}

HGLRC wglCreateContext(HDC hdc) {
    HGLRC rc = State().Script.CreateContextFails ? nullptr : FakeRenderContext();
    Log("wglCreateContext(" + Name(hdc) + ") -> " + Name(rc));
    return rc;
}

BOOL wglMakeCurrent(HDC hdc, HGLRC hglrc) {
    const BOOL result = hglrc != nullptr ? State().Script.MakeCurrentResult : TRUE;
    Log("wglMakeCurrent(" + Name(hdc) + ", " + Name(hglrc) + ") -> " + std::to_string(result));
    return result;
}

BOOL wglDeleteContext(HGLRC hglrc) {
    Log("wglDeleteContext(" + Name(hglrc) + ")");
    return hglrc != nullptr ? TRUE : FALSE;
}
