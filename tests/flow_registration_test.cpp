// Registration against the sandbox: what is stored, what travels, and how every failure ends;
// the session is replaced whole or not at all, by one registration at a time, also when the
// process is killed, the disk is full or the store cannot be opened.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "store/session.hpp"
#include "support/fixture.hpp"

extern char** environ;

namespace tavi::test {
namespace {

using Json = nlohmann::ordered_json;
using sandbox::Fault;

constexpr const char* kSmsPath = "/kora-core/kora-sms/urn:apiver:1.0/user-registration-txn";
constexpr const char* kRegisterPath = "/kora-core/tavi-sdk/urn:apiver:1.0/user-registration";
constexpr const char* kMobile = "+44 7700/900123";
constexpr const char* kAppId = "com.example.host-app";

/// What the host saw of one registration.
struct Outcome {
    int successes = 0;
    int errors = 0;
    std::string result;
    std::optional<Error> error;
    int callbacks() const { return successes + errors; }
};

std::optional<std::string> stored(const char* name) {
    return KeychainManager::getPreference(name);
}

bool isUpperUUID(const std::optional<std::string>& text) {
    static const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    return text && std::regex_match(*text, form);
}

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

class RegistrationFlow : public SandboxTest {
  protected:
    Outcome registerWith(const std::string& sessionKey, bool success = true) {
        Outcome out;
        DeviceRegistrationController().startDeviceRegistration(
            success, sessionKey, kMobile, "REG-TXN-7", kAppId,
            [&](const std::string& r) {
                ++out.successes;
                out.result = r;
            },
            [&](const Error& e) {
                ++out.errors;
                out.error = e;
            });
        return out;
    }
    Outcome registerDevice() { return registerWith(server().serverPublicKey()); }

    void addFault(Fault::Kind kind, const char* path = kRegisterPath, int times = -1) {
        Fault fault;
        fault.path = path;
        fault.kind = kind;
        fault.times = times;
        server().addFault(fault);
    }

    /// Whether `expected` occur among the captured lines in this order.
    bool linesInOrder(const std::vector<std::string>& expected) const {
        auto lines = capture_.lines();
        auto at = lines.begin();
        for (const auto& want : expected) {
            at = std::find_if(at, lines.end(),
                              [&](const std::string& l) { return l.rfind(want, 0) == 0; });
            if (at == lines.end()) return false;
            ++at;
        }
        return true;
    }
};

TEST_F(RegistrationFlow, StoresTheSessionAndSendsWhatItStores) {
    const Outcome out = registerDevice();
    ASSERT_EQ(out.successes, 1) << (out.error ? out.error->description() : "");
    EXPECT_EQ(out.errors, 0);
    EXPECT_EQ(out.result, "done");

    EXPECT_TRUE(isUpperUUID(stored("taviId")));
    EXPECT_TRUE(isUpperUUID(stored("imei1")));
    EXPECT_TRUE(isUpperUUID(stored("imei2")));
    EXPECT_EQ(stored("appId"), kAppId);
    EXPECT_EQ(stored("mobile"), kMobile);
    EXPECT_EQ(stored("deviceId"), deviceDescription()->identifierForVendor());
    EXPECT_TRUE(stored("pspId").value_or("").size() > 0);
    EXPECT_TRUE(stored("taviKey").value_or("").size() > 0);
    EXPECT_FALSE(stored("IS_REGISTERED"));

    const auto sms = requestsTo(kSmsPath);
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(Json::parse(sms[0].body), Json({{"mobileNumber", kMobile}, {"txnId", "REG-TXN-7"}}));

    const auto reg = requestsTo(kRegisterPath);
    ASSERT_EQ(reg.size(), 1u);
    const Json body = Json::parse(reg[0].body);
    EXPECT_EQ(keysOf(body),
              (std::vector<std::string>{"msgId", "pspOrgId", "txnId", "taviRegistrationRequestEnc",
                                        "symmetricKey"}));
    EXPECT_TRUE(isUpperUUID(body["msgId"].get<std::string>()));
    EXPECT_EQ(body["pspOrgId"], "PSPORG1");
    EXPECT_EQ(body["txnId"], "REG-TXN-7");

    ASSERT_TRUE(reg[0].decryptedPayload);
    const Json payload = Json::parse(*reg[0].decryptedPayload);
    EXPECT_EQ(payload["taviIdentifier"], *stored("taviId"));
    const Json expectedDevice = {{"deviceId", *stored("deviceId")},
                                 {"appId", kAppId},
                                 {"imei1", *stored("imei1")},
                                 {"imei2", *stored("imei2")},
                                 {"mobileNo", kMobile}};
    EXPECT_EQ(payload["deviceInfo"], expectedDevice);  // no pspIdentifier

    EXPECT_TRUE(linesInOrder({"success", "response.commonResponse.symmetricKey", "Optional(\"",
                              "sessionKey", "encSymKeY", "PSP Identifier: ", "Tavi Key: ",
                              "TaviRegistrationResponse(commonResponse: CommonResponse("}))
        << capture().joined();
}

TEST_F(RegistrationFlow, EveryRunMakesNewIdentifiers) {
    ASSERT_EQ(registerDevice().successes, 1);
    const auto first = std::vector{stored("taviId"), stored("imei1"), stored("imei2")};
    ASSERT_EQ(registerDevice().successes, 1);
    const auto second = std::vector{stored("taviId"), stored("imei1"), stored("imei2")};
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_NE(first[i], second[i]);
    const auto reg = requestsTo(kRegisterPath);
    ASSERT_EQ(reg.size(), 2u);
    EXPECT_NE(Json::parse(reg[0].body)["symmetricKey"], Json::parse(reg[1].body)["symmetricKey"]);
}

TEST_F(RegistrationFlow, NotToldToRegisterDoesNothingAtAll) {
    capture().clear();
    const Outcome out = registerWith(server().serverPublicKey(), false);
    EXPECT_EQ(out.callbacks(), 0);
    EXPECT_TRUE(server().requests().empty());
    EXPECT_TRUE(capture().lines().empty()) << capture().joined();
    EXPECT_FALSE(stored("taviId"));
}

TEST_F(RegistrationFlow, ResponseKeyWithZeroBytesNeedsNoRestart) {
    addFault(Fault::Kind::zeroByteKey);
    const Outcome out = registerDevice();
    EXPECT_EQ(out.successes, 1) << (out.error ? out.error->description() : "");
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
}

TEST_F(RegistrationFlow, UnrecoverableResponseKeyRestartsAtMostThreeTimes) {
    for (auto kind : {Fault::Kind::wrongKey, Fault::Kind::shortKey}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        server().clearRequests();
        addFault(kind);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(out.error->domain, ErrorDomain::client);
        EXPECT_EQ(out.error->code, ClientErrorCode::retryLimitReached);
        EXPECT_EQ(requestsTo(kSmsPath).size(), 3u);
        const auto reg = requestsTo(kRegisterPath);
        ASSERT_EQ(reg.size(), 3u);
        // Each attempt is a whole new run: new identifiers.
        EXPECT_NE(Json::parse(*reg[0].decryptedPayload)["taviIdentifier"],
                  Json::parse(*reg[2].decryptedPayload)["taviIdentifier"]);
        EXPECT_FALSE(stored("pspId"));
    }
}

TEST_F(RegistrationFlow, RefusalCarriesTheServersReasonsAndIsNotRetried) {
    for (auto kind : {Fault::Kind::refusal, Fault::Kind::refusalNoPayload}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        server().clearRequests();
        Fault fault;
        fault.path = kRegisterPath;
        fault.kind = kind;
        fault.errorCode = "REG-409";
        fault.errorReason = "mobile number blocked";
        server().addFault(fault);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(out.error->domain, ErrorDomain::refusal);
        EXPECT_EQ(out.error->errorCode, "REG-409");
        EXPECT_EQ(out.error->errorReason, "mobile number blocked");
        EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
        EXPECT_FALSE(stored("pspId"));
        EXPECT_FALSE(stored("taviKey"));
    }
}

TEST_F(RegistrationFlow, UnreadablePayloadIsAFailureNotSuccess) {
    struct Case {
        Fault::Kind kind;
        const char* line;
    };
    for (const Case& c : {Case{Fault::Kind::undecodablePayload, "PSP Identifier: N/A"},
                          Case{Fault::Kind::garbagePayload, "Invalid JSON string."}}) {
        SCOPED_TRACE(c.line);
        server().clearFaults();
        capture().clear();
        addFault(c.kind);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError);
        EXPECT_TRUE(linesInOrder({c.line, "TaviRegistrationResponse("})) << capture().joined();
        EXPECT_FALSE(stored("pspId"));
        EXPECT_FALSE(stored("taviKey"));
        EXPECT_FALSE(stored("taviId"));  // nothing of an attempt is kept unless all of it is
    }
}

TEST_F(RegistrationFlow, AnswerWithoutKeyOrUnreadableBodyEndsInError) {
    struct Case {
        int status;
        const char* body;
        std::optional<ApiServiceError::Case> apiCase;
    };
    for (
        const Case& c : {
            Case{
                200,
                R"({"commonResponse":{"success":true},"userRegistrationResponsePayloadEnc":"AAAA"})",
                std::nullopt},
            Case{200, R"({"commonResponse":{"success":true}})",
                 ApiServiceError::Case::decodingError},
            Case{502, "<html>bad gateway</html>", ApiServiceError::Case::decodingError},
        }) {
        SCOPED_TRACE(c.body);
        server().clearFaults();
        server().clearRequests();
        KeychainManager::deletePreference("taviId");
        Fault fault;
        fault.path = kRegisterPath;
        fault.kind = Fault::Kind::body;
        fault.status = c.status;
        fault.body = c.body;
        server().addFault(fault);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(ApiServiceError::caseOf(*out.error), c.apiCase) << out.error->description();
        EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
        EXPECT_FALSE(stored("taviId"));
    }
}

TEST_F(RegistrationFlow, UnusableServerKeySendsNoRegistrationRequest) {
    const Outcome out = registerWith("bm90IGEga2V5");
    ASSERT_EQ(out.errors, 1);
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_EQ(out.error->code, ClientErrorCode::invalidKey);
    EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
    EXPECT_TRUE(requestsTo(kRegisterPath).empty());
}

TEST_F(RegistrationFlow, FailedSmsExchangeStoresNothing) {
    addFault(Fault::Kind::dropConnection, kSmsPath);
    capture().clear();
    const Outcome out = registerDevice();
    ASSERT_EQ(out.errors, 1);
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_TRUE(requestsTo(kRegisterPath).empty());
    EXPECT_FALSE(stored("taviId"));
    EXPECT_FALSE(stored("mobile"));
    // The failure is printed after the host has been told.
    EXPECT_EQ(capture().lines().back(), out.error->description());
}

class NoVendorIdentifier : public DeviceDescription {
  public:
    std::string model() const override { return "Test"; }
    std::string systemName() const override { return "Linux"; }
    std::string systemVersion() const override { return "1"; }
    std::optional<std::string> identifierForVendor() const override { return std::nullopt; }
};

TEST_F(RegistrationFlow, DeviceWithoutIdentifierEndsInError) {
    setDeviceDescription(std::make_shared<NoVendorIdentifier>());
    const Outcome out = registerDevice();
    setDeviceDescription(nullptr);
    ASSERT_EQ(out.errors, 1);
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_TRUE(requestsTo(kRegisterPath).empty());
    EXPECT_FALSE(stored("taviId"));
}

// ---- The session is replaced whole or not at all ----------------------------------------------

const std::vector<std::string> kSession{"taviId", "imei1", "imei2",  "appId",
                                        "mobile", "deviceId", "pspId", "taviKey"};

using Session = std::vector<std::optional<std::string>>;

Session session() {
    return KeychainManager::getPreferences(kSession);
}

bool complete(const Session& values) {
    return std::all_of(values.begin(), values.end(), [](const auto& v) { return v.has_value(); });
}

/// Passes everything to a memory store, counts the writes, and fails writes on demand: from the
/// `failFrom`-th write on (1-based), with `failure`. Without `transactions` it has no replaceAll of
/// its own, like a host store: the default order of SecureStore applies.
class HostStore : public SecureStore {
  public:
    explicit HostStore(bool transactions) : transactions_(transactions) {}
    std::int32_t add(ItemClass cls, const std::string& name, const StoreItem& item) override {
        if (auto failed = write()) return *failed;
        return inner_->add(cls, name, item);
    }
    std::int32_t copy(ItemClass cls, const std::string& name, StoreItem& out) override {
        if (hideKeys && cls == ItemClass::key) return KeychainStatus::itemNotFound;
        return inner_->copy(cls, name, out);
    }
    std::int32_t remove(ItemClass cls, const std::string& name) override {
        if (auto failed = write()) return *failed;
        return inner_->remove(cls, name);
    }
    std::int32_t replace(ItemClass cls, const std::string& name, const StoreItem& item) override {
        if (auto failed = write()) return *failed;
        return inner_->replace(cls, name, item);
    }
    std::int32_t replaceAll(ItemClass cls, const std::vector<NamedItem>& items) override {
        if (!transactions_) return SecureStore::replaceAll(cls, items);
        if (auto failed = write()) return *failed;
        return inner_->replaceAll(cls, items);
    }

    std::atomic<int> writes{0};
    int failFrom = 0;  ///< 0: never
    bool hideKeys = false;  ///< key items read as absent (a server key never seen before)
    std::int32_t failure = KeychainStatus::diskFull;

  private:
    std::optional<std::int32_t> write() {
        const int n = ++writes;
        if (failFrom > 0 && n >= failFrom) return failure;
        return std::nullopt;
    }
    bool transactions_;
    std::shared_ptr<SecureStore> inner_ = makeMemorySecureStore();
};

class SessionIntegrity : public RegistrationFlow {
  protected:
    void TearDown() override {
        KeychainManager::setStore(makeMemorySecureStore());
        detail::setRegistrationLockWait(detail::kRegistrationLockWait);
        RegistrationFlow::TearDown();
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::string tempDir() {
        if (dir_.empty()) {
            char pattern[] = "/tmp/tavi-session-XXXXXX";
            if (::mkdtemp(pattern) != nullptr) dir_ = pattern;
        }
        return dir_;
    }

    /// Registers, marks the device registered, and returns the session; check must say true.
    Session registered() {
        const Outcome out = registerDevice();
        EXPECT_EQ(out.successes, 1) << (out.error ? out.error->description() : "");
        KeychainManager::deletePreference(SessionManager::IS_REGISTERED);
        KeychainManager::savePreference("true", SessionManager::IS_REGISTERED);
        EXPECT_TRUE(checkSays());
        const Session values = session();
        EXPECT_TRUE(complete(values));
        return values;
    }

    bool checkSays() {
        bool answer = false;
        TaviUtils::getCheckDeviceRegistered(kMobile, [&](bool registered) { answer = registered; });
        return answer;
    }

    /// The CLI registering into `store`, as a process of its own; its standard output is read
    /// from `out`.
    struct Cli {
        pid_t pid = -1;
        int out = -1;
    };
    Cli startCliRegistration(const std::string& store, int mountNamespace = -1) {
        return startCli(store,
                        {"register", "--session-key", server().serverPublicKey(), "--mobile",
                         kMobile, "--txn-id", "REG-TXN-CLI", "--app-id", kAppId},
                        mountNamespace);
    }

    /// The CLI with `command` on `store`, in the mount namespace `mountNamespace` (an open
    /// /proc/PID/ns/mnt) when one is given.
    Cli startCli(const std::string& store, const std::vector<std::string>& command,
                 int mountNamespace = -1) {
        std::vector<std::string> args{TAVI_CLI_PATH, "--quiet", "--server", server().url(),
                                      "--store",     store,     "--psp-org-id", "PSPORG1"};
        args.insert(args.end(), command.begin(), command.end());
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
        Cli cli;
        cli.pid = ::fork();  // only system calls between here and exec
        if (cli.pid == 0) {
            if (mountNamespace >= 0 && ::setns(mountNamespace, CLONE_NEWNS) != 0) ::_exit(126);
            const int null = ::open("/dev/null", O_WRONLY);
            if (::dup2(pipeFds[1], STDOUT_FILENO) < 0 || null < 0 ||
                ::dup2(null, STDERR_FILENO) < 0) {
                ::_exit(126);
            }
            ::execve(TAVI_CLI_PATH, argv.data(), environ);
            ::_exit(127);
        }
        ::close(pipeFds[1]);
        cli.out = pipeFds[0];
        return cli;
    }

    /// Waits for the CLI: its exit status (128 + signal when killed) and its standard output.
    static std::pair<int, std::string> finish(Cli cli) {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(cli.out, buffer, sizeof buffer)) != 0;) {
            if (n < 0) {
                if (errno == EINTR) continue;
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        ::close(cli.out);
        int status = 0;
        if (::waitpid(cli.pid, &status, 0) != cli.pid) return {-1, text};
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), text};
    }

    /// Waits until the server has answered `count` SMS exchanges; false after 20 s.
    bool awaitSmsExchanges(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (requestsTo(kSmsPath).size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::shared_ptr<SecureStore> installSqlite(const std::string& path) {
        auto opened = openSqliteSecureStore(path);
        if (!opened) {
            ADD_FAILURE() << opened.error().description();
            return nullptr;
        }
        KeychainManager::setStore(opened.value());
        return opened.value();
    }

    std::string dir_;
};

// A registered device registers again and the attempt fails somewhere: the session the server
// accepted before is the one kept, value for value, and check still says true.
TEST_F(SessionIntegrity, FailedReRegistrationKeepsTheSession) {
    struct Case {
        const char* name;
        Fault::Kind kind;
        int status;
        const char* body;
    };
    const Case cases[] = {
        {"refusal", Fault::Kind::refusal, 0, ""},
        {"HTTP 503", Fault::Kind::body, 503, R"({"errorCode":"UNAVAILABLE"})"},
        {"connection dropped", Fault::Kind::dropConnection, 0, ""},
        {"undecodable payload", Fault::Kind::undecodablePayload, 0, ""},
        {"key never recovers (restarts)", Fault::Kind::wrongKey, 0, ""},
    };
    const Session before = registered();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server().clearFaults();
        Fault fault;
        fault.path = kRegisterPath;
        fault.kind = c.kind;
        fault.status = c.status;
        fault.body = c.body;
        server().addFault(fault);
        const Outcome out = registerDevice();
        EXPECT_EQ(out.errors, 1);
        EXPECT_EQ(out.successes, 0);
        EXPECT_EQ(session(), before);
        server().clearFaults();
        EXPECT_TRUE(checkSays());
    }
}

// The session cannot be written: registration ends in storeUnavailable with the store's reason,
// never "done". A store with transactions keeps the old session; a host store without them is
// written in an order that leaves it incomplete, never complete-looking and mixed, wherever the
// writes stop. Opening the answer needs no write at all: a key item that cannot be kept does not
// stop it (one SMS, no restart), and a key already kept is read without a write.
TEST_F(SessionIntegrity, WriteFailuresReachTheHostAndNeverMixTheSession) {
    for (const std::int32_t failure :
         {KeychainStatus::diskFull, KeychainStatus::readOnly, KeychainStatus::locked}) {
        SCOPED_TRACE(failure);
        auto store = std::make_shared<HostStore>(true);
        KeychainManager::setStore(store);
        const Session before = registered();

        // A second registration with the key item already kept writes the session once, besides
        // its journal record and the record's removal.
        server().clearRequests();
        store->writes = 0;
        ASSERT_EQ(registerDevice().successes, 1);
        EXPECT_EQ(store->writes.load(), 3);
        const Session second = session();
        EXPECT_NE(second, before);

        // Not even the journal record can be written: the request does not go out.
        store->failure = failure;
        store->writes = 0;
        store->failFrom = 1;
        server().clearRequests();
        const Outcome unrecorded = registerDevice();
        ASSERT_EQ(unrecorded.errors, 1);
        EXPECT_EQ(unrecorded.error->code, ClientErrorCode::storeUnavailable);
        EXPECT_EQ(unrecorded.error->delivery, RequestDelivery::notSent);
        EXPECT_TRUE(requestsTo(kRegisterPath).empty());
        EXPECT_EQ(session(), second);

        // Nothing can be written after the journal record, not even the key item of a server
        // key never seen before.
        store->writes = 0;
        store->failFrom = 2;
        store->hideKeys = true;
        server().clearRequests();
        capture().clear();
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.successes, 0);
        EXPECT_EQ(out.error->domain, ErrorDomain::client);
        EXPECT_EQ(out.error->code, ClientErrorCode::storeUnavailable);
        EXPECT_NE(out.error->message.find(describeKeychainStatus(failure)), std::string::npos)
            << out.error->message;
        EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);  // the answer opened: no restart
        EXPECT_EQ(session(), second);
        // The diagnostic lines are those of a registration that went through.
        EXPECT_TRUE(linesInOrder({"success", "encSymKeY", "PSP Identifier: ", "Tavi Key: ",
                                  "TaviRegistrationResponse("}))
            << capture().joined();
    }

    // Without transactions, stopped after each write in turn.
    for (int failFrom = 1; failFrom <= 10; ++failFrom) {
        SCOPED_TRACE("host store failing from write " + std::to_string(failFrom));
        auto store = std::make_shared<HostStore>(false);
        KeychainManager::setStore(store);
        const Session before = registered();
        store->writes = 0;
        store->failFrom = failFrom;
        const Outcome out = registerDevice();
        const Session after = session();
        if (out.successes == 1) {
            EXPECT_TRUE(complete(after));
            EXPECT_GE(failFrom, 10);
            continue;
        }
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.error->code, ClientErrorCode::storeUnavailable);
        EXPECT_TRUE(after == before || !after.back().has_value())
            << "a complete-looking session after a failed write";
    }
}

// One registration at a time per store: a second one waits, and gives up after the bounded wait
// with an error that says the store is locked, without sending anything. For the SQLite store the
// lock is a flock beside the database (held here by the test as another process would).
TEST_F(SessionIntegrity, OneRegistrationAtATimeAndABoundedWait) {
    detail::setRegistrationLockWait(std::chrono::milliseconds(300));

    // The host may register again from inside its callback: the store is free by then.
    {
        Fault refuse;
        refuse.path = kRegisterPath;
        refuse.kind = Fault::Kind::refusal;
        refuse.times = 1;
        server().addFault(refuse);
        Outcome retried;
        DeviceRegistrationController().startDeviceRegistration(
            true, server().serverPublicKey(), kMobile, "REG-TXN-7", kAppId,
            [](const std::string&) { ADD_FAILURE() << "the refusal was not reported"; },
            [&](const Error&) { retried = registerDevice(); });
        EXPECT_EQ(retried.successes, 1) << (retried.error ? retried.error->description() : "");
        server().clearRequests();
    }

    // Another thread's registration holds a memory store while its answer is delayed.
    {
        Fault slow;
        slow.path = kRegisterPath;
        slow.kind = Fault::Kind::delay;
        slow.delayMs = 1500;
        slow.times = 1;
        server().addFault(slow);
        Outcome first;
        std::thread holder([&] { first = registerDevice(); });
        ASSERT_TRUE(awaitSmsExchanges(1));
        const Outcome second = registerDevice();
        holder.join();
        EXPECT_EQ(first.successes, 1);
        ASSERT_EQ(second.errors, 1);
        EXPECT_EQ(second.error->code, ClientErrorCode::storeUnavailable);
        EXPECT_NE(second.error->message.find("locked by another registration"), std::string::npos)
            << second.error->message;
        EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
    }

    const std::string path = tempDir() + "/store.db";
    ASSERT_TRUE(installSqlite(path));
    const int lockFd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lockFd, 0);
    ASSERT_EQ(::flock(lockFd, LOCK_EX), 0);
    server().clearRequests();
    const Outcome waited = registerDevice();
    ASSERT_EQ(waited.errors, 1);
    EXPECT_EQ(waited.error->code, ClientErrorCode::storeUnavailable);
    EXPECT_NE(waited.error->message.find(path), std::string::npos) << waited.error->message;
    EXPECT_NE(waited.error->message.find("locked by another registration"), std::string::npos);
    EXPECT_TRUE(server().requests().empty());

    // The wait counts against the operation's deadline: a deadline shorter than the lock wait
    // ends it first.
    detail::setRegistrationLockWait(std::chrono::milliseconds(30000));
    auto& config = AppConstantTAVI::shared();
    const long savedDeadline = config.operationDeadlineMilliseconds;
    config.operationDeadlineMilliseconds = 300;
    const Outcome bounded = registerDevice();
    config.operationDeadlineMilliseconds = savedDeadline;
    detail::setRegistrationLockWait(std::chrono::milliseconds(300));
    ASSERT_EQ(bounded.errors, 1);
    // Not the lock wait's own storeUnavailable after 30 s.
    EXPECT_EQ(bounded.error->code, ClientErrorCode::deadlineExceeded);
    EXPECT_TRUE(server().requests().empty());

    ::close(lockFd);
    EXPECT_EQ(registerDevice().successes, 1);
}

// No store could be opened, and none was installed: registration and the sealed operations fail
// with storeUnavailable naming the path, the reason and the fix; nothing goes to memory, nothing
// is sent.
TEST_F(SessionIntegrity, UnopenableDefaultStoreIsAnErrorNotMemory) {
    const std::string dir = tempDir();
    std::filesystem::create_directories(dir + "/tavi/store.db");  // a directory where the file goes
    const char* saved = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> savedValue =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv("XDG_DATA_HOME", dir.c_str(), 1);
    KeychainManager::setStore(nullptr);
    AppConstantTAVI::shared().logLevel = LogLevel::off;

    const Outcome out = registerDevice();
    Error keysError;
    TaviApiService::shared().createRetrieveKeysRequest(
        "MSG-1", "FINANCIAL_TXN", "TXN-1", "BIC1", "ACCOUNT",
        [](auto&, auto&, auto&, auto&, auto&) { ADD_FAILURE() << "keys without a session"; },
        [&](const Error& e) { keysError = e; });

    AppConstantTAVI::shared().logLevel = LogLevel::debug;
    KeychainManager::setStore(makeMemorySecureStore());
    if (savedValue) {
        ::setenv("XDG_DATA_HOME", savedValue->c_str(), 1);
    } else {
        ::unsetenv("XDG_DATA_HOME");
    }

    ASSERT_EQ(out.errors, 1);
    EXPECT_EQ(out.successes, 0);
    for (const Error* e : std::initializer_list<const Error*>{&*out.error, &keysError}) {
        EXPECT_EQ(e->domain, ErrorDomain::client);
        EXPECT_EQ(e->code, ClientErrorCode::storeUnavailable);
        EXPECT_NE(e->message.find(dir + "/tavi/store.db"), std::string::npos) << e->message;
        EXPECT_NE(e->message.find("not a regular file"), std::string::npos) << e->message;
        EXPECT_NE(e->message.find("KeychainManager::setStore"), std::string::npos) << e->message;
    }
    EXPECT_TRUE(server().requests().empty());
}

// The CLI killed (SIGKILL) between the two exchanges of a re-registration, again and again: the
// previous session stays whole and check stays true; the lock of a killed process is released
// by the kernel, so the next registration goes through.
TEST_F(SessionIntegrity, KillBetweenTheExchangesKeepsTheSession) {
    constexpr int kKills = 15;
    const std::string path = tempDir() + "/store.db";
    ASSERT_TRUE(installSqlite(path));
    const Session before = registered();

    Fault slow;
    slow.path = kRegisterPath;
    slow.kind = Fault::Kind::delay;
    slow.delayMs = 1000;
    server().addFault(slow);
    server().clearRequests();
    std::mt19937 random(13);
    std::uniform_int_distribution<int> pauseUs(0, 20000);
    const auto started = std::chrono::steady_clock::now();
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        const Cli cli = startCliRegistration(path);
        ASSERT_GT(cli.pid, 0);
        ASSERT_TRUE(awaitSmsExchanges(static_cast<std::size_t>(kill) + 1));
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        ::kill(cli.pid, SIGKILL);
        const auto [status, output] = finish(cli);
        ASSERT_EQ(status, 128 + SIGKILL) << output;
        ASSERT_EQ(session(), before);
    }
    server().clearFaults();
    EXPECT_TRUE(checkSays());
    std::printf("%d kills between the exchanges in %lld ms\n", kKills,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - started)
                                           .count()));

    const auto [status, output] = finish(startCliRegistration(path));
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("done"), std::string::npos) << output;
    const Session after = session();
    EXPECT_TRUE(complete(after));
    EXPECT_NE(after, before);
    EXPECT_TRUE(checkSays());
}

// Two processes register into one store at once; the first one's answer is held back so that,
// unserialised, the second would answer first. Both report a sensible outcome and the store ends
// with one whole session that check accepts.
TEST_F(SessionIntegrity, TwoProcessesRegisteringAtOnceLeaveOneWholeSession) {
    constexpr int kRounds = 3;
    const std::string path = tempDir() + "/store.db";
    ASSERT_TRUE(installSqlite(path));
    registered();
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        server().clearFaults();
        server().clearRequests();
        Fault slow;
        slow.path = kRegisterPath;
        slow.kind = Fault::Kind::delay;
        slow.delayMs = 600;
        slow.times = 1;
        server().addFault(slow);
        const Cli first = startCliRegistration(path);
        const Cli second = startCliRegistration(path);
        ASSERT_GT(first.pid, 0);
        ASSERT_GT(second.pid, 0);
        for (const auto& [status, output] : {finish(first), finish(second)}) {
            const bool done = status == 0 && output.find("\"done\"") != std::string::npos;
            const bool toldLocked =
                status == 1 && output.find("locked by another registration") != std::string::npos;
            EXPECT_TRUE(done || toldLocked) << status << " " << output;
        }
        const Session now = session();
        EXPECT_TRUE(complete(now));
        EXPECT_TRUE(checkSays());
    }
}

// The disk fills while the answer is on its way (a small tmpfs in a private mount namespace): the
// CLI reports storeUnavailable (disk full), not "done", and the store keeps the old session.
TEST_F(SessionIntegrity, FullDiskAtAnswerTimeKeepsTheSession) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
#ifdef TAVI_TEST_EMULATOR
    GTEST_SKIP() << "the CLI joins the holder's mount namespace (setns), which refuses a "
                    "multithreaded caller, and qemu-user runs threads of its own in every process";
#endif
    const std::string mountPoint = tempDir() + "/disk";
    ASSERT_TRUE(std::filesystem::create_directory(mountPoint));
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Holds a mount namespace of its own with the small disk in it until told to go.
        ::close(ready[0]);
        ::close(release[1]);
        char result = '0';
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tavi-test", mountPoint.c_str(), "tmpfs", 0, "size=512k,mode=0700") != 0) {
            result = '1';
        }
        (void)!::write(ready[1], &result, 1);
        char byte;
        (void)!::read(release[0], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    struct Release {
        int fd;
        pid_t pid;
        ~Release() {
            ::close(fd);
            ::waitpid(pid, nullptr, 0);
        }
    } releaseHolder{release[1], holder};
    char result = 0;
    ASSERT_EQ(::read(ready[0], &result, 1), 1);
    ::close(ready[0]);
    if (result != '0') GTEST_SKIP() << "no private mount namespace here";

    // Everything that touches the disk runs in the holder's namespace: the CLI, and the filler
    // through /proc/PID/root.
    const int ns = ::open(("/proc/" + std::to_string(holder) + "/ns/mnt").c_str(), O_RDONLY);
    ASSERT_GE(ns, 0);
    struct CloseNs {
        int fd;
        ~CloseNs() { ::close(fd); }
    } closeNs{ns};
    const std::string path = mountPoint + "/store.db";
    auto cli = [&](const std::vector<std::string>& command) {
        return finish(startCli(path, command, ns));
    };
    auto sessionThere = [&] {
        std::vector<std::string> values;
        for (const auto& name : kSession) values.push_back(cli({"store", "get", name}).second);
        return values;
    };

    ASSERT_EQ(cli({"register", "--session-key", server().serverPublicKey(), "--mobile", kMobile,
                   "--txn-id", "REG-TXN-CLI", "--app-id", kAppId})
                  .first,
              0);
    ASSERT_EQ(cli({"store", "set", "IS_REGISTERED", "true"}).first, 0);
    ASSERT_NE(cli({"check", "--mobile", kMobile}).second.find("true"), std::string::npos);
    const auto before = sessionThere();
    for (const auto& value : before) ASSERT_EQ(value.find("null"), std::string::npos) << value;

    Fault slow;
    slow.path = kRegisterPath;
    slow.kind = Fault::Kind::delay;
    slow.delayMs = 1000;
    server().addFault(slow);
    server().clearRequests();
    const Cli registering = startCliRegistration(path, ns);
    ASSERT_GT(registering.pid, 0);
    ASSERT_TRUE(awaitSmsExchanges(1));
    const std::string filler =
        "/proc/" + std::to_string(holder) + "/root" + mountPoint + "/filler";
    {
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(errno, ENOSPC);
        ::close(fd);
    }
    const auto [status, output] = finish(registering);
    EXPECT_EQ(status, 1) << output;
    EXPECT_NE(output.find("disk full"), std::string::npos) << output;
    EXPECT_EQ(output.find("\"done\""), std::string::npos) << output;

    server().clearFaults();
    std::filesystem::remove(filler);
    EXPECT_EQ(sessionThere(), before);
    EXPECT_NE(cli({"check", "--mobile", kMobile}).second.find("true"), std::string::npos);
}

}  // namespace
}  // namespace tavi::test
