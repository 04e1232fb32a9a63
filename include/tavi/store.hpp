// tavi — the secure store (keychain stand-in) and the session values kept in it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavi/export.hpp"
#include "tavi/result.hpp"

namespace tavi {

/// Statuses, as the platform keychain reports them (the table is in error_codes.hpp):
/// success, duplicateItem, itemNotFound, invalidData, ioError, diskFull, readOnly, locked,
/// notAvailable, and integrityFailure (a sealed value did not open under the store's key:
/// changed, swapped with another item, or taken from another store; the store then refuses every
/// call until it is reset).
namespace KeychainStatus {
#define TAVI_X(code, name, brief, meaning, action) inline constexpr std::int32_t name = code;
TAVI_KEYCHAIN_STATUSES(TAVI_X)
#undef TAVI_X
}  // namespace KeychainStatus

/// Words for a status, for error messages: "disk full", "read-only", "locked", …
TAVI_EXPORT std::string describeKeychainStatus(std::int32_t status);

/// Item classes of the store.
enum class ItemClass : int { genericPassword = 0, key = 1 };

/// RSA key item classes (the `attribute` of a key item).
enum class KeyClass : int { none = 0, publicKey = 1, privateKey = 2 };

/// One item as the store returns it.
struct StoreItem {
    Bytes data;
    KeyClass keyClass = KeyClass::none;
};

/// One item of a multi-item write: the name and what to put under it.
struct NamedItem {
    std::string name;
    StoreItem item;
};

/// Backend of the store. Names are unique per item class. Implementations must be safe to call
/// from several threads at once.
///
/// Two forms of each call. The library calls the Result forms (read, insert, erase, put,
/// putAll): a failure is an Error in the SecureStoreStatus domain (ErrorDomain::store) whose code
/// is the KeychainStatus and whose message says why, in the backend's words where it has them.
/// A backend implements the status forms (add, copy, remove, and replace, replaceAll, copyAll
/// where it can do better than their defaults), as the platform keychain answers; the Result
/// forms' defaults call them. A backend that knows more than a status (the SQLite store knows
/// SQLite's words for a failure) overrides the Result forms as well.
class TAVI_EXPORT SecureStore {
  public:
    virtual ~SecureStore() = default;

    /// The item under `name`, or none when there is none (itemNotFound is not an error).
    virtual Result<std::optional<StoreItem>> read(ItemClass cls, const std::string& name);
    /// add(): an error with duplicateItem when the name holds an item.
    virtual Done insert(ItemClass cls, const std::string& name, const StoreItem& item);
    /// remove(): an error with itemNotFound when there is nothing under the name.
    virtual Done erase(ItemClass cls, const std::string& name);
    /// replace().
    virtual Done put(ItemClass cls, const std::string& name, const StoreItem& item);
    /// replaceAll().
    virtual Done putAll(ItemClass cls, const std::vector<NamedItem>& items);

    /// The KeychainStatus a Result form's outcome stands for (success when done).
    static std::int32_t keychainStatus(const Done& done);
    /// The KeychainStatus of a Result form's error.
    static std::int32_t keychainStatus(const Error& failure);
    /// The error for the failure `status` (not success) of a store call; `problem` says why,
    /// else the status's words do.
    static Error statusFailure(std::int32_t status, std::string problem = {});
    /// Adds an item; never overwrites (duplicateItem when the name exists).
    virtual std::int32_t add(ItemClass cls, const std::string& name, const StoreItem& item) = 0;
    /// Reads an item; itemNotFound when absent.
    virtual std::int32_t copy(ItemClass cls, const std::string& name, StoreItem& out) = 0;
    /// Deletes an item; itemNotFound when absent.
    virtual std::int32_t remove(ItemClass cls, const std::string& name) = 0;
    /// Puts `item` under `name` whether or not one is there, as one write: a reader, or a crash
    /// in the middle, sees the old item or the new one, never neither. The default removes, then
    /// adds; backends that can do better override it.
    virtual std::int32_t replace(ItemClass cls, const std::string& name, const StoreItem& item);
    /// Reads several items of one class together: element i is the item under names[i], or none
    /// when it is absent or cannot be read. The default calls copy() for each name; backends that
    /// can answer from one consistent read override it.
    virtual std::vector<std::optional<StoreItem>> copyAll(ItemClass cls,
                                                          const std::vector<std::string>& names);
    /// Puts every item of `items` (one class) in place of what is under its name, as one write:
    /// afterwards the store holds all of them, or, after a failure, a crash or a kill at any
    /// point, exactly what it held before. Returns 0 or the status of the failure.
    ///
    /// The default, for backends without transactions, cannot promise that. It writes in an order
    /// that never leaves a set that looks complete but is mixed: it removes the LAST item first
    /// (callers put last the item whose presence marks the set complete), replaces the others in
    /// order, and adds the last one last. Stopped part-way, the set is incomplete (its last item
    /// is absent) and the earlier values are lost; it is never half old and half new with every
    /// name present. Backends that have transactions override it.
    virtual std::int32_t replaceAll(ItemClass cls, const std::vector<NamedItem>& items);
};

/// An in-memory backend (for tests and for hosts that keep nothing between runs).
TAVI_EXPORT std::shared_ptr<SecureStore> makeMemorySecureStore();

/// The SQLite backend: one database file (created 0600, its directory 0700 when created), WAL,
/// every write one transaction; safe for several threads and several processes on one file.
/// Trusts only what the effective user owns: refuses, with an error naming the path, the problem
/// and the fix, a file or companion file (-wal, -shm, -journal) that is a symbolic link, not a
/// regular file, owned by another user or open to group or others, and a directory that is a
/// symbolic link, writable by group or others, or owned by neither the user nor root. Fails the
/// same way for a file it cannot open or that is corrupt. Nothing is followed through a link.
TAVI_EXPORT Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path);

/// How the SQLite store protects what it keeps.
struct StoreOptions {
    /// Where the store's data key is kept: "auto" (the strongest backend that works here, never
    /// "none"), "tpm", "secret-service", "file" (a key file: weak, and said to be) or "none"
    /// (values in clear, the format of earlier versions; only when asked for by name).
    std::string protection = "auto";
    /// Where the file backend keeps its key files; empty: "<store path>.keys" (mode 0700).
    std::string keyDirectory;
};

/// What protects a store, as `tavi store status` shows it.
struct StoreStatus {
    std::string path;
    std::string backend;    ///< "tpm", "secret-service", "file" or "none"
    std::string strength;   ///< "strong", "weak" or "none"
    int formatVersion = 1;  ///< 1: values in clear; 2: values sealed under the data key
    std::size_t itemCount = 0;
    bool migrated = false;  ///< the store was converted from format 1 (values that were in clear)
    std::string chosen;     ///< why this backend ("asked for", or what auto passed over)
    std::string caveat;     ///< what the backend does not protect against; empty when strong
    /// One JSON line with every field.
    std::string json() const;
};

/// openSqliteSecureStore with the protection chosen. A store written in clear by an earlier
/// version is sealed on its first open under a backend, whole or not at all, and its old pages
/// are wiped (secure_delete and VACUUM, then checked). A sealed store whose key cannot be had
/// (backend unavailable, key deleted, the store copied to another machine or user) and a store
/// with a value that does not open (changed, swapped, taken from another store) are refused
/// with ClientErrorCode::storeUnavailable naming the backend, the reason and the fix; never
/// read as empty.
TAVI_EXPORT Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(
    const std::string& path, const StoreOptions& options);

/// The protection of a store opened by openSqliteSecureStore (an error for any other store).
TAVI_EXPORT Result<StoreStatus> secureStoreStatus(SecureStore& store);

/// Seals every value of `store` again under a new data key, in one write, then destroys the old
/// key.
TAVI_EXPORT Result<StoreStatus> rekeySecureStore(SecureStore& store);

/// Starts the store at `path` over: every item deleted, a new identity and data key under
/// `options.protection`, the old key destroyed. Works when the store cannot be opened (its key is
/// gone); stores open on the file see the new, empty store.
TAVI_EXPORT Result<StoreStatus> resetSqliteSecureStore(const std::string& path,
                                                       const StoreOptions& options);

/// $XDG_DATA_HOME/tavi/store.db, else ~/.local/share/tavi/store.db.
TAVI_EXPORT std::string defaultStorePath();

/// Generic-password items: one text value under one name.
class TAVI_EXPORT KeychainManager {
  public:
    /// Adds `data` under `forKey`; 0, duplicateItem (never overwrites) or invalidData (not UTF-8).
    static std::int32_t savePreference(const std::string& data, const std::string& forKey);
    /// The text under `forKey`, or none.
    static std::optional<std::string> getPreference(const std::string& forKey);
    /// The texts under several names, read together (one consistent read where the store can):
    /// element i answers forKeys[i] as getPreference would.
    static std::vector<std::optional<std::string>> getPreferences(
        const std::vector<std::string>& forKeys);
    /// Deletes the item; 0 or itemNotFound.
    static std::int32_t deletePreference(const std::string& forKey);

    /// Installs the backend used by the whole library (process-wide, like the keychain).
    static void setStore(std::shared_ptr<SecureStore> store);
    /// The installed backend; the SQLite store at defaultStorePath() until one is installed.
    /// Never null. When no store is installed and the default one cannot be opened, this is a
    /// store that holds nothing and answers every call with KeychainStatus::notAvailable; the
    /// operations that need the session then fail with ClientErrorCode::storeUnavailable, naming
    /// the path, the reason and the fix. Values are never kept in memory unless the host installs
    /// makeMemorySecureStore() itself.
    static std::shared_ptr<SecureStore> store();

    /// The installed store's protection (opening the default one if none is installed).
    static Result<StoreStatus> status();
    /// Starts the store over (see resetSqliteSecureStore): the installed SQLite store, else the
    /// default one under AppConstantTAVI::storeProtection. The device must register again.
    static Result<StoreStatus> resetStore();
    /// A new data key for the installed store (see rekeySecureStore).
    static Result<StoreStatus> rekeyStore();
};

/// Names and typed accessors of the registered session.
struct TAVI_EXPORT SessionManager {
    static constexpr const char* pspId = "pspId";
    static constexpr const char* taviId = "taviId";
    static constexpr const char* taviKey = "taviKey";
    static constexpr const char* mobile = "mobile";
    static constexpr const char* imei1 = "imei1";
    static constexpr const char* imei2 = "imei2";
    static constexpr const char* appId = "appId";
    static constexpr const char* deviceId = "deviceId";
    static constexpr const char* usernameKey = "username";
    static constexpr const char* IS_REGISTERED = "IS_REGISTERED";

    // Writers: each replaces one value in one write and returns the store's status (0, or why
    // it failed; invalidData for text that is not UTF-8). Registration does not use them: it
    // writes the whole session at once.
    static std::int32_t savePspId(const std::string& pspIdData);
    static std::int32_t saveTaviId(const std::string& taviIdData);
    static std::int32_t saveTaviKey(const std::string& taviKeyData);
    static std::int32_t saveMobile(const std::string& data);
    static std::int32_t saveImei1(const std::string& data);
    static std::int32_t saveImei2(const std::string& data);
    static std::int32_t saveAppId(const std::string& data);
    static std::int32_t saveDeviceId(const std::string& data);

    static std::optional<std::string> getPspId();
    static std::optional<std::string> getTaviId();
    static std::optional<std::string> getTaviKey();
    static std::optional<std::string> getMobile();
    static std::optional<std::string> getImei1();
    static std::optional<std::string> getImei2();
    static std::optional<std::string> getAppId();
    static std::optional<std::string> getDeviceId();
    static std::optional<std::string> getUsername();
    /// "true" gives true, "false" gives false; anything else (or absent) gives none.
    static std::optional<bool> getIsRegistered();
};

}  // namespace tavi
