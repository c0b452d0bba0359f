// Syslog, error records and status texts for every program on the platform.
#include "platform/log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/env.h"
#include "platform_log.h"
#include "platform_sysdb.h"

namespace platform {
namespace {

void open_syslog_once() {
    static std::once_flag once;
    // The identity string must outlive every syslog call; env() is never destroyed before exit.
    std::call_once(once, [] { openlog(env().program.c_str(), LOG_PID, LOG_DAEMON); });
}

const char *priority_tag(int priority) {
    static const char *const tags[] = {"emerg",   "alert",  "crit", "err",
                                       "warning", "notice", "info", "debug"};
    return tags[LOG_PRI(priority)];
}

// One line, without breaks inside or blanks at the end.
std::string one_line(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                             text.back() == '\t'))
        text.pop_back();
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

// Writes all of DATA with as few writes as the descriptor allows (one, for a regular file or a
// terminal), so lines from several writers do not interleave.
bool write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += size_t(n);
    }
    return true;
}

thread_local LogCapture *capture = nullptr;

// Whether a syslog daemon listens on its socket. syslog(3) drops a line silently when none does,
// so that is asked here, by connecting as syslog(3) does; the answer is kept for a second, so a
// burst of lines costs one probe and a daemon that starts later is found.
bool syslog_reachable() {
    static std::atomic<int64_t> checked_until_ms{0};
    static std::atomic<bool> reachable{false};
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    int64_t now_ms = int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    if (now_ms < checked_until_ms.load(std::memory_order_acquire))
        return reachable.load(std::memory_order_relaxed);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, _PATH_LOG, sizeof addr.sun_path - 1);
    bool ok = false;
    for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
        int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        int rc = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        int err = errno;
        close(fd);
        if (rc == 0) {
            ok = true;
            break;
        }
        if (err != EPROTOTYPE)
            break;
    }
    reachable.store(ok, std::memory_order_relaxed);
    checked_until_ms.store(now_ms + 1000, std::memory_order_release);
    return ok;
}

// To syslog, and to standard error when the program runs in the foreground or no syslog daemon
// can take the line (under systemd, the journal collects standard error).
void emit(int priority, const std::string &text) {
    open_syslog_once();
    int saved = errno;
    bool to_syslog = syslog_reachable();
    errno = saved;
    syslog(priority, "%s", text.c_str());
    if (capture && LOG_PRI(priority) <= LOG_ERR)
        capture->add(one_line(text));
    const Env &e = env();
    if (e.log_stderr || !to_syslog) {
        std::string line = e.program + "[" + std::to_string(getpid()) +
                           "]: " + priority_tag(priority) + ": " + one_line(text) + "\n";
        int saved = errno;
        write_all(STDERR_FILENO, line);
        errno = saved;
    }
}

std::string utc_timestamp() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char buf[96];
    snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             int(ts.tv_nsec / 1000000));
    return buf;
}

bool append_record(const std::string &line) {
    // Not into a directory someone else may have made: the syslog line is all there is then.
    if (!rundir_problem().empty())
        return false;
    std::string path = records_path();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && make_dirs(env().rundir + "/records"))
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    // Readable by every user, as syslog is, whatever the umask of the process that made it.
    fchmod(fd, 0644);
    bool ok = write_all(fd, utc_timestamp() + " " + line + "\n");
    close(fd);
    return ok;
}

const char *or_unknown(const char *s) {
    return s ? s : "?";
}

}  // namespace

LogCapture::LogCapture() : outer_(capture) {
    capture = this;
}

LogCapture::~LogCapture() {
    capture = outer_;
}

void LogCapture::add(const std::string &line) {
    if (lines_.size() < 16)
        lines_.push_back(line);
}

std::string LogCapture::text(size_t max) const {
    std::string out;
    for (auto &l : lines_)
        out += (out.empty() ? "" : "; ") + l;
    if (out.size() > max)
        out = out.substr(0, max) + "...";
    return out;
}

std::string vformat(const char *format, va_list ap) {
    if (!format)
        return std::string();
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (size_t(n) < sizeof small)
        return std::string(small, size_t(n));
    std::string out(size_t(n) + 1, '\0');
    vsnprintf(out.data(), out.size(), format, ap);
    out.resize(size_t(n));
    return out;
}

std::string format(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string out = vformat(fmt, ap);
    va_end(ap);
    return out;
}

std::string render_record(const vel_msg_rec &record, int severity, va_list ap) {
    if (severity < 0 || severity > 7)
        severity = record.severity;
    std::string text = vformat(record.format, ap);
    return one_line(format("%%%s-%s-%d-%s (0x%08x): ", or_unknown(record.facility),
                           or_unknown(record.group), severity, or_unknown(record.mnemonic),
                           record.msg_id) +
                    text);
}

std::string records_path() {
    return env().rundir + "/records/" + env().program + ".log";
}

std::string printable(const std::string &text, size_t max) {
    std::string out;
    for (unsigned char c : text) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        out += (c < 0x20 || c == 0x7f) ? '?' : char(c);
    }
    return out;
}

}  // namespace platform

extern "C" int vk_syslog(int priority, const char *format, ...) {
    if (!format)
        return -1;
    int saved = errno;  // callers often log errno's text right after a failure
    va_list ap;
    va_start(ap, format);
    std::string text = platform::vformat(format, ap);
    va_end(ap);
    platform::emit(priority, text);
    errno = saved;
    return 0;
}

extern "C" int vel_errmsg(const vel_msg_rec *record, int severity, ...) {
    if (!record)
        return -1;
    int saved = errno;
    va_list ap;
    va_start(ap, severity);
    std::string line = platform::render_record(*record, severity, ap);
    va_end(ap);
    int priority = (severity >= 0 && severity <= 7) ? severity : LOG_ERR;
    platform::emit(priority, line);
    bool ok = platform::append_record(line);
    errno = saved;
    return ok ? 0 : -1;
}

extern "C" const char *cerr_strerror(uint32_t status) {
    switch (status) {
        case 0:
            return "Success";
        case ENOCONN:
            return "No usable connection to the configuration database";
        case SYSDB_STATUS_NO_LIBRARY:
            return "Configuration database client library not readable";
        case 0xFFFFFFFFu:
            return "Operation failed";
    }
    if ((status & SYSDB_STATUS_TRANSIENT_MASK) == SYSDB_STATUS_TRANSIENT)
        return "Configuration database not reachable (transient)";
    if (status < 4096) {
        if (const char *text = strerrordesc_np(int(status)))
            return text;
    }
    // Other statuses get a text of their own, kept for the life of the process. The table is
    // bounded: statuses are few in practice, and a flood of odd values must not grow memory.
    static std::mutex mu;
    static auto *texts = new std::unordered_map<uint32_t, std::string>();
    std::lock_guard lock(mu);
    auto it = texts->find(status);
    if (it != texts->end())
        return it->second.c_str();
    if (texts->size() >= 4096)
        return "Unknown status";
    return texts->emplace(status, platform::format("Unknown status 0x%08x", status))
        .first->second.c_str();
}
