// The time-zone setter: points the localtime link at a zone file below the zoneinfo root, the
// way a Linux system does, after checking the name and the file whatever reached it.
#include "platform/timezone.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/env.h"
#include "platform/log.h"
#include "platform_log.h"
#include "platform_sysdb.h"

namespace platform {
namespace {

std::string errno_text(int err) {
    return strerror(err);
}

std::string parent_dir(const std::string &path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string &path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool allowed_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '+';
}

// A temporary name beside FINAL, unique within this machine.
std::string temp_beside(const std::string &final_path) {
    static std::atomic<unsigned> counter{0};
    return parent_dir(final_path) + "/." + base_name(final_path) + "." + std::to_string(getpid()) +
           "." + std::to_string(counter++) + ".tmp";
}

bool write_file_synced(const std::string &path, const std::string &data, std::string &error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        error = path + ": " + errno_text(errno);
        return false;
    }
    bool ok = write(fd, data.data(), data.size()) == ssize_t(data.size()) && fsync(fd) == 0;
    if (!ok)
        error = path + ": " + errno_text(errno ? errno : EIO);
    if (close(fd) != 0 && ok) {
        error = path + ": " + errno_text(errno);
        ok = false;
    }
    if (!ok)
        unlink(path.c_str());
    return ok;
}

// Removes PATH; true when it is gone, also when it was never there.
bool remove_if_present(const std::string &path, std::string &error) {
    if (unlink(path.c_str()) == 0 || errno == ENOENT)
        return true;
    error = path + ": " + errno_text(errno);
    return false;
}

// How long a setter waits for another setter of the same link before it gives up.
constexpr int LOCK_WAIT_MS = 3000;

// The lock file beside LINK, by which setters in different processes take turns.
std::string lock_path(const std::string &link) {
    return parent_dir(link) + "/." + base_name(link) + ".lock";
}

// Holds the setters' lock of a link. The lock is a file of this uid that nobody else may open
// (a lock on anything another user can open, such as the link's directory, would let that user
// stop every setter), and it is taken without blocking, retried until a deadline, so even a
// setter of our own that hangs cannot hold the next one for good.
class SetterLock {
  public:
    explicit SetterLock(const std::string &link) {
        std::string path = lock_path(link);
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        struct stat st;
        if (fd_ < 0) {
            error_ = path + ": " + errno_text(errno);
            return;
        }
        if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
            (st.st_mode & 077)) {
            error_ = path + " is not a private file of uid " + std::to_string(geteuid()) +
                     "; not using it as the setters' lock";
            return;
        }
        for (int waited = 0; flock(fd_, LOCK_EX | LOCK_NB) != 0; waited += 10) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= LOCK_WAIT_MS) {
                error_ = path + " stayed locked by another setter for " +
                         std::to_string(LOCK_WAIT_MS) + " ms";
                return;
            }
            usleep(10000);
        }
        dir_fd_ = open(parent_dir(link).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    ~SetterLock() {
        for (int fd : {fd_, dir_fd_})
            if (fd >= 0)
                close(fd);
    }
    SetterLock(const SetterLock &) = delete;
    SetterLock &operator=(const SetterLock &) = delete;
    // Empty once held, else why not.
    const std::string &error() const { return error_; }
    // Makes the renames in the link's directory durable.
    void sync() const {
        if (dir_fd_ >= 0)
            fsync(dir_fd_);
    }

  private:
    int fd_ = -1;
    int dir_fd_ = -1;
    std::string error_;
};

uint32_t be32(const unsigned char *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// Why the open zone file FD of SIZE bytes is not one a reader of zone files would take, or "".
// Checks the first header and that the data it announces is there.
std::string tzif_problem(int fd, off_t size) {
    unsigned char h[44];
    if (pread(fd, h, sizeof h, 0) != ssize_t(sizeof h))
        return "is not a zone file (shorter than a TZif header)";
    if (memcmp(h, "TZif", 4) != 0)
        return "is not a zone file (no TZif magic)";
    if (h[4] != 0 && (h[4] < '2' || h[4] > '4'))
        return "is not a zone file (unknown TZif version)";
    uint32_t isut = be32(h + 20), isstd = be32(h + 24), leap = be32(h + 28), times = be32(h + 32),
             types = be32(h + 36), chars = be32(h + 40);
    if (types == 0 || types > 256 || chars == 0 || (isut != 0 && isut != types) ||
        (isstd != 0 && isstd != types) || times > (1u << 20) || leap > (1u << 20) ||
        chars > (1u << 20))
        return "is not a zone file (impossible counts in its TZif header)";
    uint64_t need = sizeof h + uint64_t(times) * 5 + uint64_t(types) * 6 + chars +
                    uint64_t(leap) * 8 + isstd + isut;
    if (uint64_t(size) < need)
        return "is not a zone file (shorter than its TZif header announces)";
    return std::string();
}

bool inside(const std::string &path, const std::string &root) {
    if (root == "/")
        return path.size() > 1 && path[0] == '/';
    return path.size() > root.size() + 1 && path.compare(0, root.size(), root) == 0 &&
           path[root.size()] == '/';
}

// The non-empty components of PATH, in order.
std::vector<std::string> components(const std::string &path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// PATH (absolute) with "." and ".." taken away by its text alone.
std::string lexical(const std::string &path) {
    std::vector<std::string> parts;
    for (auto &part : components(path)) {
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (part != ".") {
            parts.push_back(part);
        }
    }
    std::string out;
    for (auto &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

std::mutex setter_mu;

thread_local std::string last_error;

}  // namespace

const std::string &last_zone_error() {
    return last_error;
}

std::string zone_name_problem(std::string_view name) {
    if (name.empty())
        return "empty zone name";
    if (name.size() > ZONE_NAME_MAX)
        return "zone name longer than " + std::to_string(ZONE_NAME_MAX) + " bytes";
    if (name.front() == '/')
        return "absolute zone name";
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos)
            end = name.size();
        std::string_view part = name.substr(start, end - start);
        if (part.empty())
            return "empty component in zone name";
        if (part == "." || part == "..")
            return "\"" + std::string(part) + "\" component in zone name";
        for (char c : part)
            if (!allowed_char(c))
                return format("character 0x%02x not allowed in zone name", unsigned(uint8_t(c)));
        start = end + 1;
    }
    return std::string();
}

std::string zoneinfo_root() {
    const char *dir = getenv("TZDIR");
    return (dir && *dir) ? std::string(dir) : std::string("/usr/share/zoneinfo");
}

bool resolve_zone(const std::string &root, std::string_view name, std::string &target,
                  std::string &error, const std::string &link) {
    if (std::string why = zone_name_problem(name); !why.empty()) {
        error = why;
        return false;
    }
    char buf[PATH_MAX];
    if (!realpath(root.c_str(), buf)) {
        error = "zoneinfo root " + root + ": " + errno_text(errno);
        return false;
    }
    const std::string real_root = buf;
    const std::string candidate = (real_root == "/" ? "" : real_root) + "/" + std::string(name);
    // The link being replaced, as a path whose directories are resolved.
    std::string link_path;
    if (!link.empty() && realpath(parent_dir(link).c_str(), buf))
        link_path = (std::string(buf) == "/" ? "" : std::string(buf)) + "/" + base_name(link);

    // Walked one component at a time, so that every symbolic link on the way is seen: each must
    // stay inside the root and none may be the link being replaced (a zone reached through it
    // would make the new link point at itself).
    std::string real = real_root;
    std::vector<std::string> todo;  // components still to walk, the next one last
    auto push = [&todo](const std::string &path) {
        std::vector<std::string> parts = components(path);
        todo.insert(todo.end(), parts.rbegin(), parts.rend());
    };
    push(std::string(name));
    int links = 0;
    while (!todo.empty()) {
        std::string part = todo.back();
        todo.pop_back();
        if (part == ".")
            continue;
        if (part == "..") {
            real = parent_dir(real);
            continue;
        }
        std::string next = (real == "/" ? "" : real) + "/" + part;
        struct stat lst;
        if (lstat(next.c_str(), &lst) != 0) {
            error = candidate + ": " + errno_text(errno);
            return false;
        }
        if (!S_ISLNK(lst.st_mode)) {
            real = next;
            continue;
        }
        if (next == link_path) {
            error = candidate + " resolves through " + link + ", the link being replaced";
            return false;
        }
        if (++links > 40) {
            error = candidate + ": " + errno_text(ELOOP);
            return false;
        }
        ssize_t n = readlink(next.c_str(), buf, sizeof buf - 1);
        if (n < 0) {
            error = next + ": " + errno_text(errno);
            return false;
        }
        std::string to(buf, size_t(n));
        std::string whole = lexical(to[0] == '/' ? to : (real == "/" ? "" : real) + "/" + to);
        if (whole == link_path) {
            error = candidate + " resolves through " + link + ", the link being replaced";
            return false;
        }
        if (!inside(whole, real_root)) {
            error = candidate + " leads to " + whole + ", outside the zoneinfo root";
            return false;
        }
        if (to[0] == '/')
            real = "/";
        push(to);
    }
    if (!inside(real, real_root)) {
        error = candidate + " resolves to " + real + ", outside the zoneinfo root";
        return false;
    }
    // Non-blocking: a FIFO or a device in the tree must not hold the setter.
    int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        error = real + ": " + errno_text(errno);
        return false;
    }
    struct stat st {};
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string bad = regular ? tzif_problem(fd, st.st_size) : std::string();
    close(fd);
    if (!regular) {
        error = candidate + (S_ISDIR(st.st_mode) ? " is a directory" : " is not a regular file");
        return false;
    }
    if (!bad.empty()) {
        error = candidate + " " + bad;
        return false;
    }
    // The link points at the file itself: a link inside the tree changed later cannot move the
    // zone in effect.
    target = real;
    return true;
}

std::string zone_record_path(const std::string &link) {
    return link + ".zone";
}

std::string recorded_zone(const std::string &link) {
    int fd = open(zone_record_path(link).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::string();
    char buf[ZONE_NAME_MAX + 2];
    ssize_t n = read(fd, buf, sizeof buf);
    close(fd);
    if (n <= 0)
        return std::string();
    std::string name(buf, size_t(n));
    if (name.back() == '\n')
        name.pop_back();
    return zone_name_problem(name).empty() ? name : std::string();
}

bool set_zone_link(const std::string &root, const std::string &link, const char *name,
                   std::string &error) {
    if (link.empty() || link.back() == '/') {
        error = "no usable localtime link path \"" + link + "\"";
        return false;
    }
    std::lock_guard lock(setter_mu);
    std::string dir = parent_dir(link);
    std::string record = zone_record_path(link);

    if (!name) {
        struct stat st;
        if (lstat(link.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            error = link + " is a directory";
            return false;
        }
        struct stat dst;
        if (stat(dir.c_str(), &dst) != 0 && errno == ENOENT)
            return true;  // no directory, no link
        SetterLock dir_lock(link);
        if (!dir_lock.error().empty()) {
            error = dir_lock.error();
            return false;
        }
        // The record goes first: a link without a record still tells its zone, a record without
        // a link would tell a wrong one.
        if (!remove_if_present(record, error) || !remove_if_present(link, error))
            return false;
        dir_lock.sync();
        return true;
    }

    std::string target;
    if (!resolve_zone(root, name, target, error, link))
        return false;
    if (!make_dirs(dir)) {
        error = "cannot create " + dir + ": " + errno_text(errno ? errno : EIO);
        return false;
    }
    // Whoever else could write there could move the link, or hold the setters' lock.
    if (std::string why = dir_trust_problem(dir); !why.empty()) {
        error = "not setting " + link + ": " + why;
        return false;
    }
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = link + " is a directory";
        return false;
    }

    SetterLock dir_lock(link);
    if (!dir_lock.error().empty()) {
        error = dir_lock.error();
        return false;
    }
    std::string tmp_link = temp_beside(link);
    std::string tmp_record = temp_beside(record);
    if (symlink(target.c_str(), tmp_link.c_str()) != 0) {
        error = tmp_link + ": " + errno_text(errno);
        return false;
    }
    if (!write_file_synced(tmp_record, std::string(name) + "\n", error)) {
        unlink(tmp_link.c_str());
        return false;
    }
    if (rename(tmp_link.c_str(), link.c_str()) != 0) {
        error = link + ": " + errno_text(errno);
        unlink(tmp_link.c_str());
        unlink(tmp_record.c_str());
        return false;
    }
    if (rename(tmp_record.c_str(), record.c_str()) != 0) {
        // The zone is in effect; only its record is missing. Drop a stale one rather than let
        // it name the previous zone.
        vk_syslog(LOG_WARNING, "conf_set_timezone_string: cannot record the zone in %s: %s",
                  record.c_str(), errno_text(errno).c_str());
        unlink(tmp_record.c_str());
        unlink(record.c_str());
    }
    dir_lock.sync();
    return true;
}

}  // namespace platform

extern "C" int64_t conf_set_timezone_string(char *zone, int32_t /*flags*/) {
    std::unique_ptr<char, decltype(&free)> owned(zone, &free);
    std::string error;
    const std::string &link = platform::env().localtime;
    bool ok = platform::set_zone_link(platform::zoneinfo_root(), link, zone, error);
    platform::last_error = error;
    if (!ok) {
        if (zone)
            vk_syslog(LOG_ERR, "conf_set_timezone_string: time zone \"%s\" not set: %s",
                      platform::printable(zone).c_str(), error.c_str());
        else
            vk_syslog(LOG_ERR, "conf_set_timezone_string: time zone not removed: %s",
                      error.c_str());
        return 0;
    }
    if (zone)
        vk_syslog(LOG_INFO, "conf_set_timezone_string: time zone set to \"%s\" (%s)", zone,
                  link.c_str());
    else
        vk_syslog(LOG_INFO, "conf_set_timezone_string: time zone removed (%s)", link.c_str());
    return 1;
}
