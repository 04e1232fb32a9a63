#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "core/http.hpp"
#include "tavi/config.hpp"

namespace tavi::detail {
namespace {

const std::map<std::string, QueryValue> kNoParams;

TEST(RequestURL, EndpointIsAppendedAsPlainText) {
    EXPECT_EQ(
        joinURL("https://pay.example", "/kora-core/tavi-sdk/urn:apiver:1.0/authorize", kNoParams),
        "https://pay.example/kora-core/tavi-sdk/urn:apiver:1.0/authorize");
    EXPECT_EQ(joinURL("https://pay.example/", "/p", kNoParams), "https://pay.example//p");
    EXPECT_EQ(joinURL("https://pay.example/base", "", kNoParams), "https://pay.example/base");
}

TEST(RequestURL, PlusInTheQueryIsEscapedButNotInThePath) {
    EXPECT_EQ(joinURL("http://127.0.0.1:8080", "/a+b?txnId=T+1&x=a%2Bb+", kNoParams),
              "http://127.0.0.1:8080/a+b?txnId=T%2B1&x=a%2Bb%2B");
    EXPECT_EQ(joinURL("https://h.example", "/s?", kNoParams), "https://h.example/s?");
}

TEST(RequestURL, QueryParamsReplaceTheQueryInMapOrder) {
    const std::map<std::string, QueryValue> params{
        {"b name", std::string("x+y/z&=")}, {"a", 42LL}, {"c", true}, {"d", false}, {"e", -7LL}};
    EXPECT_EQ(joinURL("https://h.example", "/s?old=1#frag", params),
              "https://h.example/s?a=42&b%20name=x%2By%2Fz%26%3D&c=true&d=false&e=-7#frag");
    EXPECT_EQ(joinURL("https://h.example", "/s", {{"k", std::string("\xC3\xA9~-._")}}),
              "https://h.example/s?k=%C3%A9~-._");
}

TEST(RequestURL, TextThatIsNotAnHttpUrl) {
    for (const auto& [base, endPoint] : std::vector<std::pair<std::string, std::string>>{
             {"https://h.example", "/txn?id=a b"},
             {"https://h.example", "/txn?id={x}"},
             {"https://h.example", "/bad%zz"},
             {"https://h.example", "/bad%4"},
             {"https:/", "h.example/p"},
             {"https:", "///h.example/p"},
             {"https://h.example", "/\xC3\xA9"},
             {"https://h.example", "/line\r\nX-Injected: 1"},
             {"not a url", ""},
             {"pay.example", "/p"},
             {"https://", ""},
             {"ftp://h.example", "/p"},
             {"file:///etc/passwd", ""},
             {"", ""},
         }) {
        EXPECT_FALSE(joinURL(base, endPoint, kNoParams).has_value()) << base << endPoint;
    }
}

TEST(RequestURL, PercentEncodingLeavesOnlyUnreservedCharacters) {
    EXPECT_EQ(percentEncode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(percentEncode(" +/?#&=%"), "%20%2B%2F%3F%23%26%3D%25");
    EXPECT_EQ(percentEncode(std::string("\x00\xFF", 2)), "%00%FF");
}

TEST(RequestURL, LoopbackHosts) {
    for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "127.255.10.3", "[::1]", "::1",
                             "[::ffff:127.0.0.1]"}) {
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    }
    // "localhost." is a name for the resolver, which may map it anywhere.
    for (const char* host : {"", "192.0.2.1", "128.0.0.1", "10.0.0.1", "127.0.0.1.example.com",
                             "localhost.example.com", "[::2]", "[::ffff:10.0.0.1]", "0.0.0.0",
                             "localhost.", "LOCALHOST.", "localhost..", "xn--localhost",
                             "[::1%25lo]", "127.1", "2130706433", "0x7f.0.0.1"}) {
        EXPECT_FALSE(isLoopbackHost(host)) << host;
    }
}

TEST(RequestURL, HeadersMapText) {
    EXPECT_EQ(headersText({}), "[:]");
    EXPECT_EQ(headersText({{"Content-Type", "application/json"}}),
              R"(["Content-Type": "application/json"])");
    EXPECT_EQ(headersText({{"B", "2"}, {"A", "1"}}), R"(["A": "1", "B": "2"])");
}

// Requests refused before anything is sent: no network is touched.
class RefusedRequest : public ::testing::Test {
  protected:
    void SetUp() override {
        AppConstantTAVI::shared().diagnosticsSink = [this](std::string_view line) {
            lines_.emplace_back(line);
        };
    }
    void TearDown() override {
        AppConstantTAVI::shared().serverURL = kProductionServerURL;
        AppConstantTAVI::shared().diagnosticsSink = standardOutputSink();
    }

    std::vector<Result<Bytes>> run(const std::string& endPoint) {
        std::vector<Result<Bytes>> results;
        performRequest(endPoint, "GET", {}, std::nullopt, {},
                       [&](const Result<Bytes>& r) { results.push_back(r); });
        return results;
    }

    std::vector<std::string> lines_;
};

TEST_F(RefusedRequest, CleartextToAnotherHost) {
    for (const char* base : {"http://192.0.2.1", "http://192.0.2.1:80", "HTTP://example.com",
                             "http://127.0.0.1.example.com"}) {
        AppConstantTAVI::shared().serverURL = base;
        auto results = run("/mpgs/txn-status?txnId=1");
        ASSERT_EQ(results.size(), 1u) << base;
        ASSERT_FALSE(results[0].ok()) << base;
        EXPECT_EQ(results[0].error().domain, ErrorDomain::client);
        EXPECT_EQ(results[0].error().code, ClientErrorCode::insecureTransport);
        EXPECT_NE(results[0].error().message.find("https"), std::string::npos);
    }
    EXPECT_TRUE(lines_.empty());
}

TEST_F(RefusedRequest, NoUrlCanBeFormed) {
    // The error names what was wrong.
    for (const auto& [base, endPoint, problem] :
         std::vector<std::tuple<std::string, std::string, std::string>>{
             {"", "", "empty"},
             {"not a url", "/p", "0x20 at offset 3"},
             {"ftp://files.example", "/p", "\"ftp\" is neither https nor http"},
             {"https://", "", "scheme://host"},
             {"http://192.0.2.1", "/txn?id=a b", "0x20 at offset 25"},
             {"https://h.example", "/s?id=T1\r\n", "0x0D at offset 25"},
             {"https://h.example", "/s?id=\xC3\xA9", "0xC3 at offset 23"},
         }) {
        AppConstantTAVI::shared().serverURL = base;
        auto results = run(endPoint);
        ASSERT_EQ(results.size(), 1u) << base;
        ASSERT_FALSE(results[0].ok());
        EXPECT_EQ(ApiServiceError::caseOf(results[0].error()), ApiServiceError::Case::invalidURL);
        EXPECT_NE(results[0].error().message.find(problem), std::string::npos)
            << results[0].error().message;
    }
    EXPECT_TRUE(lines_.empty());
}

TEST_F(RefusedRequest, AnEndpointThatIsNotAUrlIsNeverSentToTheBareBaseUrl) {
    // Neither to a foreign host nor anywhere else: the request is refused as it stands.
    AppConstantTAVI::shared().serverURL = "http://192.0.2.1";
    auto results = run("/txn?id=a b");
    ASSERT_EQ(results.size(), 1u);
    ASSERT_FALSE(results[0].ok());
    EXPECT_EQ(ApiServiceError::caseOf(results[0].error()), ApiServiceError::Case::invalidURL);
}

}  // namespace
}  // namespace tavi::detail
