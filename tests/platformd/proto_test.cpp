// The wire format: values survive a round trip in the byte order other clients rely on, and
// nothing malformed is read or decoded.
#include "platform/proto.h"

#include <gtest/gtest.h>

namespace proto = platform::proto;
using Bytes = std::vector<uint8_t>;

TEST(ProtoPayload, RoundTripOfEveryKindInLittleEndian) {
    Bytes blob{0, 1, 2, 255};
    proto::Writer w;
    w.u8(0xAB).u16(0xBEEF).u32(0xDEADBEEF).i32(-7).u64(0x0123456789ABCDEFull).str("");
    w.str(std::string("a\0b", 3)).bytes(blob);
    EXPECT_EQ(Bytes(w.data().begin(), w.data().begin() + 7),
              (Bytes{0xAB, 0xEF, 0xBE, 0xEF, 0xBE, 0xAD, 0xDE}));

    proto::Reader r(w.data());
    uint8_t a;
    uint16_t b;
    uint32_t c;
    int32_t d;
    uint64_t e;
    std::string s1, s2;
    Bytes bl;
    ASSERT_TRUE(r.u8(a) && r.u16(b) && r.u32(c) && r.i32(d) && r.u64(e) && r.str(s1) && r.str(s2) &&
                r.bytes(bl));
    EXPECT_TRUE(a == 0xAB && b == 0xBEEF && c == 0xDEADBEEFu && d == -7);
    EXPECT_EQ(e, 0x0123456789ABCDEFull);
    EXPECT_EQ(s1, "");
    EXPECT_EQ(s2, std::string("a\0b", 3));
    EXPECT_EQ(bl, blob);
    EXPECT_TRUE(r.at_end());
}

TEST(ProtoPayload, NothingIsReadPastTheEndOrTheBoundAndAFailedReaderStaysFailed) {
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
        EXPECT_EQ(r.remaining(), 0u);
    }
    Bytes five{5, 0, 0, 0, 1};
    proto::Reader r(five);
    uint64_t big = 99;
    EXPECT_FALSE(r.u64(big));
    EXPECT_EQ(big, 99u);
}

TEST(ProtoPayload, WriterRefusesMoreThanOneFrame) {
    proto::Writer w;
    w.bytes(Bytes(proto::MAX_PAYLOAD - 4));
    EXPECT_TRUE(w.ok());
    w.u8(0);
    EXPECT_FALSE(w.ok());
    proto::Writer huge;
    huge.bytes(Bytes(proto::MAX_PAYLOAD * 2));
    EXPECT_FALSE(huge.ok());
    EXPECT_LE(huge.size(), proto::MAX_PAYLOAD + 8);
}

TEST(ProtoFrame, HeaderLayoutAndRoundTrip) {
    Bytes payload{1, 2, 3}, out;
    ASSERT_TRUE(proto::encode(0x123, 77, payload.data(), payload.size(), out));
    // magic, version 1, type, seq, length, payload
    EXPECT_EQ(out,
              (Bytes{0x50, 0x50, 0x46, 0x44, 1, 0, 0x23, 0x01, 77, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3}));
    proto::Frame f;
    ASSERT_EQ(proto::decode(out.data(), out.size(), f), proto::Decode::ok);
    EXPECT_EQ(f.type, 0x123);
    EXPECT_EQ(f.seq, 77u);
    EXPECT_EQ(f.payload, payload);

    Bytes big(proto::MAX_PAYLOAD + 1), untouched{9};
    EXPECT_FALSE(proto::encode(1, 1, big.data(), big.size(), untouched));
    EXPECT_EQ(untouched, Bytes{9});
}

TEST(ProtoFrame, MalformedRecordsAreClassified) {
    Bytes good;
    uint8_t p[4] = {1, 2, 3, 4};
    ASSERT_TRUE(proto::encode(proto::T_PING, 5, p, 4, good));
    auto with = [&](size_t at, uint8_t v) {
        Bytes b = good;
        b[at] = v;
        return b;
    };
    struct {
        const char *what;
        Bytes record;
        proto::Decode want;
    } cases[] = {
        {"shorter than a header", Bytes(good.begin(), good.begin() + 15), proto::Decode::too_short},
        {"no magic", with(0, 0xAF), proto::Decode::bad_magic},
        {"another version", with(4, 2), proto::Decode::bad_version},
        {"length says less", with(12, 3), proto::Decode::bad_length},
        {"length says more", Bytes(good.begin(), good.end() - 1), proto::Decode::bad_length},
        {"length over the limit", with(14, 0x10), proto::Decode::too_large},
    };
    for (auto &c : cases) {
        proto::Frame f;
        EXPECT_EQ(proto::decode(c.record.data(), c.record.size(), f), c.want) << c.what;
        EXPECT_TRUE(c.want != proto::Decode::bad_version || f.seq == 5u);  // for the error reply
    }
}
