// The argument check of both file layers (posix_files.cpp, memory_files.cpp):
// one rule, so that a reader fed from memory is refused where it is on disk.
#pragma once

#include "platform/platform.h"

// CreateFileA supports the program's one use, an existing file opened to
// read; anything else sets ERROR_INVALID_PARAMETER and is refused.
inline bool AcceptOpen(LPCSTR FileName, DWORD DesiredAccess, DWORD CreationDisposition) {
    if (FileName != nullptr && DesiredAccess == GENERIC_READ && CreationDisposition == OPEN_EXISTING) return true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}
