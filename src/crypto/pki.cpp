// Hybrid payload protection: AES-CTR over payload text under a fresh key, RSA wrapping of that
// key for the server, and unwrapping of the key the server sends back.

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <limits>
#include <memory>

#include "core/internal.hpp"
#include "crypto/keys.hpp"
#include "tavi/crypto.hpp"

namespace tavi {

namespace {

constexpr std::size_t kAESBlock = 16;
constexpr std::size_t kAESKeyLength = 32;

/// Wipes the key material a buffer holds when the scope that owns it ends.
template <class Buffer>
class WipeOnExit {
  public:
    explicit WipeOnExit(Buffer& buffer) : buffer_(buffer) {}
    ~WipeOnExit() {
        if (!buffer_.empty()) OPENSSL_cleanse(buffer_.data(), buffer_.size());
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

  private:
    Buffer& buffer_;
};

Error encryptionError(long code, std::string message) {
    return Error{
        ErrorDomain::encryption, code, std::move(message), nullptr, std::nullopt, std::nullopt};
}

struct CipherDeleter {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
using FetchedCipher = std::unique_ptr<EVP_CIPHER, CipherDeleter>;

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

// Runs the CTR keystream over `in`; CTR encryption and decryption are the same operation.
Result<Bytes> aesCTR(const Bytes& in, const Bytes& key) {
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
    Bytes out(in.size() + kAESBlock);
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

std::string PKIEncryptionDecryptionUtils::encryptBase64(const std::string& plainText,
                                                        const std::string& key) const {
    auto bytes = detail::base64DecodeLenient(plainText);
    if (!bytes || bytes->empty()) return {};
    const WipeOnExit wipeBytes(*bytes);  // the AES key being wrapped
    const auto publicKey = detail::publicKeyFromText(key);
    if (!publicKey) return {};
    const auto cipher = detail::rsaPkcs1Encrypt(*publicKey, *bytes);
    return cipher ? detail::base64Encode(*cipher) : std::string();
}

std::string PKIEncryptionDecryptionUtils::encryptUTF8(const std::string& plainText,
                                                      const std::string& key) const {
    if (!detail::isValidUTF8(plainText)) return {};
    const auto publicKey = detail::publicKeyFromText(key);
    if (!publicKey) return {};
    const auto cipher =
        detail::rsaPkcs1Encrypt(*publicKey, Bytes(plainText.begin(), plainText.end()));
    return cipher ? detail::base64Encode(*cipher) : std::string();
}

std::optional<std::string> PKIEncryptionDecryptionUtils::decryptWithPublicKey(
    const std::string& text, const std::string& key) const {
    auto result = decryptRsaBase64Encrypted(text, key);
    // The recovered key is a secret: only its size is shown.
    if (result) {
        // Standard base64 with padding: three bytes per four characters, less the padding.
        const std::string& text = *result;
        const std::size_t padding = text.size() >= 2
                                        ? static_cast<std::size_t>(text[text.size() - 1] == '=') +
                                              static_cast<std::size_t>(text[text.size() - 2] == '=')
                                        : 0;
        // Appended piece by piece: GCC 12 at -O3 misreads "<" + std::string as an overlapping copy.
        std::string line = "<";
        line += std::to_string(text.size() / 4 * 3 - padding);
        line += "-byte key>";
        detail::diag(line);
    } else {
        detail::diag("value is null");
    }
    return result;
}

std::optional<std::string> PKIEncryptionDecryptionUtils::decryptRsaBase64Encrypted(
    const std::string& text, const std::string& withPublicKeyBase64) const {
    detail::diag(text);
    detail::diag(withPublicKeyBase64);
    const auto data = detail::base64DecodeStrict(text);
    if (!data) return std::nullopt;
    // The key item lives under the same tag the RSA utilities use for this key text.
    const auto key =
        detail::keyForTag(withPublicKeyBase64, RSAUtils::tagFor("", withPublicKeyBase64), false);
    if (!key) return std::nullopt;
    // Each block is unpadded as a whole PKCS#1 block, so a key holding zero bytes survives.
    auto message = detail::recoverPkcs1Messages(*data, *key);
    if (!message) return std::nullopt;
    const WipeOnExit wipeMessage(*message);  // the answer's AES key
    return detail::base64Encode(*message);
}

std::optional<std::string> PKIEncryptionDecryptionUtils::generateAES256Base64Key() const {
    Bytes key(kAESKeyLength);
    const WipeOnExit wipeKey(key);
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return detail::base64Encode(key);
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
    auto plain = aesCTR(data, key);
    if (!plain) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               "AES decryption failed: " + plain.error().message);
    }
    Bytes& bytes = plain.value();
    // PKCS#7: the last byte n (1..16) names n trailing bytes of value n.
    const std::size_t n = bytes.empty() ? 0 : bytes.back();
    const bool padded = n >= 1 && n <= kAESBlock && n <= bytes.size() &&
                        std::all_of(bytes.end() - static_cast<std::ptrdiff_t>(n), bytes.end(),
                                    [n](std::uint8_t b) { return b == n; });
    if (!padded) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               "AES decryption failed: invalid padding");
    }
    bytes.resize(bytes.size() - n);
    return std::optional<std::string>(dataToString(bytes));
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
    auto keyBytes = detail::base64DecodeStrict(key);
    if (!keyBytes) {
        return encryptionError(EncryptionErrorCode::invalidKeyEncoding,
                               "Invalid AES key Base64 encoding");
    }
    const WipeOnExit wipeKey(*keyBytes);
    const auto plain = stringToData(plaintext);
    if (!plain) {
        return encryptionError(EncryptionErrorCode::plaintextConversion,
                               "Failed to convert plaintext to Data");
    }
    // PKCS#7: always 1 to 16 bytes, each holding the count.
    Bytes padded = *plain;
    const std::size_t n = kAESBlock - padded.size() % kAESBlock;
    padded.insert(padded.end(), n, static_cast<std::uint8_t>(n));
    auto cipher = aesCTR(padded, *keyBytes);
    if (!cipher) {
        return encryptionError(EncryptionErrorCode::aesFailure,
                               "AES encryption failed: " + cipher.error().message);
    }
    return std::move(cipher).value();
}

}  // namespace tavi
