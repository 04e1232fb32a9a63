// tavi — SecretString: text that must not outlive its use (a PIN, an OTP, a card number, a CVV,
// an expiry, an account number, key material).
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "tavi/export.hpp"

namespace tavi {

/// Overwrites `size` bytes at `data` in a way the compiler cannot drop.
TAVI_EXPORT void secureWipe(void* data, std::size_t size) noexcept;

/// An allocator that wipes every buffer it releases, so that growing a container leaves no copy
/// behind in freed memory either. Stateless: all instances are interchangeable.
template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        if (p != nullptr) secureWipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }

    template <class U>
    friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept {
        return true;
    }
};

/// Secret text. It owns its bytes and wipes them when it ends, when it is assigned another value
/// and when it is cleared; it never converts to std::string by itself (use view() where the text
/// is needed, and do not keep a copy).
///
/// A basic_string keeps short text inside the object, where no allocator sees it, so the text is
/// always placed in an allocated buffer (more than any small-string capacity is reserved before
/// any text goes in) and the whole capacity is wiped at the end, which also covers a moved-from
/// value. Nothing offered here can move the text back into the object.
class SecretString {
  public:
    using Storage = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

    SecretString() { text_.reserve(kMinCapacity); }
    explicit SecretString(std::string_view text) : SecretString() { append(text); }
    explicit SecretString(const char* text) : SecretString(std::string_view(text)) {}
    SecretString(const SecretString& other) : SecretString() { append(other.view()); }
    SecretString(SecretString&& other) noexcept = default;
    SecretString& operator=(const SecretString& other) {
        if (this != &other) {
            clear();
            append(other.view());
        }
        return *this;
    }
    SecretString& operator=(SecretString&& other) noexcept {
        // Swapping hands our old text to `other`, whose own end wipes it.
        text_.swap(other.text_);
        return *this;
    }
    ~SecretString() { secureWipe(text_.data(), text_.capacity()); }

    /// Takes `text` over and wipes the caller's copy (for values read into a std::string).
    static SecretString taking(std::string& text) {
        SecretString secret(text);
        secureWipe(text.data(), text.capacity());
        text.clear();
        return secret;
    }

    SecretString& append(std::string_view more) {
        reserveFor(more.size());
        text_.append(more);
        return *this;
    }
    SecretString& operator+=(std::string_view more) { return append(more); }
    SecretString& operator+=(char c) { return append(std::string_view(&c, 1)); }

    /// Empties the text, wiping it at once (the buffer is kept).
    void clear() noexcept {
        secureWipe(text_.data(), text_.size());
        text_.clear();
    }

    std::string_view view() const noexcept { return text_; }
    const char* c_str() const noexcept { return text_.c_str(); }
    const char* data() const noexcept { return text_.data(); }
    std::size_t size() const noexcept { return text_.size(); }
    bool empty() const noexcept { return text_.empty(); }

    friend bool operator==(const SecretString& a, const SecretString& b) noexcept {
        return a.view() == b.view();
    }

  private:
    /// Above libstdc++'s and libc++'s small-string capacities (15 and 22 characters).
    static constexpr std::size_t kMinCapacity = 32;

    void reserveFor(std::size_t more) {
        if (text_.capacity() < kMinCapacity) {
            text_.reserve(std::max(kMinCapacity, text_.size() + more));
        }
    }

    Storage text_;
};

}  // namespace tavi
