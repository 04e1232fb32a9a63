// The masked form of a secret value that the bank expects inside a payload.

#include <openssl/err.h>
#include <openssl/rand.h>

#include <array>
#include <charconv>
#include <cstdint>

#include "core/internal.hpp"
#include "core/secret.hpp"
#include "crypto/secret_ops.hpp"
#include "tavi/crypto.hpp"
#include "tavi/device.hpp"
#include "translator/seal.hpp"

namespace tavi {

namespace detail {

std::string shortestDecimal(double number) {
    std::array<char, 64> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
    return std::string(buffer.data(), result.ptr);
}

std::optional<std::string> sealForBank(std::string_view value, const std::string& ki,
                                       const std::string& pubKey, const std::string& txnId) {
    const TaviUtils utils;
    // The secret in clear lives in wiped memory only.
    SecretString plainText(txnId);
    plainText += "|";
    plainText += value;
    plainText += "|";
    plainText += shortestDecimal(utils.generateRandomNumber());
    const auto refinedKey = utils.decodePublicKey(pubKey);
    diag("pubKey");
    diag(pubKey);
    diag("refinedKey");
    diag(refinedKey ? "Optional(\"" + *refinedKey + "\")" : std::string("nil"));
    if (!refinedKey) return std::nullopt;
    const PKIEncryptionDecryptionUtils pki;
    const auto cipher =
        rsaEncryptText(plainText.view(), pki.convertToBase64Format(*refinedKey));
    if (!cipher || cipher->empty()) return std::nullopt;
    return FinancialMsgTranslatorUtils::retrieveKiAppendedData(ki, *cipher);
}

}  // namespace detail

std::string FinancialMsgTranslatorUtils::retrieveMaskedAccountNo(const std::string& accountNo,
                                                                 const std::string& ki,
                                                                 const std::string& pubKey,
                                                                 const std::string& txnId) {
    return detail::sealForBank(accountNo, ki, pubKey, txnId).value_or("");
}

std::string FinancialMsgTranslatorUtils::retrieveKiAppendedData(
    const std::string& ki, const std::optional<std::string>& data) {
    return ki + ":" + data.value_or("");
}

double TaviUtils::generateRandomNumber() const {
    std::array<unsigned char, 8> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        // Without a random source nothing can be sealed: the RSA padding needs it as well, so
        // the sealing that uses this number fails on its own.
        ERR_clear_error();
        return 0.0;
    }
    std::uint64_t bits = 0;
    for (unsigned char b : bytes) bits = (bits << 8) | b;
    return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

std::optional<std::string> TaviUtils::decodePublicKey(const std::string& pubKey) const {
    const auto bytes = detail::base64DecodeStrict(pubKey);
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    if (!detail::isValidUTF8(text)) return std::nullopt;
    return text;
}

}  // namespace tavi
