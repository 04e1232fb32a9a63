// The one road to the server: joins an endpoint to the configured base URL, sends the request with
// the library's fixed headers over the shared transport, writes the diagnostic lines and hands
// back the raw body (any HTTP status) or an error.
#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "core/internal.hpp"
#include "net/call.hpp"
#include "net/net.hpp"
#include "tavi/config.hpp"
#include "tavi/device.hpp"

namespace tavi::detail {

namespace {

// Header values come from the device description, which a host may supply: no line breaks or
// other control characters may reach the request.
std::string headerSafe(std::string value) {
    for (auto& c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) c = ' ';
    }
    return value;
}

using Transfer = PreparedExchange::Transfer;

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

// Each header line of the answer: notes how long the server keeps the connection open while
// idle (Keep-Alive: timeout=N). What an interim answer said is forgotten at the next status line.
std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    const std::string_view line(data, length);
    auto startsWith = [&line](std::string_view prefix) {
        if (line.size() < prefix.size()) return false;
        for (std::size_t i = 0; i < prefix.size(); ++i) {
            if (asciiLower(line[i]) != prefix[i]) return false;
        }
        return true;
    };
    if (startsWith("http/")) {
        transfer->keepAliveSeconds.reset();
    } else if (startsWith("keep-alive:")) {
        std::string value;
        for (char c : line.substr(11)) value += asciiLower(c);
        const auto at = value.find("timeout=");
        if (at != std::string::npos) {
            long seconds = 0;
            bool digits = false;
            for (std::size_t i = at + 8; i < value.size() && value[i] >= '0' && value[i] <= '9';
                 ++i) {
                seconds = std::min(seconds * 10 + (value[i] - '0'), kLongestIdleSeconds);
                digits = true;
            }
            if (digits) transfer->keepAliveSeconds = seconds;
        }
    }
    return length;
}

// Called each time the request is about to be sent on a connection. When a reused connection
// turns out closed before any answer, libcurl would send the request again on a new connection;
// the server may already have acted on it, so a request goes out at most once. A call cancelled
// while its connection was being made stops here, with nothing sent.
int onRequestReady(void* user, char*, char*, int, int) {
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->attempts == 0 && transfer->gate != nullptr &&
        !transfer->gate(transfer->gateUser)) {
        transfer->stoppedByGate = true;
        return CURL_PREREQFUNC_ABORT;
    }
    if (++transfer->attempts > 1) {
        transfer->resendRefused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

std::string utf8Text(const Bytes& bytes) {
    std::string text(bytes.begin(), bytes.end());
    if (!isValidUTF8(text)) return {};
    return text;
}

bool append(HeaderList& list, const char* line) {
    curl_slist* extended = curl_slist_append(list.get(), line);
    if (extended == nullptr) return false;
    (void)list.release();  // `extended` is the same list, now one entry longer
    list.reset(extended);
    return true;
}

}  // namespace

Error deadlinePassed(long totalMilliseconds, const char* what) {
    Error error = clientError(
        ClientErrorCode::deadlineExceeded,
        "the operation's deadline of " + std::to_string(totalMilliseconds) + " ms " + what);
    return error;
}

Error transportError(CURLcode code, const char* detail) {
    std::string message = curl_easy_strerror(code);
    if (detail != nullptr && detail[0] != '\0') message += std::string(": ") + detail;
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    Error error{ErrorDomain::transport, static_cast<long>(code),
                std::move(message),     nullptr,
                std::nullopt,           std::nullopt};
    return error;
}

Result<std::unique_ptr<PreparedExchange>> PreparedExchange::prepare(
    const std::string& endPoint, const std::string& method,
    const std::map<std::string, QueryValue>& queryParams, const std::optional<Bytes>& body,
    const std::map<std::string, std::string>& loggedHeaders) {
    const auto& config = configuration();
    std::string problem;
    // A URL that cannot be formed is an error: the request goes nowhere else instead.
    auto url = joinAndParse(config.serverURL, endPoint, queryParams, problem);
    if (!url) return ApiServiceError::invalidURL(problem);
    if (url->parts.scheme == "http" && !isLoopbackHost(url->parts.host)) {
        Error error = clientError(ClientErrorCode::insecureTransport,
                                  "refusing cleartext http to " + url->parts.host +
                                      ": only https is allowed beyond the loopback interface");
        error.delivery = RequestDelivery::notSent;
        return error;
    }
    if (!config.tlsKeyLogFile.empty()) {
        // Checked before the request goes out, so that a key log the library may not trust is
        // an error the host sees, not secrets written where another user reads them.
        std::string keyLogProblem;
        if (openKeyLog(config.tlsKeyLogFile, keyLogProblem).get() < 0) {
            Error error = clientError(ClientErrorCode::invalidArgument, keyLogProblem);
            error.delivery = RequestDelivery::notSent;
            return error;
        }
    }
    const long ownTimeout =
        config.timeoutMilliseconds > 0
            ? std::min<long>(config.timeoutMilliseconds, kLongestDurationMilliseconds)
            : 60000;
    const auto remaining = OperationScope::remainingMilliseconds();
    if (remaining && *remaining <= 0) {
        Error error = deadlinePassed(OperationScope::totalMilliseconds(),
                                     "has passed; the request was not sent");
        error.delivery = RequestDelivery::notSent;
        return error;
    }

    auto prepared = std::make_unique<PreparedExchange>();
    PreparedExchange& p = *prepared;
    p.target_ = std::move(*url);
    p.method_ = method;
    p.body_ = body;
    p.loggedHeaders_ = loggedHeaders;
    p.timeoutMilliseconds_ = ownTimeout;
    if (remaining && *remaining < ownTimeout) {
        p.timeoutMilliseconds_ = static_cast<long>(*remaining);
        p.boundByDeadline_ = true;
    }
    p.deadlineTotal_ = OperationScope::totalMilliseconds();
    // The user agent first: the device description writes its own lines as it is asked.
    {
        const std::string agent = headerSafe(TaviUtils().getUserAgent());
        using namespace std::string_view_literals;  // the lines' NULs are part of the text
        static constexpr auto kBefore = "Content-Type: application/json\0User-Agent: "sv;
        static constexpr auto kAfter = "\0ln: en\0Accept:\0Expect:\0"sv;
        p.headerLines_.reserve(kBefore.size() + agent.size() + kAfter.size());
        p.headerLines_ += kBefore;
        p.headerLines_ += agent;  // no NUL: headerSafe made every control character a space
        p.headerLines_ += kAfter;
    }
    // The lines are only built when something will receive them.
    p.logging_ = diagnosticsOn();
    if (p.logging_) {
        diag("url: " + loggableURL(p.target_.url));
        if (body) diag("body: " + utf8Text(*body));
    }
    p.trust_ = TrustSettings::of(config);
    p.origin_ = p.target_.parts.scheme;
    p.origin_ += "://";
    p.origin_ += p.target_.parts.host;
    for (auto& c : p.origin_) c = asciiLower(c);
    p.origin_ += ':';
    p.origin_ += std::to_string(p.target_.parts.port);
    p.maxConnections_ = config.maxConnections > 0 ? std::min(config.maxConnections, 256) : 8;
    p.pin_ = config.pinnedPublicKey;
    p.keyLogFile_ = config.tlsKeyLogFile;
    p.proxy_ = config.proxy;
    return prepared;
}

bool PreparedExchange::configure(CURL* h) {
    // Exactly three headers; the empty "Accept:" and "Expect:" remove curl's defaults. The list's
    // nodes are this exchange's own, pointing into its buffer of lines: nothing is copied.
    std::size_t at = 0;
    for (std::size_t i = 0; i < headerNodes_.size(); ++i) {
        if (at >= headerLines_.size()) return false;
        headerNodes_[i].data = headerLines_.data() + at;
        headerNodes_[i].next = i + 1 < headerNodes_.size() ? &headerNodes_[i + 1] : nullptr;
        at = headerLines_.find('\0', at);
        if (at == std::string::npos) return false;
        ++at;
    }
    if (at != headerLines_.size()) return false;
    CURLSH* share = sharedTransportState(trust_);
    if (h == nullptr || share == nullptr) return false;

    // "localhost" is connected to the loopback addresses only, never to what a resolver (a hosts
    // file, DNS) says it is.
    std::string host = target_.parts.host;
    for (auto& c : host) c = asciiLower(c);
    pinnedLocalhost_.reset();
    if (host == "localhost") {
        const std::string port = std::to_string(target_.parts.port);
        for (const std::string& name : {host, target_.parts.host}) {
            if (&name != &host && name == host) continue;
            const std::string entry = name + ":" + port + ":127.0.0.1,[::1]";
            if (!append(pinnedLocalhost_, entry.c_str())) return false;
        }
    }
    const bool cleartext = target_.parts.scheme == "http";

    curl_easy_setopt(h, CURLOPT_SHARE, share);
    curl_easy_setopt(h, CURLOPT_URL, target_.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &onRequestReady);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer_);
    // A kept connection is reused while its server still keeps it, as it last advertised.
    curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, maxIdleSeconds(origin_));
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &onHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer_);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, transfer_.errorBuffer.data());
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, timeoutMilliseconds_);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, timeoutMilliseconds_);
    curl_easy_setopt(h, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!pin_.empty()) curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, pin_.c_str());
    // The trusted certificates come from the shared store, not from files libcurl would parse
    // again for each thread.
    curl_easy_setopt(h, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(h, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(h, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &installTrustStore);
    // TLS sessions are resumed from the share of these trust settings only.
    curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &trust_);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headerNodes_.data());
    if (pinnedLocalhost_) curl_easy_setopt(h, CURLOPT_RESOLVE, pinnedLocalhost_.get());
    if (cleartext) {
        // Cleartext (loopback only) never goes through a proxy, whatever the environment says.
        curl_easy_setopt(h, CURLOPT_PROXY, "");
        curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    } else {
        // A proxy only ever carries a tunnel; TLS is verified end to end through it. The host's
        // setting replaces the environment's variables.
        curl_easy_setopt(h, CURLOPT_HTTPPROXYTUNNEL, 1L);
        if (proxy_) {
            curl_easy_setopt(h, CURLOPT_PROXY, proxy_->c_str());
            curl_easy_setopt(h, CURLOPT_NOPROXY, "");
        }
    }
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &onData);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer_);
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxResponseBytes));

    if (body_) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_->size()));
        // Never a null pointer: that would make curl read the body from standard input.
        static constexpr char kNoBytes[] = "";
        const void* bytes = body_->empty() ? static_cast<const void*>(kNoBytes) : body_->data();
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, bytes);
        if (method_ != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method_.c_str());
    } else if (method_ == "GET") {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (method_ == "POST") {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
    } else {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method_.c_str());
    }
    return true;
}

Result<Answer> PreparedExchange::finish(CURLcode code, CURL* h) {
    long status = 0;
    if (h != nullptr) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    if (status > 0) recordKeepAlive(origin_, transfer_.keepAliveSeconds);
    const bool tooLarge = transfer_.tooLarge || code == CURLE_FILESIZE_EXCEEDED;
    const bool received = code == CURLE_OK && status > 0;

    if (logging_) {
        if (status > 0) diag("statusCode: " + std::to_string(status));
        diag("header: " + headersText(loggedHeaders_));
        diag("response: " + (received ? utf8Text(transfer_.body) : std::string()));
    }

    const RequestDelivery delivery =
        sent() ? RequestDelivery::mayHaveBeenReceived : RequestDelivery::notSent;
    if (h == nullptr) {
        Error error = transportError(CURLE_FAILED_INIT, "the HTTP client could not be set up");
        error.delivery = RequestDelivery::notSent;
        return error;
    }
    if (tooLarge) {
        return clientError(
            ClientErrorCode::responseTooLarge,
            "the response body exceeds " + std::to_string(kMaxResponseBytes) + " bytes");
    }
    if (transfer_.resendRefused) {
        Error error = transportError(CURLE_GOT_NOTHING,
                                     "the connection closed before an answer arrived; the request "
                                     "was not sent again");
        error.delivery = delivery;
        return error;
    }
    if (code == CURLE_OPERATION_TIMEDOUT && boundByDeadline_) {
        Error error = deadlinePassed(
            deadlineTotal_, sent() ? "passed while waiting for the server; the request may have "
                                     "reached it"
                                   : "passed while connecting to the server; the request was not "
                                     "sent");
        error.delivery = delivery;
        return error;
    }
    if (code != CURLE_OK) {
        Error error = transportError(code, transfer_.errorBuffer.data());
        error.delivery = delivery;
        return error;
    }
    if (!received) {
        // An exchange that produced neither a response nor an error.
        Error error{ErrorDomain::empty, status > 0 ? status : -1, "", nullptr, std::nullopt,
                    std::nullopt};
        error.delivery = delivery;
        return error;
    }
    return Answer{std::move(transfer_.body), status};
}

Result<Answer> PreparedExchange::expired() const {
    Error error = deadlinePassed(
        deadlineTotal_, sent() ? "passed while waiting for the server; the request may have "
                                 "reached it"
                               : "passed while the request waited for a connection; it was not "
                                 "sent");
    error.delivery = sent() ? RequestDelivery::mayHaveBeenReceived : RequestDelivery::notSent;
    return error;
}

Result<Answer> exchangeOnThisThread(const std::string& endPoint, const std::string& method,
                                    const std::map<std::string, QueryValue>& queryParams,
                                    const std::optional<Bytes>& body,
                                    const std::map<std::string, std::string>& headers) {
    try {
        auto prepared = PreparedExchange::prepare(endPoint, method, queryParams, body, headers);
        if (!prepared) return prepared.error();
        PreparedExchange& exchange = *prepared.value();
        TransferLease easy(exchange.trust());
        if (easy.get() == nullptr || !exchange.configure(easy.get())) {
            return exchange.finish(CURLE_FAILED_INIT, nullptr);
        }
        const KeyLogScope keyLog(exchange.keyLogFile());
        const CURLcode code = curl_easy_perform(easy.get());
        return exchange.finish(code, easy.get());
    } catch (const std::exception& e) {
        return transportError(CURLE_FAILED_INIT, e.what());
    } catch (...) {
        return transportError(CURLE_FAILED_INIT, "unexpected failure");
    }
}

void performRequest(const std::string& endPoint, const std::string& method,
                    const std::map<std::string, QueryValue>& queryParams,
                    const std::optional<Bytes>& body,
                    const std::map<std::string, std::string>& headers,
                    const std::function<void(const Result<Bytes>&)>& completion) {
    auto answer = exchangeOnThisThread(endPoint, method, queryParams, body, headers);
    if (!completion) return;
    if (!answer) return completion(answer.error());
    completion(Result<Bytes>(std::move(answer.value().body)));
}

}  // namespace tavi::detail

// ---- Automatic retries ---------------------------------------------------------------------------

namespace tavi::detail {

namespace {

/// At most this many retries, whatever the configuration says.
constexpr int kMostRetries = 10;

double unitRandom() {
    thread_local std::minstd_rand generator{std::random_device{}()};
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

}  // namespace

bool worthRetrying(const Error& error, bool resendAfterReceipt) {
    if (error.domain != ErrorDomain::transport) return false;
    switch (error.code) {
        // No connection was made: the request never left.
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
            return error.delivery == RequestDelivery::notSent;
        // The connection ended without an answer: the request may have been received.
        case CURLE_GOT_NOTHING:
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_PARTIAL_FILE:
            return error.delivery == RequestDelivery::notSent || resendAfterReceipt;
        default:
            // A certificate or pin that does not verify, a timeout, ...: the same again.
            return false;
    }
}

std::chrono::milliseconds retryPause(int retry, double unit) {
    long long full = 100;
    for (int i = 1; i < retry && full < 5000; ++i) full *= 2;
    full = std::min<long long>(full, 5000);
    unit = std::clamp(unit, 0.0, 1.0);
    return std::chrono::milliseconds(full - static_cast<long long>(unit * static_cast<double>(full) / 2));
}

Task<Result<Answer>> sendRequest(std::string endPoint, std::string method,
                                 std::map<std::string, QueryValue> queryParams,
                                 std::optional<Bytes> body,
                                 std::map<std::string, std::string> loggedHeaders) {
    const int maxRetries = std::clamp(configuration().maxRetries, 0, kMostRetries);
    for (int retry = 0;; ++retry) {
        traceExchangeStart(endPoint, method);
        ExchangeStep step(std::move(endPoint), std::move(method), std::move(queryParams),
                          std::move(body), std::move(loggedHeaders));
        Result<Answer> answer = co_await step;
        if (answer) {
            noteExchange(true, true, answer.value().status, RequestDelivery::unknown);
            traceExchangeEnd(answer.value().status, nullptr);
            co_return answer;
        }
        const Error& error = answer.error();
        const bool sent = error.delivery != RequestDelivery::notSent;
        noteExchange(sent || error.domain == ErrorDomain::transport, sent, error.httpStatus,
                     error.delivery);
        traceExchangeEnd(error.httpStatus, &error);
        const CallContext* call = currentCall();
        if (retry >= maxRetries ||
            !worthRetrying(error, call != nullptr && call->resendAfterReceipt)) {
            co_return answer;
        }
        // Only while the deadline leaves room for the pause and the request after it.
        const auto pause = retryPause(retry + 1, unitRandom());
        if (const auto left = OperationScope::remainingMilliseconds();
            left && *left <= pause.count()) {
            co_return answer;
        }
        PauseStep wait(pause);
        if (!co_await wait) co_return cancelledError(error.delivery);
        step.takeRequest(endPoint, method, queryParams, body, loggedHeaders);
    }
}

}  // namespace tavi::detail
