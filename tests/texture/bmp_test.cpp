// The BMP reader: what Data, Width and Height hold after each kind of file,
// and the exact message lines ("Caption: text" on stderr).
#include "texture/bmp.h"

#include "runtime/runtime.h"
#include "bmp_files.h"

#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

namespace {

// The 4 x 2 image of the reader's plainest case, byte by byte: file header,
// info header (image size 24, colour count 0), then two rows of four pixels
// stored blue, green, red.
const std::uint8_t kFourByTwo[] = {
    'B', 'M', 78, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                   // file header
    40, 0, 0, 0, 4, 0, 0, 0, 2, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,      // size, width, height, planes, bits, compr.
    24, 0, 0, 0, 0x13, 0x0B, 0, 0, 0x13, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, // image size, resolution, colours
    10, 20, 30, 11, 21, 31, 12, 22, 32, 13, 23, 33, // bottom row
    40, 50, 60, 41, 51, 61, 42, 52, 62, 43, 53, 63, // top row
};
// The same pixels as red, green, blue, bottom row first.
const std::uint8_t kFourByTwoRgb[] = {
    30, 20, 10, 31, 21, 11, 32, 22, 12, 33, 23, 13, 60, 50, 40, 61, 51, 41, 62, 52, 42, 63, 53, 43,
};

TBytes FourByTwo() { return TBytes(std::begin(kFourByTwo), std::end(kFourByTwo)); }
TBytes FourByTwoPixels() { return TBytes(std::begin(kFourByTwo) + 54, std::end(kFourByTwo)); }
TBytes FourByTwoRgb() { return TBytes(std::begin(kFourByTwoRgb), std::end(kFourByTwoRgb)); }

std::uint8_t gCallerByte = 0;
std::uint8_t* const kCallerData = &gCallerByte; // what a caller had in Data before the call

// One ReadBitmap call with the outputs preset to values the reader must
// either keep or overwrite, and everything it wrote to stderr.
struct TRead {
    std::int32_t Width = -77;
    std::int32_t Height = -88;
    std::uint8_t* Data = kCallerData;
    std::string Messages;

    TRead() = default;
    TRead(const TRead&) = delete;
    ~TRead() {
        if (Data != kCallerData) FreeBitmap(Data);
    }
    TBytes Bytes(std::size_t Count) const { return TBytes(Data, Data + Count); }
};

class BmpReader : public ::testing::Test {
protected:
    void Read(const std::string& Path, TRead& Out) {
        ::testing::internal::CaptureStderr();
        ReadBitmap(Path.c_str(), Out.Width, Out.Height, Out.Data);
        Out.Messages = ::testing::internal::GetCapturedStderr();
    }
    // Reads File from disk into Out, and the same bytes again from memory
    // (ReadBitmapBytes, the savers' way), which must end the same way: the
    // same sizes, messages and pixels.
    void ReadBytes(const TBytes& File, TRead& Out) {
        Read(Folder.Write("image.bmp", File), Out);
        TRead fromMemory;
        ::testing::internal::CaptureStderr();
        ReadBitmapBytes(File.data(), File.size(), fromMemory.Width, fromMemory.Height, fromMemory.Data);
        fromMemory.Messages = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(fromMemory.Messages, Out.Messages) << "from memory";
        EXPECT_EQ(fromMemory.Width, Out.Width) << "from memory";
        EXPECT_EQ(fromMemory.Height, Out.Height) << "from memory";
        ASSERT_EQ(fromMemory.Data == kCallerData, Out.Data == kCallerData) << "from memory";
        ASSERT_EQ(fromMemory.Data == nullptr, Out.Data == nullptr) << "from memory";
        if (Out.Data != nullptr && Out.Data != kCallerData) {
            const std::size_t rowBytes = (static_cast<std::size_t>(Out.Width) * 3 + 3) & ~std::size_t{3};
            const std::size_t size = rowBytes * static_cast<std::size_t>(Out.Height);
            EXPECT_EQ(fromMemory.Bytes(size), Out.Bytes(size)) << "from memory";
        }
    }

    TBmpFolder Folder;
};

TEST(SwapRedBlue, ExchangesFirstAndThirdByteOfEachGroupOnly) {
    std::uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    SwapRedBlue(bytes, 2);
    EXPECT_EQ(TBytes(std::begin(bytes), std::end(bytes)), (TBytes{3, 2, 1, 6, 5, 4, 7, 8, 9, 10}));
    SwapRedBlue(bytes, 0);
    EXPECT_EQ(bytes[0], 3) << "count 0 changes nothing";
}

// --- Files of the supported kind ---------------------------------------------

TEST_F(BmpReader, FourByTwoWithImageSizeGivesRgbInFileOrder) {
    TRead r;
    ReadBytes(FourByTwo(), r);
    EXPECT_EQ(r.Messages, "");
    EXPECT_EQ(r.Width, 4);
    EXPECT_EQ(r.Height, 2);
    ASSERT_NE(r.Data, nullptr);
    ASSERT_NE(r.Data, kCallerData);
    // The bottom-left pixel comes first, as red, green, blue.
    EXPECT_EQ(r.Bytes(24), FourByTwoRgb());
}

// Variations of the 4 x 2 file that read the same pixels without a message.
struct TSameImage {
    const char* Name;
    void (*Arrange)(TBmpHeader&);
    TBytes Palette, Trailer;
};
const TSameImage kSameImages[] = {
    {"image size 0 is width x height x 3", [](TBmpHeader& h) { h.ImageSize = 0; }, {}, {}},
    {"colour table read and dropped", [](TBmpHeader& h) { h.ColourCount = 2; },
     {0xA1, 0xA2, 0xA3, 0, 0xB1, 0xB2, 0xB3, 0}, {}},
    // 12000 bytes, more than one piece of the skip.
    {"large colour table skipped whole", [](TBmpHeader& h) { h.ColourCount = 3000; }, TBytes(12000, 0x5A), {}},
    {"offset 0", [](TBmpHeader& h) { h.DataOffset = 0; }, {}, {}},
    {"offset 1", [](TBmpHeader& h) { h.DataOffset = 1; }, {}, {}},
    {"offset 200", [](TBmpHeader& h) { h.DataOffset = 200; }, {}, {}},
    {"offset 2^32 - 1", [](TBmpHeader& h) { h.DataOffset = 0xFFFFFFFFu; }, {}, {}},
    {"type not checked", [](TBmpHeader& h) { h.Type[0] = 'X', h.Type[1] = '!'; }, {}, {}},
    {"bytes after the image size ignored", [](TBmpHeader&) {}, {}, {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02}},
};

TEST_F(BmpReader, HeaderFieldsThatPlayNoPartAreIgnored) {
    for (const TSameImage& c : kSameImages) {
        TBmpHeader h;
        c.Arrange(h);
        TBytes pixels = FourByTwoPixels();
        pixels.insert(pixels.end(), c.Trailer.begin(), c.Trailer.end());
        TRead r;
        ReadBytes(MakeBmp(h, pixels, c.Palette), r);
        EXPECT_EQ(r.Messages, "") << c.Name;
        ASSERT_NE(r.Data, nullptr) << c.Name;
        EXPECT_EQ(r.Bytes(24), FourByTwoRgb()) << c.Name;
    }
}

TEST_F(BmpReader, ImageSizeLargerThanTheImageIsReadWhole) {
    TBmpHeader h;
    h.ImageSize = 28;
    TBytes pixels = FourByTwoPixels();
    pixels.insert(pixels.end(), {7, 8, 9, 10});
    TRead r;
    ReadBytes(MakeBmp(h, pixels), r);
    EXPECT_EQ(r.Messages, "");
    ASSERT_NE(r.Data, nullptr);
    TBytes expected = FourByTwoRgb();
    expected.insert(expected.end(), {7, 8, 9, 10}); // read but not part of any pixel
    EXPECT_EQ(r.Bytes(28), expected);
}

TEST_F(BmpReader, PaddedRowsAreReadWholeAndSwappedRowByRow) {
    // 5 pixels of 3 bytes: 15 bytes of each row stored in 16.
    TBmpHeader h;
    h.Width = 5;
    h.Height = 3;
    for (std::uint32_t size : {0u, 48u}) {
        h.ImageSize = size;
        TRead r;
        ReadBytes(MakeBmp(h, CountingPixels(5, 3, 0xEE)), r);
        EXPECT_EQ(r.Messages, "") << size;
        ASSERT_NE(r.Data, nullptr) << size;
        for (int y = 0; y < 3; ++y) {
            for (int x = 0; x < 5; ++x) {
                const int i = y * 5 + x;
                const std::uint8_t* p = r.Data + y * 16 + x * 3;
                EXPECT_EQ(p[0], 3 * i + 3) << "red of " << x << "," << y;
                EXPECT_EQ(p[1], 3 * i + 2) << "green of " << x << "," << y;
                EXPECT_EQ(p[2], 3 * i + 1) << "blue of " << x << "," << y;
            }
            EXPECT_EQ(r.Data[y * 16 + 15], 0xEE) << "padding of row " << y;
        }
    }
}

// --- The reader's own failures ----------------------------------------------------

TEST_F(BmpReader, MissingFileSaysSoAndLeavesEverythingAlone) {
    const std::string path = Folder.Name("reflect.bmp");
    TRead r;
    Read(path, r);
    EXPECT_EQ(r.Messages, "BMP Unit: Error opening \"" + path + "\n");
    EXPECT_EQ(r.Data, kCallerData);
    EXPECT_EQ(r.Width, -77);
    EXPECT_EQ(r.Height, -88);
}

// Files that fail before the sizes are taken leave the outputs alone: short
// headers, a short colour table, a colour count far beyond the file.
TEST_F(BmpReader, ShortHeadersOrPaletteLeaveEverythingAlone) {
    const TBytes whole = FourByTwo();
    std::vector<std::pair<TBytes, std::string>> cases;
    for (std::size_t length : {0u, 1u, 13u, 14u, 30u, 53u}) {
        cases.push_back({TBytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)),
                         "Error reading header: the file is shorter than 54 bytes"});
    }
    for (std::uint32_t count : {2u, 0x40000000u, 0xFFFFFFFFu}) {
        TBmpHeader h;
        h.ColourCount = count;
        // Count 2: 6 of the 8 bytes of the table and no pixels.
        cases.push_back({count == 2 ? MakeBmp(h, {}, {1, 2, 3, 0, 4, 5}) : MakeBmp(h, FourByTwoPixels()),
                         "Error reading palette"});
    }
    for (const auto& [file, message] : cases) {
        TRead r;
        ReadBytes(file, r);
        EXPECT_EQ(r.Messages, "BMP Unit: " + message + "\n") << file.size() << " bytes";
        EXPECT_EQ(r.Data, kCallerData);
        EXPECT_EQ(r.Width, -77);
        EXPECT_EQ(r.Height, -88);
    }
}

// Pixel data cut short (23 of 24 bytes, or none after the headers), with and
// without a size field.
TEST_F(BmpReader, TruncatedPixelDataEmptiesData) {
    for (std::uint32_t size : {24u, 0u}) {
        for (std::size_t kept : {23u, 0u}) {
            TBmpHeader h;
            h.ImageSize = size;
            TBytes pixels = FourByTwoPixels();
            pixels.resize(kept);
            TRead r;
            ReadBytes(MakeBmp(h, pixels), r);
            EXPECT_EQ(r.Messages, "BMP Unit: Error reading bitmap data\n") << size << " " << kept;
            EXPECT_EQ(r.Data, nullptr) << size << " " << kept;
            EXPECT_EQ(r.Width, 4);
            EXPECT_EQ(r.Height, 2);
        }
    }
}

// --- Files the reader refuses -------------------------------------------------------

// A file of the 4 x 2 layout (with 64 bytes of pixel data) whose header
// describes something the reader will not hand on, and the message for it
// (none for an image of no pixels that claims none).
struct TRefusal {
    std::int32_t Width, Height;
    std::uint16_t BitCount;
    std::uint32_t Compression, ImageSize;
    const char* Message;
};
const char* const kBits = "Unsupported bitmap: only 24 bits per pixel can be read";
const char* const kCompressed = "Unsupported bitmap: compressed pixel data";
const char* const kSides = "Unsupported bitmap: width and height must be positive";
const char* const kLarge = "Unsupported bitmap: the image is too large";
const char* const kSmall = "Error reading bitmap data: the image size is smaller than width x height";
const char* const kShort = "Error reading bitmap data";
const TRefusal kRefusals[] = {
    // Zero sides or bit count with a size field of 0: no data and no message.
    {0, 2, 24, 0, 0, nullptr}, {4, 0, 24, 0, 0, nullptr}, {4, 2, 0, 0, 0, nullptr}, {0, 0, 0, 0, 0, nullptr},
    {-4, 0, 24, 0, 0, nullptr},
    // Other bit counts, with and without a size field.
    {4, 2, 1, 0, 0, kBits}, {4, 2, 8, 0, 64, kBits}, {4, 2, 16, 0, 0, kBits}, {4, 2, 32, 0, 64, kBits},
    // Run-length, bit-field, JPEG and PNG data.
    {4, 2, 24, 1, 24, kCompressed}, {4, 2, 24, 3, 24, kCompressed}, {4, 2, 24, 4, 0, kCompressed},
    {4, 2, 24, 5, 24, kCompressed},
    // Top-down rows (negative height), negative widths, and a zero side that
    // still claims pixel data.
    {4, -2, 24, 0, 24, kSides}, {4, -2, 24, 0, 0, kSides}, {-4, 2, 24, 0, 24, kSides}, {-4, -2, 24, 0, 0, kSides},
    {0, 2, 24, 0, 24, kSides}, {4, 0, 24, 0, 24, kSides},
    // Sizes beyond 2^31 - 1 bytes: 65536 x 65536 x 24 bits wraps to 0 in 32
    // bits, a row of 0x55555556 pixels to 4 bytes; 23172 x 30897 x 3 is just
    // over.
    {65536, 65536, 24, 0, 0, kLarge}, {65536, 65536, 24, 0, 24, kLarge}, {0x7FFFFFFF, 0x7FFFFFFF, 24, 0, 0, kLarge},
    {0x7FFFFFFF, 1, 24, 0, 0, kLarge}, {0x55555556, 1, 24, 0, 0, kLarge}, {0x55555556, 2, 24, 0, 24, kLarge},
    {23172, 30897, 24, 0, 0, kLarge},
    // A size field below what the swap and OpenGL read: 4 x 2 needs 24
    // bytes; 5 x 3 has 45 bytes of pixels in three rows of 16 (48).
    {4, 2, 24, 0, 1, kSmall}, {4, 2, 24, 0, 12, kSmall}, {4, 2, 24, 0, 23, kSmall}, {5, 3, 24, 0, 45, kSmall},
    {5, 3, 24, 0, 47, kSmall}, {1000, 1000, 24, 0, 24, kSmall},
    // A size field that does not fit a signed 32-bit number is a short read.
    {4, 2, 24, 0, 0x80000000u, kShort}, {4, 2, 24, 0, 0xFFFFFFE8u, kShort}, {4, 2, 24, 0, 0xFFFFFFFFu, kShort},
};

TEST_F(BmpReader, FilesThatCannotBeHandedOnAreRefusedWithTheReason) {
    for (const TRefusal& c : kRefusals) {
        TBmpHeader h;
        h.Width = c.Width;
        h.Height = c.Height;
        h.BitCount = c.BitCount;
        h.Compression = c.Compression;
        h.ImageSize = c.ImageSize;
        TRead r;
        ReadBytes(MakeBmp(h, TBytes(64, 0x11)), r);
        SCOPED_TRACE(::testing::Message() << c.Width << "x" << c.Height << ", " << c.BitCount << " bits, compression "
                                          << c.Compression << ", size field " << c.ImageSize);
        EXPECT_EQ(r.Messages, c.Message ? std::string("BMP Unit: ") + c.Message + "\n" : "");
        EXPECT_EQ(r.Data, nullptr);
        EXPECT_EQ(r.Width, c.Width);
        EXPECT_EQ(r.Height, c.Height);
    }
}

// --- Memory --------------------------------------------------------------------------

#if !SORVEL2_ASAN
// Limits the address space, reads Path and exits with 0 when Data came back
// empty, 2 when it did not.
[[noreturn]] void ReadUnderLimit(const std::string& Path, rlim_t Bytes) {
    rlimit lim{Bytes, Bytes};
    setrlimit(RLIMIT_AS, &lim);
    std::int32_t w = 0, h = 0;
    std::uint8_t* data = nullptr;
    ReadBitmap(Path.c_str(), w, h, data);
    std::exit(data == nullptr ? 0 : 2);
}

// Fields asking for more memory than the process may have: 16 GiB of colour
// table, 4 GiB of pixels by the size field, and 768 MiB of pixels by the
// sides, which ends with the out-of-memory runtime error.
struct TMemoryCase {
    void (*Arrange)(TBmpHeader&);
    int Exit;
    const char* Pattern;
};
const TMemoryCase kMemoryCases[] = {
    {[](TBmpHeader& h) { h.ColourCount = 0xFFFFFFFFu; }, 0, "BMP Unit: Error reading palette"},
    {[](TBmpHeader& h) { h.ImageSize = 0xFFFFFFF0u; }, 0, "BMP Unit: Error reading bitmap data"},
    {[](TBmpHeader& h) { h.Width = h.Height = 16384, h.ImageSize = 0; }, kErrorOutOfMemory,
     "^Error: Runtime error 203 at [0-9A-F]{8}\n$"},
};

TEST_F(BmpReader, HugeFieldsAllocateNothingOrEndWith203) {
    for (const TMemoryCase& c : kMemoryCases) {
        TBmpHeader h;
        c.Arrange(h);
        const std::string path = Folder.Write("huge.bmp", MakeBmp(h, FourByTwoPixels()));
        EXPECT_EXIT(ReadUnderLimit(path, 512u << 20), testing::ExitedWithCode(c.Exit), c.Pattern);
    }
}
#endif

} // namespace
