// Helpers for the catalogue tests: readable snapshots of the two tables, a reset so that a test
// starts from an empty catalogue, zoneinfo trees built in a temporary directory, and a zone's
// abbreviation and standard offset read straight from the C library.
#pragma once

#include <stdint.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tz_config.h"

namespace cat {

struct Group {
    int32_t hours;
    int32_t minutes;
    std::vector<std::string> locations;
    bool operator==(const Group &) const = default;
};

struct Zone {
    std::string name;
    int32_t bucket;
    std::vector<Group> groups;
    bool operator==(const Zone &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Group &g);
std::ostream &operator<<(std::ostream &os, const Zone &z);

// Every record of the abbreviation table, in bucket order and chain order within a bucket.
std::vector<Zone> zones();
// The record of ABBREVIATION, if the table holds one.
std::optional<Zone> zone(const std::string &abbreviation);

struct LocEntry {
    std::string location;
    std::string abbreviation;
    bool operator==(const LocEntry &) const = default;
};
// One bucket of the location hash, head first.
std::vector<LocEntry> loc_bucket(int32_t bucket);
size_t loc_entry_count();

bool catalogue_empty();
// Frees both tables and zeroes them.
void reset_catalogue();

// Abbreviation and standard offset of the zone TZ as the C library reports them.
struct LibcZone {
    std::string abbreviation;
    int32_t hours;
    int32_t minutes;
};
LibcZone libc_zone(const std::string &tz);

// Sets or unsets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

// A zoneinfo tree in a fresh temporary directory, removed again at the end.
class TempTree {
  public:
    TempTree();
    ~TempTree();
    TempTree(const TempTree &) = delete;
    TempTree &operator=(const TempTree &) = delete;

    const std::filesystem::path &root() const { return root_; }
    // Copies the system's zone file SOURCE (e.g. "Europe/Paris") to REL below the root.
    void add_zone(const std::string &rel, const std::string &source);
    void add_dir(const std::string &rel);
    void add_symlink(const std::string &rel, const std::filesystem::path &target);

  private:
    std::filesystem::path root_;
};

}  // namespace cat
