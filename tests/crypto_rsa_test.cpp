// RSA wrapping for the server, unwrapping of the server's key, key items under tags, header
// checks and blockwise RSA.

#include <gtest/gtest.h>

#include <algorithm>

#include "crypto_support.hpp"
#include "tavi/crypto.hpp"
#include "tavi/store.hpp"

namespace tavi {
namespace {

using test::DiagCapture;
using test::run;
using test::ScratchDir;
using test::TestKeyPair;

class RsaTest : public ::testing::Test {
  protected:
    void SetUp() override { KeychainManager::setStore(makeMemorySecureStore()); }

    DiagCapture quiet;  // keeps the library's lines off the test output

    const TestKeyPair& pair = TestKeyPair::shared2048();
    PKIEncryptionDecryptionUtils utils;
};

// ---- Wrapping a key for the server ----

TEST_F(RsaTest, WrappedKeyOpensWithTheOpensslTool) {
    ScratchDir dir;
    dir.write("priv.pem", pair.privatePEM());
    const auto aesKey = utils.generateAES256Base64Key().value();
    const Bytes keyBytes = *detail::base64DecodeStrict(aesKey);

    for (const std::string& keyText :
         {pair.publicBase64(), pair.publicPEM(), pair.rsaPublicPEM()}) {
        const std::string wrapped = utils.encryptBase64(aesKey, keyText);
        const auto cipher = detail::base64DecodeStrict(wrapped);
        ASSERT_TRUE(cipher) << keyText;
        ASSERT_EQ(cipher->size(), 256u);
        dir.write("key.bin", *cipher);
        ASSERT_TRUE(run("openssl pkeyutl -decrypt -inkey " + dir.file("priv.pem") + " -in " +
                        dir.file("key.bin") + " -out " + dir.file("key.out")));
        EXPECT_EQ(dir.read("key.out"), keyBytes);
    }

    const std::string text = "{\"mobile\":\"+15550100\",\"note\":\"\xE2\x82\xAC\"}";
    const auto cipher = detail::base64DecodeStrict(utils.encryptUTF8(text, pair.publicBase64()));
    ASSERT_TRUE(cipher);
    dir.write("text.bin", *cipher);
    ASSERT_TRUE(run("openssl pkeyutl -decrypt -inkey " + dir.file("priv.pem") + " -in " +
                    dir.file("text.bin") + " -out " + dir.file("text.out")));
    EXPECT_EQ(dir.read("text.out"), Bytes(text.begin(), text.end()));
}

TEST_F(RsaTest, WrappingFailuresGiveEmptyText) {
    const auto aesKey = utils.generateAES256Base64Key().value();
    EXPECT_EQ(utils.encryptBase64(aesKey, "not a key"), "");
    EXPECT_EQ(utils.encryptBase64(aesKey, pair.publicBase64().substr(0, 100)), "");
    EXPECT_EQ(utils.encryptBase64("!!!", pair.publicBase64()), "");  // decodes to nothing
    EXPECT_EQ(utils.encryptUTF8("x", ""), "");
    EXPECT_EQ(utils.encryptUTF8("\xFF", pair.publicBase64()), "");
    // The lenient decoding skips the line breaks a key text may carry.
    const std::string broken = aesKey.substr(0, 20) + "\n" + aesKey.substr(20);
    const auto cipher =
        detail::base64DecodeStrict(utils.encryptBase64(broken, pair.publicBase64()));
    ASSERT_TRUE(cipher);
    EXPECT_EQ(pair.privateDecrypt(*cipher), detail::base64DecodeStrict(aesKey));
}

// ---- Unwrapping the server's key ----

// A key with a leading zero byte and zero bytes inside, as the server may draw one.
Bytes keyWithZeros() {
    Bytes key(32);
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i * 29 + 3);
    key[0] = 0x00;
    key[13] = 0x00;
    key[14] = 0x00;
    key[31] = 0x00;
    return key;
}

TEST_F(RsaTest, ServerKeyWithZeroBytesComesBackWhole) {
    ScratchDir dir;
    dir.write("priv.pem", pair.privatePEM());
    const Bytes key = keyWithZeros();
    dir.write("key.bin", key);
    ASSERT_TRUE(run("openssl pkeyutl -sign -inkey " + dir.file("priv.pem") +
                    " -pkeyopt rsa_padding_mode:pkcs1 -in " + dir.file("key.bin") + " -out " +
                    dir.file("key.sig")));
    const std::string text = detail::base64Encode(dir.read("key.sig"));
    const std::string keyText = pair.publicBase64();

    DiagCapture capture;
    const auto first = utils.decryptWithPublicKey(text, keyText);
    ASSERT_TRUE(first);
    EXPECT_EQ(detail::base64DecodeStrict(*first), key);
    // A second call finds the imported item.
    EXPECT_TRUE(RSAUtils::getRSAKeyFromKeychain(RSAUtils::tagFor("", keyText)));
    EXPECT_EQ(utils.decryptWithPublicKey(text, keyText), first);

    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], text);
    EXPECT_EQ(lines[1], keyText);
    EXPECT_EQ(lines[2], "<32-byte key>");
    for (const auto& line : lines) EXPECT_EQ(line.find(*first), std::string::npos);
}

TEST_F(RsaTest, ServerKeyInSeveralBlocksAndEitherBlockType) {
    // Block 1: type 1 over the first key; block 2: a type-2 block made with the raw operation.
    ScratchDir dir;
    dir.write("priv.pem", pair.privatePEM());
    const Bytes first = keyWithZeros();
    Bytes second = keyWithZeros();
    std::reverse(second.begin(), second.end());
    dir.write("first.bin", first);
    Bytes typeTwo(256 - second.size() - 1, 0x5C);  // 00 02, filler, 00, message
    typeTwo[0] = 0x00;
    typeTwo[1] = 0x02;
    typeTwo.push_back(0x00);
    typeTwo.insert(typeTwo.end(), second.begin(), second.end());
    dir.write("second.bin", typeTwo);
    const std::string sign = "openssl pkeyutl -sign -inkey " + dir.file("priv.pem");
    ASSERT_TRUE(run(sign + " -pkeyopt rsa_padding_mode:pkcs1 -in " + dir.file("first.bin") +
                    " -out " + dir.file("first.sig")));
    // The raw private-key operation (a "decryption" without padding) applies the private key.
    ASSERT_TRUE(run("openssl pkeyutl -decrypt -inkey " + dir.file("priv.pem") +
                    " -pkeyopt rsa_padding_mode:none -in " + dir.file("second.bin") + " -out " +
                    dir.file("second.sig")));
    Bytes blocks = dir.read("first.sig");
    const Bytes more = dir.read("second.sig");
    blocks.insert(blocks.end(), more.begin(), more.end());

    const auto result =
        utils.decryptWithPublicKey(detail::base64Encode(blocks), pair.publicBase64());
    ASSERT_TRUE(result);
    Bytes expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(detail::base64DecodeStrict(*result), expected);
}

TEST_F(RsaTest, UnwrappingFailuresPrintValueIsNull) {
    const std::string keyText = pair.publicBase64();
    {
        DiagCapture capture;
        EXPECT_FALSE(utils.decryptWithPublicKey("not*base64", keyText));
        EXPECT_EQ(capture.lines(),
                  (std::vector<std::string>{"not*base64", keyText, "value is null"}));
    }
    // A block that holds no PKCS#1 padding, a partial block, a key that cannot be imported, and
    // nothing at all.
    Bytes random(256);
    for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<std::uint8_t>(i * 7);
    random[0] = 0;
    EXPECT_FALSE(utils.decryptWithPublicKey(detail::base64Encode(random), keyText));
    EXPECT_FALSE(utils.decryptWithPublicKey(detail::base64Encode(Bytes(100, 1)), keyText));
    EXPECT_FALSE(utils.decryptWithPublicKey(detail::base64Encode(random), "AAAA"));
    EXPECT_FALSE(utils.decryptWithPublicKey("", keyText));
}

TEST_F(RsaTest, PublicUtilityKeepsRawDecryptionWithPaddingRemoval) {
    // A private-key block over a message without zero bytes comes back exactly; a message with a
    // zero byte is cut there, which is why the server's key is unwrapped block by block above.
    const std::string privText = detail::base64Encode(pair.pkcs8());
    const std::string pubText = pair.publicBase64();
    const Bytes message = {0x41, 0x42, 0x43, 0xFF};
    const auto block = RSAUtils::encryptWithRSAPrivateKey(message, privText, "srv");
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 256u);
    EXPECT_EQ(RSAUtils::decryptWithRSAPublicKey(*block, pubText, "srv"), message);

    const auto zeroBlock = RSAUtils::encryptWithRSAPrivateKey(keyWithZeros(), privText, "srv");
    ASSERT_TRUE(zeroBlock);
    EXPECT_EQ(RSAUtils::decryptWithRSAPublicKey(*zeroBlock, pubText, "srv"), Bytes{});

    // Public-key blocks open with the private key the same way.
    const auto sealed = RSAUtils::encryptWithRSAPublicKey(message, pubText, "bank");
    ASSERT_TRUE(sealed);
    EXPECT_EQ(pair.privateDecrypt(*sealed), message);
    EXPECT_EQ(RSAUtils::decryptWithRSAPrivateKey(*sealed, privText, "bank"), message);
}

// ---- Blockwise RSA ----

TEST_F(RsaTest, EncryptionMakesOneBlockPerChunk) {
    const auto key = RSAUtils::addRSAPublicKey(pair.publicBase64(), "blocks");
    ASSERT_TRUE(key);
    const int b = key->blockSize();
    ASSERT_EQ(b, 256);
    const auto size = [&](int n) {
        const auto out = RSAUtils::encryptWithRSAKey(Bytes(static_cast<std::size_t>(n), 0x5A), *key,
                                                     RSAUtils::kPaddingPKCS1);
        return out ? static_cast<int>(out->size()) : -1;
    };
    EXPECT_EQ(size(0), 0);
    EXPECT_EQ(size(b - 11), b);
    EXPECT_EQ(size(b - 10), 2 * b);

    // Two blocks decrypt, through the private key, back to the whole input.
    const auto priv = RSAUtils::addRSAPrivateKey(detail::base64Encode(pair.pkcs8()), "blocks-p");
    ASSERT_TRUE(priv);
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 250 + 1);
    const auto cipher = RSAUtils::encryptWithRSAKey(data, *key, RSAUtils::kPaddingPKCS1);
    ASSERT_TRUE(cipher);
    EXPECT_EQ(RSAUtils::decryptWithRSAKey(*cipher, *priv, RSAUtils::kPaddingPKCS1), data);
    EXPECT_EQ(RSAUtils::decryptWithRSAKey(*cipher, *priv, RSAUtils::kPaddingNone), data);

    // Raw encryption of caller data is refused.
    EXPECT_FALSE(RSAUtils::encryptWithRSAKey(Bytes{1}, *key, RSAUtils::kPaddingNone));
}

TEST(RemovePadding, TakesTheBytesBetweenTheFirstTwoZeros) {
    EXPECT_EQ(RSAUtils::removePadding({0x01, 0xFF, 0xFF, 0x00, 0x41, 0x42, 0x00, 0x00}),
              (Bytes{0x41, 0x42}));
    EXPECT_EQ(RSAUtils::removePadding({0x00, 0x01, 0xFF, 0x00, 0x41}), (Bytes{0x01, 0xFF}));
    EXPECT_EQ(RSAUtils::removePadding({0x41, 0x42}), (Bytes{0x41, 0x42}));
    EXPECT_EQ(RSAUtils::removePadding({0x41, 0x00, 0x42}), (Bytes{0x42}));
    EXPECT_EQ(RSAUtils::removePadding({}), Bytes{});
}

// ---- Key items and header checks ----

TEST_F(RsaTest, PublicHeaderCheckHandlesEveryLengthForm) {
    // 512-bit: one-byte lengths; 1024-bit: 0x30 0x81 ...; 2048-bit: 0x30 0x82 ... .
    const TestKeyPair small(512);
    const TestKeyPair medium(1024);
    for (const TestKeyPair* kp : {&small, &medium, &pair}) {
        const Bytes spki = kp->spki();
        EXPECT_EQ(RSAUtils::stripPublicKeyHeader(spki), kp->pkcs1Public()) << kp->bits;
    }
    EXPECT_LT(small.spki()[1], 0x80);
    EXPECT_EQ(medium.spki()[1], 0x81);
    EXPECT_EQ(pair.spki()[1], 0x82);

    Bytes changed = pair.spki();
    changed[4 + 8] ^= 0x01;  // a byte of the rsaEncryption OID
    EXPECT_FALSE(RSAUtils::stripPublicKeyHeader(changed));
    EXPECT_FALSE(RSAUtils::addRSAPublicKeyData(changed, "changed"));
    EXPECT_FALSE(RSAUtils::stripPublicKeyHeader(pair.pkcs1Public()));
    EXPECT_FALSE(RSAUtils::addRSAPublicKey(detail::base64Encode(pair.pkcs1Public()), "bare"));
    EXPECT_FALSE(RSAUtils::getRSAKeyFromKeychain("bare"));
    EXPECT_FALSE(RSAUtils::addRSAPublicKey("not base64", "bare"));
}

TEST_F(RsaTest, TruncatedKeysAreRejectedWithoutReadingPastTheEnd) {
    const Bytes spki = pair.spki();
    for (std::size_t n = 0; n < spki.size(); ++n) {
        const Bytes cut(spki.begin(), spki.begin() + static_cast<std::ptrdiff_t>(n));
        const auto stripped = RSAUtils::stripPublicKeyHeader(cut);
        if (stripped) {
            EXPECT_LT(stripped->size(), pair.pkcs1Public().size());
        }
        EXPECT_FALSE(RSAUtils::addRSAPublicKeyData(cut, "cut")) << n;
    }
    const Bytes pkcs8 = pair.pkcs8();
    EXPECT_EQ(RSAUtils::stripPrivateKeyHeader(pkcs8), pair.pkcs1Private());
    for (std::size_t n = 0; n < pkcs8.size(); ++n) {
        const Bytes cut(pkcs8.begin(), pkcs8.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_FALSE(RSAUtils::stripPrivateKeyHeader(cut)) << n;
        EXPECT_FALSE(RSAUtils::addRSAPrivateKeyData(cut, "cut")) << n;
    }
    // Length bytes that claim more than there is.
    EXPECT_FALSE(RSAUtils::stripPublicKeyHeader({0x30, 0xFF}));
    Bytes header(24, 0);
    header[22] = 0x04;
    header[23] = 0x84;
    EXPECT_FALSE(RSAUtils::stripPrivateKeyHeader(header));
    header.insert(header.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0x01});
    EXPECT_FALSE(RSAUtils::stripPrivateKeyHeader(header));
}

TEST_F(RsaTest, ImportingTwiceUnderOneTagKeepsOneItem) {
    const std::string keyText = pair.publicBase64();
    EXPECT_TRUE(RSAUtils::addRSAPublicKey(keyText, "twice"));
    EXPECT_TRUE(RSAUtils::addRSAPublicKey(keyText, "twice"));
    RSAUtils::deleteRSAKeyFromKeychain("twice");
    EXPECT_FALSE(RSAUtils::getRSAKeyFromKeychain("twice"));

    // A replaced item is served as the new key, never the cached old one.
    const TestKeyPair medium(1024);
    ASSERT_TRUE(RSAUtils::addRSAPublicKey(keyText, "replaced"));
    ASSERT_TRUE(RSAUtils::addRSAPublicKey(medium.publicBase64(), "replaced"));
    const auto found = RSAUtils::getRSAKeyFromKeychain("replaced");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->blockSize(), 128);
    EXPECT_FALSE(found->isPrivate());
}

TEST(RsaTag, IsThePrefixDashAndASignedHash) {
    const std::string a = RSAUtils::tagFor("", "key-a");
    EXPECT_EQ(a, RSAUtils::tagFor("", "key-a"));
    EXPECT_NE(a, RSAUtils::tagFor("", "key-b"));
    ASSERT_GE(a.size(), 2u);
    EXPECT_EQ(a[0], '-');
    EXPECT_NO_THROW((void)std::stoll(a.substr(1)));
    EXPECT_EQ(RSAUtils::tagFor("bank", "key-a"), "bank" + a);
}

}  // namespace
}  // namespace tavi
