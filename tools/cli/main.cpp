// tavi — drive every public operation of the library from the command line.
//
// Standard output holds exactly one line: a JSON object with the result. The library's diagnostic
// lines go to standard error (or nowhere with --quiet).

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <set>
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
    if (error.delivery == RequestDelivery::notSent) e["delivery"] = "notSent";
    if (error.delivery == RequestDelivery::mayHaveBeenReceived)
        e["delivery"] = "mayHaveBeenReceived";
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
    long deadlineMs = 0;
    bool quiet = false;
};

/// Applies the global options to the configuration and installs the store.
bool configure(const Globals& g, bool needsStore) {
    auto& config = AppConstantTAVI::shared();
    config.serverURL = g.server;
    config.caFile = g.caFile;
    config.pinnedPublicKey = g.pinKey;
    config.timeoutMilliseconds = g.timeoutMs;
    if (g.deadlineMs > 0) config.operationDeadlineMilliseconds = g.deadlineMs;
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

// --- secret options ---------------------------------------------------------------------------

constexpr const char* kSecretForms =
    " Give VALUE, or - to read one line from standard input, or @FILE to read a file only you "
    "can read (chmod 600). An inline VALUE is visible to other users of this machine "
    "(ps, /proc/PID/cmdline).";

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

std::string readSecretFile(const std::string& option, const std::string& path) {
    const std::string what = option + " @" + path + ": ";
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0) throw UsageError{what + std::strerror(errno)};
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw UsageError{what + std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) {
        throw UsageError{what +
                         "not a regular file; keep the secret in a file of its own, "
                         "readable only by you (chmod 600 FILE)"};
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw UsageError{what + "readable by other users (mode " + mode +
                         "); make it private with: chmod 600 " + path};
    }
    std::string content;
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw UsageError{what + std::strerror(errno)};
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
        if (content.size() > 65536) throw UsageError{what + "larger than 64 KiB"};
    }
    if (!content.empty() && content.back() == '\n') content.pop_back();
    if (!content.empty() && content.back() == '\r') content.pop_back();
    return content;
}

namespace {

/// One line of standard input, without its line ending.
std::string readSecretLine(const std::string& option) {
    std::string line;
    if (!std::getline(std::cin, line)) {
        throw UsageError{option +
                         " -: standard input has no line for this option (one line is "
                         "read for each option given as -, in command-line order)"};
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

/// The secret options of every command, and where their values go.
class Secrets {
  public:
    CLI::Option* add(CLI::App* command, const std::string& name, std::string& value,
                     const std::string& help) {
        CLI::Option* option =
            command->add_option(name, value, help + "." + kSecretForms)->type_name("SECRET");
        targets_[option] = &value;
        return option;
    }

    /// Replaces each `-` and `@FILE` value of `command`'s secret options by the value it stands
    /// for, in the order the options were given (standard input is read one line per `-`).
    void resolve(const CLI::App& command) const {
        std::set<const CLI::Option*> done;
        for (const CLI::Option* option : command.parse_order()) {
            auto it = targets_.find(option);
            if (it == targets_.end() || !done.insert(option).second) continue;
            std::string& value = *it->second;
            const std::string name = option->get_name();
            if (value == "-") {
                value = readSecretLine(name);
            } else if (!value.empty() && value.front() == '@') {
                value = readSecretFile(name, value.substr(1));
            } else {
                continue;
            }
            if (value.empty()) throw UsageError{name + ": the value read is empty"};
        }
    }

  private:
    std::map<const CLI::Option*, std::string*> targets_;
};

// --- help texts -------------------------------------------------------------------------------

std::string joined(const std::vector<std::string>& items, const std::string& separator = ", ") {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

std::string transactionTypes() {
    std::vector<std::string> names;
    for (auto type :
         {TransactionType::setPin, TransactionType::changePin, TransactionType::balanceEnquiry,
          TransactionType::financialTxn, TransactionType::registerCardAccDetail,
          TransactionType::securePageUrl, TransactionType::collect}) {
        names.emplace_back(rawValue(type));
    }
    return joined(names);
}

std::string credTypes() {
    std::vector<std::string> names;
    for (auto type : {CredType::OTP, CredType::MPIN, CredType::PIN, CredType::REGISTER_ACCOUNT}) {
        names.emplace_back(rawValue(type));
    }
    return joined(names);
}

/// Options shared by several commands, with one help text each.
struct Common {
    std::string txnId, transactionType, sessionKey, bankKi, publicKey, bic, instrumentType;

    CLI::Option* txn(CLI::App* c, const std::string& help = "transaction identifier") {
        return c->add_option("--txn-id", txnId, help)->type_name("ID")->required();
    }
    CLI::Option* type(CLI::App* c, const std::string& usual = "") {
        return c
            ->add_option("--transaction-type", transactionType,
                         "transaction type: " + transactionTypes() +
                             (usual.empty() ? "" : " (usually " + usual + ")") +
                             "; other text is sent as given")
            ->type_name("TYPE")
            ->required();
    }
    CLI::Option* session(CLI::App* c) {
        return c
            ->add_option("--session-key", sessionKey,
                         "the transaction's session key (\"sessionKey\" from retrieve-keys)")
            ->type_name("KEY")
            ->required();
    }
    CLI::Option* ki(CLI::App* c) {
        return c->add_option("--bank-ki", bankKi, "bank key index (\"bankKi\" from retrieve-keys)")
            ->type_name("KI")
            ->required();
    }
    CLI::Option* bankKey(CLI::App* c) {
        return c
            ->add_option("--public-key", publicKey,
                         "the bank's public key (\"publicKey\" from retrieve-keys)")
            ->type_name("KEY")
            ->required();
    }
    CLI::Option* bicOpt(CLI::App* c) {
        return c->add_option("--bic", bic, "bank identifier code of the account's bank")
            ->type_name("BIC")
            ->required();
    }
    CLI::Option* instrument(CLI::App* c) {
        return c
            ->add_option("--instrument-type", instrumentType,
                         "payment instrument type, e.g. ACCOUNT (sent as given)")
            ->type_name("TYPE")
            ->required();
    }
};

std::string example(const std::string& lines) {
    return "\nExample:\n" + lines +
           "\n\nGlobal options (tavi --help) may come before or after the command.\n";
}

/// A whole number from `min` to `max`; `rule` says which, for the help text's reader.
CLI::Validator wholeNumber(long min, long max, const std::string& rule) {
    return CLI::Validator(
        [min, max, rule](std::string& text) -> std::string {
            long value = 0;
            if (!CLI::detail::lexical_cast(text, value) || value < min || value > max) {
                return "must be " + rule;
            }
            return {};
        },
        "");
}

/// Names the unknown options left on the command line ("--bogus" of "--bogus=1"); values are
/// never repeated, since a mistyped secret option would otherwise show its secret.
std::string unknownArguments(const CLI::App& app) {
    std::vector<std::string> options;
    std::size_t others = 0;
    for (const auto& arg : app.remaining(true)) {
        if (arg.size() > 1 && arg.front() == '-' && arg != "--") {
            options.push_back(arg.substr(0, arg.find('=')));
        } else if (arg != "--") {
            ++others;
        }
    }
    if (!options.empty()) {
        return (options.size() == 1 ? "unknown option " : "unknown options ") + joined(options) +
               " (see tavi --help and tavi COMMAND --help)";
    }
    if (others > 0) {
        return std::to_string(others) + " unexpected argument" + (others == 1 ? "" : "s") +
               " (not shown) (see tavi COMMAND --help)";
    }
    return "";
}

// --- the operation in flight -------------------------------------------------------------------

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) {
    stopRequested = 1;
}

/// While it lives, SIGINT and SIGTERM only ask the operation in flight to stop.
class StopSignals {
  public:
    StopSignals() {
        struct sigaction action {};
        action.sa_handler = requestStop;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &previousInt_);
        ::sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &previousInt_, nullptr);
        ::sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

bool isCancellation(const Error& e) {
    return e.domain == ErrorDomain::client && e.code == ClientErrorCode::cancelled;
}

/// Runs the call `start` starts until it ends; SIGINT or SIGTERM cancels it (its result is then
/// the cancellation, unless it had already ended).
template <class T, class Start>
Result<T> runCall(Start&& start) {
    const StopSignals signals;
    // Written on the library's completion thread before the handle reports the call done.
    auto outcome = std::make_shared<std::optional<Result<T>>>();
    const CallHandle handle = start([outcome](Result<T> result) {
        outcome->emplace(std::move(result));
    });
    bool cancelled = false;
    while (!handle.waitFor(std::chrono::milliseconds(25))) {
        if (stopRequested != 0 && !cancelled) {
            handle.cancel();
            cancelled = true;
        }
    }
    if (!*outcome) {
        return Error{ErrorDomain::client, ClientErrorCode::encryptionFailed,
                     "internal: the call ended without a result", nullptr, {}, {}, {}, 0};
    }
    return std::move(**outcome);
}

int usageError(const std::string& message) {
    std::cerr << "tavi: " << message << std::endl;
    return kExitUsage;
}

}  // namespace
}  // namespace tavi::cli

int main(int argc, char** argv) {
    using namespace tavi;
    using namespace tavi::cli;

    CLI::App app{
        "tavi — payment SDK command-line tool: drives each operation of the library "
        "and prints its result as one JSON line on standard output."};
    // Global options may also follow the command: a command hands the options it does not know
    // to the main command (set before the commands are added, which inherit it).
    app.fallthrough();
    app.name("tavi");  // the help says "tavi", however the program was started
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string(taviVersionString), "print the version and exit");
    app.footer(
        "\nGlobal options may come before or after the command. Secret options (--cred-value, "
        "--otp, --card-number, --cvv, --account-no) take VALUE, - (one line from standard "
        "input, in command-line order) or @FILE (a file only you can read, chmod 600); an "
        "inline VALUE is visible to other users of this machine.\n"
        "Exit status: 0 the operation succeeded, 1 it failed (the error is the JSON line), "
        "2 usage error (message on standard error).\n"
        "\nExample:\n"
        "  tavi sandbox --tls --state /tmp/sbx &\n"
        "  tavi otp-status --txn-id DEMO-TXN-1 --server https://127.0.0.1:PORT "
        "--ca-file /tmp/sbx/ca.pem\n"
        "  tavi COMMAND --help");
    Globals g;
    app.add_option("--server", g.server,
                   "server base URL, no trailing slash (default $TAVI_SERVER_URL, else the "
                   "production server)")
        ->type_name("URL");
    app.add_option("--store", g.store,
                   "secure store database (default $TAVI_STORE, else "
                   "$XDG_DATA_HOME/tavi/store.db or ~/.local/share/tavi/store.db)")
        ->type_name("PATH");
    app.add_option("--ca-file", g.caFile, "extra trusted CA certificates (PEM file)")
        ->type_name("PEM")
        ->check(CLI::ExistingFile);
    app.add_option("--pin-key", g.pinKey,
                   "pin the server's public key: sha256//BASE64 (several joined with ;)")
        ->type_name("PIN");
    app.add_option("--app-id", g.appId, "application identifier sent with requests")
        ->type_name("ID");
    app.add_option("--psp-org-id", g.pspOrgId, "PSP organisation identifier")->type_name("ID");
    app.add_option("--timeout-ms", g.timeoutMs,
                   "per-request timeout in milliseconds, at least 1 (default 60000)")
        ->type_name("N")
        ->check(wholeNumber(1, kLongestDurationMilliseconds,
                            "a whole number of milliseconds, 1 to 86400000 (24 hours)"));
    app.add_option("--deadline-ms", g.deadlineMs,
                   "bound on the whole operation in milliseconds, re-issues and restarts "
                   "included, at least 1 (default twice --timeout-ms)")
        ->type_name("N")
        ->check(wholeNumber(1, kLongestDurationMilliseconds,
                            "a whole number of milliseconds, 1 to 86400000 (24 hours)"));
    app.add_flag("--quiet", g.quiet, "silence the library's diagnostic lines (standard error)");

    int exitCode = kExitSuccess;
    auto& service = TaviApiService::shared();
    Secrets secrets;
    Common c;
    auto fail = [&](const Error& e) {
        printResult(errorJson(e));
        exitCode = kExitFailure;
    };
    // The OTP commands' failures: the server's errorCode and errorReason for a refusal,
    // "Exception Occured" twice otherwise, with the error beside them; a cancellation is an
    // error alone.
    auto failCodeReason = [&](const Error& e) {
        if (isCancellation(e)) return fail(e);
        const bool refused = e.domain == ErrorDomain::refusal;
        const std::string otherwise = "Exception Occured";
        Json out = Json::object();
        out["errorCode"] = refused ? optionalJson(e.errorCode) : Json(otherwise);
        out["errorReason"] = refused ? optionalJson(e.errorReason) : Json(otherwise);
        out["error"] = errorJson(e)["error"];
        printResult(out);
        exitCode = kExitFailure;
    };

    // otp-status
    auto* otpStatus =
        app.add_subcommand("otp-status", "poll whether a transaction's OTP is verified");
    c.txn(otpStatus);
    otpStatus->footer(
        example("  tavi otp-status --txn-id DEMO-TXN-1      # {\"status\":\"retry\"} "
                "until verified, then {\"status\":\"stop\"}"));
    otpStatus->callback([&] {
        if (!configure(g, false)) return void(exitCode = kExitFailure);
        auto r = runCall<OtpStatus>(
            [&](Completion<OtpStatus> done) { return service.startOtpStatus(c.txnId, done); });
        if (!r && isCancellation(r.error())) return fail(r.error());
        // A poll that could not ask says "stop", as it always has.
        printResult(Json{{"status", r && r.value() == OtpStatus::pending ? "retry" : "stop"}});
    });

    // check
    std::string mobile;
    auto* check = app.add_subcommand("check", "ask whether this device counts as registered");
    check->add_option("--mobile", mobile, "the user's mobile number, e.g. +15550100")
        ->type_name("NUMBER")
        ->required();
    check->footer(example("  tavi check --mobile +15550100      # {\"registered\":true|false}"));
    check->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        auto r = runCall<RegistrationStatus>([&](Completion<RegistrationStatus> done) {
            return service.startCheckRegistration(mobile, done);
        });
        if (!r && isCancellation(r.error())) return fail(r.error());
        // A check that could not ask counts as not registered, as it always has.
        printResult(Json{{"registered", r && r.value() == RegistrationStatus::registered}});
    });

    // register
    std::string serverKey, regAppId;
    auto* reg = app.add_subcommand("register", "register this device and its user");
    reg->add_option("--session-key", serverKey,
                    "the server's public key, base64 DER (\"serverPublicKey\" printed by "
                    "tavi sandbox)")
        ->type_name("KEY")
        ->required();
    reg->add_option("--mobile", mobile, "the user's mobile number, e.g. +15550100")
        ->type_name("NUMBER")
        ->required();
    c.txn(reg, "registration transaction identifier");
    reg->add_option("--app-id", regAppId,
                    "application identifier registered with the device (this command's own "
                    "option: give a global --app-id before the command)")
        ->type_name("ID")
        ->required();
    reg->footer(example(
        "  KEY=$(head -n 1 sandbox.out | jq -r .serverPublicKey)   # first line of tavi sandbox\n"
        "  tavi register --session-key \"$KEY\" --mobile +15550100 --txn-id R1 --app-id "
        "com.example.wallet"));
    reg->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        auto r = runCall<Accepted>([&](Completion<Accepted> done) {
            return DeviceRegistrationController().startRegisterDevice(serverKey, mobile, c.txnId,
                                                                      regAppId, done);
        });
        if (!r) return fail(r.error());
        printResult(Json{{"result", "done"}});
    });

    // retrieve-keys
    std::string msgId;
    auto* keys = app.add_subcommand("retrieve-keys", "open a transaction: retrieve its keys");
    keys->add_option("--msg-id", msgId, "message identifier, unique per request")
        ->type_name("ID")
        ->required();
    c.type(keys, "FINANCIAL_TXN");
    c.txn(keys, "identifier of the transaction to open");
    c.bicOpt(keys);
    c.instrument(keys);
    keys->footer(example(
        "  tavi retrieve-keys --msg-id M1 --transaction-type FINANCIAL_TXN --txn-id T1 --bic "
        "BIC1 --instrument-type ACCOUNT\n"
        "  # prints bankKi, publicKey and sessionKey: the other commands' --bank-ki, "
        "--public-key, --session-key"));
    keys->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        auto r = runCall<TransactionKeys>([&](Completion<TransactionKeys> done) {
            return service.startRetrieveKeys(msgId, c.transactionType, c.txnId, c.bic,
                                             c.instrumentType, done);
        });
        if (!r) return fail(r.error());
        Json out = Json::object();
        out["bankKi"] = r.value().bankKi;
        out["publicKey"] = r.value().publicKey;
        out["sessionKey"] = r.value().sessionKey;
        out["txnId"] = r.value().txnId;
        out["rule"] = r.value().rule;
        printResult(out);
    });

    const std::string keyVars =
        "--bank-ki \"$KI\" --public-key \"$BANK_KEY\" --session-key \"$SK\"";

    // submit-credential
    std::string credType, credValue;
    auto* cred = app.add_subcommand("submit-credential", "submit a PIN-type credential");
    c.txn(cred);
    c.type(cred, "FINANCIAL_TXN");
    cred->add_option("--cred-type", credType,
                     "credential type: " + credTypes() + "; other text is sent as given")
        ->type_name("TYPE")
        ->required();
    secrets.add(cred, "--cred-value", credValue, "the credential (the PIN)")->required();
    c.ki(cred);
    c.bankKey(cred);
    c.session(cred);
    cred->footer(example(
        "  tavi submit-credential --txn-id T1 --transaction-type FINANCIAL_TXN --cred-type PIN "
        "--cred-value @pin.txt " +
        keyVars +
        "\n"
        "  read -rs PIN; printf '%s\\n' \"$PIN\" | tavi submit-credential ... --cred-value -"));
    cred->callback([&] {
        secrets.resolve(*cred);
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        auto r = runCall<Accepted>([&](Completion<Accepted> done) {
            return service.startSubmitCredential(c.txnId, c.transactionType, credType, credValue,
                                                 c.bankKi, c.publicKey, c.sessionKey, done);
        });
        if (r) return printResult(Json{{"success", true}});
        if (isCancellation(r.error())) return fail(r.error());
        Json out = Json{{"success", false}};
        out["error"] = errorJson(r.error())["error"];
        printResult(out);
        exitCode = kExitFailure;
    });

    // fetch-otp
    std::string action;
    auto* fetchOtp = app.add_subcommand("fetch-otp", "fetch an OTP challenge");
    c.type(fetchOtp, "FINANCIAL_TXN");
    c.txn(fetchOtp);
    c.instrument(fetchOtp);
    c.bicOpt(fetchOtp);
    c.session(fetchOtp);
    auto* actionOpt = fetchOtp->add_option(
        "--action", action, "what the OTP authorises, e.g. PURCHASE (default: the server's)");
    fetchOtp->footer(example(
        "  tavi fetch-otp --transaction-type FINANCIAL_TXN --txn-id T1 --instrument-type ACCOUNT "
        "--bic BIC1 --session-key \"$SK\"\n"
        "  # prints referenceId and action: validate-otp's --reference-id and --action"));
    fetchOtp->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        std::optional<std::string> act;
        if (actionOpt->count() > 0) act = action;
        auto r = runCall<OtpChallenge>([&](Completion<OtpChallenge> done) {
            return service.startFetchOtpChallenge(c.transactionType, c.txnId, c.instrumentType,
                                                  c.bic, c.sessionKey, act, done);
        });
        if (!r) return failCodeReason(r.error());
        Json out = Json::object();
        out["referenceId"] = r.value().referenceId;
        out["otpChallengeCode"] = r.value().otpChallengeCode;
        out["otpExpiry"] = r.value().otpExpiry;
        out["action"] = r.value().action;
        printResult(out);
    });

    // validate-otp
    std::string otp, referenceId;
    auto* validateOtp = app.add_subcommand("validate-otp", "validate an OTP");
    c.txn(validateOtp);
    c.type(validateOtp, "FINANCIAL_TXN");
    secrets.add(validateOtp, "--otp", otp, "the one-time password the user received")->required();
    c.ki(validateOtp);
    c.bankKey(validateOtp);
    c.session(validateOtp);
    validateOtp->add_option("--action", action, "\"action\" from fetch-otp, e.g. PURCHASE")
        ->required();
    c.bicOpt(validateOtp);
    validateOtp->add_option("--reference-id", referenceId, "\"referenceId\" from fetch-otp")
        ->type_name("ID")
        ->required();
    validateOtp->footer(
        example("  read -rs OTP; printf '%s\\n' \"$OTP\" | tavi validate-otp --txn-id T1 "
                "--transaction-type FINANCIAL_TXN --otp - " +
                keyVars + " --action PURCHASE --bic BIC1 --reference-id \"$REF\""));
    validateOtp->callback([&] {
        secrets.resolve(*validateOtp);
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        auto r = runCall<Accepted>([&](Completion<Accepted> done) {
            return service.startValidateOtp(c.txnId, c.transactionType, otp, c.bankKi,
                                            c.publicKey, c.sessionKey, action, c.bic, referenceId,
                                            done);
        });
        if (!r) return failCodeReason(r.error());
        printResult(Json{{"success", true}});
    });

    // validate-card
    std::string cardNumber, bankName;
    bool skipLocalCheck = false;
    auto* validateCard = app.add_subcommand("validate-card", "check a card number against a bank");
    c.session(validateCard);
    c.ki(validateCard);
    c.bankKey(validateCard);
    c.txn(validateCard);
    secrets.add(validateCard, "--card-number", cardNumber, "the card number, digits only")
        ->required();
    c.bicOpt(validateCard);
    validateCard->add_option("--bank-name", bankName, "the bank name the card should belong to")
        ->type_name("NAME")
        ->required();
    validateCard->add_flag("--skip-local-check", skipLocalCheck,
                           "send the number even when the local card check refuses it");
    validateCard->footer(
        example("  tavi validate-card " + keyVars +
                " --txn-id T1 --card-number @card.txt --bic BIC1 --bank-name \"Demo Bank\""));
    validateCard->callback([&] {
        secrets.resolve(*validateCard);
        // An obviously wrong number is refused before any request; the error never shows it.
        if (auto problem = CardValidation::verify(cardNumber); problem && !skipLocalCheck)
            return fail(*problem);
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        auto result = runCall<ValidateCardNumResponse>(
            [&](Completion<ValidateCardNumResponse> done) {
                return service.startValidateCardNum(c.sessionKey, c.bankKi, c.publicKey, c.txnId,
                                                    cardNumber, c.bic, bankName, done);
            });
        if (!result) return fail(result.error());
        const ValidateCardNumResponse& r = result.value();
        Json header = Json::object();
        if (r.commonResponse.reqMsgID) header["reqMsgId"] = *r.commonResponse.reqMsgID;
        header["success"] = r.commonResponse.success;
        if (r.commonResponse.errorCode) header["errorCode"] = *r.commonResponse.errorCode;
        if (r.commonResponse.errorReason) header["errorReason"] = *r.commonResponse.errorReason;
        Json out = Json::object();
        out["commonResponse"] = header;
        out["bankNameMatchStatus"] = optionalJson(r.bankNameMatchStatus);
        printResult(out);
    });

    // register-card
    std::string accountNo, expiryMonth, expiryYear, cvv;
    auto* regCard = app.add_subcommand("register-card", "register card and account details");
    c.txn(regCard);
    c.type(regCard, "REGISTER_CARD_ACC_DETAIL");
    c.bicOpt(regCard);
    auto* accountOpt = secrets.add(regCard, "--account-no", accountNo, "account number (optional)");
    c.ki(regCard);
    c.session(regCard);
    secrets.add(regCard, "--card-number", cardNumber, "the card number, digits only")->required();
    regCard->add_option("--expiry-month", expiryMonth, "expiry month, 1 to 12 (e.g. 07)")
        ->type_name("MM")
        ->required();
    regCard->add_option("--expiry-year", expiryYear, "expiry year, four digits, not past")
        ->type_name("YYYY")
        ->required();
    secrets.add(regCard, "--cvv", cvv, "the card's 3- or 4-digit security code")->required();
    c.bankKey(regCard);
    regCard->add_flag("--skip-local-check", skipLocalCheck,
                      "send the card even when the local card check refuses it");
    regCard->footer(example(
        "  tavi register-card --txn-id T1 --transaction-type REGISTER_CARD_ACC_DETAIL --bic BIC1 "
        "--card-number @card.txt --expiry-month 12 --expiry-year 2031 --cvv - " +
        keyVars +
        "\n  # the card number from card.txt (chmod 600), the CVV typed on standard input"));
    regCard->callback([&] {
        secrets.resolve(*regCard);
        if (auto problem = CardValidation::verify(cardNumber, expiryMonth, expiryYear, cvv);
            problem && !skipLocalCheck)
            return fail(*problem);
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        std::optional<std::string> account;
        if (accountOpt->count() > 0) account = accountNo;
        auto r = runCall<CardRegistration>([&](Completion<CardRegistration> done) {
            return service.startRegisterCardDetail(c.txnId, c.transactionType, c.bic, account,
                                                   c.bankKi, c.sessionKey, cardNumber,
                                                   expiryMonth, expiryYear, cvv, c.publicKey,
                                                   done);
        });
        if (!r) return fail(r.error());
        printResult(Json{{"success", r.value().accepted}, {"errorCode", r.value().errorCode}});
    });

    // web-url
    auto* webUrl = app.add_subcommand("web-url", "obtain the secure web page address");
    c.type(webUrl, "SECURE_PAGE_URL");
    c.txn(webUrl);
    c.instrument(webUrl);
    c.bicOpt(webUrl);
    c.session(webUrl);
    webUrl->footer(example(
        "  tavi web-url --transaction-type SECURE_PAGE_URL --txn-id T1 --instrument-type ACCOUNT "
        "--bic BIC1 --session-key \"$SK\""));
    webUrl->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        auto r = runCall<std::string>([&](Completion<std::string> done) {
            return service.startWebUrl(c.transactionType, c.txnId, c.instrumentType, c.bic,
                                       c.sessionKey, done);
        });
        if (!r) return fail(r.error());
        printResult(Json{{"refUrl", r.value()}});
    });

    // store get/set/delete
    std::string name, value;
    auto* store = app.add_subcommand("store", "read and write the secure store");
    store->require_subcommand(1);
    store->footer(
        example("  tavi store set IS_REGISTERED true   # {\"status\":0}\n"
                "  tavi store get IS_REGISTERED        # {\"value\":\"true\"}\n"
                "  tavi store delete IS_REGISTERED     # {\"status\":0}"));
    auto* storeGet = store->add_subcommand("get", "read a value: {\"value\":…} or null");
    storeGet->add_option("NAME", name, "the value's name, e.g. IS_REGISTERED, taviId, pspId")
        ->required();
    storeGet->footer(example("  tavi store get taviId"));
    storeGet->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        printResult(Json{{"value", optionalJson(KeychainManager::getPreference(name))}});
    });
    auto* storeSet = store->add_subcommand(
        "set", "write a value; never overwrites (status -25299 when the name exists)");
    storeSet->add_option("NAME", name, "the value's name")->required();
    storeSet->add_option("VALUE", value, "the value")->required();
    storeSet->footer(
        example("  tavi store delete IS_REGISTERED; tavi store set IS_REGISTERED true"));
    storeSet->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        printResult(Json{{"status", KeychainManager::savePreference(value, name)}});
    });
    auto* storeDelete =
        store->add_subcommand("delete", "delete a value (status -25300 when there is none)");
    storeDelete->add_option("NAME", name, "the value's name")->required();
    storeDelete->footer(example("  tavi store delete IS_REGISTERED"));
    storeDelete->callback([&] {
        if (!configure(g, true)) return void(exitCode = kExitFailure);
        printResult(Json{{"status", KeychainManager::deletePreference(name)}});
    });

    // device
    auto* device = app.add_subcommand("device", "show the device identifier and user agent");
    device->footer(example("  tavi device      # {\"deviceId\":…,\"userAgent\":…}"));
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
    sb->add_option("--host", sandboxOptions.host,
                   "loopback address to bind: 127.0.0.1 (default), another 127.x.y.z, ::1 or "
                   "localhost")
        ->type_name("ADDRESS");
    sb->add_option("--port", sandboxOptions.port,
                   "port, 1 to 65535, or 0 for an ephemeral port (default 0); a port in use is "
                   "an error")
        ->type_name("N")
        ->check(wholeNumber(0, 65535, "1 to 65535, or 0 for an ephemeral port"));
    sb->add_flag("--tls", sandboxOptions.tls, "serve HTTPS with a generated test CA");
    sb->add_option("--state", sandboxOptions.stateDir,
                   "directory for the server key, CA and certificate, kept across runs "
                   "(default: a temporary directory)")
        ->type_name("DIR");
    sb->add_option("--keep-alive", sandboxOptions.keepAliveSeconds,
                   "seconds an idle kept connection stays open, 1 to 3600 (default 1); answers "
                   "say so in Keep-Alive: timeout=N")
        ->type_name("SECONDS")
        ->check(wholeNumber(1, 3600, "1 to 3600"));
    sb->footer(
        example("  tavi sandbox --tls --port 8443 --state /tmp/sbx > sandbox.out &\n"
                "  # first line: {\"url\":…,\"serverPublicKey\":…,\"caFile\":…}; SIGINT or SIGTERM "
                "stops it.\n"
                "  # Test credentials, cards, faults and control endpoints: docs/SANDBOX.md"));
    sb->callback([&] { exitCode = sandbox::runForeground(sandboxOptions); });

    // sandbox-fault
    sandbox::Fault fault;
    std::string endpoint, kindName, errorCode, errorReason;
    bool clearFaults = false;
    auto* sf = app.add_subcommand(
        "sandbox-fault",
        "set a fault on a running sandbox (POST /__sandbox/faults), or clear them");
    sf->add_option("--endpoint", endpoint,
                   "endpoint whose answers the fault shapes: " + joined(sandbox::endpointNames()) +
                       ", or a path starting with /; omitted: every endpoint")
        ->type_name("NAME");
    auto* kindOpt =
        sf->add_option("--kind", kindName, "fault: " + joined(sandbox::faultKindNames()))
            ->type_name("KIND");
    auto* statusOpt = sf->add_option("--status", fault.status,
                                     "HTTP status, 100 to 599 (status, body, emptyBody, nonJson, "
                                     "oversized)")
                          ->type_name("N")
                          ->check(wholeNumber(100, 599, "an HTTP status, 100 to 599"));
    auto* bodyOpt =
        sf->add_option("--body", fault.body, "the answer's body (body)")->type_name("TEXT");
    auto* delayOpt =
        sf->add_option("--delay-ms", fault.delayMs, "delay before the answer, at least 1 (delay)")
            ->type_name("N")
            ->check(wholeNumber(1, INT_MAX, "a whole number of milliseconds, at least 1"));
    auto* sizeOpt =
        sf->add_option("--size", fault.size,
                       "body size in bytes, up to 64 MiB (oversized; default 8 MiB)")
            ->type_name("N")
            ->check(wholeNumber(0, 64L << 20, "a number of bytes, 0 to 67108864 (64 MiB)"));
    auto* codeOpt = sf->add_option("--error-code", errorCode,
                                   "errorCode of the refusal (refusal, refusalNoPayload)")
                        ->type_name("TEXT");
    auto* reasonOpt = sf->add_option("--error-reason", errorReason,
                                     "errorReason of the refusal (refusal, refusalNoPayload)")
                          ->type_name("TEXT");
    auto* timesOpt = sf->add_option("--times", fault.times,
                                    "apply to this many requests, at least 1 (default: until "
                                    "cleared)")
                         ->type_name("N")
                         ->check(wholeNumber(1, INT_MAX, "a whole number, at least 1"));
    sf->add_flag("--clear", clearFaults, "clear every fault instead");
    sf->footer(example(
        "  tavi sandbox-fault --server http://127.0.0.1:8080 --endpoint retrieve-key --kind "
        "refusal --error-code U30 --times 1\n"
        "  tavi sandbox-fault --server https://127.0.0.1:8443 --ca-file /tmp/sbx/ca.pem --clear\n"
        "  # prints {\"ok\":true,\"fault\":{…}} or {\"ok\":true,\"cleared\":true}; a sandbox that "
        "cannot be reached or refuses: an error value, exit 1"));
    sf->callback([&] {
        if (g.server == kProductionServerURL) {
            throw UsageError{
                "sandbox-fault needs --server (or $TAVI_SERVER_URL) with the "
                "sandbox's URL"};
        }
        if (clearFaults) {
            for (const auto* o :
                 {kindOpt, statusOpt, bodyOpt, delayOpt, sizeOpt, codeOpt, reasonOpt, timesOpt}) {
                if (o->count() > 0) throw UsageError{"--clear takes no " + o->get_name()};
            }
        } else if (kindName.empty()) {
            throw UsageError{"sandbox-fault needs --kind KIND, or --clear"};
        } else if (!sandbox::faultKindFromName(kindName) || kindName == "none") {
            throw UsageError{"--kind " + kindName + ": not a fault; use one of " +
                             joined(sandbox::faultKindNames())};
        }
        sandbox::ControlAnswer answer;
        Json out = Json::object();
        out["ok"] = true;
        if (clearFaults) {
            answer = sandbox::sendClearFaults(g.server, g.caFile);
            out["cleared"] = true;
        } else {
            if (!endpoint.empty()) {
                auto path = sandbox::endpointPath(endpoint);
                if (!path) {
                    throw UsageError{"--endpoint " + endpoint + ": not an endpoint; use one of " +
                                     joined(sandbox::endpointNames()) + ", or a path"};
                }
                fault.path = *path;
            }
            fault.kind = *sandbox::faultKindFromName(kindName);
            if (codeOpt->count() > 0) fault.errorCode = errorCode;
            if (reasonOpt->count() > 0) fault.errorReason = errorReason;
            answer = sandbox::sendFault(g.server, g.caFile, fault);
            out["fault"] = Json::parse(sandbox::faultJson(fault));
        }
        if (answer.status != 200) {
            std::string message = answer.error;
            if (answer.status != 0) {
                Json body = Json::parse(answer.body, nullptr, false);
                message = "the sandbox answered HTTP " + std::to_string(answer.status);
                if (body.is_object() && body.contains("error") && body["error"].is_string()) {
                    message += ": " + body["error"].get<std::string>();
                }
            }
            Json e = Json::object();
            e["domain"] = "SandboxControlError";
            e["code"] = answer.status;
            e["message"] = message;
            printResult(Json{{"error", e}});
            exitCode = kExitFailure;
            return;
        }
        printResult(out);
    });

    // demo
    bool verbose = false;
    auto* demo = app.add_subcommand("demo", "run the whole payment flow against a local sandbox");
    demo->add_flag("--verbose", verbose, "also show the library's diagnostic lines");
    demo->footer(example("  tavi demo --verbose"));
    demo->callback([&] { exitCode = runDemo(verbose); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // An unknown option comes first: otherwise a required option it pushed aside would be
        // reported instead, and CLI11's own message would repeat any value left over.
        if (e.get_exit_code() != 0) {
            if (auto unknown = unknownArguments(app); !unknown.empty()) return usageError(unknown);
        }
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitUsage;
    } catch (const UsageError& e) {
        return usageError(e.message);
    }
    return exitCode;
}
