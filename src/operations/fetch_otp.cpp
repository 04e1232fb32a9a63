// OTP challenge fetch: asks the server for a one-time-password challenge for a transaction and
// hands the host the reference to validate it under, the challenge code, its expiry and action.
// Every failure other than the server's own refusal reaches a callback host as "Exception
// Occured" twice.

#include <optional>
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "operations/steps.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/fetch-otp-challenge-code";
constexpr const char* kDefaultAction = "PURCHASE";

/// One call's arguments, kept together so that a re-issue repeats them exactly. The session key
/// argument is not among them: it never goes into a request.
using FetchOtpArgs = FetchOtpChallengeRequest;

/// One attempt: a whole new sealed request. Re-issues when the answer's key cannot be recovered
/// or the payload does not decrypt.
detail::Task<detail::Attempted<OtpChallenge>> attempt(const FetchOtpArgs& call) {
    auto sealed =
        detail::beginSealedRequest(detail::serverKeyOptions(call.transactionType, call.txnId));
    if (!sealed) co_return sealed.error();
    const detail::SealedRequest& request = sealed.value();

    OtpFetchRetrievalPayload payload;
    payload.action = call.action.value_or(kDefaultAction);
    payload.paymentInstrument = PaymentInstrument{call.paymentInstrumentType, call.bic};
    payload.deviceInfo = request.deviceInfo;
    detail::diagRecord(payload);

    auto responseStep = detail::postAndDecode<EncryptionFetchOtpRetrievalResponse>(
        kEndpoint, detail::sealedBody<EncryptionOtpFetchRetrievalRequest>(
                       request, payload, /*logEncryptedLength=*/true));
    auto response = co_await responseStep;
    if (!response) co_return response.error();
    const CommonResponse& header = response.value().commonResponse;
    if (!header.success) co_return detail::refusalError(header);

    auto opened = detail::openWithStoredKey(
        request, header, response.value().fetchOtpCodeResponsePayloadEnc, {});
    auto* text = std::get_if<std::string>(&opened);
    if (text == nullptr) co_return detail::notOpened<OtpChallenge>(std::move(opened));

    detail::diag(*text);
    auto decoded = detail::decodeText<FetchOtpRetrievalResponsePayload>(*text);
    if (!decoded) co_return ApiServiceError::decodingError(decoded.error());
    FetchOtpRetrievalResponsePayload& p = decoded.value();
    detail::diagRecord(p);
    if (!p.referenceId || !p.otpChallengeCode || !p.otpExpiry || !p.action) {
        co_return detail::clientError(ClientErrorCode::responseUnreadable,
                                      "the answer lacks referenceId, otpChallengeCode, otpExpiry "
                                      "or action");
    }
    co_return OtpChallenge{std::move(*p.referenceId), std::move(*p.otpChallengeCode),
                           std::move(*p.otpExpiry), std::move(*p.action)};
}

detail::Task<Result<OtpChallenge>> fetchOtpCall(FetchOtpArgs call) {
    return detail::reissuingCall(std::move(call), "fetchOtpChallenge",
                                 detail::Resend::neverAfterSending,
                                 [](const FetchOtpArgs& c) { return attempt(c); });
}

}  // namespace

namespace detail {
Task<Result<OtpChallenge>> run(FetchOtpChallengeRequest request) {
    return fetchOtpCall(std::move(request));
}
}  // namespace detail

void TaviApiService::createFetchOtpChallengeRequest(
    const std::string& transactionType, const std::string& txnId,
    const std::string& paymentInstrumentType, const std::string& bic,
    const std::string& sessionKey, const std::optional<std::string>& action,
    std::function<void(const std::string& referenceId, const std::string& otpChallengeCode,
                       const std::string& otpExpiry, const std::string& action)>
        success,
    CodeReasonCallback failure) {
    const detail::OperationScope scope;
    auto result =
        detail::runHere(fetchOtpCall({transactionType, txnId, paymentInstrumentType, bic, sessionKey, action}));
    if (!result) return detail::deliverCodeReason(result.error(), failure);
    const OtpChallenge& c = result.value();
    if (success) success(c.referenceId, c.otpChallengeCode, c.otpExpiry, c.action);
}

Result<OtpChallenge> TaviApiService::fetchOtpChallenge(const std::string& transactionType,
                                                       const std::string& txnId,
                                                       const std::string& paymentInstrumentType,
                                                       const std::string& bic,
                                                       const std::string& sessionKey,
                                                       const std::optional<std::string>& action,
                                                       const CallOptions& options) {
    return detail::runBlocking(
        fetchOtpCall({transactionType, txnId, paymentInstrumentType, bic, sessionKey, action}), options);
}

CallHandle TaviApiService::startFetchOtpChallenge(const std::string& transactionType,
                                                  const std::string& txnId,
                                                  const std::string& paymentInstrumentType,
                                                  const std::string& bic,
                                                  const std::string& sessionKey,
                                                  const std::optional<std::string>& action,
                                                  Completion<OtpChallenge> completion,
                                                  const CallOptions& options) {
    return detail::startCall(
        fetchOtpCall({transactionType, txnId, paymentInstrumentType, bic, sessionKey, action}), options,
        std::move(completion));
}

}  // namespace tavi
