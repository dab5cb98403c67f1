// Texture creation over the BMP reader.
#include "texture/texture.h"

#include "platform/platform.h"
#include "texture/bmp.h"

#include <GL/gl.h>
#include <GL/glu.h>

#include <cstdlib>
#include <string>
#include <type_traits>

static_assert(std::is_same_v<GLuint, std::uint32_t>, "texture names are written straight into the caller's variable");

namespace {

// Everything after the read: the message and end for a refused image, else
// the texture object and its mipmaps.
void MakeTexture(const char* Name, std::int32_t Width, std::int32_t Height, std::uint8_t* Pixels,
                 std::uint32_t& Texture) {
    if (Pixels == nullptr) {
        const std::string text = std::string("Unable to load ") + Name;
        MessageBoxA(nullptr, text.c_str(), "Loading Textures", MB_OK);
        std::exit(1);
    }

    glGenTextures(1, &Texture);
    glBindTexture(GL_TEXTURE_2D, Texture);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_MODULATE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    // The unpack alignment stays at its default of 4, which matches the
    // reader's rows (rounded up to 4 bytes). GLU rescales sides that are not
    // powers of two; an error from it leaves the texture without an image.
    gluBuild2DMipmaps(GL_TEXTURE_2D, 3, Width, Height, GL_RGB, GL_UNSIGNED_BYTE, Pixels);
    FreeBitmap(Pixels);
}

} // namespace

void LoadTexture(const char* FileName, std::uint32_t& Texture) {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint8_t* pixels = nullptr;
    ReadBitmap(FileName, width, height, pixels);
    MakeTexture(FileName, width, height, pixels, Texture);
}

void LoadTextureBytes(const char* Name, const std::uint8_t* Bytes, std::size_t Size, std::uint32_t& Texture) {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint8_t* pixels = nullptr;
    ReadBitmapBytes(Bytes, Size, width, height, pixels);
    MakeTexture(Name, width, height, pixels, Texture);
}
