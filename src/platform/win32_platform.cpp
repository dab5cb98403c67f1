// Win32 backend: the real Windows API.
//
// Functions this file must provide: none. On Windows platform.h is
// <windows.h>, and kernel32, user32, gdi32 and opengl32 provide every call
// of the seam (glu32 the GLU ones); this file only checks that the records
// the program fills have the sizes it hands to Windows.
#include "platform/platform.h"

static_assert(sizeof(DEVMODEA) == 156, "DEVMODEA: dmSize is 156");
static_assert(sizeof(PIXELFORMATDESCRIPTOR) == 40, "PIXELFORMATDESCRIPTOR: nSize is 40");
static_assert(sizeof(MSG) >= 28, "MSG holds window, message, wParam, lParam, time and point");
