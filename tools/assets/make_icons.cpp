// sorvel2-make-icons: the program's icons, made from one frame of the demo
// (`sorvel2-tool render`, square) by scaling it down.
//
//   sorvel2-make-icons FRAME.png OUTDIR
//       writes OUTDIR/sorvel2-N.png for N in 16 32 48 64 128 256 (the desktop
//       icon theme's sizes) and OUTDIR/sorvel2.ico (16, 24, 32, 48, 64 and
//       256 pixels, each stored as PNG, for the Windows exe); all opaque
//
// Each size averages the frame's pixels over the area every output pixel
// covers (a box filter with fractional edges), in double arithmetic rounded
// once, so the files come out the same byte for byte from the same frame. Exit codes: 0 done, 1 a file could not be read or
// written, 64 a bad command line.
#include <png.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct TImage {
    int Size = 0;                   // square: Size x Size pixels
    std::vector<std::uint8_t> Rgb;  // rows top first, 3 bytes a pixel
};

// The frame as 8-bit RGB; false when it is not a readable square PNG.
bool ReadFrame(const char* Path, TImage& Out) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, Path)) return false;
    image.format = PNG_FORMAT_RGB;
    if (image.width != image.height || image.width == 0) {
        png_image_free(&image);
        return false;
    }
    Out.Size = static_cast<int>(image.width);
    Out.Rgb.resize(PNG_IMAGE_SIZE(image));
    return png_image_finish_read(&image, nullptr, Out.Rgb.data(), 0, nullptr) != 0;
}

// How much of source pixel I (covering [I, I + 1)) lies inside [Lo, Hi).
double Overlap(int I, double Lo, double Hi) { return std::fmax(0.0, std::fmin(I + 1.0, Hi) - std::fmax(I * 1.0, Lo)); }

// The frame scaled to Size x Size: each output pixel is the mean of the
// source area it covers.
TImage Scale(const TImage& From, int Size) {
    TImage out;
    out.Size = Size;
    out.Rgb.resize(static_cast<std::size_t>(Size) * Size * 3);
    const double step = static_cast<double>(From.Size) / Size;
    for (int y = 0; y < Size; ++y) {
        const double y0 = y * step, y1 = (y + 1) * step;
        for (int x = 0; x < Size; ++x) {
            const double x0 = x * step, x1 = (x + 1) * step;
            double sum[3] = {0, 0, 0};
            for (int sy = static_cast<int>(y0); sy < From.Size && sy < y1; ++sy) {
                const double wy = Overlap(sy, y0, y1);
                for (int sx = static_cast<int>(x0); sx < From.Size && sx < x1; ++sx) {
                    const double w = wy * Overlap(sx, x0, x1);
                    const std::uint8_t* p = &From.Rgb[(static_cast<std::size_t>(sy) * From.Size + sx) * 3];
                    for (int c = 0; c < 3; ++c) sum[c] += w * p[c];
                }
            }
            for (int c = 0; c < 3; ++c) {
                const double mean = sum[c] / (step * step);
                out.Rgb[(static_cast<std::size_t>(y) * Size + x) * 3 + c] =
                    static_cast<std::uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, mean))));
            }
        }
    }
    return out;
}

// The image as PNG file bytes, opaque RGBA (empty on failure).
// NOTE: RGBA because Windows draws an .ico's PNG images only when they are
// 32 bits a pixel.
std::vector<std::uint8_t> EncodePng(const TImage& Image) {
    std::vector<std::uint8_t> rgba;
    rgba.reserve(Image.Rgb.size() / 3 * 4);
    for (std::size_t i = 0; i < Image.Rgb.size(); i += 3)
        rgba.insert(rgba.end(), {Image.Rgb[i], Image.Rgb[i + 1], Image.Rgb[i + 2], 255});
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(Image.Size);
    image.height = static_cast<png_uint_32>(Image.Size);
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t bytes = 0;
    if (!png_image_write_to_memory(&image, nullptr, &bytes, 0, rgba.data(), 0, nullptr)) return {};
    std::vector<std::uint8_t> png(bytes);
    if (!png_image_write_to_memory(&image, png.data(), &bytes, 0, rgba.data(), 0, nullptr)) return {};
    png.resize(bytes);
    return png;
}

bool WriteFile(const std::string& Path, const std::vector<std::uint8_t>& Bytes) {
    std::FILE* file = std::fopen(Path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool written = std::fwrite(Bytes.data(), 1, Bytes.size(), file) == Bytes.size();
    return std::fclose(file) == 0 && written;
}

void Put16(std::vector<std::uint8_t>& Out, unsigned V) {
    Out.push_back(static_cast<std::uint8_t>(V));
    Out.push_back(static_cast<std::uint8_t>(V >> 8));
}
void Put32(std::vector<std::uint8_t>& Out, std::uint32_t V) {
    Put16(Out, V & 0xFFFF);
    Put16(Out, V >> 16);
}

// An .ico file of PNG images: the 6-byte header (reserved 0, type 1 = icon,
// count), one 16-byte entry per image (width and height, 0 meaning 256;
// no palette; 1 plane; 32 bits; byte count; offset), then the images.
std::vector<std::uint8_t> MakeIco(const std::vector<std::vector<std::uint8_t>>& Pngs, const std::vector<int>& Sizes) {
    std::vector<std::uint8_t> ico;
    Put16(ico, 0);
    Put16(ico, 1);
    Put16(ico, static_cast<unsigned>(Pngs.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * Pngs.size());
    for (std::size_t i = 0; i < Pngs.size(); ++i) {
        const std::uint8_t side = static_cast<std::uint8_t>(Sizes[i] >= 256 ? 0 : Sizes[i]);
        ico.push_back(side);
        ico.push_back(side);
        ico.push_back(0);
        ico.push_back(0);
        Put16(ico, 1);
        Put16(ico, 32);
        Put32(ico, static_cast<std::uint32_t>(Pngs[i].size()));
        Put32(ico, offset);
        offset += static_cast<std::uint32_t>(Pngs[i].size());
    }
    for (const std::vector<std::uint8_t>& png : Pngs) ico.insert(ico.end(), png.begin(), png.end());
    return ico;
}

// The desktop theme's sizes and the exe icon's.
const int kThemeSizes[] = {16, 32, 48, 64, 128, 256};
const int kIcoSizes[] = {16, 24, 32, 48, 64, 256};

} // namespace

int main(int Argc, char** Argv) {
    if (Argc != 3) {
        std::fprintf(stderr, "usage: sorvel2-make-icons FRAME.png OUTDIR\n");
        return 64;
    }
    TImage frame;
    if (!ReadFrame(Argv[1], frame)) {
        std::fprintf(stderr, "sorvel2-make-icons: %s is not a readable square PNG\n", Argv[1]);
        return 1;
    }
    const std::string dir = Argv[2];
    for (int size : kThemeSizes) {
        const std::string path = dir + "/sorvel2-" + std::to_string(size) + ".png";
        const std::vector<std::uint8_t> png = EncodePng(Scale(frame, size));
        if (png.empty() || !WriteFile(path, png)) {
            std::fprintf(stderr, "sorvel2-make-icons: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    std::vector<std::vector<std::uint8_t>> pngs;
    std::vector<int> sizes;
    for (int size : kIcoSizes) {
        pngs.push_back(EncodePng(Scale(frame, size)));
        sizes.push_back(size);
        if (pngs.back().empty()) {
            std::fprintf(stderr, "sorvel2-make-icons: cannot encode the %d-pixel image\n", size);
            return 1;
        }
    }
    if (!WriteFile(dir + "/sorvel2.ico", MakeIco(pngs, sizes))) {
        std::fprintf(stderr, "sorvel2-make-icons: cannot write %s/sorvel2.ico\n", dir.c_str());
        return 1;
    }
    return 0;
}
