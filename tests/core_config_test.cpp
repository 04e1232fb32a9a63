#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tavi/config.hpp"

namespace tavi {
namespace {

// Declared first so that it runs before anything else in this binary touches the instance.
TEST(Configuration, SharedInstanceIsCreatedOnceEvenWhenFirstReachedFromTwoThreads) {
    AppConstantTAVI* seen[2] = {nullptr, nullptr};
    std::thread a([&] { seen[0] = &AppConstantTAVI::shared(); });
    std::thread b([&] { seen[1] = &AppConstantTAVI::shared(); });
    a.join();
    b.join();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[0], &AppConstantTAVI::shared());
}

void expectInitialValues(const AppConstantTAVI& config) {
    EXPECT_EQ(config.serverURL, kProductionServerURL);
    EXPECT_EQ(config.merchantKey, "");
    EXPECT_EQ(config.merchantKI, "");
    EXPECT_EQ(config.appId, "");
    EXPECT_EQ(config.pspOrgId, "");
    EXPECT_FALSE(config.refUrl.has_value());
    EXPECT_EQ(config.locale, "");
    EXPECT_EQ(config.merchantID, "");
    EXPECT_EQ(config.caFile, "");
    EXPECT_EQ(config.pinnedPublicKey, "");
    EXPECT_EQ(config.timeoutMilliseconds, 60000);
    EXPECT_TRUE(static_cast<bool>(config.diagnosticsSink));
}

TEST(Configuration, FreshValues) {
    expectInitialValues(AppConstantTAVI::shared());
    expectInitialValues(AppConstantTAVI());

    const std::string production = kProductionServerURL;
    EXPECT_EQ(production.rfind("https://", 0), 0u);
    EXPECT_NE(production.back(), '/');
}

TEST(Configuration, IndependentInstanceDoesNotConfigureTheLibrary) {
    AppConstantTAVI own;
    own.serverURL = "https://elsewhere.example";
    own.appId = "other";
    EXPECT_EQ(AppConstantTAVI::shared().serverURL, kProductionServerURL);
    EXPECT_EQ(AppConstantTAVI::shared().appId, "");

    AppConstantTAVI::shared().appId = "com.example.wallet";
    EXPECT_EQ(AppConstantTAVI::shared().appId, "com.example.wallet");
    EXPECT_EQ(own.appId, "other");
    AppConstantTAVI::shared().appId.clear();
}

TEST(Configuration, TransactionTypeRawValues) {
    const std::pair<TransactionType, const char*> cases[] = {
        {TransactionType::setPin, "SET_PIN"},
        {TransactionType::changePin, "CHANGE_PIN"},
        {TransactionType::balanceEnquiry, "BALANCE_ENQUIRY"},
        {TransactionType::financialTxn, "FINANCIAL_TXN"},
        {TransactionType::registerCardAccDetail, "REGISTER_CARD_ACC_DETAIL"},
        {TransactionType::securePageUrl, "SECURE_PAGE_URL"},
        {TransactionType::collect, "COLLECT"},
    };
    for (const auto& [type, raw] : cases) {
        EXPECT_EQ(rawValue(type), raw);
        EXPECT_EQ(transactionTypeFromRawValue(raw), type) << raw;
    }
    EXPECT_EQ(rawValue(TransactionType::registerCardAccDetail).size(), 24u);

    for (const char* text :
         {"financial_txn", "FINANCIAL_TXN ", " FINANCIAL_TXN", "", "Collect", "SET-PIN", "OTP"}) {
        EXPECT_FALSE(transactionTypeFromRawValue(text).has_value()) << '"' << text << '"';
    }
}

TEST(Configuration, CredTypeRawValues) {
    const std::pair<CredType, const char*> cases[] = {
        {CredType::OTP, "OTP"},
        {CredType::MPIN, "MPIN"},
        {CredType::PIN, "PIN"},
        {CredType::REGISTER_ACCOUNT, "REGISTER_ACCOUNT"},
    };
    for (const auto& [type, raw] : cases) {
        EXPECT_EQ(rawValue(type), raw);
        EXPECT_EQ(credTypeFromRawValue(raw), type) << raw;
    }
    for (const char* text : {"Otp", "otp", "PIN ", "", "REGISTER ACCOUNT", "SET_PIN"}) {
        EXPECT_FALSE(credTypeFromRawValue(text).has_value()) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace tavi
