// Tuples from arbitrary bytes: the decoder, and tuple_unpack as the configuration handlers call
// it. Whatever decodes must encode back to the same bytes, tuple_unpack must agree with the
// decoder, and every string it hands out is freed here (the leak checker sees the rest).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/tuple.h"

namespace {

// True when OUT is the C string of STRINGS[I], or null when there is no such element.
bool unpacked_as(const char *out, const std::vector<std::string> &strings, size_t i) {
    if (i >= strings.size())
        return out == nullptr;
    return out != nullptr && strings[i] == out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    auto strings = platform::tuple_strings(data, size);
    if (strings) {
        // The encoding has one spelling per list of strings.
        FUZZ_CHECK(platform::tuple_pack_strings(*strings) ==
                   std::vector<uint8_t>(data, data + size));
    }
    bool usable = strings && std::none_of(strings->begin(), strings->end(), [](auto &s) {
                      return s.find('\0') != std::string::npos;
                  });

    sysdb_tuple *t = platform::tuple_new(data, size);
    FUZZ_CHECK(t != nullptr);
    size_t len = 0;
    const uint8_t *bytes = platform::tuple_data(t, &len);
    FUZZ_CHECK(len == size && (size == 0 || memcmp(bytes, data, size) == 0));

    // The handlers' own call ("%S%S"), and shorter and longer formats: 0 to 5 elements wanted,
    // chosen by the input's length.
    for (size_t wanted : {size_t(2), size % 6}) {
        std::string format;
        for (size_t i = 0; i < wanted; ++i)
            format += "%S";
        char junk[] = "junk";
        char *outs[5] = {junk, junk, junk, junk, junk};
        int got = tuple_unpack(t, format.c_str(), &outs[0], &outs[1], &outs[2], &outs[3], &outs[4]);
        if (usable)
            FUZZ_CHECK(got == int(std::min(strings->size(), wanted)));
        else
            FUZZ_CHECK(got < 0);
        for (size_t i = 0; i < wanted; ++i)
            FUZZ_CHECK(usable ? unpacked_as(outs[i], *strings, i) : outs[i] == nullptr);
        // Outputs beyond the format are never touched.
        for (size_t i = wanted; i < 5; ++i)
            FUZZ_CHECK(outs[i] == junk);
        for (size_t i = 0; i < wanted; ++i)
            free(outs[i]);
    }

    platform::tuple_free(t);
    return 0;
}
