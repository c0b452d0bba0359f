// platformd as its clients see it: the real daemon in a private directory, driven through its
// protocol, through platformctl and by platform_peer processes.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <optional>

#include "platform/proto.h"
#include "support.h"

using namespace std::chrono_literals;
using ts::contains;
using Bytes = std::vector<uint8_t>;
namespace proto = platform::proto;

namespace {

Bytes frame(uint16_t type, uint32_t seq, const Bytes &payload = {}) {
    Bytes out;
    proto::encode(type, seq, payload.data(), payload.size(), out);
    return out;
}

// A connection that has said HELLO as card 0 when HELLO is true.
std::unique_ptr<proto::Conn> connect(const ts::Router &r, bool hello) {
    auto c = std::make_unique<proto::Conn>();
    std::string err;
    int sndbuf = 1 << 20;
    EXPECT_TRUE(c->connect(r.socket(), 2000) && (!hello || proto::hello(*c, 0, 1, "x", 0, err)));
    setsockopt(c->fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    return c;
}

bool send_raw(proto::Conn &c, const Bytes &bytes, int flags = 0) {
    return ::send(c.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL | flags) ==
           ssize_t(bytes.size());
}

// The status of the reply to SEQ; nothing when the connection closed or nothing came.
std::optional<uint32_t> reply_status(proto::Conn &c, uint32_t seq) {
    proto::Frame f;
    while (c.recv(f, 5000) == proto::Recv::ok) {
        proto::Reader r(f);
        uint32_t status = 0;
        std::string msg;
        if (f.type == proto::T_REPLY && f.seq == seq && proto::read_reply_head(r, status, msg))
            return status;
    }
    return std::nullopt;
}

// Sends BYTES once the socket takes them, reading (and dropping) what arrives meanwhile.
bool eventually_sent(proto::Conn &c, const Bytes &bytes) {
    for (auto end = std::chrono::steady_clock::now() + 30s;
         std::chrono::steady_clock::now() < end;) {
        if (send_raw(c, bytes, MSG_DONTWAIT))
            return true;
        proto::Frame f;
        if (errno != EAGAIN || c.recv(f, 100) == proto::Recv::closed)
            return false;
    }
    return false;
}

bool closed_by_peer(proto::Conn &c) {
    proto::Frame f;
    proto::Recv r;
    while ((r = c.recv(f, 5000)) == proto::Recv::ok) {
    }
    return r == proto::Recv::closed;
}

}  // namespace

// Each bad record on a connection of its own: the answer, then a ping answered on the same
// connection, or the connection closed. A client registered meanwhile is not disturbed, nor is
// one that stops reading its answers.
TEST(Platformd, BadOrStuckClientsHarmOnlyThemselves) {
    ts::Router r;
    ASSERT_GT(r.start_platformd(), 0);
    // A process of card 1 that prints the role events it gets; true when it hears of a move.
    pid_t other = r.start(ts::bin("platform_peer"), {"--role"}, 1);
    ASSERT_TRUE(r.wait_line(other, "event 32 dlrsc 0")) << r.log(other);
    auto moved_and_heard = [&](const char *to, const char *line) {
        return r.ctl({"role", "set", "--force", to}).status == 0 && r.wait_line(other, line);
    };
    auto with = [](Bytes b, size_t at, uint8_t v) {
        b.at(at) = v;
        return b;
    };
    Bytes too_big(proto::MAX_FRAME + 5000);
    std::memcpy(too_big.data(), frame(proto::T_PING, 9).data(), proto::HEADER_SIZE);
    struct {
        const char *what;
        bool hello;
        Bytes record;
        std::optional<uint32_t> status;
        bool kept;
    } cases[] = {
        {"before HELLO", false, frame(proto::T_LRD_AM_I_DLRSC, 9), EPROTO, true},
        {"unknown type", true, frame(0xEE, 9), ENOSYS, true},
        {"a reply as a request", true, frame(proto::T_REPLY, 9), EPROTO, true},
        {"payload too short", true, frame(proto::T_SYSMGR_LR_REGISTER, 9, {1, 2}), EBADMSG, true},
        {"length field wrong", false, with(frame(proto::T_PING, 9, {1, 2, 3}), 12, 7), EBADMSG,
         true},
        {"length field short", false, with(frame(proto::T_PING, 9, {1, 2, 3}), 12, 1), EBADMSG,
         true},
        {"length over the limit", false, with(frame(proto::T_PING, 9), 14, 0x10), EBADMSG, true},
        {"larger than a frame", false, too_big, EMSGSIZE, true},
        {"another version", false, with(frame(proto::T_PING, 9), 4, 9), EPROTONOSUPPORT, false},
        {"not a frame", false, {'h', 'e', 'l', 'l', 'o'}, std::nullopt, false},
        {"no magic", false, Bytes(100, 0xFF), std::nullopt, false},
    };
    for (auto &c : cases) {
        auto conn = connect(r, c.hello);
        ASSERT_TRUE(send_raw(*conn, c.record)) << c.what << ": " << strerror(errno);
        EXPECT_EQ(reply_status(*conn, 9), c.status) << c.what;
        if (c.kept)
            EXPECT_TRUE(send_raw(*conn, frame(proto::T_PING, 10)) && reply_status(*conn, 10) == 0u)
                << c.what;
        else
            EXPECT_TRUE(closed_by_peer(*conn)) << c.what;
    }
    proto::Conn conn;
    std::string err;
    ASSERT_TRUE(conn.connect(r.socket(), 2000));
    EXPECT_FALSE(proto::hello(conn, 5000, 1, "x", 0, err));
    EXPECT_TRUE(contains(err, "out of range")) << err;

    // Requests whose answers are never read stop being read: the client's sends block while the
    // others are served, and once it reads its answers it is served again.
    auto hung = connect(r, true);
    bool blocked = false;
    for (auto end = std::chrono::steady_clock::now() + 30s;
         !blocked && std::chrono::steady_clock::now() < end;) {
        if (send_raw(*hung, frame(proto::T_CTL_STATUS, 1), MSG_DONTWAIT))
            continue;
        ASSERT_EQ(errno, EAGAIN) << strerror(errno);
        usleep(200000);
        blocked = !send_raw(*hung, frame(proto::T_CTL_STATUS, 1), MSG_DONTWAIT) && errno == EAGAIN;
    }
    EXPECT_TRUE(blocked);
    EXPECT_TRUE(moved_and_heard("1", "event 4 dlrsc 1"));
    ASSERT_TRUE(eventually_sent(*hung, frame(proto::T_PING, 10)));
    EXPECT_EQ(reply_status(*hung, 10), 0u);
    EXPECT_TRUE(moved_and_heard("2", "event 32 dlrsc 2"));
}

TEST(PlatformdSocket, OneDaemonPerSocketWhichSigtermTakesAway) {
    ts::Router r;
    ASSERT_GT(r.start_platformd(), 0);
    struct stat st;
    ASSERT_EQ(stat(r.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_TRUE(ts::ended(r.run(ts::bin("platformd"), {}), 1, "another platformd"));
    EXPECT_EQ(r.ctl({"status"}).status, 0);

    EXPECT_EQ(r.stop(r.platformd(), SIGTERM), 0);
    EXPECT_NE(access(r.socket().c_str(), F_OK), 0);
    // Something that is not a socket is never replaced (a stale socket is: see the cfgdb tests).
    std::ofstream(r.socket()) << "";
    EXPECT_TRUE(ts::ended(r.run(ts::bin("platformd"), {}), 1, "not a socket"));
}

TEST(Platformctl, CommandLinesAreCheckedAndADownDaemonIsNamed) {
    ts::Router r;  // platformd never started
    struct {
        std::vector<std::string> args;
        int status;
        std::string text;
    } cases[] = {
        {{"--help"}, 0, "role set [--force] CARD"},
        {{"role", "show"}, 3, "platformd is not running"},
        {{"status"}, 3, r.socket()},
        {{"trace", "no_such_buffer"}, 1, "no_such_buffer"},
        {{"bogus"}, 2, "unknown command 'bogus'"},
        {{"role", "set", "1000"}, 2, "not a card number"},
        {{"trace", "../x"}, 2, "not a trace buffer name"},
    };
    for (auto &c : cases)
        EXPECT_TRUE(ts::ended(r.ctl(c.args), c.status, c.text)) << testing::PrintToString(c.args);
}
