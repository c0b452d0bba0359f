// The zone catalogue on arbitrary texts. The input is a list of records, one a line:
// "abbreviation|location|hours|minutes" (missing fields are empty, numbers that do not parse are
// 0). Each record goes through set_table_entry; after each, the location hash must give back the
// abbreviation and the abbreviation's group must hold the location, as a shadow count of the
// inserts predicts; after the whole input both tables are freed again.
#include <stdint.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "catalogue_tables.h"
#include "fuzz_check.h"
#include "tz_config.h"

namespace {

// Records per input: enough for a full group (50 locations) and some chaining.
constexpr size_t MAX_RECORDS = 256;

struct Record {
    std::string abbreviation;
    std::string location;
    int32_t hours = 0;
    int32_t minutes = 0;
};

int32_t number(std::string_view text) {
    int32_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

// The C text a field becomes: what comes before any NUL.
std::string c_text(std::string_view field) {
    return std::string(field.substr(0, field.find('\0')));
}

// Up to MAX pieces of TEXT between SEPs (an empty TEXT has none).
std::vector<std::string_view> split(std::string_view text, char sep, size_t max = SIZE_MAX) {
    std::vector<std::string_view> out;
    for (size_t at = 0; at < text.size() && out.size() < max;) {
        size_t end = std::min(text.find(sep, at), text.size());
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

std::vector<Record> parse(std::string_view input) {
    std::vector<Record> out;
    for (std::string_view line : split(input, '\n', MAX_RECORDS)) {
        auto f = split(line, '|', 4);
        f.resize(4);
        out.push_back({c_text(f[0]), c_text(f[1]), number(f[2]), number(f[3])});
    }
    return out;
}

tz_offset_entry *find_group(tz_zone_entry *zone, int32_t hours, int32_t minutes) {
    for (tz_offset_entry *g = zone->offset_list; g != nullptr; g = g->next)
        if (g->hours == hours && g->minutes == minutes)
            return g;
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    std::map<std::tuple<std::string, int32_t, int32_t>, size_t> inserts;

    for (const Record &r : parse(input)) {
        const char *a = r.abbreviation.c_str();
        const char *l = r.location.c_str();
        int32_t bucket = tz_hash_func(a);
        FUZZ_CHECK(bucket >= -(TZ_HASH_SIZE - 1) && bucket < TZ_HASH_SIZE);
        int32_t loc_bucket = tz_loc_hash_func(l);
        FUZZ_CHECK(loc_bucket >= 0 && loc_bucket < TZ_LOC_HASH_SIZE);

        set_table_entry(a, l, r.hours, r.minutes);
        if (r.abbreviation.size() > TZ_ZONE_NAME_MAX) {
            FUZZ_CHECK(find_zone(r.abbreviation) == nullptr);
            continue;
        }

        // The newest entry of a location heads its bucket, so a lookup finds it, unless the
        // location was too long for the entry's field.
        const char *found = tz_lookup_location(l);
        if (r.location.size() >= TZ_LOC_NAME_BOUND) {
            FUZZ_CHECK(found == nullptr);
        } else {
            FUZZ_CHECK(found != nullptr);
            const std::string kept = r.abbreviation.size() < TZ_ABBREV_BOUND ? r.abbreviation : "";
            FUZZ_CHECK(kept == found);
        }

        size_t count = ++inserts[{r.abbreviation, r.hours, r.minutes}];
        tz_zone_entry *zone = find_zone(r.abbreviation);
        if (bucket < 0) {
            FUZZ_CHECK(zone == nullptr);
            continue;
        }
        FUZZ_CHECK(zone != nullptr);
        tz_offset_entry *group = find_group(zone, r.hours, r.minutes);
        FUZZ_CHECK(group != nullptr);
        if (count <= TZ_MAX_LOC) {
            FUZZ_CHECK(size_t(group->loc_count) == count);
            FUZZ_CHECK(r.location == group->locations[count - 1]);
        } else {
            FUZZ_CHECK(group->loc_count == TZ_MAX_LOC);
        }
    }

    free_catalogue();
    return 0;
}
