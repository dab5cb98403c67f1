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

bool RunFramePass(std::uint32_t LoopStartMs) {
    for (;;) {
        if (PeekMessageA(&LoopMessage, nullptr, 0, 0, PM_REMOVE)) {
            if (LoopMessage.message == WM_QUIT) return false;
            DispatchMessageA(&LoopMessage);
            continue;
        }
        // Unsigned difference: right across one wrap of the tick counter.
        ElapsedMs = static_cast<std::int32_t>(static_cast<std::uint32_t>(GetTickCount()) - LoopStartMs);
        RenderScene();
        SwapBuffers(DeviceContext);
        return true;
    }
}

void RunFrameLoop(std::uint32_t LoopStartMs) {
    while (RunFramePass(LoopStartMs)) {
    }
}

bool StartProgram(std::uint32_t& LoopStartMs) {
    InitRuntime();
    ModuleInstance = GetModuleHandleA(nullptr);
    ReadOptions();
    if (!OpenRenderWindow(ScreenWidth, ScreenHeight, kColourBits)) return false;
    // Taken after the set-up, so texture loading and grid creation are not
    // elapsed time and the first frame sees about 0.
    LoopStartMs = GetTickCount();
    return true;
}

int RunProgram() {
    std::uint32_t loopStartMs = 0;
    if (!StartProgram(loopStartMs)) return 0;
    RunFrameLoop(loopStartMs);
    CloseRenderWindow();
    return 0;
}
