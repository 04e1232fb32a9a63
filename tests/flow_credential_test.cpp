// Credential submission against the sandbox server: the credential reaches the bank sealed, the
// verdict reaches the host as a yes or a no, and the credential never shows in clear.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Json = nlohmann::json;
using Kind = sandbox::Fault::Kind;

constexpr const char* kPath = "/kora-core/tavi-sdk/urn:apiver:1.0/authorize";
constexpr const char* kTxnId = "TXN-CRED-1";

struct Verdict {
    int successes = 0;
    int failures = 0;
    bool value = false;
    int callbacks() const { return successes + failures; }
};

class CredentialTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        ASSERT_TRUE(retrieveTransactionKeys(kTxnId, "MSG-CRED", "BANKXX01", "ACCOUNT"));
        server().clearRequests();
        capture().clear();
    }

    Verdict submit(const std::string& pin, std::optional<std::string> publicKey = std::nullopt,
                   std::optional<std::string> sessionKey = std::nullopt) {
        Verdict v;
        TaviApiService::shared().createCredentialSubmissionRequest(
            kTxnId, "FINANCIAL_TXN", "PIN", pin, bankKi_, publicKey.value_or(publicKey_),
            sessionKey.value_or(sessionKey_),
            [&](bool b) {
                ++v.successes;
                v.value = b;
            },
            [&](bool b) {
                ++v.failures;
                v.value = b;
            });
        return v;
    }
};

TEST_F(CredentialTest, TestPinIsAcceptedAndReachesTheBankSealed) {
    auto v = submit(sandbox::kTestPin);
    EXPECT_EQ(v.successes, 1);
    EXPECT_EQ(v.failures, 0);
    EXPECT_TRUE(v.value);

    auto sent = requestsTo(kPath);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].unsealed.size(), 1u);
    const std::string prefix = std::string(kTxnId) + "|" + sandbox::kTestPin + "|";
    const std::string& unsealed = sent[0].unsealed[0];
    ASSERT_EQ(unsealed.rfind(prefix, 0), 0u) << unsealed;
    const double r = std::stod(unsealed.substr(prefix.size()));
    EXPECT_GE(r, 0.0);
    EXPECT_LT(r, 1.0);

    auto header = Json::parse(sent[0].body).at("commonRequest");
    EXPECT_EQ(header.at("txnId"), kTxnId);
    EXPECT_EQ(header.at("transactionType"), "FINANCIAL_TXN");
    EXPECT_EQ(header.at("msgId").get<std::string>().size(), 36u);
    ASSERT_TRUE(sent[0].decryptedPayload);
    auto cred = Json::parse(*sent[0].decryptedPayload).at("authorizePINCred");
    EXPECT_EQ(cred.at("credType"), "PIN");
    EXPECT_EQ(cred.at("credValue").get<std::string>().rfind(bankKi_ + ":", 0), 0u);
}

TEST_F(CredentialTest, CredentialNeverAppearsInClear) {
    // A long credential cannot occur in base64 or UUID text by chance.
    const std::string pin = "9081726354";
    auto first = submit(pin);
    auto second = submit(pin);
    EXPECT_EQ(first.failures, 1);
    EXPECT_FALSE(first.value);
    EXPECT_EQ(second.callbacks(), 1);

    auto sent = requestsTo(kPath);
    ASSERT_EQ(sent.size(), 2u);
    for (const auto& r : sent) {
        EXPECT_EQ(r.body.find(pin), std::string::npos);
        ASSERT_TRUE(r.decryptedPayload);
        EXPECT_EQ(r.decryptedPayload->find(pin), std::string::npos);
    }
    EXPECT_EQ(capture().joined().find(pin), std::string::npos);
    // The operation writes no lines of its own about the payload.
    EXPECT_EQ(capture().joined().find("CredentialSubmissionPayload"), std::string::npos);

    auto a = Json::parse(sent[0].body), b = Json::parse(sent[1].body);
    EXPECT_NE(a["commonRequest"]["msgId"], b["commonRequest"]["msgId"]);
    EXPECT_NE(a["commonRequest"]["symmetricKey"], b["commonRequest"]["symmetricKey"]);
    EXPECT_NE(a["credentialSubmissionPayloadEnc"], b["credentialSubmissionPayloadEnc"]);
}

TEST_F(CredentialTest, StoredServerKeyIsNotNeeded) {
    KeychainManager::deletePreference("taviKey");
    auto v = submit(sandbox::kTestPin);
    EXPECT_EQ(v.successes, 1);
    EXPECT_EQ(requestsTo(kPath).size(), 1u);
}

TEST_F(CredentialTest, UnusableKeysSendNothing) {
    auto badBank = submit(sandbox::kTestPin, std::string("bm90IGEga2V5"));
    EXPECT_EQ(badBank.failures, 1);
    EXPECT_EQ(badBank.successes, 0);
    auto badSession = submit(sandbox::kTestPin, std::nullopt, std::string("bm90IGEga2V5"));
    EXPECT_EQ(badSession.failures, 1);
    EXPECT_EQ(badSession.successes, 0);
    EXPECT_TRUE(requestsTo(kPath).empty());
}

TEST_F(CredentialTest, VerdictFollowsTheHeaderOnly) {
    struct Case {
        const char* name;
        Kind kind;
        int status;
        std::string body;
        bool accepted;
    };
    const Case cases[] = {
        {"empty body", Kind::emptyBody, 0, "", false},
        {"not JSON", Kind::nonJson, 0, "", false},
        {"refusal", Kind::refusal, 0, "", false},
        {"no header", Kind::body, 200, R"({"success":true})", false},
        {"success as text", Kind::body, 200, R"({"commonResponse":{"success":"true"}})", false},
        {"success false", Kind::body, 200, R"({"commonResponse":{"success":false}})", false},
        {"500 with success", Kind::body, 500, R"({"commonResponse":{"success":true}})", true},
        {"success with errorCode", Kind::body, 200,
         R"({"commonResponse":{"success":true,"errorCode":"E1"}})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server().clearFaults();
        sandbox::Fault f;
        f.path = kPath;
        f.kind = c.kind;
        f.status = c.status;
        f.body = c.body;
        server().addFault(f);
        auto v = submit(sandbox::kTestPin);
        EXPECT_EQ(v.callbacks(), 1);
        EXPECT_EQ(v.successes, c.accepted ? 1 : 0);
        EXPECT_EQ(v.value, c.accepted);
    }
}

TEST_F(CredentialTest, TransportFailureIsANo) {
    sandbox::Server closed;
    ASSERT_TRUE(closed.start()) << closed.lastError();
    const std::string url = closed.url();
    closed.stop();
    AppConstantTAVI::shared().serverURL = url;
    auto v = submit(sandbox::kTestPin);
    EXPECT_EQ(v.failures, 1);
    EXPECT_EQ(v.successes, 0);
    EXPECT_FALSE(v.value);
}

}  // namespace
}  // namespace tavi::test
