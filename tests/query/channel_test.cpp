// The query service over the real channel: the CLI thread runs in the test process on the
// platform's event runtime, in a private runtime directory, and clients speak to its socket.
// Every TEST runs in a process of its own.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <atomic>
#include <random>
#include <thread>

#include "query_util.h"
#include "tz_cli.h"

using namespace qtest;

namespace {

class Channel : public ::testing::Test {
  protected:
    void SetUp() override {
        zoneinfo_ = dir_.path() + "/zoneinfo";
        for (const char *z : {"Europe/Paris", "Europe/Berlin", "Asia/Kolkata", "America/New_York"})
            copy_zone(zoneinfo_, z);
        setenv("PLATFORM_RUNDIR", (dir_.path() + "/run").c_str(), 1);
        setenv("TZDIR", zoneinfo_.c_str(), 1);
    }

    // Starts the CLI thread and waits for its channel.
    void start() {
        std::thread(tz_cli_msg_thread, nullptr).detach();
        for (int i = 0; i < 200; i++) {
            RawClient probe(channel());
            if (probe.connected())
                return;
            usleep(50 * 1000);
        }
        FAIL() << "channel did not come up";
    }
    std::string channel() const { return dir_.path() + "/run/dev/tz_cli_msg_transfer"; }

    static std::unique_ptr<tz_cli_msg> request(uint16_t type, const char *abbrev = "",
                                               const char *location = "") {
        auto m = std::make_unique<tz_cli_msg>();
        memset(m.get(), 0, sizeof *m);
        m->type_word = type;
        tz_msg_put_text(m->abbrev, sizeof m->abbrev, abbrev);
        tz_msg_put_text(m->lookup_location, sizeof m->lookup_location, location);
        return m;
    }

    TempDir dir_;
    std::string zoneinfo_;
};

}  // namespace

TEST_F(Channel, AnswersEveryTypeOnOneConnection) {
    start();
    struct stat st;
    ASSERT_EQ(stat(channel().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);

    RawClient c(channel());
    ASSERT_TRUE(c.connected());
    auto r = c.ask(*request(1));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tz_list_count, 3);  // CET, IST, EST

    r = c.ask(*request(2, "CET"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tz_found, 1);
    EXPECT_EQ(r->loc_list_count, 2);

    r = c.ask(*request(3, "IS"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tz_unique, 1);
    EXPECT_EQ(text(r->abbrev, 11), "IST");

    r = c.ask(*request(4, "", "America/New_York"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->loc_found, 1);
    EXPECT_EQ(text(r->abbrev, 11), "EST");

    r = c.ask(*request(5));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->loc_list_count, 4);

    // An error reply is the status alone.
    int32_t status = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(c.send(request(0).get(), TZ_CLI_MSG_SIZE));
    ASSERT_TRUE(c.receive(status, data));
    EXPECT_EQ(status, EOPNOTSUPP);
    EXPECT_TRUE(data.empty());
}

TEST_F(Channel, MissingZoneinfoGetsEnopkgUntilItAppears) {
    std::string later = dir_.path() + "/later";
    setenv("TZDIR", later.c_str(), 1);
    start();
    RawClient c(channel());
    int32_t status = 0;
    EXPECT_FALSE(c.ask(*request(4, "", "Europe/Paris"), &status));
    EXPECT_EQ(status, ENOPKG);

    copy_zone(later, "Europe/Paris");
    auto r = c.ask(*request(4, "", "Europe/Paris"), &status);
    ASSERT_TRUE(r) << "status " << status;
    EXPECT_EQ(text(r->abbrev, 11), "CET");
}

TEST_F(Channel, ShortMessageIsServedOverThePreviousExchange) {
    start();
    RawClient c(channel());
    auto full = patterned_msg(5);
    auto first = c.ask(*full);
    ASSERT_TRUE(first);

    uint16_t word = 3;  // the type word alone
    ASSERT_TRUE(c.send(&word, sizeof word));
    int32_t status = -1;
    std::vector<uint8_t> data;
    ASSERT_TRUE(c.receive(status, data));
    ASSERT_EQ(status, 0);
    auto second = as_msg(data);
    EXPECT_EQ(second->type_word, 3);
    EXPECT_EQ(0, memcmp(first->header_rest, second->header_rest, sizeof first->header_rest));
    EXPECT_EQ(0, memcmp(first->loc_list, second->loc_list, sizeof first->loc_list));
}

TEST_F(Channel, ConcurrentClientsEachGetTheirOwnAnswers) {
    start();
    struct Case {
        const char *location;
        const char *abbrev;
    };
    const Case cases[] = {{"Europe/Paris", "CET"},
                          {"Europe/Berlin", "CET"},
                          {"Asia/Kolkata", "IST"},
                          {"America/New_York", "EST"}};
    std::atomic<int> wrong{0}, answered{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; t++) {
        clients.emplace_back([&, t] {
            std::unique_ptr<RawClient> c;
            for (int i = 0; i < 60; i++) {
                // Half the clients keep their connection, half connect for every query.
                if (!c || t % 2)
                    c = std::make_unique<RawClient>(channel());
                const Case &k = cases[(t + i) % 4];
                std::unique_ptr<tz_cli_msg> r;
                bool ok;
                if (i % 3 == 0) {
                    r = c->ask(*request(2, k.abbrev));
                    ok = r && r->tz_found == 1 && r->loc_list_count == (k.abbrev[0] == 'C' ? 2 : 1);
                } else {
                    r = c->ask(*request(4, "", k.location));
                    ok = r && r->loc_found == 1 && text(r->abbrev, 11) == k.abbrev;
                }
                (ok ? answered : wrong)++;
            }
        });
    }
    for (auto &th : clients)
        th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(answered.load(), 8 * 60);
}

TEST_F(Channel, GarbageIsAnsweredOrDroppedAndTheNextQueryIsServed) {
    start();
    std::mt19937 rng(20240601);
    std::vector<uint8_t> junk(TZ_CLI_MSG_SIZE);
    int32_t status;
    std::vector<uint8_t> data;
    {
        RawClient c(channel());
        // Whole messages of random bytes: any type word, input fields without NUL.
        for (int i = 0; i < 20; i++) {
            for (auto &b : junk)
                b = uint8_t(rng());
            if (i % 2)
                junk[0] = uint8_t(1 + i % 5), junk[1] = uint8_t(rng() & 0xF0);
            ASSERT_TRUE(c.send(junk.data(), junk.size()));
            ASSERT_TRUE(c.receive(status, data)) << i;
            EXPECT_TRUE(status == 0 || status == EOPNOTSUPP) << status;
            EXPECT_EQ(data.size(), status == 0 ? size_t(TZ_CLI_MSG_SIZE) : 0u);
        }
        // One byte; an empty record; a record larger than any message.
        uint8_t one = 0xFF;
        ASSERT_TRUE(c.send(&one, 1));
        ASSERT_TRUE(c.receive(status, data));
        ASSERT_TRUE(c.send(&one, 0));
        ASSERT_TRUE(c.receive(status, data));
        EXPECT_GT(status, 0);
        std::vector<uint8_t> big(TZ_CLI_MSG_SIZE + 100, 0x01);
        ASSERT_TRUE(c.send(big.data(), big.size()));
        ASSERT_TRUE(c.receive(status, data));
        EXPECT_GT(status, 0);

        auto r = c.ask(*request(4, "", "Asia/Kolkata"));
        ASSERT_TRUE(r) << "the connection still serves";
        EXPECT_EQ(text(r->abbrev, 11), "IST");
    }
    // Clients that leave without a word, or before their answer.
    { RawClient gone(channel()); }
    {
        RawClient impatient(channel());
        ASSERT_TRUE(impatient.send(request(1).get(), TZ_CLI_MSG_SIZE));
    }
    RawClient c(channel());
    auto r = c.ask(*request(3, "CET"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->tz_found, 1);
}
