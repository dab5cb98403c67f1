// The screen saver's settings as Windows keeps them for each user: two
// REG_DWORD values, "Balls" and "Grid", in the registry key
// HKEY_CURRENT_USER\Software\sorvel2. Never beside the .scr, which may sit
// in a folder the user cannot write.
#pragma once

#include "app/saver_settings.h"

// The stored settings. A value that is missing, not a REG_DWORD, or out of
// the saver's limits reads as its default (CheckedSaverSettings), so what
// comes back is always safe for the grid.
TSaverSettings LoadScrSettings();

// Writes both values (the caller has checked them). False when the key
// cannot be made or a value cannot be written.
bool StoreScrSettings(const TSaverSettings& Settings);
