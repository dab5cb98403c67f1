// Texture creation: the two message lines and exit status 1 on failure, and
// the texture objects it makes in a real (software) OpenGL context.
#include "texture/texture.h"

#include "support/headless_gl.h"
#include "bmp_files.h"

#include <GL/gl.h>
#include <gtest/gtest.h>

namespace {

// --- Failures: the reader's box, then "Unable to load", then exit status 1 ------

// Each file, and the reader's line that comes before "Unable to load" (empty:
// none, for an image of no pixels).
TEST(LoadTextureDeathTest, FailureShowsTheReadersLineThenUnableToLoadAndExits1) {
    TBmpFolder folder;
    TBytes truncated = UniformPixels(4, 2, 1, 2, 3);
    truncated.resize(20);
    TBmpHeader eight, empty;
    eight.BitCount = 8;
    empty.Width = 0;
    empty.ImageSize = 0;
    const std::string missing = folder.Name("reflect.bmp");
    const struct {
        std::string Path, ReaderLine;
    } cases[] = {
        {missing, "BMP Unit: Error opening \"" + RegexQuote(missing) + "\n"},
        {folder.Write("background.bmp", MakeBmp(TBmpHeader{}, truncated)), "BMP Unit: Error reading bitmap data\n"},
        {folder.Write("eight.bmp", MakeBmp(eight, TBytes(64, 0))), "BMP Unit: Unsupported bitmap: [^\n]*\n"},
        {folder.Write("empty.bmp", MakeBmp(empty, {})), ""},
    };
    for (const auto& c : cases) {
        std::uint32_t texture = 0;
        EXPECT_EXIT(LoadTexture(c.Path.c_str(), texture), testing::ExitedWithCode(1),
                    "^" + c.ReaderLine + "Loading Textures: Unable to load " + RegexQuote(c.Path) + "\n$")
            << c.Path;
    }
    // Bytes in memory fail the same way, under the name they stand for.
    const TBytes eightBit = MakeBmp(eight, TBytes(64, 0));
    std::uint32_t texture = 0;
    EXPECT_EXIT(LoadTextureBytes("reflect.bmp", eightBit.data(), eightBit.size(), texture),
                testing::ExitedWithCode(1),
                "^BMP Unit: Unsupported bitmap: [^\n]*\nLoading Textures: Unable to load reflect\\.bmp\n$");
    EXPECT_EXIT(LoadTextureBytes("background.bmp", nullptr, 0, texture), testing::ExitedWithCode(1),
                "^BMP Unit: Error reading header[^\n]*\nLoading Textures: Unable to load background\\.bmp\n$");
}

// --- Textures in a software OpenGL context ----------------------------------------

class LoadTextureGL : public THeadlessGLTest {
protected:
    static GLint BoundTexture() {
        GLint name = 0;
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &name);
        return name;
    }
    // Width and height of Level of the texture bound to GL_TEXTURE_2D.
    std::pair<GLint, GLint> LevelSize(GLint Level) const {
        GLint w = 0, h = 0;
        glGetTexLevelParameteriv(GL_TEXTURE_2D, Level, GL_TEXTURE_WIDTH, &w);
        glGetTexLevelParameteriv(GL_TEXTURE_2D, Level, GL_TEXTURE_HEIGHT, &h);
        return {w, h};
    }
    // The base level of the bound texture as RGB, rows packed.
    TBytes BaseLevel() const {
        const auto [w, h] = LevelSize(0);
        TBytes out(static_cast<std::size_t>(w) * h * 3);
        glPixelStorei(GL_PACK_ALIGNMENT, 1);
        glGetTexImage(GL_TEXTURE_2D, 0, GL_RGB, GL_UNSIGNED_BYTE, out.data());
        glPixelStorei(GL_PACK_ALIGNMENT, 4);
        return out;
    }

    TBmpFolder Folder;
};

TEST_F(LoadTextureGL, TwoFilesGiveTwoNamesInCallOrderAndLeaveTheSecondBound) {
    TBmpHeader reflect;
    reflect.Width = 8;
    reflect.Height = 4;
    reflect.ImageSize = 0;
    TBmpHeader background;
    background.Width = 16;
    background.Height = 2;
    background.ImageSize = 0;
    const std::string a = Folder.Write("reflect.bmp", MakeBmp(reflect, UniformPixels(8, 4, 0, 0, 255)));
    const std::string b = Folder.Write("background.bmp", MakeBmp(background, UniformPixels(16, 2, 255, 0, 0)));

    std::uint32_t first = 0, second = 0;
    LoadTexture(a.c_str(), first);
    EXPECT_EQ(BoundTexture(), static_cast<GLint>(first));
    LoadTexture(b.c_str(), second);
    EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));

    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(BoundTexture(), static_cast<GLint>(second));
    EXPECT_EQ(LevelSize(0), std::make_pair(16, 2));
    glBindTexture(GL_TEXTURE_2D, first);
    EXPECT_EQ(LevelSize(0), std::make_pair(8, 4));
}

TEST_F(LoadTextureGL, ModulatesFiltersLinearlyAndHoldsTheFilesPixelsWithMipmaps) {
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    TBmpHeader h;
    h.Width = 4;
    h.Height = 4;
    h.ImageSize = 0;
    const std::string path = Folder.Write("image.bmp", MakeBmp(h, CountingPixels(4, 4)));
    std::uint32_t texture = 0;
    LoadTexture(path.c_str(), texture);

    GLint mode = 0, mag = 0, min = 0;
    glGetTexEnviv(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, &mode);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &mag);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &min);
    EXPECT_TRUE(mode == GL_MODULATE && mag == GL_LINEAR && min == GL_LINEAR) << mode << " " << mag << " " << min;
    EXPECT_EQ(LevelSize(0), std::make_pair(4, 4));
    EXPECT_EQ(LevelSize(1), std::make_pair(2, 2));
    EXPECT_EQ(LevelSize(2), std::make_pair(1, 1));
    // Texture row 0 is the file's bottom row; each texel is red, green, blue.
    const TBytes texels = BaseLevel();
    ASSERT_EQ(texels.size(), 48u);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(texels[3 * i], 3 * i + 3) << "red of texel " << i;
        EXPECT_EQ(texels[3 * i + 1], 3 * i + 2) << "green of texel " << i;
        EXPECT_EQ(texels[3 * i + 2], 3 * i + 1) << "blue of texel " << i;
    }
}

TEST_F(LoadTextureGL, SidesThatAreNotPowersOfTwoLoad) {
    struct TCase {
        int Width, Height;
    };
    // 12 x 6 has unpadded rows, 5 x 3 and 7 x 5 padded ones. (Heights of 1
    // and 2 are left out: GLU's rescaling fills their second half with
    // black whatever the image.)
    static const TCase kCases[] = {{12, 6}, {5, 3}, {7, 5}};
    for (const TCase& c : kCases) {
        TBmpHeader h;
        h.Width = c.Width;
        h.Height = c.Height;
        h.ImageSize = 0;
        const std::string path = Folder.Write("odd.bmp", MakeBmp(h, UniformPixels(c.Width, c.Height, 40, 90, 200)));
        std::uint32_t texture = 0;
        LoadTexture(path.c_str(), texture);
        EXPECT_EQ(TakeGLError(), static_cast<GLenum>(GL_NO_ERROR));

        const auto [w, h2] = LevelSize(0);
        EXPECT_GT(w, 0) << c.Width << "x" << c.Height;
        EXPECT_GT(h2, 0);
        EXPECT_EQ(w & (w - 1), 0) << "GLU rescales to a power of two";
        EXPECT_EQ(h2 & (h2 - 1), 0);
        // One colour stays one colour through the rescaling, if every row
        // was read at the right place and swapped in step.
        const TBytes texels = BaseLevel();
        for (std::size_t i = 0; i + 2 < texels.size(); i += 3) {
            ASSERT_EQ(texels[i], 200) << c.Width << "x" << c.Height << " texel " << i / 3;
            ASSERT_EQ(texels[i + 1], 90);
            ASSERT_EQ(texels[i + 2], 40);
        }
    }
}

} // namespace
