// The BMP reader: uncompressed 24-bit BMP files into RGB pixel buffers.
#pragma once

#include <cstdint>

// Reads FileName (relative names resolve against the working directory).
// On success Data holds the pixel data in file order (bottom row first), each
// pixel as red, green, blue, and Width and Height the image's size; the
// buffer belongs to the caller (release it with FreeBitmap). On failure a
// message box captioned "BMP Unit" has been shown and Data is empty (callers
// set it to nullptr before the call).
void ReadBitmap(const char* FileName, std::int32_t& Width, std::int32_t& Height, std::uint8_t*& Data);

// Exchanges the first and third byte of each of Count 3-byte groups.
void SwapRedBlue(std::uint8_t* Pixels, std::uint32_t Count);

// Releases a buffer made by ReadBitmap (nullptr is fine).
void FreeBitmap(std::uint8_t* Data);
