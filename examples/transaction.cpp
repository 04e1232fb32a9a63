// A whole transaction on a registered device (run `register` first with the same store):
// key retrieval, PIN, OTP challenge and validation, card checks, card registration, web page.
#include <tavi/card.hpp>

#include "example.hpp"

namespace {
// The sandbox's documented test credentials (never real ones).
constexpr const char* kSandboxPin = "1234";
constexpr const char* kSandboxOtp = "123456";
constexpr const char* kSandboxCard = "4111111111111111";
constexpr const char* kBic = "DEMOBIC1";

int fail(const std::string& step, const std::string& why) {
    std::fprintf(stderr, "%s failed: %s\n", step.c_str(), why.c_str());
    return 1;
}
}  // namespace

int main(int argc, char** argv) {
    ExampleArgs args;
    if (!setUp(argc, argv, args)) return 2;
    auto& service = tavi::TaviApiService::shared();
    const std::string txnId =
        "TXN-EXAMPLE-" + std::to_string(tavi::TaviUtils::getCurrentTimeInMillis());
    const std::string financial(tavi::rawValue(tavi::TransactionType::financialTxn));
    std::string error;

    // 1. Open the transaction: its keys travel to every later step.
    std::string bankKi, bankKey, sessionKey;
    service.createRetrieveKeysRequest(
        "MSG-1", financial, txnId, kBic, "ACCOUNT",
        [&](const std::string& ki, const std::string& pk, const std::string& sk, const std::string&,
            const std::string&) {
            bankKi = ki;
            bankKey = pk;
            sessionKey = sk;
        },
        [&](const tavi::Error& e) { error = e.description(); });
    if (sessionKey.empty()) return fail("key retrieval", error);
    std::printf("transaction %s opened\n", txnId.c_str());

    // 2. The PIN, sealed for the bank.
    bool pinOk = false;
    service.createCredentialSubmissionRequest(
        txnId, financial, "PIN", kSandboxPin, bankKi, bankKey, sessionKey,
        [&](bool) { pinOk = true; }, [](bool) {});
    if (!pinOk) return fail("PIN", "refused");
    std::printf("PIN accepted\n");

    // 3. OTP challenge, then its validation.
    std::string referenceId, action;
    service.createFetchOtpChallengeRequest(
        financial, txnId, "ACCOUNT", kBic, sessionKey, std::nullopt,
        [&](const std::string& ref, const std::string&, const std::string&, const std::string& a) {
            referenceId = ref;
            action = a;
        },
        [&](const std::optional<std::string>& code, const std::optional<std::string>&) {
            error = code.value_or("no code");
        });
    if (referenceId.empty()) return fail("OTP challenge", error);
    bool otpOk = false;
    service.createValidateOtpRequest(
        txnId, financial, kSandboxOtp, bankKi, bankKey, sessionKey, action, kBic, referenceId,
        [&](bool) { otpOk = true; },
        [&](const std::optional<std::string>& code, const std::optional<std::string>&) {
            error = code.value_or("no code");
        });
    if (!otpOk) return fail("OTP validation", error);
    std::printf("OTP accepted\n");

    // 4. Check the card locally before it is ever sent, then with the bank.
    if (auto problem = tavi::CardValidation::verify(kSandboxCard, "12", "2031", "737"))
        return fail("card check", problem->message);
    std::printf(
        "card: %s\n",
        std::string(tavi::CardValidation::name(tavi::CardValidation::brand(kSandboxCard))).c_str());
    bool cardOk = false;
    service.validateCardNumAsync(
        sessionKey, bankKi, bankKey, txnId, kSandboxCard, kBic, "Demo Bank",
        [&](const tavi::ValidateCardNumResponse& r) { cardOk = r.commonResponse.success; },
        [&](const tavi::Error& e) { error = e.description(); });
    if (!cardOk) return fail("card validation", error);

    bool registered = false;
    service.registerCardDetailRequest(
        txnId, std::string(tavi::rawValue(tavi::TransactionType::registerCardAccDetail)), kBic,
        std::string("000123456789"), bankKi, sessionKey, kSandboxCard, "12", "2031", "737", bankKey,
        [&](bool ok, const std::string& code) {
            registered = ok;
            error = code;
        },
        [&](const tavi::Error& e) { error = e.description(); });
    if (!registered) return fail("card registration", error);
    std::printf("card registered\n");

    // 5. The secure web page for the transaction.
    std::string refUrl;
    service.webUrlRequestAsync(
        std::string(tavi::rawValue(tavi::TransactionType::securePageUrl)), txnId, "ACCOUNT", kBic,
        sessionKey, [&](const std::string& url) { refUrl = url; },
        [&](const tavi::Error& e) { error = e.description(); });
    if (refUrl.empty()) return fail("web URL", error);
    std::printf("secure page: %s\n", refUrl.c_str());
    return 0;
}
