// The call engine: one library thread drives the exchanges of every call in flight with libcurl's
// multi interface, resumes each call's steps as their exchanges and pauses end, and ends waits at
// once when a call is cancelled. Completions run on the host's executor or on one library
// completion thread, never on the engine's thread (a slow completion delays no exchange).
#include <curl/curl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <limits>
#include <map>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/call.hpp"
#include "tavi/config.hpp"

namespace tavi::detail {

// ---- The current call and its deadline --------------------------------------------------------

namespace {

thread_local CallContext* current = nullptr;

// Whether this thread is the library's completion thread, and how many completions it is
// running right now (on the completion thread or inside a host's executor).
thread_local bool onCompletionThread = false;
thread_local int completionsRunning = 0;
// Whether this thread is the engine's: a wait there (from a call's diagnostics sink) would stop
// every exchange, the awaited one included.
thread_local bool onEngineThread = false;

Error tooLong(const std::string& what, long long milliseconds) {
    return clientError(ClientErrorCode::invalidArgument,
                       what + " of " + std::to_string(milliseconds) +
                           " ms is longer than the longest allowed, " +
                           std::to_string(kLongestDurationMilliseconds) +
                           " ms (24 hours); nothing was sent");
}

}  // namespace

long long saturatingAdd(long long a, long long b) {
    long long sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<long long>::max()
                     : std::numeric_limits<long long>::min();
    }
    return sum;
}

long long saturatingMultiply(long long a, long long b) {
    long long product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        return (a < 0) != (b < 0) ? std::numeric_limits<long long>::min()
                                  : std::numeric_limits<long long>::max();
    }
    return product;
}

CallContext* currentCall() {
    return current;
}

namespace {
thread_local std::shared_ptr<const ClientContext> starting;
}  // namespace

const std::shared_ptr<const ClientContext>& currentClient() {
    if (current != nullptr && current->client) return current->client;
    return starting;
}

const AppConstantTAVI& configuration() {
    const auto& client = currentClient();
    return client ? client->configuration : AppConstantTAVI::shared();
}

StartingClientScope::StartingClientScope(std::shared_ptr<const ClientContext> client)
    : previous_(std::move(starting)) {
    starting = std::move(client);
}

StartingClientScope::~StartingClientScope() {
    starting = std::move(previous_);
}

CurrentCallScope::CurrentCallScope(CallContext* call) : previous_(current) {
    current = call;
}

CurrentCallScope::~CurrentCallScope() {
    current = previous_;
}

CallContext newCallContext(std::optional<long long> deadlineMilliseconds,
                           std::function<void(std::string_view)> sink) {
    const auto& config = configuration();
    CallContext call;
    // Each duration is checked against the longest allowed before anything is computed from it,
    // and held there, so that no sum or product below can overflow.
    const long long longest = kLongestDurationMilliseconds;
    if (deadlineMilliseconds && *deadlineMilliseconds > longest) {
        call.unusable = tooLong("the call's deadline", *deadlineMilliseconds);
    } else if (config.timeoutMilliseconds > longest) {
        call.unusable = tooLong("timeoutMilliseconds", config.timeoutMilliseconds);
    } else if (config.operationDeadlineMilliseconds > longest) {
        call.unusable =
            tooLong("operationDeadlineMilliseconds", config.operationDeadlineMilliseconds);
    }
    long long total = 0;
    if (deadlineMilliseconds && *deadlineMilliseconds > 0) {
        total = std::min<long long>(*deadlineMilliseconds, longest);
    } else if (config.operationDeadlineMilliseconds > 0) {
        total = std::min<long long>(config.operationDeadlineMilliseconds, longest);
    } else {
        const long long timeout = config.timeoutMilliseconds > 0
                                      ? std::min<long long>(config.timeoutMilliseconds, longest)
                                      : 60000;
        total = saturatingMultiply(2, timeout);
    }
    call.client = currentClient();
    call.totalMilliseconds = static_cast<long>(total);
    call.started = std::chrono::steady_clock::now();
    call.deadline = call.started + std::chrono::milliseconds(total);
    call.sink = std::move(sink);
    return call;
}

OperationScope::OperationScope() : outermost_(current == nullptr) {
    if (!outermost_) {
        previous_ = current;
        ++current->nesting;
        return;
    }
    own_ = newCallContext();
    previous_ = current;
    current = &own_;
}

OperationScope::OperationScope(std::optional<long long> deadlineMilliseconds,
                               std::function<void(std::string_view)> sink, Correlation* report)
    : outermost_(current == nullptr) {
    if (!outermost_) {
        previous_ = current;
        ++current->nesting;
        return;
    }
    own_ = newCallContext(deadlineMilliseconds, std::move(sink));
    own_.report = report;
    previous_ = current;
    current = &own_;
}

OperationScope::~OperationScope() {
    if (outermost_) {
        current = previous_;
    } else {
        --previous_->nesting;  // the call this scope was opened inside
    }
}

std::optional<long long> OperationScope::remainingMilliseconds() {
    if (current == nullptr) return std::nullopt;
    const auto left = current->deadline - std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
}

long OperationScope::totalMilliseconds() {
    return current != nullptr ? current->totalMilliseconds : 0;
}

// ---- Cancellation -------------------------------------------------------------------------------

bool currentCallCancelled() {
    const CallState* state = currentEngineCall();
    return state != nullptr && (state->bits.load() & CallState::cancelled) != 0;
}

Error cancelledError(RequestDelivery delivery) {
    Error error = clientError(
        ClientErrorCode::cancelled,
        delivery == RequestDelivery::notSent
            ? "the call was cancelled; nothing was sent"
            : "the call was cancelled after its request was sent; the request may have reached "
              "the server");
    error.delivery = delivery;
    return error;
}

Error waitInsideCompletionError() {
    if (onEngineThread && !onCompletionThread && completionsRunning == 0) {
        return clientError(ClientErrorCode::invalidArgument,
                           "wait from the library's engine thread (a diagnostics sink of a call "
                           "that returns at once): the call it waits for needs that thread, so "
                           "the wait would never end; wait from another thread");
    }
    return clientError(ClientErrorCode::invalidArgument,
                       "wait from inside a completion: the completion it waits for runs on the "
                       "same thread after this one, so the wait would never end; wait from "
                       "another thread, or act in that call's own completion");
}

bool beginCommit() {
    CallState* state = currentEngineCall();
    if (state == nullptr) return true;
    unsigned bits = state->bits.load();
    do {
        if ((bits & CallState::cancelled) != 0) return false;
    } while (!state->bits.compare_exchange_weak(bits, bits | CallState::committing));
    return true;
}

bool endCall(CallState& state) {
    const unsigned before = state.bits.fetch_or(CallState::ended);
    return (before & CallState::cancelled) != 0 && (before & CallState::committing) == 0;
}

RequestDelivery cancelledDelivery(const CallState& state) {
    return (state.bits.load() & CallState::sent) != 0 ? RequestDelivery::mayHaveBeenReceived
                                                      : RequestDelivery::notSent;
}

namespace {

// ---- A queue of work on one thread ------------------------------------------------------------

// The library's completion thread: runs completions one at a time, in order.
class CompletionThread {
  public:
    static CompletionThread& instance() {
        static CompletionThread thread;
        return thread;
    }
    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        changed_.notify_one();
    }
    ~CompletionThread() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

  private:
    CompletionThread() : thread_([this] { run(); }) {}
    void run() {
        onCompletionThread = true;
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
                if (queue_.empty()) return;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    std::thread thread_;
};

void markDelivered(CallState& state) {
    {
        std::lock_guard lock(state.mutex);
        state.delivered = true;
    }
    state.changed.notify_all();
}

}  // namespace

// ---- The engine -----------------------------------------------------------------------------------

struct ExchangeStep::Job {
    std::unique_ptr<PreparedExchange> prepared;
    CallState* state = nullptr;
    CURL* easy = nullptr;  // set only while the exchange has a connection's transfer
    std::function<void(Result<Answer>)> done;
    std::uint64_t deadlineTimer = 0;  // ends the exchange at the call's deadline, queued or not
    // While the exchange waits (for a connection, or for other trust settings' exchanges to
    // end): the queue it waits in and its neighbours there.
    struct JobQueue* queue = nullptr;
    Job* previous = nullptr;
    Job* next = nullptr;
};

namespace {

using Job = ExchangeStep::Job;

}  // namespace

// Exchanges waiting their turn, first come first served; one leaves from anywhere at once (a
// cancelled or expired call's).
struct JobQueue {
    Job* head = nullptr;
    Job* tail = nullptr;
    std::size_t size = 0;

    bool empty() const { return head == nullptr; }
    void push(Job* job) {
        job->queue = this;
        job->previous = tail;
        job->next = nullptr;
        (tail != nullptr ? tail->next : head) = job;
        tail = job;
        ++size;
    }
    void erase(Job* job) {
        (job->previous != nullptr ? job->previous->next : head) = job->next;
        (job->next != nullptr ? job->next->previous : tail) = job->previous;
        job->queue = nullptr;
        job->previous = job->next = nullptr;
        --size;
    }
    Job* pop() {
        Job* job = head;
        if (job != nullptr) erase(job);
        return job;
    }
};

// The calls past their AdmissionStep per configured server URL, and the calls waiting for
// their turn, first come first served (engine thread only).
struct AdmissionLines {
    struct Line {
        long active = 0;
        AdmissionStep* head = nullptr;
        AdmissionStep* tail = nullptr;
    };
    std::unordered_map<std::string, Line> lines;

    bool tryEnter(AdmissionStep& step) {
        Line& line = lines[step.key_];
        if (line.head != nullptr || line.active >= step.limit_) return false;
        ++line.active;
        step.admitted_ = true;
        return true;
    }
    void wait(AdmissionStep& step) {
        Line& line = lines[step.key_];
        step.waiting_ = true;
        step.previous_ = line.tail;
        step.next_ = nullptr;
        (line.tail != nullptr ? line.tail->next_ : line.head) = &step;
        line.tail = &step;
    }
    /// `step` stops waiting (its deadline passed, or it was cancelled).
    void leave(AdmissionStep& step) {
        if (!step.waiting_) return;
        unlink(lines[step.key_], step);
        forgetIdle(step.key_);
    }
    /// `step`'s turn has ended: the calls waiting behind it have theirs while the limit allows;
    /// `resume` hands each back to the engine.
    template <class Resume>
    void release(const AdmissionStep& step, Resume&& resume) {
        const auto it = lines.find(step.key_);
        if (it == lines.end()) return;
        Line& line = it->second;
        --line.active;
        while (line.head != nullptr && line.active < line.head->limit_) {
            AdmissionStep& next = *line.head;
            unlink(line, next);
            ++line.active;
            next.admitted_ = true;
            resume(next);
        }
        forgetIdle(step.key_);
    }
    static void unlink(Line& line, AdmissionStep& step) {
        (step.previous_ != nullptr ? step.previous_->next_ : line.head) = step.next_;
        (step.next_ != nullptr ? step.next_->previous_ : line.tail) = step.previous_;
        step.next_ = step.previous_ = nullptr;
        step.waiting_ = false;
    }
    void forgetIdle(const std::string& key) {
        const auto it = lines.find(key);
        if (it != lines.end() && it->second.active == 0 && it->second.head == nullptr) {
            lines.erase(it);
        }
    }
};

namespace {

class Engine {
  public:
    static Engine& instance() {
        static Engine engine;
        return engine;
    }

    // Runs `work` on the engine's thread.
    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back(std::move(work));
        }
        wake();
    }

    // ---- Engine thread only ----

    AdmissionLines admissions;  // the calls' turns (see AdmissionStep)

    // Queues the exchange for a connection to its server; it starts at once when one is free.
    // It holds no transfer (no easy handle, no buffers) until then.
    void add(Job* job) {
        if (haveTrust_ && !(trust_ == job->prepared->trust())) {
            // Connections made under other trust settings are never reused: the new settings
            // wait until the old ones' exchanges have ended, then every connection is closed.
            if (!running_.empty() || queuedForConnection_ > 0) {
                trustWaiting_.push(job);
                return;
            }
            multi_.reset();
        }
        if (!multi_) newMulti(job->prepared->trust());
        Host& host = hosts_[job->prepared->origin()];
        host.queued.push(job);
        ++queuedForConnection_;
        admit(host);
    }

    void remove(Job* job) {
        if (job->queue != nullptr) {
            if (job->queue != &trustWaiting_) --queuedForConnection_;
            job->queue->erase(job);
            return;
        }
        if (job->easy == nullptr) return;
        curl_multi_remove_handle(multi_.get(), job->easy);
        recycle(job);
        admitWaiting();
    }

    std::uint64_t addTimer(std::chrono::steady_clock::time_point at, std::function<void()> fire) {
        const std::uint64_t id = ++lastTimer_;
        timerAt_.emplace(id, timers_.emplace(at, std::make_pair(id, std::move(fire))));
        return id;
    }

    void cancelTimer(std::uint64_t id) {
        if (id == 0) return;
        if (const auto it = timerAt_.find(id); it != timerAt_.end()) {
            timers_.erase(it->second);
            timerAt_.erase(it);
        }
    }

    ~Engine() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake();
        if (thread_.joinable()) thread_.join();
    }

  private:
    // One server's exchanges: those on its connections and those queued for one.
    struct Host {
        long running = 0;
        JobQueue queued;
    };

    Engine() : wakeup_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // Made first, so that they are destroyed last: the engine's thread may still deliver,
        // and its handles use the transport's shares until the engine is gone.
        (void)CompletionThread::instance();
        prepareTransport();
        thread_ = std::thread([this] { run(); });
    }

    void wake() {
        const std::uint64_t one = 1;
        if (wakeup_.get() >= 0) (void)!::write(wakeup_.get(), &one, sizeof one);
    }

    void newMulti(const TrustSettings& trust) {
        multi_.reset(curl_multi_init());
        connectionLimit_ = 0;
        trust_ = trust;
        haveTrust_ = true;
    }

    // libcurl's own bound stays at the largest limit admitted so far: the engine admits no more
    // exchanges to a server than its limit, so each finds a kept connection (or opens one).
    void allowConnections(long limit) {
        if (!multi_ || limit <= connectionLimit_) return;
        connectionLimit_ = limit;
        curl_multi_setopt(multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS, limit);
        curl_multi_setopt(multi_.get(), CURLMOPT_MAXCONNECTS, limit);
    }

    // Starts the host's queued exchanges while its connections allow.
    void admit(Host& host) {
        while (!host.queued.empty() &&
               host.running < host.queued.head->prepared->maxConnections()) {
            Job* job = host.queued.pop();
            --queuedForConnection_;
            begin(job, host);
        }
    }

    void begin(Job* job, Host& host) {
        EasyHandle easy;
        if (!idle_.empty()) {
            easy = std::move(idle_.back());
            idle_.pop_back();
        } else {
            easy.reset(curl_easy_init());
        }
        if (!multi_ || !easy || !job->prepared->configure(easy.get())) {
            return finish(job, job->prepared->finish(CURLE_FAILED_INIT, nullptr));
        }
        curl_easy_setopt(easy.get(), CURLOPT_PRIVATE, job);
        keyLogFile_ = job->prepared->keyLogFile();
        allowConnections(job->prepared->maxConnections());
        if (curl_multi_add_handle(multi_.get(), easy.get()) != CURLM_OK) {
            return finish(job, job->prepared->finish(CURLE_FAILED_INIT, nullptr));
        }
        job->easy = easy.get();
        ++host.running;
        running_.emplace(job, std::move(easy));
    }

    void recycle(Job* job) {
        if (const auto it = running_.find(job); it != running_.end()) {
            curl_easy_reset(it->second.get());
            idle_.push_back(std::move(it->second));
            running_.erase(it);
            if (const auto host = hosts_.find(job->prepared->origin()); host != hosts_.end()) {
                --host->second.running;
            }
        }
        job->easy = nullptr;
    }

    void admitWaiting() {
        for (auto& [origin, host] : hosts_) admit(host);
        if (!running_.empty() || queuedForConnection_ > 0 || trustWaiting_.empty()) return;
        // Every exchange under the old trust settings has ended: their connections close, and
        // the waiting exchanges start under theirs (those under yet other settings wait again).
        multi_.reset();
        for (std::size_t n = trustWaiting_.size; n > 0 && !trustWaiting_.empty(); --n) {
            add(trustWaiting_.pop());
        }
    }

    static void finish(Job* job, Result<Answer> result) {
        auto done = std::move(job->done);
        if (done) done(std::move(result));
    }

    void runPosted() {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(mutex_);
            work.swap(queue_);
        }
        for (auto& w : work) w();
    }

    void completeTransfers() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_.get(), &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            const CURLcode code = message->data.result;
            Job* job = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &job);
            curl_multi_remove_handle(multi_.get(), easy);
            if (job == nullptr) continue;
            Result<Answer> result = job->prepared->finish(code, easy);
            recycle(job);
            finish(job, std::move(result));
            if (!multi_) return;  // a finished call changed the trust settings
        }
        admitWaiting();
    }

    void fireTimers() {
        const auto now = std::chrono::steady_clock::now();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            auto fire = std::move(timers_.begin()->second.second);
            timerAt_.erase(timers_.begin()->second.first);
            timers_.erase(timers_.begin());
            fire();
        }
    }

    void run() {
        onEngineThread = true;
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (stop_) break;
            }
            runPosted();
            if (multi_) {
                const KeyLogScope keyLog(keyLogFile_);
                int stillRunning = 0;
                curl_multi_perform(multi_.get(), &stillRunning);
                completeTransfers();
            }
            fireTimers();

            long waitMs = 1000;
            if (multi_) {
                long curlMs = -1;
                curl_multi_timeout(multi_.get(), &curlMs);
                if (curlMs >= 0) waitMs = std::min(waitMs, curlMs);
            }
            if (!timers_.empty()) {
                const auto untilTimer = std::chrono::duration_cast<std::chrono::milliseconds>(
                    timers_.begin()->first - std::chrono::steady_clock::now());
                waitMs = std::clamp<long>(static_cast<long>(untilTimer.count()), 0, waitMs);
            }
            {
                std::lock_guard lock(mutex_);
                if (!queue_.empty() || stop_) waitMs = 0;
            }
            curl_waitfd extra{wakeup_.get(), CURL_WAIT_POLLIN, 0};
            if (multi_) {
                curl_multi_poll(multi_.get(), &extra, 1, static_cast<int>(waitMs), nullptr);
            } else {
                pollfd fd{wakeup_.get(), POLLIN, 0};
                (void)::poll(&fd, 1, static_cast<int>(waitMs));
            }
            std::uint64_t count = 0;
            (void)!::read(wakeup_.get(), &count, sizeof count);
        }
        // The process is ending: transfers still running are dropped.
        for (auto& [job, easy] : running_) curl_multi_remove_handle(multi_.get(), easy.get());
        running_.clear();
        multi_.reset();
    }

    using Timers = std::multimap<std::chrono::steady_clock::time_point,
                                 std::pair<std::uint64_t, std::function<void()>>>;

    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool stop_ = false;
    UniqueFd wakeup_;

    MultiHandle multi_;
    long connectionLimit_ = 0;  // libcurl's bound on the current multi
    TrustSettings trust_;
    bool haveTrust_ = false;
    std::unordered_map<Job*, EasyHandle> running_;  // exchanges on a connection
    std::vector<EasyHandle> idle_;                   // at most as many as ever ran at once
    std::unordered_map<std::string, Host> hosts_;
    std::size_t queuedForConnection_ = 0;  // in every host's queue
    JobQueue trustWaiting_;                // exchanges under other trust settings
    std::string keyLogFile_;
    Timers timers_;
    std::unordered_map<std::uint64_t, Timers::iterator> timerAt_;
    std::uint64_t lastTimer_ = 0;

    std::thread thread_;  // last: starts once everything above exists
};

// Resumes a suspended step of `state`'s call on the engine's thread, as that call.
void resumeAs(CallState* state, std::coroutine_handle<> handle) {
    state->abortWait = nullptr;
    const CurrentCallScope scope(&state->context);
    handle.resume();
}

// The request is about to go out: it does unless the call was cancelled first.
bool mayBeSent(void* user) {
    auto* state = static_cast<CallState*>(user);
    unsigned bits = state->bits.load();
    do {
        if ((bits & CallState::cancelled) != 0) return false;
    } while (!state->bits.compare_exchange_weak(bits, bits | CallState::sent));
    return true;
}

}  // namespace

// ---- Starting and delivering ----------------------------------------------------------------------

std::shared_ptr<CallState> newCallState(const CallOptions& options) {
    auto state = std::make_shared<CallState>();
    std::optional<long long> deadline;
    if (options.deadline) deadline = std::max<long long>(1, options.deadline->count());
    state->context = newCallContext(deadline, options.diagnosticsSink);
    state->context.engineCall = state.get();
    state->context.report = options.correlation;
    state->executor = options.executor;
    return state;
}

CallHandle completeRefused(const CallOptions& options, std::function<void()> completion) {
    auto state = std::make_shared<CallState>();
    state->executor = options.executor;
    state->context.engineCall = state.get();
    // Its outcome is fixed: a cancel can no longer change it.
    state->bits.store(CallState::committing);
    // Delivered from the engine's thread like every other call's outcome: after the start has
    // returned, in the order of the starts, never on a thread of its own.
    Engine::instance().post([state, completion = std::move(completion)]() mutable {
        (void)endCall(*state);
        deliver(state, std::move(completion));
    });
    return CallHandle(state);
}

void startOnEngine(const std::shared_ptr<CallState>& state, std::coroutine_handle<> root) {
    Engine::instance().post([state, root] { resumeAs(state.get(), root); });
}

bool insideCompletion() {
    return onCompletionThread || completionsRunning > 0 || onEngineThread;
}

void deliver(const std::shared_ptr<CallState>& state, std::function<void()> completion) {
    auto run = [state, completion = std::move(completion)]() {
        struct Running {
            Running() { ++completionsRunning; }
            ~Running() { --completionsRunning; }
            Running(const Running&) = delete;
            Running& operator=(const Running&) = delete;
        } running;
        try {
            completion();
        } catch (...) {
            // A host's completion that throws ends there; the library goes on.
        }
        if (!state->executor) markDelivered(*state);
    };
    if (state->executor) {
        try {
            state->executor(std::move(run));
        } catch (...) {
        }
        markDelivered(*state);
    } else {
        CompletionThread::instance().post(std::move(run));
    }
}

// ---- Steps ------------------------------------------------------------------------------------------

ExchangeStep::ExchangeStep(std::string endPoint, std::string method,
                           std::map<std::string, QueryValue> queryParams,
                           std::optional<Bytes> body,
                           std::map<std::string, std::string> loggedHeaders)
    : endPoint_(std::move(endPoint)),
      method_(std::move(method)),
      query_(std::move(queryParams)),
      body_(std::move(body)),
      headers_(std::move(loggedHeaders)) {}

ExchangeStep::~ExchangeStep() = default;

bool ExchangeStep::await_ready() {
    CallState* state = currentEngineCall();
    if (state == nullptr) {
        result_.emplace(exchangeOnThisThread(endPoint_, method_, query_, body_, headers_));
        return true;
    }
    if ((state->bits.load() & CallState::cancelled) != 0) {
        result_.emplace(cancelledError(RequestDelivery::notSent));
        return true;
    }
    try {
        auto prepared = PreparedExchange::prepare(endPoint_, method_, query_, body_, headers_);
        if (!prepared) {
            result_.emplace(prepared.error());
            return true;
        }
        job_ = std::make_unique<Job>();
        job_->prepared = std::move(prepared).value();
        job_->state = state;
        job_->prepared->setGate(&mayBeSent, state);
    } catch (const std::exception& e) {
        result_.emplace(transportError(CURLE_FAILED_INIT, e.what()));
        return true;
    }
    return false;
}

void ExchangeStep::await_suspend(std::coroutine_handle<> awaiting) {
    CallState* state = job_->state;
    Engine& engine = Engine::instance();
    job_->done = [this, state, awaiting, &engine](Result<Answer> result) {
        engine.cancelTimer(job_->deadlineTimer);
        result_.emplace(std::move(result));
        resumeAs(state, awaiting);
    };
    // The call's deadline ends the exchange where it is: waiting behind the connection limit (or
    // for other trust settings' exchanges to end) as well as on a connection. libcurl's own
    // timeout only starts once the transfer does.
    job_->deadlineTimer = engine.addTimer(state->context.deadline, [this, state, awaiting, &engine] {
        job_->deadlineTimer = 0;
        engine.remove(job_.get());
        result_.emplace(job_->prepared->expired());
        resumeAs(state, awaiting);
    });
    state->abortWait = [this, state, awaiting, &engine] {
        engine.cancelTimer(job_->deadlineTimer);
        engine.remove(job_.get());
        result_.emplace(cancelledError(job_->prepared->sent() ? RequestDelivery::mayHaveBeenReceived
                                                              : RequestDelivery::notSent));
        resumeAs(state, awaiting);
    };
    engine.add(job_.get());
}

Result<Answer> ExchangeStep::await_resume() {
    return std::move(*result_);
}

bool PauseStep::await_ready() {
    CallState* state = currentEngineCall();
    if (state == nullptr) {
        std::this_thread::sleep_for(duration_);
        return true;
    }
    if ((state->bits.load() & CallState::cancelled) != 0) {
        cancelled_ = true;
        return true;
    }
    return false;
}

void PauseStep::await_suspend(std::coroutine_handle<> awaiting) {
    CallState* state = currentEngineCall();
    Engine& engine = Engine::instance();
    timer_ = engine.addTimer(std::chrono::steady_clock::now() + duration_,
                             [state, awaiting] { resumeAs(state, awaiting); });
    state->abortWait = [this, state, awaiting, &engine] {
        engine.cancelTimer(timer_);
        cancelled_ = true;
        resumeAs(state, awaiting);
    };
}

bool AdmissionStep::await_ready() {
    CallState* state = currentEngineCall();
    if (state == nullptr || state->admitted) return true;
    if ((state->bits.load() & CallState::cancelled) != 0) {
        error_.emplace(cancelledError(RequestDelivery::notSent));
        return true;
    }
    state_ = state;
    const auto& config = configuration();
    key_ = config.serverURL;
    limit_ = config.maxConnections > 0 ? std::min(config.maxConnections, 256) : 8;  // as exchanges
    if (!Engine::instance().admissions.tryEnter(*this)) return false;
    state->admitted = true;
    return true;
}

void AdmissionStep::await_suspend(std::coroutine_handle<> awaiting) {
    Engine& engine = Engine::instance();
    CallState* state = state_;
    awaiting_ = awaiting;
    engine.admissions.wait(*this);
    timer_ = engine.addTimer(state->context.deadline, [this] {
        timer_ = 0;
        endWait(true);
    });
    state->abortWait = [this] { endWait(false); };
}

void AdmissionStep::endWait(bool expired) {
    Engine& engine = Engine::instance();
    engine.cancelTimer(timer_);
    engine.admissions.leave(*this);
    error_.emplace(expired ? deadlinePassed(state_->context.totalMilliseconds,
                                            "passed while the request waited for a connection; "
                                            "it was not sent")
                           : cancelledError(RequestDelivery::notSent));
    error_->delivery = RequestDelivery::notSent;
    resumeAs(state_, awaiting_);
}

AdmissionStep::~AdmissionStep() {
    if (state_ == nullptr) return;
    Engine& engine = Engine::instance();
    if (waiting_) {  // a frame ended while it waited (not in the library's own use)
        engine.cancelTimer(timer_);
        engine.admissions.leave(*this);
        return;
    }
    if (!admitted_) return;
    state_->admitted = false;
    // The calls given their turn resume from the engine's queue, not inside this one's end.
    engine.admissions.release(*this, [&engine](AdmissionStep& next) {
        engine.cancelTimer(next.timer_);
        next.timer_ = 0;
        CallState* state = next.state_;
        state->admitted = true;
        state->abortWait = nullptr;  // a cancel from here on ends the call's next step
        const std::coroutine_handle<> handle = next.awaiting_;
        engine.post([state, handle] { resumeAs(state, handle); });
    });
}

}  // namespace tavi::detail

// ---- The handle --------------------------------------------------------------------------------------

namespace tavi {

bool CallHandle::cancel() const {
    if (!state_) return false;
    unsigned bits = state_->bits.load();
    do {
        if ((bits & (State::ended | State::committing | State::cancelled)) != 0) {
            return (bits & State::cancelled) != 0 && (bits & (State::committing)) == 0;
        }
    } while (!state_->bits.compare_exchange_weak(bits, bits | State::cancelled));
    std::weak_ptr<State> weak = state_;
    detail::Engine::instance().post([weak] {
        if (auto state = weak.lock(); state && state->abortWait) {
            auto abort = state->abortWait;
            abort();
        }
    });
    return true;
}

void CallHandle::wait() const { (void)waitUntilDone(); }

Result<Accepted> CallHandle::waitUntilDone() const {
    if (!state_) return Accepted{};
    if (detail::insideCompletion()) return detail::waitInsideCompletionError();
    std::unique_lock lock(state_->mutex);
    state_->changed.wait(lock, [this] { return state_->delivered; });
    return Accepted{};
}

bool CallHandle::waitFor(std::chrono::milliseconds timeout) const {
    if (!state_) return true;
    if (detail::insideCompletion()) return false;
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [this] { return state_->delivered; });
}

bool CallHandle::done() const {
    if (!state_) return true;
    std::lock_guard lock(state_->mutex);
    return state_->delivered;
}

}  // namespace tavi
