// Card number validation: sends the card number, sealed for the bank, with the bank the user
// chose; the server's answer (whether the bank name matches the card) goes to the host unjudged.

#include <optional>
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "operations/steps.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/validate-card-num";
constexpr const char* kTransactionType = "FINANCIAL_TXN";

using ValidateCardArgs = ValidateCardNumberRequest;

detail::Task<Result<ValidateCardNumResponse>> validateCardCall(ValidateCardArgs call) {
    detail::noteOperation("validateCardNumber", call.txnId, detail::Resend::neverAfterSending);
    if (auto refused = detail::checkRequest(call)) co_return *refused;
    detail::AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;

    // An absent "deviceId" travels as an empty text here.
    auto request = detail::beginSealedRequest(detail::sessionKeyOptions(
        call.sessionKey, kTransactionType, call.txnId, /*deviceIdRequired=*/false));
    if (!request) co_return request.error();

    // Only the last four digits of the card number ever reach a log line.
    detail::diag(detail::maskAllButLastFour(call.cardNumber.view()) + "New Number");

    auto cardNum = detail::sealedForBank(call, call.cardNumber.view(), "the card number");
    if (!cardNum) co_return cardNum.error();

    ValidateCardNumPayload payload{call.bic, request.value().deviceInfo, std::move(cardNum).value(),
                                   call.bankName};
    auto step = detail::postAndDecode<ValidateCardNumResponse>(
        kEndpoint, detail::sealedBody<ValidateCardNumRequest>(request.value(), payload,
                                                              /*logEncryptedLength=*/false));
    auto outcome = co_await step;
    co_return outcome;
}

}  // namespace

namespace detail {
Task<Result<ValidateCardNumResponse>> run(ValidateCardNumberRequest request) {
    return validateCardCall(std::move(request));
}
}  // namespace detail

void TaviApiService::validateCardNumAsync(
    const std::string& sessionKey, const std::string& bankKi, const std::string& publicKey,
    const std::string& txnId, const std::string& cardNumber, const std::string& bic,
    const std::string& bankName, std::function<void(const ValidateCardNumResponse&)> success,
    ErrorCallback failure) {
    const detail::OperationScope scope;
    detail::deliverResult(
        detail::runHere(validateCardCall(
            {sessionKey, bankKi, publicKey, txnId, SecretString(cardNumber), bic, bankName})),
        [&success](const ValidateCardNumResponse& response) {
            if (success) success(response);
        },
        failure);
}

Result<ValidateCardNumResponse> TaviApiService::validateCardNum(
    const std::string& sessionKey, const std::string& bankKi, const std::string& publicKey,
    const std::string& txnId, const std::string& cardNumber, const std::string& bic,
    const std::string& bankName, const CallOptions& options) {
    return detail::runBlocking(
        validateCardCall({sessionKey, bankKi, publicKey, txnId, SecretString(cardNumber), bic, bankName}),
        options);
}

CallHandle TaviApiService::startValidateCardNum(
    const std::string& sessionKey, const std::string& bankKi, const std::string& publicKey,
    const std::string& txnId, const std::string& cardNumber, const std::string& bic,
    const std::string& bankName, Completion<ValidateCardNumResponse> completion,
    const CallOptions& options) {
    return detail::startCall(
        validateCardCall({sessionKey, bankKi, publicKey, txnId, SecretString(cardNumber), bic, bankName}),
        options, std::move(completion));
}

}  // namespace tavi
