// Clients of their own: two servers (one over TLS trusted only by its client, one pinned), two
// stores, calls in flight to both at once, each answer sealed and opened under its own client's
// keys; and a host's connection standing in for the server.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "support/fixture.hpp"
#include "tavi/client.hpp"

namespace tavi::test {
namespace {

constexpr const char* kKeyPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
constexpr const char* kPinPath = "/kora-core/tavi-sdk/urn:apiver:1.0/authorize";

/// One environment: its own sandbox, store and client.
struct Environment {
    std::unique_ptr<sandbox::Server> server;
    std::shared_ptr<SecureStore> store = makeMemorySecureStore();
    Client client;

    explicit Environment(bool tls) {
        sandbox::Options options;
        options.tls = tls;
        server = std::make_unique<sandbox::Server>(options);
        EXPECT_TRUE(server->start()) << server->lastError();
        ClientSettings settings;
        settings.configuration.serverURL = server->url();
        settings.configuration.caFile = tls ? server->caFile() : "";
        settings.configuration.pinnedPublicKey = tls ? server->publicKeyPin() : "";
        settings.configuration.appId = "com.example.wallet";
        settings.configuration.pspOrgId = "PSPORG1";
        settings.configuration.timeoutMilliseconds = kCallTimeoutMs;
        settings.configuration.diagnosticsSink = nullptr;
        settings.store = store;
        client = Client::connect(std::move(settings));
    }
    ~Environment() { server->stop(); }

    std::string stored(const char* name) const {
        StoreItem item;
        if (store->copy(ItemClass::genericPassword, name, item) != KeychainStatus::success)
            return {};
        return std::string(item.data.begin(), item.data.end());
    }
};

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The default client points nowhere useful: nothing below may use it.
        global_ = makeMemorySecureStore();
        KeychainManager::setStore(global_);
        AppConstantTAVI::shared().serverURL = "http://127.0.0.1:9";
        AppConstantTAVI::shared().diagnosticsSink = nullptr;
    }
    void TearDown() override {
        AppConstantTAVI::shared().serverURL = kProductionServerURL;
        AppConstantTAVI::shared().diagnosticsSink = standardErrorSink();
    }
    std::shared_ptr<SecureStore> global_;
};

TEST_F(ClientTest, TwoServersTwoStoresSideBySide) {
    Environment a(false), b(true);
    for (Environment* e : {&a, &b}) {
        auto registered = e->client.call(RegisterDeviceRequest{
            e->server->serverPublicKey(), "+15550100", "REG-1", "com.example.wallet"});
        ASSERT_TRUE(registered) << registered.error().description();
    }
    // Each store holds its own session; the installed store holds none.
    EXPECT_NE(a.stored("taviKey"), "");
    EXPECT_NE(b.stored("taviKey"), "");
    EXPECT_NE(a.stored("taviKey"), b.stored("taviKey"));
    EXPECT_EQ(KeychainManager::getPreference("taviKey"), std::nullopt);

    // Each marked registered in its own store: b's mark made while a's call runs (in its sink).
    bool marked = false;
    CallOptions marking;
    marking.diagnosticsSink = [&](std::string_view) {
        if (!std::exchange(marked, true)) {
            EXPECT_EQ(b.client.savePreference("true", SessionManager::IS_REGISTERED), 0);
        }
    };
    ASSERT_TRUE(a.client.call(RetrieveKeysRequest{"M0", "FINANCIAL_TXN", "T-0", "BIC1", "ACCOUNT"},
                              marking));
    ASSERT_TRUE(marked);
    EXPECT_EQ(b.stored(SessionManager::IS_REGISTERED), "true");
    EXPECT_EQ(a.stored(SessionManager::IS_REGISTERED), "");
    EXPECT_EQ(a.client.savePreference("true", SessionManager::IS_REGISTERED), 0);
    for (Environment* e : {&a, &b}) {
        auto checked = e->client.call(CheckRegistrationRequest{"+15550100"});
        ASSERT_TRUE(checked) << checked.error().description();
        EXPECT_EQ(checked.value(), RegistrationStatus::registered);
    }

    // Both in flight at once: each server holds its answer back.
    for (Environment* e : {&a, &b}) {
        sandbox::Fault slow;
        slow.path = kKeyPath;
        slow.kind = sandbox::Fault::Kind::delay;
        slow.delayMs = 300;
        e->server->addFault(slow);
    }
    std::optional<Result<TransactionKeys>> keysA, keysB;
    CallHandle callA = a.client.start(RetrieveKeysRequest{"M1", "FINANCIAL_TXN", "T-A", "BIC1", "ACCOUNT"},
                                      [&](Result<TransactionKeys> r) { keysA.emplace(std::move(r)); });
    CallHandle callB = b.client.start(RetrieveKeysRequest{"M1", "FINANCIAL_TXN", "T-B", "BIC1", "ACCOUNT"},
                                      [&](Result<TransactionKeys> r) { keysB.emplace(std::move(r)); });
    callA.wait();
    callB.wait();
    ASSERT_TRUE(keysA && *keysA) << keysA->error().description();
    ASSERT_TRUE(keysB && *keysB) << keysB->error().description();
    EXPECT_EQ(a.server->arrivals(kKeyPath), 2u);
    EXPECT_EQ(b.server->arrivals(kKeyPath), 1u);

    // Each transaction's keys work with its own server only.
    for (auto [e, keys, txn] : {std::tuple{&a, &keysA->value(), "T-A"}, {&b, &keysB->value(), "T-B"}}) {
        auto pin = e->client.call(SubmitCredentialRequest{txn, "FINANCIAL_TXN", "PIN",
                                                          SecretString(sandbox::kTestPin), keys->bankKi,
                                                          keys->publicKey, keys->sessionKey});
        EXPECT_TRUE(pin) << pin.error().description();
        EXPECT_EQ(e->server->arrivals(kPinPath), 1u);
    }
}

TEST_F(ClientTest, ChecksTheRequestBeforeSending) {
    Environment a(false);
    auto refused = a.client.call(RetrieveKeysRequest{"M1", "FINANCIAL_TXN", "T\xff", "BIC1", "ACCOUNT"});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, ClientErrorCode::invalidArgument);
    EXPECT_NE(refused.error().message.find("\"txnId\""), std::string::npos);
    EXPECT_EQ(a.server->arrivals(kKeyPath), 0u);
}

/// A host's stand-in for the server.
class FixedConnection final : public Connection {
  public:
    int keyCalls = 0;
    template <class T>
    CallHandle answer(Completion<T> c, Result<T> r) {
        c(std::move(r));
        return {};
    }
    CallHandle start(CheckRegistrationRequest, Completion<RegistrationStatus> c, const CallOptions&) override {
        return answer<RegistrationStatus>(c, RegistrationStatus::registered);
    }
    CallHandle start(RegisterDeviceRequest, Completion<Accepted> c, const CallOptions&) override {
        return answer<Accepted>(c, Accepted{});
    }
    CallHandle start(RetrieveKeysRequest r, Completion<TransactionKeys> c, const CallOptions&) override {
        ++keyCalls;
        return answer<TransactionKeys>(c, TransactionKeys{"KI", "PK", "SK", r.txnId, "R"});
    }
    CallHandle start(SubmitCredentialRequest, Completion<Accepted> c, const CallOptions&) override {
        return answer<Accepted>(c, Accepted{});
    }
    CallHandle start(FetchOtpChallengeRequest, Completion<OtpChallenge> c, const CallOptions&) override {
        return answer<OtpChallenge>(c, OtpChallenge{});
    }
    CallHandle start(CheckOtpStatusRequest, Completion<OtpStatus> c, const CallOptions&) override {
        return answer<OtpStatus>(c, OtpStatus::settled);
    }
    CallHandle start(ValidateOtpRequest, Completion<Accepted> c, const CallOptions&) override {
        return answer<Accepted>(c, Accepted{});
    }
    CallHandle start(ValidateCardNumberRequest, Completion<ValidateCardNumResponse> c,
                     const CallOptions&) override {
        return answer<ValidateCardNumResponse>(c, ValidateCardNumResponse{});
    }
    CallHandle start(RegisterCardRequest, Completion<CardRegistration> c, const CallOptions&) override {
        return answer<CardRegistration>(c, CardRegistration{true, ""});
    }
    CallHandle start(SecureWebUrlRequest, Completion<std::string> c, const CallOptions&) override {
        return answer<std::string>(c, std::string("https://example.invalid/page"));
    }
};

TEST_F(ClientTest, AHostConnectionStandsInForTheServer) {
    auto mock = std::make_shared<FixedConnection>();
    const Client client(mock);
    auto keys = client.call(RetrieveKeysRequest{"M1", "FINANCIAL_TXN", "T-1", "BIC1", "ACCOUNT"});
    ASSERT_TRUE(keys);
    EXPECT_EQ(keys.value().txnId, "T-1");
    EXPECT_EQ(mock->keyCalls, 1);
}

}  // namespace
}  // namespace tavi::test
