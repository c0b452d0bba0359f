// The time-zone setter on arbitrary names: the name check against an independent reading of the
// rule, and set_zone_link into a private zoneinfo tree made once per process. The tree's only
// zone files are the ones made here, so the names that may succeed are known exactly; every
// failure must leave the link as it was, and nothing but the link and its record may change.
#include <dirent.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/timezone.h"

namespace fs = std::filesystem;

namespace {

// The spelling rule, read independently of the setter: non-empty, at most 255 bytes, non-empty
// components of letters, digits, '_', '-', '+' separated by single '/' (so no "." or ".."
// component either).
bool spelled_ok(std::string_view name) {
    if (name.empty() || name.size() > platform::ZONE_NAME_MAX)
        return false;
    size_t part = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '/') {
            if (part == 0)
                return false;
            part = 0;
            continue;
        }
        char c = name[i];
        bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '+';
        if (!allowed)
            return false;
        ++part;
    }
    return true;
}

// Names that reach a zone file of the tree below; "Link" is a link to Europe/Paris inside it.
const std::set<std::string> good_names = {"UTC",  "Europe/Paris", "Etc/GMT+1",
                                          "Link", "Dir/Zone",     "America/Argentina/Buenos_Aires"};

struct Tree {
    fs::path base;  // the private temporary directory; nothing outside it is touched
    fs::path root;  // base/zoneinfo
    fs::path etc;   // base/etc, the link's directory
    fs::path link;  // base/etc/localtime
    std::string real_root;
    // Every directory except etc, with its modification time when the tree was made: an entry
    // created, renamed or removed in one of them changes it.
    std::map<fs::path, timespec> dir_times;
};

void write_file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

timespec mtime_of(const fs::path &dir) {
    struct stat st {};
    FUZZ_CHECK(lstat(dir.c_str(), &st) == 0);
    return st.st_mtim;
}

Tree *made = nullptr;

void remove_tree() {
    std::error_code ec;
    fs::remove_all(made->base, ec);
}

// The tree, made on the first call and removed when the process exits normally (fuzz/run.sh
// also gives each run a TMPDIR of its own, for the runs that end in a crash).
const Tree &tree() {
    if (made)
        return *made;
    made = new Tree;
    Tree &t = *made;
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tzfuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    t.base = pattern;
    t.root = t.base / "zoneinfo";
    t.etc = t.base / "etc";
    t.link = t.etc / "localtime";
    // The smallest zone file a reader takes: one local time type, one abbreviation character.
    std::string tzif = std::string("TZif2") + std::string(15, '\0');
    for (char count : {0, 0, 0, 0, 1, 1})  // ut, std, leap, times, types, chars
        tzif += std::string{'\0', '\0', '\0', count};
    tzif += std::string(6, '\0') + "Z";
    for (const char *zone :
         {"UTC", "Europe/Paris", "Etc/GMT+1", "Dir/Zone", "America/Argentina/Buenos_Aires"})
        write_file(t.root / zone, tzif);
    write_file(t.root / "notzif", "not a zone file\n");
    write_file(t.root / "Empty", "");
    write_file(t.base / "outside" / "Zone", tzif);
    fs::create_symlink("Europe/Paris", t.root / "Link");
    fs::create_symlink("../outside/Zone", t.root / "Escape");
    fs::create_symlink(t.base / "outside" / "Zone", t.root / "Absolute");
    fs::create_symlink("Loop", t.root / "Loop");
    fs::create_symlink("Missing", t.root / "Dangling");
    fs::create_directories(t.etc);
    char buf[PATH_MAX];
    FUZZ_CHECK(realpath(t.root.c_str(), buf) != nullptr);
    t.real_root = buf;
    t.dir_times[t.base] = mtime_of(t.base);
    for (auto &e : fs::recursive_directory_iterator(t.base))
        if (!e.is_symlink() && e.is_directory() && e.path() != t.etc)
            t.dir_times[e.path()] = mtime_of(e.path());
    atexit(remove_tree);
    return t;
}

// The link's target and the recorded zone, or empty texts when absent.
struct LinkState {
    std::string target;
    std::string record;
    bool operator==(const LinkState &) const = default;
};

LinkState link_state(const Tree &t) {
    LinkState s;
    char buf[PATH_MAX];
    ssize_t n = readlink(t.link.c_str(), buf, sizeof buf);
    if (n > 0)
        s.target.assign(buf, size_t(n));
    std::ifstream in(platform::zone_record_path(t.link.string()), std::ios::binary);
    if (in)
        s.record.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return s;
}

void check_nothing_else_changed(const Tree &t) {
    for (const auto &[dir, when] : t.dir_times) {
        timespec now = mtime_of(dir);
        FUZZ_CHECK(now.tv_sec == when.tv_sec && now.tv_nsec == when.tv_nsec);
    }
    // The link's directory holds the link and its record at most: no temporary left behind.
    DIR *d = opendir(t.etc.c_str());
    FUZZ_CHECK(d != nullptr);
    const std::string record_name = platform::zone_record_path("localtime");
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        FUZZ_CHECK(name == "." || name == ".." || name == "localtime" || name == record_name ||
                   name == ".localtime.lock");
    }
    closedir(d);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    std::string problem = platform::zone_name_problem(text);
    FUZZ_CHECK(problem.empty() == spelled_ok(text));

    const Tree &t = tree();
    LinkState before = link_state(t);
    std::string error;
    bool ok;
    if (size == 0) {
        // The empty input stands for clearing the zone.
        ok = platform::set_zone_link(t.root.string(), t.link.string(), nullptr, error);
        FUZZ_CHECK(ok);
        FUZZ_CHECK(link_state(t) == LinkState{});
    } else {
        // The setter takes a C string: the name is what comes before any NUL.
        std::string name(text.substr(0, text.find('\0')));
        ok = platform::set_zone_link(t.root.string(), t.link.string(), name.c_str(), error);
        FUZZ_CHECK(ok == (good_names.count(name) == 1));
        if (ok) {
            FUZZ_CHECK(error.empty());
            LinkState after = link_state(t);
            // The link points at the file itself, every link on the way resolved.
            char real[PATH_MAX];
            FUZZ_CHECK(realpath((t.real_root + "/" + name).c_str(), real) != nullptr);
            FUZZ_CHECK(after.target == real);
            FUZZ_CHECK(after.record == name + "\n");
            FUZZ_CHECK(platform::recorded_zone(t.link.string()) == name);
            char buf[PATH_MAX];
            FUZZ_CHECK(realpath(t.link.c_str(), buf) != nullptr);
            FUZZ_CHECK(std::string(buf).rfind(t.real_root + "/", 0) == 0);
        } else {
            FUZZ_CHECK(!error.empty());
            FUZZ_CHECK(link_state(t) == before);
        }
    }
    check_nothing_else_changed(t);
    return 0;
}
