#include "runtime/runtime.h"

#include "platform/platform.h"

#include <atomic>
#include <cfenv>
#include <climits>

// NOTE: WebAssembly has no control word (rounding is always to nearest and
// nothing traps), though its SSE headers define __SSE__.
#if (defined(__SSE__) || defined(__x86_64__)) && !defined(__EMSCRIPTEN__)
#define SORVEL2_SSE_CONTROL 1
#include <xmmintrin.h>
#else
#define SORVEL2_SSE_CONTROL 0
#endif
#include <cstdio>

#ifdef _WIN32
extern "C" IMAGE_DOS_HEADER __ImageBase;
#else
#include <dlfcn.h>
#endif

void FormatRuntimeError(int Code, std::uint32_t Location, char (&Text)[kRuntimeErrorTextSize + 1]) {
    std::memcpy(Text, "Runtime error     at 00000000", kRuntimeErrorTextSize + 1);
    unsigned n = static_cast<unsigned>(Code < 0 ? -Code : Code) % 1000u;
    // Last digit at the 17th character (index 16), written right to left.
    int pos = 16;
    do {
        Text[pos--] = static_cast<char>('0' + n % 10u);
        n /= 10u;
    } while (n != 0 && pos >= 14);
    static const char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < 8; ++i) Text[28 - i] = kHex[(Location >> (4 * i)) & 0xFu];
}

std::uint32_t CodeLocation(const void* Address) {
    std::uintptr_t base = 0;
#ifdef _WIN32
    base = reinterpret_cast<std::uintptr_t>(&__ImageBase);
#else
    Dl_info info;
    if (dladdr(Address, &info) != 0) base = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
#endif
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(Address) - base);
}

void RunErrorAt(int Code, std::uint32_t Location) {
    // NOTE: a failure while a report is under way (memory running out inside
    // the box, or in the finalisation after it) must neither show a second
    // box nor call exit from inside exit: the process ends at once with the
    // number already reported.
    constexpr int kNone = INT_MIN;
    static std::atomic<int> reported{kNone};
    if (int first = kNone; !reported.compare_exchange_strong(first, Code)) std::_Exit(first);
    char text[kRuntimeErrorTextSize + 1];
    FormatRuntimeError(Code, Location, text);
    MessageBoxA(nullptr, text, "Error", MB_OK);
    std::exit(Code);
}

[[gnu::noinline]] void RunError(int Code) { RunErrorAt(Code, CodeLocation(__builtin_return_address(0))); }

namespace {
[[noreturn]] void OutOfMemory() { RunError(kErrorOutOfMemory); }
} // namespace

void InitRuntime() {
    std::set_new_handler(OutOfMemory);
#if SORVEL2_SSE_CONTROL
    // Every SSE exception masked, round to nearest, denormals kept (no
    // flush-to-zero): set outright rather than trusted to the default.
    _mm_setcsr(0x1F80);
#endif
    std::fesetround(FE_TONEAREST);
    std::feclearexcept(FE_ALL_EXCEPT);
}
