// No copy left behind: a host process (a C host and a C++ host, each in the blocking and the
// start forms) runs every secret-carrying operation with secrets it made up, wipes its own
// copies, and then its core is taken with gcore. The image must hold no PIN, OTP, card number,
// CVV, expiry or account number. The sandbox runs in this process, not in the host's, since the
// server side legitimately opens the secrets.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixture.hpp"
#include "tavi/client.hpp"
#include "tavi/tavi.h"

extern char** environ;

namespace tavi::test {
namespace {

constexpr const char* kChildMode = "TAVI_COREDUMP_HOST";

/// Made-up secrets: long enough not to occur by chance, made at run time so that no copy lives in
/// the program file. Kept in wiped memory by the host and wiped before the core is taken.
struct Secrets {
    SecretString pin, otp, card, cvv, month, year, account;
};

void randomDigits(SecretString& out, std::mt19937_64& rng, int n) {
    for (int i = 0; i < n; ++i) out += static_cast<char>('0' + rng() % 10);
}

Secrets makeSecrets(unsigned seed) {
    std::mt19937_64 rng(seed);
    Secrets s;
    randomDigits(s.pin, rng, 14);
    randomDigits(s.otp, rng, 14);
    randomDigits(s.card, rng, 19);
    randomDigits(s.cvv, rng, 12);
    randomDigits(s.month, rng, 12);
    randomDigits(s.year, rng, 12);
    randomDigits(s.account, rng, 18);
    return s;
}

std::string canaryText(unsigned seed) {
    std::mt19937_64 rng(seed + 1);
    std::string text = "canary:";
    for (int i = 0; i < 20; ++i) text += static_cast<char>('0' + rng() % 10);
    return text;
}

// ---- The host (a child process) -------------------------------------------------------------

void cppHost(const Secrets& s, const std::string& serverKey, bool startForm) {
    const Client client;
    auto run = [&](auto request) {
        using R = decltype(request);
        if (!startForm) return client.call(std::move(request));
        std::optional<Result<typename R::Result>> out;
        client.start(std::move(request), [&](Result<typename R::Result> r) { out.emplace(std::move(r)); })
            .wait();
        return std::move(*out);
    };
    auto reg = run(RegisterDeviceRequest{serverKey, "+15550100", "REG-1", "com.example.wallet"});
    if (!reg) std::abort();
    auto keys = run(RetrieveKeysRequest{"M1", "FINANCIAL_TXN", "TXN-D-1", "DEMOBIC1", "ACCOUNT"});
    if (!keys) std::abort();
    const TransactionKeys& k = keys.value();
    (void)run(SubmitCredentialRequest{"TXN-D-1", "FINANCIAL_TXN", "PIN", s.pin, k.bankKi, k.publicKey,
                                      k.sessionKey});
    auto otp = run(FetchOtpChallengeRequest{"FINANCIAL_TXN", "TXN-D-1", "ACCOUNT", "DEMOBIC1",
                                            k.sessionKey, std::nullopt});
    const std::string action = otp ? otp.value().action : "PURCHASE";
    const std::string ref = otp ? otp.value().referenceId : "R";
    (void)run(ValidateOtpRequest{"TXN-D-1", "FINANCIAL_TXN", s.otp, k.bankKi, k.publicKey,
                                 k.sessionKey, action, "DEMOBIC1", ref});
    (void)run(ValidateCardNumberRequest{k.sessionKey, k.bankKi, k.publicKey, "TXN-D-1", s.card,
                                        "DEMOBIC1", "Demo Bank"});
    (void)run(RegisterCardRequest{"TXN-D-1", "REGISTER_CARD_ACC_DETAIL", "DEMOBIC1", s.account,
                                  k.bankKi, k.sessionKey, s.card, s.month, s.year, s.cvv,
                                  k.publicKey});
}

void keep(const tavi_result* r, void* user) {
    // The result is freed after the completion: keep a copy of the values needed.
    auto* d = static_cast<std::string*>(user);
    for (const char* name : {"bankKi", "publicKey", "sessionKey"}) {
        const char* v = tavi_result_value(r, name);
        if (v != nullptr) *d += std::string(name) + "=" + v + "\n";
    }
}

void cHost(const Secrets& s, const std::string& serverKey, bool startForm) {
    std::string keysText;
    auto value = [&](const char* name) {
        const auto at = keysText.find(std::string(name) + "=");
        const auto from = at + std::strlen(name) + 1;
        return keysText.substr(from, keysText.find('\n', from) - from);
    };
    if (!startForm) {
        tavi_result_free(tavi_register_device(serverKey.c_str(), "+15550100", "REG-1", "com.example.c"));
        tavi_result* keys = tavi_retrieve_keys("M1", "FINANCIAL_TXN", "TXN-D-1", "DEMOBIC1", "ACCOUNT");
        keep(keys, &keysText);
        tavi_result_free(keys);
    } else {
        tavi_call* c = tavi_start_register_device(serverKey.c_str(), "+15550100", "REG-1",
                                                  "com.example.c", nullptr, nullptr, nullptr);
        tavi_call_wait(c);
        tavi_call_free(c);
        c = tavi_start_retrieve_keys("M1", "FINANCIAL_TXN", "TXN-D-1", "DEMOBIC1", "ACCOUNT",
                                     nullptr, keep, &keysText);
        tavi_call_wait(c);
        tavi_call_free(c);
    }
    const std::string ki = value("bankKi"), pk = value("publicKey"), sk = value("sessionKey");
    if (!startForm) {
        tavi_result_free(tavi_submit_credential("TXN-D-1", "FINANCIAL_TXN", "PIN", s.pin.c_str(),
                                                ki.c_str(), pk.c_str(), sk.c_str()));
        tavi_result_free(tavi_validate_otp("TXN-D-1", "FINANCIAL_TXN", s.otp.c_str(), ki.c_str(),
                                           pk.c_str(), sk.c_str(), "PURCHASE", "DEMOBIC1", "R"));
        tavi_result_free(tavi_validate_card_number(sk.c_str(), ki.c_str(), pk.c_str(), "TXN-D-1",
                                                   s.card.c_str(), "DEMOBIC1", "Demo Bank"));
        tavi_result_free(tavi_register_card_detail(
            "TXN-D-1", "REGISTER_CARD_ACC_DETAIL", "DEMOBIC1", s.account.c_str(), ki.c_str(),
            sk.c_str(), s.card.c_str(), s.month.c_str(), s.year.c_str(), s.cvv.c_str(), pk.c_str()));
        return;
    }
    std::vector<tavi_call*> calls{
        tavi_start_submit_credential("TXN-D-1", "FINANCIAL_TXN", "PIN", s.pin.c_str(), ki.c_str(),
                                     pk.c_str(), sk.c_str(), nullptr, nullptr, nullptr),
        tavi_start_validate_otp("TXN-D-1", "FINANCIAL_TXN", s.otp.c_str(), ki.c_str(), pk.c_str(),
                                sk.c_str(), "PURCHASE", "DEMOBIC1", "R", nullptr, nullptr, nullptr),
        tavi_start_validate_card_number(sk.c_str(), ki.c_str(), pk.c_str(), "TXN-D-1",
                                        s.card.c_str(), "DEMOBIC1", "Demo Bank", nullptr, nullptr,
                                        nullptr),
        tavi_start_register_card_detail("TXN-D-1", "REGISTER_CARD_ACC_DETAIL", "DEMOBIC1",
                                        s.account.c_str(), ki.c_str(), sk.c_str(), s.card.c_str(),
                                        s.month.c_str(), s.year.c_str(), s.cvv.c_str(), pk.c_str(),
                                        nullptr, nullptr, nullptr)};
    for (tavi_call* c : calls) {
        tavi_call_wait(c);
        tavi_call_free(c);
    }
}

/// The host's side: runs when the test starts this program again with kChildMode set; prints
/// "ready" once its own copies are wiped and waits to be killed.
TEST(CoreDumpHost, Run) {
    const char* mode = std::getenv(kChildMode);
    if (mode == nullptr) GTEST_SKIP() << "runs only as the host process of CoreDump tests";
    const std::string m(mode);
    AppConstantTAVI::shared().serverURL = std::getenv("TAVI_COREDUMP_URL");
    AppConstantTAVI::shared().appId = "com.example.wallet";
    AppConstantTAVI::shared().pspOrgId = "PSPORG1";
    AppConstantTAVI::shared().diagnosticsSink = nullptr;
    KeychainManager::setStore(makeMemorySecureStore());
    {
        const Secrets s = makeSecrets(static_cast<unsigned>(std::stoul(std::getenv("TAVI_COREDUMP_SEED"))));
        const bool startForm = m.find("start") != std::string::npos;
        if (m.rfind("c-", 0) == 0) {
            cHost(s, std::getenv("TAVI_COREDUMP_KEY"), startForm);
        } else {
            cppHost(s, std::getenv("TAVI_COREDUMP_KEY"), startForm);
        }
    }  // the host's own copies are wiped here
    // A value the host keeps on purpose: the search must find it, or it proves nothing.
    static const std::string canary = canaryText(static_cast<unsigned>(std::stoul(std::getenv("TAVI_COREDUMP_SEED"))));
    std::printf("ready %zu\n", canary.size());
    std::fflush(stdout);
    for (;;) pause();
}

// ---- The test ---------------------------------------------------------------------------------

std::string readlinkSelf() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CoreDump : public ::testing::TestWithParam<const char*> {};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

TEST_P(CoreDump, NoSecretInTheHostsImage) {
    if (std::getenv(kChildMode) != nullptr) GTEST_SKIP();
#ifdef TAVI_TEST_EMULATOR
    GTEST_SKIP() << "under qemu-user the host would run inside the emulator's process, which "
                    "gcore would dump instead";
#endif
    if (access("/usr/bin/gcore", X_OK) != 0) GTEST_SKIP() << "gcore (gdb) is not installed";
    if (kSanitized) {
        GTEST_SKIP() << "a sanitizer's shadow memory makes the image tens of gigabytes: the "
                        "image is searched in the plain build";
    }
    sandbox::Server server;
    ASSERT_TRUE(server.start()) << server.lastError();

    const unsigned seed = std::random_device{}();
    char dir[] = "/tmp/tavi-core-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string out = std::string(dir) + "/out";
    int toParent[2];
    ASSERT_EQ(pipe(toParent), 0);

    const std::string self = readlinkSelf();
    std::vector<std::string> env{std::string(kChildMode) + "=" + GetParam(),
                                 "TAVI_COREDUMP_URL=" + server.url(),
                                 "TAVI_COREDUMP_KEY=" + server.serverPublicKey(),
                                 "TAVI_COREDUMP_SEED=" + std::to_string(seed),
                                 "HOME=" + std::string(dir)};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=CoreDumpHost.Run";
    std::vector<char*> argv{const_cast<char*>(self.c_str()), filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toParent[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toParent[0]);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(toParent[1]);

    // Wait for "ready" (gtest's own lines come first).
    std::string seen;
    char buf[256];
    while (seen.find("ready ") == std::string::npos || seen.find('\n', seen.find("ready ")) == std::string::npos) {
        const ssize_t n = read(toParent[0], buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<std::size_t>(n));
    }
    close(toParent[0]);
    if (seen.find("ready ") == std::string::npos) {
        waitpid(child, nullptr, 0);
        FAIL() << "the host ended before it was ready:\n" << seen;
    }

    const std::string core = out + "." + std::to_string(child);
    const std::string command = "gcore -o " + out + " " + std::to_string(child) + " >/dev/null 2>&1";
    const int taken = std::system(command.c_str());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    struct stat st {};
    if (taken != 0 || stat(core.c_str(), &st) != 0) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "no core could be taken (gcore needs ptrace permission here)";
    }
    const std::string image = readFile(core);
    std::filesystem::remove_all(dir);
    ASSERT_GT(image.size(), 100000u);

    EXPECT_NE(image.find(canaryText(seed)), std::string::npos) << "the image search finds nothing";
    const Secrets s = makeSecrets(seed);
    const std::pair<const char*, const SecretString*> secrets[] = {
        {"PIN", &s.pin},         {"OTP", &s.otp},          {"card number", &s.card},
        {"CVV", &s.cvv},         {"expiry month", &s.month}, {"expiry year", &s.year},
        {"account number", &s.account}};
    for (const auto& [what, secret] : secrets) {
        EXPECT_EQ(image.find(secret->view()), std::string::npos)
            << GetParam() << ": the " << what << " is still in the host's image";
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, CoreDump,
                         ::testing::Values("c-blocking", "c-start", "cpp-blocking", "cpp-start"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace tavi::test
