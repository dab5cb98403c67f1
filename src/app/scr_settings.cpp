#include "app/scr_settings.h"

#include "platform/platform.h"

namespace {

constexpr const char* kKey = "Software\\sorvel2";
constexpr const char* kBallsValue = "Balls";
constexpr const char* kGridValue = "Grid";

// The value as a signed number, or Fallback when it is absent or of another
// type or size (text typed into regedit, say).
std::int32_t ReadNumber(HKEY Key, const char* Name, std::int32_t Fallback) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(Key, Name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value)) {
        return Fallback;
    }
    return static_cast<std::int32_t>(value);
}

bool WriteNumber(HKEY Key, const char* Name, std::int32_t Number) {
    const auto value = static_cast<DWORD>(Number);
    return RegSetValueExA(Key, Name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
           ERROR_SUCCESS;
}

} // namespace

TSaverSettings LoadScrSettings() {
    const TSaverSettings defaults = DefaultSaverSettings();
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return defaults;
    const std::int32_t balls = ReadNumber(key, kBallsValue, defaults.Balls);
    const std::int32_t grid = ReadNumber(key, kGridValue, defaults.Grid);
    RegCloseKey(key);
    return CheckedSaverSettings(balls, grid);
}

bool StoreScrSettings(const TSaverSettings& Settings) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool written = WriteNumber(key, kBallsValue, Settings.Balls) && WriteNumber(key, kGridValue, Settings.Grid);
    RegCloseKey(key);
    return written;
}
