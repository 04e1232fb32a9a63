// RSA key items in the secure store, and blockwise RSA with them.

#include <openssl/err.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdint>

#include "core/internal.hpp"
#include "crypto/keys.hpp"
#include "tavi/crypto.hpp"
#include "tavi/store.hpp"

namespace tavi {

namespace {

// Statuses reported for a failed block, as the platform keychain numbers them.
constexpr int kStatusParam = -50;                // an argument the operation cannot take
constexpr int kStatusInternalComponent = -2070;  // the RSA operation itself failed

// rsaEncryption OID with NULL parameters, as the SubjectPublicKeyInfo carries it.
constexpr std::uint8_t kRSAAlgorithmIdentifier[15] = {
    0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};

EVP_PKEY* pkeyOf(const RSAKeyRef& key) {
    return key.impl().key.get();
}

// One RSA block with the padding the caller asked for; none (and a status) on failure.
std::optional<Bytes> encryptBlock(const RSAKeyRef& key, int padding, const std::uint8_t* in,
                                  std::size_t length, int& status) {
    if (padding != RSAUtils::kPaddingPKCS1) {
        // Raw encryption of caller data would leak structure; only PKCS#1 v1.5 is offered.
        status = kStatusParam;
        return std::nullopt;
    }
    detail::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(pkeyOf(key), nullptr));
    const auto block = static_cast<std::size_t>(key.blockSize());
    Bytes out(block, 0);
    std::size_t outLength = block;
    bool ok = false;
    if (ctx && key.isPrivate()) {
        // A private-key "encryption": the block-type-1 padding of a signature, without a digest.
        ok = EVP_PKEY_sign_init(ctx.get()) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_sign(ctx.get(), out.data(), &outLength, in, length) == 1;
    } else if (ctx) {
        ok = EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
             EVP_PKEY_encrypt(ctx.get(), out.data(), &outLength, in, length) == 1;
    }
    ERR_clear_error();
    if (!ok || outLength != block) {
        status = kStatusInternalComponent;
        return std::nullopt;
    }
    return out;
}

// The inverse operation on one block: raw (padding 0) or with the PKCS#1 v1.5 check (padding 1).
// The block may hold a key, so it lives in wiped memory.
std::optional<detail::SecretBytes> decryptBlock(const RSAKeyRef& key, int padding,
                                                const std::uint8_t* in, std::size_t length) {
    int rsaPadding = 0;
    if (padding == RSAUtils::kPaddingNone) {
        rsaPadding = RSA_NO_PADDING;
    } else if (padding == RSAUtils::kPaddingPKCS1) {
        rsaPadding = RSA_PKCS1_PADDING;
    } else {
        return std::nullopt;
    }
    const auto block = static_cast<std::size_t>(key.blockSize());
    detail::SecretBytes out(block, 0);
    std::size_t outLength = block;
    bool ok = false;
    if (key.isPrivate()) {
        detail::PKeyCtxPtr ctx(EVP_PKEY_CTX_new(pkeyOf(key), nullptr));
        ok = ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx.get(), rsaPadding) == 1 &&
             EVP_PKEY_decrypt(ctx.get(), out.data(), &outLength, in, length) == 1;
    } else if (EVP_PKEY_CTX* ctx = detail::publicKeyContext(
                   *pkeyOf(key), rsaPadding == RSA_NO_PADDING
                                     ? detail::PublicKeyOperation::recoverRaw
                                     : detail::PublicKeyOperation::recoverPkcs1)) {
        // The public-key operation of a signature check, recovering the signed block.
        ok = EVP_PKEY_verify_recover(ctx, out.data(), &outLength, in, length) == 1;
        if (!ok) detail::forgetPublicKeyContext(ctx);
    }
    ERR_clear_error();
    if (!ok || outLength > block) return std::nullopt;
    out.resize(outLength);
    return out;
}

std::uint64_t fnv1a(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ULL;
    }
    return hash;
}

std::shared_ptr<SecureStore> keyStore() {
    return KeychainManager::store();
}

std::optional<RSAKeyRef> addKeyItem(const Bytes& pkcs1, KeyClass keyClass,
                                    const std::string& tagName) {
    const StoreItem item{pkcs1, keyClass};
    // Only bytes that hold a usable key become an item.
    if (!detail::keyRefFromItem(item)) return std::nullopt;
    auto store = keyStore();
    if (!store) return std::nullopt;
    const Done added = store->insert(ItemClass::key, tagName, item);
    if (!added && SecureStore::keychainStatus(added) != KeychainStatus::duplicateItem) {
        return std::nullopt;
    }
    return RSAUtils::getRSAKeyFromKeychain(tagName);
}

}  // namespace

namespace detail {

std::optional<RSAKeyRef> keyForTag(const std::string& keyText, const std::string& tag,
                                   bool isPrivate) {
    // A key already stored is used as it is: nothing is written.
    if (auto found = RSAUtils::getRSAKeyFromKeychain(tag)) return found;

    // Otherwise the key comes from its text; the item is only a cache of it. Keeping the item
    // is tried once, in one write, and a store that cannot take it (full, read-only, locked, or
    // none at all) costs only the cache: the store reports the failure itself and the key parsed
    // here is used all the same.
    const auto der = base64DecodeStrict(keyText);
    if (!der) return std::nullopt;
    const auto pkcs1 =
        isPrivate ? RSAUtils::stripPrivateKeyHeader(*der) : RSAUtils::stripPublicKeyHeader(*der);
    if (!pkcs1) return std::nullopt;
    const StoreItem item{*pkcs1, isPrivate ? KeyClass::privateKey : KeyClass::publicKey};
    auto key = keyRefFromItem(item);
    if (!key) return std::nullopt;
    const Done kept = keyStore()->put(ItemClass::key, tag, item);
    if (!kept) {
        diag("Secure store: the key item could not be kept (" + kept.error().message +
             "); the key is used from its text",
             DiagnosticLevel::warning);
    }
    return key;
}

std::optional<SecretBytes> recoverPkcs1Messages(const Bytes& data, const RSAKeyRef& key) {
    const int blockSize = key.blockSize();
    if (blockSize < 12 || key.isPrivate()) return std::nullopt;
    const auto block = static_cast<std::size_t>(blockSize);
    if (data.empty() || data.size() % block != 0) return std::nullopt;
    SecretBytes out;
    for (std::size_t offset = 0; offset < data.size(); offset += block) {
        const auto raw = decryptBlock(key, RSAUtils::kPaddingNone, data.data() + offset, block);
        if (!raw || raw->size() != block) return std::nullopt;
        const SecretBytes& b = *raw;
        // 0x00, block type, at least eight padding bytes, 0x00, message.
        if (b[0] != 0x00 || (b[1] != 0x01 && b[1] != 0x02)) return std::nullopt;
        std::size_t i = 2;
        if (b[1] == 0x01) {
            while (i < block && b[i] == 0xFF) ++i;
        } else {
            while (i < block && b[i] != 0x00) ++i;
        }
        if (i >= block || b[i] != 0x00 || i - 2 < 8) return std::nullopt;
        out.insert(out.end(), b.begin() + static_cast<std::ptrdiff_t>(i + 1), b.end());
    }
    return out;
}

}  // namespace detail

std::optional<RSAKeyRef> RSAUtils::addRSAPublicKey(const std::string& pubkeyBase64,
                                                   const std::string& tagName) {
    const auto der = detail::base64DecodeStrict(pubkeyBase64);
    if (!der) return std::nullopt;
    return addRSAPublicKeyData(*der, tagName);
}

std::optional<RSAKeyRef> RSAUtils::addRSAPrivateKey(const std::string& privkeyBase64,
                                                    const std::string& tagName) {
    const auto der = detail::base64DecodeStrict(privkeyBase64);
    if (!der) return std::nullopt;
    return addRSAPrivateKeyData(*der, tagName);
}

std::optional<RSAKeyRef> RSAUtils::addRSAPublicKeyData(const Bytes& pubkey,
                                                       const std::string& tagName) {
    deleteRSAKeyFromKeychain(tagName);
    const auto stripped = stripPublicKeyHeader(pubkey);
    if (!stripped) return std::nullopt;
    return addKeyItem(*stripped, KeyClass::publicKey, tagName);
}

std::optional<RSAKeyRef> RSAUtils::addRSAPrivateKeyData(const Bytes& privkey,
                                                        const std::string& tagName) {
    deleteRSAKeyFromKeychain(tagName);
    const auto stripped = stripPrivateKeyHeader(privkey);
    if (!stripped) return std::nullopt;
    return addKeyItem(*stripped, KeyClass::privateKey, tagName);
}

std::optional<RSAKeyRef> RSAUtils::getRSAKeyFromKeychain(const std::string& tagName) {
    auto store = keyStore();
    if (!store) return std::nullopt;
    const auto item = store->read(ItemClass::key, tagName);
    if (!item || !item.value()) return std::nullopt;
    return detail::keyRefFromItem(*item.value());
}

void RSAUtils::deleteRSAKeyFromKeychain(const std::string& tagName) {
    if (auto store = keyStore()) (void)store->erase(ItemClass::key, tagName);
}

std::optional<Bytes> RSAUtils::encryptWithRSAKey(const Bytes& data, const RSAKeyRef& key,
                                                 int padding) {
    const int blockSize = key.blockSize();
    if (blockSize < 12) return std::nullopt;
    const auto chunk = static_cast<std::size_t>(blockSize - 11);
    Bytes out;
    for (std::size_t offset = 0; offset < data.size(); offset += chunk) {
        const std::size_t n = std::min(chunk, data.size() - offset);
        int status = 0;
        const auto block = encryptBlock(key, padding, data.data() + offset, n, status);
        if (!block) {
            detail::systemLog("Error while ecrypting: " + std::to_string(status));
            return std::nullopt;
        }
        out.insert(out.end(), block->begin(), block->end());
    }
    return out;
}

std::optional<Bytes> RSAUtils::decryptWithRSAKey(const Bytes& data, const RSAKeyRef& key,
                                                 int padding) {
    const int blockSize = key.blockSize();
    if (blockSize < 1) {
        detail::diag("Invalid blockSize.");
        return std::nullopt;
    }
    const auto block = static_cast<std::size_t>(blockSize);
    Bytes out;
    for (std::size_t offset = 0; offset < data.size(); offset += block) {
        const std::size_t n = std::min(block, data.size() - offset);
        const auto result = decryptBlock(key, padding, data.data() + offset, n);
        if (!result) return std::nullopt;
        if (padding == kPaddingPKCS1) {
            // The RSA operation already checked and removed the padding.
            out.insert(out.end(), result->begin(), result->end());
            continue;
        }
        // The raw result goes into the buffer without its leading zero byte, so the buffer
        // ends in a zero and the padding removal stops there.
        Bytes buffer(block, 0);
        std::size_t skip = (result->size() == block && (*result)[0] == 0x00) ? 1 : 0;
        std::copy(result->begin() + static_cast<std::ptrdiff_t>(skip), result->end(),
                  buffer.begin());
        const Bytes message = removePadding(buffer);
        out.insert(out.end(), message.begin(), message.end());
    }
    return out;
}

std::optional<Bytes> RSAUtils::encryptWithRSAPublicKey(const Bytes& data,
                                                       const std::string& pubkeyBase64,
                                                       const std::string& keychainTag) {
    const auto key = detail::keyForTag(pubkeyBase64, tagFor(keychainTag, pubkeyBase64), false);
    if (!key) return std::nullopt;
    return encryptWithRSAKey(data, *key, kPaddingPKCS1);
}

std::optional<Bytes> RSAUtils::encryptWithRSAPrivateKey(const Bytes& data,
                                                        const std::string& privkeyBase64,
                                                        const std::string& keychainTag) {
    const auto key = detail::keyForTag(privkeyBase64, tagFor(keychainTag, privkeyBase64), true);
    if (!key) return std::nullopt;
    return encryptWithRSAKey(data, *key, kPaddingPKCS1);
}

std::optional<Bytes> RSAUtils::decryptWithRSAPublicKey(const Bytes& data,
                                                       const std::string& pubkeyBase64,
                                                       const std::string& keychainTag) {
    const auto key = detail::keyForTag(pubkeyBase64, tagFor(keychainTag, pubkeyBase64), false);
    if (!key) return std::nullopt;
    return decryptWithRSAKey(data, *key, kPaddingNone);
}

std::optional<Bytes> RSAUtils::decryptWithRSAPrivateKey(const Bytes& data,
                                                        const std::string& privkeyBase64,
                                                        const std::string& keychainTag) {
    const auto key = detail::keyForTag(privkeyBase64, tagFor(keychainTag, privkeyBase64), true);
    if (!key) return std::nullopt;
    return decryptWithRSAKey(data, *key, kPaddingNone);
}

std::optional<Bytes> RSAUtils::stripPublicKeyHeader(const Bytes& key) {
    const std::size_t size = key.size();
    if (size < 2 || key[0] != 0x30) return std::nullopt;
    std::size_t p = key[1] >= 0x81 ? static_cast<std::size_t>(key[1] - 0x80) + 2 : 2;
    if (p > size || size - p < sizeof kRSAAlgorithmIdentifier) return std::nullopt;
    if (!std::equal(std::begin(kRSAAlgorithmIdentifier), std::end(kRSAAlgorithmIdentifier),
                    key.begin() + static_cast<std::ptrdiff_t>(p))) {
        return std::nullopt;
    }
    p += sizeof kRSAAlgorithmIdentifier;
    if (p >= size || key[p] != 0x03) return std::nullopt;
    ++p;
    if (p >= size) return std::nullopt;
    p += key[p] >= 0x81 ? static_cast<std::size_t>(key[p] - 0x80) + 1 : 1;
    if (p >= size || key[p] != 0x00) return std::nullopt;
    return Bytes(key.begin() + static_cast<std::ptrdiff_t>(p + 1), key.end());
}

std::optional<Bytes> RSAUtils::stripPrivateKeyHeader(const Bytes& key) {
    // Offsets of a PKCS#8 structure whose outer length takes two bytes: the OCTET STRING that
    // holds the PKCS#1 key starts at 22, its length at 23.
    const std::size_t size = key.size();
    if (size < 24 || key[22] != 0x04) return std::nullopt;
    const std::size_t first = key[23];
    std::size_t start = 24;
    std::size_t length = first;
    if (first >= 0x80) {
        const std::size_t n = first - 0x80;
        if (n > sizeof(std::uint32_t) || size < 24 + n) return std::nullopt;
        length = 0;
        for (std::size_t i = 0; i < n; ++i) length = (length << 8) | key[24 + i];
        start = 24 + n;
    }
    if (length > size - start) return std::nullopt;
    return Bytes(key.begin() + static_cast<std::ptrdiff_t>(start),
                 key.begin() + static_cast<std::ptrdiff_t>(start + length));
}

Bytes RSAUtils::removePadding(const Bytes& data) {
    const auto first = std::find(data.begin(), data.end(), std::uint8_t{0});
    if (first == data.end()) return data;
    const auto second = std::find(first + 1, data.end(), std::uint8_t{0});
    return Bytes(first + 1, second);
}

std::string RSAUtils::tagFor(const std::string& keychainTag, const std::string& keyText) {
    return keychainTag + "-" + std::to_string(static_cast<std::int64_t>(fnv1a(keyText)));
}

}  // namespace tavi
