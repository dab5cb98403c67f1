// Stand-ins for the GL side of the program (InitScene, RenderScene,
// ResizeView) in the tests of the window and loop code: each call becomes a
// line in the fake backend's log, so the order of platform calls and scene
// calls can be checked together. The real ones are tested in a GL context.
#include "app/view.h"
#include "platform/fake_platform.h"
#include "scene/scene.h"
#include "scene/state.h"

#include <string>

void InitScene() { FakeRecord("InitScene"); }

void RenderScene() { FakeRecord("RenderScene(" + std::to_string(ElapsedMs) + ")"); }

void ResizeView(std::int32_t Width, std::int32_t Height) {
    FakeRecord("ResizeView(" + std::to_string(Width) + ", " + std::to_string(Height) + ")");
}
