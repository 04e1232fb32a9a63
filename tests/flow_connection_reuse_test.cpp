// Connection reuse: sequential operations on one thread share one TLS connection, each thread
// keeps its own, a change of trust settings never reuses a connection verified under the old
// ones, and a request is never sent twice when a kept connection turns out closed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

constexpr const char* kKeyPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
constexpr const char* kStatusPath = "/mpgs/txn-status";

class ConnectionReuse : public SandboxTest {
  protected:
    bool useTls() const override { return true; }

    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        server().clearRequests();
    }

    struct Keys {
        std::string bankKi, publicKey, sessionKey;
    };

    std::optional<Keys> retrieveKeys(const std::string& txnId) {
        if (!retrieveTransactionKeys(txnId, "MSG-" + txnId, "BANKXX01", "ACCOUNT")) {
            return std::nullopt;
        }
        return Keys{bankKi_, publicKey_, sessionKey_};
    }

    bool submitPin(const std::string& txnId, const Keys& keys) {
        bool accepted = false;
        TaviApiService::shared().createCredentialSubmissionRequest(
            txnId, "FINANCIAL_TXN", "PIN", sandbox::kTestPin, keys.bankKi, keys.publicKey,
            keys.sessionKey, [&](bool ok) { accepted = ok; }, [&](bool) {});
        return accepted;
    }

    std::string poll(const std::string& txnId) {
        std::string word;
        TaviApiService::shared().checkOtpStatus(txnId, [&](const std::string& w) { word = w; });
        return word;
    }

    // Connections the server saw for requests to `path` (distinct client ports).
    std::set<int> connectionsTo(const std::string& path) {
        std::set<int> ports;
        for (const auto& r : requestsTo(path)) ports.insert(r.remotePort);
        return ports;
    }
};

TEST_F(ConnectionReuse, HundredSequentialOperationsUseOneConnection) {
    const auto keys = retrieveKeys("TXN-100");
    ASSERT_TRUE(keys);
    for (int i = 1; i < 100; ++i) ASSERT_TRUE(submitPin("TXN-100", *keys)) << i;
    std::set<int> connections;
    const auto requests = server().requests();
    for (const auto& r : requests) connections.insert(r.remotePort);
    ASSERT_EQ(requests.size(), 100u);
    EXPECT_EQ(connections.size(), 1u);
}

TEST_F(ConnectionReuse, EachThreadKeepsItsOwnConnection) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 10;
    std::vector<std::thread> threads;
    std::vector<int> ok(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::string word;
                TaviApiService::shared().checkOtpStatus("TXN-" + std::to_string(t),
                                                        [&](const std::string& w) { word = w; });
                if (!word.empty()) ++ok[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], kPerThread);
    const auto requests = requestsTo(kStatusPath);
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(kThreads * kPerThread));
    // Every connection carried one thread's requests: never more connections than threads.
    EXPECT_LE(connectionsTo(kStatusPath).size(), static_cast<std::size_t>(kThreads));
}

TEST_F(ConnectionReuse, ChangedTrustSettingsOpenANewConnection) {
    poll("TXN-1");
    poll("TXN-1");
    ASSERT_EQ(connectionsTo(kStatusPath).size(), 1u);

    // The pin of the server's key: the same server, other trust settings.
    AppConstantTAVI::shared().pinnedPublicKey = server().publicKeyPin();
    poll("TXN-1");
    EXPECT_EQ(connectionsTo(kStatusPath).size(), 2u);

    // A pin the server's key does not match: the kept connection must not carry the request.
    AppConstantTAVI::shared().pinnedPublicKey =
        "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    server().clearRequests();
    EXPECT_EQ(poll("TXN-1"), "stop");
    EXPECT_TRUE(requestsTo(kStatusPath).empty());
    AppConstantTAVI::shared().pinnedPublicKey.clear();

    // A CA file without the server's CA, at another path: refused, nothing reaches the server.
    const auto other = std::filesystem::temp_directory_path() /
                       ("tavi-other-ca-" + std::to_string(::getpid()) + ".pem");
    std::filesystem::copy_file("/etc/ssl/certs/ca-certificates.crt", other,
                               std::filesystem::copy_options::overwrite_existing);
    AppConstantTAVI::shared().caFile = other.string();
    bool failed = false;
    TaviApiService::shared().performRequest(kStatusPath + std::string("/TXN-1"), "GET", {},
                                            std::nullopt, {},
                                            [&](const Result<Bytes>& r) { failed = !r.ok(); });
    EXPECT_TRUE(failed);
    EXPECT_TRUE(requestsTo(kStatusPath).empty());

    // The same path with other contents is other trust as well.
    std::filesystem::copy_file(server().caFile(), other,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(poll("TXN-1"), "stop");
    ASSERT_EQ(requestsTo(kStatusPath).size(), 1u);
    std::ofstream(other, std::ios::trunc) << "not a certificate\n";
    server().clearRequests();
    EXPECT_EQ(poll("TXN-1"), "stop");
    EXPECT_TRUE(requestsTo(kStatusPath).empty());
    std::filesystem::remove(other);
}

TEST_F(ConnectionReuse, ARequestIsNotSentAgainWhenTheKeptConnectionDrops) {
    poll("TXN-A");  // the connection is now kept
    sandbox::Fault drop;
    drop.kind = sandbox::Fault::Kind::dropConnection;
    drop.path = kKeyPath;
    drop.times = 1;
    server().addFault(drop);
    server().clearRequests();

    bool failed = false;
    TaviApiService::shared().performRequest(
        kKeyPath, "POST", {}, Bytes{'{', '}'}, {}, [&](const Result<Bytes>& r) {
            failed = !r.ok();
            if (!r.ok()) {
                EXPECT_EQ(r.error().domain, ErrorDomain::transport);
            }
        });
    EXPECT_TRUE(failed);
    EXPECT_EQ(requestsTo(kKeyPath).size(), 1u);

    // The next operation opens a new connection and succeeds.
    EXPECT_TRUE(retrieveKeys("TXN-B").has_value());
}

TEST_F(ConnectionReuse, AConnectionTheServerClosedWhileIdleIsNotUsed) {
    // The sandbox closes a connection idle for a second (TLS close_notify, then the end of the
    // stream): well inside the time the library keeps idle connections.
    const auto keys = retrieveKeys("TXN-IDLE");
    ASSERT_TRUE(keys);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_TRUE(submitPin("TXN-IDLE", *keys));
    EXPECT_FALSE(poll("TXN-IDLE").empty());
    const auto requests = server().requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[0].remotePort, requests[1].remotePort);
    EXPECT_EQ(requests[1].remotePort, requests[2].remotePort);
}

}  // namespace
}  // namespace tavi::test
