// The registration check against the sandbox: early answers without a request, what the request
// carries, and how the server's answer becomes the verdict.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Json = nlohmann::ordered_json;
using sandbox::Fault;

constexpr const char* kCheckPath = "/kora-core/tavi-sdk/urn:apiver:1.0/check-device-registration";
constexpr const char* kMobile = "+15550100";

const std::vector<const char*> kSessionNames = {"IS_REGISTERED", "taviKey", "pspId", "taviId",
                                                "deviceId",      "imei1",   "imei2", "mobile"};

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

void replace(const char* name, const std::optional<std::string>& value) {
    KeychainManager::deletePreference(name);
    if (value) KeychainManager::savePreference(*value, name);
}

class RegistrationCheck : public SandboxTest {
  protected:
    /// Runs the check; fails the test unless exactly one answer came before it returned.
    std::optional<bool> check(const std::string& mobile = kMobile) {
        int calls = 0;
        std::optional<bool> answer;
        TaviUtils::getCheckDeviceRegistered(mobile, [&](bool registered) {
            ++calls;
            answer = registered;
        });
        EXPECT_EQ(calls, 1);
        return answer;
    }

    void answerWith(Fault::Kind kind, int status = 0, const std::string& body = "") {
        server().clearFaults();
        Fault fault;
        fault.path = kCheckPath;
        fault.kind = kind;
        fault.status = status;
        fault.body = body;
        server().addFault(fault);
    }
};

TEST_F(RegistrationCheck, IncompleteRegistrationAnswersFalseWithoutARequest) {
    ASSERT_TRUE(registerDevice(kMobile));
    std::map<std::string, std::optional<std::string>> session;
    for (const char* name : kSessionNames) session[name] = KeychainManager::getPreference(name);

    const std::vector<std::pair<const char*, std::optional<std::string>>> cases = {
        {"IS_REGISTERED", std::nullopt},
        {"IS_REGISTERED", "false"},
        {"IS_REGISTERED", "TRUE"},
        {"taviKey", std::nullopt},
        {"taviKey", ""},
        {"taviKey", "bm90IGEga2V5"},
        {"pspId", std::nullopt},
        {"taviId", std::nullopt},
        {"deviceId", std::nullopt},
        {"imei1", std::nullopt},
        {"imei2", std::nullopt},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(std::string(name) + " = " + value.value_or("(absent)"));
        for (const auto& [n, v] : session) replace(n.c_str(), v);
        replace(name, value);
        server().clearRequests();
        EXPECT_EQ(check(), false);
        EXPECT_TRUE(server().requests().empty());
    }

    for (const auto& [n, v] : session) replace(n.c_str(), v);
    EXPECT_EQ(check(), true);
}

/// Passes everything to a memory store and notes the names read.
class ReadRecordingStore : public SecureStore {
  public:
    std::int32_t add(ItemClass cls, const std::string& name, const StoreItem& item) override {
        return inner_->add(cls, name, item);
    }
    std::int32_t copy(ItemClass cls, const std::string& name, StoreItem& out) override {
        reads.push_back(name);
        return inner_->copy(cls, name, out);
    }
    std::int32_t remove(ItemClass cls, const std::string& name) override {
        return inner_->remove(cls, name);
    }
    std::vector<std::string> reads;

  private:
    std::shared_ptr<SecureStore> inner_ = makeMemorySecureStore();
};

TEST_F(RegistrationCheck, NeverRegisteredDeviceReadsOnlyTheFlag) {
    auto store = std::make_shared<ReadRecordingStore>();
    KeychainManager::setStore(store);
    EXPECT_EQ(check(), false);
    EXPECT_EQ(store->reads, std::vector<std::string>{"IS_REGISTERED"});
    EXPECT_TRUE(server().requests().empty());
}

TEST_F(RegistrationCheck, RequestCarriesTheStoredRegistration) {
    ASSERT_TRUE(registerDevice(kMobile));
    server().clearRequests();
    EXPECT_EQ(check(), true);
    check("");

    const auto sent = requestsTo(kCheckPath);
    ASSERT_EQ(sent.size(), 2u);
    const Json body = Json::parse(sent[0].body);
    EXPECT_EQ(keysOf(body),
              (std::vector<std::string>{"commonRequest", "credentialKeysRetrievalPayloadEnc"}));
    const Json& header = body["commonRequest"];
    EXPECT_EQ(keysOf(header), (std::vector<std::string>{"msgId", "pspIdentifier", "taviIdentifier",
                                                        "symmetricKey", "transactionType"}));
    EXPECT_EQ(header["transactionType"], "FINANCIAL_TXN");
    EXPECT_EQ(header["pspIdentifier"], *SessionManager::getPspId());
    EXPECT_EQ(header["taviIdentifier"], *SessionManager::getTaviId());

    ASSERT_TRUE(sent[0].decryptedPayload);
    const Json payload = Json::parse(*sent[0].decryptedPayload);
    EXPECT_EQ(payload["paymentInstrument"], Json({{"paymentInstrumentType", "ACCOUNT"}}));
    const Json expectedDevice = {{"deviceId", *SessionManager::getDeviceId()},
                                 {"appId", AppConstantTAVI::shared().appId},
                                 {"imei1", *SessionManager::getImei1()},
                                 {"imei2", *SessionManager::getImei2()},
                                 {"mobileNo", kMobile},
                                 {"pspIdentifier", *SessionManager::getPspId()}};
    EXPECT_EQ(payload["deviceInfo"], expectedDevice);
    EXPECT_EQ(payload["resetCredentialCall"], false);
    const auto now = TaviUtils::getCurrentTimeInMillis();
    EXPECT_LE(payload["startDateTime"].get<std::int64_t>(), now);
    EXPECT_GT(payload["startDateTime"].get<std::int64_t>(), now - 60000);

    // The mobile number travels as given, the empty text included; every check is fresh.
    ASSERT_TRUE(sent[1].decryptedPayload);
    EXPECT_EQ(Json::parse(*sent[1].decryptedPayload)["deviceInfo"]["mobileNo"], "");
    const Json second = Json::parse(sent[1].body)["commonRequest"];
    EXPECT_NE(header["msgId"], second["msgId"]);
    EXPECT_NE(header["symmetricKey"], second["symmetricKey"]);
}

TEST_F(RegistrationCheck, VerdictIsTheAnswersSuccessWhateverTheStatus) {
    ASSERT_TRUE(registerDevice(kMobile));

    answerWith(Fault::Kind::refusal);
    EXPECT_EQ(check(), false);
    answerWith(Fault::Kind::body, 500, R"({"commonResponse":{"success":true}})");
    EXPECT_EQ(check(), true);
    answerWith(Fault::Kind::body, 200, R"({"verdict":true})");
    EXPECT_EQ(check(), false);
    answerWith(Fault::Kind::body, 200, R"({"commonResponse":{"success":"true"}})");
    EXPECT_EQ(check(), false);
    answerWith(Fault::Kind::nonJson);
    EXPECT_EQ(check(), false);
    answerWith(Fault::Kind::emptyBody);
    EXPECT_EQ(check(), false);
    answerWith(Fault::Kind::dropConnection);
    EXPECT_EQ(check(), false);
}

}  // namespace
}  // namespace tavi::test
