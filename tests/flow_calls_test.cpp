// Calls that return at once: cancellation at every stage checked at the server (what it received)
// and at the host (exactly one outcome, saying whether the request may have been received), many
// calls in flight on the library's few threads, deadlines against a slow server, and completions
// on the host's executor.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

#ifdef TAVI_TEST_EMULATOR
// Under qemu-user the sandbox's and the library's RSA and TLS run tens of times slower: every
// wait for a call to end is that much longer (a bound on waiting, not a measured time).
constexpr int kSlowdown = 12;
#else
constexpr int kSlowdown = 1;
#endif
constexpr const char* kKeyPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
constexpr const char* kRegistrationPath = "/kora-core/tavi-sdk/urn:apiver:1.0/user-registration";


/// Every completion of one call, as the host saw it.
struct Outcome {
    std::mutex mutex;
    int completions = 0;
    std::optional<Result<TransactionKeys>> result;
    std::thread::id thread;

    Completion<TransactionKeys> completion() {
        return [this](Result<TransactionKeys> r) {
            std::lock_guard lock(mutex);
            ++completions;
            thread = std::this_thread::get_id();
            result.emplace(std::move(r));
        };
    }
};

int processThreads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

class CallsTest : public SandboxTest {
  protected:
    // Many calls at once: the server answers without making keys for each.
    bool fixedTransactionKeys() const override { return true; }

    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        AppConstantTAVI::shared().diagnosticsSink = nullptr;
        server().clearRequests();
    }

    CallHandle startKeys(const std::string& txnId, Outcome& outcome, CallOptions options = {}) {
        return TaviApiService::shared().startRetrieveKeys("MSG-" + txnId, "FINANCIAL_TXN", txnId,
                                                          "DEMOBIC01", "ACCOUNT",
                                                          outcome.completion(), options);
    }

    std::size_t received(const std::string& path) { return requestsTo(path).size(); }

    /// Waits until `count` requests to `path` have arrived at the server (answered or not).
    bool waitForRequests(const std::string& path, std::size_t count) {
        const auto until = Clock::now() + 5s;
        while (Clock::now() < until) {
            if (server().arrivals(path) >= count) return true;
            std::this_thread::sleep_for(2ms);
        }
        return false;
    }

    static void expectCancelled(const Outcome& outcome, RequestDelivery delivery,
                                const std::string& row) {
        ASSERT_TRUE(outcome.result.has_value()) << row;
        ASSERT_FALSE(outcome.result->ok()) << row;
        const Error& error = outcome.result->error();
        EXPECT_EQ(error.domain, ErrorDomain::client) << row << ": " << error.description();
        EXPECT_EQ(error.code, ClientErrorCode::cancelled) << row << ": " << error.description();
        EXPECT_EQ(error.delivery, delivery) << row << ": " << error.description();
    }
};

// Each stage a cancel can arrive at, with what the server must have received and what the host
// must hear.
TEST_F(CallsTest, CancellationAtEveryStage) {
    // Before anything is sent: the engine's thread is held inside another call's diagnostics
    // sink, so the cancelled call has not even started when the cancel arrives.
    {
        std::mutex gateMutex;
        std::condition_variable gateChanged;
        bool inSink = false;
        bool release = false;
        const LogLevel level = AppConstantTAVI::shared().logLevel;
        AppConstantTAVI::shared().logLevel = LogLevel::debug;
        CallOptions holding;
        holding.diagnosticsSink = [&](std::string_view) {
            std::unique_lock lock(gateMutex);
            inSink = true;
            gateChanged.notify_all();
            gateChanged.wait(lock, [&] { return release; });
        };
        Outcome held, cancelled;
        const CallHandle first = startKeys("HOLD-1", held, holding);
        {
            std::unique_lock lock(gateMutex);
            ASSERT_TRUE(gateChanged.wait_for(lock, 5s, [&] { return inSink; }));
        }
        const CallHandle second = startKeys("BEFORE-1", cancelled);
        EXPECT_TRUE(second.cancel());
        {
            std::lock_guard lock(gateMutex);
            release = true;
        }
        gateChanged.notify_all();
        ASSERT_TRUE(second.waitFor(5s * kSlowdown));
        ASSERT_TRUE(first.waitFor(15s * kSlowdown));
        AppConstantTAVI::shared().logLevel = level;
        expectCancelled(cancelled, RequestDelivery::notSent, "before send");
        EXPECT_TRUE(held.result && held.result->ok());
        for (const auto& request : requestsTo(kKeyPath)) {
            EXPECT_EQ(request.body.find("BEFORE-1"), std::string::npos) << "sent after a cancel";
        }
    }

    // While connecting: a listener that never completes the TLS handshake.
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(listener, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(::listen(listener, 4), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        const std::string sandboxURL = AppConstantTAVI::shared().serverURL;
        AppConstantTAVI::shared().serverURL =
            "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        Outcome outcome;
        const CallHandle call = startKeys("CONNECT-1", outcome);
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(call.cancel());
        // Sooner than the connection's own timeout (10 s) would end it.
        ASSERT_TRUE(call.waitFor(5s * kSlowdown));
        AppConstantTAVI::shared().serverURL = sandboxURL;
        expectCancelled(outcome, RequestDelivery::notSent, "during connect");
        // What the listener received: at most a TLS ClientHello, never a request.
        const int peer = ::accept(listener, nullptr, nullptr);
        if (peer >= 0) {
            char byte = 0;
            if (::recv(peer, &byte, 1, MSG_DONTWAIT) == 1) {
                EXPECT_EQ(byte, 0x16);
            }
            ::close(peer);
        }
        ::close(listener);
    }

    // While the server is answering: it has the request, so it may have acted on it.
    {
        server().addFault(delay(kKeyPath, 30000));
        Outcome outcome;
        const std::size_t before = server().arrivals(kKeyPath);
        const std::size_t answeredBefore = requestsTo(kKeyPath).size();
        const CallHandle call = startKeys("RESPONSE-1", outcome);
        ASSERT_TRUE(waitForRequests(kKeyPath, before + 1));
        EXPECT_TRUE(call.cancel());
        ASSERT_TRUE(call.waitFor(5s * kSlowdown));
        EXPECT_EQ(requestsTo(kKeyPath).size(), answeredBefore) << "it waited for the answer";
        expectCancelled(outcome, RequestDelivery::mayHaveBeenReceived, "during the response");
        EXPECT_TRUE(call.cancel()) << "a second cancel of a cancelled call";
        server().clearFaults();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(server().arrivals(kKeyPath), before + 1) << "sent again";
    }

    // A registration cancelled while its answer is awaited leaves the stored session as it was.
    {
        const auto session = KeychainManager::getPreferences(
            {SessionManager::taviId, SessionManager::taviKey, SessionManager::pspId});
        server().addFault(delay(kRegistrationPath, 3000));
        const std::size_t before = server().arrivals(kRegistrationPath);
        std::optional<Result<Accepted>> result;
        std::atomic<int> completions{0};
        const CallHandle call = DeviceRegistrationController().startRegisterDevice(
            server().serverPublicKey(), "+15550100", "REG-TXN-2", "com.example.wallet",
            [&](Result<Accepted> r) {
                ++completions;
                result.emplace(std::move(r));
            });
        ASSERT_TRUE(waitForRequests(kRegistrationPath, before + 1));
        EXPECT_TRUE(call.cancel());
        ASSERT_TRUE(call.waitFor(5s * kSlowdown));
        server().clearFaults();
        ASSERT_TRUE(result && !result->ok());
        EXPECT_EQ(result->error().code, ClientErrorCode::cancelled);
        EXPECT_EQ(result->error().delivery, RequestDelivery::mayHaveBeenReceived);
        EXPECT_EQ(KeychainManager::getPreferences(
                      {SessionManager::taviId, SessionManager::taviKey, SessionManager::pspId}),
                  session);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(completions.load(), 1);
    }

    // Racing completion: a cancel at every moment of a short call. Exactly one outcome each;
    // cancel() is true exactly when that outcome is the cancellation; nothing is sent twice.
    {
        constexpr int kRounds = 60;
        // The cancels spread over one and a half times a whole call's length.
        Outcome timed;
        const auto timedStart = Clock::now();
        ASSERT_TRUE(startKeys("TIMED-1", timed).waitFor(10s * kSlowdown));
        const auto callLength = Clock::now() - timedStart;
        const auto step = callLength * 3 / 2 / kRounds;
        std::vector<std::unique_ptr<Outcome>> outcomes;
        std::vector<bool> cancelledCalls;
        const std::size_t before = received(kKeyPath);
        for (int i = 0; i < kRounds; ++i) {  // NOLINT
            outcomes.push_back(std::make_unique<Outcome>());
            const CallHandle call = startKeys("RACE-" + std::to_string(i), *outcomes.back());
            std::this_thread::sleep_for(step * i);
            cancelledCalls.push_back(call.cancel());
            ASSERT_TRUE(call.waitFor(10s * kSlowdown));
        }
        std::this_thread::sleep_for(100ms);
        int cancelledCount = 0;
        for (int i = 0; i < kRounds; ++i) {
            Outcome& outcome = *outcomes[i];
            std::lock_guard lock(outcome.mutex);
            EXPECT_EQ(outcome.completions, 1) << "round " << i;
            ASSERT_TRUE(outcome.result.has_value());
            const bool wasCancelled = !outcome.result->ok() &&
                                      outcome.result->error().code == ClientErrorCode::cancelled;
            EXPECT_EQ(wasCancelled, cancelledCalls[i]) << "round " << i;
            if (outcome.result->ok()) {
                EXPECT_EQ(outcome.result->value().txnId, "RACE-" + std::to_string(i));
            }
            cancelledCount += wasCancelled;
        }
        const std::size_t sent = received(kKeyPath) - before;
        EXPECT_LE(sent, static_cast<std::size_t>(kRounds));
        std::printf("racing cancels: %d of %d calls cancelled, %zu requests received\n",
                    cancelledCount, kRounds, sent);
    }
}

// 1,000 calls at once, most of them queued for the server's connections: every one ends once
// with its own transaction's keys, on the library's completion thread, and the process gains no
// thread per call (the engine's and the completion thread only).
TEST_F(CallsTest, ThousandCallsInFlight) {
    constexpr int kCalls = 1000;
    const int threadsBefore = processThreads();
    std::vector<std::unique_ptr<Outcome>> outcomes;
    std::vector<CallHandle> calls;
    int peakThreads = 0;
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        outcomes.push_back(std::make_unique<Outcome>());
        calls.push_back(startKeys("MANY-" + std::to_string(i), *outcomes.back()));
    }
    peakThreads = std::max(peakThreads, processThreads());
    for (const auto& call : calls) {
        peakThreads = std::max(peakThreads, processThreads());
        ASSERT_TRUE(call.waitFor(60s * kSlowdown));
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::set<std::thread::id> completionThreads;
    for (int i = 0; i < kCalls; ++i) {
        Outcome& outcome = *outcomes[i];
        std::lock_guard lock(outcome.mutex);
        EXPECT_EQ(outcome.completions, 1);
        ASSERT_TRUE(outcome.result && outcome.result->ok())
            << i << ": " << outcome.result->error().description();
        EXPECT_EQ(outcome.result->value().txnId, "MANY-" + std::to_string(i));
        completionThreads.insert(outcome.thread);
    }
    EXPECT_EQ(completionThreads.size(), 1u);
    EXPECT_EQ(completionThreads.count(std::this_thread::get_id()), 0u);
    // The engine's thread and the completion thread, started by the first call of the process.
    EXPECT_LE(peakThreads - threadsBefore, 2);
    std::printf("%d calls in flight: %lld ms, library threads added: %d\n", kCalls,
                static_cast<long long>(elapsed.count()), peakThreads - threadsBefore);
}

// A call's own deadline ends it against a slow server, re-issues and all; completions run where
// the host's executor puts them.
TEST_F(CallsTest, DeadlinesAndHostExecutor) {
    server().addFault(delay(kKeyPath, 30000));
    Outcome slow;
    CallOptions bounded;
    bounded.deadline = 300ms;
    const std::size_t answeredBefore = requestsTo(kKeyPath).size();
    const CallHandle call = startKeys("SLOW-1", slow, bounded);
    ASSERT_TRUE(call.waitFor(5s * kSlowdown));
    EXPECT_EQ(requestsTo(kKeyPath).size(), answeredBefore) << "it waited for the answer";
    ASSERT_TRUE(slow.result && !slow.result->ok());
    EXPECT_EQ(slow.result->error().code, ClientErrorCode::deadlineExceeded)
        << slow.result->error().description();
    EXPECT_EQ(slow.result->error().delivery, RequestDelivery::mayHaveBeenReceived);
    EXPECT_FALSE(call.cancel());
    server().clearFaults();

    // The blocking value form honours the same option.
    server().addFault(delay(kKeyPath, 30000));
    const std::size_t answeredBeforeBlocking = requestsTo(kKeyPath).size();
    const auto blocking = TaviApiService::shared().retrieveKeys("MSG-SLOW-2", "FINANCIAL_TXN",
                                                                "SLOW-2", "DEMOBIC01", "ACCOUNT",
                                                                bounded);
    ASSERT_FALSE(blocking.ok());
    EXPECT_EQ(blocking.error().code, ClientErrorCode::deadlineExceeded);
    EXPECT_EQ(requestsTo(kKeyPath).size(), answeredBeforeBlocking) << "it waited for the answer";
    server().clearFaults();

    // The host's executor: a queue this thread drains.
    std::mutex queueMutex;
    std::deque<std::function<void()>> queue;
    CallOptions onHost;
    onHost.executor = [&](std::function<void()> work) {
        std::lock_guard lock(queueMutex);
        queue.push_back(std::move(work));
    };
    Outcome hosted;
    const CallHandle hostedCall = startKeys("HOSTED-1", hosted, onHost);
    ASSERT_TRUE(hostedCall.waitFor(10s * kSlowdown));  // handed to the executor
    {
        std::lock_guard lock(hosted.mutex);
        EXPECT_EQ(hosted.completions, 0) << "ran before the executor ran it";
    }
    std::deque<std::function<void()>> work;
    {
        std::lock_guard lock(queueMutex);
        work.swap(queue);
    }
    ASSERT_EQ(work.size(), 1u);
    work.front()();
    std::lock_guard lock(hosted.mutex);
    EXPECT_EQ(hosted.completions, 1);
    EXPECT_EQ(hosted.thread, std::this_thread::get_id());
    ASSERT_TRUE(hosted.result && hosted.result->ok());
}

}  // namespace
}  // namespace tavi::test
