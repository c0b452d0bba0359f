// The configuration store: items (full path -> encoded tuple) in an embedded SQLite database,
// and beside them the card that holds the dLRSC role. Every write is one transaction, durable
// when it returns (WAL, synchronous=FULL); a write that fails leaves what was stored exactly as
// it was.
#pragma once

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace platform::cfgdb {

struct StoredItem {
    std::string path;
    std::vector<uint8_t> value;
    uint64_t sequence = 0;  // the commit that wrote it
};

class Store {
  public:
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // The database file in platformd's state directory DIR.
    static std::string file_in(const std::string &dir) { return dir + "/cfgdb.sqlite3"; }

    // Opens FILE, creating it and its tables when missing. Null, with the reason in ERROR, when
    // the file cannot be opened or is not a usable database; an existing file is never replaced.
    static std::unique_ptr<Store> open(const std::string &file, std::string *error);

    // Stores VALUE under PATH as written by commit SEQUENCE. False with the reason when it did not
    // happen; the item is then unchanged.
    bool put(const std::string &path, const std::vector<uint8_t> &value, uint64_t sequence,
             std::string *error);
    // Removes PATH (commit SEQUENCE). Removing a missing item succeeds and changes nothing.
    bool remove(const std::string &path, uint64_t sequence, std::string *error);

    // The item at PATH; nothing when there is none or on error (ERROR then non-empty).
    std::optional<StoredItem> get(const std::string &path, std::string *error);
    // Every item whose path begins with PREFIX (byte-wise), in path order.
    bool scan_prefix(const std::string &prefix, std::vector<StoredItem> *out, std::string *error);
    // The highest commit sequence ever written (survives deletions and restarts).
    uint64_t last_sequence() const { return last_sequence_; }

    // The card stored as the holder of the dLRSC role; nothing when none was ever stored, or on
    // error (ERROR then non-empty).
    std::optional<int> dlrsc(std::string *error);
    // Stores CARD as the holder of the dLRSC role. False with the reason when it did not happen.
    bool set_dlrsc(int card, std::string *error);

    // Sets how long a write waits for a lock held elsewhere.
    void set_busy_timeout_ms(int ms);

  private:
    Store() = default;
    bool prepare(const char *sql, sqlite3_stmt **stmt, std::string *error);
    bool exec(const char *sql, std::string *error);
    bool write(const std::string &path, const std::vector<uint8_t> *value, uint64_t sequence,
               std::string *error);
    std::string why(const char *what) const;

    sqlite3 *db_ = nullptr;
    sqlite3_stmt *get_ = nullptr;
    sqlite3_stmt *put_ = nullptr;
    sqlite3_stmt *del_ = nullptr;
    sqlite3_stmt *seq_ = nullptr;
    sqlite3_stmt *range_ = nullptr;
    sqlite3_stmt *from_ = nullptr;
    sqlite3_stmt *begin_ = nullptr;
    sqlite3_stmt *commit_ = nullptr;
    sqlite3_stmt *rollback_ = nullptr;
    uint64_t last_sequence_ = 0;
};

}  // namespace platform::cfgdb
