// The CLI thread over the event and messaging double: how it sets up the channel, what ends the
// process, and its loop around event_block. Every TEST runs in a process of its own.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <thread>

#include "fake_log.h"
#include "msg_double.h"
#include "query_util.h"
#include "tz_cli.h"

using namespace qtest;

namespace {

class CliThread : public ::testing::Test {
  protected:
    void SetUp() override {
        msgdouble::reset();
        fake::clear_log();
        copy_zone(dir_.path(), "Europe/Paris");
        setenv("TZDIR", dir_.path().c_str(), 1);
    }
    // The thread never ends; the process exits under it when the test is over.
    static void start() { std::thread(tz_cli_msg_thread, nullptr).detach(); }

    TempDir dir_;
};

// Prints what was logged when the process exits, for the death tests to match.
void print_log_at_exit() {
    atexit([] {
        for (auto &l : fake::syslog_lines())
            fprintf(stderr, "syslog %d: %s\n", l.priority, l.text.c_str());
        fprintf(stderr, "destroy calls: %d\n", msgdouble::destroy_calls());
    });
}

}  // namespace

TEST_F(CliThread, OpensTheQueryChannelAndServesItsMessages) {
    start();
    auto m = patterned_msg(3);
    tz_msg_put_text(m->abbrev, sizeof m->abbrev, "CET");
    msgdouble::queue_message(41, m.get(), sizeof *m);
    ASSERT_TRUE(msgdouble::wait_replies(1));

    auto creates = msgdouble::create_calls();
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].kind, 0);
    EXPECT_EQ(creates[0].channel, "/dev/tz_cli_msg_transfer");
    EXPECT_EQ(creates[0].depth, 6);
    EXPECT_TRUE(creates[0].slot_given);
    EXPECT_EQ(msgdouble::attach_attributes(), (std::vector<uint8_t>{0xFF, 0x8F, 0x13, 0x02}));
    EXPECT_EQ(msgdouble::attached_handler(), &tz_message_handler);
    EXPECT_EQ(msgdouble::attached_user(), nullptr);
    auto t = fake::trace_lines();
    EXPECT_NE(
        std::find(t.begin(), t.end(), "tz_cli_msg_thread,Going into infinite loop :: CLI thread"),
        t.end());

    auto r = msgdouble::replies()[0];
    EXPECT_EQ(r.reply_id, 41);
    ASSERT_FALSE(r.is_error);
    EXPECT_EQ(as_msg(r.bytes)->tz_found, 1);

    // The context as the loop filled it.
    event_context ctx = msgdouble::last_context();
    EXPECT_NE(ctx.evm, nullptr);
    EXPECT_NE(ctx.buffer, nullptr);
    EXPECT_EQ(ctx.buffer_size, uint64_t(TZ_CLI_MSG_SIZE));
    EXPECT_EQ(ctx.field32, 0);
    EXPECT_EQ(ctx.field40, 0u);
    EXPECT_EQ(ctx.field48, 0);
    EXPECT_EQ(ctx.field52, 0);
}

TEST_F(CliThread, ShortMessageIsServedOverWhatThePreviousExchangeLeft) {
    start();
    auto first = patterned_msg(5);
    msgdouble::queue_message(1, first.get(), sizeof *first);
    // Two bytes: the type word alone. The rest of the buffer is the first exchange's.
    uint16_t word = 3;
    msgdouble::queue_message(2, &word, sizeof word);
    ASSERT_TRUE(msgdouble::wait_replies(2));

    auto replies = msgdouble::replies();
    ASSERT_FALSE(replies[0].is_error);
    ASSERT_FALSE(replies[1].is_error);
    auto a = as_msg(replies[0].bytes), b = as_msg(replies[1].bytes);
    EXPECT_EQ(b->type_word, 3);
    EXPECT_EQ(0, memcmp(a->header_rest, b->header_rest, sizeof a->header_rest));
    EXPECT_EQ(0, memcmp(a->loc_list, b->loc_list, sizeof a->loc_list)) << "buffer never cleared";
    EXPECT_EQ(a->loc_list_count, b->loc_list_count);
}

TEST_F(CliThread, FailedBlockIsLoggedAndTheLoopGoesOn) {
    start();
    msgdouble::fail_block(EINTR);
    auto m = patterned_msg(1);
    msgdouble::queue_message(1, m.get(), sizeof *m);
    ASSERT_TRUE(msgdouble::wait_replies(1));
    EXPECT_TRUE(
        fake::logged("tz_cli_msg_thread: error blocking for events Interrupted system call\n"));
}

using CliThreadDeathTest = CliThread;

TEST_F(CliThreadDeathTest, ChannelThatCannotBeCreatedEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            print_log_at_exit();
            msgdouble::fail_create(EADDRINUSE);
            tz_cli_msg_thread(nullptr);
        },
        testing::ExitedWithCode(1), "syslog 3: event manager create failed Address already in use");
}

TEST_F(CliThreadDeathTest, HandlerThatCannotBeAttachedEndsTheProcessAfterTheDestroy) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            print_log_at_exit();
            msgdouble::fail_attach(EINVAL);
            tz_cli_msg_thread(nullptr);
        },
        testing::ExitedWithCode(1),
        "syslog 3: Attach message handler failed: Invalid argument\ndestroy calls: 1");
    EXPECT_EXIT(
        {
            print_log_at_exit();
            msgdouble::fail_attach(EINVAL);
            msgdouble::fail_destroy(EBUSY);
            tz_cli_msg_thread(nullptr);
        },
        testing::ExitedWithCode(1),
        "Invalid argument\nsyslog 3: Failed to destroy an Event Manager: status 16\n");
}
