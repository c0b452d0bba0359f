// Message channels over real sockets: framing, refused records, many clients at once, vanished
// clients, the socket file.
#include <errno.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include "events_support.h"

using namespace events_test;
using Bytes = std::vector<uint8_t>;

namespace {

// Replies with the whole receive buffer, or with error 95 to a message that begins with 0xEE.
int echo(event_context *ctx) {
    uint64_t len = 0;
    if (msg_get_clinfo_m_msglen(ctx->reply_id, &len) < 0)
        return msg_error(ctx->reply_id, EINVAL);
    if (static_cast<uint8_t *>(ctx->buffer)[0] == 0xEE)
        return msg_error(ctx->reply_id, EOPNOTSUPP);
    return msg_reply(ctx->reply_id, 0, ctx->buffer, kMsg);
}

}  // namespace

TEST(Channel, RepliesFrameTheWholeBufferAndBadRecordsLeaveItAlone) {
    std::vector<uint64_t> lengths;
    Loop loop("/dev/tz_cli_msg_transfer", [&](event_context *ctx) {
        msg_get_clinfo_m_msglen(ctx->reply_id, &lengths.emplace_back());
        return echo(ctx);
    });
    ASSERT_NE(loop.evm, nullptr) << strerror(loop.create_errno);
    std::string path = rundir() + "/dev/tz_cli_msg_transfer";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    auto client = connect_channel("/dev/tz_cli_msg_transfer");
    auto other = connect_channel("/dev/tz_cli_msg_transfer");
    auto reply = exchange(client.get(), Bytes(kMsg, 0x11));
    ASSERT_EQ(reply.size(), kMsg + 4);
    EXPECT_EQ(reply_status(reply), 0);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.end()), Bytes(kMsg, 0x11));
    // Refused records reach no handler and change nothing, for any client.
    EXPECT_EQ(exchange(other.get(), {}), (Bytes{EBADMSG, 0, 0, 0}));
    EXPECT_EQ(exchange(client.get(), Bytes(kMsg + 1, 0x44)), (Bytes{EMSGSIZE, 0, 0, 0}));
    // A short message overwrites only its own bytes of the buffer.
    reply = exchange(other.get(), Bytes(10, 0x22));
    ASSERT_EQ(reply.size(), kMsg + 4);
    EXPECT_EQ(reply[13], 0x22);
    EXPECT_EQ(reply[14], 0x11);
    EXPECT_EQ(exchange(client.get(), {0xEE, 1, 2}), (Bytes{EOPNOTSUPP, 0, 0, 0}));
    loop.stop();
    EXPECT_EQ(lengths, (std::vector<uint64_t>{kMsg, 10, 3}));
    EXPECT_NE(stat(path.c_str(), &st), 0);  // removed with its manager

    // A loop with a small receive buffer refuses what does not fit in it.
    Loop small("/dev/small", echo, 128);
    auto to_small = connect_channel("/dev/small");
    EXPECT_EQ(reply_status(exchange(to_small.get(), Bytes(129, 1))), EMSGSIZE);
    EXPECT_EQ(small.buffer, Bytes(128, 0));
}

// Clients interleave their exchanges on one loop; each reply carries its own request back.
TEST(Channel, ManyClientsAtOnceEachGetTheirOwnReplies) {
    Loop loop("/dev/many", echo);
    ASSERT_NE(loop.evm, nullptr) << strerror(loop.create_errno);
    std::atomic<int> wrong{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c)
        clients.emplace_back([c, &wrong] {
            auto fd = connect_channel("/dev/many");
            for (int i = 0; i < 40; ++i) {
                Bytes request(kMsg, uint8_t(c * 31 + i));
                request[0] = uint8_t(c);  // never 0xEE, which the echo refuses
                request[1] = uint8_t(i);
                auto reply = exchange(fd.get(), request);
                if (reply.size() != kMsg + 4 || reply_status(reply) != 0 ||
                    !std::equal(request.begin(), request.end(), reply.begin() + 4))
                    ++wrong;
            }
        });
    for (auto &t : clients)
        t.join();
    EXPECT_EQ(wrong, 0);
}

TEST(Channel, ClientGoneBeforeItsReplyCostsOnlyThatReply) {
    std::atomic<int32_t> gone{0};
    std::atomic<bool> closed{false};
    std::atomic<int> late{0}, stale{0};
    Loop loop("/dev/chan", [&](event_context *ctx) {
        uint8_t kind = static_cast<uint8_t *>(ctx->buffer)[0];
        uint64_t len;
        if (kind == 'W') {  // answers once its client has hung up
            gone = ctx->reply_id;
            ts::eventually([&] { return closed.load(); });
            late = msg_reply(ctx->reply_id, 0, ctx->buffer, kMsg) != 0 ? 1 : -1;
            return 0;
        }
        if (kind == 'B')  // first tries the id of the client that has gone
            stale = msg_get_clinfo_m_msglen(gone, &len) < 0 &&
                            msg_reply(gone, 0, ctx->buffer, kMsg) != 0
                        ? 1
                        : -1;
        return echo(ctx);
    });
    {
        auto waiting = connect_channel("/dev/chan");
        ASSERT_EQ(send(waiting.get(), "W", 1, 0), 1);
        ASSERT_TRUE(ts::eventually([&] { return gone != 0; }));
    }
    closed = true;
    ASSERT_TRUE(ts::eventually([&] { return late != 0; }));
    EXPECT_EQ(late, 1);

    // Once the loop has seen the hang-up (an exchange later), a new client may get the same slot
    // and descriptor, but not the old reply id.
    auto other = connect_channel("/dev/chan");
    ASSERT_EQ(reply_status(exchange(other.get(), {'C'})), 0);
    auto next = connect_channel("/dev/chan");
    EXPECT_EQ(exchange(next.get(), {'B'}).size(), kMsg + 4);
    char more;
    EXPECT_EQ(recv(next.get(), &more, 1, MSG_DONTWAIT), -1);  // nothing meant for the other
    EXPECT_EQ(stale, 1);
    EXPECT_NE(msg_error(0x7FFF1234, EINVAL), 0);
}

TEST(Channel, StaleSocketIsReplacedButALiveServerIsNot) {
    std::string path = rundir() + "/dev/stale";
    std::filesystem::create_directories(rundir() + "/dev");
    {
        platform::Fd old(socket(AF_UNIX, SOCK_SEQPACKET, 0));
        sockaddr_un addr{AF_UNIX, {}};
        strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(bind(old.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        chmod(path.c_str(), 0600);
    }
    Loop loop("/dev/stale", echo);
    ASSERT_NE(loop.evm, nullptr) << strerror(loop.create_errno);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    auto client = connect_channel("/dev/stale");
    EXPECT_EQ(reply_status(exchange(client.get(), {1})), 0);

    Loop rival("/dev/stale", echo);
    EXPECT_EQ(rival.evm, nullptr);
    EXPECT_EQ(rival.create_errno, EADDRINUSE);
    EXPECT_EQ(reply_status(exchange(client.get(), {2})), 0);
}
