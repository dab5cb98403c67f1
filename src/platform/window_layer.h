// What the window backends (sdl_platform.cpp, web_platform.cpp) share: the
// Win32 side of one window that needs neither SDL nor the browser. The layer
// keeps the window procedure, the window, whether its pixel format is set
// and the message queue; the backend makes and destroys the window and posts
// its translated events. One thread only, like the window procedure.
#pragma once

#include "platform/platform.h"

// The backend's one window (its own pointer, also the HWND and the HDC), or
// null. Setting it (made, or null when destroyed) forgets the pixel format.
void* LayerWindow();
void SetLayerWindow(void* Window);

// SetPixelFormat's rules: hdc is the window, format is ChoosePixelFormat's 1,
// ppfd is given, and no format is set yet (once per window, as on Windows).
// When all hold the format is now set, and the backend applies ppfd.
bool ClaimPixelFormat(HDC hdc, int format, const PIXELFORMATDESCRIPTOR* ppfd);

// wglCreateContext's rule: hdc is the window and its pixel format is set.
bool HasPixelFormat(HDC hdc);

// Queues a message for the window, stamped with GetTickCount. A full queue
// (256) drops all but WM_QUIT, which replaces the newest: a quit is never lost.
void PostLayerMessage(UINT Message, WPARAM WParam, LPARAM LParam);

// PeekMessageA on the queue as it stands (the backend pumps its events first).
BOOL TakeLayerMessage(MSG* Msg, UINT RemoveMsg);
