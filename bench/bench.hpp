// Shared pieces of the benchmark: clocks, a plain-libcurl keep-alive client (the transport
// floor), the sandbox environment and the result collector.
#pragma once

#include <curl/curl.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sandbox.hpp"

namespace tavi::bench {

using Json = nlohmann::ordered_json;

/// CPU time of the calling thread, in nanoseconds.
inline double threadCpuNs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

inline double wallNs() {
    return static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

/// Plain libcurl, one easy handle kept between requests (keep-alive), verifying the sandbox's
/// certificate with its CA file: the least a client can spend on one HTTPS POST.
class CurlPoster {
  public:
    explicit CurlPoster(std::string caFile);
    ~CurlPoster();
    CurlPoster(const CurlPoster&) = delete;
    CurlPoster& operator=(const CurlPoster&) = delete;

    struct Reply {
        long status = 0;
        double serverMs = 0;  ///< the server's own processing time (Server-Timing)
        std::size_t bytes = 0;
        std::string body;  ///< the answer itself, when kept (keepBodies)
    };
    /// POSTs `body` to `url`; status 0 on a transport failure.
    Reply post(const std::string& url, const std::string& body);
    /// New connections this poster has opened so far.
    long connections() const { return connections_; }
    /// Keep each answer's body in the reply (off: only its size is counted).
    void keepBodies(bool keep) { keep_ = keep; }

  private:
    static std::size_t onBody(char*, std::size_t size, std::size_t count, void* user);
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user);

    CURL* easy_ = nullptr;
    curl_slist* headers_ = nullptr;
    std::string caFile_;
    std::size_t received_ = 0;
    bool keep_ = false;
    std::string kept_;
    double serverMs_ = 0;
    long connections_ = 0;
};

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
struct EasyFree {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

/// The header lines of `request` as the library sent them, "Name: value", less Host and
/// Content-Length (libcurl writes those itself): what a replay sends so that both clients send
/// the same bytes.
Json sentHeaderLines(const sandbox::RecordedRequest& request);
/// `lines` (a JSON array of header lines) as a libcurl list, after "Accept:" and "Expect:" (off,
/// as the library has them); null when the list could not be made.
HeaderList replayHeaderList(const Json& lines);

/// One request the library made, to replay with plain libcurl.
struct CapturedRequest {
    std::string path;
    std::string body;
};

/// The sandbox, a registered device and an open transaction.
struct Env {
    sandbox::Server* server = nullptr;
    std::string url;
    std::string caFile;
    std::string mobile = "+15550100";
    std::string txnId = "TXN-BENCH-1";
    std::string bankKi, publicKey, sessionKey;
    std::string referenceId;
    std::map<std::string, CapturedRequest> captured;  ///< by operation name
    std::string storePath;  ///< the registered store the operations read
    std::string serverKey;  ///< the sandbox's public key (registration's session key)
};

/// A public operation and the primitives it cannot avoid.
struct Operation {
    std::string name;
    std::function<bool(Env&)> run;
    int wraps = 0;    ///< RSA public encryptions of the request key
    int unwraps = 0;  ///< RSA public recoveries of the answer key
    int seals = 0;    ///< RSA public encryptions of values for the bank
    int aes = 0;      ///< AES-256-CTR passes over a payload
    bool get = false;
    std::function<void(Env&)> prepare = {};  ///< before each benchmark of the operation, untimed
    int requests = 1;        ///< HTTP exchanges per operation
    bool inProcess = true;   ///< false: it rewrites the store's registration; child processes only
};

/// Every public operation that talks to the server, registration and its check included.
std::vector<Operation> operations();

/// Collected figures, by name.
struct Figures {
    std::map<std::string, double> cpuNs;   ///< thread CPU per iteration
    std::map<std::string, double> wallNs;  ///< wall time per iteration
    std::map<std::string, double> counters;
};

/// The programs the benchmark runs as processes of their own.
struct Paths {
    std::string cli;    ///< the command-line tool
    std::string floor;  ///< the minimal C client (floor_client.c)
    std::string bench;  ///< this program (its --steady-child mode)
};

// floors.cpp: OpenSSL's own cost of the primitives (Google Benchmark registrations).
void registerFloorBenchmarks();

// load.cpp: end-to-end latency and throughput, handshakes, memory.
Json runLoad(Env& env, const std::string& cliPath, const std::string& workDir, int heapOps);

// insitu.cpp: key retrieval phase by phase inside the operation loop, its exchange made
// alternately by the library and by plain libcurl.
Json runInSitu(Env& env, int operations);

// instructions.cpp: callgrind and memcheck counts of whole processes beside their floors.
bool valgrindAvailable();
Json runInstructions(Env& env, const Paths& paths, const std::string& workDir);
/// `tavi_bench --steady-child MODE COUNT URL CA_FILE STORE TXN_ID`: COUNT key retrievals in this
/// process, logging off (MODE library) or at the defaults (MODE logging); 0 when all succeeded.
int runSteadyChild(const std::string& mode, int count, const std::string& url,
                   const std::string& caFile, const std::string& storePath,
                   const std::string& txnId);

/// Every operation beside its floor (the primitives + plain libcurl replaying its requests), in
/// instructions and allocations per operation of long-running child processes.
Json runOperationTable(Env& env, const Paths& paths, const std::string& workDir);
/// `tavi_bench --op-child MODE OPERATION COUNT WORK_DIR`: COUNT runs of one operation in this
/// process, by the library (MODE library) or as its floor (MODE floor: the operation's RSA and AES
/// primitives through OpenSSL, then plain libcurl replaying the requests in
/// WORK_DIR/replay-OPERATION.json on one kept connection); 0 when all succeeded. The
/// set-up (WORK_DIR/child.json) comes before the first run.
int runOperationChild(const std::string& mode, const std::string& operation, int count,
                      const std::string& workDir);
// cold.cpp: instructions from the first call to the first byte on the wire, beside the floor's.
Json runCold(Env& env, const std::string& workDir);

// delay.cpp: round trips per operation across a delay line between two network namespaces.
Json runDelay(Env& env, const std::string& workDir, int pauseSeconds);
/// 5,000 key retrievals started at once across the delay line with 32 connections, run by
/// `selfPath --scale-child` in the client's namespace: correctness, the library's threads, the
/// last completion in round trips and resident memory per queued call.
Json runScale(Env& env, const std::string& selfPath, const std::string& workDir);
/// `tavi_bench --scale-child CALLS CONNECTIONS URL CA_FILE STORE OUT_FILE`: CALLS key retrievals
/// started at once with maxConnections CONNECTIONS; the figures as JSON in OUT_FILE; 0 when every
/// call completed correctly.
int runScaleChild(int calls, int connections, const std::string& url, const std::string& caFile,
                  const std::string& storePath, const std::string& outFile);
/// `tavi_bench --scale-floor-child CALLS CONNECTIONS URL CA_FILE REQUEST OUT_FILE`: the floor,
/// plain libcurl's multi interface sending the request in REQUEST (JSON: target, header lines,
/// body) CALLS times at once over CONNECTIONS connections; 0 when every answer came.
int runScaleFloorChild(int calls, int connections, const std::string& url,
                       const std::string& caFile, const std::string& requestFile,
                       const std::string& outFile);

}  // namespace tavi::bench
