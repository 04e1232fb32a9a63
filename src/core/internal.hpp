// Small internal services shared by the library's subsystems.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tavi/result.hpp"

namespace tavi::detail {

/// Writes one diagnostic line through the configured sink (standard output by default).
void diag(std::string_view line);
/// Whether diagnostic lines reach anyone: lines that cost something to build are built only then.
bool diagnosticsOn();
/// Writes one message to the system log.
void systemLog(std::string_view message);
/// A card-like number with all but its last four characters replaced by '*'.
std::string maskAllButLastFour(const std::string& value);

/// A new random UUID in its standard upper-case text form (8-4-4-4-12).
std::string newUUID();

/// Standard base64 with padding, no line breaks.
std::string base64Encode(const Bytes& data);
std::string base64Encode(std::string_view data);
/// Strict standard base64: any character outside the alphabet, or a length that is not a multiple
/// of 4, fails. Padding must be correct.
std::optional<Bytes> base64DecodeStrict(std::string_view text);
/// Lenient: characters outside the base64 alphabet are ignored; decodes what remains.
std::optional<Bytes> base64DecodeLenient(std::string_view text);

/// Whether the bytes are valid UTF-8.
bool isValidUTF8(std::string_view text);

/// An Error in the TaviClientError domain.
Error clientError(long code, std::string message);

}  // namespace tavi::detail
