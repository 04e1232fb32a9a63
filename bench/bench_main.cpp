// `make bench`: in one run, the primitives' floor, the library's client CPU per public operation
// next to plain libcurl's for the same request, end-to-end latency and throughput of key
// retrieval, TLS handshakes and memory. Prints a summary table and writes the figures as JSON.
//
//   tavi_bench [--out FILE] [--heap-ops N] [--in-situ-ops N] [--pause-seconds N]
//              [--sections clients,load,insitu,instructions,operations,cold,delay,scale]
//              [Google Benchmark flags]
//
// Every request goes to a sandbox server this program starts on loopback (or, for the delay
// line, in a network namespace of its own).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench.hpp"
#include "tavi/tavi.hpp"

namespace tavi::bench {
namespace {

constexpr const char* kBic = "DEMOBIC01";

std::string nextYear() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    return std::to_string(tm.tm_year + 1900 + 3);
}

}  // namespace

std::vector<Operation> operations() {
    auto& svc = TaviApiService::shared();
    std::vector<Operation> ops;
    // Its two exchanges (the SMS transaction, then the sealed registration); a new device each
    // time, in a store of its own.
    Operation registration{"registration",
                           [](Env& e) {
                               bool ok = false;
                               DeviceRegistrationController().startDeviceRegistration(
                                   true, e.serverKey, "+15550188", "REG-BENCH-OP",
                                   "com.example.wallet",
                                   [&](const std::string& r) { ok = r == "done"; },
                                   [](const Error&) {});
                               return ok;
                           },
                           1, 1, 0, 2};
    registration.requests = 2;
    registration.inProcess = false;
    ops.push_back(std::move(registration));
    ops.push_back({"registration_check",
                   [](Env& e) {
                       bool ok = false;
                       TaviUtils::getCheckDeviceRegistered(e.mobile, [&](bool b) { ok = b; });
                       return ok;
                   },
                   1, 0, 0, 1});
    ops.push_back({"key_retrieval",
                   [&svc](Env&) {
                       bool ok = false;
                       svc.createRetrieveKeysRequest(
                           "MSG-KR", "FINANCIAL_TXN", "TXN-BENCH-KR", "BANKXX01", "ACCOUNT",
                           [&](const std::string&, const std::string&, const std::string&,
                               const std::string&, const std::string&) { ok = true; },
                           [](const Error&) {});
                       return ok;
                   },
                   1, 1, 0, 2});
    ops.push_back({"credential_submission",
                   [&svc](Env& e) {
                       bool ok = false;
                       svc.createCredentialSubmissionRequest(
                           e.txnId, "FINANCIAL_TXN", "PIN", sandbox::kTestPin, e.bankKi,
                           e.publicKey, e.sessionKey, [&](bool b) { ok = b; }, [](bool) {});
                       return ok;
                   },
                   1, 0, 1, 1});
    ops.push_back(
        {"fetch_otp",
         [&svc](Env& e) {
             bool ok = false;
             svc.createFetchOtpChallengeRequest(
                 "FINANCIAL_TXN", e.txnId, "CARD", kBic, e.sessionKey, std::nullopt,
                 [&](const std::string& ref, const std::string&, const std::string&,
                     const std::string&) {
                     ok = true;
                     e.referenceId = ref;
                 },
                 [](const std::optional<std::string>&, const std::optional<std::string>&) {});
             return ok;
         },
         1, 1, 0, 2});
    ops.push_back(
        {"validate_otp",
         [&svc](Env& e) {
             bool ok = false;
             svc.createValidateOtpRequest(
                 e.txnId, "FINANCIAL_TXN", sandbox::kTestOtp, e.bankKi, e.publicKey, e.sessionKey,
                 "", kBic, e.referenceId, [&](bool b) { ok = b; },
                 [](const std::optional<std::string>&, const std::optional<std::string>&) {});
             return ok;
         },
         1, 0, 1, 1});
    // A replayed challenge request replaces the transaction's challenge: fetch a current one.
    ops.back().prepare = [fetch = ops[ops.size() - 2].run](Env& e) { fetch(e); };
    ops.push_back({"validate_card",
                   [&svc](Env& e) {
                       bool ok = false;
                       svc.validateCardNumAsync(
                           e.sessionKey, e.bankKi, e.publicKey, e.txnId, "4111111111111111", kBic,
                           "Demo Bank", [&](const ValidateCardNumResponse&) { ok = true; },
                           [](const Error&) {});
                       return ok;
                   },
                   1, 0, 1, 1});
    ops.push_back({"register_card",
                   [&svc](Env& e) {
                       bool ok = false;
                       svc.registerCardDetailRequest(
                           e.txnId, "REGISTER_CARD_ACC_DETAIL", kBic, std::nullopt, e.bankKi,
                           e.sessionKey, "4111111111111111", "08", nextYear(), "123", e.publicKey,
                           [&](bool b, const std::string&) { ok = b; }, [](const Error&) {});
                       return ok;
                   },
                   1, 0, 4, 1});
    ops.push_back({"web_url",
                   [&svc](Env& e) {
                       bool ok = false;
                       svc.webUrlRequestAsync(
                           "SECURE_PAGE_URL", e.txnId, "CARD", "BANKXX01", e.sessionKey,
                           [&](const std::string&) { ok = true; }, [](const Error&) {});
                       return ok;
                   },
                   1, 1, 0, 2});
    ops.push_back({"otp_status",
                   [&svc](Env& e) {
                       bool ok = false;
                       svc.checkOtpStatus(e.txnId, [&](const std::string& w) { ok = !w.empty(); });
                       return ok;
                   },
                   0, 0, 0, 0, true});
    return ops;
}

namespace {

/// Keeps every run's figures and prints them as the console reporter does.
class Collector : public benchmark::ConsoleReporter {
  public:
    explicit Collector(Figures& figures) : figures_(figures) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration) {
                continue;
            }
            const auto n = static_cast<double>(run.iterations);
            const std::string name = run.run_name.function_name;
            auto& seen = repetitions_[name];
            seen.cpuNs.push_back(run.cpu_accumulated_time / n * 1e9);
            seen.wallNs.push_back(run.real_accumulated_time / n * 1e9);
            figures_.cpuNs[name] = median(seen.cpuNs);
            figures_.wallNs[name] = median(seen.wallNs);
            for (const auto& [counter, value] : run.counters) {
                figures_.counters[name + "/" + counter] = value.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

  private:
    // Figures are the median over a benchmark's repetitions: on a shared machine a single run
    // moves by tens of percent, and the repetitions of the library and of plain libcurl are
    // interleaved so that both see the same conditions.
    struct Repetitions {
        std::vector<double> cpuNs;
        std::vector<double> wallNs;
    };
    static double median(std::vector<double> values) {
        std::sort(values.begin(), values.end());
        const std::size_t mid = values.size() / 2;
        return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
    }

    Figures& figures_;
    std::map<std::string, Repetitions> repetitions_;
};

/// Repetitions of each client-side benchmark; the table shows their median.
constexpr int kRepetitions = 5;

bool setUp(Env& env, const std::string& storePath) {
    auto& config = AppConstantTAVI::shared();
    config.serverURL = env.url;
    config.caFile = env.caFile;
    config.timeoutMilliseconds = 10000;
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    config.diagnosticsSink = nullptr;
    config.logLevel = LogLevel::off;
    auto store = openSqliteSecureStore(storePath);
    if (!store) {
        std::fprintf(stderr, "cannot open the store: %s\n", store.error().description().c_str());
        return false;
    }
    KeychainManager::setStore(store.value());

    bool registered = false;
    DeviceRegistrationController().startDeviceRegistration(
        true, env.server->serverPublicKey(), env.mobile, "REG-TXN-1", "com.example.wallet",
        [&](const std::string& r) { registered = r == "done"; },
        [](const Error& e) {
            std::fprintf(stderr, "registration: %s\n", e.description().c_str());
        });
    if (!registered) return false;
    KeychainManager::deletePreference(SessionManager::IS_REGISTERED);
    KeychainManager::savePreference("true", SessionManager::IS_REGISTERED);

    bool opened = false;
    TaviApiService::shared().createRetrieveKeysRequest(
        "MSG-1", "FINANCIAL_TXN", env.txnId, "BANKXX01", "ACCOUNT",
        [&](const std::string& bankKi, const std::string& publicKey, const std::string& sessionKey,
            const std::string&, const std::string&) {
            env.bankKi = bankKi;
            env.publicKey = publicKey;
            env.sessionKey = sessionKey;
            opened = true;
        },
        [](const Error& e) {
            std::fprintf(stderr, "key retrieval: %s\n", e.description().c_str());
        });
    return opened;
}

/// Each operation once, keeping the request as the library sent it, to replay with plain libcurl.
void captureRequests(Env& env, std::vector<Operation>& ops) {
    for (auto& op : ops) {
        if (!op.inProcess) continue;
        env.server->clearRequests();
        const bool ok = op.run(env);
        const auto requests = env.server->requests();
        if (!ok || requests.empty()) {
            std::fprintf(stderr, "warning: %s did not succeed against the sandbox\n",
                         op.name.c_str());
        }
        if (!requests.empty()) {
            env.captured[op.name] = {requests.back().target, requests.back().body};
        }
    }
}

void registerOperationBenchmarks(Env& env, std::vector<Operation>& ops) {
    for (auto& op : ops) {
        if (!op.inProcess) continue;
        benchmark::RegisterBenchmark(("library/" + op.name).c_str(),
                                     [&env, &op](benchmark::State& state) {
                                         if (op.prepare) op.prepare(env);
                                         int failures = 0;
                                         long n = 0;
                                         for (auto _ : state) {
                                             if (!op.run(env)) ++failures;
                                             if (++n % 256 == 0) env.server->clearRequests();
                                         }
                                         state.counters["failures"] = failures;
                                     })
            ->UseRealTime()
            ->MinTime(0.15)
            ->Repetitions(kRepetitions);

        benchmark::RegisterBenchmark(
            ("libcurl/" + op.name).c_str(),
            [&env, &op](benchmark::State& state) {
                const auto it = env.captured.find(op.name);
                if (it == env.captured.end()) {
                    state.SkipWithError("no request captured");
                    return;
                }
                CurlPoster poster(env.caFile);
                const std::string url = env.url + it->second.path;
                const std::string body = op.get ? std::string() : it->second.body;
                poster.post(url, body);  // the connection is open before timing
                double serverMs = 0;
                long n = 0;
                for (auto _ : state) {
                    serverMs += poster.post(url, body).serverMs;
                    if (++n % 256 == 0) env.server->clearRequests();
                }
                state.counters["serverMs"] = n > 0 ? serverMs / static_cast<double>(n) : 0;
            })
            ->UseRealTime()
            ->MinTime(0.15)
            ->Repetitions(kRepetitions);
    }
}

std::string fixed(double value, int decimals = 1) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string selfPath(const char* argv0) {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(argv0) : self.string();
}

Json summarise(const Figures& f, const std::vector<Operation>& ops) {
    auto get = [](const std::map<std::string, double>& m, const std::string& k) {
        const auto it = m.find(k);
        return it == m.end() ? 0.0 : it->second;
    };
    const double wrap = get(f.cpuNs, "floor/rsa_wrap");
    const double unwrap = get(f.cpuNs, "floor/rsa_unwrap");
    const double seal = get(f.cpuNs, "floor/bank_seal");
    const double aes = get(f.cpuNs, "floor/aes256ctr_1k");

    Json out = Json::object();
    out["floors_us"] = {{"rsa_wrap", wrap / 1e3},
                        {"rsa_unwrap", unwrap / 1e3},
                        {"bank_seal", seal / 1e3},
                        {"aes256ctr_1k", aes / 1e3}};
    if (f.cpuNs.empty()) return out;
    std::printf("\n== Client CPU per operation (thread CPU clock, microseconds) ==\n");
    std::printf("%-22s %9s %9s %9s %9s %7s %9s %9s\n", "operation", "crypto", "libcurl", "floor",
                "library", "ratio", "wall", "srv_ms");
    Json rows = Json::array();
    for (const auto& op : ops) {
        if (!op.inProcess) continue;
        const double crypto =
            op.wraps * wrap + op.unwraps * unwrap + op.seals * seal + op.aes * aes;
        const double transport = get(f.cpuNs, "libcurl/" + op.name);
        const double floor = crypto + transport;
        const double library = get(f.cpuNs, "library/" + op.name);
        const double wall = get(f.wallNs, "library/" + op.name);
        const double serverMs = get(f.counters, "libcurl/" + op.name + "/serverMs");
        const double failures = get(f.counters, "library/" + op.name + "/failures");
        const double ratio = floor > 0 ? library / floor : 0;
        std::printf("%-22s %9s %9s %9s %9s %7s %9s %9s%s\n", op.name.c_str(),
                    fixed(crypto / 1e3).c_str(), fixed(transport / 1e3).c_str(),
                    fixed(floor / 1e3).c_str(), fixed(library / 1e3).c_str(),
                    fixed(ratio, 2).c_str(), fixed(wall / 1e3).c_str(), fixed(serverMs, 2).c_str(),
                    failures > 0 ? "  (failures)" : "");
        rows.push_back({{"operation", op.name},
                        {"crypto_floor_us", crypto / 1e3},
                        {"libcurl_cpu_us", transport / 1e3},
                        {"floor_us", floor / 1e3},
                        {"library_cpu_us", library / 1e3},
                        {"ratio", ratio},
                        {"library_wall_us", wall / 1e3},
                        {"server_ms", serverMs},
                        {"failures", failures}});
    }
    out["operations"] = rows;
    return out;
}

/// The load tables: end to end, handshakes, memory.
void printLoad(Json& load) {
    std::printf("\n== Key retrieval end to end over loopback TLS ==\n");
    std::printf("%-26s %8s %8s %8s %10s %12s\n", "run", "p50_ms", "p99_ms", "srv_ms", "ops/s",
                "connections");
    for (const auto& run : load["latency"]) {
        std::printf("%-26s %8s %8s %8s %10s %12s\n", run["name"].get<std::string>().c_str(),
                    fixed(run["p50_ms"].get<double>(), 2).c_str(),
                    fixed(run["p99_ms"].get<double>(), 2).c_str(),
                    fixed(run["server_ms_p50"].get<double>(), 2).c_str(),
                    fixed(run["ops_per_s"].get<double>()).c_str(),
                    std::to_string(run["connections"].get<long>()).c_str());
    }
    const auto& t = load["targets"];
    std::printf("p50 ratio library/libcurl (1 thread): %s  (target <= 1.10)\n",
                fixed(t["p50_ratio_1_thread"].get<double>(), 2).c_str());
    auto spread = [&t](const char* name) {
        const std::string key = name;
        return fixed(t[key].get<double>(), 2) + " (" + fixed(t[key + "_min"].get<double>(), 2) +
               "-" + fixed(t[key + "_max"].get<double>(), 2) + ")";
    };
    std::printf(
        "throughput 8 threads / 1 thread, median (min-max) of %d rounds: %s  (target >= "
        "1.70; plain libcurl: %s)\n",
        t["rounds"].get<int>(), spread("scaling_8_over_1").c_str(),
        spread("libcurl_scaling_8_over_1").c_str());
    std::printf("the library's scaling / plain libcurl's, round by round, median (min-max): %s  "
                "(1.00: scales as plain libcurl does on this machine)\n",
                spread("scaling_over_libcurl_scaling").c_str());

    if (load.contains("queued_deadlines")) {
        const auto& q = load["queued_deadlines"];
        std::printf("\n== Deadlines of %d queued calls (%ld ms, 8 connections) ==\n",
                    q["calls"].get<int>(), q["deadline_ms"].get<long>());
        std::printf("deadline completions %zu (other outcomes %ld); late p50 %s ms, p99 %s ms, "
                    "max %s ms; more than 500 ms late: %ld\n",
                    q["deadline_completions"].get<std::size_t>(), q["other_outcomes"].get<long>(),
                    fixed(q["late_p50_ms"].get<double>(), 1).c_str(),
                    fixed(q["late_p99_ms"].get<double>(), 1).c_str(),
                    fixed(q["late_max_ms"].get<double>(), 1).c_str(),
                    q["over_500_ms_late"].get<long>());
    }
    std::printf("\n== Handshakes ==\n");
    for (const auto& [name, value] : load["handshakes"].items()) {
        std::printf("%-40s %s\n", name.c_str(), value.dump().c_str());
    }
    std::printf("\n== Memory ==\n");
    for (const auto& [name, value] : load["memory"].items()) {
        std::printf("%-40s %s\n", name.c_str(), value.dump().c_str());
    }
}

}  // namespace
}  // namespace tavi::bench

int main(int argc, char** argv) {
    using namespace tavi::bench;
    if (argc == 6 && std::string(argv[1]) == "--op-child") {
        return runOperationChild(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
    }
    if (argc == 8 && std::string(argv[1]) == "--scale-child") {
        return runScaleChild(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5], argv[6],
                             argv[7]);
    }
    if (argc == 8 && std::string(argv[1]) == "--scale-floor-child") {
        return runScaleFloorChild(std::atoi(argv[2]), std::atoi(argv[3]), argv[4], argv[5],
                                  argv[6], argv[7]);
    }
    if (argc == 8 && std::string(argv[1]) == "--steady-child") {
        return runSteadyChild(argv[2], std::atoi(argv[3]), argv[4], argv[5], argv[6], argv[7]);
    }
    std::string outPath = "bench-results.json";
    int heapOps = 10000;
    int inSituOps = 2000;
    int pauseSeconds = 30;
    std::string sections = "clients,load,insitu,instructions,operations,cold,delay,scale";
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--out" && i + 1 < argc) {
            outPath = argv[++i];
        } else if (arg == "--sections" && i + 1 < argc) {
            sections = argv[++i];
        } else if (arg == "--pause-seconds" && i + 1 < argc) {
            pauseSeconds = std::atoi(argv[++i]);
        } else if (arg == "--heap-ops" && i + 1 < argc) {
            heapOps = std::atoi(argv[++i]);
        } else if (arg == "--in-situ-ops" && i + 1 < argc) {
            inSituOps = std::atoi(argv[++i]);
        } else {
            rest.push_back(argv[i]);
        }
    }
    // Repetitions of different benchmarks run shuffled, so that drift on a shared machine
    // reaches the library and the plain-libcurl figures alike.
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    bool interleaveGiven = false;
    for (char* arg : rest) {
        interleaveGiven |= std::string(arg).rfind("--benchmark_enable_random_interleaving", 0) == 0;
    }
    if (!interleaveGiven) rest.push_back(interleave.data());
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    namespace fs = std::filesystem;
    char dirTemplate[] = "/tmp/tavi-bench-XXXXXX";
    if (::mkdtemp(dirTemplate) == nullptr) return 1;
    const std::string workDir = dirTemplate;

    tavi::sandbox::Options options;
    options.tls = true;
    options.fixedTransactionKeys = true;
    // Connections stay open between a child's operations even when valgrind slows it down a
    // hundredfold: a reconnection in one of the two runs whose difference is taken would count a
    // whole TLS handshake against (or for) the operation.
    options.keepAliveSeconds = 60;
    options.stateDir = workDir + "/sandbox";
    int status = 1;
    {
        tavi::sandbox::Server server(options);
        if (!server.start()) {
            std::fprintf(stderr, "sandbox: %s\n", server.lastError().c_str());
            return 1;
        }
        Env env;
        env.server = &server;
        env.url = server.url();
        env.caFile = server.caFile();
        env.storePath = workDir + "/store.db";
        env.serverKey = server.serverPublicKey();
        auto wanted = [&sections](const char* name) {
            return ("," + sections + ",").find(std::string(",") + name + ",") != std::string::npos;
        };
        if (setUp(env, env.storePath)) {
            Figures figures;
            auto ops = operations();
            captureRequests(env, ops);
            if (wanted("clients")) {
                registerFloorBenchmarks();
                registerOperationBenchmarks(env, ops);
                Collector collector(figures);
                benchmark::RunSpecifiedBenchmarks(&collector);
            }
            benchmark::Shutdown();

            Json load =
                wanted("load") ? runLoad(env, TAVI_CLI_PATH, workDir, heapOps) : Json::object();
            Json results = summarise(figures, ops);
            if (!load.empty()) {
                printLoad(load);
                results["load"] = load;
            }
            if (wanted("insitu")) results["in_situ"] = runInSitu(env, inSituOps);
            if (wanted("instructions")) {
                const Paths paths{TAVI_CLI_PATH, TAVI_FLOOR_PATH, selfPath(argv[0])};
                results["instructions"] = runInstructions(env, paths, workDir);
            }
            if (wanted("operations")) {
                const Paths paths{TAVI_CLI_PATH, TAVI_FLOOR_PATH, selfPath(argv[0])};
                results["operations_instructions"] = runOperationTable(env, paths, workDir);
            }
            if (wanted("cold")) results["cold"] = runCold(env, workDir);
            if (wanted("delay")) results["delay"] = runDelay(env, workDir, pauseSeconds);
            if (wanted("scale")) results["scale"] = runScale(env, selfPath(argv[0]), workDir);
            std::ofstream(outPath) << results.dump(2) << "\n";
            std::printf("\nresults written to %s\n", outPath.c_str());
            status = 0;
        }
        server.stop();
    }
    std::error_code ec;
    fs::remove_all(workDir, ec);
    return status;
}
