// The OpenGL and GLU calls the scene makes that Emscripten's legacy GL
// emulation lacks or cannot do, for the web backend.
//
// Functions this file must provide: gluNewQuadric, gluQuadricTexture,
// gluSphere, gluDeleteQuadric, gluBuild2DMipmaps (over web_glu.cpp),
// glLightModeli, glTexGeni, glHint.
//
// The emulation has no two-sided lighting (glLightModeli is missing) and no
// sphere-map texture generation (glTexGeni throws); in the web build the
// scene lights and maps its surface on the CPU instead
// (scene/lit_surface.h), so these two accept the scene's settings and do
// nothing. WebGL always interpolates with perspective and knows no hint but
// the one for mipmap generation, which the program does not ask for, so
// glHint does nothing too (instead of a WebGL error on the console).
// Definitions here take the place of the emulation's own.
#include "platform/web_glu.h"

#include <GL/gl.h>
#include <GL/glu.h>

class GLUquadric {
public:
    webglu::TQuadric State;
};

extern "C" {

GLUquadric* gluNewQuadric() { return new GLUquadric; }

void gluDeleteQuadric(GLUquadric* quad) { delete quad; }

void gluQuadricTexture(GLUquadric* quad, GLboolean texture) {
    if (quad != nullptr) quad->State.Texture = texture != GL_FALSE;
}

void gluSphere(GLUquadric* quad, GLdouble radius, GLint slices, GLint stacks) {
    if (quad != nullptr) webglu::Sphere(quad->State, radius, slices, stacks);
}

GLint gluBuild2DMipmaps(GLenum target, GLint internalFormat, GLsizei width, GLsizei height, GLenum format,
                        GLenum type, const void* data) {
    return webglu::Build2DMipmaps(target, internalFormat, width, height, format, type, data);
}

void glLightModeli(GLenum /*pname*/, GLint /*param*/) {}

void glTexGeni(GLenum /*coord*/, GLenum /*pname*/, GLint /*param*/) {}

void glHint(GLenum /*target*/, GLenum /*mode*/) {}

} // extern "C"
