// Every operation from eight host threads at once against one sandbox server over TLS, after one
// registration: each callback runs exactly once, on the thread that called, with the answer that
// thread's own transaction should get.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using OptText = std::optional<std::string>;

constexpr int kThreads = 8;
constexpr int kRounds = 5;  ///< rounds of the transaction's operations per thread
constexpr const char* kBic = "DEMOBIC01";

/// One thread's tally. Failures are collected as text, reported by the main thread.
struct Tally {
    int calls = 0;
    int callbacks = 0;
    std::vector<std::string> problems;
};

/// Counts the callbacks of one call and checks they ran on the calling thread.
class Call {
  public:
    Call(Tally& tally, std::string what)
        : tally_(tally), what_(std::move(what)), thread_(std::this_thread::get_id()) {
        ++tally_.calls;
    }
    ~Call() {
        tally_.callbacks += count_;
        if (count_ != 1) problem(std::to_string(count_) + " callbacks");
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    /// Records one callback; false (and a problem) when it is on another thread.
    void hit() {
        ++count_;
        if (std::this_thread::get_id() != thread_) problem("callback on another thread");
    }
    void expect(bool condition, const std::string& what) {
        if (!condition) problem(what);
    }
    void problem(const std::string& what) { tally_.problems.push_back(what_ + ": " + what); }

  private:
    Tally& tally_;
    std::string what_;
    std::thread::id thread_;
    int count_ = 0;
};

class ConcurrencyTest : public SandboxTest {
  protected:
    // Over TLS, as a host runs: the threads' connections share one trust store and the TLS
    // session cache.
    bool useTls() const override { return true; }

    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        AppConstantTAVI::shared().diagnosticsSink = nullptr;
    }

    struct Keys {
        std::string bankKi, publicKey, sessionKey;
    };

    static std::optional<Keys> retrieveKeys(Tally& tally, const std::string& txnId) {
        Call call(tally, "retrieve keys " + txnId);
        std::optional<Keys> keys;
        TaviApiService::shared().createRetrieveKeysRequest(
            "MSG-" + txnId, "FINANCIAL_TXN", txnId, kBic, "CARD",
            [&](const std::string& ki, const std::string& pub, const std::string& session,
                const std::string& txn, const std::string&) {
                call.hit();
                call.expect(txn == txnId, "keys for another transaction: " + txn);
                keys = Keys{ki, pub, session};
            },
            [&](const Error& e) {
                call.hit();
                call.problem(e.description());
            });
        return keys;
    }

    /// One round of every transaction operation on the thread's own transaction.
    static void round(Tally& tally, const std::string& txnId, const Keys& k) {
        auto& service = TaviApiService::shared();
        {
            Call call(tally, "check");
            TaviUtils::getCheckDeviceRegistered("+15550100", [&](bool registered) {
                call.hit();
                call.expect(registered, "not registered");
            });
        }
        {
            Call call(tally, "credential");
            service.createCredentialSubmissionRequest(
                txnId, "FINANCIAL_TXN", "PIN", sandbox::kTestPin, k.bankKi, k.publicKey,
                k.sessionKey,
                [&](bool ok) {
                    call.hit();
                    call.expect(ok, "success(false)");
                },
                [&](bool) {
                    call.hit();
                    call.problem("refused");
                });
        }
        std::string referenceId, action;
        {
            Call call(tally, "fetch OTP");
            service.createFetchOtpChallengeRequest(
                "FINANCIAL_TXN", txnId, "CARD", kBic, k.sessionKey, std::nullopt,
                [&](const std::string& ref, const std::string&, const std::string&,
                    const std::string& act) {
                    call.hit();
                    referenceId = ref;
                    action = act;
                },
                [&](const OptText& code, const OptText&) {
                    call.hit();
                    call.problem(code.value_or("nil"));
                });
        }
        {
            Call call(tally, "OTP status (pending)");
            service.checkOtpStatus(txnId, [&](const std::string& word) {
                call.hit();
                call.expect(word == "retry", word);
            });
        }
        {
            Call call(tally, "validate OTP");
            service.createValidateOtpRequest(
                txnId, "FINANCIAL_TXN", sandbox::kTestOtp, k.bankKi, k.publicKey, k.sessionKey,
                action, kBic, referenceId,
                [&](bool ok) {
                    call.hit();
                    call.expect(ok, "success(false)");
                },
                [&](const OptText& code, const OptText&) {
                    call.hit();
                    call.problem(code.value_or("nil"));
                });
        }
        {
            Call call(tally, "OTP status (verified)");
            service.checkOtpStatus(txnId, [&](const std::string& word) {
                call.hit();
                call.expect(word == "stop", word);
            });
        }
        {
            Call call(tally, "validate card");
            const auto& card = sandbox::kTestCards[1];
            service.validateCardNumAsync(
                k.sessionKey, k.bankKi, k.publicKey, txnId, card.number, kBic, card.bankName,
                [&](const ValidateCardNumResponse& r) {
                    call.hit();
                    call.expect(
                        r.commonResponse.success && r.bankNameMatchStatus == OptText("MATCH"),
                        "no match");
                },
                [&](const Error& e) {
                    call.hit();
                    call.problem(e.description());
                });
        }
        {
            Call call(tally, "register card");
            service.registerCardDetailRequest(
                txnId, "REGISTER_CARD_ACC_DETAIL", kBic, std::string("000123456789"), k.bankKi,
                k.sessionKey, sandbox::kTestCards[0].number, "08", "2031", "737", k.publicKey,
                [&](bool ok, const std::string& code) {
                    call.hit();
                    call.expect(ok, "success(false, " + code + ")");
                },
                [&](const Error& e) {
                    call.hit();
                    call.problem(e.description());
                });
        }
        {
            Call call(tally, "web URL");
            service.webUrlRequestAsync(
                "FINANCIAL_TXN", txnId, "CARD", kBic, k.sessionKey,
                [&](const std::string& url) {
                    call.hit();
                    call.expect(url.find(txnId) != std::string::npos, "URL of another txn: " + url);
                },
                [&](const Error& e) {
                    call.hit();
                    call.problem(e.description());
                });
        }
    }
};

TEST_F(ConcurrencyTest, EveryOperationFromEightThreadsAtOnce) {
    std::vector<Tally> tallies(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            Tally& tally = tallies[t];
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            const std::string txnId = "TXN-THREAD-" + std::to_string(t);
            const auto keys = retrieveKeys(tally, txnId);
            if (!keys) return;
            for (int r = 0; r < kRounds; ++r) round(tally, txnId, *keys);
        });
    }
    for (auto& thread : threads) thread.join();

    int calls = 0;
    for (int t = 0; t < kThreads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_EQ(tallies[t].calls, 1 + kRounds * 9);
        EXPECT_EQ(tallies[t].callbacks, tallies[t].calls);
        for (const auto& p : tallies[t].problems) ADD_FAILURE() << p;
        calls += tallies[t].calls;
    }
    EXPECT_EQ(calls, kThreads * (1 + kRounds * 9));
    std::printf("%d threads x %d calls = %d calls\n", kThreads, calls / kThreads, calls);
}

}  // namespace
}  // namespace tavi::test
