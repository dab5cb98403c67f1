// Viewport and projection of the render window.
#pragma once

#include <cstdint>

// Sets the viewport to Width x Height (a height of 0 counts as 1) and the
// projection to a 50-degree perspective with planes 0.1 and 100, aspect
// Width / Height; leaves GL_MODELVIEW current with the identity loaded.
// Without a current context the calls have no effect.
void ResizeView(std::int32_t Width, std::int32_t Height);
