// One subcommand per server operation: its summary, example, output and local check. Options,
// their help, secrets, the call and the exit status come from the request's declaration
// (requests.hpp) through addOperation (options.hpp).

#include "options.hpp"
#include "tavi/card.hpp"

namespace tavi::cli {
namespace {

const std::string kKeyOptions =
    "--bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\"";

/// The OTP commands' failures: the server's errorCode and errorReason for a refusal, "Exception
/// Occured" twice otherwise, with the error beside them.
Json codeAndReason(const Error& e) {
    const bool refused = e.domain == ErrorDomain::refusal;
    const Json otherwise = "Exception Occured";
    return beside(Json{{"errorCode", refused ? optionalJson(e.errorCode) : otherwise},
                       {"errorReason", refused ? optionalJson(e.errorReason) : otherwise}},
                  e);
}

Json successTrue(const Accepted&) {
    return Json{{"success", true}};
}

void otpStatus(CLI::App& app, Context& ctx) {
    addOperation<OtpStatusRequest>(
        app, ctx,
        {.summary = "poll whether a transaction's OTP is verified",
         .example = "  tavi otp-status --txn-id DEMO-TXN-1      # {\"status\":\"retry\"} until "
                    "verified, then {\"status\":\"stop\"}\n"
                    "  # a poll that could not ask: {\"status\":\"stop\",\"error\":{…}}, exit 1",
         .success = [](const OtpStatus& s) {
             return Json{{"status", s == OtpStatus::pending ? "retry" : "stop"}};
         },
         .failure = [](const Error& e) { return beside(Json{{"status", "stop"}}, e); },
         .needsStore = false});
}

void check(CLI::App& app, Context& ctx) {
    addOperation<CheckRegistrationRequest>(
        app, ctx,
        {.summary = "ask whether this device counts as registered",
         .example = "  tavi check --mobile +15550100      # {\"registered\":true|false}\n"
                    "  # a check that could not ask: {\"registered\":false,\"error\":{…}}, exit 1",
         .success = [](const RegistrationStatus& s) {
             return Json{{"registered", s == RegistrationStatus::registered}};
         },
         .failure = [](const Error& e) { return beside(Json{{"registered", false}}, e); }});
}

void registerDevice(CLI::App& app, Context& ctx) {
    addOperation<RegisterDeviceRequest>(
        app, ctx,
        {.summary = "register this device and its user",
         .example = "  KEY=$(head -n 1 sandbox.out | jq -r .serverPublicKey)   # first line of "
                    "tavi sandbox\n"
                    "  tavi register --session-key \"$KEY\" --mobile +15550100 --txn-id R1 "
                    "--app-id com.example.wallet",
         .success = [](const Accepted&) { return Json{{"result", "done"}}; }});
}

void retrieveKeys(CLI::App& app, Context& ctx) {
    addOperation<RetrieveKeysRequest>(
        app, ctx,
        {.summary = "open a transaction: retrieve its keys",
         .example = "  tavi retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id "
                    "T1 --bic BIC1 --instrument-type ACCOUNT\n"
                    "  # prints bankKi, publicKey and sessionKey: the other commands' --bank-ki, "
                    "--public-key, --session-key",
         .success = [](const TransactionKeys& k) {
             return Json{{"bankKi", k.bankKi},
                         {"publicKey", k.publicKey},
                         {"sessionKey", k.sessionKey},
                         {"txnId", k.txnId},
                         {"rule", k.rule}};
         }});
}

void submitCredential(CLI::App& app, Context& ctx) {
    addOperation<SubmitCredentialRequest>(
        app, ctx,
        {.summary = "submit a PIN-type credential",
         .example = "  tavi submit-credential --txn-id T1 --transaction-type FINANCIAL_TXN "
                    "--cred-type PIN --cred-value @pin.txt " +
                    kKeyOptions +
                    "\n  read -rs PIN; printf '%s\\n' \"$PIN\" | tavi submit-credential ... "
                    "--cred-value -",
         .success = successTrue,
         .failure = [](const Error& e) { return beside(Json{{"success", false}}, e); }});
}

void fetchOtp(CLI::App& app, Context& ctx) {
    addOperation<FetchOtpChallengeRequest>(
        app, ctx,
        {.summary = "fetch an OTP challenge",
         .example = "  tavi fetch-otp --transaction-type FINANCIAL_TXN --txn-id T1 "
                    "--instrument-type ACCOUNT --bic BIC1 --session-key \"$SK\"\n"
                    "  # prints referenceId and action: validate-otp's --reference-id and --action",
         .success = [](const OtpChallenge& c) {
             return Json{{"referenceId", c.referenceId},
                         {"otpChallengeCode", c.otpChallengeCode},
                         {"otpExpiry", c.otpExpiry},
                         {"action", c.action}};
         },
         .failure = codeAndReason});
}

void validateOtp(CLI::App& app, Context& ctx) {
    addOperation<ValidateOtpRequest>(
        app, ctx,
        {.summary = "validate an OTP",
         .example = "  read -rs OTP; printf '%s\\n' \"$OTP\" | tavi validate-otp --txn-id T1 "
                    "--transaction-type FINANCIAL_TXN --otp - " +
                    kKeyOptions + " --action PURCHASE --bic BIC1 --reference-id \"$REF\"",
         .success = successTrue,
         .failure = codeAndReason});
}

void validateCard(CLI::App& app, Context& ctx) {
    addOperation<ValidateCardRequest>(
        app, ctx,
        {.summary = "check a card number against a bank",
         .example = "  tavi validate-card " + kKeyOptions +
                    " --txn-id T1 --card-number @card.txt --bic BIC1 --bank-name \"Demo Bank\"",
         .success = [](const ValidateCardNumResponse& r) {
             const CommonResponse& c = r.commonResponse;
             Json header = Json::object();
             if (c.reqMsgID) header["reqMsgId"] = *c.reqMsgID;
             header["success"] = c.success;
             if (c.errorCode) header["errorCode"] = *c.errorCode;
             if (c.errorReason) header["errorReason"] = *c.errorReason;
             return Json{{"commonResponse", header},
                         {"bankNameMatchStatus", optionalJson(r.bankNameMatchStatus)}};
         },
         .localCheck = [](const ValidateCardRequest& r) {
             return CardValidation::verify(r.cardNumber.reveal());
         }});
}

void registerCard(CLI::App& app, Context& ctx) {
    addOperation<RegisterCardRequest>(
        app, ctx,
        {.summary = "register card and account details",
         .example = "  tavi register-card --txn-id T1 --transaction-type REGISTER_CARD_ACC_DETAIL "
                    "--bic BIC1 --card-number @card.txt --expiry-month - --expiry-year - --cvv - " +
                    kKeyOptions +
                    "\n  # the card number from card.txt (chmod 600); the expiry month, year and "
                    "CVV typed on standard input, one line each",
         .success = [](const CardRegistration& r) {
             return Json{{"success", r.accepted}, {"errorCode", r.errorCode}};
         },
         .localCheck = [](const RegisterCardRequest& r) {
             return CardValidation::verify(r.cardNumber.reveal(), r.expiryMonth.reveal(),
                                           r.expiryYear.reveal(), r.cvv.reveal());
         }});
}

void webUrl(CLI::App& app, Context& ctx) {
    addOperation<WebUrlRequest>(
        app, ctx,
        {.summary = "obtain the secure web page address",
         .example = "  tavi web-url --transaction-type SECURE_PAGE_URL --txn-id T1 "
                    "--instrument-type ACCOUNT --bic BIC1 --session-key \"$SK\"",
         .success = [](const std::string& url) { return Json{{"refUrl", url}}; }});
}

}  // namespace

void addOperationCommands(CLI::App& app, Context& ctx) {
    for (auto add : {otpStatus, check, registerDevice, retrieveKeys, submitCredential, fetchOtp,
                     validateOtp, validateCard, registerCard, webUrl}) {
        add(app, ctx);
    }
}

}  // namespace tavi::cli
