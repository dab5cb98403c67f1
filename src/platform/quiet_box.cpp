// Quiet backend for message boxes: counted and kept, never shown or printed
// (see memory_files.h). A fuzzer that refuses thousands of files a second
// would otherwise spend its time writing their messages to stderr.
//
// Functions this file must provide: MessageBoxA.
#include "platform/memory_files.h"

#include <algorithm>
#include <cstring>

namespace {

int BoxCount = 0;
char LastText[256] = "";

} // namespace

int QuietBoxCount() { return BoxCount; }
const char* LastQuietBoxText() { return LastText; }
void ResetQuietBoxes() {
    BoxCount = 0;
    LastText[0] = '\0';
}

int MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR /*lpCaption*/, UINT /*uType*/) {
    ++BoxCount;
    // Cut to the buffer: an "Error opening" text carries a whole file name.
    const char* text = lpText != nullptr ? lpText : "";
    const std::size_t n = std::min(std::strlen(text), sizeof LastText - 1);
    std::memcpy(LastText, text, n);
    LastText[n] = '\0';
    return IDOK;
}
