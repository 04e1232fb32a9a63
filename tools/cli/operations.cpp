// One subcommand per server operation. Its options, their help, its secrets, the call (through
// tavi::Client) and the exit status come from the request's declaration (tavi/requests.hpp);
// below is only what differs: the line card validation prints, and the local card checks.

#include <algorithm>

#include "cli.hpp"
#include "tavi/card.hpp"

namespace tavi::cli {
namespace {

// --- the result line ---------------------------------------------------------------------------

/// Collects what a request type's outcome() and failed() name as JSON members.
struct Collect {
    Json& out;
    template <class T>
    void operator()(const char* name, const T& value) const {
        if constexpr (requires { value.has_value(); })
            out[name] = optionalJson(value);
        else
            out[name] = value;
    }
};

template <class R>
Json output(const R&, const typename R::Result& result) {
    Json out = Json::object();
    R::outcome(result, Collect{out});
    return out;
}
/// Card number validation prints the answer's header as the server wrote it.
Json output(const ValidateCardNumberRequest&, const ValidateCardNumResponse& r) {
    const CommonResponse& c = r.commonResponse;
    Json header = Json::object();
    if (c.reqMsgID) header["reqMsgId"] = *c.reqMsgID;
    header["success"] = c.success;
    if (c.errorCode) header["errorCode"] = *c.errorCode;
    if (c.errorReason) header["errorReason"] = *c.errorReason;
    return {{"commonResponse", header}, {"bankNameMatchStatus", optionalJson(r.bankNameMatchStatus)}};
}

/// The error, beside what failed() names (a cancellation prints the error value alone). The OTP
/// commands print "Exception Occured" for errorCode and errorReason unless the server refused.
template <class R>
Json failure(const R&, const Error& e) {
    const bool cancelled = e.domain == ErrorDomain::client && e.code == ClientErrorCode::cancelled;
    Json out = Json::object();
    if constexpr (requires { R::failed(e, Collect{out}); }) {
        if (cancelled) return errorJson(e);
        R::failed(e, Collect{out});
        constexpr bool otp =
            std::is_same_v<R, FetchOtpChallengeRequest> || std::is_same_v<R, ValidateOtpRequest>;
        if (otp && e.domain != ErrorDomain::refusal)
            out["errorCode"] = out["errorReason"] = "Exception Occured";
        return beside(std::move(out), e);
    }
    return errorJson(e);
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

/// Each command's example lines (its summary is its request's).
constexpr std::pair<std::string_view, std::string_view> kExamples[] = {
    {"otp-status",
     "  tavi otp-status --txn-id DEMO-TXN-1    # {\"status\":\"retry\"} until verified, then "
     "{\"status\":\"stop\"}\n"
     "  # a poll that could not ask: {\"status\":\"stop\",\"error\":{…}}, exit 1"},
    {"check",
     "  tavi check --mobile +15550100      # {\"registered\":true|false}\n"
     "  # a check that could not ask: {\"registered\":false,\"error\":{…}}, exit 1"},
    {"register",
     "  KEY=$(head -n 1 sandbox.out | jq -r .serverPublicKey)   # first line of tavi sandbox\n"
     "  tavi register --session-key \"$KEY\" --mobile +15550100 --txn-id R1 --app-id "
     "com.example.wallet"},
    {"retrieve-keys",
     "  tavi retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id T1 --bic BIC1 "
     "--instrument-type ACCOUNT\n"
     "  # prints bankKi, publicKey and sessionKey: the other commands' --bank-ki, --public-key, "
     "--session-key"},
    {"submit-credential",
     "  tavi submit-credential --txn-id T1 --transaction-type FINANCIAL_TXN --cred-type PIN "
     "--cred-value @pin.txt --bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\"\n"
     "  read -rs PIN; printf '%s\\n' \"$PIN\" | tavi submit-credential ... --cred-value -"},
    {"fetch-otp",
     "  tavi fetch-otp --transaction-type FINANCIAL_TXN --txn-id T1 --instrument-type ACCOUNT "
     "--bic BIC1 --session-key \"$SK\"\n"
     "  # prints referenceId and action: validate-otp's --reference-id and --action"},
    {"validate-otp",
     "  read -rs OTP; printf '%s\\n' \"$OTP\" | tavi validate-otp --txn-id T1 --transaction-type "
     "FINANCIAL_TXN --otp - --bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\" "
     "--action PURCHASE --bic BIC1 --reference-id \"$REF\""},
    {"validate-card",
     "  tavi validate-card --bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\" "
     "--txn-id T1 --card-number @card.txt --bic BIC1 --bank-name \"Demo Bank\""},
    {"register-card",
     "  tavi register-card --txn-id T1 --transaction-type REGISTER_CARD_ACC_DETAIL --bic BIC1 "
     "--card-number @card.txt --expiry-month - --expiry-year - --cvv - --bank-ki \"$KI\" "
     "--public-key \"$BANK_KEY\" --session-key \"$SK\"\n"
     "  # the card number from card.txt (chmod 600); the expiry month, year and CVV typed on "
     "standard input, one line each"},
    {"web-url",
     "  tavi web-url --transaction-type SECURE_PAGE_URL --txn-id T1 --instrument-type ACCOUNT "
     "--bic BIC1 --session-key \"$SK\""},
};

/// The subcommand Request::command: options from the request's fields; it runs the operation
/// and prints one line, exit 0 on success and 1 on failure.
template <class Request>
void addOperation(CLI::App& app, Context& ctx) {
    if (!ctx.wants(Request::command)) return;
    constexpr bool checksLocally = requires(const Request& r) { localCheck(r); };
    struct State {
        Request request;
        BoundFields fields;
        bool skipLocalCheck = false;
    };
    auto state = std::make_shared<State>();
    CLI::App* command =
        app.add_subcommand(std::string(Request::command), std::string(Request::summary));
    state->fields.bind(command, state->request);
    if constexpr (checksLocally) {
        command->add_flag("--skip-local-check", state->skipLocalCheck,
                          "send the request even when the local card check refuses it");
    }
    for (const auto& [name, lines] : kExamples)
        if (name == Request::command) command->footer(example(lines));
    command->callback([state, command, &ctx] {
        const Request& request = state->request;
        state->fields.resolve(*command);
        if constexpr (checksLocally) {
            auto problem = localCheck(request);
            if (problem && !state->skipLocalCheck) return ctx.fail(errorJson(*problem));
        }
        // The OTP status poll is the one operation that needs no session from the store.
        if (!configure(ctx.globals, !std::is_same_v<Request, CheckOtpStatusRequest>))
            return void(ctx.exitCode = kExitFailure);
        auto result = runCall<typename Request::Result>(
            [&](auto done) { return Client().start(request, std::move(done)); });
        if (result) return printResult(output(request, result.value()));
        ctx.fail(failure(request, result.error()));
    });
}

}  // namespace

std::string secretOptions() {
    std::vector<std::string> names;
    forEachRequestType([&]<class Request>() {
        Request::fields([&](const FieldSpec& field, auto) {
            const std::string name(field.cliOption);
            if (field.secret && std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
        });
    });
    return joined(names);
}

void addOperationCommands(CLI::App& app, Context& ctx) {
    forEachRequestType([&]<class Request>() { addOperation<Request>(app, ctx); });
}

}  // namespace tavi::cli
