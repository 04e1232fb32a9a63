// OTP challenge fetch: asks the server for a one-time-password challenge for a transaction and
// hands the host the reference to validate it under, the challenge code, its expiry and action.
// Every failure other than the server's own refusal reaches the host as "Exception Occured" twice.

#include <optional>
#include <string>
#include <utility>

#include "core/internal.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "operations/sealed.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/fetch-otp-challenge-code";
constexpr const char* kException = "Exception Occured";
constexpr const char* kDefaultAction = "PURCHASE";

using SuccessCallback =
    std::function<void(const std::string& referenceId, const std::string& otpChallengeCode,
                       const std::string& otpExpiry, const std::string& action)>;

/// One call's arguments, kept together so that a re-issue repeats them exactly.
struct FetchOtpCall {
    TaviApiService& service;
    const std::string& transactionType;
    const std::string& txnId;
    const std::string& paymentInstrumentType;
    const std::string& bic;
    const std::string& sessionKey;
    const std::optional<std::string>& action;
    const SuccessCallback& success;
    const TaviApiService::CodeReasonCallback& failure;
};

void reportException(const FetchOtpCall& call) {
    if (call.failure) call.failure(std::string(kException), std::string(kException));
}

void fetchOtpAttempt(const FetchOtpCall& call, int attempt);

/// Opens a decodable, successful answer and calls the host; re-issues when the answer's key
/// cannot be recovered or the payload does not decrypt.
void openAnswer(const FetchOtpCall& call, int attempt, const detail::SealedRequest& request,
                const EncryptionFetchOtpRetrievalResponse& response) {
    const auto opened = detail::openWithServerKey(request, response.commonResponse,
                                                  response.fetchOtpCodeResponsePayloadEnc, {});
    if (opened.outcome == detail::OpenOutcome::reissue) {
        if (attempt >= detail::kMaxAttempts) {
            reportException(call);
            return;
        }
        fetchOtpAttempt(call, attempt + 1);
        return;
    }
    if (opened.outcome != detail::OpenOutcome::opened) {
        reportException(call);
        return;
    }

    detail::diag(opened.text);
    auto payload = detail::decodeText<FetchOtpRetrievalResponsePayload>(opened.text);
    if (!payload) {
        reportException(call);
        return;
    }
    const auto& p = payload.value();
    detail::diagRecord(p);
    if (!p.referenceId || !p.otpChallengeCode || !p.otpExpiry || !p.action) {
        reportException(call);
        return;
    }
    if (call.success) call.success(*p.referenceId, *p.otpChallengeCode, *p.otpExpiry, *p.action);
}

void fetchOtpAttempt(const FetchOtpCall& call, int attempt) {
    auto request =
        detail::beginSealedRequest(detail::serverKeyOptions(call.transactionType, call.txnId));
    if (!request) {
        reportException(call);
        return;
    }

    OtpFetchRetrievalPayload payload;
    payload.action = call.action.value_or(kDefaultAction);
    payload.paymentInstrument = PaymentInstrument{call.paymentInstrumentType, call.bic};
    payload.deviceInfo = request.value().deviceInfo;
    detail::diagRecord(payload);

    auto encoded = detail::sealedBody<EncryptionOtpFetchRetrievalRequest>(
        request.value(), payload, /*logEncryptedLength=*/true);
    if (!encoded) {
        reportException(call);
        return;
    }

    call.service.performRequest(
        kEndpoint, "POST", {}, encoded.value(), {{"Content-Type", "application/json"}},
        [&](const Result<Bytes>& result) {
            if (!result) {
                reportException(call);
                return;
            }
            auto response = detail::decodeBody<EncryptionFetchOtpRetrievalResponse>(result.value());
            if (!response) {
                reportException(call);
                return;
            }
            const auto& header = response.value().commonResponse;
            if (!header.success) {
                if (call.failure) call.failure(header.errorCode, header.errorReason);
                return;
            }
            openAnswer(call, attempt, request.value(), response.value());
        });
}

}  // namespace

void TaviApiService::createFetchOtpChallengeRequest(
    const std::string& transactionType, const std::string& txnId,
    const std::string& paymentInstrumentType, const std::string& bic, const std::string& sessionKey,
    const std::optional<std::string>& action,
    std::function<void(const std::string& referenceId, const std::string& otpChallengeCode,
                       const std::string& otpExpiry, const std::string& action)>
        success,
    CodeReasonCallback failure) {
    const detail::OperationScope scope;
    if (detail::nonUTF8Text({{"transactionType", transactionType},
                             {"txnId", txnId},
                             {"paymentInstrumentType", paymentInstrumentType},
                             {"bic", bic},
                             {"action", action ? std::string_view(*action) : std::string_view(),
                              action.has_value()}})) {
        if (failure) failure(std::string(kException), std::string(kException));
        return;
    }
    const FetchOtpCall call{*this,  transactionType, txnId,  paymentInstrumentType, bic, sessionKey,
                            action, success,         failure};
    fetchOtpAttempt(call, 1);
}

}  // namespace tavi
