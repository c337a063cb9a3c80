// Runs every file of the folders (or the files) named on the command line once through a fuzz
// target's entry point, as the fuzzer runs an input, so that the test suite checks the
// committed corpus with any compiler. A target reports a finding by aborting, here as there.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!fs::is_directory(argv[i])) {
            inputs.emplace_back(argv[i]);
            continue;
        }
        for (const auto &entry : fs::recursive_directory_iterator(argv[i])) {
            if (entry.is_regular_file())
                inputs.push_back(entry.path());
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs; give corpus folders or files\n");
        return 1;
    }
    for (const fs::path &path : inputs) {
        std::ifstream file(path, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 1;
        }
        const std::vector<char> bytes { std::istreambuf_iterator<char>(file), {} };
        // A buffer of exactly the input's size, so that a sanitizer sees reads past its end.
        std::unique_ptr<uint8_t[]> data(new uint8_t[std::max<size_t>(1, bytes.size())]);
        std::copy(bytes.begin(), bytes.end(), data.get());
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
        LLVMFuzzerTestOneInput(data.get(), bytes.size());
    }
    std::fprintf(stderr, "replay: %zu inputs, no finding\n", inputs.size());
    return 0;
}
