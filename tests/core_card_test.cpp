// Local card checks: brand ranges and lengths, the Luhn check, partial input, expiry and CVV.

#include <gtest/gtest.h>

#include <string>

#include "tavi/card.hpp"

namespace tavi {
namespace {

using S = CardState;
using B = CardBrand;

struct NumberCase {
    const char* number;
    B brand;
    S state;
};

// Well-known published test numbers, their mistyped forms, and partial inputs.
constexpr NumberCase kNumbers[] = {
    // complete and valid, one per brand/range and length
    {"4111111111111111", B::visa, S::valid},
    {"4222222222222", B::visa, S::valid},           // 13 digits
    {"4111111111111111110", B::visa, S::valid},     // 19 digits
    {"5555555555554444", B::mastercard, S::valid},  // 51-55
    {"2221000000000009", B::mastercard, S::valid},  // 2-series, low end
    {"2720990000000007", B::mastercard, S::valid},  // 2-series, high end
    {"378282246310005", B::amex, S::valid},
    {"341111111111111", B::amex, S::valid},
    {"6011111111111117", B::discover, S::valid},
    {"6445644564456445", B::discover, S::valid},
    {"6221260000000000", B::discover, S::valid},  // inside UnionPay's 62, Discover wins
    {"3530111333300000", B::jcb, S::valid},
    {"30569309025904", B::dinersClub, S::valid},  // 14 digits
    {"36227206271667", B::dinersClub, S::valid},
    {"6200000000000005", B::unionPay, S::valid},
    {"6200000000000001", B::unionPay, S::valid},     // UnionPay: no Luhn requirement
    {"6212345678901234567", B::unionPay, S::valid},  // 19 digits
    {"6759649826438453", B::maestro, S::valid},
    {"501800000009", B::maestro, S::valid},  // 12 digits
    {"2200000000000004", B::mir, S::valid},
    {"4111 1111-1111 1111", B::visa, S::valid},  // typed with separators
    // partial input
    {"", B::unknown, S::incomplete},
    {"4", B::visa, S::incomplete},
    {"5", B::unknown, S::incomplete},  // Mastercard or Maestro
    {"3", B::unknown, S::incomplete},
    {"37828224631000", B::amex, S::incomplete},
    {"622", B::unknown, S::incomplete},  // UnionPay unless Discover's 622126+
    {"622120", B::unionPay, S::incomplete},
    {"4111111111111112", B::visa, S::incomplete},  // fails Luhn, 19 digits still possible
    // invalid
    {"4111111111111111a", B::unknown, S::invalid},
    {"4111.1111.1111.1111", B::unknown, S::invalid},
    {"1234567812345670", B::unknown, S::invalid},  // no brand starts with 1
    {"9", B::unknown, S::invalid},
    {"5555555555554443", B::mastercard, S::invalid},   // Luhn at the only length
    {"55555555555544440", B::mastercard, S::invalid},  // too long
    {"378282246310006", B::amex, S::invalid},
    {"41111111111111111111", B::visa, S::invalid},  // 20 digits
    {"41111111111111111", B::visa, S::incomplete},  // 17: between Visa's 16 and 19
};

TEST(CardValidationTest, BrandAndStateOfEachNumber) {
    for (const auto& c : kNumbers) {
        SCOPED_TRACE(std::string("case with ") + std::to_string(std::string(c.number).size()) +
                     " characters, expected brand " + std::string(CardValidation::name(c.brand)));
        EXPECT_EQ(CardValidation::brand(c.number), c.brand);
        EXPECT_EQ(CardValidation::checkNumber(c.number), c.state);
    }
}

TEST(CardValidationTest, LuhnAndLengths) {
    EXPECT_TRUE(CardValidation::luhn("79927398713"));
    EXPECT_FALSE(CardValidation::luhn("79927398710"));
    EXPECT_FALSE(CardValidation::luhn(""));
    EXPECT_FALSE(CardValidation::luhn("7992739871x"));
    EXPECT_EQ(CardValidation::lengths(B::amex).size(), 1u);
    EXPECT_EQ(CardValidation::lengths(B::visa).back(), 19);
    EXPECT_EQ(CardValidation::lengths(B::maestro).front(), 12);
    EXPECT_TRUE(CardValidation::lengths(B::unknown).empty());
}

TEST(CardValidationTest, ExpiryAgainstTheCurrentMonth) {
    struct Case {
        const char* month;
        const char* year;
        S state;
    };
    constexpr Case cases[] = {
        {"6", "2025", S::valid},    {"06", "25", S::valid},      {"12", "2030", S::valid},
        {"5", "2025", S::invalid},  {"12", "2024", S::invalid},  {"13", "2026", S::invalid},
        {"00", "2026", S::invalid}, {"1a", "2026", S::invalid},  {"6", "20255", S::invalid},
        {"6", "2076", S::invalid},  {"", "2026", S::incomplete}, {"0", "2026", S::incomplete},
        {"6", "2", S::incomplete},  {"6", "202", S::incomplete}, {"6", "", S::incomplete},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.month) + "/" + c.year);
        EXPECT_EQ(CardValidation::checkExpiry(c.month, c.year, 2025, 6), c.state);
    }
    EXPECT_EQ(CardValidation::checkExpiry("1", "2000"), S::invalid);  // against today
}

TEST(CardValidationTest, CvvLengthByBrand) {
    EXPECT_EQ(CardValidation::checkCvv("737", B::visa), S::valid);
    EXPECT_EQ(CardValidation::checkCvv("7373", B::visa), S::invalid);
    EXPECT_EQ(CardValidation::checkCvv("73", B::visa), S::incomplete);
    EXPECT_EQ(CardValidation::checkCvv("7373", B::amex), S::valid);
    EXPECT_EQ(CardValidation::checkCvv("737", B::amex), S::incomplete);
    EXPECT_EQ(CardValidation::checkCvv("73a", B::mastercard), S::invalid);
    EXPECT_EQ(CardValidation::checkCvv("7373", B::unknown), S::valid);
}

TEST(CardValidationTest, VerifyNamesTheFieldNeverTheValue) {
    EXPECT_FALSE(CardValidation::verify("4111111111111111", "12", "2031", "737"));
    EXPECT_FALSE(CardValidation::verify("4111111111111111"));  // number only

    struct Case {
        const char* number;
        const char* month;
        const char* year;
        const char* cvv;
        long code;
    };
    constexpr Case cases[] = {
        {"411111111111", "12", "2031", "737", CardErrorCode::numberIncomplete},
        {"4111111111111112", "12", "2031", "737", CardErrorCode::numberInvalid},  // Luhn
        {"1234567812345670", "12", "2031", "737", CardErrorCode::numberInvalid},
        {"4111x11111111111", "12", "2031", "737", CardErrorCode::numberInvalid},
        {"4111111111111111", "13", "2031", "737", CardErrorCode::expiryInvalid},
        {"4111111111111111", "12", "2001", "737", CardErrorCode::expiryInvalid},
        {"378282246310005", "12", "2031", "737", CardErrorCode::cvvInvalid},
        {"4111111111111111", "12", "2031", "7373", CardErrorCode::cvvInvalid},
    };
    for (const auto& c : cases) {
        const auto e = CardValidation::verify(c.number, c.month, c.year, c.cvv);
        ASSERT_TRUE(e) << "expected code " << c.code;
        EXPECT_EQ(e->domain, kCardValidationErrorDomain);
        EXPECT_EQ(e->code, c.code) << e->message;
        EXPECT_EQ(e->message.find(std::string(c.number).substr(0, 6)), std::string::npos);
        EXPECT_EQ(e->message.find(c.cvv), std::string::npos) << e->message;
    }
}

}  // namespace
}  // namespace tavi
