// The program body of sorvel2 and its frame loop.
#pragma once

#include <cstdint>

// One pass of the frame loop: takes every queued message (WM_QUIT ends the
// pass at once and it returns false; anything else goes to
// DispatchMessageA), then, with the queue empty, ElapsedMs = GetTickCount()
// - LoopStartMs (modulo 2^32), RenderScene, SwapBuffers, and returns true.
// The native loop runs passes back to back; a browser runs one per
// animation frame. Never waits.
bool RunFramePass(std::uint32_t LoopStartMs);

// Passes until one returns false: every queued message is handled before
// each frame, and the loop never waits.
void RunFrameLoop(std::uint32_t LoopStartMs);

// Start-up up to the loop: run-time start-up, options, window (which sets
// up the scene), then LoopStartMs from GetTickCount. False when the window
// could not be opened: nothing is left to close and the tick is not read.
bool StartProgram(std::uint32_t& LoopStartMs);

// The whole program: StartProgram, the loop, teardown. Returns the exit
// code, 0 after a quit or a failed window opening (other codes end the
// process from inside: the run-time error report, a texture that cannot be
// loaded).
int RunProgram();
