// The command-line tool's generic layer (see options.hpp).

#include "options.hpp"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>

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
    return withCorrelation(std::move(out), error.correlation);
}

Json withCorrelation(Json fields, const Correlation& c) {
    if (c.operation[0] == '\0') return fields;
    fields["operation"] = c.operation;
    fields["msgId"] = c.msgId.empty() ? Json(nullptr) : Json(c.msgId);
    fields["txnId"] = c.txnId.empty() ? Json(nullptr) : Json(c.txnId);
    fields["attempts"] = c.attempts;
    fields["elapsedMs"] = static_cast<long long>(c.elapsed.count());
    return fields;
}

Json beside(Json fields, const Error& error) {
    fields["error"] = errorJson(error)["error"];
    return withCorrelation(std::move(fields), error.correlation);
}

bool isCancellation(const Error& e) {
    return e.domain == ErrorDomain::client && e.code == ClientErrorCode::cancelled;
}

void printResult(const Json& result) {
    std::cout << result.dump() << std::endl;
}

void Context::fail(const Json& result) {
    printResult(result);
    exitCode = kExitFailure;
}

int usageError(const std::string& message) {
    std::cerr << "tavi: " << message << std::endl;
    return kExitUsage;
}

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : separator) + item;
    return out;
}

std::string example(const std::string& lines) {
    return "\nExample:\n" + lines +
           "\n\nGlobal options (tavi --help) may come before or after the command.\n";
}

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

// --- global options ----------------------------------------------------------------------------

namespace {
std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}
}  // namespace

void addGlobalOptions(CLI::App& app, Globals& g) {
    g.server = envOr("TAVI_SERVER_URL", kProductionServerURL);
    g.store = envOr("TAVI_STORE", "");
    g.storeProtection = envOr("TAVI_STORE_PROTECTION", "auto");
    app.add_option("--server", g.server,
                   "server base URL, no trailing slash (default $TAVI_SERVER_URL, else the "
                   "production server)")
        ->type_name("URL");
    app.add_option("--store", g.store,
                   "secure store database (default $TAVI_STORE, else "
                   "$XDG_DATA_HOME/tavi/store.db or ~/.local/share/tavi/store.db)")
        ->type_name("PATH");
    app.add_option("--store-protection", g.storeProtection,
                   "how the store's data key is kept: auto (default $TAVI_STORE_PROTECTION, "
                   "else auto), tpm, secret-service, file (weak) or none (values in clear)")
        ->type_name("BACKEND");
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
}

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
    config.storeProtection = g.storeProtection;
    if (!needsStore) return true;
    auto store = openSqliteSecureStore(g.store.empty() ? defaultStorePath() : g.store,
                                       StoreOptions{g.storeProtection, {}});
    if (!store) {
        printResult(errorJson(store.error()));
        return false;
    }
    KeychainManager::setStore(store.value());
    return true;
}

// --- secrets -----------------------------------------------------------------------------------

namespace {

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

void wipe(std::string& text) {
    ::explicit_bzero(text.data(), text.size());
    text.clear();
}

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
        if (content.size() > 65536) {
            ::explicit_bzero(buffer, sizeof buffer);
            wipe(content);
            throw UsageError{what + "larger than 64 KiB"};
        }
    }
    ::explicit_bzero(buffer, sizeof buffer);
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

constexpr const char* kSecretForms =
    ". Give - to read one line from standard input (one line for each -, in command-line "
    "order), or @FILE to read a file only you can read (chmod 600); a value written on the "
    "command line is refused, since other users of this machine can read it there";

/// Why `text` is not a secret's form (`-` or `@FILE`), or empty; never repeats `text`.
std::string inlineSecretProblem(const std::string& option, const std::string& text) {
    if (text == "-" || (!text.empty() && text.front() == '@')) return {};
    return "a secret is not taken on the command line, where other users of this machine can "
           "read it (ps, /proc/PID/cmdline); give " +
           option + " - to read one line from standard input, or " + option +
           " @FILE to read a file only you can read (chmod 600)";
}

/// A UsageError unless `text` is `-` or `@FILE`.
void refuseInline(const std::string& option, const std::string& text) {
    if (auto problem = inlineSecretProblem(option, text); !problem.empty()) {
        throw UsageError{option + ": " + problem};
    }
}

/// The secret `text` stands for: a line of standard input (`-`) or a file's content (`@FILE`).
std::string readSecret(const std::string& option, const std::string& text) {
    refuseInline(option, text);
    std::string value = text == "-" ? readSecretLine(option) : readSecretFile(option, text.substr(1));
    if (value.empty()) throw UsageError{option + ": the value read is empty"};
    return value;
}

/// The raw values of `values`, joined.
template <class E>
std::string rawValues(std::initializer_list<E> values) {
    std::vector<std::string> names;
    for (E value : values) names.emplace_back(rawValue(value));
    return joined(names);
}

std::string transactionTypes() {
    return rawValues({TransactionType::setPin, TransactionType::changePin,
                      TransactionType::balanceEnquiry, TransactionType::financialTxn,
                      TransactionType::registerCardAccDetail, TransactionType::securePageUrl,
                      TransactionType::collect});
}

std::string credTypes() {
    return rawValues({CredType::OTP, CredType::MPIN, CredType::PIN, CredType::REGISTER_ACCOUNT});
}

/// An option's placeholder and help; a command's own entry comes before the shared one. An
/// option with known values lists them (`values`), and the one usually given (`usual`).
struct OptionHelp {
    std::string_view command;  // empty: every command
    std::string_view option;
    std::string_view typeName;
    std::string_view help;
    std::string (*values)() = nullptr;
    std::string_view usual = {};
};

constexpr OptionHelp kOptionHelp[] = {
    {"", "--txn-id", "ID", "transaction identifier"},
    {"register", "--txn-id", "ID", "registration transaction identifier"},
    {"retrieve-keys", "--txn-id", "ID", "identifier of the transaction to open"},
    {"", "--transaction-type", "TYPE", "transaction type", transactionTypes, "FINANCIAL_TXN"},
    {"register-card", "--transaction-type", "TYPE", "transaction type", transactionTypes,
     "REGISTER_CARD_ACC_DETAIL"},
    {"web-url", "--transaction-type", "TYPE", "transaction type", transactionTypes,
     "SECURE_PAGE_URL"},
    {"", "--session-key", "KEY", "the transaction's session key (\"sessionKey\" from retrieve-keys)"},
    {"register", "--session-key", "KEY",
     "the server's public key, base64 DER (\"serverPublicKey\" printed by tavi sandbox)"},
    {"", "--bank-ki", "KI", "bank key index (\"bankKi\" from retrieve-keys)"},
    {"", "--public-key", "KEY", "the bank's public key (\"publicKey\" from retrieve-keys)"},
    {"", "--bic", "BIC", "bank identifier code of the account's bank"},
    {"", "--instrument-type", "TYPE", "payment instrument type, e.g. ACCOUNT (sent as given)"},
    {"", "--mobile", "NUMBER", "the user's mobile number, e.g. +15550100"},
    {"", "--app-id", "ID",
     "application identifier registered with the device (this command's own option: give a "
     "global --app-id before the command)"},
    {"", "--msg-id", "ID", "message identifier, unique per request"},
    {"", "--cred-type", "TYPE", "credential type", credTypes},
    {"", "--cred-value", "SECRET", "the credential (the PIN)"},
    {"", "--otp", "SECRET", "the one-time password the user received"},
    {"", "--action", "ACTION", "\"action\" from fetch-otp, e.g. PURCHASE"},
    {"fetch-otp", "--action", "ACTION",
     "what the OTP authorises, e.g. PURCHASE (default: the server's)"},
    {"", "--reference-id", "ID", "\"referenceId\" from fetch-otp"},
    {"", "--card-number", "SECRET", "the card number, digits only"},
    {"", "--bank-name", "NAME", "the bank name the card should belong to"},
    {"", "--account-no", "SECRET", "account number (optional)"},
    {"", "--expiry-month", "SECRET", "expiry month, 1 to 12 (e.g. 07)"},
    {"", "--expiry-year", "SECRET", "expiry year, four digits, not past"},
    {"", "--cvv", "SECRET", "the card's 3- or 4-digit security code"},
};

/// The help of `option` in `command`.
std::string helpFor(std::string_view command, std::string_view option, std::string& typeName) {
    const OptionHelp* found = nullptr;
    for (const auto& h : kOptionHelp) {
        if (h.option == option && (h.command == command || (h.command.empty() && !found))) {
            found = &h;
        }
    }
    if (!found) return typeName = "VALUE", std::string();
    typeName = found->typeName;
    std::string text(found->help);
    if (found->values) {
        text += ": " + found->values();
        if (!found->usual.empty()) text += " (usually " + std::string(found->usual) + ")";
        text += "; other text is sent as given";
    }
    return text;
}

}  // namespace

void BoundFields::add(CLI::App* command, const FieldSpec& field,
                      std::function<void(std::string&&)> assign) {
    Slot& slot = slots_.emplace_back();
    slot.secret = field.secret;
    slot.assign = std::move(assign);
    std::string typeName;
    std::string text = helpFor(command->get_name(), field.cliOption, typeName);
    if (field.secret) text += kSecretForms, typeName = "SECRET";
    slot.option = command->add_option(std::string(field.cliOption), slot.text, text)
                      ->type_name(typeName);
    if (field.required) slot.option->required();
    // Checked while parsing, so an inline secret is refused before any missing option is named.
    if (field.secret) {
        slot.option->check(CLI::Validator(
            [name = slot.option->get_name()](std::string& text) {
                return inlineSecretProblem(name, text);
            },
            ""));
    }
}

void BoundFields::resolve(const CLI::App& command) {
    // Secrets in the order they were given: each `-` takes the next line of standard input.
    std::set<const CLI::Option*> done;
    for (const CLI::Option* option : command.parse_order()) {
        if (!done.insert(option).second) continue;
        for (Slot& slot : slots_) {
            if (slot.option == option && slot.secret) {
                slot.text = readSecret(option->get_name(), slot.text);
            }
        }
    }
    for (Slot& slot : slots_) {
        if (slot.option->count() == 0) continue;
        slot.assign(std::string(slot.text));
        if (slot.secret) wipe(slot.text);
    }
}

// --- the call in flight ------------------------------------------------------------------------

namespace {
volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) {
    stopRequested = 1;
}
}  // namespace

struct StopSignals::Saved {
    struct sigaction previousInt {};
    struct sigaction previousTerm {};
};

StopSignals::StopSignals() : saved_(std::make_unique<Saved>()) {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &saved_->previousInt);
    ::sigaction(SIGTERM, &action, &saved_->previousTerm);
}

StopSignals::~StopSignals() {
    ::sigaction(SIGINT, &saved_->previousInt, nullptr);
    ::sigaction(SIGTERM, &saved_->previousTerm, nullptr);
}

bool StopSignals::requested() {
    return stopRequested != 0;
}

}  // namespace tavi::cli
