// The shell's part of the program state: the window objects and the last
// message of the loop, all null/zero when the process starts. The scene's
// part (settings, balls, grid, textures, clocks) is in scene/state.h.
#pragma once

#include "platform/platform.h"

extern HINSTANCE ModuleInstance;  // GetModuleHandleA(NULL), taken at start-up
extern HWND WindowHandle;         // the render window
extern HDC DeviceContext;         // its own device context, kept for the window's whole life
extern HGLRC RenderContext;       // the one OpenGL context
extern MSG LoopMessage;           // the message last taken from the queue
