#include "tavi/card.hpp"

#include <array>
#include <chrono>
#include <string>
#include <vector>

namespace tavi {
namespace {

/// One range of leading digits: numbers whose first `digits` digits lie in [low, high].
struct PrefixRange {
    CardBrand brand;
    int digits;
    long low;
    long high;
};

constexpr std::array<PrefixRange, 22> kRanges{{
    {CardBrand::visa, 1, 4, 4},
    {CardBrand::mastercard, 2, 51, 55},
    {CardBrand::mastercard, 4, 2221, 2720},
    {CardBrand::amex, 2, 34, 34},
    {CardBrand::amex, 2, 37, 37},
    {CardBrand::discover, 4, 6011, 6011},
    {CardBrand::discover, 3, 644, 649},
    {CardBrand::discover, 2, 65, 65},
    {CardBrand::discover, 6, 622126, 622925},
    {CardBrand::jcb, 4, 3528, 3589},
    {CardBrand::dinersClub, 3, 300, 305},
    {CardBrand::dinersClub, 4, 3095, 3095},
    {CardBrand::dinersClub, 2, 36, 36},
    {CardBrand::dinersClub, 2, 38, 39},
    {CardBrand::unionPay, 2, 62, 62},
    {CardBrand::unionPay, 2, 81, 81},
    {CardBrand::maestro, 2, 50, 50},
    {CardBrand::maestro, 2, 56, 58},
    {CardBrand::maestro, 4, 6304, 6304},
    {CardBrand::maestro, 4, 6390, 6390},
    {CardBrand::maestro, 2, 67, 67},
    {CardBrand::mir, 4, 2200, 2204},
}};

constexpr std::array<int, 3> kVisa{13, 16, 19};
constexpr std::array<int, 1> kSixteen{16};
constexpr std::array<int, 1> kFifteen{15};
constexpr std::array<int, 4> kSixteenToNineteen{16, 17, 18, 19};
constexpr std::array<int, 6> kDiners{14, 15, 16, 17, 18, 19};
constexpr std::array<int, 8> kMaestro{12, 13, 14, 15, 16, 17, 18, 19};

/// The digits of a number typed with optional space/hyphen separators; none for anything else.
std::optional<std::string> digitsOf(std::string_view number) {
    std::string out;
    out.reserve(number.size());
    for (char c : number) {
        if (c >= '0' && c <= '9') {
            out.push_back(c);
        } else if (c != ' ' && c != '-') {
            return std::nullopt;
        }
    }
    return out;
}

bool allDigits(std::string_view text) {
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

/// Whether `digits` (possibly fewer than the range's) can be, or is, within the range; and how
/// many prefix digits decided it (0 while undecided).
bool compatible(const PrefixRange& r, std::string_view digits, bool& decided) {
    const int n = static_cast<int>(digits.size());
    long lo = 0, hi = 0;
    for (int i = 0; i < r.digits; ++i) {
        const long d = i < n ? digits[i] - '0' : -1;
        lo = lo * 10 + (d < 0 ? 0 : d);
        hi = hi * 10 + (d < 0 ? 9 : d);
    }
    decided = n >= r.digits;
    return lo <= r.high && hi >= r.low;
}

/// The brands the digits can still belong to, and the one they already decide (if any).
struct Candidates {
    std::vector<CardBrand> possible;
    CardBrand decided = CardBrand::unknown;
};

Candidates candidatesOf(std::string_view digits) {
    Candidates c;
    int decidedDigits = 0;
    for (const auto& r : kRanges) {
        bool decided = false;
        if (!compatible(r, digits, decided)) continue;
        if (decided && r.digits > decidedDigits) {
            decidedDigits = r.digits;
            c.decided = r.brand;
        }
        bool seen = false;
        for (auto b : c.possible) seen = seen || b == r.brand;
        if (!seen) c.possible.push_back(r.brand);
    }
    // A decided brand is final unless a longer, still undecided prefix of another brand could
    // take over (e.g. "622" is UnionPay unless it goes on into the Discover range 622126-622925).
    if (c.decided != CardBrand::unknown) {
        for (const auto& r : kRanges) {
            bool decided = false;
            if (r.brand != c.decided && r.digits > decidedDigits &&
                compatible(r, digits, decided) && !decided) {
                c.decided = CardBrand::unknown;
                break;
            }
        }
    }
    return c;
}

bool luhnDigits(std::string_view digits) {
    if (digits.empty()) return false;
    int sum = 0;
    bool twice = false;
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        int d = *it - '0';
        if (twice) d = d * 2 > 9 ? d * 2 - 9 : d * 2;
        sum += d;
        twice = !twice;
    }
    return sum % 10 == 0;
}

CardState stateFor(CardBrand brand, std::string_view digits) {
    const auto lens = CardValidation::lengths(brand);
    const int n = static_cast<int>(digits.size());
    const int longest = lens.back();
    if (n > longest) return CardState::invalid;
    bool lengthOk = false;
    for (int l : lens) lengthOk = lengthOk || l == n;
    if (lengthOk && (brand == CardBrand::unionPay || luhnDigits(digits))) return CardState::valid;
    return n < longest ? CardState::incomplete : CardState::invalid;
}

Error cardError(long code, std::string message) {
    return Error::inDomain(kCardValidationErrorDomain, code, std::move(message));
}

std::string_view stateWord(CardState s) {
    return s == CardState::incomplete ? "incomplete" : "invalid";
}

}  // namespace

CardBrand CardValidation::brand(std::string_view number) {
    const auto digits = digitsOf(number);
    if (!digits) return CardBrand::unknown;
    return candidatesOf(*digits).decided;
}

bool CardValidation::luhn(std::string_view number) {
    const auto digits = digitsOf(number);
    return digits && luhnDigits(*digits);
}

CardState CardValidation::checkNumber(std::string_view number) {
    const auto digits = digitsOf(number);
    if (!digits) return CardState::invalid;
    if (digits->empty()) return CardState::incomplete;
    const auto c = candidatesOf(*digits);
    if (c.possible.empty()) return CardState::invalid;
    if (c.decided != CardBrand::unknown) return stateFor(c.decided, *digits);
    // Undecided: the best any candidate could still make of it.
    CardState best = CardState::invalid;
    for (auto b : c.possible) {
        const auto s = stateFor(b, *digits);
        if (s == CardState::incomplete) best = CardState::incomplete;
    }
    return best;
}

CardState CardValidation::checkExpiry(std::string_view month, std::string_view year) {
    const auto now = std::chrono::system_clock::now();
    const std::chrono::year_month_day ymd{std::chrono::floor<std::chrono::days>(now)};
    return checkExpiry(month, year, static_cast<int>(ymd.year()),
                       static_cast<int>(static_cast<unsigned>(ymd.month())));
}

CardState CardValidation::checkExpiry(std::string_view month, std::string_view year,
                                      int currentYear, int currentMonth) {
    if (!allDigits(month) || !allDigits(year) || month.size() > 2 || year.size() > 4)
        return CardState::invalid;
    if (month.empty() || year.empty() || month == "0" || year.size() == 1 || year.size() == 3)
        return CardState::incomplete;
    const int m = std::stoi(std::string(month));
    int y = std::stoi(std::string(year));
    if (year.size() == 2) y += 2000;
    if (m < 1 || m > 12) return CardState::invalid;
    if (y < currentYear || (y == currentYear && m < currentMonth)) return CardState::invalid;
    if (y > currentYear + 50) return CardState::invalid;
    return CardState::valid;
}

CardState CardValidation::checkCvv(std::string_view cvv, CardBrand brand) {
    if (!allDigits(cvv)) return CardState::invalid;
    const std::size_t shortest = brand == CardBrand::amex ? 4 : 3;
    const std::size_t longest = (brand == CardBrand::amex || brand == CardBrand::unknown) ? 4 : 3;
    if (cvv.size() < shortest) return CardState::incomplete;
    return cvv.size() <= longest ? CardState::valid : CardState::invalid;
}

std::span<const int> CardValidation::lengths(CardBrand brand) {
    switch (brand) {
        case CardBrand::visa:
            return kVisa;
        case CardBrand::mastercard:
            return kSixteen;
        case CardBrand::amex:
            return kFifteen;
        case CardBrand::discover:
        case CardBrand::jcb:
        case CardBrand::unionPay:
        case CardBrand::mir:
            return kSixteenToNineteen;
        case CardBrand::dinersClub:
            return kDiners;
        case CardBrand::maestro:
            return kMaestro;
        case CardBrand::unknown:
            break;
    }
    return {};
}

std::string_view CardValidation::name(CardBrand brand) {
    switch (brand) {
        case CardBrand::visa:
            return "Visa";
        case CardBrand::mastercard:
            return "Mastercard";
        case CardBrand::amex:
            return "American Express";
        case CardBrand::discover:
            return "Discover";
        case CardBrand::jcb:
            return "JCB";
        case CardBrand::dinersClub:
            return "Diners Club";
        case CardBrand::unionPay:
            return "UnionPay";
        case CardBrand::maestro:
            return "Maestro";
        case CardBrand::mir:
            return "Mir";
        case CardBrand::unknown:
            break;
    }
    return "Unknown";
}

std::optional<Error> CardValidation::verify(std::string_view number,
                                            std::optional<std::string_view> month,
                                            std::optional<std::string_view> year,
                                            std::optional<std::string_view> cvv) {
    const auto digits = digitsOf(number);
    if (!digits)
        return cardError(CardErrorCode::numberInvalid,
                         "card number is invalid: only digits, spaces and hyphens are allowed");
    const auto state = checkNumber(number);
    const auto cardBrand = brand(number);
    const std::string brandText =
        cardBrand == CardBrand::unknown ? "any card brand" : std::string(name(cardBrand));
    if (state == CardState::incomplete && !digits->empty() && cardBrand != CardBrand::unknown &&
        !luhnDigits(*digits)) {
        bool lengthOk = false;
        for (int l : lengths(cardBrand))
            lengthOk = lengthOk || l == static_cast<int>(digits->size());
        if (lengthOk)
            return cardError(CardErrorCode::numberInvalid,
                             "card number is invalid: the check digit (Luhn) does not match");
    }
    if (state == CardState::incomplete)
        return cardError(CardErrorCode::numberIncomplete,
                         "card number is incomplete: too few digits for " + brandText);
    if (state == CardState::invalid) {
        if (candidatesOf(*digits).possible.empty())
            return cardError(CardErrorCode::numberInvalid,
                             "card number is invalid: no known card brand starts with its digits");
        if (static_cast<int>(digits->size()) > lengths(cardBrand).back())
            return cardError(CardErrorCode::numberInvalid,
                             "card number is invalid: too many digits for " + brandText);
        return cardError(CardErrorCode::numberInvalid,
                         "card number is invalid: the check digit (Luhn) does not match");
    }
    if (month && year) {
        const auto s = checkExpiry(*month, *year);
        if (s != CardState::valid)
            return cardError(CardErrorCode::expiryInvalid,
                             "card expiry is " + std::string(stateWord(s)) +
                                 ": expected month 1-12 and a year of 2 or 4 digits, not in the "
                                 "past");
    }
    if (cvv) {
        const auto s = checkCvv(*cvv, cardBrand);
        if (s != CardState::valid)
            return cardError(CardErrorCode::cvvInvalid,
                             "card CVV is " + std::string(stateWord(s)) + ": " + brandText +
                                 " takes " +
                                 (cardBrand == CardBrand::amex ? "4 digits" : "3 digits"));
    }
    return std::nullopt;
}

}  // namespace tavi
