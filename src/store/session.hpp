// What the library's operations need of the store beyond KeychainManager: the installed store or
// the reason there is none, the error for a write that failed, and the lock that lets one
// registration at a time write a store's session.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "tavi/result.hpp"
#include "tavi/store.hpp"

namespace tavi::detail {

/// The installed store (opening the default one if none is installed), or a storeUnavailable
/// error that names the path, the reason and the fix. Never falls back to memory.
Result<std::shared_ptr<SecureStore>> installedStore();

/// The storeUnavailable error for a write of `what` that the store refused with `status`.
Error storeWriteError(const std::string& what, std::int32_t status);

/// How long a registration waits for another one on the same store before it gives up.
inline constexpr std::chrono::milliseconds kRegistrationLockWait{30000};
/// Changes that wait (tests shorten it); returns the previous value.
std::chrono::milliseconds setRegistrationLockWait(std::chrono::milliseconds wait);

/// Held while one registration runs against one store. For the SQLite store it is an exclusive
/// flock on "<store path>.lock", which the kernel releases when the process dies, so every thread
/// and process using the file waits its turn; for other stores a lock within this process.
class RegistrationLock {
  public:
    virtual ~RegistrationLock() = default;
};

/// Takes the registration lock of `store`, waiting at most the registration lock wait; a
/// storeUnavailable error saying who holds it (or why the lock file cannot be used) otherwise.
Result<std::unique_ptr<RegistrationLock>> lockForRegistration(
    const std::shared_ptr<SecureStore>& store);

}  // namespace tavi::detail
