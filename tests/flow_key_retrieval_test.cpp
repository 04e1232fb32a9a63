// Key retrieval against the sandbox server: what travels, what the host receives, and how the
// operation ends when the answer is refused, malformed or cannot be opened.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Json = nlohmann::json;
using Kind = sandbox::Fault::Kind;

constexpr const char* kPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";

struct Keys {
    std::string bankKi, publicKey, sessionKey, txnId, rule;
};

struct Outcome {
    int callbacks = 0;
    std::optional<Keys> keys;
    std::optional<Error> error;
};

bool isStandardBase64(const std::string& text) {
    if (text.empty() || text.size() % 4 != 0) return false;
    const auto pad = text.find('=');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool alpha = std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
        if (i < pad ? !alpha : c != '=') return false;
    }
    return text.size() - std::min(pad, text.size()) <= 2;
}

class KeyRetrievalTest : public SandboxTest {
  protected:
    Outcome retrieve(const std::string& msgId = "MSG-1", const std::string& txnId = "TXN-42") {
        Outcome out;
        TaviApiService::shared().createRetrieveKeysRequest(
            msgId, "FINANCIAL_TXN", txnId, "BANKXX01", "ACCOUNT",
            [&](const std::string& bankKi, const std::string& publicKey,
                const std::string& sessionKey, const std::string& txn, const std::string& rule) {
                ++out.callbacks;
                out.keys = Keys{bankKi, publicKey, sessionKey, txn, rule};
            },
            [&](const Error& e) {
                ++out.callbacks;
                out.error = e;
            });
        return out;
    }

    void fault(Kind kind, int times = -1) {
        sandbox::Fault f;
        f.path = kPath;
        f.kind = kind;
        f.times = times;
        server().addFault(f);
    }

    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        server().clearRequests();
        capture().clear();
    }
};

TEST_F(KeyRetrievalTest, DeliversKeysAndSendsWhatTheServerCanOpen) {
    auto out = retrieve("MSG-1", "TXN-42");
    ASSERT_EQ(out.callbacks, 1);
    ASSERT_TRUE(out.keys) << out.error->description();
    EXPECT_FALSE(out.keys->bankKi.empty());
    EXPECT_FALSE(out.keys->publicKey.empty());
    EXPECT_FALSE(out.keys->sessionKey.empty());
    EXPECT_EQ(out.keys->txnId, "TXN-42");

    auto sent = requestsTo(kPath);
    ASSERT_EQ(sent.size(), 1u);
    auto body = Json::parse(sent[0].body);
    const auto& header = body.at("commonRequest");
    EXPECT_EQ(header.at("msgId"), "MSG-1");
    EXPECT_EQ(header.at("transactionType"), "FINANCIAL_TXN");
    EXPECT_EQ(header.at("txnId"), "TXN-42");
    EXPECT_TRUE(isStandardBase64(header.at("symmetricKey").get<std::string>()));
    const auto enc = body.at("credentialKeysRetrievalPayloadEnc").get<std::string>();
    EXPECT_EQ(enc.find_first_of("+/"), std::string::npos);

    ASSERT_TRUE(sent[0].decryptedPayload);
    auto payload = Json::parse(*sent[0].decryptedPayload);
    EXPECT_EQ(payload.at("paymentInstrument"),
              Json({{"paymentInstrumentType", "ACCOUNT"}, {"bic", "BANKXX01"}}));
    const auto& device = payload.at("deviceInfo");
    EXPECT_EQ(device.at("deviceId"), *KeychainManager::getPreference("deviceId"));
    EXPECT_EQ(device.at("appId"), *KeychainManager::getPreference("appId"));
    EXPECT_EQ(device.at("mobileNo"), "+15550100");
    EXPECT_EQ(device.at("pspIdentifier"), *KeychainManager::getPreference("pspId"));
    EXPECT_EQ(payload.at("resetCredentialCall"), false);
    EXPECT_TRUE(payload.at("startDateTime").is_number_integer());

    // The operation's own lines, in order, ahead of the pipeline's.
    auto lines = capture().lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "deviceInfo");
    EXPECT_EQ(lines[1].rfind("DeviceInfo(deviceId: \"", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("CredentialKeysRetrievalPayload(paymentInstrument: ", 0), 0u);
    EXPECT_EQ(lines[3].rfind("Optional(", 0), 0u) << lines[3];
    EXPECT_EQ(lines[4], std::to_string(sent[0].body.size()) + " bytes");
    EXPECT_NE(capture().joined().find("RetrievalKeyResponsePayload(sessionKey: "),
              std::string::npos);
}

TEST_F(KeyRetrievalTest, AbsentSessionEntriesTravelAsEmptyTexts) {
    // "taviId" stays: the server finds the registration by it.
    for (const char* name : {"mobile", "imei1", "imei2", "appId", "pspId"})
        KeychainManager::deletePreference(name);
    retrieve();
    auto sent = requestsTo(kPath);
    ASSERT_EQ(sent.size(), 1u);
    auto header = Json::parse(sent[0].body).at("commonRequest");
    EXPECT_EQ(header.at("pspIdentifier"), "");
    ASSERT_TRUE(sent[0].decryptedPayload);
    auto device = Json::parse(*sent[0].decryptedPayload).at("deviceInfo");
    for (const char* key : {"appId", "imei1", "imei2", "mobileNo", "pspIdentifier"}) {
        ASSERT_TRUE(device.contains(key)) << key;
        EXPECT_EQ(device.at(key), "") << key;
    }
}

TEST_F(KeyRetrievalTest, EveryCallUsesAFreshKey) {
    retrieve();
    retrieve();
    auto sent = requestsTo(kPath);
    ASSERT_EQ(sent.size(), 2u);
    auto a = Json::parse(sent[0].body), b = Json::parse(sent[1].body);
    EXPECT_NE(a["commonRequest"]["symmetricKey"], b["commonRequest"]["symmetricKey"]);
    EXPECT_NE(a["credentialKeysRetrievalPayloadEnc"], b["credentialKeysRetrievalPayloadEnc"]);
}

TEST_F(KeyRetrievalTest, UnusableSessionSendsNothing) {
    KeychainManager::deletePreference("taviKey");
    auto missing = retrieve();
    EXPECT_EQ(missing.callbacks, 1);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->domain, ErrorDomain::client);
    EXPECT_EQ(missing.error->code, ClientErrorCode::missingSessionValue);

    KeychainManager::savePreference("bm90IGEga2V5", "taviKey");
    auto unparsable = retrieve();
    EXPECT_EQ(unparsable.callbacks, 1);
    ASSERT_TRUE(unparsable.error);
    EXPECT_EQ(unparsable.error->code, ClientErrorCode::invalidKey);
    EXPECT_TRUE(requestsTo(kPath).empty());
}

TEST_F(KeyRetrievalTest, KeyWithZeroBytesOpensInOneRequest) {
    fault(Kind::zeroByteKey);
    auto out = retrieve();
    EXPECT_EQ(out.callbacks, 1);
    EXPECT_TRUE(out.keys) << out.error->description();
    EXPECT_EQ(requestsTo(kPath).size(), 1u);
}

TEST_F(KeyRetrievalTest, UnrecoverableAnswerIsReissuedAtMostThreeTimes) {
    for (Kind kind : {Kind::wrongKey, Kind::shortKey, Kind::garbagePayload}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        server().clearRequests();
        fault(kind);
        auto out = retrieve("MSG-R", "TXN-R");
        EXPECT_EQ(out.callbacks, 1);
        ASSERT_TRUE(out.error);
        EXPECT_EQ(out.error->code, ClientErrorCode::retryLimitReached);
        auto sent = requestsTo(kPath);
        ASSERT_EQ(sent.size(), 3u);
        // Each re-issue is a whole new request with the same identifiers.
        auto first = Json::parse(sent[0].body), last = Json::parse(sent[2].body);
        EXPECT_EQ(last["commonRequest"]["msgId"], "MSG-R");
        EXPECT_EQ(last["commonRequest"]["txnId"], "TXN-R");
        EXPECT_NE(first["commonRequest"]["symmetricKey"], last["commonRequest"]["symmetricKey"]);
    }
}

TEST_F(KeyRetrievalTest, ReissueRecoversWhenTheNextAnswerIsGood) {
    fault(Kind::shortKey, 1);
    auto out = retrieve();
    EXPECT_EQ(out.callbacks, 1);
    EXPECT_TRUE(out.keys);
    EXPECT_EQ(requestsTo(kPath).size(), 2u);
}

TEST_F(KeyRetrievalTest, RefusalCarriesTheServersCodeAndReason) {
    sandbox::Fault f;
    f.path = kPath;
    f.kind = Kind::refusal;
    f.errorCode = "U16";
    f.errorReason = "Device not allowed";
    server().addFault(f);
    auto out = retrieve();
    EXPECT_EQ(out.callbacks, 1);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->domain, ErrorDomain::refusal);
    EXPECT_EQ(out.error->errorCode, "U16");
    EXPECT_EQ(out.error->errorReason, "Device not allowed");
}

TEST_F(KeyRetrievalTest, MalformedAnswersAreDecodingErrors) {
    struct Case {
        Kind kind;
        std::string body;
    };
    const Case cases[] = {
        {Kind::refusalNoPayload, ""},
        {Kind::body, R"({"commonResponse":{"success":true}})"},
        {Kind::body, R"({"commonResponse":{"success":"true"},)"
                     R"("encryptionKeyRetrievalResponsePayloadEnc":""})"},
        {Kind::nonJson, ""},
        {Kind::undecodablePayload, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body.empty() ? std::to_string(static_cast<int>(c.kind)) : c.body);
        server().clearFaults();
        sandbox::Fault f;
        f.path = kPath;
        f.kind = c.kind;
        f.body = c.body;
        server().addFault(f);
        auto out = retrieve();
        EXPECT_EQ(out.callbacks, 1);
        ASSERT_TRUE(out.error);
        EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError)
            << out.error->description();
    }
}

}  // namespace
}  // namespace tavi::test

namespace tavi::test {
namespace {

// Key retrieval is sent again when its connection ended without an answer (the server already
// expects it repeated, with the same msgID); the outcome says which request and how many tries.
TEST_F(KeyRetrievalTest, DroppedConnectionIsRetriedAndTheOutcomeNamesTheRequest) {
    fault(Kind::dropConnection, 1);
    Correlation correlation;
    CallOptions options;
    options.correlation = &correlation;
    auto keys = TaviApiService::shared().retrieveKeys("MSG-7", "FINANCIAL_TXN", "TXN-7",
                                                      "BANKXX01", "ACCOUNT", options);
    ASSERT_TRUE(keys.ok()) << keys.error().description();
    EXPECT_EQ(requestsTo(kPath).size(), 2u);
    EXPECT_STREQ(correlation.operation, "retrieveKeys");
    EXPECT_EQ(correlation.msgId, "MSG-7");
    EXPECT_EQ(correlation.txnId, "TXN-7");
    EXPECT_EQ(correlation.attempts, 2);
    EXPECT_EQ(correlation.httpStatus, 200);
}

// A closed port: tried 1 + maxRetries times, the error naming the request; a deadline shorter
// than the first pause ends the call after the first try.
TEST_F(KeyRetrievalTest, RefusedConnectionIsRetriedWithinTheDeadline) {
    const std::string url = [] {
        sandbox::Server gone;
        EXPECT_TRUE(gone.start());
        std::string u = gone.url();
        gone.stop();
        return u;
    }();
    auto& config = AppConstantTAVI::shared();
    const std::string saved = config.serverURL;
    config.serverURL = url;
    struct Row {
        int maxRetries;
        long deadlineMs;
        int attempts;
    };
    for (const Row row : {Row{2, 10000, 3}, Row{0, 10000, 1}, Row{2, 40, 1}}) {
        config.maxRetries = row.maxRetries;
        CallOptions options;
        options.deadline = std::chrono::milliseconds(row.deadlineMs);
        auto keys = TaviApiService::shared().retrieveKeys("MSG-8", "FINANCIAL_TXN", "TXN-8",
                                                          "BANKXX01", "ACCOUNT", options);
        ASSERT_FALSE(keys.ok());
        const Error& e = keys.error();
        EXPECT_EQ(e.domain, ErrorDomain::transport) << e.description();
        EXPECT_EQ(e.delivery, RequestDelivery::notSent);
        EXPECT_STREQ(e.correlation.operation, "retrieveKeys");
        EXPECT_EQ(e.correlation.msgId, "MSG-8");
        EXPECT_EQ(e.correlation.attempts, row.attempts) << row.maxRetries << " " << row.deadlineMs;
    }

    // Refused, then accepted: a listener appears on the port once the first try has been
    // refused; the retry reaches it, and its answer (a refusal: that server never registered this
    // device) is the outcome.
    config.maxRetries = 2;
    sandbox::Options lateOptions;
    lateOptions.port = std::stoi(url.substr(url.rfind(':') + 1));
    sandbox::Server late(lateOptions);
    bool started = false;
    const auto savedSink = config.diagnosticsSink;
    config.diagnosticsSink = [&](std::string_view line) {
        if (!started && line.rfind("response:", 0) == 0) started = late.start();
    };
    auto keys = TaviApiService::shared().retrieveKeys("MSG-9", "FINANCIAL_TXN", "TXN-9",
                                                      "BANKXX01", "ACCOUNT");
    config.diagnosticsSink = savedSink;
    ASSERT_TRUE(started) << late.lastError();
    ASSERT_FALSE(keys.ok());
    EXPECT_EQ(keys.error().domain, ErrorDomain::refusal) << keys.error().description();
    EXPECT_EQ(keys.error().correlation.attempts, 2);
    EXPECT_EQ(late.arrivals(kPath), 1u);
    late.stop();
    config.serverURL = saved;
}

}  // namespace
}  // namespace tavi::test
