// The window bookkeeping both window backends share (window_layer.h).
//
// Functions this file must provide: GetModuleHandleA, RegisterClassA, GetDC,
// ReleaseDC, DefWindowProcA, DispatchMessageA, ChoosePixelFormat, and the
// calls of window_layer.h.
#include "platform/window_layer.h"

namespace {

constexpr unsigned kQueueSize = 256;

struct TLayer {
    WNDPROC Proc = nullptr;
    void* Window = nullptr;
    bool PixelFormatSet = false;
    MSG Queue[kQueueSize]{};
    unsigned Head = 0;
    unsigned Count = 0;
};

TLayer Layer;

} // namespace

void* LayerWindow() { return Layer.Window; }

void SetLayerWindow(void* Window) {
    Layer.Window = Window;
    Layer.PixelFormatSet = false;
}

bool ClaimPixelFormat(HDC hdc, int format, const PIXELFORMATDESCRIPTOR* ppfd) {
    if (hdc == nullptr || hdc != Layer.Window || format != 1 || ppfd == nullptr || Layer.PixelFormatSet) return false;
    Layer.PixelFormatSet = true;
    return true;
}

bool HasPixelFormat(HDC hdc) { return hdc != nullptr && hdc == Layer.Window && Layer.PixelFormatSet; }

void PostLayerMessage(UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Layer.Count == kQueueSize) {
        if (Message != WM_QUIT) return;
        --Layer.Count;
    }
    MSG& msg = Layer.Queue[(Layer.Head + Layer.Count) % kQueueSize];
    msg = MSG{};
    msg.hwnd = static_cast<HWND>(Layer.Window);
    msg.message = Message;
    msg.wParam = WParam;
    msg.lParam = LParam;
    msg.time = GetTickCount();
    ++Layer.Count;
}

BOOL TakeLayerMessage(MSG* Msg, UINT RemoveMsg) {
    if (Layer.Count == 0) return FALSE;
    *Msg = Layer.Queue[Layer.Head];
    if ((RemoveMsg & PM_REMOVE) != 0) {
        Layer.Head = (Layer.Head + 1) % kQueueSize;
        --Layer.Count;
    }
    return TRUE;
}

HMODULE GetModuleHandleA(LPCSTR lpModuleName) {
    static char self;
    return lpModuleName == nullptr ? reinterpret_cast<HMODULE>(&self) : nullptr;
}

ATOM RegisterClassA(const WNDCLASSA* lpWndClass) {
    if (lpWndClass == nullptr || lpWndClass->lpfnWndProc == nullptr) return 0;
    Layer.Proc = lpWndClass->lpfnWndProc;
    return 1;
}

HDC GetDC(HWND hWnd) { return reinterpret_cast<HDC>(hWnd); }

int ReleaseDC(HWND hWnd, HDC hDC) { return hWnd != nullptr && reinterpret_cast<HDC>(hWnd) == hDC ? 1 : 0; }

LRESULT DefWindowProcA(HWND /*hWnd*/, UINT /*Msg*/, WPARAM /*wParam*/, LPARAM /*lParam*/) { return 0; }

LRESULT DispatchMessageA(const MSG* lpMsg) {
    if (lpMsg == nullptr || Layer.Proc == nullptr || lpMsg->message == WM_QUIT) return 0;
    return Layer.Proc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

int ChoosePixelFormat(HDC hdc, const PIXELFORMATDESCRIPTOR* ppfd) {
    if (hdc == nullptr || ppfd == nullptr) return 0;
    const DWORD needed = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL;
    if ((ppfd->dwFlags & needed) != needed || ppfd->iPixelType != PFD_TYPE_RGBA) return 0;
    return 1;  // the one format there is: the window's
}
