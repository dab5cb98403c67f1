// sorvel2.scr: the metaballs demo as a Windows screen saver. Windows starts
// it with /s (run), /p HWND (preview in the settings page's little screen)
// or /c (settings), as scr_rules.h lists; the shell is the program's own
// (scr_window.cpp, scr_dialog.cpp) around the demo's frame.
//
// NOTE: no screen saver library: the libscrnsave.a of Debian 12's
// mingw-w64 (10.0.0) holds an empty object for x86-64 (no WinMain, no
// DefScreenSaverProc), and what such a library does would not be enough
// here anyway (a preview handle written "/p:HWND", a settings dialog owned
// by the window of "/c:HWND", a pointer that may jitter, every monitor).
#include "app/scr_dialog.h"
#include "app/scr_rules.h"
#include "app/scr_window.h"
#include "platform/platform.h"
#include "runtime/runtime.h"

#include <cstdio>

namespace {

constexpr int kExitBadArgument = 64;  // as sorvel2-tool and the Linux saver
constexpr const char* kCaption = "sorvel2";
constexpr const char* kUsage =
    "sorvel2.scr is a screen saver: /s runs it, /p followed by a window number shows a preview in that window, "
    "/c (or no argument) opens its settings.";

// The first line of the box for each refusal; %s is the argument.
const char* RefusalText(TScrProblem Problem) {
    switch (Problem) {
    case TScrProblem::NoWindow:
        return "No window number after \"%s\".";
    case TScrProblem::BadWindow:
        return "\"%s\" is not a window number.";
    case TScrProblem::ExtraArgument:
        return "One argument too many: \"%s\".";
    case TScrProblem::UnknownArgument:
    case TScrProblem::None:
    default:
        return "Unknown argument \"%s\".";
    }
}
constexpr const char* kNoSuchWindow = "No window has the number \"%s\".";

int RefuseArgument(const char* Text, const char* Argument) {
    char line[300];
    std::snprintf(line, sizeof(line), Text, Argument);
    char text[600];
    std::snprintf(text, sizeof(text), "%s\n\n%s", line, kUsage);
    MessageBoxA(nullptr, text, kCaption, MB_OK | MB_ICONERROR);
    return kExitBadArgument;
}

} // namespace

int main(int argc, char** argv) {
    InitRuntime();
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    const TScrCommand command = ParseScrCommand(argc - 1, argv + 1);
    // NOTE: handles on the command line are numbers by Windows' convention.
    const HWND window = reinterpret_cast<HWND>(command.Window);
    switch (command.Action) {
    case TScrAction::Run: {
        // Windows may start the saver again while it runs (a second idle
        // timeout, a click on Preview): the one already on screen stays.
        const HANDLE running = CreateMutexA(nullptr, FALSE, "sorvel2.scr full screen");
        if (running != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) return 0;
        return RunScrWindow(instance, nullptr);
    }
    case TScrAction::Preview:
        if (!IsWindow(window)) return RefuseArgument(kNoSuchWindow, argv[argc - 1]);
        return RunScrWindow(instance, window);
    case TScrAction::Configure:
        RunScrSettingsDialog(instance, IsWindow(window) ? window : nullptr);
        return 0;
    case TScrAction::Unknown:
    default:
        return RefuseArgument(RefusalText(command.Problem), command.Refused);
    }
}
