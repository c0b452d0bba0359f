#include "platform/tuple.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

struct Unpacked {
    int result;
    char *first;
    char *second;
};

Unpacked unpack(const Bytes &bytes) {
    sysdb_tuple *t = platform::tuple_new(bytes.data(), bytes.size());
    // Outputs hold junk before the call: on failure they must come back null, not junk.
    char junk[] = "junk";
    Unpacked u{0, junk, junk};
    u.result = tuple_unpack(t, "%S%S", &u.first, &u.second);
    platform::tuple_free(t);
    return u;
}

void release(Unpacked &u) {
    free(u.first);
    free(u.second);
}

TEST(Tuple, RoundTrips) {
    auto bytes = platform::tuple_pack_strings({"CET", "Europe/Paris"});
    EXPECT_EQ(bytes.size(), 4u + 5 + 3 + 5 + 12);
    auto u = unpack(bytes);
    EXPECT_EQ(u.result, 2);
    EXPECT_STREQ(u.first, "CET");
    EXPECT_STREQ(u.second, "Europe/Paris");
    release(u);

    u = unpack(platform::tuple_pack_strings({"UTC"}));
    EXPECT_EQ(u.result, 1);
    EXPECT_STREQ(u.first, "UTC");
    EXPECT_EQ(u.second, nullptr);
    release(u);

    std::vector<std::string> strings = {"a", std::string(1000, 'b'), std::string("c\0d", 3)};
    auto packed = platform::tuple_pack_strings(strings);
    EXPECT_EQ(platform::tuple_strings(packed.data(), packed.size()), strings);
    EXPECT_TRUE(
        platform::tuple_pack_strings({std::string(platform::TUPLE_MAX_BYTES, 'x')}).empty());
}

TEST(Tuple, MalformedTuplesAreRefusedWithNothingAllocated) {
    Bytes good = platform::tuple_pack_strings({"CET", "Europe/Paris"});
    for (size_t len = 0; len < good.size(); ++len) {
        auto u = unpack(Bytes(good.begin(), good.begin() + long(len)));
        EXPECT_LT(u.result, 0) << "truncated to " << len;
        EXPECT_EQ(u.first, nullptr);
        EXPECT_EQ(u.second, nullptr);
    }
    std::vector<std::pair<const char *, Bytes>> bad;
    Bytes b = good;
    b[4] = 2;  // kind of the first element
    bad.push_back({"bad kind", b});
    b = good;
    b[5] = b[6] = b[7] = b[8] = 0xff;  // length of the first element
    bad.push_back({"length overflow", b});
    b = good;
    b[0] = 0xff;  // count
    bad.push_back({"count beyond the data", b});
    b = good;
    b.push_back(0);
    bad.push_back({"extra bytes", b});
    // Well formed, one byte over the limit.
    const uint32_t n = platform::TUPLE_MAX_BYTES - 8;
    Bytes huge = {1, 0, 0, 0, 1, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), 0};
    huge.resize(huge.size() + n, 'x');
    bad.push_back({"too big", huge});
    for (auto &[what, bytes] : bad) {
        auto u = unpack(bytes);
        EXPECT_LT(u.result, 0) << what;
        EXPECT_EQ(u.first, nullptr) << what;
        EXPECT_EQ(u.second, nullptr) << what;
        EXPECT_FALSE(platform::tuple_strings(bytes.data(), bytes.size())) << what;
    }
    // Sound as a tuple, but a C string cannot carry it whole.
    auto u = unpack(platform::tuple_pack_strings({"CET", std::string("a\0b", 3)}));
    EXPECT_LT(u.result, 0);
    EXPECT_EQ(u.first, nullptr);
    EXPECT_EQ(u.second, nullptr);
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
