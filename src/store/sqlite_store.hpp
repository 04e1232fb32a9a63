// Internal knobs of the SQLite secure store.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tavi/result.hpp"
#include "tavi/store.hpp"

namespace tavi::detail {

/// How long a write waits for another connection (thread or process) to release the database.
inline constexpr std::chrono::milliseconds kStoreBusyTimeout{5000};

/// openSqliteSecureStore with a chosen busy timeout (tests shorten it to provoke lock failures).
Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path,
                                                           std::chrono::milliseconds busyTimeout);

/// openSqliteSecureStore with options and a chosen busy timeout.
Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path,
                                                           const StoreOptions& options,
                                                           std::chrono::milliseconds busyTimeout);

/// Why a SQLite store refuses every call (a value that did not open); none for a sound store
/// and for any other backend.
std::optional<Error> storeRefusal(SecureStore& store);
/// After a reset: the store reads its file afresh (its identity and key) at its next call.
void forgetRefusal(SecureStore& store);

/// The names of class `cls` in a SQLite store that start with `prefix`; none for any other
/// backend.
std::optional<Result<std::vector<std::string>>> sqliteItemNames(SecureStore& store, ItemClass cls,
                                                                const std::string& prefix);
/// The same for the in-memory store.
std::optional<std::vector<std::string>> memoryItemNames(SecureStore& store, ItemClass cls,
                                                        const std::string& prefix);

/// The database path of a SQLite store; none for any other backend.
std::optional<std::string> sqliteStorePath(const SecureStore& store);

/// Checks a file that belongs to a store (the database, a companion, the lock file) through an
/// open descriptor: a regular file, owned by the effective user, without group or other access.
/// Returns the problem and the fix, if any.
std::optional<std::string> untrustedFileProblem(int fd);

/// `text` as a JSON string, quotes included (control characters as \u escapes).
std::string jsonQuoted(const std::string& text);

}  // namespace tavi::detail
