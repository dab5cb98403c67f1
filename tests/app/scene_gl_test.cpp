// The scene and the view in a real (software) OpenGL context: the fixed
// state and textures after InitScene, the state and ball values after a
// frame at ElapsedMs 0, the picture of that frame, what the array batch
// hands OpenGL against what immediate mode does, and ResizeView's viewport
// and projection.
#include "app/view.h"
#include "platform/platform.h"
#include "platform/web_glu.h"
#include "scene/field.h"
#include "scene/lit_surface.h"
#include "scene/scene.h"
#include "scene/state.h"
#include "support/headless_gl.h"
#include "../texture/bmp_files.h"

#include <GL/glu.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <set>
#include <string>
#include <vector>

namespace {

// Solid colours of the two test textures (red, green, blue).
constexpr std::uint8_t kReflectRgb[3] = {40, 220, 0};
constexpr std::uint8_t kBackgroundRgb[3] = {200, 0, 0};

// A Width x Height 24-bit BMP of one colour.
TBytes SolidBmp(int Width, int Height, const std::uint8_t (&Rgb)[3]) {
    TBmpHeader h;
    h.Width = Width;
    h.Height = Height;
    h.ImageSize = 0;
    return MakeBmp(h, UniformPixels(Width, Height, Rgb[2], Rgb[1], Rgb[0]));
}
void WriteSolidBmp(const std::filesystem::path& Path, int Width, int Height, const std::uint8_t (&Rgb)[3]) {
    const TBytes b = SolidBmp(Width, Height, Rgb);
    std::ofstream(Path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

const GLenum kFrameOnly[] = {GL_TEXTURE_GEN_S, GL_TEXTURE_GEN_T, GL_LIGHTING, GL_LIGHT0};

GLint Integer(GLenum Name) {
    GLint value = 0;
    glGetIntegerv(Name, &value);
    return value;
}

class SceneGLTest : public THeadlessGLTest {
protected:
    explicit SceneGLTest(int Width = 160, int Height = 120) : THeadlessGLTest(Width, Height) {}

    void SetUp() override {
        THeadlessGLTest::SetUp();
        Previous_ = std::filesystem::current_path();
        Dir_ = std::filesystem::temp_directory_path() /
               ("sorvel2-scene-test-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        std::filesystem::create_directories(Dir_);
        WriteSolidBmp(Dir_ / "reflect.bmp", 8, 8, kReflectRgb);
        WriteSolidBmp(Dir_ / "background.bmp", 16, 8, kBackgroundRgb);
        std::filesystem::current_path(Dir_);
        BallCount = 11;
        GridSize = 24;
        ElapsedMs = 0;
        ReflectTexture = 0;
        BackgroundTexture = 0;
    }
    void TearDown() override {
        SceneTextureBytes = nullptr;
        SurfaceSubmit = TSurfaceSubmit::Arrays;
        SurfaceBatchVertices = kDefaultSurfaceBatchVertices;
        delete Grid;
        Grid = nullptr;
        Balls.Release();
        std::filesystem::current_path(Previous_);
        std::filesystem::remove_all(Dir_);
        THeadlessGLTest::TearDown();
    }

    // The set-up the window code does before InitScene.
    void SetUpScene() {
        ResizeView(Width(), Height());
        InitScene();
    }

    // What InitScene leaves: fixed state, the two textures, balls and grid.
    void ExpectSetUpState();

    std::filesystem::path Previous_;
    std::filesystem::path Dir_;
};

TEST_F(SceneGLTest, SetUpLeavesTheFixedStateTexturesBallsAndGrid) {
    SetUpScene();
    ExpectSetUpState();
}

// A saver's way: the textures' bytes handed in, no file in the working
// directory, and the same set-up as from the files.
TEST_F(SceneGLTest, CarriedTexturesNeedNoFiles) {
    std::filesystem::remove(Dir_ / "reflect.bmp");
    std::filesystem::remove(Dir_ / "background.bmp");
    const TBytes reflect = SolidBmp(8, 8, kReflectRgb);
    const TBytes background = SolidBmp(16, 8, kBackgroundRgb);
    const TSceneTextureBytes bytes{reflect.data(), reflect.size(), background.data(), background.size()};
    SceneTextureBytes = &bytes;
    SetUpScene();
    ExpectSetUpState();
}

void SceneGLTest::ExpectSetUpState() {
    for (GLenum on : {GL_DEPTH_TEST, GL_TEXTURE_2D, GL_NORMALIZE}) EXPECT_TRUE(glIsEnabled(on)) << on;
    EXPECT_EQ(Integer(GL_PERSPECTIVE_CORRECTION_HINT), GL_NICEST);
    GLint mode[2] = {0, 0};
    glGetTexGeniv(GL_S, GL_TEXTURE_GEN_MODE, &mode[0]);
    glGetTexGeniv(GL_T, GL_TEXTURE_GEN_MODE, &mode[1]);
    EXPECT_TRUE(mode[0] == GL_SPHERE_MAP && mode[1] == GL_SPHERE_MAP);
    // Generation, lighting and the light are switched on by the frame only.
    for (GLenum off : kFrameOnly) EXPECT_FALSE(glIsEnabled(off)) << off;
    EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));

    // Two textures, the background left bound.
    ASSERT_NE(ReflectTexture, 0u);
    ASSERT_NE(BackgroundTexture, 0u);
    EXPECT_NE(ReflectTexture, BackgroundTexture);
    EXPECT_EQ(static_cast<GLuint>(Integer(GL_TEXTURE_BINDING_2D)), BackgroundTexture);
    const struct {
        std::uint32_t Name;
        const std::uint8_t* Rgb;
        GLint Width;
    } textures[] = {{ReflectTexture, kReflectRgb, 8}, {BackgroundTexture, kBackgroundRgb, 16}};
    for (const auto& t : textures) {
        glBindTexture(GL_TEXTURE_2D, t.Name);
        GLint width = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
        EXPECT_EQ(width, t.Width);
        std::vector<std::uint8_t> texels(static_cast<std::size_t>(width) * 8 * 3);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, texels.data());
        EXPECT_EQ(TBytes(texels.begin(), texels.begin() + 3), TBytes(t.Rgb, t.Rgb + 3));
    }

    ASSERT_EQ(Balls.Count(), 11);
    for (const TBall& ball : Balls) {
        EXPECT_TRUE(ball.Strength == 0.0f && ball.X == 0.0f && ball.Y == 0.0f && ball.Z == 0.0f);
    }
    ASSERT_NE(Grid, nullptr);
    EXPECT_TRUE(Grid->SizeX == 24 && Grid->SizeY == 24 && Grid->SizeZ == 24);
    EXPECT_EQ(Grid->CellSize, 2.0f / 24.0f);
    EXPECT_EQ(Grid->CenterX, 0.0f);
    EXPECT_EQ(Grid->FieldProc, &EvaluateField);
}

// Model-view after a frame: translate (0, 0, -2.5), then turn 20 T degrees
// about (1, 0, sin T), built here from the rotation formula.
std::vector<double> ExpectedModelView(double T) {
    const double angle = 20.0 * T * std::numbers::pi / 180.0;
    double x = 1.0, y = 0.0, z = std::sin(T);
    const double length = std::sqrt(x * x + y * y + z * z);
    x /= length;
    y /= length;
    z /= length;
    const double c = std::cos(angle), s = std::sin(angle), k = 1.0 - c;
    // Column-major, as OpenGL returns it.
    return {x * x * k + c,     y * x * k + z * s, x * z * k - y * s, 0.0,
            x * y * k - z * s, y * y * k + c,     y * z * k + x * s, 0.0,
            x * z * k + y * s, y * z * k - x * s, z * z * k + c,     0.0,
            0.0,               0.0,               -2.5,              1.0};
}

TEST_F(SceneGLTest, FirstFrameSetsTheViewLightingTexturingAndBalls) {
    SetUpScene();
    RenderScene();
    EXPECT_EQ(SceneTime, 20.0f);
    EXPECT_EQ(Integer(GL_MATRIX_MODE), GL_MODELVIEW);
    GLfloat m[16];
    glGetFloatv(GL_MODELVIEW_MATRIX, m);
    const std::vector<double> expected = ExpectedModelView(20.0);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(m[i], expected[static_cast<std::size_t>(i)], 2e-5) << "element " << i;
    for (GLenum on : kFrameOnly) EXPECT_TRUE(glIsEnabled(on)) << on;
    EXPECT_TRUE(glIsEnabled(GL_NORMALIZE));
    EXPECT_EQ(Integer(GL_LIGHT_MODEL_TWO_SIDE), 1);
    EXPECT_EQ(static_cast<GLuint>(Integer(GL_TEXTURE_BINDING_2D)), ReflectTexture);
    // The light is stored in eye coordinates: 10 units in front of the eye.
    GLfloat light[4];
    glGetLightfv(GL_LIGHT0, GL_POSITION, light);
    const GLfloat eye[4] = {0.0f, 0.0f, -10.0f, 1.0f};
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(light[i], eye[i]) << i;
    EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));

    EXPECT_NEAR(Balls[0].X, 0.0025, 5e-5);
    EXPECT_NEAR(Balls[0].Y, -0.2910, 5e-5);
    EXPECT_NEAR(Balls[0].Z, 0.1923, 5e-5);
    EXPECT_NEAR(Balls[0].Strength, 0.1367, 5e-5);
    EXPECT_EQ(Balls[10].Strength, Balls[0].Strength) << "strength phases repeat every 10 balls";
    for (const TBall& ball : Balls) {
        EXPECT_LE(std::fabs(ball.X), 0.5f);
        EXPECT_GE(ball.Strength, 0.12f - 1e-6f);
        EXPECT_LE(ball.Strength, 0.20f + 1e-6f);
    }
}

TEST_F(SceneGLTest, SceneClockFollowsElapsedMs) {
    SetUpScene();
    ElapsedMs = 1234;
    RenderScene();
    EXPECT_FLOAT_EQ(SceneTime, 21.234f);
}

bool IsSurface(const std::array<std::uint8_t, 3>& P) { return P[0] < P[1] && P[2] == 0 && P[1] > 0; }
bool IsBackground(const std::array<std::uint8_t, 3>& P) {
    return P[0] == kBackgroundRgb[0] && P[1] == kBackgroundRgb[1] && P[2] == kBackgroundRgb[2];
}

TEST_F(SceneGLTest, FirstFrameShowsTheSurfaceWhereTheBallsAre) {
    SetUpScene();
    RenderScene();
    glFinish();
    GLdouble model[16], projection[16];
    GLint viewport[4];
    glGetDoublev(GL_MODELVIEW_MATRIX, model);
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    glGetIntegerv(GL_VIEWPORT, viewport);
    ReadBack();

    std::set<std::array<std::uint8_t, 3>> colours;
    int surface = 0;
    for (int y = 0; y < Height(); ++y) {
        for (int x = 0; x < Width(); ++x) {
            colours.insert(Pixel(x, y));
            if (IsSurface(Pixel(x, y))) ++surface;
        }
    }
    EXPECT_GT(colours.size(), 20u) << "the lit surface shades";
    EXPECT_GT(surface, Width() * Height() / 50);
    EXPECT_LT(surface, Width() * Height() / 2);
    // The background sphere fills the rest, unlit, in its texture's colour.
    EXPECT_TRUE(IsBackground(Pixel(0, 0)));
    EXPECT_TRUE(IsBackground(Pixel(Width() - 1, Height() - 1)));

    for (int i = 0; i < BallCount; ++i) {
        GLdouble wx = 0, wy = 0, wz = 0;
        ASSERT_TRUE(gluProject(Balls[static_cast<std::size_t>(i)].X, Balls[static_cast<std::size_t>(i)].Y,
                               Balls[static_cast<std::size_t>(i)].Z, model, projection, viewport, &wx, &wy, &wz));
        const int x = static_cast<int>(wx), row = Height() - 1 - static_cast<int>(wy);
        ASSERT_TRUE(x >= 0 && x < Width() && row >= 0 && row < Height()) << "ball " << i << " off screen";
        const auto p = Pixel(x, row);
        EXPECT_TRUE(IsSurface(p)) << "ball " << i << " at (" << x << ", " << row << ") shows " << int(p[0]) << ","
                                  << int(p[1]) << "," << int(p[2]);
    }
}

// ---------------------------------------------------------------------------
// The surface lit on the CPU (the web build's route) against OpenGL's fixed
// function, and the web backend's GLU subset against Mesa's GLU: the routes
// must not drift apart.
// ---------------------------------------------------------------------------

// Pixels where some channel differs by more than one level.
long FarPixels(const std::vector<std::uint8_t>& A, const std::vector<std::uint8_t>& B) {
    long far = 0;
    for (std::size_t i = 0; i + 2 < A.size(); i += 3) {
        for (std::size_t c = i; c < i + 3; ++c) {
            if (std::abs(int(A[c]) - int(B[c])) > 1) {
                ++far;
                break;
            }
        }
    }
    return far;
}

class SurfaceRouteTest : public SceneGLTest {
protected:
    SurfaceRouteTest() : SceneGLTest(320, 240) {}
    void SetUp() override {
        SceneGLTest::SetUp();
        for (const char* name : {"reflect.bmp", "background.bmp"})
            std::filesystem::copy_file(std::filesystem::path(SORVEL2_DEMO_DIR) / name, Dir_ / name,
                                       std::filesystem::copy_options::overwrite_existing);
        BallCount = 10;
        GridSize = 40;
    }
    std::vector<std::uint8_t> Frame(TSurfaceSubmit Route, std::int32_t Ms) {
        SurfaceSubmit = Route;
        ElapsedMs = Ms;
        RenderScene();
        glFinish();
        ReadBack();
        return Pixels();
    }
};

// The shipped settings and textures, frames across the blend into the
// analytic shape and back, the two routes drawn alternately (so state one
// leaves behind shows in the other's next frame); then a surface whose back
// faces show.
TEST_F(SurfaceRouteTest, CpuLightingMatchesTheFixedFunction) {
    SetUpScene();
    const long limit = Width() * Height() / 1000;  // 99.9 % within one level
    for (std::int32_t ms : {0, 2500, 9000, 31000, 80000, 150000, 290000}) {
        const std::vector<std::uint8_t> fixed = Frame(TSurfaceSubmit::Arrays, ms);
        const std::vector<std::uint8_t> cpu = Frame(TSurfaceSubmit::LitOnCpu, ms);
        EXPECT_LE(FarPixels(fixed, cpu), limit) << "at " << ms << " ms";
        EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));
    }
    // A sphere larger than the grid, cut open by the grid's faces: its
    // inside shows through the holes, so back faces are lit too.
    Grid->FieldProc = [](TGrid& G) {
        for (std::int32_t k = 0; k <= G.SizeZ; ++k)
            for (std::int32_t j = 0; j <= G.SizeY; ++j)
                for (std::int32_t i = 0; i <= G.SizeX; ++i) {
                    const float x = (i - G.SizeX / 2.0f) * G.CellSize, y = (j - G.SizeY / 2.0f) * G.CellSize,
                                z = (k - G.SizeZ / 2.0f) * G.CellSize;
                    G.Values[i + (G.SizeX + 1) * (j + (G.SizeY + 1) * k)] = 1.44f - (x * x + y * y + z * z);
                }
    };
    for (std::int32_t ms : {0, 4000}) {
        const std::vector<std::uint8_t> fixed = Frame(TSurfaceSubmit::Arrays, ms);
        const std::vector<std::uint8_t> cpu = Frame(TSurfaceSubmit::LitOnCpu, ms);
        EXPECT_LE(FarPixels(fixed, cpu), limit) << "cut-open sphere at " << ms << " ms";
    }
    Grid->FieldProc = &EvaluateField;
    // The CPU route leaves the current colour white for the unlit background.
    GLfloat colour[4];
    glGetFloatv(GL_CURRENT_COLOR, colour);
    EXPECT_TRUE(colour[0] == 1.0f && colour[1] == 1.0f && colour[2] == 1.0f && colour[3] == 1.0f);
}

class WebGluTest : public THeadlessGLTest {
protected:
    WebGluTest() : THeadlessGLTest(128, 96) {}
};

// A texture whose texels spell their own coordinates, so that a picture of
// a textured sphere shows the texture coordinates at every pixel.
GLuint CoordinateTexture() {
    constexpr int kW = 64, kH = 32;
    std::vector<std::uint8_t> texels(kW * kH * 3);
    for (int y = 0; y < kH; ++y) {
        for (int x = 0; x < kW; ++x) {
            std::uint8_t* t = &texels[(y * kW + x) * 3];
            t[0] = static_cast<std::uint8_t>(x * 4);
            t[1] = static_cast<std::uint8_t>(y * 8);
            t[2] = static_cast<std::uint8_t>(255 - x * 2 - y * 2);
        }
    }
    GLuint name = 0;
    glGenTextures(1, &name);
    glBindTexture(GL_TEXTURE_2D, name);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, kW, kH, 0, GL_RGB, GL_UNSIGNED_BYTE, texels.data());
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    return name;
}

TEST_F(WebGluTest, SphereDrawsWhatMesasGluDraws) {
    CoordinateTexture();
    glEnable(GL_TEXTURE_2D);
    glEnable(GL_DEPTH_TEST);
    glMatrixMode(GL_PROJECTION);
    gluPerspective(70.0, 4.0 / 3.0, 0.1, 100.0);
    glMatrixMode(GL_MODELVIEW);
    struct TView {
        float Distance, Angle, X, Y, Z;
    };
    // From inside (as the scene's background) and from outside, turned so
    // that both poles and the seam come into view.
    const TView views[] = {{0.0f, 0.0f, 1, 0, 0}, {0.0f, 90.0f, 1, 0, 0}, {0.0f, 200.0f, 0.3f, 1, 0.2f},
                           {-3.0f, 60.0f, 1, 0.5f, 0}, {-3.0f, 250.0f, 0.2f, 0, 1}};
    const struct {
        GLint Slices, Stacks;
        bool Texture;
    } shapes[] = {{10, 10, true}, {7, 3, true}, {2, 1, true}, {24, 16, false}, {1, 5, true}, {5, 0, true}};
    for (const auto& shape : shapes) {
        for (const TView& view : views) {
            std::vector<std::uint8_t> pictures[2];
            for (int which = 0; which < 2; ++which) {
                glClearColor(0.1f, 0.2f, 0.3f, 1.0f);
                glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
                glLoadIdentity();
                glTranslatef(0.0f, 0.0f, view.Distance);
                glRotatef(view.Angle, view.X, view.Y, view.Z);
                if (which == 0) {
                    GLUquadric* quadric = gluNewQuadric();
                    gluQuadricTexture(quadric, shape.Texture ? GL_TRUE : GL_FALSE);
                    gluSphere(quadric, 1.5, shape.Slices, shape.Stacks);
                    gluDeleteQuadric(quadric);
                } else {
                    webglu::TQuadric quadric;
                    quadric.Texture = shape.Texture;
                    webglu::Sphere(quadric, 1.5, shape.Slices, shape.Stacks);
                }
                glFinish();
                ReadBack();
                pictures[which] = Pixels();
            }
            EXPECT_LE(FarPixels(pictures[0], pictures[1]), Width() * Height() / 1000)
                << shape.Slices << " slices, " << shape.Stacks << " stacks, view angle " << view.Angle;
        }
    }
    EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));
}

// Every level of a texture as RGB bytes, packed.
std::vector<std::vector<std::uint8_t>> Levels(GLuint Name) {
    std::vector<std::vector<std::uint8_t>> levels;
    glBindTexture(GL_TEXTURE_2D, Name);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    for (GLint level = 0; level < 16; ++level) {
        GLint w = 0, h = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_WIDTH, &w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, level, GL_TEXTURE_HEIGHT, &h);
        if (w == 0 || h == 0) break;
        std::vector<std::uint8_t> texels(static_cast<std::size_t>(w) * h * 3 + 2);
        glGetTexImage(GL_TEXTURE_2D, level, GL_RGB, GL_UNSIGNED_BYTE, texels.data());
        texels[texels.size() - 2] = static_cast<std::uint8_t>(w);
        texels[texels.size() - 1] = static_cast<std::uint8_t>(h);
        levels.push_back(texels);
    }
    return levels;
}

TEST_F(WebGluTest, MipmapsMatchMesasGlu) {
    struct TImageRow {
        GLsizei Width, Height;
        bool CompareTexels;  // resampled sizes: only the level sizes must agree
    };
    // NOTE: Mesa's GLU halves an image one pixel wide without skipping the
    // rows' alignment padding, so only the level sizes are compared there.
    const TImageRow images[] = {{8, 4, true}, {16, 1, true}, {1, 8, false}, {5, 3, false}, {6, 7, false}, {33, 9, false}};
    for (const TImageRow& image : images) {
        // Rows padded to the default unpack alignment of 4.
        const std::size_t stride = (static_cast<std::size_t>(image.Width) * 3 + 3) / 4 * 4;
        std::vector<std::uint8_t> pixels(stride * image.Height, 0xEE);
        for (int y = 0; y < image.Height; ++y)
            for (int x = 0; x < image.Width * 3; ++x) pixels[y * stride + x] = static_cast<std::uint8_t>(x * 37 + y * 91);
        GLuint names[2];
        glGenTextures(2, names);
        glBindTexture(GL_TEXTURE_2D, names[0]);
        ASSERT_EQ(gluBuild2DMipmaps(GL_TEXTURE_2D, 3, image.Width, image.Height, GL_RGB, GL_UNSIGNED_BYTE, pixels.data()), 0);
        glBindTexture(GL_TEXTURE_2D, names[1]);
        ASSERT_EQ(webglu::Build2DMipmaps(GL_TEXTURE_2D, 3, image.Width, image.Height, GL_RGB, GL_UNSIGNED_BYTE,
                                         pixels.data()), 0);
        const auto mesa = Levels(names[0]);
        const auto ours = Levels(names[1]);
        ASSERT_EQ(ours.size(), mesa.size()) << image.Width << "x" << image.Height;
        for (std::size_t level = 0; level < mesa.size(); ++level) {
            ASSERT_EQ(ours[level].size(), mesa[level].size()) << image.Width << "x" << image.Height << " level " << level;
            EXPECT_EQ(ours[level].back(), mesa[level].back());
            if (!image.CompareTexels) continue;
            for (std::size_t i = 0; i < mesa[level].size(); ++i)
                EXPECT_LE(std::abs(int(ours[level][i]) - int(mesa[level][i])), 1)
                    << image.Width << "x" << image.Height << " level " << level << " byte " << i;
        }
        glDeleteTextures(2, names);
    }
    EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));

    // Refusals: no pixels, a type or a format the subset does not handle.
    const std::uint8_t texel[4] = {1, 2, 3, 4};
    EXPECT_EQ(webglu::Build2DMipmaps(GL_TEXTURE_2D, 3, 0, 4, GL_RGB, GL_UNSIGNED_BYTE, texel), GLU_INVALID_VALUE);
    EXPECT_EQ(webglu::Build2DMipmaps(GL_TEXTURE_2D, 3, 1, 1, GL_RGB, GL_FLOAT, texel), GLU_INVALID_ENUM);
    EXPECT_EQ(webglu::Build2DMipmaps(GL_TEXTURE_2D, 3, 1, 1, GL_BGR, GL_UNSIGNED_BYTE, texel), GLU_INVALID_ENUM);
    const std::pair<GLsizei, GLsizei> sides[] = {{1, 1}, {2, 2}, {3, 4}, {5, 4}, {6, 8}, {7, 8}, {12, 16}, {11, 8}, {256, 256}};
    for (const auto& [side, power] : sides) EXPECT_EQ(webglu::NearestPowerOfTwo(side), power) << side;
}

// ---------------------------------------------------------------------------
// The two ways of sending the surface: the array batch against immediate mode
// ---------------------------------------------------------------------------

// The batch capacity of a frame, from the vertex count V of that frame.
enum class TBatchRule {
    Default,        // kDefaultSurfaceBatchVertices
    WholeFrame,     // V: one full batch, nothing left for the end of the frame
    SeveralFull,    // V / d for the smallest d > 1 that gives whole triangles: d full batches
    OneShort,       // V - 3: one full batch, then one triangle
    OneTriangle,    // 3: a draw per triangle
};

struct TSubmitRow {
    const char* Name;
    int Width, Height;
    std::int32_t Balls, GridSize;
    TBatchRule Rule;
    std::int32_t FramesMs[3];
};
const TSubmitRow kSubmitRows[] = {
    {"shipped settings, default batch", 160, 120, 10, 40, TBatchRule::Default, {0, 2500, 61000}},
    {"odd size, one full batch", 97, 131, 11, 24, TBatchRule::WholeFrame, {0, 16, 33}},
    {"several full batches", 64, 48, 3, 20, TBatchRule::SeveralFull, {700, 1200, 9000}},
    {"one full batch and a triangle", 120, 120, 5, 16, TBatchRule::OneShort, {0, 400, 800}},
    {"a triangle a batch", 80, 60, 2, 10, TBatchRule::OneTriangle, {0, 3333, 20000}},
    {"no cubes, no triangles", 64, 64, 4, 1, TBatchRule::Default, {0, 16, 33}},
};

std::int32_t BatchFor(TBatchRule Rule, std::int64_t Vertices) {
    const std::int64_t triangles = Vertices / 3;
    switch (Rule) {
    case TBatchRule::Default: return kDefaultSurfaceBatchVertices;
    case TBatchRule::WholeFrame: return static_cast<std::int32_t>(Vertices);
    case TBatchRule::OneShort: return static_cast<std::int32_t>(Vertices - 3);
    case TBatchRule::OneTriangle: return 3;
    case TBatchRule::SeveralFull:
        for (std::int64_t d = 2; d <= triangles; ++d)
            if (triangles % d == 0) return static_cast<std::int32_t>(3 * (triangles / d));
        return 3;
    }
    return 0;
}

// The vertices the scene's grid emits at Ms, on a grid of its own.
std::int64_t FrameVertices(std::int32_t Ms) {
    Balls.Create(BallCount);
    MoveBalls(Balls.Data(), BallCount, SceneTimeAt(Ms));
    TGrid* grid = NewSceneGrid(GridSize);
    std::int64_t vertices = 0;
    grid->Polygonise([&](const TEdgeVertex&) { ++vertices; });
    delete grid;
    Balls.Release();
    return vertices;
}

// What OpenGL received in one RenderScene: the feedback buffer of
// GL_3D_COLOR_TEXTURE, every primitive after transformation, lighting and
// clipping, in the order drawn (a polygon token, its vertex count, then per
// vertex the window position, the colour and the texture coordinates).
// Drawn again with a larger buffer when it does not fit.
std::vector<GLfloat> Feedback(TSurfaceSubmit Route, std::size_t Floats) {
    std::vector<GLfloat> buffer(Floats);
    for (;;) {
        glFeedbackBuffer(static_cast<GLsizei>(buffer.size()), GL_3D_COLOR_TEXTURE, buffer.data());
        glRenderMode(GL_FEEDBACK);
        SurfaceSubmit = Route;
        RenderScene();
        const GLint used = glRenderMode(GL_RENDER);
        if (used >= 0) {
            buffer.resize(static_cast<std::size_t>(used));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Floats of one vertex in GL_3D_COLOR_TEXTURE feedback: x, y, z, RGBA, STRQ.
constexpr std::size_t kFeedbackVertex = 3 + 4 + 4;

// The polygons of a feedback buffer that are lit, that is the surface: the
// background sphere is unlit and keeps the current colour, white, which the
// lit surface never reaches (ambient 0.04 plus diffuse at most 0.8). -1 when
// the buffer holds anything but polygons or ends inside one.
long LitPolygons(const std::vector<GLfloat>& Buffer) {
    long lit = 0;
    for (std::size_t i = 0; i < Buffer.size();) {
        if (Buffer[i] != GL_POLYGON_TOKEN || i + 1 >= Buffer.size()) return -1;
        const auto n = static_cast<std::size_t>(Buffer[i + 1]);
        const std::size_t first = i + 2, end = first + n * kFeedbackVertex;
        if (n < 3 || end > Buffer.size()) return -1;
        lit += !(Buffer[first + 3] == 1.0f && Buffer[first + 4] == 1.0f && Buffer[first + 5] == 1.0f);
        i = end;
    }
    return lit;
}

// The index of the first float whose bytes differ, or the shorter size.
std::size_t FirstDifference(const std::vector<GLfloat>& A, const std::vector<GLfloat>& B) {
    const std::size_t n = std::min(A.size(), B.size());
    for (std::size_t i = 0; i < n; ++i)
        if (std::memcmp(&A[i], &B[i], sizeof(GLfloat)) != 0) return i;
    return n;
}

// The array batch must hand OpenGL exactly what immediate mode does: the
// same triangles, once each, in the same order, with the same normals (so
// the same lit colours and sphere-map coordinates). Pixels would not show a
// batch drawn twice or a triangle repeated, since the depth test hides what
// is drawn again; the feedback buffers show every primitive. The batch
// capacity is set for each frame from that frame's own vertex count, so the
// boundary cases (a batch that ends exactly at the frame's end, one
// triangle over) hold on every frame.
TEST_F(SceneGLTest, ArraysSendOpenGLWhatImmediateModeSends) {
    for (const TSubmitRow& row : kSubmitRows) {
        SCOPED_TRACE(row.Name);
        ASSERT_TRUE(Gl.Open(row.Width, row.Height)) << Gl.Error();
        BallCount = row.Balls;
        GridSize = row.GridSize;
        ResizeView(row.Width, row.Height);
        std::vector<GLfloat> previous;
        for (std::int32_t ms : row.FramesMs) {
            SCOPED_TRACE(ms);
            const std::int64_t vertices = FrameVertices(ms);
            EXPECT_EQ(vertices == 0, row.GridSize == 1) << vertices << " vertices";
            SurfaceBatchVertices = BatchFor(row.Rule, vertices);
            InitScene();  // the batch takes its capacity here
            ElapsedMs = ms;
            const std::size_t room = static_cast<std::size_t>(vertices) * 2 * kFeedbackVertex + (1u << 16);
            const std::vector<GLfloat> immediate = Feedback(TSurfaceSubmit::Immediate, room);
            const std::vector<GLfloat> arrays = Feedback(TSurfaceSubmit::Arrays, room);
            EXPECT_FALSE(glIsEnabled(GL_VERTEX_ARRAY) || glIsEnabled(GL_NORMAL_ARRAY)) << "client arrays left on";
            EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));

            const std::size_t at = FirstDifference(immediate, arrays);
            EXPECT_TRUE(at == immediate.size() && at == arrays.size())
                << "feedback of " << arrays.size() << " floats against immediate mode's " << immediate.size()
                << ", first difference at float " << at << " (batch of " << SurfaceBatchVertices << ", " << vertices
                << " vertices)";
            // The surface is there: lit polygons (as many as the triangles
            // give after the view's clipping, which may split one in several).
            const long lit = LitPolygons(arrays);
            EXPECT_GE(lit, 0) << "not a buffer of polygons";
            EXPECT_EQ(lit > 0, vertices > 0) << lit << " lit polygons";
            EXPECT_NE(arrays, previous) << "the frame is the one before it";
            previous = arrays;

            delete Grid;
            Grid = nullptr;
            Balls.Release();
        }
    }
}

// ---------------------------------------------------------------------------
// ResizeView
// ---------------------------------------------------------------------------
class ViewGLTest : public THeadlessGLTest {};

// gluPerspective(50, Aspect, 0.1, 100), column-major, from its definition.
std::vector<double> Perspective(double Aspect) {
    const double f = 1.0 / std::tan(25.0 * std::numbers::pi / 180.0);
    const double n = 0.1, far = 100.0;
    return {f / Aspect, 0, 0, 0, 0, f, 0, 0, 0, 0, (far + n) / (n - far), -1, 0, 0, 2 * far * n / (n - far), 0};
}

struct TViewRow {
    std::int32_t Width, Height;
    GLint ViewportHeight;
    double Aspect;  // 0: GLU leaves the projection at the identity
};
const TViewRow kViews[] = {
    {640, 480, 480, 640.0 / 480.0},
    {800, 0, 1, 800.0},  // a height of 0 counts as 1
    {0, 600, 600, 0.0},  // a width of 0 gives aspect 0
    {33, 1000, 1000, 0.033},
};

TEST_F(ViewGLTest, ViewportAndProjection) {
    for (const TViewRow& row : kViews) {
        glMatrixMode(GL_MODELVIEW);
        glTranslatef(1.0f, 2.0f, 3.0f);
        ResizeView(row.Width, row.Height);
        GLint viewport[4];
        glGetIntegerv(GL_VIEWPORT, viewport);
        EXPECT_EQ(std::vector<GLint>(viewport, viewport + 4), (std::vector<GLint>{0, 0, row.Width, row.ViewportHeight}));
        GLdouble p[16], m[16];
        glGetDoublev(GL_PROJECTION_MATRIX, p);
        glGetDoublev(GL_MODELVIEW_MATRIX, m);
        const std::vector<double> expected =
            row.Aspect != 0.0 ? Perspective(row.Aspect)
                              : std::vector<double>{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
        for (int i = 0; i < 16; ++i) {
            EXPECT_NEAR(p[i], expected[static_cast<std::size_t>(i)], 1e-5) << row.Width << "x" << row.Height << " [" << i << "]";
            EXPECT_EQ(m[i], (i % 5 == 0) ? 1.0 : 0.0) << "model-view identity [" << i << "]";
        }
        EXPECT_EQ(Integer(GL_MATRIX_MODE), GL_MODELVIEW);
        EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));
    }
}

} // namespace
