// The wire format between platformd and its clients (libplatform, libsysdb.so, platformctl).
//
// Transport: a Unix-domain SOCK_SEQPACKET socket at PLATFORM_SOCKET; one record is one frame.
// Frame: a 16-byte little-endian header followed by the payload.
//
//   offset 0  u32 magic    FRAME_MAGIC
//   offset 4  u16 version  PROTO_VERSION
//   offset 6  u16 type     see the type numbers below
//   offset 8  u32 seq      chosen by the requester; a reply carries the seq of its request;
//                          frames the daemon sends on its own (events) carry seq 0
//   offset 12 u32 length   payload bytes that follow the header, at most MAX_PAYLOAD
//
// Payload values are little-endian: u8, u32, i32, u64; a string or byte block is a u32 length
// followed by that many bytes (no terminator).
//
// Every request is answered by exactly one frame of type T_REPLY with the request's seq, whose
// payload begins with u32 status (0 = success, else an errno value or a platform status) and a
// string message (empty or a human-readable reason), followed by the request's own reply body.
//
// Type numbers: 0x001..0x0FF generic, system manager, LR daemon and command line (this header);
// 0x100..0x1FF configuration database (platform/proto_cfg.h).
//
// The daemon answers a frame whose length field does not match the record, or a record larger
// than a frame may be, with an error reply and keeps the connection; a record without the magic
// or too short for a header closes the connection; a frame of another version gets an error reply
// (EPROTONOSUPPORT) and the connection is closed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::proto {

constexpr uint32_t FRAME_MAGIC = 0x44465050;  // "PPFD" in memory order
constexpr uint16_t PROTO_VERSION = 1;
constexpr size_t HEADER_SIZE = 16;
constexpr size_t MAX_PAYLOAD = 64 * 1024;
constexpr size_t MAX_FRAME = HEADER_SIZE + MAX_PAYLOAD;
// Default bound of a string read by Reader::str; callers may pass another.
constexpr size_t MAX_STRING = 16 * 1024;

// ---- Type numbers --------------------------------------------------------------------------
// Generic.
constexpr uint16_t T_REPLY = 0x01;  // u32 status, string message, body
constexpr uint16_t T_HELLO = 0x02;  // u32 card, u32 pid, string program, u32 flags (HELLO_*)
                                    // reply body: u64 client id, u32 daemon pid
constexpr uint16_t T_PING = 0x03;   // empty; reply with no body

// HELLO flags.
constexpr uint32_t HELLO_OBSERVER = 0x1;  // a tool (platformctl): does not make its card exist

// System manager.
constexpr uint16_t T_SYSMGR_READY = 0x10;          // string program (may be empty); no body
constexpr uint16_t T_SYSMGR_LR_REGISTER = 0x11;    // u32 mask; no body; the current role follows
constexpr uint16_t T_SYSMGR_LR_UNREGISTER = 0x12;  // empty; no body
constexpr uint16_t T_SYSMGR_LR_EVENT = 0x13;       // daemon to client, seq 0: u32 event, u32 dlrsc
                                                   // card, u64 sequence, u32 the client's card

// LR daemon.
constexpr uint16_t T_LRD_AM_I_DLRSC = 0x20;  // empty; reply body: u32 flag (1 on the dLRSC)

// Command line.
constexpr uint16_t T_CTL_ROLE_SHOW = 0x40;  // empty; reply body: u32 dlrsc card, u32 count,
                                            // per card: u32 card, u32 processes, u32 ready,
                                            // u32 registrations
constexpr uint16_t T_CTL_ROLE_SET = 0x41;   // u32 card, optional u32 flags (ROLE_SET_*);
                                            // reply body: u32 previous dlrsc card
constexpr uint16_t T_CTL_STATUS = 0x42;     // empty; reply body: u32 count, strings (lines)
constexpr uint16_t T_CTL_FAULT = 0x43;      // string name, u32 argc, strings; reply: message

// Configuration database range (platform/proto_cfg.h).
constexpr uint16_t T_CFG_FIRST = 0x100;
constexpr uint16_t T_CFG_LAST = 0x1FF;

inline bool is_cfg_type(uint16_t type) {
    return type >= T_CFG_FIRST && type <= T_CFG_LAST;
}

// T_CTL_ROLE_SET flag: move the role even to a card that is down.
constexpr uint32_t ROLE_SET_FORCE = 0x1;

// Role event values and the registration mask that asks for both.
constexpr uint32_t LR_EVENT_ACTIVE = 4;
constexpr uint32_t LR_EVENT_INACTIVE = 32;

// ---- Frames --------------------------------------------------------------------------------
struct Frame {
    uint16_t type = 0;
    uint32_t seq = 0;
    std::vector<uint8_t> payload;
};

enum class Decode {
    ok,
    too_short,    // fewer than HEADER_SIZE bytes
    bad_magic,    // not one of our frames
    bad_version,  // ours, but another version
    bad_length,   // the length field does not match the record
    too_large,    // length field above MAX_PAYLOAD
};

const char *decode_text(Decode d);

// Serialises a frame; false (and OUT untouched) when the payload exceeds MAX_PAYLOAD.
bool encode(uint16_t type, uint32_t seq, const uint8_t *payload, size_t len,
            std::vector<uint8_t> &out);
// Parses one record. On anything but ok, FRAME holds what the header said (type, seq) when the
// header was readable, so the caller can address an error reply.
Decode decode(const uint8_t *data, size_t len, Frame &frame);

// ---- Payload writing and reading -----------------------------------------------------------
class Writer {
  public:
    Writer &u8(uint8_t v);
    Writer &u16(uint16_t v);
    Writer &u32(uint32_t v);
    Writer &i32(int32_t v) { return u32(uint32_t(v)); }
    Writer &u64(uint64_t v);
    Writer &str(std::string_view s) { return bytes(s.data(), s.size()); }
    Writer &bytes(const void *data, size_t len);  // u32 length, then the bytes
    Writer &bytes(const std::vector<uint8_t> &v) { return bytes(v.data(), v.size()); }
    Writer &raw(const void *data, size_t len);  // the bytes without a length

    const std::vector<uint8_t> &data() const { return buf_; }
    size_t size() const { return buf_.size(); }
    // False once the payload has grown past MAX_PAYLOAD; such a payload is never sent.
    bool ok() const { return buf_.size() <= MAX_PAYLOAD; }

  private:
    std::vector<uint8_t> buf_;
};

// Every read returns false, and leaves its output untouched, when the value does not fit in what
// is left; after a failed read every later read fails too.
class Reader {
  public:
    Reader(const uint8_t *data, size_t len) : p_(data), end_(data + len) {}
    explicit Reader(const std::vector<uint8_t> &v) : Reader(v.data(), v.size()) {}
    explicit Reader(const Frame &f) : Reader(f.payload) {}

    bool u8(uint8_t &v);
    bool u16(uint16_t &v);
    bool u32(uint32_t &v);
    bool i32(int32_t &v);
    bool u64(uint64_t &v);
    bool str(std::string &s, size_t max = MAX_STRING);
    bool bytes(std::vector<uint8_t> &v, size_t max = MAX_PAYLOAD);

    size_t remaining() const { return failed_ ? 0 : size_t(end_ - p_); }
    bool at_end() const { return !failed_ && p_ == end_; }
    bool failed() const { return failed_; }

  private:
    bool take(size_t n, const uint8_t *&out);
    bool block(size_t max, const uint8_t *&data, size_t &len);
    const uint8_t *p_;
    const uint8_t *end_;
    bool failed_ = false;
};

// The head of every reply: status and message. Append the body to the returned writer.
Writer reply_head(uint32_t status, std::string_view message = {});
// Reads status and message from a T_REPLY payload; the reader then stands at the body.
bool read_reply_head(Reader &r, uint32_t &status, std::string &message);

// ---- Connection ----------------------------------------------------------------------------
enum class Recv { ok, timeout, closed, error, malformed };

// A client connection to platformd: a non-blocking SOCK_SEQPACKET socket, closed on destruction.
class Conn {
  public:
    Conn() = default;
    explicit Conn(int fd) : fd_(fd) {}
    ~Conn() { close(); }
    Conn(Conn &&o) noexcept : fd_(o.release()), seq_(o.seq_) {}
    Conn &operator=(Conn &&o) noexcept;
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;

    // Connects to the socket at PATH, waiting up to TIMEOUT_MS while its backlog is full. On
    // failure ERROR (when given) names the reason and errno is set.
    bool connect(const std::string &path, int timeout_ms, std::string *error = nullptr);
    bool is_open() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close();
    int release();  // gives up the descriptor without closing it

    // The next request seq (never 0).
    uint32_t next_seq();

    // Sends one frame, waiting up to TIMEOUT_MS for room in the socket. False with errno set
    // (EMSGSIZE for a payload above MAX_PAYLOAD, ETIMEDOUT, EPIPE, ...).
    bool send(uint16_t type, uint32_t seq, const std::vector<uint8_t> &payload,
              int timeout_ms = 2000);
    bool send(uint16_t type, uint32_t seq, const Writer &w, int timeout_ms = 2000) {
        return send(type, seq, w.data(), timeout_ms);
    }
    // Receives one frame, waiting up to TIMEOUT_MS (0: only what is there, -1: forever).
    Recv recv(Frame &frame, int timeout_ms);

    // Sends a request and waits for the T_REPLY with its seq. Frames with another seq that
    // arrive meanwhile (events) go to OTHERS when given, else are dropped. On success STATUS and
    // MESSAGE hold the reply head and BODY the rest of the reply payload.
    Recv call(uint16_t type, const Writer &request, uint32_t &status, std::string &message,
              std::vector<uint8_t> &body, int timeout_ms = 2000,
              std::vector<Frame> *others = nullptr);

  private:
    int fd_ = -1;
    uint32_t seq_ = 0;
    // Room for one whole frame, made on the first receive and left uninitialised: a frame
    // touches only the pages it fills.
    std::unique_ptr<uint8_t[]> rbuf_;
};

// Sends HELLO on a fresh connection and waits for its reply. False with a reason in ERROR.
bool hello(Conn &c, uint32_t card, uint32_t pid, std::string_view program, uint32_t flags,
           std::string &error, int timeout_ms = 2000, uint64_t *client_id = nullptr);

}  // namespace platform::proto
