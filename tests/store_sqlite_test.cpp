// The SQLite secure store as a file: permissions, persistence, several processes and threads,
// refusal of files it must not use, lock failures and killed writers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
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

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& bytes, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    ::chmod(path.c_str(), mode);
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

StoreItem textItem(const std::string& text) {
    StoreItem item;
    item.data.assign(text.begin(), text.end());
    return item;
}

std::string textOf(const StoreItem& item) {
    return std::string(item.data.begin(), item.data.end());
}

std::shared_ptr<SecureStore> mustOpen(const std::string& path) {
    auto opened = openSqliteSecureStore(path);
    if (!opened) {
        ADD_FAILURE() << opened.error().description();
        return nullptr;
    }
    return opened.value();
}

/// Waits for a forked child; its exit status, or -1 if it did not exit normally.
int waitChild(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

class SqliteStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (fs::temp_directory_path() / "tavi-sq-XXXXXX").string();
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
        fs::remove_all(dir_);
    }

    /// Checks that opening `path` is refused with a clear error and that the file is untouched.
    void expectRefused(const std::string& path, const std::string& problemWords) {
        const std::string before = readFile(path);
        const mode_t modeBefore = modeOf(path);
        const auto opened = openSqliteSecureStore(path);
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.error().domain, "TaviClientError");
        EXPECT_EQ(opened.error().code, ClientErrorCode::storeUnavailable);
        EXPECT_NE(opened.error().message.find(path), std::string::npos) << opened.error().message;
        EXPECT_NE(opened.error().message.find(problemWords), std::string::npos)
            << opened.error().message;
        EXPECT_EQ(readFile(path), before);
        EXPECT_EQ(modeOf(path), modeBefore);
        EXPECT_FALSE(fs::exists(path + "-wal"));
        EXPECT_FALSE(fs::exists(path + "-shm"));
    }

    std::string dir_;
    std::string path_;
    DiagnosticsSink savedSink_;
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
};

TEST_F(SqliteStoreTest, CreatesPrivateFileAndDirectoriesWhateverTheUmask) {
    const std::string path = dir_ + "/a/b/store.db";
    const mode_t oldMask = ::umask(0);
    auto store = mustOpen(path);
    ::umask(oldMask);
    ASSERT_TRUE(store);
    EXPECT_EQ(modeOf(dir_ + "/a"), 0700u);
    EXPECT_EQ(modeOf(dir_ + "/a/b"), 0700u);
    EXPECT_EQ(modeOf(path), 0600u);
    ASSERT_EQ(store->add(ItemClass::genericPassword, "n", textItem("v")), KeychainStatus::success);
    for (const char* suffix : {"-wal", "-shm"}) {
        ASSERT_TRUE(fs::exists(path + suffix)) << suffix;
        EXPECT_EQ(modeOf(path + suffix), 0600u) << suffix;
    }
    // An existing directory keeps its own mode.
    ::chmod(dir_.c_str(), 0750);
    store.reset();
    ASSERT_TRUE(mustOpen(dir_ + "/other.db"));
    EXPECT_EQ(modeOf(dir_), 0750u);
}

TEST_F(SqliteStoreTest, PersistsAcrossReopenAndProcesses) {
    {
        auto store = mustOpen(path_);
        ASSERT_TRUE(store);
        StoreItem key{{0x30, 0x00, 0xFF}, KeyClass::privateKey};
        ASSERT_EQ(store->add(ItemClass::key, "-42", key), KeychainStatus::success);
        ASSERT_EQ(store->add(ItemClass::genericPassword, "fromParent", textItem("p")),
                  KeychainStatus::success);
    }
    {
        auto store = mustOpen(path_);
        ASSERT_TRUE(store);
        StoreItem out;
        ASSERT_EQ(store->copy(ItemClass::key, "-42", out), KeychainStatus::success);
        EXPECT_EQ(out.data, (Bytes{0x30, 0x00, 0xFF}));
        EXPECT_EQ(out.keyClass, KeyClass::privateKey);
    }

    // No connection is open across the fork: each process opens its own.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto opened = openSqliteSecureStore(path_);
        if (!opened) ::_exit(10);
        StoreItem out;
        if (opened.value()->copy(ItemClass::genericPassword, "fromParent", out) != 0) ::_exit(11);
        if (textOf(out) != "p") ::_exit(12);
        if (opened.value()->add(ItemClass::genericPassword, "fromChild", textItem("c")) != 0) {
            ::_exit(13);
        }
        ::_exit(0);
    }
    ASSERT_EQ(waitChild(child), 0);
    auto store = mustOpen(path_);
    ASSERT_TRUE(store);
    StoreItem out;
    ASSERT_EQ(store->copy(ItemClass::genericPassword, "fromChild", out), KeychainStatus::success);
    EXPECT_EQ(textOf(out), "c");
}

TEST_F(SqliteStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kPerProcess = 200;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char byte;
            (void)!::read(gate[0], &byte, 1);  // returns at EOF: both start together
            // Both processes create the (absent) file at the same moment.
            auto opened = openSqliteSecureStore(path_);
            if (!opened) {
                std::fprintf(stderr, "%s\n", opened.error().description().c_str());
                ::_exit(10);
            }
            auto& store = *opened.value();
            int contested = -1;
            for (int i = 0; i < kPerProcess; ++i) {
                const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
                if (store.add(ItemClass::genericPassword, name, textItem(name)) != 0) ::_exit(11);
                if (i == kPerProcess / 2) {
                    contested = store.add(ItemClass::genericPassword, "contested",
                                          textItem(std::to_string(p)));
                }
            }
            if (contested == KeychainStatus::success) ::_exit(0);
            if (contested == KeychainStatus::duplicateItem) ::_exit(1);
            ::_exit(12);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    std::vector<int> results;
    for (const pid_t pid : children) results.push_back(waitChild(pid));
    // Exactly one process added the contested name; the other was told it exists.
    EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1) << results[0] << results[1];
    EXPECT_EQ(std::count(results.begin(), results.end(), 1), 1) << results[0] << results[1];

    auto store = mustOpen(path_);
    ASSERT_TRUE(store);
    for (int p = 0; p < 2; ++p) {
        for (int i = 0; i < kPerProcess; ++i) {
            const std::string name = "p" + std::to_string(p) + "-" + std::to_string(i);
            StoreItem out;
            ASSERT_EQ(store->copy(ItemClass::genericPassword, name, out), KeychainStatus::success)
                << name;
            EXPECT_EQ(textOf(out), name);
        }
    }
}

TEST_F(SqliteStoreTest, SeveralConnectionsInOneProcessShareTheFile) {
    auto first = mustOpen(path_);
    auto second = mustOpen(path_);
    ASSERT_TRUE(first && second);
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto& store = (t % 2 == 0) ? *first : *second;
            for (int i = 0; i < kPerThread; ++i) {
                const std::string name = std::to_string(t) + "/" + std::to_string(i);
                if (store.add(ItemClass::genericPassword, name, textItem(name)) != 0) ++failures[t];
                StoreItem out;
                if (store.copy(ItemClass::genericPassword, name, out) != 0) ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << t;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            const std::string name = std::to_string(t) + "/" + std::to_string(i);
            StoreItem out;
            EXPECT_EQ(first->copy(ItemClass::genericPassword, name, out), KeychainStatus::success);
            EXPECT_EQ(textOf(out), name);
        }
    }
}

// Reads are answered from memory while nothing changed; every change by this connection, by
// another connection or by another process must show at the next read.
TEST_F(SqliteStoreTest, ReadsSeeEveryChangeWhoeverMadeIt) {
    auto reader = mustOpen(path_);
    auto writer = mustOpen(path_);
    ASSERT_TRUE(reader && writer);
    const auto cls = ItemClass::genericPassword;
    auto read = [&](const std::string& name) -> std::optional<std::string> {
        StoreItem out;
        if (reader->copy(cls, name, out) != KeychainStatus::success) return std::nullopt;
        return textOf(out);
    };

    EXPECT_EQ(read("a"), std::nullopt);  // remembered as absent
    ASSERT_EQ(writer->add(cls, "a", textItem("1")), KeychainStatus::success);
    EXPECT_EQ(read("a"), "1");
    ASSERT_EQ(writer->replace(cls, "a", textItem("2")), KeychainStatus::success);
    EXPECT_EQ(read("a"), "2");
    ASSERT_EQ(writer->remove(cls, "a"), KeychainStatus::success);
    EXPECT_EQ(read("a"), std::nullopt);

    // The reader's own writes.
    ASSERT_EQ(reader->add(cls, "b", textItem("own")), KeychainStatus::success);
    EXPECT_EQ(read("b"), "own");
    ASSERT_EQ(reader->replace(cls, "b", textItem("own2")), KeychainStatus::success);
    EXPECT_EQ(read("b"), "own2");
    ASSERT_EQ(reader->remove(cls, "b"), KeychainStatus::success);
    EXPECT_EQ(read("b"), std::nullopt);
    ASSERT_TRUE(reader->putAll(cls, {NamedItem{"b", textItem("own3")}}));
    EXPECT_EQ(read("b"), "own3");

    // Another process.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        auto opened = openSqliteSecureStore(path_);
        if (!opened) ::_exit(10);
        if (opened.value()->replace(cls, "b", textItem("child")) != 0) ::_exit(11);
        ::_exit(0);
    }
    ASSERT_EQ(waitChild(child), 0);
    EXPECT_EQ(read("b"), "child");

    // Several at once: one consistent answer, absent names as none, in the order asked; more
    // names than are remembered at a time still read right.
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) {
        names.push_back("n" + std::to_string(i));
        if (i % 3 != 0) {
            ASSERT_EQ(writer->add(cls, names.back(), textItem(std::to_string(i))), 0);
        }
    }
    for (int round = 0; round < 2; ++round) {
        const auto all = reader->copyAll(cls, names);
        ASSERT_EQ(all.size(), names.size());
        for (int i = 0; i < 100; ++i) {
            if (i % 3 == 0) {
                EXPECT_FALSE(all[i].has_value()) << i;
            } else {
                ASSERT_TRUE(all[i].has_value()) << i;
                EXPECT_EQ(textOf(*all[i]), std::to_string(i));
            }
        }
    }
    ASSERT_EQ(writer->replace(cls, "n1", textItem("changed")), 0);
    const auto again = reader->copyAll(cls, {"n1", "n0"});
    ASSERT_TRUE(again[0].has_value());
    EXPECT_EQ(textOf(*again[0]), "changed");
    EXPECT_FALSE(again[1].has_value());
}

TEST_F(SqliteStoreTest, RefusesFilesOpenToOthers) {
    {
        auto store = mustOpen(path_);
        ASSERT_TRUE(store);
        ASSERT_EQ(store->add(ItemClass::genericPassword, "n", textItem("v")), 0);
    }
    for (const mode_t mode : {0644u, 0640u, 0606u}) {
        ::chmod(path_.c_str(), mode);
        SCOPED_TRACE(mode);
        expectRefused(path_, "group or others");
    }
    ::chmod(path_.c_str(), 0600);
    auto store = mustOpen(path_);
    ASSERT_TRUE(store);
    StoreItem out;
    EXPECT_EQ(store->copy(ItemClass::genericPassword, "n", out), KeychainStatus::success);
}

/// Runs `body` in a forked child that has become another user (uid/gid 65534); its exit status.
template <class Body>
int asAnotherUser(Body body) {
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(100);
        }
        ::_exit(body());
    }
    return waitChild(child);
}

// Only what the user owns is trusted: links are never followed, and a file or directory another
// user owns, or could have written, is refused with an error that names the path, the problem and
// the fix, before SQLite opens anything. What is refused stays as it was.
TEST_F(SqliteStoreTest, TrustsOnlyWhatTheUserOwns) {
    // A store with a session, as earlier versions made it: 0600 in a 0700 directory.
    const std::string real = dir_ + "/real.db";
    {
        auto store = mustOpen(real);
        ASSERT_TRUE(store);
        ASSERT_EQ(store->add(ItemClass::genericPassword, "taviId", textItem("secret-id")), 0);
    }
    ASSERT_EQ(modeOf(real), 0600u);
    const std::string realBytes = readFile(real);
    auto refused = [&](const std::string& path, const std::string& words) {
        const auto opened = openSqliteSecureStore(path);
        ASSERT_FALSE(opened.ok()) << path;
        EXPECT_EQ(opened.error().code, ClientErrorCode::storeUnavailable);
        EXPECT_NE(opened.error().message.find(path), std::string::npos) << opened.error().message;
        EXPECT_NE(opened.error().message.find(words), std::string::npos) << opened.error().message;
        EXPECT_EQ(readFile(real), realBytes);
    };

    // A link planted at the store's path, at a companion's, and a linked directory.
    fs::create_symlink(real, path_);
    refused(path_, "symbolic link");
    fs::remove(path_);
    fs::create_symlink(dir_ + "/elsewhere-wal", real + "-wal");
    refused(real, "symbolic link");
    EXPECT_FALSE(fs::exists(dir_ + "/elsewhere-wal"));
    fs::remove(real + "-wal");
    fs::create_directory(dir_ + "/inner");
    fs::create_directory_symlink(dir_ + "/inner", dir_ + "/linked");
    refused(dir_ + "/linked/store.db", "symbolic link");
    EXPECT_FALSE(fs::exists(dir_ + "/inner/store.db"));

    // A directory others may write into: whatever is in it could have been swapped.
    ::chmod(dir_.c_str(), 0777);
    refused(real, "chmod 700");
    ::chmod(dir_.c_str(), 01777);
    refused(real, "writable by group or others");
    ::chmod(dir_.c_str(), 0700);

    // A store opens unchanged again, also through a linked directory above its own.
    fs::create_directory(dir_ + "/inner/own");
    ::chmod((dir_ + "/inner/own").c_str(), 0700);
    ASSERT_TRUE(mustOpen(dir_ + "/linked/own/store.db"));
    {
        auto store = mustOpen(real);
        ASSERT_TRUE(store);
        StoreItem out;
        ASSERT_EQ(store->copy(ItemClass::genericPassword, "taviId", out), 0);
        EXPECT_EQ(textOf(out), "secret-id");
    }

    if (::geteuid() != 0) GTEST_SKIP() << "playing another user needs root";
    // The other user cannot reach the store.
    EXPECT_EQ(asAnotherUser([&] {
                  const int fd = ::open(real.c_str(), O_RDONLY);
                  if (fd >= 0) return 1;
                  return errno == EACCES ? 0 : 2;
              }),
              0);
    // While the directory was open to everybody, the other user planted a store and a WAL.
    ::chmod(dir_.c_str(), 0777);
    const std::string planted = dir_ + "/planted.db";
    EXPECT_EQ(asAnotherUser([&] {
                  const int db = ::open(planted.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
                  const int wal = ::open((real + "-wal").c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
                  const int early =
                      ::open((dir_ + "/fresh.db-wal").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
                  if (db < 0 || wal < 0 || early < 0) return 1;
                  ::fchmod(wal, 0666);
                  return 0;
              }),
              0);
    ::chmod(dir_.c_str(), 0700);
    refused(planted, "owned by uid 65534");
    refused(real, "companion file");
    refused(dir_ + "/fresh.db", "companion file");  // a WAL waiting for a store not made yet
    EXPECT_EQ(fs::file_size(real + "-wal"), 0u);
    fs::remove(real + "-wal");
    ASSERT_TRUE(mustOpen(real));
}

TEST_F(SqliteStoreTest, RefusesWhatIsNotAnIntactStore) {
    // Random bytes.
    std::mt19937 rng(7);
    std::string noise(8192, '\0');
    for (auto& c : noise) c = static_cast<char>(rng());
    writeFile(path_, noise, 0600);
    expectRefused(path_, "not a usable database");

    // A store whose pages were overwritten.
    const std::string damaged = dir_ + "/damaged.db";
    {
        auto store = mustOpen(damaged);
        ASSERT_TRUE(store);
        for (int i = 0; i < 40; ++i) {
            // Appended, not "n" + ...: that trips GCC 12's -Wrestrict at -O3.
            const std::string name = std::string("n").append(std::to_string(i));
            ASSERT_EQ(store->add(ItemClass::genericPassword, name,
                                 textItem(std::string(2000, 'a' + i % 26))),
                      0);
        }
    }  // the last connection checkpoints the WAL into the file and removes it
    std::string bytes = readFile(damaged);
    ASSERT_GT(bytes.size(), 3 * 4096u);
    for (std::size_t i = 4096; i < 3 * 4096; ++i) bytes[i] = static_cast<char>(rng());
    writeFile(damaged, bytes, 0600);
    expectRefused(damaged, "");

    // Another program's database.
    const std::string foreign = dir_ + "/foreign.db";
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(sqlite3_open(foreign.c_str(), &raw), SQLITE_OK);
        std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
        ASSERT_EQ(sqlite3_exec(raw, "CREATE TABLE notes(x)", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    ::chmod(foreign.c_str(), 0600);
    expectRefused(foreign, "no items table");

    // A directory where the file should be.
    fs::create_directory(dir_ + "/dir.db");
    const auto opened = openSqliteSecureStore(dir_ + "/dir.db");
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().message.find("not a regular file"), std::string::npos);
}

TEST_F(SqliteStoreTest, LockedDatabaseReportsLockedNotSuccess) {
    auto opened = detail::openSqliteSecureStore(path_, std::chrono::milliseconds(100));
    ASSERT_TRUE(opened.ok()) << opened.error().description();
    auto store = opened.value();
    ASSERT_EQ(store->add(ItemClass::genericPassword, "kept", textItem("v")), 0);
    {
        std::lock_guard lock(linesMutex_);
        lines_.clear();  // what the open said of its protection
    }

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> other(raw, sqlite3_close);
    ASSERT_EQ(sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    // The status says why: the database is locked by another writer.
    const std::string secret = "4111111111111111";
    EXPECT_EQ(store->add(ItemClass::genericPassword, "card", textItem(secret)),
              KeychainStatus::locked);
    EXPECT_EQ(store->remove(ItemClass::genericPassword, "kept"), KeychainStatus::locked);
    StoreItem out;
    EXPECT_EQ(store->copy(ItemClass::genericPassword, "kept", out), KeychainStatus::success);
    {
        std::lock_guard lock(linesMutex_);
        ASSERT_EQ(lines_.size(), 2u);
        for (const auto& line : lines_) {
            EXPECT_NE(line.find("failed"), std::string::npos) << line;
            EXPECT_EQ(line.find(secret), std::string::npos) << line;
        }
    }
    // The Result form gives the caller the status and SQLite's words, never the value.
    const Done refused = store->insert(ItemClass::genericPassword, "card", textItem(secret));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().domain, ErrorDomain::store);
    EXPECT_EQ(refused.error().code, KeychainStatus::locked);
    EXPECT_NE(refused.error().message.find("locked"), std::string::npos) << refused.error().message;
    EXPECT_EQ(refused.error().message.find(secret), std::string::npos);

    ASSERT_EQ(sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(store->add(ItemClass::genericPassword, "card", textItem(secret)), 0);
    EXPECT_EQ(store->remove(ItemClass::genericPassword, "kept"), 0);
}

TEST_F(SqliteStoreTest, KilledWriterLeavesOnlyWholeItems) {
    // Values span many pages, so a kill lands inside a transaction most of the time.
    const auto valueFor = [](int i) { return std::string(64 * 1024 + i, 'A' + i % 26); };
    int lastSeen = -1;
    for (int round = 0; round < 3; ++round) {
        // The writer reports its first whole write through a pipe, so that a slow machine (or a
        // sanitizer build) still has written something before the kill lands mid-write.
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            auto opened = openSqliteSecureStore(path_);
            if (!opened) ::_exit(10);
            for (int i = lastSeen + 1;; ++i) {
                const auto status = opened.value()->add(ItemClass::genericPassword,
                                                        std::to_string(i), textItem(valueFor(i)));
                if (status != 0) ::_exit(11);
                if (i == lastSeen + 1) {
                    const char one = '1';
                    if (::write(ready[1], &one, 1) != 1) ::_exit(12);
                    ::close(ready[1]);
                }
            }
        }
        ::close(ready[1]);
        char got = 0;
        const ssize_t n = ::read(ready[0], &got, 1);  // blocks until the first write committed
        ::close(ready[0]);
        if (n == 1) std::this_thread::sleep_for(std::chrono::milliseconds(50 + 50 * round));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped early: " << WEXITSTATUS(status);

        auto store = mustOpen(path_);  // opening runs the integrity check
        ASSERT_TRUE(store);
        // Items were written in order: a run of whole values, then nothing.
        int i = 0;
        for (;; ++i) {
            StoreItem out;
            const auto copied = store->copy(ItemClass::genericPassword, std::to_string(i), out);
            if (copied == KeychainStatus::itemNotFound) break;
            ASSERT_EQ(copied, KeychainStatus::success);
            ASSERT_EQ(textOf(out), valueFor(i)) << i;
        }
        StoreItem out;
        EXPECT_EQ(store->copy(ItemClass::genericPassword, std::to_string(i + 1), out),
                  KeychainStatus::itemNotFound);
        EXPECT_GT(i, lastSeen + 1) << "round " << round << " wrote nothing";
        lastSeen = i - 1;
    }
}

class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~EnvVar() {
        if (saved_) {
            ::setenv(name_.c_str(), saved_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }

  private:
    std::string name_;
    std::optional<std::string> saved_;
};

TEST_F(SqliteStoreTest, DefaultPathAndLazyInstalledStore) {
    {
        const EnvVar home("HOME", "/home/someone");
        const EnvVar xdg("XDG_DATA_HOME", nullptr);
        EXPECT_EQ(defaultStorePath(), "/home/someone/.local/share/tavi/store.db");
        const EnvVar relative("XDG_DATA_HOME", "relative/dir");
        EXPECT_EQ(defaultStorePath(), "/home/someone/.local/share/tavi/store.db");
    }

    const EnvVar xdg("XDG_DATA_HOME", dir_.c_str());
    EXPECT_EQ(defaultStorePath(), dir_ + "/tavi/store.db");
    KeychainManager::setStore(nullptr);
    ASSERT_EQ(KeychainManager::savePreference("persisted", "lazy"), KeychainStatus::success);
    EXPECT_EQ(modeOf(dir_ + "/tavi"), 0700u);
    EXPECT_EQ(modeOf(dir_ + "/tavi/store.db"), 0600u);
    {
        auto reopened = mustOpen(dir_ + "/tavi/store.db");
        ASSERT_TRUE(reopened);
        StoreItem out;
        ASSERT_EQ(reopened->copy(ItemClass::genericPassword, "lazy", out), 0);
        EXPECT_EQ(textOf(out), "persisted");
    }

    // A store that cannot be opened: nothing is kept anywhere, every write says so, the reason
    // (with the path and the fix) is reported once, and the store is tried again next time.
    ::chmod((dir_ + "/tavi/store.db").c_str(), 0644);
    KeychainManager::setStore(nullptr);
    lines_.clear();
    EXPECT_EQ(KeychainManager::getPreference("lazy"), std::nullopt);
    EXPECT_EQ(KeychainManager::savePreference("memory", "lazy"), KeychainStatus::notAvailable);
    EXPECT_EQ(SessionManager::saveTaviId("memory"), KeychainStatus::notAvailable);
    EXPECT_EQ(KeychainManager::getPreference("lazy"), std::nullopt);
    ASSERT_EQ(lines_.size(), 1u);
    EXPECT_NE(lines_[0].find(dir_ + "/tavi/store.db"), std::string::npos) << lines_[0];
    EXPECT_NE(lines_[0].find("chmod 600"), std::string::npos) << lines_[0];
    const auto unavailable = detail::installedStore();
    ASSERT_FALSE(unavailable.ok());
    EXPECT_EQ(unavailable.error().code, ClientErrorCode::storeUnavailable);
    EXPECT_NE(unavailable.error().message.find("KeychainManager::setStore"), std::string::npos);
    ::chmod((dir_ + "/tavi/store.db").c_str(), 0600);
    EXPECT_EQ(KeychainManager::getPreference("lazy"), "persisted");

    // No default location at all.
    {
        const EnvVar noXdg("XDG_DATA_HOME", nullptr);
        const EnvVar noHome("HOME", "relative");
        KeychainManager::setStore(nullptr);
        if (defaultStorePath().empty()) {  // no home directory in the password database either
            const auto none = detail::installedStore();
            ASSERT_FALSE(none.ok());
            EXPECT_NE(none.error().message.find("HOME"), std::string::npos);
        }
    }
    KeychainManager::setStore(makeMemorySecureStore());
}

}  // namespace
}  // namespace tavi
