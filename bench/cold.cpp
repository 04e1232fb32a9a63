// Cold initialisation: the instructions a fresh process executes from its first call to the first
// byte it puts on the wire (the TLS hello of the key retrieval's connection), the library's
// (through libtavi.so, as a host links it) beside the C floor client's (floor_client.c) doing the
// same exchange. Each runs under callgrind: the count starts as main is entered and is dumped as
// the first byte leaves for a TCP socket.
//
// One file, three parts, chosen by what the build defines:
//   TAVI_COLD_WIRE   the probe linked into both measured programs: zeroes the counts before main
//                    and dumps them at the first send to a TCP socket (libcurl's send(), which
//                    these definitions interpose; its wake-up socket pair is not TCP and is left
//                    out);
//   TAVI_COLD_CHILD  tavi_cold's main: one key retrieval with a registered store;
//   neither          runCold, which runs both under callgrind and prints the row (tavi_bench).
#if defined(TAVI_COLD_WIRE)

#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <valgrind/callgrind.h>

#include <atomic>

namespace {

std::atomic<bool> dumped{false};

bool tcp(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return false;
    if (address.ss_family != AF_INET && address.ss_family != AF_INET6) return false;
    int type = 0;
    socklen_t typeSize = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeSize) == 0 && type == SOCK_STREAM;
}

void sending(int fd, std::size_t bytes) {
    if (bytes == 0 || dumped.load(std::memory_order_relaxed) || !tcp(fd)) return;
    if (!dumped.exchange(true)) {
        CALLGRIND_DUMP_STATS_AT("first byte on the wire");
        CALLGRIND_STOP_INSTRUMENTATION;
    }
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

__attribute__((constructor)) void zeroBeforeMain() {
    CALLGRIND_ZERO_STATS;
}

}  // namespace

extern "C" ssize_t send(int fd, const void* data, std::size_t size, int flags) {
    using Send = ssize_t (*)(int, const void*, std::size_t, int);
    static const Send real = next<Send>("send");
    sending(fd, size);
    return real(fd, data, size, flags);
}

extern "C" ssize_t sendto(int fd, const void* data, std::size_t size, int flags,
                          const sockaddr* to, socklen_t toSize) {
    using SendTo = ssize_t (*)(int, const void*, std::size_t, int, const sockaddr*, socklen_t);
    static const SendTo real = next<SendTo>("sendto");
    sending(fd, size);
    return real(fd, data, size, flags, to, toSize);
}

extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
    using SendMsg = ssize_t (*)(int, const msghdr*, int);
    static const SendMsg real = next<SendMsg>("sendmsg");
    std::size_t size = 0;
    for (std::size_t i = 0; message != nullptr && i < message->msg_iovlen; ++i) {
        size += message->msg_iov[i].iov_len;
    }
    sending(fd, size);
    return real(fd, message, flags);
}

#endif  // TAVI_COLD_WIRE

#if defined(TAVI_COLD_CHILD)

#include "tavi/tavi.hpp"

/// tavi_cold URL CA_FILE STORE TXN_ID: one key retrieval, as the first thing a host does; 0 when
/// it succeeded.
int main(int argc, char** argv) {
    if (argc != 5) return 2;
    using namespace tavi;
    auto& config = AppConstantTAVI::shared();
    config.serverURL = argv[1];
    config.caFile = argv[2];
    config.timeoutMilliseconds = 60000;  // valgrind slows everything down
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    config.diagnosticsSink = nullptr;
    config.logLevel = LogLevel::off;
    StoreOptions storeOptions;
    storeOptions.protection = "none";  // as the floor reads it
    auto store = openSqliteSecureStore(argv[3], storeOptions);
    if (!store) return 1;
    KeychainManager::setStore(store.value());
    bool ok = false;
    TaviApiService::shared().createRetrieveKeysRequest(
        "MSG-COLD", "FINANCIAL_TXN", argv[4], "BANKXX01", "ACCOUNT",
        [&](const std::string&, const std::string&, const std::string&, const std::string&,
            const std::string&) { ok = true; },
        [](const Error&) {});
    return ok ? 0 : 1;
}

#endif  // TAVI_COLD_CHILD

#if !defined(TAVI_COLD_WIRE) && !defined(TAVI_COLD_CHILD)

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "bench.hpp"

extern char** environ;

namespace tavi::bench {

namespace {

/// Runs `args` with its output dropped; its exit code, -1 when it did not exit.
int run(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int status = -1;
    const bool ran = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
                     waitpid(pid, &status, 0) == pid;
    posix_spawn_file_actions_destroy(&actions);
    return ran && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// The Ir total of callgrind's dump at the first byte on the wire; -1 when the program failed,
/// sent nothing over TCP, or ran without the probe.
double coldInstructions(const std::vector<std::string>& program, const std::string& workDir) {
    const std::string out = workDir + "/cold.callgrind";
    const std::string dump = out + ".1";
    std::remove(dump.c_str());
    std::vector<std::string> args{"/usr/bin/valgrind", "--tool=callgrind",
                                  "--callgrind-out-file=" + out,
                                  "--log-file=" + workDir + "/cold.log"};
    args.insert(args.end(), program.begin(), program.end());
    if (run(args) != 0) return -1;
    std::ifstream in(dump);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("totals:", 0) == 0) return std::strtod(line.c_str() + 7, nullptr);
    }
    return -1;
}

std::string millions(double n) {
    char text[32];
    std::snprintf(text, sizeof text, n < 0 ? "failed" : "%.2f M", n / 1e6);
    return text;
}

}  // namespace

Json runCold(Env& env, const std::string& workDir) {
    Json out = Json::object();
    if (!valgrindAvailable()) {
        std::printf("\n== Cold initialisation: skipped (valgrind is not installed) ==\n");
        out["skipped"] = "valgrind is not installed";
        return out;
    }
    std::fprintf(stderr, "cold initialisation...\n");
    // A device registered by the CLI into a store kept in clear, which the floor can read (it
    // does not open sealed values); tavi_cold opens it the same way.
    const std::string store = workDir + "/cold-init.db";
    if (run({TAVI_CLI_PATH, "--server", env.url, "--ca-file", env.caFile, "--store", store,
             "--store-protection", "none", "--quiet", "register", "--session-key",
             env.server->serverPublicKey(), "--mobile", "+15550178", "--txn-id", "REG-COLD-INIT",
             "--app-id", "com.example.wallet"}) != 0) {
        std::printf("\n== Cold initialisation: skipped (the CLI could not register a device) ==\n");
        out["skipped"] = "registration failed";
        return out;
    }
    const double floor = coldInstructions(
        {TAVI_COLD_FLOOR_PATH, env.url, env.caFile, store, env.txnId}, workDir);
    const double tavi = coldInstructions({TAVI_COLD_PATH, env.url, env.caFile, store, env.txnId},
                                         workDir);
    std::printf("\n== Cold initialisation (callgrind, main to the first byte on the wire) ==\n");
    std::printf("%-44s %22s %22s %7s\n", "figure", "tavi", "floor", "ratio");
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, tavi < 0 || floor <= 0 ? "-" : "%.2f", tavi / floor);
    std::printf("%-44s %22s %22s %7s\n", "key retrieval, first call to first byte",
                millions(tavi).c_str(), (millions(floor) + " (C)").c_str(), ratio);
    out["first_call_to_first_byte"] = {{"instructions", tavi},
                                       {"floor_instructions", floor},
                                       {"ratio", floor > 0 ? tavi / floor : 0}};
    return out;
}

}  // namespace tavi::bench

#endif
