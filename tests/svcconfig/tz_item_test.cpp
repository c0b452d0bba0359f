// The time-zone item's verification as the database runs it (callback, backend library, handler,
// tuple), checked against a zoneinfo tree of the test.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

#include "service_util.h"
#include "tz_sysdb.h"
#include "zone_tree.h"

namespace {

int second, fourth;
using fake::args;

class Item : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset_service_state();
        tree_.zone("Europe/Paris");
        tree_.zone("Asia/Tokyo");
        tree_.link("Link", "Europe/Paris");
        tree_.link("Dangling", "nowhere/at/all");
        setenv("TZDIR", tree_.root().c_str(), 1);
        setenv("TZ", "untouched", 1);
    }
    // Verifies, then applies, an item holding TUPLE; the accept flag starts at 7. Returns the
    // verification status and flag, and the apply status.
    struct Outcome {
        int32_t status;
        uint32_t accept;
        int32_t applied;
    };
    Outcome run(fake::Tuple tuple, const char *name = "clock", uint8_t flags = 0) {
        item_ = {};
        item_.name = name;
        item_.flags = flags;
        item_.value = fake::as_tuple(&tuple);
        uint32_t accept = 7;
        int32_t status = tz_verify_func(&item_, &second, &accept, &fourth);
        return {status, accept, tz_apply_func(&item_, &second)};
    }
    static std::string tz() { return getenv("TZ"); }

    fake::ZoneTree tree_;
    sysdb_item item_;
};

TEST_F(Item, ZoneIsCheckedAgainstTheZoneinfoTree) {
    const std::string root = tree_.root(), lstat = "check_tz_args,Failed to lstat() ";
    // A root that leaves exactly 255 characters for ROOT "/" ZONE.
    const std::string fits = "/" + std::string(255 - 2 - 12, 'd');
    struct Case {
        std::optional<std::string> tzdir;
        const char *abbrev, *zone;
        int priority;     // of the one log line; 0 for none
        std::string log;  // "*": any text
    } cases[] = {
        {root, "CET", "Europe/Paris", 0, ""},
        {root + "/", "JST", "Asia/Tokyo", 0, ""},
        {root, "CET", "Link", 0, ""},
        {root, "PST", "Europe/Paris", 4,
         "Warning:Incorrect timezone prefix \"PST\",using preifx \"CET\" for \"Europe/Paris\""},
        {root, "CET", "Dangling", 4, "*"},  // the link passes; loading the zone decides
        {root, "CET", "Europe/Nowhere", 3, lstat + root + "/Europe/Nowhere\n "},
        {root, "CET", "Europe", 3, "check_tz_args, Argument is not a binary"},
        {root + "//", "CET", "No/Such", 3, lstat + root + "//No/Such\n "},
        {"", "CET", "No/Such", 3, lstat + "/No/Such\n "},
        {std::nullopt, "CET", "No/Such", 3, lstat + "/usr/share/zoneinfo/No/Such\n "},
        {fits, "CET", "Europe/Paris", 3, lstat + fits + "/Europe/Paris\n "},
        {fits + "d", "CET", "Europe/Paris", 3,
         "check_tz_args,Zone path for Europe/Paris exceeds 256 bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.zone + std::string(" in ") + c.tzdir.value_or("<unset>"));
        if (c.tzdir)
            setenv("TZDIR", c.tzdir->c_str(), 1);
        else
            unsetenv("TZDIR");
        setenv("TZ", "untouched", 1);
        fake::clear_log();
        Outcome o = run({{c.abbrev, c.zone}});
        bool accepted = c.priority != 3;
        EXPECT_EQ(o.status, accepted ? 0 : -1);
        EXPECT_EQ(o.accept, accepted ? 1u : 0u);
        EXPECT_EQ(fake::last_error_text(), std::nullopt);
        // The zone was loaded and TZ reset only when the file test passed.
        EXPECT_EQ(tz(), c.log.find("check_tz_args") == 0 ? "untouched" : "");
        auto lines = fake::syslog_lines();
        ASSERT_EQ(lines.size(), c.priority ? 1u : 0u);
        if (c.priority) {
            EXPECT_EQ(lines[0].priority, c.priority);
            EXPECT_TRUE(c.log == "*" || lines[0].text == c.log) << lines[0].text;
        }
    }
}

}  // namespace
