#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/http.hpp"
#include "core/internal.hpp"
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

// Runs one test of this program afresh in the calling (forked) child; a cross build's tests run
// under qemu-user, so the program is started under it again. Never returns.
[[noreturn]] void execSelf(const char* filter) {
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) ::_exit(127);
#ifdef TAVI_TEST_EMULATOR
    ::execl(TAVI_TEST_EMULATOR, TAVI_TEST_EMULATOR, self, filter, static_cast<char*>(nullptr));
#else
    ::execl(self, "net_pipeline_test", filter, static_cast<char*>(nullptr));
#endif
    ::_exit(127);
}

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

TEST_F(Pipeline, EndpointThatIsNotAUrlIsAnErrorAndGoesNowhere) {
    auto result = run(statusEndpoint("has space"));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(ApiServiceError::caseOf(result.error()), ApiServiceError::Case::invalidURL);
    EXPECT_NE(result.error().message.find("0x20"), std::string::npos) << result.error().message;
    EXPECT_TRUE(server_->requests().empty());
    EXPECT_TRUE(lines_.empty());
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
    auto result = run(statusEndpoint());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, ErrorDomain::transport);
    EXPECT_EQ(result.error().code, CURLE_OPERATION_TIMEDOUT);  // not the answer after 1.5 s
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

// ---- Hostile input and a hostile environment ----------------------------------------------

TEST_F(Pipeline, ServerTextCannotForgeLines) {
    // Raw line breaks, a terminal escape, DEL, a C1 control (CSI) and NUL in the body: the
    // response line stays one line, with the rest of its text unchanged.
    const std::string forged =
        "{\"txnStatus\":\"x\"}\r\nstatusCode: 200\nresponse: \x1b[2J\x7f\xc2\x9b" +
        std::string(1, '\0') + "caf\xc3\xa9\t.";
    fault(Fault::Kind::body, kStatusPath, 200, forged);
    auto result = run(statusEndpoint());
    ASSERT_TRUE(result.ok()) << result.error().description();
    EXPECT_EQ(text(result.value()), forged);  // the body itself is untouched
    ASSERT_EQ(lines_.size(), 6u);
    EXPECT_EQ(lines_[3], "statusCode: 200");
    EXPECT_EQ(lines_[5],
              "response: {\"txnStatus\":\"x\"}\\r\\nstatusCode: 200\\nresponse: "
              "\\u001b[2J\\u007f\\u009b\\u0000caf\xc3\xa9\\t.");

    // Text of the host's (the user agent's device model) and every kind of control character.
    lines_.clear();
    for (unsigned c = 0; c < 0x20; ++c) diag("c" + std::string(1, static_cast<char>(c)));
    diag("bad \xff\xfe byte, lone \x80, C1 end \xc2\x9f, not C1 \xc2\xa0");
    ASSERT_EQ(lines_.size(), 0x21u);
    for (const auto& line : lines_) {
        for (unsigned char c : line) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << line;
        EXPECT_EQ(line.find("\xc2\x80"), std::string::npos);
    }
    EXPECT_EQ(lines_[0], "c\\u0000");
    EXPECT_EQ(lines_[9], "c\\t");
    EXPECT_EQ(lines_[10], "c\\n");
    EXPECT_EQ(lines_[13], "c\\r");
    EXPECT_EQ(lines_[27], "c\\u001b");
    EXPECT_EQ(lines_[32], "bad \\xff\\xfe byte, lone \\x80, C1 end \\u009f, not C1 \xc2\xa0");
}

TEST_F(Pipeline, TheOperationDeadlineBoundsEveryExchange) {
    auto& config = AppConstantTAVI::shared();
    config.timeoutMilliseconds = 60000;  // longer than the server's delay: only the deadline ends it
    config.operationDeadlineMilliseconds = 600;
    Fault slow;
    slow.kind = Fault::Kind::delay;
    slow.path = kStatusPath;
    slow.delayMs = 30000;
    slow.times = 1;
    server_->addFault(slow);
    // The server records a request once it has answered it.
    const auto answered = [&](const std::string& target) {
        for (const auto& request : server_->requests())
            if (request.target == target) return true;
        return false;
    };
    const auto start = std::chrono::steady_clock::now();
    {
        const OperationScope operation;
        {
            const OperationScope nested;  // keeps the outer deadline
            auto late = run(statusEndpoint("D1"));
            ASSERT_FALSE(late.ok());
            EXPECT_EQ(late.error().domain, ErrorDomain::client);
            EXPECT_EQ(late.error().code, ClientErrorCode::deadlineExceeded);
        }
        // Not before the deadline, and not once the answer came.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(550));
        EXPECT_FALSE(answered(statusEndpoint("D1")));

        // Nothing remains: the next exchange of the operation is not sent at all.
        lines_.clear();
        auto none = run(statusEndpoint("D2"));
        ASSERT_FALSE(none.ok());
        EXPECT_EQ(none.error().code, ClientErrorCode::deadlineExceeded);
        EXPECT_NE(none.error().message.find("not sent"), std::string::npos);
        EXPECT_TRUE(lines_.empty());
    }
    // Outside an operation, only the request's own timeout applies.
    EXPECT_TRUE(run(statusEndpoint("D3")).ok());
    config.operationDeadlineMilliseconds = 0;
    std::set<std::string> targets;
    for (const auto& request : server_->requests()) targets.insert(request.target);
    EXPECT_EQ(targets.count(statusEndpoint("D2")), 0u);
    EXPECT_EQ(targets.count(statusEndpoint("D3")), 1u);
}

// A TCP listener on loopback that records what reaches it (a stand-in proxy that never answers).
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 8) != 0)
            return;
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Listener() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int connections() const { return connections_; }
    std::string received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    void serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) continue;
            ++connections_;
            pollfd c{client, POLLIN, 0};
            char buffer[512];
            if (::poll(&c, 1, 1000) > 0) {
                const auto n = ::recv(client, buffer, sizeof buffer, 0);
                std::lock_guard lock(mutex_);
                if (n > 0) received_.append(buffer, static_cast<std::size_t>(n));
            }
            ::close(client);  // no answer
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// Sets environment variables for a test and puts the old values back.
class Environment {
  public:
    void set(const char* name, const std::string& value) {
        remember(name);
        ::setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        remember(name);
        ::unsetenv(name);
    }
    ~Environment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
    }

  private:
    void remember(const char* name) {
        for (const auto& entry : saved_)
            if (entry.first == name) return;
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

constexpr const char* kProxyVariables[] = {"http_proxy", "HTTP_PROXY",  "ALL_PROXY",
                                           "all_proxy",  "https_proxy", "HTTPS_PROXY"};

TEST_F(Pipeline, CleartextNeverGoesThroughAProxy) {
    Listener proxy;
    Environment env;
    env.unset("no_proxy");
    env.unset("NO_PROXY");
    auto& config = AppConstantTAVI::shared();
    // Each variable alone, then the configured proxy: the exchange goes straight to loopback.
    for (const char* variable : kProxyVariables) {
        SCOPED_TRACE(variable);
        env.set(variable, proxy.url());
        EXPECT_TRUE(run(statusEndpoint()).ok());
        env.unset(variable);
    }
    config.proxy = proxy.url();
    EXPECT_TRUE(run(statusEndpoint()).ok());
    config.proxy.reset();
    EXPECT_EQ(proxy.connections(), 0) << proxy.received();
    EXPECT_EQ(server_->requests().size(), std::size(kProxyVariables) + 1);
}

// "localhost" connects to loopback addresses only, whatever a hosts file says, and "localhost."
// (a name for the resolver) needs HTTPS. Tried in a private network and mount namespace whose
// own hosts file maps both names to a documentation address: no lookup leaves the machine. The
// namespace is made in a child process, which then runs the test below afresh.
TEST(HostileNetwork, LocalhostIsPinnedToLoopbackAndLocalhostDotIsRefused) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("tavi-hosts-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto hosts = dir / "hosts";
    std::ofstream(hosts) << "192.0.2.1 localhost localhost. LocalHost\n"
                            "2001:db8::1 localhost localhost.\n";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) ::_exit(77);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            ::_exit(77);
        const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
        ifreq lo{};
        std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
        if (probe < 0 || ::ioctl(probe, SIOCGIFFLAGS, &lo) != 0) ::_exit(77);
        lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
        if (::ioctl(probe, SIOCSIFFLAGS, &lo) != 0) ::_exit(77);
        ::close(probe);
        ::setenv("TAVI_TEST_IN_NAMESPACE", "1", 1);
        execSelf("--gtest_filter=HostileNetwork.InsideThePrivateNamespace");
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private network and mount namespace";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(HostileNetwork, InsideThePrivateNamespace) {
    if (std::getenv("TAVI_TEST_IN_NAMESPACE") == nullptr)
        GTEST_SKIP() << "run by HostileNetwork.LocalhostIsPinnedToLoopbackAndLocalhostDotIsRefused";
    sandbox::Server server;
    ASSERT_TRUE(server.start()) << server.lastError();
    auto& config = AppConstantTAVI::shared();
    config.diagnosticsSink = nullptr;
    config.timeoutMilliseconds = 3000;
    const std::string port = std::to_string(server.port());
    for (const std::string host : {"localhost", "LocalHost", "LOCALHOST"}) {
        config.serverURL = "http://" + host + ":" + port;
        performRequest(kStatusPath, "GET", {}, std::nullopt, {}, [&](const Result<Bytes>& r) {
            EXPECT_TRUE(r.ok()) << host << ": " << r.error().description();
        });
    }
    for (const std::string host : {"localhost.", "LocalHost."}) {
        config.serverURL = "http://" + host + ":" + port;
        performRequest(kStatusPath, "GET", {}, std::nullopt, {}, [&](const Result<Bytes>& r) {
            ASSERT_FALSE(r.ok()) << host;
            EXPECT_EQ(r.error().domain, ErrorDomain::client) << r.error().description();
            EXPECT_EQ(r.error().code, ClientErrorCode::insecureTransport);
        });
    }
    EXPECT_EQ(server.requests().size(), 3u);
    server.stop();
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

TEST_F(TlsPipeline, HttpsUsesAProxyOnlyAsATunnelAndTheSettingOverridesTheEnvironment) {
    Listener proxy;
    Environment env;
    env.unset("no_proxy");
    env.unset("NO_PROXY");
    for (const char* variable : kProxyVariables) env.unset(variable);
    auto& config = AppConstantTAVI::shared();
    config.caFile = server_->caFile();
    const std::string authority = server_->url().substr(std::string("https://").size());

    // The environment's proxy: a CONNECT tunnel, the request itself never in the proxy's view.
    env.set("https_proxy", proxy.url());
    EXPECT_FALSE(run(statusEndpoint()).ok());
    EXPECT_EQ(proxy.received().rfind("CONNECT " + authority + " HTTP/1.1\r\n", 0), 0u)
        << proxy.received();
    EXPECT_EQ(proxy.received().find("txn-status"), std::string::npos);

    // The setting "" means no proxy, whatever the environment says.
    config.proxy = "";
    EXPECT_TRUE(run(statusEndpoint()).ok());
    EXPECT_EQ(proxy.connections(), 1);

    // A configured proxy replaces the environment's, as a tunnel too.
    Listener configured;
    config.proxy = configured.url();
    EXPECT_FALSE(run(statusEndpoint()).ok());
    config.proxy.reset();
    EXPECT_EQ(configured.received().rfind("CONNECT " + authority + " HTTP/1.1\r\n", 0), 0u)
        << configured.received();
    EXPECT_EQ(proxy.connections(), 1);
    EXPECT_EQ(server_->requests().size(), 1u);
}

// Runs in a process of its own (started by the test below) so that libcurl initialises with
// SSLKEYLOGFILE set, as it would in a host started with it.
TEST_F(TlsPipeline, KeyLogChildProcess) {
    const char* hostFile = std::getenv("TAVI_TEST_HOST_KEYLOG");
    if (hostFile == nullptr) GTEST_SKIP() << "run by TlsPipeline.TlsKeyLogOnlyWhereTheHostAsks";
    auto& config = AppConstantTAVI::shared();
    config.caFile = server_->caFile();
    ASSERT_TRUE(run(statusEndpoint()).ok());  // nothing logged anywhere
    config.tlsKeyLogFile = hostFile;
    config.pinnedPublicKey = server_->publicKeyPin();  // other trust settings: a new connection
    ASSERT_TRUE(run(statusEndpoint()).ok());
    config.tlsKeyLogFile.clear();
}

TEST_F(TlsPipeline, TlsKeyLogOnlyWhereTheHostAsks) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("tavi-keylog-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto variableFile = dir / "sslkeylog.txt";
    const auto hostFile = dir / "host-keylog.txt";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::setenv("SSLKEYLOGFILE", variableFile.c_str(), 1);
        ::setenv("TAVI_TEST_HOST_KEYLOG", hostFile.c_str(), 1);
        execSelf("--gtest_filter=TlsPipeline.KeyLogChildProcess");
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    // SSLKEYLOGFILE got nothing; the host's file got the secrets of its one connection, 0600.
    std::error_code ec;
    EXPECT_EQ(std::filesystem::exists(variableFile) ? std::filesystem::file_size(variableFile) : 0u,
              0u);
    std::ifstream in(hostFile);
    std::stringstream logged;
    logged << in.rdbuf();
    EXPECT_NE(logged.str().find("CLIENT_"), std::string::npos) << logged.str();
    struct stat st {};
    ASSERT_EQ(::stat(hostFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace tavi::detail
