#include "core/http.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "core/internal.hpp"
#include "tavi/config.hpp"
#include "tavi/device.hpp"

namespace tavi::detail {

namespace {

// ---- RAII for curl handles -----------------------------------------------------------------

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct ShareDeleter {
    void operator()(CURLSH* handle) const { curl_share_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlStringDeleter {
    void operator()(char* text) const { curl_free(text); }
};

using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using ShareHandle = std::unique_ptr<CURLSH, ShareDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;
using UrlHandle = std::unique_ptr<CURLU, UrlDeleter>;
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// Seconds an idle connection stays eligible for reuse.
constexpr long kMaxIdleSeconds = 4;

// ---- The process-wide HTTP client ----------------------------------------------------------

// One share for the whole process: DNS cache and TLS sessions. Connections are not shared: the
// shared connection cache of this libcurl generation is not safe across concurrent threads, and
// operations may run on several host threads at once. Each thread keeps its own connections
// instead (ThreadTransfer below).
class HttpClient {
  public:
    static HttpClient& instance() {
        static HttpClient client;  // initialised once, thread-safe
        return client;
    }

    CURLSH* share() const { return share_.get(); }

  private:
    HttpClient() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        share_.reset(curl_share_init());
        if (!share_) return;
        curl_share_setopt(share_.get(), CURLSHOPT_LOCKFUNC, &HttpClient::lock);
        curl_share_setopt(share_.get(), CURLSHOPT_UNLOCKFUNC, &HttpClient::unlock);
        curl_share_setopt(share_.get(), CURLSHOPT_USERDATA, this);
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        auto* self = static_cast<HttpClient*>(user);
        if (data >= 0 && data < CURL_LOCK_DATA_LAST) self->locks_[data].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user) {
        auto* self = static_cast<HttpClient*>(user);
        if (data >= 0 && data < CURL_LOCK_DATA_LAST) self->locks_[data].unlock();
    }

    std::array<std::mutex, CURL_LOCK_DATA_LAST> locks_;
    ShareHandle share_;
};

// ---- The calling thread's transfer handle ----------------------------------------------------

// What a connection was verified against. A connection opened under other trust settings is
// never reused: changing the CA file (or its contents) or the pin starts from a fresh handle.
struct TrustSettings {
    std::string caFile;
    std::string pin;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long modifiedNs = 0;
    long long changedNs = 0;

    static TrustSettings of(const AppConstantTAVI& config) {
        TrustSettings trust{config.caFile, config.pinnedPublicKey};
        struct stat st {};
        if (!trust.caFile.empty() && ::stat(trust.caFile.c_str(), &st) == 0) {
            trust.device = st.st_dev;
            trust.inode = st.st_ino;
            trust.size = st.st_size;
            trust.modifiedNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
            trust.changedNs = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
        }
        return trust;
    }
    bool operator==(const TrustSettings&) const = default;
};

// ---- The certificates connections are verified against -----------------------------------------

struct X509StoreDeleter {
    void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
using TrustStore = std::unique_ptr<X509_STORE, X509StoreDeleter>;

// The trusted certificates (the system's, plus the configured CA file), parsed once per process
// and again only when the CA file changes, then shared by every new connection of every thread.
// Parsing the system bundle costs tens of milliseconds of CPU; left to libcurl it happens for each
// thread's first connection.
class TrustStoreCache {
  public:
    static TrustStoreCache& instance() {
        static TrustStoreCache cache;
        return cache;
    }

    // A reference of the caller's own to the store for `trust`; null when a certificate file
    // cannot be loaded (the connection then fails with a CA error).
    TrustStore acquire(const TrustSettings& trust) {
        std::lock_guard lock(mutex_);
        if (!built_ || !sameFiles(key_, trust)) {
            store_ = build(trust.caFile);
            key_ = trust;
            built_ = true;
        }
        if (!store_ || X509_STORE_up_ref(store_.get()) != 1) return nullptr;
        return TrustStore(store_.get());
    }

  private:
    TrustStoreCache() {
        // libcurl's built-in CA locations: what it would load itself for each connection.
        const EasyHandle probe(curl_easy_init());
        char* file = nullptr;
        char* path = nullptr;
        if (probe && curl_easy_getinfo(probe.get(), CURLINFO_CAINFO, &file) == CURLE_OK && file) {
            systemFile_ = file;
        }
        if (probe && curl_easy_getinfo(probe.get(), CURLINFO_CAPATH, &path) == CURLE_OK && path) {
            systemPath_ = path;
        }
    }

    static bool sameFiles(const TrustSettings& a, const TrustSettings& b) {
        return a.caFile == b.caFile && a.device == b.device && a.inode == b.inode &&
               a.size == b.size && a.modifiedNs == b.modifiedNs && a.changedNs == b.changedNs;
    }

    TrustStore build(const std::string& caFile) const {
        TrustStore store(X509_STORE_new());
        bool ok = store != nullptr;
        if (ok && !systemFile_.empty())
            ok = X509_STORE_load_file(store.get(), systemFile_.c_str()) == 1;
        if (ok && !systemPath_.empty())
            ok = X509_STORE_load_path(store.get(), systemPath_.c_str()) == 1;
        if (ok && !caFile.empty()) ok = X509_STORE_load_file(store.get(), caFile.c_str()) == 1;
        // As libcurl sets them on the stores it builds: try the trusted certificates first when
        // building a chain, and accept a trusted intermediate as an anchor.
        if (ok)
            ok = X509_STORE_set_flags(store.get(),
                                      X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN) == 1;
        ERR_clear_error();
        if (!ok) return nullptr;
        return store;
    }

    std::mutex mutex_;
    std::string systemFile_;
    std::string systemPath_;
    bool built_ = false;
    TrustSettings key_;  // the files the store was built from; the pin plays no part
    TrustStore store_;
};

// One easy handle per thread, kept between requests so that its connection cache keeps the
// thread's connections open (keep-alive). Every option is set again for each request after
// curl_easy_reset, which keeps the connections but forgets the options.
class ThreadTransfer {
  public:
    bool busy() const { return busy_; }

    // The thread's handle, reset, for one request under `trust`; null when none can be made.
    CURL* acquire(const TrustSettings& trust) {
        if (easy_ && (!(trust_ == trust) || idleConnectionClosed())) {
            easy_.reset();  // closes the old connections
        }
        idleSocket_ = CURL_SOCKET_BAD;
        if (easy_) {
            curl_easy_reset(easy_.get());
        } else {
            easy_.reset(curl_easy_init());
            trust_ = trust;
        }
        busy_ = easy_ != nullptr;
        return easy_.get();
    }

    // After the request: options are cleared so that no pointer to the request's buffers stays
    // behind; the connections stay open for the next request.
    void release() {
        if (easy_) {
            curl_socket_t socket = CURL_SOCKET_BAD;
            if (curl_easy_getinfo(easy_.get(), CURLINFO_ACTIVESOCKET, &socket) == CURLE_OK) {
                idleSocket_ = socket;
            }
            curl_easy_reset(easy_.get());
        }
        busy_ = false;
    }

  private:
    // Whether the server has closed the kept connection while it sat idle. libcurl's own check
    // before reuse takes a pending TLS close_notify for a live connection, sends the request into
    // the closed connection and would then send it again; since a request is never sent twice,
    // that request would fail. Data alone is no sign of a close (a TLS 1.3 server sends its
    // session tickets after the first answer); the end of the stream is.
    bool idleConnectionClosed() const {
        if (idleSocket_ == CURL_SOCKET_BAD) return false;
#ifdef POLLRDHUP
        pollfd idle{idleSocket_, POLLRDHUP, 0};
        if (::poll(&idle, 1, 0) <= 0) return false;
        return (idle.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
#else
        // Without POLLRDHUP: only an end of the stream with nothing before it is seen.
        pollfd idle{idleSocket_, POLLIN, 0};
        if (::poll(&idle, 1, 0) <= 0) return false;
        if ((idle.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return true;
        char byte = 0;
        return ::recv(idleSocket_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
#endif
    }

    EasyHandle easy_;
    TrustSettings trust_;
    curl_socket_t idleSocket_ = CURL_SOCKET_BAD;  // the connection the last request used
    bool busy_ = false;
};

ThreadTransfer& threadTransfer() {
    thread_local ThreadTransfer transfer;
    return transfer;
}

// The handle for one exchange, released when the exchange ends however it ends. A request made
// while the thread's handle is in use (from a diagnostics sink, say) gets a handle of its own.
class TransferLease {
  public:
    TransferLease(ThreadTransfer& owner, const TrustSettings& trust) : owner_(owner) {
        if (owner_.busy()) {
            own_.reset(curl_easy_init());
            handle_ = own_.get();
        } else {
            handle_ = owner_.acquire(trust);
        }
    }
    ~TransferLease() {
        if (!own_ && handle_ != nullptr) owner_.release();
    }
    TransferLease(const TransferLease&) = delete;
    TransferLease& operator=(const TransferLease&) = delete;
    CURL* get() const { return handle_; }

  private:
    ThreadTransfer& owner_;
    EasyHandle own_;
    CURL* handle_ = nullptr;
};

// ---- URL text ------------------------------------------------------------------------------

// ASCII only, whatever locale the host has set.
bool isAsciiDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool isAsciiAlpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isHex(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return isAsciiDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUnreserved(unsigned char c) {
    return isAsciiAlpha(c) || isAsciiDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

// The URL as the "url: " line shows it: credentials in the authority are never written out.
std::string loggableURL(const std::string& url) {
    const auto start = url.find("://");
    if (start == std::string::npos) return url;
    const auto authorityEnd = url.find_first_of("/?#", start + 3);
    const auto at = url.rfind('@', authorityEnd == std::string::npos ? url.size() : authorityEnd);
    if (at == std::string::npos || at < start + 3) return url;
    return url.substr(0, start + 3) + "***" + url.substr(at);
}

// The offset of the first character a URL may not carry (anything but unreserved, reserved, or a
// well-formed %XX escape); npos when there is none.
std::size_t firstNonURLCharacter(std::string_view text) {
    static constexpr std::string_view kReserved = ":/?#[]@!$&'()*+,;=";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (isUnreserved(c) || kReserved.find(static_cast<char>(c)) != std::string_view::npos)
            continue;
        if (c == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            i += 2;
            continue;
        }
        return i;
    }
    return std::string_view::npos;
}

struct ParsedURL {
    std::string scheme;
    std::string host;
    long port = 0;  // the explicit port, else the scheme's default
};

std::string hexByte(unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return std::string("0x") + kHex[c >> 4] + kHex[c & 0x0F];
}

// Parses `text` as an absolute http(s) URL with a host; none otherwise, with `problem` saying why.
std::optional<ParsedURL> parseURL(const std::string& text, std::string& problem) {
    if (text.empty()) {
        problem = "the server URL is empty";
        return std::nullopt;
    }
    if (const auto at = firstNonURLCharacter(text); at != std::string_view::npos) {
        problem = "the URL text has a byte a URL cannot carry (" +
                  hexByte(static_cast<unsigned char>(text[at])) + " at offset " +
                  std::to_string(at) + ")";
        return std::nullopt;
    }
    // curl tolerates "https:/host" and "https:///host"; an authority must follow "://" here.
    const auto authority = text.find("://");
    if (authority == std::string::npos || authority + 3 >= text.size() ||
        std::string_view("/?#").find(text[authority + 3]) != std::string_view::npos ||
        text.find_first_of("/?#") < authority) {
        problem = "the server URL does not begin with \"scheme://host\"";
        return std::nullopt;
    }
    UrlHandle url(curl_url());
    if (!url) {
        problem = "no memory to parse the URL";
        return std::nullopt;
    }
    if (const CURLUcode code = curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0);
        code != CURLUE_OK) {
        problem = std::string("the URL does not parse: ") + curl_url_strerror(code);
        return std::nullopt;
    }
    char* raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_SCHEME, &raw, 0) != CURLUE_OK) {
        problem = "the URL has no scheme";
        return std::nullopt;
    }
    CurlString scheme(raw);
    raw = nullptr;
    if (curl_url_get(url.get(), CURLUPART_HOST, &raw, 0) != CURLUE_OK) {
        problem = "the URL has no host";
        return std::nullopt;
    }
    CurlString host(raw);
    raw = nullptr;
    ParsedURL parsed{scheme ? scheme.get() : "", host ? host.get() : "", 0};
    for (auto& ch : parsed.scheme) ch = asciiLower(ch);
    if (parsed.scheme != "http" && parsed.scheme != "https") {
        problem = "the scheme \"" + parsed.scheme + "\" is neither https nor http";
        return std::nullopt;
    }
    if (parsed.host.empty()) {
        problem = "the URL has no host";
        return std::nullopt;
    }
    if (curl_url_get(url.get(), CURLUPART_PORT, &raw, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        const CurlString port(raw);
        if (port) parsed.port = std::strtol(port.get(), nullptr, 10);
    }
    return parsed;
}

std::string queryValueText(const QueryValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) return *text;
    if (const auto* number = std::get_if<long long>(&value)) return std::to_string(*number);
    return std::get<bool>(value) ? "true" : "false";
}

// ---- The exchange --------------------------------------------------------------------------

struct JoinedURL {
    std::string url;
    ParsedURL parts;
};

struct ExchangeLimits {
    long timeoutMilliseconds = 60000;
    bool boundByDeadline = false;  // the operation's deadline shortened the timeout
};

// Where the TLS secrets of the calling thread's new connections go, while an exchange runs: the
// host's key log file, or none. libcurl itself would honour SSLKEYLOGFILE; it never may.
thread_local const std::string* tlsKeyLogPath = nullptr;

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

// The key log callback of every TLS context the library makes, in place of libcurl's.
void writeKeyLogLine(const SSL*, const char* line) {
    const std::string* path = tlsKeyLogPath;
    if (path == nullptr || path->empty() || line == nullptr) return;
    const FileDescriptor file(
        ::open(path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (file.get() < 0) return;
    std::string text(line);
    text += '\n';
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(file.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
}

// Sets the calling thread's key log file for the length of one exchange.
class KeyLogScope {
  public:
    explicit KeyLogScope(const std::string& path) : previous_(tlsKeyLogPath) {
        tlsKeyLogPath = &path;
    }
    ~KeyLogScope() { tlsKeyLogPath = previous_; }
    KeyLogScope(const KeyLogScope&) = delete;
    KeyLogScope& operator=(const KeyLogScope&) = delete;

  private:
    const std::string* previous_;
};

// Header values come from the device description, which a host may supply: no line breaks or
// other control characters may reach the request.
std::string headerSafe(std::string value) {
    for (auto& c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
    }
    return value;
}

struct Transfer {
    Bytes body;
    bool tooLarge = false;
    int attempts = 0;            // times the request was about to go out
    bool resendRefused = false;  // a second sending was stopped
    std::array<char, CURL_ERROR_SIZE + 1> errorBuffer{};
};

std::size_t onData(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (length > kMaxResponseBytes - transfer->body.size()) {
        transfer->tooLarge = true;
        return 0;  // aborts the transfer
    }
    try {
        transfer->body.insert(transfer->body.end(), data, data + length);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return length;
}

// Called each time the request is about to be sent on a connection. When a reused connection
// turns out closed before any answer, libcurl would send the request again on a new connection;
// the server may already have acted on it, so a request goes out at most once.
int onRequestReady(void* user, char*, char*, int, int) {
    auto* transfer = static_cast<Transfer*>(user);
    if (++transfer->attempts > 1) {
        transfer->resendRefused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

// Gives a new connection's TLS context the shared trusted certificates, and the library's key log
// callback (which writes only to a file the host asked for).
CURLcode installTrustStore(CURL*, void* sslContext, void* user) {
    SSL_CTX_set_keylog_callback(static_cast<SSL_CTX*>(sslContext), &writeKeyLogLine);
    auto* store = static_cast<X509_STORE*>(user);
    if (store == nullptr) return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), store);
    return CURLE_OK;
}

std::string utf8Text(const Bytes& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (!isValidUTF8(text)) return {};
    return text;
}

Error transportError(CURLcode code, const char* detail) {
    std::string message = curl_easy_strerror(code);
    if (detail != nullptr && detail[0] != '\0') message += std::string(": ") + detail;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return Error{ErrorDomain::transport, static_cast<long>(code),
                 std::move(message),     nullptr,
                 std::nullopt,           std::nullopt};
}

Result<Bytes> exchange(const JoinedURL& target, const std::string& method,
                       const std::optional<Bytes>& body,
                       const std::map<std::string, std::string>& loggedHeaders,
                       const AppConstantTAVI& config, const ExchangeLimits& limits) {
    const std::string& url = target.url;
    const std::string userAgent = headerSafe(TaviUtils().getUserAgent());

    // The lines are only built when something will receive them.
    const bool logging = config.logLevel >= LogLevel::debug && config.diagnosticsSink != nullptr;
    if (logging) {
        diag("url: " + loggableURL(url));
        if (body) diag("body: " + utf8Text(*body));
    }

    auto& client = HttpClient::instance();
    const TrustSettings trust = TrustSettings::of(config);
    TransferLease easy(threadTransfer(), trust);
    const TrustStore trustStore = TrustStoreCache::instance().acquire(trust);
    const std::string userAgentLine = "User-Agent: " + userAgent;
    // Exactly three headers; the empty "Accept:" and "Expect:" remove curl's defaults.
    const std::array<const char*, 5> lines{"Content-Type: application/json", userAgentLine.c_str(),
                                           "ln: en", "Accept:", "Expect:"};
    HeaderList headers;
    for (const char* line : lines) {
        curl_slist* extended = curl_slist_append(headers.get(), line);
        if (extended == nullptr) {
            headers.reset();
            break;
        }
        (void)headers.release();  // `extended` is the same list, now one entry longer
        headers.reset(extended);
    }
    if (easy.get() == nullptr || !client.share() || !headers) {
        if (logging) {
            diag("header: " + headersText(loggedHeaders));
            diag("response: ");
        }
        return transportError(CURLE_FAILED_INIT, "the HTTP client could not be set up");
    }

    Transfer transfer;
    const std::string caFile = config.caFile;
    const std::string pin = config.pinnedPublicKey;
    const long timeout = limits.timeoutMilliseconds;
    const std::string keyLogFile = config.tlsKeyLogFile;
    const KeyLogScope keyLog(keyLogFile);
    const bool cleartext = target.parts.scheme == "http";
    const std::optional<std::string> proxy = config.proxy;

    // "localhost" is connected to the loopback addresses only, never to what a resolver (a hosts
    // file, DNS) says it is.
    std::string host = target.parts.host;
    for (auto& c : host) c = asciiLower(c);
    HeaderList pinnedLocalhost;
    if (host == "localhost") {
        const std::string port = std::to_string(target.parts.port);
        for (const std::string& name : {host, target.parts.host}) {
            if (&name != &host && name == host) continue;
            const std::string entry = name + ":" + port + ":127.0.0.1,[::1]";
            curl_slist* extended = curl_slist_append(pinnedLocalhost.get(), entry.c_str());
            if (extended == nullptr) {
                return transportError(CURLE_OUT_OF_MEMORY, "no memory for the loopback pin");
            }
            (void)pinnedLocalhost.release();
            pinnedLocalhost.reset(extended);
        }
    }

    CURL* h = easy.get();
    curl_easy_setopt(h, CURLOPT_SHARE, client.share());
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &onRequestReady);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);
    // An idle connection is reused for a short while only, well inside common server keep-alive
    // limits, so that a server rarely closes it just as a request goes out.
    curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, kMaxIdleSeconds);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, transfer.errorBuffer.data());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeout);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeout);
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!pin.empty()) curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
    // The trusted certificates come from the shared store, not from files libcurl would parse
    // again for each thread.
    curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &installTrustStore);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, trustStore.get());
    if (!caFile.empty()) {
        // A resumed TLS session skips certificate verification, and the session cache cannot
        // tell which extra CAs a session was verified with: such connections never resume.
        curl_easy_setopt(h, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    if (pinnedLocalhost) curl_easy_setopt(h, CURLOPT_RESOLVE, pinnedLocalhost.get());
    if (cleartext) {
        // Cleartext (loopback only) never goes through a proxy, whatever the environment says.
        curl_easy_setopt(h, CURLOPT_PROXY, "");
        curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    } else {
        // A proxy only ever carries a tunnel; TLS is verified end to end through it. The host's
        // setting replaces the environment's variables.
        curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
        if (proxy) {
            curl_easy_setopt(h, CURLOPT_PROXY, proxy->c_str());
            curl_easy_setopt(h, CURLOPT_NOPROXY, "");
        }
    }
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onData);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxResponseBytes));

    if (body) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
        // Never a null pointer: that would make curl read the body from standard input.
        static constexpr char kNoBytes[] = "";
        const void* bytes = body->empty() ? static_cast<const void*>(kNoBytes) : body->data();
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, bytes);
        if (method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (method == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    const CURLcode code = curl_easy_perform(h);

    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    const bool tooLarge = transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    const bool received = code == CURLE_OK && status > 0;

    if (logging) {
        if (status > 0) diag("statusCode: " + std::to_string(status));
        diag("header: " + headersText(loggedHeaders));
        diag("response: " + (received ? utf8Text(transfer.body) : std::string()));
    }

    if (tooLarge) {
        return clientError(
            ClientErrorCode::responseTooLarge,
            "the response body exceeds " + std::to_string(kMaxResponseBytes) + " bytes");
    }
    if (transfer.resendRefused) {
        return transportError(CURLE_GOT_NOTHING,
                              "the connection closed before an answer arrived; the request was "
                              "not sent again");
    }
    if (code == CURLE_OPERATION_TIMEDOUT && limits.boundByDeadline) {
        return clientError(ClientErrorCode::deadlineExceeded,
                           "the operation's deadline of " +
                               std::to_string(OperationScope::totalMilliseconds()) +
                               " ms passed while waiting for the server; the request may have "
                               "reached it");
    }
    if (code != CURLE_OK) return transportError(code, transfer.errorBuffer.data());
    if (!received) {
        // An exchange that produced neither a response nor an error.
        return Error{ErrorDomain::empty, status > 0 ? status : -1, "", nullptr, std::nullopt,
                     std::nullopt};
    }
    return std::move(transfer.body);
}

}  // namespace

// ---- The operation's deadline ------------------------------------------------------------

namespace {

struct OpenOperation {
    bool open = false;
    std::chrono::steady_clock::time_point deadline;
    long totalMilliseconds = 0;
};

thread_local OpenOperation openOperation;

}  // namespace

OperationScope::OperationScope() : outermost_(!openOperation.open) {
    if (!outermost_) return;
    const auto& config = AppConstantTAVI::shared();
    const long timeout = config.timeoutMilliseconds > 0 ? config.timeoutMilliseconds : 60000;
    // At most a year, so that the deadline's time point cannot overflow.
    constexpr long kLongest = 365L * 24 * 3600 * 1000;
    const long total = std::min(kLongest, config.operationDeadlineMilliseconds > 0
                                              ? config.operationDeadlineMilliseconds
                                              : (timeout > kLongest ? kLongest : 2 * timeout));
    openOperation.open = true;
    openOperation.totalMilliseconds = total;
    openOperation.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(total);
}

OperationScope::~OperationScope() {
    if (outermost_) openOperation = OpenOperation{};
}

std::optional<long long> OperationScope::remainingMilliseconds() {
    if (!openOperation.open) return std::nullopt;
    const auto left = openOperation.deadline - std::chrono::steady_clock::now();
    return std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
}

long OperationScope::totalMilliseconds() {
    return openOperation.open ? openOperation.totalMilliseconds : 0;
}

std::string percentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (isUnreserved(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

bool isLoopbackHost(std::string_view host) {
    std::string h(host);
    for (auto& c : h) c = asciiLower(c);
    // Exactly "localhost": "localhost." and other names go to the resolver, which may send them
    // anywhere. "localhost" itself is connected to loopback addresses only (see exchange()).
    if (h == "localhost") return true;
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    in_addr v4{};
    if (inet_pton(AF_INET, h.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, h.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
    }
    return false;
}

std::string headersText(const std::map<std::string, std::string>& headers) {
    if (headers.empty()) return "[:]";
    std::string out = "[";
    bool first = true;
    for (const auto& [key, value] : headers) {
        if (!first) out += ", ";
        first = false;
        out += "\"" + key + "\": \"" + value + "\"";
    }
    out += "]";
    return out;
}

namespace {

// The URL of a request, and its scheme and host; none when no valid URL results, with `problem`
// saying why.
std::optional<JoinedURL> joinAndParse(const std::string& baseURL, const std::string& endPoint,
                                      const std::map<std::string, QueryValue>& queryParams,
                                      std::string& problem) {
    const std::string joined = baseURL + endPoint;
    auto parts = parseURL(joined, problem);
    if (!parts) return std::nullopt;

    std::string rest = joined;
    std::string fragment;
    if (const auto hash = rest.find('#'); hash != std::string::npos) {
        fragment = rest.substr(hash);
        rest.erase(hash);
    }
    std::string prefix = rest;
    std::optional<std::string> query;
    if (const auto mark = rest.find('?'); mark != std::string::npos) {
        prefix = rest.substr(0, mark);
        query = rest.substr(mark + 1);
    }
    if (!queryParams.empty()) {
        std::string items;
        for (const auto& [name, value] : queryParams) {
            if (!items.empty()) items += '&';
            items += percentEncode(name) + "=" + percentEncode(queryValueText(value));
        }
        query = std::move(items);
    }
    std::string url = prefix;
    if (query) {
        url += '?';
        for (char c : *query) {
            if (c == '+')
                url += "%2B";
            else
                url += c;
        }
    }
    url += fragment;
    if (url != joined) {
        parts = parseURL(url, problem);
        if (!parts) return std::nullopt;
    }
    return JoinedURL{std::move(url), std::move(*parts)};
}

}  // namespace

std::optional<std::string> joinURL(const std::string& baseURL, const std::string& endPoint,
                                   const std::map<std::string, QueryValue>& queryParams) {
    std::string problem;
    auto joined = joinAndParse(baseURL, endPoint, queryParams, problem);
    if (!joined) return std::nullopt;
    return std::move(joined->url);
}

void performRequest(const std::string& endPoint, const std::string& method,
                    const std::map<std::string, QueryValue>& queryParams,
                    const std::optional<Bytes>& body,
                    const std::map<std::string, std::string>& headers,
                    const std::function<void(const Result<Bytes>&)>& completion) {
    std::optional<Result<Bytes>> result;
    try {
        const auto& config = AppConstantTAVI::shared();
        const std::string baseURL = config.serverURL;
        std::string problem;
        // A URL that cannot be formed is an error: the request goes nowhere else instead.
        auto url = joinAndParse(baseURL, endPoint, queryParams, problem);
        const long ownTimeout = config.timeoutMilliseconds > 0 ? config.timeoutMilliseconds : 60000;
        const auto remaining = OperationScope::remainingMilliseconds();
        if (!url) {
            result.emplace(ApiServiceError::invalidURL(problem));
        } else if (url->parts.scheme == "http" && !isLoopbackHost(url->parts.host)) {
            result.emplace(
                clientError(ClientErrorCode::insecureTransport,
                            "refusing cleartext http to " + url->parts.host +
                                ": only https is allowed beyond the loopback interface"));
        } else if (remaining && *remaining <= 0) {
            result.emplace(clientError(ClientErrorCode::deadlineExceeded,
                                       "the operation's deadline of " +
                                           std::to_string(OperationScope::totalMilliseconds()) +
                                           " ms has passed; the request was not sent"));
        } else {
            ExchangeLimits limits;
            limits.timeoutMilliseconds = ownTimeout;
            if (remaining && *remaining < ownTimeout) {
                limits.timeoutMilliseconds = static_cast<long>(*remaining);
                limits.boundByDeadline = true;
            }
            result.emplace(exchange(*url, method, body, headers, config, limits));
        }
    } catch (const std::exception& e) {
        result.emplace(transportError(CURLE_FAILED_INIT, e.what()));
    } catch (...) {
        result.emplace(transportError(CURLE_FAILED_INIT, "unexpected failure"));
    }
    if (completion) completion(*result);
}

}  // namespace tavi::detail
