// The scene's OpenGL side: the one-time set-up and the frame.
#pragma once

#include <cstddef>
#include <cstdint>

// How RenderScene hands the surface to OpenGL. Both send the same triangles
// in the same order under the same GL state and give the same pixels.
enum class TSurfaceSubmit {
    // glBegin(GL_TRIANGLES), glNormal3fv and glVertex3fv for every vertex,
    // glEnd: two calls a vertex. Kept as the reference the arrays are held to.
    Immediate,
    // OpenGL 1.1 client vertex arrays: the vertices are copied into a batch
    // made by InitScene and drawn with glDrawArrays(GL_TRIANGLES) each time it
    // is full and once more at the end of the frame. What the demo uses.
    Arrays,
    // Lit and sphere-mapped on the CPU (scene/lit_surface.h), for OpenGL
    // implementations whose fixed function cannot draw this scene: what the
    // browser build uses. Pixels within one level of the other two.
    LitOnCpu,
};
extern TSurfaceSubmit SurfaceSubmit;  // Arrays unless changed; the browser build has LitOnCpu alone

// Vertices the array batch holds, read by InitScene when it makes the batch;
// rounded down to whole triangles, at least one.
extern std::int32_t SurfaceBatchVertices;
inline constexpr std::int32_t kDefaultSurfaceBatchVertices = 3 * 8192;

// The two textures as BMP files' bytes, for programs that carry them inside
// (the screen savers): InitScene loads these when SceneTextureBytes points
// at them, and reads "reflect.bmp" and "background.bmp" from the working
// directory when it is null (the demo). Set before InitScene; the bytes
// need only last until it returns.
struct TSceneTextureBytes {
    const std::uint8_t* Reflect;
    std::size_t ReflectSize;
    const std::uint8_t* Background;
    std::size_t BackgroundSize;
};
extern const TSceneTextureBytes* SceneTextureBytes;

// Fixed GL state (depth test, perspective hint, 2-D texturing, sphere-map
// generation mode, normalisation), the two textures ("reflect.bmp", then
// "background.bmp", which stays bound), BallCount zeroed balls, the grid
// of GridSize cells a side over -1..+1 with EvaluateField, and the array
// batch of SurfaceBatchVertices. Needs a current context and the projection
// set. A texture that cannot be loaded ends the process with 1; a bad
// BallCount or GridSize with run-time error 201.
void InitScene();

// One frame into the back buffer at ElapsedMs: scene clock, depth clear,
// view, background sphere, ball animation, lighting and the sphere-mapped
// surface as GL_TRIANGLES, sent as SurfaceSubmit says. No swap, no wait, no
// allocation by the surface; the vertex and normal arrays are switched off
// again before it returns.
void RenderScene();
