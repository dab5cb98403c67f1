#include "scene/lit_surface.h"

#include "platform/platform.h"  // before the GL headers: <windows.h> on Windows

#include <GL/gl.h>

#include <cmath>

namespace {

// The scene's light: GL_LIGHT0 placed at (0, 0, 0, 1) under a translation
// by (0, 0, -10) from the identity, so fixed to the eye.
constexpr float kLightEye[3] = {0.0f, 0.0f, -10.0f};
// OpenGL's defaults: light model ambient 0.2 times material ambient 0.2;
// light diffuse 1 times material diffuse 0.8; the material's specular
// colour is black, so the highlight term vanishes.
constexpr float kAmbient = 0.2f * 0.2f;
constexpr float kDiffuse = 0.8f;

void Normalise(float (&V)[3]) {
    const float length = std::sqrt(V[0] * V[0] + V[1] * V[1] + V[2] * V[2]);
    if (length == 0.0f) return;
    for (float& c : V) c /= length;
}

float Dot(const float (&A)[3], const float (&B)[3]) { return A[0] * B[0] + A[1] * B[1] + A[2] * B[2]; }

class TLitSink {
public:
    explicit TLitSink(const float (&ModelView)[16]) {
        for (int i = 0; i < 16; ++i) M_[i] = ModelView[i];
        // Normals go through the inverse transpose of the upper 3 x 3, which
        // is its cofactor matrix over the determinant; only the sign of the
        // determinant matters, since the result is normalised.
        auto a = [&](int r, int c) { return M_[c * 4 + r]; };
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) {
                const int r1 = (r + 1) % 3, r2 = (r + 2) % 3, c1 = (c + 1) % 3, c2 = (c + 2) % 3;
                N_[r][c] = a(r1, c1) * a(r2, c2) - a(r1, c2) * a(r2, c1);
            }
        }
        const float det = a(0, 0) * N_[0][0] + a(0, 1) * N_[0][1] + a(0, 2) * N_[0][2];
        if (det < 0.0f)
            for (auto& row : N_)
                for (float& v : row) v = -v;
    }

    void operator()(const TEdgeVertex& Vertex) {
        TCorner& c = Corners_[Count_];
        const TVector& p = Vertex.Position;
        const TVector& n = Vertex.Normal;
        for (int r = 0; r < 3; ++r) {
            c.Eye[r] = M_[r] * p.x + M_[4 + r] * p.y + M_[8 + r] * p.z + M_[12 + r];
            c.Normal[r] = N_[r][0] * n.x + N_[r][1] * n.y + N_[r][2] * n.z;
        }
        Normalise(c.Normal);
        c.Position = &Vertex.Position.x;
        if (++Count_ < 3) return;
        Count_ = 0;
        EmitTriangle();
    }

private:
    struct TCorner {
        float Eye[3];
        float Normal[3];
        const float* Position;
    };

    void EmitTriangle() {
        // Counter-clockwise in the window is the front face; with a
        // perspective eye at the origin that is a triangle whose eye-space
        // normal points back towards the eye.
        float e1[3], e2[3], face[3];
        for (int r = 0; r < 3; ++r) {
            e1[r] = Corners_[1].Eye[r] - Corners_[0].Eye[r];
            e2[r] = Corners_[2].Eye[r] - Corners_[0].Eye[r];
        }
        face[0] = e1[1] * e2[2] - e1[2] * e2[1];
        face[1] = e1[2] * e2[0] - e1[0] * e2[2];
        face[2] = e1[0] * e2[1] - e1[1] * e2[0];
        const float side = Dot(face, Corners_[0].Eye) <= 0.0f ? 1.0f : -1.0f;
        for (const TCorner& c : Corners_) {
            float toLight[3] = {kLightEye[0] - c.Eye[0], kLightEye[1] - c.Eye[1], kLightEye[2] - c.Eye[2]};
            Normalise(toLight);
            const float diffuse = std::fmax(side * Dot(c.Normal, toLight), 0.0f);
            const float level = std::fmin(kAmbient + kDiffuse * diffuse, 1.0f);
            // Sphere map: the eye ray reflected about the normal, r, gives
            // s, t = r.xy / (2 |r + (0, 0, 1)|) + 1/2.
            float u[3] = {c.Eye[0], c.Eye[1], c.Eye[2]};
            Normalise(u);
            const float nu = 2.0f * Dot(c.Normal, u);
            const float rx = u[0] - nu * c.Normal[0];
            const float ry = u[1] - nu * c.Normal[1];
            const float rz = u[2] - nu * c.Normal[2] + 1.0f;
            const float m = 2.0f * std::sqrt(rx * rx + ry * ry + rz * rz);
            const float s = m > 0.0f ? rx / m + 0.5f : 0.5f;
            const float t = m > 0.0f ? ry / m + 0.5f : 0.5f;
            glColor4f(level, level, level, 1.0f);
            glTexCoord2f(s, t);
            glVertex3fv(c.Position);
        }
        if (++Triangles_ == kLitBatchTriangles) {
            Triangles_ = 0;
            glEnd();
            glBegin(GL_TRIANGLES);
        }
    }

    float M_[16];
    float N_[3][3];
    TCorner Corners_[3]{};
    int Count_ = 0;
    int Triangles_ = 0;
};

} // namespace

void DrawSurfaceLitOnCpu(TGrid& Grid) {
    float modelView[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, modelView);
    glDisable(GL_LIGHTING);
    glDisable(GL_TEXTURE_GEN_S);
    glDisable(GL_TEXTURE_GEN_T);
    TLitSink sink(modelView);
    glBegin(GL_TRIANGLES);
    Grid.Polygonise(sink);
    glEnd();
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
}
