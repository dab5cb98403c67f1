// The screen savers' two settings, ball count and grid size: their defaults,
// the range a saver accepts, and the checks every way in (command line,
// settings dialog, stored settings) goes through, so that no value outside
// the range ever reaches the grid.
#pragma once

#include <cstdint>

// The shipped demo's settings.
inline constexpr std::int32_t kSaverDefaultBalls = 10;
inline constexpr std::int32_t kSaverDefaultGrid = 40;
// A saver runs unattended on whatever machine it is installed on: the
// ranges keep a frame within what a modest machine draws many times a
// second, well clear of the grid's own limits.
inline constexpr std::int32_t kSaverMinBalls = 1;
inline constexpr std::int32_t kSaverMaxBalls = 100;
inline constexpr std::int32_t kSaverMinGrid = 4;
inline constexpr std::int32_t kSaverMaxGrid = 128;

// The frame period a saver keeps to when it cannot wait for the display's
// refresh: near 60 frames a second.
inline constexpr std::int32_t kSaverFrameMicroseconds = 16667;

struct TSaverSettings {
    std::int32_t Balls;
    std::int32_t Grid;
};

// Reads Text as a whole: an optional sign, then one or more decimal digits,
// nothing else (no spaces), within Min..Max. Writes Out and returns true
// only then; Out is untouched otherwise.
bool ParseSaverValue(const char* Text, std::int32_t Min, std::int32_t Max, std::int32_t& Out);

TSaverSettings DefaultSaverSettings();

// Balls and Grid as read from storage: each one outside its range is
// replaced by its default.
TSaverSettings CheckedSaverSettings(std::int32_t Balls, std::int32_t Grid);
