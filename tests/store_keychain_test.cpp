// KeychainManager and SessionManager over each secure store backend.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tavi/config.hpp"
#include "tavi/store.hpp"

namespace tavi {
namespace {

struct MemoryBackend {
    static std::shared_ptr<SecureStore> make(const std::string&) { return makeMemorySecureStore(); }
};

struct SqliteBackend {
    static std::shared_ptr<SecureStore> make(const std::string& dir) {
        auto opened = openSqliteSecureStore(dir + "/store.db");
        if (!opened) {
            ADD_FAILURE() << opened.error().description();
            return makeMemorySecureStore();
        }
        return opened.value();
    }
};

template <class Backend>
class KeychainTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (std::filesystem::temp_directory_path() / "tavi-kc-XXXXXX").string();
        ASSERT_NE(::mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        savedSink_ = AppConstantTAVI::shared().diagnosticsSink;
        AppConstantTAVI::shared().diagnosticsSink = {};
        store_ = Backend::make(dir_);
        KeychainManager::setStore(store_);
    }

    void TearDown() override {
        KeychainManager::setStore(makeMemorySecureStore());
        store_.reset();
        AppConstantTAVI::shared().diagnosticsSink = savedSink_;
        std::filesystem::remove_all(dir_);
    }

    std::string dir_;
    DiagnosticsSink savedSink_;
    std::shared_ptr<SecureStore> store_;
};

using Backends = ::testing::Types<MemoryBackend, SqliteBackend>;
TYPED_TEST_SUITE(KeychainTest, Backends);

TYPED_TEST(KeychainTest, SaveNeverOverwritesButSessionSaveReplaces) {
    EXPECT_EQ(KeychainManager::savePreference("first", "taviKey"), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::savePreference("second", "taviKey"), KeychainStatus::duplicateItem);
    EXPECT_EQ(KeychainManager::getPreference("taviKey"), "first");

    SessionManager::saveTaviKey("second");
    EXPECT_EQ(SessionManager::getTaviKey(), "second");
    // A session save of a name never stored before works as well.
    SessionManager::savePspId("psp-1");
    EXPECT_EQ(SessionManager::getPspId(), "psp-1");
}

TYPED_TEST(KeychainTest, AbsentNames) {
    EXPECT_EQ(KeychainManager::getPreference("never"), std::nullopt);
    EXPECT_EQ(KeychainManager::deletePreference("never"), KeychainStatus::itemNotFound);

    ASSERT_EQ(KeychainManager::savePreference("v", "once"), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::deletePreference("once"), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::getPreference("once"), std::nullopt);
    EXPECT_EQ(KeychainManager::deletePreference("once"), KeychainStatus::itemNotFound);
    EXPECT_EQ(KeychainManager::savePreference("again", "once"), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::getPreference("once"), "again");
}

TYPED_TEST(KeychainTest, SeveralValuesReadTogetherAnswerAsEachAlone) {
    ASSERT_EQ(KeychainManager::savePreference("p", "pspId"), KeychainStatus::success);
    ASSERT_EQ(KeychainManager::savePreference("", "imei1"), KeychainStatus::success);
    StoreItem notText;
    notText.data = {0xC3, 0x28};  // stored by someone else, not UTF-8
    ASSERT_EQ(this->store_->add(ItemClass::genericPassword, "imei2", notText),
              KeychainStatus::success);
    const std::vector<std::string> names{"imei2", "never", "pspId", "imei1", "pspId"};
    const auto values = KeychainManager::getPreferences(names);
    ASSERT_EQ(values.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(values[i], KeychainManager::getPreference(names[i])) << names[i];
    }
    EXPECT_EQ(values[2], "p");
    EXPECT_EQ(values[3], "");
    EXPECT_EQ(values[0], std::nullopt);
    EXPECT_EQ(values[1], std::nullopt);

    // A change made between two reads shows in the second.
    SessionManager::savePspId("q");
    EXPECT_EQ(KeychainManager::getPreferences({"pspId"})[0], "q");
}

TYPED_TEST(KeychainTest, EmptyTextIsAValue) {
    ASSERT_EQ(KeychainManager::savePreference("", "empty"), KeychainStatus::success);
    const auto value = KeychainManager::getPreference("empty");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, "");
    EXPECT_EQ(KeychainManager::savePreference("x", "empty"), KeychainStatus::duplicateItem);
}

TYPED_TEST(KeychainTest, AnyUtf8TextRoundTrips) {
    const std::vector<std::string> values = {
        "na\xC3\xAFve \xE2\x80\x94 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x8E\x89",  // 2-, 3-, 4-byte
        "\"quoted\" 'single' back\\slash %s %n",
        "line1\nline2\r\nline3\t",
        std::string("nul\0inside\0", 11),
        std::string(200 * 1024, 'z'),
        "-----BEGIN PUBLIC KEY-----\nMIIBIjANBgkqhkiG9w0BAQEFAAOCAQ8A\n-----END PUBLIC KEY-----\n",
    };
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::string name = "value" + std::to_string(i);
        ASSERT_EQ(KeychainManager::savePreference(values[i], name), KeychainStatus::success) << i;
        EXPECT_EQ(KeychainManager::getPreference(name), values[i]) << i;
    }
    // Names are whole byte strings too: an embedded NUL does not cut them short.
    const std::string shortName = "k";
    const std::string longName("k\0tail", 6);
    ASSERT_EQ(KeychainManager::savePreference("short", shortName), KeychainStatus::success);
    ASSERT_EQ(KeychainManager::savePreference("long", longName), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::getPreference(shortName), "short");
    EXPECT_EQ(KeychainManager::getPreference(longName), "long");
    const std::string unicodeName = "\xC3\xBC\xC3\xB1\xC3\xAF";
    ASSERT_EQ(KeychainManager::savePreference("u", unicodeName), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::getPreference(unicodeName), "u");
}

TYPED_TEST(KeychainTest, InvalidUtf8IsRefusedAndNothingStored) {
    const std::vector<std::string> invalid = {
        "\xFF",              // never valid
        "abc\xC3",           // truncated sequence
        "\xC0\xAF",          // overlong
        "\xED\xA0\x80",      // surrogate
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
    };
    for (std::size_t i = 0; i < invalid.size(); ++i) {
        const std::string name = "bad" + std::to_string(i);
        EXPECT_EQ(KeychainManager::savePreference(invalid[i], name), KeychainStatus::invalidData)
            << i;
        StoreItem item;
        EXPECT_EQ(this->store_->copy(ItemClass::genericPassword, name, item),
                  KeychainStatus::itemNotFound)
            << i;
    }
    // Bytes put in by someone else that are not UTF-8 read as absent, not as mangled text.
    StoreItem raw;
    raw.data = {0x61, 0xFF, 0x62};
    ASSERT_EQ(this->store_->add(ItemClass::genericPassword, "raw", raw), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::getPreference("raw"), std::nullopt);
}

TYPED_TEST(KeychainTest, KeyItemsAndTextItemsDoNotCollide) {
    StoreItem key;
    key.data = {0x30, 0x82, 0x00, 0x01, 0x00};
    key.keyClass = KeyClass::publicKey;
    ASSERT_EQ(this->store_->add(ItemClass::key, "tag", key), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::getPreference("tag"), std::nullopt);
    ASSERT_EQ(KeychainManager::savePreference("text", "tag"), KeychainStatus::success);
    EXPECT_EQ(KeychainManager::deletePreference("tag"), KeychainStatus::success);

    StoreItem out;
    ASSERT_EQ(this->store_->copy(ItemClass::key, "tag", out), KeychainStatus::success);
    EXPECT_EQ(out.data, key.data);
    EXPECT_EQ(out.keyClass, KeyClass::publicKey);
    EXPECT_EQ(this->store_->add(ItemClass::key, "tag", key), KeychainStatus::duplicateItem);
    EXPECT_EQ(this->store_->remove(ItemClass::key, "tag"), KeychainStatus::success);
    EXPECT_EQ(this->store_->remove(ItemClass::key, "tag"), KeychainStatus::itemNotFound);

    StoreItem privateKey;
    privateKey.keyClass = KeyClass::privateKey;
    ASSERT_EQ(this->store_->add(ItemClass::key, "empty-key", privateKey), KeychainStatus::success);
    ASSERT_EQ(this->store_->copy(ItemClass::key, "empty-key", out), KeychainStatus::success);
    EXPECT_TRUE(out.data.empty());
    EXPECT_EQ(out.keyClass, KeyClass::privateKey);
}

TYPED_TEST(KeychainTest, IsRegisteredReadsOnlyExactWords) {
    EXPECT_EQ(SessionManager::getIsRegistered(), std::nullopt);
    const std::vector<std::pair<std::string, std::optional<bool>>> cases = {
        {"true", true},      {"false", false},   {"TRUE", std::nullopt},  {"True", std::nullopt},
        {"1", std::nullopt}, {"", std::nullopt}, {" true", std::nullopt}, {"yes", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        KeychainManager::deletePreference("IS_REGISTERED");
        ASSERT_EQ(KeychainManager::savePreference(text, "IS_REGISTERED"), KeychainStatus::success);
        EXPECT_EQ(SessionManager::getIsRegistered(), expected) << '"' << text << '"';
    }
}

TYPED_TEST(KeychainTest, SessionValuesLiveUnderTheirNames) {
    using Save = std::int32_t (*)(const std::string&);
    using Get = std::optional<std::string> (*)();
    const std::vector<std::tuple<const char*, Save, Get>> values = {
        {"pspId", SessionManager::savePspId, SessionManager::getPspId},
        {"taviId", SessionManager::saveTaviId, SessionManager::getTaviId},
        {"taviKey", SessionManager::saveTaviKey, SessionManager::getTaviKey},
        {"mobile", SessionManager::saveMobile, SessionManager::getMobile},
        {"imei1", SessionManager::saveImei1, SessionManager::getImei1},
        {"imei2", SessionManager::saveImei2, SessionManager::getImei2},
        {"appId", SessionManager::saveAppId, SessionManager::getAppId},
        {"deviceId", SessionManager::saveDeviceId, SessionManager::getDeviceId},
    };
    for (const auto& [name, save, get] : values) {
        ASSERT_EQ(save(std::string("value of ") + name), KeychainStatus::success) << name;
        EXPECT_EQ(KeychainManager::getPreference(name), std::string("value of ") + name);
        EXPECT_EQ(get(), std::string("value of ") + name);
    }
    EXPECT_EQ(SessionManager::getUsername(), std::nullopt);
    ASSERT_EQ(KeychainManager::savePreference("alice", "username"), KeychainStatus::success);
    EXPECT_EQ(SessionManager::getUsername(), "alice");
}

TYPED_TEST(KeychainTest, ConcurrentWritersLoseNothing) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 100;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    std::vector<int> wins(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures, &wins] {
            for (int i = 0; i < kPerThread; ++i) {
                std::string name = "t";  // appended: "t" + std::string trips GCC 12 at -O3
                name.append(std::to_string(t)).append("-").append(std::to_string(i));
                if (KeychainManager::savePreference(name, name) != KeychainStatus::success) {
                    ++failures[t];
                }
                // Every thread races for the same names; each must go to exactly one of them.
                const auto status =
                    KeychainManager::savePreference(name, "contested" + std::to_string(i));
                if (status == KeychainStatus::success) {
                    ++wins[t];
                } else if (status != KeychainStatus::duplicateItem) {
                    ++failures[t];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    int totalWins = 0;
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0);
        totalWins += wins[t];
    }
    EXPECT_EQ(totalWins, kPerThread);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            std::string name = "t";  // appended: "t" + std::string trips GCC 12 at -O3
            name.append(std::to_string(t)).append("-").append(std::to_string(i));
            EXPECT_EQ(KeychainManager::getPreference(name), name);
        }
    }
}

}  // namespace
}  // namespace tavi
