#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fixture.hpp"

namespace tavi::test {
namespace {

using sandbox::Fault;

constexpr const char* kStatusPath = "/mpgs/txn-status";

class OtpStatus : public SandboxTest {
  protected:
    // One poll; checks that the callback ran exactly once and only with one of the two words.
    std::string poll(const std::string& txnId) {
        std::vector<std::string> words;
        TaviApiService::shared().checkOtpStatus(
            txnId, [&](const std::string& word) { words.push_back(word); });
        EXPECT_EQ(words.size(), 1u) << txnId;
        if (words.size() != 1) return "<" + std::to_string(words.size()) + " callbacks>";
        EXPECT_TRUE(words[0] == "retry" || words[0] == "stop") << words[0];
        return words[0];
    }

    std::string pollAnswering(int status, const std::string& body) {
        Fault f;
        f.kind = Fault::Kind::body;
        f.path = kStatusPath;
        f.status = status;
        f.body = body;
        f.times = 1;
        server().addFault(f);
        return poll("TXN-ANY");
    }
};

TEST_F(OtpStatus, OnlyATopLevelPendingStringMeansRetry) {
    EXPECT_EQ(pollAnswering(200, R"({"txnStatus":"PENDING"})"), "retry");
    EXPECT_EQ(pollAnswering(200, R"({"other":1,"txnStatus":"PENDING","more":[null]})"), "retry");
    // The HTTP status plays no part.
    EXPECT_EQ(pollAnswering(500, R"({"txnStatus":"PENDING"})"), "retry");

    for (const char* body : {
             R"({"txnStatus":"pending"})",
             R"({"txnStatus":"PENDING "})",
             R"({"txnStatus":"VERIFIED"})",
             R"({"txnStatus":""})",
             R"({"txnStatus":1})",
             R"({"txnStatus":true})",
             R"({"txnStatus":null})",
             R"({"txnStatus":{"txnStatus":"PENDING"}})",
             R"({"txnStatus":["PENDING"]})",
             R"({})",
             R"([{"txnStatus":"PENDING"}])",
             R"({"result":{"txnStatus":"PENDING"}})",
             R"("PENDING")",
             R"({"txnStatus":"PENDING")",
             R"({"txnStatus":"PENDING"} x)",
             "<html><body>Bad gateway</body></html>",
         }) {
        EXPECT_EQ(pollAnswering(200, body), "stop") << body;
    }
}

TEST_F(OtpStatus, FailuresAreStop) {
    Fault f;
    f.path = kStatusPath;
    f.times = 1;
    for (auto kind : {Fault::Kind::emptyBody, Fault::Kind::nonJson, Fault::Kind::dropConnection,
                      Fault::Kind::resetMidBody, Fault::Kind::oversized}) {
        f.kind = kind;
        server().addFault(f);
        EXPECT_EQ(poll("TXN-F"), "stop") << static_cast<int>(kind);
    }
    AppConstantTAVI::shared().timeoutMilliseconds = 300;
    f.kind = Fault::Kind::delay;
    f.delayMs = 1500;
    server().addFault(f);
    EXPECT_EQ(poll("TXN-SLOW"), "stop");

    AppConstantTAVI::shared().serverURL = "http://192.0.2.1";  // refused, never contacted
    EXPECT_EQ(poll("TXN-F"), "stop");
}

TEST_F(OtpStatus, DemoTransactionBecomesVerified) {
    std::vector<std::string> words;
    for (int i = 0; i < 5; ++i) words.push_back(poll(sandbox::kDemoTxnId));
    EXPECT_EQ(words, (std::vector<std::string>{"retry", "retry", "retry", "stop", "stop"}));

    server().setTxnStatus("TXN-7", "PENDING");
    EXPECT_EQ(poll("TXN-7"), "retry");
    server().setTxnStatus("TXN-7", "VERIFIED");
    EXPECT_EQ(poll("TXN-7"), "stop");
}

TEST_F(OtpStatus, RequestShape) {
    poll("");
    poll("A+B");
    const auto requests = requestsTo(kStatusPath);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].body, "");
    EXPECT_EQ(requests[0].target, "/mpgs/txn-status?txnId=&txnStatusFlagEnum=IS_OTP_VERIFIED");
    EXPECT_EQ(requests[1].target, "/mpgs/txn-status?txnId=A%2BB&txnStatusFlagEnum=IS_OTP_VERIFIED");

    // The pipeline's lines only: no body line, the empty header map.
    const auto lines = capture().lines();
    int headerLines = 0;
    for (const auto& line : lines) {
        EXPECT_NE(line.rfind("body: ", 0), 0u) << line;
        if (line == "header: [:]") ++headerLines;
    }
    EXPECT_EQ(headerLines, 2);
}

}  // namespace
}  // namespace tavi::test
