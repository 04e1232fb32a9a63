// AES-256-GCM sealing of item values, and the file backend of the data key.
#include "store/protection.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "core/handle.hpp"
#include "core/internal.hpp"
#include "store/sqlite_store.hpp"

namespace tavi::detail {
namespace {

using CipherCtx = Handle<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using FetchedCipher = Handle<EVP_CIPHER, EVP_CIPHER_free>;

/// AES-256-GCM, fetched from the provider once: with EVP_aes_256_gcm() OpenSSL looks the
/// implementation up again, under its lock, at every initialisation (each value sealed or
/// opened).
const EVP_CIPHER* gcmCipher() {
    static const FetchedCipher fetched(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr));
    return fetched ? fetched.get() : EVP_aes_256_gcm();
}

std::string errnoText(int err) {
    return std::error_code(err, std::generic_category()).message();
}

Error keyError(const KeyRef& ref, const std::string& backend, const std::string& problem) {
    return clientError(ClientErrorCode::storeUnavailable,
                       "secure store \"" + ref.storePath + "\": data key (backend " + backend +
                           "): " + problem);
}

void appendField(std::string& out, std::string_view field) {
    const auto size = static_cast<std::uint32_t>(field.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(size >> shift));
    out.append(field);
}

/// The key file backend: the data key in a file of its own (0600) in a directory of its own
/// (0700), named by the key's identity.
class FileKeyProtection final : public KeyProtection {
  public:
    explicit FileKeyProtection(std::string directory) : dir_(std::move(directory)) {}

    std::string name() const override { return "file"; }
    std::string strength() const override { return "weak"; }
    std::string caveat() const override {
        return "the data key is a file of this user (" + dir_ +
               "): any program of the user, and a backup or image that takes the key directory "
               "with the store, can read the store; use secret-service or tpm where available";
    }

    Result<Bytes> keep(const KeyRef& ref, const SecretBytes& key) override {
        if (auto problem = prepareDirectory()) return keyError(ref, name(), *problem);
        const std::string temp = dir_ + "/" + ref.storeId + "-" + ref.keyId + ".tmp";
        const std::string final = pathOf(ref);
        ::unlink(temp.c_str());
        {
            const UniqueFd fd(
                ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!fd) {
                return keyError(ref, name(), "cannot create \"" + temp + "\": " +
                                                 errnoText(errno) +
                                                 "; make the key directory writable by its owner");
            }
            if (::fchmod(fd.get(), 0600) != 0 || !writeAll(fd.get(), key) ||
                ::fsync(fd.get()) != 0) {
                const int err = errno;
                ::unlink(temp.c_str());
                return keyError(ref, name(), "cannot write \"" + temp + "\": " + errnoText(err));
            }
        }
        if (::rename(temp.c_str(), final.c_str()) != 0) {
            const int err = errno;
            ::unlink(temp.c_str());
            return keyError(ref, name(), "cannot put the key file in place: " + errnoText(err));
        }
        syncDirectory();
        return Bytes{};
    }

    Result<SecretBytes> fetch(const KeyRef& ref, const Bytes&) override {
        const std::string path = pathOf(ref);
        const std::string fix =
            "; without it the store cannot be read: restore the key file, or run `tavi store "
            "reset` (resetStore) to start over and register again";
        if (auto problem = directoryProblem()) return keyError(ref, name(), *problem);
        const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            const int err = errno;
            return keyError(ref, name(),
                            "key file \"" + path + "\" " +
                                (err == ENOENT ? std::string("is gone (the store was copied "
                                                             "here, or the file was deleted)")
                                               : "cannot be opened: " + errnoText(err)) +
                                fix);
        }
        if (auto problem = untrustedFileProblem(fd.get())) {
            return keyError(ref, name(), "key file \"" + path + "\": " + *problem);
        }
        SecretBytes key(kDataKeySize + 1);
        const ssize_t got = ::read(fd.get(), key.data(), key.size());
        if (got != static_cast<ssize_t>(kDataKeySize)) {
            return keyError(ref, name(), "key file \"" + path + "\" does not hold a data key" + fix);
        }
        key.resize(kDataKeySize);
        return key;
    }

    Done destroy(const KeyRef& ref, const Bytes&) override {
        const std::string path = pathOf(ref);
        overwrite(path);
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return keyError(ref, name(), "cannot delete \"" + path + "\": " + errnoText(errno));
        }
        syncDirectory();
        return std::monostate{};
    }

    void sweep(const KeyRef& ref) override {
        const Handle<DIR, closedir> dir(::opendir(dir_.c_str()));
        if (!dir) return;
        std::vector<std::string> stale;
        while (const dirent* entry = ::readdir(dir.get())) {
            const std::string file = entry->d_name;
            // Only this store's keys: a configured key directory may serve several stores.
            const bool ours = file.starts_with(ref.storeId + "-") &&
                              (file.ends_with(".key") || file.ends_with(".tmp"));
            if (ours && file != ref.storeId + "-" + ref.keyId + ".key") {
                stale.push_back(dir_ + "/" + file);
            }
        }
        for (const auto& path : stale) {
            overwrite(path);
            ::unlink(path.c_str());
        }
        if (!stale.empty()) syncDirectory();
    }

  private:
    std::string dir_;

    std::string pathOf(const KeyRef& ref) const {
        return dir_ + "/" + ref.storeId + "-" + ref.keyId + ".key";
    }

    static bool writeAll(int fd, const SecretBytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    /// Zeroes a key file in place before it is unlinked (on file systems that rewrite in place
    /// this removes the key from the disk as well as from the directory).
    static void overwrite(const std::string& path) {
        const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return;
        const SecretBytes zeros(kDataKeySize, 0);
        if (writeAll(fd.get(), zeros)) ::fsync(fd.get());
    }

    void syncDirectory() const {
        const UniqueFd fd(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (fd) ::fsync(fd.get());
    }

    std::optional<std::string> directoryProblem() const {
        struct stat st {};
        if (::lstat(dir_.c_str(), &st) != 0) {
            if (errno == ENOENT) return std::nullopt;  // then the key file is gone too
            return "cannot examine the key directory \"" + dir_ + "\": " + errnoText(errno);
        }
        if (S_ISLNK(st.st_mode) || !S_ISDIR(st.st_mode)) {
            return "the key directory \"" + dir_ + "\" is not a directory (or is a link)";
        }
        if (st.st_uid != ::geteuid()) {
            return "the key directory \"" + dir_ + "\" belongs to uid " +
                   std::to_string(st.st_uid) + ", not to this user";
        }
        if ((st.st_mode & 077) != 0) {
            return "the key directory \"" + dir_ +
                   "\" is open to group or others; run chmod 700 on it";
        }
        return std::nullopt;
    }

    std::optional<std::string> prepareDirectory() const {
        if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) {
            return "cannot create the key directory \"" + dir_ + "\": " + errnoText(errno);
        }
        struct stat st {};
        if (::lstat(dir_.c_str(), &st) == 0 && st.st_uid == ::geteuid() && S_ISDIR(st.st_mode)) {
            ::chmod(dir_.c_str(), 0700);
        }
        return directoryProblem();
    }
};

}  // namespace

std::string defaultKeyDirectory(const std::string& storePath) {
    return storePath + ".keys";
}

Result<std::unique_ptr<KeyProtection>> makeKeyProtection(const std::string& name,
                                                         const std::string& storePath,
                                                         const std::string& keyDirectory) {
    if (name == "file") {
        return std::unique_ptr<KeyProtection>(std::make_unique<FileKeyProtection>(
            keyDirectory.empty() ? defaultKeyDirectory(storePath) : keyDirectory));
    }
    if (name == "secret-service" || name == "tpm") {
        if (auto made = makePlatformProtection(name, storePath)) return made;
        else return made.error();
    }
    return clientError(ClientErrorCode::storeUnavailable,
                       "secure store \"" + storePath + "\": unknown storeProtection \"" + name +
                           "\"; use auto, tpm, secret-service, file or none");
}

Result<AutoChoice> chooseKeyProtection(const std::string& storePath,
                                       const std::string& keyDirectory) {
    AutoChoice choice;
    for (const char* name : {"tpm", "secret-service"}) {
        auto made = makePlatformProtection(name, storePath);
        if (made) {
            choice.protection = std::move(made).value();
            return choice;
        }
        if (!choice.passedOver.empty()) choice.passedOver += "; ";
        // The reason alone: "backend tpm: no TPM here (...)".
        std::string reason = made.error().message;
        const std::string prefix = "secure store \"" + storePath + "\": ";
        if (reason.starts_with(prefix)) reason.erase(0, prefix.size());
        choice.passedOver += reason;
    }
    auto file = makeKeyProtection("file", storePath, keyDirectory);
    if (!file) return file.error();
    choice.protection = std::move(file).value();
    return choice;
}

std::optional<SecretBytes> randomBytes(std::size_t count) {
    SecretBytes out(count);
    if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) return std::nullopt;
    return out;
}

std::string hexOf(const std::uint8_t* bytes, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

std::string itemBinding(std::string_view storeId, ItemClass cls, KeyClass keyClass,
                        std::string_view name) {
    std::string out = "tavi-store-item/2";
    appendField(out, storeId);
    out.push_back(static_cast<char>(cls));
    out.push_back(static_cast<char>(keyClass));
    appendField(out, name);
    return out;
}

std::string keyCheckBinding(std::string_view storeId, std::string_view keyId) {
    std::string out = "tavi-store-key-check/2";
    appendField(out, storeId);
    appendField(out, keyId);
    return out;
}

ValueSealer::ValueSealer(const SecretBytes& key, std::size_t count) {
    if (key.size() != kDataKeySize) return;
    nonces_.resize(std::clamp<std::size_t>(count, 1, 1024) * kNonceSize);
    next_ = nonces_.size();  // drawn with the first value
    ctx_.reset(EVP_CIPHER_CTX_new());
    // The key is expanded here once; each value then sets only its nonce.
    if (ctx_ && EVP_EncryptInit_ex(ctx_.get(), gcmCipher(), nullptr, key.data(), nullptr) != 1) {
        ctx_.reset();
    }
}

std::optional<Bytes> ValueSealer::seal(std::string_view binding, const std::uint8_t* plain,
                                       std::size_t size) {
    if (!ctx_ || size > 0x7FFFFFF0) return std::nullopt;
    if (next_ == nonces_.size()) {
        if (RAND_bytes(nonces_.data(), static_cast<int>(nonces_.size())) != 1) return std::nullopt;
        next_ = 0;
    }
    Bytes out(kNonceSize + size + kTagSize);
    std::memcpy(out.data(), nonces_.data() + next_, kNonceSize);
    next_ += kNonceSize;  // never offered again, whatever happens below
    unsigned char tail[EVP_MAX_BLOCK_LENGTH];
    int len = 0;
    if (EVP_EncryptInit_ex(ctx_.get(), nullptr, nullptr, nullptr, out.data()) != 1 ||
        EVP_EncryptUpdate(ctx_.get(), nullptr, &len,
                          reinterpret_cast<const unsigned char*>(binding.data()),
                          static_cast<int>(binding.size())) != 1 ||
        (size > 0 && EVP_EncryptUpdate(ctx_.get(), out.data() + kNonceSize, &len, plain,
                                       static_cast<int>(size)) != 1) ||
        EVP_EncryptFinal_ex(ctx_.get(), tail, &len) != 1 ||
        EVP_CIPHER_CTX_ctrl(ctx_.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize),
                            out.data() + kNonceSize + size) != 1) {
        ctx_.reset();  // a cipher that failed once seals nothing more
        return std::nullopt;
    }
    return out;
}

std::optional<Bytes> sealValue(const SecretBytes& key, std::string_view binding,
                               const std::uint8_t* plain, std::size_t size) {
    return ValueSealer(key, 1).seal(binding, plain, size);
}

std::optional<SecretBytes> openValue(const SecretBytes& key, std::string_view binding,
                                     const std::uint8_t* sealed, std::size_t size) {
    if (key.size() != kDataKeySize || size < kNonceSize + kTagSize) return std::nullopt;
    const std::size_t plainSize = size - kNonceSize - kTagSize;
    SecretBytes out(plainSize);
    const CipherCtx ctx(EVP_CIPHER_CTX_new());
    int len = 0;
    // The tag is handed over as a copy: OpenSSL's control call takes a non-const pointer.
    std::uint8_t tag[kTagSize];
    unsigned char tail[EVP_MAX_BLOCK_LENGTH];
    std::memcpy(tag, sealed + kNonceSize + plainSize, kTagSize);
    if (!ctx ||
        EVP_DecryptInit_ex(ctx.get(), gcmCipher(), nullptr, key.data(), sealed) != 1 ||
        EVP_DecryptUpdate(ctx.get(), nullptr, &len,
                          reinterpret_cast<const unsigned char*>(binding.data()),
                          static_cast<int>(binding.size())) != 1 ||
        (plainSize > 0 && EVP_DecryptUpdate(ctx.get(), out.data(), &len, sealed + kNonceSize,
                                            static_cast<int>(plainSize)) != 1) ||
        EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize), tag) !=
            1 ||
        EVP_DecryptFinal_ex(ctx.get(), tail, &len) != 1) {
        return std::nullopt;
    }
    return out;
}

}  // namespace tavi::detail
