// Message channels over real sockets: framing, refused records, the socket file.
#include <errno.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>

#include "events_support.h"

using namespace events_test;
using Bytes = std::vector<uint8_t>;

namespace {

// Replies with the whole receive buffer.
int echo(event_context *ctx) {
    return msg_reply(ctx->reply_id, 0, ctx->buffer, kMsg);
}

}  // namespace

TEST(Channel, RepliesFrameTheWholeBufferAndBadRecordsLeaveItAlone) {
    Loop loop("/dev/tz_cli_msg_transfer", echo);
    ASSERT_NE(loop.evm, nullptr);
    std::string path = rundir() + "/dev/tz_cli_msg_transfer";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);

    auto client = connect_channel("/dev/tz_cli_msg_transfer");
    auto reply = exchange(client.get(), Bytes(kMsg, 0x11));
    ASSERT_EQ(reply.size(), kMsg + 4);
    EXPECT_EQ(reply_status(reply), 0);
    EXPECT_EQ(Bytes(reply.begin() + 4, reply.end()), Bytes(kMsg, 0x11));
    // Refused records reach no handler; a short message overwrites only its own bytes.
    EXPECT_EQ(exchange(client.get(), {}), (Bytes{EBADMSG, 0, 0, 0}));
    EXPECT_EQ(exchange(client.get(), Bytes(kMsg + 1, 0x44)), (Bytes{EMSGSIZE, 0, 0, 0}));
    reply = exchange(client.get(), Bytes(10, 0x22));
    ASSERT_EQ(reply.size(), kMsg + 4);
    EXPECT_EQ(reply[13], 0x22);
    EXPECT_EQ(reply[14], 0x11);
    loop.stop();
    EXPECT_NE(stat(path.c_str(), &st), 0);  // removed with its manager
}
