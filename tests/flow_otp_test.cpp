// OTP challenge fetch and OTP validation against the sandbox server: what the payloads carry, the
// order in which the host receives the challenge, which failures surface as the server's refusal
// and which as "Exception Occured", the bounded re-issue, and the OTP reaching the bank sealed.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Json = nlohmann::ordered_json;
using Kind = sandbox::Fault::Kind;

constexpr const char* kFetchPath = "/kora-core/tavi-sdk/urn:apiver:1.0/fetch-otp-challenge-code";
constexpr const char* kValidatePath = "/kora-core/tavi-sdk/urn:apiver:1.0/validate-otp-api";
constexpr const char* kTxnId = "TXN-OTP-1";
constexpr const char* kBic = "DEMOBIC01";
constexpr const char* kException = "Exception Occured";

using OptText = std::optional<std::string>;

struct FetchOutcome {
    int successes = 0;
    int failures = 0;
    std::string referenceId, otpChallengeCode, otpExpiry, action;
    OptText errorCode, errorReason;
};

struct ValidateOutcome {
    int successes = 0;
    int failures = 0;
    bool value = false;
    OptText errorCode, errorReason;
};

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

bool isUpperUuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

class OtpTest : public SandboxTest {
  protected:
    FetchOutcome fetch(const OptText& action, const std::string& txnId = kTxnId,
                       const std::string& sessionKey = "unused-session-key") {
        FetchOutcome out;
        TaviApiService::shared().createFetchOtpChallengeRequest(
            "FINANCIAL_TXN", txnId, "CARD", kBic, sessionKey, action,
            [&](const std::string& referenceId, const std::string& code, const std::string& expiry,
                const std::string& act) {
                ++out.successes;
                out.referenceId = referenceId;
                out.otpChallengeCode = code;
                out.otpExpiry = expiry;
                out.action = act;
            },
            [&](const OptText& code, const OptText& reason) {
                ++out.failures;
                out.errorCode = code;
                out.errorReason = reason;
            });
        return out;
    }

    void expectException(const FetchOutcome& out) {
        EXPECT_EQ(out.successes, 0);
        EXPECT_EQ(out.failures, 1);
        EXPECT_EQ(out.errorCode, OptText(kException));
        EXPECT_EQ(out.errorReason, OptText(kException));
    }

    /// Retrieves the transaction's keys (registering first).
    void openTransaction(const std::string& txnId = kTxnId) {
        ASSERT_TRUE(registerDevice());
        ASSERT_TRUE(retrieveTransactionKeys(txnId, "MSG-OTP", kBic, "CARD"));
    }

    ValidateOutcome validate(const std::string& otp, const std::string& referenceId,
                             const std::string& action, const OptText& publicKey = std::nullopt) {
        ValidateOutcome out;
        TaviApiService::shared().createValidateOtpRequest(
            kTxnId, "FINANCIAL_TXN", otp, bankKi_, publicKey.value_or(publicKey_), sessionKey_,
            action, kBic, referenceId,
            [&](bool b) {
                ++out.successes;
                out.value = b;
            },
            [&](const OptText& code, const OptText& reason) {
                ++out.failures;
                out.errorCode = code;
                out.errorReason = reason;
            });
        return out;
    }

    std::string pollStatus(const std::string& txnId = kTxnId) {
        std::string word;
        TaviApiService::shared().checkOtpStatus(txnId, [&](const std::string& s) { word = s; });
        return word;
    }

    /// The decrypted answer payload the operation wrote as a line (its line breaks escaped).
    std::optional<Json> decryptedAnswerLine() {
        for (auto line : capture().lines()) {
            for (auto at = line.find("\\n"); at != std::string::npos; at = line.find("\\n", at))
                line.replace(at, 2, "\n");
            auto j = Json::parse(line, nullptr, false);
            if (!j.is_discarded() && j.is_object() && j.contains("otpChallengeCode")) return j;
        }
        return std::nullopt;
    }
};

// ---- OTP challenge fetch ----------------------------------------------------------------------

TEST_F(OtpTest, FetchSendsTheChallengeRequestAndHandsOverTheAnswerInOrder) {
    ASSERT_TRUE(registerDevice());
    capture().clear();

    const auto out = fetch(std::nullopt);
    ASSERT_EQ(out.successes, 1);
    EXPECT_EQ(out.failures, 0);

    const auto sent = requestsTo(kFetchPath);
    ASSERT_EQ(sent.size(), 1u);
    const Json body = Json::parse(sent[0].body);
    const Json& header = body["commonRequest"];
    EXPECT_TRUE(isUpperUuid(header["msgId"].get<std::string>())) << header["msgId"];
    EXPECT_EQ(header["transactionType"], "FINANCIAL_TXN");
    EXPECT_EQ(header["txnId"], kTxnId);

    ASSERT_TRUE(sent[0].decryptedPayload);
    const Json payload = Json::parse(*sent[0].decryptedPayload);
    EXPECT_EQ(keysOf(payload),
              (std::vector<std::string>{"action", "paymentInstrument", "deviceInfo"}));
    EXPECT_EQ(payload["action"], "PURCHASE");
    EXPECT_EQ(payload["paymentInstrument"].dump(),
              Json({{"paymentInstrumentType", "CARD"}, {"bic", kBic}}).dump());
    EXPECT_EQ(payload["deviceInfo"]["deviceId"],
              KeychainManager::getPreference(SessionManager::deviceId).value_or("?"));
    EXPECT_EQ(payload["deviceInfo"]["pspIdentifier"],
              KeychainManager::getPreference(SessionManager::pspId).value_or("?"));

    // The host receives referenceId, otpChallengeCode, otpExpiry, action: challenge code second
    // and expiry third, whatever their order in the answer.
    const auto answer = decryptedAnswerLine();
    ASSERT_TRUE(answer);
    EXPECT_EQ(out.referenceId, (*answer)["referenceId"]);
    EXPECT_EQ(out.otpChallengeCode, (*answer)["otpChallengeCode"]);
    EXPECT_EQ(out.otpExpiry, (*answer)["otpExpiry"]);
    EXPECT_EQ(out.action, "PURCHASE");
    EXPECT_NE(out.otpChallengeCode, out.otpExpiry);

    // Lines of its own: the payload record and the encrypted length; no DeviceInfo of its own.
    const auto lines = capture().lines();
    std::size_t payloadLine = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_NE(lines[i], "deviceInfo");
        if (lines[i].rfind("OtpFetchRetrievalPayload(", 0) == 0) payloadLine = i;
    }
    ASSERT_LT(payloadLine + 1, lines.size());
    EXPECT_EQ(lines[payloadLine + 1].rfind("Optional(", 0), 0u) << lines[payloadLine + 1];
    EXPECT_NE(lines[payloadLine + 1].find(" bytes)"), std::string::npos);
}

TEST_F(OtpTest, FetchSendsAnEmptyActionAsGiven) {
    ASSERT_TRUE(registerDevice());
    const auto out = fetch(std::string());
    ASSERT_EQ(out.successes, 1);
    EXPECT_EQ(out.action, "");
    const auto sent = requestsTo(kFetchPath);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_TRUE(sent[0].decryptedPayload);
    EXPECT_EQ(Json::parse(*sent[0].decryptedPayload)["action"], "");
}

TEST_F(OtpTest, FetchReportsTheServersRefusalWithItsCodeAndReason) {
    ASSERT_TRUE(registerDevice());

    sandbox::Fault refusal;
    refusal.path = kFetchPath;
    refusal.kind = Kind::refusal;
    refusal.errorCode = "OTP_LIMIT";
    refusal.errorReason = "too many challenges";
    refusal.times = 1;
    server().addFault(refusal);
    auto out = fetch(std::nullopt);
    EXPECT_EQ(out.successes, 0);
    EXPECT_EQ(out.failures, 1);
    EXPECT_EQ(out.errorCode, OptText("OTP_LIMIT"));
    EXPECT_EQ(out.errorReason, OptText("too many challenges"));

    // A refusal without code or reason: two absent values, not "Exception Occured".
    sandbox::Fault bare;
    bare.path = kFetchPath;
    bare.kind = Kind::body;
    bare.body = R"({"commonResponse":{"success":false},"fetchOtpCodeResponsePayloadEnc":""})";
    bare.times = 1;
    server().addFault(bare);
    out = fetch(std::nullopt);
    EXPECT_EQ(out.failures, 1);
    EXPECT_EQ(out.errorCode, std::nullopt);
    EXPECT_EQ(out.errorReason, std::nullopt);

    // The sandbox's own refusal for a device it does not know.
    KeychainManager::deletePreference(SessionManager::taviId);
    KeychainManager::savePreference("UNKNOWN-TAVI-ID", SessionManager::taviId);
    out = fetch(std::nullopt);
    EXPECT_EQ(out.failures, 1);
    EXPECT_EQ(out.errorCode, OptText("NOT_REGISTERED"));
}

TEST_F(OtpTest, FetchReportsEveryOtherFailureAsExceptionOccured) {
    ASSERT_TRUE(registerDevice());
    struct Case {
        const char* name;
        Kind kind;
        std::string body;
        std::size_t requests;
    };
    const std::vector<Case> cases = {
        {"refusal without the payload key", Kind::refusalNoPayload, "", 1},
        {"dropped connection", Kind::dropConnection, "", 1},
        {"not JSON", Kind::nonJson, "", 1},
        {"success missing", Kind::body,
         R"({"commonResponse":{},"fetchOtpCodeResponsePayloadEnc":""})", 1},
        {"no symmetricKey", Kind::body,
         R"({"commonResponse":{"success":true},"fetchOtpCodeResponsePayloadEnc":"AAAA"})", 1},
        {"payload of another shape", Kind::undecodablePayload, "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server().clearRequests();
        sandbox::Fault fault;
        fault.path = kFetchPath;
        fault.kind = c.kind;
        fault.body = c.body;
        fault.times = 1;
        server().addFault(fault);
        expectException(fetch(std::nullopt));
        EXPECT_EQ(requestsTo(kFetchPath).size(), c.requests);
        server().clearFaults();
    }
}

TEST_F(OtpTest, FetchWithoutARegisteredSessionSendsNothing) {
    expectException(fetch(std::nullopt));
    EXPECT_TRUE(requestsTo(kFetchPath).empty());
}

TEST_F(OtpTest, FetchReissuesWithTheSameArgumentsAndGivesUpAfterThreeAttempts) {
    ASSERT_TRUE(registerDevice());

    // One unreadable key: the re-issue answers the host.
    sandbox::Fault once;
    once.path = kFetchPath;
    once.kind = Kind::shortKey;
    once.times = 1;
    server().addFault(once);
    auto out = fetch(std::nullopt);
    EXPECT_EQ(out.successes, 1);
    EXPECT_EQ(out.failures, 0);
    EXPECT_EQ(requestsTo(kFetchPath).size(), 2u);

    // Never readable: three requests in all, then "Exception Occured".
    server().clearRequests();
    sandbox::Fault always;
    always.path = kFetchPath;
    always.kind = Kind::shortKey;
    always.times = -1;
    server().addFault(always);
    expectException(fetch(std::nullopt));
    const auto sent = requestsTo(kFetchPath);
    ASSERT_EQ(sent.size(), 3u);
    std::vector<std::string> msgIds, symmetricKeys;
    for (const auto& r : sent) {
        const Json header = Json::parse(r.body)["commonRequest"];
        EXPECT_EQ(header["txnId"], kTxnId);
        EXPECT_EQ(header["transactionType"], "FINANCIAL_TXN");
        msgIds.push_back(header["msgId"]);
        symmetricKeys.push_back(header["symmetricKey"]);
        ASSERT_TRUE(r.decryptedPayload);
        EXPECT_EQ(Json::parse(*r.decryptedPayload)["action"], "PURCHASE");
    }
    EXPECT_NE(msgIds[0], msgIds[1]);
    EXPECT_NE(symmetricKeys[0], symmetricKeys[1]);
}

// ---- OTP validation ---------------------------------------------------------------------------

TEST_F(OtpTest, TheTestOtpVerifiesTheTransactionAndReachesTheBankSealed) {
    openTransaction();
    const auto challenge = fetch(std::nullopt);
    ASSERT_EQ(challenge.successes, 1);
    EXPECT_EQ(pollStatus(), "retry");
    capture().clear();

    const auto out = validate(sandbox::kTestOtp, challenge.referenceId, challenge.action);
    EXPECT_EQ(out.successes, 1);
    EXPECT_EQ(out.failures, 0);
    EXPECT_TRUE(out.value);
    EXPECT_EQ(pollStatus(), "stop");

    const auto sent = requestsTo(kValidatePath);
    ASSERT_EQ(sent.size(), 1u);
    const Json body = Json::parse(sent[0].body);
    EXPECT_EQ(keysOf(body),
              (std::vector<std::string>{"commonRequest", "validateOtpApiPayloadEnc"}));
    EXPECT_EQ(body["commonRequest"]["txnId"], kTxnId);
    EXPECT_EQ(body["commonRequest"]["transactionType"], "FINANCIAL_TXN");

    ASSERT_TRUE(sent[0].decryptedPayload);
    const Json payload = Json::parse(*sent[0].decryptedPayload);
    EXPECT_EQ(keysOf(payload),
              (std::vector<std::string>{"bic", "referenceId", "otp", "action", "deviceInfo"}));
    EXPECT_EQ(payload["bic"], kBic);
    EXPECT_EQ(payload["referenceId"], challenge.referenceId);
    EXPECT_EQ(payload["action"], challenge.action);
    EXPECT_EQ(payload["deviceInfo"]["deviceId"],
              KeychainManager::getPreference(SessionManager::deviceId).value_or("?"));
    const std::string otp = payload["otp"];
    EXPECT_EQ(otp.rfind(bankKi_ + ":", 0), 0u) << otp;
    EXPECT_EQ(otp.find(sandbox::kTestOtp), std::string::npos);
    ASSERT_EQ(sent[0].unsealed.size(), 1u);
    EXPECT_EQ(sent[0].unsealed[0].rfind(std::string(kTxnId) + "|" + sandbox::kTestOtp + "|", 0),
              0u);

    EXPECT_EQ(capture().joined().find(sandbox::kTestOtp), std::string::npos);
}

TEST_F(OtpTest, AWrongOtpIsRefusedWithTheServersCodeAndReason) {
    openTransaction();
    const auto challenge = fetch(std::nullopt);
    ASSERT_EQ(challenge.successes, 1);

    const auto out = validate("654321", challenge.referenceId, challenge.action);
    EXPECT_EQ(out.successes, 0);
    EXPECT_EQ(out.failures, 1);
    EXPECT_EQ(out.errorCode, OptText("OTP_MISMATCH"));
    EXPECT_EQ(out.errorReason, OptText("the OTP does not match the challenge"));
    EXPECT_EQ(pollStatus(), "retry");
}

TEST_F(OtpTest, ValidationReadsTheVerdictFromTheHeaderAlone) {
    openTransaction();
    struct Case {
        const char* name;
        Kind kind;
        std::string body;
        int successes;
        OptText errorCode;
        OptText errorReason;
    };
    const OptText ex(kException);
    const std::vector<Case> cases = {
        {"accepted without a payload", Kind::body, R"({"commonResponse":{"success":true}})", 1,
         std::nullopt, std::nullopt},
        {"refused without code or reason", Kind::body, R"({"commonResponse":{"success":false}})", 0,
         std::nullopt, std::nullopt},
        {"no commonResponse at all", Kind::body, "{}", 0, ex, ex},
        {"success not a boolean", Kind::body, R"({"commonResponse":{"success":"yes"}})", 0, ex, ex},
        {"not JSON", Kind::nonJson, "", 0, ex, ex},
        {"dropped connection", Kind::dropConnection, "", 0, ex, ex},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sandbox::Fault fault;
        fault.path = kValidatePath;
        fault.kind = c.kind;
        fault.body = c.body;
        fault.times = 1;
        server().addFault(fault);
        const auto out = validate(sandbox::kTestOtp, "REF-ANY", "PURCHASE");
        EXPECT_EQ(out.successes, c.successes);
        EXPECT_EQ(out.failures, 1 - c.successes);
        if (c.successes == 1) {
            EXPECT_TRUE(out.value);
        }
        EXPECT_EQ(out.errorCode, c.errorCode);
        EXPECT_EQ(out.errorReason, c.errorReason);
        server().clearFaults();
    }
}

TEST_F(OtpTest, AnUnusableBankKeySendsNothing) {
    openTransaction();
    const auto out = validate(sandbox::kTestOtp, "REF-ANY", "PURCHASE", "not a bank key");
    EXPECT_EQ(out.successes, 0);
    EXPECT_EQ(out.failures, 1);
    EXPECT_EQ(out.errorCode, OptText(kException));
    EXPECT_EQ(out.errorReason, OptText(kException));
    EXPECT_TRUE(requestsTo(kValidatePath).empty());
}

}  // namespace
}  // namespace tavi::test
