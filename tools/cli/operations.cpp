// One subcommand per server operation. Its options, their help, its secrets, the call and the
// exit status come from the request's declaration (requests.hpp); below is only what differs:
// the line each operation prints, and the local card checks.

#include "options.hpp"
#include "tavi/card.hpp"

namespace tavi::cli {
namespace {

// --- the success line --------------------------------------------------------------------------

Json output(const CheckOtpStatusRequest&, const OtpStatus& s) {
    return {{"status", s == OtpStatus::pending ? "retry" : "stop"}};
}
Json output(const CheckRegistrationRequest&, const RegistrationStatus& s) {
    return {{"registered", s == RegistrationStatus::registered}};
}
Json output(const RegisterDeviceRequest&, const Accepted&) {
    return {{"result", "done"}};
}
Json output(const auto&, const Accepted&) {
    return {{"success", true}};
}
Json output(const RetrieveKeysRequest&, const TransactionKeys& k) {
    return {{"bankKi", k.bankKi}, {"publicKey", k.publicKey}, {"sessionKey", k.sessionKey},
            {"txnId", k.txnId},   {"rule", k.rule}};
}
Json output(const FetchOtpChallengeRequest&, const OtpChallenge& c) {
    return {{"referenceId", c.referenceId}, {"otpChallengeCode", c.otpChallengeCode},
            {"otpExpiry", c.otpExpiry},     {"action", c.action}};
}
Json output(const ValidateCardNumberRequest&, const ValidateCardNumResponse& r) {
    const CommonResponse& c = r.commonResponse;
    Json header = Json::object();
    if (c.reqMsgID) header["reqMsgId"] = *c.reqMsgID;
    header["success"] = c.success;
    if (c.errorCode) header["errorCode"] = *c.errorCode;
    if (c.errorReason) header["errorReason"] = *c.errorReason;
    return {{"commonResponse", header}, {"bankNameMatchStatus", optionalJson(r.bankNameMatchStatus)}};
}
Json output(const RegisterCardRequest&, const CardRegistration& r) {
    return {{"success", r.accepted}, {"errorCode", r.errorCode}};
}
Json output(const SecureWebUrlRequest&, const std::string& url) {
    return {{"refUrl", url}};
}

// --- the failure line (a cancellation prints the error value alone) ----------------------------

Json failure(const auto&, const Error& e) {
    return errorJson(e);
}
Json failure(const CheckOtpStatusRequest&, const Error& e) {
    return beside({{"status", "stop"}}, e);
}
Json failure(const CheckRegistrationRequest&, const Error& e) {
    return beside({{"registered", false}}, e);
}
Json failure(const SubmitCredentialRequest&, const Error& e) {
    return beside({{"success", false}}, e);
}
/// The OTP commands: the server's errorCode and errorReason for a refusal, "Exception Occured"
/// twice otherwise, with the error beside them.
Json codeAndReason(const Error& e) {
    const bool refused = e.domain == ErrorDomain::refusal;
    const Json otherwise = "Exception Occured";
    return beside({{"errorCode", refused ? optionalJson(e.errorCode) : otherwise},
                   {"errorReason", refused ? optionalJson(e.errorReason) : otherwise}},
                  e);
}
Json failure(const FetchOtpChallengeRequest&, const Error& e) {
    return codeAndReason(e);
}
Json failure(const ValidateOtpRequest&, const Error& e) {
    return codeAndReason(e);
}

// --- before any request ------------------------------------------------------------------------

/// Obviously wrong card data, refused before any request (`--skip-local-check` sends it anyway).
std::optional<Error> localCheck(const ValidateCardNumberRequest& r) {
    return CardValidation::verify(r.cardNumber.view());
}
std::optional<Error> localCheck(const RegisterCardRequest& r) {
    return CardValidation::verify(r.cardNumber.view(), r.expiryMonth.view(),
                                  r.expiryYear.view(), r.cvv.view());
}

constexpr bool needsStore(const auto&) {
    return true;
}
constexpr bool needsStore(const CheckOtpStatusRequest&) {
    return false;
}

struct CommandHelp {
    std::string_view command, summary, example;
};

constexpr CommandHelp kCommandHelp[] = {
    {"otp-status", "poll whether a transaction's OTP is verified",
     "  tavi otp-status --txn-id DEMO-TXN-1    # {\"status\":\"retry\"} until verified, then "
     "{\"status\":\"stop\"}\n"
     "  # a poll that could not ask: {\"status\":\"stop\",\"error\":{…}}, exit 1"},
    {"check", "ask whether this device counts as registered",
     "  tavi check --mobile +15550100      # {\"registered\":true|false}\n"
     "  # a check that could not ask: {\"registered\":false,\"error\":{…}}, exit 1"},
    {"register", "register this device and its user",
     "  KEY=$(head -n 1 sandbox.out | jq -r .serverPublicKey)   # first line of tavi sandbox\n"
     "  tavi register --session-key \"$KEY\" --mobile +15550100 --txn-id R1 --app-id "
     "com.example.wallet"},
    {"retrieve-keys", "open a transaction: retrieve its keys",
     "  tavi retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id T1 --bic BIC1 "
     "--instrument-type ACCOUNT\n"
     "  # prints bankKi, publicKey and sessionKey: the other commands' --bank-ki, --public-key, "
     "--session-key"},
    {"submit-credential", "submit a PIN-type credential",
     "  tavi submit-credential --txn-id T1 --transaction-type FINANCIAL_TXN --cred-type PIN "
     "--cred-value @pin.txt --bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\"\n"
     "  read -rs PIN; printf '%s\\n' \"$PIN\" | tavi submit-credential ... --cred-value -"},
    {"fetch-otp", "fetch an OTP challenge",
     "  tavi fetch-otp --transaction-type FINANCIAL_TXN --txn-id T1 --instrument-type ACCOUNT "
     "--bic BIC1 --session-key \"$SK\"\n"
     "  # prints referenceId and action: validate-otp's --reference-id and --action"},
    {"validate-otp", "validate an OTP",
     "  read -rs OTP; printf '%s\\n' \"$OTP\" | tavi validate-otp --txn-id T1 --transaction-type "
     "FINANCIAL_TXN --otp - --bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\" "
     "--action PURCHASE --bic BIC1 --reference-id \"$REF\""},
    {"validate-card", "check a card number against a bank",
     "  tavi validate-card --bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\" "
     "--txn-id T1 --card-number @card.txt --bic BIC1 --bank-name \"Demo Bank\""},
    {"register-card", "register card and account details",
     "  tavi register-card --txn-id T1 --transaction-type REGISTER_CARD_ACC_DETAIL --bic BIC1 "
     "--card-number @card.txt --expiry-month - --expiry-year - --cvv - --bank-ki \"$KI\" "
     "--public-key \"$BANK_KEY\" --session-key \"$SK\"\n"
     "  # the card number from card.txt (chmod 600); the expiry month, year and CVV typed on "
     "standard input, one line each"},
    {"web-url", "obtain the secure web page address",
     "  tavi web-url --transaction-type SECURE_PAGE_URL --txn-id T1 --instrument-type ACCOUNT "
     "--bic BIC1 --session-key \"$SK\""},
};

const CommandHelp& helpOf(std::string_view command) {
    for (const auto& h : kCommandHelp) {
        if (h.command == command) return h;
    }
    static constexpr CommandHelp none{};
    return none;
}

/// The subcommand Request::command: options from the request's fields; it runs the operation
/// and prints one line, exit 0 on success and 1 on failure.
template <class Request>
void addOperation(CLI::App& app, Context& ctx) {
    constexpr bool checksLocally = requires(const Request& r) { localCheck(r); };
    struct State {
        Request request;
        BoundFields fields;
        bool skipLocalCheck = false;
    };
    auto state = std::make_shared<State>();
    const CommandHelp& help = helpOf(Request::command);
    CLI::App* command = app.add_subcommand(std::string(Request::command), std::string(help.summary));
    state->fields.bind(command, state->request);
    if constexpr (checksLocally) {
        command->add_flag("--skip-local-check", state->skipLocalCheck,
                          "send the request even when the local card check refuses it");
    }
    command->footer(example(std::string(help.example)));
    command->callback([state, command, &ctx] {
        const Request& request = state->request;
        state->fields.resolve(*command);
        if constexpr (checksLocally) {
            auto problem = localCheck(request);
            if (problem && !state->skipLocalCheck) return ctx.fail(errorJson(*problem));
        }
        if (!configure(ctx.globals, needsStore(request))) return void(ctx.exitCode = kExitFailure);
        auto result = runCall<typename Request::Result>(
            [&](auto done) { return start(request, std::move(done)); });
        if (result) return printResult(output(request, result.value()));
        ctx.fail(isCancellation(result.error()) ? errorJson(result.error())
                                                : failure(request, result.error()));
    });
}

}  // namespace

void addOperationCommands(CLI::App& app, Context& ctx) {
    forEachRequestType([&]<class Request>() { addOperation<Request>(app, ctx); });
}

}  // namespace tavi::cli
