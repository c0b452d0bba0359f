// The zone catalogue: the abbreviation table, the location hash, and the walk of the zoneinfo
// tree that fills them.
#include "tz_config.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "platform_log.h"

// A location-hash entry that cannot be allocated stops the process through an assertion, in
// every build type: keep the check even where NDEBUG is set.
#undef NDEBUG
#include <assert.h>

static_assert(sizeof(tz_zone_entry) == 32);
static_assert(offsetof(tz_zone_entry, in_use) == 12);
static_assert(offsetof(tz_zone_entry, offset_list) == 16);
static_assert(offsetof(tz_zone_entry, next) == 24);
static_assert(sizeof(tz_offset_entry) == 424);
static_assert(offsetof(tz_offset_entry, loc_count) == 8);
static_assert(offsetof(tz_offset_entry, locations) == 16);
static_assert(offsetof(tz_offset_entry, next) == 416);
static_assert(sizeof(tz_loc_hash_entry) == 80);
static_assert(offsetof(tz_loc_hash_entry, abbreviation) == 61);
static_assert(offsetof(tz_loc_hash_entry, next) == 72);

tz_zone_entry tz_hash_table[TZ_HASH_SIZE];
tz_loc_hash_entry *tz_loc_hash_list[TZ_LOC_HASH_SIZE];

const int32_t prime_list[11] = {23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67};

const int32_t prime_list_loc_hash[61] = {
    23,  29,  31,  37,  41,  43,  47,  53,  59,  61,  67,  71,  73,  79,  83,  89,
    97,  101, 103, 107, 109, 113, 127, 131, 137, 139, 149, 151, 157, 163, 167, 173,
    179, 181, 191, 193, 197, 199, 211, 223, 227, 229, 233, 239, 241, 251, 257, 263,
    269, 271, 277, 281, 283, 293, 307, 311, 313, 317, 331, 337, 347};

char package_path[TZ_PACKAGE_PATH_SIZE];

std::mutex tz_env_mutex;

namespace {

constexpr size_t PRIME_COUNT = sizeof(prime_list) / sizeof(prime_list[0]);
constexpr size_t LOC_PRIME_COUNT = sizeof(prime_list_loc_hash) / sizeof(prime_list_loc_hash[0]);

// Path buffers of the walk: 255 characters and the terminator.
constexpr size_t TZ_PATH_SIZE = 256;

// Top-level entries of the zoneinfo tree that are not zones (or are copies of the whole tree).
const char *const tz_skip_names[] = {"posix",       "right",    "Factory",
                                     "iso3166.tab", "zone.tab", "posixrules"};

bool tz_skipped_top_level(const char *name) {
    for (const char *skip : tz_skip_names) {
        if (strcmp(name, skip) == 0) {
            return true;
        }
    }
    return false;
}

const char *tz_errno_text(int err, char *buf, size_t size) {
    return strerror_r(err, buf, size);
}

char *tz_copy_location(const char *location) {
    size_t len = strlen(location);
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy != nullptr) {
        memcpy(copy, location, len + 1);
    }
    return copy;
}

void tz_set_name(tz_zone_entry *entry, const char *abbreviation) {
    strncpy(entry->name, abbreviation, sizeof entry->name);
    entry->name[sizeof entry->name - 1] = '\0';
}

}  // namespace

#ifndef __STDC_LIB_EXT1__
int strcpy_s(char *dest, size_t bound, const char *src) {
    if (dest == nullptr || bound == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    size_t len = strnlen(src, bound);
    if (len >= bound) {
        dest[0] = '\0';
        return ERANGE;
    }
    memcpy(dest, src, len + 1);
    return 0;
}
#endif

// Characters past the end of the prime list reuse its last prime, so every character counts and
// no prime is read from outside the list.
int32_t tz_hash_func(const char *abbreviation) {
    uint32_t h = 1;
    if (abbreviation != nullptr) {
        for (size_t i = 0; abbreviation[i] != '\0'; ++i) {
            uint32_t prime =
                static_cast<uint32_t>(prime_list[i < PRIME_COUNT ? i : PRIME_COUNT - 1]);
            int32_t v = static_cast<signed char>(abbreviation[i]);
            h = h * prime + static_cast<uint32_t>(v);
        }
    }
    return static_cast<int32_t>(h) % TZ_HASH_SIZE;
}

int32_t tz_loc_hash_func(const char *location) {
    uint64_t h = 1;
    if (location != nullptr) {
        for (size_t i = 0; location[i] != '\0'; ++i) {
            uint64_t prime = static_cast<uint64_t>(
                prime_list_loc_hash[i < LOC_PRIME_COUNT ? i : LOC_PRIME_COUNT - 1]);
            int64_t v = static_cast<signed char>(location[i]);
            h = h * prime + static_cast<uint64_t>(v);
        }
    }
    return static_cast<int32_t>(h % TZ_LOC_HASH_SIZE);
}

void alloc_offset_entry(tz_offset_entry **slot, int32_t hours, int32_t minutes,
                        const char *location) {
    tz_offset_entry *entry = static_cast<tz_offset_entry *>(calloc(1, sizeof(tz_offset_entry)));
    if (entry == nullptr) {
        vk_syslog(3, "%s,Malloc Failed Exiting", __func__);
        exit(1);
    }
    *slot = entry;
    entry->loc_count = 1;
    entry->hours = hours;
    entry->minutes = minutes;
    entry->next = nullptr;
    entry->locations[0] = tz_copy_location(location);
    if (entry->locations[0] == nullptr) {
        vk_syslog(3, "%s,Malloc Failed Exiting", __func__);
        exit(1);
    }
}

void tz_add_to_location_hash(const char *location, const char *abbreviation) {
    int32_t i = tz_loc_hash_func(location);
    tz_loc_hash_entry *loc_hash_entry =
        static_cast<tz_loc_hash_entry *>(calloc(1, sizeof(tz_loc_hash_entry)));
    assert(loc_hash_entry != ((void *)0));
    // A text too long for its field leaves the field empty; such an entry is never found.
    strcpy_s(loc_hash_entry->location, TZ_LOC_NAME_BOUND, location);
    strcpy_s(loc_hash_entry->abbreviation, TZ_ABBREV_BOUND, abbreviation);
    loc_hash_entry->next = tz_loc_hash_list[i];
    tz_loc_hash_list[i] = loc_hash_entry;
}

const char *tz_lookup_location(const char *location) {
    int32_t i = tz_loc_hash_func(location);
    for (tz_loc_hash_entry *entry = tz_loc_hash_list[i]; entry != nullptr; entry = entry->next) {
        if (strcmp(entry->location, location) == 0) {
            return entry->abbreviation;
        }
    }
    return nullptr;
}

void set_table_entry(const char *abbreviation, const char *location, int32_t hours,
                     int32_t minutes) {
    if (abbreviation == nullptr || location == nullptr) {
        vk_syslog(3, "%s,NULL arguments provided", __func__);
        return;
    }
    if (strlen(abbreviation) > TZ_ZONE_NAME_MAX) {
        vk_syslog(3, "%s,Zone name limit exceeded %s loc %s", __func__, abbreviation, location);
        return;
    }

    tz_add_to_location_hash(location, abbreviation);

    int32_t bucket = tz_hash_func(abbreviation);
    // Some abbreviations of six or more characters hash below zero. The table has no bucket for
    // them: they are left out of the abbreviation table (the location hash keeps the location),
    // and the readers treat a negative index as an abbreviation that is not there.
    if (bucket < 0) {
        vk_syslog(3, "%s,Zone name hash out of range %s loc %s", __func__, abbreviation, location);
        return;
    }

    tz_zone_entry *head = &tz_hash_table[bucket];
    if (head->in_use == 0) {
        head->in_use = 1;
        tz_set_name(head, abbreviation);
        head->next = nullptr;
        alloc_offset_entry(&head->offset_list, hours, minutes, location);
        return;
    }

    tz_zone_entry *zone = head;
    tz_zone_entry *last = head;
    for (; zone != nullptr; zone = zone->next) {
        if (strcmp(zone->name, abbreviation) == 0) {
            break;
        }
        last = zone;
    }
    if (zone == nullptr) {
        zone = static_cast<tz_zone_entry *>(calloc(1, sizeof(tz_zone_entry)));
        if (zone == nullptr) {
            vk_syslog(3, "%s,Malloc Failed, Exiting", __func__);
            exit(1);
        }
        last->next = zone;
        zone->in_use = 1;
        tz_set_name(zone, abbreviation);
        zone->next = nullptr;
        alloc_offset_entry(&zone->offset_list, hours, minutes, location);
        return;
    }

    if (zone->offset_list == nullptr) {
        vk_syslog(3, "%s,Error occurred in table creation,Location Pointer NULL", __func__);
        exit(1);
    }

    tz_offset_entry *group = zone->offset_list;
    tz_offset_entry *last_group = group;
    for (; group != nullptr; group = group->next) {
        if (group->hours == hours && group->minutes == minutes) {
            break;
        }
        last_group = group;
    }
    if (group == nullptr) {
        alloc_offset_entry(&last_group->next, hours, minutes, location);
        return;
    }

    if (group->loc_count == TZ_MAX_LOC) {
        vk_syslog(3, "%s,Max loc limit crossed", __func__);
        return;
    }
    int32_t slot = group->loc_count++;
    group->locations[slot] = tz_copy_location(location);
    if (group->locations[slot] == nullptr) {
        vk_syslog(3, "%s,Malloc Failed, Exiting", __func__);
        exit(1);
    }
}

// Walks one directory of the zoneinfo tree. RELATIVE_DIR is its path below the root (empty for
// the root, level 0). Every entry that is not a real directory is taken as a zone. The caller
// holds tz_env_mutex.
void traverse(const char *relative_dir, int32_t level) {
    if (relative_dir == nullptr) {
        vk_syslog(3, "%s,Error in table creation", __func__);
        exit(1);
    }

    // Paths are limited to 255 characters; a directory or entry whose path would be longer is
    // left out with a log line rather than cut.
    char dir_path[TZ_PATH_SIZE];
    int n = level == 0 ? snprintf(dir_path, sizeof dir_path, "%s", package_path)
                       : snprintf(dir_path, sizeof dir_path, "%s/%s", package_path, relative_dir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof dir_path) {
        vk_syslog(3, "%s,Path too long, skipped %s/%s", __func__, package_path, relative_dir);
        return;
    }

    DIR *dir = opendir(dir_path);
    if (dir == nullptr) {
        int err = errno;
        vk_syslog(3, "%s,Unable to open directory\n%s,errno=0x%x", __func__, relative_dir, err);
        return;
    }

    char entry_path[TZ_PATH_SIZE];
    struct dirent *ent;
    while ((ent = readdir(dir)) != nullptr) {
        const char *name = ent->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            continue;
        }
        if (level == 0 && tz_skipped_top_level(name)) {
            continue;
        }

        n = snprintf(entry_path, sizeof entry_path, "%s/%s", dir_path, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof entry_path) {
            vk_syslog(3, "%s,Path too long, skipped %s/%s", __func__, dir_path, name);
            continue;
        }
        struct stat st;
        if (lstat(entry_path, &st) != 0) {
            char errbuf[128];
            vk_syslog(3, "%s,Failed to lstat() %s\n , errno = %s ", __func__, entry_path,
                      tz_errno_text(errno, errbuf, sizeof errbuf));
            continue;
        }

        // From here on the buffer holds the entry's path below the root, which is never longer
        // than its full path.
        n = level == 0 ? snprintf(entry_path, sizeof entry_path, "%s", name)
                       : snprintf(entry_path, sizeof entry_path, "%s/%s", relative_dir, name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof entry_path) {
            vk_syslog(3, "%s,Path too long, skipped %s/%s", __func__, relative_dir, name);
            continue;
        }

        if (S_ISDIR(st.st_mode)) {
            traverse(entry_path, level + 1);
            continue;
        }

        setenv("TZ", entry_path, 1);
        tzset();
        // Standard offset: gmtime's broken-down time has no daylight flag, so mktime reads it as
        // the zone's standard time.
        time_t now = time(nullptr);
        struct tm utc_tm;
        struct tm local_tm;
        gmtime_r(&now, &utc_tm);
        time_t a = mktime(&utc_tm);
        localtime_r(&now, &local_tm);
        time_t b = mktime(&local_tm);
        int64_t seconds = static_cast<int64_t>(difftime(b, a));
        int64_t total_minutes = seconds / 60;
        int32_t hours = static_cast<int32_t>(total_minutes / 60);
        int32_t minutes = static_cast<int32_t>(llabs(total_minutes % 60));
        set_table_entry(tzname[0], entry_path, hours, minutes);
    }
    closedir(dir);
}

int32_t tz_table_init(void) {
    const char *tzdir = getenv("TZDIR");
    if (tzdir != nullptr) {
        size_t len = strlen(tzdir);
        if (len > 0 && tzdir[len - 1] == '/') {
            --len;
        }
        // A root that does not fit the 254 characters of package_path is treated as missing.
        if (len >= TZ_PACKAGE_PATH_SIZE) {
            vk_syslog(3, "Zoneinfo package path too long\n :%s", tzdir);
            return 0;
        }
        memcpy(package_path, tzdir, len);
        package_path[len] = '\0';
    } else {
        strcpy_s(package_path, sizeof package_path, TZ_DEFAULT_ZONEINFO);
    }

    DIR *root = opendir(package_path);
    if (root == nullptr) {
        char errbuf[128];
        vk_syslog(3, "Zoneinfo package is not available\n :%s",
                  tz_errno_text(errno, errbuf, sizeof errbuf));
        return 0;
    }
    closedir(root);

    // The whole walk, down to the final reset of TZ, is one use of the process's time-zone state.
    std::lock_guard lock(tz_env_mutex);
    traverse("", 0);
    setenv("TZ", "", 1);
    tzset();
    return 1;
}
