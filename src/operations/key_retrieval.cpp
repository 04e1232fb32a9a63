// Key retrieval: opens a transaction and hands the host its key material.
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "operations/steps.hpp"
#include "tavi/device.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";

using RetrieveKeysArgs = RetrieveKeysRequest;

/// One attempt: a whole new sealed request.
detail::Task<detail::Attempted<TransactionKeys>> attempt(const RetrieveKeysArgs& call) {
    auto options = detail::serverKeyOptions(call.transactionType, call.txnId);
    options.msgId = call.msgID;
    auto sealed = detail::beginSealedRequest(options);
    if (!sealed) co_return sealed.error();
    const detail::SealedRequest& request = sealed.value();

    detail::diag("deviceInfo");
    detail::diagRecord(request.deviceInfo);

    CredentialKeysRetrievalPayload payload;
    payload.paymentInstrument.paymentInstrumentType = call.paymentInstrumentType;
    payload.paymentInstrument.bic = call.bic;
    payload.deviceInfo = request.deviceInfo;
    payload.startDateTime = TaviUtils::getCurrentTimeInMillis();
    payload.resetCredentialCall = false;
    detail::diagRecord(payload);

    auto body = detail::sealedBody<EncryptionKeyRetrievalRequest>(request, payload, true);
    if (body && detail::diagnosticsOn()) detail::diag(std::to_string(body.value().size()) + " bytes");
    auto post = detail::postAndDecode<EncryptionKeyRetrievalResponse>(kEndpoint, std::move(body));
    auto response = co_await post;
    if (!response) co_return response.error();
    const CommonResponse& header = response.value().commonResponse;
    if (!header.success) co_return detail::refusalError(header);

    auto opened = detail::openWithStoredKey(
        request, header, response.value().encryptionKeyRetrievalResponsePayloadEnc, {});
    auto* text = std::get_if<std::string>(&opened);
    if (text == nullptr) co_return detail::notOpened<TransactionKeys>(std::move(opened));

    detail::diag(*text);
    auto keys = detail::decodeText<RetrievalKeyResponsePayload>(*text);
    if (!keys) co_return ApiServiceError::decodingError(keys.error());
    detail::diagRecord(keys.value());
    RetrievalKeyResponsePayload& k = keys.value();
    co_return TransactionKeys{std::move(k.bankKi), std::move(k.publicKey),
                              std::move(k.sessionKey), call.txnId, std::move(k.rule)};
}

detail::Task<Result<TransactionKeys>> retrieveKeysCall(RetrieveKeysArgs call) {
    return detail::reissuingCall(std::move(call), "retrieveKeys", detail::Resend::alsoAfterSending,
                                 [](const RetrieveKeysArgs& c) { return attempt(c); });
}

}  // namespace

namespace detail {
Task<Result<TransactionKeys>> run(RetrieveKeysRequest request) {
    return retrieveKeysCall(std::move(request));
}
}  // namespace detail

void TaviApiService::createRetrieveKeysRequest(
    const std::string& msgID, const std::string& transactionType, const std::string& txnId,
    const std::string& bic, const std::string& paymentInstrumentType,
    std::function<void(const std::string& bankKi, const std::string& publicKey,
                       const std::string& sessionKey, const std::string& txnId,
                       const std::string& rule)>
        success,
    ErrorCallback failure) {
    const detail::OperationScope scope;
    detail::deliverResult(
        detail::runHere(retrieveKeysCall(RetrieveKeysRequest{msgID, transactionType, txnId, bic, paymentInstrumentType})),
        [&success](const TransactionKeys& k) {
            if (success) success(k.bankKi, k.publicKey, k.sessionKey, k.txnId, k.rule);
        },
        failure);
}

Result<TransactionKeys> TaviApiService::retrieveKeys(const std::string& msgID,
                                                     const std::string& transactionType,
                                                     const std::string& txnId,
                                                     const std::string& bic,
                                                     const std::string& paymentInstrumentType,
                                                     const CallOptions& options) {
    return detail::runBlocking(
        retrieveKeysCall(RetrieveKeysRequest{msgID, transactionType, txnId, bic, paymentInstrumentType}), options);
}

CallHandle TaviApiService::startRetrieveKeys(const std::string& msgID,
                                             const std::string& transactionType,
                                             const std::string& txnId, const std::string& bic,
                                             const std::string& paymentInstrumentType,
                                             Completion<TransactionKeys> completion,
                                             const CallOptions& options) {
    return detail::startCall(
        retrieveKeysCall(RetrieveKeysRequest{msgID, transactionType, txnId, bic, paymentInstrumentType}), options,
        std::move(completion));
}

}  // namespace tavi
