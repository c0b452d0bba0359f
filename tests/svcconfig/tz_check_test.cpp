// The time-zone item's verification, apply and notification, run the way the database runs them:
// callback, backend library, handler, tuple, check against a zoneinfo tree the test builds.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "svc_test_util.h"
#include "tz_sysdb.h"

namespace fs = std::filesystem;
using svc_test::reset_role_state;

namespace {

int second_arg;
int fourth_arg;

struct Verdict {
    int32_t status;
    uint32_t accept;
    std::optional<std::string> error_text;
};

class TzItem : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_role_state();
        char dir[] = "/tmp/tzitem.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        fs::create_directories(root / "Europe");
        fs::create_directories(root / "Asia");
        fs::copy_file("/usr/share/zoneinfo/Europe/Paris", root / "Europe/Paris");
        fs::copy_file("/usr/share/zoneinfo/Asia/Tokyo", root / "Asia/Tokyo");
        fs::create_symlink("Europe/Paris", root / "Link");
        fs::create_symlink("nowhere/at/all", root / "Dangling");
        setenv("TZDIR", root.c_str(), 1);
        setenv("TZ", "untouched", 1);
    }
    void TearDown() override {
        unsetenv("TZDIR");
        unsetenv("TZ");
        fs::remove_all(root);
    }

    // Runs the verify callback on an item holding TUPLE; the flag starts at ACCEPT_BEFORE.
    Verdict verify(fake::Tuple tuple, const char *name = "clock", uint8_t flags = 0,
                   uint32_t accept_before = 1) {
        sysdb_item item = {};
        item.name = name;
        item.flags = flags;
        item.value = fake::as_tuple(&tuple);
        uint32_t accept = accept_before;
        int32_t status = tz_verify_func(&item, &second_arg, &accept, &fourth_arg);
        std::optional<std::string> error;
        for (auto &c : fake::calls_of("backend_verifyonly")) {
            error = c.error_text;
        }
        return {status, accept, error};
    }
    int32_t apply(fake::Tuple tuple, const char *name = "clock", uint8_t flags = 0) {
        sysdb_item item = {};
        item.name = name;
        item.flags = flags;
        item.value = fake::as_tuple(&tuple);
        return tz_apply_func(&item, &second_arg);
    }
    static std::string tz() { return getenv("TZ") ? getenv("TZ") : "<unset>"; }

    fs::path root;
};

TEST_F(TzItem, GoodZoneAcceptedThroughTheCommandDescriptor) {
    Verdict v = verify({{"CET", "Europe/Paris"}}, "clock", 0, 0);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.accept, 1u);
    EXPECT_EQ(v.error_text, std::nullopt);
    EXPECT_TRUE(fake::syslog_lines().empty());
    EXPECT_EQ(tz(), "");

    auto backend = fake::calls_of("backend_verifyonly");
    ASSERT_EQ(backend.size(), 1u);
    EXPECT_EQ(backend[0].descriptor, &tz_command_bgen_data);
    EXPECT_EQ(backend[0].extra[0], &second_arg);
    EXPECT_EQ(backend[0].extra[2], &fourth_arg);
    EXPECT_EQ(fake::calls_of("tuple_unpack").at(0).text, "%S%S");
}

TEST_F(TzItem, MismatchedAbbreviationWarnsOnceAndIsAccepted) {
    Verdict v = verify({{"PST", "Europe/Paris"}});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.accept, 1u);
    auto lines = fake::syslog_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 4);
    EXPECT_EQ(
        lines[0].text,
        "Warning:Incorrect timezone prefix \"PST\",using preifx \"CET\" for \"Europe/Paris\"");
    EXPECT_EQ(tz(), "");
}

TEST_F(TzItem, SymbolicLinksPassTheFileTestWhereverTheyPoint) {
    EXPECT_EQ(verify({{"CET", "Link"}}).accept, 1u);
    EXPECT_TRUE(fake::syslog_lines().empty());
    // The link itself is examined; the zone loading decides, and a mismatch only warns.
    Verdict dangling = verify({{"CET", "Dangling"}});
    EXPECT_EQ(dangling.status, 0);
    EXPECT_EQ(dangling.accept, 1u);
    for (auto &l : fake::syslog_lines()) {
        EXPECT_EQ(l.priority, 4) << l.text;
    }
    EXPECT_EQ(tz(), "");
}

TEST_F(TzItem, RejectedZonesLeaveTheFlagZeroAndTzUntouched) {
    struct Case {
        const char *zone;
        std::string log;
    };
    std::string too_long(300, 'a');
    const Case cases[] = {
        {"Europe/Nowhere",
         "check_tz_args,Failed to lstat() " + root.string() + "/Europe/Nowhere\n "},
        {"Europe", "check_tz_args, Argument is not a binary"},
        {too_long.c_str(), "check_tz_args,Zone path for " + too_long + " exceeds 256 bytes"},
    };
    for (const Case &c : cases) {
        fake::clear_log();
        Verdict v = verify({{"CET", c.zone}}, "clock", 0, 1);
        EXPECT_EQ(v.status, -1) << c.zone;
        EXPECT_EQ(v.accept, 0u) << c.zone;
        EXPECT_EQ(v.error_text, std::nullopt) << c.zone;
        auto lines = fake::syslog_lines();
        ASSERT_EQ(lines.size(), 1u) << c.zone;
        EXPECT_EQ(lines[0].priority, 3);
        EXPECT_EQ(lines[0].text, c.log);
        EXPECT_EQ(tz(), "untouched") << c.zone;
    }
}

TEST_F(TzItem, ZoneinfoRootFromTzdir) {
    auto lstat_path = [&](const char *tzdir) {
        if (tzdir) {
            setenv("TZDIR", tzdir, 1);
        } else {
            unsetenv("TZDIR");
        }
        fake::clear_log();
        verify({{"CET", "No/Such"}});
        auto lines = fake::syslog_lines();
        return lines.empty() ? std::string() : lines[0].text;
    };
    std::string r = root.string();
    EXPECT_EQ(lstat_path((r + "/").c_str()),
              "check_tz_args,Failed to lstat() " + r + "/No/Such\n ");
    EXPECT_EQ(lstat_path((r + "//").c_str()),
              "check_tz_args,Failed to lstat() " + r + "//No/Such\n ");
    EXPECT_EQ(lstat_path(""), "check_tz_args,Failed to lstat() /No/Such\n ");
    EXPECT_EQ(lstat_path(nullptr),
              "check_tz_args,Failed to lstat() /usr/share/zoneinfo/No/Such\n ");

    setenv("TZDIR", (r + "/").c_str(), 1);
    EXPECT_EQ(verify({{"JST", "Asia/Tokyo"}}).accept, 1u);
}

TEST_F(TzItem, PathBoundIsTheWholeBufferWithItsTerminator) {
    // Root "/" zone of exactly 255 characters fits; 256 do not.
    std::string zone = "Europe/Paris";
    std::string dir = "/" + std::string(255 - 1 - zone.size() - 1, 'd');
    setenv("TZDIR", dir.c_str(), 1);
    verify({{"CET", zone.c_str()}});
    ASSERT_EQ(fake::syslog_lines().size(), 1u);
    EXPECT_EQ(fake::syslog_lines()[0].text,
              "check_tz_args,Failed to lstat() " + dir + "/" + zone + "\n ");

    fake::clear_log();
    setenv("TZDIR", (dir + "d").c_str(), 1);
    EXPECT_EQ(verify({{"CET", zone.c_str()}}).accept, 0u);
    EXPECT_EQ(fake::syslog_lines().at(0).text,
              "check_tz_args,Zone path for Europe/Paris exceeds 256 bytes");
}

TEST_F(TzItem, BadTuplesAreRejectedWithoutACheck) {
    Verdict malformed = verify({{"CET", "Europe/Paris"}, -1, false});
    EXPECT_EQ(malformed.status, -1);
    EXPECT_EQ(malformed.accept, 0u);
    EXPECT_EQ(malformed.error_text, "%Tuple unpack error");

    // A failing unpack that still handed out strings: they are released (the sanitizer run
    // checks that).
    Verdict partial = verify({{"CET", "Europe/Paris"}, -2, true});
    EXPECT_EQ(partial.error_text, "%Tuple unpack error");
    EXPECT_EQ(partial.accept, 0u);

    Verdict empty = verify({{}});
    EXPECT_EQ(empty.status, -1);
    EXPECT_EQ(empty.error_text, "%Tuple unpack error");

    Verdict no_zone = verify({{"CET"}});
    EXPECT_EQ(no_zone.status, -1);
    EXPECT_EQ(no_zone.accept, 0u);
    EXPECT_EQ(no_zone.error_text, std::nullopt);

    EXPECT_TRUE(fake::syslog_lines().empty());
    EXPECT_EQ(tz(), "untouched");
}

TEST_F(TzItem, TimestampItemIsAcceptedAndNeverApplied) {
    Verdict v = verify({{}, -1, false}, "ts", 0, 0);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.accept, 1u);
    EXPECT_EQ(apply({{"CET", "Europe/Paris"}}, "ts"), 0);
    // "tsx" and "t" are ordinary items.
    EXPECT_EQ(verify({{}, -1, false}, "tsx", 0, 0).accept, 0u);
    auto ops = fake::ops();
    EXPECT_EQ(ops, (std::vector<std::string>{"backend_verifyonly", "tuple_unpack"}));
}

TEST_F(TzItem, DeletionIsAcceptedUnreadAndRemovesTheZone) {
    Verdict v = verify({{}, -1, false}, "clock", SYSDB_ITEM_DELETE, 0);
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.accept, 1u);
    EXPECT_TRUE(fake::calls().empty());

    EXPECT_EQ(apply({{}, -1, false}, "clock", SYSDB_ITEM_DELETE), 0);
    fake::script("conf_set_timezone_string", {0});
    EXPECT_EQ(apply({{}, -1, false}, "clock", SYSDB_ITEM_DELETE), -1);
    auto set = fake::calls_of("conf_set_timezone_string");
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set[0].text, std::nullopt);
    EXPECT_EQ(set[0].flags, 0u);
    EXPECT_TRUE(fake::calls_of("tuple_unpack").empty());
}

TEST_F(TzItem, ApplyHandsTheUnpackedZoneToTheSetter) {
    // The abbreviation is not checked again: it only serves verification.
    EXPECT_EQ(apply({{"XYZ", "Asia/Tokyo"}}), 0);
    auto backend = fake::calls_of("backend_apply");
    ASSERT_EQ(backend.size(), 1u);
    EXPECT_EQ(backend[0].descriptor, &tz_command_bgen_data);
    EXPECT_EQ(backend[0].extra[0], &second_arg);
    auto set = fake::calls_of("conf_set_timezone_string");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].text, "Asia/Tokyo");
    EXPECT_EQ(set[0].item, fake::unpacked_strings().at(1));  // the string itself, not a copy
    EXPECT_EQ(tz(), "untouched");

    fake::script("conf_set_timezone_string", {0});
    EXPECT_EQ(apply({{"JST", "Asia/Tokyo"}}), -1);

    // No zone string: the setter gets null.
    EXPECT_EQ(apply({{"JST"}}), 0);
    EXPECT_EQ(fake::calls_of("conf_set_timezone_string").back().text, std::nullopt);
}

TEST_F(TzItem, ApplyOfABadTupleNeverReachesTheSetter) {
    EXPECT_EQ(apply({{"JST", "Asia/Tokyo"}, -1, false}), -1);
    EXPECT_EQ(apply({{"JST", "Asia/Tokyo"}, -1, true}), -1);
    EXPECT_EQ(apply({{}}), -1);
    EXPECT_TRUE(fake::calls_of("conf_set_timezone_string").empty());
}

TEST_F(TzItem, NotificationReachesTheLibraryWithConnectionAndHandle) {
    tz_notif_handle = 4242;
    fake::script("tz_lib_srp_notify", {-7});
    sysdb_item item = {};
    item.name = "clock";
    EXPECT_EQ(tz_notification_func(&item, &second_arg), -7);

    auto backend = fake::calls_of("backend_notify");
    ASSERT_EQ(backend.size(), 1u);
    EXPECT_EQ(backend[0].descriptor, &tz_srp_notify_bgen_data);
    auto lib = fake::calls_of("tz_lib_srp_notify");
    ASSERT_EQ(lib.size(), 1u);
    EXPECT_EQ(lib[0].item, &item);
    EXPECT_EQ(lib[0].extra[0], &second_arg);
    EXPECT_EQ(lib[0].extra[1], backend[0].extra[1]);
    EXPECT_EQ(lib[0].conn, svc_test::test_conn);
    EXPECT_EQ(lib[0].handle, 4242u);
    EXPECT_EQ(lib[0].flags, 1u);
}

}  // namespace
