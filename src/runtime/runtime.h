// Runtime support: the run-time error report and checked array allocation.
//
// Every failure the program does not handle itself ends here: a message box
// captioned "Error" whose text is "Runtime error NNN at XXXXXXXX", then module
// finalisation (static destructors) and exit with the error number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

// Error numbers of the run-time error report.
enum : int {
    kErrorInvalidNumber = 106,  // an invalid number in options.txt
    kErrorRangeCheck = 201,     // an array length below zero or too large
    kErrorOutOfMemory = 203,    // a failed allocation
};

constexpr std::size_t kRuntimeErrorTextSize = 29;

// Writes the 29-character text of the report plus a terminating NUL into
// Text: "Runtime error" and five spaces, the number right-aligned so that its
// last digit is the 17th character (at most three digits; larger numbers
// keep their low three), then "at " and Location as eight upper-case
// hexadecimal digits.
void FormatRuntimeError(int Code, std::uint32_t Location, char (&Text)[kRuntimeErrorTextSize + 1]);

// A stable 32-bit identity of a code address: its offset from the start of
// the executable or library image that holds it (so it does not move with
// address-space randomisation).
std::uint32_t CodeLocation(const void* Address);

// The error number for a failed operating-system call: the low 8 bits of its
// error code, which is what an exit code carries. A code whose low 8 bits are
// all 0 (256, 512, ...) would end the process with 0 and read as success, so
// it is reported as 255 instead.
constexpr int OsErrorNumber(std::uint32_t Code) {
    const int low = static_cast<int>(Code & 0xFFu);
    return low != 0 ? low : 255;
}

// Shows the report for Code at the caller's location and ends the process
// with exit code Code. Never returns. Callers pass operating-system codes
// through OsErrorNumber first. Showing the report takes no heap memory of
// its own; a failure while one is under way (in the box, or in the
// finalisation after it) ends the process at once with the first number.
[[noreturn]] void RunError(int Code);

// The same with an explicit location (for helpers that report on behalf of
// their caller).
[[noreturn]] void RunErrorAt(int Code, std::uint32_t Location);

// Checks an element count and its size in bytes the way array creation does:
// a count below zero, or a byte size that does not fit a 32-bit signed
// integer, is a range-check error. Returns 0 when the array can be made, or
// the error number.
constexpr int CheckArrayLength(std::int64_t Count, std::size_t ElementSize) {
    if (Count < 0) return kErrorRangeCheck;
    if (ElementSize != 0 && static_cast<std::uint64_t>(Count) > 0x7FFFFFFFull / ElementSize) return kErrorRangeCheck;
    return 0;
}

// A flat array of trivially copyable elements, zero-filled when created and
// never resized afterwards. Creation failures end the program: 201 for a bad
// length, 203 when memory runs out.
template <class T>
class TArray {
public:
    TArray() = default;
    TArray(const TArray&) = delete;
    TArray& operator=(const TArray&) = delete;
    TArray(TArray&& other) noexcept : Data_(std::exchange(other.Data_, nullptr)), Count_(std::exchange(other.Count_, 0)) {}
    TArray& operator=(TArray&& other) noexcept {
        if (this != &other) {
            std::free(Data_);
            Data_ = std::exchange(other.Data_, nullptr);
            Count_ = std::exchange(other.Count_, 0);
        }
        return *this;
    }
    ~TArray() { std::free(Data_); }

    // Replaces the contents with Count zeroed elements. The count is taken
    // wide, so a product of sizes that would wrap in 32 bits is refused.
    [[gnu::noinline]] void Create(std::int64_t Count) {
        const std::uint32_t where = CodeLocation(__builtin_return_address(0));
        if (int err = CheckArrayLength(Count, sizeof(T)); err != 0) RunErrorAt(err, where);
        std::free(Data_);
        Data_ = nullptr;
        Count_ = 0;
        if (Count == 0) return;
        void* p = std::calloc(static_cast<std::size_t>(Count), sizeof(T));
        if (p == nullptr) RunErrorAt(kErrorOutOfMemory, where);
        Data_ = static_cast<T*>(p);
        Count_ = static_cast<std::int32_t>(Count);
    }

    void Release() {
        std::free(Data_);
        Data_ = nullptr;
        Count_ = 0;
    }

    T* Data() { return Data_; }
    const T* Data() const { return Data_; }
    std::int32_t Count() const { return Count_; }
    T& operator[](std::size_t i) { return Data_[i]; }
    const T& operator[](std::size_t i) const { return Data_[i]; }
    T* begin() { return Data_; }
    T* end() { return Data_ + Count_; }
    const T* begin() const { return Data_; }
    const T* end() const { return Data_ + Count_; }

private:
    T* Data_ = nullptr;
    std::int32_t Count_ = 0;
};

// Installs the out-of-memory handler for operator new (203 instead of an
// exception) and sets the floating-point environment: every exception
// masked, rounding to nearest. Programs call it first thing.
void InitRuntime();
