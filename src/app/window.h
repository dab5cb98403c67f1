// The full-screen render window and its OpenGL context.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Switches the display to Width x Height at Bits per pixel, makes the
// borderless window, its pixel format and rendering context, shows and
// focuses it with the cursor hidden, sets the view and runs InitScene.
// False after a failure, with everything made so far undone and (except for
// a failed wglMakeCurrent) a message box captioned "Error" shown after the
// teardown.
bool OpenRenderWindow(std::int32_t Width, std::int32_t Height, std::int32_t Bits);

// Gives everything back in reverse order: display mode, cursor, context
// (released, then deleted), device context, window. Every step always runs.
void CloseRenderWindow();

// The window procedure: Escape (key down) and WM_CLOSE post the quit
// message, WM_SIZE resizes the view, other keys do nothing, everything
// else goes to DefWindowProcA.
LRESULT CALLBACK RenderWindowProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam);
