#include "app/scr_dialog.h"

#include "app/saver_settings.h"
#include "app/scr_resources.h"
#include "app/scr_settings.h"

#include <cstdio>

namespace {

constexpr const char* kCaption = "sorvel2";

// One number field of the dialog: its control, the label for messages, and
// its limits.
struct TField {
    int Control;
    int LimitsLabel;
    const char* Name;
    std::int32_t Min;
    std::int32_t Max;
};
// The dialog's two fields, in the order they are checked.
constexpr TField kBalls{SCR_IDC_BALLS, SCR_IDC_BALLS_LIMITS, "Balls", kSaverMinBalls, kSaverMaxBalls};
constexpr TField kGrid{SCR_IDC_GRID, SCR_IDC_GRID_LIMITS, "Grid size", kSaverMinGrid, kSaverMaxGrid};

void SetNumber(HWND Dialog, int Control, std::int32_t Value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d", static_cast<int>(Value));
    SetDlgItemTextA(Dialog, Control, text);
}

void ShowLimits(HWND Dialog, const TField& Field) {
    char text[48];
    std::snprintf(text, sizeof(text), "%d to %d", static_cast<int>(Field.Min), static_cast<int>(Field.Max));
    SetDlgItemTextA(Dialog, Field.LimitsLabel, text);
}

// The field's number, or false after telling the user what it takes and
// putting the caret back into it with its text selected.
bool ReadField(HWND Dialog, const TField& Field, std::int32_t& Out) {
    // Longer than any number in range, so that a long entry is refused as
    // a whole rather than cut to something that parses.
    char text[64] = {};
    const UINT length = GetDlgItemTextA(Dialog, Field.Control, text, sizeof(text));
    if (length < sizeof(text) - 1 && ParseSaverValue(text, Field.Min, Field.Max, Out)) return true;
    char message[128];
    std::snprintf(message, sizeof(message), "%s: enter a whole number from %d to %d.", Field.Name,
                  static_cast<int>(Field.Min), static_cast<int>(Field.Max));
    MessageBoxA(Dialog, message, kCaption, MB_OK | MB_ICONWARNING);
    const HWND control = GetDlgItem(Dialog, Field.Control);
    SetFocus(control);
    SendMessageA(control, EM_SETSEL, 0, -1);
    return false;
}

INT_PTR CALLBACK SettingsProc(HWND Dialog, UINT Message, WPARAM WParam, LPARAM) {
    switch (Message) {
    case WM_INITDIALOG: {
        const TSaverSettings settings = LoadScrSettings();
        SetNumber(Dialog, kBalls.Control, settings.Balls);
        SetNumber(Dialog, kGrid.Control, settings.Grid);
        ShowLimits(Dialog, kBalls);
        ShowLimits(Dialog, kGrid);
        return TRUE;  // the first field takes the focus
    }
    case WM_COMMAND:
        switch (LOWORD(WParam)) {
        case IDOK: {
            TSaverSettings settings{};
            if (!ReadField(Dialog, kBalls, settings.Balls) || !ReadField(Dialog, kGrid, settings.Grid)) return TRUE;
            if (!StoreScrSettings(settings)) {
                MessageBoxA(Dialog, "The settings could not be saved in the registry.", kCaption, MB_OK | MB_ICONERROR);
                return TRUE;
            }
            EndDialog(Dialog, IDOK);
            return TRUE;
        }
        case IDCANCEL:
            EndDialog(Dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

} // namespace

void RunScrSettingsDialog(HINSTANCE Instance, HWND Owner) {
    DialogBoxParamA(Instance, MAKEINTRESOURCEA(SCR_IDD_SETTINGS), Owner, SettingsProc, 0);
}
