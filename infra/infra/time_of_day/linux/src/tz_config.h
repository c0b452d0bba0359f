// The zone catalogue (abbreviation table and location hash) and the zoneinfo scan that fills it.
#ifndef TZ_CONFIG_H
#define TZ_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#include <mutex>

#define TZ_HASH_SIZE 109
#define TZ_LOC_HASH_SIZE 599
#define TZ_MAX_LOC 50
#define TZ_ZONE_NAME_MAX 10
#define TZ_LOC_NAME_BOUND 60
#define TZ_ABBREV_BOUND 10
#define TZ_PACKAGE_PATH_SIZE 255
#define TZ_DEFAULT_ZONEINFO "/usr/share/zoneinfo"

struct tz_offset_entry {
    int32_t hours;
    int32_t minutes;
    int32_t loc_count;
    char *locations[TZ_MAX_LOC];
    tz_offset_entry *next;
};

struct tz_zone_entry {
    char name[TZ_ZONE_NAME_MAX + 1];
    int32_t in_use;
    tz_offset_entry *offset_list;
    tz_zone_entry *next;
};

struct tz_loc_hash_entry {
    char location[TZ_LOC_NAME_BOUND + 1];
    char abbreviation[TZ_ABBREV_BOUND + 1];
    tz_loc_hash_entry *next;
};

extern tz_zone_entry tz_hash_table[TZ_HASH_SIZE];
extern tz_loc_hash_entry *tz_loc_hash_list[TZ_LOC_HASH_SIZE];
extern const int32_t prime_list[11];
extern const int32_t prime_list_loc_hash[61];
extern char package_path[TZ_PACKAGE_PATH_SIZE];

// Serialises every sequence that sets TZ, calls tzset and reads tzname or localtime: the scan,
// the type-2 queries and the configuration check.
extern std::mutex tz_env_mutex;

int32_t tz_hash_func(const char *abbreviation);
int32_t tz_loc_hash_func(const char *location);
void set_table_entry(const char *abbreviation, const char *location, int32_t hours,
                     int32_t minutes);
void alloc_offset_entry(tz_offset_entry **slot, int32_t hours, int32_t minutes,
                        const char *location);
void tz_add_to_location_hash(const char *location, const char *abbreviation);
const char *tz_lookup_location(const char *location);

int32_t tz_table_init(void);
void traverse(const char *relative_dir, int32_t level);

// Bounded copy: a source shorter than BOUND is copied with its terminator; a longer one is
// refused and leaves DEST an empty text (returns non-zero).
#ifndef __STDC_LIB_EXT1__
int strcpy_s(char *dest, size_t bound, const char *src);
#endif

#endif
