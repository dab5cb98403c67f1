#include "app/window.h"

#include "app/program_state.h"
#include "app/view.h"
#include "scene/scene.h"

namespace {

constexpr const char* kClassName = "class VORK";
constexpr const char* kErrorCaption = "Error";

// Error boxes of the window code: no owner, an error icon and OK.
void ShowError(const char* Text) { MessageBoxA(nullptr, Text, kErrorCaption, MB_ICONERROR); }

} // namespace

bool OpenRenderWindow(std::int32_t Width, std::int32_t Height, std::int32_t Bits) {
    WNDCLASSA windowClass{};
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;
    windowClass.lpfnWndProc = RenderWindowProc;
    windowClass.hInstance = ModuleInstance;
    windowClass.lpszClassName = kClassName;
    RegisterClassA(&windowClass);

    DEVMODEA mode{};
    mode.dmSize = sizeof(DEVMODEA);
    mode.dmFields = DM_BITSPERPEL | DM_PELSWIDTH | DM_PELSHEIGHT;
    mode.dmBitsPerPel = static_cast<DWORD>(Bits);
    mode.dmPelsWidth = static_cast<DWORD>(Width);
    mode.dmPelsHeight = static_cast<DWORD>(Height);
    // Only an outright failure stops here; a mode the display cannot show
    // (DISP_CHANGE_BADMODE and the like) leaves the current one in place.
    if (ChangeDisplaySettingsA(&mode, CDS_FULLSCREEN) == DISP_CHANGE_FAILED) {
        ShowError("Fullscreen mode - failed");
        return false;
    }

    WindowHandle = CreateWindowExA(WS_EX_APPWINDOW, kClassName, "", WS_POPUP | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0,
                                   Width, Height, nullptr, nullptr, ModuleInstance, nullptr);
    DeviceContext = GetDC(WindowHandle);

    PIXELFORMATDESCRIPTOR format{};
    format.nSize = sizeof(PIXELFORMATDESCRIPTOR);
    format.nVersion = 1;
    format.dwFlags = PFD_DRAW_TO_WINDOW | PFD_SUPPORT_OPENGL | PFD_DOUBLEBUFFER;
    format.iPixelType = PFD_TYPE_RGBA;
    format.cColorBits = static_cast<BYTE>(Bits);
    format.cDepthBits = 16;
    format.iLayerType = PFD_MAIN_PLANE;

    // From here on a failure tears down first, so the box is read with the
    // display mode already restored.
    const int chosen = ChoosePixelFormat(DeviceContext, &format);
    if (chosen == 0) {
        CloseRenderWindow();
        ShowError("ErrCode:1");
        return false;
    }
    if (!SetPixelFormat(DeviceContext, chosen, &format)) {
        CloseRenderWindow();
        ShowError("ErrCode:2");
        return false;
    }
    RenderContext = wglCreateContext(DeviceContext);
    if (RenderContext == nullptr) {
        CloseRenderWindow();
        ShowError("ErrCode:3");
        return false;
    }
    if (!wglMakeCurrent(DeviceContext, RenderContext)) {
        CloseRenderWindow();
        return false;
    }

    ShowWindow(WindowHandle, SW_SHOW);
    SetForegroundWindow(WindowHandle);
    SetFocus(WindowHandle);
    ShowCursor(FALSE);

    ResizeView(Width, Height);
    InitScene();
    return true;
}

void CloseRenderWindow() {
    ChangeDisplaySettingsA(nullptr, 0);
    ShowCursor(TRUE);
    wglMakeCurrent(DeviceContext, nullptr);
    wglDeleteContext(RenderContext);
    ReleaseDC(WindowHandle, DeviceContext);
    DestroyWindow(WindowHandle);
}

LRESULT CALLBACK RenderWindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    switch (Message) {
    case WM_SIZE: {
        const auto size = static_cast<std::uint32_t>(LParam);
        ResizeView(static_cast<std::int32_t>(size & 0xFFFFu), static_cast<std::int32_t>((size >> 16) & 0xFFFFu));
        return 0;
    }
    case WM_CLOSE:
        // The window stays; CloseRenderWindow destroys it after the loop.
        PostQuitMessage(0);
        return 0;
    case WM_KEYDOWN:
        if (WParam == VK_ESCAPE) PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(Window, Message, WParam, LParam);
    }
}
