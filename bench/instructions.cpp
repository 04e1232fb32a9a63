// Instruction counts (callgrind) and allocation counts (memcheck) of whole processes, beside
// their floors: a cold CLI key retrieval next to the minimal C program doing the same exchange, a
// plain-HTTP OTP status poll next to curl's GET, and key retrieval in a long-running process (N
// operations minus the set-up) next to the C program's own loop. Counts do not move with the load
// of a shared machine; the wall times beside them are medians of several runs.
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <spawn.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <array>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "bench.hpp"
#include "tavi/tavi.hpp"

extern char** environ;

namespace tavi::bench {

namespace {

constexpr const char* kValgrind = "/usr/bin/valgrind";

struct Spawned {
    int exitCode = -1;
    double wallMs = 0;
};

/// Runs `args` with standard output to `out` and standard error to `err` (paths, /dev/null to
/// drop them) and waits for it.
Spawned spawn(const std::vector<std::string>& args, const std::string& out,
              const std::string& err) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    Spawned run;
    pid_t pid = -1;
    const double begin = wallNs();
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        if (waitpid(pid, &status, 0) == pid) {
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
    }
    run.wallMs = (wallNs() - begin) / 1e6;
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// The number after `label` in valgrind's log ("Collected : 123", "total heap usage: 1,234
/// allocs"), thousands separators dropped; -1 when absent.
double logNumber(const std::string& log, const std::string& label) {
    const auto at = log.rfind(label);
    if (at == std::string::npos) return -1;
    std::string digits;
    for (std::size_t i = at + label.size(); i < log.size(); ++i) {
        const char c = log[i];
        if (c >= '0' && c <= '9') {
            digits += c;
        } else if (c == ',' || (c == ' ' && digits.empty())) {
            continue;
        } else {
            break;
        }
    }
    return digits.empty() ? -1 : std::strtod(digits.c_str(), nullptr);
}

/// Instructions a whole process executes (callgrind); -1 when it failed. With
/// TAVI_BENCH_PROFILES=DIR, each run's profile is kept there (callgrind_annotate reads it).
double instructions(const std::vector<std::string>& args, const std::string& workDir) {
    const std::string log = workDir + "/callgrind.log";
    static int runs = 0;
    const char* keep = std::getenv("TAVI_BENCH_PROFILES");
    const std::string profile =
        keep != nullptr ? std::string(keep) + "/" + std::to_string(++runs) + ".callgrind" : "/dev/null";
    if (keep != nullptr) {
        std::string line;
        for (std::size_t i = 1; i < args.size() && i < 5; ++i) line += " " + args[i];
        std::fprintf(stderr, "instructions: profile %s:%s\n", profile.c_str(), line.c_str());
    }
    std::vector<std::string> command{kValgrind, "--tool=callgrind",
                                     "--callgrind-out-file=" + profile, "--log-file=" + log};
    command.insert(command.end(), args.begin(), args.end());
    const auto run = spawn(command, "/dev/null", "/dev/null");
    if (run.exitCode != 0) return -1;
    return logNumber(slurp(log), "Collected :");
}

/// Heap blocks a whole process allocates (memcheck's total); -1 when it failed.
double allocations(const std::vector<std::string>& args, const std::string& workDir) {
    const std::string log = workDir + "/memcheck.log";
    std::vector<std::string> command{kValgrind, "--tool=memcheck", "--leak-check=no",
                                     "--log-file=" + log};
    command.insert(command.end(), args.begin(), args.end());
    const auto run = spawn(command, "/dev/null", "/dev/null");
    if (run.exitCode != 0) return -1;
    return logNumber(slurp(log), "total heap usage:");
}

struct Timing {
    double medianMs = 0;
    double minMs = 0;
    double maxMs = 0;
    int failures = 0;
};

Timing summarise(std::vector<double> ms, int failures) {
    Timing t;
    t.failures = failures;
    if (ms.empty()) return t;
    std::sort(ms.begin(), ms.end());
    t.medianMs = ms[ms.size() / 2];
    t.minMs = ms.front();
    t.maxMs = ms.back();
    return t;
}

/// Wall times of `runs` runs of each command, the commands taking turns.
std::vector<Timing> wallTimes(const std::vector<std::vector<std::string>>& commands, int runs) {
    std::vector<std::vector<double>> ms(commands.size());
    std::vector<int> failures(commands.size(), 0);
    for (int r = 0; r < runs; ++r) {
        for (std::size_t c = 0; c < commands.size(); ++c) {
            const auto run = spawn(commands[c], "/dev/null", "/dev/null");
            if (run.exitCode != 0) {
                ++failures[c];
            } else {
                ms[c].push_back(run.wallMs);
            }
        }
    }
    std::vector<Timing> out;
    for (std::size_t c = 0; c < commands.size(); ++c) out.push_back(summarise(ms[c], failures[c]));
    return out;
}

std::string millions(double n) {
    char text[32];
    std::snprintf(text, sizeof text, n < 0 ? "failed" : "%.1f M", n / 1e6);
    return text;
}

std::string thousands(double n) {
    char text[32];
    std::snprintf(text, sizeof text, n < 0 ? "failed" : "%.0f K", n / 1e3);
    return text;
}

std::string whole(double n) {
    return n < 0 ? std::string("failed") : std::to_string(static_cast<long>(n + 0.5));
}

std::string ratio(double a, double b) {
    char text[32];
    std::snprintf(text, sizeof text, a < 0 || b <= 0 ? "-" : "%.2f", a / b);
    return text;
}

std::string timing(const Timing& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f ms (%.1f-%.1f)", t.medianMs, t.minMs, t.maxMs);
    return text;
}

Json timingJson(const Timing& t) {
    return {{"median_ms", t.medianMs},
            {"min_ms", t.minMs},
            {"max_ms", t.maxMs},
            {"failures", t.failures}};
}

void printRow(const char* figure, const std::string& tavi, const std::string& floor,
              const std::string& r, const char* target) {
    std::printf("%-44s %22s %22s %7s %8s\n", figure, tavi.c_str(), floor.c_str(), r.c_str(),
                target);
}

/// The JSON file a child reads its set-up from.
std::string childSetUpPath(const std::string& workDir) {
    return workDir + "/child.json";
}

std::string replayPath(const std::string& workDir, const std::string& operation) {
    return workDir + "/replay-" + operation + ".json";
}

}  // namespace

Json sentHeaderLines(const sandbox::RecordedRequest& request) {
    Json lines = Json::array();
    for (const auto& [name, value] : request.headers) {
        if (strcasecmp(name.c_str(), "Host") == 0 ||
            strcasecmp(name.c_str(), "Content-Length") == 0) {
            continue;
        }
        lines.push_back(name + ": " + value);
    }
    return lines;
}

HeaderList replayHeaderList(const Json& lines) {
    HeaderList list;
    auto append = [&list](const char* line) {
        curl_slist* longer = curl_slist_append(list.get(), line);
        if (longer == nullptr) return false;
        (void)list.release();
        list.reset(longer);
        return true;
    };
    if (!append("Accept:") || !append("Expect:")) return nullptr;
    for (const auto& line : lines) {
        if (!append(line.get<std::string>().c_str())) return nullptr;
    }
    return list;
}

/// Every operation beside its floor, in instructions and allocations per operation: the
/// difference of two long-running child processes (N1 and N2 operations), so that process
/// start, the store's opening and the first connection cancel out. The floor child replays the
/// requests the library child sent last, so that the server answers both alike.
Json runOperationTable(Env& env, const Paths& paths, const std::string& workDir) {
    if (!valgrindAvailable()) {
        std::printf("\n== Every operation beside its floor: skipped (%s is not installed) ==\n",
                    kValgrind);
        return Json::array();
    }
    std::fprintf(stderr, "instructions: every operation beside its floor...\n");
    std::ofstream(childSetUpPath(workDir))
        << Json{{"url", env.url},
                {"ca_file", env.caFile},
                {"store", env.storePath},
                {"registration_store", workDir + "/op-registration-store.db"},
                {"server_key", env.serverKey},
                {"txn_id", env.txnId},
                {"mobile", env.mobile}}
               .dump();
    auto child = [&](const char* mode, const std::string& op) {
        return [&paths, &workDir, mode, op](int n) {
            return std::vector<std::string>{paths.bench, "--op-child", mode, op,
                                            std::to_string(n), workDir};
        };
    };
    // Each store is opened once before the counted runs, so that both counted children find it
    // sealed and in the same state: the first child to open a store seals it (its key made, every
    // value sealed), and a fresh registration store is made by the first registration; either
    // falling in N1's count and not N2's was counted against the operation.
    for (const char* op : {"registration_check", "registration"}) {
        (void)spawn(child("library", op)(1), "/dev/null", "/dev/null");
    }
    constexpr int kN1 = 5;
    constexpr int kN2 = 25;
    // A child's count, taken again (at most twice more) when its requests did not all come over
    // one connection: a second handshake in one run would be counted as the operations' cost.
    auto oneConnection = [&](auto measure, const std::vector<std::string>& command) {
        double count = -1;
        for (int run = 0; run < 3; ++run) {
            env.server->clearRequests();
            count = measure(command, workDir);
            std::set<int> ports;
            for (const auto& request : env.server->requests()) ports.insert(request.remotePort);
            if (count < 0 || ports.size() == 1) return count;
            std::fprintf(stderr, "instructions: %zu connections in one child; measuring again\n",
                         ports.size());
        }
        return -1.0;
    };
    auto perOp = [&](auto measure, auto command) {
        const double a = oneConnection(measure, command(kN1));
        const double b = oneConnection(measure, command(kN2));
        return a < 0 || b < 0 ? -1.0 : (b - a) / (kN2 - kN1);
    };

    std::printf("\n== Every operation beside its floor (callgrind, memcheck; per operation) ==\n");
    std::printf("%-22s %10s %10s %7s %8s %8s %8s %7s %8s\n", "operation", "tavi", "floor", "ratio",
                "target", "allocs", "floor", "ratio", "target");
    Json rows = Json::array();
    for (const auto& op : operations()) {
        const double libIr = perOp(instructions, child("library", op.name));
        // The requests of the library's last run, as the server received them.
        const auto seen = env.server->requests();
        Json replay = Json::array();
        const std::size_t first =
            seen.size() >= static_cast<std::size_t>(op.requests) ? seen.size() - op.requests : 0;
        for (std::size_t i = first; i < seen.size(); ++i) {
            replay.push_back({{"target", seen[i].target},
                              {"method", seen[i].method},
                              {"headers", sentHeaderLines(seen[i])},
                              {"body", seen[i].method == "GET" ? std::string() : seen[i].body}});
        }
        std::ofstream(replayPath(workDir, op.name)) << replay.dump();
        const double floorIr =
            seen.empty() ? -1.0 : perOp(instructions, child("floor", op.name));
        const double libAllocs = perOp(allocations, child("library", op.name));
        const double floorAllocs =
            seen.empty() ? -1.0 : perOp(allocations, child("floor", op.name));
        std::printf("%-22s %10s %10s %7s %8s %8s %8s %7s %8s\n", op.name.c_str(),
                    thousands(libIr).c_str(), thousands(floorIr).c_str(),
                    ratio(libIr, floorIr).c_str(), "<= 1.10", whole(libAllocs).c_str(),
                    whole(floorAllocs).c_str(), ratio(libAllocs, floorAllocs).c_str(), "<= 1.30");
        std::fflush(stdout);
        rows.push_back({{"operation", op.name},
                        {"instructions_per_op", libIr},
                        {"floor_instructions_per_op", floorIr},
                        {"ratio", floorIr > 0 ? libIr / floorIr : 0},
                        {"allocations_per_op", libAllocs},
                        {"floor_allocations_per_op", floorAllocs},
                        {"allocation_ratio", floorAllocs > 0 ? libAllocs / floorAllocs : 0}});
    }
    std::printf(
        "Per operation: (count(%d operations) - count(%d)) / %d, one process each. Floor: the "
        "operation's RSA and AES operations through OpenSSL, then plain libcurl replaying the "
        "library's requests on one kept connection.\n",
        kN2, kN1, kN2 - kN1);
    env.server->clearRequests();
    return rows;
}

bool valgrindAvailable() {
    return ::access(kValgrind, X_OK) == 0;
}

Json runInstructions(Env& env, const Paths& paths, const std::string& workDir) {
    Json out = Json::object();
    if (!valgrindAvailable()) {
        std::printf("\n== Instructions: skipped (%s is not installed) ==\n", kValgrind);
        out["skipped"] = "valgrind is not installed";
        return out;
    }
    std::fprintf(stderr, "instructions: cold processes...\n");

    // A store registered by the CLI itself, as a user's would be.
    const std::string store = workDir + "/cold-store.db";
    const std::string txnId = "TXN-COLD";
    // Kept in clear (--store-protection none): the floor client reads the session's items
    // directly with SQLite and has no key to open a sealed store with.
    const std::vector<std::string> common{paths.cli, "--server", env.url, "--ca-file",
                                          env.caFile, "--store", store, "--store-protection",
                                          "none", "--quiet"};
    auto cli = [&](std::vector<std::string> more) {
        auto args = common;
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const auto registered =
        spawn(cli({"register", "--session-key", env.server->serverPublicKey(), "--mobile",
                   "+15550177", "--txn-id", "REG-COLD", "--app-id", "com.example.wallet"}),
              "/dev/null", "/dev/null");
    if (registered.exitCode != 0) {
        std::printf("\n== Instructions: skipped (the CLI could not register a device) ==\n");
        out["skipped"] = "registration failed";
        return out;
    }
    const auto keysCommand =
        cli({"retrieve-keys", "--msg-id", "MSG-COLD", "--transaction-type", "FINANCIAL_TXN",
             "--txn-id", txnId, "--bic", "BANKXX01", "--instrument-type", "ACCOUNT"});
    auto floorCommand = [&](int count) {
        return std::vector<std::string>{paths.floor, env.url, env.caFile,
                                        store,       txnId,   std::to_string(count)};
    };

    // Plain HTTP: a sandbox without TLS, the CLI's status poll and curl's GET of the same target.
    sandbox::Options plainOptions;
    plainOptions.stateDir = workDir + "/plain-sandbox";
    sandbox::Server plain(plainOptions);
    const bool plainUp = plain.start();
    std::vector<std::string> statusCommand{paths.cli, "--server",   plain.url(), "--store",   store,
                                           "--store-protection", "none", "--quiet", "otp-status", "--txn-id",  "DEMO-TXN-1"};
    std::vector<std::string> curlCommand;
    if (plainUp && spawn(statusCommand, "/dev/null", "/dev/null").exitCode == 0 &&
        !plain.requests().empty()) {
        curlCommand = {"/usr/bin/curl", "-s", "-o", "/dev/null",
                       plain.url() + plain.requests().back().target};
    }
    const bool curlUp = !curlCommand.empty() && ::access(curlCommand[0].c_str(), X_OK) == 0;
    // The same poll over HTTPS, against the TLS sandbox, and curl's GET verified with the same CA.
    std::vector<std::string> statusTlsCommand{paths.cli, "--server", env.url,      "--ca-file",
                                              env.caFile, "--store", store,        "--store-protection",
                                              "none", "--quiet", "otp-status", "--txn-id", "DEMO-TXN-1"};
    std::vector<std::string> curlTlsCommand;
    env.server->clearRequests();
    if (curlUp && spawn(statusTlsCommand, "/dev/null", "/dev/null").exitCode == 0 &&
        !env.server->requests().empty()) {
        curlTlsCommand = {"/usr/bin/curl", "-s",       "-o",
                          "/dev/null",     "--cacert", env.caFile,
                          env.url + env.server->requests().back().target};
    }
    const bool curlTlsUp = !curlTlsCommand.empty();

    const double cliIr = instructions(keysCommand, workDir);
    const double floorIr = instructions(floorCommand(1), workDir);
    const double statusIr = curlUp ? instructions(statusCommand, workDir) : -1;
    const double curlIr = curlUp ? instructions(curlCommand, workDir) : -1;
    const double statusTlsIr = curlTlsUp ? instructions(statusTlsCommand, workDir) : -1;
    const double curlTlsIr = curlTlsUp ? instructions(curlTlsCommand, workDir) : -1;
    std::vector<std::vector<std::string>> timed{keysCommand, floorCommand(1)};
    if (curlUp) {
        timed.push_back(statusCommand);
        timed.push_back(curlCommand);
    }
    if (curlTlsUp) {
        timed.push_back(statusTlsCommand);
        timed.push_back(curlTlsCommand);
    }
    constexpr int kRuns = 7;
    const auto times = wallTimes(timed, kRuns);

    std::fprintf(stderr, "instructions: steady state...\n");
    // Long-running processes: N1 and N2 key retrievals; the difference is N2 - N1 operations
    // without the set-up (process start, store, first connection).
    constexpr int kN1 = 10;
    constexpr int kN2 = 60;
    auto child = [&](const char* mode, int n) {
        return std::vector<std::string>{paths.bench, "--steady-child", mode,  std::to_string(n),
                                        env.url,     env.caFile,       store, txnId};
    };
    auto perOp = [&](auto measure, auto command) {
        const double a = measure(command(kN1), workDir);
        const double b = measure(command(kN2), workDir);
        return a < 0 || b < 0 ? -1.0 : (b - a) / (kN2 - kN1);
    };
    // The floor first: it reads the session in clear, and the library's children open the store
    // as a host does (sealing it, under the default protection). One of them seals it before
    // the counted runs, so that the sealing is in neither N1's count nor N2's.
    const double floorOpIr = perOp(instructions, floorCommand);
    const double floorAllocs = perOp(allocations, floorCommand);
    (void)spawn(child("library", 1), "/dev/null", "/dev/null");
    const double libIr = perOp(instructions, [&](int n) { return child("library", n); });
    const double logIr = perOp(instructions, [&](int n) { return child("logging", n); });
    const double hookIr = perOp(instructions, [&](int n) { return child("trace-hook", n); });
    const double libAllocs = perOp(allocations, [&](int n) { return child("library", n); });

    std::printf("\n== Instructions (callgrind) and allocations (memcheck) ==\n");
    std::printf("%-44s %22s %22s %7s %8s\n", "figure", "tavi", "floor", "ratio", "target");
    printRow("CLI retrieve-keys over HTTPS, whole process", millions(cliIr),
             millions(floorIr) + " (C)", ratio(cliIr, floorIr), "<= 1.10");
    printRow("  wall time, median (min-max)", timing(times[0]), timing(times[1]),
             ratio(times[0].medianMs, times[1].medianMs), "");
    if (curlUp) {
        printRow("CLI otp-status over HTTP, whole process", millions(statusIr),
                 millions(curlIr) + " (curl)", ratio(statusIr, curlIr), "<= 1.25");
        printRow("  wall time, median (min-max)", timing(times[2]), timing(times[3]),
                 ratio(times[2].medianMs, times[3].medianMs), "");
    } else {
        std::printf("CLI otp-status over HTTP: skipped (no plain sandbox or no /usr/bin/curl)\n");
    }
    const std::size_t tlsAt = curlUp ? 4 : 2;
    if (curlTlsUp) {
        printRow("CLI otp-status over HTTPS, whole process", millions(statusTlsIr),
                 millions(curlTlsIr) + " (curl)", ratio(statusTlsIr, curlTlsIr), "<= 1.15");
        printRow("  wall time, median (min-max)", timing(times[tlsAt]), timing(times[tlsAt + 1]),
                 ratio(times[tlsAt].medianMs, times[tlsAt + 1].medianMs), "");
    } else {
        std::printf("CLI otp-status over HTTPS: skipped (the poll failed or no /usr/bin/curl)\n");
    }
    printRow("key retrieval, steady state, per operation", thousands(libIr),
             thousands(floorOpIr) + " (C)", ratio(libIr, floorOpIr), "<= 1.10");
    printRow("  allocations per operation", whole(libAllocs), whole(floorAllocs) + " (C)",
             ratio(libAllocs, floorAllocs), "<= 1.30");
    printRow("  with the default debug logging (stderr)", thousands(logIr),
             thousands(libIr) + " (off)", ratio(logIr, libIr), "");
    // No hook is the figure above (compare it with the previous release's); a hook that does
    // nothing costs what building and handing over the events costs.
    printRow("  with a trace hook that does nothing", thousands(hookIr),
             thousands(libIr) + " (none)", ratio(hookIr, libIr), "<= 1.03");
    std::printf("Steady state: (count(%d operations) - count(%d)) / %d, one process each.\n", kN2,
                kN1, kN2 - kN1);

    out["cli_retrieve_keys"] = {{"instructions", cliIr},
                                {"floor_instructions", floorIr},
                                {"ratio", floorIr > 0 ? cliIr / floorIr : 0},
                                {"wall", timingJson(times[0])},
                                {"floor_wall", timingJson(times[1])}};
    if (curlUp) {
        out["cli_otp_status"] = {{"instructions", statusIr},
                                 {"curl_instructions", curlIr},
                                 {"ratio", curlIr > 0 ? statusIr / curlIr : 0},
                                 {"wall", timingJson(times[2])},
                                 {"curl_wall", timingJson(times[3])}};
    }
    if (curlTlsUp) {
        out["cli_otp_status_https"] = {{"instructions", statusTlsIr},
                                       {"curl_instructions", curlTlsIr},
                                       {"ratio", curlTlsIr > 0 ? statusTlsIr / curlTlsIr : 0},
                                       {"wall", timingJson(times[tlsAt])},
                                       {"curl_wall", timingJson(times[tlsAt + 1])}};
    }
    out["steady_key_retrieval"] = {
        {"instructions_per_op", libIr},
        {"floor_instructions_per_op", floorOpIr},
        {"ratio", floorOpIr > 0 ? libIr / floorOpIr : 0},
        {"allocations_per_op", libAllocs},
        {"floor_allocations_per_op", floorAllocs},
        {"allocation_ratio", floorAllocs > 0 ? libAllocs / floorAllocs : 0},
        {"debug_logging_instructions_per_op", logIr},
        {"trace_hook_instructions_per_op", hookIr},
        {"operations", kN2 - kN1}};
    plain.stop();
    return out;
}

int runSteadyChild(const std::string& mode, int count, const std::string& url,
                   const std::string& caFile, const std::string& storePath,
                   const std::string& txnId) {
    auto& config = AppConstantTAVI::shared();
    config.serverURL = url;
    config.caFile = caFile;
    config.timeoutMilliseconds = 60000;  // valgrind slows everything down
    config.maxRetries = 0;               // a request sent twice would be counted as one operation
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    if (mode != "logging") {
        config.diagnosticsSink = nullptr;
        config.logLevel = LogLevel::off;
    }  // else: the defaults, debug lines to standard error
    if (mode == "trace-hook") config.traceHook = [](const TraceEvent&) {};
    // The store's protection as the host sets it (TAVI_STORE_PROTECTION=none measures the
    // sealing's share).
    StoreOptions storeOptions;
    if (const char* protection = std::getenv("TAVI_STORE_PROTECTION")) {
        storeOptions.protection = protection;
    }
    auto store = openSqliteSecureStore(storePath, storeOptions);
    if (!store) return 1;
    KeychainManager::setStore(store.value());
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        bool ok = false;
        TaviApiService::shared().createRetrieveKeysRequest(
            "MSG-STEADY", "FINANCIAL_TXN", txnId, "BANKXX01", "ACCOUNT",
            [&](const std::string&, const std::string&, const std::string&, const std::string&,
                const std::string&) { ok = true; },
            [](const Error&) {});
        if (!ok) ++failures;
    }
    return failures == 0 ? 0 : 1;
}


namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

/// The sandbox's public key (standard base64 of its DER form).
std::unique_ptr<EVP_PKEY, PkeyFree> parsePublicKey(const std::string& text) {
    std::vector<unsigned char> der(text.size());
    const int length = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    if (length <= 0) return nullptr;
    const unsigned char* at = der.data();
    // EVP_DecodeBlock counts the padding's zero bytes; the DER form ignores what follows it.
    return std::unique_ptr<EVP_PKEY, PkeyFree>(d2i_PUBKEY(nullptr, &at, length));
}

/// One RSA-2048 PKCS#1 v1.5 public encryption of a short value (a key, a sealed value).
bool publicEncrypt(EVP_PKEY* key, std::size_t length) {
    std::array<unsigned char, 64> in{};
    std::array<unsigned char, 512> out{};
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    std::size_t outLength = out.size();
    return ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
           EVP_PKEY_encrypt(ctx.get(), out.data(), &outLength, in.data(), length) == 1;
}

/// One raw public recovery of a whole block (an answer's key).
bool publicRecover(EVP_PKEY* key) {
    std::array<unsigned char, 256> block{};
    block.fill(0x5a);
    block[0] = 0;  // below the modulus
    std::array<unsigned char, 512> out{};
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
    std::size_t outLength = out.size();
    return ctx && EVP_PKEY_verify_recover_init(ctx.get()) == 1 &&
           EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
           EVP_PKEY_verify_recover(ctx.get(), out.data(), &outLength, block.data(),
                                   block.size()) == 1;
}

/// AES-256-CTR over a 1 KiB payload.
bool aesPass() {
    std::array<unsigned char, 32> key{};
    std::array<unsigned char, 16> iv{};
    std::array<unsigned char, 1024> in{};
    std::array<unsigned char, 1024 + 16> out{};
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    int length = 0;
    return ctx &&
           EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, key.data(), iv.data()) == 1 &&
           EVP_EncryptUpdate(ctx.get(), out.data(), &length, in.data(),
                             static_cast<int>(in.size())) == 1 &&
           EVP_EncryptFinal_ex(ctx.get(), out.data() + length, &length) == 1;
}


/// One request of the library's, to send again as it was sent.
struct Replayed {
    std::string url;
    bool get = false;
    std::string body;
    HeaderList headers;
};

std::size_t keepBody(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

/// Plain libcurl on one kept, verified connection: the request line, header lines and body the
/// library sent, and the answer kept in memory as a client must keep it to read it.
bool replay(CURL* easy, const std::string& caFile, const Replayed& request, std::string& answer) {
    answer.clear();
    curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &keepBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.headers.get());
    if (request.get) {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    } else {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.body.size()));
    }
    long status = 0;
    return curl_easy_perform(easy) == CURLE_OK &&
           curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status > 0;
}

int runFloor(const Operation& op, int count, const Json& setUp, const std::string& workDir) {
    const auto key = parsePublicKey(setUp.at("server_key").get<std::string>());
    const Json recorded = Json::parse(slurp(replayPath(workDir, op.name)), nullptr, false);
    if (!key || !recorded.is_array() || recorded.empty()) return 1;
    std::vector<Replayed> requests;
    const std::string url = setUp.at("url").get<std::string>();
    for (const auto& r : recorded) {
        Replayed request;
        request.url = url + r.at("target").get<std::string>();
        request.get = r.at("method").get<std::string>() == "GET";
        request.body = r.at("body").get<std::string>();
        request.headers = replayHeaderList(r.at("headers"));
        if (!request.headers) return 1;
        requests.push_back(std::move(request));
    }
    const std::string caFile = setUp.at("ca_file").get<std::string>();
    const std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
    if (!easy) return 1;
    std::string answer;
    for (const auto& request : requests) {
        if (!replay(easy.get(), caFile, request, answer)) return 1;  // the connection opened
    }
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        bool ok = true;
        for (int n = 0; n < op.wraps; ++n) ok &= publicEncrypt(key.get(), 32);
        for (int n = 0; n < op.seals; ++n) ok &= publicEncrypt(key.get(), 40);
        for (int n = 0; n < op.unwraps; ++n) ok &= publicRecover(key.get());
        for (int n = 0; n < op.aes; ++n) ok &= aesPass();
        for (const auto& request : requests) ok &= replay(easy.get(), caFile, request, answer);
        if (!ok) ++failures;
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int runOperationChild(const std::string& mode, const std::string& operation, int count,
                      const std::string& workDir) {
    const Json setUp = Json::parse(slurp(childSetUpPath(workDir)), nullptr, false);
    if (!setUp.is_object()) return 1;
    const auto ops = operations();
    const auto op = std::find_if(ops.begin(), ops.end(),
                                 [&](const Operation& o) { return o.name == operation; });
    if (op == ops.end()) return 1;
    if (mode == "floor") return runFloor(*op, count, setUp, workDir);

    Env env;
    env.url = setUp.at("url").get<std::string>();
    env.caFile = setUp.at("ca_file").get<std::string>();
    env.serverKey = setUp.at("server_key").get<std::string>();
    env.txnId = setUp.at("txn_id").get<std::string>();
    env.mobile = setUp.at("mobile").get<std::string>();
    env.storePath = setUp.at(op->inProcess ? "store" : "registration_store").get<std::string>();
    auto& config = AppConstantTAVI::shared();
    config.serverURL = env.url;
    config.caFile = env.caFile;
    config.timeoutMilliseconds = 60000;  // valgrind slows everything down
    config.maxRetries = 0;               // a request sent twice would be counted as one operation
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    config.diagnosticsSink = nullptr;
    config.logLevel = LogLevel::off;
    auto store = openSqliteSecureStore(env.storePath);
    if (!store) return 1;
    KeychainManager::setStore(store.value());
    if (op->inProcess) {
        // The transaction's keys, as the host has them from its key retrieval.
        bool opened = false;
        TaviApiService::shared().createRetrieveKeysRequest(
            "MSG-CHILD", "FINANCIAL_TXN", env.txnId, "BANKXX01", "ACCOUNT",
            [&](const std::string& bankKi, const std::string& publicKey,
                const std::string& sessionKey, const std::string&, const std::string&) {
                env.bankKi = bankKi;
                env.publicKey = publicKey;
                env.sessionKey = sessionKey;
                opened = true;
            },
            [](const Error&) {});
        if (!opened) return 1;
    }
    if (op->prepare) op->prepare(env);
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (!op->run(env)) ++failures;
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace tavi::bench
