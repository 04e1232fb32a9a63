// The steps of payload protection on key bytes: a request key stays in wiped memory from the
// moment it is made until it is wrapped for the server, and an answer key from the moment it is
// recovered until the payload is opened. The text-based PKIEncryptionDecryptionUtils operations
// are these steps with base64 conversions around them, and give the same bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/secret.hpp"
#include "tavi/result.hpp"

namespace tavi::detail {

/// Length of an AES-256 key in bytes.
inline constexpr std::size_t kAes256KeyLength = 32;

/// A new AES-256 key: 32 bytes from the secure random source; none when the source fails.
/// (generateAES256Base64Key is its standard base64 text.)
std::optional<SecretBytes> newAes256Key();

/// AES-CTR (zero IV, counter 0) of the bytes of UTF-8 `plaintext` with PKCS#7 padding, under
/// `key` (16, 24 or 32 bytes). Errors in the "EncryptionError" domain: plaintextConversion for
/// text that is not UTF-8, aesFailure otherwise. (encryptAES256CTR with the key's base64 text.)
Result<Bytes> aesCtrEncrypt(std::string_view plaintext, const SecretBytes& key);

/// The inverse: AES-CTR of `data` under `key`, PKCS#7 removed. An aesFailure error for a key or
/// ciphertext the cipher cannot take or bad padding; a value of none for text that is not UTF-8.
/// (decryptAES256CTR.)
Result<std::optional<std::string>> aesCtrDecrypt(const Bytes& data, const SecretBytes& key);

/// Wraps a request key for the server: RSA PKCS#1 v1.5 of the key bytes themselves (not of
/// their base64 text) under the public key text (PEM, or bare standard base64 of DER), as
/// standard base64. None when the key text does not parse, `key` is empty, or encryption fails.
/// (encryptBase64 with the key's base64 text; the same key and RSA key give a ciphertext of the
/// same form, and the server recovers the same 32 bytes.)
std::optional<std::string> wrapKey(const SecretBytes& key, const std::string& publicKeyText);

/// RSA PKCS#1 v1.5 of the UTF-8 bytes of `text` under the public key text, as standard base64;
/// none for text that is not UTF-8, a key text that does not parse, or a failure. The text may be
/// a secret: no copy of it is left unwiped. (encryptUTF8.)
std::optional<std::string> rsaEncryptText(std::string_view text, const std::string& publicKeyText);

/// Recovers the answer's AES key from its wrapped form: `wrappedKey` is strict standard base64
/// of whole PKCS#1 v1.5 blocks made with the server's private key, opened with the raw public-key
/// operation under `publicKeyText` (strict standard base64 of X.509 DER; the key item under the
/// tag RSAUtils::tagFor("", publicKeyText) is used or made). None when either text does not
/// decode or a block is malformed. Writes the lines decryptWithPublicKey writes: `wrappedKey`,
/// `publicKeyText`, then "<N-byte key>" or "value is null". (decryptWithPublicKey followed by
/// strict base64 decoding of its result gives these bytes.)
std::optional<SecretBytes> recoverAnswerKey(const std::string& wrappedKey,
                                            const std::string& publicKeyText);

}  // namespace tavi::detail
