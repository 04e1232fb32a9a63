// The journal of outcomes unknown: one item per state-changing request whose answer has not been
// handled, named after its msgId. The item holds the record as JSON (identifiers only, never a
// secret); a sealed store seals it as it seals every value.
#include "store/journal.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <string_view>
#include <utility>

#include "core/internal.hpp"
#include "core/record.hpp"
#include "store/session.hpp"
#include "store/sqlite_store.hpp"

namespace tavi {

std::string PendingOutcome::json() const {
    const auto& quoted = detail::jsonQuoted;
    return "{\"operation\":" + quoted(operation) + ",\"msgId\":" + quoted(msgId) +
           ",\"txnId\":" + quoted(txnId) + ",\"recordedAt\":" + std::to_string(recordedAt) + "}";
}

namespace detail {

namespace {

constexpr std::array<std::string_view, 5> kStateChanging = {
    "registerDevice", "submitCredential", "validateOtp", "validateCardNumber",
    "registerCardDetail"};

std::string itemName(const std::string& msgId) { return kJournalPrefix + msgId; }

/// The record kept under `name`; none when the item is not one (it is then left alone).
std::optional<PendingOutcome> parseRecord(const std::string& name, const Bytes& data) {
    PendingOutcome out;
    out.msgId = name.substr(std::string_view(kJournalPrefix).size());
    auto operation = textAt(data, {"operation"});
    auto txnId = textAt(data, {"txnId"});
    auto at = textAt(data, {"recordedAt"});
    if (!operation || !txnId) return std::nullopt;
    out.operation = std::move(*operation);
    out.txnId = std::move(*txnId);
    if (at) {
        try {
            out.recordedAt = std::stoll(*at);
        } catch (const std::exception&) {
            out.recordedAt = 0;
        }
    }
    return out;
}

Error notListable() {
    return SecureStore::statusFailure(KeychainStatus::notAvailable,
                                      "this store cannot list the journal of outcomes unknown "
                                      "(only the library's SQLite and memory stores can)");
}

}  // namespace

bool journalledOperation(std::string_view operation) {
    return std::find(kStateChanging.begin(), kStateChanging.end(), operation) !=
           kStateChanging.end();
}

Done recordOutcome(SecureStore& store, const PendingOutcome& outcome) {
    // recordedAt as text: the answer reader takes strings; the JSON line shows it as a number.
    const std::string text = "{\"operation\":" + jsonQuoted(outcome.operation) +
                             ",\"txnId\":" + jsonQuoted(outcome.txnId) + ",\"recordedAt\":\"" +
                             std::to_string(outcome.recordedAt) + "\"}";
    return store.put(ItemClass::genericPassword, itemName(outcome.msgId),
                     StoreItem{Bytes(text.begin(), text.end()), KeyClass::none});
}

Result<bool> settleRecord(SecureStore& store, const std::string& msgId) {
    auto done = store.erase(ItemClass::genericPassword, itemName(msgId));
    if (done) return true;
    if (SecureStore::keychainStatus(done) == KeychainStatus::itemNotFound) return false;
    return done.error();
}

Result<std::vector<PendingOutcome>> pendingRecords(SecureStore& store) {
    std::vector<std::string> names;
    if (auto listed = sqliteItemNames(store, ItemClass::genericPassword, kJournalPrefix)) {
        if (!*listed) return listed->error();
        names = std::move(*listed).value();
    } else if (auto memory = memoryItemNames(store, ItemClass::genericPassword, kJournalPrefix)) {
        names = std::move(*memory);
    } else {
        return notListable();
    }
    std::sort(names.begin(), names.end());
    auto items = store.copyAll(ItemClass::genericPassword, names);
    std::vector<PendingOutcome> out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (!items[i]) continue;  // settled since it was listed
        if (auto record = parseRecord(names[i], items[i]->data)) out.push_back(std::move(*record));
    }
    return out;
}

Result<std::vector<PendingOutcome>> pendingRecords() {
    auto store = installedStore();
    if (!store) return store.error();
    return pendingRecords(*store.value());
}

Result<bool> settleRecord(const std::string& msgId) {
    auto store = installedStore();
    if (!store) return store.error();
    return settleRecord(*store.value(), msgId);
}

Result<std::shared_ptr<bool>> journalOutgoing() {
    CallContext* call = currentCall();
    if (call == nullptr || !journalledOperation(call->correlation.operation)) {
        return std::shared_ptr<bool>();
    }
    const std::string msgId = call->correlation.msgId;
    if (msgId.empty() || std::find(call->journalled.begin(), call->journalled.end(), msgId) !=
                             call->journalled.end()) {
        return std::shared_ptr<bool>();
    }
    auto store = installedStore();
    if (!store) return store.error();
    PendingOutcome outcome;
    outcome.operation = call->correlation.operation;
    outcome.msgId = msgId;
    outcome.txnId = call->correlation.txnId;
    outcome.recordedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    if (auto done = recordOutcome(*store.value(), outcome); !done) {
        return storeWriteError("the journal record of msgId " + msgId, done.error());
    }
    call->journalled.push_back(msgId);
    auto keep = std::make_shared<bool>(true);
    call->atClose.push_back([keep, store = store.value(), msgId]() {
        if (*keep) return;
        if (auto settled = settleRecord(*store, msgId); !settled) {
            diag("Journal: the record of msgId " + msgId +
                 " could not be removed; it stays until settled: " + settled.error().description());
        }
    });
    return keep;
}

}  // namespace detail
}  // namespace tavi
