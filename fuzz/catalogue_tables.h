// The catalogue's tables as the checks of the fuzz targets and the unit tests walk them.
#pragma once

#include <stdlib.h>

#include <string>
#include <utility>

#include "tz_config.h"

// Frees both tables and zeroes them, so that what runs next starts from an empty catalogue.
inline void free_catalogue() {
    for (tz_zone_entry &head : tz_hash_table) {
        for (tz_zone_entry *z = &head; z && z->in_use;) {
            for (tz_offset_entry *g = z->offset_list; g;) {
                for (int32_t i = 0; i < g->loc_count; i++)
                    free(g->locations[i]);
                free(std::exchange(g, g->next));
            }
            tz_zone_entry *next = z->next;
            if (z != &head)
                free(z);
            z = next;
        }
        head = tz_zone_entry{};
    }
    for (tz_loc_hash_entry *&bucket : tz_loc_hash_list)
        while (bucket)
            free(std::exchange(bucket, bucket->next));
}

// The record of ABBREVIATION in the bucket it hashes to, or null.
inline tz_zone_entry *find_zone(const std::string &abbreviation) {
    int32_t bucket = tz_hash_func(abbreviation.c_str());
    if (bucket < 0 || tz_hash_table[bucket].in_use == 0)
        return nullptr;
    for (tz_zone_entry *e = &tz_hash_table[bucket]; e != nullptr; e = e->next)
        if (abbreviation == e->name)
            return e;
    return nullptr;
}
