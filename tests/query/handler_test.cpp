// The query handler in-process, over the messaging double; the catalogue is built from a hermetic
// tree or inserted directly. Each test starts from an empty catalogue.
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <utility>

#include "fresh_catalogue.h"
#include "service_util.h"
#include "tz_cli.h"
#include "tz_cli_msg.h"
#include "tz_config.h"
#include "tz_sysdb.h"
#include "zone_tree.h"

namespace {

constexpr int32_t kReplyId = 7;
using Texts = std::vector<std::string>;

uint8_t pattern(size_t offset) {
    return uint8_t(0xA5 ^ (offset * 13));
}

// A message whose every byte holds a pattern that no operation writes by chance.
// INPUT goes into the lookup location of type 4, else into the abbreviation.
std::unique_ptr<tz_cli_msg> msg(uint16_t type_word, std::optional<std::string> input = {}) {
    auto m = std::make_unique<tz_cli_msg>();
    for (size_t i = 0; i < sizeof *m; i++)
        reinterpret_cast<uint8_t *>(m.get())[i] = pattern(i);
    m->type_word = type_word;
    if (input && type_word == 4)
        tz_msg_put_text(m->lookup_location, TZ_LOOKUP_LOCATION_FIELD, input->c_str());
    else if (input)
        tz_msg_put_text(m->abbrev, TZ_ABBREV_FIELD, input->c_str());
    return m;
}

// Whether bytes FROM to TO of M still hold the pattern.
bool kept(const tz_cli_msg &m, size_t from, size_t to) {
    for (size_t i = from; i < to; i++)
        if (reinterpret_cast<const uint8_t *>(&m)[i] != pattern(i))
            return false;
    return true;
}

// The text of a field, which must be NUL from its end to the field's end.
std::string field(const char *f, size_t width) {
    for (size_t i = strnlen(f, width); i < width; i++)
        EXPECT_EQ(f[i], '\0') << "byte " << i << " after " << std::string(f, strnlen(f, width));
    return std::string(f, strnlen(f, width));
}

// Hands M to the handler as the CLI loop does. Returns the error code of the last reply, or 0
// when that replied the whole message.
int send(tz_cli_msg &m) {
    size_t before = fake::calls().size();
    event_context ctx{};
    ctx.reply_id = kReplyId;
    ctx.buffer = &m;
    ctx.buffer_size = TZ_CLI_MSG_SIZE;
    tz_message_handler(&ctx, nullptr);
    auto calls = fake::calls();
    calls.erase(calls.begin(), calls.begin() + before);
    EXPECT_EQ(calls.at(0).args, fake::args(kReplyId));  // the client information
    int code = 0;
    for (auto &c : std::vector(calls.begin() + 1, calls.end())) {
        EXPECT_EQ(c.args.at(0), fake::arg(kReplyId));
        if (c.op == "msg_reply")
            EXPECT_EQ(c.args, fake::args(kReplyId, 0, &m, TZ_CLI_MSG_SIZE));
        else
            code = int(c.num(1));
    }
    EXPECT_EQ(calls.size(), code == EBADMSG ? 3u : 2u);
    return code;
}

// The trace buffer is open, so that no trace line opens it among the calls.
class Query : public fake::FreshCatalogue {
  protected:
    void SetUp() override {
        FreshCatalogue::SetUp();
        tz_ltrace_init();
    }
};

// The catalogue is filled by the test itself: no scan on the first message.
class Handler : public Query {
  protected:
    void SetUp() override {
        Query::SetUp();
        handler_called = 1;
    }
    static std::unique_ptr<tz_cli_msg> ask(uint16_t type, std::optional<std::string> input = {}) {
        auto m = msg(type, input);
        EXPECT_EQ(send(*m), 0);
        return m;
    }
};

// Another three-letter abbreviation of the bucket of ABBREV.
std::string bucket_mate(const std::string &abbrev) {
    for (int i = 0; i < 26 * 26 * 26; i++) {
        std::string s = {char('A' + i / 676), char('A' + i / 26 % 26), char('A' + i % 26)};
        if (s != abbrev && tz_hash_func(s.c_str()) == tz_hash_func(abbrev.c_str()))
            return s;
    }
    return "";
}

TEST_F(Handler, TypesErrorRepliesAndTheBytesNoOperationWrites) {
    set_table_entry("CET", "Europe/Paris", 1, 0);
    for (uint16_t word : {0x0000, 0x0006, 0x0FFF, 0x1000, 0xF000})
        EXPECT_EQ(send(*msg(word)), EOPNOTSUPP) << word;
    EXPECT_TRUE(fake::logged("tz_message_handler: unknown message 0 received"));
    EXPECT_TRUE(fake::logged("tz_message_handler: unknown message 4095 received"));

    auto m = ask(0x1003, "CET");
    EXPECT_EQ(m->tz_found, 1) << "bits 12 to 15 are not the type";
    EXPECT_EQ(m->type_word, 0x1003);
    for (uint16_t type = 1; type <= 5; type++) {
        m = ask(type, "CET");
        EXPECT_TRUE(kept(*m, 2, 20)) << type;
        EXPECT_TRUE(kept(*m, offsetof(tz_cli_msg, unused1), offsetof(tz_cli_msg, unused1) + 1));
        EXPECT_TRUE(kept(*m, offsetof(tz_cli_msg, unused2), offsetof(tz_cli_msg, unused2) + 1));
    }

    // A reply that fails is answered with an error; the next message is served.
    fake::script("msg_reply", {-1});
    m = msg(5);
    EXPECT_EQ(send(*m), EBADMSG);
    EXPECT_EQ(send(*m), 0);

    // A record without offset groups (a damaged table).
    tz_offset_entry *groups = std::exchange(tz_hash_table[75].offset_list, nullptr);
    EXPECT_EQ(send(*msg(1)), ENOENT);
    EXPECT_TRUE(fake::logged("tz_message_handler,Error in table creation or msg send/rcv"));
    EXPECT_EQ(send(*msg(2, "CET")), ENOENT);
    EXPECT_TRUE(fake::logged("Error in table creation or msg send/rcv"));
    tz_hash_table[75].offset_list = groups;  // undamaged again, for the leak check
}

TEST_F(Handler, AbbreviationListInBucketThenChainOrder) {
    EXPECT_EQ(ask(1)->tz_list_count, 0);
    std::string mate = bucket_mate("CET");  // chains behind CET in bucket 75
    for (int h = 1; h <= 9; h++)
        set_table_entry("GMT", ("G" + std::to_string(h)).c_str(), h, 0);
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("CET", "Europe/Berlin", 1, 0);
    set_table_entry(mate.c_str(), "Test/Mate", -3, 30);
    set_table_entry(mate.c_str(), "Test/Mate2", -2, 30);
    set_table_entry(mate.c_str(), "Test/Mate3", -3, 30);
    for (int h = 1; h <= 10; h++)
        set_table_entry("UTC", ("U" + std::to_string(h)).c_str(), h, 0);

    auto m = ask(1);
    ASSERT_EQ(m->tz_list_count, 4);
    const char *names[] = {"UTC", "CET", mate.c_str(), "GMT"};
    // Nine items of five characters fill the field after "UTC "; of ten, the last two make room
    // for a "..." that says more offsets exist.
    const char *offsets[] = {"UTC 1:00 2:00 3:00 4:00 5:00 6:00 7:00 8:00 ...", "UTC 1:00 ",
                             "UTC -3:30 -2:30 ",
                             "UTC 1:00 2:00 3:00 4:00 5:00 6:00 7:00 8:00 9:00 "};
    const int counts[] = {10, 2, 3, 9};
    for (int i = 0; i < 4; i++) {
        const tz_list_entry &e = m->tz_list[i];
        EXPECT_EQ(field(e.abbrev, TZ_ABBREV_FIELD), names[i]);
        EXPECT_EQ(field(e.offsets, TZ_OFFSETS_FIELD), offsets[i]);
        EXPECT_EQ(e.num_locations, counts[i]);
        size_t unused =
            offsetof(tz_cli_msg, tz_list) + i * sizeof e + offsetof(tz_list_entry, unused);
        EXPECT_TRUE(kept(*m, unused, unused + 3)) << i;
    }
    EXPECT_TRUE(kept(*m, offsetof(tz_cli_msg, tz_list[4]), offsetof(tz_cli_msg, tz_list_count)));
}

TEST_F(Handler, LocationLookupAndAllLocations) {
    // Location buckets: UTC 329, Europe/Paris 404, America/New_York 537.
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("EST", "America/New_York", -5, 0);
    set_table_entry("UTC", "UTC", 0, 0);
    set_table_entry("CEST", "Europe/Paris", 2, 0);
    auto m = ask(5);  // bucket order, newest first, the info fields untouched
    ASSERT_EQ(m->loc_list_count, 4);
    const char *all[] = {"UTC", "Europe/Paris", "Europe/Paris", "America/New_York"};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(field(m->loc_list[i].location, TZ_LOCATION_FIELD), all[i]);
    for (size_t i = 0, at = offsetof(tz_cli_msg, loc_list) + TZ_LOCATION_FIELD; i < TZ_LOC_LIST_MAX;
         i++, at += sizeof(loc_list_entry))
        ASSERT_TRUE(kept(*m, at, at + TZ_INFO_FIELD)) << i;

    std::string longest(59, 'x'), too_long(60, 'y');
    set_table_entry("TENLETTERS", "Test/Ten", 1, 0);  // held with an empty abbreviation
    set_table_entry("LNG", longest.c_str(), 1, 0);
    set_table_entry("LNG", too_long.c_str(), 1, 0);
    // A location too long for the hash is held with an empty name in its bucket: one in the
    // bucket of the empty text must not answer for it.
    std::string in_empty_bucket(60, 'z');
    for (int i = 0; tz_loc_hash_func(in_empty_bucket.c_str()) != tz_loc_hash_func(""); i++)
        in_empty_bucket = std::string(60, 'z') + std::to_string(i);
    set_table_entry("EMP", in_empty_bucket.c_str(), 1, 0);
    struct Case {
        std::string location;
        int found;
        std::string abbrev;
    } cases[] = {{"Europe/Paris", 1, "CEST"}, {"Test/Ten", 1, ""}, {longest, 1, "LNG"},
                 {"Nowhere/City", 0, ""},     {too_long, 0, ""},   {"", 0, ""}};
    for (auto &c : cases) {
        m = ask(4, c.location);
        EXPECT_EQ(m->loc_found, c.found) << c.location;
        if (c.found)
            EXPECT_EQ(field(m->abbrev, TZ_ABBREV_FIELD), c.abbrev);
        else
            EXPECT_TRUE(kept(*m, offsetof(tz_cli_msg, abbrev), offsetof(tz_cli_msg, unused1)));
    }
}

// Every user of TZ runs its sequence under tz_env_mutex: the build, the type-2 query and the
// configuration check each wait while another thread holds it.
TEST_F(Query, EveryUserOfTzWaitsForTheLock) {
    fake::ZoneTree tree;
    tree.zone("Europe/Paris");
    setenv("TZDIR", tree.root().c_str(), 1);
    std::function<void()> users[] = {
        [] { tz_table_init(); },
        [] {
            handler_called = 1;
            send(*msg(2, "CET"));
        },
        [] { check_tz_args("CET", "Europe/Paris"); },
    };
    for (auto &user : users) {
        std::atomic<bool> done{false};
        std::unique_lock held(tz_env_mutex);
        std::thread t([&] {
            user();
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(done) << "ran while another thread held tz_env_mutex";
        held.unlock();
        t.join();
        EXPECT_TRUE(done);
    }
}

}  // namespace
