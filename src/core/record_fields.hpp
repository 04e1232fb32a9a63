// The field declarations of every wire record: name, JSON key, member. Declaration order is the
// order of `fields`; a record whose JSON order differs also lists `encodeFields`.
#pragma once

#include <tuple>

#include "core/record.hpp"
#include "tavi/records.hpp"

namespace tavi::detail {

#define TAVI_F(R, member, key) field(#member, key, &R::member)

template <>
struct RecordTraits<CommonRequest> {
    using R = CommonRequest;
    static constexpr const char* name = "CommonRequest";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, msgId, "msgId"), TAVI_F(R, pspIdentifier, "pspIdentifier"),
        TAVI_F(R, taviIdentifier, "taviIdentifier"), TAVI_F(R, symmetricKey, "symmetricKey"),
        TAVI_F(R, transactionType, "transactionType"), TAVI_F(R, txnId, "txnId"));
};

template <>
struct RecordTraits<CommonResponse> {
    using R = CommonResponse;
    static constexpr const char* name = "CommonResponse";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, reqMsgID, "reqMsgId"), TAVI_F(R, symmetricKey, "symmetricKey"),
        TAVI_F(R, errorCode, "errorCode"), TAVI_F(R, errorReason, "errorReason"),
        TAVI_F(R, success, "success"));
    static constexpr auto encodeFields = std::make_tuple(
        TAVI_F(R, reqMsgID, "reqMsgId"), TAVI_F(R, symmetricKey, "symmetricKey"),
        TAVI_F(R, success, "success"), TAVI_F(R, errorCode, "errorCode"),
        TAVI_F(R, errorReason, "errorReason"));
};

template <>
struct RecordTraits<DeviceInfo> {
    using R = DeviceInfo;
    static constexpr const char* name = "DeviceInfo";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, deviceId, "deviceId"), TAVI_F(R, appId, "appId"), TAVI_F(R, imei1, "imei1"),
        TAVI_F(R, imei2, "imei2"), TAVI_F(R, mobileNo, "mobileNo"),
        TAVI_F(R, pspIdentifier, "pspIdentifier"));
};

template <>
struct RecordTraits<PaymentInstrument> {
    using R = PaymentInstrument;
    static constexpr const char* name = "PaymentInstrument";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, paymentInstrumentType, "paymentInstrumentType"),
                        TAVI_F(R, bic, "bic"));
};

template <>
struct RecordTraits<CredentialKeysRetrievalPayload> {
    using R = CredentialKeysRetrievalPayload;
    static constexpr const char* name = "CredentialKeysRetrievalPayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, paymentInstrument, "paymentInstrument"), TAVI_F(R, deviceInfo, "deviceInfo"),
        TAVI_F(R, startDateTime, "startDateTime"),
        TAVI_F(R, resetCredentialCall, "resetCredentialCall"));
};

template <>
struct RecordTraits<CheckDeviceRegistrationRequest> {
    using R = CheckDeviceRegistrationRequest;
    static constexpr const char* name = "CheckDeviceRegistrationRequest";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, commonRequest, "commonRequest"),
        TAVI_F(R, credentialKeysRetrievalPayloadEnc, "credentialKeysRetrievalPayloadEnc"));
};

template <>
struct RecordTraits<CheckDeviceRegistrationResponse> {
    using R = CheckDeviceRegistrationResponse;
    static constexpr const char* name = "CheckDeviceRegistrationResponse";
    static constexpr auto fields = std::make_tuple(TAVI_F(R, commonResponse, "commonResponse"));
};

template <>
struct RecordTraits<EncryptionKeyRetrievalRequest> {
    using R = EncryptionKeyRetrievalRequest;
    static constexpr const char* name = "EncryptionKeyRetrievalRequest";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, commonRequest, "commonRequest"),
        TAVI_F(R, credentialKeysRetrievalPayloadEnc, "credentialKeysRetrievalPayloadEnc"));
};

template <>
struct RecordTraits<EncryptionKeyRetrievalResponse> {
    using R = EncryptionKeyRetrievalResponse;
    static constexpr const char* name = "EncryptionKeyRetrievalResponse";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, commonResponse, "commonResponse"),
                        TAVI_F(R, encryptionKeyRetrievalResponsePayloadEnc,
                               "encryptionKeyRetrievalResponsePayloadEnc"));
};

template <>
struct RecordTraits<RetrievalKeyResponsePayload> {
    using R = RetrievalKeyResponsePayload;
    static constexpr const char* name = "RetrievalKeyResponsePayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, sessionKey, "sessionKey"), TAVI_F(R, bankKi, "bankKi"),
        TAVI_F(R, publicKey, "publicKey"), TAVI_F(R, isURLPage, "isUrlPage"),
        TAVI_F(R, rule, "rule"));
};

template <>
struct RecordTraits<UserRegistrationTxnSMSRequest> {
    using R = UserRegistrationTxnSMSRequest;
    static constexpr const char* name = "UserRegistrationTxnSMSRequest";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, mobileNumber, "mobileNumber"), TAVI_F(R, txnID, "txnId"));
};

template <>
struct RecordTraits<TaviRegistrationRequestPayload> {
    using R = TaviRegistrationRequestPayload;
    static constexpr const char* name = "TaviRegistrationRequestPayload";
    static constexpr auto fields = std::make_tuple(TAVI_F(R, taviIdentifier, "taviIdentifier"),
                                                   TAVI_F(R, deviceInfo, "deviceInfo"));
};

template <>
struct RecordTraits<TaviRegistrationRequest> {
    using R = TaviRegistrationRequest;
    static constexpr const char* name = "TaviRegistrationRequest";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, pspOrgID, "pspOrgId"), TAVI_F(R, txnID, "txnId"), TAVI_F(R, msgID, "msgId"),
        TAVI_F(R, taviRegistrationRequestEnc, "taviRegistrationRequestEnc"),
        TAVI_F(R, symmetricKey, "symmetricKey"));
    static constexpr auto encodeFields = std::make_tuple(
        TAVI_F(R, msgID, "msgId"), TAVI_F(R, pspOrgID, "pspOrgId"), TAVI_F(R, txnID, "txnId"),
        TAVI_F(R, taviRegistrationRequestEnc, "taviRegistrationRequestEnc"),
        TAVI_F(R, symmetricKey, "symmetricKey"));
};

template <>
struct RecordTraits<TaviRegistrationResponse> {
    using R = TaviRegistrationResponse;
    static constexpr const char* name = "TaviRegistrationResponse";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, commonResponse, "commonResponse"),
        TAVI_F(R, userRegistrationResponsePayloadEnc, "userRegistrationResponsePayloadEnc"));
};

template <>
struct RecordTraits<UserRegistrationDecrpytedPayload> {
    using R = UserRegistrationDecrpytedPayload;
    static constexpr const char* name = "UserRegistrationDecrpytedPayload";
    static constexpr auto fields = std::make_tuple(TAVI_F(R, pspIdentifier, "pspIdentifier"),
                                                   TAVI_F(R, taviKey, "taviKey"));
};

template <>
struct RecordTraits<AuthorizePINCred> {
    using R = AuthorizePINCred;
    static constexpr const char* name = "AuthorizePINCred";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, credType, "credType"), TAVI_F(R, credValue, "credValue"));
};

template <>
struct RecordTraits<CredentialSubmissionPayload> {
    using R = CredentialSubmissionPayload;
    static constexpr const char* name = "CredentialSubmissionPayload";
    static constexpr auto fields = std::make_tuple(TAVI_F(R, deviceInfo, "deviceInfo"),
                                                   TAVI_F(R, authorizePINCred, "authorizePINCred"));
};

template <>
struct RecordTraits<CredentialSubmissionRequest> {
    using R = CredentialSubmissionRequest;
    static constexpr const char* name = "CredentialSubmissionRequest";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, commonRequest, "commonRequest"),
        TAVI_F(R, credentialSubmissionPayloadEnc, "credentialSubmissionPayloadEnc"));
};

template <>
struct RecordTraits<CredentialSubmissionResponse> {
    using R = CredentialSubmissionResponse;
    static constexpr const char* name = "CredentialSubmissionResponse";
    static constexpr auto fields = std::make_tuple(TAVI_F(R, commonResponse, "commonResponse"));
};

template <>
struct RecordTraits<OtpFetchRetrievalPayload> {
    using R = OtpFetchRetrievalPayload;
    static constexpr const char* name = "OtpFetchRetrievalPayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, action, "action"), TAVI_F(R, paymentInstrument, "paymentInstrument"),
        TAVI_F(R, deviceInfo, "deviceInfo"));
};

template <>
struct RecordTraits<EncryptionOtpFetchRetrievalRequest> {
    using R = EncryptionOtpFetchRetrievalRequest;
    static constexpr const char* name = "EncryptionOtpFetchRetrievalRequest";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, commonRequest, "commonRequest"),
                        TAVI_F(R, fetchOtpCodePayloadEnc, "fetchOtpCodePayloadEnc"));
};

template <>
struct RecordTraits<EncryptionFetchOtpRetrievalResponse> {
    using R = EncryptionFetchOtpRetrievalResponse;
    static constexpr const char* name = "EncryptionFetchOtpRetrievalResponse";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, commonResponse, "commonResponse"),
        TAVI_F(R, fetchOtpCodeResponsePayloadEnc, "fetchOtpCodeResponsePayloadEnc"));
};

template <>
struct RecordTraits<FetchOtpRetrievalResponsePayload> {
    using R = FetchOtpRetrievalResponsePayload;
    static constexpr const char* name = "FetchOtpRetrievalResponsePayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, sessionKey, "sessionKey"), TAVI_F(R, bankKi, "bankKi"),
        TAVI_F(R, publicKey, "publicKey"), TAVI_F(R, referenceId, "referenceId"),
        TAVI_F(R, otpExpiry, "otpExpiry"), TAVI_F(R, otpChallengeCode, "otpChallengeCode"),
        TAVI_F(R, action, "action"), TAVI_F(R, otpPhoneNumber, "otpPhoneNumber"));
};

template <>
struct RecordTraits<ValidateOtpRetrievalPayload> {
    using R = ValidateOtpRetrievalPayload;
    static constexpr const char* name = "ValidateOtpRetrievalPayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, bic, "bic"), TAVI_F(R, referenceId, "referenceId"), TAVI_F(R, otp, "otp"),
        TAVI_F(R, action, "action"), TAVI_F(R, deviceInfo, "deviceInfo"));
};

template <>
struct RecordTraits<EncryptionValidateOtpRetrievalRequest> {
    using R = EncryptionValidateOtpRetrievalRequest;
    static constexpr const char* name = "EncryptionValidateOtpRetrievalRequest";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, commonRequest, "commonRequest"),
                        TAVI_F(R, validateOtpApiPayloadEnc, "validateOtpApiPayloadEnc"));
};

template <>
struct RecordTraits<EncryptionValidateOtpRetrievalResponse> {
    using R = EncryptionValidateOtpRetrievalResponse;
    static constexpr const char* name = "EncryptionValidateOtpRetrievalResponse";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, commonResponse, "commonResponse"),
        TAVI_F(R, fetchOtpCodeResponsePayloadEnc, "fetchOtpCodeResponsePayloadEnc"));
};

template <>
struct RecordTraits<ValidateCardNumPayload> {
    using R = ValidateCardNumPayload;
    static constexpr const char* name = "ValidateCardNumPayload";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, bic, "bic"), TAVI_F(R, deviceInfo, "deviceInfo"),
                        TAVI_F(R, cardNum, "cardNum"), TAVI_F(R, bankName, "bankName"));
};

template <>
struct RecordTraits<ValidateCardNumRequest> {
    using R = ValidateCardNumRequest;
    static constexpr const char* name = "ValidateCardNumRequest";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, commonRequest, "commonRequest"),
                        TAVI_F(R, validateCardNumPayloadEnc, "validateCardNumPayloadEnc"));
};

template <>
struct RecordTraits<ValidateCardNumResponse> {
    using R = ValidateCardNumResponse;
    static constexpr const char* name = "ValidateCardNumResponse";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, commonResponse, "commonResponse"),
                        TAVI_F(R, bankNameMatchStatus, "bankNameMatchStatus"));
};

template <>
struct RecordTraits<AccountInfo> {
    using R = AccountInfo;
    static constexpr const char* name = "AccountInfo";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, bic, "bic"), TAVI_F(R, accountNo, "accountNo"));
};

template <>
struct RecordTraits<RegisterAccountDetails> {
    using R = RegisterAccountDetails;
    static constexpr const char* name = "RegisterAccountDetails";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, number, "number"), TAVI_F(R, expiryMonth, "expiryMonth"),
        TAVI_F(R, expiryYear, "expiryYear"), TAVI_F(R, cvv, "cvv"),
        TAVI_F(R, fullName, "fullName"));
};

template <>
struct RecordTraits<RegisterAccountDetailsPayload> {
    using R = RegisterAccountDetailsPayload;
    static constexpr const char* name = "RegisterAccountDetailsPayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, startDateTime, "startDateTime"), TAVI_F(R, deviceInfo, "deviceInfo"),
        TAVI_F(R, accountInfo, "accountInfo"), TAVI_F(R, card, "card"), TAVI_F(R, bic, "bic"));
};

template <>
struct RecordTraits<RegisterCardDetailRequest> {
    using R = RegisterCardDetailRequest;
    static constexpr const char* name = "RegisterCardDetailRequest";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, commonRequest, "commonRequest"),
                        TAVI_F(R, registerCardDetailPayloadEnc, "registerCardDetailPayloadEnc"));
};

template <>
struct RecordTraits<RegisterCardDetailResponse> {
    using R = RegisterCardDetailResponse;
    static constexpr const char* name = "RegisterCardDetailResponse";
    static constexpr auto fields = std::make_tuple(TAVI_F(R, commonResponse, "commonResponse"));
};

template <>
struct RecordTraits<WebUrlRequestPayload> {
    using R = WebUrlRequestPayload;
    static constexpr const char* name = "WebUrlRequestPayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, paymentInstrument, "paymentInstrument"), TAVI_F(R, deviceInfo, "deviceInfo"));
};

template <>
struct RecordTraits<WebUrlRequest> {
    using R = WebUrlRequest;
    static constexpr const char* name = "WebUrlRequest";
    static constexpr auto fields =
        std::make_tuple(TAVI_F(R, commonRequest, "commonRequest"),
                        TAVI_F(R, requestWebURLPayloadEnc, "requestWebUrlPayloadEnc"));
};

template <>
struct RecordTraits<WebUrlResponse> {
    using R = WebUrlResponse;
    static constexpr const char* name = "WebUrlResponse";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, commonResponse, "commonResponse"),
        TAVI_F(R, requestWebURLResponsePayloadEnc, "requestWebUrlResponsePayloadEnc"));
};

template <>
struct RecordTraits<WebUrlResponsePayload> {
    using R = WebUrlResponsePayload;
    static constexpr const char* name = "WebUrlResponsePayload";
    static constexpr auto fields = std::make_tuple(
        TAVI_F(R, sessionKey, "sessionKey"), TAVI_F(R, bankKi, "bankKi"),
        TAVI_F(R, publicKey, "publicKey"), TAVI_F(R, refUrl, "refUrl"));
};

#undef TAVI_F

}  // namespace tavi::detail
