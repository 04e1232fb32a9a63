// The thread contract of docs/THREADS.md, one promise per row or test: where each form's
// callback or completion runs, what a completion and a diagnostics sink may call, fork(), and the
// process's exit with calls in flight.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.hpp"
#include "tavi/tavi.h"

namespace tavi::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* kKeyPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";

/// Where one callback or completion ran, and whether it ran at all.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    int runs = 0;
    bool ok = false;
    std::thread::id thread;

    void record(bool succeeded) {
        {
            std::lock_guard lock(mutex);
            ++runs;
            ok = succeeded;
            thread = std::this_thread::get_id();
        }
        changed.notify_all();
    }
    bool waitForRun(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [this] { return runs > 0; });
    }
};

void recordC(const tavi_result* result, void* userData) {
    static_cast<Seen*>(userData)->record(result != nullptr && result->status == TAVI_OK);
}

class ThreadsContractTest : public SandboxTest {
  protected:
    bool fixedTransactionKeys() const override { return true; }

    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        AppConstantTAVI::shared().diagnosticsSink = nullptr;
    }

    static TaviApiService& service() { return TaviApiService::shared(); }

    static CallHandle startKeys(const std::string& txnId, Completion<TransactionKeys> completion,
                                const CallOptions& options = {}) {
        return service().startRetrieveKeys("MSG-" + txnId, "FINANCIAL_TXN", txnId, "DEMOBIC01",
                                           "ACCOUNT", std::move(completion), options);
    }
    static Result<TransactionKeys> keys(const std::string& txnId) {
        return service().retrieveKeys("MSG-" + txnId, "FINANCIAL_TXN", txnId, "DEMOBIC01",
                                      "ACCOUNT");
    }

    /// The library's completion thread (where a start call's completion runs by default).
    static std::thread::id completionThread() {
        Seen seen;
        startKeys("PROBE", [&seen](Result<TransactionKeys> r) { seen.record(r.ok()); }).wait();
        std::lock_guard lock(seen.mutex);
        return seen.thread;
    }
};

// Where each form's callback or completion runs. `caller` is the thread that made the call.
TEST_F(ThreadsContractTest, WhereEachFormDelivers) {
    enum class Where { caller, completionThread, hostExecutor };
    struct Row {
        const char* form;
        Where where;
        std::function<void(Seen&, const Executor&)> call;  // returns once `seen` has run or not
    };
    const std::vector<Row> rows{
        {"callback (createRetrieveKeysRequest)", Where::caller,
         [](Seen& seen, const Executor&) {
             service().createRetrieveKeysRequest(
                 "MSG-T1", "FINANCIAL_TXN", "T1", "DEMOBIC01", "ACCOUNT",
                 [&seen](const std::string&, const std::string&, const std::string&,
                         const std::string&, const std::string&) { seen.record(true); },
                 [&seen](const Error&) { seen.record(false); });
         }},
        {"blocking (retrieveKeys)", Where::caller,
         [](Seen& seen, const Executor&) { seen.record(keys("T2").ok()); }},
        {"start (startRetrieveKeys)", Where::completionThread,
         [](Seen& seen, const Executor&) {
             startKeys("T3", [&seen](Result<TransactionKeys> r) { seen.record(r.ok()); }).wait();
         }},
        {"start with CallOptions::executor", Where::hostExecutor,
         [](Seen& seen, const Executor& executor) {
             CallOptions options;
             options.executor = executor;
             startKeys("T4", [&seen](Result<TransactionKeys> r) { seen.record(r.ok()); }, options)
                 .wait();
         }},
        {"C blocking (tavi_retrieve_keys)", Where::caller,
         [](Seen& seen, const Executor&) {
             tavi_result* r =
                 tavi_retrieve_keys("MSG-T5", "FINANCIAL_TXN", "T5", "DEMOBIC01", "ACCOUNT");
             seen.record(r != nullptr && r->status == TAVI_OK);
             tavi_result_free(r);
         }},
        {"C start (tavi_start_retrieve_keys)", Where::completionThread,
         [](Seen& seen, const Executor&) {
             tavi_call* call = tavi_start_retrieve_keys("MSG-T6", "FINANCIAL_TXN", "T6",
                                                        "DEMOBIC01", "ACCOUNT", nullptr, recordC,
                                                        &seen);
             tavi_call_wait(call);
             tavi_call_free(call);
         }},
    };

    const std::thread::id library = completionThread();
    ASSERT_NE(library, std::this_thread::get_id());
    // The host's executor: one thread of the host's that runs what it is given.
    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<std::function<void()>> queue;
    bool stop = false;
    std::thread hostThread([&] {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock lock(queueMutex);
                queueChanged.wait(lock, [&] { return stop || !queue.empty(); });
                if (queue.empty()) return;
                work = std::move(queue.front());
                queue.pop_front();
            }
            work();
        }
    });
    const Executor executor = [&](std::function<void()> work) {
        {
            std::lock_guard lock(queueMutex);
            queue.push_back(std::move(work));
        }
        queueChanged.notify_one();
    };

    for (const Row& row : rows) {
        Seen seen;
        row.call(seen, executor);
        ASSERT_TRUE(seen.waitForRun(10s)) << row.form << ": never delivered";
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(seen.runs, 1) << row.form;
        EXPECT_TRUE(seen.ok) << row.form;
        switch (row.where) {
            case Where::caller:
                EXPECT_EQ(seen.thread, std::this_thread::get_id()) << row.form;
                break;
            case Where::completionThread:
                EXPECT_EQ(seen.thread, library) << row.form;
                break;
            case Where::hostExecutor:
                EXPECT_EQ(seen.thread, hostThread.get_id()) << row.form;
                break;
        }
    }
    {
        std::lock_guard lock(queueMutex);
        stop = true;
    }
    queueChanged.notify_one();
    hostThread.join();
}

// Inside a completion a host may start calls, cancel calls and make blocking calls; each works
// (a blocking call holds up the completions queued behind it, nothing else).
TEST_F(ThreadsContractTest, CompletionMayStartCancelAndBlock) {
    Seen started, blocking;
    std::atomic<bool> cancelAnswer{true};
    std::optional<CallHandle> inner;
    std::mutex innerMutex;
    startKeys("OUTER", [&](Result<TransactionKeys> outer) {
        ASSERT_TRUE(outer.ok());
        CallHandle again =
            startKeys("INNER", [&](Result<TransactionKeys> r) { started.record(r.ok()); });
        {
            std::lock_guard lock(innerMutex);
            inner = again;
        }
        // A call already ended: cancel says so and changes nothing.
        cancelAnswer = CallHandle().cancel();
        blocking.record(keys("INNER-BLOCKING").ok());
    }).wait();
    ASSERT_TRUE(blocking.waitForRun(10s));
    EXPECT_TRUE(blocking.ok);
    ASSERT_TRUE(started.waitForRun(10s));
    EXPECT_TRUE(started.ok);
    EXPECT_FALSE(cancelAnswer);
}

// A diagnostics sink may run on the engine's thread: it may start a call (the call runs once the
// sink has returned), but a wait inside it for another call cannot end, since the engine that
// would end that call is the thread waiting; waitFor runs out instead.
TEST_F(ThreadsContractTest, SinkMayStartButNotWait) {
    AppConstantTAVI::shared().logLevel = LogLevel::debug;
    std::atomic<bool> once{false};
    std::atomic<int> waitOutcome{-1};  // -1 not tried, 0 ran out, 1 ended
    Seen fromSink;
    std::thread::id caller = std::this_thread::get_id();
    CallOptions options;
    options.diagnosticsSink = [&](std::string_view) {
        if (std::this_thread::get_id() == caller || once.exchange(true)) return;
        const CallHandle started =
            startKeys("FROM-SINK", [&](Result<TransactionKeys> r) { fromSink.record(r.ok()); });
        waitOutcome = started.waitFor(300ms) ? 1 : 0;
    };
    Seen outer;
    startKeys("SINK-OUTER", [&](Result<TransactionKeys> r) { outer.record(r.ok()); }, options)
        .wait();
    ASSERT_TRUE(outer.waitForRun(10s));
    EXPECT_TRUE(outer.ok);
    ASSERT_TRUE(once.load()) << "the sink never ran off the calling thread";
    EXPECT_EQ(waitOutcome.load(), 0) << "a wait inside a sink on the engine's thread ended";
    ASSERT_TRUE(fromSink.waitForRun(10s));
    EXPECT_TRUE(fromSink.ok);
}

/// Runs `child` in a forked process; its exit status, or -1 when it did not end in `timeout`
/// (then it is killed).
int inChild(const std::function<int()>& child, std::chrono::milliseconds timeout) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int code = child();
        std::_Exit(code);
    }
    if (pid < 0) return -2;
    const auto until = Clock::now() + timeout;
    int status = 0;
    while (Clock::now() < until) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(10ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// After fork(), the child of a process whose library threads were running may use the blocking
// forms and the callback forms: they run on its own thread. Its start calls never complete (the
// library's threads are not in the child); it ends with _exit or exec.
TEST_F(ThreadsContractTest, ForkedChildUsesBlockingForms) {
    (void)completionThread();  // the library's threads run in the parent
    const int code = inChild(
        [] {
            if (!keys("CHILD-1").ok()) return 1;
            Seen seen;
            startKeys("CHILD-2", [&seen](Result<TransactionKeys> r) { seen.record(r.ok()); });
            return seen.waitForRun(500ms) ? 2 : 0;
        },
        20s);
    EXPECT_EQ(code, 0) << "1: blocking call failed in the child, 2: a start call completed there";
}

// A process may end (exit, return from main) with calls in flight: it ends promptly, without a
// crash, and the calls' completions do not run after the library has gone. The process is this
// test program run afresh (a forked copy would hold the sandbox's threads, which it does not
// have), as ThreadsContractChild.ExitWithCallsInFlight against this test's server.
TEST_F(ThreadsContractTest, ExitWithCallsInFlight) {
    sandbox::Fault slow;
    slow.path = kKeyPath;
    slow.kind = sandbox::Fault::Kind::delay;
    slow.delayMs = 5000;
    server().addFault(slow);
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::vector<std::string> args;
#ifdef TAVI_TEST_EMULATOR
    args.emplace_back(TAVI_TEST_EMULATOR);  // a cross build's tests run under qemu-user
#endif
    args.emplace_back(self);
    args.emplace_back("--gtest_filter=ThreadsContractChild.ExitWithCallsInFlight");
    const std::string url = "TAVI_THREADS_CHILD_URL=" + server().url();
    const std::string key = "TAVI_THREADS_CHILD_KEY=" + server().serverPublicKey();
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // The frames of the calls still in flight are not freed at exit, by design (the exit
        // does not wait for them): a leak checker in the child would count them.
        static char noLeakCheck[] = "ASAN_OPTIONS=detect_leaks=0";
        std::vector<char*> envp{const_cast<char*>(url.c_str()), const_cast<char*>(key.c_str()),
                                noLeakCheck, nullptr};
        ::execve(argv[0], argv.data(), envp.data());
        std::_Exit(127);
    }
    int status = 0;
    bool ended = false;
    while (Clock::now() - start < 30s) {
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    server().clearFaults();
    ASSERT_TRUE(ended) << "the process did not end with calls in flight";
    ASSERT_TRUE(WIFEXITED(status)) << "the process ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: could not register, 2: a completion ran at exit";
    EXPECT_GE(server().arrivals(kKeyPath), 3u) << "the calls were not in flight";
}

// The process ThreadsContractTest.ExitWithCallsInFlight runs; skipped when run alone.
TEST(ThreadsContractChild, ExitWithCallsInFlight) {
    const char* url = std::getenv("TAVI_THREADS_CHILD_URL");
    const char* key = std::getenv("TAVI_THREADS_CHILD_KEY");
    if (url == nullptr || key == nullptr) GTEST_SKIP() << "run by ThreadsContractTest.ExitWithCallsInFlight";
    auto& config = AppConstantTAVI::shared();
    config.serverURL = url;
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    config.diagnosticsSink = nullptr;
    KeychainManager::setStore(makeMemorySecureStore());
    bool registered = false;
    DeviceRegistrationController().startDeviceRegistration(
        true, key, "+15550177", "REG-TXN-EXIT", "com.example.wallet",
        [&](const std::string& result) { registered = (result == "done"); }, [](const Error&) {});
    if (!registered) std::exit(1);
    KeychainManager::deletePreference(SessionManager::IS_REGISTERED);
    KeychainManager::savePreference("true", SessionManager::IS_REGISTERED);
    static std::atomic<bool> completed{false};
    for (int i = 0; i < 3; ++i) {
        TaviApiService::shared().startRetrieveKeys(
            "MSG-EXIT-" + std::to_string(i), "FINANCIAL_TXN", "EXIT-" + std::to_string(i),
            "DEMOBIC01", "ACCOUNT", [](Result<TransactionKeys>) { completed = true; });
    }
    std::this_thread::sleep_for(500ms);
    std::exit(completed ? 2 : 0);
}

}  // namespace
}  // namespace tavi::test
