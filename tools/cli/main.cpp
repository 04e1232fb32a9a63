// tavi — drive every public operation of the library from the command line.
//
// Standard output holds exactly one line: a JSON object with the result. The library's diagnostic
// lines go to standard error (or nowhere with --quiet).

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>

#include "cli.hpp"
#include "sandbox.hpp"
#include "tavi/card.hpp"
#include "tavi/tavi.hpp"

namespace tavi::cli {

Json optionalJson(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json errorJson(const Error& error) {
    Json e = Json::object();
    e["domain"] = error.domain;
    e["code"] = error.code;
    e["message"] = error.message;
    if (error.domain == ErrorDomain::refusal || error.errorCode || error.errorReason) {
        e["errorCode"] = optionalJson(error.errorCode);
        e["errorReason"] = optionalJson(error.errorReason);
    }
    if (error.underlying) e["underlying"] = errorJson(*error.underlying)["error"];
    Json out = Json::object();
    out["error"] = e;
    return out;
}

void printResult(const Json& result) {
    std::cout << result.dump() << std::endl;
}

namespace {

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}

struct Globals {
    std::string server = envOr("TAVI_SERVER_URL", kProductionServerURL);
    std::string store = envOr("TAVI_STORE", "");
    std::string caFile;
    std::string pinKey;
    std::string appId;
    std::string pspOrgId;
    long timeoutMs = 60000;
    bool quiet = false;
};

/// Applies the global options to the configuration and installs the store.
bool configure(const Globals& g, bool needsStore) {
    auto& config = AppConstantTAVI::shared();
    config.serverURL = g.server;
    config.caFile = g.caFile;
    config.pinnedPublicKey = g.pinKey;
    config.timeoutMilliseconds = g.timeoutMs;
    if (!g.appId.empty()) config.appId = g.appId;
    if (!g.pspOrgId.empty()) config.pspOrgId = g.pspOrgId;
    if (g.quiet) {
        config.diagnosticsSink = nullptr;
        config.logLevel = LogLevel::off;
    } else {
        config.diagnosticsSink = [](std::string_view line) {
            std::fwrite(line.data(), 1, line.size(), stderr);
            std::fputc('\n', stderr);
        };
    }
    if (!needsStore) return true;
    auto store = openSqliteSecureStore(g.store.empty() ? defaultStorePath() : g.store);
    if (!store) {
        printResult(errorJson(store.error()));
        return false;
    }
    KeychainManager::setStore(store.value());
    return true;
}

}  // namespace
}  // namespace tavi::cli

int main(int argc, char** argv) {
    using namespace tavi;
    using namespace tavi::cli;

    CLI::App app{"tavi — payment SDK command-line tool"};
    app.require_subcommand(1);
    Globals g;
    app.add_option("--server", g.server, "server base URL (env TAVI_SERVER_URL)");
    app.add_option("--store", g.store, "secure store database (env TAVI_STORE)");
    app.add_option("--ca-file", g.caFile, "extra trusted CA certificates (PEM)")->check(
        CLI::ExistingFile);
    app.add_option("--pin-key", g.pinKey, "pin the server public key (sha256//BASE64)");
    app.add_option("--app-id", g.appId, "application identifier");
    app.add_option("--psp-org-id", g.pspOrgId, "PSP organisation identifier");
    app.add_option("--timeout-ms", g.timeoutMs, "per-request timeout in milliseconds");
    app.add_flag("--quiet", g.quiet, "silence the library's diagnostic lines");

    int exitCode = kExitSuccess;
    auto& service = TaviApiService::shared();
    auto fail = [&](const Error& e) {
        printResult(errorJson(e));
        exitCode = kExitFailure;
    };
    auto failCodeReason = [&](const std::optional<std::string>& code,
                              const std::optional<std::string>& reason) {
        Json out = Json::object();
        out["errorCode"] = optionalJson(code);
        out["errorReason"] = optionalJson(reason);
        printResult(out);
        exitCode = kExitFailure;
    };

    // otp-status
    std::string txnId;
    auto* otpStatus = app.add_subcommand("otp-status", "poll whether a transaction's OTP is verified");
    otpStatus->add_option("--txn-id", txnId)->required();
    otpStatus->callback([&] {
        if (!configure(g, false)) return void(exitCode = kExitFailure);
        service.checkOtpStatus(txnId, [&](const std::string& status) {
            printResult(Json{{"status", status}});
        });
    });

    // check
    std::string mobile;
    auto* check = app.add_subcommand("check", "ask whether this device counts as registered");
    check->add_option("--mobile", mobile)->required();
    check->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        TaviUtils::getCheckDeviceRegistered(
            mobile, [&](bool registered) { printResult(Json{{"registered", registered}}); });
    });

    // register
    std::string sessionKey, regAppId;
    auto* reg = app.add_subcommand("register", "register this device and its user");
    reg->add_option("--session-key", sessionKey, "the server's public key (base64 DER)")->required();
    reg->add_option("--mobile", mobile)->required();
    reg->add_option("--txn-id", txnId)->required();
    reg->add_option("--app-id", regAppId)->required();
    reg->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        DeviceRegistrationController().startDeviceRegistration(
            true, sessionKey, mobile, txnId, regAppId,
            [&](const std::string& result) { printResult(Json{{"result", result}}); }, fail);
    });

    // retrieve-keys
    std::string msgId, transactionType, bic, instrumentType;
    auto* keys = app.add_subcommand("retrieve-keys", "open a transaction: retrieve its keys");
    keys->add_option("--msg-id", msgId)->required();
    keys->add_option("--transaction-type", transactionType)->required();
    keys->add_option("--txn-id", txnId)->required();
    keys->add_option("--bic", bic)->required();
    keys->add_option("--instrument-type", instrumentType)->required();
    keys->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        service.createRetrieveKeysRequest(
            msgId, transactionType, txnId, bic, instrumentType,
            [&](const std::string& bankKi, const std::string& publicKey, const std::string& sk,
                const std::string& id, const std::string& rule) {
                Json out = Json::object();
                out["bankKi"] = bankKi;
                out["publicKey"] = publicKey;
                out["sessionKey"] = sk;
                out["txnId"] = id;
                out["rule"] = rule;
                printResult(out);
            },
            fail);
    });

    // submit-credential
    std::string credType, credValue, bankKi, publicKey;
    auto* cred = app.add_subcommand("submit-credential", "submit a PIN-type credential");
    cred->add_option("--txn-id", txnId)->required();
    cred->add_option("--transaction-type", transactionType)->required();
    cred->add_option("--cred-type", credType)->required();
    cred->add_option("--cred-value", credValue)->required();
    cred->add_option("--bank-ki", bankKi)->required();
    cred->add_option("--public-key", publicKey)->required();
    cred->add_option("--session-key", sessionKey)->required();
    cred->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        service.createCredentialSubmissionRequest(
            txnId, transactionType, credType, credValue, bankKi, publicKey, sessionKey,
            [&](bool ok) { printResult(Json{{"success", ok}}); },
            [&](bool ok) {
                printResult(Json{{"success", ok}});
                exitCode = kExitFailure;
            });
    });

    // fetch-otp
    std::string action;
    auto* fetchOtp = app.add_subcommand("fetch-otp", "fetch an OTP challenge");
    fetchOtp->add_option("--transaction-type", transactionType)->required();
    fetchOtp->add_option("--txn-id", txnId)->required();
    fetchOtp->add_option("--instrument-type", instrumentType)->required();
    fetchOtp->add_option("--bic", bic)->required();
    fetchOtp->add_option("--session-key", sessionKey)->required();
    auto* actionOpt = fetchOtp->add_option("--action", action);
    fetchOtp->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        std::optional<std::string> act;
        if (actionOpt->count() > 0) act = action;
        service.createFetchOtpChallengeRequest(
            transactionType, txnId, instrumentType, bic, sessionKey, act,
            [&](const std::string& referenceId, const std::string& code,
                const std::string& expiry, const std::string& a) {
                Json out = Json::object();
                out["referenceId"] = referenceId;
                out["otpChallengeCode"] = code;
                out["otpExpiry"] = expiry;
                out["action"] = a;
                printResult(out);
            },
            failCodeReason);
    });

    // validate-otp
    std::string otp, referenceId;
    auto* validateOtp = app.add_subcommand("validate-otp", "validate an OTP");
    validateOtp->add_option("--txn-id", txnId)->required();
    validateOtp->add_option("--transaction-type", transactionType)->required();
    validateOtp->add_option("--otp", otp)->required();
    validateOtp->add_option("--bank-ki", bankKi)->required();
    validateOtp->add_option("--public-key", publicKey)->required();
    validateOtp->add_option("--session-key", sessionKey)->required();
    validateOtp->add_option("--action", action)->required();
    validateOtp->add_option("--bic", bic)->required();
    validateOtp->add_option("--reference-id", referenceId)->required();
    validateOtp->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        service.createValidateOtpRequest(
            txnId, transactionType, otp, bankKi, publicKey, sessionKey, action, bic, referenceId,
            [&](bool ok) { printResult(Json{{"success", ok}}); }, failCodeReason);
    });

    // validate-card
    std::string cardNumber, bankName;
    auto* validateCard = app.add_subcommand("validate-card", "check a card number against a bank");
    validateCard->add_option("--session-key", sessionKey)->required();
    validateCard->add_option("--bank-ki", bankKi)->required();
    validateCard->add_option("--public-key", publicKey)->required();
    validateCard->add_option("--txn-id", txnId)->required();
    validateCard->add_option("--card-number", cardNumber)->required();
    validateCard->add_option("--bic", bic)->required();
    validateCard->add_option("--bank-name", bankName)->required();
    bool skipLocalCheck = false;
    validateCard->add_flag("--skip-local-check", skipLocalCheck,
                           "send the number even when the local card check refuses it");
    validateCard->callback([&] {
        // An obviously wrong number is refused before any request; the error never shows it.
        if (auto problem = CardValidation::verify(cardNumber); problem && !skipLocalCheck)
            return fail(*problem);
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        service.validateCardNumAsync(
            sessionKey, bankKi, publicKey, txnId, cardNumber, bic, bankName,
            [&](const ValidateCardNumResponse& r) {
                Json header = Json::object();
                if (r.commonResponse.reqMsgID) header["reqMsgId"] = *r.commonResponse.reqMsgID;
                header["success"] = r.commonResponse.success;
                if (r.commonResponse.errorCode) header["errorCode"] = *r.commonResponse.errorCode;
                if (r.commonResponse.errorReason)
                    header["errorReason"] = *r.commonResponse.errorReason;
                Json out = Json::object();
                out["commonResponse"] = header;
                out["bankNameMatchStatus"] = optionalJson(r.bankNameMatchStatus);
                printResult(out);
            },
            fail);
    });

    // register-card
    std::string accountNo, expiryMonth, expiryYear, cvv;
    auto* regCard = app.add_subcommand("register-card", "register card and account details");
    regCard->add_option("--txn-id", txnId)->required();
    regCard->add_option("--transaction-type", transactionType)->required();
    regCard->add_option("--bic", bic)->required();
    auto* accountOpt = regCard->add_option("--account-no", accountNo);
    regCard->add_option("--bank-ki", bankKi)->required();
    regCard->add_option("--session-key", sessionKey)->required();
    regCard->add_option("--card-number", cardNumber)->required();
    regCard->add_option("--expiry-month", expiryMonth)->required();
    regCard->add_option("--expiry-year", expiryYear)->required();
    regCard->add_option("--cvv", cvv)->required();
    regCard->add_option("--public-key", publicKey)->required();
    regCard->add_flag("--skip-local-check", skipLocalCheck,
                      "send the card even when the local card check refuses it");
    regCard->callback([&] {
        if (auto problem = CardValidation::verify(cardNumber, expiryMonth, expiryYear, cvv);
            problem && !skipLocalCheck)
            return fail(*problem);
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        std::optional<std::string> account;
        if (accountOpt->count() > 0) account = accountNo;
        service.registerCardDetailRequest(
            txnId, transactionType, bic, account, bankKi, sessionKey, cardNumber, expiryMonth,
            expiryYear, cvv, publicKey,
            [&](bool ok, const std::string& code) {
                printResult(Json{{"success", ok}, {"errorCode", code}});
            },
            fail);
    });

    // web-url
    auto* webUrl = app.add_subcommand("web-url", "obtain the secure web page address");
    webUrl->add_option("--transaction-type", transactionType)->required();
    webUrl->add_option("--txn-id", txnId)->required();
    webUrl->add_option("--instrument-type", instrumentType)->required();
    webUrl->add_option("--bic", bic)->required();
    webUrl->add_option("--session-key", sessionKey)->required();
    webUrl->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        service.webUrlRequestAsync(
            transactionType, txnId, instrumentType, bic, sessionKey,
            [&](const std::string& refUrl) { printResult(Json{{"refUrl", refUrl}}); }, fail);
    });

    // store get/set/delete
    std::string name, value;
    auto* store = app.add_subcommand("store", "read and write the secure store");
    store->require_subcommand(1);
    auto* storeGet = store->add_subcommand("get", "read a value");
    storeGet->add_option("NAME", name)->required();
    storeGet->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        printResult(Json{{"value", optionalJson(KeychainManager::getPreference(name))}});
    });
    auto* storeSet = store->add_subcommand("set", "write a value (never overwrites)");
    storeSet->add_option("NAME", name)->required();
    storeSet->add_option("VALUE", value)->required();
    storeSet->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        printResult(Json{{"status", KeychainManager::savePreference(value, name)}});
    });
    auto* storeDelete = store->add_subcommand("delete", "delete a value");
    storeDelete->add_option("NAME", name)->required();
    storeDelete->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        printResult(Json{{"status", KeychainManager::deletePreference(name)}});
    });

    // device
    auto* device = app.add_subcommand("device", "show the device identifier and user agent");
    device->callback([&] {
        if (!configure(g, false)) return void(exitCode = kExitFailure);
        Json out = Json::object();
        out["deviceId"] = optionalJson(TaviUtils::getDeviceIdentifier());
        out["userAgent"] = TaviUtils().getUserAgent();
        printResult(out);
    });

    // sandbox
    sandbox::Options sandboxOptions;
    auto* sb = app.add_subcommand("sandbox", "run the sandbox payment server in the foreground");
    sb->add_option("--host", sandboxOptions.host, "loopback address to bind");
    sb->add_option("--port", sandboxOptions.port, "port (0 = ephemeral)");
    sb->add_flag("--tls", sandboxOptions.tls, "serve HTTPS with a generated test CA");
    sb->add_option("--state", sandboxOptions.stateDir, "directory for keys and certificates");
    sb->callback([&] { exitCode = sandbox::runForeground(sandboxOptions); });

    // demo
    bool verbose = false;
    auto* demo = app.add_subcommand("demo", "run the whole payment flow against a local sandbox");
    demo->add_flag("--verbose", verbose, "also show the library's diagnostic lines");
    demo->callback([&] { exitCode = runDemo(verbose); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitUsage;
    }
    return exitCode;
}
