// The query handler on arbitrary messages, over the catalogue of the system's zoneinfo tree (built
// by the handler itself on the first input). The handler reads three fields of a message, so the
// input is a compact one:
//
//   bytes 0-1   type word, little-endian
//   byte  2     the byte every other byte of the message holds
//   bytes 3-13  the abbreviation field (11 bytes)
//   bytes 14-77 the lookup-location field (64 bytes)
//   byte  78    bit 0: the client-information call fails; bit 1: the reply call fails
//
// A shorter input is a partial message: what it does not give keeps the fill byte (0xA5 when
// even that is missing), as stale bytes of a receive buffer would. Every message must get its
// reply or its error, whatever the buffer holds; a match is checked against the catalogue.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "catalogue_tables.h"
#include "fuzz_check.h"
#include "service_stubs.h"
#include "tz_cli.h"
#include "tz_cli_msg.h"
#include "tz_config.h"

namespace {

constexpr int32_t REPLY_ID = 11;
constexpr size_t ABBREV_AT = 3;
constexpr size_t LOCATION_AT = ABBREV_AT + TZ_ABBREV_FIELD;
constexpr size_t FLAGS_AT = LOCATION_AT + TZ_LOOKUP_LOCATION_FIELD;

// Whether FIELD is a terminated text equal to TEXT.
template <size_t N>
bool holds(const char (&field)[N], const std::string &text) {
    return memchr(field, '\0', N) != nullptr && text == field;
}

std::vector<const tz_zone_entry *> all_zones() {
    std::vector<const tz_zone_entry *> out;
    for (const tz_zone_entry &head : tz_hash_table)
        for (const tz_zone_entry *z = head.in_use ? &head : nullptr; z; z = z->next)
            out.push_back(z);
    return out;
}

void check_match(const tz_cli_msg &r, const std::string &abbrev) {
    bool exact = find_zone(abbrev) != nullptr;
    FUZZ_CHECK(r.tz_found == exact);
    if (exact) {
        FUZZ_CHECK(r.tz_unique == 0);
        return;
    }
    const tz_zone_entry *only = nullptr;
    int count = 0;
    for (const tz_zone_entry *z : all_zones())
        if (std::string(z->name).compare(0, abbrev.size(), abbrev) == 0) {
            only = z;
            ++count;
        }
    FUZZ_CHECK(r.tz_unique == (count == 1));
    if (count == 1)
        FUZZ_CHECK(holds(r.abbrev, only->name));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The receive buffer is exactly one message, so a write past it shows.
    std::unique_ptr<uint8_t, decltype(&free)> buffer(
        static_cast<uint8_t *>(malloc(TZ_CLI_MSG_SIZE)), &free);
    uint8_t *b = buffer.get();
    memset(b, size > 2 ? data[2] : 0xA5, TZ_CLI_MSG_SIZE);
    for (auto [from, to, n] :
         {std::tuple<size_t, size_t, size_t>{0, 0, 2},
          {ABBREV_AT, offsetof(tz_cli_msg, abbrev), TZ_ABBREV_FIELD},
          {LOCATION_AT, offsetof(tz_cli_msg, lookup_location), TZ_LOOKUP_LOCATION_FIELD}})
        if (size > from)
            memcpy(b + to, data + from, std::min(size - from, n));
    uint8_t flags = size > FLAGS_AT ? data[FLAGS_AT] : 0;
    auto *msg = reinterpret_cast<tz_cli_msg *>(b);
    const int type = tz_cli_msg_type(msg);
    const std::string abbrev(msg->abbrev, tz_msg_text_len(msg->abbrev, TZ_ABBREV_FIELD));

    stubs::replies.clear();
    stubs::client_info_fails = flags & 1;
    stubs::reply_fails = flags & 2;
    event_context ctx{};
    ctx.reply_id = REPLY_ID;
    ctx.buffer = b;
    ctx.buffer_size = TZ_CLI_MSG_SIZE;
    tz_message_handler(&ctx, nullptr);

    const auto &replies = stubs::replies;
    FUZZ_CHECK(!replies.empty());
    for (const auto &r : replies)
        FUZZ_CHECK(r.reply_id == REPLY_ID);
    auto is_error = [&](size_t i, int err) { return replies[i].error == err; };
    if (flags & 1) {
        FUZZ_CHECK(replies.size() == 1 && is_error(0, EINVAL));
        return 0;
    }
    // The catalogue of the system tree is there from the first message on, and not empty (the
    // checks below would hold of an empty one too).
    FUZZ_CHECK(handler_called == 1);
    static const size_t zones = all_zones().size();
    FUZZ_CHECK(zones >= 10);
    if (type < TZ_MSG_RETRIEVE_TZLIST || type > TZ_MSG_RETRIEVE_ALL_LOCATIONS) {
        FUZZ_CHECK(replies.size() == 1 && is_error(0, EOPNOTSUPP));
        return 0;
    }
    const stubs::Reply &r = replies[0];
    FUZZ_CHECK(r.error == 0 && r.flags == 0);
    FUZZ_CHECK(r.bytes.size() == TZ_CLI_MSG_SIZE &&
               memcmp(r.bytes.data(), b, TZ_CLI_MSG_SIZE) == 0);
    // A reply that cannot be sent is followed by an error reply.
    if (flags & 2)
        FUZZ_CHECK(replies.size() == 2 && is_error(1, EBADMSG));
    else
        FUZZ_CHECK(replies.size() == 1);
    if (type == TZ_MSG_MATCH_TZ)
        check_match(*msg, abbrev);
    return 0;
}
