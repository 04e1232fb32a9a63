// The tavi command-line tool: shared pieces of its commands and the demo.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tavi/tavi.hpp"

namespace CLI {
class App;
}

namespace tavi::cli {

using Json = nlohmann::ordered_json;

/// Exit statuses: the success callback ran, the failure callback ran, a usage error.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// {"error":{"domain":…,"code":…,"message":…[,"errorCode":…,"errorReason":…]}}
Json errorJson(const Error& error);
/// A string or null.
Json optionalJson(const std::optional<std::string>& value);
/// Writes the one-line result to standard output.
void printResult(const Json& result);

/// A usage error found once the command line is parsed: a message on standard error, exit 2.
struct UsageError {
    std::string message;
};

/// The content of a secret file (`--option @path`), without its trailing newline. Throws
/// UsageError unless it is a regular file that neither the group nor others can read; the
/// message names the option and the path, never the content.
std::string readSecretFile(const std::string& option, const std::string& path);

/// The store a command names, and how it is protected.
struct StoreTarget {
    std::string path;
    StoreOptions options;
};
/// Adds status, rekey and reset under `store`. `configure` applies the global options and
/// installs the store; `target` gives the store without opening it (reset works on a store
/// that cannot be opened).
void addStoreCommands(CLI::App& store, std::function<bool()> configure,
                      std::function<StoreTarget()> target, int& exitCode);

/// Runs the whole flow against an in-process sandbox over loopback TLS, narrating each step.
int runDemo(bool verbose);

}  // namespace tavi::cli
