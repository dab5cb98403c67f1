#include "app/saver_settings.h"

bool ParseSaverValue(const char* Text, std::int32_t Min, std::int32_t Max, std::int32_t& Out) {
    if (Text == nullptr) return false;
    const char* p = Text;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    if (*p == '\0') return false;
    // Accumulated 64 bits wide and stopped well before it could overflow.
    std::int64_t value = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + (*p - '0');
        if (value > std::int64_t{1} << 40) return false;
    }
    if (negative) value = -value;
    if (value < Min || value > Max) return false;
    Out = static_cast<std::int32_t>(value);
    return true;
}

TSaverSettings DefaultSaverSettings() { return {kSaverDefaultBalls, kSaverDefaultGrid}; }

TSaverSettings CheckedSaverSettings(std::int32_t Balls, std::int32_t Grid) {
    TSaverSettings s = DefaultSaverSettings();
    if (Balls >= kSaverMinBalls && Balls <= kSaverMaxBalls) s.Balls = Balls;
    if (Grid >= kSaverMinGrid && Grid <= kSaverMaxGrid) s.Grid = Grid;
    return s;
}
