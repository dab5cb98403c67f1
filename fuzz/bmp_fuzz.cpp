// Fuzzes the BMP reader with whole files served from memory: any byte
// sequence must give either no pixel buffer or one that covers every byte
// the red/blue swap and OpenGL touch (rows rounded up to 4 bytes), never a
// read or write outside a buffer. Beyond that, on every input:
//  - the file is closed again, whatever path the reader took;
//  - at most one message is shown;
//  - a buffer comes only from a 24-bit, uncompressed, bottom-up header, with
//    no message;
//  - a refusal says why, except for the one silent case: a size field of 0
//    with a width, height or bit count of 0.
//
// One kind of input is left out: a header the reader accepts whose pixel
// data would take more than kMaxBuffer bytes. The reader allocates what the
// header asks for before it reads, so a 60-byte file can make it allocate
// up to 2 GB; AddressSanitizer then marks every byte of that block twice
// (about 0.45 s for 2 GB), and a few such inputs a second would slow the
// fuzzer a hundredfold. The branches those inputs take (allocation, short
// read, "Error reading bitmap data") are the ones claims up to kMaxBuffer
// take, and those still run; claims beyond 2^31 - 1 are refused before any
// allocation and run too.
#include "texture/bmp.h"

#include "platform/memory_files.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <cstdlib>

namespace {

constexpr const char* kName = "image.bmp";
constexpr std::uint64_t kMaxBuffer = 4u << 20;

std::uint32_t Field(const std::uint8_t* data, std::size_t at, std::size_t bytes) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= static_cast<std::uint32_t>(data[at + i]) << (8 * i);
    return v;
}

void Require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool hasHeader = size >= 54;
    // Info-header fields at their file offsets (14 + offset in the header).
    const auto headerWidth = static_cast<std::int32_t>(hasHeader ? Field(data, 18, 4) : 0);
    const auto headerHeight = static_cast<std::int32_t>(hasHeader ? Field(data, 22, 4) : 0);
    const std::uint32_t bitCount = hasHeader ? Field(data, 28, 2) : 0;
    const std::uint32_t compression = hasHeader ? Field(data, 30, 4) : 0;
    const std::uint32_t imageSize = hasHeader ? Field(data, 34, 4) : 0;
    const std::uint64_t colourBytes = hasHeader ? std::uint64_t{Field(data, 46, 4)} * 4 : 0;

    // The buffer the reader would allocate for an accepted header (see above).
    if (hasHeader && bitCount == 24 && compression == 0 && headerWidth > 0 && headerHeight > 0 &&
        54 + colourBytes <= size) {
        const std::uint64_t row = (static_cast<std::uint64_t>(headerWidth) * 3 + 3) & ~std::uint64_t{3};
        const std::uint64_t asked = imageSize != 0 ? imageSize : row * static_cast<std::uint64_t>(headerHeight);
        if (asked > kMaxBuffer && asked <= 0x7FFFFFFF && asked >= row * static_cast<std::uint64_t>(headerHeight)) {
            return -1; // not run, and not kept in the corpus
        }
    }

    Require(ServeMemoryFile(kName, data, size));
    ResetQuietBoxes();

    std::int32_t width = -1, height = -1;
    std::uint8_t* pixels = nullptr;
    ReadBitmap(kName, width, height, pixels);

    Require(OpenMemoryHandles() == 0);
    Require(QuietBoxCount() <= 1);

    // The same bytes read from memory (the savers' way) end the same way:
    // the same message, sizes and pixels.
    const int boxes = QuietBoxCount();
    const std::string box = LastQuietBoxText();
    std::int32_t memoryWidth = -1, memoryHeight = -1;
    std::uint8_t* memoryPixels = nullptr;
    ReadBitmapBytes(data, size, memoryWidth, memoryHeight, memoryPixels);
    Require(QuietBoxCount() == 2 * boxes && box == LastQuietBoxText());
    Require(memoryWidth == width && memoryHeight == height && (memoryPixels == nullptr) == (pixels == nullptr));
    if (pixels != nullptr) {
        const std::size_t bytes = ((static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3}) *
                                  static_cast<std::size_t>(height);
        Require(std::memcmp(pixels, memoryPixels, bytes) == 0);
    }
    FreeBitmap(memoryPixels);

    if (pixels == nullptr) {
        if (QuietBoxCount() == 0) {
            Require(hasHeader && imageSize == 0 && (headerWidth == 0 || headerHeight == 0 || bitCount == 0));
        }
        return 0;
    }

    // A buffer came back: from a header the reader supports, with no message,
    // and every byte OpenGL reads is there (touching it lets
    // AddressSanitizer check the size).
    Require(QuietBoxCount() == 0);
    Require(hasHeader && bitCount == 24 && compression == 0);
    Require(width == headerWidth && height == headerHeight && width > 0 && height > 0);
    const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
    volatile std::uint8_t sink = 0;
    for (std::int32_t row = 0; row < height; ++row) {
        sink = sink ^ pixels[row * stride] ^ pixels[row * stride + stride - 1];
    }
    FreeBitmap(pixels);
    return 0;
}
