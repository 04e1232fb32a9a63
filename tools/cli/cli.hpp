// The tavi command-line tool: shared pieces of its commands and the demo.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "tavi/tavi.hpp"

namespace tavi::cli {

using Json = nlohmann::ordered_json;

/// Exit statuses: the success callback ran, the failure callback ran, a usage error.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

/// {"error":{"domain":…,"code":…,"message":…[,"errorCode":…,"errorReason":…]}}
Json errorJson(const Error& error);
/// `fields` with the call's "operation", "msgId", "txnId", "attempts" and "elapsedMs" beside
/// them (unchanged for a call that never began).
Json withCorrelation(Json fields, const Correlation& correlation);
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

/// Runs the whole flow against an in-process sandbox over loopback TLS, narrating each step.
int runDemo(bool verbose);

}  // namespace tavi::cli
