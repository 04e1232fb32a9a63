// Card and account detail registration: registers a payment card, and optionally a bank account
// number, for the device's user. Every card and account value is sealed for the bank one by one;
// the answer is reduced to a flag and the server's error code.

#include <optional>
#include <string>
#include <utility>

#include "core/internal.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "operations/sealed.hpp"
#include "tavi/device.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"
#include "translator/seal.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/register-card-detail";

}  // namespace

void TaviApiService::registerCardDetailRequest(
    const std::string& txnId, const std::string& transactionType, const std::string& bic,
    const std::optional<std::string>& accountNo, const std::string& bankKi,
    const std::string& sessionKey, const std::string& cardNumber, const std::string& expiryMonth,
    const std::string& expiryYear, const std::string& cvv, const std::string& publicKey,
    std::function<void(bool success, const std::string& errorCode)> success,
    ErrorCallback failure) {
    const auto fail = [&failure](const Error& error) {
        if (failure) failure(error);
    };

    const detail::OperationScope scope;
    if (auto refused = detail::nonUTF8Text(
            {{"txnId", txnId},
             {"transactionType", transactionType},
             {"bic", bic},
             {"accountNo", accountNo ? std::string_view(*accountNo) : std::string_view(),
              accountNo.has_value()},
             {"bankKi", bankKi},
             {"sessionKey", sessionKey},
             {"cardNumber", cardNumber},
             {"expiryMonth", expiryMonth},
             {"expiryYear", expiryYear},
             {"cvv", cvv},
             {"publicKey", publicKey}})) {
        fail(*refused);
        return;
    }

    auto request =
        detail::beginSealedRequest(detail::sessionKeyOptions(sessionKey, transactionType, txnId));
    if (!request) {
        fail(request.error());
        return;
    }

    RegisterAccountDetailsPayload payload;
    payload.startDateTime = TaviUtils::getCurrentTimeInMillis();

    // Seals one value for the bank; the name of the value (never the value) goes into the error.
    std::optional<Error> sealError;
    const auto seal = [&](const std::string& value,
                          const char* what) -> std::optional<std::string> {
        if (sealError) return std::nullopt;
        auto sealedValue = detail::sealForBank(value, bankKi, publicKey, txnId);
        if (!sealedValue) {
            sealError = detail::clientError(
                ClientErrorCode::encryptionFailed,
                std::string("the ") + what +
                    " could not be sealed for the bank: the bank key cannot be used");
        }
        return sealedValue;
    };

    AccountInfo accountInfo;
    accountInfo.bic = bic;
    if (accountNo) accountInfo.accountNo = seal(*accountNo, "account number");
    RegisterAccountDetails card;
    card.number = seal(cardNumber, "card number");
    card.cvv = seal(cvv, "card security code");
    card.expiryMonth = seal(expiryMonth, "expiry month");
    card.expiryYear = seal(expiryYear, "expiry year");
    if (sealError) {
        fail(*sealError);
        return;
    }
    // The user's name as the host stored it; the server expects it in clear.
    card.fullName = KeychainManager::getPreference(SessionManager::usernameKey);

    payload.deviceInfo = request.value().deviceInfo;
    payload.accountInfo = std::move(accountInfo);
    payload.card = std::move(card);
    payload.bic = bic;

    auto encoded = detail::sealedBody<RegisterCardDetailRequest>(request.value(), payload,
                                                                 /*logEncryptedLength=*/false);
    if (!encoded) {
        fail(encoded.error());
        return;
    }

    performRequest(kEndpoint, "POST", {}, encoded.value(), {{"Content-Type", "application/json"}},
                   [&](const Result<Bytes>& result) {
                       if (!result) {
                           fail(result.error());
                           return;
                       }
                       auto response =
                           detail::decodeBody<RegisterCardDetailResponse>(result.value());
                       if (!response) {
                           fail(ApiServiceError::decodingError(response.error()));
                           return;
                       }
                       const auto& header = response.value().commonResponse;
                       if (success) success(header.success, header.errorCode.value_or(""));
                   });
}

}  // namespace tavi
