// Program state shared by the shell and the scene: module-level variables,
// all zero when the process starts (null handles, zero numbers, empty array,
// no grid) except the constant LightPosition.
#pragma once

#include "grid/grid.h"
#include "runtime/runtime.h"
#include "scene/ball.h"

#include <cstdint>

extern std::int32_t ScreenWidth;   // options.txt value 1: display-mode and window width
extern std::int32_t ScreenHeight;  // options.txt value 2: display-mode and window height
extern std::int32_t BallCount;     // options.txt value 4: number of balls
extern std::int32_t GridSize;      // options.txt value 5: grid resolution on every axis

// Milliseconds since the frame loop began (GetTickCount() minus the loop's
// start tick, modulo 2^32), read as a signed value by the frame.
extern std::int32_t ElapsedMs;
// Scene time in seconds: ElapsedMs / 1000 + 20, set at the start of each frame.
extern float SceneTime;

extern std::uint32_t ReflectTexture;     // sphere-mapped onto the surface
extern std::uint32_t BackgroundTexture;  // wrapped on the background sphere

// The balls, index 0 to BallCount - 1. Released at exit.
extern TArray<TBall> Balls;
// The sample grid with EvaluateField as its field function. Made once and
// never released.
extern TGrid* Grid;

// The scene's grid for a grid-size setting: Size cells per axis, cell size
// 2 / Size as a 32-bit float, centred on the origin (samples from -1 to +1),
// EvaluateField as its field function, and the same field as its block
// field for the sparse route (reading BallCount balls). The first call
// also picks the instruction level of the field and of the polygoniser
// (ChooseKernelLevels). Sizes below 1 end the program with run-time error
// 201.
TGrid* NewSceneGrid(std::int32_t Size);

// Homogeneous position handed to GL_LIGHT0: (0, 0, 0, 1).
extern const float LightPosition[4];
