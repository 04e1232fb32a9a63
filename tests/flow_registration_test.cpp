// Registration against the sandbox: what is stored, what travels, and how every failure ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using Json = nlohmann::ordered_json;
using sandbox::Fault;

constexpr const char* kSmsPath = "/kora-core/kora-sms/urn:apiver:1.0/user-registration-txn";
constexpr const char* kRegisterPath = "/kora-core/tavi-sdk/urn:apiver:1.0/user-registration";
constexpr const char* kMobile = "+44 7700/900123";
constexpr const char* kAppId = "com.example.host-app";

/// What the host saw of one registration.
struct Outcome {
    int successes = 0;
    int errors = 0;
    std::string result;
    std::optional<Error> error;
    int callbacks() const { return successes + errors; }
};

std::optional<std::string> stored(const char* name) {
    return KeychainManager::getPreference(name);
}

bool isUpperUUID(const std::optional<std::string>& text) {
    static const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    return text && std::regex_match(*text, form);
}

std::vector<std::string> keysOf(const Json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
    return keys;
}

class RegistrationFlow : public SandboxTest {
  protected:
    Outcome registerWith(const std::string& sessionKey, bool success = true) {
        Outcome out;
        DeviceRegistrationController().startDeviceRegistration(
            success, sessionKey, kMobile, "REG-TXN-7", kAppId,
            [&](const std::string& r) {
                ++out.successes;
                out.result = r;
            },
            [&](const Error& e) {
                ++out.errors;
                out.error = e;
            });
        return out;
    }
    Outcome registerDevice() { return registerWith(server().serverPublicKey()); }

    void addFault(Fault::Kind kind, const char* path = kRegisterPath, int times = -1) {
        Fault fault;
        fault.path = path;
        fault.kind = kind;
        fault.times = times;
        server().addFault(fault);
    }

    /// Whether `expected` occur among the captured lines in this order.
    bool linesInOrder(const std::vector<std::string>& expected) const {
        auto lines = capture_.lines();
        auto at = lines.begin();
        for (const auto& want : expected) {
            at = std::find_if(at, lines.end(),
                              [&](const std::string& l) { return l.rfind(want, 0) == 0; });
            if (at == lines.end()) return false;
            ++at;
        }
        return true;
    }
};

TEST_F(RegistrationFlow, StoresTheSessionAndSendsWhatItStores) {
    const Outcome out = registerDevice();
    ASSERT_EQ(out.successes, 1) << (out.error ? out.error->description() : "");
    EXPECT_EQ(out.errors, 0);
    EXPECT_EQ(out.result, "done");

    EXPECT_TRUE(isUpperUUID(stored("taviId")));
    EXPECT_TRUE(isUpperUUID(stored("imei1")));
    EXPECT_TRUE(isUpperUUID(stored("imei2")));
    EXPECT_EQ(stored("appId"), kAppId);
    EXPECT_EQ(stored("mobile"), kMobile);
    EXPECT_EQ(stored("deviceId"), deviceDescription()->identifierForVendor());
    EXPECT_TRUE(stored("pspId").value_or("").size() > 0);
    EXPECT_TRUE(stored("taviKey").value_or("").size() > 0);
    EXPECT_FALSE(stored("IS_REGISTERED"));

    const auto sms = requestsTo(kSmsPath);
    ASSERT_EQ(sms.size(), 1u);
    EXPECT_EQ(Json::parse(sms[0].body), Json({{"mobileNumber", kMobile}, {"txnId", "REG-TXN-7"}}));

    const auto reg = requestsTo(kRegisterPath);
    ASSERT_EQ(reg.size(), 1u);
    const Json body = Json::parse(reg[0].body);
    EXPECT_EQ(keysOf(body),
              (std::vector<std::string>{"msgId", "pspOrgId", "txnId", "taviRegistrationRequestEnc",
                                        "symmetricKey"}));
    EXPECT_TRUE(isUpperUUID(body["msgId"].get<std::string>()));
    EXPECT_EQ(body["pspOrgId"], "PSPORG1");
    EXPECT_EQ(body["txnId"], "REG-TXN-7");

    ASSERT_TRUE(reg[0].decryptedPayload);
    const Json payload = Json::parse(*reg[0].decryptedPayload);
    EXPECT_EQ(payload["taviIdentifier"], *stored("taviId"));
    const Json expectedDevice = {{"deviceId", *stored("deviceId")},
                                 {"appId", kAppId},
                                 {"imei1", *stored("imei1")},
                                 {"imei2", *stored("imei2")},
                                 {"mobileNo", kMobile}};
    EXPECT_EQ(payload["deviceInfo"], expectedDevice);  // no pspIdentifier

    EXPECT_TRUE(linesInOrder({"success", "response.commonResponse.symmetricKey", "Optional(\"",
                              "sessionKey", "encSymKeY", "PSP Identifier: ", "Tavi Key: ",
                              "TaviRegistrationResponse(commonResponse: CommonResponse("}))
        << capture().joined();
}

TEST_F(RegistrationFlow, EveryRunMakesNewIdentifiers) {
    ASSERT_EQ(registerDevice().successes, 1);
    const auto first = std::vector{stored("taviId"), stored("imei1"), stored("imei2")};
    ASSERT_EQ(registerDevice().successes, 1);
    const auto second = std::vector{stored("taviId"), stored("imei1"), stored("imei2")};
    for (std::size_t i = 0; i < first.size(); ++i) EXPECT_NE(first[i], second[i]);
    const auto reg = requestsTo(kRegisterPath);
    ASSERT_EQ(reg.size(), 2u);
    EXPECT_NE(Json::parse(reg[0].body)["symmetricKey"], Json::parse(reg[1].body)["symmetricKey"]);
}

TEST_F(RegistrationFlow, NotToldToRegisterDoesNothingAtAll) {
    capture().clear();
    const Outcome out = registerWith(server().serverPublicKey(), false);
    EXPECT_EQ(out.callbacks(), 0);
    EXPECT_TRUE(server().requests().empty());
    EXPECT_TRUE(capture().lines().empty()) << capture().joined();
    EXPECT_FALSE(stored("taviId"));
}

TEST_F(RegistrationFlow, ResponseKeyWithZeroBytesNeedsNoRestart) {
    addFault(Fault::Kind::zeroByteKey);
    const Outcome out = registerDevice();
    EXPECT_EQ(out.successes, 1) << (out.error ? out.error->description() : "");
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
}

TEST_F(RegistrationFlow, UnrecoverableResponseKeyRestartsAtMostThreeTimes) {
    for (auto kind : {Fault::Kind::wrongKey, Fault::Kind::shortKey}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        server().clearRequests();
        addFault(kind);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(out.error->domain, ErrorDomain::client);
        EXPECT_EQ(out.error->code, ClientErrorCode::retryLimitReached);
        EXPECT_EQ(requestsTo(kSmsPath).size(), 3u);
        const auto reg = requestsTo(kRegisterPath);
        ASSERT_EQ(reg.size(), 3u);
        // Each attempt is a whole new run: new identifiers.
        EXPECT_NE(Json::parse(*reg[0].decryptedPayload)["taviIdentifier"],
                  Json::parse(*reg[2].decryptedPayload)["taviIdentifier"]);
        EXPECT_FALSE(stored("pspId"));
    }
}

TEST_F(RegistrationFlow, RefusalCarriesTheServersReasonsAndIsNotRetried) {
    for (auto kind : {Fault::Kind::refusal, Fault::Kind::refusalNoPayload}) {
        SCOPED_TRACE(static_cast<int>(kind));
        server().clearFaults();
        server().clearRequests();
        Fault fault;
        fault.path = kRegisterPath;
        fault.kind = kind;
        fault.errorCode = "REG-409";
        fault.errorReason = "mobile number blocked";
        server().addFault(fault);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(out.error->domain, ErrorDomain::refusal);
        EXPECT_EQ(out.error->errorCode, "REG-409");
        EXPECT_EQ(out.error->errorReason, "mobile number blocked");
        EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
        EXPECT_FALSE(stored("pspId"));
        EXPECT_FALSE(stored("taviKey"));
    }
}

TEST_F(RegistrationFlow, UnreadablePayloadIsAFailureNotSuccess) {
    struct Case {
        Fault::Kind kind;
        const char* line;
    };
    for (const Case& c : {Case{Fault::Kind::undecodablePayload, "PSP Identifier: N/A"},
                          Case{Fault::Kind::garbagePayload, "Invalid JSON string."}}) {
        SCOPED_TRACE(c.line);
        server().clearFaults();
        capture().clear();
        addFault(c.kind);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(ApiServiceError::caseOf(*out.error), ApiServiceError::Case::decodingError);
        EXPECT_TRUE(linesInOrder({c.line, "TaviRegistrationResponse("})) << capture().joined();
        EXPECT_FALSE(stored("pspId"));
        EXPECT_FALSE(stored("taviKey"));
        EXPECT_TRUE(stored("taviId"));  // written before the request was sent
    }
}

TEST_F(RegistrationFlow, AnswerWithoutKeyOrUnreadableBodyEndsInError) {
    struct Case {
        int status;
        const char* body;
        std::optional<ApiServiceError::Case> apiCase;
    };
    for (
        const Case& c : {
            Case{
                200,
                R"({"commonResponse":{"success":true},"userRegistrationResponsePayloadEnc":"AAAA"})",
                std::nullopt},
            Case{200, R"({"commonResponse":{"success":true}})",
                 ApiServiceError::Case::decodingError},
            Case{502, "<html>bad gateway</html>", ApiServiceError::Case::decodingError},
        }) {
        SCOPED_TRACE(c.body);
        server().clearFaults();
        server().clearRequests();
        KeychainManager::deletePreference("taviId");
        Fault fault;
        fault.path = kRegisterPath;
        fault.kind = Fault::Kind::body;
        fault.status = c.status;
        fault.body = c.body;
        server().addFault(fault);
        const Outcome out = registerDevice();
        ASSERT_EQ(out.errors, 1);
        EXPECT_EQ(out.callbacks(), 1);
        EXPECT_EQ(ApiServiceError::caseOf(*out.error), c.apiCase) << out.error->description();
        EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
        EXPECT_TRUE(stored("taviId"));
    }
}

TEST_F(RegistrationFlow, UnusableServerKeySendsNoRegistrationRequest) {
    const Outcome out = registerWith("bm90IGEga2V5");
    ASSERT_EQ(out.errors, 1);
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_EQ(out.error->code, ClientErrorCode::invalidKey);
    EXPECT_EQ(requestsTo(kSmsPath).size(), 1u);
    EXPECT_TRUE(requestsTo(kRegisterPath).empty());
}

TEST_F(RegistrationFlow, FailedSmsExchangeStoresNothing) {
    addFault(Fault::Kind::dropConnection, kSmsPath);
    capture().clear();
    const Outcome out = registerDevice();
    ASSERT_EQ(out.errors, 1);
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_TRUE(requestsTo(kRegisterPath).empty());
    EXPECT_FALSE(stored("taviId"));
    EXPECT_FALSE(stored("mobile"));
    // The failure is printed after the host has been told.
    EXPECT_EQ(capture().lines().back(), out.error->description());
}

class NoVendorIdentifier : public DeviceDescription {
  public:
    std::string model() const override { return "Test"; }
    std::string systemName() const override { return "Linux"; }
    std::string systemVersion() const override { return "1"; }
    std::optional<std::string> identifierForVendor() const override { return std::nullopt; }
};

TEST_F(RegistrationFlow, DeviceWithoutIdentifierEndsInError) {
    setDeviceDescription(std::make_shared<NoVendorIdentifier>());
    const Outcome out = registerDevice();
    setDeviceDescription(nullptr);
    ASSERT_EQ(out.errors, 1);
    EXPECT_EQ(out.callbacks(), 1);
    EXPECT_TRUE(requestsTo(kRegisterPath).empty());
    EXPECT_FALSE(stored("taviId"));
}

}  // namespace
}  // namespace tavi::test
