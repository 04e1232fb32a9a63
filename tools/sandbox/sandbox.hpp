// The sandbox payment server: a real HTTP(S) server on loopback that plays the payment server and
// the bank, for tests, benchmarks and the demo. It implements the server's side directly on
// OpenSSL and nlohmann-json and shares no code with the library.
// docs/SANDBOX.md describes its credentials, declines, faults and control endpoints for users.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavi::sandbox {

/// Documented sandbox credentials.
inline constexpr const char* kTestPin = "1234";
inline constexpr const char* kTestOtp = "123456";
inline constexpr const char* kDemoTxnId = "DEMO-TXN-1";  ///< pending for 3 polls, then verified

/// Documented test cards: card validation knows these numbers and their banks (bank names are
/// compared without regard to letter case).
struct TestCard {
    const char* number;
    const char* bankName;
};
inline constexpr TestCard kTestCards[] = {
    {"4111111111111111", "Demo Bank"},
    {"5555555555554444", "Example Bank"},
    {"378282246310005", "Sample Bank"},
};

struct Options {
    std::string host = "127.0.0.1";  ///< loopback only
    int port = 0;                    ///< 0 = ephemeral
    bool tls = false;
    std::string stateDir;  ///< where keys, CA and certificate are kept; empty = a temp dir
    int pendingPolls = 3;  ///< txn-status polls of the demo transaction before it is verified
    /// Key retrieval issues the same session and bank keys to every transaction instead of
    /// fresh ones, so that it answers without generating keys (benchmarks).
    bool fixedTransactionKeys = false;
    /// How long a kept connection may stay idle before the server closes it, in seconds; every
    /// answer says so (`Keep-Alive: timeout=N`). Each open connection holds one of the server's
    /// 32 workers, so long timeouts suit few clients.
    int keepAliveSeconds = 1;
};

/// A fault the server applies to answers of one endpoint path (or every path when `path` is
/// empty), for the next `times` requests (-1 = until cleared).
struct Fault {
    enum class Kind {
        none,
        status,              ///< answer normally, but with HTTP `status`
        body,                ///< answer `body` verbatim with HTTP `status` (200 if 0)
        emptyBody,           ///< empty body, HTTP `status` (200 if 0)
        nonJson,             ///< an HTML error page
        delay,               ///< sleep `delayMs`, then answer normally
        dropConnection,      ///< close the connection without an answer
        resetMidBody,        ///< send headers and part of the body, then close
        oversized,           ///< a body of `size` bytes (default 8 MiB)
        refusal,             ///< a well-formed answer with success=false, errorCode/errorReason
        refusalNoPayload,    ///< success=false with only "commonResponse"
        zeroByteKey,         ///< the answer's AES key contains zero bytes (still valid)
        wrongKey,            ///< the answer's key wrapped with a key the client does not hold
        shortKey,            ///< the answer's key is 31 bytes
        garbagePayload,      ///< the payload decrypts to bytes that are not valid UTF-8 text
        undecodablePayload,  ///< the payload decrypts to text that is not the expected record
    };
    std::string path;
    Kind kind = Kind::none;
    int status = 0;
    std::string body;
    int delayMs = 0;
    std::size_t size = 8u << 20;
    std::optional<std::string> errorCode;
    std::optional<std::string> errorReason;
    int times = -1;
};

/// One request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string path;    ///< path only
    std::string target;  ///< path and query as sent on the request line
    std::multimap<std::string, std::string> headers;
    std::string body;
    /// The decrypted inner payload (JSON text) of a sealed request, when the server opened it.
    std::optional<std::string> decryptedPayload;
    /// Secret values the server unsealed with the bank key, in payload order ("txnId|value|r").
    std::vector<std::string> unsealed;
    int responseStatus = 0;
    /// The client's port: requests with the same port came over the same connection.
    int remotePort = 0;
};

class Server {
  public:
    explicit Server(Options options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /// Binds and starts serving on a thread of its own. False (with `lastError()`) on failure.
    bool start();
    void stop();
    std::string lastError() const;

    /// "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT" (the certificate names localhost,
    /// 127.0.0.1 and ::1).
    std::string url() const;
    int port() const;
    /// The long-term server public key (bare base64 DER SubjectPublicKeyInfo): the key a host
    /// passes to registration.
    std::string serverPublicKey() const;
    /// PEM file of the test CA that signed the server certificate (TLS only).
    std::string caFile() const;
    /// "sha256//BASE64" pin of the server certificate's public key (TLS only).
    std::string publicKeyPin() const;

    /// Control: faults, and what the server saw.
    void addFault(const Fault& fault);
    void clearFaults();
    std::vector<RecordedRequest> requests() const;
    void clearRequests();
    /// How many requests to `path` have arrived, answered or not (recorded requests are listed
    /// once answered).
    std::size_t arrivals(const std::string& path) const;
    /// The msgId of every request that carried one, in order of arrival, repeats kept (counted
    /// as they arrive; never forgotten): a request received twice shows its msgId twice.
    std::vector<std::string> msgIds() const;
    /// Forgets what arrivals() and msgIds() have counted, for a long run whose memory is
    /// measured (the two logs grow with every request).
    void clearArrivals();
    /// Moves a transaction's OTP state (as validation would); for tests.
    void setTxnStatus(const std::string& txnId, const std::string& status);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Fault kinds by their names on the control API ("emptyBody", …); the names of every kind but
/// `none`, in declaration order; a fault as the control API's JSON object.
std::optional<Fault::Kind> faultKindFromName(std::string_view name);
std::string faultKindName(Fault::Kind kind);
std::vector<std::string> faultKindNames();
std::string faultJson(const Fault& fault);

/// The path of an endpoint named by its last path segment ("retrieve-key", "txn-status", …);
/// a text starting with '/' is taken as a path as it is. None for an unknown name.
std::optional<std::string> endpointPath(std::string_view nameOrPath);
/// The names `endpointPath` knows, in the order of the flow.
std::vector<std::string> endpointNames();

/// The outcome of a control request sent to a sandbox in another process.
struct ControlAnswer {
    int status = 0;     ///< the HTTP status; 0 when no answer came
    std::string body;   ///< the answer's body
    std::string error;  ///< why no answer came (status 0)
};
/// POST /__sandbox/faults (`fault`) or DELETE /__sandbox/faults to the sandbox whose base URL is
/// `url`; `caFile` is the test CA of a TLS sandbox (its certificate is verified).
ControlAnswer sendFault(const std::string& url, const std::string& caFile, const Fault& fault);
ControlAnswer sendClearFaults(const std::string& url, const std::string& caFile);

/// Control over HTTP, for a sandbox in another process (not faulted, not recorded):
///   POST   /__sandbox/faults      a Fault as JSON: {"path","kind" (the Kind's name, e.g.
///                                 "emptyBody"),"status","body","delayMs","size","errorCode",
///                                 "errorReason","times"}
///   DELETE /__sandbox/faults      clears the faults
///   GET    /__sandbox/requests    the recorded requests as a JSON array
///   DELETE /__sandbox/requests    forgets them
///   POST   /__sandbox/txn-status  {"txnId","status"}, as setTxnStatus
/// Every answer carries "Server-Timing: app;dur=<ms>".
///
/// Runs the sandbox in the foreground until SIGINT/SIGTERM (the CLI's `tavi sandbox`). Prints
/// {"url":…,"serverPublicKey":…,"caFile":…} as the first line of standard output.
int runForeground(const Options& options);

}  // namespace tavi::sandbox
