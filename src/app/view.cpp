#include "app/view.h"

#include "platform/platform.h"  // before the GL headers: <windows.h> on Windows

#include <GL/gl.h>
#include <GL/glu.h>

void ResizeView(std::int32_t Width, std::int32_t Height) {
    if (Height == 0) Height = 1;
    glViewport(0, 0, Width, Height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(50.0, static_cast<double>(Width) / static_cast<double>(Height), 0.1, 100.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}
