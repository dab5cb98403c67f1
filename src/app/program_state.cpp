#include "app/program_state.h"

HINSTANCE ModuleInstance = nullptr;
HWND WindowHandle = nullptr;
HDC DeviceContext = nullptr;
HGLRC RenderContext = nullptr;
MSG LoopMessage{};
