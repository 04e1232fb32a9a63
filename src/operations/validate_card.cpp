// Card number validation: sends the card number, sealed for the bank, with the bank the user
// chose; the server's answer (whether the bank name matches the card) goes to the host unjudged.

#include <optional>
#include <string>
#include <utility>

#include "core/internal.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "operations/sealed.hpp"
#include "tavi/service.hpp"
#include "translator/seal.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/validate-card-num";
constexpr const char* kTransactionType = "FINANCIAL_TXN";

}  // namespace

void TaviApiService::validateCardNumAsync(
    const std::string& sessionKey, const std::string& bankKi, const std::string& publicKey,
    const std::string& txnId, const std::string& cardNumber, const std::string& bic,
    const std::string& bankName, std::function<void(const ValidateCardNumResponse&)> success,
    ErrorCallback failure) {
    const auto fail = [&failure](const Error& error) {
        if (failure) failure(error);
    };

    const detail::OperationScope scope;
    if (auto refused = detail::nonUTF8Text({{"sessionKey", sessionKey},
                                            {"bankKi", bankKi},
                                            {"publicKey", publicKey},
                                            {"txnId", txnId},
                                            {"cardNumber", cardNumber},
                                            {"bic", bic},
                                            {"bankName", bankName}})) {
        fail(*refused);
        return;
    }

    // An absent "deviceId" travels as an empty text here.
    auto request = detail::beginSealedRequest(
        detail::sessionKeyOptions(sessionKey, kTransactionType, txnId, /*deviceIdRequired=*/false));
    if (!request) {
        fail(request.error());
        return;
    }

    // Only the last four digits of the card number ever reach a log line.
    detail::diag(detail::maskAllButLastFour(cardNumber) + "New Number");

    auto cardNum = detail::sealForBank(cardNumber, bankKi, publicKey, txnId);
    if (!cardNum) {
        fail(detail::clientError(ClientErrorCode::encryptionFailed,
                                 "the card number could not be sealed for the bank: the bank key "
                                 "cannot be used"));
        return;
    }

    ValidateCardNumPayload payload{bic, request.value().deviceInfo, std::move(*cardNum), bankName};
    auto encoded = detail::sealedBody<ValidateCardNumRequest>(request.value(), payload,
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
                       auto response = detail::decodeBody<ValidateCardNumResponse>(result.value());
                       if (!response) {
                           fail(ApiServiceError::decodingError(response.error()));
                           return;
                       }
                       if (success) success(response.value());
                   });
}

}  // namespace tavi
