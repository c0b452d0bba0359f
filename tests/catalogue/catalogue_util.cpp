#include "catalogue_util.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <stdexcept>

namespace fs = std::filesystem;

namespace cat {

std::ostream &operator<<(std::ostream &os, const Group &g) {
    os << "(" << g.hours << "," << g.minutes << ")[";
    for (size_t i = 0; i < g.locations.size(); ++i) {
        os << (i ? " " : "") << g.locations[i];
    }
    return os << "]";
}

std::ostream &operator<<(std::ostream &os, const Zone &z) {
    os << z.name << "@" << z.bucket << "{";
    for (auto &g : z.groups) {
        os << g;
    }
    return os << "}";
}

namespace {

Zone snapshot(const tz_zone_entry *e, int32_t bucket) {
    Zone z{e->name, bucket, {}};
    for (const tz_offset_entry *o = e->offset_list; o != nullptr; o = o->next) {
        Group g{o->hours, o->minutes, {}};
        for (int32_t i = 0; i < o->loc_count; ++i) {
            g.locations.emplace_back(o->locations[i]);
        }
        z.groups.push_back(std::move(g));
    }
    return z;
}

}  // namespace

std::vector<Zone> zones() {
    std::vector<Zone> out;
    for (int32_t b = 0; b < TZ_HASH_SIZE; ++b) {
        if (tz_hash_table[b].in_use == 0) {
            continue;
        }
        for (const tz_zone_entry *e = &tz_hash_table[b]; e != nullptr; e = e->next) {
            out.push_back(snapshot(e, b));
        }
    }
    return out;
}

std::optional<Zone> zone(const std::string &abbreviation) {
    for (auto &z : zones()) {
        if (z.name == abbreviation) {
            return z;
        }
    }
    return std::nullopt;
}

std::vector<LocEntry> loc_bucket(int32_t bucket) {
    std::vector<LocEntry> out;
    for (const tz_loc_hash_entry *e = tz_loc_hash_list[bucket]; e != nullptr; e = e->next) {
        out.push_back({e->location, e->abbreviation});
    }
    return out;
}

size_t loc_entry_count() {
    size_t n = 0;
    for (int32_t b = 0; b < TZ_LOC_HASH_SIZE; ++b) {
        n += loc_bucket(b).size();
    }
    return n;
}

bool catalogue_empty() {
    for (auto &head : tz_hash_table) {
        if (head.in_use != 0 || head.offset_list != nullptr || head.next != nullptr) {
            return false;
        }
    }
    for (auto *bucket : tz_loc_hash_list) {
        if (bucket != nullptr) {
            return false;
        }
    }
    return true;
}

namespace {

void free_groups(tz_offset_entry *o) {
    while (o != nullptr) {
        tz_offset_entry *next = o->next;
        for (int32_t i = 0; i < o->loc_count; ++i) {
            free(o->locations[i]);
        }
        free(o);
        o = next;
    }
}

}  // namespace

void reset_catalogue() {
    for (auto &head : tz_hash_table) {
        free_groups(head.offset_list);
        for (tz_zone_entry *e = head.next; e != nullptr;) {
            tz_zone_entry *next = e->next;
            free_groups(e->offset_list);
            free(e);
            e = next;
        }
        memset(&head, 0, sizeof head);
    }
    for (auto *&bucket : tz_loc_hash_list) {
        while (bucket != nullptr) {
            tz_loc_hash_entry *next = bucket->next;
            free(bucket);
            bucket = next;
        }
    }
}

LibcZone libc_zone(const std::string &tz) {
    std::lock_guard lock(tz_env_mutex);
    setenv("TZ", tz.c_str(), 1);
    tzset();
    LibcZone z{tzname[0] ? tzname[0] : "", 0, 0};
    time_t now = time(nullptr);
    time_t utc_as_local = mktime(gmtime(&now));
    time_t local = mktime(localtime(&now));
    long long seconds = static_cast<long long>(difftime(local, utc_as_local));
    long long total_minutes = seconds / 60;
    z.hours = static_cast<int32_t>(total_minutes / 60);
    z.minutes =
        static_cast<int32_t>(total_minutes % 60 < 0 ? -(total_minutes % 60) : total_minutes % 60);
    setenv("TZ", "", 1);
    tzset();
    return z;
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = getenv(name)) {
        saved_ = old;
    }
    if (value != nullptr) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (saved_) {
        setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

TempTree::TempTree() {
    std::string pattern = (fs::temp_directory_path() / "tzcat.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    root_ = pattern;
}

TempTree::~TempTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
}

void TempTree::add_zone(const std::string &rel, const std::string &source) {
    fs::path dest = root_ / rel;
    fs::create_directories(dest.parent_path());
    fs::copy_file(fs::path(TZ_DEFAULT_ZONEINFO) / source, dest);
}

void TempTree::add_dir(const std::string &rel) {
    fs::create_directories(root_ / rel);
}

void TempTree::add_symlink(const std::string &rel, const fs::path &target) {
    fs::path link = root_ / rel;
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

}  // namespace cat
