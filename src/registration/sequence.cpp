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

#include <openssl/crypto.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/internal.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "operations/sealed.hpp"
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

/// Attempts in all (the first run plus restarts) when the answer's key cannot be recovered; the
/// same bound as the re-issues of the sealed operations.
constexpr int kMaxRegistrationAttempts = detail::kMaxAttempts;
/// Length of the AES key the answer's payload is sealed with.
constexpr std::size_t kResponseKeyLength = 32;

/// Clears a secret held in a buffer when it goes out of scope.
template <class Buffer>
class Wiped {
  public:
    explicit Wiped(Buffer& buffer) : buffer_(buffer) {}
    ~Wiped() {
        if (!buffer_.empty()) OPENSSL_cleanse(buffer_.data(), buffer_.size());
    }
    Wiped(const Wiped&) = delete;
    Wiped& operator=(const Wiped&) = delete;

  private:
    Buffer& buffer_;
};

std::map<std::string, std::string> jsonHeaders() {
    return {{"Content-Type", "application/json"}};
}

/// The host's callbacks, each guarded so that exactly one of them runs once across all restarts.
/// The answer is kept until deliver(), which the first attempt calls once it has let go of the
/// store, so that a host may register again from inside its callback.
struct Outcome {
    const std::function<void(const std::string&)>& onSuccess;
    const std::function<void(const Error&)>& onError;
    bool answered = false;
    std::optional<std::string> result{};
    std::optional<Error> error{};

    void succeed(const std::string& value) {
        if (answered) return;
        answered = true;
        result = value;
    }
    void fail(const Error& failure) {
        if (answered) return;
        answered = true;
        error = failure;
    }
    /// The failure path of both exchanges: the host hears of the error, then it is printed.
    void deliver() {
        if (result) {
            if (onSuccess) onSuccess(*result);
        } else if (error) {
            if (onError) onError(*error);
            detail::diag(error->description());
        }
        result.reset();
        error.reset();
    }
};

/// The identifiers an attempt made, kept apart from the store until its answer is in.
struct PendingSession {
    std::string taviId;
    std::string imei1;
    std::string imei2;
    std::string deviceId;
};

/// The store registration writes to and the lock that makes it the only writer of a session
/// there; both are held from the first attempt until the last has answered.
struct RegistrationStore {
    std::shared_ptr<SecureStore> store;
    std::unique_ptr<detail::RegistrationLock> lock;
};

/// One attempt of the registration sequence. A restart runs a new attempt with the same arguments
/// and callbacks, nested in the completion of the attempt that restarts.
class RegistrationAttempt {
  public:
    RegistrationAttempt(const std::string& sessionKey, const std::string& mobileNumber,
                        const std::string& txnID, const std::string& appId, Outcome& outcome,
                        int attempt, RegistrationStore* target = nullptr)
        : sessionKey_(sessionKey),
          mobileNumber_(mobileNumber),
          txnID_(txnID),
          appId_(appId),
          outcome_(outcome),
          attempt_(attempt),
          target_(target) {}

    void run() {
        if (target_ != nullptr) return exchange();  // a restart, inside the first attempt
        // The first attempt finds the store and waits for its turn; it answers the host once the
        // store is free again.
        RegistrationStore held;
        if (auto store = detail::installedStore(); !store) {
            outcome_.fail(store.error());
        } else if (auto lock = detail::lockForRegistration(store.value()); !lock) {
            outcome_.fail(lock.error());
        } else {
            held.store = store.value();
            held.lock = std::move(lock).value();
            target_ = &held;
            exchange();
            target_ = nullptr;
            held = RegistrationStore{};
        }
        outcome_.deliver();
    }

  private:
    void exchange() {
        const UserRegistrationTxnSMSRequest request{mobileNumber_, txnID_};
        TaviApiService::shared().mockSmsRequestAsync(
            request, [this](const Bytes&) { sendRegistration(); },
            [this](const Error& error) { outcome_.fail(error); });
    }

    void sendRegistration() {
        detail::diag("success");
        const PKIEncryptionDecryptionUtils pki;

        auto aesKey = pki.generateAES256Base64Key();
        if (!aesKey) {
            return outcome_.fail(detail::clientError(ClientErrorCode::randomSourceFailed,
                                                     "the secure random source failed"));
        }
        const Wiped wipeKey(*aesKey);

        const std::string registrationId = detail::newUUID();
        const std::string imei1 = detail::newUUID();
        const std::string imei2 = detail::newUUID();
        const auto deviceId = TaviUtils::getDeviceIdentifier();
        if (!deviceId) {
            return outcome_.fail(detail::clientError(ClientErrorCode::missingSessionValue,
                                                     "the device has no identifier"));
        }
        if (auto refused =
                detail::nonUTF8Text({{"deviceId", *deviceId}}, "device description value")) {
            return outcome_.fail(*refused);
        }

        // Nothing is stored yet: the server has not accepted these.
        pending_ = PendingSession{registrationId, imei1, imei2, *deviceId};

        const TaviRegistrationRequestPayload payload{
            registrationId,
            DeviceInfo{*deviceId, appId_, imei1, imei2, mobileNumber_, std::nullopt}};
        const auto json = detail::encodePretty(payload);
        if (!json) {
            detail::diag("Error encoding to JSON: " + json.error().description());
            return outcome_.fail(ApiServiceError::decodingError(json.error()));
        }
        const auto sealed = pki.encryptAES256CTR(json.value(), *aesKey);
        if (!sealed) return outcome_.fail(sealed.error());

        const std::string symmetricKey = pki.encryptBase64(*aesKey, sessionKey_);
        if (symmetricKey.empty()) {
            return outcome_.fail(
                detail::clientError(ClientErrorCode::invalidKey,
                                    "the server key given to registration cannot wrap the "
                                    "request key (not an RSA public key)"));
        }

        const std::string pspOrgId = AppConstantTAVI::shared().pspOrgId;
        const std::string msgId = detail::newUUID();
        const TaviRegistrationRequest request{pspOrgId, txnID_, msgId,
                                              pki.base64URLEncode(sealed.value()), symmetricKey};
        TaviApiService::shared().registerUserAsync(
            request, [this](const TaviRegistrationResponse& answer) { openAnswer(answer); },
            [this](const Error& error) { outcome_.fail(error); });
    }

    void openAnswer(const TaviRegistrationResponse& answer) {
        const CommonResponse& header = answer.commonResponse;
        detail::diag("response.commonResponse.symmetricKey");
        detail::diag(detail::describeValue(header.symmetricKey));
        detail::diag("sessionKey");
        detail::diag(sessionKey_);

        // A refusal is final: a new SMS would not change the server's verdict.
        if (!header.success) return outcome_.fail(detail::refusalError(header));
        if (!header.symmetricKey) {
            return outcome_.fail(
                detail::clientError(ClientErrorCode::responseUnreadable,
                                    "the registration answer has no symmetricKey"));
        }

        const PKIEncryptionDecryptionUtils pki;
        const std::string encryptedKey = pki.convertToBase64Format(*header.symmetricKey);
        detail::diag(encryptedKey);
        detail::diag("encSymKeY");
        detail::diag(encryptedKey);

        auto keyText = pki.decryptWithPublicKey(encryptedKey, sessionKey_);
        if (!keyText) return restart();
        const Wiped wipeKeyText(*keyText);
        auto key = detail::base64DecodeStrict(*keyText);
        if (!key) return restart();
        const Wiped wipeKey(*key);
        if (key->size() < kResponseKeyLength) return restart();

        const auto payload = pki.base64URLDecode(answer.userRegistrationResponsePayloadEnc);
        if (!payload) {
            return outcome_.fail(
                detail::clientError(ClientErrorCode::responseUnreadable,
                                    "userRegistrationResponsePayloadEnc is not URL-safe base64"));
        }
        const auto decrypted = pki.decryptAES256CTR(*payload, *key);
        if (!decrypted) {
            Error error = detail::clientError(ClientErrorCode::responseUnreadable,
                                              "the registration answer could not be decrypted");
            error.underlying = std::make_shared<const Error>(decrypted.error());
            return outcome_.fail(error);
        }
        if (!decrypted.value()) {
            detail::diag("Invalid JSON string.");
            detail::diagRecord(answer);
            return outcome_.fail(ApiServiceError::decodingError(
                detail::decodingFailure(detail::DecodingErrorCode::dataCorrupted,
                                        "The decrypted payload is not UTF-8 text.")));
        }

        const auto decoded =
            detail::decodeText<UserRegistrationDecrpytedPayload>(*decrypted.value());
        if (!decoded) {
            detail::diag("Error decoding JSON: " + decoded.error().description());
            detail::diagRecord(answer);
            return outcome_.fail(ApiServiceError::decodingError(decoded.error()));
        }
        const UserRegistrationDecrpytedPayload& values = decoded.value();
        detail::diag("PSP Identifier: " + values.pspIdentifier.value_or("N/A"));
        if (!values.pspIdentifier || !values.taviKey) {
            // Half a session is worse than none: nothing is stored.
            detail::diag("Tavi Key: " + values.taviKey.value_or("N/A"));
            detail::diagRecord(answer);
            const char* missing = values.pspIdentifier ? "taviKey" : "pspIdentifier";
            return outcome_.fail(ApiServiceError::decodingError(
                detail::decodingFailure(detail::DecodingErrorCode::keyNotFound,
                                        std::string("key not found: \"") + missing +
                                            "\" in UserRegistrationDecrpytedPayload")));
        }
        const std::int32_t saved = saveSession(*values.pspIdentifier, *values.taviKey);
        detail::diag("Tavi Key: " + *values.taviKey);
        detail::diagRecord(answer);
        if (saved != KeychainStatus::success) {
            return outcome_.fail(detail::storeWriteError("the registered session", saved));
        }
        outcome_.succeed("done");
    }

    /// The whole session in one write, "taviKey" last: a store without transactions writes it
    /// last, so a session cut short there never looks complete.
    std::int32_t saveSession(const std::string& pspId, const std::string& taviKey) const {
        const std::pair<const char*, const std::string*> values[] = {
            {SessionManager::taviId, &pending_.taviId},
            {SessionManager::imei1, &pending_.imei1},
            {SessionManager::imei2, &pending_.imei2},
            {SessionManager::appId, &appId_},
            {SessionManager::mobile, &mobileNumber_},
            {SessionManager::deviceId, &pending_.deviceId},
            {SessionManager::pspId, &pspId},
            {SessionManager::taviKey, &taviKey},
        };
        std::vector<NamedItem> items;
        items.reserve(std::size(values));
        for (const auto& [name, value] : values) {
            if (!detail::isValidUTF8(*value)) return KeychainStatus::invalidData;
            StoreItem item;
            item.data.assign(value->begin(), value->end());
            items.push_back(NamedItem{name, std::move(item)});
        }
        return target_->store->replaceAll(ItemClass::genericPassword, items);
    }

    /// Starts the whole sequence again (new SMS, new identifiers, new key), up to the limit.
    void restart() const {
        if (attempt_ >= kMaxRegistrationAttempts) {
            return outcome_.fail(detail::retryLimitError("registration"));
        }
        RegistrationAttempt(sessionKey_, mobileNumber_, txnID_, appId_, outcome_, attempt_ + 1,
                            target_)
            .run();
    }

    const std::string& sessionKey_;
    const std::string& mobileNumber_;
    const std::string& txnID_;
    const std::string& appId_;
    Outcome& outcome_;
    int attempt_;
    RegistrationStore* target_;
    PendingSession pending_;
};

}  // namespace

void DeviceRegistrationController::startDeviceRegistration(
    bool success, const std::string& sessionKey, const std::string& mobileNumber,
    const std::string& txnID, const std::string& appId,
    const std::function<void(const std::string&)>& onSuccess,
    const std::function<void(const Error&)>& onError) const {
    if (!success) return;
    const detail::OperationScope scope;
    auto refused = detail::nonUTF8Text({{"sessionKey", sessionKey},
                                        {"mobileNumber", mobileNumber},
                                        {"txnID", txnID},
                                        {"appId", appId}});
    if (!refused)
        refused = detail::nonUTF8Text({{"pspOrgId", AppConstantTAVI::shared().pspOrgId}},
                                      "configuration value");
    if (refused) {
        if (onError) onError(*refused);
        return;
    }
    Outcome outcome{onSuccess, onError};
    RegistrationAttempt(sessionKey, mobileNumber, txnID, appId, outcome, 1).run();
}

void TaviApiService::mockSmsRequestAsync(const UserRegistrationTxnSMSRequest& request,
                                         const std::function<void(const Bytes&)>& success,
                                         const ErrorCallback& failure) {
    const auto body = detail::encodeRequestBody(request);
    if (!body) {
        if (failure) failure(body.error());
        return;
    }
    performRequest(kSmsEndPoint, "POST", {}, body.value(), jsonHeaders(),
                   [&](const Result<Bytes>& result) {
                       if (!result) {
                           if (failure) failure(result.error());
                       } else if (success) {
                           success(result.value());
                       }
                   });
}

void TaviApiService::registerUserAsync(
    const TaviRegistrationRequest& request,
    const std::function<void(const TaviRegistrationResponse&)>& success,
    const ErrorCallback& failure) {
    const auto body = detail::encodeRequestBody(request);
    if (!body) {
        if (failure) failure(body.error());
        return;
    }
    performRequest(kRegistrationEndPoint, "POST", {}, body.value(), jsonHeaders(),
                   [&](const Result<Bytes>& result) {
                       if (!result) {
                           if (failure) failure(result.error());
                           return;
                       }
                       auto decoded = detail::decodeBody<TaviRegistrationResponse>(result.value());
                       if (decoded) {
                           if (success) success(decoded.value());
                           return;
                       }
                       // A refusal that carries no payload is still a refusal, with the server's
                       // reasons.
                       const auto header =
                           detail::decodeBody<CheckDeviceRegistrationResponse>(result.value());
                       if (header && !header.value().commonResponse.success) {
                           if (failure)
                               failure(detail::refusalError(header.value().commonResponse));
                           return;
                       }
                       if (failure) failure(ApiServiceError::decodingError(decoded.error()));
                   });
}

}  // namespace tavi
