// The masked value sealed for the bank, and the random number inside it.

#include <gtest/gtest.h>

#include <charconv>

#include "crypto_support.hpp"
#include "tavi/crypto.hpp"
#include "tavi/device.hpp"
#include "tavi/store.hpp"
#include "translator/seal.hpp"

namespace tavi {
namespace {

using test::DiagCapture;
using test::TestKeyPair;

class SealTest : public ::testing::Test {
  protected:
    void SetUp() override { KeychainManager::setStore(makeMemorySecureStore()); }

    // The bank key as the operations receive it: base64 of the key's base64 text.
    static std::string wrapKeyText(const std::string& keyText) {
        return detail::base64Encode(std::string_view(keyText));
    }

    // Opens a masked value with the bank's private key: returns "txnId|value|r" after "ki:".
    std::string open(const std::string& masked, const std::string& ki) const {
        EXPECT_EQ(masked.rfind(ki + ":", 0), 0u) << masked;
        const auto cipher = detail::base64DecodeStrict(masked.substr(ki.size() + 1));
        EXPECT_TRUE(cipher);
        if (!cipher) return {};
        EXPECT_EQ(cipher->size(), 256u);
        const auto plain = pair.privateDecrypt(*cipher);
        EXPECT_TRUE(plain);
        return plain ? std::string(plain->begin(), plain->end()) : std::string();
    }

    static void expectUnitNumber(const std::string& text) {
        double r = -1;
        const auto res = std::from_chars(text.data(), text.data() + text.size(), r);
        ASSERT_EQ(res.ec, std::errc()) << text;
        ASSERT_EQ(res.ptr, text.data() + text.size()) << text;
        EXPECT_GE(r, 0.0);
        EXPECT_LT(r, 1.0);
    }

    const TestKeyPair& pair = TestKeyPair::shared2048();
    DiagCapture capture;
};

TEST_F(SealTest, MaskedValueOpensToTxnValueAndRandom) {
    const std::string masked = FinancialMsgTranslatorUtils::retrieveMaskedAccountNo(
        "4111111111111111", "KI-7", wrapKeyText(pair.publicBase64()), "TXN-42");
    const std::string plain = open(masked, "KI-7");
    const std::string prefix = "TXN-42|4111111111111111|";
    ASSERT_EQ(plain.rfind(prefix, 0), 0u);
    expectUnitNumber(plain.substr(prefix.size()));

    // A fresh random number each time.
    EXPECT_NE(masked, FinancialMsgTranslatorUtils::retrieveMaskedAccountNo(
                          "4111111111111111", "KI-7", wrapKeyText(pair.publicBase64()), "TXN-42"));
}

TEST_F(SealTest, EmptyValueGivesAdjacentSeparators) {
    const auto sealed = detail::sealForBank("", "1", wrapKeyText(pair.publicBase64()), "T");
    ASSERT_TRUE(sealed);
    const std::string plain = open(*sealed, "1");
    ASSERT_EQ(plain.rfind("T||", 0), 0u) << plain;
    expectUnitNumber(plain.substr(3));
}

TEST_F(SealTest, UrlSafeUnpaddedKeyTextWorksLikeStandard) {
    const PKIEncryptionDecryptionUtils utils;
    std::string urlSafe = utils.convertToBase64UrlFormat(pair.publicBase64());
    while (!urlSafe.empty() && urlSafe.back() == '=') urlSafe.pop_back();
    const auto sealed = detail::sealForBank("1234", "ki", wrapKeyText(urlSafe), "T1");
    ASSERT_TRUE(sealed);
    EXPECT_EQ(open(*sealed, "ki").rfind("T1|1234|", 0), 0u);
}

TEST_F(SealTest, KeysThatCannotBeUsedGiveNothingAndPrintTheDecodedKey) {
    EXPECT_EQ(FinancialMsgTranslatorUtils::retrieveMaskedAccountNo("1234", "ki", "%%%", "T"), "");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"pubKey", "%%%", "refinedKey", "nil"}));

    // Decodes, but not to UTF-8 text; decodes to text that is no key.
    EXPECT_FALSE(detail::sealForBank("1234", "ki", detail::base64Encode(Bytes{0xFF, 0xFE}), "T"));
    EXPECT_FALSE(detail::sealForBank("1234", "ki", wrapKeyText("bm90IGEga2V5"), "T"));
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[7], "nil");
    EXPECT_EQ(lines[11], "Optional(\"bm90IGEga2V5\")");
}

TEST(RandomNumber, IsInUnitIntervalAndPrintedShortest) {
    const TaviUtils utils;
    for (int i = 0; i < 1000; ++i) {
        const double r = utils.generateRandomNumber();
        ASSERT_GE(r, 0.0);
        ASSERT_LT(r, 1.0);
        const std::string text = detail::shortestDecimal(r);
        double back = -1;
        std::from_chars(text.data(), text.data() + text.size(), back);
        ASSERT_EQ(back, r) << text;
    }
    EXPECT_EQ(detail::shortestDecimal(0.5), "0.5");
    EXPECT_EQ(detail::shortestDecimal(0.1), "0.1");
    EXPECT_EQ(detail::shortestDecimal(0.0), "0");
}

TEST(KiAppendedData, JoinsWithAColon) {
    EXPECT_EQ(FinancialMsgTranslatorUtils::retrieveKiAppendedData("ki", "abc"), "ki:abc");
    EXPECT_EQ(FinancialMsgTranslatorUtils::retrieveKiAppendedData("ki", std::nullopt), "ki:");
}

TEST(DecodePublicKey, NeedsStrictBase64OfUTF8Text) {
    const TaviUtils utils;
    EXPECT_EQ(utils.decodePublicKey("QUJD"), "ABC");
    EXPECT_FALSE(utils.decodePublicKey("QUJ"));
    EXPECT_FALSE(utils.decodePublicKey(detail::base64Encode(Bytes{0xC3})));
}

}  // namespace
}  // namespace tavi
