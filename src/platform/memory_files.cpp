// Memory backend for the file calls of the platform seam (see
// memory_files.h).
//
// Functions this file must provide: CreateFileA, ReadFile, CloseHandle,
// GetLastError, SetLastError. It answers as posix_files.cpp does: the same
// argument checks (file_checks.h), the same codes (a name not served is 2,
// file not found), and ReadFile fills the request until the data end. It
// allocates nothing per call, so a fuzz run costs a table look-up and a copy.
#include "platform/memory_files.h"

#include "platform/file_checks.h"

#include <cstring>

namespace {

constexpr int kMaxFiles = 8;
constexpr int kMaxHandles = 16;
constexpr std::size_t kMaxName = 260; // MAX_PATH, terminator included

struct TMemoryFile {
    char Name[kMaxName];
    const unsigned char* Bytes;
    std::size_t Size;
    DWORD ReadError;
    bool Served;
};

// An open handle keeps its own view of the bytes, so that serving the name
// again or forgetting it does not change a file already open.
struct TMemoryHandle {
    const unsigned char* Bytes;
    std::size_t Size;
    std::size_t Position;
    DWORD ReadError;
    bool Open;
};

TMemoryFile Files[kMaxFiles];
TMemoryHandle Handles[kMaxHandles];
DWORD LastError = ERROR_SUCCESS;

// Handles are slot numbers plus one: never null, never INVALID_HANDLE_VALUE.
HANDLE HandleFromSlot(int slot) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(slot) + 1); }
TMemoryHandle* OpenSlot(HANDLE h) {
    const std::intptr_t slot = reinterpret_cast<std::intptr_t>(h) - 1;
    if (slot < 0 || slot >= kMaxHandles || !Handles[slot].Open) return nullptr;
    return &Handles[slot];
}

TMemoryFile* Find(const char* name) {
    for (TMemoryFile& f : Files) {
        if (f.Served && std::strcmp(f.Name, name) == 0) return &f;
    }
    return nullptr;
}

} // namespace

bool ServeMemoryFile(const char* Name, const void* Bytes, std::size_t Size, DWORD ReadError) {
    if (Name == nullptr || std::strlen(Name) >= kMaxName) return false;
    TMemoryFile* file = Find(Name);
    for (int i = 0; file == nullptr && i < kMaxFiles; ++i) {
        if (!Files[i].Served) file = &Files[i];
    }
    if (file == nullptr) return false;
    std::strcpy(file->Name, Name);
    file->Bytes = static_cast<const unsigned char*>(Bytes);
    file->Size = Bytes != nullptr ? Size : 0;
    file->ReadError = ReadError;
    file->Served = true;
    return true;
}

void ForgetMemoryFiles() {
    for (TMemoryFile& f : Files) f.Served = false;
}

int OpenMemoryHandles() {
    int open = 0;
    for (const TMemoryHandle& h : Handles) open += h.Open ? 1 : 0;
    return open;
}

DWORD GetLastError() { return LastError; }
void SetLastError(DWORD dwErrCode) { LastError = dwErrCode; }

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
    if (!AcceptOpen(lpFileName, dwDesiredAccess, dwCreationDisposition)) return INVALID_HANDLE_VALUE;
    const TMemoryFile* file = Find(lpFileName);
    if (file == nullptr) {
        LastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    for (int slot = 0; slot < kMaxHandles; ++slot) {
        if (!Handles[slot].Open) {
            Handles[slot] = {file->Bytes, file->Size, 0, file->ReadError, true};
            LastError = ERROR_SUCCESS;
            return HandleFromSlot(slot);
        }
    }
    LastError = ERROR_TOO_MANY_OPEN_FILES;
    return INVALID_HANDLE_VALUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED /*lpOverlapped*/) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    TMemoryHandle* h = OpenSlot(hFile);
    if (h == nullptr) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
        LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const std::size_t left = h->Size - h->Position;
    if (left == 0 && nNumberOfBytesToRead != 0 && h->ReadError != 0) {
        LastError = h->ReadError;
        return FALSE;
    }
    const DWORD got = left < nNumberOfBytesToRead ? static_cast<DWORD>(left) : nNumberOfBytesToRead;
    if (got != 0) std::memcpy(lpBuffer, h->Bytes + h->Position, got);
    h->Position += got;
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = got;
    LastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    TMemoryHandle* h = OpenSlot(hObject);
    if (h == nullptr) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    h->Open = false;
    LastError = ERROR_SUCCESS;
    return TRUE;
}
