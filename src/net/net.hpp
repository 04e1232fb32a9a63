// The pieces of the HTTP pipeline its files share: URL building (url.cpp), the shared transport
// (transport.cpp: handles, kept connections, TLS sessions, trusted certificates) and the
// exchange itself (exchange.cpp), which the calling thread runs or the call engine drives.
#pragma once

#include <curl/curl.h>
#include <sys/types.h>

#include <array>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/handle.hpp"
#include "core/http.hpp"
#include "tavi/result.hpp"

struct x509_store_st;

namespace tavi {
class AppConstantTAVI;
}

namespace tavi::detail {

using EasyHandle = Handle<CURL, curl_easy_cleanup>;
using MultiHandle = Handle<CURLM, curl_multi_cleanup>;
using ShareHandle = Handle<CURLSH, curl_share_cleanup>;
using HeaderList = Handle<curl_slist, curl_slist_free_all>;

// ---- URL building ----------------------------------------------------------------------------

struct ParsedURL {
    std::string scheme;
    std::string host;
    long port = 0;  // the explicit port, else the scheme's default
};

struct JoinedURL {
    std::string url;
    ParsedURL parts;
};

/// ASCII lower case, whatever locale the host has set.
char asciiLower(char c);

/// The URL as the "url: " line shows it: credentials in the authority are never written out.
std::string loggableURL(const std::string& url);

/// The URL of a request, and its scheme and host; none when no valid URL results, with
/// `problem` saying why.
std::optional<JoinedURL> joinAndParse(const std::string& baseURL, const std::string& endPoint,
                                      const std::map<std::string, QueryValue>& queryParams,
                                      std::string& problem);

// ---- The shared transport ----------------------------------------------------------------------

/// How long a server keeps an idle connection open when it does not say (Keep-Alive:
/// timeout=N), and the most any server is believed (middleboxes drop connections idle longer).
inline constexpr long kDefaultIdleSeconds = 60;
inline constexpr long kLongestIdleSeconds = 300;

/// What a connection was verified against. A connection opened under other trust settings is
/// never reused: changing the CA file (or its contents) or the pin starts from fresh connections.
struct TrustSettings {
    std::string caFile;
    std::string pin;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modifiedNs = 0;
    long long changedNs = 0;

    static TrustSettings of(const AppConstantTAVI& config);
    bool operator==(const TrustSettings&) const = default;
};

struct X509StoreFree {
    void operator()(x509_store_st* store) const;
};
using TrustStore = std::unique_ptr<x509_store_st, X509StoreFree>;

/// The process-wide share of DNS cache and TLS sessions for connections made under `trust`
/// (sessions are only resumed under the trust they were verified with); null when it could not
/// be made.
CURLSH* sharedTransportState(const TrustSettings& trust);

/// Makes the process-wide transport state (shares, trusted certificates, keep-alive times) now.
/// Whatever holds handles that use it calls this first, so that the state, made first, is
/// destroyed last at the process's end (a share still in use cannot be cleaned up).
void prepareTransport();

/// Notes what the server at `origin` ("https://host:port") advertised in its last answer
/// (Keep-Alive: timeout=N; none: it did not say).
void recordKeepAlive(const std::string& origin, std::optional<long> seconds);
/// CURLOPT_MAXAGE_CONN for a request to `origin`: a kept connection is reused while the server
/// still keeps it (what it advertised, else kDefaultIdleSeconds), with a second to spare.
long maxIdleSeconds(const std::string& origin);

/// A reference of the caller's own to the trusted certificates for `trust` (the system's plus
/// the configured CA file), parsed once per process and again only when the CA file changes;
/// null when a certificate file cannot be loaded (the connection then fails with a CA error).
TrustStore trustStoreFor(const TrustSettings& trust);

/// CURLOPT_SSL_CTX_FUNCTION: gives a new connection's TLS context the trust store for the
/// TrustSettings passed as `user` (made then, the first time: never for cleartext nor for a
/// reused connection), and the library's key log callback (which writes only to a file the host
/// asked for).
CURLcode installTrustStore(CURL*, void* sslContext, void* user);

/// Sets the calling thread's TLS key log file (the host's, or none when empty) for the length
/// of a scope: libcurl itself would honour SSLKEYLOGFILE; it never may.
class KeyLogScope {
  public:
    explicit KeyLogScope(const std::string& path);
    ~KeyLogScope();
    KeyLogScope(const KeyLogScope&) = delete;
    KeyLogScope& operator=(const KeyLogScope&) = delete;

  private:
    const std::string* previous_;
};

/// The TLS key log file at `path`, open for appending, when it is one the library may trust
/// with secrets: a regular file owned by the effective user with no group or other access
/// (created 0600 when absent), in a directory that is not group- or other-writable, reached
/// without following a link. Otherwise an invalid descriptor, and `problem` names the path, what
/// is wrong and how to mend it.
UniqueFd openKeyLog(const std::string& path, std::string& problem);

class ThreadTransfer;

/// The calling thread's kept handle for one exchange, released when the exchange ends however it
/// ends. A request made while the thread's handle is in use (from a diagnostics sink, say) gets
/// a handle of its own.
class TransferLease {
  public:
    explicit TransferLease(const TrustSettings& trust);
    ~TransferLease();
    TransferLease(const TransferLease&) = delete;
    TransferLease& operator=(const TransferLease&) = delete;
    CURL* get() const { return handle_; }

  private:
    ThreadTransfer* owner_ = nullptr;
    EasyHandle own_;
    CURL* handle_ = nullptr;
};

// ---- The exchange ------------------------------------------------------------------------------

/// The raw answer of one exchange.
struct Answer {
    Bytes body;
    long status = 0;
};

/// One exchange made ready: the URL checked, the limits fixed, every buffer the transfer reads
/// or writes owned here, so that it can run on the calling thread or on the call engine.
class PreparedExchange {
  public:
    /// The exchange for the request, or the error that keeps it from being sent (a URL that
    /// cannot be formed, cleartext beyond loopback, a passed deadline). Writes the "url:" and
    /// "body:" lines.
    static Result<std::unique_ptr<PreparedExchange>> prepare(
        const std::string& endPoint, const std::string& method,
        const std::map<std::string, QueryValue>& queryParams, const std::optional<Bytes>& body,
        const std::map<std::string, std::string>& loggedHeaders);

    const TrustSettings& trust() const { return trust_; }
    const std::string& keyLogFile() const { return keyLogFile_; }
    /// "scheme://host:port", lower case: the server whose connections the exchange shares.
    const std::string& origin() const { return origin_; }
    /// Exchanges with origin() that may run at once (AppConstantTAVI::maxConnections).
    long maxConnections() const { return maxConnections_; }

    /// Sets every option of `easy` (reset beforehand) for this exchange. False when a part of
    /// the request could not be made (no memory).
    bool configure(CURL* easy);
    /// Whether the request went out (or was about to) on a connection.
    bool sent() const { return transfer_.attempts > 0; }
    /// The outcome once the transfer has ended with `code`; writes the answer's lines.
    Result<Answer> finish(CURLcode code, CURL* easy);
    /// The outcome when the call's deadline ended the exchange before libcurl did (it may still
    /// have been waiting for a connection).
    Result<Answer> expired() const;

    /// Called, once the request is ready to go out on a connection, with the exchange's
    /// `gateUser`: false stops it there (nothing sent). Runs on the thread driving the transfer.
    using Gate = bool (*)(void* gateUser);
    void setGate(Gate gate, void* gateUser) {
        transfer_.gate = gate;
        transfer_.gateUser = gateUser;
    }

    struct Transfer {
        Bytes body;
        bool tooLarge = false;
        int attempts = 0;            // times the request was about to go out
        bool resendRefused = false;  // a second sending was stopped
        bool stoppedByGate = false;
        Gate gate = nullptr;
        void* gateUser = nullptr;
        std::array<char, CURL_ERROR_SIZE + 1> errorBuffer{};
        std::optional<long> keepAliveSeconds;  // the answer's Keep-Alive: timeout=N
    };

    PreparedExchange() = default;  // made by prepare()

  private:
    JoinedURL target_;
    std::string method_;
    std::optional<Bytes> body_;
    std::map<std::string, std::string> loggedHeaders_;
    long timeoutMilliseconds_ = 60000;
    bool boundByDeadline_ = false;
    long deadlineTotal_ = 0;
    bool logging_ = false;
    TrustSettings trust_;
    std::string origin_;  // "scheme://host:port", lower case
    long maxConnections_ = 8;
    // The request's header lines, each ended by a NUL, in one buffer; headerNodes_ list them
    // for libcurl, which only reads the list.
    std::string headerLines_;
    std::array<curl_slist, 5> headerNodes_{};
    std::string pin_;
    std::string keyLogFile_;
    std::optional<std::string> proxy_;
    HeaderList pinnedLocalhost_;
    Transfer transfer_;
};

/// One exchange on the calling thread, over its kept connections.
Result<Answer> exchangeOnThisThread(const std::string& endPoint, const std::string& method,
                                    const std::map<std::string, QueryValue>& queryParams,
                                    const std::optional<Bytes>& body,
                                    const std::map<std::string, std::string>& headers);

/// The error an exchange that libcurl ended with `code` reports.
Error transportError(CURLcode code, const char* detail);

/// "the operation's deadline of N ms WHAT" (deadlineExceeded).
Error deadlinePassed(long totalMilliseconds, const char* what);

}  // namespace tavi::detail
