// The screen saver's window: the demo's frame (InitScene, RenderScene) in a
// window of the saver's own, at the display's current mode.
#pragma once

#include "platform/platform.h"

// Exit codes of the saver besides 0.
inline constexpr int kScrExitNoWindow = 1;  // no window, pixel format or OpenGL context (a box says which)

// Runs the saver with the stored settings and the textures carried in the
// program's resources, until it ends; returns the exit code.
//  * Parent null: full screen. One topmost window over the whole virtual
//    screen (every monitor), cursor hidden; a key, a mouse button, the
//    pointer moving past kScrPointerSlack or another program taking the
//    foreground ends it with 0; a second SC_SCREENSAVE is ignored.
//  * Parent a window: the live preview, a child filling Parent's client
//    area; input is the host's; it ends with 0 when Parent goes away.
// Frames wait for the display's refresh (WGL_EXT_swap_control, interval 1)
// or, where that cannot be had, start at most every
// kSaverFrameMicroseconds; the animation follows the time elapsed.
int RunScrWindow(HINSTANCE Instance, HWND Parent);
