// platformd as its clients see it: the real daemon in a private directory, driven through its
// protocol, through platformctl and by platform_peer processes.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <thread>

#include "platform/proto.h"
#include "support.h"

using namespace std::chrono_literals;
using ts::contains;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;
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

bool closed_by_peer(proto::Conn &c) {
    proto::Frame f;
    proto::Recv r;
    while ((r = c.recv(f, 5000)) == proto::Recv::ok) {
    }
    return r == proto::Recv::closed;
}

}  // namespace

// Each bad record on a connection of its own: the answer, then a ping answered on the same
// connection, or the connection closed.
TEST(Platformd, BadClientsHarmOnlyThemselves) {
    ts::Router r;
    ASSERT_GT(r.start_platformd(), 0);
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
}

// Every registered card hears of the role at once and of every change, once, on its own loop;
// after a restart of platformd the library registers again by itself, the new daemon hears of
// the readiness again and gives the role back to its holder; a holder that does not come back
// loses it to the lowest card that is up.
TEST(Clients, RoleEventsReachEveryCardOnItsLoopOnceAndAfterARestart) {
    ts::Router r;
    ASSERT_GT(r.start_platformd(), 0);
    pid_t w0 = r.start(ts::bin("platform_peer"), {"--role"}, 0);
    pid_t w1 = r.start(ts::bin("platform_peer"), {"--ready", "--role"}, 1);
    Lines e0 = {"event 4 dlrsc 0"}, e1 = {"event 32 dlrsc 0"};
    auto heard = [&] {
        return ts::eventually(
            [&] { return r.lines(w0, "event ") == e0 && r.lines(w1, "event ") == e1; });
    };
    EXPECT_TRUE(r.wait_line(w1, "ready 0"));
    EXPECT_TRUE(heard()) << r.log(w0) << r.log(w1);
    for (const char *card : {"1", "1"})  // giving the role to its holder sends nothing
        ASSERT_EQ(r.ctl({"role", "set", card}).status, 0);
    // A card that is down takes it only when the operator insists.
    EXPECT_TRUE(ts::ended(r.ctl({"role", "set", "7"}), 1, "card 7 is down"));
    ASSERT_EQ(r.ctl({"role", "set", "--force", "7"}).status, 0);
    e0.insert(e0.end(), {"event 32 dlrsc 1", "event 32 dlrsc 7"});
    e1.insert(e1.end(), {"event 4 dlrsc 1", "event 32 dlrsc 7"});
    EXPECT_TRUE(heard()) << r.log(w0) << r.log(w1);
    ts::Result show = r.ctl({"role", "show"});
    for (const char *text :
         {"dLRSC: card 7", "card 7: dLRSC, down", "card 1: not dLRSC, up, ready"})
        EXPECT_TRUE(contains(show.out, text)) << show.out;

    r.stop(r.platformd());
    ASSERT_GT(r.start_platformd(), 0);
    // Within the grace the role waits for its holder, though other cards are back: five of
    // platformd's ticks pass with card 0 up and the role still on card 7.
    ASSERT_TRUE(ts::eventually([&] {
        return contains(r.ctl({"role", "show", "0"}).out, "card 0: not dLRSC, up");
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(contains(r.ctl({"role", "show"}).out, "dLRSC: card 7"));
    e0.insert(e0.end(), {"event 32 dlrsc 7", "event 4 dlrsc 0"});
    e1.insert(e1.end(), {"event 32 dlrsc 7", "event 32 dlrsc 0"});
    EXPECT_TRUE(heard()) << r.log(w0) << r.log(w1);
    EXPECT_TRUE(contains(r.log(r.platformd()),
                         "dLRSC role moved from card 7 to card 0: card 7 did not come back within "
                         "10 s of the restart"))
        << r.log(r.platformd());
    EXPECT_TRUE(ts::eventually([&] {
        return contains(r.ctl({"role", "show", "1"}).out, "card 1: not dLRSC, up, ready");
    }));
}
