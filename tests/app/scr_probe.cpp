// scr_probe.exe: the Windows side of the screen saver cases (scr_cases.py),
// cross-built with mingw-w64 and run by Wine beside sorvel2.scr. It does
// what Windows' settings page does around a saver, and reads back what only
// a program on the same desktop can see.
//
//   scr_probe host W H       a top-level window with a W x H client area
//                            (the preview's host): prints "window N" (its
//                            handle, as the page passes it to /p), then
//                            reads lines: "children" prints a line
//                            "child CLASS LEFT TOP RIGHT BOTTOM" for each
//                            child window (its place in the client area),
//                            then "end"; "destroy" destroys the window and
//                            prints "destroyed"; end of input ends it
//   scr_probe dialog TITLE   waits (10 s at most) for the top-level window
//                            TITLE and prints its fields, one "name=value" a
//                            line: title, owner (a handle, 0 for none),
//                            balls, balls_limits, grid, grid_limits
//   scr_probe screen         what a saver covers: "virtual X Y W H" (the
//                            virtual screen's metrics), then a line
//                            "monitor LEFT TOP RIGHT BOTTOM" for each monitor
//   scr_probe saver          waits (10 s at most) for the full-screen
//                            saver's window and prints "window LEFT TOP
//                            RIGHT BOTTOM" (its place on the virtual
//                            screen) and "cursor showing|hidden HANDLE"
//                            (GetCursorInfo); then sends it WM_SYSCOMMAND
//                            SC_SCREENSAVE, as Windows does to start a
//                            saver, and prints "screensave R" (what the
//                            window answered) and "running 1" or 0
//                            (whether the window is still there a second
//                            later)
//
// Exit code 0, or 1 with a line on stderr when something is not found.
#include "app/scr_resources.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

LRESULT CALLBACK HostProc(HWND Window, UINT Message, WPARAM WParam, LPARAM LParam) {
    if (Message == WM_ERASEBKGND) return 1;  // what shows is the preview's
    return DefWindowProcA(Window, Message, WParam, LParam);
}

// Reads commands from stdin on its own thread and hands them to the window's thread.
DWORD WINAPI ReadCommands(LPVOID Thread) {
    const DWORD owner = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(Thread));
    char line[64];
    while (std::fgets(line, sizeof(line), stdin) != nullptr) {
        if (std::strncmp(line, "destroy", 7) == 0) PostThreadMessageA(owner, WM_APP, 0, 0);
        if (std::strncmp(line, "children", 8) == 0) PostThreadMessageA(owner, WM_APP + 1, 0, 0);
    }
    PostThreadMessageA(owner, WM_QUIT, 0, 0);
    return 0;
}

BOOL CALLBACK PrintChild(HWND Child, LPARAM Host) {
    char name[64] = {};
    GetClassNameA(Child, name, sizeof(name));
    RECT place{};
    GetWindowRect(Child, &place);
    MapWindowPoints(nullptr, reinterpret_cast<HWND>(Host), reinterpret_cast<POINT*>(&place), 2);
    std::printf("child %s %ld %ld %ld %ld\n", name, place.left, place.top, place.right, place.bottom);
    return TRUE;
}

int Host(int Width, int Height) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = HostProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "scr_probe host";
    RegisterClassA(&windowClass);
    RECT frame{0, 0, Width, Height};
    AdjustWindowRect(&frame, WS_OVERLAPPEDWINDOW, FALSE);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "scr_probe host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                  0, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window == nullptr) {
        std::fprintf(stderr, "scr_probe: no host window\n");
        return 1;
    }
    std::printf("window %llu\n", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(window)));
    std::fflush(stdout);
    MSG message{};
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // the thread's queue, before the reader posts to it
    CreateThread(nullptr, 0, ReadCommands, reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(GetCurrentThreadId())),
                 0, nullptr);
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (message.hwnd == nullptr && message.message == WM_APP) {
            DestroyWindow(window);
            std::printf("destroyed\n");
            std::fflush(stdout);
            continue;
        }
        if (message.hwnd == nullptr && message.message == WM_APP + 1) {
            EnumChildWindows(window, PrintChild, reinterpret_cast<LPARAM>(window));
            std::printf("end\n");
            std::fflush(stdout);
            continue;
        }
        DispatchMessageA(&message);
    }
    return 0;
}

void PrintText(const char* Name, HWND Window) {
    char text[256] = {};
    // WM_GETTEXT, not GetWindowTextA: the text of another process's edit field.
    SendMessageA(Window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text));
    std::printf("%s=%s\n", Name, text);
}

int Dialog(const char* Title) {
    HWND dialog = nullptr;
    for (int tries = 0; tries < 100 && dialog == nullptr; ++tries) {
        dialog = FindWindowA(nullptr, Title);
        if (dialog == nullptr) Sleep(100);
    }
    if (dialog == nullptr) {
        std::fprintf(stderr, "scr_probe: no window \"%s\"\n", Title);
        return 1;
    }
    PrintText("title", dialog);
    std::printf("owner=%llu\n",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(GetWindow(dialog, GW_OWNER))));
    const struct {
        const char* Name;
        int Id;
    } fields[] = {{"balls", SCR_IDC_BALLS}, {"balls_limits", SCR_IDC_BALLS_LIMITS}, {"grid", SCR_IDC_GRID},
                  {"grid_limits", SCR_IDC_GRID_LIMITS}};
    for (const auto& field : fields) {
        const HWND control = GetDlgItem(dialog, field.Id);
        if (control == nullptr) {
            std::fprintf(stderr, "scr_probe: the dialog has no control %d (%s)\n", field.Id, field.Name);
            return 1;
        }
        PrintText(field.Name, control);
    }
    std::fflush(stdout);
    return 0;
}

BOOL CALLBACK PrintMonitor(HMONITOR /*Monitor*/, HDC /*Context*/, LPRECT Place, LPARAM /*Data*/) {
    std::printf("monitor %ld %ld %ld %ld\n", Place->left, Place->top, Place->right, Place->bottom);
    return TRUE;
}

int Screen() {
    std::printf("virtual %d %d %d %d\n", GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN));
    EnumDisplayMonitors(nullptr, nullptr, PrintMonitor, 0);
    std::fflush(stdout);
    return 0;
}

int Saver() {
    HWND saver = nullptr;
    for (int tries = 0; tries < 100 && saver == nullptr; ++tries) {
        saver = FindWindowA("sorvel2 saver", nullptr);
        if (saver == nullptr) Sleep(100);
    }
    if (saver == nullptr) {
        std::fprintf(stderr, "scr_probe: no saver window\n");
        return 1;
    }
    RECT place{};
    GetWindowRect(saver, &place);
    std::printf("window %ld %ld %ld %ld\n", place.left, place.top, place.right, place.bottom);
    // The cursor as the foreground window's thread has it: hidden by
    // ShowCursor (no CURSOR_SHOWING), and the shape it set.
    CURSORINFO cursor{};
    cursor.cbSize = sizeof(cursor);
    GetCursorInfo(&cursor);
    std::printf("cursor %s %llu\n", (cursor.flags & CURSOR_SHOWING) != 0 ? "showing" : "hidden",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(cursor.hCursor)));
    // 42: not what any window procedure answers to WM_SYSCOMMAND, so a
    // message that was never answered shows.
    DWORD_PTR answer = 42;
    SendMessageTimeoutA(saver, WM_SYSCOMMAND, SC_SCREENSAVE, 0, SMTO_ABORTIFHUNG, 5000, &answer);
    std::printf("screensave %llu\n", static_cast<unsigned long long>(answer));
    Sleep(1000);
    std::printf("running %d\n", IsWindow(saver) ? 1 : 0);
    std::fflush(stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "host") == 0) return Host(std::atoi(argv[2]), std::atoi(argv[3]));
    if (argc == 3 && std::strcmp(argv[1], "dialog") == 0) return Dialog(argv[2]);
    if (argc == 2 && std::strcmp(argv[1], "screen") == 0) return Screen();
    if (argc == 2 && std::strcmp(argv[1], "saver") == 0) return Saver();
    std::fprintf(stderr, "usage: scr_probe host W H | scr_probe dialog TITLE | scr_probe screen | scr_probe saver\n");
    return 64;
}
