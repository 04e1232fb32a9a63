// `tavi demo`: the whole life of an installation and a transaction, against a sandbox server
// started in this process on an ephemeral loopback port with TLS.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>

#include "cli.hpp"
#include "sandbox.hpp"
#include "tavi/tavi.hpp"

namespace tavi::cli {
namespace {

class Narrator {
public:
    explicit Narrator(bool verbose) : verbose_(verbose) {}

    void step(const std::string& title) {
        ++step_;
        std::cout << "\n[" << step_ << "] " << title << std::endl;
        lines_ = 0;
    }
    void say(const std::string& text) { std::cout << "    " << text << std::endl; }
    /// The same step from the shell, secrets given as `-` or `@FILE`, never inline.
    void shell(const std::string& command) { std::cout << "    $ " << command << std::endl; }
    void ok(const std::string& text) { std::cout << "    ok: " << text << std::endl; }
    bool fail(const std::string& text) {
        std::cout << "    FAILED: " << text << std::endl;
        failed_ = true;
        return false;
    }
    bool failed() const { return failed_; }

    DiagnosticsSink sink() {
        return [this](std::string_view line) {
            ++lines_;
            ++totalLines_;
            if (!verbose_) return;
            std::string rest(line);
            while (true) {
                const auto nl = rest.find('\n');
                std::string text = rest.substr(0, nl);
                if (text.size() > 110) text = text.substr(0, 107) + "...";
                std::cout << "      | " << text << std::endl;
                if (nl == std::string::npos) break;
                rest.erase(0, nl + 1);
            }
        };
    }
    int totalLines() const { return totalLines_; }

private:
    bool verbose_;
    int step_ = 0;
    int lines_ = 0;
    int totalLines_ = 0;
    bool failed_ = false;
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
    Narrator n(verbose);

    n.step("Start the sandbox payment server (loopback, TLS, generated test CA)");
    sandbox::Options options;
    options.tls = true;
    sandbox::Server server(options);
    if (!server.start()) {
        n.fail("the sandbox did not start: " + server.lastError());
        return kExitFailure;
    }
    n.ok("listening at " + server.url());
    n.say("server public key: " + shortText(server.serverPublicKey(), 40));

    // A fresh secure store for this run: a SQLite file in a private temporary directory.
    char dirTemplate[] = "/tmp/tavi-demo-XXXXXX";
    const char* dir = ::mkdtemp(dirTemplate);
    if (!dir) return n.fail("cannot create a temporary directory"), kExitFailure;
    // Removed on every way out, a failed step included: it holds the store and the PIN file.
    struct RemoveOnExit {
        std::string path;
        ~RemoveOnExit() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
    } removeDir{dir};
    const std::string storePath = std::string(dir) + "/store.db";
    auto store = openSqliteSecureStore(storePath);
    if (!store) return n.fail(store.error().description()), kExitFailure;
    KeychainManager::setStore(store.value());

    auto& config = AppConstantTAVI::shared();
    config.serverURL = server.url();
    config.caFile = server.caFile();
    config.pinnedPublicKey = server.publicKeyPin();
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG-DEMO";
    config.diagnosticsSink = n.sink();
    // The sink refers to the narrator: it must not outlive this function, whichever way it ends.
    struct ResetSink {
        AppConstantTAVI& config;
        ~ResetSink() { config.diagnosticsSink = nullptr; }
    } resetSink{config};
    n.say("store: " + storePath + " (mode 0600)");
    n.say("trusting the sandbox CA " + server.caFile() + ", pinning " +
          shortText(server.publicKeyPin(), 30));

    auto& service = TaviApiService::shared();
    const std::string mobile = "+15550100";

    n.step("Poll the OTP status of the sandbox's demo transaction until it stops");
    for (int i = 0; i < 10; ++i) {
        std::string status;
        service.checkOtpStatus(sandbox::kDemoTxnId, [&](const std::string& s) { status = s; });
        n.say("txn-status " + std::string(sandbox::kDemoTxnId) + " -> " + status);
        if (status == "stop") break;
    }

    n.step("Register the device and its user (SMS step, then the sealed registration)");
    bool registered = false;
    DeviceRegistrationController().startDeviceRegistration(
        true, server.serverPublicKey(), mobile, "REG-DEMO-1", config.appId,
        [&](const std::string& r) { registered = (r == "done"); },
        [&](const Error& e) { n.fail(e.description()); });
    if (!registered) return n.fail("registration did not complete"), kExitFailure;
    n.ok("registered; store holds taviId " + KeychainManager::getPreference("taviId").value_or("?") +
         ", pspId " + KeychainManager::getPreference("pspId").value_or("?"));

    n.step("Mark the device registered (the host's job) and ask the server whether it still is");
    KeychainManager::deletePreference(SessionManager::IS_REGISTERED);
    KeychainManager::savePreference("true", SessionManager::IS_REGISTERED);
    bool stillRegistered = false;
    TaviUtils::getCheckDeviceRegistered(mobile, [&](bool r) { stillRegistered = r; });
    if (!stillRegistered) return n.fail("the server does not know this device"), kExitFailure;
    n.ok("the server confirms the registration");

    n.step("Open a transaction: retrieve its key material");
    const std::string txnId = "TXN-DEMO-1001";
    std::string bankKi, bankKey, sessionKey, rule;
    service.createRetrieveKeysRequest(
        "MSG-DEMO-1", rawValue(TransactionType::financialTxn).data(), txnId, "DEMOBIC1", "ACCOUNT",
        [&](const std::string& ki, const std::string& pk, const std::string& sk,
            const std::string&, const std::string& r) {
            bankKi = ki;
            bankKey = pk;
            sessionKey = sk;
            rule = r;
        },
        [&](const Error& e) { n.fail(e.description()); });
    if (sessionKey.empty()) return kExitFailure;
    n.ok("bankKi " + bankKi + ", rule " + rule + ", session key " + shortText(sessionKey));

    n.step("Submit the PIN, sealed for the bank (sandbox test PIN, read from a private file)");
    // A secret never goes on a command line, where other users of the machine can read it: the
    // PIN is read from a file only its owner can read, as `--cred-value @FILE` does.
    const std::string pinFile = std::string(dir) + "/pin.txt";
    std::string pin;
    try {
        if (!writePrivateFile(pinFile, sandbox::kTestPin)) {
            throw UsageError{"cannot write " + pinFile};
        }
        pin = readSecretFile("--cred-value", pinFile);
    } catch (const UsageError& e) {
        return n.fail(e.message), kExitFailure;
    }
    n.shell("tavi submit-credential --txn-id " + txnId +
            " --transaction-type FINANCIAL_TXN --cred-type PIN --cred-value @" + pinFile +
            " --bank-ki " + bankKi + " --public-key \"$BANK_KEY\" --session-key \"$SK\"");
    bool pinOk = false;
    service.createCredentialSubmissionRequest(
        txnId, rawValue(TransactionType::financialTxn).data(), rawValue(CredType::PIN).data(),
        pin, bankKi, bankKey, sessionKey, [&](bool) { pinOk = true; }, [&](bool) {});
    if (!pinOk) return n.fail("the server refused the PIN"), kExitFailure;
    n.ok("PIN accepted");

    n.step("Fetch an OTP challenge");
    std::string referenceId, action;
    service.createFetchOtpChallengeRequest(
        rawValue(TransactionType::financialTxn).data(), txnId, "ACCOUNT", "DEMOBIC1", sessionKey,
        std::nullopt,
        [&](const std::string& ref, const std::string& code, const std::string& expiry,
            const std::string& act) {
            referenceId = ref;
            action = act;
            n.ok("reference " + ref + ", challenge code " + code + ", expires " + expiry +
                 ", action " + act);
        },
        [&](const std::optional<std::string>& c, const std::optional<std::string>& r) {
            n.fail("OTP challenge refused: " + c.value_or("nil") + " " + r.value_or("nil"));
        });
    if (referenceId.empty()) return kExitFailure;

    n.step("Poll the OTP status (not yet verified)");
    std::string status;
    service.checkOtpStatus(txnId, [&](const std::string& s) { status = s; });
    n.say("txn-status -> " + status);
    if (status != "retry") return n.fail("expected retry"), kExitFailure;

    n.step("Validate the OTP (sandbox test OTP), sealed for the bank");
    n.shell("read -rs OTP; printf '%s\\n' \"$OTP\" | tavi validate-otp --txn-id " + txnId +
            " --transaction-type FINANCIAL_TXN --otp - --bank-ki " + bankKi +
            " --public-key \"$BANK_KEY\" --session-key \"$SK\" --action " + action +
            " --bic DEMOBIC1 --reference-id " + referenceId);
    bool otpOk = false;
    service.createValidateOtpRequest(
        txnId, rawValue(TransactionType::financialTxn).data(), sandbox::kTestOtp, bankKi, bankKey,
        sessionKey, action, "DEMOBIC1", referenceId, [&](bool) { otpOk = true; },
        [&](const std::optional<std::string>& c, const std::optional<std::string>& r) {
            n.fail("OTP refused: " + c.value_or("nil") + " " + r.value_or("nil"));
        });
    if (!otpOk) return kExitFailure;
    n.ok("OTP accepted");

    n.step("Poll the OTP status again (verified)");
    service.checkOtpStatus(txnId, [&](const std::string& s) { status = s; });
    n.say("txn-status -> " + status);
    if (status != "stop") return n.fail("expected stop"), kExitFailure;

    n.step("Validate a card number against a bank (sandbox test card)");
    const std::string card = "4111111111111111";
    n.shell("tavi validate-card --txn-id " + txnId + " --card-number @card.txt --bic DEMOBIC1 " +
            "--bank-name \"Demo Bank\" --bank-ki " + bankKi +
            " --public-key \"$BANK_KEY\" --session-key \"$SK\"");
    bool cardOk = false;
    service.validateCardNumAsync(
        sessionKey, bankKi, bankKey, txnId, card, "DEMOBIC1", "Demo Bank",
        [&](const ValidateCardNumResponse& r) {
            cardOk = r.commonResponse.success;
            n.ok("card ending " + card.substr(card.size() - 4) + ": bank name " +
                 r.bankNameMatchStatus.value_or("(none)"));
        },
        [&](const Error& e) { n.fail(e.description()); });
    if (!cardOk) return n.fail("card validation failed"), kExitFailure;

    n.step("Register the card and an account, every value sealed for the bank");
    n.shell("tavi register-card --txn-id " + txnId +
            " --transaction-type REGISTER_CARD_ACC_DETAIL --bic DEMOBIC1 --account-no "
            "@account.txt --card-number @card.txt --expiry-month - --expiry-year - --cvv - "
            "--bank-ki " + bankKi + " --public-key \"$BANK_KEY\" --session-key \"$SK\"");
    bool cardRegistered = false;
    service.registerCardDetailRequest(
        txnId, rawValue(TransactionType::registerCardAccDetail).data(), "DEMOBIC1",
        std::string("000123456789"), bankKi, sessionKey, card, "12", "2031", "737", bankKey,
        [&](bool ok, const std::string& code) {
            cardRegistered = ok;
            if (!ok) n.fail("refused: " + code);
        },
        [&](const Error& e) { n.fail(e.description()); });
    if (!cardRegistered) return kExitFailure;
    n.ok("card and account registered");

    n.step("Request the secure web page address");
    std::string refUrl;
    service.webUrlRequestAsync(
        rawValue(TransactionType::securePageUrl).data(), txnId, "ACCOUNT", "DEMOBIC1", sessionKey,
        [&](const std::string& url) { refUrl = url; },
        [&](const Error& e) { n.fail(e.description()); });
    if (refUrl.empty()) return kExitFailure;
    n.ok(refUrl);

    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)
                        .count();
    std::cout << "\nDone: " << server.requests().size() << " HTTPS exchanges with the sandbox, "
              << n.totalLines() << " diagnostic lines"
              << (verbose ? "" : " (run `tavi demo --verbose` to see them)") << ", " << ms
              << " ms." << std::endl;
    server.stop();
    return n.failed() ? kExitFailure : kExitSuccess;
}

}  // namespace tavi::cli
