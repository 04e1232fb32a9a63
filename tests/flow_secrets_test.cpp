// The whole flow of one transaction against the sandbox server, checked for one thing: no card
// number, CVV, expiry, account number, PIN or OTP ever travels or is logged in clear.
#include <gtest/gtest.h>

#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

constexpr const char* kTxnId = "TXN-SECRETS-1";
constexpr const char* kBic = "DEMOBIC01";
constexpr const char* kCard = "4111111111111111";
constexpr const char* kCvv = "737";
constexpr const char* kMonth = "08";
constexpr const char* kAccount = "000123456789";

bool isTokenChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=' || c == '_' || c == '-';
}

/// Whether `value` occurs in `text` as a whole token: not inside a longer run of base64, hex or
/// digits, where a short number could occur by chance.
bool containsToken(const std::string& text, const std::string& value) {
    for (auto at = text.find(value); at != std::string::npos; at = text.find(value, at + 1)) {
        const bool startsToken = at == 0 || !isTokenChar(text[at - 1]);
        const std::size_t end = at + value.size();
        const bool endsToken = end == text.size() || !isTokenChar(text[end]);
        if (startsToken && endsToken) return true;
    }
    return false;
}

class SecretsTest : public SandboxTest {};

TEST_F(SecretsTest, NoSecretTravelsOrIsLoggedInClearAnywhereInTheFlow) {
    auto& service = TaviApiService::shared();
    const std::string year = futureYear();
    const auto failOnError = [](const Error& e) { ADD_FAILURE() << e.description(); };
    const auto failOnRefusal = [](const std::optional<std::string>& code,
                                  const std::optional<std::string>& reason) {
        ADD_FAILURE() << code.value_or("nil") << " / " << reason.value_or("nil");
    };

    ASSERT_TRUE(registerDevice());

    std::optional<bool> registered;
    TaviUtils::getCheckDeviceRegistered("+15550100", [&](bool r) { registered = r; });
    EXPECT_EQ(registered, std::optional<bool>(true));

    std::string bankKi, publicKey, sessionKey;
    service.createRetrieveKeysRequest(
        "MSG-SECRETS", "FINANCIAL_TXN", kTxnId, kBic, "CARD",
        [&](const std::string& ki, const std::string& pub, const std::string& session,
            const std::string&, const std::string&) {
            bankKi = ki;
            publicKey = pub;
            sessionKey = session;
        },
        failOnError);
    ASSERT_FALSE(sessionKey.empty());

    bool pinAccepted = false;
    service.createCredentialSubmissionRequest(
        kTxnId, "FINANCIAL_TXN", "PIN", sandbox::kTestPin, bankKi, publicKey, sessionKey,
        [&](bool ok) { pinAccepted = ok; }, [](bool) { ADD_FAILURE() << "PIN refused"; });
    EXPECT_TRUE(pinAccepted);

    std::string referenceId, action;
    service.createFetchOtpChallengeRequest(
        "FINANCIAL_TXN", kTxnId, "CARD", kBic, sessionKey, std::nullopt,
        [&](const std::string& ref, const std::string&, const std::string&,
            const std::string& act) {
            referenceId = ref;
            action = act;
        },
        failOnRefusal);
    ASSERT_FALSE(referenceId.empty());

    bool otpAccepted = false;
    service.createValidateOtpRequest(
        kTxnId, "FINANCIAL_TXN", sandbox::kTestOtp, bankKi, publicKey, sessionKey, action, kBic,
        referenceId, [&](bool ok) { otpAccepted = ok; }, failOnRefusal);
    EXPECT_TRUE(otpAccepted);

    std::optional<std::string> match;
    service.validateCardNumAsync(
        sessionKey, bankKi, publicKey, kTxnId, kCard, kBic, "Demo Bank",
        [&](const ValidateCardNumResponse& r) { match = r.bankNameMatchStatus; }, failOnError);
    EXPECT_EQ(match, std::optional<std::string>("MATCH"));

    std::optional<bool> cardRegistered;
    service.registerCardDetailRequest(
        kTxnId, "REGISTER_CARD_ACC_DETAIL", kBic, std::string(kAccount), bankKi, sessionKey, kCard,
        kMonth, year, kCvv, publicKey,
        [&](bool ok, const std::string& code) {
            cardRegistered = ok;
            EXPECT_EQ(code, "");
        },
        failOnError);
    EXPECT_EQ(cardRegistered, std::optional<bool>(true));

    std::string refUrl;
    service.webUrlRequestAsync(
        "SECURE_PAGE_URL", kTxnId, "CARD", kBic, sessionKey,
        [&](const std::string& url) { refUrl = url; }, failOnError);
    EXPECT_FALSE(refUrl.empty());

    // Every secret, and the forms an expiry takes when month and year meet.
    const std::vector<std::string> secrets = {kCard,
                                              kCvv,
                                              kAccount,
                                              sandbox::kTestPin,
                                              sandbox::kTestOtp,
                                              year,
                                              kMonth + year,
                                              std::string(kMonth) + "/" + year,
                                              std::string(kMonth) + "/" + year.substr(2),
                                              kMonth + year.substr(2)};

    const auto requests = server().requests();
    EXPECT_GE(requests.size(), 9u);

    // Each secret did reach the bank, sealed; and the scan below recognises it in that form.
    std::string unsealed;
    for (const auto& r : requests)
        for (const auto& u : r.unsealed) unsealed += u + "\n";
    for (const auto& s : {std::string(kCard), std::string(kCvv), std::string(kAccount),
                          std::string(sandbox::kTestPin), std::string(sandbox::kTestOtp), year}) {
        EXPECT_TRUE(containsToken(unsealed, s)) << s << " was not sealed for the bank";
    }

    for (const auto& r : requests) {
        for (const auto& s : secrets) {
            EXPECT_FALSE(containsToken(r.body, s)) << s << " in the body sent to " << r.path;
            EXPECT_FALSE(containsToken(r.target, s)) << s << " in " << r.target;
        }
    }

    // Response header lines carry sizes, which may equal a short secret by chance.
    const std::regex contentLength(R"re("Content-Length": "\d+")re", std::regex::icase);
    for (const auto& rawLine : capture().lines()) {
        const std::string line = std::regex_replace(rawLine, contentLength, "");
        for (const auto& s : secrets) {
            EXPECT_FALSE(containsToken(line, s)) << s << " in the line: " << line;
        }
    }
}


// Every operation, with secrets no other test uses, against every kind of fault the sandbox has
// and against fuzzed answers: no secret appears in a diagnostic line, a trace event's attribute
// or an error's text, whatever the server answers.
TEST_F(SecretsTest, NoCanarySecretReachesALineATraceEventOrAnErrorUnderFaults) {
    constexpr const char* kCanaryPin = "582947";
    constexpr const char* kCanaryOtp = "736184";
    constexpr const char* kCanaryCard = "4012888888881881";
    constexpr const char* kCanaryCvv = "629";
    constexpr const char* kCanaryMonth = "11";
    constexpr const char* kCanaryAccount = "8093716254";
    constexpr const char* kTxn = "TXN-CANARY-1";
    const std::string year = futureYear();
    auto& service = TaviApiService::shared();
    auto& config = AppConstantTAVI::shared();

    std::mutex mutex;
    std::string heard;  // every trace attribute and every error text, one per line
    const auto hear = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex);
        heard += text + "\n";
    };
    int events = 0;
    config.traceHook = [&](const TraceEvent& event) {
        std::lock_guard<std::mutex> lock(mutex);
        ++events;
        for (const auto& a : event.attributes) {
            heard += std::string(a.key) + "=" +
                     (a.isNumber ? std::to_string(a.number) : std::string(a.text)) + "\n";
        }
    };
    struct Unhook {
        AppConstantTAVI& config;
        int maxRetries = config.maxRetries;
        ~Unhook() {
            config.traceHook = nullptr;
            config.maxRetries = maxRetries;
        }
    } unhook{config};

    ASSERT_TRUE(registerDevice());
    ASSERT_TRUE(retrieveTransactionKeys(kTxn, "MSG-CANARY", kBic, "CARD"));
    // Faults that hold an answer back end sooner; a retry still happens.
    config.timeoutMilliseconds = 5000;
    config.maxRetries = 1;

    const auto onError = [&](const Error& e) { hear(e.description()); };
    const auto onRefusal = [&](const std::optional<std::string>& code,
                               const std::optional<std::string>& reason) {
        hear(code.value_or("") + " / " + reason.value_or(""));
    };
    const auto everyOperation = [&] {
        service.createRetrieveKeysRequest(
            "MSG-CANARY", "FINANCIAL_TXN", kTxn, kBic, "CARD",
            [](const std::string&, const std::string&, const std::string&, const std::string&,
               const std::string&) {},
            onError);
        service.createCredentialSubmissionRequest(kTxn, "FINANCIAL_TXN", "PIN", kCanaryPin,
                                                  bankKi_, publicKey_, sessionKey_, [](bool) {},
                                                  [](bool) {});
        service.createFetchOtpChallengeRequest(
            "FINANCIAL_TXN", kTxn, "CARD", kBic, sessionKey_, std::nullopt,
            [](const std::string&, const std::string&, const std::string&, const std::string&) {},
            onRefusal);
        service.createValidateOtpRequest(kTxn, "FINANCIAL_TXN", kCanaryOtp, bankKi_, publicKey_,
                                         sessionKey_, "VERIFY", kBic, "REF-CANARY", [](bool) {},
                                         onRefusal);
        service.validateCardNumAsync(sessionKey_, bankKi_, publicKey_, kTxn, kCanaryCard, kBic,
                                     "Demo Bank", [](const ValidateCardNumResponse&) {}, onError);
        service.registerCardDetailRequest(
            kTxn, "REGISTER_CARD_ACC_DETAIL", kBic, std::string(kCanaryAccount), bankKi_,
            sessionKey_, kCanaryCard, kCanaryMonth, year, kCanaryCvv, publicKey_,
            [&](bool, const std::string& code) { hear(code); }, onError);
        service.webUrlRequestAsync("SECURE_PAGE_URL", kTxn, "CARD", kBic, sessionKey_,
                                   [](const std::string&) {}, onError);
        service.checkOtpStatus(kTxn, [&](const std::string& status) { hear(status); });
        TaviUtils::getCheckDeviceRegistered("+15550100", [](bool) {});
    };

    using Kind = sandbox::Fault::Kind;
    std::vector<sandbox::Fault> faults;
    for (const Kind kind :
         {Kind::status, Kind::body, Kind::emptyBody, Kind::nonJson, Kind::delay,
          Kind::dropConnection, Kind::resetMidBody, Kind::oversized, Kind::refusal,
          Kind::refusalNoPayload, Kind::zeroByteKey, Kind::wrongKey, Kind::shortKey,
          Kind::garbagePayload, Kind::undecodablePayload}) {
        sandbox::Fault f;
        f.kind = kind;
        f.status = kind == Kind::status ? 500 : 0;
        f.body = R"({"commonResponse":{"success":true},"x":"\u001b[31m\n"})";
        f.delayMs = 20;
        f.size = 5u << 20;  // above the cap
        f.errorCode = "E-CANARY";
        f.errorReason = "refused\r\nagain";
        faults.push_back(f);
    }
    // Fuzzed answers: JSON-like texts with random bytes where values go, at random statuses.
    std::mt19937 random(20261208);
    const std::vector<std::string> shapes = {
        R"({"commonResponse":{"success":false,"errorCode":"@","errorReason":"@"}})",
        R"({"commonResponse":{"success":true,"symmetricKey":"@"},"payloadEnc":"@"})",
        R"({"commonResponse":@,"otpStatus":"@"})", "@", R"([{"@":"@"}])"};
    for (int i = 0; i < 12; ++i) {
        std::string body;
        for (char c : shapes[static_cast<std::size_t>(i) % shapes.size()]) {
            if (c != '@') {
                body += c;
                continue;
            }
            const int n = static_cast<int>(random() % 24);
            for (int k = 0; k < n; ++k) body += static_cast<char>(random() % 256);
        }
        sandbox::Fault f;
        f.kind = Kind::body;
        f.body = body;
        f.status = std::array<int, 4>{200, 200, 400, 503}[static_cast<std::size_t>(i) % 4];
        faults.push_back(f);
    }

    for (const auto& f : faults) {
        server().clearFaults();
        server().addFault(f);
        everyOperation();
    }
    server().clearFaults();
    EXPECT_GT(events, 0) << "the trace hook heard nothing";

    const std::vector<std::string> canaries = {kCanaryPin,
                                               kCanaryOtp,
                                               kCanaryCard,
                                               kCanaryCvv,
                                               kCanaryAccount,
                                               std::string(kCanaryMonth) + year,
                                               std::string(kCanaryMonth) + "/" + year,
                                               std::string(kCanaryMonth) + year.substr(2),
                                               std::string(kCanaryMonth) + "/" + year.substr(2)};
    // Sealed payloads and sizes are runs of base64, hex or digits: a secret counts as a token.
    const std::regex contentLength(R"re("Content-Length": "\d+")re", std::regex::icase);
    const std::string lines = std::regex_replace(capture().joined(), contentLength, "");
    for (const auto& c : canaries) {
        EXPECT_FALSE(containsToken(lines, c)) << c << " in a diagnostic line";
        EXPECT_FALSE(containsToken(heard, c)) << c << " in a trace event or an error";
    }
}

}  // namespace
}  // namespace tavi::test
