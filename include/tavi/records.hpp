// tavi — the wire records. Plain values; their JSON form (keys, member order, which members are
// written when present) is declared once, next to the encoder, inside the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavi {

// ---- Shared envelope -------------------------------------------------------------------------

/// Clear header of every sealed request.
struct CommonRequest {
    std::string msgId;
    std::string pspIdentifier;
    std::string taviIdentifier;
    std::string symmetricKey;
    std::optional<std::string> transactionType;
    std::optional<std::string> txnId;
};

/// Header of every answer. Declared in this order; encoded as reqMsgId, symmetricKey, success,
/// errorCode, errorReason.
struct CommonResponse {
    std::optional<std::string> reqMsgID;  ///< JSON key "reqMsgId"
    std::optional<std::string> symmetricKey;
    std::optional<std::string> errorCode;
    std::optional<std::string> errorReason;
    bool success = false;
};

/// Identity of the registered device, inside encrypted payloads.
struct DeviceInfo {
    std::string deviceId;
    std::string appId;
    std::string imei1;
    std::string imei2;
    std::optional<std::string> mobileNo;
    std::optional<std::string> pspIdentifier;
};

/// The instrument of a transaction, inside encrypted payloads.
struct PaymentInstrument {
    std::optional<std::string> paymentInstrumentType;
    std::optional<std::string> bic;
};

// ---- Registration check and key retrieval ---------------------------------------------------

struct CredentialKeysRetrievalPayload {
    PaymentInstrument paymentInstrument;
    DeviceInfo deviceInfo;
    std::int64_t startDateTime = 0;
    bool resetCredentialCall = false;
};

struct CheckDeviceRegistrationRequest {
    CommonRequest commonRequest;
    std::string credentialKeysRetrievalPayloadEnc;
};

struct CheckDeviceRegistrationResponse {
    CommonResponse commonResponse;
};

struct EncryptionKeyRetrievalRequest {
    CommonRequest commonRequest;
    std::string credentialKeysRetrievalPayloadEnc;
};

struct EncryptionKeyRetrievalResponse {
    CommonResponse commonResponse;
    std::string encryptionKeyRetrievalResponsePayloadEnc;
};

struct RetrievalKeyResponsePayload {
    std::string sessionKey;
    std::string bankKi;
    std::string publicKey;
    bool isURLPage = false;  ///< JSON key "isUrlPage"
    std::string rule;
};

// ---- Registration sequence -------------------------------------------------------------------

struct UserRegistrationTxnSMSRequest {
    std::string mobileNumber;
    std::string txnID;  ///< JSON key "txnId"
};

struct TaviRegistrationRequestPayload {
    std::string taviIdentifier;
    DeviceInfo deviceInfo;
};

/// Declared pspOrgID, txnID, msgID, taviRegistrationRequestEnc, symmetricKey; encoded msgId,
/// pspOrgId, txnId, taviRegistrationRequestEnc, symmetricKey.
struct TaviRegistrationRequest {
    std::optional<std::string> pspOrgID;
    std::optional<std::string> txnID;
    std::optional<std::string> msgID;
    std::optional<std::string> taviRegistrationRequestEnc;
    std::optional<std::string> symmetricKey;
};

struct TaviRegistrationResponse {
    CommonResponse commonResponse;
    std::string userRegistrationResponsePayloadEnc;
};

struct UserRegistrationDecrpytedPayload {
    std::optional<std::string> pspIdentifier;
    std::optional<std::string> taviKey;
};

// ---- Credential submission ---------------------------------------------------------------------

struct AuthorizePINCred {
    std::string credType;
    std::string credValue;
};

struct CredentialSubmissionPayload {
    DeviceInfo deviceInfo;
    AuthorizePINCred authorizePINCred;
};

struct CredentialSubmissionRequest {
    CommonRequest commonRequest;
    std::string credentialSubmissionPayloadEnc;
};

struct CredentialSubmissionResponse {
    CommonResponse commonResponse;
};

// ---- OTP challenge fetch and validation ------------------------------------------------------

struct OtpFetchRetrievalPayload {
    std::optional<std::string> action;
    std::optional<PaymentInstrument> paymentInstrument;
    DeviceInfo deviceInfo;
};

struct EncryptionOtpFetchRetrievalRequest {
    CommonRequest commonRequest;
    std::string fetchOtpCodePayloadEnc;
};

struct EncryptionFetchOtpRetrievalResponse {
    CommonResponse commonResponse;
    std::string fetchOtpCodeResponsePayloadEnc;
};

struct FetchOtpRetrievalResponsePayload {
    std::optional<std::string> sessionKey;
    std::optional<std::string> bankKi;
    std::optional<std::string> publicKey;
    std::optional<std::string> referenceId;
    std::optional<std::string> otpExpiry;
    std::optional<std::string> otpChallengeCode;
    std::optional<std::string> action;
    std::optional<std::string> otpPhoneNumber;
};

struct ValidateOtpRetrievalPayload {
    std::optional<std::string> bic;
    std::optional<std::string> referenceId;
    std::optional<std::string> otp;
    std::optional<std::string> action;
    std::optional<DeviceInfo> deviceInfo;
};

struct EncryptionValidateOtpRetrievalRequest {
    CommonRequest commonRequest;
    std::string validateOtpApiPayloadEnc;
};

struct EncryptionValidateOtpRetrievalResponse {
    std::optional<CommonResponse> commonResponse;
    std::optional<std::string> fetchOtpCodeResponsePayloadEnc;
};

// ---- Card number validation --------------------------------------------------------------------

struct ValidateCardNumPayload {
    std::string bic;
    DeviceInfo deviceInfo;
    std::string cardNum;
    std::string bankName;
};

struct ValidateCardNumRequest {
    CommonRequest commonRequest;
    std::string validateCardNumPayloadEnc;
};

/// The decoded answer of card number validation, handed to the host unjudged.
struct ValidateCardNumResponse {
    CommonResponse commonResponse;
    std::optional<std::string> bankNameMatchStatus;
};

// ---- Card and account detail registration ----------------------------------------------------

struct AccountInfo {
    std::optional<std::string> bic;
    std::optional<std::string> accountNo;
};

struct RegisterAccountDetails {
    std::optional<std::string> number;
    std::optional<std::string> expiryMonth;
    std::optional<std::string> expiryYear;
    std::optional<std::string> cvv;
    std::optional<std::string> fullName;
};

struct RegisterAccountDetailsPayload {
    std::int64_t startDateTime = 0;
    std::optional<DeviceInfo> deviceInfo;
    std::optional<AccountInfo> accountInfo;
    std::optional<RegisterAccountDetails> card;
    std::optional<std::string> bic;
};

struct RegisterCardDetailRequest {
    CommonRequest commonRequest;
    std::string registerCardDetailPayloadEnc;
};

struct RegisterCardDetailResponse {
    CommonResponse commonResponse;
};

// ---- Secure web URL ----------------------------------------------------------------------------

struct WebUrlRequestPayload {
    PaymentInstrument paymentInstrument;
    DeviceInfo deviceInfo;
};

struct WebUrlRequest {
    CommonRequest commonRequest;
    std::string requestWebURLPayloadEnc;  ///< JSON key "requestWebUrlPayloadEnc"
};

struct WebUrlResponse {
    CommonResponse commonResponse;
    std::string requestWebURLResponsePayloadEnc;  ///< JSON key "requestWebUrlResponsePayloadEnc"
};

struct WebUrlResponsePayload {
    std::optional<std::string> sessionKey;
    std::optional<std::string> bankKi;
    std::optional<std::string> publicKey;
    std::optional<std::string> refUrl;
};

}  // namespace tavi
