// The recording backend for tests: every window, context, loop and display
// call of platform.h answers from a script and is written to a log, in
// call order, as one line of text each.
//
// A test resets the backend, fills FakeScript(), runs the code under test
// and compares FakeLog() with the lines it expects. Files stay with
// posix_files.cpp; message boxes are logged and written to stderr.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct TFakeScript {
    // Results of the calls that can fail.
    LONG ChangeDisplayResult = DISP_CHANGE_SUCCESSFUL;  // for a mode change (a record given)
    int ChoosePixelFormatResult = 1;                    // 0 is a failure
    BOOL SetPixelFormatResult = TRUE;
    bool CreateContextFails = false;                    // wglCreateContext returns null
    BOOL MakeCurrentResult = TRUE;                      // wglMakeCurrent with a context (release always works)

    // Messages waiting before the first PeekMessageA.
    std::deque<MSG> Queue;
    // Batches of messages that arrive later: whenever PeekMessageA finds the
    // queue empty (so a frame follows), the next batch is queued for the
    // next call.
    std::deque<std::vector<MSG>> Batches;
    // Successive GetTickCount results; the last one repeats.
    std::vector<DWORD> Ticks{0};
    // ShowWindow sends WM_SIZE with the window's size, as Windows does on
    // the first show.
    bool SizeOnShow = false;
};

// Back to an empty log, a fresh script, no class registered, a zero cursor count.
void FakeReset();
TFakeScript& FakeScript();
const std::vector<std::string>& FakeLog();
// Empties the log only (the script and the registered class stay).
void FakeClearLog();
// Adds a line to the log (for the stand-ins that tests link for the scene).
void FakeRecord(const std::string& Line);

// Records of the last calls, kept whole.
const WNDCLASSA& FakeLastClass();
const DEVMODEA& FakeLastMode();
const PIXELFORMATDESCRIPTOR& FakeLastPixelFormat();
int FakeCursorCount();

// A message record for scripts.
MSG FakeMessage(UINT Message, WPARAM WParam = 0, LPARAM LParam = 0);

// The handles the fake hands out.
HWND FakeWindow();
HDC FakeDeviceContext();
HGLRC FakeRenderContext();
HINSTANCE FakeInstance();
