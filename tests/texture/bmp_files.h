// Small BMP files for the texture tests, written byte by byte into a folder
// of the test's own.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using TBytes = std::vector<std::uint8_t>;

// The header fields a test may vary; everything else is what a plain 24-bit
// file has.
struct TBmpHeader {
    std::int32_t Width = 4;
    std::int32_t Height = 2;
    std::uint16_t BitCount = 24;
    std::uint32_t Compression = 0;
    std::uint32_t ImageSize = 24;
    std::uint32_t ColourCount = 0;
    std::uint32_t DataOffset = 54;
    char Type[2] = {'B', 'M'};
};

inline void Put16(TBytes& Out, std::uint32_t V) {
    Out.push_back(static_cast<std::uint8_t>(V));
    Out.push_back(static_cast<std::uint8_t>(V >> 8));
}
inline void Put32(TBytes& Out, std::uint32_t V) {
    Put16(Out, V & 0xFFFFu);
    Put16(Out, V >> 16);
}

// File header, info header, Palette and Pixels, in that order.
inline TBytes MakeBmp(const TBmpHeader& H, const TBytes& Pixels, const TBytes& Palette = {}) {
    TBytes out;
    out.push_back(static_cast<std::uint8_t>(H.Type[0]));
    out.push_back(static_cast<std::uint8_t>(H.Type[1]));
    Put32(out, static_cast<std::uint32_t>(54 + Palette.size() + Pixels.size())); // file size
    Put16(out, 0);                                                               // reserved
    Put16(out, 0);                                                               // reserved
    Put32(out, H.DataOffset);
    Put32(out, 40);                                   // info header size
    Put32(out, static_cast<std::uint32_t>(H.Width));  // width
    Put32(out, static_cast<std::uint32_t>(H.Height)); // height
    Put16(out, 1);                                    // planes
    Put16(out, H.BitCount);
    Put32(out, H.Compression);
    Put32(out, H.ImageSize);
    Put32(out, 2835); // 72 dpi
    Put32(out, 2835);
    Put32(out, H.ColourCount);
    Put32(out, 0); // important colours
    out.insert(out.end(), Palette.begin(), Palette.end());
    out.insert(out.end(), Pixels.begin(), Pixels.end());
    return out;
}

// Pixel data of Width x Height pixels in file order, rows padded to 4 bytes
// with PadByte; Bgr(i) gives the blue, green and red of pixel i, counted from
// the bottom-left, row by row.
template <class TBgr>
TBytes Pixels(int Width, int Height, TBgr Bgr, std::uint8_t PadByte) {
    TBytes out;
    for (int y = 0, i = 0; y < Height; ++y) {
        for (int x = 0; x < Width; ++x, ++i) {
            for (std::uint8_t b : Bgr(i)) out.push_back(b);
        }
        out.resize(out.size() + (4 - Width * 3 % 4) % 4, PadByte);
    }
    return out;
}

// Pixel i has blue 3i+1, green 3i+2, red 3i+3 (mod 256).
inline TBytes CountingPixels(int Width, int Height, std::uint8_t PadByte = 0xEE) {
    return Pixels(Width, Height, [](int i) {
        return std::array<std::uint8_t, 3>{std::uint8_t(3 * i + 1), std::uint8_t(3 * i + 2), std::uint8_t(3 * i + 3)};
    }, PadByte);
}

// Every pixel Blue, Green, Red; rows padded with zeros.
inline TBytes UniformPixels(int Width, int Height, std::uint8_t Blue, std::uint8_t Green, std::uint8_t Red) {
    return Pixels(Width, Height, [=](int) { return std::array<std::uint8_t, 3>{Blue, Green, Red}; }, 0);
}

// A folder of this test process's own, removed with its files at the end.
class TBmpFolder {
public:
    TBmpFolder() {
        std::string pattern = ::testing::TempDir() + "sorvel2-bmp-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) Path_ = pattern;
    }
    ~TBmpFolder() {
        for (const std::string& f : Files_) std::remove(f.c_str());
        if (!Path_.empty()) std::remove(Path_.c_str());
    }
    TBmpFolder(const TBmpFolder&) = delete;
    TBmpFolder& operator=(const TBmpFolder&) = delete;

    // The full name of Name in the folder (the file need not exist).
    std::string Name(const std::string& Name) const { return Path_ + "/" + Name; }

    // Writes Bytes to Name and returns its full name.
    std::string Write(const std::string& Name, const TBytes& Bytes) {
        const std::string path = this->Name(Name);
        FILE* f = std::fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr) << path;
        if (f == nullptr) return path;
        if (!Bytes.empty()) {
            EXPECT_EQ(std::fwrite(Bytes.data(), 1, Bytes.size(), f), Bytes.size());
        }
        std::fclose(f);
        Files_.push_back(path);
        return path;
    }

private:
    std::string Path_;
    std::vector<std::string> Files_;
};

// Escapes Text for a death-test pattern (POSIX extended regular expressions).
inline std::string RegexQuote(const std::string& Text) {
    std::string out;
    for (char c : Text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out;
}
