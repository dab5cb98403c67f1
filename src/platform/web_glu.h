// The part of GLU the scene uses, over plain OpenGL 1.1 calls, for the web
// backend: Emscripten's GL emulation has gluPerspective but no quadrics and
// no gluBuild2DMipmaps. Written so that it draws what Mesa's GLU draws; the
// web backend puts the glu* names on these, and a native test holds them
// against Mesa's own GLU.
#pragma once

#include <GL/gl.h>

namespace webglu {

// What gluQuadricTexture sets; the rest of a GLU quadric's state stays at
// its defaults (GLU_FILL, GLU_SMOOTH, GLU_OUTSIDE) here.
struct TQuadric {
    bool Texture = false;
};

// gluSphere with GLU_FILL, smooth normals, outside orientation: Stacks
// strips from +z to -z, slice i at the angle 2 pi i / Slices measured
// from +y towards +x. Texture coordinates as Mesa's GLU makes them: s runs
// 1 - i / Slices (so it runs the other way round from what GLU's manual
// page says) and t from 1 at the +z pole to 0 at the -z pole. Slices below 2, Stacks
// below 1 or a negative radius draw nothing.
void Sphere(const TQuadric& Quadric, GLdouble Radius, GLint Slices, GLint Stacks);

// gluBuild2DMipmaps for unsigned bytes: the image is first resampled (area
// average) to the nearest powers of two, as GLU does, then every level down
// to 1 x 1 is the box-filtered half of the one above. The internal format
// given is ignored: each level is stored with Format, which is what WebGL
// accepts. Reads rows with the current GL_UNPACK_ALIGNMENT. Returns 0, or
// GLU_INVALID_VALUE for a size below 1, GLU_INVALID_ENUM for a format or
// type it does not handle.
GLint Build2DMipmaps(GLenum Target, GLint InternalFormat, GLsizei Width, GLsizei Height, GLenum Format, GLenum Type,
                     const void* Data);

// GLU's choice of size for a side: the power of two nearest to Side (3
// rounds up to 4, 5 down to 4, 6 up to 8).
GLsizei NearestPowerOfTwo(GLsizei Side);

} // namespace webglu
