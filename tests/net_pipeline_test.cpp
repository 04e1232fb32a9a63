#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/http.hpp"
#include "sandbox/sandbox.hpp"
#include "tavi/config.hpp"
#include "tavi/device.hpp"

namespace tavi::detail {
namespace {

using sandbox::Fault;

constexpr const char* kStatusPath = "/mpgs/txn-status";
constexpr const char* kPostPath = "/kora-core/tavi-sdk/urn:apiver:1.0/check-device-registration";

class FakeDevice final : public DeviceDescription {
  public:
    std::string model() const override { return "Bench"; }
    std::string systemName() const override { return "Linux"; }
    std::string systemVersion() const override { return "6.1"; }
    std::optional<std::string> identifierForVendor() const override { return std::nullopt; }
};

constexpr const char* kUserAgent =
    "deviceModel :: Bench , systemName :: Linux , systemVersion :: 6.1 SDK VERSION 1.1";

std::string lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
std::string text(const Bytes& data) {
    return std::string(data.begin(), data.end());
}

class Pipeline : public ::testing::Test {
  protected:
    virtual bool useTls() const { return false; }

    void SetUp() override {
        sandbox::Options options;
        options.tls = useTls();
        server_ = std::make_unique<sandbox::Server>(options);
        ASSERT_TRUE(server_->start()) << server_->lastError();
        setDeviceDescription(std::make_shared<FakeDevice>());
        auto& config = AppConstantTAVI::shared();
        config.serverURL = server_->url();
        config.caFile.clear();
        config.pinnedPublicKey.clear();
        config.timeoutMilliseconds = 10000;
        config.diagnosticsSink = [this](std::string_view line) {
            std::lock_guard<std::mutex> lock(linesMutex_);
            lines_.emplace_back(line);
        };
    }

    void TearDown() override {
        auto& config = AppConstantTAVI::shared();
        config.serverURL = kProductionServerURL;
        config.caFile.clear();
        config.pinnedPublicKey.clear();
        config.timeoutMilliseconds = 60000;
        config.diagnosticsSink = standardOutputSink();
        setDeviceDescription(nullptr);
        if (server_) server_->stop();
    }

    // Runs one exchange and checks that the completion ran exactly once before the return.
    Result<Bytes> run(const std::string& endPoint, const std::string& method = "GET",
                      const std::optional<Bytes>& body = std::nullopt,
                      const std::map<std::string, std::string>& headers = {}) {
        int calls = 0;
        std::optional<Result<Bytes>> outcome;
        performRequest(endPoint, method, {}, body, headers, [&](const Result<Bytes>& r) {
            ++calls;
            outcome.emplace(r);
        });
        EXPECT_EQ(calls, 1);
        if (!outcome) return Error{"test", -99, "no completion", nullptr, {}, {}};
        return *outcome;
    }

    std::string statusEndpoint(const std::string& txnId = "T1") const {
        return std::string(kStatusPath) + "?txnId=" + txnId + "&txnStatusFlagEnum=IS_OTP_VERIFIED";
    }

    void fault(Fault::Kind kind, const std::string& path, int status = 0, std::string body = {}) {
        Fault f;
        f.kind = kind;
        f.path = path;
        f.status = status;
        f.body = std::move(body);
        f.times = 1;
        server_->addFault(f);
    }

    std::unique_ptr<sandbox::Server> server_;
    std::mutex linesMutex_;  // the sink runs on every requesting thread
    std::vector<std::string> lines_;
};

TEST_F(Pipeline, SendsExactlyTheThreeLibraryHeaders) {
    const std::string payload = R"({"pad":")" + std::string(3000, 'x') + R"("})";
    fault(Fault::Kind::body, kPostPath, 200, R"({"ok":true})");
    auto result = run(kPostPath, "POST", bytes(payload),
                      {{"Content-Type", "application/json"}, {"X-Custom", "1"}});
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(text(result.value()), R"({"ok":true})");

    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& seen = requests[0];
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, payload);

    std::multimap<std::string, std::string> headers;
    for (const auto& [name, value] : seen.headers) {
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
            name == "LOCAL_PORT")
            continue;  // the server's own annotations
        headers.emplace(lower(name), value);
    }
    std::set<std::string> names;
    for (const auto& entry : headers) names.insert(entry.first);
    EXPECT_EQ(names, (std::set<std::string>{"content-length", "content-type", "host", "ln",
                                            "user-agent"}));
    EXPECT_EQ(headers.count("content-type"), 1u);
    EXPECT_EQ(headers.find("content-type")->second, "application/json");
    EXPECT_EQ(headers.find("user-agent")->second, kUserAgent);
    EXPECT_EQ(headers.find("ln")->second, "en");
    EXPECT_EQ(headers.find("content-length")->second, std::to_string(payload.size()));
}

TEST_F(Pipeline, GetWithoutBodyAndDiagnosticLinesInOrder) {
    fault(Fault::Kind::body, kStatusPath, 200, R"({"txnStatus":"PENDING"})");
    auto result = run(statusEndpoint());
    ASSERT_TRUE(result.ok()) << result.error().description();
    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[0].target, statusEndpoint());

    EXPECT_EQ(lines_, (std::vector<std::string>{"Bench Linux 6.1", "GetUserGentFunction",
                                                "url: " + server_->url() + statusEndpoint(),
                                                "statusCode: 200", "header: [:]",
                                                R"(response: {"txnStatus":"PENDING"})"}));

    lines_.clear();
    fault(Fault::Kind::body, kPostPath, 201, "\xFF\xFE not text");
    result = run(kPostPath, "POST", bytes("{\"a\":\"b\"}"), {{"Content-Type", "application/json"}});
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(text(result.value()), "\xFF\xFE not text");
    EXPECT_EQ(lines_,
              (std::vector<std::string>{
                  "Bench Linux 6.1", "GetUserGentFunction", "url: " + server_->url() + kPostPath,
                  R"(body: {"a":"b"})", "statusCode: 201",
                  R"(header: ["Content-Type": "application/json"])", "response: "}));
}

TEST_F(Pipeline, EmptyBodyIsSentAsAnEmptyPost) {
    fault(Fault::Kind::body, kPostPath, 200, "{}");
    auto result = run(kPostPath, "POST", Bytes{});
    ASSERT_TRUE(result.ok()) << result.error().description();
    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "");
    ASSERT_EQ(requests[0].headers.count("Content-Length"), 1u);
    EXPECT_EQ(requests[0].headers.find("Content-Length")->second, "0");
    ASSERT_GE(lines_.size(), 4u);
    EXPECT_EQ(lines_[3], "body: ");
}

TEST_F(Pipeline, QueryPlusArrivesEscapedAndTrailingSlashDoubles) {
    run(statusEndpoint("A+B"));
    AppConstantTAVI::shared().serverURL = server_->url() + "/";
    run(statusEndpoint("C"));
    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target,
              std::string(kStatusPath) + "?txnId=A%2BB&txnStatusFlagEnum=IS_OTP_VERIFIED");
    EXPECT_EQ(requests[1].target, "/" + statusEndpoint("C"));
}

TEST_F(Pipeline, EndpointThatIsNotAUrlGoesToTheBaseUrl) {
    run(statusEndpoint("has space"));
    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/");
    ASSERT_FALSE(lines_.empty());
    EXPECT_EQ(lines_[2], "url: " + server_->url());
}

TEST_F(Pipeline, CredentialsInTheBaseUrlNeverReachTheLog) {
    const std::string url = server_->url();  // http://127.0.0.1:PORT
    AppConstantTAVI::shared().serverURL = "http://user:s3cr3t@" + url.substr(7);
    auto result = run(statusEndpoint());
    ASSERT_TRUE(result.ok()) << result.error().description();
    ASSERT_GE(lines_.size(), 3u);
    EXPECT_EQ(lines_[2], "url: http://***@" + url.substr(7) + statusEndpoint());
    for (const auto& line : lines_) EXPECT_EQ(line.find("s3cr3t"), std::string::npos) << line;
}

TEST_F(Pipeline, AnyHttpStatusWithABodyIsSuccess) {
    const std::string error = R"({"errorCode":"E500","errorReason":"boom"})";
    fault(Fault::Kind::body, kStatusPath, 500, error);
    auto failed = run(statusEndpoint());
    ASSERT_TRUE(failed.ok()) << failed.error().description();
    EXPECT_EQ(text(failed.value()), error);

    fault(Fault::Kind::emptyBody, kStatusPath, 200);
    auto empty = run(statusEndpoint());
    ASSERT_TRUE(empty.ok()) << empty.error().description();
    EXPECT_TRUE(empty.value().empty());

    fault(Fault::Kind::emptyBody, kStatusPath, 404);
    auto missing = run(statusEndpoint());
    ASSERT_TRUE(missing.ok());
    EXPECT_TRUE(missing.value().empty());
}

TEST_F(Pipeline, ResponseBodyIsCapped) {
    Fault big;
    big.kind = Fault::Kind::oversized;
    big.path = kStatusPath;
    big.times = 1;
    big.size = kMaxResponseBytes;
    server_->addFault(big);
    auto atCap = run(statusEndpoint());
    ASSERT_TRUE(atCap.ok()) << atCap.error().description();
    EXPECT_EQ(atCap.value().size(), kMaxResponseBytes);

    for (std::size_t size : {kMaxResponseBytes + 1, std::size_t{16} << 20}) {
        big.size = size;
        server_->addFault(big);
        auto over = run(statusEndpoint());
        ASSERT_FALSE(over.ok()) << size;
        EXPECT_EQ(over.error().domain, ErrorDomain::client);
        EXPECT_EQ(over.error().code, ClientErrorCode::responseTooLarge);
    }
}

TEST_F(Pipeline, TransportFailures) {
    // A port nobody listens on.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(probe, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int closedPort = ntohs(address.sin_port);
    ::close(probe);

    AppConstantTAVI::shared().serverURL = "http://127.0.0.1:" + std::to_string(closedPort);
    auto refused = run(statusEndpoint());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().domain, ErrorDomain::transport);
    EXPECT_EQ(refused.error().code, CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(refused.error().message.empty());
    // No HTTP response: no statusCode line, and an empty response line.
    ASSERT_EQ(lines_.size(), 5u);
    EXPECT_EQ(lines_[3], "header: [:]");
    EXPECT_EQ(lines_[4], "response: ");

    AppConstantTAVI::shared().serverURL = server_->url();
    fault(Fault::Kind::dropConnection, kStatusPath);
    auto dropped = run(statusEndpoint());
    ASSERT_FALSE(dropped.ok());
    EXPECT_EQ(dropped.error().domain, ErrorDomain::transport);

    fault(Fault::Kind::resetMidBody, kStatusPath);
    auto cut = run(statusEndpoint());
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.error().domain, ErrorDomain::transport);
}

TEST_F(Pipeline, StallPastTheTimeout) {
    AppConstantTAVI::shared().timeoutMilliseconds = 300;
    Fault slow;
    slow.kind = Fault::Kind::delay;
    slow.path = kStatusPath;
    slow.delayMs = 1500;
    slow.times = 1;
    server_->addFault(slow);
    const auto start = std::chrono::steady_clock::now();
    auto result = run(statusEndpoint());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, ErrorDomain::transport);
    EXPECT_EQ(result.error().code, CURLE_OPERATION_TIMEDOUT);
    EXPECT_LT(elapsed, std::chrono::milliseconds(1200));
}

TEST_F(Pipeline, ConcurrentRequestsFromSeveralThreads) {
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                int calls = 0;
                std::string txn = "C";  // appended: "C" + std::string trips GCC 12 at -O3
                txn.append(std::to_string(t)).append("-").append(std::to_string(i));
                performRequest(statusEndpoint(txn),
                               "GET", {}, std::nullopt, {}, [&](const Result<Bytes>& r) {
                                   ++calls;
                                   if (r.ok()) ++ok;
                               });
                EXPECT_EQ(calls, 1);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(ok.load(), 30);
    EXPECT_EQ(server_->requests().size(), 30u);
}

class TlsPipeline : public Pipeline {
  protected:
    bool useTls() const override { return true; }
};

TEST_F(TlsPipeline, TrustComesFromTheAddedCaOnly) {
    ASSERT_EQ(server_->url().rfind("https://", 0), 0u);
    auto& config = AppConstantTAVI::shared();

    config.caFile = server_->caFile();
    auto trusted = run(statusEndpoint());
    ASSERT_TRUE(trusted.ok()) << trusted.error().description();

    // A session established with the extra CA must not let a later request skip verification.
    config.caFile.clear();
    auto untrusted = run(statusEndpoint());
    ASSERT_FALSE(untrusted.ok());
    EXPECT_EQ(untrusted.error().domain, ErrorDomain::transport);
    EXPECT_EQ(untrusted.error().code, CURLE_PEER_FAILED_VERIFICATION);

    config.caFile = "/nonexistent/ca.pem";
    auto unreadable = run(statusEndpoint());
    ASSERT_FALSE(unreadable.ok());
    EXPECT_EQ(unreadable.error().domain, ErrorDomain::transport);

    // Only the trusted exchange reached the server.
    EXPECT_EQ(server_->requests().size(), 1u);
}

TEST_F(TlsPipeline, PublicKeyPinning) {
    auto& config = AppConstantTAVI::shared();
    config.caFile = server_->caFile();

    config.pinnedPublicKey = server_->publicKeyPin();
    auto pinned = run(statusEndpoint());
    ASSERT_TRUE(pinned.ok()) << pinned.error().description();

    config.pinnedPublicKey = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    auto wrong = run(statusEndpoint());
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error().domain, ErrorDomain::transport);
    EXPECT_EQ(wrong.error().code, CURLE_SSL_PINNEDPUBKEYNOTMATCH);

    const auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].headers.count("ln"), 1u);
}

}  // namespace
}  // namespace tavi::detail
