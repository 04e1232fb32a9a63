// The journal of outcomes unknown, as the operations and the client surface use it. Records are
// items of the store (sealed as every value of a sealed store is) under kJournalPrefix + msgId.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tavi/journal.hpp"
#include "tavi/result.hpp"
#include "tavi/store.hpp"

namespace tavi::detail {

inline constexpr const char* kJournalPrefix = "journal/";

/// Whether requests of `operation` (a Correlation::operation name) change state on the server.
bool journalledOperation(std::string_view operation);

/// Writes the record of `outcome` (a record already under its msgId is replaced).
Done recordOutcome(SecureStore& store, const PendingOutcome& outcome);
/// Removes the record of `msgId`: true when there was one, false when there was none.
Result<bool> settleRecord(SecureStore& store, const std::string& msgId);
/// Every record, in msgId order. Only the library's own stores (SQLite, memory) can list them:
/// any other is a notAvailable error.
Result<std::vector<PendingOutcome>> pendingRecords(SecureStore& store);

/// The same on the store of the current client (or the installed store).
Result<std::vector<PendingOutcome>> pendingRecords();
Result<bool> settleRecord(const std::string& msgId);

/// Records the request the current call is about to send when its operation changes state and
/// its msgId is not yet recorded, and arranges its removal when the call ends unless its answer
/// may still be out (`keep` stays true then). Returns the flag the caller clears once the
/// exchange has ended with an answer or without sending (null: nothing recorded); an error when
/// the record could not be written (the request must not go out).
Result<std::shared_ptr<bool>> journalOutgoing();

}  // namespace tavi::detail
