// The sealed store: values never in clear on disk, a store that opens only with its own key,
// tampering refused as a whole, and migration, rekey and reset that a kill cannot leave half
// done.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "store/session.hpp"
#include "store/sqlite_store.hpp"
#include "tavi/config.hpp"
#include "tavi/store.hpp"

namespace tavi {
namespace {

namespace fs = std::filesystem;

// Values a registration stores, with markers no page of a sealed store may hold.
const std::vector<std::pair<std::string, std::string>> kSession = {
    {SessionManager::mobile, "CANARY-MOBILE-919876543210"},
    {SessionManager::pspId, "CANARY-PSPID-7d1c0e4b"},
    {SessionManager::taviKey, "CANARY-TAVIKEY-MIIBIjANBgkqhkiG9w0BAQEFAAOC"},
    {SessionManager::taviId, "CANARY-TAVIID-0042"},
    {SessionManager::IS_REGISTERED, "true"},
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

/// The raw bytes of a store and its companions.
std::string rawBytes(const std::string& path) {
    return readFile(path) + readFile(path + "-wal") + readFile(path + "-journal");
}

std::vector<std::string> canariesIn(const std::string& bytes) {
    std::vector<std::string> found;
    for (const auto& [name, value] : kSession) {
        if (value.size() >= 8 && bytes.find(value) != std::string::npos) found.push_back(name);
    }
    return found;
}

std::vector<NamedItem> sessionItems(const std::string& suffix = {}) {
    std::vector<NamedItem> items;
    for (const auto& [name, value] : kSession) {
        const std::string text = value + suffix;
        items.push_back(NamedItem{name, StoreItem{Bytes(text.begin(), text.end())}});
    }
    return items;
}

std::string textOf(const std::optional<StoreItem>& item) {
    return item ? std::string(item->data.begin(), item->data.end()) : std::string("<absent>");
}

std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const auto& [name, value] : kSession) out.push_back(name);
    return out;
}

StoreOptions protection(const std::string& name) {
    StoreOptions options;
    options.protection = name;
    return options;
}

int waitChild(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// Runs SQL on the database directly, as an attacker with the file would.
void rawSql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    char* message = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    const std::string text = message != nullptr ? message : "";
    sqlite3_free(message);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << text;
}

/// The nonce (first 12 bytes) of every sealed value in the database.
std::vector<std::string> sealedNonces(const std::string& path) {
    std::vector<std::string> out;
    sqlite3* db = nullptr;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT data FROM sealed_items", -1, &stmt, nullptr) == SQLITE_OK) {
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
            out.emplace_back(data, std::min(sqlite3_column_bytes(stmt, 0), 12));
        }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
}

class SealedStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "tavi-sealed-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        path_ = dir_ + "/store.db";
        savedSink_ = AppConstantTAVI::shared().diagnosticsSink;
        AppConstantTAVI::shared().diagnosticsSink = [this](std::string_view line) {
            std::lock_guard lock(linesMutex_);
            lines_.emplace_back(line);
        };
    }
    void TearDown() override {
        AppConstantTAVI::shared().diagnosticsSink = savedSink_;
        KeychainManager::setStore(nullptr);
        fs::remove_all(dir_);
    }

    std::shared_ptr<SecureStore> open(const std::string& backend = "file",
                                      const std::string& path = {}) {
        auto opened = openSqliteSecureStore(path.empty() ? path_ : path, protection(backend));
        if (!opened) {
            ADD_FAILURE() << opened.error().description();
            return nullptr;
        }
        return opened.value();
    }

    void writeSession(SecureStore& store, const std::string& suffix = {}) {
        ASSERT_EQ(store.replaceAll(ItemClass::genericPassword, sessionItems(suffix)), 0);
    }

    void expectSession(SecureStore& store, const std::string& suffix = {}) {
        const auto items = store.copyAll(ItemClass::genericPassword, names());
        ASSERT_EQ(items.size(), kSession.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(textOf(items[i]), kSession[i].second + suffix) << kSession[i].first;
        }
    }

    void expectRefused(const std::string& backend, const std::string& words) {
        const auto opened = openSqliteSecureStore(path_, protection(backend));
        ASSERT_FALSE(opened.ok()) << "opened";
        EXPECT_EQ(opened.error().code, ClientErrorCode::storeUnavailable);
        EXPECT_NE(opened.error().message.find(words), std::string::npos)
            << opened.error().message;
    }

    std::string dir_;
    std::string path_;
    DiagnosticsSink savedSink_;
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

// The values, the WAL and any journal never hold a session value in clear: while the store is
// open with its WAL in use, after values were replaced, and after it was closed.
TEST_F(SealedStoreTest, RawBytesHoldNoSessionValue) {
    auto store = open();
    ASSERT_TRUE(store);
    writeSession(*store);
    auto nonces = sealedNonces(path_);
    writeSession(*store, "-2");
    EXPECT_TRUE(fs::exists(path_ + "-wal"));
    EXPECT_EQ(canariesIn(rawBytes(path_)), std::vector<std::string>{});
    // The values written together share a key set-up, never a nonce, nor with those before.
    const auto later = sealedNonces(path_);
    ASSERT_EQ(later.size(), kSession.size());
    nonces.insert(nonces.end(), later.begin(), later.end());
    std::sort(nonces.begin(), nonces.end());
    EXPECT_EQ(std::adjacent_find(nonces.begin(), nonces.end()), nonces.end());
    expectSession(*store, "-2");
    const auto status = secureStoreStatus(*store);
    ASSERT_TRUE(status) << status.error().description();
    EXPECT_EQ(status.value().backend, "file");
    EXPECT_EQ(status.value().strength, "weak");
    EXPECT_EQ(status.value().formatVersion, 2);
    EXPECT_EQ(status.value().itemCount, kSession.size());
    EXPECT_FALSE(status.value().migrated);
    EXPECT_NE(status.value().caveat.find("this user"), std::string::npos);
    store.reset();
    EXPECT_EQ(canariesIn(rawBytes(path_)), std::vector<std::string>{});
    // The key lies elsewhere, 0600 in a 0700 directory.
    struct stat st {};
    ASSERT_EQ(::stat((path_ + ".keys").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    int keys = 0;
    for (const auto& entry : fs::directory_iterator(path_ + ".keys")) {
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ++keys;
    }
    EXPECT_EQ(keys, 1);
}

// none keeps today's format and is used only when asked for; auto never falls to it, and both
// the file backend's weakness and auto's choice are said at open.
TEST_F(SealedStoreTest, NoneOnlyByNameAutoSaysWhatItChose) {
    {
        auto plain = open("none");
        ASSERT_TRUE(plain);
        writeSession(*plain);
        EXPECT_EQ(secureStoreStatus(*plain).value().formatVersion, 1);
        EXPECT_EQ(secureStoreStatus(*plain).value().backend, "none");
    }
    EXPECT_FALSE(canariesIn(rawBytes(path_)).empty());  // the test sees what it looks for
    fs::remove(path_);
    fs::remove(path_ + "-wal");
    fs::remove(path_ + "-shm");
    auto sealed = open("auto");
    ASSERT_TRUE(sealed);
    const auto status = secureStoreStatus(*sealed).value();
    EXPECT_NE(status.backend, "none");
    EXPECT_EQ(status.formatVersion, 2);
    EXPECT_NE(status.chosen.find("auto"), std::string::npos);
    std::lock_guard lock(linesMutex_);
    bool said = false;
    for (const auto& line : lines_) {
        said = said || (line.find("sealed under the " + status.backend) != std::string::npos &&
                        line.find("auto") != std::string::npos);
    }
    EXPECT_TRUE(said);
    if (status.backend == "file") {
        bool weak = false;
        for (const auto& line : lines_) weak = weak || line.find("weak:") != std::string::npos;
        EXPECT_TRUE(weak);
    }
}

// A store in clear (as earlier versions wrote it) is sealed on its first open under a backend,
// its values kept; no page of the file or WAL holds an old value afterwards. none then refuses
// it rather than reading it as empty; a protection unknown is refused.
TEST_F(SealedStoreTest, PlaintextStoreIsSealedOnFirstOpenAndWiped) {
    {
        auto plain = open("none");
        ASSERT_TRUE(plain);
        writeSession(*plain);
        writeSession(*plain, "-old");  // freed pages hold the first values
    }
    ASSERT_FALSE(canariesIn(rawBytes(path_)).empty());
    {
        auto sealed = open("file");
        ASSERT_TRUE(sealed);
        expectSession(*sealed, "-old");
        const auto status = secureStoreStatus(*sealed).value();
        EXPECT_TRUE(status.migrated);
        EXPECT_EQ(status.itemCount, kSession.size());
        EXPECT_EQ(canariesIn(rawBytes(path_)), std::vector<std::string>{});
    }
    EXPECT_EQ(canariesIn(rawBytes(path_)), std::vector<std::string>{});
    expectRefused("none", "sealed");
    expectRefused("sideways", "unknown storeProtection");
    auto again = open("auto");  // auto reads what the store records
    ASSERT_TRUE(again);
    expectSession(*again, "-old");
}

// Changed, swapped, re-labelled and foreign values are refused, and refuse the whole store: at
// open, and in a store already open (every call then fails, never "absent").
TEST_F(SealedStoreTest, TamperedSwappedAndForeignValuesAreRefusedAsAWhole) {
    const std::string other = dir_ + "/other.db";
    {
        auto foreign = open("file", other);
        ASSERT_TRUE(foreign);
        writeSession(*foreign, "-foreign");
    }
    struct Case {
        const char* what;
        std::string sql;
    };
    const std::vector<Case> cases = {
        {"a flipped byte",
         "UPDATE sealed_items SET data = substr(data, 1, 20) || CASE WHEN substr(data, 21, 1) "
         "= X'00' THEN X'01' ELSE X'00' END || substr(data, 22) WHERE name = 'pspId'"},
        {"a cut value", "UPDATE sealed_items SET data = substr(data, 1, 20) WHERE name = 'mobile'"},
        {"two values swapped",
         "UPDATE sealed_items SET data = (SELECT data FROM sealed_items WHERE name = 'mobile') "
         "WHERE name = 'pspId'"},
        {"a value under another key class",
         "UPDATE sealed_items SET key_class = 1 WHERE name = 'taviKey'"},
        {"a value rolled back from another store",
         "ATTACH '" + other + "' AS o; UPDATE sealed_items SET data = (SELECT data FROM "
         "o.sealed_items WHERE o.sealed_items.name = 'taviKey') WHERE name = 'taviKey'"},
        {"the key record of another store",
         "ATTACH '" + other + "' AS o; DELETE FROM meta; INSERT INTO meta SELECT * FROM o.meta"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path_);
        fs::remove(path_ + "-wal");
        fs::remove(path_ + "-shm");
        auto store = open();
        ASSERT_TRUE(store);
        writeSession(*store);
        rawSql(path_, c.sql);
        // Open already: the read fails as a whole, and the store refuses from then on.
        const auto items = store->copyAll(ItemClass::genericPassword, names());
        if (std::string(c.what).find("key record") == std::string::npos) {
            for (const auto& item : items) EXPECT_FALSE(item.has_value());
            StoreItem one;
            EXPECT_EQ(store->copy(ItemClass::genericPassword, SessionManager::IS_REGISTERED, one),
                      KeychainStatus::integrityFailure);
            KeychainManager::setStore(store);
            const auto installed = detail::installedStore();
            ASSERT_FALSE(installed.ok());
            EXPECT_NE(installed.error().message.find("integrity"), std::string::npos);
            KeychainManager::setStore(nullptr);
        }
        store.reset();
        // Opened afresh: refused, naming integrity and the fix.
        const auto opened = openSqliteSecureStore(path_, protection("file"));
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().code, ClientErrorCode::storeUnavailable);
        const std::string& message = opened.error().message;
        EXPECT_TRUE(message.find("integrity") != std::string::npos ||
                    message.find("is gone") != std::string::npos)
            << message;
        EXPECT_NE(message.find("reset"), std::string::npos) << message;
    }
}

// The database copied without its key, its key deleted, or the store copied to another user:
// refused with an error naming the backend and the fix; a reset starts over.
TEST_F(SealedStoreTest, CopyWithoutItsKeyIsRefusedAndResetStartsOver) {
    {
        auto store = open();
        ASSERT_TRUE(store);
        writeSession(*store);
    }
    const std::string copy = dir_ + "/copy.db";
    fs::copy_file(path_, copy);
    ::chmod(copy.c_str(), 0600);
    const auto opened = openSqliteSecureStore(copy, protection("file"));
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().message.find("backend file"), std::string::npos)
        << opened.error().message;
    EXPECT_NE(opened.error().message.find("reset"), std::string::npos);

    fs::remove_all(path_ + ".keys");
    expectRefused("file", "is gone");
    const auto reset = resetSqliteSecureStore(path_, protection("auto"));
    ASSERT_TRUE(reset) << reset.error().description();
    EXPECT_EQ(reset.value().formatVersion, 2);
    auto fresh = open("auto");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(secureStoreStatus(*fresh).value().itemCount, 0u);
    StoreItem item;
    EXPECT_EQ(fresh->copy(ItemClass::genericPassword, SessionManager::pspId, item),
              KeychainStatus::itemNotFound);
}

TEST_F(SealedStoreTest, AnotherUserCannotUseTheCopy) {
    if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
    {
        auto store = open();
        ASSERT_TRUE(store);
        writeSession(*store);
    }
    // The other user's own copy of the database, in a directory of theirs; the key stays the
    // owner's (0600 in a 0700 directory).
    const std::string theirs = dir_ + "/theirs";
    ASSERT_EQ(::mkdir(theirs.c_str(), 0700), 0);
    fs::copy_file(path_, theirs + "/store.db");
    ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown((theirs + "/store.db").c_str(), 65534, 65534), 0);
    ::chmod(dir_.c_str(), 0711);  // they may pass through, not list
    const std::string keys = path_ + ".keys";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(100);
        }
        StoreOptions options = protection("file");
        options.keyDirectory = keys;
        const auto opened = openSqliteSecureStore(theirs + "/store.db", options);
        if (opened) ::_exit(1);
        if (opened.error().message.find("backend file") == std::string::npos) ::_exit(2);
        // Not with its own (empty) key directory either.
        if (openSqliteSecureStore(theirs + "/store.db", protection("file"))) ::_exit(3);
        ::_exit(0);
    }
    EXPECT_EQ(waitChild(child), 0);
}

// A rekey: the values stay, the old key is gone, another handle on the file follows. More values
// than one draw of nonces holds (1,024), each under a nonce of its own.
TEST_F(SealedStoreTest, RekeyReplacesTheKeyAndOthersFollow) {
    auto store = open();
    auto other = open();
    ASSERT_TRUE(store && other);
    writeSession(*store);
    std::vector<NamedItem> keys;
    for (int i = 0; i < 1100; ++i) {
        const std::string der(600, static_cast<char>('A' + i % 26));
        keys.push_back(NamedItem{"key" + std::to_string(i),
                                 StoreItem{Bytes(der.begin(), der.end()), KeyClass::publicKey}});
    }
    ASSERT_EQ(store->replaceAll(ItemClass::key, keys), 0);
    expectSession(*other);
    const auto before = fs::directory_iterator(path_ + ".keys")->path();
    const auto started = std::chrono::steady_clock::now();
    const auto rekeyed = rekeySecureStore(*store);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(rekeyed) << rekeyed.error().description();
    std::printf("rekey of %zu items: %.2f ms\n", rekeyed.value().itemCount,
                std::chrono::duration<double, std::milli>(took).count());
    EXPECT_FALSE(fs::exists(before));
    auto nonces = sealedNonces(path_);
    ASSERT_EQ(nonces.size(), kSession.size() + keys.size());
    std::sort(nonces.begin(), nonces.end());
    EXPECT_EQ(std::adjacent_find(nonces.begin(), nonces.end()), nonces.end());
    StoreItem last;
    ASSERT_EQ(other->copy(ItemClass::key, "key1099", last), 0);
    EXPECT_EQ(last.data, keys.back().item.data);
    expectSession(*store);
    expectSession(*other);  // takes up the new key
    writeSession(*other, "-after");
    expectSession(*store, "-after");
    store.reset();
    other.reset();
    auto reopened = open();
    ASSERT_TRUE(reopened);
    expectSession(*reopened, "-after");
}

/// Kills a child that runs `body` (in a loop, or once) after a random pause, `kills` times; after
/// each kill, `check` sees the store.
void killLoop(int kills, int maxPauseMs, const std::function<void()>& prepare,
              const std::function<void()>& body, const std::function<void(int)>& check) {
    std::mt19937 random(std::random_device{}());
    for (int kill = 0; kill < kills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill));
        prepare();
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            AppConstantTAVI::shared().diagnosticsSink = nullptr;
            body();
            ::_exit(0);
        }
        // Squared, so that early moments (the key kept, the values sealed) are hit as often as
        // the long tail after the commit.
        const double u = std::uniform_real_distribution<double>(0, 1)(random);
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<long>(u * u * maxPauseMs * 1000)));
        ::kill(child, SIGKILL);
        const int status = waitChild(child);
        ASSERT_TRUE(status == 0 || status == 128 + SIGKILL) << status;
        check(kill);
        if (::testing::Test::HasFailure()) return;
    }
}

// Migration killed at any moment: the store is afterwards either still in clear and whole, or
// sealed and whole; either way the next open under a backend gives every value, and no page
// holds one in clear.
TEST_F(SealedStoreTest, MigrationKilledAtAnyMomentLeavesOldOrNew) {
    int sealedCount = 0;
    killLoop(
        20, 300,
        [&] {
            fs::remove_all(path_ + ".keys");
            for (const char* s : {"", "-wal", "-shm"}) fs::remove(path_ + s);
            auto plain = open("none");
            ASSERT_TRUE(plain);
            writeSession(*plain);
        },
        [&] {
            if (!openSqliteSecureStore(path_, protection("file"))) ::_exit(3);
        },
        [&](int) {
            if (openSqliteSecureStore(path_, protection("none"))) {
                auto plain = open("none");
                expectSession(*plain);
            } else {
                ++sealedCount;
            }
            auto sealed = open("file");
            ASSERT_TRUE(sealed);
            expectSession(*sealed);
            sealed.reset();
            EXPECT_EQ(canariesIn(rawBytes(path_)), std::vector<std::string>{});
        });
    std::printf("%d of 20 kills after the migration committed\n", sealedCount);
}

TEST_F(SealedStoreTest, RekeyKilledAtAnyMomentLeavesAWholeStore) {
    {
        auto store = open();
        ASSERT_TRUE(store);
        writeSession(*store);
    }
    killLoop(
        20, 40, [] {},
        [&] {
            auto store = openSqliteSecureStore(path_, protection("file"));
            if (!store) ::_exit(3);
            for (;;) {
                if (!rekeySecureStore(*store.value())) ::_exit(4);
            }
        },
        [&](int) {
            auto store = open();
            ASSERT_TRUE(store);
            expectSession(*store);
        });
    // Keys left by a killed rekey are swept by the next one.
    auto store = open();
    ASSERT_TRUE(rekeySecureStore(*store));
    EXPECT_EQ(std::distance(fs::directory_iterator(path_ + ".keys"), fs::directory_iterator()),
              1);
}

TEST_F(SealedStoreTest, ResetKilledAtAnyMomentLeavesOldOrEmpty) {
    int emptied = 0;
    killLoop(
        20, 300,
        [&] {
            auto store = open();
            ASSERT_TRUE(store);
            writeSession(*store);
        },
        [&] {
            if (!resetSqliteSecureStore(path_, protection("file"))) ::_exit(3);
        },
        [&](int) {
            auto store = open();
            ASSERT_TRUE(store);
            const auto items = store->copyAll(ItemClass::genericPassword, names());
            std::size_t present = 0;
            for (const auto& item : items) present += item.has_value();
            EXPECT_TRUE(present == 0 || present == kSession.size()) << present;
            if (present == 0) ++emptied;
            else expectSession(*store);
        });
    std::printf("%d of 20 kills after the reset committed\n", emptied);
}

// Two processes open, migrate and register on one file at once: one data key, every value
// readable by both, and the session whole (one writer's).
TEST_F(SealedStoreTest, TwoProcessesMigrateAndRegisterAtOnce) {
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fs::remove_all(path_ + ".keys");
        for (const char* s : {"", "-wal", "-shm"}) fs::remove(path_ + s);
        {
            auto plain = open("none");
            ASSERT_TRUE(plain);
            writeSession(*plain);
        }
        std::vector<pid_t> children;
        for (int p = 0; p < 2; ++p) {
            const pid_t child = ::fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                AppConstantTAVI::shared().diagnosticsSink = nullptr;
                auto store = openSqliteSecureStore(path_, protection("file"));
                if (!store) ::_exit(3);
                const auto items = store.value()->copyAll(ItemClass::genericPassword, names());
                for (std::size_t i = 0; i < items.size(); ++i) {
                    if (!items[i]) ::_exit(4);
                }
                const std::string suffix = "-p" + std::to_string(p);
                if (store.value()->replaceAll(ItemClass::genericPassword, sessionItems(suffix)) != 0)
                    ::_exit(5);
                ::_exit(0);
            }
            children.push_back(child);
        }
        for (const pid_t child : children) EXPECT_EQ(waitChild(child), 0);
        auto store = open();
        ASSERT_TRUE(store);
        const auto items = store->copyAll(ItemClass::genericPassword, names());
        const std::string first = textOf(items[0]);
        const std::string suffix = first.substr(first.size() - 3);
        ASSERT_TRUE(suffix == "-p0" || suffix == "-p1") << first;
        expectSession(*store, suffix);
        EXPECT_EQ(std::distance(fs::directory_iterator(path_ + ".keys"), fs::directory_iterator()),
                  1);
    }
}

/// The program's own path, to run one of its tests again inside another environment.
std::string selfPath() {
    return fs::read_symlink("/proc/self/exe").string();
}

// The Secret Service backend against a real gnome-keyring-daemon: the test starts a private
// session bus (dbus-run-session), the daemon on it with a login keyring unlocked by a test
// password, and runs itself again inside; the key then lives in the keyring, nowhere on disk.
TEST_F(SealedStoreTest, SecretServiceKeepsTheKeyInTheLoginKeyring) {
    if (std::getenv("TAVI_TEST_IN_KEYRING") == nullptr) {
        for (const char* tool : {"/usr/bin/dbus-run-session", "/usr/bin/gnome-keyring-daemon"}) {
            if (::access(tool, X_OK) != 0) {
                GTEST_SKIP() << tool << " is not installed (packages dbus, gnome-keyring)";
            }
        }
        const std::string home = dir_ + "/home";
        const std::string runtime = dir_ + "/run";
        const std::string skipFile = dir_ + "/skipped";
        ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
        const std::string self = selfPath();
        // Made before the fork: the child only execs.
        std::string script =
            "printf '%s' tavi-test-password | gnome-keyring-daemon --unlock "
            "--components=secrets > /dev/null 2>&1 || echo 'gnome-keyring-daemon did not "
            "start' > \"$TAVI_TEST_SKIP_FILE\"; exec ";
#ifdef TAVI_TEST_EMULATOR
        script += "'" TAVI_TEST_EMULATOR "' ";  // a cross build's tests run under qemu-user
#endif
        script +=
            "\"$0\" --gtest_filter=SealedStoreTest.SecretServiceKeepsTheKeyInTheLoginKeyring";
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::setenv("HOME", home.c_str(), 1);
            ::setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), 1);
            ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
            ::setenv("TAVI_TEST_IN_KEYRING", "1", 1);
            ::setenv("TAVI_TEST_SKIP_FILE", skipFile.c_str(), 1);
            ::execl("/usr/bin/dbus-run-session", "dbus-run-session", "--", "/bin/sh", "-c",
                    script.c_str(), self.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        const int status = waitChild(child);
        if (fs::exists(skipFile)) GTEST_SKIP() << readFile(skipFile);
        EXPECT_EQ(status, 0) << "the test inside the keyring session failed (output above)";
        return;
    }
    auto skip = [](const std::string& why) {
        std::ofstream(std::getenv("TAVI_TEST_SKIP_FILE")) << why;
    };
    auto store = openSqliteSecureStore(path_, protection("secret-service"));
    if (!store && store.error().message.find("not built") != std::string::npos) {
        skip("the library was built without libsecret");
        GTEST_SKIP();
    }
    if (!store && store.error().message.find("no Secret Service") != std::string::npos) {
        skip(store.error().message);
        GTEST_SKIP();
    }
    ASSERT_TRUE(store) << store.error().description();
    auto status = secureStoreStatus(*store.value());
    ASSERT_TRUE(status);
    EXPECT_EQ(status.value().backend, "secret-service");
    EXPECT_EQ(status.value().strength, "strong");
    EXPECT_TRUE(status.value().caveat.empty());
    writeSession(*store.value());
    EXPECT_EQ(canariesIn(rawBytes(path_)), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(path_ + ".keys"));
    ASSERT_TRUE(rekeySecureStore(*store.value()));
    expectSession(*store.value());
    store = std::shared_ptr<SecureStore>();

    // auto prefers it to the key file.
    auto chosen = open("auto", dir_ + "/auto.db");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(secureStoreStatus(*chosen).value().backend, "secret-service");

    // A copy whose keyring item is gone (the original was reset, which deleted its key) is
    // refused, naming the backend and the fix.
    const std::string copy = dir_ + "/copy.db";
    fs::copy_file(path_, copy);
    ASSERT_TRUE(resetSqliteSecureStore(path_, protection("secret-service")));
    const auto refused = openSqliteSecureStore(copy, protection("auto"));
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message.find("backend secret-service"), std::string::npos)
        << refused.error().message;
    EXPECT_NE(refused.error().message.find("reset"), std::string::npos);
    auto fresh = open("secret-service");
    ASSERT_TRUE(fresh);
    EXPECT_EQ(secureStoreStatus(*fresh).value().itemCount, 0u);
}

/// A software TPM run by the test on loopback, with its state in `stateDir`; stopped at the end.
class SoftwareTpm {
  public:
    explicit SoftwareTpm(std::string stateDir) : dir_(std::move(stateDir)) {
        fs::create_directories(dir_);
        std::mt19937 random(std::random_device{}());
        for (int attempt = 0; attempt < 8 && pid_ <= 0; ++attempt) {
            port_ = std::uniform_int_distribution<int>(20000, 60000)(random) & ~1;
            const std::string pidFile = dir_ + "/swtpm.pid";
            fs::remove(pidFile);
            const std::string command =
                "swtpm socket --tpm2 --tpmstate dir=" + dir_ + " --server type=tcp,port=" +
                std::to_string(port_) + ",bindaddr=127.0.0.1 --ctrl type=tcp,port=" +
                std::to_string(port_ + 1) +
                ",bindaddr=127.0.0.1 --flags not-need-init,startup-clear --daemon --pid file=" +
                pidFile + " > " + dir_ + "/swtpm.log 2>&1";
            if (std::system(command.c_str()) != 0) continue;
            std::ifstream(pidFile) >> pid_;
        }
    }
    ~SoftwareTpm() { stop(); }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            for (int i = 0; i < 100 && ::kill(pid_, 0) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        pid_ = 0;
    }
    bool running() const { return pid_ > 0; }
    std::string tcti() const { return "swtpm:host=127.0.0.1,port=" + std::to_string(port_); }
    std::string log() const { return readFile(dir_ + "/swtpm.log"); }

  private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = 0;
};

/// Points the TPM backend at a TPM for the test's length.
class TctiSetting {
  public:
    explicit TctiSetting(const std::string& tcti) { ::setenv("TAVI_TPM_TCTI", tcti.c_str(), 1); }
    ~TctiSetting() { ::unsetenv("TAVI_TPM_TCTI"); }
    TctiSetting(const TctiSetting&) = delete;
    TctiSetting& operator=(const TctiSetting&) = delete;
};

// The TPM backend against a real swtpm: the data key is sealed to that TPM; the store opens
// again with it, and a copy opened under a second TPM is refused.
TEST_F(SealedStoreTest, TpmSealsTheKeyAndAnotherTpmCannotOpenTheCopy) {
    if (std::system("command -v swtpm > /dev/null 2>&1") != 0) {
        GTEST_SKIP() << "swtpm is not installed (packages swtpm, swtpm-tools, libtss2-tcti-swtpm0)";
    }
    auto first = std::make_unique<SoftwareTpm>(dir_ + "/tpm1");
    if (!first->running()) GTEST_SKIP() << "swtpm did not start: " << first->log();
    {
        const TctiSetting tcti(first->tcti());
        auto store = openSqliteSecureStore(path_, protection("tpm"));
        if (!store && store.error().message.find("not built") != std::string::npos) {
            GTEST_SKIP() << "the library was built without tpm2-tss";
        }
        ASSERT_TRUE(store) << store.error().description();
        const auto status = secureStoreStatus(*store.value()).value();
        EXPECT_EQ(status.backend, "tpm");
        EXPECT_EQ(status.strength, "strong");
        writeSession(*store.value());
        EXPECT_EQ(canariesIn(rawBytes(path_)), std::vector<std::string>{});
        ASSERT_TRUE(rekeySecureStore(*store.value()));
        store = std::shared_ptr<SecureStore>();
        auto again = open("auto");  // the store records its backend
        ASSERT_TRUE(again);
        expectSession(*again);
        auto chosen = open("auto", dir_ + "/auto.db");  // auto prefers the TPM
        ASSERT_TRUE(chosen);
        EXPECT_EQ(secureStoreStatus(*chosen).value().backend, "tpm");
    }
    const std::string copy = dir_ + "/copy.db";
    fs::copy_file(path_, copy);
    first->stop();
    SoftwareTpm second(dir_ + "/tpm2");
    ASSERT_TRUE(second.running()) << second.log();
    const TctiSetting tcti(second.tcti());
    const auto refused = openSqliteSecureStore(copy, protection("auto"));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, ClientErrorCode::storeUnavailable);
    EXPECT_NE(refused.error().message.find("backend tpm"), std::string::npos)
        << refused.error().message;
    EXPECT_NE(refused.error().message.find("another machine"), std::string::npos)
        << refused.error().message;
    EXPECT_NE(refused.error().message.find("reset"), std::string::npos);
}

}  // namespace
}  // namespace tavi
