#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/record.hpp"
#include "core/record_fields.hpp"

namespace tavi::detail {
namespace {

template <class R>
std::string compact(const R& record) {
    auto text = encodeCompact(record);
    EXPECT_TRUE(text.ok()) << (text.ok() ? "" : text.error().description());
    return text.ok() ? text.value() : std::string();
}

template <class R>
std::string pretty(const R& record) {
    auto text = encodePretty(record);
    EXPECT_TRUE(text.ok()) << (text.ok() ? "" : text.error().description());
    return text.ok() ? text.value() : std::string();
}

DeviceInfo sampleDevice() {
    return DeviceInfo{"DEV-1", "com.example/wallet", "I1", "I2", "+15550100", std::nullopt};
}

TEST(Records, CommonRequestMemberOrderAndOptionals) {
    CommonRequest header{"M-1", "", "T-1", "K==", std::nullopt, std::nullopt};
    EXPECT_EQ(compact(header),
              R"({"msgId":"M-1","pspIdentifier":"","taviIdentifier":"T-1","symmetricKey":"K=="})");

    header.transactionType = "FINANCIAL_TXN";
    header.txnId = "TXN-9";
    EXPECT_EQ(compact(header),
              R"({"msgId":"M-1","pspIdentifier":"","taviIdentifier":"T-1","symmetricKey":"K==",)"
              R"("transactionType":"FINANCIAL_TXN","txnId":"TXN-9"})");

    auto back = decodeText<CommonRequest>(compact(header));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value().txnId, "TXN-9");
    EXPECT_EQ(back.value().symmetricKey, "K==");
}

TEST(Records, CommonResponseEncodesInWireOrderButDescribesInDeclarationOrder) {
    CommonResponse header{"R-1", "KEY", "E01", "bad pin", true};
    EXPECT_EQ(compact(header),
              R"({"reqMsgId":"R-1","symmetricKey":"KEY","success":true,"errorCode":"E01",)"
              R"("errorReason":"bad pin"})");
    EXPECT_EQ(describe(header),
              R"(CommonResponse(reqMsgID: Optional("R-1"), symmetricKey: Optional("KEY"), )"
              R"(errorCode: Optional("E01"), errorReason: Optional("bad pin"), success: true))");
}

TEST(Records, CommonResponseDecoding) {
    auto minimal = decodeText<CommonResponse>(R"({"success":false})");
    ASSERT_TRUE(minimal.ok());
    EXPECT_FALSE(minimal.value().success);
    EXPECT_FALSE(minimal.value().reqMsgID || minimal.value().symmetricKey ||
                 minimal.value().errorCode || minimal.value().errorReason);

    // The key is "reqMsgId"; the capital-D spelling is an unknown key.
    auto capital = decodeText<CommonResponse>(R"({"reqMsgID":"X","success":true,"extra":[1]})");
    ASSERT_TRUE(capital.ok());
    EXPECT_FALSE(capital.value().reqMsgID.has_value());
    EXPECT_TRUE(capital.value().success);

    auto nulls = decodeText<CommonResponse>(R"({"reqMsgId":null,"errorCode":null,"success":true})");
    ASSERT_TRUE(nulls.ok());
    EXPECT_FALSE(nulls.value().reqMsgID || nulls.value().errorCode);

    struct Bad {
        const char* json;
        long code;
    };
    for (const Bad& bad :
         {Bad{R"({"success":"true"})", DecodingErrorCode::typeMismatch},
          Bad{R"({"success":null})", DecodingErrorCode::valueNotFound},
          Bad{R"({"errorCode":"E"})", DecodingErrorCode::keyNotFound},
          Bad{R"({"success":1})", DecodingErrorCode::typeMismatch},
          Bad{R"({"success":true,"errorCode":5})", DecodingErrorCode::typeMismatch}}) {
        auto result = decodeText<CommonResponse>(bad.json);
        ASSERT_FALSE(result.ok()) << bad.json;
        EXPECT_EQ(result.error().domain, ErrorDomain::decoding);
        EXPECT_EQ(result.error().code, bad.code) << bad.json;
        const bool namesMember = result.error().message.find("success") != std::string::npos ||
                                 result.error().message.find("errorCode") != std::string::npos;
        EXPECT_TRUE(namesMember) << result.error().message;
    }
}

TEST(Records, NotAnObjectOrNotJson) {
    for (const char* text : {"", "<html>oops</html>", "{\"success\":true", "{} trailing"}) {
        auto result = decodeText<CommonResponse>(text);
        ASSERT_FALSE(result.ok()) << text;
        EXPECT_EQ(result.error().code, DecodingErrorCode::dataCorrupted) << text;
    }
    for (const char* text : {"[]", "true", "\"success\""}) {
        auto result = decodeText<CommonResponse>(text);
        ASSERT_FALSE(result.ok()) << text;
        EXPECT_EQ(result.error().code, DecodingErrorCode::typeMismatch) << text;
    }
}

TEST(Records, DeviceInfoOptionalsAndRequiredMembers) {
    DeviceInfo device{"D", "A", "I1", "I2", std::nullopt, std::nullopt};
    EXPECT_EQ(compact(device), R"({"deviceId":"D","appId":"A","imei1":"I1","imei2":"I2"})");

    auto missing = decodeText<DeviceInfo>(R"({"deviceId":"D","appId":"A","imei1":"I1"})");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, DecodingErrorCode::keyNotFound);
    EXPECT_NE(missing.error().message.find("imei2"), std::string::npos);

    // A nested failure names the path to the member.
    auto nested = decodeText<CredentialSubmissionPayload>(
        R"({"deviceInfo":{"deviceId":"D","appId":"A","imei1":"I1","imei2":7},)"
        R"("authorizePINCred":{"credType":"PIN","credValue":"x"}})");
    ASSERT_FALSE(nested.ok());
    EXPECT_NE(nested.error().message.find("deviceInfo.imei2"), std::string::npos)
        << nested.error().message;
}

TEST(Records, EmptyPaymentInstrumentIsAnEmptyObject) {
    EXPECT_EQ(compact(PaymentInstrument{}), "{}");
    EXPECT_EQ(compact(PaymentInstrument{"ACCOUNT", std::nullopt}),
              R"({"paymentInstrumentType":"ACCOUNT"})");
}

TEST(Records, PrettyPayloadTextVersusCompactBody) {
    CredentialKeysRetrievalPayload payload{PaymentInstrument{"ACCOUNT", "BANK0001"}, sampleDevice(),
                                           1700000000123, false};
    const std::string body = compact(payload);
    const std::string text = pretty(payload);
    EXPECT_EQ(body.find('\n'), std::string::npos);
    EXPECT_GT(std::count(text.begin(), text.end(), '\n'), 8);
    EXPECT_EQ(body,
              R"({"paymentInstrument":{"paymentInstrumentType":"ACCOUNT","bic":"BANK0001"},)"
              R"("deviceInfo":{"deviceId":"DEV-1","appId":"com.example\/wallet","imei1":"I1",)"
              R"("imei2":"I2","mobileNo":"+15550100"},"startDateTime":1700000000123,)"
              R"("resetCredentialCall":false})");
    // A forward slash is escaped in both forms, and decodes back to itself.
    EXPECT_NE(text.find(R"("com.example\/wallet")"), std::string::npos);
    for (const auto& form : {body, text}) {
        auto back = decodeText<CredentialKeysRetrievalPayload>(form);
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back.value().deviceInfo.appId, "com.example/wallet");
        EXPECT_EQ(back.value().startDateTime, 1700000000123);
        EXPECT_EQ(back.value().paymentInstrument.bic, "BANK0001");
    }
}

TEST(Records, IntegerMembersAreCheckedForRange) {
    const std::string prefix =
        R"({"paymentInstrument":{},"deviceInfo":{"deviceId":"D","appId":"A","imei1":"1",)"
        R"("imei2":"2"},"resetCredentialCall":true,"startDateTime":)";
    EXPECT_TRUE(decodeText<CredentialKeysRetrievalPayload>(prefix + "9223372036854775807}").ok());
    EXPECT_FALSE(decodeText<CredentialKeysRetrievalPayload>(prefix + "9223372036854775808}").ok());
    EXPECT_FALSE(decodeText<CredentialKeysRetrievalPayload>(prefix + "\"1\"}").ok());
    EXPECT_FALSE(decodeText<CredentialKeysRetrievalPayload>(prefix + "1.5}").ok());
}

TEST(Records, TextThatIsNotUtf8CannotBeEncoded) {
    DeviceInfo device = sampleDevice();
    device.deviceId = std::string("\xC3\x28", 2);
    auto result = encodeCompact(device);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().domain, ErrorDomain::encoding);
}

TEST(Records, DiagnosticForm) {
    EXPECT_EQ(describe(sampleDevice()),
              R"(DeviceInfo(deviceId: "DEV-1", appId: "com.example/wallet", imei1: "I1", )"
              R"(imei2: "I2", mobileNo: Optional("+15550100"), pspIdentifier: nil))");
    CredentialKeysRetrievalPayload payload{PaymentInstrument{}, sampleDevice(), -5, true};
    EXPECT_EQ(describe(payload),
              "CredentialKeysRetrievalPayload(paymentInstrument: PaymentInstrument("
              "paymentInstrumentType: nil, bic: nil), deviceInfo: " +
                  describe(sampleDevice()) + ", startDateTime: -5, resetCredentialCall: true)");
    DeviceInfo odd{"a\"b\\c\n", "", "", "", std::nullopt, std::nullopt};
    EXPECT_EQ(describe(odd).rfind(R"(DeviceInfo(deviceId: "a\"b\\c\n", appId: "")", 0), 0u)
        << describe(odd);
}

TEST(Records, RegistrationRequestEncodesInWireOrder) {
    TaviRegistrationRequest request{"PSPORG1", "TXN-1", "MSG-1", "ENC", "KEY=="};
    EXPECT_EQ(compact(request), R"({"msgId":"MSG-1","pspOrgId":"PSPORG1","txnId":"TXN-1",)"
                                R"("taviRegistrationRequestEnc":"ENC","symmetricKey":"KEY=="})");
    EXPECT_EQ(describe(request),
              R"(TaviRegistrationRequest(pspOrgID: Optional("PSPORG1"), txnID: Optional("TXN-1"), )"
              R"(msgID: Optional("MSG-1"), taviRegistrationRequestEnc: Optional("ENC"), )"
              R"(symmetricKey: Optional("KEY==")))");
    TaviRegistrationRequest partial;
    partial.msgID = "M";
    EXPECT_EQ(compact(partial), R"({"msgId":"M"})");
}

TEST(Records, EdgeFormsOfJsonText) {
    const std::string deep = std::string(200, '[') + std::string(200, ']');
    const std::string keys =
        R"({"paymentInstrument":{},"deviceInfo":{"deviceId":"D","appId":"A","imei1":"1",)"
        R"("imei2":"2"},"resetCredentialCall":true,"startDateTime":)";
    struct Case {
        std::string text;
        long code;  ///< 0: decodes
    };
    for (const Case& c : {
             Case{"\xEF\xBB\xBF{\"success\":true}", 0},  // a byte order mark first
             Case{std::string("{\"success\":true}\0{", 18), 0},  // a NUL ends the text
             Case{R"({"x":123456789012345678901234567890,"success":true})", 0},
             Case{R"({"x":)" + deep + R"(,"success":true})", 0},
             Case{R"({"x":1e400,"success":true})", DecodingErrorCode::dataCorrupted},
             Case{std::string("{\"success\":true\0}", 17), DecodingErrorCode::dataCorrupted},
             Case{"[123456789012345678901234567890]", DecodingErrorCode::typeMismatch},
         }) {
        auto result = decodeBody<CommonResponse>(Bytes(c.text.begin(), c.text.end()));
        if (c.code == 0) {
            ASSERT_TRUE(result.ok()) << c.text << ": " << result.error().message;
            EXPECT_TRUE(result.value().success);
        } else {
            ASSERT_FALSE(result.ok()) << c.text;
            EXPECT_EQ(result.error().code, c.code) << c.text << ": " << result.error().message;
        }
    }
    // An integer member holding an integer beyond 64 bits has the wrong type.
    auto big = decodeText<CredentialKeysRetrievalPayload>(keys + "123456789012345678901234567890}");
    ASSERT_FALSE(big.ok());
    EXPECT_EQ(big.error().code, DecodingErrorCode::typeMismatch) << big.error().message;
}

TEST(Records, AnswerTextAtAPath) {
    auto body = [](const std::string& text) { return Bytes(text.begin(), text.end()); };
    EXPECT_EQ(textAt(body(R"({"a":1,"txnStatus":"PENDING"})"), {"txnStatus"}), "PENDING");
    EXPECT_EQ(textAt(body(R"({"commonResponse":{"errorCode":"E1"}})"),
                     {"commonResponse", "errorCode"}),
              "E1");
    EXPECT_EQ(textAt(body(R"({"txnStatus":"A","txnStatus":"B"})"), {"txnStatus"}), "B");
    for (const char* text : {R"({"txnStatus":7})", R"({"txnStatus":"A","txnStatus":null})",
                             R"({"txnStatus":"A"} x)", R"(["txnStatus"])", "",
                             R"({"txnStatus":"A","b":[})"}) {
        EXPECT_FALSE(textAt(body(text), {"txnStatus"})) << text;
    }
}

TEST(Records, AnEncodingRefusalNamesTheMemberNotTheText) {
    CredentialSubmissionPayload payload{sampleDevice(), AuthorizePINCred{"PIN", "12\xFF" "4"}};
    auto result = encodePretty(payload);
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error().message.find("authorizePINCred.credValue"), std::string::npos)
        << result.error().message;
    EXPECT_EQ(result.error().message.find("12"), std::string::npos) << result.error().message;
}

}  // namespace
}  // namespace tavi::detail
