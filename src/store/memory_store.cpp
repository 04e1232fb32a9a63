// The in-memory secure store: items live as long as the store object.
#include <map>
#include <mutex>
#include <utility>

#include "store/sqlite_store.hpp"
#include "tavi/store.hpp"

namespace tavi {
namespace {

class MemorySecureStore final : public SecureStore {
  public:
    std::int32_t add(ItemClass cls, const std::string& name, const StoreItem& item) override {
        std::lock_guard lock(mutex_);
        const bool inserted = items_.try_emplace(Key{cls, name}, item).second;
        return inserted ? KeychainStatus::success : KeychainStatus::duplicateItem;
    }

    std::int32_t copy(ItemClass cls, const std::string& name, StoreItem& out) override {
        std::lock_guard lock(mutex_);
        const auto it = items_.find(Key{cls, name});
        if (it == items_.end()) return KeychainStatus::itemNotFound;
        out = it->second;
        return KeychainStatus::success;
    }

    std::int32_t remove(ItemClass cls, const std::string& name) override {
        std::lock_guard lock(mutex_);
        return items_.erase(Key{cls, name}) == 1 ? KeychainStatus::success
                                                 : KeychainStatus::itemNotFound;
    }

    std::int32_t replace(ItemClass cls, const std::string& name, const StoreItem& item) override {
        std::lock_guard lock(mutex_);
        items_.insert_or_assign(Key{cls, name}, item);
        return KeychainStatus::success;
    }

    std::int32_t replaceAll(ItemClass cls, const std::vector<NamedItem>& items) override {
        std::lock_guard lock(mutex_);
        for (const auto& named : items) items_.insert_or_assign(Key{cls, named.name}, named.item);
        return KeychainStatus::success;
    }

    std::vector<std::string> names(ItemClass cls, const std::string& prefix) {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (auto it = items_.lower_bound(Key{cls, prefix});
             it != items_.end() && it->first.first == cls &&
             it->first.second.compare(0, prefix.size(), prefix) == 0;
             ++it) {
            out.push_back(it->first.second);
        }
        return out;
    }

  private:
    using Key = std::pair<ItemClass, std::string>;
    std::mutex mutex_;
    std::map<Key, StoreItem> items_;
};

}  // namespace

std::optional<std::vector<std::string>> detail::memoryItemNames(SecureStore& store, ItemClass cls,
                                                                const std::string& prefix) {
    if (auto* memory = dynamic_cast<MemorySecureStore*>(&store)) return memory->names(cls, prefix);
    return std::nullopt;
}

std::shared_ptr<SecureStore> makeMemorySecureStore() {
    return std::make_shared<MemorySecureStore>();
}

}  // namespace tavi
