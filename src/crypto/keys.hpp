// Internal RSA key handling shared by the crypto and translator code: owning OpenSSL handles,
// the parsed key behind an RSAKeyRef, and the bounded caches of parsed keys.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "core/handle.hpp"
#include "core/secret.hpp"
#include "tavi/crypto.hpp"
#include "tavi/result.hpp"
#include "tavi/store.hpp"

namespace tavi::detail {

using PKeyPtr = Handle<EVP_PKEY, EVP_PKEY_free>;
using PKeyCtxPtr = Handle<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using CipherCtxPtr = Handle<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;

/// The text of the most recent OpenSSL error (clears the queue); `fallback` when there is none.
std::string takeOpenSSLError(const std::string& fallback);

/// An RSA public key from text: PEM ("PUBLIC KEY" or "RSA PUBLIC KEY") or bare standard base64
/// of DER (SubjectPublicKeyInfo, or PKCS#1 RSAPublicKey). Served from a bounded cache keyed by the
/// text. None when the text holds no RSA public key.
std::shared_ptr<EVP_PKEY> publicKeyFromText(const std::string& text);

/// The public-key operations whose contexts are kept (see publicKeyContext).
enum class PublicKeyOperation { encryptPkcs1, recoverPkcs1, recoverRaw };

/// A context of this thread's for `operation` with the public key `key`, initialised once and
/// kept for the last few keys used (setting a context up costs as much as a tenth of the RSA
/// operation itself). Each context holds a reference to its key, so the key it names is never
/// freed under it. Null when the context cannot be made. A caller whose operation failed calls
/// forgetPublicKeyContext, so that a context in an unknown state is never used again.
EVP_PKEY_CTX* publicKeyContext(EVP_PKEY& key, PublicKeyOperation operation);
void forgetPublicKeyContext(EVP_PKEY_CTX* context);

/// RSA PKCS#1 v1.5 encryption under a public key, block by block: chunks of (modulus size - 11)
/// bytes, each giving one block. None on failure or for empty input.
std::optional<Bytes> rsaPkcs1Encrypt(EVP_PKEY& key, std::span<const std::uint8_t> data);

/// The key behind an RSA key item, parsed from the item's PKCS#1 DER bytes (cached by those bytes).
std::optional<RSAKeyRef> keyRefFromItem(const StoreItem& item);

/// The key item under `tag`, importing `keyText` (strict base64 of X.509 / PKCS#8 DER) there
/// when the tag holds nothing. None when the key can be neither found nor imported.
std::optional<RSAKeyRef> keyForTag(const std::string& keyText, const std::string& tag,
                                   bool isPrivate);

/// Recovers the messages of PKCS#1 v1.5 blocks (type 1, or type 2) with the raw public-key
/// operation: `data` must be whole blocks of the key's size. Unlike the blockwise decryption of
/// RSAUtils, the messages come back whole even when they contain zero bytes. None for a malformed
/// block, a partial block or empty input. The messages are key material: wiped memory.
std::optional<SecretBytes> recoverPkcs1Messages(const Bytes& data, const RSAKeyRef& key);

}  // namespace tavi::detail

namespace tavi {

/// The parsed key of a key item. Immutable once made, shared by every reference to it.
struct RSAKeyRef::Impl {
    std::shared_ptr<EVP_PKEY> key;  ///< never modified after parsing
    bool isPrivate = false;
    int blockSize = 0;
};

}  // namespace tavi
