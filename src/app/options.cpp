#include "app/options.h"

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "scene/state.h"

namespace {

constexpr std::size_t kTokenMax = 32;
constexpr unsigned char kEndOfData = 26; // Ctrl-Z

bool IsSeparator(unsigned char b) { return b <= 32; }

int HexDigit(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// Byte source over ReadFile with a 128-byte buffer. A failed read is an
// error with the OS code; a broken pipe counts as the end of the data.
class TOptionStream {
public:
    explicit TOptionStream(HANDLE File) : File_(File) {}

    // Next byte into b, or false at the end of data (then Error_ may be set).
    bool Peek(unsigned char& b) {
        if (Ended_) return false;
        if (Pos_ == Len_ && !Fill()) return false;
        if (Buffer_[Pos_] == kEndOfData) {
            Ended_ = true;
            return false;
        }
        b = Buffer_[Pos_];
        return true;
    }
    void Take() { ++Pos_; }
    int Error() const { return Error_; }

private:
    bool Fill() {
        DWORD got = 0;
        if (!ReadFile(File_, Buffer_, sizeof Buffer_, &got, nullptr)) {
            const DWORD err = GetLastError();
            if (err != ERROR_BROKEN_PIPE) Error_ = OsErrorNumber(err);
            Ended_ = true;
            return false;
        }
        if (got == 0) {
            Ended_ = true;
            return false;
        }
        Pos_ = 0;
        Len_ = got;
        return true;
    }

    HANDLE File_;
    unsigned char Buffer_[128] = {};
    DWORD Pos_ = 0;
    DWORD Len_ = 0;
    bool Ended_ = false;
    int Error_ = 0;
};

// Reads one value: skip separators, take the token, convert it. Returns 0
// or an error number.
int ReadValue(TOptionStream& In, std::int32_t& Out) {
    unsigned char b = 0;
    while (In.Peek(b) && IsSeparator(b)) In.Take();
    if (In.Error() != 0) return In.Error();
    char token[kTokenMax];
    std::size_t n = 0;
    while (n < kTokenMax && In.Peek(b) && !IsSeparator(b)) {
        token[n++] = static_cast<char>(b);
        In.Take();
    }
    if (In.Error() != 0) return In.Error();
    if (n == 0) {
        Out = 0;
        return 0;
    }
    return ConvertOptionToken(token, n, Out) ? 0 : kErrorInvalidNumber;
}

} // namespace

bool ConvertOptionToken(const char* Token, std::size_t Length, std::int32_t& Out) {
    std::size_t p = 0;
    bool negative = false;
    bool hex = false;
    if (Length == 0) return false;
    if (Token[0] == '-' || Token[0] == '+') {
        negative = Token[0] == '-';
        p = 1;
    } else if (Token[0] == '$' || Token[0] == 'x' || Token[0] == 'X') {
        hex = true;
        p = 1;
    } else if (Token[0] == '0' && Length > 1 && (Token[1] == 'x' || Token[1] == 'X')) {
        hex = true;
        p = 2;
    }
    if (p == Length) return false; // a lone sign or prefix

    std::uint32_t value = 0;
    if (hex) {
        for (; p < Length; ++p) {
            const int digit = HexDigit(Token[p]);
            if (digit < 0 || value >= (1u << 28)) return false;
            value = value << 4 | static_cast<std::uint32_t>(digit);
        }
        Out = static_cast<std::int32_t>(value);
        return true;
    }
    for (; p < Length; ++p) {
        if (Token[p] < '0' || Token[p] > '9' || value > 214748364u) return false;
        value = value * 10u + static_cast<std::uint32_t>(Token[p] - '0');
    }
    if (negative) {
        if (value > 2147483648u) return false;
        Out = static_cast<std::int32_t>(0u - value);
    } else {
        if (value > 2147483647u) return false;
        Out = static_cast<std::int32_t>(value);
    }
    return true;
}

int LoadOptions(const char* FileName, TOptionValues& Out) {
    HANDLE file = CreateFileA(FileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return OsErrorNumber(GetLastError());
    TOptionValues values{};
    TOptionStream in(file);
    for (std::int32_t& v : values.Value) {
        if (int err = ReadValue(in, v); err != 0) {
            CloseHandle(file);
            return err;
        }
    }
    if (!CloseHandle(file)) return OsErrorNumber(GetLastError());
    Out = values;
    return 0;
}

void ReadOptions() {
    TOptionValues v{};
    if (int err = LoadOptions("options.txt", v); err != 0) RunError(err);
    ScreenWidth = v.Value[0];
    ScreenHeight = v.Value[1];
    BallCount = v.Value[3];
    GridSize = v.Value[4];
}
