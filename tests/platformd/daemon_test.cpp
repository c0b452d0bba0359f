// platformd as its clients see it: the real daemon in a private directory, driven through its
// protocol and through platformctl.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "harness.h"
#include "platform_log.h"

using namespace pdtest;

namespace {

class PlatformdTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(d.start()) << d.log(); }
    void TearDown() override {
        if (HasFailure())
            std::cerr << "platformd log:\n" << d.log();
    }
    Daemon d;
};

using Event = std::pair<uint32_t, uint32_t>;

// Sends raw bytes as one record.
bool send_raw(proto::Conn &c, const std::vector<uint8_t> &bytes) {
    return ::send(c.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL) == ssize_t(bytes.size());
}

std::vector<uint8_t> frame_bytes(uint16_t type, uint32_t seq, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> out;
    proto::encode(type, seq, payload.data(), payload.size(), out);
    return out;
}

// The reply to seq SEQ: its status; nothing when the connection closed or nothing came.
std::optional<uint32_t> reply_status(proto::Conn &c, uint32_t seq) {
    for (;;) {
        proto::Frame f;
        if (c.recv(f, 5000) != proto::Recv::ok)
            return std::nullopt;
        if (f.type != proto::T_REPLY || f.seq != seq)
            continue;
        proto::Reader r(f);
        uint32_t status = 0;
        std::string msg;
        if (!proto::read_reply_head(r, status, msg))
            return std::nullopt;
        return status;
    }
}

bool closed_by_peer(proto::Conn &c) {
    proto::Frame f;
    for (;;) {
        proto::Recv r = c.recv(f, 5000);
        if (r == proto::Recv::closed)
            return true;
        if (r != proto::Recv::ok)
            return false;
    }
}

}  // namespace

TEST_F(PlatformdTest, RegisteredCardsGetTheirCurrentRoleAtOnce) {
    Client c0(d.socket(), 0), c1(d.socket(), 1);
    ASSERT_TRUE(c0.ok() && c1.ok());
    ASSERT_EQ(c0.register_events(), 0u);
    ASSERT_EQ(c1.register_events(), 0u);
    EXPECT_EQ(c0.next_event(), Event(4, 0));
    EXPECT_EQ(c1.next_event(), Event(32, 0));
    // Only once: nothing more until the role moves.
    EXPECT_FALSE(c0.next_event(200ms));

    // A mask without either event is refused; a mask of only 32 gets nothing on the dLRSC.
    Client c0b(d.socket(), 0);
    EXPECT_EQ(c0b.register_events(0x1), uint32_t(EINVAL));
    EXPECT_EQ(c0b.register_events(32), 0u);
    EXPECT_FALSE(c0b.next_event(200ms));
}

TEST_F(PlatformdTest, RoleSetMovesTheRoleAndTellsEveryRegisteredCard) {
    Client c0(d.socket(), 0), c1(d.socket(), 1), c2(d.socket(), 2);
    for (Client *c : {&c0, &c1, &c2}) {
        ASSERT_TRUE(c->ok());
        ASSERT_EQ(c->register_events(), 0u);
        ASSERT_TRUE(c->next_event());
    }
    EXPECT_EQ(c0.am_i_dlrsc(), std::make_pair(0u, 1u));
    EXPECT_EQ(c1.am_i_dlrsc(), std::make_pair(0u, 0u));

    Result r = d.ctl({"role", "set", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(c0.next_event(), Event(32, 1));
    EXPECT_EQ(c1.next_event(), Event(4, 1));
    EXPECT_EQ(c2.next_event(), Event(32, 1));
    EXPECT_EQ(c0.am_i_dlrsc(), std::make_pair(0u, 0u));
    EXPECT_EQ(c1.am_i_dlrsc(), std::make_pair(0u, 1u));

    // Setting the holder again changes nothing and sends nothing; the next change is seen next.
    ASSERT_EQ(d.ctl({"role", "set", "1"}).status, 0);
    ASSERT_EQ(d.ctl({"role", "set", "0"}).status, 0);
    EXPECT_EQ(c0.next_event(), Event(4, 0));
    EXPECT_EQ(c1.next_event(), Event(32, 0));

    // The role may go to a card nobody runs yet; it exists from then on.
    ASSERT_EQ(d.ctl({"role", "set", "7"}).status, 0);
    EXPECT_EQ(c0.next_event(), Event(32, 7));
    Result show = d.ctl({"role", "show"});
    ASSERT_EQ(show.status, 0) << show.err;
    EXPECT_NE(show.out.find("dLRSC: card 7"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("card 7: dLRSC, down"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find("card 1: not dLRSC, up"), std::string::npos) << show.out;
}

TEST_F(PlatformdTest, ReadinessIsShownWhileTheProcessIsConnected) {
    {
        Client c(d.socket(), 3, 4242, "tzd");
        ASSERT_TRUE(c.ok());
        proto::Writer w;
        w.str("tzd");
        ASSERT_EQ(c.call(proto::T_SYSMGR_READY, w), 0u);
        Result show = d.ctl({"role", "show", "3"});
        ASSERT_EQ(show.status, 0) << show.err;
        EXPECT_NE(show.out.find("card 3: not dLRSC, up, ready"), std::string::npos) << show.out;
        Result st = d.ctl({"status"});
        EXPECT_NE(st.out.find("card 3 pid 4242 tzd"), std::string::npos) << st.out;
        EXPECT_NE(st.out.find("ready since"), std::string::npos) << st.out;
    }
    ASSERT_TRUE(eventually([&] {
        return d.ctl({"role", "show", "3"}).out.find("card 3: not dLRSC, down") !=
               std::string::npos;
    }));
    // A card that never existed is an error.
    Result none = d.ctl({"role", "show", "9"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no such card 9"), std::string::npos) << none.err;
}

TEST_F(PlatformdTest, AKilledClientLosesOnlyItsRegistration) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        Client c(d.socket(), 2);
        bool ok = c.ok() && c.register_events() == 0u && c.next_event();
        char b = ok ? 'y' : 'n';
        (void)!write(ready[1], &b, 1);
        if (ok)
            pause();
        _exit(0);
    }
    // Whatever happens below, the child does not outlive the test.
    std::unique_ptr<void, std::function<void(void *)>> reap(&child, [child](void *) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    });
    close(ready[1]);
    char b = 0;
    ASSERT_EQ(read(ready[0], &b, 1), 1);
    close(ready[0]);
    ASSERT_EQ(b, 'y');

    Client c1(d.socket(), 1);
    ASSERT_EQ(c1.register_events(), 0u);
    ASSERT_EQ(c1.next_event(), Event(32, 0));
    EXPECT_NE(d.ctl({"status"}).out.find("pid " + std::to_string(child)), std::string::npos);

    reap.reset();
    ASSERT_TRUE(eventually([&] {
        return d.ctl({"status"}).out.find("pid " + std::to_string(child)) == std::string::npos;
    }));
    ASSERT_EQ(d.ctl({"role", "set", "1"}).status, 0);
    EXPECT_EQ(c1.next_event(), Event(4, 1));
    EXPECT_TRUE(d.running());
}

TEST_F(PlatformdTest, MalformedFramesAreAnsweredWithoutHarmingOthers) {
    Client other(d.socket(), 1);
    ASSERT_EQ(other.register_events(), 0u);
    ASSERT_EQ(other.next_event(), Event(32, 0));

    {  // requests before HELLO, unknown types and replies sent as requests
        proto::Conn c;
        ASSERT_TRUE(c.connect(d.socket(), 2000));
        ASSERT_TRUE(send_raw(c, frame_bytes(proto::T_LRD_AM_I_DLRSC, 1, {})));
        EXPECT_EQ(reply_status(c, 1), uint32_t(EPROTO));
        std::string err;
        ASSERT_TRUE(proto::hello(c, 0, 1, "x", 0, err));
        ASSERT_TRUE(send_raw(c, frame_bytes(0xEE, 2, {})));
        EXPECT_EQ(reply_status(c, 2), uint32_t(ENOSYS));
        ASSERT_TRUE(send_raw(c, frame_bytes(proto::T_REPLY, 3, {})));
        EXPECT_EQ(reply_status(c, 3), uint32_t(EPROTO));
        // A payload shorter than the request needs.
        ASSERT_TRUE(send_raw(c, frame_bytes(proto::T_SYSMGR_LR_REGISTER, 4, {1, 2})));
        EXPECT_EQ(reply_status(c, 4), uint32_t(EBADMSG));
        // A HELLO with a card out of range, on a fresh connection.
        proto::Conn c2;
        ASSERT_TRUE(c2.connect(d.socket(), 2000));
        EXPECT_FALSE(proto::hello(c2, 5000, 1, "x", 0, err));
        EXPECT_NE(err.find("out of range"), std::string::npos) << err;
    }
    {  // a length field that disagrees with the record: answered, connection kept
        proto::Conn c;
        ASSERT_TRUE(c.connect(d.socket(), 2000));
        auto bytes = frame_bytes(proto::T_PING, 9, {1, 2, 3});
        bytes[12] = 7;
        ASSERT_TRUE(send_raw(c, bytes));
        EXPECT_EQ(reply_status(c, 9), uint32_t(EBADMSG));
        ASSERT_TRUE(send_raw(c, frame_bytes(proto::T_PING, 10, {})));
        EXPECT_EQ(reply_status(c, 10), 0u);
    }
    {  // a record larger than any frame: answered, connection kept
        proto::Conn c;
        ASSERT_TRUE(c.connect(d.socket(), 2000));
        int sndbuf = 1 << 20;
        setsockopt(c.fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
        std::vector<uint8_t> big(proto::MAX_FRAME + 5000);
        auto head = frame_bytes(proto::T_PING, 11, {});
        std::copy(head.begin(), head.end(), big.begin());
        ASSERT_TRUE(send_raw(c, big)) << strerror(errno);
        EXPECT_EQ(reply_status(c, 11), uint32_t(EMSGSIZE));
        ASSERT_TRUE(send_raw(c, frame_bytes(proto::T_PING, 12, {})));
        EXPECT_EQ(reply_status(c, 12), 0u);
    }
    {  // another protocol version: told so, then closed
        proto::Conn c;
        ASSERT_TRUE(c.connect(d.socket(), 2000));
        auto bytes = frame_bytes(proto::T_PING, 13, {});
        bytes[4] = 9;
        ASSERT_TRUE(send_raw(c, bytes));
        EXPECT_EQ(reply_status(c, 13), uint32_t(EPROTONOSUPPORT));
        EXPECT_TRUE(closed_by_peer(c));
    }
    for (auto garbage : {std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'},
                         std::vector<uint8_t>(100, 0xFF)}) {  // not ours at all: closed
        proto::Conn c;
        ASSERT_TRUE(c.connect(d.socket(), 2000));
        ASSERT_TRUE(send_raw(c, garbage));
        EXPECT_TRUE(closed_by_peer(c));
    }

    // The registered client was not disturbed.
    ASSERT_EQ(d.ctl({"role", "set", "1"}).status, 0);
    EXPECT_EQ(other.next_event(), Event(4, 1));
    EXPECT_EQ(other.am_i_dlrsc(), std::make_pair(0u, 1u));
}

TEST_F(PlatformdTest, AClientThatStopsReadingIsDropped) {
    Client other(d.socket(), 1);
    ASSERT_EQ(other.register_events(), 0u);
    ASSERT_TRUE(other.next_event());

    // Requests whose answers are never read pile up until the daemon gives up on the client.
    Client hung(d.socket(), 2);
    ASSERT_TRUE(hung.ok());
    int sndbuf = 1 << 20;
    setsockopt(hung.conn().fd(), SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
    auto status_req = frame_bytes(proto::T_CTL_STATUS, 1, {});
    bool dropped = false;
    auto give_up = std::chrono::steady_clock::now() + 30s;
    while (!dropped && std::chrono::steady_clock::now() < give_up) {
        if (::send(hung.conn().fd(), status_req.data(), status_req.size(),
                   MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
            if (errno == EAGAIN) {
                usleep(1000);
                continue;
            }
            dropped = true;  // EPIPE/ECONNRESET: the daemon closed it
        }
    }
    EXPECT_TRUE(dropped || closed_by_peer(hung.conn()));
    EXPECT_NE(d.log().find("not reading its frames"), std::string::npos);

    ASSERT_EQ(d.ctl({"role", "set", "1"}).status, 0);
    EXPECT_EQ(other.next_event(), Event(4, 1));
}

TEST_F(PlatformdTest, LrdFaultFailsTheAnswerUntilCleared) {
    Client c(d.socket(), 0);
    ASSERT_EQ(c.am_i_dlrsc(), std::make_pair(0u, 1u));
    Result r = d.ctl({"fault", "lrd-fail", "60"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(c.am_i_dlrsc().first, 0u);
    EXPECT_NE(d.ctl({"status"}).out.find("lrd-fail: LR daemon answers fail"), std::string::npos);
    ASSERT_EQ(d.ctl({"fault", "clear"}).status, 0);
    EXPECT_EQ(c.am_i_dlrsc(), std::make_pair(0u, 1u));

    // A short fault ends by itself.
    ASSERT_EQ(d.ctl({"fault", "lrd-fail", "1"}).status, 0);
    EXPECT_NE(c.am_i_dlrsc().first, 0u);
    EXPECT_TRUE(eventually([&] { return c.am_i_dlrsc().first == 0; }));

    // Bad fault requests are refused with a reason.
    Result bad = d.ctl({"fault", "lrd-fail", "soon"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("seconds"), std::string::npos) << bad.err;
    Result unknown = d.ctl({"fault", "no-such-fault"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("lrd-fail"), std::string::npos) << unknown.err;
}

TEST_F(PlatformdTest, OneDaemonPerSocket) {
    Result second = run(bin("platformd"), {}, d.env(0), 10s);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("another platformd"), std::string::npos) << second.err;
    Client c(d.socket(), 0);
    EXPECT_EQ(c.am_i_dlrsc(), std::make_pair(0u, 1u));
}

TEST(PlatformdStart, ReplacesAStaleSocketWithAWorldWritableOne) {
    Daemon d;
    std::filesystem::create_directories(d.dir() + "/run");
    // A socket file left by a daemon that died: bound, never listening now.
    int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, d.socket().c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
    close(fd);
    ASSERT_TRUE(d.start()) << d.log();
    struct stat st;
    ASSERT_EQ(stat(d.socket().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    Client c(d.socket(), 0);
    EXPECT_EQ(c.am_i_dlrsc(), std::make_pair(0u, 1u));
    // On SIGTERM the daemon ends cleanly and takes its socket away.
    EXPECT_EQ(d.stop(SIGTERM), 0);
    EXPECT_NE(access(d.socket().c_str(), F_OK), 0);
}

TEST(PlatformdStart, RefusesToReplaceSomethingThatIsNotASocket) {
    Daemon d;
    std::filesystem::create_directories(d.dir() + "/run");
    FILE *f = fopen(d.socket().c_str(), "w");
    ASSERT_TRUE(f);
    fclose(f);
    Result r = run(bin("platformd"), {}, d.env(0), 10s);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a socket"), std::string::npos) << r.err;
}

TEST(PlatformctlDown, SaysSoAndExitsNonZero) {
    Daemon d;  // never started
    for (auto args : std::vector<std::vector<std::string>>{
             {"role", "show"}, {"role", "set", "1"}, {"status"}, {"fault", "clear"}}) {
        Result r = d.ctl(args);
        EXPECT_EQ(r.status, 3) << args[0];
        EXPECT_NE(r.err.find("platformd is not running"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(d.socket()), std::string::npos) << r.err;
    }
}

TEST(PlatformctlUsage, BadCommandLinesExitTwo) {
    Daemon d;
    Result help = d.ctl({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("role set CARD"), std::string::npos) << help.out;
    Result group_help = d.ctl({"role", "--help"});
    EXPECT_EQ(group_help.status, 0);
    EXPECT_NE(group_help.out.find("role show [CARD]"), std::string::npos) << group_help.out;
    for (auto args : std::vector<std::vector<std::string>>{{},
                                                           {"bogus"},
                                                           {"role"},
                                                           {"role", "set"},
                                                           {"role", "set", "one"},
                                                           {"role", "set", "1000"},
                                                           {"role", "set", "1", "2"},
                                                           {"status", "now"},
                                                           {"fault"}}) {
        Result r = d.ctl(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_FALSE(r.err.empty());
    }
}

TEST(PlatformctlTrace, PrintsTheRingOldestFirst) {
    Daemon d;  // only for its directories: trace needs no daemon
    d.export_env(0);
    ltrace_buf *buf = nullptr;
    ASSERT_EQ(ltrace_init2("pd_trace", 0, 0, 4, 4 * 128, 0, &buf), 0u);
    for (int i = 1; i <= 6; ++i)
        _lstrace(buf, 0, ("line " + std::to_string(i) + "\n").c_str());
    Result r = d.ctl({"trace", "pd_trace"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "line 3\nline 4\nline 5\nline 6\n");
    Result t = d.ctl({"trace", "-t", "pd_trace"});
    EXPECT_EQ(t.status, 0);
    EXPECT_NE(t.out.find(" line 6\n"), std::string::npos) << t.out;

    Result missing = d.ctl({"trace", "no_such_buffer"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("no_such_buffer"), std::string::npos) << missing.err;
    EXPECT_EQ(d.ctl({"trace", "../x"}).status, 2);
    EXPECT_EQ(d.ctl({"trace"}).status, 2);
}
