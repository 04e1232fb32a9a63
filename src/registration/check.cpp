// The registration check: false at once for an incomplete stored registration, otherwise the
// server's verdict on the stored registration, asked in a sealed request.

#include <functional>
#include <optional>
#include <string>

#include "operations/operations.hpp"
#include "core/internal.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "crypto/secret_ops.hpp"
#include "operations/steps.hpp"
#include "tavi/config.hpp"
#include "tavi/crypto.hpp"
#include "tavi/device.hpp"
#include "tavi/records.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"

namespace tavi {

namespace {

constexpr const char* kCheckEndPoint =
    "/kora-core/tavi-sdk/urn:apiver:1.0/check-device-registration";

Error checkNotMade(long code, const char* why) {
    Error error = detail::clientError(code, why);
    error.delivery = RequestDelivery::notSent;
    return error;
}

/// The session values the check reads, by their place in its one read. (At namespace scope: GCC 12
/// crashes on a type declared inside a coroutine's body when it builds debug information for
/// the sanitizer build.)
enum SessionValue { taviKey, pspId, taviId, deviceId, imei1, imei2 };

/// The check: not registered at once for an incomplete stored registration, otherwise the
/// server's verdict, asked in a sealed request.
detail::Task<Result<RegistrationStatus>> checkCall(std::string mobile) {
    detail::noteOperation("checkDeviceRegistered", {}, detail::Resend::neverAfterSending);
    // A device never registered reads nothing but the flag; a registered one reads the whole
    // session in one read, so that every value comes from the same registration.
    if (SessionManager::getIsRegistered() != std::optional<bool>(true))
        co_return RegistrationStatus::notRegistered;
    detail::AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;
    const auto session = KeychainManager::getPreferences(
        {SessionManager::taviKey, SessionManager::pspId, SessionManager::taviId,
         SessionManager::deviceId, SessionManager::imei1, SessionManager::imei2});
    if (!session[taviKey] || session[taviKey]->empty()) co_return RegistrationStatus::notRegistered;

    const PKIEncryptionDecryptionUtils pki;
    auto aesKey = detail::newAes256Key();
    if (!aesKey) {
        co_return checkNotMade(ClientErrorCode::randomSourceFailed,
                               "the secure random source could not supply a request key");
    }
    // A stored key that is not an RSA public key wraps nothing.
    const auto wrapped = detail::wrapKey(*aesKey, pki.convertToBase64Format(*session[taviKey]));
    const std::string symmetricKey = wrapped ? *wrapped : std::string();
    if (symmetricKey.empty()) {
        co_return checkNotMade(ClientErrorCode::invalidKey,
                               "the stored server key is not a usable RSA public key");
    }

    const auto& pspIdValue = session[pspId];
    const auto& taviIdValue = session[taviId];
    const auto& deviceIdValue = session[deviceId];
    if (!pspIdValue || !taviIdValue || !deviceIdValue) co_return RegistrationStatus::notRegistered;
    const std::string appId = detail::configuration().appId;
    const std::string msgId = detail::newUUID();
    detail::noteMsgId(msgId);
    const auto& imei1Value = session[imei1];
    const auto& imei2Value = session[imei2];
    if (!imei1Value || !imei2Value) co_return RegistrationStatus::notRegistered;
    // Text that is not UTF-8 cannot be encoded into the request: nothing is sent. (The store
    // itself hands out only UTF-8 values.)
    if (auto refused = detail::nonUTF8Text({{"mobile", mobile}})) co_return *refused;
    if (auto refused = detail::nonUTF8Text({{"appId", appId}}, "configuration value"))
        co_return *refused;

    CredentialKeysRetrievalPayload payload;
    payload.paymentInstrument = PaymentInstrument{"ACCOUNT", std::nullopt};
    payload.deviceInfo =
        DeviceInfo{*deviceIdValue, appId, *imei1Value, *imei2Value, mobile, *pspIdValue};
    payload.startDateTime = TaviUtils::getCurrentTimeInMillis();
    payload.resetCredentialCall = false;

    auto json = detail::encodePretty(payload);
    if (!json) {
        // Never an empty payload in place of the one that could not be encoded.
        detail::diag("Error encoding to JSON: " + json.error().description());
        co_return ApiServiceError::decodingError(json.error());
    }
    const auto sealed = detail::aesCtrEncrypt(json.value(), *aesKey);
    if (!sealed) {
        co_return checkNotMade(ClientErrorCode::encryptionFailed,
                               "the request payload could not be encrypted")
            .withUnderlying(sealed.error());
    }

    CheckDeviceRegistrationRequest request;
    request.commonRequest = CommonRequest{msgId,
                                          *pspIdValue,
                                          *taviIdValue,
                                          symmetricKey,
                                          std::string(rawValue(TransactionType::financialTxn)),
                                          std::nullopt};
    request.credentialKeysRetrievalPayloadEnc = pki.base64URLEncode(sealed.value());

    auto post = detail::postAndDecode<CheckDeviceRegistrationResponse>(
        kCheckEndPoint, detail::encodeRequestBody(request));
    auto response = co_await post;
    if (!response) co_return response.error();
    co_return response.value().commonResponse.success ? RegistrationStatus::registered
                                                      : RegistrationStatus::refused;
}

}  // namespace

namespace detail {
Task<Result<RegistrationStatus>> run(CheckRegistrationRequest request) {
    return checkCall(std::move(request.mobile));
}
}  // namespace detail

void TaviUtils::getCheckDeviceRegistered(const std::string& mobile,
                                         const std::function<void(bool)>& completion) {
    const detail::OperationScope scope;
    const auto status = detail::runHere(checkCall(mobile));
    if (completion) completion(status.ok() && status.value() == RegistrationStatus::registered);
}

Result<RegistrationStatus> TaviApiService::checkRegistration(const std::string& mobile,
                                                             const CallOptions& options) {
    return detail::runBlocking(checkCall(mobile), options);
}

CallHandle TaviApiService::startCheckRegistration(const std::string& mobile,
                                                  Completion<RegistrationStatus> completion,
                                                  const CallOptions& options) {
    return detail::startCall(checkCall(mobile), options, std::move(completion));
}

void TaviApiService::checkDeviceRegistrationAsync(
    const CheckDeviceRegistrationRequest& request,
    const std::function<void(const CheckDeviceRegistrationResponse&)>& success,
    const ErrorCallback& failure) {
    detail::deliverResult(detail::runHere(detail::postAndDecode<CheckDeviceRegistrationResponse>(
                              kCheckEndPoint, detail::encodeRequestBody(request))),
                          [&success](const CheckDeviceRegistrationResponse& response) {
                              if (success) success(response);
                          },
                          failure);
}

}  // namespace tavi
