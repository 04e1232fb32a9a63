// Ownership of C library handles: one deleter for every handle type, given its free function.
#pragma once

#include <unistd.h>

#include <memory>
#include <utility>

namespace tavi::detail {

/// Frees a handle with `Free` (curl_easy_cleanup, EVP_PKEY_free, sqlite3_close, ...).
template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* handle) const {
        Free(handle);
    }
};

/// A handle of type T owned by a unique_ptr and freed with `Free`.
template <class T, auto Free>
using Handle = std::unique_ptr<T, FreeWith<Free>>;

/// A file descriptor, closed when it goes out of scope; -1 holds none.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

}  // namespace tavi::detail
