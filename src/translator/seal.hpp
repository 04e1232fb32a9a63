// Sealing of one secret value for the bank, for the operations that put it into a payload.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavi::detail {

/// `ki` + ":" + base64 of RSA PKCS#1 v1.5 of "txnId|value|random" under the bank key `pubKey`
/// (standard base64 of the UTF-8 key text, itself standard or URL-safe base64). Writes "pubKey",
/// the pubKey, "refinedKey" and the decoded key text (or nil). None when `pubKey` does not
/// decode, the key does not parse or the encryption fails.
std::optional<std::string> sealForBank(std::string_view value, const std::string& ki,
                                       const std::string& pubKey, const std::string& txnId);

/// The shortest decimal text that reads back to exactly `number` (for example "0.5").
std::string shortestDecimal(double number);

}  // namespace tavi::detail
