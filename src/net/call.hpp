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

// ---- Running a call ---------------------------------------------------------------------------

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
        return task.take();
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
    auto shared = std::make_shared<Result<T>>(std::move(*result));
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
