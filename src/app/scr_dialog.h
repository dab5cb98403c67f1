// The screen saver's settings dialog (resource SCR_IDD_SETTINGS).
#pragma once

#include "platform/platform.h"

// Shows the dialog, modal to Owner (null: no owner), filled with the stored
// settings. OK stores the two numbers when both are whole numbers within
// the saver's limits; otherwise a box names the field and its limits and
// the dialog stays open on that field. Cancel, Escape or closing the
// dialog stores nothing. Returns when the dialog has closed.
void RunScrSettingsDialog(HINSTANCE Instance, HWND Owner);
