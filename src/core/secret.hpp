// Containers for secrets (AES keys, card numbers, CVV, PIN, OTP): their memory is overwritten
// before it goes back to the heap, however the container ends and whenever it moves to a larger
// buffer, so a secret does not outlive its use in freed memory.
#pragma once

#include <openssl/crypto.h>

#include "tavi/secret.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavi::detail {

// The wiping allocator and the secret text are the public ones (tavi/secret.hpp): one wiping
// type inside and outside the library.
using tavi::WipingAllocator;
using tavi::SecretString;

/// Secret bytes. A vector keeps no bytes inside the object itself, so the allocator sees all of
/// them. (Shrinking does not wipe at once: the bytes are wiped when the buffer is released.)
using SecretBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

/// base64DecodeStrict and base64DecodeLenient (core/internal.hpp) for key material: the bytes
/// decoded, and every copy made on the way, live in wiped memory.
std::optional<SecretBytes> secretBase64DecodeStrict(std::string_view text);
std::optional<SecretBytes> secretBase64DecodeLenient(std::string_view text);

}  // namespace tavi::detail
