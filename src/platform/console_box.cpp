// Console backend for message boxes: for tools and tests that have no window.
//
// Functions this file must provide: MessageBoxA.
//
// Every backend writes the line "Caption: text" to stderr; this one writes
// only that line and answers as if OK had been pressed.
#include "platform/platform.h"

#include <cstdio>

int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT /*uType*/) {
    std::fprintf(stderr, "%s: %s\n", lpCaption != nullptr ? lpCaption : "", lpText != nullptr ? lpText : "");
    std::fflush(stderr);
    return IDOK;
}
