// tavi — calls that return at once: per-call options, the handle of a call in flight, and the
// values the operations produce.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tavi/correlation.hpp"
#include "tavi/export.hpp"
#include "tavi/result.hpp"

namespace tavi {

/// Runs a completion. A host passes its own (a UI queue, an event loop's call_soon_threadsafe,
/// a thread pool) so that completions arrive where it wants them; it must run every function it
/// is given exactly once, on any thread, and may run it after the call has returned.
using Executor = std::function<void(std::function<void()>)>;

/// Options of one call. Unset members fall back to AppConstantTAVI.
struct TAVI_EXPORT CallOptions {
    /// Bounds the whole call, re-issues and waits for the store included. Unset:
    /// AppConstantTAVI::operationDeadlineMilliseconds (or twice the request timeout when 0).
    std::optional<std::chrono::milliseconds> deadline;
    /// Receives this call's diagnostic lines (at LogLevel::debug) instead of the configured sink.
    std::function<void(std::string_view line)> diagnosticsSink;
    /// Where the completion runs. Unset: the library's completion thread, one for the process,
    /// which runs completions one at a time in the order the calls ended.
    Executor executor;
    /// Receives the call's correlation (operation, msgId, txnId, attempts, elapsed time) when
    /// it ends, before the completion runs; an error carries the same in Error::correlation.
    /// Null: not asked. It must stay valid until the completion has run.
    Correlation* correlation = nullptr;
};

/// The server accepted what was sent (also: a wait that ended as it should).
struct TAVI_EXPORT Accepted {};

/// The handle of a call in flight. Copies share the call; dropping every handle neither cancels
/// nor stops the call, whose completion still runs.
class TAVI_EXPORT CallHandle {
  public:
    CallHandle() = default;

    /// Asks the call to end at once. True when the call's outcome is the cancellation: its
    /// completion receives ClientErrorCode::cancelled (Error::delivery says whether the request
    /// may have reached the server); also true again for a call cancelled before. False when the
    /// call had already ended otherwise, or had an answer it was already committing (a
    /// registration writing its session): the completion receives that outcome.
    /// Safe from any thread, any number of times, also from inside a completion.
    bool cancel() const;

    /// Blocks until the completion has run (or, with a host executor, has been handed to it).
    /// Called from inside a completion, or from anything a completion runs (a diagnostics sink,
    /// a hook), or from anywhere on the library's own threads, it never blocks: it returns at
    /// once, since the completion it would wait for could only run after it. waitUntilDone()
    /// says which of the two happened.
    void wait() const;
    /// As wait(), and says whether the wait ended with the call: from inside a completion (see
    /// wait()) it returns ClientErrorCode::invalidArgument ("wait from inside a completion") at
    /// once. (wait() keeps its void shape: programs built against 1.2 call it.)
    Result<Accepted> waitUntilDone() const;
    /// As wait(), for at most `timeout`; true when the call had ended. From inside a completion
    /// (see wait()) it returns false at once.
    bool waitFor(std::chrono::milliseconds timeout) const;
    /// Whether the call has ended (its completion has run or been handed to the executor).
    bool done() const;
    /// Whether this handle refers to a call.
    explicit operator bool() const { return state_ != nullptr; }

    /// Internal: the library makes handles.
    struct State;
    explicit CallHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

  private:
    std::shared_ptr<State> state_;
};

template <class T>
using Completion = std::function<void(Result<T>)>;

/// Key material of a transaction: pass bankKi, publicKey and sessionKey on to the other
/// operations of the transaction.
struct TAVI_EXPORT TransactionKeys {
    std::string bankKi;
    std::string publicKey;
    std::string sessionKey;
    std::string txnId;
    std::string rule;
};

/// An OTP challenge: referenceId and action go back with the OTP the user types.
struct TAVI_EXPORT OtpChallenge {
    std::string referenceId;
    std::string otpChallengeCode;
    std::string otpExpiry;
    std::string action;
};

/// The server's verdict on registered card details: accepted, or declined with its errorCode.
struct TAVI_EXPORT CardRegistration {
    bool accepted = false;
    std::string errorCode;
};

/// What the server says of the stored registration. A check that could not ask (no answer, an
/// unreadable answer, a key that does not parse) is an error, never notRegistered.
enum class RegistrationStatus {
    registered,     ///< the server knows the stored registration
    notRegistered,  ///< no complete registration is stored: nothing was sent
    refused,        ///< the server answered that it does not accept the stored registration
};

/// One poll of an OTP's status.
enum class OtpStatus {
    pending,  ///< the server reports the transaction "PENDING": poll again
    settled,  ///< anything else the server reports
};

}  // namespace tavi
