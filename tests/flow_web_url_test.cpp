// Secure web URL against the sandbox server: the refUrl reaches the host; refusals, malformed and
// unopenable answers end in exactly one failure.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Json = nlohmann::json;
using Kind = sandbox::Fault::Kind;

constexpr const char* kPath = "/kora-core/tavi-sdk/urn:apiver:1.0/request-web-url";

struct Outcome {
    int callbacks = 0;
    std::optional<std::string> refUrl;
    std::optional<Error> error;
};

class WebUrlTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        server().clearRequests();
        capture().clear();
    }

    Outcome request(const std::string& sessionKey = "unused-session-key") {
        Outcome out;
        TaviApiService::shared().webUrlRequestAsync(
            "SECURE_PAGE_URL", "TXN-WEB-1", "CARD", "BANKXX01", sessionKey,
            [&](const std::string& url) {
                ++out.callbacks;
                out.refUrl = url;
            },
            [&](const Error& e) {
                ++out.callbacks;
                out.error = e;
            });
        return out;
    }

    void fault(Kind kind, std::string body = "") {
        sandbox::Fault f;
        f.path = kPath;
        f.kind = kind;
        f.body = std::move(body);
        server().addFault(f);
    }
};

TEST_F(WebUrlTest, DeliversTheRefUrl) {
    auto out = request();
    ASSERT_EQ(out.callbacks, 1);
    ASSERT_TRUE(out.refUrl) << out.error->description();
    EXPECT_FALSE(out.refUrl->empty());

    auto sent = requestsTo(kPath);
    ASSERT_EQ(sent.size(), 1u);
    auto body = Json::parse(sent[0].body);
    EXPECT_EQ(body.at("commonRequest").at("txnId"), "TXN-WEB-1");
    EXPECT_EQ(body.at("commonRequest").at("msgId").get<std::string>().size(), 36u);
    EXPECT_EQ(body.at("requestWebUrlPayloadEnc").get<std::string>().find_first_of("+/"),
              std::string::npos);
    ASSERT_TRUE(sent[0].decryptedPayload);
    auto payload = Json::parse(*sent[0].decryptedPayload);
    EXPECT_EQ(payload.at("paymentInstrument"),
              Json({{"paymentInstrumentType", "CARD"}, {"bic", "BANKXX01"}}));
    EXPECT_EQ(payload.at("deviceInfo").at("deviceId"), *KeychainManager::getPreference("deviceId"));

    auto lines = capture().lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("WebUrlRequestPayload(paymentInstrument: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("Optional(", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].find("bytes)"), lines[1].size() - 6);
    EXPECT_NE(capture().joined().find("Optional(\"{"), std::string::npos);
}

TEST_F(WebUrlTest, RefusalWithPayloadKeyCarriesCodeAndReason) {
    fault(Kind::body,
          R"({"commonResponse":{"success":false,"errorCode":"W01","errorReason":"No page"},)"
          R"("requestWebUrlResponsePayloadEnc":""})");
    auto out = request();
    EXPECT_EQ(out.callbacks, 1);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->domain, ErrorDomain::refusal);
    EXPECT_EQ(out.error->errorCode, "W01");
    EXPECT_EQ(out.error->errorReason, "No page");
}

TEST_F(WebUrlTest, MalformedAnswersAreDecodingErrors) {
    for (Kind kind : {Kind::refusalNoPayload, Kind::nonJson}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        fault(kind);
        auto out = request();
        EXPECT_EQ(out.callbacks, 1);
        ASSERT_TRUE(out.error);
        EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError)
            << out.error->description();
    }
    server().clearFaults();
    fault(Kind::body, R"({"commonResponse":{"success":false}})");
    auto out = request();
    ASSERT_TRUE(out.error);
    EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError);
}

TEST_F(WebUrlTest, UnrecoverableKeyIsReissuedAtMostThreeTimes) {
    for (Kind kind : {Kind::shortKey, Kind::wrongKey}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        server().clearRequests();
        fault(kind);
        auto out = request();
        EXPECT_EQ(out.callbacks, 1);
        ASSERT_TRUE(out.error);
        EXPECT_EQ(out.error->code, ClientErrorCode::retryLimitReached);
        EXPECT_EQ(requestsTo(kPath).size(), 3u);
    }
}

TEST_F(WebUrlTest, UnusablePayloadFailsWithoutReissue) {
    // Text that is not UTF-8, and text without a refUrl.
    for (Kind kind : {Kind::garbagePayload, Kind::undecodablePayload}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        server().clearRequests();
        fault(kind);
        auto out = request();
        EXPECT_EQ(out.callbacks, 1);
        ASSERT_TRUE(out.error);
        EXPECT_EQ(out.error->domain, ErrorDomain::client);
        EXPECT_EQ(out.error->code, ClientErrorCode::responseUnreadable);
        EXPECT_EQ(requestsTo(kPath).size(), 1u);
    }
}

TEST_F(WebUrlTest, MissingDeviceIdSendsNothing) {
    KeychainManager::deletePreference("deviceId");
    auto out = request();
    EXPECT_EQ(out.callbacks, 1);
    ASSERT_TRUE(out.error);
    EXPECT_EQ(out.error->code, ClientErrorCode::missingSessionValue);
    EXPECT_TRUE(requestsTo(kPath).empty());
}

}  // namespace
}  // namespace tavi::test
