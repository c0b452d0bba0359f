// Trace buffers: bounded rings of lines in memory-mapped files under $PLATFORM_RUNDIR/ltrace/.
// The threads of a process write a buffer one at a time. Processes sharing a buffer claim a line
// with an atomic index, then its slot through the slot's sequence word, so a reader can tell
// finished lines from lines being written and no two writers ever fill one slot together. The
// file outlives the process; a later open of the same buffer continues it.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/ltrace_reader.h"
#include "platform_log.h"

namespace {

constexpr char MAGIC[8] = {'P', 'L', 'T', 'R', 'A', 'C', 'E', '\0'};
constexpr uint32_t VERSION = 1;
constexpr uint32_t HEADER_SIZE = 64;
constexpr uint32_t SLOT_HEAD = 16;  // sequence and time
constexpr uint32_t MIN_TEXT = 512;  // the service's trace lines are a little over 512 bytes
constexpr uint32_t MAX_TEXT = 4096;
constexpr uint32_t DEFAULT_SLOTS = 500;
constexpr uint32_t MAX_SLOTS = 100000;
constexpr uint64_t BUSY = uint64_t(1) << 63;
// How long a writer waits for a writer in another process that holds the same slot before it
// gives its own line up: only a writer that died, or stalled for a whole lap of the ring, holds
// a slot that long.
constexpr int CLAIM_SPINS = 1000;

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    uint32_t slot_size;
    uint32_t slots;
    uint64_t next;  // index of the next line to write; atomic
    uint64_t created_ns;
    uint8_t reserved[24];
};
static_assert(sizeof(Header) == HEADER_SIZE);
static_assert(offsetof(Header, version) == 8);
static_assert(offsetof(Header, slot_size) == 16);
static_assert(offsetof(Header, slots) == 20);
static_assert(offsetof(Header, next) == 24);
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free);

uint64_t now_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

bool valid_name(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.size() <= 200;
}

// Why HEADER (of a file of FILE_SIZE bytes) is not a usable trace buffer, or empty.
std::string header_problem(const Header &h, uint64_t file_size) {
    if (memcmp(h.magic, MAGIC, sizeof MAGIC) != 0)
        return "not a trace buffer (bad magic)";
    if (h.version != VERSION)
        return "unsupported trace buffer version " + std::to_string(h.version);
    if (h.header_size != HEADER_SIZE || h.slot_size < SLOT_HEAD + 8 ||
        h.slot_size > SLOT_HEAD + MAX_TEXT || h.slot_size % 8 != 0 || h.slots == 0 ||
        h.slots > MAX_SLOTS || h.next >= (BUSY >> 1))
        return "corrupt trace buffer header";
    if (file_size < uint64_t(HEADER_SIZE) + uint64_t(h.slots) * h.slot_size)
        return "trace buffer file is truncated";
    return std::string();
}

uint64_t load_u64(const uint8_t *p) {
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

// Reads exactly LEN bytes at OFFSET.
bool read_at(int fd, void *buf, size_t len, off_t offset) {
    size_t done = 0;
    while (done < len) {
        ssize_t n = pread(fd, static_cast<char *>(buf) + done, len - done, offset + off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

}  // namespace

// A mapped buffer. Its geometry is copied out of the file once, when checked, and never read
// back from the shared header, so a file scribbled on later cannot send a writer out of bounds.
struct ltrace_buf {
    uint8_t *base = nullptr;
    size_t size = 0;
    uint32_t slot_size = 0;
    uint32_t slots = 0;
    int fd = -1;    // kept open with a shared lock: tells later openers a writer is alive
    std::mutex mu;  // writers of this process

    Header *header() const { return reinterpret_cast<Header *>(base); }
    uint8_t *slot(uint64_t index) const {
        return base + HEADER_SIZE + (index % slots) * uint64_t(slot_size);
    }
};

namespace {

// A buffer file is consistent when every written slot holds a line that belongs there: its index
// maps to the slot and lies below the write index.
bool slots_consistent(const ltrace_buf &b) {
    uint64_t next = b.header()->next;
    for (uint32_t i = 0; i < b.slots; ++i) {
        uint64_t seq = load_u64(b.slot(i)) & ~BUSY;
        if (seq == 0)
            continue;
        if (seq - 1 >= next || (seq - 1) % b.slots != i)
            return false;
    }
    return true;
}

bool map_buffer(int fd, size_t size, ltrace_buf &b) {
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return false;
    b.base = static_cast<uint8_t *>(p);
    b.size = size;
    return true;
}

// Reuses the file at PATH when it is a sound buffer of the wanted geometry. Zero when it was
// taken, else why not (the caller then makes a fresh one).
int reuse_buffer(const std::string &path, uint32_t slots, uint32_t slot_size, ltrace_buf &b) {
    Fd fd(open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0)
        return errno;
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return EINVAL;
    size_t size = HEADER_SIZE + size_t(slots) * slot_size;
    Header h;
    if (uint64_t(st.st_size) != size || !read_at(fd.get(), &h, sizeof h, 0) ||
        !header_problem(h, st.st_size).empty() || h.slots != slots || h.slot_size != slot_size)
        return EINVAL;
    // Alone with the file, a writer also checks every slot and clears the marks of lines whose
    // writer died while writing them; with another writer alive the slots are left alone.
    // Never waited for: any user may open the file to read it, and so hold a lock on it. Whoever
    // holds it exclusively gets a fresh file in its place.
    bool alone = flock(fd.get(), LOCK_EX | LOCK_NB) == 0;
    if (!alone && flock(fd.get(), LOCK_SH | LOCK_NB) != 0)
        return errno;
    b.slots = slots;
    b.slot_size = slot_size;
    if (!map_buffer(fd.get(), size, b))
        return errno;
    if (alone) {
        if (!slots_consistent(b)) {
            munmap(b.base, b.size);
            b.base = nullptr;
            return EINVAL;
        }
        for (uint32_t i = 0; i < slots; ++i) {
            uint64_t *seq = reinterpret_cast<uint64_t *>(b.slot(i));
            if (*seq & BUSY)
                *seq = 0;
        }
        flock(fd.get(), LOCK_SH);
    }
    b.fd = fd.release();
    return 0;
}

// Makes a new, empty buffer beside PATH and renames it into place, so a process still writing to
// an old file at PATH keeps a valid mapping.
int fresh_buffer(const std::string &dir, const std::string &path, const std::string &name,
                 uint32_t slots, uint32_t slot_size, ltrace_buf &b) {
    std::string tmp = dir + "/." + name + "." + std::to_string(getpid()) + ".new";
    Fd fd(open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd.get() < 0)
        return errno;
    // Any user may read the trace (platformctl trace), whatever the umask of the writer.
    fchmod(fd.get(), 0644);
    size_t size = HEADER_SIZE + size_t(slots) * slot_size;
    // Reserve the blocks now: a full disk is an error here rather than a fault when a line is
    // written into the mapping later.
    int err = posix_fallocate(fd.get(), 0, off_t(size));
    if (err == 0 && flock(fd.get(), LOCK_SH | LOCK_NB) != 0)
        err = errno;
    if (err == 0 && !map_buffer(fd.get(), size, b))
        err = errno;
    if (err != 0) {
        unlink(tmp.c_str());
        return err;
    }
    b.slots = slots;
    b.slot_size = slot_size;
    Header *h = b.header();
    h->version = VERSION;
    h->header_size = HEADER_SIZE;
    h->slot_size = slot_size;
    h->slots = slots;
    h->created_ns = now_ns();
    memcpy(h->magic, MAGIC, sizeof MAGIC);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        err = errno;
        munmap(b.base, b.size);
        b.base = nullptr;
        unlink(tmp.c_str());
        return err;
    }
    b.fd = fd.release();
    return 0;
}

std::mutex registry_mu;
// Buffers are never closed: handles stay valid for the life of the process.
std::map<std::string, ltrace_buf *> &registry() {
    static auto *buffers = new std::map<std::string, ltrace_buf *>();
    return *buffers;
}

}  // namespace

extern "C" uint32_t ltrace_init2(const char *name, int32_t /*flags*/, int32_t /*mode*/,
                                 int32_t lines, int32_t bytes, int32_t /*options*/,
                                 ltrace_buf **handle) {
    if (!name || !handle || !valid_name(name))
        return EINVAL;
    std::lock_guard lock(registry_mu);
    auto found = registry().find(name);
    if (found != registry().end()) {
        *handle = found->second;
        return 0;
    }

    // LINES is how many lines the ring keeps; BYTES the text budget of all of them, of which each
    // line gets an equal share, at least MIN_TEXT and at most MAX_TEXT.
    uint32_t slots = lines > 0 ? std::min<uint32_t>(uint32_t(lines), MAX_SLOTS) : DEFAULT_SLOTS;
    uint32_t text = bytes > 0 ? uint32_t(bytes) / slots : 0;
    text = std::clamp(text, MIN_TEXT, MAX_TEXT);
    uint32_t slot_size = (SLOT_HEAD + text + 7) / 8 * 8;

    if (!platform::rundir_problem().empty()) {
        vk_syslog(LOG_ERR, "ltrace_init2: refusing the runtime directory: %s",
                  platform::rundir_problem().c_str());
        return EPERM;
    }
    std::string dir = platform::env().rundir + "/ltrace";
    std::string path = dir + "/" + name;
    if (!platform::make_dirs(dir))
        return errno ? uint32_t(errno) : uint32_t(EIO);
    // Openers of buffers in this directory take turns, so two processes never both make a fresh
    // file for the same buffer. The lock is a private file: any user may open the directory
    // and the buffers, and one who held a lock on them would stop every writer starting.
    Fd lockfd(open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    struct stat lst;
    if (lockfd.get() < 0)
        return uint32_t(errno);
    if (fstat(lockfd.get(), &lst) != 0 || !S_ISREG(lst.st_mode) || lst.st_uid != geteuid() ||
        (lst.st_mode & 077))
        return EPERM;
    // Only this uid's writers can hold it; a deadline all the same, for one of them that hangs.
    for (int waited = 0; flock(lockfd.get(), LOCK_EX | LOCK_NB) != 0; waited += 10) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || waited >= 3000)
            return uint32_t(errno == EINTR ? EWOULDBLOCK : errno);
        usleep(10000);
    }

    auto *b = new ltrace_buf();
    int err = reuse_buffer(path, slots, slot_size, *b);
    if (err != 0)
        err = fresh_buffer(dir, path, name, slots, slot_size, *b);
    if (err != 0) {
        delete b;
        return uint32_t(err);
    }
    registry()[name] = b;
    *handle = b;
    return 0;
}

extern "C" int32_t _lstrace(ltrace_buf *b, uint64_t /*attributes*/, const char *line) {
    if (!b || !line)
        return -1;
    std::lock_guard lock(b->mu);
    uint64_t index = std::atomic_ref<uint64_t>(b->header()->next).fetch_add(1);
    uint8_t *slot = b->slot(index);
    std::atomic_ref<uint64_t> seq(*reinterpret_cast<uint64_t *>(slot));
    const uint64_t mine = (index + 1) | BUSY;
    uint64_t cur = seq.load(std::memory_order_acquire);
    for (int spins = 0;;) {
        if ((cur & ~BUSY) >= index + 1)
            return -1;  // a later lap of the ring already owns the slot: this line is gone anyway
        if (cur & BUSY) {
            if (++spins > CLAIM_SPINS)
                return -1;
            sched_yield();
            cur = seq.load(std::memory_order_acquire);
            continue;
        }
        if (seq.compare_exchange_weak(cur, mine, std::memory_order_acq_rel))
            break;
    }
    uint64_t t = now_ns();
    memcpy(slot + 8, &t, sizeof t);
    char *text = reinterpret_cast<char *>(slot + SLOT_HEAD);
    size_t len = strnlen(line, b->slot_size - SLOT_HEAD - 1);
    memcpy(text, line, len);
    text[len] = '\0';
    seq.store(index + 1, std::memory_order_release);
    return 0;
}

namespace platform {

std::string ltrace_path(const std::string &name) {
    if (!valid_name(name))
        return std::string();
    return env().rundir + "/ltrace/" + name;
}

bool ltrace_read_file(const std::string &path, std::vector<LtraceEntry> &entries,
                      std::string &error) {
    entries.clear();
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        error = path + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + ": not a trace buffer (not a regular file)";
        return false;
    }
    Header h;
    if (uint64_t(st.st_size) < sizeof h || !read_at(fd.get(), &h, sizeof h, 0)) {
        error = path + ": not a trace buffer (too short)";
        return false;
    }
    if (std::string why = header_problem(h, st.st_size); !why.empty()) {
        error = path + ": " + why;
        return false;
    }
    // A line is taken when its slot held the same finished sequence before and after its text
    // was read, so no writer touched it in between. The sequence is read on its own each time:
    // within one large copy the processor may read the bytes in any order.
    uint64_t next = h.next;
    uint64_t first = next > h.slots ? next - h.slots : 0;
    std::vector<char> body(h.slot_size - 8);
    for (uint64_t i = first; i < next; ++i) {
        off_t off = off_t(HEADER_SIZE + (i % h.slots) * uint64_t(h.slot_size));
        uint64_t before = 0, after = 0;
        if (!read_at(fd.get(), &before, sizeof before, off) ||
            (before == i + 1 && (!read_at(fd.get(), body.data(), body.size(), off + 8) ||
                                 !read_at(fd.get(), &after, sizeof after, off)))) {
            error = path + ": trace buffer file shrank while read";
            return false;
        }
        if (before != i + 1 || after != before)
            continue;
        uint64_t time_ns = load_u64(reinterpret_cast<const uint8_t *>(body.data()));
        const char *text = body.data() + 8;
        entries.push_back({i, time_ns, std::string(text, strnlen(text, body.size() - 8))});
    }
    return true;
}

bool ltrace_read(const std::string &name, std::vector<std::string> &lines, std::string &error) {
    lines.clear();
    std::string path = ltrace_path(name);
    if (path.empty()) {
        error = "invalid trace buffer name \"" + name + "\"";
        return false;
    }
    std::vector<LtraceEntry> entries;
    if (!ltrace_read_file(path, entries, error))
        return false;
    for (auto &e : entries) {
        while (!e.text.empty() && (e.text.back() == '\n' || e.text.back() == '\r'))
            e.text.pop_back();
        lines.push_back(std::move(e.text));
    }
    return true;
}

}  // namespace platform
