// docs/ERRORS.md's code tables are made from the code table (tavi/error_codes.hpp): this test
// fails when one differs, and with TAVI_UPDATE_ERRORS_DOC=1 in the environment writes them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tavi/error_codes.hpp"
#include "tavi/result.hpp"

namespace {

struct Row {
    long code;
    const char* name;
    const char* meaning;
    const char* action;
};

#define TAVI_ROW(code, name, brief, meaning, action) Row{code, #name, meaning, action},
const std::vector<Row> kClient{TAVI_CLIENT_ERROR_CODES(TAVI_ROW)};
const std::vector<Row> kApiService{TAVI_API_SERVICE_ERROR_CASES(TAVI_ROW)};
const std::vector<Row> kDecoding{TAVI_DECODING_ERROR_CODES(TAVI_ROW)};
const std::vector<Row> kEncoding{TAVI_ENCODING_ERROR_CODES(TAVI_ROW)};
const std::vector<Row> kEncryption{TAVI_ENCRYPTION_ERROR_CODES(TAVI_ROW)};
const std::vector<Row> kCard{TAVI_CARD_ERROR_CODES(TAVI_ROW)};
const std::vector<Row> kKeychain{TAVI_KEYCHAIN_STATUSES(TAVI_ROW)};
#undef TAVI_ROW

/// Code, name, meaning and host action in four columns.
std::string fourColumns(const std::vector<Row>& rows, const char* codeTitle,
                        const char* nameTitle) {
    std::string out = std::string("| ") + codeTitle + " | " + nameTitle +
                      " | Meaning | Host action |\n|---|---|---|---|\n";
    for (const Row& r : rows) {
        out += "| " + std::to_string(r.code) + " | `" + r.name + "` | " + r.meaning + " | " +
               r.action + " |\n";
    }
    return out + "\n";
}

/// Code, then name and meaning together.
std::string twoColumns(const std::vector<Row>& rows) {
    std::string out = "| Code | Meaning |\n|---|---|\n";
    for (const Row& r : rows) {
        out += "| " + std::to_string(r.code) + " | `" + r.name + "`: " + r.meaning + " |\n";
    }
    return out + "\n";
}

struct Table {
    const char* id;
    std::string text;
};

std::vector<Table> tables() {
    return {{"client", fourColumns(kClient, "Code", "Name")},
            {"api-service", fourColumns(kApiService, "Code", "Case")},
            {"decoding", twoColumns(kDecoding)},
            {"encoding", fourColumns(kEncoding, "Code", "Name")},
            {"encryption", twoColumns(kEncryption)},
            {"card", twoColumns(kCard)},
            {"keychain", fourColumns(kKeychain, "Status", "Name")}};
}

constexpr const char* kEnd = "<!-- end of generated table -->";

std::string begin(const char* id) {
    return std::string("<!-- generated from include/tavi/error_codes.hpp: ") + id + " -->";
}

TEST(ErrorsDoc, CodeTablesAreTheCodeTable) {
    const std::string path = std::string(TAVI_SOURCE_DIR) + "/docs/ERRORS.md";
    std::stringstream read;
    read << std::ifstream(path).rdbuf();
    std::string doc = read.str();
    ASSERT_FALSE(doc.empty()) << path;

    std::vector<std::string> stale;
    for (const Table& table : tables()) {
        const std::string marker = begin(table.id) + "\n";
        const auto from = doc.find(marker);
        ASSERT_NE(from, std::string::npos) << path << " lacks the marker " << marker;
        const auto start = from + marker.size();
        const auto end = doc.find(kEnd, start);
        ASSERT_NE(end, std::string::npos) << path << ": table " << table.id << " has no end marker";
        if (doc.compare(start, end - start, table.text) != 0) {
            stale.emplace_back(table.id);
            doc.replace(start, end - start, table.text);
        }
    }
    if (stale.empty()) return;
    const char* update = std::getenv("TAVI_UPDATE_ERRORS_DOC");
    if (update != nullptr && std::string(update) == "1") {
        std::ofstream(path) << doc;
        return;
    }
    std::string names;
    for (const auto& id : stale) names += " " + id;
    ADD_FAILURE() << path << " is out of date (tables:" << names
                  << "); run this test with TAVI_UPDATE_ERRORS_DOC=1 to write them";
}

// Every code of every table has its name, and the names the library gives are the table's.
TEST(ErrorsDoc, NamesComeFromTheTable) {
    struct Case {
        const char* domain;
        const std::vector<Row>& rows;
    };
    const Case cases[] = {{tavi::ErrorDomain::client, kClient},
                          {tavi::ErrorDomain::apiService, kApiService},
                          {tavi::ErrorDomain::decoding, kDecoding},
                          {tavi::ErrorDomain::encoding, kEncoding},
                          {tavi::ErrorDomain::encryption, kEncryption},
                          {"CardValidationError", kCard},
                          {tavi::ErrorDomain::store, kKeychain}};
    for (const auto& c : cases) {
        for (const Row& r : c.rows) {
            EXPECT_EQ(tavi::errorCodeName(c.domain, r.code), r.name) << c.domain << " " << r.code;
        }
    }
    EXPECT_EQ(tavi::errorCodeName(tavi::ErrorDomain::client, 0), "");
    EXPECT_EQ(tavi::errorCodeName(tavi::ErrorDomain::transport, 7), "");
}

}  // namespace
