// Text values under names in the installed secure store, and the session values kept there.
#include <mutex>
#include <utility>

#include "core/internal.hpp"
#include "store/session.hpp"
#include "store/sqlite_store.hpp"
#include "tavi/config.hpp"
#include "tavi/store.hpp"

namespace tavi {
namespace {

/// The backend the whole library uses, like the one keychain of a device.
struct InstalledStore {
    std::mutex mutex;
    std::shared_ptr<SecureStore> store;
    std::string lastReported;  ///< the last open failure written to the diagnostics
};

InstalledStore& installed() {
    static InstalledStore instance;
    return instance;
}

/// Stands in when no store could be opened: holds nothing, every call fails.
class UnavailableStore final : public SecureStore {
  public:
    std::int32_t add(ItemClass, const std::string&, const StoreItem&) override {
        return KeychainStatus::notAvailable;
    }
    std::int32_t copy(ItemClass, const std::string&, StoreItem&) override {
        return KeychainStatus::notAvailable;
    }
    std::int32_t remove(ItemClass, const std::string&) override {
        return KeychainStatus::notAvailable;
    }
    std::int32_t replace(ItemClass, const std::string&, const StoreItem&) override {
        return KeychainStatus::notAvailable;
    }
    std::int32_t replaceAll(ItemClass, const std::vector<NamedItem>&) override {
        return KeychainStatus::notAvailable;
    }
};

/// The installed store, opening the default one when none is installed. A default store that
/// cannot be opened is not installed (the next call tries again) and is reported once per
/// distinct reason.
Result<std::shared_ptr<SecureStore>> currentStore() {
    // A call of a client with a store of its own uses that store.
    if (const auto& client = detail::currentClient(); client && client->store) return client->store;
    auto& slot = installed();
    std::string report;
    Result<std::shared_ptr<SecureStore>> out = std::shared_ptr<SecureStore>();
    {
        std::lock_guard lock(slot.mutex);
        if (slot.store) return slot.store;
        const std::string path = defaultStorePath();
        StoreOptions options;
        options.protection = AppConstantTAVI::shared().storeProtection;
        auto opened = openSqliteSecureStore(path, options);
        if (opened) {
            slot.store = opened.value();
            slot.lastReported.clear();
            return opened;
        }
        Error error = opened.error();
        if (path.empty()) {
            error.message =
                "secure store: no default location (neither XDG_DATA_HOME nor HOME names an "
                "absolute directory); set one of them, or install a store with "
                "KeychainManager::setStore";
        } else {
            error.message += "; or install another store with KeychainManager::setStore";
        }
        if (error.message != slot.lastReported) {
            slot.lastReported = error.message;
            report = error.description();
        }
        out = std::move(error);
    }
    // Outside the lock: the diagnostics sink belongs to the host and may use the store itself.
    if (!report.empty()) detail::diag("Secure store unavailable, nothing can be kept: " + report,
                                     DiagnosticLevel::warning);
    return out;
}

}  // namespace

namespace detail {

Result<std::shared_ptr<SecureStore>> installedStore() {
    auto store = currentStore();
    if (!store) return store;
    // A store that found a value it cannot open refuses, rather than reading as empty.
    if (auto refusal = storeRefusal(*store.value())) return *refusal;
    return store;
}

Error storeWriteError(const std::string& what, const Error& failure) {
    const std::int32_t status = SecureStore::keychainStatus(failure);
    const std::string words = describeKeychainStatus(status);
    std::string why = words + ", status " + std::to_string(status);
    // The backend's own words, when it said more than the status does.
    if (!failure.message.empty() && failure.message != words) why += ": " + failure.message;
    return Error::client(ClientError::storeUnavailable,
                         "secure store: " + what + " could not be written (" + why + ")");
}

}  // namespace detail

std::string describeKeychainStatus(std::int32_t status) {
    switch (status) {
        case KeychainStatus::success:
            return "success";
        case KeychainStatus::duplicateItem:
            return "the item already exists";
        case KeychainStatus::itemNotFound:
            return "the item was not found";
        case KeychainStatus::invalidData:
            return "the value is not UTF-8 text";
        case KeychainStatus::ioError:
            return "input/output error";
        case KeychainStatus::diskFull:
            return "disk full";
        case KeychainStatus::readOnly:
            return "read-only";
        case KeychainStatus::locked:
            return "locked by another writer";
        case KeychainStatus::notAvailable:
            return "no store could be opened";
        default:
            return "the store failed";
    }
}

void KeychainManager::setStore(std::shared_ptr<SecureStore> store) {
    auto& slot = installed();
    std::lock_guard lock(slot.mutex);
    slot.store = std::move(store);
    slot.lastReported.clear();
}

std::shared_ptr<SecureStore> KeychainManager::store() {
    auto current = currentStore();
    if (current) return current.value();
    static const auto unavailable = std::make_shared<UnavailableStore>();
    return unavailable;
}

Result<StoreStatus> KeychainManager::status() {
    auto store = detail::installedStore();
    if (!store) return store.error();
    return secureStoreStatus(*store.value());
}

Result<StoreStatus> KeychainManager::rekeyStore() {
    auto store = detail::installedStore();
    if (!store) return store.error();
    return rekeySecureStore(*store.value());
}

Result<StoreStatus> KeychainManager::resetStore() {
    auto& slot = installed();
    std::shared_ptr<SecureStore> current;
    {
        std::lock_guard lock(slot.mutex);
        current = slot.store;
    }
    StoreOptions options;
    options.protection = AppConstantTAVI::shared().storeProtection;
    std::string path;
    if (current) {
        const auto sqlitePath = detail::sqliteStorePath(*current);
        if (!sqlitePath) {
            return detail::clientError(ClientErrorCode::storeUnavailable,
                                       "secure store: the installed store is the host's own; "
                                       "reset it there");
        }
        path = *sqlitePath;
    } else {
        path = defaultStorePath();
    }
    auto reset = resetSqliteSecureStore(path, options);
    if (!reset) return reset;
    // The installed store reads the new, empty store from its next call, also one that refused
    // every call since a value did not open.
    if (current) detail::forgetRefusal(*current);
    std::lock_guard lock(slot.mutex);
    slot.lastReported.clear();
    return reset;
}

std::int32_t SecureStore::keychainStatus(const Done& done) {
    return done ? KeychainStatus::success : keychainStatus(done.error());
}

std::int32_t SecureStore::keychainStatus(const Error& failure) {
    // Every failure of a store call carries its status; anything else is a failure to read or
    // write all the same.
    if (failure.domain != ErrorDomain::store) return KeychainStatus::ioError;
    return static_cast<std::int32_t>(failure.code);
}

Error SecureStore::statusFailure(std::int32_t status, std::string problem) {
    return Error::inDomain(ErrorDomain::store, status,
                           problem.empty() ? describeKeychainStatus(status) : std::move(problem));
}

namespace {

Done doneOf(std::int32_t status) {
    if (status == KeychainStatus::success) return std::monostate{};
    return SecureStore::statusFailure(status);
}

}  // namespace

Result<std::optional<StoreItem>> SecureStore::read(ItemClass cls, const std::string& name) {
    StoreItem item;
    const std::int32_t status = copy(cls, name, item);
    if (status == KeychainStatus::success) return std::optional<StoreItem>(std::move(item));
    if (status == KeychainStatus::itemNotFound) return std::optional<StoreItem>();
    return statusFailure(status);
}

Done SecureStore::insert(ItemClass cls, const std::string& name, const StoreItem& item) {
    return doneOf(add(cls, name, item));
}

Done SecureStore::erase(ItemClass cls, const std::string& name) {
    return doneOf(remove(cls, name));
}

Done SecureStore::put(ItemClass cls, const std::string& name, const StoreItem& item) {
    return doneOf(replace(cls, name, item));
}

Done SecureStore::putAll(ItemClass cls, const std::vector<NamedItem>& items) {
    return doneOf(replaceAll(cls, items));
}

std::int32_t SecureStore::replaceAll(ItemClass cls, const std::vector<NamedItem>& items) {
    if (items.empty()) return KeychainStatus::success;
    // Without transactions: the last item marks the set complete, so it goes first and comes
    // back last; a stop in between leaves an incomplete set, never a complete-looking mix.
    const NamedItem& marker = items.back();
    const std::int32_t removed = remove(cls, marker.name);
    if (removed != KeychainStatus::success && removed != KeychainStatus::itemNotFound) {
        return removed;
    }
    for (std::size_t i = 0; i + 1 < items.size(); ++i) {
        const std::int32_t status = replace(cls, items[i].name, items[i].item);
        if (status != KeychainStatus::success) return status;
    }
    return add(cls, marker.name, marker.item);
}

std::int32_t SecureStore::replace(ItemClass cls, const std::string& name, const StoreItem& item) {
    const std::int32_t removed = remove(cls, name);
    if (removed != KeychainStatus::success && removed != KeychainStatus::itemNotFound) {
        return removed;
    }
    return add(cls, name, item);
}

std::vector<std::optional<StoreItem>> SecureStore::copyAll(ItemClass cls,
                                                           const std::vector<std::string>& names) {
    std::vector<std::optional<StoreItem>> out(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        StoreItem item;
        if (copy(cls, names[i], item) == KeychainStatus::success) out[i] = std::move(item);
    }
    return out;
}

std::int32_t KeychainManager::savePreference(const std::string& data, const std::string& forKey) {
    if (!detail::isValidUTF8(data)) return KeychainStatus::invalidData;
    StoreItem item;
    item.data.assign(data.begin(), data.end());
    return SecureStore::keychainStatus(store()->insert(ItemClass::genericPassword, forKey, item));
}

namespace {

std::optional<std::string> textOf(const StoreItem& item) {
    std::string text(reinterpret_cast<const char*>(item.data.data()), item.data.size());  // memcpy
    if (!detail::isValidUTF8(text)) return std::nullopt;
    return text;
}

}  // namespace

std::optional<std::string> KeychainManager::getPreference(const std::string& forKey) {
    const auto item = store()->read(ItemClass::genericPassword, forKey);
    if (!item || !item.value()) return std::nullopt;
    return textOf(*item.value());
}

std::vector<std::optional<std::string>> KeychainManager::getPreferences(
    const std::vector<std::string>& forKeys) {
    const auto items = store()->copyAll(ItemClass::genericPassword, forKeys);
    std::vector<std::optional<std::string>> out(forKeys.size());
    for (std::size_t i = 0; i < out.size() && i < items.size(); ++i) {
        if (items[i]) out[i] = textOf(*items[i]);
    }
    return out;
}

std::int32_t KeychainManager::deletePreference(const std::string& forKey) {
    return SecureStore::keychainStatus(store()->erase(ItemClass::genericPassword, forKey));
}

namespace {

// Replaces the value in one write, so that a crash leaves the old value or the new one. Text
// that is not UTF-8 is refused and the old value stays.
std::int32_t replace(const char* name, const std::string& value) {
    if (!detail::isValidUTF8(value)) return KeychainStatus::invalidData;
    StoreItem item;
    item.data.assign(value.begin(), value.end());
    return SecureStore::keychainStatus(KeychainManager::store()->put(ItemClass::genericPassword, name, item));
}

}  // namespace

std::int32_t SessionManager::savePspId(const std::string& pspIdData) {
    return replace(pspId, pspIdData);
}
std::int32_t SessionManager::saveTaviId(const std::string& taviIdData) {
    return replace(taviId, taviIdData);
}
std::int32_t SessionManager::saveTaviKey(const std::string& taviKeyData) {
    return replace(taviKey, taviKeyData);
}
std::int32_t SessionManager::saveMobile(const std::string& data) {
    return replace(mobile, data);
}
std::int32_t SessionManager::saveImei1(const std::string& data) {
    return replace(imei1, data);
}
std::int32_t SessionManager::saveImei2(const std::string& data) {
    return replace(imei2, data);
}
std::int32_t SessionManager::saveAppId(const std::string& data) {
    return replace(appId, data);
}
std::int32_t SessionManager::saveDeviceId(const std::string& data) {
    return replace(deviceId, data);
}

std::optional<std::string> SessionManager::getPspId() {
    return KeychainManager::getPreference(pspId);
}
std::optional<std::string> SessionManager::getTaviId() {
    return KeychainManager::getPreference(taviId);
}
std::optional<std::string> SessionManager::getTaviKey() {
    return KeychainManager::getPreference(taviKey);
}
std::optional<std::string> SessionManager::getMobile() {
    return KeychainManager::getPreference(mobile);
}
std::optional<std::string> SessionManager::getImei1() {
    return KeychainManager::getPreference(imei1);
}
std::optional<std::string> SessionManager::getImei2() {
    return KeychainManager::getPreference(imei2);
}
std::optional<std::string> SessionManager::getAppId() {
    return KeychainManager::getPreference(appId);
}
std::optional<std::string> SessionManager::getDeviceId() {
    return KeychainManager::getPreference(deviceId);
}
std::optional<std::string> SessionManager::getUsername() {
    return KeychainManager::getPreference(usernameKey);
}

std::optional<bool> SessionManager::getIsRegistered() {
    const auto flag = KeychainManager::getPreference(IS_REGISTERED);
    if (!flag) return std::nullopt;
    if (*flag == "true") return true;
    if (*flag == "false") return false;
    return std::nullopt;
}

}  // namespace tavi
