// The registration check: false at once for an incomplete stored registration, otherwise the
// server's verdict on the stored registration, asked in a sealed request.

#include <openssl/crypto.h>

#include <functional>
#include <optional>
#include <string>

#include "core/internal.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "operations/sealed.hpp"
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

/// Clears the request's AES key text when the check is done with it.
class WipedText {
  public:
    explicit WipedText(std::string& text) : text_(text) {}
    ~WipedText() {
        if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
    }
    WipedText(const WipedText&) = delete;
    WipedText& operator=(const WipedText&) = delete;

  private:
    std::string& text_;
};

/// The check's steps; `answer` is called exactly once on every path.
void checkRegistration(const std::string& mobile, const std::function<void(bool)>& answer) {
    if (SessionManager::getIsRegistered() != std::optional<bool>(true)) return answer(false);
    const auto taviKey = SessionManager::getTaviKey();
    if (!taviKey || taviKey->empty()) return answer(false);

    const PKIEncryptionDecryptionUtils pki;
    auto aesKey = pki.generateAES256Base64Key();
    if (!aesKey) return answer(false);
    const WipedText wipeKey(*aesKey);
    // A stored key that is not an RSA public key wraps nothing.
    const std::string symmetricKey =
        pki.encryptBase64(*aesKey, pki.convertToBase64Format(*taviKey));
    if (symmetricKey.empty()) return answer(false);

    const auto pspId = SessionManager::getPspId();
    if (!pspId) return answer(false);
    const auto taviId = SessionManager::getTaviId();
    if (!taviId) return answer(false);
    const auto deviceId = SessionManager::getDeviceId();
    if (!deviceId) return answer(false);
    const std::string appId = AppConstantTAVI::shared().appId;
    const std::string msgId = detail::newUUID();
    const auto imei1 = SessionManager::getImei1();
    const auto imei2 = SessionManager::getImei2();
    if (!imei1 || !imei2) return answer(false);
    // Text that is not UTF-8 cannot be encoded into the request: nothing is sent. (The store
    // itself hands out only UTF-8 values.)
    if (detail::nonUTF8Text({{"mobile", mobile}}) ||
        detail::nonUTF8Text({{"appId", appId}}, "configuration value")) {
        return answer(false);
    }

    CredentialKeysRetrievalPayload payload;
    payload.paymentInstrument = PaymentInstrument{"ACCOUNT", std::nullopt};
    payload.deviceInfo = DeviceInfo{*deviceId, appId, *imei1, *imei2, mobile, *pspId};
    payload.startDateTime = TaviUtils::getCurrentTimeInMillis();
    payload.resetCredentialCall = false;

    std::string json;
    if (auto text = detail::encodePretty(payload)) {
        json = std::move(text.value());
    } else {
        // Never an empty payload in place of the one that could not be encoded.
        detail::diag("Error encoding to JSON: " + text.error().description());
        return answer(false);
    }
    const auto sealed = pki.encryptAES256CTR(json, *aesKey);
    if (!sealed || sealed.value().empty()) return answer(false);

    CheckDeviceRegistrationRequest request;
    request.commonRequest = CommonRequest{msgId,
                                          *pspId,
                                          *taviId,
                                          symmetricKey,
                                          std::string(rawValue(TransactionType::financialTxn)),
                                          std::nullopt};
    request.credentialKeysRetrievalPayloadEnc = pki.base64URLEncode(sealed.value());

    TaviApiService service;
    service.checkDeviceRegistrationAsync(
        request,
        [&](const CheckDeviceRegistrationResponse& response) {
            answer(response.commonResponse.success);
        },
        [&](const Error&) { answer(false); });
}

}  // namespace

void TaviUtils::getCheckDeviceRegistered(const std::string& mobile,
                                         const std::function<void(bool)>& completion) {
    const detail::OperationScope scope;
    bool answered = false;
    checkRegistration(mobile, [&](bool registered) {
        if (answered) return;
        answered = true;
        if (completion) completion(registered);
    });
}

void TaviApiService::checkDeviceRegistrationAsync(
    const CheckDeviceRegistrationRequest& request,
    const std::function<void(const CheckDeviceRegistrationResponse&)>& success,
    const ErrorCallback& failure) {
    const auto body = detail::encodeRequestBody(request);
    if (!body) {
        if (failure) failure(body.error());
        return;
    }
    performRequest(kCheckEndPoint, "POST", {}, body.value(), {{"Content-Type", "application/json"}},
                   [&](const Result<Bytes>& result) {
                       if (!result) {
                           if (failure) failure(result.error());
                           return;
                       }
                       const auto decoded =
                           detail::decodeBody<CheckDeviceRegistrationResponse>(result.value());
                       if (!decoded) {
                           if (failure) failure(ApiServiceError::decodingError(decoded.error()));
                           return;
                       }
                       if (success) success(decoded.value());
                   });
}

}  // namespace tavi
