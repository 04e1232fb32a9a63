// The tavi command-line tool: what its commands share. Global options, a request's fields bound
// to options (their help from the request's declaration), secrets read from standard input or a
// private file, the call in flight with its cancel on SIGINT/SIGTERM, and the one JSON line.
#pragma once

#include <CLI/CLI.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tavi/tavi.hpp"

namespace tavi::cli {

using Json = nlohmann::ordered_json;

/// Exit statuses: the operation succeeded, it failed, a usage error.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// The global options (before or after the command).
struct Globals {
    std::string server, store, storeProtection, caFile, pinKey, appId, pspOrgId;
    long timeoutMs = 60000;
    long deadlineMs = 0;
    bool quiet = false;
};

/// What every command shares: the global options and the exit status the command sets.
struct Context {
    Globals globals;
    int exitCode = kExitSuccess;
    /// The command the command line names, when that is certain before parsing (see
    /// commandNamed); empty: every command is set up, as for the help.
    std::string only;
    /// Whether the command `name` is to be set up: only the one that runs needs its options
    /// built (some hundred of them for all commands, most of a one-shot command's own work).
    bool wants(std::string_view name) const { return only.empty() || only == name; }
    /// The command line as main received it.
    char** argv = nullptr;
    /// Prints `result` and makes the exit status 1.
    void fail(const Json& result);
};
/// `fields` with the call's "operation", "msgId", "txnId", "attempts" and "elapsedMs" beside
/// them (unchanged for a call that never began).
Json withCorrelation(Json fields, const Correlation& correlation);

/// A usage error found once the command line is parsed: a message on standard error, exit 2.
struct UsageError {
    std::string message;
};

/// The one place an Error becomes the CLI's JSON:
/// {"error":{"domain":…,"code":…,"message":…[,"errorCode":…,"errorReason":…][,"delivery":…]}}
Json errorJson(const Error& error);
/// `fields` printed beside the error: {…fields…, "error":{…}}.
Json beside(Json fields, const Error& error);
/// A string or null.
Json optionalJson(const std::optional<std::string>& value);
/// Writes the one-line result to standard output.
void printResult(const Json& result);
/// "tavi: MESSAGE" on standard error; returns exit status 2.
int usageError(const std::string& message);
/// Names the unknown options left on the command line, never their values; empty when none.
std::string unknownArguments(const CLI::App& app);

/// "a, b, c".
std::string joined(const std::vector<std::string>& items);
/// A command's help footer: the example lines, then where the global options go.
std::string example(std::string_view lines);
/// A whole number from `min` to `max`; `rule` says which, for the help text's reader.
CLI::Validator wholeNumber(long min, long max, const std::string& rule);

/// Adds the global options to `app` with their help; `g` receives their values.
void addGlobalOptions(CLI::App& app, Globals& g);
/// The command `argv` names after the global options of `app` (values included) and the help
/// flag, before parsing; empty when anything else comes first (an unknown option, `--`).
std::string commandNamed(const CLI::App& app, int argc, const char* const* argv);
/// Applies the global options to the configuration, and installs the store when `needsStore`.
/// False (the error printed) when the store cannot be opened.
bool configure(const Globals& g, bool needsStore);

/// The content of a secret file (`--option @path`), without its trailing newline. Throws
/// UsageError unless it is a regular file that neither the group nor others can read; the
/// message names the option and the path, never the content.
std::string readSecretFile(const std::string& option, const std::string& path);

/// The options of one command, bound to the fields of its request.
class BoundFields {
  public:
    /// One option per field of `Request` (see FieldSpec), with its help.
    template <class Request>
    void bind(CLI::App* command, Request& request) {
        Request::fields([&](const FieldSpec& field, auto member) {
            add(command, field, [&target = request.*member](std::string_view text) {
                if constexpr (requires { target.emplace(text); })
                    target.emplace(text);
                else
                    target = std::remove_reference_t<decltype(target)>(text);
            });
        });
    }
    /// Once the command line is parsed: every secret is read (standard input one line per `-`,
    /// in the order the options were given, or `@FILE`), an inline secret is a UsageError, and
    /// every option given is stored in its field.
    void resolve(const CLI::App& command);

  private:
    struct Slot {
        CLI::Option* option = nullptr;
        bool secret = false;
        std::string text;
        std::function<void(std::string_view)> assign;
    };
    void add(CLI::App* command, const FieldSpec& field, std::function<void(std::string_view)> assign);
    std::deque<Slot> slots_;  // a deque: CLI11 holds the address of each slot's text
};

/// Calls `ended` (which waits a little) until it is true; SIGINT or SIGTERM meanwhile cancels
/// `handle`.
void waitStoppable(const CallHandle& handle, const std::function<bool()>& ended);

/// Runs the call `start` starts until its completion has run (see waitStoppable) and returns
/// its result.
template <class T, class Start>
Result<T> runCall(Start&& start) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable arrived;
        std::optional<Result<T>> result;
    };
    auto outcome = std::make_shared<Outcome>();
    const CallHandle handle = start(Completion<T>([outcome](Result<T> r) {
        const std::lock_guard lock(outcome->mutex);
        outcome->result.emplace(std::move(r));
        outcome->arrived.notify_all();
    }));
    waitStoppable(handle, [&] {  // the lock is not held while a stop cancels the call
        std::unique_lock lock(outcome->mutex);
        return outcome->arrived.wait_for(lock, std::chrono::milliseconds(25),
                                         [&] { return outcome->result.has_value(); });
    });
    const std::lock_guard lock(outcome->mutex);
    return std::move(*outcome->result);
}

/// The commands around the sandbox server, and their summaries (in both programs' help).
inline constexpr std::pair<std::string_view, std::string_view> kSandboxCommands[] = {
    {"sandbox", "run the sandbox payment server in the foreground"},
    {"sandbox-fault", "set a fault on a running sandbox (POST /__sandbox/faults), or clear them"},
    {"demo", "run the whole payment flow against a local sandbox"},
};
/// Whether this program hands the command `name` over to tavi-sandbox (see
/// sandbox_elsewhere.cpp); never in tavi-sandbox itself.
bool handedOver(std::string_view name);
/// Becomes tavi-sandbox with the same command line (exec: the same process, standard streams
/// and signals); returns only when it cannot, with the exit status.
int handOver(char** argv);

// The subcommands, one function each (in the files named).
void addOperationCommands(CLI::App& app, Context& ctx);  // operations.cpp: one per operation
std::string secretOptions();  // operations.cpp: "--cred-value, --otp, …", from the declarations
void addStoreCommands(CLI::App& app, Context& ctx);      // local.cpp: store, device
void addSandboxCommands(CLI::App& app, Context& ctx);    // sandbox_commands.cpp: sandbox, fault
                                                         // (sandbox_elsewhere.cpp: handed over)
void addPendingCommand(CLI::App& app, Context& ctx);     // pending.cpp: the journal
int runDemo(bool verbose);                               // demo.cpp

}  // namespace tavi::cli
