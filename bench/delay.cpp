// Round trips per operation under a real delay. Two network namespaces of this process's own,
// each with a TUN device, are joined by a relay thread that holds every packet for 25 ms each way
// (50 ms round trip): the sandbox listens on 127.0.0.1 in one, the client runs in the other,
// where 127.0.0.1 is routed through the TUN device. Then key retrieval runs on one thread: a
// first operation (new connection), several more, and one after a 30 s pause; each is reported
// as round trips of the delay line. Where namespaces cannot be made (no privileges), the same
// sequence runs on loopback, to show at least whether the pause cost a new connection.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/route.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench.hpp"
#include "tavi/tavi.hpp"

extern char** environ;

namespace tavi::bench {

namespace {

constexpr double kOneWayMs = 25;
constexpr double kRoundTripMs = 2 * kOneWayMs;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

std::string failure(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool writeFile(const std::string& path, const char* value) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0) return false;
    const auto n = static_cast<ssize_t>(std::strlen(value));
    return ::write(fd.get(), value, static_cast<std::size_t>(n)) == n;
}

ifreq named(const char* name) {
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
    return ifr;
}

sockaddr ipv4(const char* text) {
    sockaddr address{};
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    ::inet_pton(AF_INET, text, &in->sin_addr);
    return address;
}

bool bringUp(int sock, const char* name) {
    ifreq ifr = named(name);
    if (::ioctl(sock, SIOCGIFFLAGS, &ifr) != 0) return false;
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
    return ::ioctl(sock, SIOCSIFFLAGS, &ifr) == 0;
}

/// One end of the line: the calling thread moves to a new network namespace, where a TUN device
/// `name` gets `local` with `peer` at its other end. The client's end also routes 127.0.0.1
/// through it; the server's end brings its loopback up. Empty on success, else why not.
std::string makeEnd(bool client, const char* name, const char* local, const char* peer, Fd& ns,
                    Fd& tun) {
    if (::unshare(CLONE_NEWNET) != 0) return failure("unshare(CLONE_NEWNET)");
    ns = Fd(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
    if (ns.get() < 0) return failure("open /proc/thread-self/ns/net");
    tun = Fd(::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (tun.get() < 0) return failure("open /dev/net/tun");
    ifreq ifr = named(name);
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (::ioctl(tun.get(), TUNSETIFF, &ifr) != 0) return failure("TUNSETIFF");
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) return failure("socket");
    ifr = named(name);
    ifr.ifr_addr = ipv4(local);
    if (::ioctl(sock.get(), SIOCSIFADDR, &ifr) != 0) return failure("SIOCSIFADDR");
    ifr = named(name);
    ifr.ifr_dstaddr = ipv4(peer);
    if (::ioctl(sock.get(), SIOCSIFDSTADDR, &ifr) != 0) return failure("SIOCSIFDSTADDR");
    if (!bringUp(sock.get(), name)) return failure("bringing the TUN device up");
    // 127.0.0.1 travels between the two ends like any other address.
    const std::string conf = "/proc/sys/net/ipv4/conf/";
    for (const std::string dev : {"all", name, "lo"}) {
        writeFile(conf + dev + "/route_localnet", "1");
        writeFile(conf + dev + "/rp_filter", "0");
    }
    if (client) {
        rtentry route{};
        route.rt_dst = ipv4("127.0.0.1");
        route.rt_genmask = ipv4("255.255.255.255");
        route.rt_flags = RTF_UP | RTF_HOST;
        route.rt_dev = const_cast<char*>(name);
        if (::ioctl(sock.get(), SIOCADDRT, &route) != 0) return failure("SIOCADDRT 127.0.0.1");
    } else if (!bringUp(sock.get(), "lo")) {
        return failure("bringing the loopback up");
    }
    return {};
}

/// Two namespaces joined by a relay that delays every packet by kOneWayMs.
class DelayLine {
  public:
    ~DelayLine() {
        stop_ = true;
        if (relay_.joinable()) relay_.join();
    }

    /// Empty on success, else why the line could not be made.
    std::string open() {
        std::string why;
        std::thread([&] {
            why = makeEnd(true, "tavi-client", "10.77.0.1", "10.77.0.2", clientNs_, clientTun_);
        }).join();
        if (!why.empty()) return why;
        std::thread([&] {
            why = makeEnd(false, "tavi-server", "10.77.0.2", "10.77.0.1", serverNs_, serverTun_);
        }).join();
        if (!why.empty()) return why;
        relay_ = std::thread([this] { relay(); });
        return {};
    }

    int clientNs() const { return clientNs_.get(); }
    int serverNs() const { return serverNs_.get(); }

  private:
    struct Packet {
        double due = 0;
        std::vector<char> bytes;
    };

    void relay() {
        std::array<std::deque<Packet>, 2> queues;  // [0]: towards the server, [1]: the client
        const std::array<int, 2> from{clientTun_.get(), serverTun_.get()};
        const std::array<int, 2> to{serverTun_.get(), clientTun_.get()};
        std::vector<char> buffer(65536);
        while (!stop_) {
            double next = wallNs() + 20e6;
            for (const auto& q : queues) {
                if (!q.empty()) next = std::min(next, q.front().due);
            }
            const double waitNs = std::max(0.0, next - wallNs());
            timespec timeout{static_cast<time_t>(waitNs / 1e9),
                             static_cast<long>(std::fmod(waitNs, 1e9))};
            std::array<pollfd, 2> fds{pollfd{from[0], POLLIN, 0}, pollfd{from[1], POLLIN, 0}};
            ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
            for (int side = 0; side < 2; ++side) {
                if ((fds[side].revents & POLLIN) == 0) continue;
                ssize_t n;
                while ((n = ::read(from[side], buffer.data(), buffer.size())) > 0) {
                    queues[side].push_back({wallNs() + kOneWayMs * 1e6,
                                            std::vector<char>(buffer.begin(), buffer.begin() + n)});
                }
            }
            const double now = wallNs();
            for (int side = 0; side < 2; ++side) {
                auto& q = queues[side];
                while (!q.empty() && q.front().due <= now) {
                    // A device that is not up yet refuses the packet: it is lost, as on a wire.
                    (void)!::write(to[side], q.front().bytes.data(), q.front().bytes.size());
                    q.pop_front();
                }
            }
        }
    }

    Fd clientNs_, serverNs_, clientTun_, serverTun_;
    std::atomic<bool> stop_{false};
    std::thread relay_;
};

/// Runs `work` on a new thread that first joins the network namespace `ns` (-1: stays).
template <class Work>
bool inNamespace(int ns, Work work) {
    bool joined = true;
    std::thread([&] {
        if (ns >= 0 && ::setns(ns, CLONE_NEWNET) != 0) {
            joined = false;
            return;
        }
        work();
    }).join();
    return joined;
}

struct Step {
    double ms = 0;
    bool ok = false;
    int port = 0;  ///< the client port the server saw (same port: same connection)
};

Step keyRetrieval(sandbox::Server& server) {
    Step step;
    server.clearRequests();
    const double begin = wallNs();
    TaviApiService::shared().createRetrieveKeysRequest(
        "MSG-DELAY", "FINANCIAL_TXN", "TXN-DELAY", "BANKXX01", "ACCOUNT",
        [&](const std::string&, const std::string&, const std::string&, const std::string&,
            const std::string&) { step.ok = true; },
        [](const Error&) {});
    step.ms = (wallNs() - begin) / 1e6;
    const auto requests = server.requests();
    if (!requests.empty()) step.port = requests.back().remotePort;
    return step;
}

}  // namespace

Json runDelay(Env& env, const std::string& workDir, int pauseSeconds) {
    (void)env;
    Json out = Json::object();
    std::fprintf(stderr, "delay: round trips across a delay line (with a %d s pause)...\n",
                 pauseSeconds);
    DelayLine line;
    const std::string why = line.open();
    const bool delayed = why.empty();
    const int clientNs = delayed ? line.clientNs() : -1;
    const int serverNs = delayed ? line.serverNs() : -1;

    sandbox::Options options;
    options.tls = true;
    options.fixedTransactionKeys = true;
    options.stateDir = workDir + "/delay-sandbox";
    options.keepAliveSeconds = 60;  // keeps an idle connection for a whole pause
    sandbox::Server server(options);
    bool started = false;
    if (!inNamespace(serverNs, [&] { started = server.start(); }) || !started) {
        std::printf("\n== Round trips under delay: skipped (the sandbox did not start: %s) ==\n",
                    server.lastError().c_str());
        out["skipped"] = "sandbox";
        return out;
    }

    // The library talks to this sandbox, with a store of its own, for the length of this part.
    auto& config = AppConstantTAVI::shared();
    const std::string savedUrl = config.serverURL;
    const std::string savedCa = config.caFile;
    const auto savedStore = KeychainManager::store();
    config.serverURL = server.url();
    config.caFile = server.caFile();
    auto store = openSqliteSecureStore(workDir + "/delay-store.db");
    // Each kind of exchange several times: the library's first operation on a new thread (a new
    // connection) and two more on it; the last thread then pauses and runs one more. The floor
    // is plain libcurl sending the library's request again, likewise on new threads.
    constexpr int kThreads = 5;
    struct Row {
        Row(std::string n, double t, bool lib = true)
            : name(std::move(n)), trips(t), library(lib) {}
        std::string name;
        double trips = 1;  ///< round trips the exchange cannot avoid
        bool library = true;
        std::vector<double> ms;
        std::vector<double> order;  ///< every sample as taken, failures included
        int failures = 0;
        int newConnections = 0;  ///< of the samples after the first on their thread
    };
    std::vector<Row> rows{{"first operation (new connection)", 3},
                          {"later operations", 1},
                          {"after a " + std::to_string(pauseSeconds) + " s pause", 1},
                          {"first exchange (new connection)", 3, false},
                          {"later exchange", 1, false}};
    auto record = [](Row& row, const Step& step, int firstPort) {
        row.order.push_back(step.ms);
        if (!step.ok) {
            ++row.failures;
            return;
        }
        row.ms.push_back(step.ms);
        if (firstPort != 0 && step.port != firstPort) ++row.newConnections;
    };
    bool registered = false;
    if (store) {
        KeychainManager::setStore(store.value());
        // Registration on a thread of its own, whose connection ends with it.
        inNamespace(clientNs, [&] {
            DeviceRegistrationController().startDeviceRegistration(
                true, server.serverPublicKey(), "+15550166", "REG-DELAY", "com.example.wallet",
                [&](const std::string& r) { registered = r == "done"; }, [](const Error&) {});
            // The sandbox draws its transaction keys at the first key retrieval: not measured.
            if (registered) keyRetrieval(server);
        });
    }
    std::string url, body;
    for (int t = 0; registered && t < kThreads; ++t) {
        inNamespace(clientNs, [&] {
            const Step first = keyRetrieval(server);
            record(rows[0], first, 0);
            for (int i = 0; i < 2; ++i) record(rows[1], keyRetrieval(server), first.port);
            if (t == kThreads - 1) {
                std::this_thread::sleep_for(std::chrono::seconds(pauseSeconds));
                record(rows[2], keyRetrieval(server), first.port);
            }
        });
        const auto requests = server.requests();
        if (!requests.empty()) {
            url = server.url() + requests.back().target;
            body = requests.back().body;
        }
    }
    for (int t = 0; !url.empty() && t < kThreads; ++t) {
        inNamespace(clientNs, [&] {
            CurlPoster poster(server.caFile());
            for (int i = 0; i < 2; ++i) {
                Step step;
                const double begin = wallNs();
                step.ok = poster.post(url, body).status == 200;
                step.ms = (wallNs() - begin) / 1e6;
                record(rows[i == 0 ? 3 : 4], step, 0);
            }
        });
    }
    config.serverURL = savedUrl;
    config.caFile = savedCa;
    KeychainManager::setStore(savedStore);
    server.stop();

    if (delayed) {
        std::printf("\n== Round trips under delay (%.0f ms round trip, key retrieval) ==\n",
                    kRoundTripMs);
    } else {
        std::printf(
            "\n== Round trips under delay: skipped (%s); the same sequence on loopback "
            "==\n",
            why.c_str());
    }
    if (!registered) {
        std::printf("registration across the line failed\n");
        out["skipped"] = "registration";
        return out;
    }
    std::printf("%-34s %22s %12s %9s %7s %s\n", "exchange", "ms, median (min-max)", "round trips",
                "target", "ratio", "new connections");
    Json table = Json::array();
    for (auto& row : rows) {
        std::sort(row.ms.begin(), row.ms.end());
        const double median = row.ms.empty() ? 0 : row.ms[row.ms.size() / 2];
        const double target = row.trips * kRoundTripMs * 1.1;
        char ms[64];
        std::snprintf(ms, sizeof ms, "%.1f (%.1f-%.1f)", median,
                      row.ms.empty() ? 0 : row.ms.front(), row.ms.empty() ? 0 : row.ms.back());
        char trips[16] = "-";
        char targetText[16] = "-";
        char ratio[16] = "-";
        if (delayed && row.library) {
            std::snprintf(targetText, sizeof targetText, "%.0f ms", target);
            std::snprintf(ratio, sizeof ratio, "%.2f", median / target);
        }
        if (delayed) std::snprintf(trips, sizeof trips, "%.2f", median / kRoundTripMs);
        const std::string name = (row.library ? "" : "plain libcurl: ") + row.name;
        std::printf("%-34s %22s %12s %9s %7s %s%s\n", name.c_str(), ms, trips, targetText, ratio,
                    row.trips > 1 ? "-" : std::to_string(row.newConnections).c_str(),
                    row.failures > 0 ? "  (failures)" : "");
        table.push_back({{"exchange", name},
                         {"samples", row.ms.size()},
                         {"median_ms", median},
                         {"min_ms", row.ms.empty() ? 0 : row.ms.front()},
                         {"max_ms", row.ms.empty() ? 0 : row.ms.back()},
                         {"round_trips", delayed ? median / kRoundTripMs : 0},
                         {"target_ms", delayed && row.library ? target : 0},
                         {"new_connections", row.newConnections},
                         {"failures", row.failures},
                         {"samples_ms", row.order}});
    }
    if (delayed) {
        std::printf(
            "Targets: first <= 3 round trips + 10 %%, later ones and the one after the "
            "pause <= 1 round trip + 10 %%. %d threads, each a new connection.\n",
            kThreads);
    }
    out["delayed"] = delayed;
    if (!delayed) out["why_not_delayed"] = why;
    out["round_trip_ms"] = kRoundTripMs;
    out["pause_s"] = pauseSeconds;
    out["exchanges"] = table;
    return out;
}

// ---- Many calls in flight across the delay line ------------------------------------------------

namespace {

constexpr int kScaleCalls = 5000;
constexpr int kScaleConnections = 32;

/// Threads of this process now.
int processTasks() {
    int tasks = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) tasks += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return tasks;
}

/// This process's resident memory, in KiB.
long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

}  // namespace

int runScaleChild(int calls, int connections, const std::string& url, const std::string& caFile,
                  const std::string& storePath, const std::string& outFile) {
    const int tasksBefore = processTasks();
    auto& config = AppConstantTAVI::shared();
    config.serverURL = url;
    config.caFile = caFile;
    config.diagnosticsSink = nullptr;
    config.logLevel = LogLevel::off;
    config.maxConnections = connections;
    auto store = openSqliteSecureStore(storePath);
    if (!store) return 1;
    KeychainManager::setStore(store.value());

    struct Outcome {
        bool ok = false;
        int completions = 0;
        double atNs = 0;
    };
    std::mutex mutex;
    int completed = 0;
    auto startBatch = [&](int count, std::vector<Outcome>& outcomes, const std::string& prefix) {
        std::vector<CallHandle> handles;
        handles.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            const std::string txnId = prefix + std::to_string(i);
            handles.push_back(TaviApiService::shared().startRetrieveKeys(
                "MSG-SCALE", "FINANCIAL_TXN", txnId, "BANKXX01", "ACCOUNT",
                [&, i, txnId](Result<TransactionKeys> r) {
                    const double at = wallNs();
                    std::lock_guard lock(mutex);
                    auto& o = outcomes[static_cast<std::size_t>(i)];
                    ++o.completions;
                    o.ok = r.ok() && r.value().txnId == txnId;
                    o.atNs = at;
                    ++completed;
                }));
        }
        return handles;
    };
    // One call per connection first: the connections are open (and their memory counted) before
    // the measured calls start.
    std::vector<Outcome> warm(static_cast<std::size_t>(connections));
    for (const auto& h : startBatch(connections, warm, "SCALE-WARM-")) {
        (void)h.waitFor(std::chrono::seconds(60));
    }
    {
        std::lock_guard lock(mutex);
        completed = 0;
    }
    const long rssBefore = residentKb();
    int peakTasks = processTasks();

    std::vector<Outcome> outcomes(static_cast<std::size_t>(calls));
    const double start = wallNs();
    const auto handles = startBatch(calls, outcomes, "SCALE-");
    const double started = wallNs();
    // Two round trips on: every start has reached the engine, few calls have ended.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long rssQueued = residentKb();
    int completedThen = 0;
    {
        std::lock_guard lock(mutex);
        completedThen = completed;
    }
    long rssPeak = rssQueued;
    for (const auto& h : handles) {
        while (!h.waitFor(std::chrono::milliseconds(20))) {
            peakTasks = std::max(peakTasks, processTasks());
            rssPeak = std::max(rssPeak, residentKb());
        }
    }
    peakTasks = std::max(peakTasks, processTasks());
    int correct = 0;
    int duplicates = 0;
    double last = start;
    for (const auto& o : outcomes) {
        correct += o.ok && o.completions == 1;
        duplicates += o.completions > 1;
        last = std::max(last, o.atNs);
    }
    const int queued = calls - completedThen;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double cpuMs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    const Json out = {
        {"process_cpu_ms", cpuMs},
        {"calls", calls},
        {"connections", connections},
        {"correct", correct},
        {"duplicate_completions", duplicates},
        {"library_threads", peakTasks - tasksBefore},
        {"start_ms", (started - start) / 1e6},
        {"last_completion_ms", (last - start) / 1e6},
        {"queued_at_sample", queued},
        {"rss_before_kb", rssBefore},
        {"rss_queued_kb", rssQueued},
        {"rss_peak_kb", rssPeak},
        {"rss_per_queued_call_bytes",
         queued > 0 ? static_cast<double>(rssQueued - rssBefore) * 1024.0 / queued : 0}};
    std::ofstream(outFile) << out.dump(2) << "\n";
    return correct == calls ? 0 : 1;
}

int runScaleFloorChild(int calls, int connections, const std::string& url,
                       const std::string& caFile, const std::string& requestFile,
                       const std::string& outFile) {
    std::ifstream in(requestFile);
    const Json request = Json::parse(in, nullptr, false);
    if (!request.is_object()) return 1;
    const std::string target = url + request.at("target").get<std::string>();
    const std::string body = request.at("body").get<std::string>();
    const HeaderList headers = replayHeaderList(request.at("headers"));
    if (!headers) return 1;
    struct MultiFree {
        void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
    };
    struct Transfer {
        std::unique_ptr<CURL, EasyFree> easy;
        std::string answer;
        long status = 0;
        double atNs = 0;
    };
    const std::unique_ptr<CURLM, MultiFree> multi(curl_multi_init());
    if (!multi) return 1;
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_TOTAL_CONNECTIONS, static_cast<long>(connections));
    curl_multi_setopt(multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(connections));
    std::deque<Transfer> transfers;  // addresses stay put: libcurl holds each answer's
    auto keep = +[](char* data, std::size_t size, std::size_t count, void* user) {
        static_cast<std::string*>(user)->append(data, size * count);
        return size * count;
    };
    auto add = [&]() {
        Transfer& t = transfers.emplace_back();
        t.easy.reset(curl_easy_init());
        CURL* easy = t.easy.get();
        if (easy == nullptr) return false;
        curl_easy_setopt(easy, CURLOPT_URL, target.c_str());
        curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, keep);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &t.answer);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, &t);
        return curl_multi_add_handle(multi.get(), easy) == CURLM_OK;
    };
    auto runAll = [&] {
        int running = 1;
        while (running > 0) {
            if (curl_multi_perform(multi.get(), &running) != CURLM_OK) return;
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi.get(), &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                Transfer* t = nullptr;
                curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
                t->atNs = wallNs();
                if (msg->data.result == CURLE_OK) {
                    curl_easy_getinfo(msg->easy_handle, CURLINFO_RESPONSE_CODE, &t->status);
                }
                curl_multi_remove_handle(multi.get(), msg->easy_handle);
                t->easy.reset();  // its connection stays in the multi handle's cache
            }
            if (running > 0) curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
        }
    };
    // One request per connection first, as the library's child opens its connections.
    for (int i = 0; i < connections; ++i) {
        if (!add()) return 1;
    }
    runAll();
    transfers.clear();
    const double start = wallNs();
    for (int i = 0; i < calls; ++i) {
        if (!add()) return 1;
    }
    runAll();
    int correct = 0;
    double last = start;
    for (const auto& t : transfers) {
        correct += t.status == 200 && !t.answer.empty();
        last = std::max(last, t.atNs);
    }
    std::ofstream(outFile) << Json{{"correct", correct},
                                   {"last_completion_ms", (last - start) / 1e6}}
                                  .dump(2)
                           << "\n";
    return correct == calls ? 0 : 1;
}

Json runScale(Env& env, const std::string& selfPath, const std::string& workDir) {
    (void)env;
    Json out = Json::object();
    std::fprintf(stderr, "scale: %d calls at once across the delay line...\n", kScaleCalls);
    DelayLine line;
    const std::string why = line.open();
    const bool delayed = why.empty();
    const int clientNs = delayed ? line.clientNs() : -1;
    const int serverNs = delayed ? line.serverNs() : -1;

    sandbox::Options options;
    options.tls = true;
    options.fixedTransactionKeys = true;
    options.stateDir = workDir + "/scale-sandbox";
    options.keepAliveSeconds = 60;
    sandbox::Server server(options);
    bool started = false;
    if (!inNamespace(serverNs, [&] { started = server.start(); }) || !started) {
        std::printf("\n== Calls in flight: skipped (the sandbox did not start: %s) ==\n",
                    server.lastError().c_str());
        out["skipped"] = "sandbox";
        return out;
    }
    // A registered store of its own; the calls run in a child process whose every thread (the
    // library's included) lives on the client's side of the line.
    auto& config = AppConstantTAVI::shared();
    const std::string savedUrl = config.serverURL;
    const std::string savedCa = config.caFile;
    const auto savedStore = KeychainManager::store();
    config.serverURL = server.url();
    config.caFile = server.caFile();
    const std::string storePath = workDir + "/scale-store.db";
    bool registered = false;
    if (auto store = openSqliteSecureStore(storePath)) {
        KeychainManager::setStore(store.value());
        inNamespace(clientNs, [&] {
            DeviceRegistrationController().startDeviceRegistration(
                true, server.serverPublicKey(), "+15550177", "REG-SCALE", "com.example.wallet",
                [&](const std::string& r) { registered = r == "done"; }, [](const Error&) {});
            if (registered) keyRetrieval(server);  // the sandbox draws its keys: not measured
        });
    }
    // The last key retrieval as the library sent it, for the floor to send again.
    const std::string requestFile = workDir + "/scale-request.json";
    if (const auto seen = server.requests(); registered && !seen.empty()) {
        std::ofstream(requestFile) << Json{{"target", seen.back().target},
                                           {"headers", sentHeaderLines(seen.back())},
                                           {"body", seen.back().body}}
                                          .dump();
    }
    config.serverURL = savedUrl;
    config.caFile = savedCa;
    KeychainManager::setStore(savedStore);
    const std::string outFile = workDir + "/scale.json";
    const std::string floorFile = workDir + "/scale-floor.json";
    // A child of this program in the client's namespace; its exit status, -1 when it did not run.
    auto runChild = [&](const char* mode, const std::string& input, const std::string& output) {
        int exitCode = -1;
        inNamespace(clientNs, [&] {
            const std::vector<std::string> args{selfPath,
                                                mode,
                                                std::to_string(kScaleCalls),
                                                std::to_string(kScaleConnections),
                                                server.url(),
                                                server.caFile(),
                                                input,
                                                output};
            std::vector<char*> argv;
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            pid_t pid = -1;
            if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0) {
                int status = 0;
                if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
                    exitCode = WEXITSTATUS(status);
                }
            }
        });
        return exitCode;
    };
    // The floor first: plain libcurl's multi interface sending the same request as many times
    // over as many connections, so that the server's work per call is the same.
    const int floorExit = registered ? runChild("--scale-floor-child", requestFile, floorFile) : -1;
    const int exitCode = registered ? runChild("--scale-child", storePath, outFile) : -1;
    server.stop();
    Json floorFigures;
    if (std::ifstream in(floorFile); in) floorFigures = Json::parse(in, nullptr, false);
    const double floorMs = floorFigures.is_object() && floorExit == 0
                               ? floorFigures["last_completion_ms"].get<double>()
                               : -1;
    Json child;
    if (std::ifstream in(outFile); in) child = Json::parse(in, nullptr, false);
    if (!registered || !child.is_object()) {
        std::printf("\n== Calls in flight: %s ==\n",
                    registered ? "the child process wrote no figures" : "registration failed");
        out["skipped"] = registered ? "child" : "registration";
        return out;
    }
    const double rtt = kRoundTripMs;
    const double rounds = static_cast<double>(kScaleCalls) / kScaleConnections;
    const double lastMs = child["last_completion_ms"].get<double>();
    const double perQueued = child["rss_per_queued_call_bytes"].get<double>();
    const int threads = child["library_threads"].get<int>();
    const int correct = child["correct"].get<int>();
    if (delayed) {
        std::printf("\n== Calls in flight (%d key retrievals at once, %d connections, %.0f ms "
                    "round trip) ==\n",
                    kScaleCalls, kScaleConnections, rtt);
    } else {
        std::printf("\n== Calls in flight: no delay line (%s); on loopback ==\n", why.c_str());
    }
    std::printf("%-44s %14s %18s\n", "", "measured", "target");
    std::printf("%-44s %14d %18d\n", "calls completed correctly, exactly once", correct,
                kScaleCalls);
    std::printf("%-44s %14d %18s\n", "library threads (/proc/self/task)", threads, "<= 2");
    char target[32];
    std::snprintf(target, sizeof target, "<= %.0f ms", 1.2 * rounds * rtt);
    std::printf("%-44s %11.0f ms %18s\n", "last completion after the first start", lastMs,
                delayed ? target : "-");
    if (delayed) {
        std::snprintf(target, sizeof target, "<= %.1f", 1.2 * rounds);
        std::printf("%-44s %14.1f %18s\n", "  in round trips", lastMs / rtt, target);
    }
    if (floorMs >= 0) {
        std::printf("%-44s %11.0f ms %18s\n", "  floor: plain libcurl multi, same requests",
                    floorMs, "");
        std::printf("%-44s %14.2f %18s\n", "  library / floor", lastMs / floorMs, "");
    } else {
        std::printf("%-44s %14s\n", "  floor: plain libcurl multi, same requests", "failed");
    }
    std::printf("%-44s %14.0f %18s\n", "RSS per queued call (bytes)", perQueued, "<= 4096");
    std::printf("(%d calls still queued at the RSS sample; starting them took %.0f ms; the client "
                "process used %.0f ms of CPU in all; exit %d)\n",
                child["queued_at_sample"].get<int>(), child["start_ms"].get<double>(),
                child["process_cpu_ms"].get<double>(), exitCode);
    out = child;
    out["delayed"] = delayed;
    if (!delayed) out["why_not_delayed"] = why;
    out["round_trip_ms"] = rtt;
    out["floor_last_completion_ms"] = floorMs;
    out["targets"] = {{"library_threads", 2},
                      {"last_completion_ms", delayed ? 1.2 * rounds * rtt : 0},
                      {"rss_per_queued_call_bytes", 4096}};
    return out;
}

}  // namespace tavi::bench
