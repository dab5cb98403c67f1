// A GoogleTest fixture that gives each test a current OpenGL context with no
// window: Mesa's software renderer behind a surface of a fixed size (64 x 64
// unless the derived fixture asks for another in its constructor).
//
//     class MySceneTest : public THeadlessGLTest {
//     protected:
//         MySceneTest() : THeadlessGLTest(320, 240) {}
//     };
//     TEST_F(MySceneTest, ...) { draw...; ReadBack(); EXPECT_EQ(Pixel(0, 0)[0], 255); }
//
// The context is made in SetUp and released in TearDown; a context that cannot
// be made fails the test with the reason. Opening is cheap after the first
// time in a process (the EGL display stays initialised).
//
// NOTE: Mesa's renderer runs worker threads, which a forked child does not
// have. A death test that draws in the child must use the "threadsafe" style
// (GTEST_FLAG_SET(death_test_style, "threadsafe")), which runs the test again
// in a fresh process; one that dies before any drawing needs nothing.
#pragma once

#include "platform/offscreen_gl.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

class THeadlessGLTest : public ::testing::Test {
protected:
    explicit THeadlessGLTest(int Width = 64, int Height = 64) : Width_(Width), Height_(Height) {}

    void SetUp() override {
        ASSERT_TRUE(Gl.Open(Width_, Height_)) << "no off-screen OpenGL context: " << Gl.Error();
        Pixels_.assign(static_cast<std::size_t>(Width_) * Height_ * 3, 0);
    }
    void TearDown() override { Gl.Close(); }

    int Width() const { return Width_; }
    int Height() const { return Height_; }

    // Reads the colour buffer into Pixels() (RGB, top row first).
    void ReadBack() { Gl.ReadPixels(Pixels_.data()); }
    const std::vector<std::uint8_t>& Pixels() const { return Pixels_; }

    // The RGB of the pixel in column X of row Y (row 0 at the top) of the
    // last ReadBack.
    std::array<std::uint8_t, 3> Pixel(int X, int Y) const {
        const std::size_t at = (static_cast<std::size_t>(Y) * Width_ + X) * 3;
        return {Pixels_[at], Pixels_[at + 1], Pixels_[at + 2]};
    }

    // The first pending OpenGL error (GL_NO_ERROR when there is none); all
    // pending errors are cleared.
    static GLenum TakeGLError() {
        const GLenum first = glGetError();
        for (int i = 0; i < 16 && glGetError() != GL_NO_ERROR; ++i) {
        }
        return first;
    }

    TOffscreenGL Gl;

private:
    int Width_;
    int Height_;
    std::vector<std::uint8_t> Pixels_;
};
