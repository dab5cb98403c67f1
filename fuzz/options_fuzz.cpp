// Fuzzes the options reader with whole files served from memory: any byte
// sequence must give five values or error 106 (invalid number), never a
// read outside a buffer, and the file is closed again on every path.
//
// The same bytes, taken as one token, are checked against the token rule
// worked out independently with std::from_chars: decimal is an optional
// sign and digits within the 32-bit range; hexadecimal is a prefix ($, x, X,
// 0x, 0X) and digits whose value fits 32 bits.
#include "app/options.h"

#include "platform/memory_files.h"
#include "runtime/runtime.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace {

constexpr const char* kName = "options.txt";

void Require(bool condition) {
    if (!condition) std::abort();
}

// The digits after the prefix or sign: all of them must parse, in range.
std::optional<std::uint64_t> Digits(const char* first, const char* last, int base) {
    std::uint64_t v = 0;
    const auto [end, error] = std::from_chars(first, last, v, base);
    if (first == last || end != last || error != std::errc{}) return std::nullopt;
    return v;
}

std::optional<std::int32_t> ExpectedToken(const char* t, std::size_t n) {
    const char* end = t + n;
    if (n == 0) return std::nullopt;
    std::size_t hexPrefix = 0;
    if (t[0] == '$' || t[0] == 'x' || t[0] == 'X') hexPrefix = 1;
    if (n > 1 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) hexPrefix = 2;
    if (hexPrefix != 0) {
        const auto v = Digits(t + hexPrefix, end, 16);
        if (!v || *v > 0xFFFFFFFFu) return std::nullopt;
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(*v));
    }
    const bool negative = t[0] == '-';
    const std::size_t sign = (t[0] == '-' || t[0] == '+') ? 1 : 0;
    const auto v = Digits(t + sign, end, 10);
    if (!v || *v > (negative ? 2147483648u : 2147483647u)) return std::nullopt;
    return static_cast<std::int32_t>(negative ? -static_cast<std::int64_t>(*v) : static_cast<std::int64_t>(*v));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Require(ServeMemoryFile(kName, data, size));

    TOptionValues values{};
    const int err = LoadOptions(kName, values);
    Require(err == 0 || err == kErrorInvalidNumber); // only the token rule can fail on a readable file
    Require(OpenMemoryHandles() == 0);

    const char* token = reinterpret_cast<const char*>(data);
    std::int32_t got = 0;
    const bool valid = ConvertOptionToken(token, size, got);
    const std::optional<std::int32_t> expected = ExpectedToken(token, size);
    Require(valid == expected.has_value());
    Require(!valid || got == *expected);
    return 0;
}
