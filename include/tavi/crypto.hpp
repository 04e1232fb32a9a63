// tavi — hybrid payload encryption and RSA key utilities.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tavi/export.hpp"
#include "tavi/result.hpp"

namespace tavi {

/// Codes of the "EncryptionError" domain raised by encryptAES256CTR.
enum class EncryptionError : long {
#define TAVI_X(code, name, brief, meaning, action) name = code,
    TAVI_ENCRYPTION_ERROR_CODES(TAVI_X)
#undef TAVI_X
};

/// The codes of EncryptionError as the numbers Error::code holds.
namespace EncryptionErrorCode {
#define TAVI_X(code, name, brief, meaning, action) \
    inline constexpr long name = static_cast<long>(EncryptionError::name);
TAVI_ENCRYPTION_ERROR_CODES(TAVI_X)
#undef TAVI_X
}  // namespace EncryptionErrorCode

/// AES-256-CTR payload protection, RSA wrapping/unwrapping of keys, and the base64 text forms.
class TAVI_EXPORT PKIEncryptionDecryptionUtils {
public:
    /// RSA PKCS#1 v1.5 of the bytes of base64 `plainText` (lenient decoding) under public key
    /// text `key` (PEM or bare base64 DER); standard base64 out. Empty text when the key does not
    /// parse, the input decodes to nothing, or encryption fails.
    std::string encryptBase64(const std::string& plainText, const std::string& key) const;
    /// RSA PKCS#1 v1.5 of the UTF-8 bytes of `plainText`; standard base64 out; empty on failure.
    std::string encryptUTF8(const std::string& plainText, const std::string& key) const;
    /// Recovers a key the server wrapped with its private key (PKCS#1 v1.5 block); base64 out.
    /// Prints the inputs and a redacted form of the result, or "value is null".
    std::optional<std::string> decryptWithPublicKey(const std::string& text,
                                                    const std::string& key) const;
    std::optional<std::string> decryptRsaBase64Encrypted(
        const std::string& text, const std::string& withPublicKeyBase64) const;
    /// 32 secure random bytes as standard base64 (44 characters); none if the source fails.
    std::optional<std::string> generateAES256Base64Key() const;
    std::optional<std::string> dataToString(const Bytes& data) const;
    std::optional<Bytes> stringToData(const std::string& text) const;
    std::string base64URLEncode(const Bytes& data) const;
    std::optional<Bytes> base64URLDecode(const std::string& base64URLString) const;
    /// AES-256-CTR (zero IV, counter 0) with PKCS#7 removal under raw key bytes. An error for a
    /// key or ciphertext the cipher cannot take; a value of none for text that is not UTF-8.
    Result<std::optional<std::string>> decryptAES256CTR(const Bytes& data, const Bytes& key) const;
    std::string convertToBase64UrlFormat(const std::string& text) const;
    std::string convertToBase64Format(const std::string& text) const;
    /// AES-256-CTR with PKCS#7 under a base64 key; errors in the "EncryptionError" domain.
    Result<Bytes> encryptAES256CTR(const std::string& plaintext, const std::string& key) const;
};

/// Not raised by any operation of the library; kept for hosts that match on it.
enum class DecryptionError { invalidKey, paddingNotSupported, decryptionFailed };

/// A reference to an RSA key item held in the store (the parsed key is shared, immutable).
class TAVI_EXPORT RSAKeyRef {
public:
    struct Impl;
    explicit RSAKeyRef(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}
    /// Block size in bytes (modulus length).
    int blockSize() const;
    bool isPrivate() const;
    const Impl& impl() const { return *impl_; }

private:
    std::shared_ptr<const Impl> impl_;
};

/// RSA keys as store items under tags, and blockwise RSA with them.
class TAVI_EXPORT RSAUtils {
public:
    static constexpr int kPaddingNone = 0;
    static constexpr int kPaddingPKCS1 = 1;

    static std::optional<RSAKeyRef> addRSAPublicKey(const std::string& pubkeyBase64,
                                                    const std::string& tagName);
    static std::optional<RSAKeyRef> addRSAPrivateKey(const std::string& privkeyBase64,
                                                     const std::string& tagName);
    /// The same on key bytes (X.509 SubjectPublicKeyInfo / PKCS#8 DER).
    static std::optional<RSAKeyRef> addRSAPublicKeyData(const Bytes& pubkey,
                                                        const std::string& tagName);
    static std::optional<RSAKeyRef> addRSAPrivateKeyData(const Bytes& privkey,
                                                         const std::string& tagName);
    static std::optional<RSAKeyRef> getRSAKeyFromKeychain(const std::string& tagName);
    static void deleteRSAKeyFromKeychain(const std::string& tagName);

    /// Blockwise: chunks of blockSize-11 bytes, each giving one block.
    static std::optional<Bytes> encryptWithRSAKey(const Bytes& data, const RSAKeyRef& key,
                                                  int padding);
    /// Blockwise: chunks of blockSize bytes, each block through removePadding.
    static std::optional<Bytes> decryptWithRSAKey(const Bytes& data, const RSAKeyRef& key,
                                                  int padding);

    static std::optional<Bytes> encryptWithRSAPublicKey(const Bytes& data,
                                                        const std::string& pubkeyBase64,
                                                        const std::string& keychainTag);
    static std::optional<Bytes> encryptWithRSAPrivateKey(const Bytes& data,
                                                         const std::string& privkeyBase64,
                                                         const std::string& keychainTag);
    static std::optional<Bytes> decryptWithRSAPublicKey(const Bytes& data,
                                                        const std::string& pubkeyBase64,
                                                        const std::string& keychainTag);
    static std::optional<Bytes> decryptWithRSAPrivateKey(const Bytes& data,
                                                         const std::string& privkeyBase64,
                                                         const std::string& keychainTag);

    /// X.509 SubjectPublicKeyInfo DER to PKCS#1 RSAPublicKey DER; none on any mismatch or
    /// truncation.
    static std::optional<Bytes> stripPublicKeyHeader(const Bytes& key);
    /// PKCS#8 DER to PKCS#1 RSAPrivateKey DER; none on any mismatch or truncation.
    static std::optional<Bytes> stripPrivateKeyHeader(const Bytes& key);
    /// The bytes between the first zero and the next zero (see the header's documentation).
    static Bytes removePadding(const Bytes& data);
    /// The tag the wrappers use: keychainTag + "-" + the signed decimal hash of the key text.
    static std::string tagFor(const std::string& keychainTag, const std::string& keyText);
};

/// Seals one secret value for the bank.
class TAVI_EXPORT FinancialMsgTranslatorUtils {
public:
    /// ki + ":" + base64(RSA PKCS#1 v1.5 of "txnId|accountNo|random") under the doubly encoded
    /// bank key `pubKey`. Empty text when the key cannot be decoded or used.
    static std::string retrieveMaskedAccountNo(const std::string& accountNo, const std::string& ki,
                                               const std::string& pubKey, const std::string& txnId);
    /// `ki` + ":" + `data` (nothing after the colon when data is none).
    static std::string retrieveKiAppendedData(const std::string& ki,
                                              const std::optional<std::string>& data);
};

}  // namespace tavi
