// The BMP reader: uncompressed 24-bit BMP files into RGB pixel buffers.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads FileName (relative names resolve against the working directory).
// On success Data holds the pixel data in file order (bottom row first), each
// pixel as red, green, blue, and Width and Height the image's size; the
// buffer belongs to the caller (release it with FreeBitmap) and covers
// Height rows of Width pixels, each row rounded up to 4 bytes. On failure a
// message box captioned "BMP Unit" has been shown (none for an image whose
// size field and width, height or bit count are 0) and Data is empty (callers
// set it to nullptr before the call). Files other than 24-bit, uncompressed,
// bottom-up ones with pixel data that covers the image are refused.
void ReadBitmap(const char* FileName, std::int32_t& Width, std::int32_t& Height, std::uint8_t*& Data);

// The same reader over Size bytes at Bytes, as if they were a file's: what
// the savers carry inside their binaries. Every outcome and message is the
// one ReadBitmap gives for a file of those bytes.
void ReadBitmapBytes(const std::uint8_t* Bytes, std::size_t Size, std::int32_t& Width, std::int32_t& Height,
                     std::uint8_t*& Data);

// Exchanges the first and third byte of each of Count 3-byte groups.
void SwapRedBlue(std::uint8_t* Pixels, std::uint32_t Count);

// Releases a buffer made by ReadBitmap (nullptr is fine).
void FreeBitmap(std::uint8_t* Data);
