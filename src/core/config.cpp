#include <array>
#include <cstdio>
#include <utility>

#include "tavi/config.hpp"
#include "tavi/version.hpp"

namespace tavi {

const char* const taviVersionString = "tavi " TAVI_VERSION_STRING " (C++20, OpenSSL 3, libcurl)";

// The number hosts compare is MAJOR.MINOR of the same version.
static_assert(taviVersionNumber == (TAVI_VERSION_MAJOR * 10 + TAVI_VERSION_MINOR) / 10.0,
              "taviVersionNumber must be the project's MAJOR.MINOR");

DiagnosticsSink standardErrorSink() {
    return [](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fputc('\n', stderr);
        std::fflush(stderr);
    };
}

DiagnosticsSink standardOutputSink() {
    return [](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
}

AppConstantTAVI::AppConstantTAVI() = default;

AppConstantTAVI& AppConstantTAVI::shared() {
    static AppConstantTAVI instance;  // created once, thread-safe
    return instance;
}

namespace {
constexpr std::array<std::pair<TransactionType, std::string_view>, 7> kTransactionTypes{{
    {TransactionType::setPin, "SET_PIN"},
    {TransactionType::changePin, "CHANGE_PIN"},
    {TransactionType::balanceEnquiry, "BALANCE_ENQUIRY"},
    {TransactionType::financialTxn, "FINANCIAL_TXN"},
    {TransactionType::registerCardAccDetail, "REGISTER_CARD_ACC_DETAIL"},
    {TransactionType::securePageUrl, "SECURE_PAGE_URL"},
    {TransactionType::collect, "COLLECT"},
}};
constexpr std::array<std::pair<CredType, std::string_view>, 4> kCredTypes{{
    {CredType::OTP, "OTP"},
    {CredType::MPIN, "MPIN"},
    {CredType::PIN, "PIN"},
    {CredType::REGISTER_ACCOUNT, "REGISTER_ACCOUNT"},
}};
}  // namespace

std::string_view rawValue(TransactionType type) {
    for (const auto& [t, raw] : kTransactionTypes)
        if (t == type) return raw;
    return {};
}

std::string_view rawValue(CredType type) {
    for (const auto& [t, raw] : kCredTypes)
        if (t == type) return raw;
    return {};
}

std::optional<TransactionType> transactionTypeFromRawValue(std::string_view raw) {
    for (const auto& [t, r] : kTransactionTypes)
        if (r == raw) return t;
    return std::nullopt;
}

std::optional<CredType> credTypeFromRawValue(std::string_view raw) {
    for (const auto& [t, r] : kCredTypes)
        if (r == raw) return t;
    return std::nullopt;
}

}  // namespace tavi
