// One registration at a time per store: a lock within the process for every backend, and for the
// SQLite store an exclusive flock on a lock file beside the database as well, which serialises
// processes and is released by the kernel when its holder dies, however it dies.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/handle.hpp"
#include "core/internal.hpp"
#include "store/session.hpp"
#include "store/sqlite_store.hpp"

namespace tavi::detail {
namespace {

std::atomic<std::int64_t> lockWaitMs{kRegistrationLockWait.count()};

/// The in-process lock of one store, and the thread that holds it when a registration on the
/// calling thread holds it (a registration started from inside another one on the same thread
/// must not wait for itself). A flag rather than a mutex: a registration on the engine may take
/// it on one step and let go of it on another, and several wait their turn on the same thread.
struct ProcessLock {
    std::atomic<bool> held{false};
    std::atomic<std::thread::id> owner{};
};

/// The in-process lock of each store, by the database path (SQLite) or the object's address.
std::shared_ptr<ProcessLock> processLockFor(const std::string& key) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_ptr<ProcessLock>> locks;
    std::lock_guard lock(mutex);
    auto& slot = locks[key];
    if (!slot) slot = std::make_shared<ProcessLock>();
    return slot;
}

class HeldLock final : public RegistrationLock {
  public:
    HeldLock(std::shared_ptr<ProcessLock> lock, UniqueFd fd)
        : lock_(std::move(lock)), fd_(std::move(fd)) {}
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    ~HeldLock() override {
        // The flock goes first (closing the last descriptor releases it), then the thread lock,
        // so a thread let in here never waits for a flock still held by this one.
        fd_.reset();
        lock_->owner = std::thread::id();
        lock_->held.store(false);
    }

  private:
    std::shared_ptr<ProcessLock> lock_;
    UniqueFd fd_;
};

std::string secondsText(std::chrono::milliseconds wait) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(wait.count()) / 1000.0);
    return text;
}

Error lockedError(const std::string& what, std::chrono::milliseconds wait) {
    return clientError(ClientErrorCode::storeUnavailable,
                       "secure store " + what + " is locked by another registration (waited " +
                           secondsText(wait) +
                           "); try again when that registration has finished");
}

Error deadlinePassedError() {
    return clientError(ClientErrorCode::deadlineExceeded,
                       "the operation's deadline passed while another registration held the "
                       "secure store; nothing was sent");
}

}  // namespace

std::chrono::milliseconds setRegistrationLockWait(std::chrono::milliseconds wait) {
    return std::chrono::milliseconds(lockWaitMs.exchange(wait.count()));
}

Result<RegistrationLockWait> planRegistrationLockWait(const std::shared_ptr<SecureStore>& store) {
    RegistrationLockWait plan;
    plan.wait = std::chrono::milliseconds(lockWaitMs.load());
    // The wait counts against the operation's deadline like any exchange: it ends when either
    // runs out, and the error says which.
    if (const auto remaining = OperationScope::remainingMilliseconds()) {
        if (*remaining <= 0) {
            // Nothing held the store: the deadline was spent before the lock was tried.
            return clientError(ClientErrorCode::deadlineExceeded,
                               "the operation's deadline was already spent before the secure "
                               "store was locked for the registration; nothing was sent");
        }
        if (*remaining < plan.wait.count()) {
            plan.wait = std::chrono::milliseconds(*remaining);
            plan.deadlineBinds = true;
        }
    }
    plan.until = std::chrono::steady_clock::now() + plan.wait;
    const auto path = sqliteStorePath(*store);
    plan.what = path ? "\"" + *path + "\"" : std::string("(installed by the host)");
    return plan;
}

Error registrationLockTimeout(const RegistrationLockWait& plan) {
    return plan.deadlineBinds ? deadlinePassedError() : lockedError(plan.what, plan.wait);
}

Result<std::unique_ptr<RegistrationLock>> tryLockForRegistration(
    const std::shared_ptr<SecureStore>& store, const RegistrationLockWait& plan,
    bool onCallingThread) {
    const auto path = sqliteStorePath(*store);
    char address[32];
    std::snprintf(address, sizeof address, "@%p", static_cast<const void*>(store.get()));
    auto lock = processLockFor(path ? *path : std::string(address));
    if (onCallingThread && lock->owner.load() == std::this_thread::get_id()) {
        return lockedError(plan.what, std::chrono::milliseconds(0));
    }
    if (lock->held.exchange(true)) return std::unique_ptr<RegistrationLock>();
    struct LetGo {
        ProcessLock* lock;
        ~LetGo() {
            if (lock != nullptr) lock->held.store(false);
        }
    } letGo{lock.get()};
    if (onCallingThread) lock->owner = std::this_thread::get_id();
    struct ClearOwner {
        ProcessLock* lock;
        ~ClearOwner() {
            if (lock != nullptr) lock->owner = std::thread::id();
        }
    } clearOwner{onCallingThread ? lock.get() : nullptr};

    UniqueFd fd;
    if (path) {
        const std::string lockPath = *path + ".lock";
        fd.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd) {
            return clientError(ClientErrorCode::storeUnavailable,
                               "secure store lock file \"" + lockPath + "\": cannot open it: " +
                                   std::error_code(errno, std::generic_category()).message() +
                                   "; remove it if it is a symbolic link, or make the directory "
                                   "writable by its owner");
        }
        if (auto problem = untrustedFileProblem(fd.get())) {
            return clientError(ClientErrorCode::storeUnavailable,
                               "secure store lock file \"" + lockPath + "\": " + *problem);
        }
        for (;;) {
            if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
            if (errno == EINTR) continue;
            if (errno == EWOULDBLOCK) return std::unique_ptr<RegistrationLock>();
            return clientError(ClientErrorCode::storeUnavailable,
                               "secure store lock file \"" + lockPath + "\": cannot lock it: " +
                                   std::error_code(errno, std::generic_category()).message());
        }
    }
    letGo.lock = nullptr;
    clearOwner.lock = nullptr;
    return std::unique_ptr<RegistrationLock>(
        std::make_unique<HeldLock>(std::move(lock), std::move(fd)));
}

}  // namespace tavi::detail
