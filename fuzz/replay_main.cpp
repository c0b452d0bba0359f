// main() of a fuzz target built without the fuzzer: runs the target's input function once over
// each file named (a directory stands for the files in it), so that the committed seeds and the
// properties the target checks are a regression test of every build. A failed property aborts.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        if (fs::is_directory(argv[i]))
            std::copy(fs::directory_iterator(argv[i]), fs::directory_iterator(),
                      std::back_inserter(inputs));
        else
            inputs.push_back(argv[i]);
    }
    std::sort(inputs.begin(), inputs.end());
    for (const fs::path &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), {}};
        printf("%s\n", p.filename().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    printf("%zu inputs, every property held\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
