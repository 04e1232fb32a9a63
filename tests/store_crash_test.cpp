// The SQLite store under a process killed in the middle of a registration's writes: the database
// always opens afterwards, passes SQLite's integrity check, and every session value is whole and
// either the one before the interrupted write or the one after it — never torn, never lost.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tavi/store.hpp"

namespace tavi {
namespace {

constexpr int kKills = 50;

/// The session values registration writes, in its order, with their writers.
struct SessionValue {
    const char* name;
    std::int32_t (*save)(const std::string&);
};
constexpr std::array<SessionValue, 8> kValues{{
    {SessionManager::taviId, &SessionManager::saveTaviId},
    {SessionManager::imei1, &SessionManager::saveImei1},
    {SessionManager::imei2, &SessionManager::saveImei2},
    {SessionManager::appId, &SessionManager::saveAppId},
    {SessionManager::mobile, &SessionManager::saveMobile},
    {SessionManager::deviceId, &SessionManager::saveDeviceId},
    {SessionManager::pspId, &SessionManager::savePspId},
    {SessionManager::taviKey, &SessionManager::saveTaviKey},
}};

/// Generation `g` of a value: its name and generation at both ends around a body whose length
/// depends on the generation (a torn value cannot read as whole).
std::string valueOf(const char* name, long g) {
    return std::string(name) + "|" + std::to_string(g) + "|" +
           std::string(static_cast<std::size_t>(100 + (g * 37) % 900), 'a' + g % 26) + "|" +
           std::to_string(g);
}

/// The generation of a whole value, none otherwise.
std::optional<long> generationOf(const char* name, const std::string& value) {
    const auto first = value.find('|');
    if (first == std::string::npos || value.substr(0, first) != name) return std::nullopt;
    const auto second = value.find('|', first + 1);
    if (second == std::string::npos) return std::nullopt;
    try {
        const long g = std::stol(value.substr(first + 1, second - first - 1));
        if (valueOf(name, g) == value) return g;
    } catch (...) {
    }
    return std::nullopt;
}

std::string integrityOf(const std::string& path) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return result;
}

class StoreCrashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tavi-crash-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/store.db";
    }
    void TearDown() override {
        KeychainManager::setStore(makeMemorySecureStore());
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    /// Opens the store and installs it; false when it cannot be opened.
    bool install() {
        auto store = openSqliteSecureStore(path_);
        if (!store) {
            ADD_FAILURE() << store.error().description();
            return false;
        }
        KeychainManager::setStore(store.value());
        return true;
    }

    /// A child that writes generation after generation of the registration's values until it is
    /// killed: value by value, or each generation as one whole session (as registration does).
    pid_t startWriter(long firstGeneration, bool wholeSessions = false) {
        const pid_t pid = fork();
        if (pid != 0) return pid;
        auto store = openSqliteSecureStore(path_);
        if (!store) _exit(3);
        KeychainManager::setStore(store.value());
        for (long g = firstGeneration;; ++g) {
            if (!wholeSessions) {
                for (const auto& v : kValues) v.save(valueOf(v.name, g));
                continue;
            }
            std::vector<NamedItem> items;
            for (const auto& v : kValues) {
                const std::string text = valueOf(v.name, g);
                items.push_back(NamedItem{v.name, StoreItem{Bytes(text.begin(), text.end())}});
            }
            if (store.value()->replaceAll(ItemClass::genericPassword, items) != 0) _exit(4);
        }
    }

    std::string dir_, path_;
};

TEST_F(StoreCrashTest, KilledRegistrationWritesLeaveEveryValueWhole) {
    ASSERT_TRUE(install());
    for (const auto& v : kValues) v.save(valueOf(v.name, 0));
    KeychainManager::setStore(makeMemorySecureStore());  // closes the parent's connection

    std::mt19937 random(20240607u);
    std::uniform_int_distribution<int> delayUs(0, 30000);
    std::array<long, kValues.size()> previous{};  // generation of each value before the kill
    long next = 1;
    int interrupted = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        const long first = next;
        const pid_t child = startWriter(first);
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;

        ASSERT_EQ(integrityOf(path_), "ok");
        ASSERT_TRUE(install());
        // Each value is whole, and either what it was before this writer started or one the
        // writer wrote.
        std::array<long, kValues.size()> now{};
        for (std::size_t i = 0; i < kValues.size(); ++i) {
            const auto value = KeychainManager::getPreference(kValues[i].name);
            ASSERT_TRUE(value) << kValues[i].name << " was lost";
            const auto g = generationOf(kValues[i].name, *value);
            ASSERT_TRUE(g) << kValues[i].name << " is torn";
            EXPECT_TRUE(*g == previous[i] || *g >= first)
                << kValues[i].name << ": generation " << *g << ", was " << previous[i];
            now[i] = *g;
            next = std::max(next, *g + 1);
        }
        if (now.front() != now.back()) ++interrupted;
        previous = now;
        KeychainManager::setStore(makeMemorySecureStore());
    }
    std::printf("%d kills, %d in the middle of a registration's writes, %ld generations\n", kKills,
                interrupted, next - 1);
}

// Whole sessions written in one go and the writer killed at random: afterwards every value is
// there and all are of one generation, the one before the kill or a later one.
TEST_F(StoreCrashTest, KilledSessionWritesLeaveOneWholeSession) {
    constexpr int kSessionKills = 20;
    ASSERT_TRUE(install());
    for (const auto& v : kValues) v.save(valueOf(v.name, 0));
    KeychainManager::setStore(makeMemorySecureStore());

    std::mt19937 random(20240608u);
    std::uniform_int_distribution<int> delayUs(0, 30000);
    long previous = 0;
    for (int kill = 0; kill < kSessionKills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        const pid_t child = startWriter(previous + 1, true);
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself: " << status;

        ASSERT_TRUE(install());
        std::optional<long> generation;
        for (const auto& v : kValues) {
            const auto value = KeychainManager::getPreference(v.name);
            ASSERT_TRUE(value) << v.name << " was lost";
            const auto g = generationOf(v.name, *value);
            ASSERT_TRUE(g) << v.name << " is torn";
            if (!generation) generation = g;
            EXPECT_EQ(*g, *generation) << v.name << ": a mixed session";
        }
        EXPECT_GE(*generation, previous);
        previous = *generation;
        KeychainManager::setStore(makeMemorySecureStore());
    }
}

}  // namespace
}  // namespace tavi
