// Every public operation against hostile input: text that is not UTF-8 in each argument, stored
// value and configuration value; a server slow enough to stretch re-issues and restarts past
// the operation's deadline; server text that tries to forge diagnostic lines.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using sandbox::Fault;

constexpr const char* kSmsPath = "/kora-core/kora-sms/urn:apiver:1.0/user-registration-txn";
constexpr const char* kRegistrationPath = "/kora-core/tavi-sdk/urn:apiver:1.0/user-registration";
constexpr const char* kKeysPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
constexpr const char* kException = "Exception Occured";

/// How an operation's failure reached the host, in whichever shape its callbacks have.
struct Outcome {
    int successes = 0;
    int failures = 0;
    std::optional<Error> error;  ///< error-value shapes
    std::string failureText;     ///< "false", "Exception Occured", "stop"
};

using Args = std::map<std::string, std::string>;

/// One public operation, the names of its text arguments, and how to call it.
struct Operation {
    const char* name;
    std::vector<const char*> arguments;
    std::function<Outcome(const Args&)> call;
    bool errorValue;  ///< failures carry an error value
};

std::vector<Operation> operations() {
    auto& api = TaviApiService::shared();
    const auto onError = [](Outcome& out) {
        return [&out](const Error& e) {
            ++out.failures;
            out.error = e;
        };
    };
    const auto onCodeReason = [](Outcome& out) {
        return [&out](const std::optional<std::string>& code, const std::optional<std::string>&) {
            ++out.failures;
            out.failureText = code.value_or("nil");
        };
    };
    return {
        {"createRetrieveKeysRequest",
         {"msgID", "transactionType", "txnId", "bic", "paymentInstrumentType"},
         [&](const Args& a) {
             Outcome out;
             api.createRetrieveKeysRequest(
                 a.at("msgID"), a.at("transactionType"), a.at("txnId"), a.at("bic"),
                 a.at("paymentInstrumentType"),
                 [&](auto&, auto&, auto&, auto&, auto&) { ++out.successes; }, onError(out));
             return out;
         },
         true},
        {"createCredentialSubmissionRequest",
         {"txnId", "transactionType", "credType", "credValue", "bankKi", "publicKey", "sessionKey"},
         [&](const Args& a) {
             Outcome out;
             api.createCredentialSubmissionRequest(
                 a.at("txnId"), a.at("transactionType"), a.at("credType"), a.at("credValue"),
                 a.at("bankKi"), a.at("publicKey"), a.at("sessionKey"),
                 [&](bool) { ++out.successes; },
                 [&](bool value) {
                     ++out.failures;
                     out.failureText = value ? "true" : "false";
                 });
             return out;
         },
         false},
        {"createFetchOtpChallengeRequest",
         {"transactionType", "txnId", "paymentInstrumentType", "bic", "action"},
         [&](const Args& a) {
             Outcome out;
             api.createFetchOtpChallengeRequest(
                 a.at("transactionType"), a.at("txnId"), a.at("paymentInstrumentType"), a.at("bic"),
                 a.at("sessionKey"), a.at("action"),
                 [&](auto&, auto&, auto&, auto&) { ++out.successes; }, onCodeReason(out));
             return out;
         },
         false},
        {"createValidateOtpRequest",
         {"txnId", "transactionType", "credValue", "bankKi", "publicKey", "sessionKey", "action",
          "bic", "referenceid"},
         [&](const Args& a) {
             Outcome out;
             api.createValidateOtpRequest(
                 a.at("txnId"), a.at("transactionType"), a.at("credValue"), a.at("bankKi"),
                 a.at("publicKey"), a.at("sessionKey"), a.at("action"), a.at("bic"),
                 a.at("referenceid"), [&](bool) { ++out.successes; }, onCodeReason(out));
             return out;
         },
         false},
        {"checkOtpStatus",
         {"txnId"},
         [&](const Args& a) {
             Outcome out;
             api.checkOtpStatus(a.at("txnId"), [&](const std::string& word) {
                 if (word == "stop") {
                     ++out.failures;
                     out.failureText = word;
                 } else {
                     ++out.successes;
                 }
             });
             return out;
         },
         false},
        {"validateCardNumAsync",
         {"sessionKey", "bankKi", "publicKey", "txnId", "cardNumber", "bic", "bankName"},
         [&](const Args& a) {
             Outcome out;
             api.validateCardNumAsync(
                 a.at("sessionKey"), a.at("bankKi"), a.at("publicKey"), a.at("txnId"),
                 a.at("cardNumber"), a.at("bic"), a.at("bankName"), [&](auto&) { ++out.successes; },
                 onError(out));
             return out;
         },
         true},
        {"registerCardDetailRequest",
         {"txnId", "transactionType", "bic", "accountNo", "bankKi", "sessionKey", "cardNumber",
          "expiryMonth", "expiryYear", "cvv", "publicKey"},
         [&](const Args& a) {
             Outcome out;
             api.registerCardDetailRequest(
                 a.at("txnId"), a.at("transactionType"), a.at("bic"), a.at("accountNo"),
                 a.at("bankKi"), a.at("sessionKey"), a.at("cardNumber"), a.at("expiryMonth"),
                 a.at("expiryYear"), a.at("cvv"), a.at("publicKey"),
                 [&](bool, const std::string&) { ++out.successes; }, onError(out));
             return out;
         },
         true},
        {"webUrlRequestAsync",
         {"transactionType", "txnId", "paymentInstrumentType", "bic"},
         [&](const Args& a) {
             Outcome out;
             api.webUrlRequestAsync(
                 a.at("transactionType"), a.at("txnId"), a.at("paymentInstrumentType"), a.at("bic"),
                 a.at("sessionKey"), [&](auto&) { ++out.successes; }, onError(out));
             return out;
         },
         true},
        {"getCheckDeviceRegistered",
         {"mobile"},
         [](const Args& a) {
             Outcome out;
             TaviUtils::getCheckDeviceRegistered(a.at("mobile"), [&](bool registered) {
                 if (registered) {
                     ++out.successes;
                 } else {
                     ++out.failures;
                     out.failureText = "false";
                 }
             });
             return out;
         },
         false},
        {"startDeviceRegistration",
         {"sessionKey", "mobileNumber", "txnID", "appId"},
         [&](const Args& a) {
             Outcome out;
             DeviceRegistrationController().startDeviceRegistration(
                 true, a.at("serverKey"), a.at("mobileNumber"), a.at("txnID"), a.at("appId"),
                 [&](const std::string&) { ++out.successes; }, onError(out));
             return out;
         },
         true},
    };
}

class HostileInput : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(registerDevice());
        ASSERT_TRUE(retrieveTransactionKeys("TXN-H1", "MSG-H1", "BANKXX01", "ACCOUNT"));
        server().clearRequests();
        capture().clear();
    }

    Args goodArguments() const {
        return {{"msgID", "MSG-H2"},
                {"transactionType", "FINANCIAL_TXN"},
                {"txnId", "TXN-H1"},
                {"bic", "BANKXX01"},
                {"paymentInstrumentType", "ACCOUNT"},
                {"credType", "PIN"},
                {"credValue", sandbox::kTestPin},
                {"bankKi", bankKi_},
                {"publicKey", publicKey_},
                {"sessionKey", sessionKey_},
                {"serverKey", server_->serverPublicKey()},
                {"action", "PURCHASE"},
                {"referenceid", "REF-1"},
                {"cardNumber", "4111111111111111"},
                {"bankName", "Demo Bank"},
                {"accountNo", "000123456789"},
                {"expiryMonth", "12"},
                {"expiryYear", futureYear()},
                {"cvv", "123"},
                {"mobile", "+15550100"},
                {"mobileNumber", "+15550100"},
                {"txnID", "REG-TXN-2"},
                {"appId", "com.example.wallet"}};
    }

    /// Checks one refused call: exactly one failure in the operation's shape, an error that
    /// names `what` (error-value shapes), and nothing sent.
    void expectRefused(const Operation& op, const Outcome& out, const std::string& what) {
        EXPECT_EQ(out.successes, 0);
        EXPECT_EQ(out.failures, 1);
        if (op.errorValue) {
            ASSERT_TRUE(out.error);
            EXPECT_EQ(out.error->domain, ErrorDomain::client) << out.error->description();
            EXPECT_EQ(out.error->code, ClientErrorCode::invalidArgument)
                << out.error->description();
            EXPECT_NE(out.error->message.find("\"" + what + "\""), std::string::npos)
                << out.error->message;
        } else {
            const std::string name = op.name;
            const std::string expected = name == "createCredentialSubmissionRequest" ? "false"
                                         : name == "checkOtpStatus"                  ? "stop"
                                         : name == "getCheckDeviceRegistered"        ? "false"
                                                                                     : kException;
            EXPECT_EQ(out.failureText, expected);
        }
        EXPECT_TRUE(server().requests().empty()) << server().requests().front().path;
        server().clearRequests();
    }
};

// Latin-1 text from a POS host, a truncated sequence, a surrogate, an overlong '/', a stray
// continuation byte and a byte that never occurs in UTF-8.
const std::vector<std::string> kNotUTF8 = {"Caf\xE9",  "ab\xC3",    "\xED\xA0\x80x",
                                           "\xC0\xAF", "\x80start", "ok\xFF"};

TEST_F(HostileInput, TextThatIsNotUTF8IsRefusedBeforeAnythingIsSent) {
    int tried = 0;
    for (const auto& op : operations()) {
        // The good arguments work: each refusal below is the bad text's doing.
        if (std::string(op.name) != "startDeviceRegistration") {
            const Outcome fine = op.call(goodArguments());
            EXPECT_EQ(fine.successes + fine.failures, 1) << op.name;
            server().clearRequests();
        }
        for (const char* argument : op.arguments) {
            for (const auto& bad : kNotUTF8) {
                SCOPED_TRACE(std::string(op.name) + " " + argument + " " + bad);
                Args args = goodArguments();
                args[argument == std::string("sessionKey") &&
                             std::string(op.name) == "startDeviceRegistration"
                         ? "serverKey"
                         : argument] = bad;
                expectRefused(op, op.call(args), argument);
                ++tried;
            }
        }
    }

    // Values the library reads from the configuration. (The store hands out only UTF-8 text.)
    const auto ops = operations();
    for (const auto& bad : kNotUTF8) {
        auto& config = AppConstantTAVI::shared();
        config.appId = bad;
        expectRefused(ops[8], ops[8].call(goodArguments()), "appId");
        config.appId = "com.example.wallet";
        config.pspOrgId = bad;
        expectRefused(ops[9], ops[9].call(goodArguments()), "pspOrgId");
        config.pspOrgId = "PSPORG1";
        tried += 2;
    }
    std::printf("%d texts that are not UTF-8 refused\n", tried);
    // Refusals name the value, never show it.
    for (const auto& line : capture().lines()) {
        for (const auto& bad : kNotUTF8) EXPECT_EQ(line.find(bad), std::string::npos) << line;
    }
}

// ---- The operation's deadline ----------------------------------------------------------------

TEST_F(HostileInput, RegistrationRestartsEndAtTheDeadline) {
#ifdef TAVI_TEST_EMULATOR
    GTEST_SKIP() << "needs the client at native speed: its 2 s timeout against the server's "
                    "1.9 s delays leaves no room for qemu-user's slower RSA";
#endif
    auto& config = AppConstantTAVI::shared();
    config.timeoutMilliseconds = 2000;  // and the deadline twice that: 4 s
    Fault slow;
    slow.path = kSmsPath;
    slow.kind = Fault::Kind::delay;
    slow.delayMs = 1900;
    server().addFault(slow);
    Fault restart;
    restart.path = kRegistrationPath;
    restart.kind = Fault::Kind::wrongKey;  // the answer's key never opens: restart after restart
    server().addFault(restart);

    std::optional<Error> error;
    int callbacks = 0;
    DeviceRegistrationController().startDeviceRegistration(
        true, server().serverPublicKey(), "+15550100", "REG-TXN-3", "com.example.wallet",
        [&](const std::string&) { ++callbacks; },
        [&](const Error& e) {
            ++callbacks;
            error = e;
        });
    EXPECT_EQ(callbacks, 1);
    ASSERT_TRUE(error);
    // Without the deadline, three runs at 1.9 s each, ending with the restarts' own error.
    EXPECT_EQ(error->code, ClientErrorCode::deadlineExceeded) << error->description();
    server().clearFaults();
}

TEST_F(HostileInput, KeyRetrievalReissuesEndAtTheDeadline) {
    auto& config = AppConstantTAVI::shared();
    config.timeoutMilliseconds = 60000;
    config.operationDeadlineMilliseconds = 3000;
    Fault reissue;
    reissue.path = kKeysPath;
    reissue.kind = Fault::Kind::wrongKey;
    reissue.times = 2;
    server().addFault(reissue);
    Fault slow;
    slow.path = kKeysPath;
    slow.kind = Fault::Kind::delay;
    slow.delayMs = 50000;  // the third attempt's answer: within its own timeout
    slow.times = 1;
    server().addFault(slow);

    std::optional<Error> error;
    int callbacks = 0;
    const std::size_t before = server().arrivals(kKeysPath);
    TaviApiService::shared().createRetrieveKeysRequest(
        "MSG-H3", "FINANCIAL_TXN", "TXN-H3", "BANKXX01", "ACCOUNT",
        [&](auto&, auto&, auto&, auto&, auto&) { ++callbacks; },
        [&](const Error& e) {
            ++callbacks;
            error = e;
        });
    config.operationDeadlineMilliseconds = 0;
    EXPECT_EQ(callbacks, 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, ClientErrorCode::deadlineExceeded) << error->description();
    // It ended at the deadline, while the server still held the third answer (a request is
    // recorded once answered): not once that answer came.
    EXPECT_EQ(server().arrivals(kKeysPath) - before, 3u);
    EXPECT_EQ(requestsTo(kKeysPath).size(), 2u);
}

// ---- Lines a server would forge ------------------------------------------------------------

TEST_F(HostileInput, ServerTextReachesTheSinkOneLineAtATime) {
    // A decrypted payload (pretty-printed by the server) and a refusal reason carrying line
    // breaks and a terminal escape, written through the registration's failure line.
    ASSERT_TRUE(retrieveTransactionKeys("TXN-H4", "MSG-H4", "BANKXX01", "ACCOUNT"));
    Fault refusal;
    refusal.path = kRegistrationPath;
    refusal.kind = Fault::Kind::refusal;
    refusal.errorCode = "E1\nstatusCode: 200";
    refusal.errorReason =
        "no\r\nTavi Key: forged\x1b[2J\xc2\x9b"
        "31m";
    refusal.times = 1;
    server().addFault(refusal);
    DeviceRegistrationController().startDeviceRegistration(
        true, server().serverPublicKey(), "+15550100", "REG-TXN-4", "com.example.wallet",
        [](const std::string&) {}, [](const Error&) {});

    const auto lines = capture().lines();
    bool payloadLine = false;
    bool refusalLine = false;
    for (const auto& line : lines) {
        for (unsigned char c : line) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << line;
        EXPECT_EQ(line.find("\xc2\x9b"), std::string::npos) << line;
        if (line.rfind("{\\n", 0) == 0 && line.find("\"sessionKey\"") != std::string::npos)
            payloadLine = true;
        if (line.find("no\\r\\nTavi Key: forged\\u001b[2J\\u009b31m") != std::string::npos &&
            line.find("E1\\nstatusCode: 200") != std::string::npos)
            refusalLine = true;
    }
    EXPECT_TRUE(payloadLine) << capture().joined();
    EXPECT_TRUE(refusalLine) << capture().joined();
    for (const auto& line : lines) EXPECT_NE(line.rfind("Tavi Key: forged", 0), 0u);
}

}  // namespace
}  // namespace tavi::test
