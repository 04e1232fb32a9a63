// The sandbox server on its own: its codecs against known answers, and real exchanges sealed by
// the test the way a client seals them.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>

#include "sandbox/sandbox.hpp"
#include "sandbox/wire.hpp"

namespace tavi::sandbox {
namespace {

using json = nlohmann::ordered_json;
const std::string kApi = "/kora-core/tavi-sdk/urn:apiver:1.0/";
const std::string kSms = "/kora-core/kora-sms/urn:apiver:1.0/user-registration-txn";

std::string hex(std::string_view bytes) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        out += d[static_cast<unsigned char>(c) >> 4];
        out += d[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

// --- the client's half, written for the test ---------------------------------------------------

wire::Key keyFromText(std::string text) {
    for (char& c : text) c = c == '-' ? '+' : c == '_' ? '/' : c;
    while (text.size() % 4 != 0) text += '=';
    auto der = wire::unbase64(text);
    return der ? wire::publicKeyFromDer(*der) : nullptr;
}

struct Sealed {
    std::string symmetricKey;
    std::string payloadEnc;
};

Sealed seal(const json& payload, const std::string& keyTextValue) {
    std::string aesKey = wire::randomBytes(32);
    return {wire::base64(*wire::rsaEncrypt(keyFromText(keyTextValue), aesKey)),
            wire::base64Url(*wire::aesEncrypt(aesKey, payload.dump(2)))};
}

/// Opens an answer's sealed payload with the public key the answer key is wrapped for.
std::optional<json> openAnswer(const json& answer, const std::string& payloadKey,
                               const std::string& keyTextValue, std::string* aesKeyOut = nullptr) {
    auto wrapped = wire::unbase64(answer["commonResponse"]["symmetricKey"].get<std::string>());
    auto aesKey = wire::rsaPublicDecrypt(keyFromText(keyTextValue), *wrapped);
    if (!aesKey || aesKey->size() != 32) return std::nullopt;
    if (aesKeyOut != nullptr) *aesKeyOut = *aesKey;
    auto plain =
        wire::aesDecrypt(*aesKey, *wire::unbase64Url(answer[payloadKey].get<std::string>()));
    if (!plain) return std::nullopt;
    json j = json::parse(*plain, nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

std::string sealForBank(const std::string& txnId, const std::string& value,
                        const std::string& bankKi, const std::string& doublyEncodedKey) {
    std::string keyTextValue = *wire::unbase64(doublyEncodedKey);
    auto cipher = wire::rsaEncrypt(keyFromText(keyTextValue), txnId + "|" + value + "|0.25");
    return bankKi + ":" + wire::base64(*cipher);
}

TEST(SandboxWire, CodecsMatchKnownAnswers) {
    EXPECT_EQ(wire::base64Url("\xFB\xFF"), "-_8=");
    EXPECT_EQ(wire::unbase64Url("-_8="), std::optional<std::string>("\xFB\xFF"));
    EXPECT_FALSE(wire::unbase64Url("-_8"));   // padding is required
    EXPECT_FALSE(wire::unbase64Url("+/8="));  // the standard alphabet is not URL-safe
    EXPECT_FALSE(wire::unbase64("ab=c"));     // "=" only at the end
    EXPECT_FALSE(wire::unbase64("a b="));
    EXPECT_EQ(wire::base64UrlNoPad("\xFB\xFF"), "-_8");

    std::string key;
    for (int i = 0; i < 32; ++i) key += static_cast<char>(i);
    // Reference values from the openssl command line (AES-256-CTR, zero IV, PKCS#7 by hand).
    EXPECT_EQ(hex(*wire::aesEncrypt(key, "hello")), "9af56cda454294dba2f89161d6257c8b");
    EXPECT_EQ(wire::base64(*wire::aesEncrypt(key, "0123456789abcdef")),
              "wqEyhR58qeeRyvsIvkoS5uBNZr5aqY/1tuaLIVjSJi0=");
    EXPECT_EQ(wire::aesEncrypt(key, "")->size(), 16u);

    auto cipher = *wire::aesEncrypt(key, "hello");
    EXPECT_EQ(wire::aesDecrypt(key, cipher), std::optional<std::string>("hello"));
    std::string badPad = cipher;
    badPad.back() = static_cast<char>(badPad.back() ^ 0x20);
    EXPECT_FALSE(wire::aesDecrypt(key, badPad));
    EXPECT_FALSE(wire::aesDecrypt(key, cipher.substr(0, 15)));
    EXPECT_FALSE(wire::aesDecrypt(key.substr(0, 31), cipher));
}

// --- a running server ---------------------------------------------------------------------------

class SandboxServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Options o;
        o.pendingPolls = 2;
        server_ = std::make_unique<Server>(o);
        ASSERT_TRUE(server_->start()) << server_->lastError();
        client_ = std::make_unique<httplib::Client>(server_->url());
        // Key generation for an answer took more than httplib's 5 s under qemu-user.
        client_->set_read_timeout(120, 0);
    }

    httplib::Result post(const std::string& path, const json& body) {
        return client_->Post(path, body.dump(), "application/json");
    }

    static json parse(const httplib::Result& r) {
        return r ? json::parse(r->body, nullptr, false) : json();
    }

    json common(const std::string& taviId, const std::string& txnId,
                const std::string& symmetricKey) {
        return {{"msgId", "MSG-1"},
                {"pspIdentifier", pspId_},
                {"taviIdentifier", taviId},
                {"symmetricKey", symmetricKey},
                {"transactionType", "FINANCIAL_TXN"},
                {"txnId", txnId}};
    }

    json deviceInfo(const std::string& mobile) const {
        return {{"deviceId", "DEV-1"}, {"appId", "app"},     {"imei1", "I1"},
                {"imei2", "I2"},       {"mobileNo", mobile}, {"pspIdentifier", pspId_}};
    }

    /// SMS step and sealed registration; leaves the device key text in taviKey_.
    json registerDevice(const std::string& mobile = "+15550100") {
        EXPECT_EQ(post(kSms, {{"mobileNumber", mobile}, {"txnId", "REG-1"}})->status, 200);
        json payload = {{"taviIdentifier", "TAVI-1"},
                        {"deviceInfo",
                         {{"deviceId", "DEV-1"},
                          {"appId", "app"},
                          {"imei1", "I1"},
                          {"imei2", "I2"},
                          {"mobileNo", "+15550100"}}}};
        Sealed s = seal(payload, server_->serverPublicKey());
        auto r = post(kApi + "user-registration", {{"msgId", "MSG-R"},
                                                   {"pspOrgId", "ORG"},
                                                   {"txnId", "REG-1"},
                                                   {"taviRegistrationRequestEnc", s.payloadEnc},
                                                   {"symmetricKey", s.symmetricKey}});
        json answer = parse(r);
        if (answer["commonResponse"]["success"] == true) {
            if (auto opened = openAnswer(answer, "userRegistrationResponsePayloadEnc",
                                         server_->serverPublicKey())) {
                pspId_ = (*opened)["pspIdentifier"];
                taviKey_ = (*opened)["taviKey"];
            }
        }
        return answer;
    }

    json sealedPost(const std::string& op, const std::string& payloadKey, const json& payload,
                    const std::string& keyTextValue, const std::string& txnId) {
        Sealed s = seal(payload, keyTextValue);
        return parse(post(kApi + op, {{"commonRequest", common("TAVI-1", txnId, s.symmetricKey)},
                                      {payloadKey, s.payloadEnc}}));
    }

    std::string txnStatus(const std::string& txnId) {
        auto r =
            client_->Get("/mpgs/txn-status?txnId=" + txnId + "&txnStatusFlagEnum=IS_OTP_VERIFIED");
        return r ? parse(r).value("txnStatus", "") : "";
    }

    std::unique_ptr<Server> server_;
    std::unique_ptr<httplib::Client> client_;
    std::string pspId_;
    std::string taviKey_;
};

TEST_F(SandboxServerTest, TxnStatusFollowsTheDemoTransactionAndTheControls) {
    EXPECT_EQ(txnStatus(kDemoTxnId), "PENDING");
    EXPECT_EQ(txnStatus(kDemoTxnId), "PENDING");
    EXPECT_EQ(txnStatus(kDemoTxnId), "VERIFIED");
    EXPECT_EQ(txnStatus(kDemoTxnId), "VERIFIED");
    EXPECT_EQ(txnStatus("NOPE"), "NOT_FOUND");
    server_->setTxnStatus("T+1", "pending");
    EXPECT_EQ(txnStatus("T%2B1"), "pending");

    auto bad = client_->Get("/mpgs/txn-status?txnId=X&txnStatusFlagEnum=OTHER");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);
    EXPECT_TRUE(parse(bad).contains("errorCode"));
    EXPECT_TRUE(bad->has_header("Server-Timing"));

    auto recorded = server_->requests();
    ASSERT_EQ(recorded.size(), 7u);
    EXPECT_NE(recorded[5].target.find("T%2B1"), std::string::npos);
    EXPECT_EQ(recorded[6].responseStatus, 400);
}

TEST_F(SandboxServerTest, WholeFlowWithSealedRequestsAndAnswers) {
    json reg = registerDevice();
    ASSERT_EQ(reg["commonResponse"]["success"], true) << reg.dump();
    EXPECT_EQ(reg["commonResponse"]["reqMsgId"], "MSG-R");
    ASSERT_FALSE(taviKey_.empty());
    EXPECT_EQ(taviKey_.find_first_of("+/="), std::string::npos);  // URL-safe, unpadded

    json keysPayload = {{"paymentInstrument", {{"paymentInstrumentType", "ACCOUNT"}}},
                        {"deviceInfo", deviceInfo("+15550100")},
                        {"startDateTime", 1700000000000},
                        {"resetCredentialCall", false}};
    json check = sealedPost("check-device-registration", "credentialKeysRetrievalPayloadEnc",
                            keysPayload, taviKey_, "");
    EXPECT_EQ(check["commonResponse"]["success"], true) << check.dump();
    keysPayload["deviceInfo"]["mobileNo"] = "+15559999";
    check = sealedPost("check-device-registration", "credentialKeysRetrievalPayloadEnc",
                       keysPayload, taviKey_, "");
    EXPECT_EQ(check["commonResponse"]["success"], false);
    keysPayload["deviceInfo"]["mobileNo"] = "+15550100";

    json keys = sealedPost("retrieve-key", "credentialKeysRetrievalPayloadEnc", keysPayload,
                           taviKey_, "TXN-9");
    ASSERT_EQ(keys["commonResponse"]["success"], true) << keys.dump();
    auto material = openAnswer(keys, "encryptionKeyRetrievalResponsePayloadEnc", taviKey_);
    ASSERT_TRUE(material);
    const std::string session = (*material)["sessionKey"];
    const std::string bankKi = (*material)["bankKi"];
    const std::string bankKey = (*material)["publicKey"];
    EXPECT_EQ((*material)["isUrlPage"], false);

    auto pin = [&](const std::string& value) {
        json p = {
            {"deviceInfo", deviceInfo("+15550100")},
            {"authorizePINCred",
             {{"credType", "PIN"}, {"credValue", sealForBank("TXN-9", value, bankKi, bankKey)}}}};
        return sealedPost("authorize", "credentialSubmissionPayloadEnc", p, session, "TXN-9");
    };
    EXPECT_EQ(pin(kTestPin)["commonResponse"]["success"], true);
    EXPECT_EQ(pin("9999")["commonResponse"]["errorCode"], "INVALID_CREDENTIAL");

    json fetch = sealedPost("fetch-otp-challenge-code", "fetchOtpCodePayloadEnc",
                            {{"action", "PURCHASE"}, {"deviceInfo", deviceInfo("+15550100")}},
                            taviKey_, "TXN-9");
    auto challenge = openAnswer(fetch, "fetchOtpCodeResponsePayloadEnc", taviKey_);
    ASSERT_TRUE(challenge) << fetch.dump();
    EXPECT_EQ(txnStatus("TXN-9"), "PENDING");
    auto otp = [&](const std::string& value) {
        json p = {{"referenceId", (*challenge)["referenceId"]},
                  {"otp", sealForBank("TXN-9", value, bankKi, bankKey)}};
        return sealedPost("validate-otp-api", "validateOtpApiPayloadEnc", p, session, "TXN-9");
    };
    EXPECT_EQ(otp("000000")["commonResponse"]["errorCode"], "OTP_MISMATCH");
    EXPECT_EQ(txnStatus("TXN-9"), "PENDING");
    EXPECT_EQ(otp(kTestOtp)["commonResponse"]["success"], true);
    EXPECT_EQ(txnStatus("TXN-9"), "VERIFIED");

    json card =
        sealedPost("validate-card-num", "validateCardNumPayloadEnc",
                   {{"bic", "DEMOBIC"},
                    {"deviceInfo", deviceInfo("+15550100")},
                    {"cardNum", sealForBank("TXN-9", kTestCards[1].number, bankKi, bankKey)},
                    {"bankName", "example bank"}},
                   session, "TXN-9");
    EXPECT_EQ(card["bankNameMatchStatus"], "MATCH") << card.dump();

    // Every secret reached the server sealed, and was unsealed there.
    auto recorded = server_->requests();
    auto last = recorded.back();
    ASSERT_EQ(last.unsealed.size(), 1u);
    EXPECT_EQ(last.unsealed[0], std::string("TXN-9|") + kTestCards[1].number + "|0.25");
    EXPECT_EQ(last.body.find(kTestCards[1].number), std::string::npos);
}

TEST_F(SandboxServerTest, RegistrationNeedsTheSmsStep) {
    json payload = {
        {"taviIdentifier", "TAVI-1"},
        {"deviceInfo",
         {{"deviceId", "D"}, {"appId", "A"}, {"imei1", "1"}, {"imei2", "2"}, {"mobileNo", "+1"}}}};
    Sealed s = seal(payload, server_->serverPublicKey());
    json answer =
        parse(post(kApi + "user-registration", {{"msgId", "M"},
                                                {"pspOrgId", "O"},
                                                {"txnId", "NO-SMS"},
                                                {"taviRegistrationRequestEnc", s.payloadEnc},
                                                {"symmetricKey", s.symmetricKey}}));
    EXPECT_EQ(answer["commonResponse"]["success"], false);
    EXPECT_EQ(answer["userRegistrationResponsePayloadEnc"], "");  // present, so it decodes
}

TEST_F(SandboxServerTest, MalformedRequestsGetAnErrorAnswerNotACrash) {
    const std::string path = kApi + "user-registration";
    Sealed good = seal({{"taviIdentifier", "T"}}, server_->serverPublicKey());
    json base = {{"msgId", "M"},
                 {"pspOrgId", "O"},
                 {"txnId", "T"},
                 {"taviRegistrationRequestEnc", good.payloadEnc},
                 {"symmetricKey", good.symmetricKey}};

    std::vector<std::string> bodies = {"", "not json", "[1,2]", "{\"msgId\":", "\xFF\xFE"};
    for (auto drop : {"msgId", "txnId", "symmetricKey"}) {
        json b = base;
        b.erase(drop);
        bodies.push_back(b.dump());
    }
    json wrongType = base;
    wrongType["txnId"] = 7;
    bodies.push_back(wrongType.dump());
    json notBase64 = base;
    notBase64["symmetricKey"] = "***";
    bodies.push_back(notBase64.dump());
    json standardAlphabet = base;
    standardAlphabet["taviRegistrationRequestEnc"] = "+/8=";
    bodies.push_back(standardAlphabet.dump());
    json shortKey = base;
    shortKey["symmetricKey"] = wire::base64(
        *wire::rsaEncrypt(keyFromText(server_->serverPublicKey()), std::string(31, 'k')));
    bodies.push_back(shortKey.dump());
    bodies.push_back(base.dump());  // opens, but the payload has no deviceInfo

    for (const auto& body : bodies) {
        auto r = client_->Post(path, body, "application/json");
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(r->status, 400) << body;
        json answer = parse(r);
        EXPECT_EQ(answer["commonResponse"]["success"], false) << body;
        EXPECT_EQ(answer["userRegistrationResponsePayloadEnc"], "") << body;
    }
    EXPECT_EQ(client_->Get("/no/such/path")->status, 404);
    EXPECT_EQ(txnStatus("NOPE"), "NOT_FOUND");  // still serving
}

TEST_F(SandboxServerTest, FaultsShapeTheNextAnswers) {
    const std::string path = "/mpgs/txn-status";
    const std::string target = path + "?txnId=X&txnStatusFlagEnum=IS_OTP_VERIFIED";

    Fault empty;
    empty.path = path;
    empty.kind = Fault::Kind::emptyBody;
    empty.times = 1;
    server_->addFault(empty);
    auto r = client_->Get(target);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_TRUE(r->body.empty());
    EXPECT_EQ(txnStatus("X"), "NOT_FOUND");  // used up

    // The same, through the control API.
    ASSERT_EQ(post("/__sandbox/faults", {{"path", path}, {"kind", "dropConnection"}, {"times", 1}})
                  ->status,
              200);
    EXPECT_FALSE(client_->Get(target));
    EXPECT_EQ(server_->requests().back().responseStatus, 0);

    Fault reset;
    reset.kind = Fault::Kind::resetMidBody;
    reset.times = 1;
    server_->addFault(reset);
    EXPECT_FALSE(client_->Get(target));

    server_->addFault({path, Fault::Kind::oversized, 0, "", 0, 100000, {}, {}, 1});
    r = client_->Get(target);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.size(), 100000u);
    EXPECT_FALSE(json::parse(r->body, nullptr, false).is_discarded());

    EXPECT_EQ(post("/__sandbox/faults", {{"kind", "noSuchKind"}})->status, 400);
    EXPECT_EQ(txnStatus("X"), "NOT_FOUND");
}

TEST_F(SandboxServerTest, KeyFaultsKeepTheAnswerWellFormed) {
    Fault zero;
    zero.path = kApi + "user-registration";
    zero.kind = Fault::Kind::zeroByteKey;
    zero.times = 1;
    server_->addFault(zero);
    json answer = registerDevice();
    std::string aesKey;
    auto opened = openAnswer(answer, "userRegistrationResponsePayloadEnc",
                             server_->serverPublicKey(), &aesKey);
    ASSERT_TRUE(opened);
    EXPECT_EQ(aesKey[0], '\0');
    EXPECT_EQ(aesKey[7], '\0');

    zero.kind = Fault::Kind::shortKey;
    server_->addFault(zero);
    answer = registerDevice();
    auto wrapped = wire::unbase64(answer["commonResponse"]["symmetricKey"].get<std::string>());
    EXPECT_EQ(wire::rsaPublicDecrypt(keyFromText(server_->serverPublicKey()), *wrapped)->size(),
              31u);

    zero.kind = Fault::Kind::wrongKey;
    server_->addFault(zero);
    answer = registerDevice();
    wrapped = wire::unbase64(answer["commonResponse"]["symmetricKey"].get<std::string>());
    EXPECT_FALSE(wire::rsaPublicDecrypt(keyFromText(server_->serverPublicKey()), *wrapped));

    zero.kind = Fault::Kind::refusalNoPayload;
    zero.errorCode = "E42";
    server_->addFault(zero);
    answer = registerDevice();
    EXPECT_EQ(answer, json::parse(R"({"commonResponse":{"reqMsgId":"MSG-R","success":false,
        "errorCode":"E42","errorReason":"refused by the sandbox"}})"));
}

TEST_F(SandboxServerTest, RandomPayloadsUnderTheRightKeysGetAnAnswerNeverAFault) {
    ASSERT_EQ(registerDevice()["commonResponse"]["success"], true);
    json keysPayload = {{"paymentInstrument", json::object()},
                        {"deviceInfo", deviceInfo("+15550100")},
                        {"startDateTime", 1},
                        {"resetCredentialCall", false}};
    auto material = openAnswer(sealedPost("retrieve-key", "credentialKeysRetrievalPayloadEnc",
                                          keysPayload, taviKey_, "TXN-R"),
                               "encryptionKeyRetrievalResponsePayloadEnc", taviKey_);
    ASSERT_TRUE(material);
    const std::string session = (*material)["sessionKey"];
    const std::string bankKi = (*material)["bankKi"];
    const std::string bankKey = (*material)["publicKey"];

    // Valid payloads of each operation, then a few random cuts and substitutions.
    std::mt19937 rng(20240601);
    auto sealed = [&](const std::string& v) { return sealForBank("TXN-R", v, bankKi, bankKey); };
    std::function<json(int)> value = [&](int depth) -> json {
        switch (rng() % 8) {
            case 0:
                return nullptr;
            case 1:
                return static_cast<bool>(rng() % 2);
            case 2:
                return static_cast<std::int64_t>(rng() % 40) - 5;
            case 3:
                return 0.5;
            case 4:
                return sealed(std::to_string(rng() % 20000));
            case 5:
                return bankKi + ":" + std::string(rng() % 8, 'A');
            case 6:
                return depth > 1 ? json("x") : json::object({{"deviceId", value(depth + 1)}});
            default:
                return "PIN";
        }
    };
    json device = deviceInfo("+15550100");
    json card = {{"number", sealed("4111111111111111")},
                 {"expiryMonth", sealed("12")},
                 {"expiryYear", sealed("2099")},
                 {"cvv", sealed("123")},
                 {"fullName", "A B"}};
    const std::vector<std::tuple<std::string, std::string, json>> ops = {
        {"check-device-registration", "credentialKeysRetrievalPayloadEnc", keysPayload},
        {"authorize",
         "credentialSubmissionPayloadEnc",
         {{"deviceInfo", device},
          {"authorizePINCred", {{"credType", "PIN"}, {"credValue", sealed(kTestPin)}}}}},
        {"fetch-otp-challenge-code",
         "fetchOtpCodePayloadEnc",
         {{"action", "PURCHASE"}, {"paymentInstrument", json::object()}, {"deviceInfo", device}}},
        {"validate-otp-api",
         "validateOtpApiPayloadEnc",
         {{"bic", "B"},
          {"referenceId", "REF-1"},
          {"otp", sealed(kTestOtp)},
          {"action", "A"},
          {"deviceInfo", device}}},
        {"validate-card-num",
         "validateCardNumPayloadEnc",
         {{"bic", "B"},
          {"deviceInfo", device},
          {"cardNum", sealed("4111111111111111")},
          {"bankName", "Demo Bank"}}},
        {"register-card-detail",
         "registerCardDetailPayloadEnc",
         {{"startDateTime", 1},
          {"deviceInfo", device},
          {"accountInfo", {{"bic", "B"}, {"accountNo", sealed("12345678")}}},
          {"card", card},
          {"bic", "B"}}},
        {"request-web-url",
         "requestWebUrlPayloadEnc",
         {{"paymentInstrument", json::object()}, {"deviceInfo", device}}}};
    int accepted = 0;
    for (int i = 0; i < 210; ++i) {
        const auto& [op, key, valid] = ops[i % ops.size()];
        json payload = valid;
        for (unsigned cuts = rng() % 3; cuts > 0; --cuts) {
            json* target = &payload;
            auto it = std::next(target->begin(), rng() % target->size());
            if (it->is_object() && !it->empty() && rng() % 2 == 0) {
                target = &*it;
                it = std::next(target->begin(), rng() % target->size());
            }
            if (rng() % 3 == 0) {
                target->erase(it.key());
            } else {
                *it = value(0);
            }
            if (payload.empty()) break;
        }
        const bool device = op == "check-device-registration" || op == "fetch-otp-challenge-code" ||
                            op == "request-web-url";
        Sealed s = seal(payload, device ? taviKey_ : session);
        auto r = post(kApi + op, {{"commonRequest", common("TAVI-1", "TXN-R", s.symmetricKey)},
                                  {key, s.payloadEnc}});
        ASSERT_TRUE(r) << op;
        EXPECT_TRUE(r->status == 200 || r->status == 400) << op << " " << payload.dump();
        json answer = parse(r);
        EXPECT_TRUE(answer["commonResponse"]["success"].is_boolean()) << r->body;
        accepted += answer["commonResponse"]["success"] == true;
    }
    EXPECT_GT(accepted, 20);  // the mutations leave enough requests intact to go deep
}

TEST(SandboxTls, ServesHttpsWithItsOwnCaAndKeepsItsKeyInTheStateDir) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("sandbox-test-" + wire::randomHex(4));
    Options o;
    o.tls = true;
    o.stateDir = dir;
    std::string firstKey;
    {
        Server server(o);
        ASSERT_TRUE(server.start()) << server.lastError();
        EXPECT_EQ(server.url().rfind("https://127.0.0.1:", 0), 0u);
        EXPECT_EQ(server.publicKeyPin().rfind("sha256//", 0), 0u);
        EXPECT_EQ(server.publicKeyPin().size(), 8u + 44u);
        httplib::Client client(server.url());
        client.set_ca_cert_path(server.caFile().c_str());
        client.enable_server_certificate_verification(true);
        auto r = client.Get(std::string("/mpgs/txn-status?txnId=") + kDemoTxnId +
                            "&txnStatusFlagEnum=IS_OTP_VERIFIED");
        ASSERT_TRUE(r) << httplib::to_string(r.error());
        EXPECT_EQ(r->body, R"({"txnStatus":"PENDING"})");
        firstKey = server.serverPublicKey();
        auto mode = std::filesystem::status(dir + "/server-key.pem").permissions();
        EXPECT_EQ(mode & std::filesystem::perms::group_all, std::filesystem::perms::none);
    }
    Server again(o);
    ASSERT_TRUE(again.start());
    EXPECT_EQ(again.serverPublicKey(), firstKey);
    again.stop();
    std::filesystem::remove_all(dir);
}

TEST(SandboxListener, RefusesABadOrBusyPortAndAdvertisesTheBoundAddress) {
    for (int port : {-1, 65536, 99999}) {
        Options o;
        o.port = port;
        Server server(o);
        EXPECT_FALSE(server.start()) << port;
        EXPECT_NE(server.lastError().find("65535"), std::string::npos) << server.lastError();
    }

    Options o;
    o.host = "localhost";  // may bind either family: the URL names the address actually bound
    Server first(o);
    ASSERT_TRUE(first.start()) << first.lastError();
    const std::string url = first.url();
    EXPECT_TRUE(url == "http://127.0.0.1:" + std::to_string(first.port()) ||
                url == "http://[::1]:" + std::to_string(first.port()))
        << url;

    // A second server on the same port is an error, never a listener sharing the clients.
    o.host = url.find('[') != std::string::npos ? "::1" : "127.0.0.1";
    o.port = first.port();
    Server second(o);
    EXPECT_FALSE(second.start());
    EXPECT_NE(second.lastError().find("in use"), std::string::npos) << second.lastError();

    // Every endpoint a fault can name by its short name is one the server routes.
    httplib::Client client(url);
    for (const auto& name : endpointNames()) {
        auto r = client.Post(*endpointPath(name), "{}", "application/json");
        ASSERT_TRUE(r) << name;
        EXPECT_NE(r->status, 404) << name << " " << r->body;
    }
}

}  // namespace
}  // namespace tavi::sandbox
