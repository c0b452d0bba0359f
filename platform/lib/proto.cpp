#include "platform/proto.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "platform/env.h"

namespace platform::proto {
namespace {

void put16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}
uint16_t get16(const uint8_t *p) {
    return uint16_t(p[0] | (p[1] << 8));
}
uint32_t get32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

int64_t now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Milliseconds left until DEADLINE for poll; -1 stays "forever".
int left(int64_t deadline, int timeout_ms) {
    if (timeout_ms < 0)
        return -1;
    int64_t l = deadline - now_ms();
    return l > 0 ? int(l) : 0;
}

// Waits for EVENTS on FD; 1 ready, 0 timed out, -1 error.
int wait_fd(int fd, short events, int64_t deadline, int timeout_ms) {
    for (;;) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, left(deadline, timeout_ms));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        return n;
    }
}

}  // namespace

const char *decode_text(Decode d) {
    switch (d) {
        case Decode::ok:
            return "ok";
        case Decode::too_short:
            return "record shorter than a frame header";
        case Decode::bad_magic:
            return "not a platform frame (bad magic)";
        case Decode::bad_version:
            return "unsupported protocol version";
        case Decode::bad_length:
            return "frame length does not match the record";
        case Decode::too_large:
            return "frame larger than the protocol allows";
    }
    return "?";
}

bool encode(uint16_t type, uint32_t seq, const uint8_t *payload, size_t len,
            std::vector<uint8_t> &out) {
    if (len > MAX_PAYLOAD)
        return false;
    out.resize(HEADER_SIZE + len);
    put32(&out[0], FRAME_MAGIC);
    put16(&out[4], PROTO_VERSION);
    put16(&out[6], type);
    put32(&out[8], seq);
    put32(&out[12], uint32_t(len));
    if (len)
        memcpy(&out[HEADER_SIZE], payload, len);
    return true;
}

Decode decode(const uint8_t *data, size_t len, Frame &frame) {
    frame = Frame{};
    if (len < HEADER_SIZE)
        return Decode::too_short;
    if (get32(data) != FRAME_MAGIC)
        return Decode::bad_magic;
    frame.type = get16(data + 6);
    frame.seq = get32(data + 8);
    if (get16(data + 4) != PROTO_VERSION)
        return Decode::bad_version;
    uint32_t plen = get32(data + 12);
    if (plen > MAX_PAYLOAD)
        return Decode::too_large;
    if (size_t(plen) != len - HEADER_SIZE)
        return Decode::bad_length;
    frame.payload.assign(data + HEADER_SIZE, data + len);
    return Decode::ok;
}

// ---- Writer --------------------------------------------------------------------------------
Writer &Writer::u8(uint8_t v) {
    buf_.push_back(v);
    return *this;
}
Writer &Writer::u16(uint16_t v) {
    uint8_t b[2];
    put16(b, v);
    return raw(b, 2);
}
Writer &Writer::u32(uint32_t v) {
    uint8_t b[4];
    put32(b, v);
    return raw(b, 4);
}
Writer &Writer::u64(uint64_t v) {
    u32(uint32_t(v));
    return u32(uint32_t(v >> 32));
}
Writer &Writer::bytes(const void *data, size_t len) {
    // A block that cannot fit makes the writer not ok; its length field is clamped so the buffer
    // never grows without bound.
    if (len > MAX_PAYLOAD) {
        u32(uint32_t(MAX_PAYLOAD + 1));
        buf_.resize(MAX_PAYLOAD + 1);
        return *this;
    }
    u32(uint32_t(len));
    return raw(data, len);
}
Writer &Writer::raw(const void *data, size_t len) {
    if (buf_.size() > MAX_PAYLOAD)
        return *this;  // already too large: stop growing
    const uint8_t *p = static_cast<const uint8_t *>(data);
    buf_.insert(buf_.end(), p, p + len);
    return *this;
}

// ---- Reader --------------------------------------------------------------------------------
bool Reader::take(size_t n, const uint8_t *&out) {
    if (failed_ || size_t(end_ - p_) < n) {
        failed_ = true;
        return false;
    }
    out = p_;
    p_ += n;
    return true;
}

bool Reader::u8(uint8_t &v) {
    const uint8_t *p;
    if (!take(1, p))
        return false;
    v = p[0];
    return true;
}
bool Reader::u16(uint16_t &v) {
    const uint8_t *p;
    if (!take(2, p))
        return false;
    v = get16(p);
    return true;
}
bool Reader::u32(uint32_t &v) {
    const uint8_t *p;
    if (!take(4, p))
        return false;
    v = get32(p);
    return true;
}
bool Reader::i32(int32_t &v) {
    uint32_t u;
    if (!u32(u))
        return false;
    v = int32_t(u);
    return true;
}
bool Reader::u64(uint64_t &v) {
    const uint8_t *p;
    if (!take(8, p))
        return false;
    v = uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32;
    return true;
}
bool Reader::block(size_t max, const uint8_t *&data, size_t &len) {
    if (failed_ || size_t(end_ - p_) < 4) {
        failed_ = true;
        return false;
    }
    uint32_t n = get32(p_);
    if (n > max || size_t(end_ - p_) - 4 < n) {
        failed_ = true;
        return false;
    }
    data = p_ + 4;
    len = n;
    p_ += 4 + size_t(n);
    return true;
}
bool Reader::str(std::string &s, size_t max) {
    const uint8_t *d;
    size_t n;
    if (!block(max, d, n))
        return false;
    s.assign(reinterpret_cast<const char *>(d), n);
    return true;
}
bool Reader::bytes(std::vector<uint8_t> &v, size_t max) {
    const uint8_t *d;
    size_t n;
    if (!block(max, d, n))
        return false;
    v.assign(d, d + n);
    return true;
}

Writer reply_head(uint32_t status, std::string_view message) {
    Writer w;
    w.u32(status).str(message.substr(0, 4096));
    return w;
}

bool read_reply_head(Reader &r, uint32_t &status, std::string &message) {
    return r.u32(status) && r.str(message);
}

// ---- Conn ----------------------------------------------------------------------------------
Conn &Conn::operator=(Conn &&o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.release();
        seq_ = o.seq_;
    }
    return *this;
}

void Conn::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int Conn::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

uint32_t Conn::next_seq() {
    if (++seq_ == 0)
        seq_ = 1;
    return seq_;
}

bool Conn::connect(const std::string &path, int timeout_ms, std::string *error) {
    close();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
        if (error)
            *error = "socket path is empty or too long: " + path;
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    // Whoever controls the socket's directory could have put another server in platformd's place.
    if (auto slash = path.find_last_of('/'); slash != std::string::npos && slash > 0) {
        std::string dir = path.substr(0, slash);
        std::string why = access(dir.c_str(), F_OK) == 0 ? dir_trust_problem(dir) : std::string();
        if (!why.empty()) {
            if (error)
                *error = "not connecting to " + path + ": " + why;
            errno = EPERM;
            return false;
        }
    }
    int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            if (error)
                *error = std::string("socket: ") + strerror(errno);
            return false;
        }
        if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
            fd_ = fd;
            return true;
        }
        int e = errno;
        ::close(fd);
        // A full backlog answers EAGAIN on a non-blocking Unix socket: try again shortly.
        if ((e == EAGAIN || e == EINTR) && now_ms() < deadline) {
            usleep(10 * 1000);
            continue;
        }
        if (error)
            *error = "cannot connect to " + path + ": " + strerror(e);
        errno = e;
        return false;
    }
}

bool Conn::send(uint16_t type, uint32_t seq, const std::vector<uint8_t> &payload, int timeout_ms) {
    if (fd_ < 0) {
        errno = ENOTCONN;
        return false;
    }
    std::vector<uint8_t> out;
    if (!encode(type, seq, payload.data(), payload.size(), out)) {
        errno = EMSGSIZE;
        return false;
    }
    int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
        ssize_t n = ::send(fd_, out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == ssize_t(out.size()))
            return true;
        if (n >= 0) {
            errno = EIO;  // a record is sent whole or not at all
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return false;
        int w = wait_fd(fd_, POLLOUT, deadline, timeout_ms);
        if (w == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (w < 0)
            return false;
    }
}

Recv Conn::recv(Frame &frame, int timeout_ms) {
    if (fd_ < 0)
        return Recv::closed;
    int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    if (!rbuf_)
        rbuf_ = std::make_unique_for_overwrite<uint8_t[]>(MAX_FRAME + 1);
    for (;;) {
        iovec iov{rbuf_.get(), MAX_FRAME + 1};
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t n = recvmsg(fd_, &mh, MSG_DONTWAIT);
        if (n > 0) {
            if (mh.msg_flags & MSG_TRUNC)
                return Recv::malformed;
            return decode(rbuf_.get(), size_t(n), frame) == Decode::ok ? Recv::ok : Recv::malformed;
        }
        if (n == 0)
            return Recv::closed;
        if (errno == EINTR)
            continue;
        if (errno == ECONNRESET || errno == EPIPE)
            return Recv::closed;
        if (errno != EAGAIN)
            return Recv::error;
        if (timeout_ms == 0)
            return Recv::timeout;
        int w = wait_fd(fd_, POLLIN, deadline, timeout_ms);
        if (w == 0)
            return Recv::timeout;
        if (w < 0)
            return Recv::error;
    }
}

Recv Conn::call(uint16_t type, const Writer &request, uint32_t &status, std::string &message,
                std::vector<uint8_t> &body, int timeout_ms, std::vector<Frame> *others) {
    if (!request.ok())
        return Recv::malformed;
    uint32_t seq = next_seq();
    int64_t deadline = now_ms() + timeout_ms;
    if (!send(type, seq, request, timeout_ms))
        return errno == ETIMEDOUT                                             ? Recv::timeout
               : (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) ? Recv::closed
                                                                              : Recv::error;
    for (;;) {
        Frame f;
        Recv r = recv(f, left(deadline, timeout_ms));
        if (r != Recv::ok)
            return r;
        if (f.type != T_REPLY || f.seq != seq) {
            if (others)
                others->push_back(std::move(f));
            continue;
        }
        Reader rd(f);
        if (!read_reply_head(rd, status, message))
            return Recv::malformed;
        size_t rest = rd.remaining();
        body.assign(f.payload.end() - rest, f.payload.end());
        return Recv::ok;
    }
}

bool hello(Conn &c, uint32_t card, uint32_t pid, std::string_view program, uint32_t flags,
           std::string &error, int timeout_ms, uint64_t *client_id) {
    Writer w;
    w.u32(card).u32(pid).str(program.substr(0, 255)).u32(flags);
    uint32_t status = 0;
    std::string msg;
    std::vector<uint8_t> body;
    Recv r = c.call(T_HELLO, w, status, msg, body, timeout_ms);
    if (r != Recv::ok) {
        error = r == Recv::timeout ? "platformd did not answer" : "platformd closed the connection";
        return false;
    }
    if (status != 0) {
        error = msg.empty() ? "platformd refused the connection" : msg;
        return false;
    }
    Reader rd(body);
    uint64_t id = 0;
    if (!rd.u64(id)) {
        error = "malformed reply from platformd";
        return false;
    }
    if (client_id)
        *client_id = id;
    return true;
}

}  // namespace platform::proto
