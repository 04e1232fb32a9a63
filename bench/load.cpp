// The load driver: key retrieval end to end with 1 and 8 threads next to plain libcurl replaying
// the same request, connections opened per 100 operations, the CLI's peak memory and heap
// growth over many operations.
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "bench.hpp"
#include "tavi/tavi.hpp"

extern char** environ;

namespace tavi::bench {

// ---- plain libcurl -------------------------------------------------------------------------

CurlPoster::CurlPoster(std::string caFile) : caFile_(std::move(caFile)) {
    easy_ = curl_easy_init();
    headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
}

CurlPoster::~CurlPoster() {
    curl_easy_cleanup(easy_);
    curl_slist_free_all(headers_);
}

std::size_t CurlPoster::onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<CurlPoster*>(user);
    self->received_ += size * count;
    if (self->keep_) self->kept_.append(data, size * count);
    return size * count;
}

std::size_t CurlPoster::onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    const std::string line(data, size * count);
    static constexpr char kName[] = "server-timing:";
    if (line.size() > sizeof kName && strncasecmp(line.c_str(), kName, sizeof kName - 1) == 0) {
        const auto dur = line.find("dur=");
        if (dur != std::string::npos) {
            static_cast<CurlPoster*>(user)->serverMs_ =
                std::strtod(line.c_str() + dur + 4, nullptr);
        }
    }
    return size * count;
}

CurlPoster::Reply CurlPoster::post(const std::string& url, const std::string& body) {
    Reply reply;
    if (easy_ == nullptr) return reply;
    received_ = 0;
    serverMs_ = 0;
    kept_.clear();
    curl_easy_setopt(easy_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile_.c_str());
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlPoster::onBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlPoster::onHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    if (body.empty()) {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    if (curl_easy_perform(easy_) == CURLE_OK) {
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &reply.status);
    }
    long opened = 0;
    curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &opened);
    connections_ += opened;
    reply.serverMs = serverMs_;
    reply.bytes = received_;
    if (keep_) reply.body = std::move(kept_);
    return reply;
}

namespace {

// ---- latency and throughput ----------------------------------------------------------------

struct Samples {
    std::vector<double> latencyMs;
    std::vector<double> serverMs;
    double wallS = 0;
    long failures = 0;
    std::size_t connections = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

bool retrieveKeys() {
    bool ok = false;
    TaviApiService::shared().createRetrieveKeysRequest(
        "MSG-KR", "FINANCIAL_TXN", "TXN-BENCH-KR", "BANKXX01", "ACCOUNT",
        [&](const std::string&, const std::string&, const std::string&, const std::string&,
            const std::string&) { ok = true; },
        [](const Error&) {});
    return ok;
}

/// `threads` fresh threads, each running `perThread` operations after one untimed operation that
/// opens its connection (handshakes are counted separately); `op` returns (ok, server ms).
Samples runThreads(Env& env, int threads, int perThread,
                   const std::function<std::function<std::pair<bool, double>()>()>& makeWorker) {
    env.server->clearRequests();
    Samples all;
    std::mutex mutex;
    std::latch warm(threads + 1);
    std::latch go(1);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            auto op = makeWorker();
            op();
            warm.count_down();
            go.wait();
            Samples mine;
            for (int i = 0; i < perThread; ++i) {
                const double begin = wallNs();
                const auto [ok, serverMs] = op();
                mine.latencyMs.push_back((wallNs() - begin) / 1e6);
                mine.serverMs.push_back(serverMs);
                if (!ok) ++mine.failures;
            }
            std::lock_guard lock(mutex);
            all.latencyMs.insert(all.latencyMs.end(), mine.latencyMs.begin(), mine.latencyMs.end());
            all.serverMs.insert(all.serverMs.end(), mine.serverMs.begin(), mine.serverMs.end());
            all.failures += mine.failures;
        });
    }
    warm.arrive_and_wait();
    const double start = wallNs();
    go.count_down();
    for (auto& th : pool) th.join();
    all.wallS = (wallNs() - start) / 1e9;
    std::set<int> ports;
    for (const auto& r : env.server->requests()) ports.insert(r.remotePort);
    all.connections = ports.size();
    env.server->clearRequests();
    return all;
}

void merge(Samples& into, const Samples& more) {
    into.latencyMs.insert(into.latencyMs.end(), more.latencyMs.begin(), more.latencyMs.end());
    into.serverMs.insert(into.serverMs.end(), more.serverMs.begin(), more.serverMs.end());
    into.wallS += more.wallS;
    into.failures += more.failures;
    into.connections = std::max(into.connections, more.connections);
}

Samples libraryRun(Env& env, int threads, int perThread) {
    return runThreads(env, threads, perThread, [] {
        return [] { return std::pair<bool, double>{retrieveKeys(), 0.0}; };
    });
}

Samples curlRun(Env& env, int threads, int perThread) {
    const auto& captured = env.captured.at("key_retrieval");
    const std::string url = env.url + captured.path;
    return runThreads(env, threads, perThread, [&] {
        auto poster = std::make_shared<CurlPoster>(env.caFile);
        return [poster, &url, &captured] {
            const auto reply = poster->post(url, captured.body);
            return std::pair<bool, double>{reply.status == 200, reply.serverMs};
        };
    });
}

Json describe(const std::string& name, const Samples& s, double serverMsP50) {
    const double ops = static_cast<double>(s.latencyMs.size());
    return {{"name", name},
            {"ops", s.latencyMs.size()},
            {"failures", s.failures},
            {"p50_ms", percentile(s.latencyMs, 0.50)},
            {"p99_ms", percentile(s.latencyMs, 0.99)},
            {"server_ms_p50", serverMsP50},
            {"ops_per_s", s.wallS > 0 ? ops / s.wallS : 0},
            {"connections", static_cast<long>(s.connections)}};
}

// ---- memory --------------------------------------------------------------------------------

struct ChildRun {
    int exitCode = -1;
    long maxRssKb = 0;
};

ChildRun runChild(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    ChildRun run;
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        // The child's own high-water mark (VmHWM), read until it exits: the rusage of a spawned
        // child would also count this process's memory, which the child shared until exec.
        const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
        for (int i = 0; i < 30000; ++i) {
            if (std::FILE* f = std::fopen(statusFile.c_str(), "r")) {
                char line[256];
                while (std::fgets(line, sizeof line, f) != nullptr) {
                    if (std::strncmp(line, "VmHWM:", 6) == 0) {
                        run.maxRssKb = std::max(run.maxRssKb, std::strtol(line + 6, nullptr, 10));
                    }
                }
                std::fclose(f);
            }
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == pid) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        int status = 0;
        if (waitpid(pid, &status, 0) == pid) {
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

std::size_t heapInUse() {
    const auto info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

/// 1,000 calls started at once against a server that holds every answer past their deadline:
/// eight wait on the engine's connections, the rest queue behind them. How late each deadline
/// completion arrives after its deadline.
Json queuedDeadlines(Env& env) {
    constexpr int kCalls = 1000;
    constexpr auto kDeadline = std::chrono::milliseconds(3000);
    sandbox::Fault hold;
    hold.path = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
    hold.kind = sandbox::Fault::Kind::delay;
    hold.delayMs = 4000;
    env.server->addFault(hold);
    std::mutex mutex;
    std::vector<double> lateMs;
    long otherOutcomes = 0;
    std::vector<CallHandle> calls;
    calls.reserve(kCalls);
    CallOptions options;
    options.deadline = kDeadline;
    for (int i = 0; i < kCalls; ++i) {
        const auto due = std::chrono::steady_clock::now() + kDeadline;
        calls.push_back(TaviApiService::shared().startRetrieveKeys(
            "MSG-Q", "FINANCIAL_TXN", "TXN-Q" + std::to_string(i), "BANKXX01", "ACCOUNT",
            [&, due](Result<TransactionKeys> r) {
                const double late = std::chrono::duration<double, std::milli>(
                                        std::chrono::steady_clock::now() - due)
                                        .count();
                std::lock_guard lock(mutex);
                if (!r.ok() && r.error().code == ClientErrorCode::deadlineExceeded) {
                    lateMs.push_back(late);
                } else {
                    ++otherOutcomes;
                }
            },
            options));
    }
    for (const auto& call : calls) (void)call.waitFor(std::chrono::seconds(60));
    env.server->clearFaults();
    env.server->clearRequests();
    std::lock_guard lock(mutex);
    return {{"calls", kCalls},
            {"deadline_ms", kDeadline.count()},
            {"deadline_completions", lateMs.size()},
            {"other_outcomes", otherOutcomes},
            {"late_p50_ms", percentile(lateMs, 0.5)},
            {"late_p99_ms", percentile(lateMs, 0.99)},
            {"late_max_ms", percentile(lateMs, 1)},
            {"over_500_ms_late",
             std::count_if(lateMs.begin(), lateMs.end(), [](double ms) { return ms > 500; })}};
}

}  // namespace

Json runLoad(Env& env, const std::string& cliPath, const std::string& workDir, int heapOps) {
    Json out = Json::object();
    std::fprintf(stderr, "load: 1,000 queued calls against their deadlines...\n");
    out["queued_deadlines"] = queuedDeadlines(env);
    std::fprintf(stderr, "load: key retrieval, 1 and 8 threads...\n");

    // The library and plain libcurl, with 1 and with 8 threads, in alternating rounds so that all
    // four meet the same conditions; throughput scaling is taken round by round (its spread on
    // a shared machine is as telling as its median).
    constexpr int kRounds = 6;
    constexpr int kSingle = 300;
    constexpr int kPerThread = 360;
    Samples curl1;
    Samples lib1;
    Samples curl8;
    Samples lib8;
    std::vector<double> scaling;
    std::vector<double> curlScaling;
    std::vector<double> relativeScaling;  // the library's scaling over libcurl's, same round
    auto throughput = [](const Samples& s) {
        return s.wallS > 0 ? static_cast<double>(s.latencyMs.size()) / s.wallS : 0;
    };
    for (int round = 0; round < kRounds; ++round) {
        const auto c1 = curlRun(env, 1, kSingle / kRounds);
        const auto l1 = libraryRun(env, 1, kSingle / kRounds);
        const auto c8 = curlRun(env, 8, kPerThread / kRounds);
        const auto l8 = libraryRun(env, 8, kPerThread / kRounds);
        if (throughput(l1) > 0) scaling.push_back(throughput(l8) / throughput(l1));
        if (throughput(c1) > 0) curlScaling.push_back(throughput(c8) / throughput(c1));
        if (throughput(l1) > 0 && throughput(c1) > 0 && throughput(c8) > 0) {
            relativeScaling.push_back((throughput(l8) / throughput(l1)) /
                                      (throughput(c8) / throughput(c1)));
        }
        merge(curl1, c1);
        merge(lib1, l1);
        merge(curl8, c8);
        merge(lib8, l8);
    }
    const double srv1 = percentile(curl1.serverMs, 0.5);
    const double srv8 = percentile(curl8.serverMs, 0.5);
    out["latency"] = Json::array({describe("libcurl replay, 1 thread", curl1, srv1),
                                  describe("library, 1 thread", lib1, srv1),
                                  describe("libcurl replay, 8 threads", curl8, srv8),
                                  describe("library, 8 threads", lib8, srv8)});
    const double curlP50 = percentile(curl1.latencyMs, 0.5);
    out["targets"] = {
        {"p50_ratio_1_thread", curlP50 > 0 ? percentile(lib1.latencyMs, 0.5) / curlP50 : 0},
        {"scaling_8_over_1", percentile(scaling, 0.5)},
        {"scaling_8_over_1_min", percentile(scaling, 0)},
        {"scaling_8_over_1_max", percentile(scaling, 1)},
        {"libcurl_scaling_8_over_1", percentile(curlScaling, 0.5)},
        {"libcurl_scaling_8_over_1_min", percentile(curlScaling, 0)},
        {"libcurl_scaling_8_over_1_max", percentile(curlScaling, 1)},
        {"scaling_over_libcurl_scaling", percentile(relativeScaling, 0.5)},
        {"scaling_over_libcurl_scaling_min", percentile(relativeScaling, 0)},
        {"scaling_over_libcurl_scaling_max", percentile(relativeScaling, 1)},
        {"rounds", kRounds}};

    std::fprintf(stderr, "load: handshakes...\n");
    // Each thread's first (untimed) operation is counted here: 100 and 104 operations in all.
    const auto hs1 = libraryRun(env, 1, 99);
    const auto hs8 = libraryRun(env, 8, 12);
    out["handshakes"] = {{"library, 100 ops on 1 thread", hs1.connections},
                         {"library, 104 ops over 8 threads", hs8.connections},
                         {"targets", "1 and at most 8"}};

    std::fprintf(stderr, "load: memory...\n");
    Json memory = Json::object();
    const std::string store = workDir + "/cli-store.db";
    const std::vector<std::string> common{cliPath,    "--server", env.url, "--ca-file",
                                          env.caFile, "--store",  store,   "--quiet"};
    auto with = [&](std::vector<std::string> more) {
        auto args = common;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const auto status = runChild(with({"otp-status", "--txn-id", "TXN-CLI"}));
    const auto reg =
        runChild(with({"register", "--session-key", env.server->serverPublicKey(), "--mobile",
                       "+15550199", "--txn-id", "REG-CLI", "--app-id", "com.example.wallet"}));
    const auto keys = runChild(
        with({"retrieve-keys", "--msg-id", "MSG-CLI", "--transaction-type", "FINANCIAL_TXN",
              "--txn-id", "TXN-CLI", "--bic", "BANKXX01", "--instrument-type", "ACCOUNT"}));
    memory["cli otp-status peak RSS (KiB)"] = status.maxRssKb;
    memory["cli register peak RSS (KiB)"] = reg.maxRssKb;
    memory["cli retrieve-keys peak RSS (KiB)"] = keys.maxRssKb;
    memory["cli exit codes (otp-status, register, retrieve-keys)"] =
        Json::array({status.exitCode, reg.exitCode, keys.exitCode});

    // Heap in use (every arena), on this thread, after a warm-up and with the server's logs of
    // requests and arrivals emptied (the sandbox runs in this process, and each request adds to
    // them): what stays allocated after `heapOps` more operations.
    auto forget = [&] {
        env.server->clearRequests();
        env.server->clearArrivals();
    };
    for (int i = 0; i < 300; ++i) retrieveKeys();
    forget();
    const std::size_t before = heapInUse();
    long failures = 0;
    for (int i = 1; i <= heapOps; ++i) {
        if (!retrieveKeys()) ++failures;
        if (i % 200 == 0) forget();
    }
    forget();
    const std::size_t after = heapInUse();
    const double growth = static_cast<double>(after) - static_cast<double>(before);
    memory["heap ops"] = heapOps;
    memory["heap ops failed"] = failures;
    memory["heap growth (bytes)"] = growth;
    memory["heap growth per op (bytes)"] = heapOps > 0 ? growth / heapOps : 0;
    out["memory"] = memory;
    return out;
}

}  // namespace tavi::bench
