// Tuples of strings, the values of configuration items: packed and unpacked alike, and nothing
// malformed unpacked or allocated.
#include "platform/tuple.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

// The result of unpacking "%S%S" and the two outputs ("null" for a null one), which hold junk
// before the call and must come back null when not set.
std::string unpack(const Bytes &bytes) {
    sysdb_tuple *t = platform::tuple_new(bytes.data(), bytes.size());
    char junk[] = "junk";
    char *a = junk, *b = junk;
    int rc = tuple_unpack(t, "%S%S", &a, &b);
    std::string out =
        std::to_string(rc < 0 ? -1 : rc) + " " + (a ? a : "null") + " " + (b ? b : "null");
    platform::tuple_free(t);
    free(a == junk ? nullptr : a);
    free(b == junk ? nullptr : b);
    return out;
}

TEST(Tuple, RoundTrips) {
    auto bytes = platform::tuple_pack_strings({"CET", "Europe/Paris"});
    EXPECT_EQ(bytes.size(), 4u + 5 + 3 + 5 + 12);
    EXPECT_EQ(unpack(bytes), "2 CET Europe/Paris");
    EXPECT_EQ(unpack(platform::tuple_pack_strings({"UTC"})), "1 UTC null");
    std::vector<std::string> strings = {"a", std::string(1000, 'b'), std::string("c\0d", 3)};
    auto packed = platform::tuple_pack_strings(strings);
    EXPECT_EQ(platform::tuple_strings(packed.data(), packed.size()), strings);
    EXPECT_TRUE(
        platform::tuple_pack_strings({std::string(platform::TUPLE_MAX_BYTES, 'x')}).empty());
}

TEST(Tuple, MalformedTuplesAreRefusedWithNothingAllocated) {
    Bytes good = platform::tuple_pack_strings({"CET", "Europe/Paris"});
    std::vector<std::pair<std::string, Bytes>> bad;
    for (size_t len = 0; len < good.size(); ++len)
        bad.push_back({"cut to " + std::to_string(len), Bytes(good.begin(), good.begin() + len)});
    auto with = [&](std::initializer_list<size_t> at, uint8_t v) {
        Bytes b = good;
        for (size_t i : at)
            b[i] = v;
        return b;
    };
    const uint32_t n = platform::TUPLE_MAX_BYTES - 8;  // well formed, one byte over the limit
    Bytes huge = {1, 0, 0, 0, 1, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), 0};
    huge.resize(huge.size() + n, 'x');
    Bytes extra = good;
    extra.push_back(0);
    bad.insert(bad.end(),
               {{"bad kind", with({4}, 2)},
                {"length overflow", with({5, 6, 7, 8}, 0xff)},
                {"count beyond the data", with({0}, 0xff)},
                {"extra bytes", extra},
                {"too big", huge},
                {"NUL in a string", platform::tuple_pack_strings({"CET", {"a\0b", 3}})}});
    for (auto &[what, bytes] : bad) {
        EXPECT_EQ(unpack(bytes), "-1 null null") << what;
        EXPECT_TRUE(what == "NUL in a string" ||
                    !platform::tuple_strings(bytes.data(), bytes.size()))
            << what;
    }
    char *s = nullptr;
    EXPECT_LT(tuple_unpack(nullptr, "%S", &s), 0);

    // An unknown format is refused before any argument is touched.
    sysdb_tuple *t = platform::tuple_new(good.data(), good.size());
    char sentinel[] = "untouched";
    for (const char *format : {"%s", "%S%", "%S %S"}) {
        char *a = sentinel, *b = sentinel;
        EXPECT_LT(tuple_unpack(t, format, &a, &b), 0) << format;
        EXPECT_TRUE(a == sentinel && b == sentinel) << format;
    }
    platform::tuple_free(t);
}

}  // namespace
