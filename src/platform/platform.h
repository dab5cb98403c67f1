// The one platform seam of sorvel2.
//
// The program is written against a small subset of the Win32 API: files,
// the tick counter, message boxes, one window with a WGL context, the
// message loop and the display mode. This header names exactly that subset.
//
//  * On Windows it is the real API: <windows.h>, opengl32 and glu32.
//  * Elsewhere the same names are declared below, and exactly one backend
//    provides them (CMake picks the files):
//      platform/posix_files.cpp    CreateFileA, ReadFile, CloseHandle,
//                                  GetLastError, SetLastError over POSIX
//      platform/console_box.cpp    MessageBoxA as one stderr line (engine
//                                  tools and tests that have no window)
//      platform/sdl_*.cpp          window, context, loop, boxes over SDL2
//      platform/fake_*.cpp         a recording backend for tests
//
// Section 1 is what the program calls. Section 2 is what a backend calls
// back: the window procedure registered with RegisterClassA, invoked with
// the messages WM_SIZE, WM_CLOSE and WM_KEYDOWN that the backend translates
// from its own events.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else // !_WIN32

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Win32 stand-ins: handle types, records and constants, all in one block so
// that backend and program code carry no #ifdef.
// ---------------------------------------------------------------------------
#define WINAPI
#define CALLBACK
#define APIENTRY

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using LONG = std::int32_t;
using SHORT = std::int16_t;
using CHAR = char;
using LPCSTR = const char*;
using LPSTR = char*;
using LPVOID = void*;
using LPDWORD = DWORD*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using ATOM = WORD;

using HANDLE = void*;
struct HWND__;
using HWND = HWND__*;
struct HDC__;
using HDC = HDC__*;
struct HGLRC__;
using HGLRC = HGLRC__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

// CreateFileA
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;

// Error codes that the POSIX file backend maps errno values onto.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_BROKEN_PIPE = 109;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_IO_DEVICE = 1117;

// MessageBoxA
constexpr UINT MB_OK = 0x00000000u;
constexpr UINT MB_ICONERROR = 0x00000010u;
constexpr int IDOK = 1;

// Window messages and keys
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr WPARAM VK_ESCAPE = 0x1B;
constexpr UINT PM_REMOVE = 0x0001;
constexpr int SW_SHOW = 5;

// Window class and window styles
constexpr UINT CS_VREDRAW = 0x0001;
constexpr UINT CS_HREDRAW = 0x0002;
constexpr UINT CS_OWNDC = 0x0020;
constexpr DWORD WS_POPUP = 0x80000000u;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000u;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000u;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000u;

// Display modes
constexpr DWORD CDS_FULLSCREEN = 0x00000004u;
constexpr LONG DISP_CHANGE_SUCCESSFUL = 0;
constexpr LONG DISP_CHANGE_RESTART = 1;
constexpr LONG DISP_CHANGE_FAILED = -1;
constexpr LONG DISP_CHANGE_BADMODE = -2;
constexpr DWORD DM_BITSPERPEL = 0x00040000u;
constexpr DWORD DM_PELSWIDTH = 0x00080000u;
constexpr DWORD DM_PELSHEIGHT = 0x00100000u;

// Pixel formats
constexpr DWORD PFD_DOUBLEBUFFER = 0x00000001u;
constexpr DWORD PFD_DRAW_TO_WINDOW = 0x00000004u;
constexpr DWORD PFD_SUPPORT_OPENGL = 0x00000020u;
constexpr BYTE PFD_TYPE_RGBA = 0;
constexpr BYTE PFD_MAIN_PLANE = 0;

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};

// Laid out as the Windows record, so that dmSize is 156 on every platform.
#pragma pack(push, 1)
struct DEVMODEA {
    BYTE dmDeviceName[32];
    WORD dmSpecVersion;
    WORD dmDriverVersion;
    WORD dmSize;
    WORD dmDriverExtra;
    DWORD dmFields;
    union {
        struct {
            SHORT dmOrientation;
            SHORT dmPaperSize;
            SHORT dmPaperLength;
            SHORT dmPaperWidth;
            SHORT dmScale;
            SHORT dmCopies;
            SHORT dmDefaultSource;
            SHORT dmPrintQuality;
        } printer;
        struct {
            POINT dmPosition;
            DWORD dmDisplayOrientation;
            DWORD dmDisplayFixedOutput;
        } display;
    } u;
    SHORT dmColor;
    SHORT dmDuplex;
    SHORT dmYResolution;
    SHORT dmTTOption;
    SHORT dmCollate;
    BYTE dmFormName[32];
    WORD dmLogPixels;
    DWORD dmBitsPerPel;
    DWORD dmPelsWidth;
    DWORD dmPelsHeight;
    DWORD dmDisplayFlags;
    DWORD dmDisplayFrequency;
    DWORD dmICMMethod;
    DWORD dmICMIntent;
    DWORD dmMediaType;
    DWORD dmDitherType;
    DWORD dmReserved1;
    DWORD dmReserved2;
    DWORD dmPanningWidth;
    DWORD dmPanningHeight;
};
#pragma pack(pop)
static_assert(sizeof(DEVMODEA) == 156, "DEVMODEA must keep the Windows size");

struct PIXELFORMATDESCRIPTOR {
    WORD nSize;
    WORD nVersion;
    DWORD dwFlags;
    BYTE iPixelType;
    BYTE cColorBits;
    BYTE cRedBits;
    BYTE cRedShift;
    BYTE cGreenBits;
    BYTE cGreenShift;
    BYTE cBlueBits;
    BYTE cBlueShift;
    BYTE cAlphaBits;
    BYTE cAlphaShift;
    BYTE cAccumBits;
    BYTE cAccumRedBits;
    BYTE cAccumGreenBits;
    BYTE cAccumBlueBits;
    BYTE cAccumAlphaBits;
    BYTE cDepthBits;
    BYTE cStencilBits;
    BYTE cAuxBuffers;
    BYTE iLayerType;
    BYTE bReserved;
    DWORD dwLayerMask;
    DWORD dwVisibleMask;
    DWORD dwDamageMask;
};
static_assert(sizeof(PIXELFORMATDESCRIPTOR) == 40, "PIXELFORMATDESCRIPTOR must keep the Windows size");

// ---------------------------------------------------------------------------
// Section 1: what the program calls.
// ---------------------------------------------------------------------------

// kernel32: files (posix_files.cpp). Errors are reported through
// GetLastError with the Win32 codes above.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// kernel32: process and clock (window backends).
HMODULE GetModuleHandleA(LPCSTR lpModuleName);
DWORD GetTickCount();

// user32: message boxes (console_box.cpp or a window backend). Every
// backend also writes the line "Caption: text" to stderr.
int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);

// user32: window, focus, cursor, display mode, message loop.
ATOM RegisterClassA(const WNDCLASSA* lpWndClass);
HWND CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle, int X, int Y,
                     int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                     LPVOID lpParam);
BOOL ShowWindow(HWND hWnd, int nCmdShow);
BOOL SetForegroundWindow(HWND hWnd);
HWND SetFocus(HWND hWnd);
int ShowCursor(BOOL bShow);
HDC GetDC(HWND hWnd);
int ReleaseDC(HWND hWnd, HDC hDC);
BOOL DestroyWindow(HWND hWnd);
LRESULT DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int nExitCode);
LONG ChangeDisplaySettingsA(DEVMODEA* lpDevMode, DWORD dwFlags);
BOOL PeekMessageA(MSG* lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg);
LRESULT DispatchMessageA(const MSG* lpMsg);

// gdi32 and WGL.
int ChoosePixelFormat(HDC hdc, const PIXELFORMATDESCRIPTOR* ppfd);
BOOL SetPixelFormat(HDC hdc, int format, const PIXELFORMATDESCRIPTOR* ppfd);
BOOL SwapBuffers(HDC hdc);
HGLRC wglCreateContext(HDC hdc);
BOOL wglMakeCurrent(HDC hdc, HGLRC hglrc);
BOOL wglDeleteContext(HGLRC hglrc);

// ---------------------------------------------------------------------------
// Section 2: what a backend calls back.
//
// The backend keeps the WNDPROC of the class registered with RegisterClassA
// and calls it, on the program's one thread, from DispatchMessageA for queued
// messages and directly from calls that send messages (CreateWindowExA,
// ShowWindow, a size change). It translates its own events into:
//   WM_SIZE     lParam = width | height << 16, the new client size
//   WM_CLOSE    a request to close the window
//   WM_KEYDOWN  wParam = VK_ESCAPE for Escape (other keys: other codes)
// and never produces character messages. DefWindowProcA does nothing and
// returns 0 for all of them.
// ---------------------------------------------------------------------------

#endif // _WIN32
