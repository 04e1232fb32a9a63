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

/// The storeUnavailable error for a write of `what` that the store refused with `failure` (its
/// status, and the backend's words for it).
Error storeWriteError(const std::string& what, const Error& failure);

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

/// How long a registration may wait for the lock of a store, and what it reports when that ends.
struct RegistrationLockWait {
    std::chrono::steady_clock::time_point until;
    std::chrono::milliseconds wait{0};
    bool deadlineBinds = false;  ///< the operation's deadline, not the lock wait, ends it
    std::string what;            ///< the store, as errors name it
};

/// The wait for `store`'s lock: the registration lock wait or what remains of the operation's
/// deadline, whichever is shorter; the deadline error when nothing remains.
Result<RegistrationLockWait> planRegistrationLockWait(const std::shared_ptr<SecureStore>& store);

/// The error when `plan`'s wait has run out: another registration holds the store, or the
/// operation's deadline passed.
Error registrationLockTimeout(const RegistrationLockWait& plan);

/// One try at the registration lock of `store`: the lock; a null lock when another registration
/// holds it (try again after a pause); or a storeUnavailable error (the lock file cannot be
/// used, or a registration on this thread already holds it when `onCallingThread`).
Result<std::unique_ptr<RegistrationLock>> tryLockForRegistration(
    const std::shared_ptr<SecureStore>& store, const RegistrationLockWait& plan,
    bool onCallingThread);

}  // namespace tavi::detail
