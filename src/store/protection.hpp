// Sealing of the store's item values under a data key, and the backends that keep the data key.
//
// Every value of a sealed store is AES-256-GCM ciphertext under the store's data key. A value's
// nonce is 96 random bits drawn for each write (the data key changes at every rekey and reset,
// so one key seals far fewer than the 2^32 values after which random nonces could collide).
// The associated data binds the store's identity, the item's class, its key class and its name:
// a value moved to another name, another class or another store does not open.
//
// The data key itself never lies in the database: a KeyProtection backend keeps it (a key file,
// the Secret Service) and the database records only which key it is (its key identity) and the
// backend's own handle to it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/evp.h>

#include "core/handle.hpp"
#include "core/secret.hpp"
#include "tavi/result.hpp"
#include "tavi/store.hpp"

namespace tavi::detail {

inline constexpr std::size_t kDataKeySize = 32;
inline constexpr std::size_t kNonceSize = 12;
inline constexpr std::size_t kTagSize = 16;
inline constexpr std::size_t kStoreIdSize = 16;

/// Nothing to return but success.
using Done = Result<std::monostate>;

/// Which store and which of its keys a backend is asked about.
struct KeyRef {
    std::string storePath;  ///< the database's path, as errors name it
    std::string storeId;    ///< hex of the store's identity
    std::string keyId;      ///< hex of the data key's identity
};

/// A key-protection backend.
class KeyProtection {
  public:
    virtual ~KeyProtection() = default;
    /// "file", "secret-service", "tpm".
    virtual std::string name() const = 0;
    /// "weak" or "strong".
    virtual std::string strength() const = 0;
    /// What the protection does not cover, for the status and the line written at open; empty
    /// when nothing needs saying.
    virtual std::string caveat() const { return {}; }
    /// Keeps `key` as `ref.keyId`; returns what the store records to find it again (may be
    /// empty).
    virtual Result<Bytes> keep(const KeyRef& ref, const SecretBytes& key) = 0;
    /// The key kept as `ref.keyId`, given what keep() returned.
    virtual Result<SecretBytes> fetch(const KeyRef& ref, const Bytes& handle) = 0;
    /// Destroys the key kept as `ref.keyId`.
    virtual Done destroy(const KeyRef& ref, const Bytes& handle) = 0;
    /// Destroys this store's keys other than `ref.keyId` (left by a rekey or reset that was
    /// stopped part-way). Called only while the caller holds the store's write lock.
    virtual void sweep(const KeyRef& ref) { (void)ref; }
};

/// The backend named `name` ("file", "secret-service", "tpm"), or why it cannot be used here.
/// `keyDirectory` is where the file backend keeps its keys (empty: next to the store).
Result<std::unique_ptr<KeyProtection>> makeKeyProtection(const std::string& name,
                                                         const std::string& storePath,
                                                         const std::string& keyDirectory);

/// The backends the operating system provides ("secret-service", "tpm"), or why `name` cannot
/// be used here (the error's message names the backend and the reason).
Result<std::unique_ptr<KeyProtection>> makePlatformProtection(const std::string& name,
                                                              const std::string& storePath);

/// The TPM backend, or why there is none here (built only with tpm2-tss).
Result<std::unique_ptr<KeyProtection>> makeTpmProtection(const std::string& storePath);

/// The strongest backend that works here (never none: the file backend when nothing else
/// does), with the reasons the stronger ones were passed over.
struct AutoChoice {
    std::unique_ptr<KeyProtection> protection;
    std::string passedOver;  ///< e.g. "tpm: no TPM device; secret-service: no session bus"
};
Result<AutoChoice> chooseKeyProtection(const std::string& storePath,
                                       const std::string& keyDirectory);

/// The directory the file backend uses for `storePath` when none is configured.
std::string defaultKeyDirectory(const std::string& storePath);

/// `count` bytes from the secure random source; none when it fails.
std::optional<SecretBytes> randomBytes(std::size_t count);

/// Lower-case hex of `bytes`.
std::string hexOf(const std::uint8_t* bytes, std::size_t size);

/// The associated data of an item value.
std::string itemBinding(std::string_view storeId, ItemClass cls, KeyClass keyClass,
                        std::string_view name);
/// The associated data of the key check (which proves a data key is this store's current one).
std::string keyCheckBinding(std::string_view storeId, std::string_view keyId);

/// Seals values under one key, as nonce || ciphertext || tag, each bound to its own associated
/// data. The key is set up once, and the nonces are drawn from the random source `count` at a
/// time (at most 1,024): a session's values are written together, and each draw and each key
/// set-up costs about as much as sealing a short value. Any number of values may be sealed.
class ValueSealer {
  public:
    ValueSealer(const SecretBytes& key, std::size_t count);

    /// `plain` sealed and bound to `binding`, under a nonce no other value of this sealer has;
    /// none when the random source or the cipher failed.
    std::optional<Bytes> seal(std::string_view binding, const std::uint8_t* plain,
                              std::size_t size);

  private:
    Handle<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free> ctx_;  ///< keyed; none when that failed
    Bytes nonces_;          ///< the nonces of the current draw
    std::size_t next_ = 0;  ///< the next unused one; nonces_.size(): draw again
};

/// One value sealed as ValueSealer seals it; none when the random source or the cipher fails.
std::optional<Bytes> sealValue(const SecretBytes& key, std::string_view binding,
                               const std::uint8_t* plain, std::size_t size);
/// The plaintext of a sealed value; none when it was not sealed under `key` with `binding` or
/// was changed since.
std::optional<SecretBytes> openValue(const SecretBytes& key, std::string_view binding,
                                     const std::uint8_t* sealed, std::size_t size);

}  // namespace tavi::detail
