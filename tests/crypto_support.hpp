// Helpers of the crypto tests: RSA keys generated at test time, their encodings, the openssl
// command line in a scratch directory, and captured diagnostic lines.
#pragma once

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/internal.hpp"
#include "tavi/config.hpp"
#include "tavi/result.hpp"

namespace tavi::test {

struct TestPKeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using TestPKey = std::unique_ptr<EVP_PKEY, TestPKeyDeleter>;

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

/// An RSA key pair made for this run, with every encoding the tests hand to the library.
struct TestKeyPair {
    TestPKey key;
    int bits = 0;

    explicit TestKeyPair(int modulusBits) : key(EVP_RSA_gen(static_cast<unsigned>(modulusBits))) {
        bits = modulusBits;
        if (!key) throw std::runtime_error("RSA key generation failed");
    }

    int blockSize() const { return bits / 8; }

    /// X.509 SubjectPublicKeyInfo DER.
    Bytes spki() const {
        unsigned char* out = nullptr;
        const int n = i2d_PUBKEY(key.get(), &out);
        Bytes der(out, out + n);
        OPENSSL_free(out);
        return der;
    }
    /// PKCS#1 RSAPublicKey DER.
    Bytes pkcs1Public() const {
        unsigned char* out = nullptr;
        const int n = i2d_PublicKey(key.get(), &out);
        Bytes der(out, out + n);
        OPENSSL_free(out);
        return der;
    }
    /// PKCS#1 RSAPrivateKey DER.
    Bytes pkcs1Private() const {
        unsigned char* out = nullptr;
        const int n = i2d_PrivateKey(key.get(), &out);
        Bytes der(out, out + n);
        OPENSSL_free(out);
        return der;
    }
    /// PKCS#8 PrivateKeyInfo DER.
    Bytes pkcs8() const {
        std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
        i2d_PKCS8PrivateKeyInfo_bio(bio.get(), key.get());
        return drain(bio.get());
    }
    std::string publicBase64() const { return detail::base64Encode(spki()); }
    std::string publicPEM() const {
        std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
        PEM_write_bio_PUBKEY(bio.get(), key.get());
        const Bytes b = drain(bio.get());
        return std::string(b.begin(), b.end());
    }
    std::string rsaPublicPEM() const {
        const Bytes der = pkcs1Public();
        std::string body = detail::base64Encode(der);
        std::string pem = "-----BEGIN RSA PUBLIC KEY-----\n";
        for (std::size_t i = 0; i < body.size(); i += 64) pem += body.substr(i, 64) + "\n";
        return pem + "-----END RSA PUBLIC KEY-----\n";
    }
    std::string privatePEM() const {
        std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        const Bytes b = drain(bio.get());
        return std::string(b.begin(), b.end());
    }

    /// PKCS#1 v1.5 decryption with the private key (what the server or bank does).
    std::optional<Bytes> privateDecrypt(const Bytes& cipher) const {
        std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
            EVP_PKEY_CTX_new(key.get(), nullptr), &EVP_PKEY_CTX_free);
        Bytes out(static_cast<std::size_t>(blockSize()));
        std::size_t n = out.size();
        if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_decrypt(ctx.get(), out.data(), &n, cipher.data(), cipher.size()) != 1) {
            return std::nullopt;
        }
        out.resize(n);
        return out;
    }

    /// The shared 2048-bit pair of the test program (generated once).
    static const TestKeyPair& shared2048() {
        static const TestKeyPair pair(2048);
        return pair;
    }

  private:
    static Bytes drain(BIO* bio) {
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        return Bytes(data, data + n);
    }
};

/// A scratch directory removed at the end of the scope.
class ScratchDir {
  public:
    ScratchDir() {
        std::random_device device;
        path_ = std::filesystem::temp_directory_path() /
                ("tavi-crypto-" + std::to_string(device()) + "-" + std::to_string(device()));
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    void write(const std::string& name, const Bytes& data) const {
        std::ofstream out(file(name), std::ios::binary);
        out.write(reinterpret_cast<const char*>(data.data()),
                  static_cast<std::streamsize>(data.size()));
    }
    void write(const std::string& name, const std::string& text) const {
        write(name, Bytes(text.begin(), text.end()));
    }
    Bytes read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

  private:
    std::filesystem::path path_;
};

/// Runs a shell command; true when it exits with status 0.
inline bool run(const std::string& command) {
    return std::system((command + " 2>/dev/null").c_str()) == 0;
}

inline std::string hex(const Bytes& data) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : data) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0x0F]);
    }
    return out;
}

/// Collects the library's diagnostic lines while alive; restores the previous sink afterwards.
class DiagCapture {
  public:
    DiagCapture() : previous_(AppConstantTAVI::shared().diagnosticsSink) {
        AppConstantTAVI::shared().diagnosticsSink = [this](std::string_view line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(line);
        };
    }
    ~DiagCapture() { AppConstantTAVI::shared().diagnosticsSink = previous_; }
    DiagCapture(const DiagCapture&) = delete;
    DiagCapture& operator=(const DiagCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

  private:
    DiagnosticsSink previous_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace tavi::test
