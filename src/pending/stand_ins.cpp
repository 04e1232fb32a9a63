// Stand-ins for the start… forms that are not on this branch yet: each runs the callback form on
// a thread of its own and delivers its outcome like a call on the engine (a cancel is reported,
// but does not stop the exchange). Remove this file when the real forms arrive.
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "net/call.hpp"
#include "tavi/device.hpp"
#include "tavi/service.hpp"

namespace tavi {
namespace {

template <class T>
CallHandle standIn(const CallOptions& options, Completion<T> completion,
                   std::function<Result<T>()> run) {
    auto state = detail::newCallState(options);
    state->bits.fetch_or(detail::CallState::sent);
    std::thread([state, completion = std::move(completion), run = std::move(run)]() mutable {
        std::optional<Result<T>> result;
        result.emplace(run());
        if (detail::endCall(*state))
            result.emplace(detail::cancelledError(detail::cancelledDelivery(*state)));
        auto shared = std::make_shared<Result<T>>(std::move(*result));
        detail::deliver(state, [completion, shared] {
            if (completion) completion(std::move(*shared));
        });
    }).detach();
    return CallHandle(state);
}

Error failed(const std::string& what) {
    Error e;
    e.domain = ErrorDomain::refusal;
    e.message = what;
    return e;
}

Error codeReason(const std::optional<std::string>& code, const std::optional<std::string>& reason) {
    Error e = failed("refused");
    e.errorCode = code;
    e.errorReason = reason;
    return e;
}

}  // namespace

CallHandle TaviApiService::startValidateCardNum(
    const std::string& sessionKey, const std::string& bankKi, const std::string& publicKey,
    const std::string& txnId, const std::string& cardNumber, const std::string& bic,
    const std::string& bankName, Completion<ValidateCardNumResponse> completion,
    const CallOptions& options) {
    return standIn<ValidateCardNumResponse>(options, std::move(completion), [=, this] {
        std::optional<Result<ValidateCardNumResponse>> out;
        validateCardNumAsync(
            sessionKey, bankKi, publicKey, txnId, cardNumber, bic, bankName,
            [&](const ValidateCardNumResponse& r) { out.emplace(r); },
            [&](const Error& e) { out.emplace(e); });
        return out ? std::move(*out) : Result<ValidateCardNumResponse>(failed("no outcome"));
    });
}

CallHandle TaviApiService::startWebUrl(const std::string& transactionType,
                                       const std::string& txnId,
                                       const std::string& paymentInstrumentType,
                                       const std::string& bic, const std::string& sessionKey,
                                       Completion<std::string> completion,
                                       const CallOptions& options) {
    return standIn<std::string>(options, std::move(completion), [=, this] {
        std::optional<Result<std::string>> out;
        webUrlRequestAsync(
            transactionType, txnId, paymentInstrumentType, bic, sessionKey,
            [&](const std::string& url) { out.emplace(url); },
            [&](const Error& e) { out.emplace(e); });
        return out ? std::move(*out) : Result<std::string>(failed("no outcome"));
    });
}

CallHandle TaviApiService::startRegisterCardDetail(
    const std::string& txnId, const std::string& transactionType, const std::string& bic,
    const std::optional<std::string>& accountNo, const std::string& bankKi,
    const std::string& sessionKey, const std::string& cardNumber, const std::string& expiryMonth,
    const std::string& expiryYear, const std::string& cvv, const std::string& publicKey,
    Completion<CardRegistration> completion, const CallOptions& options) {
    return standIn<CardRegistration>(options, std::move(completion), [=, this] {
        std::optional<Result<CardRegistration>> out;
        registerCardDetailRequest(
            txnId, transactionType, bic, accountNo, bankKi, sessionKey, cardNumber, expiryMonth,
            expiryYear, cvv, publicKey,
            [&](bool ok, const std::string& code) { out.emplace(CardRegistration{ok, code}); },
            [&](const Error& e) { out.emplace(e); });
        return out ? std::move(*out) : Result<CardRegistration>(failed("no outcome"));
    });
}

CallHandle TaviApiService::startSubmitCredential(
    const std::string& txnId, const std::string& transactionType, const std::string& credType,
    const std::string& credValue, const std::string& bankKi, const std::string& publicKey,
    const std::string& sessionKey, Completion<Accepted> completion, const CallOptions& options) {
    return standIn<Accepted>(options, std::move(completion), [=, this] {
        std::optional<Result<Accepted>> out;
        createCredentialSubmissionRequest(
            txnId, transactionType, credType, credValue, bankKi, publicKey, sessionKey,
            [&](bool) { out.emplace(Accepted{}); },
            [&](bool) { out.emplace(failed("the credential was not accepted")); });
        return out ? std::move(*out) : Result<Accepted>(failed("no outcome"));
    });
}

CallHandle TaviApiService::startFetchOtpChallenge(
    const std::string& transactionType, const std::string& txnId,
    const std::string& paymentInstrumentType, const std::string& bic,
    const std::string& sessionKey, const std::optional<std::string>& action,
    Completion<OtpChallenge> completion, const CallOptions& options) {
    return standIn<OtpChallenge>(options, std::move(completion), [=, this] {
        std::optional<Result<OtpChallenge>> out;
        createFetchOtpChallengeRequest(
            transactionType, txnId, paymentInstrumentType, bic, sessionKey, action,
            [&](const std::string& r, const std::string& c, const std::string& e,
                const std::string& a) { out.emplace(OtpChallenge{r, c, e, a}); },
            [&](const std::optional<std::string>& c, const std::optional<std::string>& r) {
                out.emplace(codeReason(c, r));
            });
        return out ? std::move(*out) : Result<OtpChallenge>(failed("no outcome"));
    });
}

CallHandle TaviApiService::startOtpStatus(const std::string& txnId, Completion<OtpStatus> completion,
                                          const CallOptions& options) {
    return standIn<OtpStatus>(options, std::move(completion), [=, this] {
        std::optional<Result<OtpStatus>> out;
        checkOtpStatus(txnId, [&](const std::string& s) {
            out.emplace(s == "retry" ? OtpStatus::pending : OtpStatus::settled);
        });
        return out ? std::move(*out) : Result<OtpStatus>(failed("no outcome"));
    });
}

CallHandle TaviApiService::startValidateOtp(
    const std::string& txnId, const std::string& transactionType, const std::string& credValue,
    const std::string& bankKi, const std::string& publicKey, const std::string& sessionKey,
    const std::string& action, const std::string& bic, const std::string& referenceid,
    Completion<Accepted> completion, const CallOptions& options) {
    return standIn<Accepted>(options, std::move(completion), [=, this] {
        std::optional<Result<Accepted>> out;
        createValidateOtpRequest(
            txnId, transactionType, credValue, bankKi, publicKey, sessionKey, action, bic,
            referenceid, [&](bool) { out.emplace(Accepted{}); },
            [&](const std::optional<std::string>& c, const std::optional<std::string>& r) {
                out.emplace(codeReason(c, r));
            });
        return out ? std::move(*out) : Result<Accepted>(failed("no outcome"));
    });
}

CallHandle TaviApiService::startCheckRegistration(const std::string& mobile,
                                                  Completion<RegistrationStatus> completion,
                                                  const CallOptions& options) {
    return standIn<RegistrationStatus>(options, std::move(completion), [=] {
        std::optional<Result<RegistrationStatus>> out;
        TaviUtils::getCheckDeviceRegistered(mobile, [&](bool registered) {
            out.emplace(registered ? RegistrationStatus::registered
                                   : RegistrationStatus::notRegistered);
        });
        return out ? std::move(*out) : Result<RegistrationStatus>(failed("no outcome"));
    });
}

CallHandle DeviceRegistrationController::startRegisterDevice(
    const std::string& sessionKey, const std::string& mobileNumber, const std::string& txnID,
    const std::string& appId, Completion<Accepted> completion, const CallOptions& options) const {
    return standIn<Accepted>(options, std::move(completion), [=, this] {
        std::optional<Result<Accepted>> out;
        startDeviceRegistration(
            true, sessionKey, mobileNumber, txnID, appId,
            [&](const std::string&) { out.emplace(Accepted{}); },
            [&](const Error& e) { out.emplace(e); });
        return out ? std::move(*out) : Result<Accepted>(failed("no outcome"));
    });
}

}  // namespace tavi
