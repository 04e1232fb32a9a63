// The steps an operation awaits, and the two ways a call runs: on the calling thread (every step
// completes as it is awaited) or on the call engine (one library thread drives every call's
// exchanges with libcurl's multi interface; steps suspend and resume there; completions go to
// the host's executor or the library's completion thread).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <coroutine>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/internal.hpp"
#include "net/net.hpp"
#include "net/task.hpp"
#include "tavi/call.hpp"

namespace tavi {

/// What a call's handles share with the engine.
struct CallHandle::State {
    enum Bits : unsigned { sent = 1, cancelled = 2, committing = 4, ended = 8 };
    std::atomic<unsigned> bits{0};

    detail::CallContext context;
    Executor executor;

    // Waiting for the completion to be delivered.
    std::mutex mutex;
    std::condition_variable changed;
    bool delivered = false;

    // Engine thread only: ends what the call is waiting for (an exchange, a pause) at once,
    // when it is cancelled.
    std::function<void()> abortWait;
    // Engine thread only: whether the call is past its turn (see AdmissionStep).
    bool admitted = false;
};

namespace detail {

using CallState = CallHandle::State;

/// The current call's engine state; null for a call on the calling thread.
inline CallState* currentEngineCall() {
    CallContext* call = currentCall();
    return call != nullptr ? static_cast<CallState*>(call->engineCall) : nullptr;
}

/// Whether the current call has been cancelled.
bool currentCallCancelled();

/// The error of a cancelled call.
Error cancelledError(RequestDelivery delivery);

/// Whether the calling thread is running a completion (on the library's completion thread or in
/// a host's executor), or is the library's completion or engine thread: a wait for a call there
/// never ends.
bool insideCompletion();
/// The error of a wait that would never end (see insideCompletion).
Error waitInsideCompletionError();

/// From here on a cancel no longer ends the current call: it is writing its result. False when
/// it was cancelled first (then nothing may be written).
bool beginCommit();

// ---- Steps ------------------------------------------------------------------------------------

/// One HTTP exchange under the configured server URL: the raw answer (any HTTP status) or an
/// error. On the engine, a cancel ends it at once.
class ExchangeStep {
  public:
    ExchangeStep(std::string endPoint, std::string method,
                 std::map<std::string, QueryValue> queryParams, std::optional<Bytes> body,
                 std::map<std::string, std::string> loggedHeaders);
    ~ExchangeStep();
    ExchangeStep(const ExchangeStep&) = delete;
    ExchangeStep& operator=(const ExchangeStep&) = delete;

    bool await_ready();
    void await_suspend(std::coroutine_handle<> awaiting);
    Result<Answer> await_resume();

    /// Hands the request back once the exchange has ended, to be sent again.
    void takeRequest(std::string& endPoint, std::string& method,
                     std::map<std::string, QueryValue>& queryParams, std::optional<Bytes>& body,
                     std::map<std::string, std::string>& loggedHeaders) {
        endPoint = std::move(endPoint_);
        method = std::move(method_);
        queryParams = std::move(query_);
        body = std::move(body_);
        loggedHeaders = std::move(headers_);
    }

    struct Job;

  private:
    std::string endPoint_;
    std::string method_;
    std::map<std::string, QueryValue> query_;
    std::optional<Bytes> body_;
    std::map<std::string, std::string> headers_;
    std::optional<Result<Answer>> result_;
    std::unique_ptr<Job> job_;
};

/// The request of an operation: one exchange (see ExchangeStep), sent again after a jittered,
/// growing pause while the call's deadline allows, at most AppConstantTAVI::maxRetries more
/// times, when it never left (no connection could be made: refused, a name that does not
/// resolve, a failed TLS handshake) or, for an operation that allows it (noteOperation), when
/// its connection ended without an answer. Notes each exchange in the call's correlation.
Task<Result<Answer>> sendRequest(std::string endPoint, std::string method,
                                 std::map<std::string, QueryValue> queryParams,
                                 std::optional<Bytes> body,
                                 std::map<std::string, std::string> loggedHeaders);

/// Whether an exchange that failed with `error` may be made again at once: nothing was sent and
/// the failure is one a new connection may not meet (or, when `resendAfterReceipt`, the
/// connection ended without an answer).
bool worthRetrying(const Error& error, bool resendAfterReceipt);

/// The pause before retry `retry` (1, 2, ...): 100 ms doubling each time, at most 5 s, of which
/// a random part up to half is taken off (`unit` in [0, 1)).
std::chrono::milliseconds retryPause(int retry, double unit);

/// Waits `duration` (at most what remains of the call's deadline is the caller's business).
/// Resumes with false when the call was cancelled.
class PauseStep {
  public:
    explicit PauseStep(std::chrono::milliseconds duration) : duration_(duration) {}
    bool await_ready();
    void await_suspend(std::coroutine_handle<> awaiting);
    bool await_resume() const { return !cancelled_; }

  private:
    std::chrono::milliseconds duration_;
    bool cancelled_ = false;
    std::uint64_t timer_ = 0;
};

struct AdmissionLines;

/// A call's turn to begin its work on the engine, awaited by each operation once it has noted
/// itself and checked its request: at most AppConstantTAVI::maxConnections calls to one server
/// URL are past it at once, and the others wait in the order they came. A call that waits holds
/// only its request: it seals nothing and keeps no key or body until a connection is about to
/// be free for it. Its deadline and a cancel end the wait (nothing was sent). The turn ends when
/// the step does (with the operation's frame). On the calling thread, or in a call that has its
/// turn already, it never waits.
class AdmissionStep {
  public:
    AdmissionStep() = default;
    ~AdmissionStep();
    AdmissionStep(const AdmissionStep&) = delete;
    AdmissionStep& operator=(const AdmissionStep&) = delete;

    bool await_ready();
    void await_suspend(std::coroutine_handle<> awaiting);
    /// Why the call may not go on (cancelled, or its deadline passed); none when it may.
    std::optional<Error> await_resume() { return std::move(error_); }

  private:
    friend struct AdmissionLines;
    /// Ends the wait: the call's deadline passed (`expired`), or it was cancelled.
    void endWait(bool expired);

    CallState* state_ = nullptr;  // none: the step is a no-op
    std::string key_;             // the server URL, as configured
    long limit_ = 1;
    bool admitted_ = false;
    bool waiting_ = false;
    std::uint64_t timer_ = 0;
    std::coroutine_handle<> awaiting_;
    AdmissionStep* next_ = nullptr;  // in its server's line
    AdmissionStep* previous_ = nullptr;
    std::optional<Error> error_;
};

// ---- Running a call ---------------------------------------------------------------------------

/// `result` once the call has ended: its correlation closed (handed to the host's copy) and put
/// on an error that has none yet.
template <class T>
Result<T> withCorrelation(Result<T>&& result, CallContext* call) {
    if (call == nullptr) return std::move(result);
    if (result) {
        closeCorrelation(*call, nullptr);
        return std::move(result);
    }
    Error error = result.error();
    closeCorrelation(*call, &error);
    return error;
}

/// Runs `task` to its end on the calling thread, inside the calling thread's current call (the
/// public entry point's OperationScope).
template <class T>
Result<T> runHere(Task<Result<T>> task) {
    if (const CallContext* call = currentCall(); call != nullptr && call->unusable) {
        return *call->unusable;
    }
    try {
        if (!task.startHere()) {
            return clientError(ClientErrorCode::internalError, "internal: a step did not end");
        }
        return withCorrelation(task.take(), currentCall());
    } catch (const std::exception& e) {
        return clientError(ClientErrorCode::internalError,
                           std::string("unexpected failure: ") + e.what());
    }
}

/// A coroutine that nobody awaits: the engine resumes it, and it frees itself when it ends.
struct DetachedCall {
    struct promise_type {
        DetachedCall get_return_object() {
            return {std::coroutine_handle<promise_type>::from_promise(*this)};
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() {}
    };
    std::coroutine_handle<> handle;
};

/// A new call's shared state from its options.
std::shared_ptr<CallState> newCallState(const CallOptions& options);
/// Hands `root` to the engine, which starts it on its thread.
void startOnEngine(const std::shared_ptr<CallState>& state, std::coroutine_handle<> root);
/// Marks the call ended. True when the call was cancelled (and was not committing), so that its
/// outcome is the cancellation whatever the steps produced.
bool endCall(CallState& state);
/// The delivery a cancelled call reports.
RequestDelivery cancelledDelivery(const CallState& state);
/// Runs `completion` on the call's executor (or the library's completion thread) and marks the
/// call delivered.
void deliver(const std::shared_ptr<CallState>& state, std::function<void()> completion);

template <class T>
DetachedCall engineRoot(std::shared_ptr<CallState> state, Task<Result<T>> task,
                        Completion<T> completion) {
    std::optional<Result<T>> result;
    try {
        Result<T> outcome = co_await task;
        result.emplace(std::move(outcome));
    } catch (const std::exception& e) {
        result.emplace(clientError(ClientErrorCode::internalError,
                                   std::string("unexpected failure: ") + e.what()));
    }
    if (endCall(*state)) result.emplace(cancelledError(cancelledDelivery(*state)));
    auto shared = std::make_shared<Result<T>>(withCorrelation(std::move(*result), &state->context));
    deliver(state, [completion = std::move(completion), shared]() {
        if (completion) completion(std::move(*shared));
    });
}

/// A call refused before it began (an unusable argument or option): `completion` runs once, on
/// the options' executor or the library's completion thread, after the start has returned and in
/// the order of the starts, like the completion of any call. A cancel does not change it.
CallHandle completeRefused(const CallOptions& options, std::function<void()> completion);

template <class T>
CallHandle startRefused(Error error, const CallOptions& options, Completion<T> completion) {
    auto refusal = std::make_shared<Error>(std::move(error));
    return completeRefused(options, [completion = std::move(completion), refusal]() {
        if (completion) completion(Result<T>(*refusal));
    });
}

/// Starts `task` on the engine; `completion` receives its result exactly once.
template <class T>
CallHandle startCall(Task<Result<T>> task, const CallOptions& options, Completion<T> completion) {
    auto state = newCallState(options);
    if (state->context.unusable) {
        return startRefused<T>(*state->context.unusable, options, std::move(completion));
    }
    DetachedCall root = engineRoot<T>(state, std::move(task), std::move(completion));
    startOnEngine(state, root.handle);
    return CallHandle(state);
}

}  // namespace detail
}  // namespace tavi
