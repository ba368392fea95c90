/*
 * store.cpp - the device's SQLite store. Prepared statements only; the store's
 * lock serialises every use of the one connection.
 */
#include "store.h"

#include <sqlite3.h>

#include <cstdio>

namespace {

// One prepared statement, finalized when it goes out of scope.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) report(sql);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(stmt_); }

    bool ok() const { return stmt_ != nullptr; }
    Statement& bind(int i, int64_t v) {
        if (stmt_) sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& bind(int i, const std::string& v) {
        if (stmt_) sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int i, const Bytes& v) {
        // A zero-length blob still binds as a blob, not as NULL.
        if (stmt_) sqlite3_bind_blob(stmt_, i, v.empty() ? "" : static_cast<const void*>(v.data()),
                                     static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW: a row is ready; SQLITE_DONE: finished; anything else failed.
    int step() {
        if (!stmt_) return SQLITE_ERROR;
        const int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) report(sqlite3_sql(stmt_));
        return rc;
    }
    bool run() { return step() == SQLITE_DONE; }
    int64_t integer(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string text(int col) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, col))) : std::string();
    }
    Bytes blob(int col) const {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, col));
        return p ? Bytes(p, p + sqlite3_column_bytes(stmt_, col)) : Bytes();
    }

private:
    void report(const char* sql) {
        std::fprintf(stderr, "recnet-device: store: %s (%s)\n", sqlite3_errmsg(db_), sql ? sql : "");
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// The WHERE clause shared by listing and deleting log lines.
constexpr const char* kLogSelect =
    "SELECT id, time, category, text FROM log WHERE time >= ?1 AND (?2 = 0 OR time <= ?2) "
    "AND (?3 = 0 OR category = ?3) ORDER BY id LIMIT ?4";

void bindFilter(Statement& s, const LogFilter& f) {
    s.bind(1, f.start).bind(2, f.end).bind(3, f.category).bind(4, f.max == 0 ? -1 : int64_t{f.max});
}

}  // namespace

Store& deviceStore() {
    // Never destroyed: a detached worker of the module may still call a host
    // function while the process exits; it then finds a closed store.
    static Store* store = new Store;
    return *store;
}

void Store::Closer::operator()(sqlite3* db) const { sqlite3_close(db); }

Store::~Store() { close(); }

bool Store::open(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    db_.reset(raw);  // sqlite3_open_v2 hands out a handle even when it fails
    if (rc != SQLITE_OK) {
        error = "cannot open " + path + ": " + (raw ? sqlite3_errmsg(raw) : "out of memory");
        db_.reset();
        return false;
    }
    sqlite3_busy_timeout(raw, 5000);
    const bool ok =
        exec("PRAGMA journal_mode=WAL") && exec("PRAGMA synchronous=NORMAL") &&
        exec("CREATE TABLE IF NOT EXISTS params (type INTEGER NOT NULL, idx INTEGER NOT NULL, "
             "value BLOB NOT NULL, PRIMARY KEY (type, idx))") &&
        exec("CREATE TABLE IF NOT EXISTS records (key TEXT PRIMARY KEY, value BLOB NOT NULL)") &&
        exec("CREATE TABLE IF NOT EXISTS users (id INTEGER PRIMARY KEY AUTOINCREMENT, "
             "name TEXT NOT NULL UNIQUE, hash TEXT NOT NULL, rights INTEGER NOT NULL)") &&
        exec("CREATE TABLE IF NOT EXISTS log (id INTEGER PRIMARY KEY AUTOINCREMENT, "
             "time INTEGER NOT NULL, category INTEGER NOT NULL, text TEXT NOT NULL)");
    if (!ok) {
        error = "cannot set up the tables of " + path + ": " + sqlite3_errmsg(raw);
        db_.reset();
        return false;
    }
    return true;
}

void Store::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    db_.reset();
}

bool Store::exec(const char* sql) {
    Statement s(db_.get(), sql);
    const int rc = s.step();
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

std::optional<Bytes> Store::param(int type, int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return std::nullopt;
    Statement s(db_.get(), "SELECT value FROM params WHERE type = ?1 AND idx = ?2");
    s.bind(1, type).bind(2, index);
    if (s.step() != SQLITE_ROW) return std::nullopt;
    return s.blob(0);
}

bool Store::putAll(const char* sql, int type, const std::vector<Bytes>& records) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_ || !exec("BEGIN")) return false;
    bool ok = true;
    for (size_t i = 0; ok && i < records.size(); ++i) {
        Statement s(db_.get(), sql);
        ok = s.bind(1, type).bind(2, static_cast<int64_t>(i)).bind(3, records[i]).run();
    }
    if (!ok) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

bool Store::putParams(int type, const std::vector<Bytes>& records) {
    return putAll("INSERT OR REPLACE INTO params (type, idx, value) VALUES (?1, ?2, ?3)", type, records);
}

bool Store::putParamsIfMissing(int type, const std::vector<Bytes>& records) {
    return putAll("INSERT OR IGNORE INTO params (type, idx, value) VALUES (?1, ?2, ?3)", type, records);
}

bool Store::putParam(int type, int index, const Bytes& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Statement s(db_.get(), "INSERT OR REPLACE INTO params (type, idx, value) VALUES (?1, ?2, ?3)");
    return s.bind(1, type).bind(2, index).bind(3, record).run();
}

std::optional<Bytes> Store::blob(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return std::nullopt;
    Statement s(db_.get(), "SELECT value FROM records WHERE key = ?1");
    s.bind(1, key);
    if (s.step() != SQLITE_ROW) return std::nullopt;
    return s.blob(0);
}

bool Store::putBlob(const std::string& key, const Bytes& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Statement s(db_.get(), "INSERT OR REPLACE INTO records (key, value) VALUES (?1, ?2)");
    return s.bind(1, key).bind(2, value).run();
}

bool Store::deleteBlob(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Statement s(db_.get(), "DELETE FROM records WHERE key = ?1");
    return s.bind(1, key).run();
}

std::vector<StoredUser> Store::users() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StoredUser> out;
    if (!db_) return out;
    Statement s(db_.get(), "SELECT name, hash, rights FROM users ORDER BY id");
    while (s.step() == SQLITE_ROW)
        out.push_back({s.text(0), s.text(1), static_cast<uint32_t>(s.integer(2))});
    return out;
}

std::optional<StoredUser> Store::user(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return std::nullopt;
    Statement s(db_.get(), "SELECT name, hash, rights FROM users WHERE name = ?1");
    s.bind(1, name);
    if (s.step() != SQLITE_ROW) return std::nullopt;
    return StoredUser{s.text(0), s.text(1), static_cast<uint32_t>(s.integer(2))};
}

UserChange Store::addUser(const StoredUser& user) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return UserChange::Failed;
    Statement s(db_.get(), "INSERT OR IGNORE INTO users (name, hash, rights) VALUES (?1, ?2, ?3)");
    if (!s.bind(1, user.name).bind(2, user.hash).bind(3, user.rights).run()) return UserChange::Failed;
    return sqlite3_changes(db_.get()) == 1 ? UserChange::Done : UserChange::Exists;
}

UserChange Store::modifyUser(const std::string& name, const std::optional<std::string>& hash,
                             uint32_t rights) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return UserChange::Failed;
    Statement s(db_.get(), "UPDATE users SET hash = coalesce(?2, hash), rights = ?3 WHERE name = ?1");
    s.bind(1, name).bind(3, rights);
    if (hash) s.bind(2, *hash);  // an unbound parameter is NULL: the hash stays
    if (!s.run()) return UserChange::Failed;
    return sqlite3_changes(db_.get()) == 1 ? UserChange::Done : UserChange::Unknown;
}

UserChange Store::deleteUser(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return UserChange::Failed;
    // One statement, so the last-account check and the delete cannot be split.
    Statement s(db_.get(), "DELETE FROM users WHERE name = ?1 AND (SELECT count(*) FROM users) > 1");
    if (!s.bind(1, name).run()) return UserChange::Failed;
    if (sqlite3_changes(db_.get()) == 1) return UserChange::Done;
    Statement exists(db_.get(), "SELECT 1 FROM users WHERE name = ?1");
    exists.bind(1, name);
    return exists.step() == SQLITE_ROW ? UserChange::LastAccount : UserChange::Unknown;
}

bool Store::resetUsers(const StoredUser& only) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_ || !exec("BEGIN")) return false;
    Statement clear(db_.get(), "DELETE FROM users");
    Statement add(db_.get(), "INSERT INTO users (name, hash, rights) VALUES (?1, ?2, ?3)");
    if (!clear.run() || !add.bind(1, only.name).bind(2, only.hash).bind(3, only.rights).run()) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

bool Store::ensureUser(const StoredUser& user) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return false;
    Statement s(db_.get(), "INSERT INTO users (name, hash, rights) SELECT ?1, ?2, ?3 "
                           "WHERE NOT EXISTS (SELECT 1 FROM users)");
    return s.bind(1, user.name).bind(2, user.hash).bind(3, user.rights).run();
}

std::optional<uint32_t> Store::appendLog(int64_t time, uint32_t category, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return std::nullopt;
    Statement s(db_.get(), "INSERT INTO log (time, category, text) VALUES (?1, ?2, ?3)");
    if (!s.bind(1, time).bind(2, category).bind(3, text).run()) return std::nullopt;
    const int64_t id = sqlite3_last_insert_rowid(db_.get());
    Statement prune(db_.get(), "DELETE FROM log WHERE id <= ?1");
    prune.bind(1, id - kLogLimit).run();
    return static_cast<uint32_t>(id);
}

std::vector<StoredLogLine> Store::logLines(const LogFilter& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StoredLogLine> out;
    if (!db_) return out;
    Statement s(db_.get(), kLogSelect);
    bindFilter(s, filter);
    while (s.step() == SQLITE_ROW)
        out.push_back({static_cast<uint32_t>(s.integer(0)), s.integer(1),
                       static_cast<uint32_t>(s.integer(2)), s.text(3)});
    return out;
}

int Store::deleteLog(const LogFilter& filter) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return -1;
    const std::string sql = std::string("DELETE FROM log WHERE id IN (SELECT id FROM (") + kLogSelect + "))";
    Statement s(db_.get(), sql.c_str());
    bindFilter(s, filter);
    if (!s.run()) return -1;
    return sqlite3_changes(db_.get());
}

size_t Store::countRows(const char* sql) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!db_) return 0;
    Statement s(db_.get(), sql);
    return s.step() == SQLITE_ROW ? static_cast<size_t>(s.integer(0)) : 0;
}

size_t Store::userCount() { return countRows("SELECT count(*) FROM users"); }

size_t Store::logCount() { return countRows("SELECT count(*) FROM log"); }
