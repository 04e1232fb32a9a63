// Parsing of RSA keys and the bounded caches that keep parsed keys between calls.

#include "crypto/keys.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <deque>
#include <map>
#include <mutex>

#include "core/internal.hpp"

namespace tavi::detail {

namespace {

constexpr std::size_t kCacheCapacity = 64;

// A small map with first-in-first-out eviction, safe for concurrent use.
template <class Value>
class BoundedCache {
  public:
    std::optional<Value> find(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = entries_.find(key);
        if (it == entries_.end()) return std::nullopt;
        return it->second;
    }

    void insert(const std::string& key, Value value) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (entries_.count(key) != 0) return;
        if (entries_.size() >= kCacheCapacity) {
            entries_.erase(order_.front());
            order_.pop_front();
        }
        entries_.emplace(key, std::move(value));
        order_.push_back(key);
    }

  private:
    std::mutex mutex_;
    std::map<std::string, Value> entries_;
    std::deque<std::string> order_;
};

BoundedCache<std::shared_ptr<EVP_PKEY>>& textKeyCache() {
    static BoundedCache<std::shared_ptr<EVP_PKEY>> cache;
    return cache;
}

BoundedCache<std::shared_ptr<const RSAKeyRef::Impl>>& itemKeyCache() {
    static BoundedCache<std::shared_ptr<const RSAKeyRef::Impl>> cache;
    return cache;
}

std::shared_ptr<EVP_PKEY> share(EVP_PKEY* key) {
    return std::shared_ptr<EVP_PKEY>(key, FreeWith<EVP_PKEY_free>{});
}

bool isRSA(const EVP_PKEY* key) {
    return key != nullptr && EVP_PKEY_is_a(key, "RSA") == 1;
}

// DER decoders that must consume the whole input.
PKeyPtr subjectPublicKeyInfoFromDER(const Bytes& der) {
    const unsigned char* p = der.data();
    PKeyPtr key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
    if (!key || p != der.data() + der.size() || !isRSA(key.get())) return nullptr;
    return key;
}

PKeyPtr rsaPublicKeyFromDER(const Bytes& der) {
    const unsigned char* p = der.data();
    PKeyPtr key(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
    if (!key || p != der.data() + der.size() || !isRSA(key.get())) return nullptr;
    return key;
}

PKeyPtr rsaPrivateKeyFromDER(const Bytes& der) {
    const unsigned char* p = der.data();
    PKeyPtr key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
    if (!key || p != der.data() + der.size() || !isRSA(key.get())) return nullptr;
    return key;
}

// OPENSSL_free is a macro; this is a function a handle can name.
void opensslFree(void* p) {
    OPENSSL_free(p);
}

PKeyPtr publicKeyFromPEM(const std::string& text) {
    const Handle<BIO, BIO_free> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) return nullptr;
    char* rawName = nullptr;
    char* rawHeader = nullptr;
    unsigned char* rawData = nullptr;
    long length = 0;
    const int ok = PEM_read_bio(bio.get(), &rawName, &rawHeader, &rawData, &length);
    const Handle<char, opensslFree> name(rawName);
    const Handle<char, opensslFree> header(rawHeader);
    const Handle<unsigned char, opensslFree> data(rawData);
    if (ok != 1 || length <= 0) return nullptr;
    const Bytes der(data.get(), data.get() + length);
    const std::string label(name.get());
    if (label == "PUBLIC KEY") return subjectPublicKeyInfoFromDER(der);
    if (label == "RSA PUBLIC KEY") return rsaPublicKeyFromDER(der);
    return nullptr;
}

PKeyPtr publicKeyFromBase64(const std::string& text) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text) {
        if (std::isspace(static_cast<unsigned char>(c)) == 0) compact.push_back(c);
    }
    const auto der = base64DecodeStrict(compact);
    if (!der || der->empty()) return nullptr;
    if (auto key = subjectPublicKeyInfoFromDER(*der)) return key;
    return rsaPublicKeyFromDER(*der);
}

}  // namespace

std::string takeOpenSSLError(const std::string& fallback) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    char buffer[256] = {};
    ERR_error_string_n(code, buffer, sizeof buffer);
    return buffer;
}

std::shared_ptr<EVP_PKEY> publicKeyFromText(const std::string& text) {
    if (auto cached = textKeyCache().find(text)) return *cached;
    PKeyPtr parsed = text.find("-----BEGIN") != std::string::npos ? publicKeyFromPEM(text)
                                                                  : publicKeyFromBase64(text);
    ERR_clear_error();
    if (!parsed) return nullptr;
    auto key = share(parsed.release());
    textKeyCache().insert(text, key);
    return key;
}

namespace {

struct KeptContext {
    EVP_PKEY* key = nullptr;
    PublicKeyOperation operation{};
    PKeyCtxPtr context;
};

/// This thread's contexts, the one used last first.
struct KeptContexts {
    static constexpr std::size_t kSize = 4;
    std::array<KeptContext, kSize> kept;
};

thread_local KeptContexts keptContexts;

PKeyCtxPtr newContext(EVP_PKEY& key, PublicKeyOperation operation) {
    PKeyCtxPtr ctx(EVP_PKEY_CTX_new(&key, nullptr));
    const bool encrypt = operation == PublicKeyOperation::encryptPkcs1;
    const int padding = operation == PublicKeyOperation::recoverRaw ? RSA_NO_PADDING : RSA_PKCS1_PADDING;
    if (!ctx ||
        (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_verify_recover_init(ctx.get())) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding) != 1) {
        ERR_clear_error();
        return {};
    }
    return ctx;
}

}  // namespace

EVP_PKEY_CTX* publicKeyContext(EVP_PKEY& key, PublicKeyOperation operation) {
    auto& kept = keptContexts.kept;
    std::size_t i = 0;
    while (i < kept.size() && !(kept[i].key == &key && kept[i].operation == operation && kept[i].context))
        ++i;
    if (i == kept.size()) {
        PKeyCtxPtr made = newContext(key, operation);
        if (!made) return nullptr;
        i = kept.size() - 1;  // the one used longest ago makes way
        kept[i] = KeptContext{&key, operation, std::move(made)};
    }
    std::rotate(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(i),
                kept.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    return kept.front().context.get();
}

void forgetPublicKeyContext(EVP_PKEY_CTX* context) {
    for (auto& k : keptContexts.kept) {
        if (k.context.get() == context) k = KeptContext{};
    }
}

std::optional<Bytes> rsaPkcs1Encrypt(EVP_PKEY& key, std::span<const std::uint8_t> data) {
    const int blockSize = EVP_PKEY_get_size(&key);
    if (blockSize < 12) return std::nullopt;
    const auto block = static_cast<std::size_t>(blockSize);
    const std::size_t chunk = block - 11;
    EVP_PKEY_CTX* ctx = publicKeyContext(key, PublicKeyOperation::encryptPkcs1);
    if (!ctx) return std::nullopt;
    Bytes out;
    std::size_t offset = 0;
    do {
        const std::size_t n = std::min(chunk, data.size() - offset);
        Bytes cipher(block);
        std::size_t outLength = block;
        if (EVP_PKEY_encrypt(ctx, cipher.data(), &outLength, data.data() + offset, n) != 1 ||
            outLength != block) {
            ERR_clear_error();
            forgetPublicKeyContext(ctx);
            return std::nullopt;
        }
        out.insert(out.end(), cipher.begin(), cipher.end());
        offset += n;
    } while (offset < data.size());
    return out;
}

std::optional<RSAKeyRef> keyRefFromItem(const StoreItem& item) {
    if (item.keyClass != KeyClass::publicKey && item.keyClass != KeyClass::privateKey) {
        return std::nullopt;
    }
    const bool isPrivate = item.keyClass == KeyClass::privateKey;
    std::string cacheKey(1, isPrivate ? 'S' : 'P');
    cacheKey.append(item.data.begin(), item.data.end());
    if (auto cached = itemKeyCache().find(cacheKey)) return RSAKeyRef(*cached);

    PKeyPtr parsed = isPrivate ? rsaPrivateKeyFromDER(item.data) : rsaPublicKeyFromDER(item.data);
    ERR_clear_error();
    if (!parsed) return std::nullopt;
    auto impl = std::make_shared<RSAKeyRef::Impl>();
    impl->blockSize = EVP_PKEY_get_size(parsed.get());
    impl->isPrivate = isPrivate;
    impl->key = share(parsed.release());
    std::shared_ptr<const RSAKeyRef::Impl> shared = std::move(impl);
    itemKeyCache().insert(cacheKey, shared);
    return RSAKeyRef(shared);
}

}  // namespace tavi::detail

namespace tavi {

int RSAKeyRef::blockSize() const {
    return impl_ ? impl_->blockSize : 0;
}

bool RSAKeyRef::isPrivate() const {
    return impl_ && impl_->isPrivate;
}

}  // namespace tavi
