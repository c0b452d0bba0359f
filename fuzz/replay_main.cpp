// main() of a fuzz target built without the fuzzer: runs the target's input function once over
// each file of the directory named, so that the committed seeds and the properties the target
// checks are a regression test of every build. A failed property aborts.
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
    std::vector<std::filesystem::path> inputs;
    for (auto &e : std::filesystem::directory_iterator(argc > 1 ? argv[1] : "."))
        inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    for (auto &p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::string bytes{std::istreambuf_iterator<char>(in), {}};
        printf("%s\n", p.filename().c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    printf("%zu inputs, every property held\n", inputs.size());
    return inputs.empty() ? 1 : 0;
}
