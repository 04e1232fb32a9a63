// Internal knobs of the SQLite secure store.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "tavi/result.hpp"
#include "tavi/store.hpp"

namespace tavi::detail {

/// How long a write waits for another connection (thread or process) to release the database.
inline constexpr std::chrono::milliseconds kStoreBusyTimeout{5000};

/// openSqliteSecureStore with a chosen busy timeout (tests shorten it to provoke lock failures).
Result<std::shared_ptr<SecureStore>> openSqliteSecureStore(const std::string& path,
                                                           std::chrono::milliseconds busyTimeout);

}  // namespace tavi::detail
