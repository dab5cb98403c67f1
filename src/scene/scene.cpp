#include "scene/scene.h"

#include "platform/platform.h"  // before the GL headers: <windows.h> on Windows
#include "scene/field.h"
#include "scene/lit_surface.h"
#include "scene/state.h"
#include "texture/texture.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>

namespace {

// The polygoniser's consumer: each vertex as a normal, then a position, into
// the primitive RenderScene has opened.
struct TGLTriangleSink {
    void operator()(const TEdgeVertex& Vertex) const {
        glNormal3fv(&Vertex.Normal.x);
        glVertex3fv(&Vertex.Position.x);
    }
};

} // namespace

void InitScene() {
    glEnable(GL_DEPTH_TEST);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glEnable(GL_TEXTURE_2D);
    LoadTexture("reflect.bmp", ReflectTexture);
    LoadTexture("background.bmp", BackgroundTexture);
    glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
    glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
    glEnable(GL_NORMALIZE);
    Balls.Create(BallCount);
    Grid = NewSceneGrid(GridSize);
}

void RenderScene() {
    SceneTime = SceneTimeAt(ElapsedMs);
    const float t = SceneTime;

    glClear(GL_DEPTH_BUFFER_BIT);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, -2.5f);
    glRotatef(static_cast<float>(20.0 * t), 1.0f, 0.0f, static_cast<float>(std::sin(static_cast<double>(t))));

    // Background: a textured sphere around the eye, unlit, plain texture
    // coordinates.
    glDisable(GL_TEXTURE_GEN_S);
    glDisable(GL_TEXTURE_GEN_T);
    glDisable(GL_LIGHTING);
    glBindTexture(GL_TEXTURE_2D, BackgroundTexture);
    // NOTE: GLU allocates the quadric; it is made and freed in every frame
    // as the scene has always done (its only allocation per frame).
    GLUquadric* quadric = gluNewQuadric();
    gluQuadricTexture(quadric, GL_TRUE);
    gluSphere(quadric, 10.0, 10, 10);
    gluDeleteQuadric(quadric);
    glEnable(GL_TEXTURE_GEN_S);
    glEnable(GL_TEXTURE_GEN_T);

    MoveBalls(Balls.Data(), BallCount, t);

    glBindTexture(GL_TEXTURE_2D, ReflectTexture);
    glEnable(GL_LIGHTING);
    glEnable(GL_LIGHT0);
    // The light is fixed to the eye: (0, 0, -10) in eye coordinates.
    glPushMatrix();
    glLoadIdentity();
    glTranslatef(0.0f, 0.0f, -10.0f);
    glLightfv(GL_LIGHT0, GL_POSITION, LightPosition);
    glPopMatrix();
    glEnable(GL_NORMALIZE);
    glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, 1);

    if (SurfaceLighting == TSurfaceLighting::Cpu) {
        DrawSurfaceLitOnCpu(*Grid);
        return;
    }
    glBegin(GL_TRIANGLES);
    Grid->Polygonise(TGLTriangleSink{});
    glEnd();
}
