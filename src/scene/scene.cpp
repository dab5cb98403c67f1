#include "scene/scene.h"

#include "platform/platform.h"  // before the GL headers: <windows.h> on Windows
#include "scene/field.h"
#include "scene/lit_surface.h"
#include "scene/state.h"
#include "texture/texture.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cmath>
#include <vector>

#ifdef __EMSCRIPTEN__
TSurfaceSubmit SurfaceSubmit = TSurfaceSubmit::LitOnCpu;
#else
TSurfaceSubmit SurfaceSubmit = TSurfaceSubmit::Arrays;
#endif
std::int32_t SurfaceBatchVertices = kDefaultSurfaceBatchVertices;
const TSceneTextureBytes* SceneTextureBytes = nullptr;

namespace {

// The reference consumer: each vertex as a normal, then a position, into the
// GL_TRIANGLES primitive RenderScene has opened.
struct TImmediateSink {
    void operator()(const TEdgeVertex& Vertex) const {
        glNormal3fv(&Vertex.Normal.x);
        glVertex3fv(&Vertex.Position.x);
    }
};

// The array consumer. One interleaved vertex: normal, then position.
struct TArrayVertex {
    float Normal[3];
    float Position[3];
};
static_assert(sizeof(TArrayVertex) == 24, "six packed floats: the stride GL is given");

// A fixed number of vertices, made once at set-up. Every emitted vertex is
// copied in; a full batch is drawn at once and refilled from the start, so
// a frame makes ceil(vertices / capacity) draws and no allocation. The
// capacity is whole triangles, so no triangle is split between two draws.
class TVertexBatch {
public:
    void Create(std::int32_t Vertices) {
        const std::int32_t whole = Vertices < 3 ? 3 : Vertices - Vertices % 3;
        Storage_.assign(static_cast<std::size_t>(whole), TArrayVertex{});
        Next_ = Storage_.data();
        End_ = Storage_.data() + Storage_.size();
    }

    // The only client state of the frame: switched on here, off in Finish.
    void Start() {
        Next_ = Storage_.data();
        glNormalPointer(GL_FLOAT, sizeof(TArrayVertex), Storage_.data()->Normal);
        glVertexPointer(3, GL_FLOAT, sizeof(TArrayVertex), Storage_.data()->Position);
        glEnableClientState(GL_NORMAL_ARRAY);
        glEnableClientState(GL_VERTEX_ARRAY);
    }

    void Add(const TEdgeVertex& Vertex) {
        TArrayVertex& v = *Next_;
        v.Normal[0] = Vertex.Normal.x;
        v.Normal[1] = Vertex.Normal.y;
        v.Normal[2] = Vertex.Normal.z;
        v.Position[0] = Vertex.Position.x;
        v.Position[1] = Vertex.Position.y;
        v.Position[2] = Vertex.Position.z;
        if (++Next_ == End_) Draw();
    }

    // Draws what is left (nothing when the last vertex filled the batch).
    void Finish() {
        Draw();
        glDisableClientState(GL_VERTEX_ARRAY);
        glDisableClientState(GL_NORMAL_ARRAY);
    }

private:
    // glDrawArrays copies the vertices it is given before it returns, so the
    // batch can be refilled at once.
    void Draw() {
        const auto count = static_cast<GLsizei>(Next_ - Storage_.data());
        if (count > 0) glDrawArrays(GL_TRIANGLES, 0, count);
        Next_ = Storage_.data();
    }

    std::vector<TArrayVertex> Storage_;
    TArrayVertex* Next_ = nullptr;
    TArrayVertex* End_ = nullptr;
};

TVertexBatch SurfaceBatch;

struct TBatchSink {
    TVertexBatch* Batch;
    void operator()(const TEdgeVertex& Vertex) const { Batch->Add(Vertex); }
};

} // namespace

void InitScene() {
    glEnable(GL_DEPTH_TEST);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    glEnable(GL_TEXTURE_2D);
    if (SceneTextureBytes != nullptr) {
        const TSceneTextureBytes& bytes = *SceneTextureBytes;
        LoadTextureBytes("reflect.bmp", bytes.Reflect, bytes.ReflectSize, ReflectTexture);
        LoadTextureBytes("background.bmp", bytes.Background, bytes.BackgroundSize, BackgroundTexture);
    } else {
        LoadTexture("reflect.bmp", ReflectTexture);
        LoadTexture("background.bmp", BackgroundTexture);
    }
    glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
    glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
    glEnable(GL_NORMALIZE);
    Balls.Create(BallCount);
    Grid = NewSceneGrid(GridSize);
    SurfaceBatch.Create(SurfaceBatchVertices);
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

#ifdef __EMSCRIPTEN__
    // NOTE: the browser build has the CPU-lit way alone: WebGL behind the GL
    // emulation cannot light and map the other two as the desktop does,
    // and a page is downloaded whole, code it never runs included.
    DrawSurfaceLitOnCpu(*Grid);
#else
    switch (SurfaceSubmit) {
    case TSurfaceSubmit::Immediate:
        glBegin(GL_TRIANGLES);
        Grid->Polygonise(TImmediateSink{});
        glEnd();
        break;
    case TSurfaceSubmit::Arrays:
        SurfaceBatch.Start();
        Grid->Polygonise(TBatchSink{&SurfaceBatch});
        SurfaceBatch.Finish();
        break;
    case TSurfaceSubmit::LitOnCpu:
        DrawSurfaceLitOnCpu(*Grid);
        break;
    }
#endif
}
