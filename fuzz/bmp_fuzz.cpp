// Fuzzes the BMP reader with whole files: any byte sequence must give either
// no pixel buffer or one that covers every byte the red/blue swap and
// OpenGL touch (rows rounded up to 4 bytes), never a read or write outside
// a buffer. The reader's message boxes go to stderr.
#include "texture/bmp.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/sorvel2-bmp-fuzz-" + std::to_string(getpid()) + ".bmp";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    std::int32_t width = -1, height = -1;
    std::uint8_t* pixels = nullptr;
    ReadBitmap(path.c_str(), width, height, pixels);
    if (pixels == nullptr) return 0;

    // A buffer came back: the sides are positive and every byte OpenGL
    // reads is there (touching it lets AddressSanitizer check the size).
    if (width <= 0 || height <= 0) std::abort();
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    volatile std::uint8_t sink = 0;
    for (std::int32_t row = 0; row < height; ++row) {
        sink = sink ^ pixels[row * stride] ^ pixels[row * stride + stride - 1];
    }
    FreeBitmap(pixels);
    return 0;
}
