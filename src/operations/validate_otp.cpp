// OTP validation: submits the one-time password, sealed for the bank, for a challenge obtained
// with the OTP challenge fetch. The verdict is read from the answer's header alone.

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

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/validate-otp-api";
constexpr const char* kException = "Exception Occured";

}  // namespace

void TaviApiService::createValidateOtpRequest(
    const std::string& txnId, const std::string& transactionType, const std::string& credValue,
    const std::string& bankKi, const std::string& publicKey, const std::string& sessionKey,
    const std::string& action, const std::string& bic, const std::string& referenceid,
    std::function<void(bool)> success, CodeReasonCallback failure) {
    const auto reportException = [&failure] {
        if (failure) failure(std::string(kException), std::string(kException));
    };

    const detail::OperationScope scope;
    if (detail::nonUTF8Text({{"txnId", txnId},
                             {"transactionType", transactionType},
                             {"credValue", credValue},
                             {"bankKi", bankKi},
                             {"publicKey", publicKey},
                             {"sessionKey", sessionKey},
                             {"action", action},
                             {"bic", bic},
                             {"referenceid", referenceid}})) {
        reportException();
        return;
    }

    auto request =
        detail::beginSealedRequest(detail::sessionKeyOptions(sessionKey, transactionType, txnId));
    if (!request) {
        reportException();
        return;
    }

    auto sealedOtp = detail::sealForBank(credValue, bankKi, publicKey, txnId);
    if (!sealedOtp) {
        reportException();
        return;
    }

    ValidateOtpRetrievalPayload payload;
    payload.bic = bic;
    payload.referenceId = referenceid;
    payload.otp = std::move(*sealedOtp);
    payload.action = action;
    payload.deviceInfo = request.value().deviceInfo;

    auto encoded = detail::sealedBody<EncryptionValidateOtpRetrievalRequest>(
        request.value(), payload, /*logEncryptedLength=*/false);
    if (!encoded) {
        reportException();
        return;
    }

    performRequest(kEndpoint, "POST", {}, encoded.value(), {{"Content-Type", "application/json"}},
                   [&](const Result<Bytes>& result) {
                       if (!result) {
                           reportException();
                           return;
                       }
                       auto response = detail::decodeBody<EncryptionValidateOtpRetrievalResponse>(
                           result.value());
                       if (!response || !response.value().commonResponse) {
                           reportException();
                           return;
                       }
                       const auto& header = *response.value().commonResponse;
                       if (header.success) {
                           if (success) success(true);
                           return;
                       }
                       if (failure) failure(header.errorCode, header.errorReason);
                   });
}

}  // namespace tavi
