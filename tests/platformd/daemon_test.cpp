// platformd as its clients see it: the real daemon in a private directory, driven through its
// protocol, through platformctl and by platform_peer processes.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "support.h"

using namespace std::chrono_literals;
using ts::contains;
namespace proto = platform::proto;
using Event = std::pair<uint32_t, uint32_t>;

namespace {

std::optional<uint32_t> register_events(ts::Client &c, uint32_t mask = 36) {
    proto::Writer w;
    w.u32(mask);
    return c.call(proto::T_SYSMGR_LR_REGISTER, w);
}

// The LR answer: status and flag.
std::pair<uint32_t, uint32_t> am_i_dlrsc(ts::Client &c) {
    std::vector<uint8_t> body;
    uint32_t status = c.call(proto::T_LRD_AM_I_DLRSC, proto::Writer(), &body).value_or(~0u);
    proto::Reader r(body);
    uint32_t flag = ~0u;
    return {status, r.u32(flag) ? flag : ~0u};
}

std::vector<uint8_t> frame(uint16_t type, uint32_t seq, const std::vector<uint8_t> &payload = {}) {
    std::vector<uint8_t> out;
    proto::encode(type, seq, payload.data(), payload.size(), out);
    return out;
}

bool send_raw(proto::Conn &c, const std::vector<uint8_t> &bytes) {
    return ::send(c.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
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

class Platformd : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_GT(r.start_platformd(), 0) << r.log(r.platformd()); }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "platformd log:\n" << r.log(r.platformd());
    }
    ts::Router r;
};

}  // namespace

TEST_F(Platformd, EveryRegisteredCardHearsOfTheRoleAtOnceAndOfEveryChange) {
    ts::Client c0(r.socket(), 0), c1(r.socket(), 1), c2(r.socket(), 2);
    for (ts::Client *c : {&c0, &c1, &c2})
        ASSERT_EQ(register_events(*c), 0u);
    EXPECT_EQ(c0.next_event(), Event(4, 0));
    EXPECT_EQ(c1.next_event(), Event(32, 0));
    EXPECT_EQ(c2.next_event(), Event(32, 0));
    EXPECT_FALSE(c0.next_event(200ms));  // once only
    EXPECT_EQ(am_i_dlrsc(c0), Event(0, 1));
    EXPECT_EQ(am_i_dlrsc(c1), Event(0, 0));

    ts::Result res = r.ctl({"role", "set", "1"});
    ASSERT_EQ(res.status, 0) << res.err;
    EXPECT_EQ(c0.next_event(), Event(32, 1));
    EXPECT_EQ(c1.next_event(), Event(4, 1));
    EXPECT_EQ(c2.next_event(), Event(32, 1));
    EXPECT_EQ(am_i_dlrsc(c0), Event(0, 0));
    EXPECT_EQ(am_i_dlrsc(c1), Event(0, 1));

    // Giving the role to its holder sends nothing; the next change is the next event.
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    ASSERT_EQ(r.ctl({"role", "set", "0"}).status, 0);
    EXPECT_EQ(c0.next_event(), Event(4, 0));
    EXPECT_EQ(c1.next_event(), Event(32, 0));

    // The role may go to a card nobody runs yet; it exists from then on.
    ASSERT_EQ(r.ctl({"role", "set", "7"}).status, 0);
    EXPECT_EQ(c0.next_event(), Event(32, 7));
    res = r.ctl({"role", "show"});
    for (const char *text : {"dLRSC: card 7", "card 7: dLRSC, down", "card 1: not dLRSC, up"})
        EXPECT_TRUE(contains(res.out, text)) << res.out;

    // A mask without either event is refused; 32 alone brings the dLRSC nothing.
    ts::Client c7(r.socket(), 7);
    EXPECT_EQ(register_events(c7, 0x1), uint32_t(EINVAL));
    EXPECT_EQ(register_events(c7, 32), 0u);
    EXPECT_FALSE(c7.next_event(200ms));
}

TEST_F(Platformd, AProcessIsShownWhileItRunsAndLosesOnlyItsOwnWhenKilled) {
    ts::Client c1(r.socket(), 1);
    ASSERT_EQ(register_events(c1), 0u);
    ASSERT_EQ(c1.next_event(), Event(32, 0));
    pid_t peer = r.start(ts::bin("platform_peer"), {"--ready", "--role"}, 2);
    ASSERT_TRUE(r.wait_line(peer, "event 32 dlrsc 0")) << r.log(peer);
    std::string status = r.ctl({"status"}).out;
    EXPECT_TRUE(contains(status, "card 2 pid " + std::to_string(peer) + " platform_peer ") &&
                contains(status, "ready since"))
        << status;
    EXPECT_TRUE(contains(r.ctl({"role", "show", "2"}).out, "card 2: not dLRSC, up, ready"));

    r.stop(peer, SIGKILL);
    EXPECT_TRUE(ts::eventually([&] {
        return contains(r.ctl({"role", "show", "2"}).out, "card 2: not dLRSC, down");
    }));
    EXPECT_FALSE(contains(r.ctl({"status"}).out, "pid " + std::to_string(peer)));
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    EXPECT_EQ(c1.next_event(), Event(4, 1));

    ts::Result none = r.ctl({"role", "show", "9"});
    EXPECT_EQ(none.status, 1);
    EXPECT_TRUE(contains(none.err, "no such card 9")) << none.err;
}

TEST_F(Platformd, MalformedFramesAreAnsweredWithoutHarmingOthers) {
    ts::Client other(r.socket(), 1);
    ASSERT_EQ(register_events(other), 0u);
    ASSERT_EQ(other.next_event(), Event(32, 0));

    auto bad_length = frame(proto::T_PING, 9, {1, 2, 3});
    bad_length[12] = 7;
    auto bad_version = frame(proto::T_PING, 9);
    bad_version[4] = 9;
    std::vector<uint8_t> too_big(proto::MAX_FRAME + 5000);
    std::memcpy(too_big.data(), frame(proto::T_PING, 9).data(), proto::HEADER_SIZE);
    struct {
        const char *what;
        bool hello;
        std::vector<uint8_t> record;
        std::optional<uint32_t> status;
        bool kept;
    } cases[] = {
        {"before HELLO", false, frame(proto::T_LRD_AM_I_DLRSC, 9), EPROTO, true},
        {"unknown type", true, frame(0xEE, 9), ENOSYS, true},
        {"a reply as a request", true, frame(proto::T_REPLY, 9), EPROTO, true},
        {"payload too short", true, frame(proto::T_SYSMGR_LR_REGISTER, 9, {1, 2}), EBADMSG, true},
        {"length field wrong", false, bad_length, EBADMSG, true},
        {"larger than a frame", false, too_big, EMSGSIZE, true},
        {"another version", false, bad_version, EPROTONOSUPPORT, false},
        {"not a frame", false, {'h', 'e', 'l', 'l', 'o'}, std::nullopt, false},
        {"no magic", false, std::vector<uint8_t>(100, 0xFF), std::nullopt, false},
    };
    for (auto &c : cases) {
        proto::Conn conn;
        std::string err;
        ASSERT_TRUE(conn.connect(r.socket(), 2000));
        ASSERT_TRUE(!c.hello || proto::hello(conn, 0, 1, "x", 0, err));
        int sndbuf = 1 << 20;
        setsockopt(conn.fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
        ASSERT_TRUE(send_raw(conn, c.record)) << c.what << ": " << strerror(errno);
        EXPECT_EQ(reply_status(conn, 9), c.status) << c.what;
        if (c.kept) {
            ASSERT_TRUE(send_raw(conn, frame(proto::T_PING, 10)));
            EXPECT_EQ(reply_status(conn, 10), 0u) << c.what;
        } else {
            EXPECT_TRUE(closed_by_peer(conn)) << c.what;
        }
    }
    proto::Conn conn;
    std::string err;
    ASSERT_TRUE(conn.connect(r.socket(), 2000));
    EXPECT_FALSE(proto::hello(conn, 5000, 1, "x", 0, err));
    EXPECT_TRUE(contains(err, "out of range")) << err;

    // The registered client was not disturbed.
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    EXPECT_EQ(other.next_event(), Event(4, 1));
}

TEST_F(Platformd, AClientThatStopsReadingIsDropped) {
    ts::Client other(r.socket(), 1);
    ASSERT_EQ(register_events(other), 0u);
    ASSERT_TRUE(other.next_event());

    // Requests whose answers are never read pile up until the daemon gives up on the client.
    ts::Client hung(r.socket(), 2);
    int sndbuf = 1 << 20;
    setsockopt(hung.conn().fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    auto status_req = frame(proto::T_CTL_STATUS, 1);
    bool dropped = false;
    auto give_up = std::chrono::steady_clock::now() + 30s;
    while (!dropped && std::chrono::steady_clock::now() < give_up) {
        if (::send(hung.conn().fd(), status_req.data(), status_req.size(),
                   MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            if (errno != EAGAIN)
                dropped = true;  // EPIPE or ECONNRESET: the daemon closed it
            else
                usleep(1000);
        }
    }
    EXPECT_TRUE(dropped || closed_by_peer(hung.conn()));
    EXPECT_TRUE(contains(r.log(r.platformd()), "not reading its frames"));
    ASSERT_EQ(r.ctl({"role", "set", "1"}).status, 0);
    EXPECT_EQ(other.next_event(), Event(4, 1));
}

TEST(PlatformdSocket, OnlyAStaleSocketIsReplacedAndSigtermTakesItAway) {
    ts::Router r;
    // A socket file left by a daemon that died: bound, never listening now.
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, r.socket().c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    close(fd);
    ASSERT_GT(r.start_platformd(), 0);
    struct stat st;
    ASSERT_EQ(stat(r.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    // A second daemon on the same socket is refused; the first one goes on.
    ts::Result second = r.run(ts::bin("platformd"), {});
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(contains(second.err, "another platformd")) << second.err;
    ts::Client c(r.socket(), 0);
    EXPECT_EQ(am_i_dlrsc(c), Event(0, 1));

    EXPECT_EQ(r.stop(r.platformd(), SIGTERM), 0);
    EXPECT_NE(access(r.socket().c_str(), F_OK), 0);
    // Something that is not a socket is never replaced.
    std::ofstream(r.socket()) << "";
    ts::Result res = r.run(ts::bin("platformd"), {});
    EXPECT_EQ(res.status, 1);
    EXPECT_TRUE(contains(res.err, "not a socket")) << res.err;
}

TEST(Platformctl, CommandLinesAreCheckedAndADownDaemonIsNamed) {
    ts::Router r;  // platformd never started
    struct {
        std::vector<std::string> args;
        int status;
        std::string text;
    } cases[] = {
        {{"--help"}, 0, "role set CARD"},
        {{"role", "--help"}, 0, "role show [CARD]"},
        {{"role", "show"}, 3, "platformd is not running"},
        {{"role", "set", "1"}, 3, r.socket()},
        {{"status"}, 3, "platformd is not running"},
        {{"fault", "clear"}, 3, "platformd is not running"},
        {{"trace", "no_such_buffer"}, 1, "no_such_buffer"},
        {{}, 2, "usage"},
        {{"bogus"}, 2, "bogus"},
        {{"role"}, 2, ""},
        {{"role", "set"}, 2, ""},
        {{"role", "set", "one"}, 2, ""},
        {{"role", "set", "1000"}, 2, ""},
        {{"role", "set", "1", "2"}, 2, ""},
        {{"status", "now"}, 2, ""},
        {{"fault"}, 2, ""},
        {{"trace"}, 2, ""},
        {{"trace", "../x"}, 2, ""},
    };
    for (auto &c : cases) {
        ts::Result res = r.ctl(c.args);
        std::string what = c.args.empty() ? "(none)" : c.args[0] + " " + c.args.back();
        EXPECT_EQ(res.status, c.status) << what;
        EXPECT_TRUE(contains(res.out + res.err, c.text)) << what << ": " << res.out << res.err;
        EXPECT_TRUE(c.status == 0 || !res.err.empty()) << what;
    }
}
