#include <gtest/gtest.h>

#include <map>
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

// The query of a request target as a server reads it: name=value pairs split on '&', each
// percent-decoded ('+' as a space, as forms are read).
std::multimap<std::string, std::string> queryOf(const std::string& target) {
    std::multimap<std::string, std::string> out;
    const auto mark = target.find('?');
    if (mark == std::string::npos) return out;
    const auto decode = [](const std::string& text) {
        std::string value;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                value += ' ';
            } else if (text[i] == '%' && i + 2 < text.size()) {
                value += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                value += text[i];
            }
        }
        return value;
    };
    std::string rest = target.substr(mark + 1);
    while (true) {
        const auto amp = rest.find('&');
        const std::string item = rest.substr(0, amp);
        const auto eq = item.find('=');
        out.emplace(decode(item.substr(0, eq)),
                    eq == std::string::npos ? std::string() : decode(item.substr(eq + 1)));
        if (amp == std::string::npos) break;
        rest.erase(0, amp + 1);
    }
    return out;
}

TEST_F(OtpStatus, TheServerReceivesExactlyTheTxnIdGiven) {
    // Each text would otherwise add a parameter, cut the query, break the URL (which sent the
    // poll to the bare base URL) or arrive as another text.
    for (const std::string& txnId : std::vector<std::string>{
             "T1&txnId=VICTIM",
             "T1&txnStatusFlagEnum=NONE",
             "T1#",
             "T1#frag",
             "50%",
             "%41",
             "%2B",
             "a b",
             "T1\r\nX-Injected: 1",
             "T1\n",
             "A+B",
             "+",
             "Z\xC3\xBCrich \xE2\x82\xAC",
             "a/b",
             "a?b=c",
             "=",
             ";",
             "[::1]",
             "\"quoted\"",
             "~-._",
             std::string("nul\0byte", 8),
         }) {
        SCOPED_TRACE(txnId);
        server().clearRequests();
        server().setTxnStatus(txnId, "PENDING");
        server().setTxnStatus("VICTIM", "VERIFIED");
        EXPECT_EQ(poll(txnId), "retry");  // the server found the transaction by exactly this id
        const auto requests = requestsTo(kStatusPath);
        ASSERT_EQ(requests.size(), 1u);
        const auto query = queryOf(requests[0].target);
        EXPECT_EQ(query, (std::multimap<std::string, std::string>{
                             {"txnId", txnId}, {"txnStatusFlagEnum", "IS_OTP_VERIFIED"}}))
            << requests[0].target;
    }
}

}  // namespace
}  // namespace tavi::test
