// Fuzzes the options reader with whole files: any byte sequence must give
// five values or an error number, never a read outside a buffer.
#include "app/options.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/sorvel2-options-fuzz-" + std::to_string(getpid()) + ".txt";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size != 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);

    TOptionValues values{};
    const int err = LoadOptions(path.c_str(), values);
    if (err != 0 && err != 106) std::abort(); // only the token rule can fail on a readable file

    std::int32_t one = 0;
    ConvertOptionToken(reinterpret_cast<const char*>(data), size, one);
    return 0;
}
