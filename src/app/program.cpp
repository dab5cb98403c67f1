#include "app/program.h"

#include "app/options.h"
#include "app/program_state.h"
#include "app/window.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "scene/scene.h"
#include "scene/state.h"

namespace {
constexpr std::int32_t kColourBits = 32;
} // namespace

void RunFrameLoop(std::uint32_t LoopStartMs) {
    for (;;) {
        if (PeekMessageA(&LoopMessage, nullptr, 0, 0, PM_REMOVE)) {
            if (LoopMessage.message == WM_QUIT) return;
            DispatchMessageA(&LoopMessage);
            continue;
        }
        // Unsigned difference: right across one wrap of the tick counter.
        ElapsedMs = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetTickCount()) - LoopStartMs);
        RenderScene();
        SwapBuffers(DeviceContext);
    }
}

int RunProgram() {
    InitRuntime();
    ModuleInstance = GetModuleHandleA(nullptr);
    ReadOptions();
    if (!OpenRenderWindow(ScreenWidth, ScreenHeight, kColourBits)) return 0;
    // Taken after the set-up, so texture loading and grid creation are not
    // elapsed time and the first frame sees about 0.
    const std::uint32_t loopStartMs = GetTickCount();
    RunFrameLoop(loopStartMs);
    CloseRenderWindow();
    return 0;
}
