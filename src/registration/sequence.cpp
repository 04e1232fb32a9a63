// Registration of the device and its user: the SMS registration transaction, then the sealed
// registration request whose answer carries the PSP identifier and the server's key text. The
// identifiers made here and the values received are kept in the secure store.
//
// The session is replaced whole or not at all: an attempt keeps its identifiers to itself until
// the answer has been opened and both the PSP identifier and the key recovered, and then writes
// all eight values in one store transaction. A refusal, a failed exchange, a write the store
// cannot make or a kill at any point leaves the previous session exactly as it was. One
// registration at a time writes a store: the others wait for it (bounded), across threads and
// processes.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "operations/operations.hpp"
#include "core/internal.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "crypto/secret_ops.hpp"
#include "operations/steps.hpp"
#include "store/session.hpp"
#include "tavi/config.hpp"
#include "tavi/crypto.hpp"
#include "tavi/device.hpp"
#include "tavi/records.hpp"
#include "tavi/service.hpp"
#include "tavi/store.hpp"

namespace tavi {

namespace {

constexpr const char* kSmsEndPoint = "/kora-core/kora-sms/urn:apiver:1.0/user-registration-txn";
constexpr const char* kRegistrationEndPoint =
    "/kora-core/tavi-sdk/urn:apiver:1.0/user-registration";

/// How long a registration waiting for another one on the same store sleeps between tries.
constexpr std::chrono::milliseconds kLockPoll{10};

using RegistrationArgs = RegisterDeviceRequest;

/// The identifiers an attempt made, kept apart from the store until its answer is in.
struct PendingSession {
    std::string taviId;
    std::string imei1;
    std::string imei2;
    std::string deviceId;
};

std::optional<Error> refusedArguments(const RegistrationArgs& call) {
    auto refused = detail::nonUTF8Text({{"sessionKey", call.sessionKey},
                                        {"mobileNumber", call.mobileNumber},
                                        {"txnID", call.txnID},
                                        {"appId", call.appId}});
    if (!refused)
        refused = detail::nonUTF8Text({{"pspOrgId", detail::configuration().pspOrgId}},
                                      "configuration value");
    return refused;
}

/// The SMS registration transaction: any answer will do.
detail::Task<Result<Bytes>> smsStep(UserRegistrationTxnSMSRequest request) {
    auto exchange = detail::post(kSmsEndPoint, detail::encodeRequestBody(request));
    auto answer = co_await exchange;
    if (!answer) co_return answer.error();
    co_return std::move(answer.value().body);
}

/// The sealed registration request. A refusal that carries no payload is still a refusal, with
/// the server's reasons.
detail::Task<Result<TaviRegistrationResponse>> registrationStep(TaviRegistrationRequest request) {
    auto exchange = detail::post(kRegistrationEndPoint, detail::encodeRequestBody(request));
    auto answer = co_await exchange;
    if (!answer) co_return answer.error();
    auto decoded = detail::decodeBody<TaviRegistrationResponse>(answer.value().body);
    if (decoded) co_return std::move(decoded).value();
    const auto header = detail::decodeBody<CheckDeviceRegistrationResponse>(answer.value().body);
    if (header && !header.value().commonResponse.success)
        co_return detail::refusalError(header.value().commonResponse);
    co_return detail::undecodableAnswer(decoded.error(), answer.value());
}

/// The whole session in one write, "taviKey" last: a store without transactions writes it last,
/// so a session cut short there never looks complete.
Done saveSession(SecureStore& store, const RegistrationArgs& call,
                         const PendingSession& pending, const std::string& pspId,
                         const std::string& taviKey) {
    const std::pair<const char*, const std::string*> values[] = {
        {SessionManager::taviId, &pending.taviId},
        {SessionManager::imei1, &pending.imei1},
        {SessionManager::imei2, &pending.imei2},
        {SessionManager::appId, &call.appId},
        {SessionManager::mobile, &call.mobileNumber},
        {SessionManager::deviceId, &pending.deviceId},
        {SessionManager::pspId, &pspId},
        {SessionManager::taviKey, &taviKey},
    };
    std::vector<NamedItem> items;
    items.reserve(std::size(values));
    for (const auto& [name, value] : values) {
        if (!detail::isValidUTF8(*value)) {
            return SecureStore::statusFailure(KeychainStatus::invalidData,
                                            std::string("the value of \"") + name +
                                                "\" is not UTF-8 text");
        }
        StoreItem item;
        item.data.assign(value->begin(), value->end());
        items.push_back(NamedItem{name, std::move(item)});
    }
    return store.putAll(ItemClass::genericPassword, items);
}

/// Opens the registration answer and, when it carries the whole session, writes it.
Result<Accepted> openAndStore(const RegistrationArgs& call, const PendingSession& pending,
                              SecureStore& store, const TaviRegistrationResponse& answer,
                              bool& reissue) {
    const CommonResponse& header = answer.commonResponse;
    detail::diag("response.commonResponse.symmetricKey");
    detail::diag(detail::describeValue(header.symmetricKey));
    detail::diag("sessionKey");
    detail::diag(call.sessionKey);

    // A refusal is final: a new SMS would not change the server's verdict.
    if (!header.success) return detail::refusalError(header);
    if (!header.symmetricKey) {
        return detail::clientError(ClientErrorCode::responseUnreadable,
                                   "the registration answer has no symmetricKey");
    }

    const PKIEncryptionDecryptionUtils pki;
    const std::string encryptedKey = pki.convertToBase64Format(*header.symmetricKey);
    detail::diag(encryptedKey);
    detail::diag("encSymKeY");
    detail::diag(encryptedKey);

    const auto key = detail::recoverAnswerKey(encryptedKey, call.sessionKey);
    if (!key || key->size() < detail::kAes256KeyLength) {
        reissue = true;
        return Accepted{};
    }

    const auto payload = pki.base64URLDecode(answer.userRegistrationResponsePayloadEnc);
    if (!payload) {
        return detail::clientError(ClientErrorCode::responseUnreadable,
                                   "userRegistrationResponsePayloadEnc is not URL-safe base64");
    }
    const auto decrypted = detail::aesCtrDecrypt(*payload, *key);
    if (!decrypted) {
        Error error = detail::clientError(ClientErrorCode::responseUnreadable,
                                          "the registration answer could not be decrypted");
        error.underlying = std::make_shared<const Error>(decrypted.error());
        return error;
    }
    if (!decrypted.value()) {
        detail::diag("Invalid JSON string.", DiagnosticLevel::warning);
        detail::diagRecord(answer);
        return ApiServiceError::decodingError(
            detail::decodingFailure(detail::DecodingErrorCode::dataCorrupted,
                                    "The decrypted payload is not UTF-8 text."));
    }

    const auto decoded = detail::decodeText<UserRegistrationDecrpytedPayload>(*decrypted.value());
    if (!decoded) {
        detail::diag("Error decoding JSON: " + decoded.error().description(), DiagnosticLevel::warning);
        detail::diagRecord(answer);
        return ApiServiceError::decodingError(decoded.error());
    }
    const UserRegistrationDecrpytedPayload& values = decoded.value();
    if (detail::diagnosticsOn())
        detail::diag("PSP Identifier: " + values.pspIdentifier.value_or("N/A"));
    if (!values.pspIdentifier || !values.taviKey) {
        // Half a session is worse than none: nothing is stored.
        detail::diag("Tavi Key: " + values.taviKey.value_or("N/A"));
        detail::diagRecord(answer);
        const char* missing = values.pspIdentifier ? "taviKey" : "pspIdentifier";
        return ApiServiceError::decodingError(
            detail::decodingFailure(detail::DecodingErrorCode::keyNotFound,
                                    std::string("key not found: \"") + missing +
                                        "\" in UserRegistrationDecrpytedPayload"));
    }
    // From here a cancel is refused: the session is written whole, or the call had been
    // cancelled and nothing is written.
    if (!detail::beginCommit()) return detail::cancelledError(RequestDelivery::mayHaveBeenReceived);
    const Done saved = saveSession(store, call, pending, *values.pspIdentifier, *values.taviKey);
    if (detail::diagnosticsOn()) detail::diag("Tavi Key: " + *values.taviKey);
    detail::diagRecord(answer);
    if (!saved) return detail::storeWriteError("the registered session", saved.error());
    return Accepted{};
}

/// One attempt: a new SMS, new identifiers, a new key. Re-issued when the answer's key cannot
/// be recovered.
detail::Task<detail::Attempted<Accepted>> attempt(const RegistrationArgs& call,
                                                  SecureStore& store) {
    auto smsTask = smsStep(UserRegistrationTxnSMSRequest{call.mobileNumber, call.txnID});
    auto sms = co_await smsTask;
    if (!sms) co_return sms.error();
    detail::diag("success");

    auto aesKey = detail::newAes256Key();
    if (!aesKey) {
        co_return detail::clientError(ClientErrorCode::randomSourceFailed,
                                      "the secure random source failed");
    }
    const std::string registrationId = detail::newUUID();
    const std::string imei1 = detail::newUUID();
    const std::string imei2 = detail::newUUID();
    const auto deviceId = TaviUtils::getDeviceIdentifier();
    if (!deviceId) {
        co_return detail::clientError(ClientErrorCode::missingSessionValue,
                                      "the device has no identifier");
    }
    if (auto refused =
            detail::nonUTF8Text({{"deviceId", *deviceId}}, "device description value")) {
        co_return *refused;
    }

    // Nothing is stored yet: the server has not accepted these.
    const PendingSession pending{registrationId, imei1, imei2, *deviceId};

    const TaviRegistrationRequestPayload payload{
        registrationId,
        DeviceInfo{*deviceId, call.appId, imei1, imei2, call.mobileNumber, std::nullopt}};
    const auto json = detail::encodePretty(payload);
    if (!json) {
        detail::diag("Error encoding to JSON: " + json.error().description());
        co_return ApiServiceError::decodingError(json.error());
    }
    const auto sealed = detail::aesCtrEncrypt(json.value(), *aesKey);
    if (!sealed) {
        co_return detail::clientError(ClientErrorCode::encryptionFailed,
                                      "the registration payload could not be encrypted")
            .withUnderlying(sealed.error());
    }

    const auto wrapped = detail::wrapKey(*aesKey, call.sessionKey);
    if (!wrapped || wrapped->empty()) {
        co_return detail::clientError(ClientErrorCode::invalidKey,
                                      "the server key given to registration cannot wrap the "
                                      "request key (not an RSA public key)");
    }

    const PKIEncryptionDecryptionUtils pki;
    const std::string pspOrgId = detail::configuration().pspOrgId;
    const std::string msgId = detail::newUUID();
    detail::noteMsgId(msgId);
    auto registration = registrationStep(TaviRegistrationRequest{
        pspOrgId, call.txnID, msgId, pki.base64URLEncode(sealed.value()), *wrapped});
    auto answer = co_await registration;
    if (!answer) co_return answer.error();

    bool reissue = false;
    auto stored = openAndStore(call, pending, store, answer.value(), reissue);
    if (reissue) co_return detail::Reissue{};
    if (!stored) co_return stored.error();
    co_return Accepted{};
}

/// Registration: the store's lock (waiting, bounded, for another registration), then attempts
/// until one stores a whole session. The lock is let go of before the result is handed on, so
/// that a host may register again from inside its callback.
detail::Task<Result<Accepted>> registrationCall(RegistrationArgs call) {
    detail::noteOperation("registerDevice", call.txnID, detail::Resend::neverAfterSending);
    if (auto refused = refusedArguments(call)) co_return *refused;
    detail::AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;
    auto store = detail::installedStore();
    if (!store) co_return store.error();
    auto plan = detail::planRegistrationLockWait(store.value());
    if (!plan) co_return plan.error();
    const bool onCallingThread = detail::currentEngineCall() == nullptr;
    std::unique_ptr<detail::RegistrationLock> lock;
    for (;;) {
        auto tried = detail::tryLockForRegistration(store.value(), plan.value(), onCallingThread);
        if (!tried) co_return tried.error();
        if (tried.value()) {
            lock = std::move(tried).value();
            break;
        }
        if (std::chrono::steady_clock::now() >= plan.value().until) {
            co_return detail::registrationLockTimeout(plan.value());
        }
        detail::PauseStep pause(kLockPoll);
        const bool waited = co_await pause;
        if (!waited) co_return detail::cancelledError(RequestDelivery::notSent);
    }
    SecureStore& target = *store.value();
    auto attempts = detail::withReissues<Accepted>(
        "registration", [&call, &target](int) { return attempt(call, target); });
    Result<Accepted> result = co_await attempts;
    lock.reset();
    co_return result;
}

}  // namespace

namespace detail {
Task<Result<Accepted>> run(RegisterDeviceRequest request) {
    return registrationCall(std::move(request));
}
}  // namespace detail

void DeviceRegistrationController::startDeviceRegistration(
    bool success, const std::string& sessionKey, const std::string& mobileNumber,
    const std::string& txnID, const std::string& appId,
    const std::function<void(const std::string&)>& onSuccess,
    const std::function<void(const Error&)>& onError) const {
    if (!success) return;
    const detail::OperationScope scope;
    RegistrationArgs call{sessionKey, mobileNumber, txnID, appId};
    if (auto refused = refusedArguments(call)) {
        if (onError) onError(*refused);
        return;
    }
    const auto result = detail::runHere(registrationCall(std::move(call)));
    if (result) {
        if (onSuccess) onSuccess("done");
        return;
    }
    // The host hears of the error, then it is printed.
    if (onError) onError(result.error());
    detail::diag(result.error().description());
}

Result<Accepted> DeviceRegistrationController::registerDevice(const std::string& sessionKey,
                                                              const std::string& mobileNumber,
                                                              const std::string& txnID,
                                                              const std::string& appId,
                                                              const CallOptions& options) const {
    return detail::runBlocking(registrationCall({sessionKey, mobileNumber, txnID, appId}),
                               options);
}

CallHandle DeviceRegistrationController::startRegisterDevice(
    const std::string& sessionKey, const std::string& mobileNumber, const std::string& txnID,
    const std::string& appId, Completion<Accepted> completion, const CallOptions& options) const {
    return detail::startCall(registrationCall({sessionKey, mobileNumber, txnID, appId}), options,
                             std::move(completion));
}

void TaviApiService::mockSmsRequestAsync(const UserRegistrationTxnSMSRequest& request,
                                         const std::function<void(const Bytes&)>& success,
                                         const ErrorCallback& failure) {
    detail::deliverResult(
        detail::runHere(smsStep(request)),
        [&success](const Bytes& body) {
            if (success) success(body);
        },
        failure);
}

void TaviApiService::registerUserAsync(
    const TaviRegistrationRequest& request,
    const std::function<void(const TaviRegistrationResponse&)>& success,
    const ErrorCallback& failure) {
    detail::deliverResult(
        detail::runHere(registrationStep(request)),
        [&success](const TaviRegistrationResponse& response) {
            if (success) success(response);
        },
        failure);
}

}  // namespace tavi
