#include "store.h"

#include <sqlite3.h>

namespace platform::cfgdb {
namespace {

StoredItem row_item(sqlite3_stmt *stmt) {
    StoredItem item;
    const auto *p = static_cast<const char *>(sqlite3_column_blob(stmt, 0));
    item.path.assign(p ? p : "", size_t(sqlite3_column_bytes(stmt, 0)));
    const auto *v = static_cast<const uint8_t *>(sqlite3_column_blob(stmt, 1));
    item.value.assign(v, v + sqlite3_column_bytes(stmt, 1));
    item.sequence = uint64_t(sqlite3_column_int64(stmt, 2));
    return item;
}

// The smallest byte string greater than every string that begins with PREFIX; empty when there
// is none (PREFIX is all 0xFF bytes).
std::string prefix_end(std::string prefix) {
    while (!prefix.empty() && uint8_t(prefix.back()) == 0xFF)
        prefix.pop_back();
    if (!prefix.empty())
        prefix.back() = char(uint8_t(prefix.back()) + 1);
    return prefix;
}

// Resets a statement whatever path leaves the scope.
struct Reset {
    sqlite3_stmt *stmt;
    ~Reset() {
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
    }
};

}  // namespace

Store::~Store() {
    for (sqlite3_stmt *s : {get_, put_, del_, seq_, range_, from_, begin_, commit_, rollback_})
        sqlite3_finalize(s);
    if (db_)
        sqlite3_close_v2(db_);
}

std::string Store::why(const char *what) const {
    std::string text = what;
    text += ": ";
    text += db_ ? sqlite3_errmsg(db_) : "no database";
    return text;
}

bool Store::exec(const char *sql, std::string *error) {
    char *msg = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK)
        return true;
    *error = std::string("database: ") + (msg ? msg : sqlite3_errmsg(db_));
    sqlite3_free(msg);
    return false;
}

bool Store::prepare(const char *sql, sqlite3_stmt **stmt, std::string *error) {
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr) == SQLITE_OK)
        return true;
    *error = why("database");
    return false;
}

std::unique_ptr<Store> Store::open(const std::string &file, std::string *error) {
    std::unique_ptr<Store> s(new Store);
    int rc =
        sqlite3_open_v2(file.c_str(), &s->db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *error = file + ": " + (s->db_ ? sqlite3_errmsg(s->db_) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_extended_result_codes(s->db_, 1);
    s->set_busy_timeout_ms(5000);
    // A file that is not a database fails here, before anything is written to it.
    std::string err;
    if (!s->exec("PRAGMA journal_mode=WAL", &err) || !s->exec("PRAGMA synchronous=FULL", &err) ||
        !s->exec("CREATE TABLE IF NOT EXISTS items("
                 " path BLOB PRIMARY KEY NOT NULL,"
                 " value BLOB NOT NULL,"
                 " sequence INTEGER NOT NULL) WITHOUT ROWID",
                 &err) ||
        !s->exec("CREATE TABLE IF NOT EXISTS meta("
                 " key TEXT PRIMARY KEY NOT NULL, value INTEGER NOT NULL) WITHOUT ROWID",
                 &err) ||
        !s->exec("INSERT OR IGNORE INTO meta(key, value) VALUES('sequence', 0)", &err)) {
        *error = file + ": " + err;
        return nullptr;
    }
    if (!s->prepare("SELECT path, value, sequence FROM items WHERE path = ?1", &s->get_, &err) ||
        !s->prepare("INSERT INTO items(path, value, sequence) VALUES(?1, ?2, ?3)"
                    " ON CONFLICT(path) DO UPDATE SET value = ?2, sequence = ?3",
                    &s->put_, &err) ||
        !s->prepare("DELETE FROM items WHERE path = ?1", &s->del_, &err) ||
        !s->prepare("UPDATE meta SET value = max(value, ?1) WHERE key = 'sequence'", &s->seq_,
                    &err) ||
        !s->prepare("SELECT path, value, sequence FROM items WHERE path >= ?1 AND path < ?2"
                    " ORDER BY path",
                    &s->range_, &err) ||
        !s->prepare("SELECT path, value, sequence FROM items WHERE path >= ?1 ORDER BY path",
                    &s->from_, &err) ||
        !s->prepare("BEGIN IMMEDIATE", &s->begin_, &err) ||
        !s->prepare("COMMIT", &s->commit_, &err) || !s->prepare("ROLLBACK", &s->rollback_, &err)) {
        *error = file + ": " + err;
        return nullptr;
    }
    sqlite3_stmt *q = nullptr;
    if (!s->prepare("SELECT value FROM meta WHERE key = 'sequence'", &q, &err)) {
        *error = file + ": " + err;
        return nullptr;
    }
    if (sqlite3_step(q) == SQLITE_ROW)
        s->last_sequence_ = uint64_t(sqlite3_column_int64(q, 0));
    sqlite3_finalize(q);
    return s;
}

void Store::set_busy_timeout_ms(int ms) {
    sqlite3_busy_timeout(db_, ms);
}

bool Store::write(const std::string &path, const std::vector<uint8_t> *value, uint64_t sequence,
                  std::string *error) {
    {
        Reset r{begin_};
        if (sqlite3_step(begin_) != SQLITE_DONE) {
            *error = why("database busy or unwritable");
            return false;
        }
    }
    bool ok = true;
    if (value) {
        Reset r{put_};
        sqlite3_bind_blob(put_, 1, path.data(), int(path.size()), SQLITE_STATIC);
        sqlite3_bind_blob(put_, 2, value->empty() ? "" : static_cast<const void *>(value->data()),
                          int(value->size()), SQLITE_STATIC);
        sqlite3_bind_int64(put_, 3, int64_t(sequence));
        ok = sqlite3_step(put_) == SQLITE_DONE;
    } else {
        Reset r{del_};
        sqlite3_bind_blob(del_, 1, path.data(), int(path.size()), SQLITE_STATIC);
        ok = sqlite3_step(del_) == SQLITE_DONE;
    }
    if (ok) {
        Reset r{seq_};
        sqlite3_bind_int64(seq_, 1, int64_t(sequence));
        ok = sqlite3_step(seq_) == SQLITE_DONE;
    }
    if (ok) {
        Reset r{commit_};
        ok = sqlite3_step(commit_) == SQLITE_DONE;
    }
    if (!ok) {
        *error = why("database write failed");
        // A failed COMMIT may leave the transaction open; a ROLLBACK without one is harmless.
        if (!sqlite3_get_autocommit(db_)) {
            Reset r{rollback_};
            sqlite3_step(rollback_);
        }
        return false;
    }
    if (sequence > last_sequence_)
        last_sequence_ = sequence;
    return true;
}

bool Store::put(const std::string &path, const std::vector<uint8_t> &value, uint64_t sequence,
                std::string *error) {
    return write(path, &value, sequence, error);
}

bool Store::remove(const std::string &path, uint64_t sequence, std::string *error) {
    return write(path, nullptr, sequence, error);
}

std::optional<StoredItem> Store::get(const std::string &path, std::string *error) {
    Reset r{get_};
    sqlite3_bind_blob(get_, 1, path.data(), int(path.size()), SQLITE_STATIC);
    int rc = sqlite3_step(get_);
    if (rc == SQLITE_ROW)
        return row_item(get_);
    if (rc != SQLITE_DONE)
        *error = why("database read failed");
    return std::nullopt;
}

std::optional<int> Store::dlrsc(std::string *error) {
    sqlite3_stmt *q = nullptr;
    if (!prepare("SELECT value FROM meta WHERE key = 'dlrsc'", &q, error))
        return std::nullopt;
    std::optional<int> card;
    int rc = sqlite3_step(q);
    if (rc == SQLITE_ROW)
        card = int(sqlite3_column_int64(q, 0));
    else if (rc != SQLITE_DONE)
        *error = why("database read failed");
    sqlite3_finalize(q);
    return card;
}

bool Store::set_dlrsc(int card, std::string *error) {
    sqlite3_stmt *q = nullptr;
    if (!prepare("INSERT INTO meta(key, value) VALUES('dlrsc', ?1)"
                 " ON CONFLICT(key) DO UPDATE SET value = ?1",
                 &q, error))
        return false;
    sqlite3_bind_int64(q, 1, card);
    bool ok = sqlite3_step(q) == SQLITE_DONE;
    if (!ok)
        *error = why("database write failed");
    sqlite3_finalize(q);
    return ok;
}

bool Store::scan_prefix(const std::string &prefix, std::vector<StoredItem> *out,
                        std::string *error) {
    std::string end = prefix_end(prefix);
    sqlite3_stmt *stmt = end.empty() ? from_ : range_;
    Reset r{stmt};
    sqlite3_bind_blob(stmt, 1, prefix.data(), int(prefix.size()), SQLITE_STATIC);
    if (!end.empty())
        sqlite3_bind_blob(stmt, 2, end.data(), int(end.size()), SQLITE_STATIC);
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        out->push_back(row_item(stmt));
    if (rc != SQLITE_DONE) {
        *error = why("database read failed");
        return false;
    }
    return true;
}

}  // namespace platform::cfgdb
