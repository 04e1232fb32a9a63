// Owning handles for C resources: a pointer freed by its library's function, and a file
// descriptor closed once.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace tavi::detail {

/// A deleter that hands the pointer to `Free`, the release function of the library that made it
/// (EVP_PKEY_free, sqlite3_finalize, ...). Its return value, if any, is ignored.
template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};

/// A pointer to `T` that `Free` releases: Handle<EVP_PKEY, EVP_PKEY_free>.
template <class T, auto Free>
using Handle = std::unique_ptr<T, FreeWith<Free>>;

/// std::free as a function whose address may be taken (for memory that C code malloc'ed).
inline void freeMemory(void* p) noexcept {
    std::free(p);
}

/// A file descriptor that is closed when its owner ends; -1 holds none. Move-only.
class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    /// Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    /// Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        // Not retried on EINTR: on Linux the descriptor is released whatever close returns.
        if (old >= 0) ::close(old);
    }

  private:
    int fd_ = -1;
};

}  // namespace tavi::detail
