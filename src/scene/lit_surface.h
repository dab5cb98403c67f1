// The surface lit and sphere-mapped on the CPU: the route for OpenGL
// implementations whose fixed function cannot draw this scene (WebGL behind
// a legacy-GL emulation has no point lights, no two-sided lighting and no
// sphere-map texture generation). The native programs keep OpenGL's own
// lighting; a test draws the same frames both ways and holds them within one
// level per channel.
#pragma once

#include "grid/grid.h"

// Polygonises Grid and draws the triangles as GL_TRIANGLES with the colour
// and the texture coordinates that OpenGL 1.1 would compute for this scene:
//  * the current modelview matrix (read once) places vertices and normals in
//    eye space; normals are normalised (GL_NORMALIZE);
//  * one point light at (0, 0, -10) in eye space, OpenGL's default light and
//    material colours (so 0.2 * 0.2 ambient plus 0.8 times the diffuse
//    term, no specular), a non-local viewer;
//  * two-sided lighting: a triangle whose window-space winding is clockwise
//    is lit with its normals flipped;
//  * sphere-map coordinates from the unflipped eye normal.
// Switches off GL_LIGHTING and texture generation, which RenderScene turns
// on again each frame, and leaves the current colour white, as the unlit
// background expects. Batches of at most kLitBatchTriangles triangles per
// glBegin, so that an emulated immediate mode with a bounded buffer copes
// with any grid. No allocation.
void DrawSurfaceLitOnCpu(TGrid& Grid);

inline constexpr int kLitBatchTriangles = 8192;
