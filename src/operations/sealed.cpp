// The sealed-request and sealed-response sequences shared by every sealed operation.
#include "operations/sealed.hpp"

#include <openssl/crypto.h>

#include <memory>
#include <utility>

#include "crypto/secret_ops.hpp"
#include "store/session.hpp"
#include "tavi/store.hpp"

namespace tavi::detail {

namespace {

Error missingValue(const char* name) {
    return clientError(
        ClientErrorCode::missingSessionValue,
        std::string("the registered session has no \"") + name + "\"; register the device first");
}

}  // namespace

Result<SealedRequest> beginSealedRequest(const SealedRequestOptions& options) {
    const PKIEncryptionDecryptionUtils utils;

    // No store, no session: the host hears why (path, reason, fix), not that a value is absent.
    if (auto store = installedStore(); !store) return store.error();

    // The whole session in one read, so that every value comes from the same registration.
    enum Value { deviceId, taviKey, pspId, taviId, appId, imei1, imei2, mobile };
    auto session = KeychainManager::getPreferences(
        {SessionManager::deviceId, SessionManager::taviKey, SessionManager::pspId,
         SessionManager::taviId, SessionManager::appId, SessionManager::imei1,
         SessionManager::imei2, SessionManager::mobile});
    auto take = [&session](Value v) { return std::move(session[v]).value_or(std::string()); };

    if (!session[deviceId] && options.deviceIdRequired)
        return missingValue(SessionManager::deviceId);

    auto aesKey = newAes256Key();
    if (!aesKey) {
        return clientError(ClientErrorCode::randomSourceFailed,
                           "the secure random source could not supply a request key");
    }
    SealedRequest request;
    request.aesKey = std::move(*aesKey);

    std::string wrappingKey;
    if (options.wrapKey == WrapKey::storedServerKey) {
        if (!session[taviKey]) return missingValue(SessionManager::taviKey);
        wrappingKey = utils.convertToBase64Format(*session[taviKey]);
    } else {
        wrappingKey = utils.convertToBase64Format(options.sessionKey);
    }
    auto wrapped = wrapKey(request.aesKey, wrappingKey);
    std::string symmetricKey = wrapped ? std::move(*wrapped) : std::string();
    if (symmetricKey.empty()) {
        return clientError(ClientErrorCode::invalidKey,
                           options.wrapKey == WrapKey::storedServerKey
                               ? "the stored server key is not a usable RSA public key"
                               : "the session key is not a usable RSA public key");
    }

    request.header.msgId = options.msgId ? *options.msgId : newUUID();
    noteMsgId(request.header.msgId);
    request.header.pspIdentifier = session[pspId].value_or(std::string());
    request.header.taviIdentifier = take(taviId);
    request.header.symmetricKey = std::move(symmetricKey);
    request.header.transactionType = options.transactionType;
    request.header.txnId = options.txnId;

    request.deviceInfo.deviceId = take(deviceId);
    request.deviceInfo.appId = take(appId);
    request.deviceInfo.imei1 = take(imei1);
    request.deviceInfo.imei2 = take(imei2);
    request.deviceInfo.mobileNo = take(mobile);
    request.deviceInfo.pspIdentifier = take(pspId);
    request.serverKey = std::move(session[taviKey]);
    return request;
}

Result<std::string> sealPayloadText(const SealedRequest& request, const std::string& jsonText,
                                    bool logEncryptedLength) {
    const PKIEncryptionDecryptionUtils utils;
    auto encrypted = aesCtrEncrypt(jsonText, request.aesKey);
    if (!encrypted) {
        return clientError(ClientErrorCode::encryptionFailed,
                           "the request payload could not be encrypted")
            .withUnderlying(encrypted.error());
    }
    const Bytes& bytes = encrypted.value();
    if (logEncryptedLength && diagnosticsOn()) diag("Optional(" + std::to_string(bytes.size()) + " bytes)");
    return utils.convertToBase64UrlFormat(base64Encode(bytes));
}

Error refusalError(const CommonResponse& header) {
    Error error = Error::inDomain(
        ErrorDomain::refusal, 0,
        "the server refused the request (errorCode: " +
            (header.errorCode ? quoted(*header.errorCode) : std::string("nil")) +
            ", errorReason: " +
            (header.errorReason ? quoted(*header.errorReason) : std::string("nil")) + ")");
    error.errorCode = header.errorCode;
    error.errorReason = header.errorReason;
    return error;
}

Error retryLimitError(const std::string& operation) {
    return clientError(ClientErrorCode::retryLimitReached,
                       operation + ": the answer's key could not be recovered after " +
                           std::to_string(kMaxAttempts) + " attempts");
}

}  // namespace tavi::detail
