// The time-zone setter on arbitrary names: the name check against an independent reading of the
// rule, and set_zone_link into a private zoneinfo tree made once per process. The tree's only
// zone files are the ones made here, so the names that may succeed are known exactly; every
// failure must leave the link as it was, and nothing but the link and its record may change.
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "platform/timezone.h"

namespace fs = std::filesystem;

namespace {

// The spelling rule, read independently of the setter: at most 255 bytes, non-empty components
// of letters, digits, '_', '-', '+' separated by single '/' (so no "." or ".." component either).
bool spelled_ok(std::string_view name) {
    static const std::regex rule("[A-Za-z0-9_+-]+(/[A-Za-z0-9_+-]+)*");
    return name.size() <= platform::ZONE_NAME_MAX &&
           std::regex_match(name.begin(), name.end(), rule);
}

// Names that reach a zone file of the tree below; "Link" is a link to Europe/Paris inside it.
const std::set<std::string> good_names = {"UTC",  "Europe/Paris", "Etc/GMT+1",
                                          "Link", "Dir/Zone",     "America/Argentina/Buenos_Aires"};

struct Tree {
    fs::path base, root, etc, link;  // a private temporary directory, its zoneinfo, etc, localtime
    std::string real_root;
    // Every directory except etc, with its modification time when the tree was made: an entry
    // created, renamed or removed in one of them changes it.
    std::map<fs::path, timespec> dir_times;
};

fs::path made;  // the tree's directory, removed at exit

void write_file(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

timespec mtime_of(const fs::path &dir) {
    struct stat st {};
    FUZZ_CHECK(lstat(dir.c_str(), &st) == 0);
    return st.st_mtim;
}

// Made on the first call and removed when the process exits normally (fuzz/run.sh also gives each
// run a TMPDIR of its own, for the runs that end in a crash).
Tree make_tree() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tzfuzz.XXXXXX";
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    fs::path base = pattern;
    Tree t{base, base / "zoneinfo", base / "etc", base / "etc" / "localtime", {}, {}};
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
    for (auto [name, target] : {std::pair{"Link", fs::path("Europe/Paris")},
                                {"Escape", "../outside/Zone"},
                                {"Absolute", t.base / "outside" / "Zone"},
                                {"Loop", "Loop"},
                                {"Dangling", "Missing"}})
        fs::create_symlink(target, t.root / name);
    fs::create_directories(t.etc);
    t.real_root = fs::canonical(t.root).string();
    t.dir_times[t.base] = mtime_of(t.base);
    for (auto &e : fs::recursive_directory_iterator(t.base))
        if (!e.is_symlink() && e.is_directory() && e.path() != t.etc)
            t.dir_times[e.path()] = mtime_of(e.path());
    made = t.base;
    atexit([] {
        std::error_code ec;
        fs::remove_all(made, ec);
    });
    return t;
}

// The link's target and the recorded zone, or empty texts when absent.
std::pair<std::string, std::string> link_state(const Tree &t) {
    std::error_code ec;
    std::ifstream in(platform::zone_record_path(t.link.string()), std::ios::binary);
    return {fs::read_symlink(t.link, ec).string(), {std::istreambuf_iterator<char>(in), {}}};
}

void check_nothing_else_changed(const Tree &t) {
    for (const auto &[dir, when] : t.dir_times) {
        timespec now = mtime_of(dir);
        FUZZ_CHECK(now.tv_sec == when.tv_sec && now.tv_nsec == when.tv_nsec);
    }
    // The link's directory holds the link and its record at most: no temporary left behind.
    const std::string record = platform::zone_record_path("localtime");
    for (auto &e : fs::directory_iterator(t.etc)) {
        std::string name = e.path().filename();
        FUZZ_CHECK(name == "localtime" || name == record || name == ".localtime.lock");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    FUZZ_CHECK(platform::zone_name_problem(text).empty() == spelled_ok(text));

    static const Tree t = make_tree();
    auto before = link_state(t);
    std::string error;
    if (size == 0) {
        // The empty input stands for clearing the zone.
        FUZZ_CHECK(platform::set_zone_link(t.root.string(), t.link.string(), nullptr, error));
        FUZZ_CHECK(link_state(t) == decltype(before){});
    } else {
        // The setter takes a C string: the name is what comes before any NUL.
        std::string name(text.substr(0, text.find('\0')));
        bool ok = platform::set_zone_link(t.root.string(), t.link.string(), name.c_str(), error);
        FUZZ_CHECK(ok == (good_names.count(name) == 1));
        FUZZ_CHECK(error.empty() == ok);
        if (ok) {
            // The link points at the file itself, every link on the way resolved, in the tree.
            auto [target, record] = link_state(t);
            FUZZ_CHECK(target == fs::canonical(t.real_root + "/" + name).string());
            FUZZ_CHECK(record == name + "\n");
            FUZZ_CHECK(platform::recorded_zone(t.link.string()) == name);
            FUZZ_CHECK(fs::canonical(t.link).string().rfind(t.real_root + "/", 0) == 0);
        } else {
            FUZZ_CHECK(link_state(t) == before);
        }
    }
    check_nothing_else_changed(t);
    return 0;
}
