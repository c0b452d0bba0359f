// platformd's request decoding on arbitrary bytes: the frame decoder, then the payload reader
// driven by a script that the input also supplies. Input: one byte K (taken modulo 33), K script
// bytes, then the record as it would arrive on the socket. The decoder's verdict is checked
// against the header rules, a decoded frame must encode back to the record, and every read is
// checked against a plain offset model and written back with the Writer, which must reproduce
// the bytes consumed.
#include <stdint.h>
#include <string.h>

#include <string>
#include <type_traits>
#include <vector>

#include "fuzz_check.h"
#include "platform/proto.h"

namespace proto = platform::proto;

namespace {

uint64_t le(const uint8_t *p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v |= uint64_t(p[i]) << (8 * i);
    return v;
}

// The bytes an integer read's output holds before the read, little-endian.
const uint8_t UNTOUCHED[8] = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};

// One integer read into an output that holds UNTOUCHED, written back through the Writer's own
// call for its width when it succeeds; VALUE is the output's bits after it.
template <typename T>
bool read_int(proto::Reader &r, bool (proto::Reader::*read)(T &), proto::Writer &w,
              proto::Writer &(proto::Writer::*write)(T), uint64_t &value) {
    T v = T(le(UNTOUCHED, sizeof v));
    bool got = (r.*read)(v);
    if (got)
        (w.*write)(v);
    value = std::make_unsigned_t<T>(v);
    return got;
}

void check_decode(const uint8_t *rec, size_t len, proto::Decode d, const proto::Frame &f) {
    FUZZ_CHECK(proto::decode_text(d) != nullptr && strcmp(proto::decode_text(d), "?") != 0);
    if (len < proto::HEADER_SIZE || le(rec, 4) != proto::FRAME_MAGIC) {
        FUZZ_CHECK(
            d == (len < proto::HEADER_SIZE ? proto::Decode::too_short : proto::Decode::bad_magic));
        // Nothing of the header is taken, nor left from before.
        FUZZ_CHECK(f.type == 0 && f.seq == 0 && f.payload.empty());
        return;
    }
    // From here on the header was readable: type and seq address the error reply.
    FUZZ_CHECK(f.type == le(rec + 6, 2) && f.seq == le(rec + 8, 4));
    uint64_t plen = le(rec + 12, 4);
    if (le(rec + 4, 2) != proto::PROTO_VERSION)
        FUZZ_CHECK(d == proto::Decode::bad_version);
    else if (plen > proto::MAX_PAYLOAD)
        FUZZ_CHECK(d == proto::Decode::too_large);
    else if (plen != len - proto::HEADER_SIZE)
        FUZZ_CHECK(d == proto::Decode::bad_length);
    else
        FUZZ_CHECK(d == proto::Decode::ok);
    if (d != proto::Decode::ok) {
        FUZZ_CHECK(f.payload.empty());
        return;
    }
    FUZZ_CHECK(f.payload == std::vector<uint8_t>(rec + proto::HEADER_SIZE, rec + len));
    std::vector<uint8_t> again;
    FUZZ_CHECK(proto::encode(f.type, f.seq, f.payload.data(), f.payload.size(), again));
    FUZZ_CHECK(again == std::vector<uint8_t>(rec, rec + len));
}

// Runs SCRIPT over DATA with a Reader and with an offset model side by side.
void check_reads(const uint8_t *script, size_t steps, const uint8_t *data, size_t len) {
    static const size_t bounds[8] = {0, 1, 4, 16, 255, 1024, proto::MAX_STRING, proto::MAX_PAYLOAD};
    proto::Reader r(data, len);
    proto::Writer w;
    size_t pos = 0;
    bool failed = false;
    for (size_t i = 0; i < steps; ++i) {
        uint8_t op = script[i] & 7;
        size_t max = bounds[script[i] >> 5];
        const size_t left = failed ? 0 : len - pos;
        size_t width = 0;  // bytes the model says the read takes; 0 when it fails
        if (op <= 4) {
            static const size_t widths[5] = {1, 2, 4, 4, 8};
            size_t n = widths[op];
            bool fits = left >= n;
            uint64_t value;
            bool got = op == 0   ? read_int(r, &proto::Reader::u8, w, &proto::Writer::u8, value)
                       : op == 1 ? read_int(r, &proto::Reader::u16, w, &proto::Writer::u16, value)
                       : op == 2 ? read_int(r, &proto::Reader::u32, w, &proto::Writer::u32, value)
                       : op == 3 ? read_int(r, &proto::Reader::i32, w, &proto::Writer::i32, value)
                                 : read_int(r, &proto::Reader::u64, w, &proto::Writer::u64, value);
            FUZZ_CHECK(got == fits);
            // A failed read leaves its output as it was.
            FUZZ_CHECK(value == (fits ? le(data + pos, n) : le(UNTOUCHED, n)));
            width = fits ? n : 0;
        } else if (op <= 6) {
            uint64_t n = left >= 4 ? le(data + pos, 4) : 0;
            bool fits = left >= 4 && n <= max && left - 4 >= n;
            std::string s = "untouched";
            std::vector<uint8_t> v = {0xA5};
            bool got = op == 5 ? r.str(s, max) : r.bytes(v, max);
            FUZZ_CHECK(got == fits);
            if (!fits) {
                FUZZ_CHECK(s == "untouched" && v == std::vector<uint8_t>{0xA5});
            } else if (op == 5) {
                FUZZ_CHECK(s == std::string(reinterpret_cast<const char *>(data + pos + 4), n));
                w.str(s);
            } else {
                FUZZ_CHECK(v == std::vector<uint8_t>(data + pos + 4, data + pos + 4 + n));
                w.bytes(v);
            }
            width = fits ? 4 + n : 0;
        } else {
            uint32_t status = 0;
            std::string message;
            uint64_t n = left >= 8 ? le(data + pos + 4, 4) : 0;
            bool fits = left >= 8 && n <= proto::MAX_STRING && left - 8 >= n;
            bool got = proto::read_reply_head(r, status, message);
            FUZZ_CHECK(got == fits);
            if (fits) {
                FUZZ_CHECK(status == le(data + pos, 4) && message.size() == n);
                w.u32(status).str(message);
                width = 8 + n;
            } else if (!failed && left >= 4) {
                // The status was read before the message failed: the model takes it too, and the
                // reader is failed from here on.
                w.u32(status);
                pos += 4;
            }
        }
        if (width == 0)
            failed = true;
        pos += width;
        FUZZ_CHECK(r.failed() == failed);
        FUZZ_CHECK(r.remaining() == (failed ? 0 : len - pos));
        FUZZ_CHECK(r.at_end() == (!failed && pos == len));
    }
    // Writing back what was read gives the bytes consumed.
    FUZZ_CHECK(w.ok());
    FUZZ_CHECK(w.data() == std::vector<uint8_t>(data, data + pos));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t steps = data[0] % 33;
    if (steps > size - 1)
        steps = size - 1;
    const uint8_t *script = data + 1;
    const uint8_t *rec = script + steps;
    size_t len = size - 1 - steps;

    proto::Frame f;
    f.type = 0xFFFF;
    f.payload = {1, 2, 3};
    proto::Decode d = proto::decode(rec, len, f);
    check_decode(rec, len, d, f);

    // A decoded frame's payload is what the handlers read; anything else is read raw, as a
    // reply is by the clients.
    if (d == proto::Decode::ok)
        check_reads(script, steps, f.payload.data(), f.payload.size());
    else
        check_reads(script, steps, rec, len);
    return 0;
}
