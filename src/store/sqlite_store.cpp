// The SQLite secure store: one database file shared by every thread and process of the user.
//
// Layout: one table, items(class, name, key_class, data), keyed by (class, name). The file is
// created 0600 (its directory 0700 when we create it) and runs in WAL mode with synchronous=FULL,
// so every write is one transaction that is either wholly on disk or absent after a crash.
//
// The store trusts only what the effective user owns. Before SQLite sees the path, the directory
// must not be a link, nor writable by group or others, nor owned by anyone but the user or root
// (so nobody else can plant or swap a file in it afterwards), and the database and each
// companion file that exists (-wal, -shm, -journal) must be a regular file of the user's without
// group or other access. Nothing is opened through a symbolic link.
#include "store/sqlite_store.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/handle.hpp"
#include "core/internal.hpp"
#include "core/secret.hpp"

namespace tavi {
namespace {

using DbHandle = detail::Handle<sqlite3, sqlite3_close_v2>;
using Stmt = detail::Handle<sqlite3_stmt, sqlite3_finalize>;

/// Resets a statement (and drops its bindings) on scope exit, so the cached statement never keeps
/// a read snapshot or pointers into caller memory.
class StmtReset {
  public:
    explicit StmtReset(sqlite3_stmt* stmt) : stmt_(stmt) {}
    StmtReset(const StmtReset&) = delete;
    StmtReset& operator=(const StmtReset&) = delete;
    ~StmtReset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }

  private:
    sqlite3_stmt* stmt_;
};

std::string errnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

/// Fixes named in errors about a file's content and about a database in use.
constexpr const char* kStartAfresh =
    "; move the file aside to start a new store (the device then registers again)";
constexpr const char* kBusyElsewhere =
    "; another program may be holding the database: close it and try again";

Error storeError(const std::string& path, const std::string& problem) {
    return detail::clientError(ClientErrorCode::storeUnavailable,
                               "secure store \"" + path + "\": " + problem);
}

/// The keychain status that says why SQLite failed.
std::int32_t statusOf(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_FULL:
            return KeychainStatus::diskFull;
        case SQLITE_READONLY:
        case SQLITE_PERM:
            return KeychainStatus::readOnly;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return KeychainStatus::locked;
        default:
            return KeychainStatus::ioError;
    }
}

std::string octalMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

/// Creates the missing directories above `path`, each 0700. Existing directories are left as
/// they are. Returns the problem, if any.
std::optional<std::string> ensureParentDirectories(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return std::nullopt;
    const std::string dir = path.substr(0, slash);
    for (std::size_t end = 1; end <= dir.size(); ++end) {
        if (end != dir.size() && dir[end] != '/') continue;
        const std::string part = dir.substr(0, end);
        if (part.back() == '/') continue;
        struct stat st {};
        if (::stat(part.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return "\"" + part + "\" is not a directory";
            continue;
        }
        if (errno != ENOENT) return "cannot examine \"" + part + "\": " + errnoText(errno);
        if (::mkdir(part.c_str(), 0700) != 0) {
            if (errno == EEXIST) continue;  // made by someone else meanwhile
            return "cannot create directory \"" + part + "\": " + errnoText(errno) +
                   "; create it (mode 0700) or choose another path";
        }
        // The umask can only have removed bits; make the mode exactly 0700.
        if (::chmod(part.c_str(), 0700) != 0) {
            return "cannot set the mode of \"" + part + "\": " + errnoText(errno);
        }
    }
    return std::nullopt;
}

/// The directory that holds the store must be the user's own: not a link, not writable by group
/// or others, owned by the user or root. Returns the problem and the fix, if any.
std::optional<std::string> directoryProblem(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string dir =
        slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash));
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        return "cannot examine the directory \"" + dir + "\": " + errnoText(errno);
    }
    if (S_ISLNK(st.st_mode)) {
        return "the directory \"" + dir +
               "\" is a symbolic link; give the store's path through the real directory";
    }
    if (!S_ISDIR(st.st_mode)) return "\"" + dir + "\" is not a directory";
    const uid_t me = ::geteuid();
    if (st.st_uid != me && st.st_uid != 0) {
        return "the directory \"" + dir + "\" belongs to uid " + std::to_string(st.st_uid) +
               ", neither this user (uid " + std::to_string(me) +
               ") nor root; keep the store in a directory of your own";
    }
    if ((st.st_mode & 022) != 0) {
        return "the directory \"" + dir + "\" (mode " + octalMode(st.st_mode) +
               ") is writable by group or others, who could plant or swap the store's files; "
               "run chmod 700 on it, or keep the store in a private directory";
    }
    return std::nullopt;
}

/// `path` with the directories above the store's own directory resolved, so that SQLite, which
/// opens nothing through a link, accepts a store under a linked home or data directory. The
/// store's directory itself was checked not to be a link and is kept as it is.
std::optional<std::string> linkFreePath(const std::string& path, std::string& problem) {
    const auto slash = path.find_last_of('/');
    if (slash == 0) return path;
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string parent = ".";
    std::string leaf;
    if (slash != std::string::npos) {
        const std::string dir = path.substr(0, slash);
        const auto dirSlash = dir.find_last_of('/');
        if (dirSlash == std::string::npos) {
            leaf = dir;
        } else {
            parent = dirSlash == 0 ? "/" : dir.substr(0, dirSlash);
            leaf = dir.substr(dirSlash + 1);
        }
    }
    const detail::Handle<char, detail::freeMemory> real(::realpath(parent.c_str(), nullptr));
    if (!real) {
        problem = "cannot resolve \"" + parent + "\": " + errnoText(errno);
        return std::nullopt;
    }
    std::string out = real.get();
    if (out.back() != '/') out += '/';
    if (!leaf.empty()) out += leaf + "/";
    return out + file;
}

/// Examines `path` without following a link: none when it does not exist, else the problem with
/// it (and the fix), if any.
std::optional<std::string> existingFileProblem(const std::string& path) {
    const detail::UniqueFd fd(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        return "cannot examine \"" + path + "\": " + errnoText(errno);
    }
    return detail::untrustedFileProblem(fd.get());
}

/// Creates the file 0600 if it is absent; an existing file must be one the user owns (see
/// untrustedFileProblem). Returns the problem, if any.
std::optional<std::string> prepareFile(const std::string& path) {
    const detail::UniqueFd fd(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd) {
        if (::fchmod(fd.get(), 0600) != 0) return "cannot set the file mode: " + errnoText(errno);
    } else if (errno != EEXIST) {
        return "cannot create the file: " + errnoText(errno) +
               "; make its directory writable by its owner, or choose another path";
    } else if (auto problem = existingFileProblem(path)) {
        return problem;
    }
    // A companion left behind is used by SQLite as it finds it (a WAL is replayed into the
    // database, even a new one): it must be ours as well.
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        if (auto problem = existingFileProblem(path + suffix)) {
            return "companion file \"" + path + suffix + "\": " + *problem;
        }
    }
    return std::nullopt;
}

std::string dbMessage(sqlite3* db) {
    return db != nullptr ? sqlite3_errmsg(db) : "out of memory";
}

/// Runs one statement that returns at most one text row; the text of that row (empty if none).
std::optional<std::string> singleText(sqlite3* db, const char* sql, std::string& problem) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        problem = dbMessage(db);
        return std::nullopt;
    }
    const Stmt stmt(raw);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return std::string();
    if (rc != SQLITE_ROW) {
        problem = dbMessage(db);
        return std::nullopt;
    }
    const auto* text = sqlite3_column_text(stmt.get(), 0);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

bool exec(sqlite3* db, const char* sql, std::string& problem) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    problem = dbMessage(db);
    return false;
}

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS items ("
    "class INTEGER NOT NULL, "
    "name TEXT NOT NULL, "
    "key_class INTEGER NOT NULL DEFAULT 0, "
    "data BLOB NOT NULL, "
    "PRIMARY KEY (class, name))";

/// The statements the store keeps prepared, in the order they are made.
constexpr const char* kStatements[] = {
    "BEGIN IMMEDIATE",
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "INSERT INTO items (class, name, key_class, data) VALUES (?1, ?2, ?3, ?4)",
    "SELECT key_class, data FROM items WHERE class = ?1 AND name = ?2",
    "DELETE FROM items WHERE class = ?1 AND name = ?2",
    "PRAGMA data_version",
};
constexpr std::size_t kStatementCount = std::size(kStatements);

/// Items read before are answered from memory while the database is unchanged. SQLite's
/// data_version moves whenever another connection (another store object, another process)
/// commits; this connection's own writes clear the remembered items. The remembered bytes are
/// secret (session values, keys) and are wiped whenever an entry goes.
class ItemCache {
  public:
    /// Entries kept at most; the session is a handful of names, keys add one per key in use.
    static constexpr std::size_t kMaxEntries = 64;

    /// Forgets everything when `version` differs from the one the entries were read at.
    void validate(std::int64_t version) {
        if (version_ && *version_ == version) return;
        clear();
        version_ = version;
    }

    /// Forgets everything.
    void clear() {
        items_.clear();
        version_.reset();
    }

    /// Answers from memory: success (`out` filled) or itemNotFound; none when nothing is
    /// remembered.
    std::optional<std::int32_t> find(ItemClass cls, const std::string& name, StoreItem& out) const {
        if (!version_) return std::nullopt;
        const auto it = items_.find(Key{cls, name});
        if (it == items_.end()) return std::nullopt;
        if (!it->second) return KeychainStatus::itemNotFound;
        out.data.assign(it->second->data.begin(), it->second->data.end());
        out.keyClass = it->second->keyClass;
        return KeychainStatus::success;
    }

    /// Remembers an item, or with none that the name is absent.
    void remember(ItemClass cls, const std::string& name, const StoreItem* item) {
        if (!version_) return;
        if (items_.size() >= kMaxEntries) {
            const auto version = *version_;
            clear();
            version_ = version;
        }
        std::optional<Entry> entry;
        if (item != nullptr) {
            entry = Entry{detail::SecretBytes(item->data.begin(), item->data.end()),
                          item->keyClass};
        }
        items_.insert_or_assign(Key{cls, name}, std::move(entry));
    }

  private:
    using Key = std::pair<ItemClass, std::string>;
    struct Entry {
        detail::SecretBytes data;
        KeyClass keyClass;
    };
    std::optional<std::int64_t> version_;  ///< none: nothing is remembered
    std::map<Key, std::optional<Entry>> items_;
};

class SqliteSecureStore final : public SecureStore {
  public:
    SqliteSecureStore(std::string path, DbHandle db, std::vector<Stmt> stmts)
        : path_(std::move(path)),
          db_(std::move(db)),
          begin_(std::move(stmts.at(0))),
          beginRead_(std::move(stmts.at(1))),
          commit_(std::move(stmts.at(2))),
          rollback_(std::move(stmts.at(3))),
          insert_(std::move(stmts.at(4))),
          select_(std::move(stmts.at(5))),
          erase_(std::move(stmts.at(6))),
          dataVersion_(std::move(stmts.at(7))) {}

    std::int32_t add(ItemClass cls, const std::string& name, const StoreItem& item) override {
        std::string problem;
        std::int32_t status = KeychainStatus::success;
        {
            std::lock_guard lock(mutex_);
            status = addLocked(cls, name, item, problem);
        }
        report("add", name, problem);
        return status;
    }

    std::int32_t copy(ItemClass cls, const std::string& name, StoreItem& out) override {
        std::string problem;
        std::int32_t status = KeychainStatus::success;
        {
            std::lock_guard lock(mutex_);
            checkVersion();
            status = readLocked(cls, name, out, problem);
        }
        report("read", name, problem);
        return status;
    }

    std::vector<std::optional<StoreItem>> copyAll(ItemClass cls,
                                                  const std::vector<std::string>& names) override {
        std::vector<std::optional<StoreItem>> out(names.size());
        std::string problem;
        std::string failedName;
        {
            std::lock_guard lock(mutex_);
            // One read transaction: the version check and every read see the same snapshot.
            const bool inTransaction = runSimple(beginRead_.get());
            checkVersion();
            for (std::size_t i = 0; i < names.size(); ++i) {
                StoreItem item;
                if (readLocked(cls, names[i], item, problem) == KeychainStatus::success) {
                    out[i] = std::move(item);
                } else if (!problem.empty()) {
                    failedName = names[i];
                    break;
                }
            }
            if (inTransaction) abandonWrite();  // ends the read; nothing was written
        }
        report("read", failedName, problem);
        return out;
    }

    std::int32_t remove(ItemClass cls, const std::string& name) override {
        std::string problem;
        std::int32_t status = KeychainStatus::success;
        {
            std::lock_guard lock(mutex_);
            status = removeLocked(cls, name, problem);
        }
        report("delete", name, problem);
        return status;
    }

    std::int32_t replace(ItemClass cls, const std::string& name, const StoreItem& item) override {
        std::string problem;
        std::int32_t status = KeychainStatus::success;
        {
            std::lock_guard lock(mutex_);
            status = replaceLocked(cls, name, item, problem);
        }
        report("replace", name, problem);
        return status;
    }

    std::int32_t replaceAll(ItemClass cls, const std::vector<NamedItem>& items) override {
        std::string problem;
        std::string failedName;
        std::int32_t status = KeychainStatus::success;
        {
            std::lock_guard lock(mutex_);
            status = replaceAllLocked(cls, items, problem, failedName);
        }
        report("replace", failedName, problem);
        return status;
    }

    const std::string& path() const { return path_; }

  private:
    const std::string path_;
    // Declared before the statements so that they are finalized before the connection closes.
    std::mutex mutex_;
    DbHandle db_;
    Stmt begin_, beginRead_, commit_, rollback_, insert_, select_, erase_, dataVersion_;
    ItemCache cache_;  // guarded by mutex_

    // Written outside the lock: the diagnostics sink may call back into the store.
    static void report(const char* what, const std::string& name, const std::string& problem) {
        if (problem.empty()) return;
        detail::diag(std::string("Secure store: ") + what + " of \"" + name +
                     "\" failed: " + problem);
    }

    bool runSimple(sqlite3_stmt* stmt) { return stepSimple(stmt) == SQLITE_DONE; }

    int stepSimple(sqlite3_stmt* stmt) {
        const StmtReset reset(stmt);
        return sqlite3_step(stmt);
    }

    /// Starts a write transaction: success, or the status that says why not.
    std::int32_t beginWrite(std::string& problem) {
        const int rc = stepSimple(begin_.get());
        if (rc == SQLITE_DONE) return KeychainStatus::success;
        problem = dbMessage(db_.get());
        return statusOf(rc);
    }

    /// Commits: success, or (after rolling back) the status that says why not.
    std::int32_t commitWrite(std::string& problem) {
        const int rc = stepSimple(commit_.get());
        if (rc == SQLITE_DONE) return KeychainStatus::success;
        problem = dbMessage(db_.get());
        abandonWrite();
        return statusOf(rc);
    }

    void abandonWrite() {
        if (sqlite3_get_autocommit(db_.get()) == 0) runSimple(rollback_.get());
    }

    void bindKey(sqlite3_stmt* stmt, ItemClass cls, const std::string& name) {
        sqlite3_bind_int(stmt, 1, static_cast<int>(cls));
        sqlite3_bind_text64(stmt, 2, name.data(), name.size(), SQLITE_STATIC, SQLITE_UTF8);
    }

    /// The INSERT of one item, inside a write transaction.
    int insertItem(ItemClass cls, const std::string& name, const StoreItem& item,
                   std::string& problem) {
        sqlite3_stmt* stmt = insert_.get();
        const StmtReset reset(stmt);
        bindKey(stmt, cls, name);
        sqlite3_bind_int(stmt, 3, static_cast<int>(item.keyClass));
        // A null pointer would store NULL; an empty item is a zero-length blob.
        if (item.data.empty()) {
            sqlite3_bind_zeroblob(stmt, 4, 0);
        } else {
            sqlite3_bind_blob64(stmt, 4, item.data.data(), item.data.size(), SQLITE_STATIC);
        }
        const int rc = sqlite3_step(stmt);
        if (rc != SQLITE_DONE && rc != SQLITE_CONSTRAINT_PRIMARYKEY) {
            problem = dbMessage(db_.get());
        }
        return rc;
    }

    /// The DELETE of one item, inside a write transaction.
    int eraseItem(ItemClass cls, const std::string& name, std::string& problem) {
        sqlite3_stmt* stmt = erase_.get();
        const StmtReset reset(stmt);
        bindKey(stmt, cls, name);
        const int rc = sqlite3_step(stmt);
        if (rc != SQLITE_DONE) problem = dbMessage(db_.get());
        return rc;
    }

    /// Drops the remembered items when another connection has committed since they were read
    /// (or when the version cannot be read: then nothing is remembered).
    void checkVersion() {
        sqlite3_stmt* stmt = dataVersion_.get();
        const StmtReset reset(stmt);
        if (sqlite3_step(stmt) == SQLITE_ROW) {
            cache_.validate(sqlite3_column_int64(stmt, 0));
        } else {
            cache_.clear();
        }
    }

    /// An item from memory when the database is unchanged since it was read, else from the file.
    std::int32_t readLocked(ItemClass cls, const std::string& name, StoreItem& out,
                            std::string& problem) {
        if (const auto known = cache_.find(cls, name, out)) return *known;
        const std::int32_t status = copyLocked(cls, name, out, problem);
        if (status == KeychainStatus::success) {
            cache_.remember(cls, name, &out);
        } else if (status == KeychainStatus::itemNotFound) {
            cache_.remember(cls, name, nullptr);
        }
        return status;
    }

    std::int32_t addLocked(ItemClass cls, const std::string& name, const StoreItem& item,
                           std::string& problem) {
        cache_.clear();  // this connection's writes do not move data_version
        if (const auto begun = beginWrite(problem); begun != KeychainStatus::success) return begun;
        const int rc = insertItem(cls, name, item, problem);
        if (rc == SQLITE_DONE) return commitWrite(problem);
        abandonWrite();
        return rc == SQLITE_CONSTRAINT_PRIMARYKEY ? KeychainStatus::duplicateItem : statusOf(rc);
    }

    std::int32_t copyLocked(ItemClass cls, const std::string& name, StoreItem& out,
                            std::string& problem) {
        sqlite3_stmt* stmt = select_.get();
        const StmtReset reset(stmt);
        bindKey(stmt, cls, name);
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return KeychainStatus::itemNotFound;
        if (rc != SQLITE_ROW) {
            problem = dbMessage(db_.get());
            return KeychainStatus::ioError;
        }
        const int keyClass = sqlite3_column_int(stmt, 0);
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 1));
        const int size = sqlite3_column_bytes(stmt, 1);
        if (size > 0 && data == nullptr) {
            problem = dbMessage(db_.get());
            return KeychainStatus::ioError;
        }
        out.data.assign(data, data + (size > 0 ? size : 0));
        out.keyClass = (keyClass == static_cast<int>(KeyClass::publicKey) ||
                        keyClass == static_cast<int>(KeyClass::privateKey))
                           ? static_cast<KeyClass>(keyClass)
                           : KeyClass::none;
        return KeychainStatus::success;
    }

    std::int32_t removeLocked(ItemClass cls, const std::string& name, std::string& problem) {
        cache_.clear();
        if (const auto begun = beginWrite(problem); begun != KeychainStatus::success) return begun;
        const int rc = eraseItem(cls, name, problem);
        if (rc != SQLITE_DONE) {
            abandonWrite();
            return statusOf(rc);
        }
        if (sqlite3_changes(db_.get()) == 0) {
            abandonWrite();  // nothing written; just release the lock
            return KeychainStatus::itemNotFound;
        }
        return commitWrite(problem);
    }

    // The delete and the insert in one transaction: the old item stays until the new one is
    // durable.
    std::int32_t replaceLocked(ItemClass cls, const std::string& name, const StoreItem& item,
                               std::string& problem) {
        std::string failedName;
        return replaceAllLocked(cls, {NamedItem{name, item}}, problem, failedName);
    }

    // Every delete and insert in one transaction: the old items stay until all the new ones are
    // durable, and a failure anywhere leaves every one of them as it was.
    std::int32_t replaceAllLocked(ItemClass cls, const std::vector<NamedItem>& items,
                                  std::string& problem, std::string& failedName) {
        cache_.clear();
        if (const auto begun = beginWrite(problem); begun != KeychainStatus::success) {
            if (!items.empty()) failedName = items.front().name;
            return begun;
        }
        for (const auto& named : items) {
            int rc = eraseItem(cls, named.name, problem);
            if (rc == SQLITE_DONE) rc = insertItem(cls, named.name, named.item, problem);
            if (rc != SQLITE_DONE) {
                if (problem.empty()) problem = dbMessage(db_.get());
                failedName = named.name;
                abandonWrite();
                return statusOf(rc);
            }
        }
        const auto committed = commitWrite(problem);
        if (committed != KeychainStatus::success && !items.empty()) {
            failedName = items.back().name;
        }
        return committed;
    }
};

}  // namespace

namespace detail {

std::optional<std::string> untrustedFileProblem(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return "cannot examine it: " + errnoText(errno);
    if (S_ISLNK(st.st_mode)) {
        return "it is a symbolic link, which the store never follows; remove the link and give "
               "the real file's path";
    }
    if (!S_ISREG(st.st_mode)) return "not a regular file; remove it or choose another path";
    const uid_t me = ::geteuid();
    if (st.st_uid != me) {
        return "owned by uid " + std::to_string(st.st_uid) + ", not by this user (uid " +
               std::to_string(me) +
               "); it may have been planted by someone else: remove it, or choose another path";
    }
    if ((st.st_mode & 077) != 0) {
        return "file mode " + octalMode(st.st_mode) +
               " gives access to group or others (expected 0600); refusing to use it: run "
               "chmod 600 on it if its content is yours, or remove it";
    }
    return std::nullopt;
}

std::optional<std::string> sqliteStorePath(const SecureStore& store) {
    if (const auto* sqlite = dynamic_cast<const SqliteSecureStore*>(&store)) return sqlite->path();
    return std::nullopt;
}

Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path,
                                                           std::chrono::milliseconds busyTimeout) {
    if (path.empty()) return storeError(path, "no path given; give the path of the store's file");
    if (auto problem = ensureParentDirectories(path)) return storeError(path, *problem);
    if (auto problem = directoryProblem(path)) return storeError(path, *problem);
    std::string problem;
    const auto real = linkFreePath(path, problem);
    if (!real) return storeError(path, problem);
    if (auto fileProblem = prepareFile(*real)) return storeError(path, *fileProblem);

    sqlite3* raw = nullptr;
    const int openRc = sqlite3_open_v2(
        real->c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
        nullptr);
    DbHandle db(raw);
    if (openRc != SQLITE_OK) {
        if (db && sqlite3_extended_errcode(db.get()) == SQLITE_CANTOPEN_SYMLINK) {
            return storeError(path, "the path passes through a symbolic link, which the store "
                                    "never follows; give the real path");
        }
        return storeError(path, "cannot open: " + dbMessage(db.get()) +
                                    "; check that the file and its directory are yours and "
                                    "writable, or choose another path");
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), static_cast<int>(busyTimeout.count()));
    if (sqlite3_db_readonly(db.get(), "main") != 0) {
        return storeError(path, "the file is not writable; run chmod 600 on it");
    }

    // Before anything could write to it: is this an intact database, and is it ours?
    const auto check = singleText(db.get(), "PRAGMA quick_check", problem);
    if (!check) return storeError(path, "not a usable database (" + problem + ")" + kStartAfresh);
    if (*check != "ok") {
        return storeError(path, "the database is corrupt (" + *check + ")" + kStartAfresh);
    }
    const auto tables =
        singleText(db.get(),
                   "SELECT (SELECT count(*) FROM sqlite_schema WHERE type = 'table') || ',' || "
                   "(SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name = 'items')",
                   problem);
    if (!tables) return storeError(path, "cannot read the schema (" + problem + ")" + kStartAfresh);
    if (*tables != "0,0" && tables->substr(tables->find(',') + 1) != "1") {
        return storeError(path, "a database of something else (it has no items table); choose "
                                "another path");
    }

    // Switching the journal mode needs the file to itself and does not wait on the busy handler:
    // when another process is opening the same new file at this moment, retry until the busy
    // timeout has passed.
    auto mode = singleText(db.get(), "PRAGMA journal_mode = WAL", problem);
    const auto deadline = std::chrono::steady_clock::now() + busyTimeout;
    while (!mode &&
           (problem.find("locked") != std::string::npos ||
            problem.find("busy") != std::string::npos) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        problem.clear();
        mode = singleText(db.get(), "PRAGMA journal_mode = WAL", problem);
    }
    if (!mode) return storeError(path, "cannot switch to WAL mode (" + problem + ")" + kBusyElsewhere);
    if (*mode != "wal") return storeError(path, "cannot switch to WAL mode (mode " + *mode + ")" + kBusyElsewhere);
    if (!exec(db.get(), "PRAGMA synchronous = FULL", problem)) {
        return storeError(path, "cannot set synchronous mode (" + problem + ")" + kBusyElsewhere);
    }
    if (!exec(db.get(), "BEGIN IMMEDIATE", problem)) {
        return storeError(path, "cannot lock the database (" + problem + ")" + kBusyElsewhere);
    }
    if (!exec(db.get(), kCreateTable, problem) || !exec(db.get(), "COMMIT", problem)) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return storeError(path, "cannot create the items table (" + problem + ")" + kBusyElsewhere);
    }

    std::vector<Stmt> stmts;
    stmts.reserve(kStatementCount);
    for (const char* sql : kStatements) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
            SQLITE_OK) {
            return storeError(path,
                              "unexpected items table (" + dbMessage(db.get()) + ")" + kStartAfresh);
        }
        stmts.emplace_back(stmt);
    }
    return std::shared_ptr<SecureStore>(
        std::make_shared<SqliteSecureStore>(*real, std::move(db), std::move(stmts)));
}

}  // namespace detail

Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path) {
    return detail::openSqliteSecureStore(path, detail::kStoreBusyTimeout);
}

std::string defaultStorePath() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    // Relative values are to be ignored, as the XDG base directory rules say.
    if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome) + "/tavi/store.db";
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
        home = env;
    } else {
        std::vector<char> buffer(16384);
        struct passwd pwd {};
        struct passwd* found = nullptr;
        if (::getpwuid_r(::getuid(), &pwd, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
            home = found->pw_dir;
        }
    }
    if (home.empty()) return std::string();  // opening then fails with a clear error
    return home + "/.local/share/tavi/store.db";
}

}  // namespace tavi
