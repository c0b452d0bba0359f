// The wire format: values survive a round trip, and nothing malformed is read or decoded.
#include "platform/proto.h"

#include <gtest/gtest.h>

namespace proto = platform::proto;

TEST(ProtoPayload, RoundTripOfEveryKind) {
    proto::Writer w;
    std::vector<uint8_t> blob{0, 1, 2, 255};
    w.u8(0xAB)
        .u16(0xBEEF)
        .u32(0xDEADBEEF)
        .i32(-7)
        .u64(0x0123456789ABCDEFull)
        .str("")
        .str(std::string("a\0b", 3))
        .bytes(blob);
    // Little-endian on the wire whatever the host.
    EXPECT_EQ(w.data()[1], 0xEF);
    EXPECT_EQ(w.data()[3], 0xEF);
    EXPECT_EQ(w.data()[6], 0xDE);

    proto::Reader r(w.data());
    uint8_t a;
    uint16_t b;
    uint32_t c;
    int32_t d;
    uint64_t e;
    std::string s1, s2;
    std::vector<uint8_t> bl;
    ASSERT_TRUE(r.u8(a) && r.u16(b) && r.u32(c) && r.i32(d) && r.u64(e) && r.str(s1) && r.str(s2) &&
                r.bytes(bl));
    EXPECT_EQ(a, 0xAB);
    EXPECT_EQ(b, 0xBEEF);
    EXPECT_EQ(c, 0xDEADBEEFu);
    EXPECT_EQ(d, -7);
    EXPECT_EQ(e, 0x0123456789ABCDEFull);
    EXPECT_EQ(s1, "");
    EXPECT_EQ(s2, std::string("a\0b", 3));
    EXPECT_EQ(bl, blob);
    EXPECT_TRUE(r.at_end());
}

TEST(ProtoPayload, ReadsPastTheEndFailAndStayFailed) {
    proto::Writer w;
    w.u32(5).u8(1);
    proto::Reader r(w.data());
    uint64_t big = 99;
    EXPECT_FALSE(r.u64(big));
    EXPECT_EQ(big, 99u);  // untouched
    uint32_t v = 0;
    EXPECT_FALSE(r.u32(v));  // would fit on its own, but the reader has failed
    EXPECT_TRUE(r.failed());
    EXPECT_EQ(r.remaining(), 0u);
}

TEST(ProtoPayload, StringsAreBoundedAndLengthChecked) {
    {  // declared length larger than what follows
        proto::Writer w;
        w.u32(10).raw("abc", 3);
        proto::Reader r(w.data());
        std::string s = "keep";
        EXPECT_FALSE(r.str(s));
        EXPECT_EQ(s, "keep");
    }
    {  // a huge declared length must not wrap or allocate
        proto::Writer w;
        w.u32(0xFFFFFFFF).raw("abc", 3);
        proto::Reader r(w.data());
        std::vector<uint8_t> v;
        EXPECT_FALSE(r.bytes(v, SIZE_MAX));
    }
    {  // over the caller's bound
        proto::Writer w;
        w.str("0123456789");
        proto::Reader r(w.data());
        std::string s;
        EXPECT_FALSE(r.str(s, 9));
        proto::Reader r2(w.data());
        EXPECT_TRUE(r2.str(s, 10));
        EXPECT_EQ(s, "0123456789");
    }
    {  // a length field cut short
        uint8_t two[2] = {1, 0};
        proto::Reader r(two, 2);
        std::string s;
        EXPECT_FALSE(r.str(s));
    }
}

TEST(ProtoPayload, WriterRefusesMoreThanOneFrame) {
    proto::Writer w;
    w.bytes(std::vector<uint8_t>(proto::MAX_PAYLOAD - 4));
    EXPECT_TRUE(w.ok());
    w.u8(0);
    EXPECT_FALSE(w.ok());
    proto::Writer huge;
    huge.bytes(std::vector<uint8_t>(proto::MAX_PAYLOAD * 2));
    EXPECT_FALSE(huge.ok());
    EXPECT_LE(huge.size(), proto::MAX_PAYLOAD + 8);
}

TEST(ProtoFrame, EncodeDecodeRoundTrip) {
    std::vector<uint8_t> payload{1, 2, 3};
    std::vector<uint8_t> out;
    ASSERT_TRUE(proto::encode(0x123, 77, payload.data(), payload.size(), out));
    ASSERT_EQ(out.size(), proto::HEADER_SIZE + 3);
    EXPECT_EQ(out[0], 0x50);  // magic, little-endian
    EXPECT_EQ(out[6], 0x23);
    EXPECT_EQ(out[7], 0x01);
    EXPECT_EQ(out[12], 3);
    proto::Frame f;
    ASSERT_EQ(proto::decode(out.data(), out.size(), f), proto::Decode::ok);
    EXPECT_EQ(f.type, 0x123);
    EXPECT_EQ(f.seq, 77u);
    EXPECT_EQ(f.payload, payload);

    std::vector<uint8_t> empty;
    ASSERT_TRUE(proto::encode(proto::T_PING, 1, nullptr, 0, empty));
    EXPECT_EQ(proto::decode(empty.data(), empty.size(), f), proto::Decode::ok);
    EXPECT_TRUE(f.payload.empty());

    std::vector<uint8_t> big(proto::MAX_PAYLOAD + 1);
    std::vector<uint8_t> untouched{9};
    EXPECT_FALSE(proto::encode(1, 1, big.data(), big.size(), untouched));
    EXPECT_EQ(untouched.size(), 1u);
}

TEST(ProtoFrame, MalformedRecordsAreClassified) {
    std::vector<uint8_t> good;
    uint8_t p[4] = {1, 2, 3, 4};
    ASSERT_TRUE(proto::encode(proto::T_PING, 5, p, 4, good));
    proto::Frame f;

    EXPECT_EQ(proto::decode(good.data(), 15, f), proto::Decode::too_short);

    auto bad = good;
    bad[0] ^= 0xFF;
    EXPECT_EQ(proto::decode(bad.data(), bad.size(), f), proto::Decode::bad_magic);

    bad = good;
    bad[4] = 2;  // version 2
    EXPECT_EQ(proto::decode(bad.data(), bad.size(), f), proto::Decode::bad_version);
    EXPECT_EQ(f.seq, 5u);  // the header is still readable for an error answer

    bad = good;
    bad[12] = 3;  // says 3, carries 4
    EXPECT_EQ(proto::decode(bad.data(), bad.size(), f), proto::Decode::bad_length);
    EXPECT_EQ(proto::decode(good.data(), good.size() - 1, f), proto::Decode::bad_length);

    bad = good;
    bad[14] = 0x10;  // 1 MiB
    EXPECT_EQ(proto::decode(bad.data(), bad.size(), f), proto::Decode::too_large);
}

TEST(ProtoReply, HeadThenBody) {
    proto::Writer w = proto::reply_head(22, "bad card");
    w.u32(7);
    proto::Reader r(w.data());
    uint32_t status = 0, body = 0;
    std::string msg;
    ASSERT_TRUE(proto::read_reply_head(r, status, msg));
    EXPECT_EQ(status, 22u);
    EXPECT_EQ(msg, "bad card");
    ASSERT_TRUE(r.u32(body));
    EXPECT_EQ(body, 7u);
}
