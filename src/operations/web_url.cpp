// Secure web URL: asks the server for the address of the transaction's secure page.
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "operations/steps.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/request-web-url";

// The session key argument is not among these: it never goes into a request.
using WebUrlArgs = SecureWebUrlRequest;

/// One attempt: a whole new sealed request.
detail::Task<detail::Attempted<std::string>> attempt(const WebUrlArgs& call) {
    auto sealed =
        detail::beginSealedRequest(detail::serverKeyOptions(call.transactionType, call.txnId));
    if (!sealed) co_return sealed.error();
    const detail::SealedRequest& request = sealed.value();

    WebUrlRequestPayload payload;
    payload.paymentInstrument.paymentInstrumentType = call.paymentInstrumentType;
    payload.paymentInstrument.bic = call.bic;
    payload.deviceInfo = request.deviceInfo;
    detail::diagRecord(payload);

    auto responseStep = detail::postAndDecode<WebUrlResponse>(
        kEndpoint, detail::sealedBody<WebUrlRequest>(request, payload, true));
    auto response = co_await responseStep;
    if (!response) co_return response.error();
    const CommonResponse& header = response.value().commonResponse;
    if (!header.success) co_return detail::refusalError(header);

    detail::OpenOptions openOptions;
    openOptions.urlDecodeWithoutPadding = true;
    openOptions.reissueOnUndecryptable = false;
    auto opened = detail::openWithStoredKey(
        request, header, response.value().requestWebURLResponsePayloadEnc, openOptions);
    auto* text = std::get_if<std::string>(&opened);
    if (text == nullptr) co_return detail::notOpened<std::string>(std::move(opened));

    if (detail::diagnosticsOn()) detail::diag("Optional(" + detail::quoted(*text) + ")");
    auto answer = detail::decodeText<WebUrlResponsePayload>(*text);
    if (!answer) co_return ApiServiceError::decodingError(answer.error());
    if (!answer.value().refUrl) {
        co_return detail::clientError(ClientErrorCode::responseUnreadable,
                                      "the answer carries no refUrl");
    }
    co_return std::move(*answer.value().refUrl);
}

detail::Task<Result<std::string>> webUrlCall(WebUrlArgs call) {
    return detail::reissuingCall(std::move(call), "webUrl", detail::Resend::alsoAfterSending,
                                 [](const WebUrlArgs& c) { return attempt(c); });
}

}  // namespace

namespace detail {
Task<Result<std::string>> run(SecureWebUrlRequest request) {
    return webUrlCall(std::move(request));
}
}  // namespace detail

void TaviApiService::webUrlRequestAsync(const std::string& transactionType,
                                        const std::string& txnId,
                                        const std::string& paymentInstrumentType,
                                        const std::string& bic, const std::string& sessionKey,
                                        std::function<void(const std::string& refUrl)> success,
                                        ErrorCallback failure) {
    const detail::OperationScope scope;
    detail::deliverResult(
        detail::runHere(webUrlCall({transactionType, txnId, paymentInstrumentType, bic, sessionKey})),
        [&success](const std::string& refUrl) {
            if (success) success(refUrl);
        },
        failure);
}

Result<std::string> TaviApiService::webUrl(const std::string& transactionType,
                                           const std::string& txnId,
                                           const std::string& paymentInstrumentType,
                                           const std::string& bic,
                                           const std::string& sessionKey,
                                           const CallOptions& options) {
    return detail::runBlocking(webUrlCall({transactionType, txnId, paymentInstrumentType, bic, sessionKey}),
                               options);
}

CallHandle TaviApiService::startWebUrl(const std::string& transactionType,
                                       const std::string& txnId,
                                       const std::string& paymentInstrumentType,
                                       const std::string& bic, const std::string& sessionKey,
                                       Completion<std::string> completion,
                                       const CallOptions& options) {
    return detail::startCall(webUrlCall({transactionType, txnId, paymentInstrumentType, bic, sessionKey}),
                             options, std::move(completion));
}

}  // namespace tavi
