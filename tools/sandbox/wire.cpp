#include "wire.hpp"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace tavi::sandbox::wire {
namespace {

using BioPtr = std::unique_ptr<BIO, OsslDeleter<BIO_free_all>>;

const unsigned char* u8(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

bool isBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

PKeyCtxPtr ctxFor(const Key& key) {
    if (!key) return nullptr;
    return PKeyCtxPtr(EVP_PKEY_CTX_new(key.get(), nullptr));
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    if (n <= 0 || data == nullptr) return {};
    return std::string(data, static_cast<std::size_t>(n));
}

}  // namespace

Key adoptKey(EVP_PKEY* raw) {
    if (raw == nullptr) return nullptr;
    return Key(raw, OsslDeleter<EVP_PKEY_free>{});
}

std::string base64(std::string_view bytes) {
    if (bytes.empty()) return {};
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), u8(bytes),
                            static_cast<int>(bytes.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::optional<std::string> unbase64(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    if (text.empty()) return std::string{};
    std::size_t pad = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '=') {
            if (i + 2 < text.size()) return std::nullopt;  // "=" only in the last two places
            ++pad;
        } else if (pad != 0 || !isBase64Char(c)) {
            return std::nullopt;
        }
    }
    std::string out(text.size() / 4 * 3, '\0');
    int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), u8(text),
                            static_cast<int>(text.size()));
    if (n < 0 || static_cast<std::size_t>(n) < pad) return std::nullopt;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

std::string base64Url(std::string_view bytes) {
    std::string s = base64(bytes);
    for (char& c : s) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    return s;
}

std::optional<std::string> unbase64Url(std::string_view text) {
    std::string s(text);
    for (char& c : s) {
        if (c == '+' || c == '/') return std::nullopt;
        if (c == '-') c = '+';
        if (c == '_') c = '/';
    }
    return unbase64(s);
}

std::string base64UrlNoPad(std::string_view bytes) {
    std::string s = base64Url(bytes);
    while (!s.empty() && s.back() == '=') s.pop_back();
    return s;
}

namespace {

std::optional<std::string> aesCtr(std::string_view key, std::string_view in) {
    if (key.size() != 32) return std::nullopt;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return std::nullopt;
    const std::array<unsigned char, 16> iv{};
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, u8(key), iv.data()) != 1) {
        return std::nullopt;
    }
    std::string out(in.size() + 16, '\0');
    int len = 0;
    int total = 0;
    if (EVP_EncryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &len, u8(in),
                          static_cast<int>(in.size())) != 1) {
        return std::nullopt;
    }
    total = len;
    if (EVP_EncryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + total,
                            &len) != 1) {
        return std::nullopt;
    }
    total += len;
    out.resize(static_cast<std::size_t>(total));
    return out;
}

}  // namespace

std::optional<std::string> aesEncrypt(std::string_view key, std::string_view plaintext) {
    std::string padded(plaintext);
    std::size_t pad = 16 - plaintext.size() % 16;
    padded.append(pad, static_cast<char>(pad));
    return aesCtr(key, padded);
}

std::optional<std::string> aesDecrypt(std::string_view key, std::string_view ciphertext) {
    if (ciphertext.empty() || ciphertext.size() % 16 != 0) return std::nullopt;
    auto plain = aesCtr(key, ciphertext);
    if (!plain) return std::nullopt;
    auto pad = static_cast<unsigned char>(plain->back());
    if (pad < 1 || pad > 16) return std::nullopt;
    for (std::size_t i = plain->size() - pad; i < plain->size(); ++i) {
        if (static_cast<unsigned char>((*plain)[i]) != pad) return std::nullopt;
    }
    // Cut with erase: GCC 12 at -O3 misreads resize() here as an overlapping copy (-Wrestrict).
    plain->erase(plain->end() - pad, plain->end());
    return plain;
}

namespace {

/// Generates an RSA key; a set `cancel` flag aborts the generation (absent result).
Key generateRsaCancellable(int bits, const std::atomic<bool>* cancel) {
    PKeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1) {
        return nullptr;
    }
    if (cancel != nullptr) {
        EVP_PKEY_CTX_set_app_data(ctx.get(), const_cast<std::atomic<bool>*>(cancel));
        EVP_PKEY_CTX_set_cb(ctx.get(), [](EVP_PKEY_CTX* c) {
            return static_cast<std::atomic<bool>*>(EVP_PKEY_CTX_get_app_data(c))->load() ? 0 : 1;
        });
    }
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1) return nullptr;
    return adoptKey(raw);
}

}  // namespace

Key generateRsa(int bits) {
    return generateRsaCancellable(bits, nullptr);
}

Key generateEc() {
    return adoptKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

std::string publicDer(const Key& key) {
    if (!key) return {};
    int n = i2d_PUBKEY(key.get(), nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    if (i2d_PUBKEY(key.get(), &p) != n) return {};
    return out;
}

Key publicKeyFromDer(std::string_view der) {
    const unsigned char* p = u8(der);
    return adoptKey(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
}

std::optional<std::string> rsaEncrypt(const Key& key, std::string_view plain) {
    auto ctx = ctxFor(key);
    std::size_t n = 0;
    if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_encrypt(ctx.get(), nullptr, &n, u8(plain), plain.size()) != 1) {
        return std::nullopt;
    }
    std::string out(n, '\0');
    if (EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n, u8(plain),
                         plain.size()) != 1) {
        return std::nullopt;
    }
    out.resize(n);
    return out;
}

std::optional<std::string> rsaDecrypt(const Key& key, std::string_view cipher) {
    auto ctx = ctxFor(key);
    std::size_t n = 0;
    if (!ctx || cipher.empty() || EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_decrypt(ctx.get(), nullptr, &n, u8(cipher), cipher.size()) != 1) {
        return std::nullopt;
    }
    std::string out(n, '\0');
    if (EVP_PKEY_decrypt(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n, u8(cipher),
                         cipher.size()) != 1) {
        return std::nullopt;
    }
    out.resize(n);
    return out;
}

std::optional<std::string> rsaPrivateEncrypt(const Key& key, std::string_view plain) {
    auto ctx = ctxFor(key);
    std::size_t n = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_sign(ctx.get(), nullptr, &n, u8(plain), plain.size()) != 1) {
        return std::nullopt;
    }
    std::string out(n, '\0');
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n, u8(plain),
                      plain.size()) != 1) {
        return std::nullopt;
    }
    out.resize(n);
    return out;
}

std::optional<std::string> rsaPublicDecrypt(const Key& key, std::string_view cipher) {
    auto ctx = ctxFor(key);
    std::size_t n = 0;
    if (!ctx || cipher.empty() || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_verify_recover(ctx.get(), nullptr, &n, u8(cipher), cipher.size()) != 1) {
        return std::nullopt;
    }
    std::string out(n, '\0');
    if (EVP_PKEY_verify_recover(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                                u8(cipher), cipher.size()) != 1) {
        return std::nullopt;
    }
    out.resize(n);
    return out;
}

std::string randomBytes(std::size_t n) {
    std::string out(n, '\0');
    if (n != 0 &&
        RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n)) != 1) {
        // The random source failing is fatal for a key server; there is no sensible fallback.
        std::abort();
    }
    return out;
}

std::string randomHex(std::size_t nBytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string bytes = randomBytes(nBytes);
    std::string out;
    out.reserve(nBytes * 2);
    for (char b : bytes) {
        auto v = static_cast<unsigned char>(b);
        out += digits[v >> 4];
        out += digits[v & 0x0F];
    }
    return out;
}

std::string sha256(std::string_view bytes) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
    unsigned int n = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md.data(), &n, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(md.data()), n);
}

bool isUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > text.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::string privateKeyPem(const Key& key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !key ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        return {};
    }
    return bioText(bio.get());
}

Key privateKeyFromPem(std::string_view pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    return adoptKey(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
}

std::string certificatePem(X509* cert) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || cert == nullptr || PEM_write_bio_X509(bio.get(), cert) != 1) return {};
    return bioText(bio.get());
}

bool writeFile(const std::string& path, std::string_view content, unsigned mode) {
    std::string tmp = path + ".tmp" + randomHex(4);
    int fd =
        ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
    std::size_t done = 0;
    while (ok && done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) {
            ok = false;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(tmp.c_str());
    return ok;
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

namespace {

/// RSA-2048 keys made beforehand: the file TAVI_SANDBOX_KEY_FILE names, PEM private keys one
/// after another (the test suite makes one with the openssl command line, since generating keys
/// was most of the suite's CPU). Each is handed out at most once in a process, starting from a
/// random place in the file, so that two processes seldom begin with the same key; whatever is
/// not an RSA-2048 private key is passed over.
class PreparedKeys {
  public:
    PreparedKeys() {
        const char* path = std::getenv("TAVI_SANDBOX_KEY_FILE");
        const auto text = path != nullptr && *path != '\0' ? readFile(path) : std::nullopt;
        if (!text) return;
        constexpr std::string_view kBegin = "-----BEGIN ";
        for (std::size_t at = text->find(kBegin); at != std::string::npos;) {
            const std::size_t next = text->find(kBegin, at + kBegin.size());
            pems_.push_back(text->substr(at, next == std::string::npos ? next : next - at));
            at = next;
        }
        std::uint32_t start = 0;
        if (pems_.empty() || RAND_bytes(reinterpret_cast<unsigned char*>(&start), sizeof start) != 1)
            return;
        std::rotate(pems_.begin(), pems_.begin() + static_cast<std::ptrdiff_t>(start % pems_.size()),
                    pems_.end());
    }

    /// The next prepared key, or null when none is left.
    Key take() {
        while (next_ < pems_.size()) {
            Key key = privateKeyFromPem(pems_[next_]);
            pems_[next_++].clear();
            if (key && EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA &&
                EVP_PKEY_get_bits(key.get()) == 2048) {
                return key;
            }
        }
        return nullptr;
    }

  private:
    std::vector<std::string> pems_;
    std::size_t next_ = 0;
};

// Generating an RSA-2048 key takes some 50-300 ms; a background thread keeps a few ready so
// that servers start quickly and registrations and transactions do not wait. Started by the
// first request for a key that is not prepared beforehand.
class KeyPool {
  public:
    static KeyPool& instance() {
        static KeyPool pool;
        return pool;
    }

    Key take() {
        std::unique_lock lock(mutex_);
        if (Key key = prepared_.take()) return key;
        if (!worker_.joinable()) worker_ = std::thread([this] { run(); });
        if (keys_.empty()) {
            lock.unlock();
            wake_.notify_one();
            return generateRsa();
        }
        Key key = std::move(keys_.front());
        keys_.pop_front();
        lock.unlock();
        wake_.notify_one();
        return key;
    }

    ~KeyPool() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cancel_ = true;  // cuts short a generation in progress
        wake_.notify_all();
        if (worker_.joinable()) worker_.join();
    }

  private:
    KeyPool() = default;

    void run() {
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            if (keys_.size() >= kTarget) {
                wake_.wait(lock);
                continue;
            }
            lock.unlock();
            Key key = generateRsaCancellable(2048, &cancel_);
            lock.lock();
            if (key) keys_.push_back(std::move(key));
        }
    }

    // Small: test processes are often short-lived and need only a few keys each.
    static constexpr std::size_t kTarget = 4;
    std::atomic<bool> cancel_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Key> keys_;
    PreparedKeys prepared_;
    std::thread worker_;
    bool stopping_ = false;
};

}  // namespace

Key takePooledRsaKey() {
    return KeyPool::instance().take();
}

}  // namespace tavi::sandbox::wire
