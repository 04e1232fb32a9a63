// The whole flow of one transaction against the sandbox server, checked for one thing: no card
// number, CVV, expiry, account number, PIN or OTP ever travels or is logged in clear.
#include <gtest/gtest.h>

#include <ctime>
#include <optional>
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

}  // namespace
}  // namespace tavi::test
