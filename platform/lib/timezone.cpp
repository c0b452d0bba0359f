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

// Holds the link's directory locked, so setters in different processes take turns.
class DirLock {
  public:
    explicit DirLock(const std::string &dir)
        : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ >= 0)
            flock(fd_, LOCK_EX);
    }
    ~DirLock() {
        if (fd_ >= 0)
            close(fd_);
    }
    DirLock(const DirLock &) = delete;
    DirLock &operator=(const DirLock &) = delete;
    void sync() const {
        if (fd_ >= 0)
            fsync(fd_);
    }

  private:
    int fd_;
};

std::mutex setter_mu;

}  // namespace

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
                  std::string &error) {
    if (std::string why = zone_name_problem(name); !why.empty()) {
        error = why;
        return false;
    }
    char buf[PATH_MAX];
    if (!realpath(root.c_str(), buf)) {
        error = "zoneinfo root " + root + ": " + errno_text(errno);
        return false;
    }
    std::string real_root = buf;
    std::string candidate = (real_root == "/" ? "" : real_root) + "/" + std::string(name);
    if (!realpath(candidate.c_str(), buf)) {
        error = candidate + ": " + errno_text(errno);
        return false;
    }
    std::string real = buf;
    std::string inside = real_root == "/" ? "/" : real_root + "/";
    if (real.size() <= inside.size() || real.compare(0, inside.size(), inside) != 0) {
        error = candidate + " resolves to " + real + ", outside the zoneinfo root";
        return false;
    }
    int fd = open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        error = real + ": " + errno_text(errno);
        return false;
    }
    struct stat st {};
    char magic[4] = {};
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool tzif = regular && read(fd, magic, sizeof magic) == ssize_t(sizeof magic) &&
                memcmp(magic, "TZif", 4) == 0;
    close(fd);
    if (!regular) {
        error = candidate + (S_ISDIR(st.st_mode) ? " is a directory" : " is not a regular file");
        return false;
    }
    if (!tzif) {
        error = candidate + " is not a zone file (no TZif magic)";
        return false;
    }
    target = candidate;
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
        DirLock dir_lock(dir);
        // The record goes first: a link without a record still tells its zone, a record without
        // a link would tell a wrong one.
        if (!remove_if_present(record, error) || !remove_if_present(link, error))
            return false;
        dir_lock.sync();
        return true;
    }

    std::string target;
    if (!resolve_zone(root, name, target, error))
        return false;
    if (!make_dirs(dir)) {
        error = "cannot create " + dir + ": " + errno_text(errno ? errno : EIO);
        return false;
    }
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = link + " is a directory";
        return false;
    }

    DirLock dir_lock(dir);
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
    if (!platform::set_zone_link(platform::zoneinfo_root(), link, zone, error)) {
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
