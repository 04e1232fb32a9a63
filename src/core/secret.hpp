// Containers for secrets (AES keys, card numbers, CVV, PIN, OTP): their memory is overwritten
// before it goes back to the heap, however the container ends and whenever it moves to a larger
// buffer, so a secret does not outlive its use in freed memory.
#pragma once

#include <openssl/crypto.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavi::detail {

/// An allocator that wipes (OPENSSL_cleanse, which the compiler cannot drop) every buffer it
/// releases. Containers release the old buffer through it when they grow, so no copy is left
/// behind by a reallocation either. Stateless: all instances are interchangeable.
template <class T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        if (p != nullptr) OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }

    template <class U>
    friend bool operator==(const WipingAllocator&, const WipingAllocator<U>&) noexcept {
        return true;
    }
};

/// Secret bytes. A vector keeps no bytes inside the object itself, so the allocator sees all of
/// them. (Shrinking does not wipe at once: the bytes are wiped when the buffer is released.)
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

/// Secret text. A basic_string keeps short text inside the object (the small-string buffer),
/// where no allocator sees it, so a wiping allocator alone is not enough. This wrapper therefore
/// (1) reserves more than the small-string capacity before any text goes in, so the text always
/// lives in an allocated, wiped-on-release buffer and never in the object, and (2) wipes the
/// whole capacity when it ends, which also covers a moved-from value. Only the operations below
/// are offered, so nothing can move the text back into the object (no shrink_to_fit).
class SecretString {
  public:
    using Storage = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

    SecretString() { text_.reserve(kMinCapacity); }
    explicit SecretString(std::string_view text) : SecretString() { append(text); }
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
    ~SecretString() { OPENSSL_cleanse(text_.data(), text_.capacity()); }

    SecretString& append(std::string_view more) {
        reserveFor(more.size());
        text_.append(more);
        return *this;
    }
    SecretString& operator+=(std::string_view more) { return append(more); }
    SecretString& operator+=(char c) { return append(std::string_view(&c, 1)); }

    /// Empties the text, wiping it at once (the buffer is kept).
    void clear() noexcept {
        OPENSSL_cleanse(text_.data(), text_.size());
        text_.clear();
    }

    std::string_view view() const noexcept { return text_; }
    const char* c_str() const noexcept { return text_.c_str(); }
    const char* data() const noexcept { return text_.data(); }
    std::size_t size() const noexcept { return text_.size(); }
    bool empty() const noexcept { return text_.empty(); }

  private:
    /// Above libstdc++'s and libc++'s small-string capacities (15 and 22 characters).
    static constexpr std::size_t kMinCapacity = 32;

    // Only a moved-from value is back in the small-string buffer (empty); text added to it goes
    // to an allocated buffer. Growth beyond that is the string's own, through the allocator.
    void reserveFor(std::size_t more) {
        if (text_.capacity() < kMinCapacity) {
            text_.reserve(std::max(kMinCapacity, text_.size() + more));
        }
    }

    Storage text_;
};

/// base64DecodeStrict and base64DecodeLenient (core/internal.hpp) for key material: the bytes
/// decoded, and every copy made on the way, live in wiped memory.
std::optional<SecretBytes> secretBase64DecodeStrict(std::string_view text);
std::optional<SecretBytes> secretBase64DecodeLenient(std::string_view text);

}  // namespace tavi::detail
