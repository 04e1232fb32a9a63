// tavi — the journal of outcomes unknown: a record, kept in the store, of every state-changing
// request that went out and whose answer has not been handled yet.
#pragma once

#include <cstdint>
#include <string>

#include "tavi/export.hpp"

namespace tavi {

/// One state-changing request (registration, credential submission, OTP validation, card
/// validation, card registration) that left, or was about to leave, without its answer being
/// handled: the process died, or the call ended with RequestDelivery::mayHaveBeenReceived. The
/// server may have acted on it. Never carries a secret: msgId and txnId are identifiers.
///
/// The library writes the record before the request goes out and removes it once the answer has
/// been handled, whatever it said. A record that remains is the host's to settle: find out from
/// the server what became of msgId/txnId (for OTP validation, the OTP status poll tells), then
/// settle it by msgId.
struct TAVI_EXPORT PendingOutcome {
    std::string operation;       ///< "registerDevice", "submitCredential", "validateOtp", ...
    std::string msgId;           ///< the request's msgId
    std::string txnId;           ///< the transaction it belongs to
    std::int64_t recordedAt = 0; ///< when it was recorded: milliseconds since 1970 (UTC)
    /// One JSON line: {"operation":…,"msgId":…,"txnId":…,"recordedAt":N}.
    std::string json() const;
};

}  // namespace tavi
