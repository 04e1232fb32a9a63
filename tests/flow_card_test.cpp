// Card number validation and card/account registration against the sandbox server: what the
// payloads carry, every card and account value reaching the bank sealed, the answers handed to the
// host unjudged, and the failures that keep the request from being sent.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Json = nlohmann::ordered_json;
using Kind = sandbox::Fault::Kind;
using OptText = std::optional<std::string>;

constexpr const char* kValidatePath = "/kora-core/tavi-sdk/urn:apiver:1.0/validate-card-num";
constexpr const char* kRegisterPath = "/kora-core/tavi-sdk/urn:apiver:1.0/register-card-detail";
constexpr const char* kTxnId = "TXN-CARD-1";
constexpr const char* kBic = "DEMOBIC01";
constexpr const char* kCard = "4111111111111111";
constexpr const char* kAccount = "000123456789";
constexpr const char* kCvv = "737";
constexpr const char* kMonth = "08";
constexpr const char* kRegisterType = "REGISTER_CARD_ACC_DETAIL";

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (const auto& item : object.items()) keys.push_back(item.key());
    return keys;
}

struct CardCheck {
    int successes = 0;
    int failures = 0;
    std::optional<ValidateCardNumResponse> response;
    std::optional<Error> error;
};

struct Registration {
    int successes = 0;
    int failures = 0;
    bool flag = false;
    std::string errorCode;
    std::optional<Error> error;
};

class CardTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_TRUE(registerDevice());
        ASSERT_TRUE(retrieveTransactionKeys(kTxnId, "MSG-CARD", kBic, "CARD"));
        server().clearRequests();
        capture().clear();
    }

    CardCheck validateCard(const std::string& number, const std::string& bankName,
                           const OptText& publicKey = std::nullopt) {
        CardCheck out;
        TaviApiService::shared().validateCardNumAsync(
            sessionKey_, bankKi_, publicKey.value_or(publicKey_), kTxnId, number, kBic, bankName,
            [&](const ValidateCardNumResponse& r) {
                ++out.successes;
                out.response = r;
            },
            [&](const Error& e) {
                ++out.failures;
                out.error = e;
            });
        return out;
    }

    Registration registerCard(const OptText& accountNo, const std::string& cvv = kCvv,
                              const OptText& publicKey = std::nullopt) {
        Registration out;
        TaviApiService::shared().registerCardDetailRequest(
            kTxnId, kRegisterType, kBic, accountNo, bankKi_, sessionKey_, kCard, kMonth,
            futureYear(), cvv, publicKey.value_or(publicKey_),
            [&](bool flag, const std::string& code) {
                ++out.successes;
                out.flag = flag;
                out.errorCode = code;
            },
            [&](const Error& e) {
                ++out.failures;
                out.error = e;
            });
        return out;
    }

    void addFault(const char* path, Kind kind, const std::string& body = {}) {
        sandbox::Fault fault;
        fault.path = path;
        fault.kind = kind;
        fault.body = body;
        fault.times = 1;
        server().addFault(fault);
    }

    /// The single request sent to `path`, with its decrypted payload.
    std::pair<Json, Json> onlyRequestTo(const char* path) {
        const auto sent = requestsTo(path);
        EXPECT_EQ(sent.size(), 1u);
        if (sent.size() != 1 || !sent[0].decryptedPayload) return {};
        return {Json::parse(sent[0].body), Json::parse(*sent[0].decryptedPayload)};
    }

    std::string unsealedPrefix(const std::string& value) const {
        return std::string(kTxnId) + "|" + value + "|";
    }
};

// ---- Card number validation -------------------------------------------------------------------

TEST_F(CardTest, AKnownCardIsValidatedSealedAndLoggedByItsLastFourDigitsOnly) {
    const auto out = validateCard(kCard, "Demo Bank");
    ASSERT_EQ(out.successes, 1);
    EXPECT_EQ(out.failures, 0);
    EXPECT_TRUE(out.response->commonResponse.success);
    EXPECT_EQ(out.response->bankNameMatchStatus, OptText("MATCH"));

    const auto [body, payload] = onlyRequestTo(kValidatePath);
    ASSERT_FALSE(payload.is_null());
    EXPECT_EQ(keysOf(body),
              (std::vector<std::string>{"commonRequest", "validateCardNumPayloadEnc"}));
    EXPECT_EQ(body["commonRequest"]["transactionType"], "FINANCIAL_TXN");
    EXPECT_EQ(body["commonRequest"]["txnId"], kTxnId);
    EXPECT_EQ(body["commonRequest"]["taviIdentifier"],
              KeychainManager::getPreference(SessionManager::taviId).value_or("?"));
    const std::string enc = body["validateCardNumPayloadEnc"];
    EXPECT_EQ(enc.find_first_of("+/"), std::string::npos);

    EXPECT_EQ(keysOf(payload),
              (std::vector<std::string>{"bic", "deviceInfo", "cardNum", "bankName"}));
    EXPECT_EQ(payload["bic"], kBic);
    EXPECT_EQ(payload["bankName"], "Demo Bank");
    EXPECT_EQ(payload["deviceInfo"]["deviceId"],
              KeychainManager::getPreference(SessionManager::deviceId).value_or("?"));
    const std::string cardNum = payload["cardNum"];
    EXPECT_EQ(cardNum.rfind(bankKi_ + ":", 0), 0u);
    EXPECT_EQ(cardNum.find(kCard), std::string::npos);
    const auto sent = requestsTo(kValidatePath);
    ASSERT_EQ(sent[0].unsealed.size(), 1u);
    EXPECT_EQ(sent[0].unsealed[0].rfind(unsealedPrefix(kCard), 0), 0u);

    const auto lines = capture().lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "************1111New Number"), 1);
    EXPECT_EQ(capture().joined().find(kCard), std::string::npos);
}

TEST_F(CardTest, TheServersVerdictReachesSuccessUnjudged) {
    auto out = validateCard(kCard, "Other Bank");
    ASSERT_EQ(out.successes, 1);
    EXPECT_EQ(out.response->bankNameMatchStatus, OptText("MISMATCH"));

    // An unknown card: the server's refusal still reaches success, for the host to inspect.
    out = validateCard("4000000000000002", "Demo Bank");
    ASSERT_EQ(out.successes, 1);
    EXPECT_EQ(out.failures, 0);
    EXPECT_FALSE(out.response->commonResponse.success);
    EXPECT_EQ(out.response->commonResponse.errorCode, OptText("CARD_NOT_FOUND"));
    EXPECT_EQ(out.response->bankNameMatchStatus, std::nullopt);

    addFault(kValidatePath, Kind::body,
             R"({"commonResponse":{"success":true},"bankNameMatchStatus":null,"other":1})");
    out = validateCard(kCard, "Demo Bank");
    ASSERT_EQ(out.successes, 1);
    EXPECT_EQ(out.response->bankNameMatchStatus, std::nullopt);
}

TEST_F(CardTest, ValidationFailuresKeepTheirKind) {
    addFault(kValidatePath, Kind::body, R"({"bankNameMatchStatus":"MATCH"})");
    auto out = validateCard(kCard, "Demo Bank");
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError);
    EXPECT_NE(out.error->underlying, nullptr);

    addFault(kValidatePath, Kind::nonJson);
    out = validateCard(kCard, "Demo Bank");
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError);

    addFault(kValidatePath, Kind::dropConnection);
    out = validateCard(kCard, "Demo Bank");
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(out.successes, 0);
    EXPECT_EQ(out.error->domain, ErrorDomain::transport);
}

TEST_F(CardTest, ValidationWithAnEmptyStoreStillSendsTheRequest) {
    KeychainManager::setStore(makeMemorySecureStore());
    const auto out = validateCard(kCard, "Demo Bank");
    EXPECT_EQ(out.successes, 1);

    const auto [body, payload] = onlyRequestTo(kValidatePath);
    ASSERT_FALSE(payload.is_null());
    const Json& header = body["commonRequest"];
    EXPECT_EQ(header["pspIdentifier"], "");
    EXPECT_EQ(header["taviIdentifier"], "");
    EXPECT_EQ(header["transactionType"], "FINANCIAL_TXN");
    EXPECT_EQ(payload["deviceInfo"].dump(), Json({{"deviceId", ""},
                                                  {"appId", ""},
                                                  {"imei1", ""},
                                                  {"imei2", ""},
                                                  {"mobileNo", ""},
                                                  {"pspIdentifier", ""}})
                                                .dump());
}

TEST_F(CardTest, ACardNumberThatCannotBeSealedIsNotSent) {
    const auto out = validateCard(kCard, "Demo Bank", std::string("not a bank key"));
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(out.successes, 0);
    EXPECT_EQ(out.error->domain, ErrorDomain::client);
    EXPECT_EQ(out.error->description().find(kCard), std::string::npos);
    EXPECT_TRUE(requestsTo(kValidatePath).empty());
}

// ---- Card and account registration ------------------------------------------------------------

TEST_F(CardTest, RegistrationWithAnAccountSealsEveryValue) {
    const auto out = registerCard(std::string(kAccount));
    ASSERT_EQ(out.successes, 1);
    EXPECT_TRUE(out.flag);
    EXPECT_EQ(out.errorCode, "");

    const auto [body, payload] = onlyRequestTo(kRegisterPath);
    ASSERT_FALSE(payload.is_null());
    EXPECT_EQ(keysOf(body),
              (std::vector<std::string>{"commonRequest", "registerCardDetailPayloadEnc"}));
    EXPECT_EQ(body["commonRequest"]["transactionType"], kRegisterType);
    EXPECT_EQ(body["commonRequest"]["txnId"], kTxnId);
    const std::string enc = body["registerCardDetailPayloadEnc"];
    EXPECT_EQ(enc.find_first_of("+/"), std::string::npos);

    EXPECT_EQ(keysOf(payload), (std::vector<std::string>{"startDateTime", "deviceInfo",
                                                         "accountInfo", "card", "bic"}));
    EXPECT_TRUE(payload["startDateTime"].is_number_integer());
    EXPECT_GT(payload["startDateTime"].get<std::int64_t>(), 1600000000000);
    EXPECT_EQ(payload["bic"], kBic);
    EXPECT_EQ(payload["deviceInfo"]["deviceId"],
              KeychainManager::getPreference(SessionManager::deviceId).value_or("?"));
    EXPECT_EQ(keysOf(payload["accountInfo"]), (std::vector<std::string>{"bic", "accountNo"}));
    EXPECT_EQ(payload["accountInfo"]["bic"], kBic);
    EXPECT_EQ(keysOf(payload["card"]),
              (std::vector<std::string>{"number", "expiryMonth", "expiryYear", "cvv"}));
    for (const auto* sealed : {&payload["accountInfo"]["accountNo"], &payload["card"]["number"],
                               &payload["card"]["expiryMonth"], &payload["card"]["expiryYear"],
                               &payload["card"]["cvv"]}) {
        EXPECT_EQ(sealed->get<std::string>().rfind(bankKi_ + ":", 0), 0u) << *sealed;
    }

    // The sandbox opens them in payload order: account, number, month, year, cvv.
    const auto sent = requestsTo(kRegisterPath);
    ASSERT_EQ(sent[0].unsealed.size(), 5u);
    const std::vector<std::string> values = {kAccount, kCard, kMonth, futureYear(), kCvv};
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(sent[0].unsealed[i].rfind(unsealedPrefix(values[i]), 0), 0u)
            << sent[0].unsealed[i];
    }
}

TEST_F(CardTest, RegistrationWithoutAnAccountCarriesOnlyTheBicAndTheStoredName) {
    ASSERT_EQ(KeychainManager::savePreference("Jane Q Public", SessionManager::usernameKey), 0);
    const auto out = registerCard(std::nullopt);
    ASSERT_EQ(out.successes, 1);
    EXPECT_TRUE(out.flag);

    const auto [body, payload] = onlyRequestTo(kRegisterPath);
    ASSERT_FALSE(payload.is_null());
    EXPECT_EQ(payload["accountInfo"].dump(), Json({{"bic", kBic}}).dump());
    EXPECT_EQ(payload["card"]["fullName"], "Jane Q Public");
    EXPECT_EQ(payload["bic"], kBic);
    EXPECT_EQ(requestsTo(kRegisterPath)[0].unsealed.size(), 4u);
}

TEST_F(CardTest, RegistrationAnswersReduceToAFlagAndACode) {
    // Refused by the server inside a well-formed answer: success with false and the code.
    auto out = registerCard(std::string(kAccount), "12");
    ASSERT_EQ(out.successes, 1);
    EXPECT_FALSE(out.flag);
    EXPECT_EQ(out.errorCode, "INVALID_CVV");

    addFault(kRegisterPath, Kind::body, R"({"commonResponse":{"success":true},"extra":[]})");
    out = registerCard(std::nullopt);
    ASSERT_EQ(out.successes, 1);
    EXPECT_TRUE(out.flag);
    EXPECT_EQ(out.errorCode, "");

    addFault(kRegisterPath, Kind::body, R"({"success":true})");
    out = registerCard(std::nullopt);
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError);

    addFault(kRegisterPath, Kind::dropConnection);
    out = registerCard(std::nullopt);
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(out.error->domain, ErrorDomain::transport);
}

TEST_F(CardTest, RegistrationThatCannotBeBuiltSendsNothing) {
    // A bank key that cannot seal: the error names no value.
    auto out = registerCard(std::string(kAccount), kCvv, std::string("not a bank key"));
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(out.successes, 0);
    EXPECT_EQ(out.error->domain, ErrorDomain::client);
    const std::string text = out.error->description();
    for (const char* secret : {kAccount, kCard, kCvv}) {
        EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }

    // No registered device.
    KeychainManager::deletePreference(SessionManager::deviceId);
    out = registerCard(std::string(kAccount));
    ASSERT_EQ(out.failures, 1);
    EXPECT_EQ(out.error->code, ClientErrorCode::missingSessionValue);

    EXPECT_TRUE(requestsTo(kRegisterPath).empty());
}

}  // namespace
}  // namespace tavi::test
