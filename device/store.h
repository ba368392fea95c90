/*
 * store.h - the device's persistent state: one SQLite database under the state
 * directory (parameter records, named device records, users, the device log).
 *
 * Every call takes the store's own lock, so the host functions may call it
 * from any thread. Results that can fail come back as std::optional or bool;
 * a failing SQL statement is reported once on stderr.
 */
#ifndef RECNET_DEVICE_STORE_H
#define RECNET_DEVICE_STORE_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "non_copyable.h"

struct sqlite3;

using Bytes = std::vector<uint8_t>;

struct StoredUser {
    std::string name;
    std::string hash;  // libsodium crypto_pwhash_str string, never the password
    uint32_t rights = 0;
};

struct StoredLogLine {
    uint32_t id = 0;
    int64_t time = 0;  // device clock, seconds since 1970
    uint32_t category = 0;
    std::string text;
};

// Which log lines a list or a delete covers (the fields of a LogQuery).
struct LogFilter {
    int64_t start = 0;     // time >= start
    int64_t end = 0;       // time <= end; 0: no end
    uint32_t category = 0; // 0: every category
    uint32_t max = 0;      // at most this many, oldest first; 0: all
};

enum class UserChange { Done, Exists, Unknown, LastAccount, Failed };

class Store : NonCopyable {
public:
    Store() = default;
    ~Store();

    // Opens (creating when missing) the database at `path` and its tables.
    bool open(const std::string& path, std::string& error);
    void close();

    /* ---- parameter records: (type, index) -> bytes ---- */
    std::optional<Bytes> param(int type, int index);
    // Replaces records 0..n-1 of `type` in one transaction.
    bool putParams(int type, const std::vector<Bytes>& records);
    bool putParam(int type, int index, const Bytes& record);
    // Stores record i of `type` only where (type, i) has none yet; one transaction.
    bool putParamsIfMissing(int type, const std::vector<Bytes>& records);

    /* ---- named device records (version record, clock offset, disks, ...) ---- */
    std::optional<Bytes> blob(const std::string& key);
    bool putBlob(const std::string& key, const Bytes& value);
    bool deleteBlob(const std::string& key);

    /* ---- users, in the order they were added ---- */
    std::vector<StoredUser> users();
    std::optional<StoredUser> user(const std::string& name);
    UserChange addUser(const StoredUser& user);
    // Changes the rights, and the hash when `hash` has a value.
    UserChange modifyUser(const std::string& name, const std::optional<std::string>& hash,
                          uint32_t rights);
    // Refuses to delete the only account.
    UserChange deleteUser(const std::string& name);
    // Leaves `only` as the single account.
    bool resetUsers(const StoredUser& only);
    // Inserts `user` when there is no account at all.
    bool ensureUser(const StoredUser& user);

    /* ---- the device log ---- */
    // Appends a line; keeps at most kLogLimit lines (the oldest go first).
    std::optional<uint32_t> appendLog(int64_t time, uint32_t category, const std::string& text);
    std::vector<StoredLogLine> logLines(const LogFilter& filter);
    // Deletes exactly what logLines(filter) lists; the number deleted, or -1.
    int deleteLog(const LogFilter& filter);

    size_t userCount();
    size_t logCount();

    static constexpr int64_t kLogLimit = 100000;

private:
    struct Closer {
        void operator()(sqlite3* db) const;
    };
    bool exec(const char* sql);
    size_t countRows(const char* sql);
    bool putAll(const char* sql, int type, const std::vector<Bytes>& records);
    std::mutex mutex_;
    std::unique_ptr<sqlite3, Closer> db_;
};

// The device's store; main() opens it before the module starts and closes it
// after the module has stopped (closeDeviceState).
Store& deviceStore();

#endif
