// The wire format: frames and values in the byte order other clients rely on, and nothing read
// past what is there. The daemon's answers to malformed frames are in daemon_test.
#include "platform/proto.h"

#include <gtest/gtest.h>

namespace proto = platform::proto;
using Bytes = std::vector<uint8_t>;

TEST(Proto, FramesAndValuesRoundTripInTheirLittleEndianLayout) {
    proto::Writer w;
    w.u8(0xAB).u16(0xBEEF).u32(0xDEADBEEF).i32(-7).u64(0x0123456789ABCDEFull).str("");
    w.str(std::string("a\0b", 3)).bytes(Bytes{0, 255});
    Bytes out;
    ASSERT_TRUE(proto::encode(0x123, 77, w.data().data(), w.size(), out));
    // magic, version 1, type, seq, length, then the payload
    EXPECT_EQ(
        Bytes(out.begin(), out.begin() + 23),
        (Bytes{0x50, 0x50, 0x46, 0x44, 1,    0,    0x23, 0x01, 77,   0,   0, 0, uint8_t(w.size()),
               0,    0,    0,    0xAB, 0xEF, 0xBE, 0xEF, 0xBE, 0xAD, 0xDE}));

    proto::Frame f;
    ASSERT_EQ(proto::decode(out.data(), out.size(), f), proto::Decode::ok);
    EXPECT_TRUE(f.type == 0x123 && f.seq == 77u);
    proto::Reader r(f);
    uint8_t a;
    uint16_t b;
    uint32_t c;
    int32_t d;
    uint64_t e;
    std::string s1, s2;
    Bytes bl;
    ASSERT_TRUE(r.u8(a) && r.u16(b) && r.u32(c) && r.i32(d) && r.u64(e) && r.str(s1) && r.str(s2) &&
                r.bytes(bl) && r.at_end());
    EXPECT_TRUE(a == 0xAB && b == 0xBEEF && c == 0xDEADBEEFu && d == -7);
    EXPECT_EQ(e, 0x0123456789ABCDEFull);
    EXPECT_TRUE(s1.empty() && s2 == std::string("a\0b", 3) && bl == (Bytes{0, 255}));
}

TEST(Proto, NothingIsReadPastTheEndOrTheBoundAndAFailedReaderStaysFailed) {
    auto payload = [](uint32_t length, const std::string &rest) {
        proto::Writer w;
        w.u32(length).raw(rest.data(), rest.size());
        return w.data();
    };
    struct {
        const char *what;
        Bytes data;
        size_t max;
    } cases[] = {
        {"length beyond the data", payload(10, "abc"), proto::MAX_STRING},
        {"length that would wrap", payload(0xFFFFFFFF, "abc"), SIZE_MAX},
        {"over the caller's bound", payload(10, "0123456789"), 9},
        {"length cut short", Bytes{1, 0}, proto::MAX_STRING},
    };
    for (auto &c : cases) {
        proto::Reader r(c.data);
        std::string s = "keep";
        uint8_t byte = 0;
        EXPECT_FALSE(r.str(s, c.max)) << c.what;
        EXPECT_EQ(s, "keep") << c.what;
        EXPECT_FALSE(r.u8(byte)) << c.what;  // would fit, but the reader has failed
    }
    Bytes five{5, 0, 0, 0, 1};
    proto::Reader r(five);
    uint64_t big = 99;
    EXPECT_FALSE(r.u64(big));
    EXPECT_EQ(big, 99u);
}
