// Each operation the command-line tool drives, started from its request.

#include "requests.hpp"

namespace tavi::cli {
namespace {
TaviApiService& service() {
    return TaviApiService::shared();
}
}  // namespace

CallHandle start(const OtpStatusRequest& r, Completion<OtpStatus> done) {
    return service().startOtpStatus(r.txnId, std::move(done));
}

CallHandle start(const CheckRegistrationRequest& r, Completion<RegistrationStatus> done) {
    return service().startCheckRegistration(r.mobile, std::move(done));
}

CallHandle start(const RegisterDeviceRequest& r, Completion<Accepted> done) {
    return DeviceRegistrationController().startRegisterDevice(r.sessionKey, r.mobileNumber,
                                                              r.txnID, r.appId, std::move(done));
}

CallHandle start(const RetrieveKeysRequest& r, Completion<TransactionKeys> done) {
    return service().startRetrieveKeys(r.msgID, r.transactionType, r.txnId, r.bic,
                                       r.paymentInstrumentType, std::move(done));
}

CallHandle start(const SubmitCredentialRequest& r, Completion<Accepted> done) {
    return service().startSubmitCredential(r.txnId, r.transactionType, r.credType,
                                           r.credValue.reveal(), r.bankKi, r.publicKey,
                                           r.sessionKey, std::move(done));
}

CallHandle start(const FetchOtpChallengeRequest& r, Completion<OtpChallenge> done) {
    return service().startFetchOtpChallenge(r.transactionType, r.txnId, r.paymentInstrumentType,
                                            r.bic, r.sessionKey, r.action, std::move(done));
}

CallHandle start(const ValidateOtpRequest& r, Completion<Accepted> done) {
    return service().startValidateOtp(r.txnId, r.transactionType, r.otp.reveal(), r.bankKi,
                                      r.publicKey, r.sessionKey, r.action, r.bic, r.referenceId,
                                      std::move(done));
}

CallHandle start(const ValidateCardRequest& r, Completion<ValidateCardNumResponse> done) {
    return service().startValidateCardNum(r.sessionKey, r.bankKi, r.publicKey, r.txnId,
                                          r.cardNumber.reveal(), r.bic, r.bankName,
                                          std::move(done));
}

CallHandle start(const RegisterCardRequest& r, Completion<CardRegistration> done) {
    std::optional<std::string> account;
    if (r.accountNo) account = r.accountNo->reveal();
    CallHandle handle = service().startRegisterCardDetail(
        r.txnId, r.transactionType, r.bic, account, r.bankKi, r.sessionKey, r.cardNumber.reveal(),
        r.expiryMonth.reveal(), r.expiryYear.reveal(), r.cvv.reveal(), r.publicKey,
        std::move(done));
    if (account) ::explicit_bzero(account->data(), account->size());
    return handle;
}

CallHandle start(const WebUrlRequest& r, Completion<std::string> done) {
    return service().startWebUrl(r.transactionType, r.txnId, r.paymentInstrumentType, r.bic,
                                 r.sessionKey, std::move(done));
}

}  // namespace tavi::cli
