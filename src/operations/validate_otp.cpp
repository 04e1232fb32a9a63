// OTP validation: submits the one-time password, sealed for the bank, for a challenge obtained
// with the OTP challenge fetch. The verdict is read from the answer's header alone.

#include <optional>
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "operations/steps.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/validate-otp-api";

using ValidateOtpArgs = ValidateOtpRequest;

detail::Task<Result<Accepted>> validateOtpCall(ValidateOtpArgs call) {
    detail::noteOperation("validateOtp", call.txnId, detail::Resend::neverAfterSending);
    if (auto refused = detail::checkRequest(call)) co_return *refused;
    detail::AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;

    auto request = detail::beginSessionKeyRequest(call);
    if (!request) co_return request.error();

    auto sealedOtp = detail::sealedForBank(call, call.credValue.view(), "the OTP");
    if (!sealedOtp) co_return sealedOtp.error();

    ValidateOtpRetrievalPayload payload;
    payload.bic = call.bic;
    payload.referenceId = call.referenceid;
    payload.otp = std::move(sealedOtp).value();
    payload.action = call.action;
    payload.deviceInfo = request.value().deviceInfo;

    auto responseStep = detail::postAndDecode<EncryptionValidateOtpRetrievalResponse>(
        kEndpoint, detail::sealedBody<EncryptionValidateOtpRetrievalRequest>(
                       request.value(), payload, /*logEncryptedLength=*/false));
    auto response = co_await responseStep;
    if (!response) co_return response.error();
    if (!response.value().commonResponse) {
        co_return detail::clientError(ClientErrorCode::responseUnreadable,
                                      "the answer carries no commonResponse");
    }
    const CommonResponse& header = *response.value().commonResponse;
    if (!header.success) co_return detail::refusalError(header);
    co_return Accepted{};
}

}  // namespace

namespace detail {
Task<Result<Accepted>> run(ValidateOtpRequest request) {
    return validateOtpCall(std::move(request));
}
}  // namespace detail

void TaviApiService::createValidateOtpRequest(
    const std::string& txnId, const std::string& transactionType, const std::string& credValue,
    const std::string& bankKi, const std::string& publicKey, const std::string& sessionKey,
    const std::string& action, const std::string& bic, const std::string& referenceid,
    std::function<void(bool)> success, CodeReasonCallback failure) {
    const detail::OperationScope scope;
    auto result = detail::runHere(validateOtpCall({txnId, transactionType, SecretString(credValue), bankKi,
                                                   publicKey, sessionKey, action, bic,
                                                   referenceid}));
    if (!result) return detail::deliverCodeReason(result.error(), failure);
    if (success) success(true);
}

Result<Accepted> TaviApiService::validateOtp(
    const std::string& txnId, const std::string& transactionType, const std::string& credValue,
    const std::string& bankKi, const std::string& publicKey, const std::string& sessionKey,
    const std::string& action, const std::string& bic, const std::string& referenceid,
    const CallOptions& options) {
    return detail::runBlocking(validateOtpCall({txnId, transactionType, SecretString(credValue), bankKi,
                                                publicKey, sessionKey, action, bic, referenceid}),
                               options);
}

CallHandle TaviApiService::startValidateOtp(
    const std::string& txnId, const std::string& transactionType, const std::string& credValue,
    const std::string& bankKi, const std::string& publicKey, const std::string& sessionKey,
    const std::string& action, const std::string& bic, const std::string& referenceid,
    Completion<Accepted> completion, const CallOptions& options) {
    return detail::startCall(validateOtpCall({txnId, transactionType, SecretString(credValue), bankKi, publicKey,
                                              sessionKey, action, bic, referenceid}),
                             options, std::move(completion));
}

}  // namespace tavi
