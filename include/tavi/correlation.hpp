// tavi — what ties an outcome to the exchanges that produced it: the operation, the message and
// transaction identifiers the server files the exchange under, and how the call went.
#pragma once

#include <chrono>
#include <string>

#include "tavi/export.hpp"

namespace tavi {

enum class RequestDelivery;  // tavi/result.hpp

/// Where a support desk starts looking for a call on the server. Never carries a secret: msgId
/// and txnId are identifiers the server files exchanges under.
struct TAVI_EXPORT Correlation {
    /// The operation's name ("retrieveKeys", "validateOtp", ...); "" when the call never began.
    const char* operation = "";
    /// The msgId of the last request the call built ("" for operations that send none: the OTP
    /// status poll).
    std::string msgId;
    /// The transaction the call belongs to ("" for operations without one: the check).
    std::string txnId;
    /// The HTTP status of the last answer; 0 when none arrived.
    long httpStatus = 0;
    /// Exchanges tried: the first, re-issues and automatic retries (also one whose connection
    /// could not be made).
    int attempts = 0;
    /// Of the last request: notSent when none left, mayHaveBeenReceived when one left and no
    /// answer to it arrived, unknown when its answer arrived (the outcome says what it meant).
    RequestDelivery delivery{};
    /// From the start of the call to its outcome.
    std::chrono::milliseconds elapsed{0};
};

}  // namespace tavi
