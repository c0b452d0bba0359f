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
// even that is missing), as stale bytes of a receive buffer would. Each reply is checked against
// the catalogue: counts, list entries, the found and unique flags, the texts in their fields.
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

// A text field as the handler reads it: up to its NUL, or the whole field.
std::string field_text(const char *field, size_t width) {
    return std::string(field, tz_msg_text_len(field, width));
}

template <size_t N>
bool terminated(const char (&field)[N]) {
    return memchr(field, '\0', N) != nullptr;
}

// Whether FIELD is a terminated text equal to TEXT.
template <size_t N>
bool holds(const char (&field)[N], const std::string &text) {
    return terminated(field) && text == field;
}

std::vector<const tz_zone_entry *> all_zones() {
    std::vector<const tz_zone_entry *> out;
    for (const tz_zone_entry &head : tz_hash_table)
        for (const tz_zone_entry *z = head.in_use ? &head : nullptr; z; z = z->next)
            out.push_back(z);
    return out;
}

int32_t capped(size_t n, size_t cap) {
    return int32_t(n < cap ? n : cap);
}

void check_tzlist(const tz_cli_msg &r) {
    auto zones = all_zones();
    FUZZ_CHECK(r.tz_list_count == capped(zones.size(), TZ_LIST_MAX));
    for (int32_t i = 0; i < r.tz_list_count; ++i) {
        const tz_list_entry &e = r.tz_list[i];
        FUZZ_CHECK(holds(e.abbrev, zones[i]->name));
        FUZZ_CHECK(terminated(e.offsets) && strncmp(e.offsets, "UTC ", 4) == 0);
        int64_t locations = 0;
        for (const tz_offset_entry *g = zones[i]->offset_list; g != nullptr; g = g->next)
            locations += g->loc_count;
        FUZZ_CHECK(e.num_locations == locations);
    }
}

void check_locations(const tz_cli_msg &r, const std::string &abbrev) {
    const tz_zone_entry *z = find_zone(abbrev);
    FUZZ_CHECK(r.tz_found == (z != nullptr));
    if (z == nullptr)
        return;
    std::vector<const char *> expected;
    for (const tz_offset_entry *g = z->offset_list; g != nullptr; g = g->next)
        for (int32_t i = 0; i < g->loc_count; ++i)
            expected.push_back(g->locations[i]);
    FUZZ_CHECK(r.loc_list_count == capped(expected.size(), TZ_LOC_LIST_MAX));
    for (int32_t i = 0; i < r.loc_list_count; ++i) {
        const loc_list_entry &e = r.loc_list[i];
        FUZZ_CHECK(holds(e.location, std::string(expected[i]).substr(0, TZ_LOCATION_FIELD - 1)));
        FUZZ_CHECK(terminated(e.info));
    }
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

void check_location_to_tz(const tz_cli_msg &r, const std::string &location) {
    const char *abbrev = nullptr;
    if (!location.empty() && location.size() < TZ_LOC_NAME_BOUND)
        abbrev = tz_lookup_location(location.c_str());
    FUZZ_CHECK(r.loc_found == (abbrev != nullptr));
    if (abbrev != nullptr)
        FUZZ_CHECK(holds(r.abbrev, abbrev));
}

void check_all_locations(const tz_cli_msg &r) {
    std::vector<const tz_loc_hash_entry *> entries;
    for (const tz_loc_hash_entry *bucket : tz_loc_hash_list)
        for (const tz_loc_hash_entry *e = bucket; e != nullptr; e = e->next)
            entries.push_back(e);
    FUZZ_CHECK(r.loc_list_count == capped(entries.size(), TZ_LOC_LIST_MAX));
    for (int32_t i = 0; i < r.loc_list_count; ++i)
        FUZZ_CHECK(holds(r.loc_list[i].location, entries[i]->location));
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
    const std::string abbrev = field_text(msg->abbrev, TZ_ABBREV_FIELD);
    const std::string location = field_text(msg->lookup_location, TZ_LOOKUP_LOCATION_FIELD);

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
    // The type word comes back as it was.
    FUZZ_CHECK(memcmp(b, data, size < 2 ? size : 2) == 0);

    switch (type) {
        case TZ_MSG_RETRIEVE_TZLIST:
            check_tzlist(*msg);
            break;
        case TZ_MSG_RETRIEVE_LOCATIONS:
            check_locations(*msg, abbrev);
            break;
        case TZ_MSG_MATCH_TZ:
            check_match(*msg, abbrev);
            break;
        case TZ_MSG_LOCATION_TO_TZ:
            check_location_to_tz(*msg, location);
            break;
        case TZ_MSG_RETRIEVE_ALL_LOCATIONS:
            check_all_locations(*msg);
            break;
    }
    return 0;
}
