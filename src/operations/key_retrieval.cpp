// Key retrieval: opens a transaction and hands the host its key material.
#include <functional>
#include <string>
#include <utility>

#include "operations/sealed.hpp"
#include "tavi/device.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";

using KeysSuccess = std::function<void(const std::string&, const std::string&, const std::string&,
                                       const std::string&, const std::string&)>;

struct RetrieveKeysCall {
    std::string msgID;
    std::string transactionType;
    std::string txnId;
    std::string bic;
    std::string paymentInstrumentType;
    KeysSuccess success;
    TaviApiService::ErrorCallback failure;

    void fail(const Error& error) const {
        if (failure) failure(error);
    }
};

void answerRetrieveKeys(TaviApiService& service, const RetrieveKeysCall& call, int attempt,
                        const detail::SealedRequest& request, const Result<Bytes>& result);

/// One attempt: a whole new sealed request. `attempt` counts from 1.
void retrieveKeys(TaviApiService& service, const RetrieveKeysCall& call, int attempt) {
    auto options = detail::serverKeyOptions(call.transactionType, call.txnId);
    options.msgId = call.msgID;
    auto sealed = detail::beginSealedRequest(options);
    if (!sealed) return call.fail(sealed.error());
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

    auto encoded = detail::sealedBody<EncryptionKeyRetrievalRequest>(request, payload, true);
    if (!encoded) return call.fail(encoded.error());
    detail::diag(std::to_string(encoded.value().size()) + " bytes");

    service.performRequest(kEndpoint, "POST", {}, encoded.value(),
                           {{"Content-Type", "application/json"}},
                           [&](const Result<Bytes>& result) {
                               answerRetrieveKeys(service, call, attempt, request, result);
                           });
}

void answerRetrieveKeys(TaviApiService& service, const RetrieveKeysCall& call, int attempt,
                        const detail::SealedRequest& request, const Result<Bytes>& result) {
    if (!result) return call.fail(result.error());

    auto response = detail::decodeBody<EncryptionKeyRetrievalResponse>(result.value());
    if (!response) return call.fail(ApiServiceError::decodingError(response.error()));
    const CommonResponse& header = response.value().commonResponse;
    if (!header.success) return call.fail(detail::refusalError(header));

    detail::OpenOptions openOptions;
    openOptions.urlDecodeWithoutPadding = false;
    openOptions.reissueOnUndecryptable = true;
    auto opened = detail::openWithServerKey(
        request, header, response.value().encryptionKeyRetrievalResponsePayloadEnc, openOptions);
    switch (opened.outcome) {
        case detail::OpenOutcome::reissue:
            if (attempt < detail::kMaxAttempts) return retrieveKeys(service, call, attempt + 1);
            return call.fail(detail::retryLimitError("createRetrieveKeysRequest"));
        case detail::OpenOutcome::failed:
            return call.fail(opened.error.value_or(detail::clientError(
                ClientErrorCode::responseUnreadable, "the answer could not be opened")));
        case detail::OpenOutcome::opened:
            break;
    }

    detail::diag(opened.text);
    auto keys = detail::decodeText<RetrievalKeyResponsePayload>(opened.text);
    if (!keys) return call.fail(ApiServiceError::decodingError(keys.error()));
    detail::diagRecord(keys.value());

    const RetrievalKeyResponsePayload& k = keys.value();
    if (call.success) call.success(k.bankKi, k.publicKey, k.sessionKey, call.txnId, k.rule);
}

}  // namespace

void TaviApiService::createRetrieveKeysRequest(
    const std::string& msgID, const std::string& transactionType, const std::string& txnId,
    const std::string& bic, const std::string& paymentInstrumentType,
    std::function<void(const std::string& bankKi, const std::string& publicKey,
                       const std::string& sessionKey, const std::string& txnId,
                       const std::string& rule)>
        success,
    ErrorCallback failure) {
    const detail::OperationScope scope;
    if (auto refused = detail::nonUTF8Text({{"msgID", msgID},
                                            {"transactionType", transactionType},
                                            {"txnId", txnId},
                                            {"bic", bic},
                                            {"paymentInstrumentType", paymentInstrumentType}})) {
        if (failure) failure(*refused);
        return;
    }
    const RetrieveKeysCall call{msgID,
                                transactionType,
                                txnId,
                                bic,
                                paymentInstrumentType,
                                std::move(success),
                                std::move(failure)};
    retrieveKeys(*this, call, 1);
}

}  // namespace tavi
