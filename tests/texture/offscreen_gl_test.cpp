// The off-screen OpenGL context and the headless fixture over it: a current
// desktop context with immediate mode, GLU and a depth buffer, read back top
// row first.
#include "platform/offscreen_gl.h"

#include "support/headless_gl.h"

#include <GL/gl.h>
#include <GL/glu.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace {

using TRgb = std::array<std::uint8_t, 3>;

class OffscreenGL : public THeadlessGLTest {
protected:
    OffscreenGL() : THeadlessGLTest(40, 30) {}
};

TEST_F(OffscreenGL, IsADesktopContextWithADepthBuffer) {
    const char* version = reinterpret_cast<const char*>(glGetString(GL_VERSION));
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(std::strstr(version, "OpenGL ES"), nullptr) << version;
    GLint depth = 0;
    glGetIntegerv(GL_DEPTH_BITS, &depth);
    EXPECT_GE(depth, 16);
    GLint viewport[4] = {};
    glGetIntegerv(GL_VIEWPORT, viewport);
    EXPECT_EQ(viewport[2], 40);
    EXPECT_EQ(viewport[3], 30);
}

TEST_F(OffscreenGL, ReadPixelsGivesTheTopRowFirstAndKeepsThePackAlignment) {
    glPixelStorei(GL_PACK_ALIGNMENT, 8);
    glClearColor(0, 0, 1, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    glColor3f(0, 1, 0);
    glBegin(GL_QUADS); // the bottom third of the surface
    glVertex2f(-1, -1), glVertex2f(1, -1), glVertex2f(1, -1.0f / 3), glVertex2f(-1, -1.0f / 3);
    glEnd();
    ReadBack();
    ASSERT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));
    for (int x : {0, 20, 39}) {
        EXPECT_EQ(Pixel(x, 0), (TRgb{0, 0, 255})) << x;
        EXPECT_EQ(Pixel(x, 19), (TRgb{0, 0, 255})) << x;
        EXPECT_EQ(Pixel(x, 20), (TRgb{0, 255, 0})) << x;
        EXPECT_EQ(Pixel(x, 29), (TRgb{0, 255, 0})) << x;
    }
    GLint alignment = 0;
    glGetIntegerv(GL_PACK_ALIGNMENT, &alignment);
    EXPECT_EQ(alignment, 8);
}

TEST_F(OffscreenGL, GluSphereDrawsWithTheDepthTest) {
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glEnable(GL_DEPTH_TEST);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(-2, 2, -1.5, 1.5, -2, 2);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    // A red square behind a white sphere.
    glColor3f(1, 0, 0);
    glBegin(GL_QUADS);
    glVertex3f(-2, -1.5f, -1), glVertex3f(2, -1.5f, -1), glVertex3f(2, 1.5f, -1), glVertex3f(-2, 1.5f, -1);
    glEnd();
    glColor3f(1, 1, 1);
    GLUquadric* quadric = gluNewQuadric();
    ASSERT_NE(quadric, nullptr);
    gluSphere(quadric, 1.0, 24, 12);
    gluDeleteQuadric(quadric);
    ReadBack();
    EXPECT_EQ(Pixel(20, 15), (TRgb{255, 255, 255}));
    EXPECT_EQ(Pixel(0, 0), (TRgb{255, 0, 0}));
    EXPECT_EQ(Pixel(39, 29), (TRgb{255, 0, 0}));
}

TEST(OffscreenGLOpen, RefusesAnEmptySurface) {
    TOffscreenGL gl;
    for (auto [w, h] : {std::pair{0, 10}, std::pair{10, 0}, std::pair{-1, -1}}) {
        EXPECT_FALSE(gl.Open(w, h)) << w << "x" << h;
        EXPECT_STRNE(gl.Error(), "");
        EXPECT_EQ(gl.Width(), 0);
    }
}

TEST(OffscreenGLOpen, OpensAgainWithANewSize) {
    TOffscreenGL gl;
    ASSERT_TRUE(gl.Open(8, 8)) << gl.Error();
    ASSERT_TRUE(gl.Open(17, 5)) << gl.Error();
    EXPECT_EQ(gl.Width(), 17);
    EXPECT_EQ(gl.Height(), 5);
    glClearColor(1, 1, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    std::vector<std::uint8_t> rgb(17 * 5 * 3 + 3, 0x42);
    gl.ReadPixels(rgb.data());
    EXPECT_EQ(rgb[0], 255);
    EXPECT_EQ(rgb[17 * 5 * 3 - 1], 0); // blue of the last pixel
    EXPECT_EQ(rgb[17 * 5 * 3], 0x42);  // nothing written past the image
    gl.Close();
    EXPECT_EQ(gl.Width(), 0);
}

TEST(OffscreenGLOpen, ClosingAnotherContextLeavesTheCurrentOneAlone) {
    TOffscreenGL first;
    ASSERT_TRUE(first.Open(4, 4)) << first.Error();
    glClearColor(1, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    TOffscreenGL second;
    ASSERT_TRUE(second.Open(4, 4)) << second.Error();
    std::uint8_t rgb[4 * 4 * 3] = {};
    first.Close();
    glClearColor(0, 1, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    second.ReadPixels(rgb);
    EXPECT_EQ(rgb[1], 255) << "closing the first leaves the second current";
}

} // namespace
