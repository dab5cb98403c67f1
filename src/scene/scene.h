// The scene's OpenGL side: the one-time set-up and the frame.
#pragma once

// Fixed GL state (depth test, perspective hint, 2-D texturing, sphere-map
// generation mode, normalisation), the two textures ("reflect.bmp", then
// "background.bmp", which stays bound), BallCount zeroed balls and the grid
// of GridSize cells a side over -1..+1 with EvaluateField. Needs a current
// context and the projection set. A texture that cannot be loaded ends the
// process with 1; a bad BallCount or GridSize with run-time error 201.
void InitScene();

// One frame into the back buffer at ElapsedMs: scene clock, depth clear,
// view, background sphere, ball animation, lighting and the sphere-mapped
// surface as one GL_TRIANGLES batch. No swap, no wait.
void RenderScene();
