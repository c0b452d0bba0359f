// The query message exchanged with CLI clients on the channel "/dev/tz_cli_msg_transfer".
// One fixed layout serves all five query types; clients in other languages depend on every
// offset below, so each one is pinned.
#ifndef TZ_CLI_MSG_H
#define TZ_CLI_MSG_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#define TZ_CLI_MSG_SIZE 74216

#define TZ_MSG_RETRIEVE_TZLIST 1
#define TZ_MSG_RETRIEVE_LOCATIONS 2
#define TZ_MSG_MATCH_TZ 3
#define TZ_MSG_LOCATION_TO_TZ 4
#define TZ_MSG_RETRIEVE_ALL_LOCATIONS 5

#define TZ_MSG_TYPE_MASK 0xFFF

#define TZ_LIST_MAX 200
#define TZ_LOC_LIST_MAX 599

#define TZ_ABBREV_FIELD 11
#define TZ_OFFSETS_FIELD 50
#define TZ_LOCATION_FIELD 61
#define TZ_INFO_FIELD 40
#define TZ_LOOKUP_LOCATION_FIELD 64

#pragma pack(push, 1)

typedef struct tz_list_entry {
    char abbrev[TZ_ABBREV_FIELD];
    char offsets[TZ_OFFSETS_FIELD];
    uint8_t unused[3];
    int32_t num_locations;
} tz_list_entry;

typedef struct loc_list_entry {
    char location[TZ_LOCATION_FIELD];
    char info[TZ_INFO_FIELD];
} loc_list_entry;

typedef struct tz_cli_msg {
    uint16_t type_word;  // bits 0..11: msg_type; bits 12..15 not interpreted
    uint8_t header_rest[18];
    tz_list_entry tz_list[TZ_LIST_MAX];
    int32_t tz_list_count;
    char abbrev[TZ_ABBREV_FIELD];
    uint8_t unused1;
    int32_t loc_list_count;
    loc_list_entry loc_list[TZ_LOC_LIST_MAX];
    uint8_t unused2;
    int32_t tz_found;
    int32_t tz_unique;
    char lookup_location[TZ_LOOKUP_LOCATION_FIELD];
    int32_t loc_found;
} tz_cli_msg;

#pragma pack(pop)

static_assert(sizeof(tz_list_entry) == 68);
static_assert(offsetof(tz_list_entry, abbrev) == 0);
static_assert(offsetof(tz_list_entry, offsets) == 11);
static_assert(offsetof(tz_list_entry, unused) == 61);
static_assert(offsetof(tz_list_entry, num_locations) == 64);

static_assert(sizeof(loc_list_entry) == 101);
static_assert(offsetof(loc_list_entry, location) == 0);
static_assert(offsetof(loc_list_entry, info) == 61);

static_assert(sizeof(tz_cli_msg) == TZ_CLI_MSG_SIZE);
static_assert(offsetof(tz_cli_msg, type_word) == 0);
static_assert(offsetof(tz_cli_msg, header_rest) == 2);
static_assert(offsetof(tz_cli_msg, tz_list) == 20);
static_assert(offsetof(tz_cli_msg, tz_list_count) == 13620);
static_assert(offsetof(tz_cli_msg, abbrev) == 13624);
static_assert(offsetof(tz_cli_msg, unused1) == 13635);
static_assert(offsetof(tz_cli_msg, loc_list_count) == 13636);
static_assert(offsetof(tz_cli_msg, loc_list) == 13640);
static_assert(offsetof(tz_cli_msg, unused2) == 74139);
static_assert(offsetof(tz_cli_msg, tz_found) == 74140);
static_assert(offsetof(tz_cli_msg, tz_unique) == 74144);
static_assert(offsetof(tz_cli_msg, lookup_location) == 74148);
static_assert(offsetof(tz_cli_msg, loc_found) == 74212);

// The message type of a message: the type word's low twelve bits.
static inline int tz_cli_msg_type(const tz_cli_msg *msg) {
    uint16_t word;
    memcpy(&word, &msg->type_word, sizeof word);
    return word & TZ_MSG_TYPE_MASK;
}

// Copies text into a fixed field the way every text field of the message is written: the string,
// NUL bytes up to the end of the field, and the field's last byte NUL whatever the length.
static inline void tz_msg_put_text(char *field, size_t width, const char *text) {
    size_t n = strnlen(text, width);
    memcpy(field, text, n);
    memset(field + n, 0, width - n);
    field[width - 1] = '\0';
}

// The length of a received text field, never reading past it: a field without a NUL counts as
// its full width.
static inline size_t tz_msg_text_len(const char *field, size_t width) {
    const void *nul = memchr(field, '\0', width);
    return nul ? (size_t)((const char *)nul - field) : width;
}

// Reply framing on the channel: a 4-byte little-endian signed status, then for status 0 the
// whole message.
#define TZ_CLI_REPLY_STATUS_SIZE 4
#define TZ_CLI_REPLY_SIZE (TZ_CLI_REPLY_STATUS_SIZE + TZ_CLI_MSG_SIZE)

#endif
