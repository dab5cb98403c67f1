// Runs a fuzz target once on every file of the folders named on the command
// line, in name order, for the test builds (no libFuzzer there). The target
// aborts on any input that breaks its rules; an empty or missing folder is
// a failure too, so a corpus that went missing cannot pass unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(argv[i], ec)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        if (ec) {
            std::fprintf(stderr, "%s: %s\n", argv[i], ec.message().c_str());
            return 1;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "no corpus files to replay\n");
        return 1;
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& path : files) {
        std::ifstream in(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!in.good() && !in.eof()) {
            std::fprintf(stderr, "%s: cannot be read\n", path.c_str());
            return 1;
        }
        // A pointer that is never null, as libFuzzer passes one for an empty input.
        static const std::uint8_t kEmpty = 0;
        const auto* data = bytes.empty() ? &kEmpty : reinterpret_cast<const std::uint8_t*>(bytes.data());
        LLVMFuzzerTestOneInput(data, bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
