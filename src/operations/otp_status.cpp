// One poll of an OTP's status: "retry" while the server reports the transaction pending.
#include <string>
#include <utility>

#include "operations/operations.hpp"
#include "core/http.hpp"
#include "operations/steps.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kTxnStatusEndpoint =
    "/mpgs/txn-status?txnId={txnId}&txnStatusFlagEnum=IS_OTP_VERIFIED";

std::string replaceAll(std::string text, const std::string& placeholder, const std::string& value) {
    std::string::size_type at = 0;
    while ((at = text.find(placeholder, at)) != std::string::npos) {
        text.replace(at, placeholder.size(), value);
        at += value.size();
    }
    return text;
}

// Pending only while the server reports the transaction "PENDING"; an answer that is not a JSON
// object with a text "txnStatus" cannot be read.
Result<OtpStatus> statusFromAnswer(const detail::Answer& answer) {
    if (const auto status = detail::textAt(answer.body, {"txnStatus"})) {
        return *status == "PENDING" ? OtpStatus::pending : OtpStatus::settled;
    }
    Error decoding{ErrorDomain::decoding, 0, "the answer carries no text \"txnStatus\"", nullptr,
                   std::nullopt, std::nullopt};
    return detail::undecodableAnswer(std::move(decoding), answer);
}

detail::Task<Result<OtpStatus>> otpStatusCall(std::string txnId) {
    detail::noteOperation("checkOtpStatus", txnId, detail::Resend::neverAfterSending);
    if (auto refused = detail::nonUTF8Text({{"txnId", txnId}})) co_return *refused;
    detail::AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;
    // The txnId is one query value: percent-encoded, so that the server receives exactly it.
    auto exchange = detail::sendRequest(
        replaceAll(kTxnStatusEndpoint, "{txnId}", detail::percentEncode(txnId)), "GET", {},
        std::nullopt, {});
    auto answer = co_await exchange;
    if (!answer) co_return answer.error();
    co_return statusFromAnswer(answer.value());
}

}  // namespace

namespace detail {
Task<Result<OtpStatus>> run(CheckOtpStatusRequest request) {
    return otpStatusCall(std::move(request.txnId));
}
}  // namespace detail

void TaviApiService::checkOtpStatus(const std::string& txnId,
                                    std::function<void(const std::string& status)> status) {
    const detail::OperationScope scope;
    const auto result = detail::runHere(otpStatusCall(txnId));
    const bool pending = result.ok() && result.value() == OtpStatus::pending;
    if (status) status(pending ? "retry" : "stop");
}

Result<OtpStatus> TaviApiService::otpStatus(const std::string& txnId, const CallOptions& options) {
    return detail::runBlocking(otpStatusCall(txnId), options);
}

CallHandle TaviApiService::startOtpStatus(const std::string& txnId,
                                          Completion<OtpStatus> completion,
                                          const CallOptions& options) {
    return detail::startCall(otpStatusCall(txnId), options, std::move(completion));
}

}  // namespace tavi
