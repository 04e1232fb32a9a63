// The transport shared by every exchange: the process-wide share (DNS cache, TLS sessions), the
// trusted certificates, the calling thread's kept connections, and the TLS key log.
#include <curl/curl.h>
#include <dirent.h>
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
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/net.hpp"
#include "tavi/config.hpp"

namespace tavi::detail {

TrustSettings TrustSettings::of(const AppConstantTAVI& config) {
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

void X509StoreFree::operator()(X509_STORE* store) const {
    X509_STORE_free(store);
}

namespace {

// ---- Shared DNS answers and TLS sessions ------------------------------------------------------

// One share per trust setting for the whole process: DNS answers and TLS sessions. A resumed TLS
// session skips certificate verification, so a session made under one trust setting (the CA
// file and its contents, the pin) is only ever offered to connections made under the same one.
// Connections are not shared: the shared connection cache of this libcurl generation is not safe
// across concurrent threads. Each thread (and the call engine) keeps its own instead.
class HttpClient {
  public:
    static HttpClient& instance() {
        static HttpClient client;  // initialised once, thread-safe
        return client;
    }

    // The share for connections made under `trust`; null when none can be made. Shares stay for
    // the life of the process (a kept handle may still use one): one per trust setting seen.
    CURLSH* share(const TrustSettings& trust) {
        std::lock_guard lock(mutex_);
        for (const auto& entry : shares_) {
            if (entry->trust == trust) return entry->share.get();
        }
        auto entry = std::make_unique<Share>();
        entry->trust = trust;
        entry->share.reset(curl_share_init());
        if (!entry->share) return nullptr;
        CURLSH* share = entry->share.get();
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &HttpClient::lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &HttpClient::unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, entry.get());
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
        shares_.push_back(std::move(entry));
        return share;
    }

  private:
    struct Share {
        TrustSettings trust;
        std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
        ShareHandle share;  // declared last: cleaned up before its locks go
    };

    HttpClient() { curl_global_init(CURL_GLOBAL_DEFAULT); }

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        auto* share = static_cast<Share*>(user);
        if (data >= 0 && data < CURL_LOCK_DATA_LAST) share->locks[data].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user) {
        auto* share = static_cast<Share*>(user);
        if (data >= 0 && data < CURL_LOCK_DATA_LAST) share->locks[data].unlock();
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<Share>> shares_;
};

// ---- How long servers keep idle connections ----------------------------------------------------

// What each server last advertised (Keep-Alive: timeout=N), by origin.
class KeepAliveTimes {
  public:
    static KeepAliveTimes& instance() {
        static KeepAliveTimes times;
        return times;
    }

    void record(const std::string& origin, std::optional<long> seconds) {
        std::lock_guard lock(mutex_);
        if (!seconds) {
            seconds_.erase(origin);
            return;
        }
        if (seconds_.size() >= kOriginsKept && seconds_.find(origin) == seconds_.end()) {
            seconds_.clear();
        }
        seconds_[origin] = *seconds;
    }

    std::optional<long> advertised(const std::string& origin) {
        std::lock_guard lock(mutex_);
        const auto it = seconds_.find(origin);
        if (it == seconds_.end()) return std::nullopt;
        return it->second;
    }

  private:
    static constexpr std::size_t kOriginsKept = 16;
    std::mutex mutex_;
    std::map<std::string, long> seconds_;
};

// ---- The calling thread's transfer handle ----------------------------------------------------

// ---- The certificates connections are verified against -----------------------------------------

struct DirClose {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirClose>;

// The trusted certificates (the system's, plus the configured CA file), made once per process
// and again only when the CA file changes, then shared by every new TLS connection; nothing is
// made before the first TLS connection needs it. Where the system keeps its certificates in a
// hashed directory (one file per certificate, named by the hash of its subject), a certificate is
// read from there when a chain needs it: only without one is the whole system bundle parsed
// (about 235 million instructions, tens of milliseconds).
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
        hashedPath_ = !systemPath_.empty() && holdsHashedCertificates(systemPath_);
    }

    // Whether `dir` holds certificates under hashed names ("1a2b3c4d.0"), as OpenSSL looks them
    // up; the first such name decides.
    static bool holdsHashedCertificates(const std::string& dir) {
        const DirHandle handle(::opendir(dir.c_str()));
        if (!handle) return false;
        auto digit = [](char c) { return c >= '0' && c <= '9'; };
        auto lowerHex = [&digit](char c) { return digit(c) || (c >= 'a' && c <= 'f'); };
        while (const dirent* entry = ::readdir(handle.get())) {
            const std::string_view name(entry->d_name);
            if (name.size() < 10 || name[8] != '.') continue;
            const auto hex = name.substr(0, 8);
            const auto suffix = name.substr(9);
            if (std::all_of(hex.begin(), hex.end(), lowerHex) &&
                std::all_of(suffix.begin(), suffix.end(), digit)) {
                return true;
            }
        }
        return false;
    }

    static bool sameFiles(const TrustSettings& a, const TrustSettings& b) {
        return a.caFile == b.caFile && a.device == b.device && a.inode == b.inode &&
               a.size == b.size && a.modifiedNs == b.modifiedNs && a.changedNs == b.changedNs;
    }

    TrustStore build(const std::string& caFile) const {
        TrustStore store(X509_STORE_new());
        bool ok = store != nullptr;
        // The hashed directory holds what the bundle holds (the system makes both from the same
        // certificates): the directory alone then suffices.
        if (ok && !systemFile_.empty() && !hashedPath_)
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
    bool hashedPath_ = false;  // systemPath_ is a hashed directory: the bundle is not parsed
    bool built_ = false;
    TrustSettings key_;  // the files the store was built from; the pin plays no part
    TrustStore store_;
};

// One easy handle per thread, kept between requests so that its connection cache keeps the
// thread's connections open (keep-alive). Every option is set again for each request after
// curl_easy_reset, which keeps the connections but forgets the options.
class ThreadTransferState {
  public:
    bool busy() const { return busy_; }

    // The thread's handle, reset, for one request under `trust`; null when none can be made.
    CURL* acquire(const TrustSettings& trust) {
        if (easy_ && (!(trust_ == trust) || idleConnectionClosed())) {
            easy_.reset();  // closes the old connections
        }
        idleSocket_ = CURL_SOCKET_BAD;
        if (easy_) {
            // release() reset it after the last request; only a handle given out without being
            // released since (never, with the lease) would still hold that request's options.
            if (!clean_) curl_easy_reset(easy_.get());
        } else {
            easy_.reset(curl_easy_init());
            trust_ = trust;
        }
        clean_ = false;
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
            clean_ = true;
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
    bool clean_ = false;  // reset since its last request: no options are left on it
};

// Where the TLS secrets of the calling thread's new connections go, while an exchange runs: the
// host's key log file, or none. libcurl itself would honour SSLKEYLOGFILE; it never may.
thread_local const std::string* tlsKeyLogPath = nullptr;

using FileDescriptor = UniqueFd;

// The key log callback of every TLS context the library makes, in place of libcurl's.
void writeKeyLogLine(const SSL*, const char* line) {
    const std::string* path = tlsKeyLogPath;
    if (path == nullptr || path->empty() || line == nullptr) return;
    std::string problem;
    const FileDescriptor file = openKeyLog(*path, problem);
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

}  // namespace

UniqueFd openKeyLog(const std::string& path, std::string& problem) {
    const std::string quoted = "the TLS key log file \"" + path + "\"";
    const auto refuse = [&](const std::string& what, const std::string& fix) {
        problem = quoted + " " + what + "; " + fix + " (nothing was written)";
        return UniqueFd();
    };
    const std::string::size_type slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        return refuse("does not name a file", "name a file, as in /home/me/keys.log");
    }
    const UniqueFd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (dir.get() < 0 || ::fstat(dir.get(), &info) != 0) {
        return refuse("is in a directory that cannot be opened (" +
                          std::string(std::strerror(errno)) + ")",
                      "name a file in an existing directory of your own");
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse("is in a directory that other users may write to (\"" + directory +
                          "\"), where they could replace it",
                      "name a file in a directory only you can write to, such as one made "
                      "with mode 0700");
    }
    // Never through a link; never blocking on a FIFO; created for its owner alone.
    UniqueFd file(::openat(dir.get(), name.c_str(),
                           O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY |
                               O_NONBLOCK,
                           0600));
    if (file.get() < 0) {
        if (errno == ELOOP) {
            return refuse("is a symbolic link", "name the file itself, not a link to it");
        }
        return refuse("cannot be opened (" + std::string(std::strerror(errno)) + ")",
                      "name a file you may write, or one that does not exist yet");
    }
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return refuse("is not a regular file", "name a regular file");
    }
    if (info.st_uid != ::geteuid()) {
        return refuse("belongs to another user (uid " + std::to_string(info.st_uid) + ")",
                      "name a file of your own, or one that does not exist yet (it is then "
                      "created with mode 0600)");
    }
    if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return refuse(std::string("may be read or written by other users (mode ") + mode + ")",
                      "make it private with chmod 600");
    }
    return file;
}

// The calling thread's handle, kept between requests so that its connection cache keeps the
// thread's connections open (keep-alive). Every option is set again for each request after
// curl_easy_reset, which keeps the connections but forgets the options.
class ThreadTransfer : public ThreadTransferState {
  public:
    using ThreadTransferState::ThreadTransferState;
};

void prepareTransport() {
    (void)HttpClient::instance();
    (void)KeepAliveTimes::instance();
    (void)TrustStoreCache::instance();
}

CURLSH* sharedTransportState(const TrustSettings& trust) {
    return HttpClient::instance().share(trust);
}

void recordKeepAlive(const std::string& origin, std::optional<long> seconds) {
    KeepAliveTimes::instance().record(origin, seconds);
}

long maxIdleSeconds(const std::string& origin) {
    // libcurl drops a connection whose whole idle seconds exceed this: reuse while idle < N - 1
    // seconds for a server keeping N, so that a request does not cross the server's close.
    const long advertised =
        std::clamp(KeepAliveTimes::instance().advertised(origin).value_or(kDefaultIdleSeconds), 0L,
                   kLongestIdleSeconds);
    return std::max(advertised - 2, 0L);
}

TrustStore trustStoreFor(const TrustSettings& trust) {
    return TrustStoreCache::instance().acquire(trust);
}

TransferLease::TransferLease(const TrustSettings& trust) {
    thread_local ThreadTransfer transfer;
    if (transfer.busy()) {
        own_.reset(curl_easy_init());
        handle_ = own_.get();
    } else {
        owner_ = &transfer;
        handle_ = transfer.acquire(trust);
    }
}

TransferLease::~TransferLease() {
    if (owner_ != nullptr && handle_ != nullptr) owner_->release();
}

KeyLogScope::KeyLogScope(const std::string& path) : previous_(tlsKeyLogPath) {
    tlsKeyLogPath = &path;
}

KeyLogScope::~KeyLogScope() {
    tlsKeyLogPath = previous_;
}

// Gives a new connection's TLS context the shared trusted certificates, and the library's key log
// callback (which writes only to a file the host asked for) when the host asked for one. Without,
// no callback at all: OpenSSL then never formats the connection's secrets as text (400 sprintf
// calls for a TLS 1.3 handshake), and libcurl's own (SSLKEYLOGFILE) is removed all the same.
CURLcode installTrustStore(CURL*, void* sslContext, void* user) {
    const bool keyLog = tlsKeyLogPath != nullptr && !tlsKeyLogPath->empty();
    SSL_CTX_set_keylog_callback(static_cast<SSL_CTX*>(sslContext),
                                keyLog ? &writeKeyLogLine : nullptr);
    const auto* trust = static_cast<const TrustSettings*>(user);
    if (trust == nullptr) return CURLE_SSL_CACERT_BADFILE;
    const TrustStore store = trustStoreFor(*trust);
    if (!store) return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX*>(sslContext), store.get());
    return CURLE_OK;
}

}  // namespace tavi::detail
