// Hot paths of the zone catalogue, in process: both hashes, inserting, and location lookups on
// the catalogue built from this machine's zoneinfo tree.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "tz_config.h"

namespace {

// Builds the catalogue once for all lookups and lists every location it holds.
const std::vector<std::string> &built_locations() {
    static std::vector<std::string> locations = [] {
        tz_table_init();
        std::vector<std::string> out;
        for (auto *head : tz_loc_hash_list)
            for (auto *e = head; e; e = e->next)
                out.emplace_back(e->location);
        return out;
    }();
    return locations;
}

void BM_tz_hash_func(benchmark::State &state) {
    const char *texts[] = {"UTC", "CET", "GMT", "AEST", "ACWST"};
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(tz_hash_func(texts[i++ % 5]));
}
BENCHMARK(BM_tz_hash_func);

void BM_tz_loc_hash_func(benchmark::State &state) {
    const char *texts[] = {"UTC", "Europe/Paris", "America/New_York",
                           "America/Argentina/ComodRivadavia"};
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(tz_loc_hash_func(texts[i++ % 4]));
}
BENCHMARK(BM_tz_loc_hash_func);

void BM_tz_lookup_location(benchmark::State &state) {
    const auto &locs = built_locations();
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(tz_lookup_location(locs[i++ % locs.size()].c_str()));
    state.SetLabel(std::to_string(locs.size()) + " locations");
}
BENCHMARK(BM_tz_lookup_location);

void BM_tz_lookup_location_missing(benchmark::State &state) {
    built_locations();
    for (auto _ : state)
        benchmark::DoNotOptimize(tz_lookup_location("Nowhere/City"));
}
BENCHMARK(BM_tz_lookup_location_missing);

// Inserting grows the tables for good, so the run is one fixed batch: 64 new abbreviations, each
// filled to its 50-location limit, about the size of a real catalogue. The figure is per insert.
void BM_set_table_entry(benchmark::State &state) {
    char abbr[12];
    int n = 0;
    for (auto _ : state) {
        snprintf(abbr, sizeof abbr, "B%02d", n % 64);
        set_table_entry(abbr, "Bench/Location", 1, 0);
        ++n;
    }
}
BENCHMARK(BM_set_table_entry)->Iterations(64 * TZ_MAX_LOC);

}  // namespace
