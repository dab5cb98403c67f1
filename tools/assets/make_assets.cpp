// sorvel2-make-assets: draws the demo's two textures and writes them as the
// BMP files the program reads (uncompressed 24-bit, 40-byte header, rows
// bottom first, widths a multiple of 4).
//
//   sorvel2-make-assets OUTDIR     writes OUTDIR/reflect.bmp (256 x 256)
//                                  and OUTDIR/background.bmp (512 x 256)
//
// reflect.bmp is a sphere map of a chrome-like world: sky above, a bright
// horizon with hills, dark ground below, and a sun. background.bmp is a
// night sky with a nebula and stars, seamless left to right since the
// background sphere wraps it. Everything is computed from fixed seeds, so
// the files come out the same byte for byte on every machine.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

namespace {

struct TColour {
    double R, G, B;
};

TColour Mix(TColour A, TColour B, double T) {
    T = std::clamp(T, 0.0, 1.0);
    return {A.R + (B.R - A.R) * T, A.G + (B.G - A.G) * T, A.B + (B.B - A.B) * T};
}
TColour Add(TColour A, TColour B, double K) { return {A.R + B.R * K, A.G + B.G * K, A.B + B.B * K}; }

class TImage {
public:
    TImage(int Width, int Height) : Width_(Width), Height_(Height), Pixels_(static_cast<std::size_t>(Width * Height)) {}
    int Width() const { return Width_; }
    int Height() const { return Height_; }
    // Row Y counts from the bottom, as BMP files and OpenGL texture rows do.
    TColour& At(int X, int Y) { return Pixels_[static_cast<std::size_t>(Y * Width_ + X)]; }
    const TColour& At(int X, int Y) const { return Pixels_[static_cast<std::size_t>(Y * Width_ + X)]; }

private:
    int Width_;
    int Height_;
    std::vector<TColour> Pixels_;
};

void Put16(std::vector<std::uint8_t>& Out, unsigned Value) {
    Out.push_back(static_cast<std::uint8_t>(Value));
    Out.push_back(static_cast<std::uint8_t>(Value >> 8));
}
void Put32(std::vector<std::uint8_t>& Out, std::uint32_t Value) {
    Put16(Out, Value & 0xFFFFu);
    Put16(Out, Value >> 16);
}
std::uint8_t Byte(double Value) { return static_cast<std::uint8_t>(std::lround(std::clamp(Value, 0.0, 1.0) * 255.0)); }

bool WriteBmp(const std::string& Path, const TImage& Image) {
    const std::uint32_t rowBytes = static_cast<std::uint32_t>(Image.Width() * 3 + 3) & ~3u;
    const std::uint32_t imageBytes = rowBytes * static_cast<std::uint32_t>(Image.Height());
    std::vector<std::uint8_t> out;
    out.push_back('B');
    out.push_back('M');
    Put32(out, 14 + 40 + imageBytes);  // file size
    Put32(out, 0);                     // reserved
    Put32(out, 14 + 40);               // offset of the pixels
    Put32(out, 40);                    // header size
    Put32(out, static_cast<std::uint32_t>(Image.Width()));
    Put32(out, static_cast<std::uint32_t>(Image.Height()));
    Put16(out, 1);   // planes
    Put16(out, 24);  // bits per pixel
    Put32(out, 0);   // no compression
    Put32(out, imageBytes);
    Put32(out, 2835);  // 72 dpi
    Put32(out, 2835);
    Put32(out, 0);  // colours used
    Put32(out, 0);  // important colours
    for (int y = 0; y < Image.Height(); ++y) {
        for (int x = 0; x < Image.Width(); ++x) {
            const TColour& c = Image.At(x, y);
            out.push_back(Byte(c.B));
            out.push_back(Byte(c.G));
            out.push_back(Byte(c.R));
        }
        for (std::uint32_t pad = static_cast<std::uint32_t>(Image.Width()) * 3; pad < rowBytes; ++pad) out.push_back(0);
    }
    std::FILE* file = std::fopen(Path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && ok;
}

// Small deterministic generator (the same on every platform, unlike <random>'s distributions).
struct TRandom {
    std::uint32_t State;
    std::uint32_t Next() {
        State ^= State << 13;
        State ^= State >> 17;
        State ^= State << 5;
        return State;
    }
    double Unit() { return (Next() >> 8) * (1.0 / 16777216.0); }
};

// Value noise on a lattice that repeats every Period cells along x.
class TNoise {
public:
    TNoise(std::uint32_t Seed, int Period) : Period_(Period) {
        TRandom random{Seed};
        for (double& v : Lattice_) v = random.Unit();
    }
    double At(double X, double Y) const {
        const double fx = std::floor(X), fy = std::floor(Y);
        const int x0 = static_cast<int>(fx), y0 = static_cast<int>(fy);
        const double tx = Smooth(X - fx), ty = Smooth(Y - fy);
        const double a = Cell(x0, y0), b = Cell(x0 + 1, y0), c = Cell(x0, y0 + 1), d = Cell(x0 + 1, y0 + 1);
        return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
    }
    // Octaves of halving amplitude; each doubles the period, so it stays seamless.
    double Fractal(double X, double Y, int Octaves) const {
        double sum = 0.0, amplitude = 0.5, scale = 1.0;
        for (int i = 0; i < Octaves; ++i) {
            sum += amplitude * TNoise(*this, Period_ << i).At(X * scale, Y * scale);
            amplitude *= 0.5;
            scale *= 2.0;
        }
        return sum;
    }

private:
    TNoise(const TNoise& Other, int Period) : Period_(Period) { std::copy(std::begin(Other.Lattice_), std::end(Other.Lattice_), Lattice_); }
    static double Smooth(double T) { return T * T * (3.0 - 2.0 * T); }
    double Cell(int X, int Y) const {
        X = ((X % Period_) + Period_) % Period_;
        const unsigned h = static_cast<unsigned>(X) * 73856093u ^ static_cast<unsigned>(Y) * 19349663u;
        return Lattice_[h % kSize];
    }
    static constexpr unsigned kSize = 4096;
    double Lattice_[kSize];
    int Period_;
};

// The world seen in the chrome: colour of the direction (X, Y, Z), Y up.
TColour World(double X, double Y, double Z, const TNoise& Hills) {
    const TColour zenith{0.10, 0.22, 0.62}, skyLow{0.62, 0.80, 0.98}, horizon{1.0, 0.97, 0.90};
    const TColour groundNear{0.46, 0.38, 0.30}, groundFar{0.13, 0.11, 0.11};
    const double azimuth = std::atan2(X, Z);
    // Hills on the horizon: the ground rises a little, by azimuth.
    const double hill = 0.12 * Hills.Fractal((azimuth / (2.0 * std::numbers::pi) + 0.5) * 16.0, 3.5, 3) - 0.02;
    TColour c;
    if (Y > hill) {
        const double h = (Y - hill) / (1.0 - hill);
        c = Mix(skyLow, zenith, std::pow(h, 0.6));
        c = Mix(horizon, c, std::min(1.0, h * 14.0));  // a bright band just above the horizon
    } else {
        const double d = (hill - Y) / (1.0 + hill);
        c = Mix(groundNear, groundFar, std::pow(d, 0.5));
        c = Mix(TColour{0.55, 0.50, 0.45}, c, std::min(1.0, d * 20.0));  // lit edge of the land
    }
    // The sun, up and to the left, with a wide glow.
    const double sx = -0.45, sy = 0.62, sz = 0.64;
    const double cosine = (X * sx + Y * sy + Z * sz) / std::sqrt(sx * sx + sy * sy + sz * sz);
    c = Add(c, TColour{1.0, 0.95, 0.85}, std::pow(std::max(cosine, 0.0), 400.0) * 2.0);
    c = Add(c, TColour{1.0, 0.85, 0.6}, std::pow(std::max(cosine, 0.0), 12.0) * 0.35);
    return c;
}

// Sphere map: texel (s, t) in -1..1 is the reflection, off a mirror ball
// seen along -Z, of the direction with normal (s, t, sqrt(1 - s^2 - t^2)).
TImage MakeReflect() {
    const int size = 256;
    const TNoise hills(0x51A7E5u, 16);
    TImage image(size, size);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double s = (x + 0.5) / size * 2.0 - 1.0;
            double t = (y + 0.5) / size * 2.0 - 1.0;
            double r2 = s * s + t * t;
            if (r2 > 1.0) {  // outside the disc: the rim's colour, so filtering at the edge stays clean
                const double r = std::sqrt(r2);
                s /= r * 1.0001;
                t /= r * 1.0001;
                r2 = s * s + t * t;
            }
            const double nz = std::sqrt(std::max(0.0, 1.0 - r2));
            image.At(x, y) = World(2.0 * nz * s, 2.0 * nz * t, 2.0 * nz * nz - 1.0, hills);
        }
    }
    return image;
}

TImage MakeBackground() {
    const int width = 512, height = 256;
    const TNoise cloud(0xC0FFEEu, 8), dust(0xBADC0DEu, 16);
    TImage image(width, height);
    for (int y = 0; y < height; ++y) {
        const double v = (y + 0.5) / height;
        for (int x = 0; x < width; ++x) {
            const double u = (x + 0.5) / width;
            // A band of nebula across the middle, thinning towards the poles.
            const double band = std::exp(-std::pow((v - 0.5 - 0.08 * std::sin(u * 2.0 * std::numbers::pi)) / 0.22, 2.0));
            const double n = cloud.Fractal(u * 8.0, v * 4.0, 5);
            const double m = dust.Fractal(u * 16.0, v * 8.0, 4);
            const double glow = std::pow(std::clamp(n * 1.6 - 0.35, 0.0, 1.0), 1.5) * band;
            TColour c{0.01, 0.012, 0.035};
            c = Add(c, TColour{0.55, 0.18, 0.70}, glow * 1.2);
            c = Add(c, TColour{0.15, 0.55, 0.75}, std::pow(std::clamp(m - 0.35, 0.0, 1.0), 1.2) * band * 0.8);
            c = Add(c, TColour{1.0, 0.55, 0.30}, std::pow(glow, 3.0) * 0.8);
            image.At(x, y) = c;
        }
    }
    // Stars: mostly faint, a few bright with a small cross.
    TRandom random{0x5EEDu};
    for (int i = 0; i < 900; ++i) {
        const int x = static_cast<int>(random.Next() % width), y = static_cast<int>(random.Next() % height);
        const double brightness = std::pow(random.Unit(), 3.0) * 0.9 + 0.1;
        const TColour tint = Mix(TColour{0.75, 0.85, 1.0}, TColour{1.0, 0.9, 0.75}, random.Unit());
        image.At(x, y) = Add(image.At(x, y), tint, brightness);
        if (brightness > 0.7) {
            for (int d : {-1, 1}) {
                image.At((x + d + width) % width, y) = Add(image.At((x + d + width) % width, y), tint, brightness * 0.4);
                if (y + d >= 0 && y + d < height) image.At(x, y + d) = Add(image.At(x, y + d), tint, brightness * 0.4);
            }
        }
    }
    return image;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    if (!WriteBmp(dir + "/reflect.bmp", MakeReflect()) || !WriteBmp(dir + "/background.bmp", MakeBackground())) {
        std::fprintf(stderr, "%s: cannot write the textures in %s\n", argv[0], dir.c_str());
        return 1;
    }
    return 0;
}
