// tavi — configuration singleton and the fixed vocabularies of transaction and credential types.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "tavi/export.hpp"
#include "tavi/trace.hpp"

namespace tavi {

/// The library's version as MAJOR.MINOR, and a text naming the build ("tavi 1.2.0 (...)").
/// tavi/version.hpp has the version's parts as macros.
inline constexpr double taviVersionNumber = 1.2;
TAVI_EXPORT extern const char* const taviVersionString;

/// The production payment server origin (no trailing slash).
inline constexpr const char* kProductionServerURL = "https://pay.tavi-payments.net";

/// Receives each diagnostic line (without a newline). An empty function silences the library.
///
/// Called on the thread of the operation that writes the line, possibly from several threads at
/// once when operations run concurrently: a sink must be thread-safe and must not call back into
/// the library.
///
/// Redaction guarantee: no line the library writes (to the sink or to the system log) and no
/// error message it produces ever contains a card number (at most its last four digits), a CVV,
/// a PIN, an OTP or an AES key in clear. Lines may contain identifiers (transaction ids, the
/// PSP and device identifiers), public keys, key identifiers and sealed (encrypted) payloads.
using DiagnosticsSink = std::function<void(std::string_view line)>;

/// How much a diagnostic line matters. Every line so far is a developer trace (`debug`); a
/// failure the host may want to see in production logs (a store that cannot keep a value, an
/// answer that cannot be read) is a `warning`.
enum class DiagnosticLevel { debug = 0, info = 1, warning = 2, error = 3 };

/// "debug", "info", "warning" or "error".
TAVI_EXPORT std::string_view diagnosticLevelName(DiagnosticLevel level);

/// Receives each diagnostic line with its level; otherwise like DiagnosticsSink (same lines, same
/// threads, same redaction guarantee).
using LeveledDiagnosticsSink = std::function<void(DiagnosticLevel level, std::string_view line)>;

/// How much the library writes.
///
/// Every diagnostic line is a developer trace and is written at `debug`; the one message the
/// library sends to the system log (a failed RSA operation) is an `error`. Keep `debug` in
/// development and set `off` in production: one setting, no change to the lines themselves.
enum class LogLevel {
    off = 0,    ///< nothing to the sink, nothing to the system log
    error = 1,  ///< only the system-log error message
    debug = 2   ///< everything (the default)
};

/// Writes each line to standard error, the library's default (standard output belongs to the
/// host).
TAVI_EXPORT DiagnosticsSink standardErrorSink();
/// Writes each line to standard output, for hosts that want the lines there.
TAVI_EXPORT DiagnosticsSink standardOutputSink();

/// The longest duration any setting, call option or command-line option may give: 24 hours, in
/// milliseconds. A longer one is refused as ClientErrorCode::invalidArgument (the C interface:
/// TAVI_INVALID_ARGUMENT; the command-line tool: a usage error), never wrapped around.
inline constexpr long kLongestDurationMilliseconds = 24L * 60 * 60 * 1000;

/// Host-set configuration. Set the values on `shared()` before the first operation; the library
/// reads them at the moment each operation needs them. Plain fields: do not assign one while an
/// operation on another thread may be reading it.
class TAVI_EXPORT AppConstantTAVI {
public:
    /// The one shared instance, created on first access (thread-safe), alive until process end.
    static AppConstantTAVI& shared();
    /// An independent instance with the initial values; the library never reads it.
    AppConstantTAVI();

    std::string serverURL = kProductionServerURL;
    std::string merchantKey;
    std::string merchantKI;
    std::string appId;
    std::string pspOrgId;
    std::optional<std::string> refUrl;
    std::string locale;
    std::string merchantID;

    // Transport settings a POSIX host needs beside the eight values above.
    std::string caFile;           ///< extra trusted CA certificates (PEM file); empty = system only
    std::string pinnedPublicKey;  ///< "sha256//BASE64" public-key pin(s); empty = no pinning
    /// Per-request timeout; 0 or less: 60000. At most kLongestDurationMilliseconds: an operation
    /// started with a longer one fails with ClientErrorCode::invalidArgument, nothing sent.
    long timeoutMilliseconds = 60000;
    /// Bounds a whole operation, re-issues and restarts included; 0 = twice timeoutMilliseconds.
    /// At most kLongestDurationMilliseconds, like timeoutMilliseconds.
    long operationDeadlineMilliseconds = 0;
    /// How many times a request that could not be sent (connection refused, a name that does not
    /// resolve, a failed TLS handshake) is sent again, after a growing pause, within the
    /// operation's deadline. 0: never. At most 10.
    int maxRetries = 2;
    /// Connections kept to one server at a time (per scheme, host and port): as many exchanges
    /// run at once. Further calls to the server URL queue, in the order they were started,
    /// before sealing their requests, and hold no connection's resources until one is free.
    /// 0 or less: 8. At most 256.
    int maxConnections = 8;
    DiagnosticsSink diagnosticsSink = standardErrorSink();  ///< where diagnostic lines go
    LogLevel logLevel = LogLevel::debug;  ///< how much the library writes (see LogLevel)
    /// When set, receives every diagnostic line with its level, and diagnosticsSink receives
    /// none. A call's own sink (CallOptions) still takes its lines first.
    LeveledDiagnosticsSink leveledDiagnosticsSink;
    /// Told when each call and each of its HTTP attempts starts and ends (see TraceHook). Empty:
    /// nothing is traced, at no cost.
    TraceHook traceHook;
    /// The proxy for HTTPS exchanges, always as a CONNECT tunnel (TLS stays end to end):
    /// none = the environment's proxy variables; "" = no proxy at all; a URL = that proxy.
    /// Cleartext exchanges (loopback only) never go through a proxy.
    std::optional<std::string> proxy;
    /// A file the TLS secrets of each new connection are appended to (NSS key log format, file
    /// created 0600), for debugging with a packet analyser. Empty = none; the SSLKEYLOGFILE
    /// environment variable is never honoured. Trusted like the secure store: a regular file
    /// owned by the effective user with no group or other access, in a directory that is not
    /// group- or other-writable, never through a symbolic link. Anything else fails the
    /// exchange with ClientErrorCode::invalidArgument naming the path, the problem and the fix;
    /// nothing is written.
    std::string tlsKeyLogFile;
    /// How the default secure store keeps its data key: "auto" (the strongest that works here),
    /// "tpm", "secret-service", "file" (weak) or "none" (values in clear). See StoreOptions.
    std::string storeProtection = "auto";
};

enum class TransactionType {
    setPin,
    changePin,
    balanceEnquiry,
    financialTxn,
    registerCardAccDetail,
    securePageUrl,
    collect
};

enum class CredType { OTP, MPIN, PIN, REGISTER_ACCOUNT };

/// The raw text of a case ("FINANCIAL_TXN", "REGISTER_ACCOUNT", ...).
TAVI_EXPORT std::string_view rawValue(TransactionType type);
TAVI_EXPORT std::string_view rawValue(CredType type);

/// The case whose raw text equals `raw` exactly (case-sensitive, no trimming), else none.
TAVI_EXPORT std::optional<TransactionType> transactionTypeFromRawValue(std::string_view raw);
TAVI_EXPORT std::optional<CredType> credTypeFromRawValue(std::string_view raw);

}  // namespace tavi
