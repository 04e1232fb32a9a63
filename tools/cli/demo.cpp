// `tavi demo`: the whole life of an installation and a transaction, against a sandbox server
// started in this process on an ephemeral loopback port with TLS, through tavi::Client and the
// request types.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>

#include "cli.hpp"
#include "sandbox.hpp"

namespace tavi::cli {
namespace {

/// Tells each step; counts (and with --verbose shows) the library's diagnostic lines.
struct Narrator {
    bool verbose;
    int steps = 0;
    int lines = 0;

    void step(const std::string& title) { std::cout << "\n[" << ++steps << "] " << title << std::endl; }
    void say(const std::string& text) { std::cout << "    " << text << std::endl; }
    /// The same step from the shell, secrets given as `-` or `@FILE`, never inline.
    void shell(const std::string& command) { say("$ " + command); }
    void ok(const std::string& text) { say("ok: " + text); }
    int fail(const std::string& text) {
        say("FAILED: " + text);
        return kExitFailure;
    }
    void line(std::string_view text) {
        ++lines;
        if (verbose) std::cout << "      | " << (text.size() > 110 ? std::string(text.substr(0, 107)) + "..." : std::string(text)) << std::endl;
    }

    /// The call's value, or nullopt (the error told).
    template <class R>
    std::optional<typename R::Result> call(R request) {
        auto result = Client().call(std::move(request));
        if (result) return std::move(result).value();
        say("FAILED: " + result.error().description());
        return std::nullopt;
    }
};

std::string shortText(const std::string& text, std::size_t n = 24) {
    return text.size() <= n ? text : text.substr(0, n) + "…";
}

/// Writes a secret to a new file only the owner can read, as a user would before `@FILE`.
bool writePrivateFile(const std::string& path, const std::string& content) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string line = content + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    return ::close(fd) == 0 && ok;
}

}  // namespace

int runDemo(bool verbose) {
    const auto started = std::chrono::steady_clock::now();
    Narrator n{verbose};

    n.step("Start the sandbox payment server (loopback, TLS, generated test CA)");
    sandbox::Options options;
    options.tls = true;
    sandbox::Server server(options);
    if (!server.start()) return n.fail("the sandbox did not start: " + server.lastError());
    n.ok("listening at " + server.url());
    n.say("server public key: " + shortText(server.serverPublicKey(), 40));

    // A fresh secure store for this run: a SQLite file in a private temporary directory, removed
    // on every way out, a failed step included (it holds the store and the PIN file).
    char dirTemplate[] = "/tmp/tavi-demo-XXXXXX";
    if (!::mkdtemp(dirTemplate)) return n.fail("cannot create a temporary directory");
    const std::string dir = dirTemplate;
    const std::unique_ptr<const std::string, void (*)(const std::string*)> removeDir(
        &dir, [](const std::string* path) {
            std::error_code ec;
            std::filesystem::remove_all(*path, ec);
        });
    auto store = openSqliteSecureStore(dir + "/store.db");
    if (!store) return n.fail(store.error().description());
    KeychainManager::setStore(store.value());

    auto& config = AppConstantTAVI::shared();
    config.serverURL = server.url();
    config.caFile = server.caFile();
    config.pinnedPublicKey = server.publicKeyPin();
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG-DEMO";
    config.diagnosticsSink = [&n](std::string_view line) { n.line(line); };
    // The sink refers to the narrator: it must not outlive this function, whichever way it ends.
    const std::unique_ptr<AppConstantTAVI, void (*)(AppConstantTAVI*)> resetSink(
        &config, [](AppConstantTAVI* c) { c->diagnosticsSink = nullptr; });
    n.say("store: " + dir + "/store.db (mode 0600)");
    n.say("trusting the sandbox CA " + server.caFile() + ", pinning " +
          shortText(server.publicKeyPin(), 30));
    const std::string mobile = "+15550100", txnId = "TXN-DEMO-1001", bic = "DEMOBIC1";
    const std::string financial(rawValue(TransactionType::financialTxn));

    n.step("Poll the OTP status of the sandbox's demo transaction until it stops");
    for (int i = 0; i < 10; ++i) {
        const auto status = n.call(CheckOtpStatusRequest{.txnId = sandbox::kDemoTxnId});
        n.say(std::string("txn-status ") + sandbox::kDemoTxnId + " -> " +
              (status == OtpStatus::pending ? "retry" : "stop"));
        if (status != OtpStatus::pending) break;
    }

    n.step("Register the device and its user (SMS step, then the sealed registration)");
    if (!n.call(RegisterDeviceRequest{.sessionKey = server.serverPublicKey(),
                                      .mobileNumber = mobile,
                                      .txnID = "REG-DEMO-1",
                                      .appId = config.appId}))
        return n.fail("registration did not complete");
    n.ok("registered; store holds taviId " + KeychainManager::getPreference("taviId").value_or("?") +
         ", pspId " + KeychainManager::getPreference("pspId").value_or("?"));

    n.step("Mark the device registered (the host's job) and ask the server whether it still is");
    KeychainManager::deletePreference(SessionManager::IS_REGISTERED);
    KeychainManager::savePreference("true", SessionManager::IS_REGISTERED);
    if (n.call(CheckRegistrationRequest{.mobile = mobile}) != RegistrationStatus::registered)
        return n.fail("the server does not know this device");
    n.ok("the server confirms the registration");

    n.step("Open a transaction: retrieve its key material");
    const auto keys = n.call(RetrieveKeysRequest{.msgID = "MSG-DEMO-1",
                                                 .transactionType = financial,
                                                 .txnId = txnId,
                                                 .bic = bic,
                                                 .paymentInstrumentType = "ACCOUNT"});
    if (!keys) return kExitFailure;
    n.ok("bankKi " + keys->bankKi + ", rule " + keys->rule + ", session key " +
         shortText(keys->sessionKey));
    const std::string tail = " --bank-ki " + keys->bankKi +
                             " --public-key \"$BANK_KEY\" --session-key \"$SK\"";

    n.step("Submit the PIN, sealed for the bank (sandbox test PIN, read from a private file)");
    // A secret never goes on a command line, where other users of the machine can read it: the
    // PIN is read from a file only its owner can read, as `--cred-value @FILE` does.
    const std::string pinFile = dir + "/pin.txt";
    SecretString pin;
    try {
        if (!writePrivateFile(pinFile, sandbox::kTestPin)) throw UsageError{"cannot write " + pinFile};
        pin = SecretString(readSecretFile("--cred-value", pinFile));
    } catch (const UsageError& e) {
        return n.fail(e.message);
    }
    n.shell("tavi submit-credential --txn-id " + txnId +
            " --transaction-type FINANCIAL_TXN --cred-type PIN --cred-value @" + pinFile + tail);
    if (!n.call(SubmitCredentialRequest{.txnId = txnId,
                                        .transactionType = financial,
                                        .credType = std::string(rawValue(CredType::PIN)),
                                        .credValue = std::move(pin),
                                        .bankKi = keys->bankKi,
                                        .publicKey = keys->publicKey,
                                        .sessionKey = keys->sessionKey}))
        return n.fail("the server refused the PIN");
    n.ok("PIN accepted");

    n.step("Fetch an OTP challenge");
    const auto challenge = n.call(FetchOtpChallengeRequest{.transactionType = financial,
                                                           .txnId = txnId,
                                                           .paymentInstrumentType = "ACCOUNT",
                                                           .bic = bic,
                                                           .sessionKey = keys->sessionKey});
    if (!challenge) return kExitFailure;
    n.ok("reference " + challenge->referenceId + ", challenge code " +
         challenge->otpChallengeCode + ", expires " + challenge->otpExpiry + ", action " +
         challenge->action);

    n.step("Poll the OTP status (not yet verified)");
    if (n.call(CheckOtpStatusRequest{.txnId = txnId}) != OtpStatus::pending)
        return n.fail("expected retry");
    n.say("txn-status -> retry");

    n.step("Validate the OTP (sandbox test OTP), sealed for the bank");
    n.shell("read -rs OTP; printf '%s\\n' \"$OTP\" | tavi validate-otp --txn-id " + txnId +
            " --transaction-type FINANCIAL_TXN --otp -" + tail + " --action " + challenge->action +
            " --bic " + bic + " --reference-id " + challenge->referenceId);
    if (!n.call(ValidateOtpRequest{.txnId = txnId,
                                   .transactionType = financial,
                                   .credValue = SecretString(sandbox::kTestOtp),
                                   .bankKi = keys->bankKi,
                                   .publicKey = keys->publicKey,
                                   .sessionKey = keys->sessionKey,
                                   .action = challenge->action,
                                   .bic = bic,
                                   .referenceid = challenge->referenceId}))
        return kExitFailure;
    n.ok("OTP accepted");

    n.step("Poll the OTP status again (verified)");
    if (n.call(CheckOtpStatusRequest{.txnId = txnId}) != OtpStatus::settled)
        return n.fail("expected stop");
    n.say("txn-status -> stop");

    n.step("Validate a card number against a bank (sandbox test card)");
    const SecretString card("4111111111111111");
    n.shell("tavi validate-card --txn-id " + txnId + " --card-number @card.txt --bic " + bic +
            " --bank-name \"Demo Bank\"" + tail);
    const auto validated = n.call(ValidateCardNumberRequest{.sessionKey = keys->sessionKey,
                                                            .bankKi = keys->bankKi,
                                                            .publicKey = keys->publicKey,
                                                            .txnId = txnId,
                                                            .cardNumber = card,
                                                            .bic = bic,
                                                            .bankName = "Demo Bank"});
    if (!validated || !validated->commonResponse.success) return n.fail("card validation failed");
    n.ok("card ending " + std::string(card.view().substr(card.view().size() - 4)) +
         ": bank name " + validated->bankNameMatchStatus.value_or("(none)"));

    n.step("Register the card and an account, every value sealed for the bank");
    n.shell("tavi register-card --txn-id " + txnId +
            " --transaction-type REGISTER_CARD_ACC_DETAIL --bic " + bic +
            " --account-no @account.txt --card-number @card.txt --expiry-month - --expiry-year - "
            "--cvv -" + tail);
    const auto registered = n.call(RegisterCardRequest{
        .txnId = txnId,
        .transactionType = std::string(rawValue(TransactionType::registerCardAccDetail)),
        .bic = bic,
        .accountNo = SecretString("000123456789"),
        .bankKi = keys->bankKi,
        .sessionKey = keys->sessionKey,
        .cardNumber = card,
        .expiryMonth = SecretString("12"),
        .expiryYear = SecretString("2031"),
        .cvv = SecretString("737"),
        .publicKey = keys->publicKey});
    if (!registered) return kExitFailure;
    if (!registered->accepted) return n.fail("refused: " + registered->errorCode);
    n.ok("card and account registered");

    n.step("Request the secure web page address");
    const auto refUrl = n.call(SecureWebUrlRequest{
        .transactionType = std::string(rawValue(TransactionType::securePageUrl)),
        .txnId = txnId,
        .paymentInstrumentType = "ACCOUNT",
        .bic = bic,
        .sessionKey = keys->sessionKey});
    if (!refUrl) return kExitFailure;
    n.ok(*refUrl);

    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::cout << "\nDone: " << server.requests().size() << " HTTPS exchanges with the sandbox, "
              << n.lines << " diagnostic lines"
              << (verbose ? "" : " (run `tavi demo --verbose` to see them)") << ", " << ms
              << " ms." << std::endl;
    server.stop();
    return kExitSuccess;
}

}  // namespace tavi::cli
