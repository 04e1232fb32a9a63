// Secure web URL: asks the server for the address of the transaction's secure page.
#include <functional>
#include <string>
#include <utility>

#include "operations/sealed.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/request-web-url";

struct WebUrlCall {
    std::string transactionType;
    std::string txnId;
    std::string paymentInstrumentType;
    std::string bic;
    std::string sessionKey;  // travels with re-issues only
    std::function<void(const std::string&)> success;
    TaviApiService::ErrorCallback failure;

    void fail(const Error& error) const {
        if (failure) failure(error);
    }
};

void answerWebUrl(TaviApiService& service, const WebUrlCall& call, int attempt,
                  const detail::SealedRequest& request, const Result<Bytes>& result);

/// One attempt: a whole new sealed request. `attempt` counts from 1.
void requestWebUrl(TaviApiService& service, const WebUrlCall& call, int attempt) {
    auto sealed =
        detail::beginSealedRequest(detail::serverKeyOptions(call.transactionType, call.txnId));
    if (!sealed) return call.fail(sealed.error());
    const detail::SealedRequest& request = sealed.value();

    WebUrlRequestPayload payload;
    payload.paymentInstrument.paymentInstrumentType = call.paymentInstrumentType;
    payload.paymentInstrument.bic = call.bic;
    payload.deviceInfo = request.deviceInfo;
    detail::diagRecord(payload);

    auto encoded = detail::sealedBody<WebUrlRequest>(request, payload, true);
    if (!encoded) return call.fail(encoded.error());

    service.performRequest(kEndpoint, "POST", {}, encoded.value(),
                           {{"Content-Type", "application/json"}},
                           [&](const Result<Bytes>& result) {
                               answerWebUrl(service, call, attempt, request, result);
                           });
}

void answerWebUrl(TaviApiService& service, const WebUrlCall& call, int attempt,
                  const detail::SealedRequest& request, const Result<Bytes>& result) {
    if (!result) return call.fail(result.error());

    auto response = detail::decodeBody<WebUrlResponse>(result.value());
    if (!response) return call.fail(ApiServiceError::decodingError(response.error()));
    const CommonResponse& header = response.value().commonResponse;
    if (!header.success) return call.fail(detail::refusalError(header));

    detail::OpenOptions openOptions;
    openOptions.urlDecodeWithoutPadding = true;
    openOptions.reissueOnUndecryptable = false;
    auto opened = detail::openWithServerKey(
        request, header, response.value().requestWebURLResponsePayloadEnc, openOptions);
    switch (opened.outcome) {
        case detail::OpenOutcome::reissue:
            if (attempt < detail::kMaxAttempts) return requestWebUrl(service, call, attempt + 1);
            return call.fail(detail::retryLimitError("webUrlRequestAsync"));
        case detail::OpenOutcome::failed:
            return call.fail(opened.error.value_or(detail::clientError(
                ClientErrorCode::responseUnreadable, "the answer could not be opened")));
        case detail::OpenOutcome::opened:
            break;
    }

    detail::diag("Optional(" + detail::quoted(opened.text) + ")");
    auto answer = detail::decodeText<WebUrlResponsePayload>(opened.text);
    if (!answer) return call.fail(ApiServiceError::decodingError(answer.error()));
    if (!answer.value().refUrl) {
        return call.fail(detail::clientError(ClientErrorCode::responseUnreadable,
                                             "the answer carries no refUrl"));
    }
    if (call.success) call.success(*answer.value().refUrl);
}

}  // namespace

void TaviApiService::webUrlRequestAsync(const std::string& transactionType,
                                        const std::string& txnId,
                                        const std::string& paymentInstrumentType,
                                        const std::string& bic, const std::string& sessionKey,
                                        std::function<void(const std::string& refUrl)> success,
                                        ErrorCallback failure) {
    const detail::OperationScope scope;
    // The session key travels with re-issues only; it never goes into a request.
    if (auto refused = detail::nonUTF8Text({{"transactionType", transactionType},
                                            {"txnId", txnId},
                                            {"paymentInstrumentType", paymentInstrumentType},
                                            {"bic", bic}})) {
        if (failure) failure(*refused);
        return;
    }
    const WebUrlCall call{
        transactionType,   txnId, paymentInstrumentType, bic, sessionKey, std::move(success),
        std::move(failure)};
    requestWebUrl(*this, call, 1);
}

}  // namespace tavi
