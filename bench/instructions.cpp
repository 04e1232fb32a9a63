// Instruction counts (callgrind) and allocation counts (memcheck) of whole processes, beside
// their floors: a cold CLI key retrieval next to the minimal C program doing the same exchange, a
// plain-HTTP OTP status poll next to curl's GET, and key retrieval in a long-running process (N
// operations minus the set-up) next to the C program's own loop. Counts do not move with the load
// of a shared machine; the wall times beside them are medians of several runs.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

/// Instructions a whole process executes (callgrind); -1 when it failed.
double instructions(const std::vector<std::string>& args, const std::string& workDir) {
    const std::string log = workDir + "/callgrind.log";
    std::vector<std::string> command{kValgrind, "--tool=callgrind",
                                     "--callgrind-out-file=/dev/null", "--log-file=" + log};
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

}  // namespace

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
    const std::vector<std::string> common{paths.cli,  "--server", env.url, "--ca-file",
                                          env.caFile, "--store",  store,   "--quiet"};
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
                                           "--quiet", "otp-status", "--txn-id",  "DEMO-TXN-1"};
    std::vector<std::string> curlCommand;
    if (plainUp && spawn(statusCommand, "/dev/null", "/dev/null").exitCode == 0 &&
        !plain.requests().empty()) {
        curlCommand = {"/usr/bin/curl", "-s", "-o", "/dev/null",
                       plain.url() + plain.requests().back().target};
    }
    const bool curlUp = !curlCommand.empty() && ::access(curlCommand[0].c_str(), X_OK) == 0;

    const double cliIr = instructions(keysCommand, workDir);
    const double floorIr = instructions(floorCommand(1), workDir);
    const double statusIr = curlUp ? instructions(statusCommand, workDir) : -1;
    const double curlIr = curlUp ? instructions(curlCommand, workDir) : -1;
    std::vector<std::vector<std::string>> timed{keysCommand, floorCommand(1)};
    if (curlUp) {
        timed.push_back(statusCommand);
        timed.push_back(curlCommand);
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
    const double libIr = perOp(instructions, [&](int n) { return child("library", n); });
    const double logIr = perOp(instructions, [&](int n) { return child("logging", n); });
    const double floorOpIr = perOp(instructions, floorCommand);
    const double libAllocs = perOp(allocations, [&](int n) { return child("library", n); });
    const double floorAllocs = perOp(allocations, floorCommand);

    std::printf("\n== Instructions (callgrind) and allocations (memcheck) ==\n");
    std::printf("%-44s %22s %22s %7s %8s\n", "figure", "tavi", "floor", "ratio", "target");
    printRow("CLI retrieve-keys over HTTPS, whole process", millions(cliIr),
             millions(floorIr) + " (C)", ratio(cliIr, floorIr), "<= 1.30");
    printRow("  wall time, median (min-max)", timing(times[0]), timing(times[1]),
             ratio(times[0].medianMs, times[1].medianMs), "");
    if (curlUp) {
        printRow("CLI otp-status over HTTP, whole process", millions(statusIr),
                 millions(curlIr) + " (curl)", ratio(statusIr, curlIr), "<= 1.50");
        printRow("  wall time, median (min-max)", timing(times[2]), timing(times[3]),
                 ratio(times[2].medianMs, times[3].medianMs), "");
    } else {
        std::printf("CLI otp-status over HTTP: skipped (no plain sandbox or no /usr/bin/curl)\n");
    }
    printRow("key retrieval, steady state, per operation", thousands(libIr),
             thousands(floorOpIr) + " (C)", ratio(libIr, floorOpIr), "<= 1.30");
    printRow("  allocations per operation", whole(libAllocs), whole(floorAllocs) + " (C)",
             ratio(libAllocs, floorAllocs), "<= 3.00");
    printRow("  with the default debug logging (stderr)", thousands(logIr),
             thousands(libIr) + " (off)", ratio(logIr, libIr), "");
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
    out["steady_key_retrieval"] = {
        {"instructions_per_op", libIr},
        {"floor_instructions_per_op", floorOpIr},
        {"ratio", floorOpIr > 0 ? libIr / floorOpIr : 0},
        {"allocations_per_op", libAllocs},
        {"floor_allocations_per_op", floorAllocs},
        {"allocation_ratio", floorAllocs > 0 ? libAllocs / floorAllocs : 0},
        {"debug_logging_instructions_per_op", logIr},
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
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    if (mode != "logging") {
        config.diagnosticsSink = nullptr;
        config.logLevel = LogLevel::off;
    }  // else: the defaults, debug lines to standard error
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

}  // namespace tavi::bench
