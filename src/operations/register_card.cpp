// Card and account detail registration: registers a payment card, and optionally a bank account
// number, for the device's user. Every card and account value is sealed for the bank one by one;
// the answer is reduced to a flag and the server's error code.

#include <optional>
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "operations/steps.hpp"
#include "tavi/device.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/register-card-detail";

using RegisterCardArgs = RegisterCardRequest;

/// The request's payload with every card and account value sealed for the bank; the name of a
/// value that cannot be sealed (never the value) goes into the error.
Result<RegisterAccountDetailsPayload> sealedPayload(const RegisterCardArgs& call) {
    RegisterAccountDetailsPayload payload;
    payload.startDateTime = TaviUtils::getCurrentTimeInMillis();

    std::optional<Error> sealError;
    const auto seal = [&](std::string_view value,
                          const char* what) -> std::optional<std::string> {
        if (sealError) return std::nullopt;
        auto sealedValue = detail::sealedForBank(call, value, std::string("the ") + what);
        if (!sealedValue) {
            sealError = sealedValue.error();
            return std::nullopt;
        }
        return std::move(sealedValue).value();
    };

    AccountInfo accountInfo;
    accountInfo.bic = call.bic;
    if (call.accountNo) accountInfo.accountNo = seal(call.accountNo->view(), "account number");
    RegisterAccountDetails card;
    card.number = seal(call.cardNumber.view(), "card number");
    card.cvv = seal(call.cvv.view(), "card security code");
    card.expiryMonth = seal(call.expiryMonth.view(), "expiry month");
    card.expiryYear = seal(call.expiryYear.view(), "expiry year");
    if (sealError) return *sealError;
    // The user's name as the host stored it; the server expects it in clear.
    card.fullName = KeychainManager::getPreference(SessionManager::usernameKey);

    payload.accountInfo = std::move(accountInfo);
    payload.card = std::move(card);
    payload.bic = call.bic;
    return payload;
}

/// A decline is not an error here: it is the server's verdict, with its errorCode.
detail::Task<Result<CardRegistration>> registerCardCall(RegisterCardArgs call) {
    detail::noteOperation("registerCardDetail", call.txnId, detail::Resend::neverAfterSending);
    if (auto refused = detail::checkRequest(call)) co_return *refused;
    detail::AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;

    auto request = detail::beginSessionKeyRequest(call);
    if (!request) co_return request.error();

    auto payload = sealedPayload(call);
    if (!payload) co_return payload.error();
    payload.value().deviceInfo = request.value().deviceInfo;

    auto responseStep = detail::postAndDecode<RegisterCardDetailResponse>(
        kEndpoint, detail::sealedBody<RegisterCardDetailRequest>(request.value(), payload.value(),
                                                                 /*logEncryptedLength=*/false));
    auto response = co_await responseStep;
    if (!response) co_return response.error();
    const CommonResponse& header = response.value().commonResponse;
    co_return CardRegistration{header.success, header.errorCode.value_or("")};
}

}  // namespace

namespace detail {
Task<Result<CardRegistration>> run(RegisterCardRequest request) {
    return registerCardCall(std::move(request));
}
}  // namespace detail

void TaviApiService::registerCardDetailRequest(
    const std::string& txnId, const std::string& transactionType, const std::string& bic,
    const std::optional<std::string>& accountNo, const std::string& bankKi,
    const std::string& sessionKey, const std::string& cardNumber, const std::string& expiryMonth,
    const std::string& expiryYear, const std::string& cvv, const std::string& publicKey,
    std::function<void(bool success, const std::string& errorCode)> success,
    ErrorCallback failure) {
    const detail::OperationScope scope;
    detail::deliverResult(
        detail::runHere(registerCardCall({txnId, transactionType, bic, detail::secretCopy(accountNo), bankKi,
                                          sessionKey, SecretString(cardNumber), SecretString(expiryMonth),
                                          SecretString(expiryYear), SecretString(cvv), publicKey})),
        [&success](const CardRegistration& verdict) {
            if (success) success(verdict.accepted, verdict.errorCode);
        },
        failure);
}

Result<CardRegistration> TaviApiService::registerCardDetail(
    const std::string& txnId, const std::string& transactionType, const std::string& bic,
    const std::optional<std::string>& accountNo, const std::string& bankKi,
    const std::string& sessionKey, const std::string& cardNumber, const std::string& expiryMonth,
    const std::string& expiryYear, const std::string& cvv, const std::string& publicKey,
    const CallOptions& options) {
    return detail::runBlocking(registerCardCall({txnId, transactionType, bic, detail::secretCopy(accountNo), bankKi,
                                                 sessionKey, SecretString(cardNumber), SecretString(expiryMonth),
                                                 SecretString(expiryYear), SecretString(cvv), publicKey}),
                               options);
}

CallHandle TaviApiService::startRegisterCardDetail(
    const std::string& txnId, const std::string& transactionType, const std::string& bic,
    const std::optional<std::string>& accountNo, const std::string& bankKi,
    const std::string& sessionKey, const std::string& cardNumber, const std::string& expiryMonth,
    const std::string& expiryYear, const std::string& cvv, const std::string& publicKey,
    Completion<CardRegistration> completion, const CallOptions& options) {
    return detail::startCall(registerCardCall({txnId, transactionType, bic, detail::secretCopy(accountNo), bankKi,
                                               sessionKey, SecretString(cardNumber), SecretString(expiryMonth),
                                               SecretString(expiryYear), SecretString(cvv), publicKey}),
                             options, std::move(completion));
}

}  // namespace tavi
