// The query handler in-process: messages go straight to tz_message_handler, the messaging double
// records the replies, and the catalogue is built from a hermetic tree or inserted directly.
// Every TEST runs in a process of its own (the catalogue only grows).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "fake_log.h"
#include "msg_double.h"
#include "query_util.h"
#include "tz_cli.h"
#include "tz_config.h"
#include "tz_log.h"

using namespace qtest;

namespace {

constexpr int32_t kReplyId = 7;

class Handler : public ::testing::Test {
  protected:
    void SetUp() override {
        msgdouble::reset();
        fake::clear_log();
    }

    // Hands MSG to the handler as the CLI loop does; returns the one reply made.
    msgdouble::Reply send(tz_cli_msg &msg) {
        size_t before = msgdouble::replies().size();
        event_context ctx{};
        ctx.reply_id = kReplyId;
        ctx.buffer = &msg;
        ctx.buffer_size = TZ_CLI_MSG_SIZE;
        tz_message_handler(&ctx, nullptr);
        auto all = msgdouble::replies();
        if (all.size() != before + 1)
            throw std::runtime_error("expected one reply, got " +
                                     std::to_string(all.size() - before));
        return all.back();
    }

    // Sends MSG and returns the message replied; the reply must be the whole receive buffer.
    std::unique_ptr<tz_cli_msg> query(tz_cli_msg &msg) {
        auto r = send(msg);
        if (r.is_error)
            throw std::runtime_error("error reply " + std::to_string(r.error));
        EXPECT_EQ(r.reply_id, kReplyId);
        EXPECT_EQ(r.flags, 0);
        EXPECT_EQ(0, memcmp(r.bytes.data(), &msg, TZ_CLI_MSG_SIZE));
        return as_msg(r.bytes);
    }

    // The error code replied to MSG; fails when the reply carried data.
    int error_of(tz_cli_msg &msg) {
        auto r = send(msg);
        EXPECT_TRUE(r.is_error);
        EXPECT_EQ(r.reply_id, kReplyId);
        return r.is_error ? r.error : -1;
    }

    static std::unique_ptr<tz_cli_msg> with_abbrev(uint16_t type, const std::string &abbrev) {
        auto m = patterned_msg(type);
        tz_msg_put_text(m->abbrev, sizeof m->abbrev, abbrev.c_str());
        return m;
    }
};

// The catalogue was filled by the test itself: no scan on the first message.
void catalogue_ready() {
    handler_called = 1;
}

bool traced(const std::string &line) {
    auto t = fake::trace_lines();
    return std::find(t.begin(), t.end(), line) != t.end();
}

int times_logged(const std::string &text) {
    int n = 0;
    for (auto &l : fake::syslog_lines())
        n += l.text == text;
    return n;
}

// Another three-letter abbreviation of the same bucket as ABBREV.
std::string bucket_mate(const std::string &abbrev) {
    int32_t h = tz_hash_func(abbrev.c_str());
    for (char a = 'A'; a <= 'Z'; a++)
        for (char b = 'A'; b <= 'Z'; b++)
            for (char c = 'A'; c <= 'Z'; c++) {
                std::string s{a, b, c};
                if (s != abbrev && tz_hash_func(s.c_str()) == h)
                    return s;
            }
    return "";
}

bool pattern_kept(const tz_cli_msg &m, size_t from, size_t to) {
    for (size_t i = from; i < to; i++)
        if (bytes_of(m)[i] != pattern_byte(i))
            return false;
    return true;
}

bool zero_after_text(const char *field, size_t width) {
    for (size_t i = strnlen(field, width); i < width; i++)
        if (field[i] != '\0')
            return false;
    return true;
}

}  // namespace

// --- building the catalogue, types and error replies ----------------------------------------

TEST_F(Handler, FirstMessageOfAnyTypeBuildsTheCatalogueAndAFailedBuildIsRetried) {
    TempDir dir;
    std::string root = dir.path() + "/zoneinfo";
    setenv("TZDIR", root.c_str(), 1);

    auto unknown = patterned_msg(0);
    EXPECT_EQ(error_of(*unknown), ENOPKG) << "the build comes before the type check";
    EXPECT_EQ(handler_called, 0);
    EXPECT_TRUE(traced("TZ Table Init Failed"));

    copy_zone(root, "Europe/Paris");
    copy_zone(root, "Asia/Kolkata");
    auto list = patterned_msg(0x1001);
    auto reply = query(*list);
    EXPECT_EQ(handler_called, 1);
    EXPECT_TRUE(traced("TZ Table Init Success"));
    EXPECT_EQ(reply->tz_list_count, 2);

    // Built once: a zone added to the tree later does not reach the catalogue.
    copy_zone(root, "America/New_York");
    list = patterned_msg(1);
    EXPECT_EQ(query(*list)->tz_list_count, 2);
    auto trace = fake::trace_lines();
    EXPECT_EQ(std::count(trace.begin(), trace.end(), std::string("TZ Table Init Success")), 1);
}

TEST_F(Handler, UnknownTypesGetEopnotsuppAndHighBitsAreIgnored) {
    catalogue_ready();
    set_table_entry("CET", "Europe/Paris", 1, 0);

    for (uint16_t word : {0x0000, 0x0006, 0x0FFF, 0x1000, 0xF000}) {
        auto m = patterned_msg(word);
        EXPECT_EQ(error_of(*m), EOPNOTSUPP) << std::hex << word;
    }
    EXPECT_TRUE(fake::logged("tz_message_handler: unknown message 0 received"));
    EXPECT_TRUE(fake::logged("tz_message_handler: unknown message 4095 received"));

    auto m = with_abbrev(0x1003, "CET");
    auto r = query(*m);
    EXPECT_EQ(r->tz_found, 1) << "0x1003 is served as type 3";
    EXPECT_EQ(r->type_word, 0x1003) << "the type word goes back as sent";
}

TEST_F(Handler, ClientInformationFailureGetsEinvalBeforeAnyBuild) {
    setenv("TZDIR", "/nonexistent/zoneinfo", 1);
    msgdouble::set_clinfo_result(-1);
    auto m = patterned_msg(1);
    EXPECT_EQ(error_of(*m), EINVAL);
    EXPECT_TRUE(fake::logged("tz_message_handler: msg_get_clinfo_m_msglen failed\n"));
    EXPECT_FALSE(traced("TZ Table Init Failed")) << "no build was tried";
}

TEST_F(Handler, FailedReplyIsAnsweredWithEbadmsgAndTheNextMessageIsServed) {
    catalogue_ready();
    set_table_entry("CET", "Europe/Paris", 1, 0);
    msgdouble::set_reply_result(-1);
    event_context ctx{};
    ctx.reply_id = kReplyId;
    auto m = patterned_msg(5);
    ctx.buffer = m.get();
    tz_message_handler(&ctx, nullptr);
    auto r = msgdouble::replies();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_FALSE(r[0].is_error);
    EXPECT_TRUE(r[1].is_error);
    EXPECT_EQ(r[1].error, EBADMSG);

    msgdouble::set_reply_result(0);
    m = patterned_msg(5);
    EXPECT_EQ(query(*m)->loc_list_count, 1);
}

TEST_F(Handler, BytesNoOperationOwnsComeBackAsSent) {
    catalogue_ready();
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("IST", "Asia/Kolkata", 5, 30);
    for (uint16_t type = 1; type <= 5; type++) {
        auto m = with_abbrev(type, "CET");
        tz_msg_put_text(m->lookup_location, sizeof m->lookup_location, "Asia/Kolkata");
        auto r = query(*m);
        EXPECT_TRUE(pattern_kept(*r, 2, 20)) << "header, type " << type;
        EXPECT_TRUE(pattern_kept(*r, 13635, 13636)) << "unused byte, type " << type;
        EXPECT_TRUE(pattern_kept(*r, 74139, 74140)) << "unused byte, type " << type;
    }
}

// --- type 1 ---------------------------------------------------------------------------------

TEST_F(Handler, AbbreviationListFollowsBucketThenChainOrder) {
    catalogue_ready();
    // Buckets: UTC 28, CET 75, GMT 104; the mate of CET chains behind it.
    std::string mate = bucket_mate("CET");
    ASSERT_FALSE(mate.empty());
    set_table_entry("GMT", "Etc/GMT", 0, 0);
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("CET", "Europe/Berlin", 1, 0);
    set_table_entry(mate.c_str(), "Test/Mate", -3, 30);
    set_table_entry(mate.c_str(), "Test/Mate2", -2, 30);
    set_table_entry(mate.c_str(), "Test/Mate3", -3, 30);
    set_table_entry("UTC", "Etc/UTC", 0, 0);

    auto m = patterned_msg(1);
    auto r = query(*m);
    ASSERT_EQ(r->tz_list_count, 4);
    const tz_list_entry *e = r->tz_list;
    EXPECT_EQ(text(e[0].abbrev, 11), "UTC");
    EXPECT_EQ(text(e[1].abbrev, 11), "CET");
    EXPECT_EQ(text(e[2].abbrev, 11), mate);
    EXPECT_EQ(text(e[3].abbrev, 11), "GMT");

    EXPECT_EQ(text(e[1].offsets, 50), "UTC 1:00 ");
    EXPECT_EQ(e[1].num_locations, 2);
    EXPECT_EQ(text(e[2].offsets, 50), "UTC -3:30 -2:30 ");
    EXPECT_EQ(e[2].num_locations, 3);
    for (int i = 0; i < 4; i++) {
        EXPECT_TRUE(zero_after_text(e[i].abbrev, 11)) << i;
        EXPECT_TRUE(zero_after_text(e[i].offsets, 50)) << i;
        size_t unused = offsetof(tz_cli_msg, tz_list) + i * sizeof(tz_list_entry) + 61;
        EXPECT_TRUE(pattern_kept(*r, unused, unused + 3)) << "unused bytes of entry " << i;
    }
    size_t fifth = offsetof(tz_cli_msg, tz_list) + 4 * sizeof(tz_list_entry);
    EXPECT_TRUE(pattern_kept(*r, fifth, offsetof(tz_cli_msg, tz_list_count)));
}

TEST_F(Handler, EmptyCatalogueGivesAnEmptyList) {
    catalogue_ready();
    auto m = patterned_msg(1);
    EXPECT_EQ(query(*m)->tz_list_count, 0);
}

TEST_F(Handler, AbbreviationWithoutOffsetGroupGetsEnoent) {
    catalogue_ready();
    set_table_entry("CET", "Europe/Paris", 1, 0);
    tz_zone_entry &cet = tz_hash_table[tz_hash_func("CET")];
    tz_offset_entry *groups = std::exchange(cet.offset_list, nullptr);

    auto m = patterned_msg(1);
    EXPECT_EQ(error_of(*m), ENOENT);
    EXPECT_TRUE(fake::logged("tz_message_handler,Error in table creation or msg send/rcv"));

    m = with_abbrev(2, "CET");
    EXPECT_EQ(error_of(*m), ENOENT);
    EXPECT_TRUE(fake::logged("Error in table creation or msg send/rcv"));
    cet.offset_list = groups;
}

TEST_F(Handler, MoreAbbreviationsThanTheListHoldsAreCutAtItsCapacity) {
    catalogue_ready();
    std::set<std::string> inserted;
    for (int i = 0; i < 250; i++) {
        char name[8];
        snprintf(name, sizeof name, "Q%03d", i);
        set_table_entry(name, (std::string("Test/") + name).c_str(), 1, 0);
        inserted.insert(name);
    }
    for (int round = 0; round < 2; round++) {
        auto m = patterned_msg(1);
        auto r = query(*m);
        ASSERT_EQ(r->tz_list_count, TZ_LIST_MAX);
        std::set<std::string> seen;
        for (int i = 0; i < TZ_LIST_MAX; i++)
            seen.insert(text(r->tz_list[i].abbrev, 11));
        EXPECT_EQ(seen.size(), size_t(TZ_LIST_MAX));
        EXPECT_TRUE(std::includes(inserted.begin(), inserted.end(), seen.begin(), seen.end()));
        EXPECT_TRUE(pattern_kept(*r, offsetof(tz_cli_msg, abbrev), TZ_CLI_MSG_SIZE));
    }
    EXPECT_EQ(times_logged("tz_message_handler,Abbreviation list cut to 200 of 250 entries"), 1);
}

TEST_F(Handler, OffsetTextKeepsItsTerminatorAndMarksOffsetsLeftOut) {
    catalogue_ready();
    // Six items of seven characters fit exactly after "UTC ".
    for (int h = -10; h >= -15; h--)
        set_table_entry("SIX", ("Six/" + std::to_string(h)).c_str(), h, 0);
    // Eight of them do not: the text ends in "..." and fills the field.
    for (int h = -10; h >= -17; h--)
        set_table_entry("EIGHT", ("Eight/" + std::to_string(h)).c_str(), h, 0);
    // Nine items of five characters fill the 49 characters exactly; a tenth does not fit.
    for (int h = 1; h <= 9; h++)
        set_table_entry("NINE", ("Nine/" + std::to_string(h)).c_str(), h, 0);
    for (int h = 1; h <= 10; h++)
        set_table_entry("TEN", ("Ten/" + std::to_string(h)).c_str(), h, 0);
    set_table_entry("TEN", "Ten/1b", 1, 0);

    auto m = patterned_msg(1);
    auto r = query(*m);
    std::map<std::string, const tz_list_entry *> by_name;
    for (int i = 0; i < r->tz_list_count; i++)
        by_name[text(r->tz_list[i].abbrev, 11)] = &r->tz_list[i];
    ASSERT_EQ(by_name.size(), 4u);

    EXPECT_EQ(text(by_name["SIX"]->offsets, 50), "UTC -10:00 -11:00 -12:00 -13:00 -14:00 -15:00 ");
    EXPECT_EQ(text(by_name["EIGHT"]->offsets, 50),
              "UTC -10:00 -11:00 -12:00 -13:00 -14:00 -15:00 ...");
    EXPECT_EQ(by_name["EIGHT"]->num_locations, 8);
    EXPECT_EQ(text(by_name["NINE"]->offsets, 50),
              "UTC 1:00 2:00 3:00 4:00 5:00 6:00 7:00 8:00 9:00 ");
    EXPECT_EQ(text(by_name["TEN"]->offsets, 50), "UTC 1:00 2:00 3:00 4:00 5:00 6:00 7:00 8:00 ...");
    EXPECT_EQ(by_name["TEN"]->num_locations, 11);
    for (auto &[name, e] : by_name)
        EXPECT_EQ(e->offsets[49], '\0') << name;
}

// --- type 2 ---------------------------------------------------------------------------------

TEST_F(Handler, LocationsCarryTheGroupOffsetAndTheDaylightSavingStateNow) {
    catalogue_ready();
    // TZ values in POSIX form: one in daylight-saving time all year, two never.
    set_table_entry("XST", "XST-1XDT,0/0,J365/25", 1, 0);
    set_table_entry("XST", "XST-1", 1, 0);
    set_table_entry("XST", "XST3", -3, 30);
    setenv("TZ", "Somewhere/Else", 1);

    auto m = with_abbrev(2, "XST");
    auto r = query(*m);
    EXPECT_EQ(r->tz_found, 1);
    ASSERT_EQ(r->loc_list_count, 3);
    const loc_list_entry *e = r->loc_list;
    EXPECT_EQ(text(e[0].location, 61), "XST-1XDT,0/0,J365/25");
    EXPECT_EQ(text(e[0].info, 40), "1:00 DST_ACTIV YES DSTZ: XDT");
    EXPECT_EQ(text(e[1].location, 61), "XST-1");
    EXPECT_EQ(text(e[1].info, 40), "1:00 DST_ACTIV NO ");
    EXPECT_EQ(text(e[2].location, 61), "XST3");
    EXPECT_EQ(text(e[2].info, 40), "-3:30 DST_ACTIV NO ");
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(zero_after_text(e[i].location, 61)) << i;
        EXPECT_TRUE(zero_after_text(e[i].info, 40)) << i;
    }
    size_t fourth = offsetof(tz_cli_msg, loc_list) + 3 * sizeof(loc_list_entry);
    EXPECT_TRUE(pattern_kept(*r, fourth, offsetof(tz_cli_msg, unused2)));
    ASSERT_NE(getenv("TZ"), nullptr);
    EXPECT_STREQ(getenv("TZ"), "");
}

TEST_F(Handler, LongLocationAndDaylightNameAreCutToTheirFields) {
    catalogue_ready();
    std::string long_dst = "<XST>-1<DSTNAMEISVERYLONGINDEED01234567>,0/0,J365/25";
    std::string long_location = "Test/" + std::string(70, 'a');
    set_table_entry("XST", long_dst.c_str(), -11, 0);
    set_table_entry("XST", long_location.c_str(), -11, 0);

    auto m = with_abbrev(2, "XST");
    auto r = query(*m);
    ASSERT_EQ(r->loc_list_count, 2);
    std::string full_info = "-11:00 DST_ACTIV YES DSTZ: DSTNAMEISVERYLONGINDEED01234567";
    EXPECT_EQ(text(r->loc_list[0].info, 40), full_info.substr(0, 39));
    EXPECT_EQ(r->loc_list[0].info[39], '\0');
    EXPECT_EQ(text(r->loc_list[1].location, 61), long_location.substr(0, 60));
    EXPECT_EQ(r->loc_list[1].location[60], '\0');
    EXPECT_EQ(text(r->loc_list[1].info, 40), "-11:00 DST_ACTIV NO ");
}

TEST_F(Handler, AbbreviationWithoutBucketLeavesCountAndTzAlone) {
    catalogue_ready();
    set_table_entry("CET", "Europe/Paris", 1, 0);
    ASSERT_LT(tz_hash_func("ABCDEFGHIJ"), 0);
    for (const char *abbrev : {"UTC", "ABCDEFGHIJ"}) {  // empty bucket; negative hash
        setenv("TZ", "Sentinel/Zone", 1);
        auto m = with_abbrev(2, abbrev);
        auto r = query(*m);
        EXPECT_EQ(r->tz_found, 0) << abbrev;
        EXPECT_TRUE(
            pattern_kept(*r, offsetof(tz_cli_msg, loc_list_count), offsetof(tz_cli_msg, unused2)))
            << abbrev;
        EXPECT_STREQ(getenv("TZ"), "Sentinel/Zone") << abbrev;
    }
}

TEST_F(Handler, AbbreviationAbsentFromAnOccupiedBucketGivesZeroLocationsAndClearsTz) {
    catalogue_ready();
    set_table_entry("CET", "Europe/Paris", 1, 0);
    std::string mate = bucket_mate("CET");
    setenv("TZ", "Sentinel/Zone", 1);
    auto m = with_abbrev(2, mate);
    auto r = query(*m);
    EXPECT_EQ(r->tz_found, 0);
    EXPECT_EQ(r->loc_list_count, 0);
    EXPECT_STREQ(getenv("TZ"), "");
}

TEST_F(Handler, MoreLocationsThanTheListHoldsAreCutAtItsCapacity) {
    catalogue_ready();
    // Thirteen groups of fifty: 650 locations for one abbreviation.
    for (int g = 0; g < 13; g++)
        for (int i = 0; i < 50; i++)
            set_table_entry("BIG", ("L" + std::to_string(g) + "_" + std::to_string(i)).c_str(),
                            g + 1, 0);
    for (int round = 0; round < 2; round++) {
        auto m = with_abbrev(2, "BIG");
        auto r = query(*m);
        EXPECT_EQ(r->tz_found, 1);
        ASSERT_EQ(r->loc_list_count, TZ_LOC_LIST_MAX);
        EXPECT_EQ(text(r->loc_list[598].location, 61), "L11_48");
        EXPECT_EQ(text(r->loc_list[598].info, 40), "12:00 DST_ACTIV NO ");
        EXPECT_TRUE(pattern_kept(*r, 74139, 74140));
        EXPECT_TRUE(pattern_kept(*r, offsetof(tz_cli_msg, tz_unique), TZ_CLI_MSG_SIZE));
    }
    EXPECT_EQ(times_logged("tz_message_handler,Location list of BIG cut to 599 of 650 entries"), 1);
    EXPECT_STREQ(getenv("TZ"), "");
}

TEST_F(Handler, TzSequenceWaitsForTheProcessWideLock) {
    catalogue_ready();
    set_table_entry("XST", "XST-1", 1, 0);
    auto m = with_abbrev(2, "XST");
    std::unique_lock held(tz_env_mutex);
    std::thread cli([&] {
        event_context ctx{};
        ctx.reply_id = kReplyId;
        ctx.buffer = m.get();
        tz_message_handler(&ctx, nullptr);
    });
    EXPECT_FALSE(msgdouble::wait_replies(1, std::chrono::milliseconds(300)))
        << "replied while another thread held tz_env_mutex";
    held.unlock();
    EXPECT_TRUE(msgdouble::wait_replies(1));
    cli.join();
}

// --- type 3 ---------------------------------------------------------------------------------

TEST_F(Handler, MatchIsExactElseTheCompletionOfAUniquePrefix) {
    catalogue_ready();
    for (const char *a : {"CET", "CST", "EST", "IST"})
        set_table_entry(a, (std::string("Test/") + a).c_str(), 1, 0);

    // Exact: the field goes back byte for byte, the bytes after its NUL included.
    auto m = patterned_msg(3);
    memcpy(m->abbrev, "CET", 4);
    auto r = query(*m);
    EXPECT_EQ(r->tz_found, 1);
    EXPECT_EQ(r->tz_unique, 0);
    EXPECT_TRUE(pattern_kept(*r, offsetof(tz_cli_msg, abbrev) + 4, offsetof(tz_cli_msg, unused1)));
    EXPECT_TRUE(traced("tz_message_handler,TZ found"));

    m = with_abbrev(3, "ES");
    r = query(*m);
    EXPECT_EQ(r->tz_found, 0);
    EXPECT_EQ(r->tz_unique, 1);
    EXPECT_EQ(text(r->abbrev, 11), "EST");
    EXPECT_TRUE(zero_after_text(r->abbrev, 11));

    for (const char *no_answer : {"C", "Q", ""}) {  // ambiguous, none, prefix of all
        m = patterned_msg(3);
        memcpy(m->abbrev, no_answer, strlen(no_answer) + 1);
        r = query(*m);
        EXPECT_EQ(r->tz_found, 0) << no_answer;
        EXPECT_EQ(r->tz_unique, 0) << no_answer;
        EXPECT_TRUE(pattern_kept(*r, offsetof(tz_cli_msg, abbrev) + strlen(no_answer) + 1, 13635));
        EXPECT_EQ(text(r->abbrev, 11), no_answer);
    }
}

TEST_F(Handler, PrefixWithNegativeHashIsNeverExactButIsCompleted) {
    catalogue_ready();
    // A ten-character abbreviation that has a bucket, with a prefix that hashes below zero.
    std::string full, prefix;
    for (int i = 0; full.empty() && i < 1000000; i++) {
        char s[16];
        snprintf(s, sizeof s, "N%09d", i);
        if (tz_hash_func(s) < 0)
            continue;
        for (size_t k = 6; k < 10; k++) {
            std::string p(s, k);
            if (tz_hash_func(p.c_str()) < 0) {
                full = s;
                prefix = p;
                break;
            }
        }
    }
    ASSERT_FALSE(full.empty());
    set_table_entry(full.c_str(), "Test/Neg", 1, 0);

    auto m = with_abbrev(3, prefix);
    auto r = query(*m);
    EXPECT_EQ(r->tz_found, 0);
    EXPECT_EQ(r->tz_unique, 1);
    EXPECT_EQ(text(r->abbrev, 11), full);
    EXPECT_TRUE(traced("tz_message_handler,Hash function returned negative index -  " +
                       std::to_string(tz_hash_func(prefix.c_str()))));
}

// --- type 4 ---------------------------------------------------------------------------------

TEST_F(Handler, LocationLookup) {
    catalogue_ready();
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("TENLETTERS", "Test/TenLetters", 1, 0);  // stored with an empty abbreviation
    std::string longest(59, 'x'), too_long(60, 'y');
    set_table_entry("LNG", longest.c_str(), 1, 0);
    set_table_entry("LNG", too_long.c_str(), 1, 0);

    auto ask = [&](const std::string &location) {
        auto m = patterned_msg(4);
        tz_msg_put_text(m->lookup_location, sizeof m->lookup_location, location.c_str());
        return query(*m);
    };
    auto r = ask("Europe/Paris");
    EXPECT_EQ(r->loc_found, 1);
    EXPECT_EQ(text(r->abbrev, 11), "CET");
    EXPECT_TRUE(zero_after_text(r->abbrev, 11));

    r = ask("Test/TenLetters");
    EXPECT_EQ(r->loc_found, 1);
    EXPECT_TRUE(zero_after_text(r->abbrev, 11)) << "an empty abbreviation, NUL-filled";

    r = ask(longest);
    EXPECT_EQ(r->loc_found, 1);
    EXPECT_EQ(text(r->abbrev, 11), "LNG");

    for (const std::string &unknown : {std::string("Nowhere/City"), too_long, std::string()}) {
        r = ask(unknown);
        EXPECT_EQ(r->loc_found, 0) << unknown;
        EXPECT_TRUE(pattern_kept(*r, offsetof(tz_cli_msg, abbrev), offsetof(tz_cli_msg, unused1)))
            << "abbrev left as sent";
    }
}

// --- type 5 ---------------------------------------------------------------------------------

TEST_F(Handler, AllLocationsInBucketOrderNewestFirstWithInfoUntouched) {
    catalogue_ready();
    // Location buckets: UTC 329, Europe/Paris 404, America/New_York 537.
    set_table_entry("CET", "Europe/Paris", 1, 0);
    set_table_entry("EST", "America/New_York", -5, 0);
    set_table_entry("UTC", "UTC", 0, 0);
    set_table_entry("CET", "Europe/Paris", 1, 0);

    auto m = patterned_msg(5);
    auto r = query(*m);
    ASSERT_EQ(r->loc_list_count, 4);
    EXPECT_EQ(text(r->loc_list[0].location, 61), "UTC");
    EXPECT_EQ(text(r->loc_list[1].location, 61), "Europe/Paris");
    EXPECT_EQ(text(r->loc_list[2].location, 61), "Europe/Paris");
    EXPECT_EQ(text(r->loc_list[3].location, 61), "America/New_York");
    for (int i = 0; i < TZ_LOC_LIST_MAX; i++) {
        size_t info = offsetof(tz_cli_msg, loc_list) + i * sizeof(loc_list_entry) + 61;
        ASSERT_TRUE(pattern_kept(*r, info, info + 40)) << "info of entry " << i;
    }
}

TEST_F(Handler, MoreLocationsThanTheMessageHoldsAreCutAtItsCapacity) {
    catalogue_ready();
    for (int i = 0; i < 650; i++)
        set_table_entry("MNY", ("Many/" + std::to_string(i)).c_str(), 1, 0);
    std::set<std::string> all;
    for (auto *b : tz_loc_hash_list)
        for (auto *e = b; e; e = e->next)
            all.insert(e->location);
    for (int round = 0; round < 2; round++) {
        auto m = patterned_msg(5);
        auto r = query(*m);
        ASSERT_EQ(r->loc_list_count, TZ_LOC_LIST_MAX);
        std::set<std::string> seen;
        for (int i = 0; i < TZ_LOC_LIST_MAX; i++)
            seen.insert(text(r->loc_list[i].location, 61));
        EXPECT_EQ(seen.size(), size_t(TZ_LOC_LIST_MAX));
        EXPECT_TRUE(std::includes(all.begin(), all.end(), seen.begin(), seen.end()));
        EXPECT_TRUE(pattern_kept(*r, offsetof(tz_cli_msg, unused2), TZ_CLI_MSG_SIZE));
    }
    EXPECT_EQ(times_logged("tz_message_handler,Location list cut to 599 of 650 entries"), 1);
}

// --- input fields without their NUL -----------------------------------------------------------

TEST_F(Handler, UnterminatedInputFieldsAreReadAsTextsOfTheFullWidth) {
    catalogue_ready();
    // A ten-character abbreviation with a bucket; the field holds it and one more character.
    std::string ten;
    for (int i = 0; ten.empty(); i++) {
        char s[16];
        snprintf(s, sizeof s, "U%09d", i);
        if (tz_hash_func(s) >= 0)
            ten = s;
    }
    set_table_entry(ten.c_str(), "Test/Ten", 1, 0);
    set_table_entry("CET", "Europe/Paris", 1, 0);

    for (uint16_t type : {2, 3}) {
        auto m = patterned_msg(type);
        memcpy(m->abbrev, (ten + "Z").data(), 11);
        m->unused1 = 0;
        auto r = query(*m);
        EXPECT_EQ(r->tz_found, 0) << type;
        if (type == 3) {
            EXPECT_EQ(r->tz_unique, 0);
            EXPECT_EQ(0, memcmp(r->abbrev, (ten + "Z").data(), 11));
        }
    }

    // The location field full to its last byte, beginning with a known location.
    auto m = patterned_msg(4);
    memset(m->lookup_location, 'x', sizeof m->lookup_location);
    memcpy(m->lookup_location, "Europe/Paris", 12);
    auto r = query(*m);
    EXPECT_EQ(r->loc_found, 0);
}
