// The query handler in-process, over the messaging double; the catalogue is inserted directly.
// Each test starts from an empty catalogue.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "fresh_catalogue.h"
#include "tz_cli.h"
#include "tz_cli_msg.h"
#include "tz_config.h"
#include "tz_sysdb.h"
#include "zone_tree.h"

namespace {

// The text of a field, which must be NUL from its end to the field's end.
std::string field(const char *f, size_t width) {
    size_t n = strnlen(f, width);
    EXPECT_EQ(std::string(f + n, width - n), std::string(width - n, '\0')) << f;
    return std::string(f, n);
}

// Hands a message of TYPE_WORD (INPUT in its abbreviation, or in the location of type 4) to the
// handler as the CLI loop does, and returns it as replied.
std::unique_ptr<tz_cli_msg> ask(uint16_t type_word, std::optional<std::string> input = {}) {
    auto m = std::make_unique<tz_cli_msg>();
    memset(m.get(), 0xA5, sizeof *m);
    m->type_word = type_word;
    if (input)
        tz_msg_put_text(type_word == 4 ? m->lookup_location : m->abbrev,
                        type_word == 4 ? TZ_LOOKUP_LOCATION_FIELD : TZ_ABBREV_FIELD,
                        input->c_str());
    fake::reset_sysdb();
    event_context ctx{};
    ctx.reply_id = 7;
    ctx.buffer = m.get();
    ctx.buffer_size = TZ_CLI_MSG_SIZE;
    tz_message_handler(&ctx, nullptr);
    EXPECT_EQ(fake::calls("msg_reply").size(), 1u) << type_word;
    return m;
}

// The trace buffer is open, so that no trace line opens it among the calls; the catalogue is
// filled by the test itself: no scan on the first message.
class Handler : public fake::FreshCatalogue {
  protected:
    void SetUp() override {
        FreshCatalogue::SetUp();
        tz_ltrace_init();
        handler_called = 1;
    }
};

TEST_F(Handler, AbbreviationListInBucketThenChainOrder) {
    std::string mate;  // another abbreviation of CET's bucket, chained behind it
    for (int i = 0; mate.empty() || tz_hash_func(mate.c_str()) != tz_hash_func("CET"); i++)
        mate = {char('A' + i / 676), char('A' + i / 26 % 26), char('A' + i % 26)};
    for (int h = 1; h <= 9; h++)
        set_table_entry("GMT", ("G" + std::to_string(h)).c_str(), h, 0);
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry(mate.c_str(), "Test/Mate", -3, 30);
    set_table_entry(mate.c_str(), "Test/Mate2", -2, 30);
    for (int h = 1; h <= 10; h++)
        set_table_entry("UTC", ("U" + std::to_string(h)).c_str(), h, 0);

    auto m = ask(0x1001);  // bits 12 to 15 are not the type
    ASSERT_EQ(m->tz_list_count, 4);
    // Nine items of five characters fill the field after "UTC "; of ten, the last two make room
    // for a "..." that says more offsets exist.
    struct {
        std::string name, offsets;
        int count;
    } want[] = {{"UTC", "UTC 1:00 2:00 3:00 4:00 5:00 6:00 7:00 8:00 ...", 10},
                {"CET", "UTC 1:00 ", 1},
                {mate, "UTC -3:30 -2:30 ", 2},
                {"GMT", "UTC 1:00 2:00 3:00 4:00 5:00 6:00 7:00 8:00 9:00 ", 9}};
    for (int i = 0; i < 4; i++) {
        const tz_list_entry &e = m->tz_list[i];
        EXPECT_EQ(field(e.abbrev, TZ_ABBREV_FIELD), want[i].name);
        EXPECT_EQ(field(e.offsets, TZ_OFFSETS_FIELD), want[i].offsets);
        EXPECT_EQ(e.num_locations, want[i].count);
    }
}

TEST_F(Handler, LocationLookupFindsTheNewestAbbreviationOfAHeldName) {
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("CEST", "Europe/Paris", 2, 0);
    std::string longest(59, 'x'), too_long(60, 'y');
    set_table_entry("LNG", longest.c_str(), 1, 0);
    set_table_entry("LNG", too_long.c_str(), 1, 0);
    // A location too long for the hash is held with an empty name in its bucket: one in the
    // bucket of the empty text must not answer for it.
    std::string in_empty_bucket(60, 'z');
    for (int i = 0; tz_loc_hash_func(in_empty_bucket.c_str()) != tz_loc_hash_func(""); i++)
        in_empty_bucket = std::string(60, 'z') + std::to_string(i);
    set_table_entry("EMP", in_empty_bucket.c_str(), 1, 0);
    struct {
        std::string location, abbrev;  // "": not found
    } cases[] = {
        {"Europe/Paris", "CEST"}, {longest, "LNG"}, {"Nowhere", ""}, {too_long, ""}, {"", ""}};
    for (auto &c : cases) {
        auto m = ask(4, c.location);
        EXPECT_EQ(m->loc_found, !c.abbrev.empty()) << c.location;
        if (!c.abbrev.empty()) {
            EXPECT_EQ(field(m->abbrev, TZ_ABBREV_FIELD), c.abbrev);
        }
    }
}

// Every user of TZ runs its sequence under tz_env_mutex: the build, the type-2 query and the
// configuration check each wait while another thread holds it.
TEST_F(Handler, EveryUserOfTzWaitsForTheLock) {
    fake::ZoneTree tree;
    tree.zone("Europe/Paris");
    setenv("TZDIR", tree.root().c_str(), 1);
    std::function<void()> users[] = {
        [] { tz_table_init(); },
        [] { ask(2, "CET"); },
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
    }
}

}  // namespace
