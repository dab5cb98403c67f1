#include "scene/state.h"

#include "grid/simd.h"
#include "scene/field.h"

std::int32_t ScreenWidth = 0;
std::int32_t ScreenHeight = 0;
std::int32_t BallCount = 0;
std::int32_t GridSize = 0;
std::int32_t ElapsedMs = 0;
float SceneTime = 0.0f;
std::uint32_t ReflectTexture = 0;
std::uint32_t BackgroundTexture = 0;
TArray<TBall> Balls;
TGrid* Grid = nullptr;
const float LightPosition[4] = {0.0f, 0.0f, 0.0f, 1.0f};

TGrid* NewSceneGrid(std::int32_t Size) {
    ChooseKernelLevels(ProbeFieldKernels);
    TGrid* grid = new TGrid(Size, Size, Size, 2.0f / static_cast<float>(Size), 0.0f, 0.0f, 0.0f, EvaluateField);
    UseSceneBlockField(*grid);
    return grid;
}
