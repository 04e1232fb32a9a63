// Every public operation under every fault a server or a network can produce: exactly one
// callback, on the caller's thread, no crash, and the outcome the operation documents for it.
// The run writes docs/RELIABILITY.md, the table of what each operation did under each fault.
#include <gtest/gtest.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Kind = sandbox::Fault::Kind;
using OptText = std::optional<std::string>;

constexpr const char* kTxnId = "TXN-FAULT-1";
constexpr const char* kKeysTxnId = "TXN-FAULT-KEYS";  ///< retrieving keys anew replaces kTxnId's
constexpr const char* kStatusTxnId = "TXN-FAULT-STATUS";  ///< kept pending
constexpr const char* kBic = "DEMOBIC01";
constexpr const char* kException = "Exception Occured";
constexpr const char* kRefusalCode = "E-TEST";
constexpr const char* kRefusalReason = "refused by the test";
constexpr long kShortTimeoutMs = 300;

// ---- The operations ----------------------------------------------------------------------------

enum class Op {
    check,
    registration,
    retrieveKeys,
    credential,
    fetchOtp,
    validateOtp,
    otpStatus,
    validateCard,
    registerCard,
    webUrl
};
constexpr std::array kOps{Op::check,        Op::registration, Op::retrieveKeys, Op::credential,
                          Op::fetchOtp,     Op::validateOtp,  Op::otpStatus,    Op::validateCard,
                          Op::registerCard, Op::webUrl};

struct OpInfo {
    const char* name;  ///< as the table shows it
    const char* path;  ///< the endpoint path a fault is aimed at
};

OpInfo infoOf(Op op) {
    switch (op) {
        case Op::check:
            return {"check", "/kora-core/tavi-sdk/urn:apiver:1.0/check-device-registration"};
        case Op::registration:
            return {"register", "/kora-core/tavi-sdk/urn:apiver:1.0/user-registration"};
        case Op::retrieveKeys:
            return {"retrieve keys", "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key"};
        case Op::credential:
            return {"submit credential", "/kora-core/tavi-sdk/urn:apiver:1.0/authorize"};
        case Op::fetchOtp:
            return {"fetch OTP", "/kora-core/tavi-sdk/urn:apiver:1.0/fetch-otp-challenge-code"};
        case Op::validateOtp:
            return {"validate OTP", "/kora-core/tavi-sdk/urn:apiver:1.0/validate-otp-api"};
        case Op::otpStatus:
            return {"OTP status", "/mpgs/txn-status"};
        case Op::validateCard:
            return {"validate card", "/kora-core/tavi-sdk/urn:apiver:1.0/validate-card-num"};
        case Op::registerCard:
            return {"register card", "/kora-core/tavi-sdk/urn:apiver:1.0/register-card-detail"};
        case Op::webUrl:
            return {"web URL", "/kora-core/tavi-sdk/urn:apiver:1.0/request-web-url"};
    }
    return {"?", ""};
}

/// What the host received from one call.
struct Outcome {
    int successes = 0;
    int failures = 0;
    bool foreignThread = false;
    bool successFlag = false;  ///< the success callback's verdict (check, credential, card, …)
    std::optional<Error> error;
    OptText code, reason;  ///< code/reason callbacks, the card registration's error code
    std::string text;      ///< the outcome as the table shows it
    std::size_t requests = 0;
};

std::string shortError(const Error& e) {
    std::string text = e.domain + "(" + std::to_string(e.code);
    if (e.domain == ErrorDomain::transport) {
        // curl's fixed text for the code, without the detail that names ports or addresses
        text += " " + e.message.substr(0, e.message.find(':'));
    } else if (e.domain == ErrorDomain::client) {
        switch (e.code) {
            case ClientErrorCode::retryLimitReached:
                text += " retry limit";
                break;
            case ClientErrorCode::responseTooLarge:
                text += " response too large";
                break;
            case ClientErrorCode::responseUnreadable:
                text += " response unreadable";
                break;
            default:
                break;
        }
    } else if (auto c = ApiServiceError::caseOf(e); c == ApiServiceError::Case::decodingError) {
        text += " decodingError";
    } else if (e.domain == ErrorDomain::refusal) {
        text += " " + e.errorCode.value_or("nil");
    }
    return text + ")";
}

std::string quotedOr(const OptText& t) {
    return t ? "\"" + *t + "\"" : std::string("nil");
}

// ---- The faults --------------------------------------------------------------------------------

// One letter per operation, in the order of kOps:
//   S  the success callback with the normal answer
//   1  the success callback, after exactly one request
//   F  the operation's failure form (false, failure(false), "Exception Occured" twice, "stop",
//      or an error value)
//   R  the server's refusal as the operation reports it (its errorCode and errorReason where the
//      callback carries them)
//   L  gives up after three requests (the retry-limit error, or "Exception Occured" twice)
class FaultMatrixTest;

struct Scenario {
    const char* name;
    std::function<void(FaultMatrixTest&, const std::string& path)> apply;
    const char* expected;
};

class FaultMatrixTest : public SandboxTest {
  public:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        registered_ = store_;
        openTransaction();
    }

    void TearDown() override {
        for (auto& [host, server] : tlsServers_) server->stop();
        if (expired_) {
            expired_->stop();
            if (expiredThread_.joinable()) expiredThread_.join();
        }
        SandboxTest::TearDown();
        AppConstantTAVI::shared().pinnedPublicKey.clear();
        std::error_code ec;
        if (!tempDir_.empty()) std::filesystem::remove_all(tempDir_, ec);
    }

    void fault(const std::string& path, Kind kind, const std::string& body = {}, int status = 0) {
        sandbox::Fault f;
        f.path = path;
        f.kind = kind;
        f.body = body;
        f.status = status;
        if (kind == Kind::delay) f.delayMs = 1500;
        if (kind == Kind::oversized) f.size = 5u << 20;  // above the 4 MiB cap
        if (kind == Kind::refusal || kind == Kind::refusalNoPayload) {
            f.errorCode = kRefusalCode;
            f.errorReason = kRefusalReason;
        }
        server().addFault(f);
    }

    /// A server that once listened on a port that is now closed.
    std::string closedPortURL() {
        if (closedURL_.empty()) {
            sandbox::Server gone;
            EXPECT_TRUE(gone.start());
            closedURL_ = gone.url();
            gone.stop();
        }
        return closedURL_;
    }

    /// A TLS sandbox listening on `host`; the certificate names 127.0.0.1, localhost and ::1.
    sandbox::Server& tlsServer(const std::string& host) {
        auto& existing = tlsServers_[host];
        if (existing) return *existing;
        sandbox::Options options;
        options.tls = true;
        options.host = host;
        existing = std::make_unique<sandbox::Server>(options);
        EXPECT_TRUE(existing->start()) << existing->lastError();
        return *existing;
    }

    /// A TLS server on 127.0.0.1 whose (self-signed, trusted) certificate expired yesterday.
    /// Returns its URL and sets `caFile` to the certificate.
    std::string expiredCertificateURL(std::string& caFile) {
        caFile = tempDir() + "/expired.pem";
        if (expired_) return expiredURL_;
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                &EVP_PKEY_free);
        std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), &X509_free);
        EXPECT_TRUE(key && cert);
        X509_set_version(cert.get(), 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -2L * 86400);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), -1L * 86400);
        X509_NAME* name = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
        X509_set_issuer_name(cert.get(), name);
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
        for (auto [nid, value] : {std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                                  std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"}}) {
            X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
            EXPECT_NE(ext, nullptr);
            X509_add_ext(cert.get(), ext, -1);
            X509_EXTENSION_free(ext);
        }
        X509_set_pubkey(cert.get(), key.get());
        EXPECT_GT(X509_sign(cert.get(), key.get(), EVP_sha256()), 0);

        std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(caFile.c_str(), "w"),
                                                           &std::fclose);
        EXPECT_TRUE(file && PEM_write_X509(file.get(), cert.get()) == 1);
        file.reset();

        expired_ = std::make_unique<httplib::SSLServer>(cert.get(), key.get());
        const int port = expired_->bind_to_any_port("127.0.0.1");
        EXPECT_GT(port, 0);
        expiredThread_ = std::thread([s = expired_.get()] { s->listen_after_bind(); });
        expiredURL_ = "https://127.0.0.1:" + std::to_string(port);
        return expiredURL_;
    }

    Outcome run(Op op) {
        prepare(op);
        Outcome out = call(op);
        if (op == Op::registration) KeychainManager::setStore(registered_);
        for (const auto& r : server().requests())
            if (r.path == infoOf(op).path) ++out.requests;
        return out;
    }

    /// Back to a healthy server between cells.
    void heal() {
        server().clearFaults();
        server().clearRequests();
        auto& config = AppConstantTAVI::shared();
        config.serverURL = server().url();
        config.caFile.clear();
        config.pinnedPublicKey.clear();
        config.timeoutMilliseconds = 10000;
        server().setTxnStatus(kStatusTxnId, "PENDING");
    }

  private:
    std::string tempDir() {
        if (tempDir_.empty()) {
            char pattern[] = "/tmp/tavi-faults-XXXXXX";
            if (mkdtemp(pattern) != nullptr) tempDir_ = pattern;
        }
        return tempDir_;
    }

    void openTransaction() {
        ASSERT_TRUE(retrieveTransactionKeys(kTxnId, "MSG-FAULT", kBic, "CARD"));
    }

    /// Steps an operation needs beforehand, taken while the server is still healthy.
    void prepare(Op op) {
        if (op == Op::registration) {
            KeychainManager::setStore(makeMemorySecureStore());
        } else if (op == Op::validateOtp) {
            // The fault is already in place for another path only, or for the whole server:
            // fetch the challenge from the healthy server.
            const auto url = AppConstantTAVI::shared().serverURL;
            const auto ca = AppConstantTAVI::shared().caFile;
            const auto pin = AppConstantTAVI::shared().pinnedPublicKey;
            AppConstantTAVI::shared().serverURL = server().url();
            AppConstantTAVI::shared().caFile.clear();
            AppConstantTAVI::shared().pinnedPublicKey.clear();
            TaviApiService::shared().createFetchOtpChallengeRequest(
                "FINANCIAL_TXN", kTxnId, "CARD", kBic, sessionKey_, std::nullopt,
                [&](const std::string& ref, const std::string&, const std::string&,
                    const std::string& action) {
                    referenceId_ = ref;
                    action_ = action;
                },
                [](const OptText& code, const OptText&) {
                    ADD_FAILURE() << "fetch failed: " << code.value_or("nil");
                });
            AppConstantTAVI::shared().serverURL = url;
            AppConstantTAVI::shared().caFile = ca;
            AppConstantTAVI::shared().pinnedPublicKey = pin;
        }
        server().clearRequests();
    }

    Outcome call(Op op) {
        Outcome out;
        const auto caller = std::this_thread::get_id();
        auto hit = [&out, caller](bool success) {
            (success ? out.successes : out.failures)++;
            if (std::this_thread::get_id() != caller) out.foreignThread = true;
        };
        auto onError = [&](const Error& e) {
            hit(false);
            out.error = e;
            out.text = "error " + shortError(e);
        };
        auto onCodeReason = [&](const OptText& code, const OptText& reason) {
            hit(false);
            out.code = code;
            out.reason = reason;
            out.text = code == OptText(kException) && reason == OptText(kException)
                           ? "failure(\"Exception Occured\" x2)"
                           : "failure(" + quotedOr(code) + ", " + quotedOr(reason) + ")";
        };
        auto& service = TaviApiService::shared();
        switch (op) {
            case Op::check:
                TaviUtils::getCheckDeviceRegistered("+15550100", [&](bool registered) {
                    hit(registered);
                    out.successFlag = registered;
                    out.text = registered ? "true" : "false";
                });
                break;
            case Op::registration:
                DeviceRegistrationController().startDeviceRegistration(
                    true, server().serverPublicKey(), "+15550100", "REG-TXN-F",
                    "com.example.wallet",
                    [&](const std::string& result) {
                        hit(true);
                        out.text = "\"" + result + "\"";
                    },
                    onError);
                break;
            case Op::retrieveKeys:
                service.createRetrieveKeysRequest(
                    "MSG-F", "FINANCIAL_TXN", kKeysTxnId, kBic, "CARD",
                    [&](const std::string&, const std::string&, const std::string& session,
                        const std::string&, const std::string&) {
                        hit(true);
                        out.successFlag = !session.empty();
                        out.text = "keys";
                    },
                    onError);
                break;
            case Op::credential:
                service.createCredentialSubmissionRequest(
                    kTxnId, "FINANCIAL_TXN", "PIN", sandbox::kTestPin, bankKi_, publicKey_,
                    sessionKey_,
                    [&](bool b) {
                        hit(true);
                        out.successFlag = b;
                        out.text = b ? "success(true)" : "success(false)";
                    },
                    [&](bool b) {
                        hit(false);
                        out.successFlag = b;
                        out.text = b ? "failure(true)" : "failure(false)";
                    });
                break;
            case Op::fetchOtp:
                service.createFetchOtpChallengeRequest(
                    "FINANCIAL_TXN", kTxnId, "CARD", kBic, sessionKey_, std::nullopt,
                    [&](const std::string& ref, const std::string&, const std::string&,
                        const std::string&) {
                        hit(true);
                        out.successFlag = !ref.empty();
                        out.text = "challenge";
                    },
                    onCodeReason);
                break;
            case Op::validateOtp:
                service.createValidateOtpRequest(
                    kTxnId, "FINANCIAL_TXN", sandbox::kTestOtp, bankKi_, publicKey_, sessionKey_,
                    action_, kBic, referenceId_,
                    [&](bool b) {
                        hit(true);
                        out.successFlag = b;
                        out.text = b ? "success(true)" : "success(false)";
                    },
                    onCodeReason);
                break;
            case Op::otpStatus:
                service.checkOtpStatus(kStatusTxnId, [&](const std::string& word) {
                    hit(word == "retry");
                    out.successFlag = word == "retry";
                    out.text = "\"" + word + "\"";
                });
                break;
            case Op::validateCard:
                service.validateCardNumAsync(
                    sessionKey_, bankKi_, publicKey_, kTxnId, sandbox::kTestCards[0].number, kBic,
                    sandbox::kTestCards[0].bankName,
                    [&](const ValidateCardNumResponse& r) {
                        hit(true);
                        out.successFlag = r.commonResponse.success;
                        out.code = r.commonResponse.errorCode;
                        out.text = r.commonResponse.success
                                       ? "answer(success, " + quotedOr(r.bankNameMatchStatus) + ")"
                                       : "answer(refused, " + quotedOr(out.code) + ")";
                    },
                    onError);
                break;
            case Op::registerCard:
                service.registerCardDetailRequest(
                    kTxnId, "REGISTER_CARD_ACC_DETAIL", kBic, std::nullopt, bankKi_, sessionKey_,
                    sandbox::kTestCards[0].number, "08", "2031", "737", publicKey_,
                    [&](bool flag, const std::string& code) {
                        hit(true);
                        out.successFlag = flag;
                        out.code = code;
                        out.text = std::string("success(") + (flag ? "true" : "false") + ", \"" +
                                   code + "\")";
                    },
                    onError);
                break;
            case Op::webUrl:
                service.webUrlRequestAsync(
                    "FINANCIAL_TXN", kTxnId, "CARD", kBic, sessionKey_,
                    [&](const std::string& url) {
                        hit(true);
                        out.successFlag = !url.empty();
                        out.text = "refUrl";
                    },
                    onError);
                break;
        }
        return out;
    }

    std::shared_ptr<SecureStore> registered_;
    std::string referenceId_, action_;
    std::map<std::string, std::unique_ptr<sandbox::Server>> tlsServers_;
    std::string closedURL_, expiredURL_;
    std::unique_ptr<httplib::SSLServer> expired_;
    std::thread expiredThread_;
    std::string tempDir_;
};

/// Checks one cell against its expected letter.
void expectOutcome(Op op, char expected, const Outcome& out) {
    EXPECT_EQ(out.successes + out.failures, 1) << "callbacks";
    EXPECT_FALSE(out.foreignThread) << "a callback ran on another thread";
    const bool codeReasonOp = op == Op::fetchOtp || op == Op::validateOtp;
    const bool errorOp = op == Op::registration || op == Op::retrieveKeys ||
                         op == Op::validateCard || op == Op::registerCard || op == Op::webUrl;
    switch (expected) {
        case '1':
            EXPECT_EQ(out.requests, 1u);
            [[fallthrough]];
        case 'S':
            EXPECT_EQ(out.successes, 1);
            if (op != Op::registration) {
                EXPECT_TRUE(out.successFlag);
            }
            break;
        case 'F':
        case 'L':
            if (op == Op::check || op == Op::otpStatus) {
                EXPECT_FALSE(out.successFlag);
                EXPECT_EQ(out.text, op == Op::check ? "false" : "\"stop\"");
                break;
            }
            EXPECT_EQ(out.failures, 1);
            if (codeReasonOp) {
                EXPECT_EQ(out.code, OptText(kException));
                EXPECT_EQ(out.reason, OptText(kException));
            }
            if (op == Op::credential) {
                EXPECT_FALSE(out.successFlag);
            }
            if (errorOp) {
                ASSERT_TRUE(out.error);
                EXPECT_NE(out.error->domain, ErrorDomain::refusal);
            }
            if (expected == 'L') {
                EXPECT_EQ(out.requests, 3u);
                if (errorOp) {
                    EXPECT_EQ(out.error->code, ClientErrorCode::retryLimitReached);
                }
            }
            break;
        case 'R':
            if (op == Op::check || op == Op::otpStatus || op == Op::credential) {
                EXPECT_FALSE(out.successFlag);
                EXPECT_EQ(out.text, op == Op::check       ? "false"
                                    : op == Op::otpStatus ? "\"stop\""
                                                          : "failure(false)");
            } else if (codeReasonOp) {
                EXPECT_EQ(out.code, OptText(kRefusalCode));
                EXPECT_EQ(out.reason, OptText(kRefusalReason));
            } else if (op == Op::validateCard || op == Op::registerCard) {
                // handed to the host unjudged
                EXPECT_EQ(out.successes, 1);
                EXPECT_FALSE(out.successFlag);
                EXPECT_EQ(out.code, OptText(kRefusalCode));
            } else {
                ASSERT_TRUE(out.error);
                EXPECT_EQ(out.error->domain, ErrorDomain::refusal);
                EXPECT_EQ(out.error->errorCode, OptText(kRefusalCode));
                EXPECT_EQ(out.error->errorReason, OptText(kRefusalReason));
            }
            break;
        default:
            ADD_FAILURE() << "unknown expectation " << expected;
    }
}

Scenario pathFault(const char* name, Kind kind, const char* expected, std::string body = {},
                   int status = 0) {
    return {name,
            [=](FaultMatrixTest& t, const std::string& path) { t.fault(path, kind, body, status); },
            expected};
}

/// Which failures each operation sends again by itself (src/net/exchange.cpp: worthRetrying),
/// tested by flow_key_retrieval_test; and the journal of outcomes unknown, tested by
/// flow_journal_test.
constexpr const char* kRetries = R"(
## Automatic retries

A request that never left (connection refused, a name that does not resolve, a TLS handshake
that failed, a proxy that does not resolve) is sent again after a pause of 100 ms doubling each
time (at most 5 s, up to half of it taken off at random), `maxRetries` times (default 2, 0 = off,
at most 10), and only while the operation's deadline leaves more than the pause. A certificate
or pin that does not verify, a timeout, an HTTP error and a refusal are never retried.

After the request may have been received (the connection closed or was reset without a whole
answer), only operations whose repetition the server already expects send it again:

| Operation | Sent again after "may have been received" | Why |
|---|---|---|
| check | no | no re-issue rule covers it; the host repeats it when it wants |
| registration | no | changes state (stores a session, issues a device key) |
| retrieve keys | yes | re-issued with exactly the same arguments (the same msgID) when its answer cannot be opened: the server expects it repeated |
| submit credential | no | changes state |
| fetch OTP | no | each request may send the user a new challenge, though it is re-issued when its answer cannot be opened |
| validate OTP | no | changes state; settle it with the OTP status poll |
| OTP status | no | no re-issue rule covers it; the host polls again |
| validate card | no | changes state |
| register card | no | changes state |
| web URL | yes | re-issued like key retrieval: the server expects it repeated |

Every outcome names its request: `Error::correlation` (C: `tavi_result_operation`,
`tavi_result_msg_id`, `tavi_result_txn_id`, `tavi_result_attempts`, `tavi_result_elapsed_ms`;
CLI: `"operation"`, `"msgId"`, `"txnId"`, `"attempts"`, `"elapsedMs"` beside `"error"`). A host
that logs these can find the exchange on the server by msgId. Faced with
`mayHaveBeenReceived`, it asks the server (the OTP status poll for an OTP validation) before
repeating a state-changing operation; with `notSent` it may repeat it.

## The journal of outcomes unknown under kill -9

Each state-changing request is recorded in the store (operation, msgId, txnId, time) before it
leaves and removed once its answer has been handled; a record that remains is an outcome the host
has to settle by msgId (docs/ERRORS.md). `flow_journal_test` checks it: a child process runs
registrations, credential submissions, OTP validations, card validations and card registrations
against the sandbox, which drops connections, resets answers mid-body, answers HTTP 500, HTML,
empty bodies, refusals and slow answers at random; the parent kills the child with SIGKILL at
random moments and starts it again on the same sealed SQLite store. Afterwards no msgId reached
the server twice, every operation that ended `mayHaveBeenReceived` is in the journal once, none
whose answer was handled is, and what else is there is at most one request in flight per kill.
A manual run of 1,000 operations
(`TAVI_JOURNAL_OPS=1000 build/tests/flow_journal_test --gtest_filter=JournalKillTest.*`):
1,001 operations, 114 kills, 216 records left (128 possibly received, 88 in flight at a kill),
0 duplicates. ctest runs 300.
)";

/// What becomes of the registered session under a kill, a full disk and a concurrent
/// registration; tested by flow_registration_test (SessionIntegrity) and store_crash_test.
constexpr const char* kSessionSurvival = R"(
## The registered session under kills, full disks and concurrent registrations

The registered session (taviId, imei1, imei2, appId, mobile, deviceId, pspId, taviKey) is written
by registration alone, in one store transaction, after the answer has been opened and both pspId
and taviKey recovered. With the SQLite store (the default):

| Event during a registration | What the host hears | What the store holds afterwards |
|---|---|---|
| the process is killed (SIGKILL, power loss) at any point | nothing (the process is gone) | the previous session or the new one, whole; never a mix, never one with values missing |
| refusal, HTTP error, dropped connection, undecodable answer, a key that never recovers | `onError` with that error | the previous session, value for value; `check` unchanged |
| the disk fills, or the store turns read-only or stays locked, before the answer is written | `onError`: `TaviClientError(9 storeUnavailable)` with the reason ("disk full", "read-only", "locked by another writer"), never "done" | the previous session |
| a key item cannot be kept while an answer is opened | nothing: the key parsed from its text opens the answer (no restart, no new SMS) | unchanged |
| another registration into the same store is running (thread or process) | this one waits for it, at most 30 s; then `storeUnavailable` "locked by another registration", nothing sent | the session of the last registration to finish, whole |
| no store was installed and the default one cannot be opened | `storeUnavailable` naming the path, the reason and the fix, from registration and every operation that needs the session | nothing is kept anywhere (no fallback to memory) |

The lock that serialises registrations is a `flock` on `<store>.lock`, which the kernel releases
when the process holding it dies. Tests: the CLI killed between the two exchanges of a
re-registration (15 kills, the previous session intact after each, then a registration that goes
through); two CLI processes registering at once (3 rounds); a 512 KiB tmpfs filled in a private
mount namespace while the answer is delayed; writers killed in the middle of value and session
writes (50 and 20 kills).

A store the host implements (`SecureStore`) cannot give all of this:

- **Atomic replacement** only if it overrides `replaceAll` with a real transaction. The default
  removes "taviKey" first, replaces the other seven values, and adds "taviKey" last: a failure or
  a kill part-way leaves the session incomplete (`check` answers false, operations report the
  missing value, the host registers again) and the previous session is lost, but it never looks
  complete while mixed.
- **Serialisation across processes**: the library serialises registrations on a host store only
  within one process.
- **Durability and the trust checks on files**: what survives a power loss, and who else can
  read or plant the backend's data, are the backend's own.
- **A precise reason**: the error says "disk full", "read-only" or "locked" only when the backend
  returns `KeychainStatus::diskFull`, `readOnly` or `locked`.
)";

std::string writeTable(const std::vector<Scenario>& scenarios,
                       const std::vector<std::array<std::string, kOps.size()>>& cells) {
    std::string md =
        "# Reliability: every operation under every fault\n\n"
        "<!-- Generated by flow_fault_matrix_test; do not edit by hand. Regenerate with\n"
        "     `ctest --test-dir build -R flow_fault_matrix` (or `make test`). -->\n\n"
        "Generated by the `flow_fault_matrix_test` run against the sandbox server. Each cell is "
        "what the host received, through exactly one callback on the calling thread. Faults "
        "aimed at one endpoint apply to that operation's endpoint (for registration, the "
        "sealed registration request). A stall is a 1.5 s server delay against a 300 ms "
        "timeout. \"after N requests\" marks bounded re-issues.\n\n"
        "Error values read `Domain(code detail)`: `TransportError` carries libcurl's code, "
        "`TaviClientError` the library's own (`retry limit`, `response too large`, …), "
        "`ApiServiceError(1 decodingError)` an answer that does not match its record, "
        "`ServerRefusal` the server's errorCode.\n\n";
    md += "| Fault |";
    for (Op op : kOps) md += std::string(" ") + infoOf(op).name + " |";
    md += "\n|---|";
    for (std::size_t i = 0; i < kOps.size(); ++i) md += "---|";
    md += "\n";
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
        md += std::string("| ") + scenarios[s].name + " |";
        for (const auto& cell : cells[s]) md += " " + cell + " |";
        md += "\n";
    }
    md += "\n" + std::to_string(scenarios.size()) + " faults x " + std::to_string(kOps.size()) +
          " operations = " + std::to_string(scenarios.size() * kOps.size()) + " cells.\n";
    md += kRetries;
    md += kSessionSurvival;
    return md;
}

TEST_F(FaultMatrixTest, EveryOperationUnderEveryFault) {
    // Columns: check, register, keys, credential, fetch OTP, validate OTP, status, card, register
    // card, web URL.
    const std::string wrongTypes =
        R"({"commonResponse":{"success":"true","reqMsgId":1,"symmetricKey":2,"errorCode":3,)"
        R"("errorReason":4},"encryptionKeyRetrievalResponsePayloadEnc":5,)"
        R"("fetchOtpCodeResponsePayloadEnc":6,"requestWebUrlResponsePayloadEnc":7,)"
        R"("userRegistrationResponsePayloadEnc":8,"bankNameMatchStatus":9,"txnStatus":10})";
    const std::vector<Scenario> scenarios = {
        {"connection refused (closed port)",
         [](FaultMatrixTest& t, const std::string&) {
             AppConstantTAVI::shared().serverURL = t.closedPortURL();
         },
         "FFFFFFFFFF"},
        pathFault("connection closed without an answer", Kind::dropConnection, "FFFFFFFFFF"),
        pathFault("connection reset mid-body", Kind::resetMidBody, "FFFFFFFFFF"),
        {"server stalls past the timeout",
         [](FaultMatrixTest& t, const std::string& path) {
             AppConstantTAVI::shared().timeoutMilliseconds = kShortTimeoutMs;
             t.fault(path, Kind::delay);
         },
         "FFFFFFFFFF"},
        pathFault("HTTP 500, answer intact", Kind::status, "SSSSSSSSSS", {}, 500),
        pathFault("HTTP 404, empty body", Kind::emptyBody, "FFFFFFFFFF", {}, 404),
        pathFault("HTTP 503, JSON error body", Kind::body, "FFFFFFFFFF",
                  R"({"errorCode":"UNAVAILABLE","errorReason":"try later"})", 503),
        pathFault("HTTP 502, HTML page", Kind::nonJson, "FFFFFFFFFF"),
        pathFault("empty body (200)", Kind::emptyBody, "FFFFFFFFFF"),
        pathFault("JSON of the wrong shape (array)", Kind::body, "FFFFFFFFFF", "[1,2,3]"),
        pathFault("success without the sealed payload", Kind::body, "SFFSFSFSSF",
                  R"({"commonResponse":{"success":true,"symmetricKey":"AAAA"}})"),
        pathFault("wrong types in every member", Kind::body, "FFFFFFFFFF", wrongTypes),
        pathFault("commonResponse not an object", Kind::body, "FFFFFFFFFF",
                  R"({"commonResponse":"ok"})"),
        pathFault("truncated body", Kind::body, "FFFFFFFFFF",
                  R"({"commonResponse":{"success":true,"symmetricKey":"AAAA)"),
        pathFault("oversized body (5 MiB)", Kind::oversized, "FFFFFFFFFF"),
        pathFault("refusal (success=false)", Kind::refusal, "RRRRRRRRRR"),
        pathFault("refusal without payload member", Kind::refusalNoPayload, "RRFRFRRRRF"),
        pathFault("response key with zero bytes", Kind::zeroByteKey, "S11S1SSSS1"),
        pathFault("response key wrapped with a wrong key", Kind::wrongKey, "SLLSLSSSSL"),
        pathFault("response key of 31 bytes", Kind::shortKey, "SLLSLSSSSL"),
        pathFault("payload decrypts to non-text", Kind::garbagePayload, "SFLSLSSSSF"),
        pathFault("payload decrypts to another record", Kind::undecodablePayload, "SFFSFSSSSF"),
        {"TLS: server CA not trusted",
         [](FaultMatrixTest& t, const std::string&) {
             AppConstantTAVI::shared().serverURL = t.tlsServer("127.0.0.1").url();
         },
         "FFFFFFFFFF"},
        {"TLS: certificate for another host",
         [](FaultMatrixTest& t, const std::string&) {
             auto& s = t.tlsServer("127.0.0.2");
             AppConstantTAVI::shared().serverURL = s.url();
             AppConstantTAVI::shared().caFile = s.caFile();
         },
         "FFFFFFFFFF"},
        {"TLS: expired certificate",
         [](FaultMatrixTest& t, const std::string&) {
             std::string ca;
             AppConstantTAVI::shared().serverURL = t.expiredCertificateURL(ca);
             AppConstantTAVI::shared().caFile = ca;
         },
         "FFFFFFFFFF"},
        {"TLS: public key pin mismatch",
         [](FaultMatrixTest& t, const std::string&) {
             auto& s = t.tlsServer("127.0.0.1");
             AppConstantTAVI::shared().serverURL = s.url();
             AppConstantTAVI::shared().caFile = s.caFile();
             AppConstantTAVI::shared().pinnedPublicKey =
                 "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
         },
         "FFFFFFFFFF"},
    };

    std::vector<std::array<std::string, kOps.size()>> cells(scenarios.size());
    for (std::size_t s = 0; s < scenarios.size(); ++s) {
        const Scenario& scenario = scenarios[s];
        ASSERT_EQ(std::string(scenario.expected).size(), kOps.size()) << scenario.name;
        for (std::size_t o = 0; o < kOps.size(); ++o) {
            const Op op = kOps[o];
            SCOPED_TRACE(std::string(scenario.name) + " / " + infoOf(op).name);
            heal();
            scenario.apply(*this, infoOf(op).path);
            const Outcome out = run(op);
            expectOutcome(op, scenario.expected[o], out);
            std::string cell = out.successes + out.failures == 1
                                   ? out.text
                                   : std::to_string(out.successes + out.failures) + " callbacks";
            if (out.requests > 1) cell += " after " + std::to_string(out.requests) + " requests";
            cells[s][o] = cell;
        }
    }
    heal();

    const std::string table = writeTable(scenarios, cells);
#ifdef TAVI_SOURCE_DIR
    if (!HasFailure()) {
        std::ofstream(std::string(TAVI_SOURCE_DIR) + "/docs/RELIABILITY.md") << table;
    }
#endif
    std::printf("%s", table.c_str());
}

}  // namespace
}  // namespace tavi::test
