// sorvel2 in a browser page: the same program body, with the browser
// driving the frames. Start-up runs as on a desktop; then the browser calls
// one pass of the frame loop per animation frame (every queued message, then
// one frame). The pass that takes the quit message closes the window and
// ends the program with 0; the page shows the exit code. The functions
// below only read the program's state for the page; none changes it.
#include "app/program.h"
#include "app/window.h"
#include "scene/state.h"

#include <emscripten.h>

#include <cstdint>
#include <cstdlib>

namespace {

std::uint32_t LoopStartMs = 0;

// Time spent in the passes, for the page's frame-time line.
double PassMs = 0.0;
double Passes = 0.0;

void AnimationFrame() {
    const double start = emscripten_get_now();
    const bool running = RunFramePass(LoopStartMs);
    PassMs += emscripten_get_now() - start;
    Passes += 1.0;
    if (running) return;
    emscripten_cancel_main_loop();
    CloseRenderWindow();
    std::exit(0);
}

} // namespace

// Mean milliseconds of the passes so far, and how many there were: the page
// polls these for its status line.
extern "C" EMSCRIPTEN_KEEPALIVE double WebMeanPassMs() { return Passes > 0.0 ? PassMs / Passes : 0.0; }
extern "C" EMSCRIPTEN_KEEPALIVE double WebPassCount() { return Passes; }
// The ElapsedMs of the last frame drawn, so that a picture of the canvas
// can be matched with the same frame drawn elsewhere.
extern "C" EMSCRIPTEN_KEEPALIVE int WebElapsedMs() { return ElapsedMs; }

// The settings as the program read them from options.txt, for the page's
// status line once start-up is over.
extern "C" EMSCRIPTEN_KEEPALIVE int WebScreenWidth() { return ScreenWidth; }
extern "C" EMSCRIPTEN_KEEPALIVE int WebScreenHeight() { return ScreenHeight; }
extern "C" EMSCRIPTEN_KEEPALIVE int WebBallCount() { return BallCount; }
extern "C" EMSCRIPTEN_KEEPALIVE int WebGridSize() { return GridSize; }

// Triangles of the last frame drawn, as the grid counted them while it
// emitted them.
extern "C" EMSCRIPTEN_KEEPALIVE double WebFrameTriangles() {
    return Grid == nullptr ? 0.0 : static_cast<double>(Grid->LastStats().Triangles);
}

int main() {
    if (!StartProgram(LoopStartMs)) return 0;
    // 0 frames per second: the browser's animation frames. Simulates an
    // endless loop, so main never returns and the program keeps running.
    emscripten_set_main_loop(AnimationFrame, 0, 1);
    return 0;
}
