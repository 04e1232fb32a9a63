// The operating system's key guards: the Secret Service (libsecret), and TPM 2.0.
//
// secret-service: the data key is an item of the user's default collection (the login keyring),
// found by the store's and the key's identities. The keyring daemon encrypts it under the
// user's login password and gives it only to that user's session; a copy of the store opened
// under another user, or on another machine, finds no such item.
#include "store/protection.hpp"

#include <cstdlib>

#include "core/internal.hpp"

#ifdef TAVI_HAVE_LIBSECRET
#include <libsecret/secret.h>

#include "store/loaded_library.hpp"
#endif

namespace tavi::detail {
namespace {

Error unavailable(const std::string& storePath, const std::string& name,
                  const std::string& why) {
    return clientError(ClientErrorCode::storeUnavailable,
                       "secure store \"" + storePath + "\": backend " + name + ": " + why);
}

#ifdef TAVI_HAVE_LIBSECRET

/// libsecret's functions, loaded with GLib under them the first time the backend is asked for.
struct SecretLibrary {
    LibraryHandle library;
    std::string problem;  // why it is not there; empty when every function was found
    decltype(&g_error_free) errorFree = nullptr;
    decltype(&g_object_unref) objectUnref = nullptr;
    decltype(&secret_service_get_sync) serviceGetSync = nullptr;
    decltype(&secret_collection_for_alias_sync) collectionForAliasSync = nullptr;
    decltype(&secret_collection_get_locked) collectionGetLocked = nullptr;
    decltype(&secret_password_store_sync) passwordStoreSync = nullptr;
    decltype(&secret_password_lookup_sync) passwordLookupSync = nullptr;
    decltype(&secret_password_clear_sync) passwordClearSync = nullptr;
    decltype(&secret_password_free) passwordFree = nullptr;

    SecretLibrary() {
        library = openLibrary("libsecret-1.so.0", problem);
        void* l = library.get();
        const bool bound =
            l != nullptr && bindSymbol(l, "g_error_free", errorFree, problem) &&
            bindSymbol(l, "g_object_unref", objectUnref, problem) &&
            bindSymbol(l, "secret_service_get_sync", serviceGetSync, problem) &&
            bindSymbol(l, "secret_collection_for_alias_sync", collectionForAliasSync, problem) &&
            bindSymbol(l, "secret_collection_get_locked", collectionGetLocked, problem) &&
            bindSymbol(l, "secret_password_store_sync", passwordStoreSync, problem) &&
            bindSymbol(l, "secret_password_lookup_sync", passwordLookupSync, problem) &&
            bindSymbol(l, "secret_password_clear_sync", passwordClearSync, problem) &&
            bindSymbol(l, "secret_password_free", passwordFree, problem);
        if (!bound) library.reset();
    }
};

/// The loaded library; null functions when it is not installed (see problem).
const SecretLibrary& secretLibrary() {
    static const SecretLibrary loaded;  // loaded once, thread-safe
    return loaded;
}

struct GErrorFree {
    void operator()(GError* e) const { secretLibrary().errorFree(e); }
};
using GErrorPtr = std::unique_ptr<GError, GErrorFree>;
struct GObjectUnref {
    void operator()(void* o) const { secretLibrary().objectUnref(o); }
};
template <class T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
struct SecretFree {
    void operator()(gchar* p) const { secretLibrary().passwordFree(p); }
};
using SecretText = std::unique_ptr<gchar, SecretFree>;

const SecretSchema* keySchema() {
    static const SecretSchema schema = {
        "tavi.SecureStoreDataKey",
        SECRET_SCHEMA_NONE,
        {{"store", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {"key", SECRET_SCHEMA_ATTRIBUTE_STRING},
         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

std::string messageOf(const GErrorPtr& error) {
    return error && error->message ? error->message : "unknown failure";
}

/// Whether a Secret Service with an unlocked default collection answers on the session bus.
std::optional<std::string> secretServiceProblem() {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus == nullptr || *bus == '\0') return "no session bus (DBUS_SESSION_BUS_ADDRESS unset)";
    const SecretLibrary& secret = secretLibrary();
    if (!secret.library) return "libsecret is not installed (" + secret.problem + ")";
    GError* raw = nullptr;
    GObjectPtr<SecretService> service(
        secret.serviceGetSync(SECRET_SERVICE_NONE, nullptr, &raw));
    GErrorPtr error(raw);
    if (!service) return "no Secret Service on the session bus (" + messageOf(error) + ")";
    raw = nullptr;
    GObjectPtr<SecretCollection> collection(secret.collectionForAliasSync(
        service.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
    error.reset(raw);
    if (!collection) {
        return "the Secret Service has no default collection" +
               (error ? " (" + messageOf(error) + ")" : std::string());
    }
    if (secret.collectionGetLocked(collection.get())) {
        return "the default collection (login keyring) is locked; unlock it";
    }
    return std::nullopt;
}

class SecretServiceProtection final : public KeyProtection {
  public:
    std::string name() const override { return "secret-service"; }
    std::string strength() const override { return "strong"; }

    Result<Bytes> keep(const KeyRef& ref, const SecretBytes& key) override {
        std::string hex = hexOf(key.data(), key.size());
        const SecretString text(hex);
        OPENSSL_cleanse(hex.data(), hex.size());
        GError* raw = nullptr;
        const std::string label = "tavi secure store key (" + ref.storePath + ")";
        const gboolean stored = secretLibrary().passwordStoreSync(
            keySchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), text.c_str(), nullptr, &raw,
            "store", ref.storeId.c_str(), "key", ref.keyId.c_str(), nullptr);
        GErrorPtr error(raw);
        if (!stored) {
            return fail(ref, "cannot store the data key in the default collection (" +
                                 messageOf(error) + "); unlock the login keyring");
        }
        return Bytes{};
    }

    Result<SecretBytes> fetch(const KeyRef& ref, const Bytes&) override {
        GError* raw = nullptr;
        SecretText found(secretLibrary().passwordLookupSync(keySchema(), nullptr, &raw, "store",
                                                     ref.storeId.c_str(), "key",
                                                     ref.keyId.c_str(), nullptr));
        GErrorPtr error(raw);
        if (error) {
            return fail(ref, "cannot ask the Secret Service for the data key (" +
                                 messageOf(error) + "); start and unlock the login keyring");
        }
        if (!found) {
            return fail(ref, "the data key is not in the default collection (the keyring item "
                             "was deleted, or the store was copied from another user or "
                             "machine); run `tavi store reset` (or call resetStore) to start "
                             "over, then register again");
        }
        const std::string_view hex(found.get());
        if (hex.size() != kDataKeySize * 2) return fail(ref, "the keyring item is not a data key");
        SecretBytes key(kDataKeySize);
        for (std::size_t i = 0; i < kDataKeySize; ++i) {
            auto nibble = [](char c) -> int {
                if (c >= '0' && c <= '9') return c - '0';
                if (c >= 'a' && c <= 'f') return c - 'a' + 10;
                return -1;
            };
            const int hi = nibble(hex[2 * i]);
            const int lo = nibble(hex[2 * i + 1]);
            if (hi < 0 || lo < 0) return fail(ref, "the keyring item is not a data key");
            key[i] = static_cast<std::uint8_t>(hi * 16 + lo);
        }
        return key;
    }

    Done destroy(const KeyRef& ref, const Bytes&) override {
        GError* raw = nullptr;
        secretLibrary().passwordClearSync(keySchema(), nullptr, &raw, "store",
                                          ref.storeId.c_str(), "key", ref.keyId.c_str(), nullptr);
        GErrorPtr error(raw);
        if (error) return fail(ref, "cannot delete the old data key (" + messageOf(error) + ")");
        return std::monostate{};
    }

  private:
    Error fail(const KeyRef& ref, const std::string& problem) const {
        return unavailable(ref.storePath, name(), problem);
    }
};

#endif  // TAVI_HAVE_LIBSECRET

}  // namespace

Result<std::unique_ptr<KeyProtection>> makePlatformProtection(const std::string& name,
                                                              const std::string& storePath) {
#ifdef TAVI_HAVE_LIBSECRET
    if (name == "secret-service") {
        if (auto problem = secretServiceProblem()) return unavailable(storePath, name, *problem);
        return std::unique_ptr<KeyProtection>(std::make_unique<SecretServiceProtection>());
    }
#endif
#ifdef TAVI_HAVE_TSS2
    if (name == "tpm") return makeTpmProtection(storePath);
#endif
    return unavailable(storePath, name, "not built into this version of the library; use file");
}

}  // namespace tavi::detail
