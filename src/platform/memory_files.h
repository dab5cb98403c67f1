// Memory-backed file calls and quiet message boxes, for fuzz targets and
// tests (never the program).
//
// memory_files.cpp provides the file calls of platform.h (CreateFileA,
// ReadFile, CloseHandle, GetLastError, SetLastError) over byte buffers that
// the caller names here, and quiet_box.cpp a MessageBoxA that only counts.
// A target links them in place of posix_files.cpp and console_box.cpp; the
// readers above them are the same code the program runs, so a reader fed
// from memory takes the path it takes on the same bytes from disk, minus the
// file system and the stderr line.
//
// One thread only: the tables below are plain globals, like the fuzzer's
// one input.
#pragma once

#include "platform/platform.h"

#include <cstddef>

// Serves Size bytes at Bytes under Name (compared byte for byte, no folder
// rules) until ForgetMemoryFiles; serving a name again replaces it. The bytes
// are not copied: they must outlive every handle opened on them. ReadError
// 0 makes the end of the bytes the end of the file; any other code makes
// reads hand over the bytes as usual and then, once none are left, fail
// with that code and no bytes, as a broken pipe or a failing disk would.
// Returns false for a name of 260 bytes or more or a full table (8 names).
bool ServeMemoryFile(const char* Name, const void* Bytes, std::size_t Size, DWORD ReadError = 0);

// Forgets every served name (handles already open keep reading).
void ForgetMemoryFiles();

// Handles opened by CreateFileA and not closed yet: a reader that returns
// with one still open leaks it.
int OpenMemoryHandles();

// Message boxes shown (and swallowed) since the last ResetQuietBoxes, and
// the text of the last one ("" before any).
int QuietBoxCount();
const char* LastQuietBoxText();
void ResetQuietBoxes();
