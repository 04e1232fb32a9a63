// Text values under names in the installed secure store, and the session values kept there.
#include <mutex>
#include <utility>

#include "core/internal.hpp"
#include "tavi/store.hpp"

namespace tavi {
namespace {

/// The backend the whole library uses, like the one keychain of a device.
struct InstalledStore {
    std::mutex mutex;
    std::shared_ptr<SecureStore> store;
};

InstalledStore& installed() {
    static InstalledStore instance;
    return instance;
}

}  // namespace

void KeychainManager::setStore(std::shared_ptr<SecureStore> store) {
    auto& slot = installed();
    std::lock_guard lock(slot.mutex);
    slot.store = std::move(store);
}

std::shared_ptr<SecureStore> KeychainManager::store() {
    auto& slot = installed();
    std::string problem;
    std::shared_ptr<SecureStore> chosen;
    {
        std::lock_guard lock(slot.mutex);
        if (slot.store) return slot.store;
        auto opened = openSqliteSecureStore(defaultStorePath());
        if (opened) {
            slot.store = std::move(opened).value();
        } else {
            problem = opened.error().description();
            slot.store = makeMemorySecureStore();
        }
        chosen = slot.store;
    }
    // Outside the lock: the diagnostics sink belongs to the host and may use the store itself.
    if (!problem.empty()) {
        detail::diag("Secure store unavailable, values are kept in memory only: " + problem);
    }
    return chosen;
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
    return store()->add(ItemClass::genericPassword, forKey, item);
}

namespace {

std::optional<std::string> textOf(const StoreItem& item) {
    std::string text(item.data.begin(), item.data.end());
    if (!detail::isValidUTF8(text)) return std::nullopt;
    return text;
}

}  // namespace

std::optional<std::string> KeychainManager::getPreference(const std::string& forKey) {
    StoreItem item;
    if (store()->copy(ItemClass::genericPassword, forKey, item) != KeychainStatus::success) {
        return std::nullopt;
    }
    return textOf(item);
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
    return store()->remove(ItemClass::genericPassword, forKey);
}

namespace {

// Replaces the value in one write, so that a crash leaves the old value or the new one. The
// status is dropped; a value that is not UTF-8 text leaves the name absent.
void replace(const char* name, const std::string& value) {
    if (!detail::isValidUTF8(value)) {
        KeychainManager::deletePreference(name);
        return;
    }
    StoreItem item;
    item.data.assign(value.begin(), value.end());
    KeychainManager::store()->replace(ItemClass::genericPassword, name, item);
}

}  // namespace

void SessionManager::savePspId(const std::string& pspIdData) {
    replace(pspId, pspIdData);
}
void SessionManager::saveTaviId(const std::string& taviIdData) {
    replace(taviId, taviIdData);
}
void SessionManager::saveTaviKey(const std::string& taviKeyData) {
    replace(taviKey, taviKeyData);
}
void SessionManager::saveMobile(const std::string& data) {
    replace(mobile, data);
}
void SessionManager::saveImei1(const std::string& data) {
    replace(imei1, data);
}
void SessionManager::saveImei2(const std::string& data) {
    replace(imei2, data);
}
void SessionManager::saveAppId(const std::string& data) {
    replace(appId, data);
}
void SessionManager::saveDeviceId(const std::string& data) {
    replace(deviceId, data);
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
