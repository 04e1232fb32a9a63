// The command-line tool's generic layer: global options, a request's fields bound to options
// (with their help), secrets read from standard input or a private file, and the call in
// flight with its cancel on SIGINT/SIGTERM.
#pragma once

#include <CLI/CLI.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli.hpp"
#include "requests.hpp"

namespace tavi::cli {

/// The global options (before or after the command).
struct Globals {
    std::string server;
    std::string store;
    std::string storeProtection;
    std::string caFile;
    std::string pinKey;
    std::string appId;
    std::string pspOrgId;
    long timeoutMs = 60000;
    long deadlineMs = 0;
    bool quiet = false;
};

/// What every command shares: the global options and the exit status the command sets.
struct Context {
    Globals globals;
    int exitCode = kExitSuccess;

    /// Prints `result` and makes the exit status 1.
    void fail(const Json& result);
};

/// Adds the global options to `app` with their help; `g` receives their values.
void addGlobalOptions(CLI::App& app, Globals& g);

/// Applies the global options to the configuration, and installs the store when `needsStore`.
/// False (the error printed) when the store cannot be opened.
bool configure(const Globals& g, bool needsStore);

/// "a, b, c".
std::string joined(const std::vector<std::string>& items, const std::string& separator = ", ");
/// A command's help footer: the example lines, then where the global options go.
std::string example(const std::string& lines);
/// A whole number from `min` to `max`; `rule` says which, for the help text's reader.
CLI::Validator wholeNumber(long min, long max, const std::string& rule);
/// Names the unknown options left on the command line, never their values; empty when none.
std::string unknownArguments(const CLI::App& app);
/// "tavi: MESSAGE" on standard error; returns exit status 2.
int usageError(const std::string& message);

/// `fields` printed beside the error: {…fields…, "error":{…}}.
Json beside(Json fields, const Error& error);
bool isCancellation(const Error& e);

// --- a request's fields as options -------------------------------------------------------------

template <class T>
void assignField(T& target, std::string&& text) {
    target = T(std::move(text));
}
template <class T>
void assignField(std::optional<T>& target, std::string&& text) {
    target.emplace(std::move(text));
}

/// The options of one command, bound to the fields of its request.
class BoundFields {
  public:
    /// One option per field of `Request` (see FieldSpec), with the help of its option.
    template <class Request>
    void bind(CLI::App* command, Request& request) {
        Request::fields([&](const FieldSpec& field, auto member) {
            auto& target = request.*member;
            add(command, field, [&target](std::string&& text) {
                assignField(target, std::move(text));
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
        std::function<void(std::string&&)> assign;
    };
    void add(CLI::App* command, const FieldSpec& field,
             std::function<void(std::string&&)> assign);
    std::deque<Slot> slots_;  // a deque: CLI11 holds the address of each slot's text
};

// --- the call in flight ------------------------------------------------------------------------

/// While it lives, SIGINT and SIGTERM only ask the operation in flight to stop.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    /// Whether SIGINT or SIGTERM came since the first StopSignals.
    static bool requested();

  private:
    struct Saved;
    std::unique_ptr<Saved> saved_;
};

/// Runs the call `start` starts until it ends; SIGINT or SIGTERM cancels it (its result is then
/// the cancellation, unless it had already ended).
template <class T, class Start>
Result<T> runCall(Start&& start) {
    const StopSignals signals;
    // Written on the library's completion thread before the handle reports the call done.
    auto outcome = std::make_shared<std::optional<Result<T>>>();
    const CallHandle handle =
        start(Completion<T>([outcome](Result<T> result) { outcome->emplace(std::move(result)); }));
    bool cancelled = false;
    while (!handle.waitFor(std::chrono::milliseconds(25))) {
        if (StopSignals::requested() && !cancelled) {
            handle.cancel();
            cancelled = true;
        }
    }
    if (!*outcome) {
        return Error::client(ClientError::internalError,
                             "internal: the call ended without a result");
    }
    return std::move(**outcome);
}

// --- the subcommands ---------------------------------------------------------------------------

void addOperationCommands(CLI::App& app, Context& ctx);  // operations.cpp
void addStoreCommands(CLI::App& app, Context& ctx);      // local.cpp: store, device
void addStoreProtectionCommands(CLI::App& store, Context& ctx);  // store_commands.cpp
void addSandboxCommands(CLI::App& app, Context& ctx);    // sandbox_commands.cpp

}  // namespace tavi::cli
