// The BMP reader.
//
// A file (or the same bytes in memory) is read strictly in sequence and never seeked: the 14-byte file
// header (not examined), the 40-byte info header, the colour table (read and
// dropped), then all pixel data in one read straight into the final buffer.
// The reader distrusts its input: every size is computed 64 bits wide, and
// a buffer is handed on only when it covers what the red/blue swap and
// OpenGL (rows rounded up to 4 bytes) will touch.
#include "texture/bmp.h"

#include "platform/platform.h"
#include "runtime/runtime.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

constexpr const char* kCaption = "BMP Unit";

// Every text the reader shows, under the caption above.
constexpr const char* kErrorOpening = "Error opening \""; // + file name, no closing quote
constexpr const char* kErrorPalette = "Error reading palette";
constexpr const char* kErrorData = "Error reading bitmap data";
constexpr const char* kErrorHeader = "Error reading header: the file is shorter than 54 bytes";
constexpr const char* kErrorBitCount = "Unsupported bitmap: only 24 bits per pixel can be read";
constexpr const char* kErrorCompressed = "Unsupported bitmap: compressed pixel data";
constexpr const char* kErrorSides = "Unsupported bitmap: width and height must be positive";
constexpr const char* kErrorTooLarge = "Unsupported bitmap: the image is too large";
constexpr const char* kErrorDataShort = "Error reading bitmap data: the image size is smaller than width x height";

constexpr DWORD kFileHeaderSize = 14;
constexpr DWORD kInfoHeaderSize = 40;

// Colour-table entries are read through this many bytes at a time and
// dropped, so that a huge colour count costs no memory.
constexpr DWORD kPaletteChunk = 4096;

// The biggest pixel buffer the reader makes: the image size is a signed
// 32-bit number in the file's own terms, and OpenGL takes sizes as GLsizei.
constexpr std::uint64_t kMaxImageBytes = 0x7FFFFFFF;

// Little-endian fields of the info header.
std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::int32_t S32(const std::uint8_t* p) { return static_cast<std::int32_t>(U32(p)); }

struct TInfoHeader {
    std::int32_t Width;
    std::int32_t Height;
    std::uint16_t BitCount;
    std::uint32_t Compression;
    std::uint32_t ImageSize;
    std::uint32_t ColourCount;
};

TInfoHeader DecodeInfoHeader(const std::uint8_t (&Raw)[kInfoHeaderSize]) {
    return {S32(Raw + 4), S32(Raw + 8), U16(Raw + 14), U32(Raw + 16), U32(Raw + 20), U32(Raw + 32)};
}

void Report(const char* Text) { MessageBoxA(nullptr, Text, kCaption, MB_OK); }

// Why a header describes no image that can be handed on, or nullptr when it
// is fine. RowBytes is the stored row size (rounded up to 4 bytes) and
// ImageBytes the number of bytes to read.
const char* CheckImage(const TInfoHeader& Info, std::uint64_t RowBytes, std::uint64_t ImageBytes) {
    if (Info.BitCount != 24) return kErrorBitCount;
    if (Info.Compression != 0) return kErrorCompressed;
    if (Info.Width <= 0 || Info.Height <= 0) return kErrorSides;
    const std::uint64_t needed = RowBytes * static_cast<std::uint64_t>(Info.Height);
    if (needed > kMaxImageBytes) return kErrorTooLarge;
    // NOTE: a size field that does not fit a signed 32-bit number cannot be
    // read in one piece; it counts as the short read it would be.
    if (ImageBytes > kMaxImageBytes) return kErrorData;
    if (ImageBytes < needed) return kErrorDataShort;
    return nullptr;
}

} // namespace

void SwapRedBlue(std::uint8_t* Pixels, std::uint32_t Count) {
    for (std::uint32_t i = 0; i < Count; ++i, Pixels += 3) std::swap(Pixels[0], Pixels[2]);
}

void FreeBitmap(std::uint8_t* Data) { std::free(Data); }

namespace {

// Where the reader's bytes come from: an open file, read with ReadFile, or
// bytes in memory, read the same way. Read hands over at most Count bytes
// and says how many it gave; the reader asks in the same order either way.
class TFileSource {
public:
    explicit TFileSource(HANDLE File) : File_(File) {}
    ~TFileSource() { CloseHandle(File_); }
    TFileSource(const TFileSource&) = delete;
    TFileSource& operator=(const TFileSource&) = delete;
    DWORD Read(void* To, DWORD Count) {
        DWORD got = 0;
        ReadFile(File_, To, Count, &got, nullptr);
        return got;
    }

private:
    HANDLE File_;
};

class TMemorySource {
public:
    TMemorySource(const std::uint8_t* Bytes, std::size_t Size) : Next_(Bytes), Left_(Bytes != nullptr ? Size : 0) {}
    DWORD Read(void* To, DWORD Count) {
        const DWORD give = Left_ < Count ? static_cast<DWORD>(Left_) : Count;
        if (give != 0) std::memcpy(To, Next_, give);
        Next_ += give;
        Left_ -= give;
        return give;
    }

private:
    const std::uint8_t* Next_;
    std::size_t Left_;
};

// Reads and drops Count 4-byte colour-table entries. True when all of them
// were there.
template <class TSource> bool SkipColourTable(TSource& Source, std::uint32_t Count) {
    std::uint8_t chunk[kPaletteChunk];
    std::uint64_t left = static_cast<std::uint64_t>(Count) * 4;
    do {
        const DWORD ask = left < kPaletteChunk ? static_cast<DWORD>(left) : kPaletteChunk;
        if (Source.Read(chunk, ask) != ask) return false;
        left -= ask;
    } while (left != 0);
    return true;
}

// Everything after the opening: headers, colour table, checks, pixels, swap.
template <class TSource>
void ReadBitmapFrom(TSource& Source, std::int32_t& Width, std::int32_t& Height, std::uint8_t*& Data) {
    std::uint8_t fileHeader[kFileHeaderSize] = {};
    std::uint8_t infoHeader[kInfoHeaderSize] = {};
    const DWORD gotFile = Source.Read(fileHeader, kFileHeaderSize);
    const DWORD gotInfo = Source.Read(infoHeader, kInfoHeaderSize);
    if (gotFile != kFileHeaderSize || gotInfo != kInfoHeaderSize) {
        Report(kErrorHeader);
        return;
    }
    const TInfoHeader info = DecodeInfoHeader(infoHeader);

    if (!SkipColourTable(Source, info.ColourCount)) {
        Report(kErrorPalette);
        return;
    }

    Width = info.Width;
    Height = info.Height;

    // A size field of 0 means "computed". For a width that is a multiple of
    // 4 this is width x height x 3, as the size of a 24-bit image always is;
    // other widths store padded rows, and those are what is read.
    const std::uint64_t rowBytes =
        (static_cast<std::uint64_t>(static_cast<std::uint32_t>(info.Width)) * 3 + 3) & ~std::uint64_t{3};
    const bool zeroSized =
        info.ImageSize == 0 && (info.Width == 0 || info.Height == 0 || info.BitCount == 0);
    if (zeroSized) {
        // Nothing to read and nothing to show: the caller sees an empty Data.
        Data = nullptr;
        return;
    }
    const std::uint64_t imageBytes =
        info.ImageSize != 0 ? info.ImageSize : rowBytes * static_cast<std::uint32_t>(info.Height);
    if (const char* why = CheckImage(info, rowBytes, imageBytes); why != nullptr) {
        Report(why);
        Data = nullptr;
        return;
    }

    auto* buffer = static_cast<std::uint8_t*>(std::malloc(static_cast<std::size_t>(imageBytes)));
    if (buffer == nullptr) RunError(kErrorOutOfMemory);
    Data = buffer;

    if (Source.Read(buffer, static_cast<DWORD>(imageBytes)) != imageBytes) {
        Report(kErrorData);
        std::free(buffer);
        Data = nullptr;
        return;
    }

    // Unpadded rows are one run of pixels; padded rows are swapped one by
    // one so that the padding bytes stay where they are.
    const auto w = static_cast<std::uint32_t>(info.Width);
    const auto h = static_cast<std::uint32_t>(info.Height);
    if (rowBytes == std::uint64_t{w} * 3) {
        SwapRedBlue(buffer, w * h);
    } else {
        for (std::uint32_t row = 0; row < h; ++row) SwapRedBlue(buffer + row * rowBytes, w);
    }
}

} // namespace

void ReadBitmap(const char* FileName, std::int32_t& Width, std::int32_t& Height, std::uint8_t*& Data) {
    HANDLE file = CreateFileA(FileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const std::string text = std::string(kErrorOpening) + (FileName != nullptr ? FileName : "");
        Report(text.c_str());
        return;
    }
    TFileSource source(file);
    ReadBitmapFrom(source, Width, Height, Data);
}

void ReadBitmapBytes(const std::uint8_t* Bytes, std::size_t Size, std::int32_t& Width, std::int32_t& Height,
                     std::uint8_t*& Data) {
    TMemorySource source(Bytes, Size);
    ReadBitmapFrom(source, Width, Height, Data);
}
