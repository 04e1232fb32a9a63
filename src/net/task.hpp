// An operation as a value: a coroutine that produces a T. It starts when awaited (or run) and
// hands its result to whatever awaited it. A call made on the calling thread never suspends: its
// steps complete as they are awaited. A call made on the engine suspends at each exchange or
// wait and is resumed by the engine's thread.
#pragma once

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace tavi::detail {

template <class T>
class [[nodiscard]] Task {
  public:
    struct promise_type {
        std::optional<T> value;
        std::exception_ptr exception;
        std::coroutine_handle<> continuation;

        Task get_return_object() {
            return Task(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_always initial_suspend() noexcept { return {}; }
        struct FinalAwaiter {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(
                std::coroutine_handle<promise_type> self) noexcept {
                auto next = self.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        FinalAwaiter final_suspend() noexcept { return {}; }
        template <class U>
        void return_value(U&& result) {
            value.emplace(std::forward<U>(result));
        }
        void unhandled_exception() { exception = std::current_exception(); }
    };

    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            if (handle_) handle_.destroy();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (handle_) handle_.destroy();
    }

    // Awaiting a task starts it; the awaiting coroutine continues when it has its result.
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
        handle_.promise().continuation = awaiting;
        return handle_;
    }
    T await_resume() { return take(); }

    /// Starts the task on the calling thread; true when it has already finished (every step it
    /// awaited completed at once).
    bool startHere() {
        handle_.resume();
        return handle_.done();
    }
    bool done() const { return handle_.done(); }
    /// The result of a finished task; rethrows what escaped it.
    T take() {
        auto& promise = handle_.promise();
        if (promise.exception) std::rethrow_exception(promise.exception);
        return std::move(*promise.value);
    }

  private:
    explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    std::coroutine_handle<promise_type> handle_;
};

}  // namespace tavi::detail
