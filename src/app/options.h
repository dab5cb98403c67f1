// The options file: five integers in options.txt, read once at start-up.
//
// Syntax (bytes, lines mean nothing): separators are bytes 0..32; the data
// end at the end of the file or at the first byte 26 (Ctrl-Z). A token is at
// most 32 bytes; a longer run is cut there and the rest begins the next
// token. A value the data do not hold reads as 0. A token is decimal (an
// optional + or -, digits, -2147483648..2147483647) or hexadecimal (a prefix
// $, x, X, 0x or 0X, then 1..8 significant hex digits, taken as a 32-bit
// two's-complement number); anything else is invalid. Nothing after the
// fifth value is read.
#pragma once

#include <cstdint>
#include <cstddef>

struct TOptionValues {
    std::int32_t Value[5];  // width, height, (unused), balls, grid size
};

// Converts one token. Returns false for an invalid number.
bool ConvertOptionToken(const char* Token, std::size_t Length, std::int32_t& Out);

// Reads the five values from the named file. Returns 0 on success, or the
// error number of the run-time error report: the operating system's error
// code reduced to 8 bits for a failed open, read or close, 106 for an
// invalid token. Out is fully written on success only.
int LoadOptions(const char* FileName, TOptionValues& Out);

// Reads "options.txt" from the working directory into ScreenWidth,
// ScreenHeight, BallCount and GridSize, or ends the process through the
// run-time error report.
void ReadOptions();
