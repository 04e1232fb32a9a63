// Hybrid payload protection: AES-CTR over payload text under a fresh key, RSA wrapping of that
// key for the server, and unwrapping of the key the server sends back.

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>
#include <span>
#include <string_view>

#include "core/internal.hpp"
#include "crypto/keys.hpp"
#include "crypto/secret_ops.hpp"
#include "tavi/crypto.hpp"

namespace tavi {

namespace {

constexpr std::size_t kAESBlock = 16;

Error encryptionError(long code, std::string message) {
    return Error::inDomain(ErrorDomain::encryption, code, std::move(message));
}

using FetchedCipher = detail::Handle<EVP_CIPHER, EVP_CIPHER_free>;

// AES in CTR mode with a zero IV (counter 0) for the key's length; the caller checks the length.
// The provider's implementations are fetched once: with the EVP_aes_*_ctr() objects OpenSSL looks
// the implementation up again, under its lock, at every initialisation.
const EVP_CIPHER* ctrCipherFor(std::size_t keyLength) {
    static const FetchedCipher aes128(EVP_CIPHER_fetch(nullptr, "AES-128-CTR", nullptr));
    static const FetchedCipher aes192(EVP_CIPHER_fetch(nullptr, "AES-192-CTR", nullptr));
    static const FetchedCipher aes256(EVP_CIPHER_fetch(nullptr, "AES-256-CTR", nullptr));
    switch (keyLength) {
        case 16:
            return aes128 ? aes128.get() : EVP_aes_128_ctr();
        case 24:
            return aes192 ? aes192.get() : EVP_aes_192_ctr();
        case 32:
            return aes256 ? aes256.get() : EVP_aes_256_ctr();
        default:
            return nullptr;
    }
}

// Runs the CTR keystream over `in`; CTR encryption and decryption are the same operation. The
// output is wiped memory: after decryption it is the plaintext.
Result<detail::SecretBytes> aesCTR(std::span<const std::uint8_t> in,
                                   std::span<const std::uint8_t> key) {
    const EVP_CIPHER* cipher = ctrCipherFor(key.size());
    if (cipher == nullptr) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               "invalid key size of " + std::to_string(key.size()) + " bytes");
    }
    if (in.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) - kAESBlock) {
        return encryptionError(EncryptionErrorCode::aesFailure, "input too large");
    }
    const std::array<unsigned char, kAESBlock> iv{};
    detail::CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    detail::SecretBytes out(in.size() + kAESBlock);
    int written = 0;
    int finalWritten = 0;
    ERR_clear_error();
    const bool ok =
        ctx && EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), 1) == 1 &&
        EVP_CipherUpdate(ctx.get(), out.data(), &written, in.data(), static_cast<int>(in.size())) ==
            1 &&
        EVP_CipherFinal_ex(ctx.get(), out.data() + written, &finalWritten) == 1;
    if (!ok) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               detail::takeOpenSSLError("cipher operation failed"));
    }
    out.resize(static_cast<std::size_t>(written + finalWritten));
    return out;
}

}  // namespace

namespace detail {

std::optional<SecretBytes> newAes256Key() {
    SecretBytes key(kAes256KeyLength);
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return key;
}

Result<Bytes> aesCtrEncrypt(std::string_view plaintext, const SecretBytes& key) {
    if (!isValidUTF8(plaintext)) {
        return encryptionError(EncryptionErrorCode::plaintextConversion,
                               "Failed to convert plaintext to Data");
    }
    // PKCS#7: always 1 to 16 bytes, each holding the count. The padded copy is the plaintext.
    const std::size_t n = kAESBlock - plaintext.size() % kAESBlock;
    SecretBytes padded;
    padded.reserve(plaintext.size() + n);
    padded.assign(plaintext.begin(), plaintext.end());
    padded.insert(padded.end(), n, static_cast<std::uint8_t>(n));
    auto cipher = aesCTR(padded, key);
    if (!cipher) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               "AES encryption failed: " + cipher.error().message);
    }
    return Bytes(cipher.value().begin(), cipher.value().end());
}

Result<std::optional<std::string>> aesCtrDecrypt(const Bytes& data, const SecretBytes& key) {
    auto plain = aesCTR(data, key);
    if (!plain) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               "AES decryption failed: " + plain.error().message);
    }
    SecretBytes& bytes = plain.value();
    // PKCS#7: the last byte n (1..16) names n trailing bytes of value n.
    const std::size_t n = bytes.empty() ? 0 : bytes.back();
    const bool padded = n >= 1 && n <= kAESBlock && n <= bytes.size() &&
                        std::all_of(bytes.end() - static_cast<std::ptrdiff_t>(n), bytes.end(),
                                    [n](std::uint8_t b) { return b == n; });
    if (!padded) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               "AES decryption failed: invalid padding");
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size() - n);
    if (!isValidUTF8(text)) return std::optional<std::string>();
    return std::optional<std::string>(std::string(text));
}

std::optional<std::string> wrapKey(const SecretBytes& key, const std::string& publicKeyText) {
    if (key.empty()) return std::nullopt;
    const auto publicKey = publicKeyFromText(publicKeyText);
    if (!publicKey) return std::nullopt;
    const auto cipher = rsaPkcs1Encrypt(*publicKey, key);
    if (!cipher) return std::nullopt;
    return base64Encode(*cipher);
}

std::optional<std::string> rsaEncryptText(std::string_view text,
                                          const std::string& publicKeyText) {
    if (!isValidUTF8(text)) return std::nullopt;
    const auto publicKey = publicKeyFromText(publicKeyText);
    if (!publicKey) return std::nullopt;
    const auto cipher = rsaPkcs1Encrypt(
        *publicKey,
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                      text.size()));
    if (!cipher) return std::nullopt;
    return base64Encode(*cipher);
}

namespace {

// The steps of decryptRsaBase64Encrypted without its lines.
std::optional<SecretBytes> unwrapAnswerKey(const std::string& text, const std::string& keyText) {
    const auto data = base64DecodeStrict(text);
    if (!data) return std::nullopt;
    // The key item lives under the same tag the RSA utilities use for this key text.
    const auto key = keyForTag(keyText, RSAUtils::tagFor("", keyText), false);
    if (!key) return std::nullopt;
    // Each block is unpadded as a whole PKCS#1 block, so a key holding zero bytes survives.
    return recoverPkcs1Messages(*data, *key);
}

}  // namespace

std::optional<SecretBytes> recoverAnswerKey(const std::string& wrappedKey,
                                            const std::string& publicKeyText) {
    diag(wrappedKey);
    diag(publicKeyText);
    auto key = unwrapAnswerKey(wrappedKey, publicKeyText);
    // The recovered key is a secret: only its size is shown.
    if (key) {
        // Appended piece by piece: GCC 12 at -O3 misreads "<" + std::string as an overlapping copy.
        std::string line = "<";
        line += std::to_string(key->size());
        line += "-byte key>";
        diag(line);
    } else {
        diag("value is null");
    }
    return key;
}

}  // namespace detail

std::string PKIEncryptionDecryptionUtils::encryptBase64(const std::string& plainText,
                                                        const std::string& key) const {
    const auto bytes = detail::secretBase64DecodeLenient(plainText);  // the AES key being wrapped
    if (!bytes) return {};
    return detail::wrapKey(*bytes, key).value_or(std::string());
}

std::string PKIEncryptionDecryptionUtils::encryptUTF8(const std::string& plainText,
                                                      const std::string& key) const {
    return detail::rsaEncryptText(plainText, key).value_or(std::string());
}

std::optional<std::string> PKIEncryptionDecryptionUtils::decryptWithPublicKey(
    const std::string& text, const std::string& key) const {
    const auto recovered = detail::recoverAnswerKey(text, key);
    if (!recovered) return std::nullopt;
    return detail::base64Encode(std::span<const std::uint8_t>(*recovered));
}

std::optional<std::string> PKIEncryptionDecryptionUtils::decryptRsaBase64Encrypted(
    const std::string& text, const std::string& withPublicKeyBase64) const {
    detail::diag(text);
    detail::diag(withPublicKeyBase64);
    const auto recovered = detail::unwrapAnswerKey(text, withPublicKeyBase64);
    if (!recovered) return std::nullopt;
    return detail::base64Encode(std::span<const std::uint8_t>(*recovered));
}

std::optional<std::string> PKIEncryptionDecryptionUtils::generateAES256Base64Key() const {
    const auto key = detail::newAes256Key();
    if (!key) return std::nullopt;
    return detail::base64Encode(std::span<const std::uint8_t>(*key));
}

std::optional<std::string> PKIEncryptionDecryptionUtils::dataToString(const Bytes& data) const {
    std::string text(data.begin(), data.end());
    if (!detail::isValidUTF8(text)) return std::nullopt;
    return text;
}

std::optional<Bytes> PKIEncryptionDecryptionUtils::stringToData(const std::string& text) const {
    if (!detail::isValidUTF8(text)) return std::nullopt;
    return Bytes(text.begin(), text.end());
}

std::string PKIEncryptionDecryptionUtils::base64URLEncode(const Bytes& data) const {
    return convertToBase64UrlFormat(detail::base64Encode(data));
}

std::optional<Bytes> PKIEncryptionDecryptionUtils::base64URLDecode(
    const std::string& base64URLString) const {
    std::string text = base64URLString;
    std::replace(text.begin(), text.end(), '-', '+');
    std::replace(text.begin(), text.end(), '_', '/');
    return detail::base64DecodeStrict(text);
}

Result<std::optional<std::string>> PKIEncryptionDecryptionUtils::decryptAES256CTR(
    const Bytes& data, const Bytes& key) const {
    return detail::aesCtrDecrypt(data, detail::SecretBytes(key.begin(), key.end()));
}

std::string PKIEncryptionDecryptionUtils::convertToBase64UrlFormat(const std::string& text) const {
    std::string out = text;
    for (char& c : out) {
        c = c == '+' ? '-' : c;
        c = c == '/' ? '_' : c;
    }
    return out;
}

std::string PKIEncryptionDecryptionUtils::convertToBase64Format(const std::string& text) const {
    std::string out = text;
    for (char& c : out) {
        c = c == '-' ? '+' : c;
        c = c == '_' ? '/' : c;
    }
    // Length in characters (code points), as the padding rule counts it.
    const auto continuation = std::count_if(out.begin(), out.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
    });
    const std::size_t characters = out.size() - static_cast<std::size_t>(continuation);
    out.append((4 - characters % 4) % 4, '=');
    return out;
}

Result<Bytes> PKIEncryptionDecryptionUtils::encryptAES256CTR(const std::string& plaintext,
                                                             const std::string& key) const {
    const auto keyBytes = detail::secretBase64DecodeStrict(key);
    if (!keyBytes) {
        return encryptionError(EncryptionErrorCode::invalidKeyEncoding,
                               "Invalid AES key Base64 encoding");
    }
    return detail::aesCtrEncrypt(plaintext, *keyBytes);
}

}  // namespace tavi
