// The time-zone item below "/cfg/gl/clock/": its check and apply on the verifier card, and the
// forwarding of its notifications on every other card. The database hands items to the three
// callbacks; they pass them to the backend library with one of the two descriptors below, and the
// library calls back into the handler table of that descriptor.
#include "tz_sysdb.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <mutex>

#include "platform_log.h"
#include "tz_config.h"
#include "tz_dlrsc.h"
#include "tz_log.h"
#include "tz_startup.h"

// The item record is read by offset by the database and by us alike.
static_assert(offsetof(sysdb_item, name) == 0);
static_assert(offsetof(sysdb_item, flags) == 8);
static_assert(offsetof(sysdb_item, value) == 32);
static_assert(SYSDB_ITEM_DELETE == 0x4);

namespace {

// The item that carries a timestamp: accepted and never applied.
constexpr char TZ_TS_ITEM[] = "ts";
constexpr char TZ_TUPLE_FORMAT[] = "%S%S";
constexpr char TZ_UNPACK_ERROR[] = "%Tuple unpack error";
constexpr char TZ_BGEN_NAME[] = "tz1";

constexpr bgen_header tz_bgen_header_values = {TZ_BGEN_NAME, 0, 1, -1, {}};

bool tz_is_ts_item(const sysdb_item *record) {
    return record->name != nullptr && strcmp(record->name, TZ_TS_ITEM) == 0;
}

bool tz_is_deletion(const sysdb_item *record) {
    return (record->flags & SYSDB_ITEM_DELETE) != 0;
}

}  // namespace

// Descriptor headers: both descriptors carry the same values.
constexpr bgen_header tz_command_bgen_header = tz_bgen_header_values;
constexpr bgen_header tz_srp_notify_bgen_header = tz_bgen_header_values;

// Handler tables: a leading word of 5, then slots; check at 16, apply at 24, notify at 40.
constexpr bgen_handlers tz_command_bgen_handlers = {
    5, nullptr, tz_command_check_handler, tz_command_apply_handler, nullptr, nullptr, {}};
constexpr bgen_handlers tz_srp_notify_bgen_handlers = {
    5, nullptr, nullptr, nullptr, nullptr, tz_srp_notify_handler, {}};

namespace {

constexpr bgen_data tz_command_bgen_values = {&tz_command_bgen_header, &tz_command_bgen_handlers, 1,
                                              0};
constexpr bgen_data tz_srp_notify_bgen_values = {&tz_srp_notify_bgen_header,
                                                 &tz_srp_notify_bgen_handlers, 1, 0};

constexpr bool tz_all_zero(const uint8_t *bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

constexpr bool tz_no_extra_slots(const bgen_handlers &table) {
    for (const void *slot : table.slots) {
        if (slot != nullptr) {
            return false;
        }
    }
    return table.slot0 == nullptr && table.slot3 == nullptr;
}

}  // namespace

// The library reads these values; pin them.
static_assert(tz_bgen_header_values.reserved8 == 0 && tz_bgen_header_values.version == 1);
static_assert(tz_bgen_header_values.mask == -1);
static_assert(tz_all_zero(tz_bgen_header_values.reserved, sizeof tz_bgen_header_values.reserved));
static_assert(tz_command_bgen_handlers.count == 5 && tz_srp_notify_bgen_handlers.count == 5);
static_assert(tz_command_bgen_handlers.check == tz_command_check_handler);
static_assert(tz_command_bgen_handlers.apply == tz_command_apply_handler);
static_assert(tz_command_bgen_handlers.notify == nullptr);
static_assert(tz_srp_notify_bgen_handlers.check == nullptr);
static_assert(tz_srp_notify_bgen_handlers.apply == nullptr);
static_assert(tz_srp_notify_bgen_handlers.notify == tz_srp_notify_handler);
static_assert(tz_no_extra_slots(tz_command_bgen_handlers));
static_assert(tz_no_extra_slots(tz_srp_notify_bgen_handlers));
static_assert(tz_command_bgen_values.one == 1 && tz_command_bgen_values.zero == 0);
static_assert(tz_srp_notify_bgen_values.one == 1 && tz_srp_notify_bgen_values.zero == 0);

// The descriptors themselves are handed out by address and may be written by the library.
bgen_data tz_command_bgen_data = tz_command_bgen_values;
bgen_data tz_srp_notify_bgen_data = tz_srp_notify_bgen_values;

int32_t tz_verify_func(sysdb_item *record, void *second, uint32_t *accept, void *fourth) {
    if (tz_is_ts_item(record)) {
        *accept = 1;
        return 0;
    }
    // Removing the time zone is always allowed; the value is not looked at.
    if (tz_is_deletion(record)) {
        *accept = 1;
        return 0;
    }
    return backend_verifyonly(&tz_command_bgen_data, record, second, accept, fourth);
}

int32_t tz_apply_func(sysdb_item *record, void *second) {
    if (tz_is_ts_item(record)) {
        return 0;
    }
    return backend_apply(&tz_command_bgen_data, record, second);
}

int32_t tz_notification_func(sysdb_item *first, void *second) {
    return backend_notify(&tz_srp_notify_bgen_data, first, second);
}

int32_t tz_command_check_handler(sysdb_item *record, char **error_text, uint32_t *accept) {
    *accept = 0;
    char *abbreviation = nullptr;
    char *zone = nullptr;
    int rc = tuple_unpack(record->value, TZ_TUPLE_FORMAT, &abbreviation, &zone);
    if (rc < 0 || abbreviation == nullptr) {
        if (error_text != nullptr) {
            *error_text = strdup(TZ_UNPACK_ERROR);
        }
        free(abbreviation);
        free(zone);
        return -1;
    }
    if (zone == nullptr) {
        free(abbreviation);
        return -1;
    }
    int32_t status = -1;
    if (check_tz_args(abbreviation, zone) != 0) {
        *accept = 1;
        status = 0;
    }
    free(abbreviation);
    free(zone);
    return status;
}

int32_t tz_command_apply_handler(sysdb_item *record) {
    if (tz_is_deletion(record)) {
        return act_conf(nullptr);
    }
    char *abbreviation = nullptr;
    char *zone = nullptr;
    int rc = tuple_unpack(record->value, TZ_TUPLE_FORMAT, &abbreviation, &zone);
    if (rc < 0 || abbreviation == nullptr) {
        free(abbreviation);
        free(zone);
        return -1;
    }
    // The abbreviation only serves the check; the setter takes the zone string over.
    free(abbreviation);
    return act_conf(zone);
}

int32_t tz_srp_notify_handler(sysdb_item *first, void *second, void *third) {
    return tz_lib_srp_notify(first, second, third, lr_sysdb_conn, tz_notif_handle, 1);
}

namespace {

// Loads ZONE as the process's time zone. Callers hold tz_env_mutex.
void tz_load_zone(const char *zone) {
    setenv("TZ", zone, 1);
    tzset();
}

// Builds ROOT "/" ZONE in PATH, the root being $TZDIR less one trailing '/', or the default
// tree. False when the path with its terminator does not fit. Callers hold tz_env_mutex, since
// other threads set TZ in the same environment.
bool tz_build_zone_path(char (&path)[TZ_PATH_BUF_SIZE], const char *zone) {
    const char *root = getenv("TZDIR");
    if (root == nullptr) {
        root = TZ_DEFAULT_ZONEINFO;
    }
    size_t root_len = strnlen(root, TZ_PATH_BUF_SIZE);
    if (root_len > 0 && root_len < TZ_PATH_BUF_SIZE && root[root_len - 1] == '/') {
        --root_len;
    }
    size_t zone_len = strnlen(zone, TZ_PATH_BUF_SIZE);
    if (root_len + 1 + zone_len + 1 > TZ_PATH_BUF_SIZE) {
        return false;
    }
    memcpy(path, root, root_len);
    path[root_len] = '/';
    memcpy(path + root_len + 1, zone, zone_len);
    path[root_len + 1 + zone_len] = '\0';
    return true;
}

}  // namespace

int32_t check_tz_args(const char *abbreviation, const char *zone) {
    static const char fn[] = "check_tz_args";
    std::lock_guard lock(tz_env_mutex);

    char path[TZ_PATH_BUF_SIZE];
    if (!tz_build_zone_path(path, zone)) {
        vk_syslog(3, "%s,Zone path for %s exceeds %d bytes", fn, zone, TZ_PATH_BUF_SIZE);
        return 0;
    }
    // A link is judged by itself, not by what it points to.
    struct stat st;
    if (lstat(path, &st) != 0) {
        vk_syslog(3, "%s,Failed to lstat() %s\n ", fn, path);
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        vk_syslog(3, "%s, Argument is not a binary", fn);
        return 0;
    }

    // TZ takes the zone as configured; the C library finds it below its own root.
    tz_load_zone(zone);
    const char *standard = tzname[0];
    if (standard == nullptr) {
        tz_load_zone("");
        vk_syslog(3, "%s,TZ check Failed", fn);
        return 0;
    }
    if (strcmp(standard, abbreviation) != 0) {
        vk_syslog(4, "Warning:Incorrect timezone prefix \"%s\",using preifx \"%s\" for \"%s\"",
                  abbreviation, standard, zone);
    }
    tz_load_zone("");
    return 1;
}

int32_t act_conf(char *zone) {
    return conf_set_timezone_string(zone, 0) != 0 ? 0 : -1;
}
