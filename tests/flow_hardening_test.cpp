// A careless or hostile host against the calls that return at once and the configuration:
// refused calls complete where every call completes, waits from inside a completion return at
// once, durations never wrap around, the TLS key log trusts only a file of the user's own, and a
// queued call's deadline ends it while it waits for a connection.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "core/internal.hpp"
#include "support/fixture.hpp"
#include "tavi/tavi.h"

#if defined(__SANITIZE_ADDRESS__)
// A completion here runs a blocking operation of its own; the connection it leaves kept holds the
// transport share of its trust setting when the process ends, and libcurl never frees a share in
// use. One share per trust setting, at exit: not a leak that grows.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:tavi::detail::sharedTransportState\n";
}
#endif

namespace tavi::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kKeyPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
constexpr const char* kStatusPath = "/mpgs/txn-status";

int processThreads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

/// What the completions of many refused calls saw: whether any two ran at once, the thread they
/// ran on, and their order. The first one holds the completion thread until `open`.
struct Refusals {
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> open{false};
    std::atomic<int> done{0};
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::vector<long> codes;

    void ran(int index, long code) {
        if (running.fetch_add(1) != 0) overlapped = true;
        {
            std::lock_guard lock(mutex);
            order.push_back(index);
            threads.push_back(std::this_thread::get_id());
            codes.push_back(code);
        }
        for (int i = 0; i < 3000 && !open.load(); ++i) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        running.fetch_sub(1);
        done.fetch_add(1);
    }
    bool waitAll(int count) {
        for (int i = 0; i < 3000 && done.load() < count; ++i) std::this_thread::sleep_for(5ms);
        return done.load() == count;
    }
};

struct CRefusal {
    Refusals* all;
    int index;
};

void cRefused(const tavi_result* result, void* userData) {
    auto* r = static_cast<CRefusal*>(userData);
    r->all->ran(r->index, result->status == TAVI_INVALID_ARGUMENT && result->error != nullptr
                              ? result->error->code
                              : -1);
}

class HardeningTest : public SandboxTest {
  protected:
    bool useTls() const override { return true; }
    void SetUp() override {
        SandboxTest::SetUp();
        AppConstantTAVI::shared().diagnosticsSink = nullptr;
    }
    void TearDown() override {
        auto& config = AppConstantTAVI::shared();
        config.tlsKeyLogFile.clear();
        config.operationDeadlineMilliseconds = 0;
        config.logLevel = LogLevel::debug;
        SandboxTest::TearDown();
    }
};

void expectSerialOnOneThread(Refusals& r, int count, std::thread::id starter) {
    std::lock_guard lock(r.mutex);
    ASSERT_EQ(static_cast<int>(r.order.size()), count);
    EXPECT_FALSE(r.overlapped.load()) << "two completions ran at once";
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(r.order[i], i) << "completions out of the order of their starts";
        EXPECT_EQ(r.threads[i], r.threads[0]) << "completion " << i << " ran on another thread";
        EXPECT_EQ(r.codes[i], ClientErrorCode::invalidArgument);
    }
    EXPECT_NE(r.threads[0], starter) << "a completion ran inside its start";
}

TEST_F(HardeningTest, RefusedStartsCompleteOnTheCompletionThreadInOrderWithoutAThreadEach) {
    constexpr int kCalls = 200;
    // The library's threads exist before the count is taken.
    CallOptions warm;
    warm.deadline = std::chrono::milliseconds(kLongestDurationMilliseconds + 1);
    ASSERT_TRUE(TaviApiService::shared().startOtpStatus("TXN-W", nullptr, warm).waitFor(10s));
    // The sandbox starts its worker threads as it begins listening: count once they are there.
    int baseline = processThreads();
    for (int i = 0; i < 40; ++i) {
        std::this_thread::sleep_for(50ms);
        const int now = processThreads();
        if (now == baseline && i >= 4) break;
        baseline = now;
    }
    const auto starter = std::this_thread::get_id();

    // C: a NULL argument.
    Refusals c;
    std::vector<CRefusal> slots(kCalls);
    std::vector<tavi_call*> calls;
    for (int i = 0; i < kCalls; ++i) {
        slots[i] = {&c, i};
        calls.push_back(tavi_start_check_otp_status(nullptr, nullptr, cRefused, &slots[i]));
        ASSERT_NE(calls.back(), nullptr);
    }
    EXPECT_LT(processThreads(), baseline + 20) << "refused calls got threads of their own";
    c.open = true;
    ASSERT_TRUE(c.waitAll(kCalls));
    for (tavi_call* call : calls) {
        EXPECT_EQ(tavi_call_wait(call), TAVI_OK);
        tavi_call_free(call);
    }
    expectSerialOnOneThread(c, kCalls, starter);

    // C++: an option out of range, and a text that is not UTF-8.
    Refusals cpp;
    std::vector<CallHandle> handles;
    for (int i = 0; i < kCalls; ++i) {
        CallOptions options;
        if (i % 2 == 0) options.deadline = std::chrono::milliseconds(LONG_MAX);
        handles.push_back(TaviApiService::shared().startOtpStatus(
            i % 2 == 0 ? "TXN-R" : "TXN-\xff",
            [&cpp, i](Result<OtpStatus> r) {
                cpp.ran(i, r.ok() ? -1 : r.error().code);
            },
            options));
    }
    EXPECT_LT(processThreads(), baseline + 20) << "refused calls got threads of their own";
    cpp.open = true;
    ASSERT_TRUE(cpp.waitAll(kCalls));
    for (const auto& h : handles) EXPECT_TRUE(h.waitUntilDone().ok());
    expectSerialOnOneThread(cpp, kCalls, starter);
    EXPECT_TRUE(requestsTo(kStatusPath).empty()) << "a refused call sent a request";
}

TEST_F(HardeningTest, RefusedCallsGoToTheHostExecutorToo) {
    std::mutex mutex;
    std::vector<std::function<void()>> queued;
    CallOptions options;
    options.deadline = std::chrono::milliseconds(kLongestDurationMilliseconds + 1);
    options.executor = [&](std::function<void()> work) {
        std::lock_guard lock(mutex);
        queued.push_back(std::move(work));
    };
    std::atomic<long> code{0};
    const CallHandle handle = TaviApiService::shared().startOtpStatus(
        "TXN-E", [&](Result<OtpStatus> r) { code = r.ok() ? -1 : r.error().code; }, options);
    EXPECT_FALSE(handle.cancel()) << "a refusal is the call's outcome, whatever a cancel says";
    ASSERT_TRUE(handle.waitFor(10s));
    std::lock_guard lock(mutex);
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(code.load(), 0) << "the completion ran before the executor ran it";
    queued.front()();
    EXPECT_EQ(code.load(), ClientErrorCode::invalidArgument);
}

// ---- Waiting from inside a completion -------------------------------------------------------

TEST_F(HardeningTest, WaitInsideACompletionReturnsAtOnceWithAnError) {
    // A call that ends later, and one whose completion waits for it and for itself.
    server().addFault(delay(kStatusPath, 1500, 1));
    const CallHandle slow =
        TaviApiService::shared().startOtpStatus("TXN-SLOW", [](Result<OtpStatus>) {});
    std::mutex mutex;
    std::optional<Result<Accepted>> onOther, onSelf, fromSink;
    bool timedWait = true;
    auto self = std::make_shared<CallHandle>();
    std::atomic<bool> selfSet{false};
    CallOptions refused;
    refused.deadline = std::chrono::milliseconds(LONG_MAX);
    *self = TaviApiService::shared().startOtpStatus(
        "TXN-W1",
        [&, self](Result<OtpStatus>) {
            for (int i = 0; i < 1000 && !selfSet; ++i) std::this_thread::sleep_for(1ms);
            std::lock_guard lock(mutex);
            onOther.emplace(slow.waitUntilDone());
            onSelf.emplace(self->waitUntilDone());
            self->wait();  // the void form returns at once too
            timedWait = slow.waitFor(60s);
            // A blocking operation inside the completion: its diagnostics sink runs on the
            // completion thread and waits too.
            CallOptions sinkWaits;
            sinkWaits.diagnosticsSink = [&](std::string_view) {
                if (!fromSink) fromSink.emplace(slow.waitUntilDone());
            };
            (void)TaviApiService::shared().otpStatus("TXN-W2", sinkWaits);
        },
        refused);
    selfSet = true;
    ASSERT_TRUE(self->waitFor(30s)) << "the completion blocked in a wait";
    std::lock_guard lock(mutex);
    ASSERT_TRUE(onOther && onSelf && fromSink);
    for (const auto* r : {&*onOther, &*onSelf, &*fromSink}) {
        ASSERT_FALSE(r->ok());
        EXPECT_EQ(r->error().code, ClientErrorCode::invalidArgument);
        EXPECT_NE(r->error().message.find("wait from inside a completion"), std::string::npos);
    }
    EXPECT_FALSE(timedWait);
    EXPECT_TRUE(slow.waitUntilDone().ok()) << "outside a completion a wait still waits";
}

struct CWaits {
    tavi_call* other = nullptr;
    tavi_call* self = nullptr;
    std::atomic<bool> selfSet{false};
    int onOther = -1, onSelf = -1, fromSink = -1;
    std::atomic<bool> inCompletion{false};
    std::atomic<bool> done{false};
};

void cSink(const char*, void* userData) {
    auto* w = static_cast<CWaits*>(userData);
    if (w->inCompletion && w->fromSink == -1) w->fromSink = tavi_call_wait(w->other);
}

void cWaiting(const tavi_result*, void* userData) {
    auto* w = static_cast<CWaits*>(userData);
    for (int i = 0; i < 1000 && !w->selfSet; ++i) std::this_thread::sleep_for(1ms);
    w->onOther = tavi_call_wait(w->other);
    w->onSelf = tavi_call_wait(w->self);
    w->inCompletion = true;
    tavi_result_free(tavi_check_otp_status("TXN-C2"));  // blocking: the sink runs here
    w->inCompletion = false;
    w->done = true;
}

TEST_F(HardeningTest, CWaitInsideACompletionOrItsLogSinkReturnsAtOnce) {
    server().addFault(delay(kStatusPath, 1500, 1));
    CWaits w;
    w.other = tavi_start_check_otp_status("TXN-C1", nullptr, nullptr, nullptr);
    ASSERT_NE(w.other, nullptr);
    tavi_set_log_sink(cSink, &w);
    w.self = tavi_start_check_otp_status(nullptr, nullptr, cWaiting, &w);
    ASSERT_NE(w.self, nullptr);
    w.selfSet = true;
    for (int i = 0; i < 3000 && !w.done; ++i) std::this_thread::sleep_for(10ms);
    tavi_set_log_sink(nullptr, nullptr);
    ASSERT_TRUE(w.done.load()) << "the completion blocked in tavi_call_wait";
    EXPECT_EQ(w.onOther, TAVI_FAILED);
    EXPECT_EQ(w.onSelf, TAVI_FAILED);
    EXPECT_EQ(w.fromSink, TAVI_FAILED);
    EXPECT_EQ(tavi_call_wait(w.self), TAVI_OK);
    EXPECT_EQ(tavi_call_wait(w.other), TAVI_OK);
    tavi_call_free(w.self);
    tavi_call_free(w.other);
}

// ---- Durations --------------------------------------------------------------------------------

TEST(Durations, SaturateInsteadOfOverflowing) {
    using detail::saturatingAdd;
    using detail::saturatingMultiply;
    struct Row {
        long long got, want;
    } rows[] = {
        {saturatingAdd(LLONG_MAX, 1), LLONG_MAX},
        {saturatingAdd(LLONG_MIN, -1), LLONG_MIN},
        {saturatingAdd(40, 2), 42},
        {saturatingMultiply(2, LLONG_MAX), LLONG_MAX},
        {saturatingMultiply(2, 1LL << 62), LLONG_MAX},
        {saturatingMultiply(-2, LLONG_MAX), LLONG_MIN},
        {saturatingMultiply(LLONG_MIN, -1), LLONG_MAX},
        {saturatingMultiply(2, 60000), 120000},
    };
    for (const auto& r : rows) EXPECT_EQ(r.got, r.want);
}

TEST_F(HardeningTest, DurationsBeyondTheLongestAreInvalidArgumentsNeverAPastDeadline) {
    auto& config = AppConstantTAVI::shared();
    struct Row {
        const char* name;
        long timeout;
        long operationDeadline;
        std::optional<long long> callDeadline;
    } rows[] = {
        {"timeout 2^62", 1L << 62, 0, std::nullopt},
        {"timeout LONG_MAX", LONG_MAX, 0, std::nullopt},
        {"timeout a millisecond too long", kLongestDurationMilliseconds + 1, 0, std::nullopt},
        {"operation deadline LONG_MAX", 10000, LONG_MAX, std::nullopt},
        {"call deadline LLONG_MAX", 10000, 0, LLONG_MAX},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        config.timeoutMilliseconds = row.timeout;
        config.operationDeadlineMilliseconds = row.operationDeadline;
        CallOptions options;
        if (row.callDeadline) options.deadline = std::chrono::milliseconds(*row.callDeadline);
        const auto blocking = TaviApiService::shared().otpStatus("TXN-D", options);
        ASSERT_FALSE(blocking.ok());
        EXPECT_EQ(blocking.error().code, ClientErrorCode::invalidArgument);
        EXPECT_NE(blocking.error().message.find("86400000 ms (24 hours)"), std::string::npos)
            << blocking.error().message;
        std::optional<Result<OtpStatus>> later;
        const auto call = TaviApiService::shared().startOtpStatus(
            "TXN-D", [&](Result<OtpStatus> r) { later.emplace(std::move(r)); }, options);
        ASSERT_TRUE(call.waitUntilDone().ok());
        ASSERT_TRUE(later && !later->ok());
        EXPECT_EQ(later->error().code, ClientErrorCode::invalidArgument);
        // The registration reported a lock held by another registration here.
        const auto registration = DeviceRegistrationController().registerDevice(
            server().serverPublicKey(), "+15550100", "REG-D", "com.example", options);
        ASSERT_FALSE(registration.ok());
        EXPECT_EQ(registration.error().code, ClientErrorCode::invalidArgument)
            << registration.error().message;
    }
    EXPECT_TRUE(requestsTo(kStatusPath).empty());

    // The longest is allowed, and works.
    config.timeoutMilliseconds = kLongestDurationMilliseconds;
    config.operationDeadlineMilliseconds = 0;
    const auto longest = TaviApiService::shared().otpStatus("TXN-D");
    EXPECT_TRUE(longest.ok()) << longest.error().description();
    config.timeoutMilliseconds = 10000;
}

TEST_F(HardeningTest, CDurationsBeyondTheLongestAreInvalidArguments) {
    struct Row {
        const char* name;
        const char* value;
        tavi_status want;
    } rows[] = {
        {"timeoutMilliseconds", "9223372036854775807", TAVI_INVALID_ARGUMENT},
        {"timeoutMilliseconds", "4611686018427387904", TAVI_INVALID_ARGUMENT},
        {"timeoutMilliseconds", "86400001", TAVI_INVALID_ARGUMENT},
        {"timeoutMilliseconds", "86400000", TAVI_OK},
        {"operationDeadlineMilliseconds", "9223372036854775807", TAVI_INVALID_ARGUMENT},
        {"operationDeadlineMilliseconds", "86400001", TAVI_INVALID_ARGUMENT},
        {"operationDeadlineMilliseconds", "86400000", TAVI_OK},
        {"operationDeadlineMilliseconds", "0", TAVI_OK},
        {"timeoutMilliseconds", "10000", TAVI_OK},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(tavi_config_set(row.name, row.value), row.want) << row.name << "=" << row.value;
    }
    struct Outcome {
        std::atomic<int> status{-1};
    } outcome;
    const tavi_call_options tooLong{LONG_MAX};
    tavi_call* call = tavi_start_check_otp_status(
        "TXN-CD", &tooLong,
        [](const tavi_result* r, void* u) { static_cast<Outcome*>(u)->status = r->status; },
        &outcome);
    ASSERT_NE(call, nullptr);
    EXPECT_EQ(tavi_call_wait(call), TAVI_OK);
    tavi_call_free(call);
    EXPECT_EQ(outcome.status.load(), TAVI_INVALID_ARGUMENT);
    EXPECT_TRUE(requestsTo(kStatusPath).empty());
}

// ---- The TLS key log ----------------------------------------------------------------------------

class KeyLogTest : public HardeningTest {
  protected:
    void SetUp() override {
        HardeningTest::SetUp();
        char dirTemplate[] = "/tmp/tavi-keylog-XXXXXX";
        ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
        dir_ = dirTemplate;
        ASSERT_EQ(::chmod(dir_.c_str(), 0700), 0);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(dir_, fs::perms::owner_all, ignored);
        fs::remove_all(dir_, ignored);
        HardeningTest::TearDown();
    }
    static void makeFile(const std::string& path, mode_t mode) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
        ASSERT_GE(fd, 0);
        ::close(fd);
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    }
    std::string dir_;
};

TEST_F(KeyLogTest, OnlyAPrivateFileOfOurOwnReceivesTheSecrets) {
    auto& config = AppConstantTAVI::shared();
    struct Row {
        const char* name;
        std::function<std::string(const std::string& dir)> make;  // the path to name
        const char* problem;                                     // nullptr: accepted
    } rows[] = {
        {"our own file readable by others",
         [](const std::string& d) {
             makeFile(d + "/open.log", 0644);
             return d + "/open.log";
         },
         "chmod 600"},
        {"a symbolic link to our own private file",
         [](const std::string& d) {
             makeFile(d + "/target.log", 0600);
             EXPECT_EQ(::symlink((d + "/target.log").c_str(), (d + "/link.log").c_str()), 0);
             return d + "/link.log";
         },
         "symbolic link"},
        {"a directory, not a file",
         [](const std::string& d) {
             EXPECT_EQ(::mkdir((d + "/sub").c_str(), 0700), 0);
             return d + "/sub";
         },
         "cannot be opened"},
        {"a FIFO",
         [](const std::string& d) {
             EXPECT_EQ(::mkfifo((d + "/fifo").c_str(), 0600), 0);
             return d + "/fifo";
         },
         "cannot be opened"},
        {"a file in a directory others may write",
         [](const std::string& d) {
             EXPECT_EQ(::mkdir((d + "/shared").c_str(), 0777), 0);
             EXPECT_EQ(::chmod((d + "/shared").c_str(), 0777), 0);
             return d + "/shared/keys.log";
         },
         "other users may write to"},
        {"another user's private file",
         [](const std::string& d) {
             if (::geteuid() != 0) return std::string();
             makeFile(d + "/theirs.log", 0600);
             EXPECT_EQ(::chown((d + "/theirs.log").c_str(), 65534, 65534), 0);
             return d + "/theirs.log";
         },
         "belongs to another user"},
        {"a new file", [](const std::string& d) { return d + "/new.log"; }, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = row.make(dir_);
        if (path.empty()) continue;  // needs root
        struct stat before {};
        const bool existed = ::lstat(path.c_str(), &before) == 0;
        config.tlsKeyLogFile = path;
        const auto result = TaviApiService::shared().otpStatus("TXN-K");
        config.tlsKeyLogFile.clear();
        struct stat after {};
        if (row.problem != nullptr) {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(result.error().code, ClientErrorCode::invalidArgument);
            const std::string& message = result.error().message;
            EXPECT_NE(message.find("\"" + path + "\""), std::string::npos) << message;
            EXPECT_NE(message.find(row.problem), std::string::npos) << message;
            EXPECT_EQ(result.error().delivery, RequestDelivery::notSent);
            if (existed && S_ISREG(before.st_mode)) {
                ASSERT_EQ(::lstat(path.c_str(), &after), 0);
                EXPECT_EQ(after.st_size, 0) << "secrets written";
                EXPECT_EQ(after.st_mode, before.st_mode) << "mode changed";
            }
            struct stat target {};
            if (::stat((dir_ + "/target.log").c_str(), &target) == 0) {
                EXPECT_EQ(target.st_size, 0) << "secrets written through the link";
            }
            EXPECT_NE(::stat((dir_ + "/shared/keys.log").c_str(), &target), 0)
                << "a file was created in a directory others may write";
        } else {
            ASSERT_TRUE(result.ok()) << result.error().description();
            ASSERT_EQ(::stat(path.c_str(), &after), 0);
            EXPECT_EQ(after.st_mode & 07777, 0600u);
            std::ifstream log(path);
            const std::string text((std::istreambuf_iterator<char>(log)), {});
            EXPECT_NE(text.find("CLIENT_"), std::string::npos) << "no TLS secrets were logged";
        }
    }
}

// ---- A queued call's deadline ------------------------------------------------------------------

class QueuedDeadlineTest : public HardeningTest {
  protected:
    bool fixedTransactionKeys() const override { return true; }
    void TearDown() override {
        AppConstantTAVI::shared().maxConnections = 8;
        HardeningTest::TearDown();
    }
    static CallHandle start(const std::string& txn, std::optional<Result<TransactionKeys>>& out,
                            std::chrono::milliseconds deadline) {
        CallOptions options;
        options.deadline = deadline;
        return TaviApiService::shared().startRetrieveKeys(
            "MSG-" + txn, "FINANCIAL_TXN", txn, "DEMOBIC01", "ACCOUNT",
            [&out](Result<TransactionKeys> r) { out.emplace(std::move(r)); }, options);
    }
};

TEST_F(QueuedDeadlineTest, EndsTheCallWhileItWaitsForAConnection) {
    ASSERT_TRUE(registerDevice());
    server().clearRequests();
    server().addFault(delay(kKeyPath, 3000));
    // A call on a connection the server holds; a call under other trust settings must wait for
    // it to end before it may have a connection of its own.
    std::optional<Result<TransactionKeys>> held;
    const CallHandle holding = start("TXN-H", held, 30s);
    for (int i = 0; i < 500 && server().arrivals(kKeyPath) < 1; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server().arrivals(kKeyPath), 1u);
    auto& config = AppConstantTAVI::shared();
    config.pinnedPublicKey = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    std::optional<Result<TransactionKeys>> queued;
    const CallHandle waiting = start("TXN-Q", queued, 400ms);
    ASSERT_TRUE(waiting.waitUntilDone().ok());
    config.pinnedPublicKey.clear();
    ASSERT_TRUE(queued && !queued->ok());
    EXPECT_EQ(queued->error().code, ClientErrorCode::deadlineExceeded);
    EXPECT_EQ(queued->error().delivery, RequestDelivery::notSent);
    EXPECT_NE(queued->error().message.find("waited for a connection"), std::string::npos)
        << queued->error().message;
    EXPECT_FALSE(holding.done()) << "the held call ended first: nothing was queued";
    EXPECT_EQ(server().arrivals(kKeyPath), 1u) << "the queued request was sent";
    holding.cancel();
    EXPECT_TRUE(holding.waitUntilDone().ok());
}

// Beyond the connection limit a call waits for its turn with its request not yet sealed: one
// whose deadline passes or that is cancelled there ends unsent, the turn passes on, and the
// next call seals its request only once the held one has its answer.
TEST_F(QueuedDeadlineTest, CallsWaitForTheirTurnUnsealedAndPassItOn) {
    ASSERT_TRUE(registerDevice());
    AppConstantTAVI::shared().maxConnections = 1;
    server().clearRequests();
    server().addFault(delay(kKeyPath, 1500, 1));
    std::optional<Result<TransactionKeys>> held, expired, cancelled, next;
    const CallHandle holding = start("TXN-A", held, 30s);
    for (int i = 0; i < 500 && server().arrivals(kKeyPath) < 1; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(server().arrivals(kKeyPath), 1u);
    const CallHandle expiring = start("TXN-B", expired, 300ms);
    const CallHandle cancelling = start("TXN-C", cancelled, 30s);
    const CallHandle following = start("TXN-D", next, 30s);
    ASSERT_TRUE(expiring.waitFor(10s));
    EXPECT_TRUE(cancelling.cancel());
    ASSERT_TRUE(cancelling.waitFor(10s));
    ASSERT_TRUE(following.waitFor(20s));
    ASSERT_TRUE(holding.waitFor(1s));
    ASSERT_TRUE(held && held->ok()) << held->error().description();
    ASSERT_TRUE(next && next->ok()) << next->error().description();
    ASSERT_TRUE(expired && !expired->ok());
    EXPECT_EQ(expired->error().code, ClientErrorCode::deadlineExceeded);
    EXPECT_EQ(expired->error().delivery, RequestDelivery::notSent);
    EXPECT_NE(expired->error().message.find("waited for a connection"), std::string::npos)
        << expired->error().message;
    ASSERT_TRUE(cancelled && !cancelled->ok());
    EXPECT_EQ(cancelled->error().code, ClientErrorCode::cancelled);
    EXPECT_EQ(cancelled->error().delivery, RequestDelivery::notSent);
    const auto sent = server().requests();
    ASSERT_EQ(sent.size(), 2u) << "a call that never had its turn was sent";
    ASSERT_TRUE(sent[0].decryptedPayload && sent[1].decryptedPayload);
    const auto sealedAt = [](const sandbox::RecordedRequest& r) {
        return nlohmann::json::parse(*r.decryptedPayload).at("startDateTime").get<long long>();
    };
    EXPECT_GE(sealedAt(sent[1]) - sealedAt(sent[0]), 1000) << "sealed before its turn";
}

}  // namespace
}  // namespace tavi::test
