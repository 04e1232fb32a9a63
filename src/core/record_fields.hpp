// The field declarations of every wire record, in declaration order. A member's JSON key is its
// name unless TAVI_FIELD_AS gives another; a record whose JSON order differs lists encodeOrder.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>

#include "core/record.hpp"
#include "tavi/records.hpp"

namespace tavi::detail {

#define TAVI_FIELD(member) field(#member, #member, &R::member)
#define TAVI_FIELD_AS(member, key) field(#member, key, &R::member)
#define TAVI_RECORD(Type, ...)                                            \
    template <>                                                           \
    struct RecordTraits<Type> {                                           \
        using R = Type;                                                   \
        static constexpr const char* name = #Type;                        \
        static constexpr auto fields = std::make_tuple(__VA_ARGS__);      \
    }
#define F TAVI_FIELD

TAVI_RECORD(CommonRequest, F(msgId), F(pspIdentifier), F(taviIdentifier), F(symmetricKey),
            F(transactionType), F(txnId));

template <>
struct RecordTraits<CommonResponse> {
    using R = CommonResponse;
    static constexpr const char* name = "CommonResponse";
    static constexpr auto fields =
        std::make_tuple(TAVI_FIELD_AS(reqMsgID, "reqMsgId"), F(symmetricKey), F(errorCode),
                        F(errorReason), F(success));
    /// reqMsgId, symmetricKey, success, errorCode, errorReason
    static constexpr std::array<std::size_t, 5> encodeOrder{0, 1, 4, 2, 3};
};

TAVI_RECORD(DeviceInfo, F(deviceId), F(appId), F(imei1), F(imei2), F(mobileNo),
            F(pspIdentifier));
TAVI_RECORD(PaymentInstrument, F(paymentInstrumentType), F(bic));
TAVI_RECORD(CredentialKeysRetrievalPayload, F(paymentInstrument), F(deviceInfo),
            F(startDateTime), F(resetCredentialCall));
TAVI_RECORD(CheckDeviceRegistrationRequest, F(commonRequest),
            F(credentialKeysRetrievalPayloadEnc));
TAVI_RECORD(CheckDeviceRegistrationResponse, F(commonResponse));
TAVI_RECORD(EncryptionKeyRetrievalRequest, F(commonRequest),
            F(credentialKeysRetrievalPayloadEnc));
TAVI_RECORD(EncryptionKeyRetrievalResponse, F(commonResponse),
            F(encryptionKeyRetrievalResponsePayloadEnc));
TAVI_RECORD(RetrievalKeyResponsePayload, F(sessionKey), F(bankKi), F(publicKey),
            TAVI_FIELD_AS(isURLPage, "isUrlPage"), F(rule));

TAVI_RECORD(UserRegistrationTxnSMSRequest, F(mobileNumber), TAVI_FIELD_AS(txnID, "txnId"));
TAVI_RECORD(TaviRegistrationRequestPayload, F(taviIdentifier), F(deviceInfo));

template <>
struct RecordTraits<TaviRegistrationRequest> {
    using R = TaviRegistrationRequest;
    static constexpr const char* name = "TaviRegistrationRequest";
    static constexpr auto fields = std::make_tuple(
        TAVI_FIELD_AS(pspOrgID, "pspOrgId"), TAVI_FIELD_AS(txnID, "txnId"),
        TAVI_FIELD_AS(msgID, "msgId"), F(taviRegistrationRequestEnc), F(symmetricKey));
    /// msgId, pspOrgId, txnId, taviRegistrationRequestEnc, symmetricKey
    static constexpr std::array<std::size_t, 5> encodeOrder{2, 0, 1, 3, 4};
};

TAVI_RECORD(TaviRegistrationResponse, F(commonResponse), F(userRegistrationResponsePayloadEnc));
TAVI_RECORD(UserRegistrationDecrpytedPayload, F(pspIdentifier), F(taviKey));

TAVI_RECORD(AuthorizePINCred, F(credType), F(credValue));
TAVI_RECORD(CredentialSubmissionPayload, F(deviceInfo), F(authorizePINCred));
TAVI_RECORD(CredentialSubmissionRequest, F(commonRequest), F(credentialSubmissionPayloadEnc));
TAVI_RECORD(CredentialSubmissionResponse, F(commonResponse));

TAVI_RECORD(OtpFetchRetrievalPayload, F(action), F(paymentInstrument), F(deviceInfo));
TAVI_RECORD(EncryptionOtpFetchRetrievalRequest, F(commonRequest), F(fetchOtpCodePayloadEnc));
TAVI_RECORD(EncryptionFetchOtpRetrievalResponse, F(commonResponse),
            F(fetchOtpCodeResponsePayloadEnc));
TAVI_RECORD(FetchOtpRetrievalResponsePayload, F(sessionKey), F(bankKi), F(publicKey),
            F(referenceId), F(otpExpiry), F(otpChallengeCode), F(action), F(otpPhoneNumber));
TAVI_RECORD(ValidateOtpRetrievalPayload, F(bic), F(referenceId), F(otp), F(action),
            F(deviceInfo));
TAVI_RECORD(EncryptionValidateOtpRetrievalRequest, F(commonRequest), F(validateOtpApiPayloadEnc));
TAVI_RECORD(EncryptionValidateOtpRetrievalResponse, F(commonResponse),
            F(fetchOtpCodeResponsePayloadEnc));

TAVI_RECORD(ValidateCardNumPayload, F(bic), F(deviceInfo), F(cardNum), F(bankName));
TAVI_RECORD(ValidateCardNumRequest, F(commonRequest), F(validateCardNumPayloadEnc));
TAVI_RECORD(ValidateCardNumResponse, F(commonResponse), F(bankNameMatchStatus));

TAVI_RECORD(AccountInfo, F(bic), F(accountNo));
TAVI_RECORD(RegisterAccountDetails, F(number), F(expiryMonth), F(expiryYear), F(cvv),
            F(fullName));
TAVI_RECORD(RegisterAccountDetailsPayload, F(startDateTime), F(deviceInfo), F(accountInfo),
            F(card), F(bic));
TAVI_RECORD(RegisterCardDetailRequest, F(commonRequest), F(registerCardDetailPayloadEnc));
TAVI_RECORD(RegisterCardDetailResponse, F(commonResponse));

TAVI_RECORD(WebUrlRequestPayload, F(paymentInstrument), F(deviceInfo));
TAVI_RECORD(WebUrlRequest, F(commonRequest),
            TAVI_FIELD_AS(requestWebURLPayloadEnc, "requestWebUrlPayloadEnc"));
TAVI_RECORD(WebUrlResponse, F(commonResponse),
            TAVI_FIELD_AS(requestWebURLResponsePayloadEnc, "requestWebUrlResponsePayloadEnc"));
TAVI_RECORD(WebUrlResponsePayload, F(sessionKey), F(bankKi), F(publicKey), F(refUrl));

#undef F
#undef TAVI_RECORD
#undef TAVI_FIELD_AS
#undef TAVI_FIELD

}  // namespace tavi::detail
