// The query service: the thread that owns the CLI message channel and the handler that answers
// the five queries from the zone catalogue.
//
// A query message comes from any local client and is untrusted. The handler never reads an input
// text past its field (it works on a NUL-terminated local copy) and never writes past the message
// or a text field, whatever the catalogue holds:
//  - more abbreviations than tz_list holds (type 1), or more locations than loc_list holds
//    (types 2 and 5): the list is filled to capacity, the count says how many entries were sent,
//    and the cut is logged once per query type for the life of the process;
//  - an offset text that would not fit its field: the groups that fit are listed and "..." ends
//    the text, so the reader knows that more offsets exist (num_locations still counts them all).
#include "tz_cli.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <mutex>

#include "platform_events.h"
#include "platform_log.h"
#include "tz_cli_msg.h"
#include "tz_config.h"
#include "tz_log.h"

// The error codes that clients see are Linux errno values.
static_assert(ENOENT == 2 && EINVAL == 22 && ENOPKG == 65 && EBADMSG == 74 && EOPNOTSUPP == 95);

// Set once the catalogue has been built; only the CLI thread uses it.
int32_t handler_called = 0;

#define TZ_CLI_EVM_DEPTH 6
#define TZ_WORK_BUF_SIZE 40
// What ends an offsets text whose groups do not all fit.
#define TZ_OFFSETS_MORE "..."

// Message-attach attributes: the 16-bit words 0x8FFF and 0x0213, little-endian.
static const uint8_t tz_cli_attach_attrs[4] = {0xFF, 0x8F, 0x13, 0x02};

// Whether a cut list has been logged already, per query type (CLI thread only).
static bool tz_tzlist_cut_logged = false;
static bool tz_loclist_cut_logged = false;
static bool tz_all_locations_cut_logged = false;

// A NUL-terminated copy of a received text field. DEST has WIDTH + 1 bytes, so a field without a
// NUL becomes a text of the full width, which is longer than anything the catalogue holds.
static void tz_copy_input(char *dest, const char *field, size_t width) {
    size_t len = tz_msg_text_len(field, width);
    memcpy(dest, field, len);
    dest[len] = '\0';
}

// Appends TEXT to the NUL-terminated BUF of SIZE bytes, cutting it to the room left.
static void tz_append_bounded(char *buf, size_t size, const char *text) {
    size_t len = strnlen(buf, size - 1);
    size_t room = size - 1 - len;
    size_t add = strnlen(text, room);
    memcpy(buf + len, text, add);
    buf[len + add] = '\0';
}

// The record of bucket H whose name is ABBREV, or null. H must be a valid bucket index.
static tz_zone_entry *tz_find_in_bucket(int32_t h, const char *abbrev) {
    for (tz_zone_entry *z = &tz_hash_table[h]; z != nullptr; z = z->next) {
        if (strncmp(abbrev, z->name, TZ_ZONE_NAME_MAX + 1) == 0)
            return z;
    }
    return nullptr;
}

static bool tz_bucket_in_use(int32_t h) {
    return h >= 0 && h < TZ_HASH_SIZE && tz_hash_table[h].in_use != 0;
}

// Writes VALUE in decimal at OUT, zero-padded after any sign to WIDTH characters, as printf's
// "%0*d" does; returns the characters written.
static size_t tz_put_decimal(char *out, int32_t value, size_t width) {
    char digits[10];
    size_t n = 0;
    uint32_t magnitude = value < 0 ? 0u - (uint32_t)value : (uint32_t)value;
    do {
        digits[n++] = (char)('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t len = 0;
    if (value < 0)
        out[len++] = '-';
    while (len + n < width)
        out[len++] = '0';
    while (n > 0)
        out[len++] = digits[--n];
    return len;
}

// One item of an offsets text, "%d:%02d " of the group's hours and minutes, NUL-terminated in
// OUT (24 characters at most); returns its length. Type 1 writes one per group, where printf's
// format parsing was most of the query's cost.
static size_t tz_format_offset(char *out, int32_t hours, int32_t minutes) {
    size_t len = tz_put_decimal(out, hours, 1);
    out[len++] = ':';
    len += tz_put_decimal(out + len, minutes, 2);
    out[len++] = ' ';
    out[len] = '\0';
    return len;
}

// Fills the offsets text of an entry from the abbreviation's groups and returns the number of
// locations over all groups. Every item but the last is appended only while "..." would still fit
// after it, so the text can always be ended with "..." when a later item does not fit.
static int32_t tz_fill_offsets(char *offsets, const tz_offset_entry *groups) {
    const size_t max_len = TZ_OFFSETS_FIELD - 1;
    const size_t more_len = strlen(TZ_OFFSETS_MORE);
    tz_msg_put_text(offsets, TZ_OFFSETS_FIELD, "UTC ");
    size_t len = strlen(offsets);
    int64_t locations = 0;
    bool cut = false;
    for (const tz_offset_entry *g = groups; g != nullptr; g = g->next) {
        locations += g->loc_count;
        if (cut)
            continue;
        char item[TZ_WORK_BUF_SIZE];
        size_t item_len = tz_format_offset(item, g->hours, g->minutes);
        size_t after = len + item_len;
        if (after <= max_len && (g->next == nullptr || after + more_len <= max_len)) {
            memcpy(offsets + len, item, item_len + 1);
            len = after;
        } else {
            memcpy(offsets + len, TZ_OFFSETS_MORE, more_len + 1);
            len += more_len;
            cut = true;
        }
    }
    if (locations > INT32_MAX)
        locations = INT32_MAX;
    return (int32_t)locations;
}

// Type 1: every abbreviation with its UTC offsets and number of locations.
static int tz_retrieve_tzlist(tz_cli_msg *msg) {
    TZ_TRACE("%s,In Retrieve TZLIST Case", "tz_message_handler");
    int32_t n = 0;
    for (int32_t b = 0; b < TZ_HASH_SIZE; b++) {
        if (tz_hash_table[b].in_use == 0)
            continue;
        for (const tz_zone_entry *z = &tz_hash_table[b]; z != nullptr; z = z->next) {
            tz_list_entry *entry = n < TZ_LIST_MAX ? &msg->tz_list[n] : nullptr;
            if (entry != nullptr)
                tz_msg_put_text(entry->abbrev, TZ_ABBREV_FIELD, z->name);
            if (z->offset_list == nullptr) {
                vk_syslog(3, "%s,Error in table creation or msg send/rcv", "tz_message_handler");
                return ENOENT;
            }
            // Past the capacity the walk goes on only to check the table and count.
            if (entry != nullptr)
                entry->num_locations = tz_fill_offsets(entry->offsets, z->offset_list);
            n++;
        }
    }
    if (n > TZ_LIST_MAX && !tz_tzlist_cut_logged) {
        vk_syslog(3, "%s,Abbreviation list cut to %d of %d entries", "tz_message_handler",
                  TZ_LIST_MAX, n);
        tz_tzlist_cut_logged = true;
    }
    msg->tz_list_count = n < TZ_LIST_MAX ? n : TZ_LIST_MAX;
    return 0;
}

// One location entry of a type-2 answer: the group's offset and the location's daylight-saving
// state now. Runs under tz_env_mutex.
static void tz_fill_location_info(loc_list_entry *entry, const tz_offset_entry *g,
                                  const char *location) {
    tz_msg_put_text(entry->location, TZ_LOCATION_FIELD, location);
    setenv("TZ", location, 1);
    tzset();
    time_t now = time(nullptr);
    struct tm local;
    int isdst = localtime_r(&now, &local) != nullptr ? local.tm_isdst : 0;
    char work[TZ_WORK_BUF_SIZE];
    snprintf(work, sizeof work, "%d:%02d DST_ACTIV %s ", g->hours, g->minutes,
             isdst > 0 ? "YES" : "NO");
    if (tzname[1] != nullptr && isdst > 0) {
        tz_append_bounded(work, sizeof work, "DSTZ: ");
        tz_append_bounded(work, sizeof work, tzname[1]);
    }
    tz_msg_put_text(entry->info, TZ_INFO_FIELD, work);
}

// Type 2: the locations of one abbreviation with their daylight-saving state.
static int tz_retrieve_locations(tz_cli_msg *msg) {
    char abbrev[TZ_ABBREV_FIELD + 1];
    tz_copy_input(abbrev, msg->abbrev, TZ_ABBREV_FIELD);
    int32_t h = tz_hash_func(abbrev);
    msg->tz_found = 0;
    TZ_TRACE("%s,In Retrieve location Case, TZ = %s", "tz_message_handler", abbrev);
    if (!tz_bucket_in_use(h))
        return 0;

    const tz_zone_entry *z = tz_find_in_bucket(h, abbrev);
    if (z == nullptr) {
        msg->loc_list_count = 0;
        std::lock_guard<std::mutex> env_lock(tz_env_mutex);
        setenv("TZ", "", 1);
        tzset();
        return 0;
    }
    msg->tz_found = 1;
    TZ_TRACE("TZ found in handler");
    if (z->offset_list == nullptr) {
        vk_syslog(3, "Error in table creation or msg send/rcv");
        return ENOENT;
    }

    int32_t n = 0;
    {
        std::lock_guard<std::mutex> env_lock(tz_env_mutex);
        for (const tz_offset_entry *g = z->offset_list; g != nullptr; g = g->next) {
            int32_t count = g->loc_count < TZ_MAX_LOC ? g->loc_count : TZ_MAX_LOC;
            for (int32_t i = 0; i < count; i++) {
                if (g->locations[i] == nullptr)
                    continue;
                if (n < TZ_LOC_LIST_MAX)
                    tz_fill_location_info(&msg->loc_list[n], g, g->locations[i]);
                n++;
            }
        }
        setenv("TZ", "", 1);
        tzset();
    }
    if (n > TZ_LOC_LIST_MAX && !tz_loclist_cut_logged) {
        vk_syslog(3, "%s,Location list of %s cut to %d of %d entries", "tz_message_handler", abbrev,
                  TZ_LOC_LIST_MAX, n);
        tz_loclist_cut_logged = true;
    }
    msg->loc_list_count = n < TZ_LOC_LIST_MAX ? n : TZ_LOC_LIST_MAX;
    return 0;
}

// Type 3: exact match of an abbreviation, else completion of a prefix that only one abbreviation
// begins with.
static int tz_match_tz(tz_cli_msg *msg) {
    char abbrev[TZ_ABBREV_FIELD + 1];
    tz_copy_input(abbrev, msg->abbrev, TZ_ABBREV_FIELD);
    TZ_TRACE("%s,Recieved zone name = %s", "tz_message_handler", abbrev);
    int32_t h = tz_hash_func(abbrev);
    msg->tz_found = 0;
    msg->tz_unique = 0;
    if (h < 0) {
        TZ_TRACE("%s,Hash function returned negative index -  %d", "tz_message_handler", h);
    } else if (tz_bucket_in_use(h) && tz_find_in_bucket(h, abbrev) != nullptr) {
        TZ_TRACE("%s,TZ found", "tz_message_handler");
        msg->tz_found = 1;
        return 0;
    }

    // Once two candidates are counted the answer is settled; each bucket still adds at most one.
    size_t len = strlen(abbrev);
    int32_t count = 0;
    const tz_zone_entry *candidate = nullptr;
    for (int32_t b = 0; b < TZ_HASH_SIZE; b++) {
        if (tz_hash_table[b].in_use == 0)
            continue;
        for (const tz_zone_entry *z = &tz_hash_table[b]; z != nullptr; z = z->next) {
            if (strncmp(z->name, abbrev, len) == 0) {
                count++;
                if (count > 1)
                    break;
                candidate = z;
            }
        }
    }
    if (count == 1) {
        msg->tz_unique = 1;
        tz_msg_put_text(msg->abbrev, TZ_ABBREV_FIELD, candidate->name);
    }
    return 0;
}

// Type 4: the abbreviation of a location. A location the location hash cannot hold (empty, or
// as long as its bound or longer) is not in the catalogue.
static int tz_location_to_tz(tz_cli_msg *msg) {
    char location[TZ_LOOKUP_LOCATION_FIELD + 1];
    tz_copy_input(location, msg->lookup_location, TZ_LOOKUP_LOCATION_FIELD);
    size_t len = strlen(location);
    const char *abbrev = nullptr;
    if (len > 0 && len < TZ_LOC_NAME_BOUND)
        abbrev = tz_lookup_location(location);
    if (abbrev == nullptr) {
        msg->loc_found = 0;
    } else {
        msg->loc_found = 1;
        tz_msg_put_text(msg->abbrev, TZ_ABBREV_FIELD, abbrev);
    }
    return 0;
}

// Type 5: every entry of the location hash, in bucket order.
static int tz_retrieve_all_locations(tz_cli_msg *msg) {
    int32_t n = 0;
    for (int32_t b = 0; b < TZ_LOC_HASH_SIZE; b++) {
        for (const tz_loc_hash_entry *e = tz_loc_hash_list[b]; e != nullptr; e = e->next) {
            if (n < TZ_LOC_LIST_MAX)
                tz_msg_put_text(msg->loc_list[n].location, TZ_LOCATION_FIELD, e->location);
            n++;
        }
    }
    if (n > TZ_LOC_LIST_MAX && !tz_all_locations_cut_logged) {
        vk_syslog(3, "%s,Location list cut to %d of %d entries", "tz_message_handler",
                  TZ_LOC_LIST_MAX, n);
        tz_all_locations_cut_logged = true;
    }
    msg->loc_list_count = n < TZ_LOC_LIST_MAX ? n : TZ_LOC_LIST_MAX;
    return 0;
}

// Answers one query in the receive buffer. The result is that of the last reply call (or of the
// trace that follows a failed build); nothing reads it.
int tz_message_handler(event_context *ctx, void *user) {
    (void)user;
    int32_t reply_id = ctx->reply_id;
    tz_cli_msg *msg = static_cast<tz_cli_msg *>(ctx->buffer);
    int msg_type = tz_cli_msg_type(msg);

    uint64_t length = 0;
    if (msg_get_clinfo_m_msglen(reply_id, &length) < 0) {
        vk_syslog(3, "%s: msg_get_clinfo_m_msglen failed\n", "tz_message_handler");
        return msg_error(reply_id, EINVAL);
    }

    // The catalogue is built on the first message of any type, and again after a failure.
    if (handler_called == 0) {
        if (tz_table_init() == 0) {
            int rc = msg_error(reply_id, ENOPKG);
            if (tz_debug_level)
                rc = timezone_log(tz_debug_level, "TZ Table Init Failed");
            return rc;
        }
        handler_called = 1;
        TZ_TRACE("TZ Table Init Success");
    }

    int err;
    switch (msg_type) {
        case TZ_MSG_RETRIEVE_TZLIST:
            err = tz_retrieve_tzlist(msg);
            break;
        case TZ_MSG_RETRIEVE_LOCATIONS:
            err = tz_retrieve_locations(msg);
            break;
        case TZ_MSG_MATCH_TZ:
            err = tz_match_tz(msg);
            break;
        case TZ_MSG_LOCATION_TO_TZ:
            err = tz_location_to_tz(msg);
            break;
        case TZ_MSG_RETRIEVE_ALL_LOCATIONS:
            err = tz_retrieve_all_locations(msg);
            break;
        default:
            vk_syslog(3, "%s: unknown message %d received", "tz_message_handler", msg_type);
            return msg_error(reply_id, EOPNOTSUPP);
    }
    if (err != 0)
        return msg_error(reply_id, err);

    int rc = msg_reply(reply_id, 0, msg, TZ_CLI_MSG_SIZE);
    if (rc != 0)
        rc = msg_error(reply_id, EBADMSG);
    return rc;
}

// The CLI thread: owns the query channel and dispatches each message to tz_message_handler, one
// at a time, for the life of the process. A failure to set up the channel ends the process.
void *tz_cli_msg_thread(void *arg) {
    (void)arg;
    uint64_t evm_slot = 0;
    evm_handle_t evm = event_manager_create(0, TZ_CLI_CHANNEL, TZ_CLI_EVM_DEPTH, &evm_slot);
    if (evm == nullptr) {
        vk_syslog(3, "event manager create failed %s", strerror(errno));
        exit(1);
    }

    // The one receive buffer: every message arrives in it and every reply leaves from it.
    void *buffer = malloc(TZ_CLI_MSG_SIZE);
    if (buffer == nullptr) {
        vk_syslog(3, "malloc failed");
        exit(1);
    }

    event_context ctx{};
    ctx.evm = evm;
    ctx.reply_id = 0;
    ctx.buffer = buffer;
    ctx.buffer_size = TZ_CLI_MSG_SIZE;

    if (event_message_attach(evm, tz_cli_attach_attrs, tz_message_handler, nullptr) == -1) {
        vk_syslog(3, "Attach message handler failed: %s", strerror(errno));
        if (event_manager_destroy(&evm) != 0)
            vk_syslog(3, "Failed to destroy an Event Manager: %s", cerr_strerror(errno));
        exit(1);
    }

    TZ_TRACE("%s,Going into infinite loop :: CLI thread", "tz_cli_msg_thread");
    for (;;) {
        if (event_block(&ctx) == -1) {
            vk_syslog(3, "%s: error blocking for events %s\n", "tz_cli_msg_thread",
                      strerror(errno));
            continue;
        }
        vk_event_dispatch(&ctx, 0);
    }
    return nullptr;
}
