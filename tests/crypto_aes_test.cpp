// AES-CTR payload protection: sizes, determinism, errors, and agreement with the openssl tool.

#include <gtest/gtest.h>

#include <set>

#include "crypto_support.hpp"
#include "tavi/crypto.hpp"

namespace tavi {
namespace {

using test::hex;
using test::run;
using test::ScratchDir;

class AesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto generated = utils.generateAES256Base64Key();
        ASSERT_TRUE(generated);
        keyText = *generated;
        keyBytes = *detail::base64DecodeStrict(keyText);
    }

    PKIEncryptionDecryptionUtils utils;
    std::string keyText;
    Bytes keyBytes;
};

TEST_F(AesTest, GeneratedKeysAre32FreshBytes) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        const auto key = utils.generateAES256Base64Key();
        ASSERT_TRUE(key);
        EXPECT_EQ(key->size(), 44u);
        EXPECT_EQ(key->back(), '=');
        EXPECT_EQ(detail::base64DecodeStrict(*key)->size(), 32u);
        seen.insert(*key);
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST_F(AesTest, PaddingAlwaysAddsOneToSixteenBytes) {
    for (auto [length, expected] :
         {std::pair{0u, 16u}, {1u, 16u}, {15u, 16u}, {16u, 32u}, {17u, 32u}, {32u, 48u}}) {
        const auto cipher = utils.encryptAES256CTR(std::string(length, 'x'), keyText);
        ASSERT_TRUE(cipher) << cipher.error().description();
        EXPECT_EQ(cipher.value().size(), expected) << length;
    }
}

TEST_F(AesTest, FixedIVGivesSameBytesAndRoundTrips) {
    const std::string text = "{\"pin\":\"caf\xC3\xA9 \xE2\x82\xAC\",\"n\":[1,2,3]}";
    const auto first = utils.encryptAES256CTR(text, keyText);
    const auto second = utils.encryptAES256CTR(text, keyText);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first.value(), second.value());

    const auto plain = utils.decryptAES256CTR(first.value(), keyBytes);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain.value(), text);
}

TEST_F(AesTest, EncryptionErrorsCarryTheirCodes) {
    const auto badKey = utils.encryptAES256CTR("x", "abc");
    ASSERT_FALSE(badKey);
    EXPECT_EQ(badKey.error().domain, "EncryptionError");
    EXPECT_EQ(badKey.error().code, -1);
    EXPECT_EQ(badKey.error().message, "Invalid AES key Base64 encoding");

    const auto badText = utils.encryptAES256CTR("\xFF\xFE", keyText);
    ASSERT_FALSE(badText);
    EXPECT_EQ(badText.error().code, -2);
    EXPECT_EQ(badText.error().message, "Failed to convert plaintext to Data");

    // Valid base64, but five bytes are no AES key.
    const auto shortKey = utils.encryptAES256CTR("x", detail::base64Encode(Bytes(5, 7)));
    ASSERT_FALSE(shortKey);
    EXPECT_EQ(shortKey.error().domain, "EncryptionError");
    EXPECT_EQ(shortKey.error().code, -3);
    EXPECT_EQ(shortKey.error().message.rfind("AES encryption failed: ", 0), 0u);
}

TEST_F(AesTest, DecryptionRejectsBadKeysAndPaddingAndReportsNonText) {
    EXPECT_FALSE(utils.decryptAES256CTR(Bytes(16, 0), Bytes(5, 1)));

    auto cipher = utils.encryptAES256CTR("", keyText).value();
    cipher.back() ^= 0x10;  // the last padding byte now reads 0
    EXPECT_FALSE(utils.decryptAES256CTR(cipher, keyBytes));
    cipher.back() ^= 0x30;  // reads 0x20: more than a block
    EXPECT_FALSE(utils.decryptAES256CTR(cipher, keyBytes));
    EXPECT_FALSE(utils.decryptAES256CTR(Bytes{}, keyBytes));

    // A ciphertext of the bytes FF FE (padded) decrypts, but to no text.
    const auto stream = utils.encryptAES256CTR(std::string(15, '\0'), keyText).value();
    Bytes forged(stream.begin(), stream.begin() + 16);
    const Bytes wanted = {0xFF, 0xFE, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14, 14};
    for (std::size_t i = 0; i < 15; ++i)
        forged[i] = static_cast<std::uint8_t>(forged[i] ^ wanted[i]);
    forged[15] = static_cast<std::uint8_t>(forged[15] ^ 0x01 ^ 14);
    const auto result = utils.decryptAES256CTR(forged, keyBytes);
    ASSERT_TRUE(result) << result.error().description();
    EXPECT_FALSE(result.value());
}

TEST_F(AesTest, AgreesWithTheOpensslTool) {
    ScratchDir dir;
    const std::string text =
        "{\"otp\":\"123456\",\"txnId\":\"T-1\",\"pad\":\"" + std::string(40, 'z') + "\"}";
    const std::string common =
        " -aes-256-ctr -K " + hex(keyBytes) + " -iv 00000000000000000000000000000000 -nopad";

    // Ours decrypted by the tool.
    const auto cipher = utils.encryptAES256CTR(text, keyText);
    ASSERT_TRUE(cipher);
    dir.write("ours.bin", cipher.value());
    ASSERT_TRUE(run("openssl enc -d" + common + " -in " + dir.file("ours.bin") + " -out " +
                    dir.file("ours.txt")));
    Bytes plain = dir.read("ours.txt");
    ASSERT_EQ(plain.size(), cipher.value().size());
    const std::size_t pad = plain.back();
    ASSERT_TRUE(pad >= 1 && pad <= 16);
    for (std::size_t i = 0; i < pad; ++i) EXPECT_EQ(plain[plain.size() - 1 - i], pad);
    // Cut with erase: GCC 12 at -O1 misreads resize() here as an overflowing fill.
    plain.erase(plain.end() - static_cast<std::ptrdiff_t>(pad), plain.end());
    EXPECT_EQ(std::string(plain.begin(), plain.end()), text);

    // The tool's output (padded here by hand) decrypted by us.
    Bytes padded(text.begin(), text.end());
    const std::size_t n = 16 - padded.size() % 16;
    padded.insert(padded.end(), n, static_cast<std::uint8_t>(n));
    dir.write("theirs.txt", padded);
    ASSERT_TRUE(run("openssl enc -e" + common + " -in " + dir.file("theirs.txt") + " -out " +
                    dir.file("theirs.bin")));
    const Bytes theirs = dir.read("theirs.bin");
    EXPECT_EQ(theirs, cipher.value());
    const auto back = utils.decryptAES256CTR(theirs, keyBytes);
    ASSERT_TRUE(back);
    EXPECT_EQ(back.value(), text);
}

}  // namespace
}  // namespace tavi
