// The journal of outcomes unknown under kill -9. A child process (this program again) runs
// state-changing operations against the sandbox, which the parent keeps and shapes with faults;
// the parent kills the child at random moments and starts it again on the same SQLite store.
// Afterwards: no msgId reached the server twice; every operation that ended with its request
// possibly received is in the journal, and none whose answer was handled is; at most one record
// per kill has no line in the child's log (the operation in flight when it died).
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/fixture.hpp"

namespace tavi {
namespace {

constexpr const char* kChildEnv = "TAVI_JOURNAL_CHILD";
constexpr const char* kTxnId = "JOURNAL-TXN-1";
constexpr const char* kBic = "DEMOBANK";

/// Operations in total across restarts: TAVI_JOURNAL_OPS, else 300 (a manual run takes 1000).
#ifdef TAVI_TEST_EMULATOR
// Under qemu-user the child starts and seals tens of times slower: it is given three times as
// long before each kill, and the loop stops after fewer operations (the run's time limit).
constexpr int kKillWindowScale = 3;
constexpr long kDefaultOperations = 60;
#else
constexpr int kKillWindowScale = 1;
constexpr long kDefaultOperations = 300;
#endif

long targetOperations() {
    const char* text = std::getenv("TAVI_JOURNAL_OPS");
    return text != nullptr ? std::max(10L, std::atol(text)) : kDefaultOperations;
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

StoreOptions storeOptions(const std::string& dir) {
    StoreOptions options;
    options.protection = "file";
    options.keyDirectory = dir + "/keys";
    return options;
}

/// The child: opens the store, then runs operations until killed or `TAVI_JOURNAL_N` are done,
/// appending "msgId delivery\n" for each one that ended (delivery: 0 unknown, 1 notSent, 2 may
/// have been received).
TEST(JournalChild, Run) {
    if (env(kChildEnv).empty()) GTEST_SKIP() << "runs only as the kill loop's child";
    const std::string dir = env(kChildEnv);
    auto store = openSqliteSecureStore(dir + "/store.db", storeOptions(dir));
    ASSERT_TRUE(store) << store.error().description();
    KeychainManager::setStore(store.value());
    auto& config = AppConstantTAVI::shared();
    config.serverURL = env("TAVI_JOURNAL_URL");
    config.timeoutMilliseconds = 2000;
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    config.diagnosticsSink = [](std::string_view) {};
    const std::string bankKi = env("TAVI_JOURNAL_KI"), publicKey = env("TAVI_JOURNAL_PUB"),
                      sessionKey = env("TAVI_JOURNAL_SESSION"),
                      serverKey = env("TAVI_JOURNAL_SERVER_KEY");
    const int log = ::open((dir + "/log").c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    ASSERT_GE(log, 0);
    std::mt19937 random(static_cast<unsigned>(std::atoi(env("TAVI_JOURNAL_SEED").c_str())));
    const Client client;
    const long count = std::atol(env("TAVI_JOURNAL_N").c_str());
    for (long i = 0; i < count; ++i) {
        Correlation correlation;
        CallOptions options;
        options.correlation = &correlation;
        switch (random() % 9) {
            case 0:
                (void)client.call(RegisterDeviceRequest{serverKey, "+15550100", "REG-TXN-1",
                                                        "com.example.wallet"},
                                  options);
                break;
            case 1:
            case 2:
                (void)client.call(SubmitCredentialRequest{kTxnId, "FINANCIAL_TXN", "PIN",
                                                          SecretString(sandbox::kTestPin), bankKi,
                                                          publicKey, sessionKey},
                                  options);
                break;
            case 3:
            case 4:
                (void)client.call(ValidateOtpRequest{kTxnId, "FINANCIAL_TXN",
                                                     SecretString(sandbox::kTestOtp), bankKi,
                                                     publicKey, sessionKey, "ACTION", kBic, "REF"},
                                  options);
                break;
            case 5:
            case 6:
                (void)client.call(
                    ValidateCardNumberRequest{sessionKey, bankKi, publicKey, kTxnId,
                                              SecretString(sandbox::kTestCards[0].number), kBic,
                                              sandbox::kTestCards[0].bankName},
                    options);
                break;
            default:
                (void)client.call(
                    RegisterCardRequest{kTxnId, "REGISTER_CARD_ACC_DETAIL", kBic, std::nullopt,
                                        bankKi, sessionKey,
                                        SecretString(sandbox::kTestCards[0].number),
                                        SecretString("08"), SecretString(test::futureYear()),
                                        SecretString("737"), publicKey},
                    options);
                break;
        }
        if (correlation.msgId.empty()) continue;
        const std::string line = correlation.msgId + " " +
                                 std::to_string(static_cast<int>(correlation.delivery)) + "\n";
        ASSERT_EQ(::write(log, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    ::close(log);
}

class JournalKillTest : public test::SandboxTest {};

TEST_F(JournalKillTest, KilledClientsLeaveExactlyTheOutcomesUnknown) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("tavi-journal-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    {
        auto store = openSqliteSecureStore((dir / "store.db").string(), storeOptions(dir.string()));
        ASSERT_TRUE(store) << store.error().description();
        KeychainManager::setStore(store.value());
        ASSERT_TRUE(registerDevice());
        ASSERT_TRUE(retrieveTransactionKeys(kTxnId, "JOURNAL-KEYS-1", kBic, "CARD"));
    }
    KeychainManager::setStore(store_);

    const std::vector<sandbox::Fault::Kind> kinds = {
        sandbox::Fault::Kind::dropConnection, sandbox::Fault::Kind::resetMidBody,
        sandbox::Fault::Kind::status,         sandbox::Fault::Kind::nonJson,
        sandbox::Fault::Kind::delay,          sandbox::Fault::Kind::refusal,
        sandbox::Fault::Kind::emptyBody};
    std::mt19937 random(20261208);
    const long target = targetOperations();
    const std::size_t received0 = server().msgIds().size();
    int kills = 0, runs = 0;
    while (static_cast<long>(server().msgIds().size() - received0) < target) {
        server().clearFaults();
        for (int f = 0; f < 2; ++f) {
            sandbox::Fault fault;
            fault.kind = kinds[random() % kinds.size()];
            fault.delayMs = 30;
            fault.times = 1 + static_cast<int>(random() % 4);
            server().addFault(fault);
        }
        // The child's environment, made before the fork: between fork and exec only
        // async-signal-safe calls.
        std::vector<std::string> vars;
        for (char** e = environ; *e != nullptr; ++e) vars.emplace_back(*e);
        vars.push_back(std::string(kChildEnv) + "=" + dir.string());
        vars.push_back("TAVI_JOURNAL_URL=" + server().url());
        vars.push_back("TAVI_JOURNAL_KI=" + bankKi_);
        vars.push_back("TAVI_JOURNAL_PUB=" + publicKey_);
        vars.push_back("TAVI_JOURNAL_SESSION=" + sessionKey_);
        vars.push_back("TAVI_JOURNAL_SERVER_KEY=" + server().serverPublicKey());
        vars.push_back("TAVI_JOURNAL_SEED=" + std::to_string(runs));
        vars.push_back("TAVI_JOURNAL_N=" + std::to_string(target));
        std::vector<char*> envp;
        for (auto& v : vars) envp.push_back(v.data());
        envp.push_back(nullptr);
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::string filter = "--gtest_filter=JournalChild.Run";
#ifdef TAVI_TEST_EMULATOR
        std::string program = TAVI_TEST_EMULATOR;  // a cross build's tests run under qemu-user
        char* argv[] = {program.data(), self.data(), filter.data(), nullptr};
#else
        std::string program = self;
        char* argv[] = {self.data(), filter.data(), nullptr};
#endif
        const int quiet = ::open("/dev/null", O_WRONLY);
        ASSERT_GE(quiet, 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(quiet, STDOUT_FILENO);
            ::dup2(quiet, STDERR_FILENO);
            ::execve(program.c_str(), argv, envp.data());
            ::_exit(127);
        }
        ::close(quiet);
        ++runs;
        // Most runs die: at a random moment after the child has had time to open the store.
        std::this_thread::sleep_for(
            std::chrono::milliseconds((100 + random() % 1000) * kKillWindowScale));
        if (::kill(child, SIGKILL) == 0) ++kills;
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0));
    }
    server().clearFaults();

    // What the server received.
    const auto received = server().msgIds();
    std::map<std::string, int> times;
    for (std::size_t i = received0; i < received.size(); ++i) ++times[received[i]];
    int duplicates = 0;
    for (const auto& [id, n] : times) duplicates += n > 1 ? 1 : 0;

    // What the child saw end.
    std::map<std::string, int> ended;
    std::ifstream log(dir / "log");
    std::string id;
    int delivery = 0;
    while (log >> id >> delivery) ended[id] = delivery;

    // What the journal holds.
    auto store = openSqliteSecureStore((dir / "store.db").string(), storeOptions(dir.string()));
    ASSERT_TRUE(store) << store.error().description();
    const Client client = Client::connect(ClientSettings{AppConstantTAVI::shared(), store.value()});
    const auto records = client.pendingOutcomes();
    ASSERT_TRUE(records) << records.error().description();
    std::set<std::string> journal;
    int unlogged = 0;
    for (const auto& r : records.value()) {
        EXPECT_TRUE(journal.insert(r.msgId).second) << "recorded twice: " << r.msgId;
        EXPECT_EQ(r.txnId, r.operation == "registerDevice" ? "REG-TXN-1" : kTxnId);
        const auto it = ended.find(r.msgId);
        if (it == ended.end()) {
            ++unlogged;  // in flight when its process died
        } else {
            EXPECT_EQ(it->second, static_cast<int>(RequestDelivery::mayHaveBeenReceived))
                << "handled, yet in the journal: " << r.msgId;
        }
    }
    int mayHave = 0;
    for (const auto& [msgId, how] : ended) {
        if (how != static_cast<int>(RequestDelivery::mayHaveBeenReceived)) continue;
        ++mayHave;
        EXPECT_EQ(journal.count(msgId), 1u) << "possibly received, not in the journal: " << msgId;
    }
    EXPECT_EQ(duplicates, 0);
    EXPECT_LE(unlogged, kills);
    std::cout << "kill loop: operations=" << times.size() << " (ended " << ended.size()
              << ") runs=" << runs << " kills=" << kills << " journal=" << journal.size()
              << " (possibly received " << mayHave << ", in flight at a kill " << unlogged
              << ") duplicates=" << duplicates << "\n";

    // Settled records go; the rest stay.
    if (!records.value().empty()) {
        const auto first = records.value().front().msgId;
        auto settled = client.settleOutcome(first);
        ASSERT_TRUE(settled);
        EXPECT_TRUE(settled.value());
        auto again = client.settleOutcome(first);
        ASSERT_TRUE(again);
        EXPECT_FALSE(again.value());
        auto after = client.pendingOutcomes();
        ASSERT_TRUE(after);
        EXPECT_EQ(after.value().size(), records.value().size() - 1);
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tavi
