// Base64 (strict, lenient, URL-safe), UUID text and UTF-8 checks.

#include <gtest/gtest.h>

#include <set>

#include "core/internal.hpp"
#include "tavi/crypto.hpp"

namespace tavi {
namespace {

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(Base64Strict, AcceptsOnlyWellFormedText) {
    EXPECT_EQ(detail::base64DecodeStrict(""), Bytes{});
    EXPECT_EQ(detail::base64DecodeStrict("QQ=="), bytesOf("A"));
    EXPECT_EQ(detail::base64DecodeStrict("QUI="), bytesOf("AB"));
    EXPECT_EQ(detail::base64DecodeStrict("QUJD"), bytesOf("ABC"));
    EXPECT_EQ(detail::base64DecodeStrict("+/8="), (Bytes{0xFB, 0xFF}));

    for (const char* bad : {"abc", "QQ=", "Q===", "====", "QQ=A", "Q=Q=", "QQ==QUJD",
                            "Q Q=", "QUJD\n", "-_8=", "QU*D"}) {
        EXPECT_FALSE(detail::base64DecodeStrict(bad)) << bad;
    }
}

TEST(Base64Lenient, SkipsForeignCharactersAndToleratesMissingPadding) {
    EXPECT_EQ(detail::base64DecodeLenient("QU\r\nJD"), bytesOf("ABC"));
    EXPECT_EQ(detail::base64DecodeLenient("*Q U J D*"), bytesOf("ABC"));
    EXPECT_EQ(detail::base64DecodeLenient("QUI"), bytesOf("AB"));
    EXPECT_EQ(detail::base64DecodeLenient("QQ"), bytesOf("A"));
    EXPECT_EQ(detail::base64DecodeLenient("QUI=\n"), bytesOf("AB"));
    EXPECT_EQ(detail::base64DecodeLenient(""), Bytes{});
    // A single leftover character holds no byte; data after padding is not one value.
    EXPECT_FALSE(detail::base64DecodeLenient("QUJDQ"));
    EXPECT_FALSE(detail::base64DecodeLenient("QQ==QUJD"));
}

TEST(Base64, RoundTripsEveryLengthAndByte) {
    Bytes data;
    for (int n = 0; n < 70; ++n) {
        const std::string text = detail::base64Encode(data);
        EXPECT_EQ(text.size() % 4, 0u);
        EXPECT_EQ(detail::base64DecodeStrict(text), data) << n;
        EXPECT_EQ(detail::base64DecodeLenient(text), data) << n;
        data.push_back(static_cast<std::uint8_t>(n * 37 + 200));
    }
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(detail::base64DecodeStrict(detail::base64Encode(all)), all);
    EXPECT_EQ(detail::base64Encode(std::string_view("ABC")), "QUJD");
}

TEST(UUID, IsUpperCaseVersion4TextAndUnique) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = detail::newUUID();
        ASSERT_EQ(id.size(), 36u);
        for (std::size_t k = 0; k < id.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23) {
                EXPECT_EQ(id[k], '-');
            } else {
                EXPECT_TRUE((id[k] >= '0' && id[k] <= '9') || (id[k] >= 'A' && id[k] <= 'F')) << id;
            }
        }
        EXPECT_EQ(id[14], '4');
        EXPECT_NE(std::string("89AB").find(id[19]), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(UTF8, RejectsMalformedSequences) {
    EXPECT_TRUE(detail::isValidUTF8(""));
    EXPECT_TRUE(detail::isValidUTF8("plain ascii"));
    EXPECT_TRUE(detail::isValidUTF8("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xB3"));
    EXPECT_TRUE(detail::isValidUTF8(std::string("a\0b", 3)));
    for (const char* bad : {"\x80", "\xC3", "\xE2\x82", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xFF", "\xC3\x28"}) {
        EXPECT_FALSE(detail::isValidUTF8(bad)) << detail::base64Encode(std::string_view(bad));
    }
}

TEST(Base64TextForms, UrlSafeAlphabetKeepsPadding) {
    const PKIEncryptionDecryptionUtils utils;
    EXPECT_EQ(utils.base64URLEncode(Bytes{0xFB, 0xFF}), "-_8=");
    EXPECT_FALSE(utils.base64URLDecode("-_8"));
    EXPECT_EQ(utils.base64URLDecode("-_8="), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(utils.convertToBase64UrlFormat("+/+/8="), "-_-_8=");
    EXPECT_EQ(utils.convertToBase64Format("-_8"), "+/8=");
    EXPECT_EQ(utils.convertToBase64Format("-_"), "+/==");
    EXPECT_EQ(utils.convertToBase64Format("QUJD"), "QUJD");
    EXPECT_EQ(utils.convertToBase64Format("QUJDQQ"), "QUJDQQ==");
    EXPECT_EQ(utils.convertToBase64Format(""), "");
}

TEST(Base64TextForms, DataAndStringConversionsRefuseInvalidUTF8) {
    const PKIEncryptionDecryptionUtils utils;
    EXPECT_EQ(utils.dataToString(bytesOf("h\xC3\xA9")), "h\xC3\xA9");
    EXPECT_FALSE(utils.dataToString(Bytes{0xC3}));
    EXPECT_EQ(utils.stringToData("abc"), bytesOf("abc"));
    EXPECT_FALSE(utils.stringToData("\xFF"));
}

}  // namespace
}  // namespace tavi
