// The listener, the fault machinery, the request log and the control API of the sandbox.
#include <algorithm>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "server_impl.hpp"
#include "tls.hpp"

namespace tavi::sandbox {
namespace {

namespace fs = std::filesystem;
using detail::Answer;

/// Worker threads of the HTTP server.
constexpr std::size_t kWorkers = 32;

constexpr const char* kControlPrefix = "/__sandbox/";
constexpr const char* kServerKeyFile = "server-key.pem";

bool isLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1") return true;
    in_addr addr{};
    if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return false;
    return (ntohl(addr.s_addr) >> 24) == 127;
}

std::string dumpJson(const json& j, int indent = -1) {
    return j.dump(indent, ' ', false, json::error_handler_t::replace);
}

void ignoreSigpipe() {
    // Writing to a connection the client already closed must not kill the process.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
    }
}

int portOf(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
    if (ss.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port);
    }
    return -1;
}

/// The server-side socket of a plain-HTTP request: the one whose local port is the listener's
/// and whose peer port is the client's.
int findServerSocket(int localPort, int remotePort) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int found = -1;
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir)) continue;
        struct stat st {};
        if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t ll = sizeof local;
        socklen_t pl = sizeof peer;
        if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &ll) != 0 ||
            ::getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &pl) != 0) {
            continue;
        }
        if (portOf(local) == localPort && portOf(peer) == remotePort) {
            found = static_cast<int>(fd);
            break;
        }
    }
    ::closedir(dir);
    return found;
}

/// Ends the connection of `req` without an answer: the client sees the connection close.
void dropConnection(const httplib::Request& req, int listenPort) {
    int fd = -1;
    if (req.ssl != nullptr) {
        fd = SSL_get_fd(req.ssl);
    } else {
        fd = findServerSocket(req.local_port > 0 ? req.local_port : listenPort, req.remote_port);
    }
    if (fd < 0) return;
    linger lg{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    ::shutdown(fd, SHUT_RDWR);
}

std::string oversizedBody(std::size_t size) {
    const std::string head = R"({"commonResponse":{"success":true},"padding":")";
    const std::string tail = "\"}";
    if (size <= head.size() + tail.size()) return std::string(size, ' ');
    std::string body;
    body.reserve(size);
    body += head;
    body.append(size - head.size() - tail.size(), 'x');
    body += tail;
    return body;
}

const char* kNonJsonPage =
    "<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>\n"
    "<body><h1>Bad Gateway</h1><p>The upstream server did not answer.</p></body></html>\n";

json recordToJson(const RecordedRequest& r) {
    json headers = json::object();
    for (const auto& [name, value] : r.headers) {
        if (headers.contains(name)) {
            headers[name] = headers[name].get<std::string>() + ", " + value;
        } else {
            headers[name] = value;
        }
    }
    json j = json::object();
    j["method"] = r.method;
    j["path"] = r.path;
    j["target"] = r.target;
    j["headers"] = headers;
    j["body"] = r.body;
    j["decryptedPayload"] = r.decryptedPayload ? json(*r.decryptedPayload) : json(nullptr);
    j["unsealed"] = r.unsealed;
    j["responseStatus"] = r.responseStatus;
    return j;
}

}  // namespace

namespace {

constexpr std::pair<const char*, Fault::Kind> kFaultKinds[] = {
    {"none", Fault::Kind::none},
    {"status", Fault::Kind::status},
    {"body", Fault::Kind::body},
    {"emptyBody", Fault::Kind::emptyBody},
    {"nonJson", Fault::Kind::nonJson},
    {"delay", Fault::Kind::delay},
    {"dropConnection", Fault::Kind::dropConnection},
    {"resetMidBody", Fault::Kind::resetMidBody},
    {"oversized", Fault::Kind::oversized},
    {"refusal", Fault::Kind::refusal},
    {"refusalNoPayload", Fault::Kind::refusalNoPayload},
    {"zeroByteKey", Fault::Kind::zeroByteKey},
    {"wrongKey", Fault::Kind::wrongKey},
    {"shortKey", Fault::Kind::shortKey},
    {"garbagePayload", Fault::Kind::garbagePayload},
    {"undecodablePayload", Fault::Kind::undecodablePayload},
};

}  // namespace

std::optional<Fault::Kind> faultKindFromName(std::string_view name) {
    for (const auto& [n, k] : kFaultKinds) {
        if (name == n) return k;
    }
    return std::nullopt;
}

std::string faultKindName(Fault::Kind kind) {
    for (const auto& [n, k] : kFaultKinds) {
        if (kind == k) return n;
    }
    return "none";
}

std::vector<std::string> faultKindNames() {
    std::vector<std::string> names;
    for (const auto& [n, k] : kFaultKinds) {
        if (k != Fault::Kind::none) names.emplace_back(n);
    }
    return names;
}

std::string faultJson(const Fault& f) {
    json j = json::object();
    j["path"] = f.path;
    j["kind"] = faultKindName(f.kind);
    j["status"] = f.status;
    j["body"] = f.body;
    j["delayMs"] = f.delayMs;
    j["size"] = f.size;
    j["errorCode"] = f.errorCode ? json(*f.errorCode) : json(nullptr);
    j["errorReason"] = f.errorReason ? json(*f.errorReason) : json(nullptr);
    j["times"] = f.times;
    return dumpJson(j);
}

// --- start and stop ---------------------------------------------------------------------------

bool Server::Impl::prepareStateDir() {
    if (!stateDir.empty()) return true;
    if (options.stateDir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tavi-sandbox-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            error = "cannot create a temporary state directory";
            return false;
        }
        stateDir = pattern;
        ownsStateDir = true;
        return true;
    }
    std::error_code ec;
    fs::create_directories(options.stateDir, ec);
    if (!fs::is_directory(options.stateDir, ec)) {
        error = "cannot create the state directory " + options.stateDir;
        return false;
    }
    stateDir = options.stateDir;
    return true;
}

bool Server::Impl::prepareServerKey() {
    if (serverKey) return true;
    const std::string path = stateDir + "/" + kServerKeyFile;
    if (auto pem = wire::readFile(path)) {
        serverKey = wire::privateKeyFromPem(*pem);
        if (!serverKey || EVP_PKEY_get_base_id(serverKey.get()) != EVP_PKEY_RSA) {
            serverKey.reset();
            error = "the server key in " + path + " is not an RSA private key";
            return false;
        }
    } else {
        serverKey = wire::takePooledRsaKey();
        if (!serverKey || !wire::writeFile(path, wire::privateKeyPem(serverKey), 0600)) {
            serverKey.reset();
            error = "cannot write the server key to " + path;
            return false;
        }
    }
    serverKeyText = wire::base64(wire::publicDer(serverKey));
    return true;
}

bool Server::Impl::start() {
    if (http) return true;
    {
        std::lock_guard lock(mutex);
        stopped = false;
    }
    if (!isLoopbackHost(options.host)) {
        error = "the sandbox listens on loopback addresses only, not " + options.host;
        return false;
    }
    if (options.port < 0 || options.port > 65535) {
        error = "the port must be 1 to 65535, or 0 for an ephemeral port, not " +
                std::to_string(options.port);
        return false;
    }
    if (options.keepAliveSeconds < 1 || options.keepAliveSeconds > 3600) {
        error = "the keep-alive timeout must be 1 to 3600 seconds, not " +
                std::to_string(options.keepAliveSeconds);
        return false;
    }
    ignoreSigpipe();
    if (!prepareStateDir() || !prepareServerKey()) return false;

    std::unique_ptr<httplib::Server> server;
    if (options.tls) {
        auto material = tls::makeMaterial(error);
        if (!material) return false;
        caPath = stateDir + "/ca.pem";
        if (!wire::writeFile(caPath, wire::certificatePem(material->caCert.get()), 0644) ||
            !wire::writeFile(stateDir + "/server-cert.pem",
                             wire::certificatePem(material->cert.get()), 0644) ||
            !wire::writeFile(stateDir + "/server-tls-key.pem", wire::privateKeyPem(material->key),
                             0600)) {
            error = "cannot write the TLS files to " + stateDir;
            return false;
        }
        pin = "sha256//" + wire::base64(wire::sha256(wire::publicDer(material->key)));
        // The server takes its own references to the certificate and the key.
        server = std::make_unique<httplib::SSLServer>(material->cert.get(), material->key.get());
    } else {
        server = std::make_unique<httplib::Server>();
    }
    if (!server->is_valid()) {
        error = "cannot set up the HTTP server";
        return false;
    }

    // Every kept connection holds a worker while it is open: enough workers for many client
    // threads plus the idle connections of earlier clients, which close after keepAliveSeconds
    // (a second by default).
    server->new_task_queue = [] {
        return std::make_unique<httplib::ThreadPool>(kWorkers).release();
    };
    server->set_keep_alive_timeout(options.keepAliveSeconds);
    server->set_keep_alive_max_count(100000);  // a client may keep its connection open
    server->set_tcp_nodelay(true);             // an answer on a kept connection is not held back
    server->set_read_timeout(10, 0);
    server->set_write_timeout(10, 0);
    server->set_payload_max_length(16u << 20);
    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        handle(req, res);
    };
    server->Get(".*", handler);
    server->Post(".*", handler);
    server->Put(".*", handler);
    server->Patch(".*", handler);
    server->Delete(".*", handler);
    server->set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            res.status = 500;
            res.set_content(R"({"errorCode":"INTERNAL","errorReason":"internal error"})",
                            "application/json");
        });

    // The HTTP library's own socket options include SO_REUSEPORT, which lets a second server
    // bind a port that is already listening and silently share its clients. Bind without it;
    // SO_REUSEADDR only lets a restarted sandbox take its port back from TIME_WAIT.
    int listener = -1;
    server->set_socket_options([&listener](int sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listener = sock;  // the last socket tried is the one bound, when binding succeeds
    });
    const bool bound = options.port == 0 ? server->bind_to_any_port(options.host) > 0
                                         : server->bind_to_port(options.host, options.port);
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    char address[INET6_ADDRSTRLEN] = {};
    if (!bound || listener < 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
        portOf(local) <= 0 ||
        (local.ss_family == AF_INET
             ? ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in&>(local).sin_addr, address,
                           sizeof address)
             : ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6&>(local).sin6_addr, address,
                           sizeof address)) == nullptr) {
        error = "cannot bind " + options.host + ":" + std::to_string(options.port) +
                (bound ? "" : " (is the port in use?)");
        return false;
    }
    boundPort = portOf(local);
    server->set_socket_options([](int) {});  // `listener` goes out of scope
    // The HTTP library listens with a queue of five; more clients connecting at once (eight
    // threads opening their connections) would see their connection attempts dropped and
    // retried a second later. A listening socket takes the new depth.
    ::listen(listener, SOMAXCONN);
    // Advertise the address actually bound ("localhost" may have resolved to either family).
    const std::string host =
        local.ss_family == AF_INET6 ? "[" + std::string(address) + "]" : std::string(address);
    baseUrl = std::string(options.tls ? "https" : "http") + "://" + host + ":" +
              std::to_string(boundPort);

    http = std::move(server);
    listenDone = false;
    thread = std::thread([this, s = http.get()] {
        s->listen_after_bind();
        listenDone = true;
    });
    for (int i = 0; i < 500 && !http->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Server::Impl::stop() {
    if (!http) return;
    // The listener may not have reached its loop yet; stopping it before then would be lost.
    while (!listenDone && !http->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    {
        std::lock_guard lock(mutex);
        stopped = true;
    }
    stopping.notify_all();  // delayed answers go out now, so that stopping never waits for them
    http->stop();
    if (thread.joinable()) thread.join();
    http.reset();
    boundPort = -1;
}

wire::Key Server::Impl::stranger() {
    std::lock_guard lock(mutex);
    if (!strangerKey) strangerKey = wire::takePooledRsaKey();
    return strangerKey;
}

// --- handling ---------------------------------------------------------------------------------

std::optional<Fault> Server::Impl::takeFault(const std::string& path) {
    std::lock_guard lock(mutex);
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if ((!it->path.empty() && it->path != path) || it->times == 0) continue;
        Fault f = *it;
        if (it->times > 0 && --it->times == 0) faults.erase(it);
        return f;
    }
    return std::nullopt;
}

void Server::Impl::handle(const httplib::Request& req, httplib::Response& res) {
    const auto started = std::chrono::steady_clock::now();
    auto timing = [&] {
        auto ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
                .count();
        char text[48];
        std::snprintf(text, sizeof text, "app;dur=%.1f", ms);
        res.set_header("Server-Timing", text);
        std::snprintf(text, sizeof text, "timeout=%d", options.keepAliveSeconds);
        res.set_header("Keep-Alive", text);
    };

    if (req.path.rfind(kControlPrefix, 0) == 0) {
        try {
            control(req, res);
        } catch (...) {
            res.status = 500;
            res.set_content(R"({"error":"internal error"})", "application/json");
        }
        timing();
        return;
    }

    {
        // The msgId a request carries (in commonRequest, or at the top for registration), noted
        // as it arrives, before any delay, answer or fault.
        std::string msgId;
        const json body = json::parse(req.body, nullptr, false);
        if (body.is_object()) {
            const auto common = body.find("commonRequest");
            const json& holder = common != body.end() && common->is_object() ? *common : body;
            const auto id = holder.find("msgId");
            if (id != holder.end() && id->is_string()) msgId = id->get<std::string>();
        }
        std::lock_guard lock(mutex);
        arrived.push_back(req.path);
        if (!msgId.empty()) arrivedMsgIds.push_back(std::move(msgId));
    }
    RecordedRequest rec;
    rec.method = req.method;
    rec.path = req.path;
    rec.target = req.target;
    rec.remotePort = req.remote_port;
    for (const auto& [name, value] : req.headers) {
        // httplib adds the connection's addresses as pseudo headers; the client sent none.
        if (name == "LOCAL_ADDR" || name == "LOCAL_PORT" || name == "REMOTE_ADDR" ||
            name == "REMOTE_PORT") {
            continue;
        }
        rec.headers.emplace(name, value);
    }
    rec.body = req.body;

    auto fault = takeFault(req.path);
    if (fault && fault->kind == Fault::Kind::delay && fault->delayMs > 0) {
        std::unique_lock lock(mutex);
        stopping.wait_for(lock, std::chrono::milliseconds(fault->delayMs), [&] { return stopped; });
    }

    Exchange ex{req, rec};
    Answer answer;
    try {
        answer = route(ex);
    } catch (...) {
        answer = Answer{};
        answer.status = 500;
        answer.envelope = false;
        answer.plain = {{"errorCode", "INTERNAL"}, {"errorReason", "internal error"}};
    }
    try {
        render(answer, fault, res, rec);
    } catch (...) {
        res.status = 500;
        res.set_content(R"({"errorCode":"INTERNAL","errorReason":"internal error"})",
                        "application/json");
        rec.responseStatus = res.status;
    }
    timing();

    const bool drop = fault && fault->kind == Fault::Kind::dropConnection;
    {
        std::lock_guard lock(mutex);
        recorded.push_back(std::move(rec));
    }
    if (drop) dropConnection(req, boundPort);
}

std::string Server::Impl::envelopeBody(const Answer& a, Fault::Kind kind) {
    json common = json::object();
    if (a.reqMsgId) common["reqMsgId"] = *a.reqMsgId;
    json body = json::object();
    std::optional<std::string> sealed;
    if (a.success && a.payload && !a.payloadKey.empty()) {
        std::string key = wire::randomBytes(32);
        if (kind == Fault::Kind::zeroByteKey) {
            key[0] = '\0';
            key[7] = '\0';
        }
        std::string plain = dumpJson(*a.payload, 2);
        if (kind == Fault::Kind::garbagePayload) {
            plain = "\xFF\xFE\xC0\x80" + wire::randomBytes(12) + "\xED\xA0\x80\xFF";
        } else if (kind == Fault::Kind::undecodablePayload) {
            plain = "{\n  \"unexpected\" : true\n}";
        }
        auto cipher = wire::aesEncrypt(key, plain);
        std::string wrapped = kind == Fault::Kind::shortKey ? key.substr(0, 31) : key;
        wire::Key wrapKey = kind == Fault::Kind::wrongKey ? stranger() : a.wrapKey;
        auto wrappedKey = wire::rsaPrivateEncrypt(wrapKey, wrapped);
        if (cipher && wrappedKey) {
            common["symmetricKey"] = wire::base64(*wrappedKey);
            sealed = wire::base64Url(*cipher);
        }
    }
    common["success"] = a.success;
    if (a.errorCode) common["errorCode"] = *a.errorCode;
    if (a.errorReason) common["errorReason"] = *a.errorReason;
    body["commonResponse"] = common;
    if (!a.payloadKey.empty() && kind != Fault::Kind::refusalNoPayload) {
        body[a.payloadKey] = sealed.value_or("");
    }
    if (kind != Fault::Kind::refusalNoPayload) {
        for (const auto& [k, v] : a.extra.items()) body[k] = v;
    }
    return dumpJson(body);
}

void Server::Impl::render(Answer& a, const std::optional<Fault>& fault, httplib::Response& res,
                          RecordedRequest& rec) {
    using K = Fault::Kind;
    const K kind = fault ? fault->kind : K::none;

    if (kind == K::refusal || kind == K::refusalNoPayload) {
        a.status = 200;
        a.envelope = true;
        a.html.reset();
        a.extra = json::object();
        a.refuse(fault->errorCode.value_or("SANDBOX_REFUSAL"),
                 fault->errorReason.value_or("refused by the sandbox"));
    }

    std::string body;
    std::string contentType = "application/json";
    if (a.html) {
        body = *a.html;
        contentType = "text/html; charset=utf-8";
    } else if (a.envelope) {
        body = envelopeBody(a, kind);
    } else {
        body = dumpJson(a.plain);
    }
    int status = a.status;

    switch (kind) {
        case K::status:
            status = fault->status != 0 ? fault->status : 500;
            break;
        case K::body:
            status = fault->status != 0 ? fault->status : 200;
            body = fault->body;
            break;
        case K::emptyBody:
            status = fault->status != 0 ? fault->status : 200;
            body.clear();
            break;
        case K::nonJson:
            status = fault->status != 0 ? fault->status : 502;
            body = kNonJsonPage;
            contentType = "text/html; charset=utf-8";
            break;
        case K::oversized:
            status = fault->status != 0 ? fault->status : 200;
            body = oversizedBody(fault->size);
            break;
        default:
            break;
    }

    res.status = status;
    rec.responseStatus = status;
    if (kind == K::dropConnection) {
        rec.responseStatus = 0;
        return;
    }
    if (kind == K::resetMidBody) {
        // Announce more than is sent, send half, then end the connection.
        auto text = std::make_shared<std::string>(std::move(body));
        const std::size_t announced = text->size() + 1024;
        res.set_content_provider(announced, contentType,
                                 [text](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                     if (offset == 0 && !text->empty()) {
                                         sink.write(text->data(), text->size() / 2 + 1);
                                     }
                                     return false;
                                 });
        return;
    }
    res.set_content(body, contentType);
}

// --- control ----------------------------------------------------------------------------------

void Server::Impl::control(const httplib::Request& req, httplib::Response& res) {
    auto answer = [&](int status, const json& j) {
        res.status = status;
        res.set_content(dumpJson(j), "application/json");
    };
    auto bad = [&](const std::string& reason) { answer(400, {{"error", reason}}); };
    const std::string what = req.path.substr(std::string(kControlPrefix).size());

    if (what == "faults" && req.method == "POST") {
        json j = json::parse(req.body, nullptr, false);
        if (j.is_discarded() || !j.is_object()) return bad("the fault is not a JSON object");
        Fault f;
        try {
            auto kind = faultKindFromName(j.value("kind", std::string{}));
            if (!kind) return bad("unknown fault kind");
            f.kind = *kind;
            f.path = j.value("path", std::string{});
            f.status = j.value("status", 0);
            f.body = j.value("body", std::string{});
            f.delayMs = j.value("delayMs", 0);
            f.size = j.value("size", f.size);
            f.times = j.value("times", -1);
            if (j.contains("errorCode") && !j["errorCode"].is_null()) {
                f.errorCode = j["errorCode"].get<std::string>();
            }
            if (j.contains("errorReason") && !j["errorReason"].is_null()) {
                f.errorReason = j["errorReason"].get<std::string>();
            }
        } catch (const json::exception&) {
            return bad("a fault member has the wrong type");
        }
        {
            std::lock_guard lock(mutex);
            faults.push_back(std::move(f));
        }
        return answer(200, {{"ok", true}});
    }
    if (what == "faults" && req.method == "DELETE") {
        std::lock_guard lock(mutex);
        faults.clear();
        return answer(200, {{"ok", true}});
    }
    if (what == "requests" && req.method == "GET") {
        json list = json::array();
        std::lock_guard lock(mutex);
        for (const auto& r : recorded) list.push_back(recordToJson(r));
        return answer(200, list);
    }
    if (what == "arrivals" && req.method == "GET") {
        // Requests counted as they arrive, before any delay or answer: a test can act while an
        // answer is held back.
        json counts = json::object();
        std::lock_guard lock(mutex);
        for (const auto& path : arrived) counts[path] = counts.value(path, 0) + 1;
        return answer(200, counts);
    }
    if (what == "requests" && req.method == "DELETE") {
        std::lock_guard lock(mutex);
        recorded.clear();
        return answer(200, {{"ok", true}});
    }
    if (what == "txn-status" && req.method == "POST") {
        json j = json::parse(req.body, nullptr, false);
        if (j.is_discarded() || !j.is_object() || !j.contains("txnId") || !j["txnId"].is_string() ||
            !j.contains("status") || !j["status"].is_string()) {
            return bad("expected {\"txnId\":string,\"status\":string}");
        }
        std::lock_guard lock(mutex);
        transactions[j["txnId"].get<std::string>()].status = j["status"].get<std::string>();
        return answer(200, {{"ok", true}});
    }
    answer(404, {{"error", "no such control endpoint"}});
}

// --- public face ------------------------------------------------------------------------------

Server::Server(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Server::~Server() {
    impl_->stop();
    if (impl_->ownsStateDir) {
        std::error_code ec;
        fs::remove_all(impl_->stateDir, ec);
    }
}

bool Server::start() {
    return impl_->start();
}
void Server::stop() {
    impl_->stop();
}

std::string Server::lastError() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->error;
}

std::string Server::url() const {
    return impl_->baseUrl;
}
int Server::port() const {
    return impl_->boundPort;
}
std::string Server::serverPublicKey() const {
    return impl_->serverKeyText;
}
std::string Server::caFile() const {
    return impl_->caPath;
}
std::string Server::publicKeyPin() const {
    return impl_->pin;
}

void Server::addFault(const Fault& fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.push_back(fault);
}

void Server::clearFaults() {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
}

std::vector<RecordedRequest> Server::requests() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->recorded;
}

std::size_t Server::arrivals(const std::string& path) const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<std::size_t>(
        std::count(impl_->arrived.begin(), impl_->arrived.end(), path));
}

std::vector<std::string> Server::msgIds() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->arrivedMsgIds;
}

void Server::clearRequests() {
    std::lock_guard lock(impl_->mutex);
    impl_->recorded.clear();
}

void Server::clearArrivals() {
    std::lock_guard lock(impl_->mutex);
    impl_->arrived.clear();
    impl_->arrivedMsgIds.clear();
}

void Server::setTxnStatus(const std::string& txnId, const std::string& status) {
    std::lock_guard lock(impl_->mutex);
    impl_->transactions[txnId].status = status;
}

}  // namespace tavi::sandbox
