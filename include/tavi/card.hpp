// tavi — local card checks, made before a card number is ever sent.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "tavi/export.hpp"
#include "tavi/result.hpp"

namespace tavi {

/// Card brands recognised from the leading digits of a number.
enum class CardBrand {
    unknown,
    visa,
    mastercard,
    amex,
    discover,
    jcb,
    dinersClub,
    unionPay,
    maestro,
    mir
};

/// The state of a (possibly partial) input.
enum class CardState {
    valid,       ///< complete and well-formed
    incomplete,  ///< could still become valid as the user types on
    invalid      ///< cannot become valid by typing more
};

/// Error domain of the local card checks.
inline constexpr const char* kCardValidationErrorDomain = "CardValidationError";

/// Codes of the CardValidationError domain.
enum class CardError : long {
#define TAVI_X(code, name, brief, meaning, action) name = code,
    TAVI_CARD_ERROR_CODES(TAVI_X)
#undef TAVI_X
};

/// The codes of CardError as the numbers Error::code holds.
namespace CardErrorCode {
#define TAVI_X(code, name, brief, meaning, action) \
    inline constexpr long name = static_cast<long>(CardError::name);
TAVI_CARD_ERROR_CODES(TAVI_X)
#undef TAVI_X
}  // namespace CardErrorCode

/// Local checks on card data: Luhn, brand and its valid lengths, expiry and CVV length.
///
/// Pure functions: no I/O, no diagnostics, safe from any thread. Card numbers may contain spaces
/// and hyphens as separators (as typed); any other non-digit character makes the input invalid.
/// No result or error produced here ever contains the number, the CVV or any part of them.
class TAVI_EXPORT CardValidation {
  public:
    /// The brand the leading digits identify; `unknown` while they are too few to decide (e.g.
    /// "5" may be Mastercard or Maestro) or when no brand matches. Where ranges overlap, the most
    /// specific (longest) prefix wins.
    static CardBrand brand(std::string_view number);

    /// The number's state. Valid: a known brand, one of its lengths and the Luhn check passes
    /// (UnionPay numbers are not required to pass Luhn). Incomplete: empty, too short for its
    /// brand(s), or of a valid length failing Luhn while a longer length remains possible.
    /// Invalid: other characters, no brand possible, too long, or Luhn failing at the longest
    /// length.
    static CardState checkNumber(std::string_view number);

    /// The Luhn (mod 10) check over the digits (separators ignored); false for an empty input or
    /// any other character.
    static bool luhn(std::string_view number);

    /// Expiry month ("1".."12", one or two digits) and year (two digits meaning 20YY, or four
    /// digits); valid through the end of that month. Incomplete while a field is empty or partly
    /// typed ("0", a year of one or three digits). Invalid when malformed, in the past, or more
    /// than 50 years ahead. Compares against the current UTC month.
    static CardState checkExpiry(std::string_view month, std::string_view year);
    /// The same against a given current year (four digits) and month (1..12).
    static CardState checkExpiry(std::string_view month, std::string_view year, int currentYear,
                                 int currentMonth);

    /// CVV: 4 digits for American Express, 3 for every other known brand, 3 or 4 when the brand
    /// is unknown. Incomplete when shorter, invalid when longer or not digits.
    static CardState checkCvv(std::string_view cvv, CardBrand brand);

    /// The valid lengths of a brand's numbers (empty for `unknown`).
    static std::span<const int> lengths(CardBrand brand);

    /// "Visa", "Mastercard", "American Express", ... ("Unknown").
    static std::string_view name(CardBrand brand);

    /// Everything a card registration needs: none when the number, expiry and CVV are valid,
    /// else an error in the CardValidationError domain whose message names the field and the
    /// reason, never the value. `month`, `year` and `cvv` are skipped when absent.
    static std::optional<Error> verify(std::string_view number,
                                       std::optional<std::string_view> month = std::nullopt,
                                       std::optional<std::string_view> year = std::nullopt,
                                       std::optional<std::string_view> cvv = std::nullopt);
};

}  // namespace tavi
