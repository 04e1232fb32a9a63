// Credential submission: a PIN-type credential, sealed for the bank, for a transaction whose keys
// the host obtained through key retrieval. The answer is a yes or a no.
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "operations/steps.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/authorize";

using SubmitCredentialArgs = SubmitCredentialRequest;

detail::Task<Result<Accepted>> submitCredentialCall(SubmitCredentialArgs call) {
    detail::noteOperation("submitCredential", call.txnId, detail::Resend::neverAfterSending);
    if (auto refused = detail::checkRequest(call)) co_return *refused;
    detail::AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;

    auto sealed = detail::beginSessionKeyRequest(call);
    if (!sealed) co_return sealed.error();
    const detail::SealedRequest& request = sealed.value();

    auto sealedCredential = detail::sealedForBank(call, call.credValue.view(), "the credential");
    if (!sealedCredential) co_return sealedCredential.error();

    CredentialSubmissionPayload payload;
    payload.deviceInfo = request.deviceInfo;
    payload.authorizePINCred.credType = call.credType;
    payload.authorizePINCred.credValue = std::move(sealedCredential).value();

    auto responseStep = detail::postAndDecode<CredentialSubmissionResponse>(
        kEndpoint, detail::sealedBody<CredentialSubmissionRequest>(request, payload, false));
    auto response = co_await responseStep;
    if (!response) co_return response.error();
    const CommonResponse& header = response.value().commonResponse;
    if (!header.success) co_return detail::refusalError(header);
    co_return Accepted{};
}

}  // namespace

namespace detail {
Task<Result<Accepted>> run(SubmitCredentialRequest request) {
    return submitCredentialCall(std::move(request));
}
}  // namespace detail

void TaviApiService::createCredentialSubmissionRequest(
    const std::string& txnId, const std::string& transactionType, const std::string& credType,
    const std::string& credValue, const std::string& bankKi, const std::string& publicKey,
    const std::string& sessionKey, std::function<void(bool)> success,
    std::function<void(bool)> failure) {
    const detail::OperationScope scope;
    // Every failure is the same `false`: this shape carries no error value.
    auto result = detail::runHere(submitCredentialCall(
        {txnId, transactionType, credType, SecretString(credValue), bankKi, publicKey, sessionKey}));
    if (!result) {
        if (failure) failure(false);
    } else if (success) {
        success(true);
    }
}

Result<Accepted> TaviApiService::submitCredential(
    const std::string& txnId, const std::string& transactionType, const std::string& credType,
    const std::string& credValue, const std::string& bankKi, const std::string& publicKey,
    const std::string& sessionKey, const CallOptions& options) {
    return detail::runBlocking(
        submitCredentialCall(
            {txnId, transactionType, credType, SecretString(credValue), bankKi, publicKey, sessionKey}),
        options);
}

CallHandle TaviApiService::startSubmitCredential(
    const std::string& txnId, const std::string& transactionType, const std::string& credType,
    const std::string& credValue, const std::string& bankKi, const std::string& publicKey,
    const std::string& sessionKey, Completion<Accepted> completion, const CallOptions& options) {
    return detail::startCall(
        submitCredentialCall(
            {txnId, transactionType, credType, SecretString(credValue), bankKi, publicKey, sessionKey}),
        options, std::move(completion));
}

}  // namespace tavi
