// The SQLite secure store: one database file shared by every thread and process of the user.
//
// Layout, format 2 (sealed, every store a backend protects): sealed_items(class, name,
// key_class, data), keyed by (class, name), where data is the value sealed under the store's
// data key (see store/protection.hpp), and meta(name, value): the format, the store's identity,
// the data key's identity, the backend that keeps the key and its handle, a key check, and
// whether the store was converted from format 1 and its old pages wiped. Names and key classes
// are kept in clear: they are the fixed names of the session's values and of key tags, which
// say which items exist but nothing of their values, and are bound into each value's sealing.
// Format 1 (storeProtection none, and every store of earlier versions): items(class, name,
// key_class, data) with the values in clear. The file is created 0600 (its directory 0700 when we create it) and runs in WAL mode with synchronous=FULL,
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
#include <openssl/crypto.h>
#include <variant>
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
#include "store/protection.hpp"

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
Result<std::string> linkFreePath(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == 0) return std::string(path);
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
    if (!real) return storeError(path, "cannot resolve \"" + parent + "\": " + errnoText(errno));
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

/// A failure of a store call: the keychain status the virtual interface reports, and the
/// problem (empty for the expected outcomes, duplicateItem and itemNotFound, which are not
/// reported).
Error statusError(std::int32_t status, std::string problem = {}) {
    return Error::inDomain(ErrorDomain::store, status, std::move(problem));
}

/// Runs one statement that returns at most one text row: the text of that row (empty if none).
Result<std::string> singleText(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        return statusError(KeychainStatus::ioError, dbMessage(db));
    }
    const Stmt stmt(raw);
    const int rc = sqlite3_step(stmt.get());
    if (rc == SQLITE_DONE) return std::string();
    if (rc != SQLITE_ROW) return statusError(statusOf(rc), dbMessage(db));
    const auto* text = sqlite3_column_text(stmt.get(), 0);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

detail::Done exec(sqlite3* db, const char* sql) {
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return std::monostate{};
    return statusError(statusOf(rc), dbMessage(db));
}

/// The tables of the two formats: 1 keeps values in clear in `items`; 2 keeps them sealed in
/// `sealed_items` and the store's identity and key record in `meta`. (An earlier version finds
/// no `items` table in a sealed store and refuses it, rather than reading it as empty.)
constexpr const char* kPlainTable = "items";
constexpr const char* kSealedTable = "sealed_items";
constexpr int kSealedFormat = 2;

std::string createItems(const char* table) {
    return std::string("CREATE TABLE IF NOT EXISTS ") + table +
           " (class INTEGER NOT NULL, name TEXT NOT NULL, key_class INTEGER NOT NULL DEFAULT 0, "
           "data BLOB NOT NULL, PRIMARY KEY (class, name))";
}
constexpr const char* kCreateMeta =
    "CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value BLOB NOT NULL)";

enum class Layout { empty, plain, sealed };

Result<Layout> layoutOf(sqlite3* db) {
    // Tables in all, named items, named sealed_items or meta: one pass over the schema.
    const auto tables = singleText(
        db,
        "SELECT count(*) || ',' || count(CASE WHEN name = 'items' THEN 1 END) || ',' || "
        "count(CASE WHEN name IN ('sealed_items', 'meta') THEN 1 END) "
        "FROM sqlite_schema WHERE type = 'table'");
    if (!tables) return tables.error();
    const std::string& t = tables.value();
    if (t == "0,0,0") return Layout::empty;
    if (t == "1,1,0") return Layout::plain;
    if (t == "2,0,2") return Layout::sealed;
    return statusError(KeychainStatus::ioError,
                       "a database of something else (it has no items table, nor a sealed "
                       "store's tables); choose another path");
}

/// Every item of a table, as stored.
struct RawItem {
    int cls = 0;
    std::string name;
    int keyClass = 0;
    Bytes data;  ///< in a store kept in clear, the value itself: wiped on every way out

    RawItem() = default;
    RawItem(RawItem&&) noexcept = default;
    RawItem& operator=(RawItem&&) noexcept = default;
    RawItem(const RawItem&) = delete;
    RawItem& operator=(const RawItem&) = delete;
    ~RawItem() { OPENSSL_cleanse(data.data(), data.size()); }
};

Result<std::vector<RawItem>> allItems(sqlite3* db, const char* table) {
    const std::string sql = std::string("SELECT class, name, key_class, data FROM ") + table;
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        return statusError(KeychainStatus::ioError, dbMessage(db));
    }
    const Stmt stmt(raw);
    std::vector<RawItem> out;
    for (;;) {
        const int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE) return out;
        if (rc != SQLITE_ROW) return statusError(statusOf(rc), dbMessage(db));
        RawItem item;
        item.cls = sqlite3_column_int(stmt.get(), 0);
        const auto* name = sqlite3_column_text(stmt.get(), 1);
        if (name != nullptr) item.name = reinterpret_cast<const char*>(name);
        item.keyClass = sqlite3_column_int(stmt.get(), 2);
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt.get(), 3));
        const int size = sqlite3_column_bytes(stmt.get(), 3);
        if (data != nullptr && size > 0) item.data.assign(data, data + size);
        out.push_back(std::move(item));
    }
}

KeyClass keyClassOf(int value) {
    return (value == static_cast<int>(KeyClass::publicKey) ||
            value == static_cast<int>(KeyClass::privateKey))
               ? static_cast<KeyClass>(value)
               : KeyClass::none;
}

/// The data key of a sealed store and what identifies it.
struct Sealing {
    std::string storeId;  ///< raw bytes of the store's identity (bound into every value)
    std::string keyId;    ///< hex of the data key's identity
    Bytes handle;         ///< the backend's record of the key
    std::shared_ptr<detail::KeyProtection> protection;
    detail::SecretBytes key;
    bool migrated = false;

    detail::KeyRef ref(const std::string& path) const {
        return {path,
                detail::hexOf(reinterpret_cast<const std::uint8_t*>(storeId.data()),
                              storeId.size()),
                keyId};
    }
};

using Meta = std::map<std::string, Bytes>;

Result<Meta> readMeta(sqlite3* db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT name, value FROM meta", -1, &raw, nullptr) != SQLITE_OK) {
        return statusError(KeychainStatus::ioError, dbMessage(db));
    }
    const Stmt stmt(raw);
    Meta out;
    for (;;) {
        const int rc = sqlite3_step(stmt.get());
        if (rc == SQLITE_DONE) return out;
        if (rc != SQLITE_ROW) return statusError(statusOf(rc), dbMessage(db));
        const auto* name = sqlite3_column_text(stmt.get(), 0);
        const auto* value = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt.get(), 1));
        const int size = sqlite3_column_bytes(stmt.get(), 1);
        if (name == nullptr) continue;
        out[reinterpret_cast<const char*>(name)] =
            value != nullptr && size > 0 ? Bytes(value, value + size) : Bytes();
    }
}

std::string metaText(const Meta& meta, const char* name) {
    const auto it = meta.find(name);
    return it == meta.end() ? std::string() : std::string(it->second.begin(), it->second.end());
}

detail::Done writeMetaValue(sqlite3* db, const char* name, const Bytes& value) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO meta (name, value) VALUES (?1, ?2)", -1,
                           &raw, nullptr) != SQLITE_OK) {
        return statusError(KeychainStatus::ioError, dbMessage(db));
    }
    const Stmt stmt(raw);
    sqlite3_bind_text(stmt.get(), 1, name, -1, SQLITE_STATIC);
    if (value.empty()) {
        sqlite3_bind_zeroblob(stmt.get(), 2, 0);
    } else {
        sqlite3_bind_blob64(stmt.get(), 2, value.data(), value.size(), SQLITE_STATIC);
    }
    const int rc = sqlite3_step(stmt.get());
    if (rc != SQLITE_DONE) return statusError(statusOf(rc), dbMessage(db));
    return std::monostate{};
}

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

/// Records `sealing` as the store's key (inside the caller's write transaction).
detail::Done writeMeta(sqlite3* db, const Sealing& sealing, bool scrubbed) {
    const auto check = detail::sealValue(
        sealing.key, detail::keyCheckBinding(sealing.storeId, sealing.keyId), nullptr, 0);
    if (!check) return statusError(KeychainStatus::ioError, "the key check could not be sealed");
    const std::pair<const char*, Bytes> rows[] = {
        {"format", bytesOf(std::to_string(kSealedFormat))},
        {"store_id", bytesOf(sealing.storeId)},
        {"key_id", bytesOf(sealing.keyId)},
        {"backend", bytesOf(sealing.protection->name())},
        {"key_handle", sealing.handle},
        {"key_check", *check},
        {"migrated", bytesOf(sealing.migrated ? "1" : "0")},
        {"scrubbed", bytesOf(scrubbed ? "1" : "0")},
    };
    for (const auto& [name, value] : rows) {
        if (auto done = writeMetaValue(db, name, value); !done) return done;
    }
    return std::monostate{};
}

/// A new data key (and, for a new store, identity) kept by `protection`.
Result<Sealing> newSealing(const std::string& path,
                           std::shared_ptr<detail::KeyProtection> protection,
                           std::optional<std::string> storeId) {
    Sealing out;
    out.protection = std::move(protection);
    if (!storeId) {
        const auto id = detail::randomBytes(detail::kStoreIdSize);
        if (!id) return detail::clientError(ClientErrorCode::randomSourceFailed,
                                            "the secure random source could not supply a store "
                                            "identity");
        storeId = std::string(id->begin(), id->end());
    }
    out.storeId = *storeId;
    const auto keyId = detail::randomBytes(8);
    auto key = detail::randomBytes(detail::kDataKeySize);
    if (!keyId || !key) {
        return detail::clientError(ClientErrorCode::randomSourceFailed,
                                   "the secure random source could not supply a data key");
    }
    out.keyId = detail::hexOf(keyId->data(), keyId->size());
    out.key = std::move(*key);
    auto handle = out.protection->keep(out.ref(path), out.key);
    if (!handle) return handle.error();
    out.handle = std::move(handle).value();
    return out;
}

constexpr const char* kResetFix =
    "; run `tavi store reset` (or call resetStore) to start over, then register again";

/// The sealing a store's meta records, its key fetched from its backend and checked.
Result<Sealing> loadSealing(const std::string& path, const StoreOptions& options,
                            const Meta& meta) {
    if (metaText(meta, "format") != std::to_string(kSealedFormat)) {
        return storeError(path, "sealed in format " + metaText(meta, "format") +
                                    ", which this version of the library does not read; use a "
                                    "newer one");
    }
    const std::string backend = metaText(meta, "backend");
    if (options.protection != "auto" && options.protection != backend) {
        return storeError(path, "sealed under the " + backend + " backend, but storeProtection "
                                "is \"" + options.protection + "\"; set it to " + backend +
                                " or auto" + kResetFix);
    }
    Sealing out;
    auto protection = detail::makeKeyProtection(backend, path, options.keyDirectory);
    if (!protection) return protection.error();
    out.protection = std::move(protection).value();
    out.storeId = metaText(meta, "store_id");
    out.keyId = metaText(meta, "key_id");
    out.migrated = metaText(meta, "migrated") == "1";
    if (const auto it = meta.find("key_handle"); it != meta.end()) out.handle = it->second;
    auto key = out.protection->fetch(out.ref(path), out.handle);
    if (!key) return key.error();
    out.key = std::move(key).value();
    const auto it = meta.find("key_check");
    if (it == meta.end() ||
        !detail::openValue(out.key, detail::keyCheckBinding(out.storeId, out.keyId),
                           it->second.data(), it->second.size())) {
        return storeError(path, "integrity: the data key the " + backend +
                                    " backend holds does not open this store (the store or "
                                    "the key was replaced)" + kResetFix);
    }
    return out;
}

Error integrityError(const std::string& path, const std::string& name) {
    return storeError(path, "integrity: the value of \"" + name +
                                "\" does not open under the store's key (changed, swapped with "
                                "another item, or taken from another store); the store is "
                                "refused as a whole" + kResetFix);
}

/// Every value of a sealed store opens under its key.
detail::Done verifyAll(sqlite3* db, const std::string& path, const Sealing& sealing) {
    auto items = allItems(db, kSealedTable);
    if (!items) return storeError(path, "cannot read the items (" + items.error().message + ")");
    for (const auto& item : items.value()) {
        const auto binding = detail::itemBinding(sealing.storeId, static_cast<ItemClass>(item.cls),
                                                 keyClassOf(item.keyClass), item.name);
        if (!detail::openValue(sealing.key, binding, item.data.data(), item.data.size())) {
            return integrityError(path, item.name);
        }
    }
    return std::monostate{};
}

/// Reads the whole of a file (none when it cannot be read).
std::optional<std::string> fileBytes(const std::string& path) {
    const detail::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return errno == ENOENT ? std::optional<std::string>(std::string()) : std::nullopt;
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return out;
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

/// After values that were in clear were sealed or deleted: every free page wiped (secure_delete
/// is on), the file rebuilt (VACUUM) and the WAL emptied into it and truncated; then the file and
/// its companions checked for any of `plain`. Marks the store scrubbed when that holds.
detail::Done scrub(sqlite3* db, const std::string& path,
                   const std::vector<detail::SecretBytes>& plain) {
    if (auto done = exec(db, "VACUUM"); !done) {
        return storeError(path, "cannot rebuild the file after sealing (" + done.error().message +
                                    "); it is tried again at the next open");
    }
    if (auto done = exec(db, "PRAGMA wal_checkpoint(TRUNCATE)"); !done) {
        return storeError(path, "cannot empty the WAL after sealing (" + done.error().message + ")");
    }
    for (const char* suffix : {"", "-wal", "-journal"}) {
        const auto bytes = fileBytes(path + suffix);
        if (!bytes) return storeError(path, std::string("cannot read back ") + path + suffix);
        for (const auto& value : plain) {
            if (value.size() < 4) continue;  // too short to tell from chance
            const std::string_view needle(reinterpret_cast<const char*>(value.data()),
                                          value.size());
            if (bytes->find(needle) != std::string::npos) {
                return storeError(path, std::string("a value that was in clear is still in ") +
                                            path + suffix +
                                            " after sealing; it is tried again at the next open");
            }
        }
    }
    if (auto done = exec(db, "UPDATE meta SET value = CAST('1' AS BLOB) WHERE name = 'scrubbed'");
        !done) {
        return storeError(path, done.error().message);
    }
    return std::monostate{};
}

/// Rolls back an open write transaction when it goes out of scope uncommitted.
class WriteGuard {
  public:
    explicit WriteGuard(sqlite3* db) : db_(db) {}
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;
    ~WriteGuard() {
        if (sqlite3_get_autocommit(db_) == 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }

  private:
    sqlite3* db_;
};

/// The backend `options` asks for: the named one, or auto's choice (with what it passed over).
Result<std::pair<std::shared_ptr<detail::KeyProtection>, std::string>> chosenProtection(
    const std::string& path, const StoreOptions& options) {
    if (options.protection == "auto") {
        auto choice = detail::chooseKeyProtection(path, options.keyDirectory);
        if (!choice) return choice.error();
        std::string why = "auto";
        if (!choice.value().passedOver.empty()) why += " (passed over: " + choice.value().passedOver + ")";
        return std::make_pair(std::shared_ptr<detail::KeyProtection>(std::move(choice.value().protection)), why);
    }
    auto made = detail::makeKeyProtection(options.protection, path, options.keyDirectory);
    if (!made) return made.error();
    return std::make_pair(std::shared_ptr<detail::KeyProtection>(std::move(made).value()),
                          std::string("asked for"));
}

/// Seals a store whose values are in clear, or starts an empty sealed one, in one write
/// transaction: the key is kept by the backend first, then every value is sealed into the new
/// table, the old table dropped and the key recorded; a stop anywhere before the commit leaves
/// the store as it was (and an unrecorded key, swept at the next such write). Returns the
/// values that were in clear (for the scrub's check), or none when another process sealed the
/// store first.
struct Migration {
    std::vector<detail::SecretBytes> plain;
    std::string chosen;
};
Result<std::optional<Migration>> sealStore(sqlite3* db, const std::string& path,
                                           const StoreOptions& options) {
    if (auto done = exec(db, "BEGIN IMMEDIATE"); !done) {
        return storeError(path, "cannot lock the database (" + done.error().message + ")" +
                                    kBusyElsewhere);
    }
    const WriteGuard guard(db);
    auto layout = layoutOf(db);
    if (!layout) return storeError(path, layout.error().message);
    if (layout.value() == Layout::sealed) return std::optional<Migration>();
    auto chosen = chosenProtection(path, options);
    if (!chosen) return chosen.error();
    Migration migration;
    migration.chosen = chosen.value().second;
    std::vector<RawItem> items;
    if (layout.value() == Layout::plain) {
        auto read = allItems(db, kPlainTable);
        if (!read) return storeError(path, "cannot read the items (" + read.error().message + ")");
        items = std::move(read).value();
    }
    auto sealing = newSealing(path, chosen.value().first, std::nullopt);
    if (!sealing) return sealing.error();
    Sealing& s = sealing.value();
    s.migrated = !items.empty();
    s.protection->sweep(s.ref(path));
    auto fail = [&](const std::string& problem) -> Error {
        s.protection->destroy(s.ref(path), s.handle);
        return storeError(path, "cannot seal the store (" + problem + ")" + kBusyElsewhere);
    };
    if (auto done = exec(db, kCreateMeta); !done) return fail(done.error().message);
    if (auto done = exec(db, createItems(kSealedTable).c_str()); !done) {
        return fail(done.error().message);
    }
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db,
                           "INSERT INTO sealed_items (class, name, key_class, data) "
                           "VALUES (?1, ?2, ?3, ?4)",
                           -1, &raw, nullptr) != SQLITE_OK) {
        return fail(dbMessage(db));
    }
    const Stmt insert(raw);
    detail::ValueSealer sealer(s.key, items.size());
    for (auto& item : items) {
        const auto binding = detail::itemBinding(s.storeId, static_cast<ItemClass>(item.cls),
                                                 keyClassOf(item.keyClass), item.name);
        const auto sealed = sealer.seal(binding, item.data.data(), item.data.size());
        migration.plain.emplace_back(item.data.begin(), item.data.end());
        OPENSSL_cleanse(item.data.data(), item.data.size());
        if (!sealed) return fail("a value could not be sealed");
        const StmtReset reset(insert.get());
        sqlite3_bind_int(insert.get(), 1, item.cls);
        sqlite3_bind_text(insert.get(), 2, item.name.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int(insert.get(), 3, static_cast<int>(keyClassOf(item.keyClass)));
        sqlite3_bind_blob64(insert.get(), 4, sealed->data(), sealed->size(), SQLITE_STATIC);
        if (const int rc = sqlite3_step(insert.get()); rc != SQLITE_DONE) {
            return fail(dbMessage(db));
        }
    }
    if (layout.value() == Layout::plain) {
        if (auto done = exec(db, "DROP TABLE items"); !done) return fail(done.error().message);
    }
    if (auto done = writeMeta(db, s, false); !done) return fail(done.error().message);
    if (auto done = exec(db, "COMMIT"); !done) return fail(done.error().message);
    return std::optional<Migration>(std::move(migration));
}

/// Items read before are answered from memory while the database is unchanged. SQLite's
/// data_version moves whenever another connection (another store object, another process)
/// commits; this connection's own writes do not move it, so each of them forgets the item it
/// writes (a rekey forgets everything). The remembered bytes are
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

    /// Forgets one item (this connection is about to write it).
    void forget(ItemClass cls, const std::string& name) {
        if (const auto it = items_.find(Key{cls, name}); it != items_.end()) items_.erase(it);
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


/// The statements the store keeps prepared, in the order they are made; %s is the items table.
constexpr const char* kStatements[] = {
    "BEGIN IMMEDIATE",
    "BEGIN",
    "COMMIT",
    "ROLLBACK",
    "INSERT INTO %s (class, name, key_class, data) VALUES (?1, ?2, ?3, ?4)",
    "SELECT key_class, data FROM %s WHERE class = ?1 AND name = ?2",
    "DELETE FROM %s WHERE class = ?1 AND name = ?2",
    "PRAGMA data_version",
    "SELECT count(*) FROM %s",
};
constexpr std::size_t kStatementCount = std::size(kStatements);

std::string withTable(const char* sql, const char* table) {
    std::string out = sql;
    if (const auto at = out.find("%s"); at != std::string::npos) out.replace(at, 2, table);
    return out;
}

class SqliteSecureStore final : public SecureStore {
  public:
    SqliteSecureStore(std::string path, StoreOptions options, DbHandle db, std::vector<Stmt> stmts,
                      std::optional<Sealing> sealing, std::string chosen)
        : path_(std::move(path)),
          options_(std::move(options)),
          chosen_(std::move(chosen)),
          db_(std::move(db)),
          begin_(std::move(stmts.at(0))),
          beginRead_(std::move(stmts.at(1))),
          commit_(std::move(stmts.at(2))),
          rollback_(std::move(stmts.at(3))),
          insert_(std::move(stmts.at(4))),
          select_(std::move(stmts.at(5))),
          erase_(std::move(stmts.at(6))),
          dataVersion_(std::move(stmts.at(7))),
          count_(std::move(stmts.at(8))),
          sealing_(std::move(sealing)) {}

    Done insert(ItemClass cls, const std::string& name, const StoreItem& item) override {
        return finish("add", name, locked([&] { return addLocked(cls, name, item); }));
    }

    Result<std::optional<StoreItem>> read(ItemClass cls, const std::string& name) override {
        StoreItem item;
        detail::Done done = std::monostate{};
        {
            std::lock_guard lock(mutex_);
            const bool inTransaction = runSimple(beginRead_.get());
            done = current();
            if (done) done = readLocked(cls, name, item);
            if (inTransaction) abandonWrite();
        }
        done = finish("read", name, std::move(done));
        if (done) return std::optional<StoreItem>(std::move(item));
        if (keychainStatus(done) == KeychainStatus::itemNotFound) return std::optional<StoreItem>();
        return done.error();
    }

    Done erase(ItemClass cls, const std::string& name) override {
        return finish("delete", name, locked([&] { return removeLocked(cls, name); }));
    }

    Done put(ItemClass cls, const std::string& name, const StoreItem& item) override {
        return finish("replace", name,
                      locked([&] { return replaceAllLocked(cls, {NamedItem{name, item}}); }));
    }

    Done putAll(ItemClass cls, const std::vector<NamedItem>& items) override {
        std::string failedName;
        auto done = locked([&] {
            auto written = replaceAllLocked(cls, items);
            if (!written && !items.empty()) failedName = items.back().name;
            return written;
        });
        return finish("replace", failedName, std::move(done));
    }

    // The status forms, from the Result forms.
    std::int32_t add(ItemClass cls, const std::string& name, const StoreItem& item) override {
        return keychainStatus(insert(cls, name, item));
    }

    std::int32_t copy(ItemClass cls, const std::string& name, StoreItem& out) override {
        auto item = read(cls, name);
        if (!item) return keychainStatus(item.error());
        if (!item.value()) return KeychainStatus::itemNotFound;
        out = std::move(*item.value());
        return KeychainStatus::success;
    }

    std::vector<std::optional<StoreItem>> copyAll(ItemClass cls,
                                                  const std::vector<std::string>& names) override {
        std::vector<std::optional<StoreItem>> out(names.size());
        detail::Done failed = std::monostate{};
        std::string failedName;
        {
            std::lock_guard lock(mutex_);
            // One read transaction: the version check and every read see the same snapshot.
            const bool inTransaction = runSimple(beginRead_.get());
            failed = current();
            for (std::size_t i = 0; failed && i < names.size(); ++i) {
                StoreItem item;
                auto read = readLocked(cls, names[i], item);
                if (read) {
                    out[i] = std::move(item);
                } else if (read.error().code != KeychainStatus::itemNotFound) {
                    failed = std::move(read);
                    failedName = names[i];
                }
            }
            // A value that does not open refuses the whole read, never some of it.
            if (!failed) out.assign(names.size(), std::nullopt);
            if (inTransaction) abandonWrite();  // ends the read; nothing was written
        }
        finish("read", failedName, std::move(failed));
        return out;
    }

    std::int32_t remove(ItemClass cls, const std::string& name) override {
        return keychainStatus(erase(cls, name));
    }

    std::int32_t replace(ItemClass cls, const std::string& name, const StoreItem& item) override {
        return keychainStatus(put(cls, name, item));
    }

    std::int32_t replaceAll(ItemClass cls, const std::vector<NamedItem>& items) override {
        return keychainStatus(putAll(cls, items));
    }

    const std::string& path() const { return path_; }

    /// The names of class `cls` that start with `prefix`, from one read.
    Result<std::vector<std::string>> names(ItemClass cls, const std::string& prefix) {
        std::vector<std::string> out;
        std::lock_guard lock(mutex_);
        const bool inTransaction = runSimple(beginRead_.get());
        auto done = current();
        if (done) {
            const std::string sql =
                withTable("SELECT name FROM %s WHERE class = ?1 AND substr(name, 1, ?2) = ?3",
                          sealing_ ? kSealedTable : kPlainTable);
            sqlite3_stmt* raw = nullptr;
            if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
                done = statusError(KeychainStatus::ioError, dbMessage(db_.get()));
            } else {
                const Stmt stmt(raw);
                sqlite3_bind_int(raw, 1, static_cast<int>(cls));
                sqlite3_bind_int64(raw, 2, static_cast<sqlite3_int64>(prefix.size()));
                sqlite3_bind_text(raw, 3, prefix.data(), static_cast<int>(prefix.size()),
                                  SQLITE_STATIC);
                int rc = SQLITE_ROW;
                while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
                    const auto* text = sqlite3_column_text(raw, 0);
                    if (text != nullptr) out.emplace_back(reinterpret_cast<const char*>(text));
                }
                if (rc != SQLITE_DONE) done = statusError(statusOf(rc), dbMessage(db_.get()));
            }
        }
        if (inTransaction) abandonWrite();
        if (!done) return refusalOr(done.error());
        return out;
    }

    /// The refusal every call gives after a value did not open; none while the store is sound.
    std::optional<Error> refusal() {
        std::lock_guard lock(mutex_);
        return refusal_;
    }

    void forgetRefusal() {
        std::lock_guard lock(mutex_);
        refusal_.reset();
        sealingVersion_.reset();
        cache_.clear();
    }

    Result<StoreStatus> status() {
        std::lock_guard lock(mutex_);
        const bool inTransaction = runSimple(beginRead_.get());
        auto done = current();
        StoreStatus out;
        out.path = path_;
        if (done) {
            const StmtReset reset(count_.get());
            if (sqlite3_step(count_.get()) == SQLITE_ROW) {
                out.itemCount = static_cast<std::size_t>(sqlite3_column_int64(count_.get(), 0));
            }
        }
        if (inTransaction) abandonWrite();
        if (!done) return refusalOr(done.error());
        describe(out);
        return out;
    }

    Result<StoreStatus> rekey() {
        {
            std::lock_guard lock(mutex_);
            if (!sealing_) {
                return storeError(path_, "the store keeps its values in clear (storeProtection "
                                         "none): there is no data key to change");
            }
            auto done = rekeyLocked();
            if (!done) return refusalOr(done.error());
        }
        return status();
    }

  private:
    const std::string path_;
    const StoreOptions options_;
    std::string chosen_;
    // Declared before the statements so that they are finalized before the connection closes.
    std::mutex mutex_;
    DbHandle db_;
    Stmt begin_, beginRead_, commit_, rollback_, insert_, select_, erase_, dataVersion_, count_;
    ItemCache cache_;                 // guarded by mutex_
    std::optional<Sealing> sealing_;  // guarded by mutex_; none: values in clear
    std::optional<std::int64_t> sealingVersion_;  // data_version the sealing was checked at
    std::optional<Error> refusal_;                // guarded by mutex_

    template <class F>
    detail::Done locked(F&& body) {
        std::lock_guard lock(mutex_);
        return body();
    }

    Error refusalOr(const Error& error) const {
        if (refusal_) return *refusal_;
        if (error.domain == ErrorDomain::store) return storeError(path_, error.message);
        return error;
    }

    void describe(StoreStatus& out) const {
        if (!sealing_) {
            out.backend = "none";
            out.strength = "none";
            out.formatVersion = 1;
            out.chosen = "asked for";
            out.caveat = "values are kept in clear: anyone who can read the file reads them";
            return;
        }
        out.backend = sealing_->protection->name();
        out.strength = sealing_->protection->strength();
        out.formatVersion = kSealedFormat;
        out.migrated = sealing_->migrated;
        out.chosen = chosen_;
        out.caveat = sealing_->protection->caveat();
    }

    /// The call's outcome, its problem (if any) written to the diagnostics (outside the lock:
    /// the sink may call back into the store). A failure without words of its own (an expected
    /// duplicateItem or itemNotFound) gets the status's.
    static Done finish(const char* what, const std::string& name, detail::Done done) {
        if (done) return done;
        if (!done.error().message.empty()) {
            detail::diag(std::string("Secure store: ") + what + " of \"" + name +
                         "\" failed: " + done.error().message,
                         DiagnosticLevel::warning);
            return done;
        }
        return statusFailure(keychainStatus(done));
    }

    bool runSimple(sqlite3_stmt* stmt) { return stepSimple(stmt) == SQLITE_DONE; }

    int stepSimple(sqlite3_stmt* stmt) {
        const StmtReset reset(stmt);
        return sqlite3_step(stmt);
    }

    std::optional<std::int64_t> dataVersion() {
        sqlite3_stmt* stmt = dataVersion_.get();
        const StmtReset reset(stmt);
        if (sqlite3_step(stmt) == SQLITE_ROW) return sqlite3_column_int64(stmt, 0);
        return std::nullopt;
    }

    /// Inside a transaction: drops remembered items when another connection committed since
    /// they were read, and takes up a new data key or identity another connection recorded (a
    /// rekey, a reset). Fails, and keeps failing, once a value did not open.
    detail::Done current() {
        if (refusal_) return statusError(KeychainStatus::integrityFailure, refusal_->message);
        const auto version = dataVersion();
        if (!version) {
            cache_.clear();
            return std::monostate{};
        }
        cache_.validate(*version);
        if (!sealing_ || sealingVersion_ == version) return std::monostate{};
        auto meta = readMeta(db_.get());
        if (!meta) return meta.error();
        if (metaText(meta.value(), "store_id") != sealing_->storeId ||
            metaText(meta.value(), "key_id") != sealing_->keyId) {
            StoreOptions options = options_;
            options.protection = "auto";  // whatever backend the new key was kept by
            auto loaded = loadSealing(path_, options, meta.value());
            if (!loaded) {
                return statusError(KeychainStatus::notAvailable, loaded.error().message);
            }
            sealing_ = std::move(loaded).value();
        }
        sealingVersion_ = version;
        return std::monostate{};
    }

    /// Starts a write transaction and brings the sealing up to date.
    detail::Done beginWrite() {
        const int rc = stepSimple(begin_.get());
        if (rc != SQLITE_DONE) return statusError(statusOf(rc), dbMessage(db_.get()));
        auto done = current();
        if (!done) abandonWrite();
        return done;
    }

    detail::Done commitWrite() {
        const int rc = stepSimple(commit_.get());
        if (rc == SQLITE_DONE) return std::monostate{};
        auto error = statusError(statusOf(rc), dbMessage(db_.get()));
        abandonWrite();
        return error;
    }

    void abandonWrite() {
        if (sqlite3_get_autocommit(db_.get()) == 0) runSimple(rollback_.get());
    }

    void bindKey(sqlite3_stmt* stmt, ItemClass cls, const std::string& name) {
        sqlite3_bind_int(stmt, 1, static_cast<int>(cls));
        sqlite3_bind_text64(stmt, 2, name.data(), name.size(), SQLITE_STATIC, SQLITE_UTF8);
    }

    /// The INSERT of one item (sealed when the store is, by `sealer` when given: the items of
    /// one write share it), inside a write transaction.
    detail::Done insertItem(ItemClass cls, const std::string& name, const StoreItem& item,
                            detail::ValueSealer* sealer = nullptr) {
        cache_.forget(cls, name);
        std::optional<Bytes> sealed;
        const Bytes* data = &item.data;
        if (sealing_) {
            const auto binding = detail::itemBinding(sealing_->storeId, cls, item.keyClass, name);
            sealed = sealer != nullptr
                         ? sealer->seal(binding, item.data.data(), item.data.size())
                         : detail::sealValue(sealing_->key, binding, item.data.data(),
                                             item.data.size());
            if (!sealed) {
                return statusError(KeychainStatus::ioError,
                                   "the value could not be sealed (random source or cipher "
                                   "failed)");
            }
            data = &*sealed;
        }
        sqlite3_stmt* stmt = insert_.get();
        const StmtReset reset(stmt);
        bindKey(stmt, cls, name);
        sqlite3_bind_int(stmt, 3, static_cast<int>(item.keyClass));
        // A null pointer would store NULL; an empty item is a zero-length blob.
        if (data->empty()) {
            sqlite3_bind_zeroblob(stmt, 4, 0);
        } else {
            sqlite3_bind_blob64(stmt, 4, data->data(), data->size(), SQLITE_STATIC);
        }
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return std::monostate{};
        if (rc == SQLITE_CONSTRAINT_PRIMARYKEY) return statusError(KeychainStatus::duplicateItem);
        return statusError(statusOf(rc), dbMessage(db_.get()));
    }

    /// The DELETE of one item, inside a write transaction; itemNotFound when there was none.
    detail::Done eraseItem(ItemClass cls, const std::string& name) {
        cache_.forget(cls, name);
        sqlite3_stmt* stmt = erase_.get();
        const StmtReset reset(stmt);
        bindKey(stmt, cls, name);
        const int rc = sqlite3_step(stmt);
        if (rc != SQLITE_DONE) return statusError(statusOf(rc), dbMessage(db_.get()));
        if (sqlite3_changes(db_.get()) == 0) return statusError(KeychainStatus::itemNotFound);
        return std::monostate{};
    }

    /// An item from memory when the database is unchanged since it was read, else from the file.
    detail::Done readLocked(ItemClass cls, const std::string& name, StoreItem& out) {
        if (const auto known = cache_.find(cls, name, out)) {
            if (*known == KeychainStatus::success) return std::monostate{};
            return statusError(*known);
        }
        auto done = copyLocked(cls, name, out);
        if (done) {
            cache_.remember(cls, name, &out);
        } else if (done.error().code == KeychainStatus::itemNotFound) {
            cache_.remember(cls, name, nullptr);
        }
        return done;
    }

    detail::Done addLocked(ItemClass cls, const std::string& name, const StoreItem& item) {
        if (auto begun = beginWrite(); !begun) return begun;
        auto inserted = insertItem(cls, name, item);
        if (inserted) return commitWrite();
        abandonWrite();
        return inserted;
    }

    detail::Done copyLocked(ItemClass cls, const std::string& name, StoreItem& out) {
        sqlite3_stmt* stmt = select_.get();
        const StmtReset reset(stmt);
        bindKey(stmt, cls, name);
        const int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) return statusError(KeychainStatus::itemNotFound);
        if (rc != SQLITE_ROW) return statusError(KeychainStatus::ioError, dbMessage(db_.get()));
        const KeyClass keyClass = keyClassOf(sqlite3_column_int(stmt, 0));
        const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, 1));
        const int size = sqlite3_column_bytes(stmt, 1);
        if (size > 0 && data == nullptr) {
            return statusError(KeychainStatus::ioError, dbMessage(db_.get()));
        }
        const std::size_t length = size > 0 ? static_cast<std::size_t>(size) : 0;
        if (sealing_) {
            auto plain = detail::openValue(
                sealing_->key, detail::itemBinding(sealing_->storeId, cls, keyClass, name), data,
                length);
            if (!plain) {
                refusal_ = integrityError(path_, name);
                cache_.clear();
                return statusError(KeychainStatus::integrityFailure, refusal_->message);
            }
            out.data.assign(plain->begin(), plain->end());
        } else {
            out.data.assign(data, data + length);
        }
        out.keyClass = keyClass;
        return std::monostate{};
    }

    detail::Done removeLocked(ItemClass cls, const std::string& name) {
        if (auto begun = beginWrite(); !begun) return begun;
        auto erased = eraseItem(cls, name);
        if (!erased) {
            abandonWrite();  // nothing written; just release the lock
            return erased;
        }
        return commitWrite();
    }

    // Every delete and insert in one transaction: the old items stay until all the new ones are
    // durable, and a failure anywhere leaves every one of them as it was.
    detail::Done replaceAllLocked(ItemClass cls, const std::vector<NamedItem>& items) {
        if (auto begun = beginWrite(); !begun) return begun;
        std::optional<detail::ValueSealer> sealer;
        if (sealing_) sealer.emplace(sealing_->key, items.size());
        for (const auto& named : items) {
            auto erased = eraseItem(cls, named.name);
            if (!erased && erased.error().code != KeychainStatus::itemNotFound) {
                abandonWrite();
                return erased;
            }
            auto inserted = insertItem(cls, named.name, named.item, sealer ? &*sealer : nullptr);
            if (!inserted) {
                abandonWrite();
                return inserted;
            }
        }
        return commitWrite();
    }

    /// Every value sealed again under a new key in one transaction; the old key destroyed after
    /// the commit (a stop in between leaves it behind, unused, until the next sweep).
    detail::Done rekeyLocked() {
        if (auto begun = beginWrite(); !begun) return begun;
        cache_.clear();
        auto items = allItems(db_.get(), kSealedTable);
        if (!items) {
            abandonWrite();
            return items.error();
        }
        auto next = newSealing(path_, sealing_->protection, sealing_->storeId);
        if (!next) {
            abandonWrite();
            return next.error();
        }
        next.value().migrated = sealing_->migrated;
        auto fail = [&](Error error) -> detail::Done {
            abandonWrite();
            next.value().protection->destroy(next.value().ref(path_), next.value().handle);
            return error;
        };
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(),
                               "UPDATE sealed_items SET data = ?1 WHERE class = ?2 AND name = ?3",
                               -1, &raw, nullptr) != SQLITE_OK) {
            return fail(statusError(KeychainStatus::ioError, dbMessage(db_.get())));
        }
        const Stmt update(raw);
        detail::ValueSealer sealer(next.value().key, items.value().size());
        for (const auto& item : items.value()) {
            const auto binding = detail::itemBinding(sealing_->storeId,
                                                     static_cast<ItemClass>(item.cls),
                                                     keyClassOf(item.keyClass), item.name);
            const auto plain =
                detail::openValue(sealing_->key, binding, item.data.data(), item.data.size());
            if (!plain) {
                refusal_ = integrityError(path_, item.name);
                return fail(*refusal_);
            }
            const auto sealed = sealer.seal(binding, plain->data(), plain->size());
            if (!sealed) return fail(statusError(KeychainStatus::ioError, "sealing failed"));
            const StmtReset reset(update.get());
            sqlite3_bind_blob64(update.get(), 1, sealed->data(), sealed->size(), SQLITE_STATIC);
            sqlite3_bind_int(update.get(), 2, item.cls);
            sqlite3_bind_text(update.get(), 3, item.name.c_str(), -1, SQLITE_STATIC);
            if (sqlite3_step(update.get()) != SQLITE_DONE) {
                return fail(statusError(KeychainStatus::ioError, dbMessage(db_.get())));
            }
        }
        if (auto done = writeMeta(db_.get(), next.value(), true); !done) return fail(done.error());
        if (auto done = commitWrite(); !done) {
            next.value().protection->destroy(next.value().ref(path_), next.value().handle);
            return done;
        }
        auto old = std::move(*sealing_);
        sealing_ = std::move(next).value();
        old.protection->destroy(old.ref(path_), old.handle);
        sealing_->protection->sweep(sealing_->ref(path_));
        return std::monostate{};
    }
};

/// The line written when a store opens under a backend that is weak, or that auto chose.
void announce(const std::string& path, const StoreStatus& status) {
    if (status.backend == "none") return;
    std::string line = "Secure store \"" + path + "\": sealed under the " + status.backend +
                       " backend (" + status.strength + ")";
    if (status.chosen != "asked for") line += ", chosen by storeProtection " + status.chosen;
    if (!status.caveat.empty()) line += "; weak: " + status.caveat;
    detail::diag(line, DiagnosticLevel::info);
}

/// The database at `path`, checked, in WAL mode, with secure_delete on: not yet of either
/// format (the caller creates or reads the tables).
Result<std::pair<std::string, DbHandle>> openDatabase(const std::string& path,
                                                      std::chrono::milliseconds busyTimeout) {
    if (path.empty()) return storeError(path, "no path given; give the path of the store's file");
    if (auto problem = ensureParentDirectories(path)) return storeError(path, *problem);
    if (auto problem = directoryProblem(path)) return storeError(path, *problem);
    auto real = linkFreePath(path);
    if (!real) return real.error();
    if (auto fileProblem = prepareFile(real.value())) return storeError(path, *fileProblem);

    sqlite3* raw = nullptr;
    const int openRc = sqlite3_open_v2(
        real.value().c_str(), &raw,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
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
    const auto check = singleText(db.get(), "PRAGMA quick_check");
    if (!check) {
        return storeError(path, "not a usable database (" + check.error().message + ")" +
                                    kStartAfresh);
    }
    if (check.value() != "ok") {
        return storeError(path, "the database is corrupt (" + check.value() + ")" + kStartAfresh);
    }
    if (auto layout = layoutOf(db.get()); !layout) {
        return storeError(path, layout.error().message);
    }

    // Switching the journal mode needs the file to itself and does not wait on the busy handler:
    // when another process is opening the same new file at this moment, retry until the busy
    // timeout has passed.
    auto mode = singleText(db.get(), "PRAGMA journal_mode = WAL");
    const auto deadline = std::chrono::steady_clock::now() + busyTimeout;
    while (!mode && mode.error().code == KeychainStatus::locked &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        mode = singleText(db.get(), "PRAGMA journal_mode = WAL");
    }
    if (!mode) {
        return storeError(path, "cannot switch to WAL mode (" + mode.error().message + ")" +
                                    kBusyElsewhere);
    }
    if (mode.value() != "wal") {
        return storeError(path, "cannot switch to WAL mode (mode " + mode.value() + ")" +
                                    kBusyElsewhere);
    }
    // secure_delete: a page freed (a value replaced or deleted) is overwritten with zeros.
    for (const char* pragma : {"PRAGMA synchronous = FULL", "PRAGMA secure_delete = ON"}) {
        if (auto done = exec(db.get(), pragma); !done) {
            return storeError(path, std::string("cannot set ") + (pragma + 7) + " (" +
                                        done.error().message + ")" + kBusyElsewhere);
        }
    }
    return std::make_pair(std::move(real).value(), std::move(db));
}

bool knownProtection(const std::string& name) {
    return name == "auto" || name == "tpm" || name == "secret-service" || name == "file" ||
           name == "none";
}

Result<std::vector<Stmt>> prepareStatements(sqlite3* db, const std::string& path,
                                            const char* table) {
    std::vector<Stmt> stmts;
    stmts.reserve(kStatementCount);
    for (const char* sql : kStatements) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v3(db, withTable(sql, table).c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                               &stmt, nullptr) != SQLITE_OK) {
            return storeError(path, "unexpected items table (" + dbMessage(db) + ")" + kStartAfresh);
        }
        stmts.emplace_back(stmt);
    }
    return stmts;
}

Result<std::shared_ptr<SecureStore>> openStore(const std::string& path,
                                               const StoreOptions& options,
                                               std::chrono::milliseconds busyTimeout) {
    if (!knownProtection(options.protection)) {
        return storeError(path, "unknown storeProtection \"" + options.protection +
                                    "\"; use auto, tpm, secret-service, file or none");
    }
    auto opened = openDatabase(path, busyTimeout);
    if (!opened) return opened.error();
    auto& [real, db] = opened.value();
    auto layout = layoutOf(db.get());
    if (!layout) return storeError(path, layout.error().message);

    if (options.protection == "none") {
        if (layout.value() == Layout::sealed) {
            return storeError(path, "the store is sealed, and storeProtection none reads only "
                                    "values kept in clear; set storeProtection to auto" +
                                        std::string(kResetFix));
        }
        if (auto done = exec(db.get(), "BEGIN IMMEDIATE"); !done) {
            return storeError(path, "cannot lock the database (" + done.error().message + ")" +
                                        kBusyElsewhere);
        }
        if (auto done = exec(db.get(), createItems(kPlainTable).c_str()); !done) {
            exec(db.get(), "ROLLBACK");
            return storeError(path, "cannot create the items table (" + done.error().message +
                                        ")" + kBusyElsewhere);
        }
        if (auto done = exec(db.get(), "COMMIT"); !done) {
            exec(db.get(), "ROLLBACK");
            return storeError(path, "cannot create the items table (" + done.error().message +
                                        ")" + kBusyElsewhere);
        }
        auto stmts = prepareStatements(db.get(), path, kPlainTable);
        if (!stmts) return stmts.error();
        return std::shared_ptr<SecureStore>(std::make_shared<SqliteSecureStore>(
            real, options, std::move(db), std::move(stmts).value(), std::nullopt, "asked for"));
    }

    std::string chosen = options.protection == "auto" ? "auto (recorded in the store)"
                                                      : "asked for";
    if (layout.value() != Layout::sealed) {
        auto migrated = sealStore(db.get(), path, options);
        if (!migrated) return migrated.error();
        if (migrated.value()) {
            chosen = migrated.value()->chosen;
            if (auto done = scrub(db.get(), real, migrated.value()->plain); !done) {
                detail::diag("Secure store: " + done.error().message, DiagnosticLevel::warning);
            }
        }
    }
    auto meta = readMeta(db.get());
    if (!meta) return storeError(path, "cannot read the store's key record (" +
                                           meta.error().message + ")");
    auto sealing = loadSealing(path, options, meta.value());
    if (!sealing) return sealing.error();
    if (auto verified = verifyAll(db.get(), path, sealing.value()); !verified) {
        return verified.error();
    }
    if (metaText(meta.value(), "scrubbed") != "1") {
        // A seal or reset stopped before its old pages were wiped: wipe them now.
        if (auto done = scrub(db.get(), real, {}); !done) {
            detail::diag("Secure store: " + done.error().message, DiagnosticLevel::warning);
        }
    }
    auto stmts = prepareStatements(db.get(), path, kSealedTable);
    if (!stmts) return stmts.error();
    auto store = std::make_shared<SqliteSecureStore>(real, options, std::move(db),
                                                     std::move(stmts).value(),
                                                     std::move(sealing).value(), chosen);
    if (auto status = store->status()) announce(path, status.value());
    return std::shared_ptr<SecureStore>(std::move(store));
}

}  // namespace

std::string detail::jsonQuoted(const std::string& text) {
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out + "\"";
}

std::string StoreStatus::json() const {
    const auto& quoted = detail::jsonQuoted;
    return std::string("{\"path\":") + quoted(path) + ",\"backend\":" + quoted(backend) +
           ",\"strength\":" + quoted(strength) +
           ",\"formatVersion\":" + std::to_string(formatVersion) +
           ",\"itemCount\":" + std::to_string(itemCount) +
           ",\"migrated\":" + (migrated ? "true" : "false") + ",\"chosen\":" + quoted(chosen) +
           (caveat.empty() ? std::string() : ",\"caveat\":" + quoted(caveat)) + "}";
}

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

std::optional<Error> storeRefusal(SecureStore& store) {
    if (auto* sqlite = dynamic_cast<SqliteSecureStore*>(&store)) return sqlite->refusal();
    return std::nullopt;
}

std::optional<Result<std::vector<std::string>>> sqliteItemNames(SecureStore& store, ItemClass cls,
                                                                const std::string& prefix) {
    if (auto* sqlite = dynamic_cast<SqliteSecureStore*>(&store)) return sqlite->names(cls, prefix);
    return std::nullopt;
}

void forgetRefusal(SecureStore& store) {
    if (auto* sqlite = dynamic_cast<SqliteSecureStore*>(&store)) sqlite->forgetRefusal();
}

Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path,
                                                           std::chrono::milliseconds busyTimeout) {
    return openStore(path, StoreOptions{}, busyTimeout);
}

Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path,
                                                           const StoreOptions& options,
                                                           std::chrono::milliseconds busyTimeout) {
    return openStore(path, options, busyTimeout);
}

}  // namespace detail

Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path) {
    return detail::openSqliteSecureStore(path, detail::kStoreBusyTimeout);
}

Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path,
                                                           const StoreOptions& options) {
    return openStore(path, options, detail::kStoreBusyTimeout);
}

Result<StoreStatus> secureStoreStatus(SecureStore& store) {
    if (auto* sqlite = dynamic_cast<SqliteSecureStore*>(&store)) return sqlite->status();
    return detail::clientError(ClientErrorCode::storeUnavailable,
                               "secure store: the installed store is the host's own; its "
                               "protection is the host's to report");
}

Result<StoreStatus> rekeySecureStore(SecureStore& store) {
    if (auto* sqlite = dynamic_cast<SqliteSecureStore*>(&store)) return sqlite->rekey();
    return detail::clientError(ClientErrorCode::storeUnavailable,
                               "secure store: the installed store is the host's own; rekey it "
                               "there");
}

Result<StoreStatus> resetSqliteSecureStore(const std::string& path, const StoreOptions& options) {
    if (!knownProtection(options.protection)) {
        return storeError(path, "unknown storeProtection \"" + options.protection +
                                    "\"; use auto, tpm, secret-service, file or none");
    }
    auto opened = openDatabase(path, detail::kStoreBusyTimeout);
    if (!opened) return opened.error();
    auto& [real, db] = opened.value();
    if (auto done = exec(db.get(), "BEGIN IMMEDIATE"); !done) {
        return storeError(path, "cannot lock the database (" + done.error().message + ")" +
                                    kBusyElsewhere);
    }
    const WriteGuard guard(db.get());
    auto layout = layoutOf(db.get());
    if (!layout) return storeError(path, layout.error().message);
    // The old key, to destroy once the new store is committed (it may be gone already).
    std::optional<std::pair<std::shared_ptr<detail::KeyProtection>, detail::KeyRef>> old;
    Bytes oldHandle;
    if (layout.value() == Layout::sealed) {
        if (auto meta = readMeta(db.get())) {
            const auto& m = meta.value();
            if (auto made = detail::makeKeyProtection(metaText(m, "backend"), path,
                                                      options.keyDirectory)) {
                Sealing former;
                former.storeId = metaText(m, "store_id");
                former.keyId = metaText(m, "key_id");
                if (const auto it = m.find("key_handle"); it != m.end()) oldHandle = it->second;
                old.emplace(std::shared_ptr<detail::KeyProtection>(std::move(made).value()),
                            former.ref(path));
            }
        }
    }
    for (const char* sql : {"DROP TABLE IF EXISTS items", "DROP TABLE IF EXISTS sealed_items",
                            "DROP TABLE IF EXISTS meta"}) {
        if (auto done = exec(db.get(), sql); !done) {
            return storeError(path, "cannot reset (" + done.error().message + ")" + kBusyElsewhere);
        }
    }
    std::optional<Sealing> sealing;
    std::string chosen = "asked for";
    if (options.protection == "none") {
        if (auto done = exec(db.get(), createItems(kPlainTable).c_str()); !done) {
            return storeError(path, "cannot reset (" + done.error().message + ")");
        }
    } else {
        auto protection = chosenProtection(path, options);
        if (!protection) return protection.error();
        chosen = protection.value().second;
        auto made = newSealing(path, protection.value().first, std::nullopt);
        if (!made) return made.error();
        sealing = std::move(made).value();
        for (const std::string& sql : {std::string(kCreateMeta), createItems(kSealedTable)}) {
            if (auto done = exec(db.get(), sql.c_str()); !done) {
                sealing->protection->destroy(sealing->ref(path), sealing->handle);
                return storeError(path, "cannot reset (" + done.error().message + ")");
            }
        }
        if (auto done = writeMeta(db.get(), *sealing, false); !done) {
            sealing->protection->destroy(sealing->ref(path), sealing->handle);
            return storeError(path, "cannot reset (" + done.error().message + ")");
        }
    }
    if (auto done = exec(db.get(), "COMMIT"); !done) {
        if (sealing) sealing->protection->destroy(sealing->ref(path), sealing->handle);
        return storeError(path, "cannot reset (" + done.error().message + ")" + kBusyElsewhere);
    }
    if (old) old->first->destroy(old->second, oldHandle);
    if (sealing) sealing->protection->sweep(sealing->ref(path));
    if (auto done = scrub(db.get(), real, {}); !done && sealing) {
        detail::diag("Secure store: " + done.error().message, DiagnosticLevel::warning);
    }
    StoreStatus status;
    status.path = real;
    status.chosen = chosen;
    if (sealing) {
        status.backend = sealing->protection->name();
        status.strength = sealing->protection->strength();
        status.formatVersion = kSealedFormat;
        status.caveat = sealing->protection->caveat();
    } else {
        status.backend = "none";
        status.strength = "none";
    }
    return status;
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
