// The command-line tool's generic layer (see cli.hpp).

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>

#include "cli.hpp"

namespace tavi::cli {

Json optionalJson(const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json errorJson(const Error& error) {
    Json e{{"domain", error.domain}, {"code", error.code}, {"message", error.message}};
    if (error.domain == ErrorDomain::refusal || error.errorCode || error.errorReason) {
        e["errorCode"] = optionalJson(error.errorCode);
        e["errorReason"] = optionalJson(error.errorReason);
    }
    if (error.delivery == RequestDelivery::notSent) e["delivery"] = "notSent";
    if (error.delivery == RequestDelivery::mayHaveBeenReceived) e["delivery"] = "mayHaveBeenReceived";
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

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

std::string example(std::string_view lines) {
    return "\nExample:\n" + std::string(lines) +
           "\n\nGlobal options (tavi --help) may come before or after the command.\n";
}

CLI::Validator wholeNumber(long min, long max, const std::string& rule) {
    return CLI::Validator(
        [min, max, rule](std::string& text) -> std::string {
            long value = 0;
            const bool ok = CLI::detail::lexical_cast(text, value) && value >= min && value <= max;
            return ok ? "" : "must be " + rule;
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
    if (others == 0) return "";
    return std::to_string(others) + " unexpected argument" + (others == 1 ? "" : "s") +
           " (not shown) (see tavi COMMAND --help)";
}

// --- global options ----------------------------------------------------------------------------

void addGlobalOptions(CLI::App& app, Globals& g) {
    auto env = [](const char* name, const char* fallback) {
        const char* v = std::getenv(name);
        return std::string(v && *v ? v : fallback);
    };
    g.server = env("TAVI_SERVER_URL", kProductionServerURL);
    g.store = env("TAVI_STORE", "");
    g.storeProtection = env("TAVI_STORE_PROTECTION", "auto");
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
    const auto ms = wholeNumber(1, kLongestDurationMilliseconds,
                                "a whole number of milliseconds, 1 to 86400000 (24 hours)");
    app.add_option("--timeout-ms", g.timeoutMs,
                   "per-request timeout in milliseconds, at least 1 (default 60000)")
        ->type_name("N")
        ->check(ms);
    app.add_option("--deadline-ms", g.deadlineMs,
                   "bound on the whole operation in milliseconds, re-issues and restarts "
                   "included, at least 1 (default twice --timeout-ms)")
        ->type_name("N")
        ->check(ms);
    app.add_flag("--quiet", g.quiet, "silence the library's diagnostic lines (standard error)");
}

std::string commandNamed(const CLI::App& app, int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg.empty() || arg == "--") return "";
        if (arg.front() != '-') return std::string(arg);
        const auto equals = arg.find('=');
        const CLI::Option* option = app.get_option_no_throw(std::string(arg.substr(0, equals)));
        if (option == nullptr) return "";
        // A flag takes no value; an option one (a following word, unless after '='); more, and
        // which words are values is for the parser to say.
        const int values = option->get_items_expected_max();
        if (values > 1) return "";
        if (values == 1 && equals == std::string_view::npos) ++i;
    }
    return "";
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
    config.diagnosticsSink = g.quiet ? nullptr : standardErrorSink();
    if (g.quiet) config.logLevel = LogLevel::off;
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

void wipe(std::string& text) {
    ::explicit_bzero(text.data(), text.size());
    text.clear();
}

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

/// Why `text` is not a secret's form (`-` or `@FILE`), or empty; never repeats `text`.
std::string inlineSecretProblem(const std::string& option, const std::string& text) {
    if (text == "-" || (!text.empty() && text.front() == '@')) return {};
    return "a secret is not taken on the command line, where other users of this machine can "
           "read it (ps, /proc/PID/cmdline); give " +
           option + " - to read one line from standard input, or " + option +
           " @FILE to read a file only you can read (chmod 600)";
}

/// The secret `text` stands for: a line of standard input (`-`) or a file's content (`@FILE`).
std::string readSecret(const std::string& option, const std::string& text) {
    if (auto problem = inlineSecretProblem(option, text); !problem.empty())
        throw UsageError{option + ": " + problem};
    std::string value = text == "-" ? readSecretLine(option) : readSecretFile(option, text.substr(1));
    if (value.empty()) throw UsageError{option + ": the value read is empty"};
    return value;
}

/// The values an option is known to take, for its help ("" for any text).
std::string knownValues(std::string_view option) {
    std::vector<std::string> names;
    if (option == "--transaction-type") {
        for (int t = 0; t <= static_cast<int>(TransactionType::collect); ++t)
            names.emplace_back(rawValue(static_cast<TransactionType>(t)));
    } else if (option == "--cred-type") {
        for (int t = 0; t <= static_cast<int>(CredType::REGISTER_ACCOUNT); ++t)
            names.emplace_back(rawValue(static_cast<CredType>(t)));
    }
    return names.empty() ? "" : " (" + joined(names) + "; other text is sent as given)";
}

}  // namespace

std::string readSecretFile(const std::string& option, const std::string& path) {
    const std::string what = option + " @" + path + ": ";
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw UsageError{what + std::strerror(errno)};
    const std::unique_ptr<const int, void (*)(const int*)> closer(&fd, [](const int* f) { ::close(*f); });
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw UsageError{what + std::strerror(errno)};
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
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) content.append(buffer, static_cast<std::size_t>(n));
        if (n < 0 || content.size() > 65536) {
            const std::string problem = n < 0 ? std::strerror(errno) : "larger than 64 KiB";
            ::explicit_bzero(buffer, sizeof buffer);
            wipe(content);
            throw UsageError{what + problem};
        }
    }
    ::explicit_bzero(buffer, sizeof buffer);
    if (!content.empty() && content.back() == '\n') content.pop_back();
    if (!content.empty() && content.back() == '\r') content.pop_back();
    return content;
}

void BoundFields::add(CLI::App* command, const FieldSpec& field,
                      std::function<void(std::string_view)> assign) {
    Slot& slot = slots_.emplace_back();
    slot.secret = field.secret;
    slot.assign = std::move(assign);
    // The placeholder is the option's last word: --txn-id ID, --bank-name NAME, --bic BIC.
    std::string typeName(field.cliOption.substr(field.cliOption.rfind('-') + 1));
    for (char& c : typeName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::string help = std::string(field.help) + knownValues(field.cliOption);
    if (field.secret) {
        typeName = "SECRET";
        help += ". Give - to read one line from standard input (one line for each -, in "
                "command-line order), or @FILE to read a file only you can read (chmod 600); a "
                "value written on the command line is refused, since other users of this "
                "machine can read it there";
    }
    slot.option = command->add_option(std::string(field.cliOption), slot.text, help)
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
                std::string read = readSecret(option->get_name(), slot.text);
                wipe(slot.text);
                slot.text.swap(read);
            }
        }
    }
    for (Slot& slot : slots_) {
        if (slot.option->count() == 0) continue;
        slot.assign(slot.text);
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

void waitStoppable(const CallHandle& handle, const std::function<bool()>& ended) {
    struct sigaction action {}, previousInt {}, previousTerm {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previousInt);
    ::sigaction(SIGTERM, &action, &previousTerm);
    bool cancelled = false;
    while (!ended()) {
        if (stopRequested != 0 && !cancelled) {
            handle.cancel();
            cancelled = true;
        }
    }
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
}

}  // namespace tavi::cli
