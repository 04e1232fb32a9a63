// The sandbox's own codecs and cryptography, written directly on OpenSSL: base64 in its two
// alphabets, AES-256-CTR with PKCS#7 padding, RSA PKCS#1 v1.5 in both directions, key files and
// a small pool of pre-generated RSA keys. Byte strings are held in std::string.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tavi::sandbox::wire {

template <auto Free>
struct OsslDeleter {
    template <class T>
    void operator()(T* p) const noexcept {
        Free(p);
    }
};
using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OsslDeleter<EVP_PKEY_CTX_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, OsslDeleter<EVP_CIPHER_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OsslDeleter<X509_free>>;

/// An RSA or EC key (public, or a full key pair), shared by the records that use it.
using Key = std::shared_ptr<EVP_PKEY>;
Key adoptKey(EVP_PKEY* raw);

// --- base64 -------------------------------------------------------------------------------

/// Standard alphabet, "=" padding, no line breaks.
std::string base64(std::string_view bytes);
/// Strict standard base64: length a multiple of 4, alphabet only, "=" only at the end.
std::optional<std::string> unbase64(std::string_view text);
/// URL-safe alphabet ("-" and "_"), "=" padding kept.
std::string base64Url(std::string_view bytes);
/// Strict URL-safe base64 with "=" padding; "+" and "/" are refused.
std::optional<std::string> unbase64Url(std::string_view text);
/// URL-safe alphabet without "=" padding.
std::string base64UrlNoPad(std::string_view bytes);

// --- AES-256-CTR, zero IV, PKCS#7 --------------------------------------------------------------

/// Encrypts with 1..16 bytes of PKCS#7 padding always added. Absent if the key is not 32 bytes.
std::optional<std::string> aesEncrypt(std::string_view key, std::string_view plaintext);
/// Decrypts and strips the padding; absent for a bad key length, a length that is not a
/// positive multiple of 16, or bad padding.
std::optional<std::string> aesDecrypt(std::string_view key, std::string_view ciphertext);

// --- RSA ------------------------------------------------------------------------------------

Key generateRsa(int bits = 2048);
Key generateEc();
/// DER SubjectPublicKeyInfo of a key.
std::string publicDer(const Key& key);
Key publicKeyFromDer(std::string_view der);
/// PKCS#1 v1.5 type-2 encryption under the public half.
std::optional<std::string> rsaEncrypt(const Key& key, std::string_view plain);
/// PKCS#1 v1.5 type-2 decryption with the private half.
std::optional<std::string> rsaDecrypt(const Key& key, std::string_view cipher);
/// Raw private-key operation with PKCS#1 v1.5 type-1 padding ("private encrypt").
std::optional<std::string> rsaPrivateEncrypt(const Key& key, std::string_view plain);
/// The inverse of rsaPrivateEncrypt with the public half.
std::optional<std::string> rsaPublicDecrypt(const Key& key, std::string_view cipher);

// --- misc -----------------------------------------------------------------------------------

std::string randomBytes(std::size_t n);
std::string randomHex(std::size_t nBytes);
std::string sha256(std::string_view bytes);
bool isUtf8(std::string_view text);

/// PEM (PKCS#8) of a private key, and back.
std::string privateKeyPem(const Key& key);
Key privateKeyFromPem(std::string_view pem);
std::string certificatePem(X509* cert);

/// Writes a file atomically with the given mode. False on failure.
bool writeFile(const std::string& path, std::string_view content, unsigned mode);
std::optional<std::string> readFile(const std::string& path);

/// A fresh RSA-2048 key pair. Keys come from a process-wide pool that a background thread keeps
/// filled; each key is handed out once.
Key takePooledRsaKey();

}  // namespace tavi::sandbox::wire
