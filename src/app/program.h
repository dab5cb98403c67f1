// The program body of sorvel2 and its frame loop.
#pragma once

#include <cstdint>

// Takes every queued message before each frame: WM_QUIT ends the loop at
// once, anything else goes to DispatchMessageA. When the queue is empty:
// ElapsedMs = GetTickCount() - LoopStartMs (modulo 2^32), RenderScene,
// SwapBuffers. Never waits.
void RunFrameLoop(std::uint32_t LoopStartMs);

// The whole program: run-time start-up, options, window, loop, teardown.
// Returns the exit code, 0 after a quit or a failed window opening (other
// codes end the process from inside: the run-time error report, a texture
// that cannot be loaded).
int RunProgram();
