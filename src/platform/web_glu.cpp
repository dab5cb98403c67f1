#include "platform/web_glu.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace webglu {

namespace {

constexpr GLint kGluInvalidEnum = 100900;   // GLU_INVALID_ENUM
constexpr GLint kGluInvalidValue = 100901;  // GLU_INVALID_VALUE
constexpr double kPi = 3.14159265358979323846;

// Bytes per pixel of the formats handled, 0 for the others.
int Components(GLenum Format) {
    switch (Format) {
    case GL_RGB: return 3;
    case GL_RGBA: return 4;
    case GL_LUMINANCE:
    case GL_ALPHA: return 1;
    case GL_LUMINANCE_ALPHA: return 2;
    default: return 0;
    }
}

// One image, tightly packed, top row last as OpenGL reads it.
struct TImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Bytes;
};

// Area-average resampling: each target pixel is the mean of the source
// area it covers, partly covered source pixels weighted by the part.
TImage Resample(const TImage& From, int Width, int Height, int N) {
    TImage to{Width, Height, std::vector<std::uint8_t>(static_cast<std::size_t>(Width) * Height * N)};
    const double sx = static_cast<double>(From.Width) / Width;
    const double sy = static_cast<double>(From.Height) / Height;
    for (int y = 0; y < Height; ++y) {
        const double y0 = y * sy, y1 = y0 + sy;
        for (int x = 0; x < Width; ++x) {
            const double x0 = x * sx, x1 = x0 + sx;
            double sum[4] = {0, 0, 0, 0};
            double area = 0.0;
            for (int v = static_cast<int>(y0); v < From.Height && v < y1; ++v) {
                const double wy = std::fmin(y1, v + 1.0) - std::fmax(y0, static_cast<double>(v));
                for (int u = static_cast<int>(x0); u < From.Width && u < x1; ++u) {
                    const double w = wy * (std::fmin(x1, u + 1.0) - std::fmax(x0, static_cast<double>(u)));
                    const std::uint8_t* p = &From.Bytes[(static_cast<std::size_t>(v) * From.Width + u) * N];
                    for (int c = 0; c < N; ++c) sum[c] += w * p[c];
                    area += w;
                }
            }
            std::uint8_t* q = &to.Bytes[(static_cast<std::size_t>(y) * Width + x) * N];
            for (int c = 0; c < N; ++c) q[c] = static_cast<std::uint8_t>(area > 0.0 ? sum[c] / area + 0.5 : 0.0);
        }
    }
    return to;
}

// The next level: 2 x 2 boxes averaged, rounded; a side of 1 stays 1 and
// the boxes become pairs.
TImage Halve(const TImage& From, int N) {
    const int w = From.Width > 1 ? From.Width / 2 : 1;
    const int h = From.Height > 1 ? From.Height / 2 : 1;
    const int dx = From.Width > 1 ? 1 : 0, dy = From.Height > 1 ? 1 : 0;
    const unsigned count = static_cast<unsigned>((1 + dx) * (1 + dy));
    TImage to{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * N)};
    auto at = [&](int x, int y, int c) {
        return static_cast<unsigned>(From.Bytes[(static_cast<std::size_t>(y) * From.Width + x) * N + c]);
    };
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const int x0 = x * (1 + dx), y0 = y * (1 + dy);
            for (int c = 0; c < N; ++c) {
                unsigned sum = 0;
                for (int v = 0; v <= dy; ++v)
                    for (int u = 0; u <= dx; ++u) sum += at(x0 + u, y0 + v, c);
                to.Bytes[(static_cast<std::size_t>(y) * w + x) * N + c] = static_cast<std::uint8_t>((sum + count / 2) / count);
            }
        }
    }
    return to;
}

} // namespace

GLsizei NearestPowerOfTwo(GLsizei Side) {
    GLsizei power = 1;
    auto value = static_cast<std::uint32_t>(Side);
    if (value == 0) return 0;
    for (;;) {
        if (value == 1) return power;
        if (value == 3) return power * 4;
        value >>= 1;
        power *= 2;
    }
}

void Sphere(const TQuadric& Quadric, GLdouble Radius, GLint Slices, GLint Stacks) {
    constexpr int kMaxSteps = 240;  // GLU's cache size, less one
    if (Slices > kMaxSteps) Slices = kMaxSteps;
    if (Stacks > kMaxSteps) Stacks = kMaxSteps;
    if (Slices < 2 || Stacks < 1 || Radius < 0.0) return;
    float sinA[kMaxSteps + 1], cosA[kMaxSteps + 1];   // around the z axis, by slice
    float sinB[kMaxSteps + 1], cosB[kMaxSteps + 1];   // from the +z pole, by stack (unit)
    float ringR[kMaxSteps + 1], ringZ[kMaxSteps + 1];  // radius and height of each ring
    for (int i = 0; i < Slices; ++i) {
        const auto angle = static_cast<float>(2 * kPi * i / Slices);
        sinA[i] = static_cast<float>(std::sin(angle));
        cosA[i] = static_cast<float>(std::cos(angle));
    }
    sinA[Slices] = sinA[0];
    cosA[Slices] = cosA[0];
    for (int j = 0; j <= Stacks; ++j) {
        const auto angle = static_cast<float>(kPi * j / Stacks);
        sinB[j] = static_cast<float>(std::sin(angle));
        cosB[j] = static_cast<float>(std::cos(angle));
        ringR[j] = static_cast<float>(Radius * std::sin(angle));
        ringZ[j] = static_cast<float>(Radius * std::cos(angle));
    }
    // The poles come to a point.
    ringR[0] = 0.0f;
    ringR[Stacks] = 0.0f;

    // Corner (i, j): slice i on ring j, with its normal and coordinates.
    auto corner = [&](int i, int j) {
        glNormal3f(sinA[i] * sinB[j], cosA[i] * sinB[j], cosB[j]);
        if (Quadric.Texture)
            glTexCoord2f(1.0f - static_cast<float>(i) / static_cast<float>(Slices),
                         1.0f - static_cast<float>(j) / static_cast<float>(Stacks));
        glVertex3f(ringR[j] * sinA[i], ringR[j] * cosA[i], ringZ[j]);
    };
    // NOTE: GLU draws each stack as a quad strip, ring j + 1 before ring j;
    // the emulation has no quads, so each quad goes as the two triangles
    // Mesa cuts it into (split along the diagonal from its first corner),
    // which keeps the texture coordinates inside it the same.
    glBegin(GL_TRIANGLES);
    for (int j = 0; j < Stacks; ++j) {
        for (int i = 0; i < Slices; ++i) {
            corner(i, j + 1);
            corner(i, j);
            corner(i + 1, j);
            corner(i, j + 1);
            corner(i + 1, j);
            corner(i + 1, j + 1);
        }
    }
    glEnd();
}

GLint Build2DMipmaps(GLenum Target, GLint /*InternalFormat*/, GLsizei Width, GLsizei Height, GLenum Format,
                     GLenum Type, const void* Data) {
    if (Width < 1 || Height < 1) return kGluInvalidValue;
    const int n = Components(Format);
    if (n == 0 || Type != GL_UNSIGNED_BYTE) return kGluInvalidEnum;

    // Copy the rows out of their unpack alignment into a packed image.
    GLint alignment = 4;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    if (alignment < 1) alignment = 1;
    const std::size_t row = static_cast<std::size_t>(Width) * n;
    const std::size_t stride = (row + alignment - 1) / alignment * alignment;
    TImage image{Width, Height, std::vector<std::uint8_t>(row * Height)};
    const auto* bytes = static_cast<const std::uint8_t*>(Data);
    for (int y = 0; y < Height; ++y)
        std::copy(bytes + y * stride, bytes + y * stride + row, image.Bytes.begin() + static_cast<std::ptrdiff_t>(y * row));

    const int w = NearestPowerOfTwo(Width), h = NearestPowerOfTwo(Height);
    if (w != Width || h != Height) image = Resample(image, w, h, n);

    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    for (GLint level = 0;; ++level) {
        glTexImage2D(Target, level, static_cast<GLint>(Format), image.Width, image.Height, 0, Format, Type,
                     image.Bytes.data());
        if (image.Width == 1 && image.Height == 1) break;
        image = Halve(image, n);
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);
    return 0;
}

} // namespace webglu
