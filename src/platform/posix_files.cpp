// POSIX backend for the file calls of the platform seam.
//
// Functions this file must provide: CreateFileA, ReadFile, CloseHandle,
// GetLastError, SetLastError.
//
// errno values are mapped onto the Win32 error codes that callers report:
// ENOENT is 2 (file not found) when the folder exists and 3 (path not found)
// when it does not; EACCES, EPERM and a directory are 5 (access denied).
// POSIX has no share modes, so 32 (sharing violation) never arises here: a
// file that another process holds open for writing is simply read.
#include "platform/platform.h"

#include "platform/file_checks.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local DWORD LastError = ERROR_SUCCESS;

// Handles are file descriptors shifted by one, so that descriptor 0 is not
// the null handle and -1 stays INVALID_HANDLE_VALUE.
HANDLE HandleFromFd(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd) + 1); }
int FdFromHandle(HANDLE h) { return static_cast<int>(reinterpret_cast<std::intptr_t>(h) - 1); }
bool IsBadHandle(HANDLE h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }

bool ParentFolderExists(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return true; // the working directory itself
    char parent[4096];
    const std::size_t n = slash == path ? 1 : static_cast<std::size_t>(slash - path);
    if (n >= sizeof parent) return false;
    std::memcpy(parent, path, n);
    parent[n] = '\0';
    struct stat st;
    return stat(parent, &st) == 0 && S_ISDIR(st.st_mode);
}

DWORD Win32ErrorFromErrno(int err, const char* path) {
    switch (err) {
    case ENOENT: return (path == nullptr || ParentFolderExists(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EPIPE: return ERROR_BROKEN_PIPE;
    case EIO: return ERROR_IO_DEVICE;
    default: return ERROR_GEN_FAILURE;
    }
}

} // namespace

DWORD GetLastError() { return LastError; }
void SetLastError(DWORD dwErrCode) { LastError = dwErrCode; }

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD dwCreationDisposition,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
    if (!AcceptOpen(lpFileName, dwDesiredAccess, dwCreationDisposition)) return INVALID_HANDLE_VALUE;
    int fd;
    do {
        fd = open(lpFileName, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        LastError = Win32ErrorFromErrno(errno, lpFileName);
        return INVALID_HANDLE_VALUE;
    }
    // NOTE: open() succeeds on a folder; Windows refuses it with "access denied".
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        LastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    LastError = ERROR_SUCCESS;
    return HandleFromFd(fd);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED /*lpOverlapped*/) {
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
    if (IsBadHandle(hFile)) {
        LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    // Like Windows, keep reading until the request is met or the file ends,
    // so that one call hands back every byte that is there.
    auto* out = static_cast<unsigned char*>(lpBuffer);
    DWORD total = 0;
    while (total < nNumberOfBytesToRead) {
        ssize_t got = read(FdFromHandle(hFile), out + total, nNumberOfBytesToRead - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
            LastError = Win32ErrorFromErrno(errno, nullptr);
            return FALSE;
        }
        if (got == 0) break;
        total += static_cast<DWORD>(got);
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = total;
    LastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL CloseHandle(HANDLE hObject) {
    if (IsBadHandle(hObject) || close(FdFromHandle(hObject)) != 0) {
        LastError = IsBadHandle(hObject) ? ERROR_INVALID_HANDLE : Win32ErrorFromErrno(errno, nullptr);
        return FALSE;
    }
    LastError = ERROR_SUCCESS;
    return TRUE;
}
