// Each operation the command-line tool drives, started from its request (see requests.hpp).

#include "requests.hpp"

#include <string.h>  // explicit_bzero

namespace tavi::cli {
namespace {

TaviApiService& service() {
    return TaviApiService::shared();
}

/// A secret's text as the std::string the service's start calls take, wiped once the call has
/// taken its own copy (at the end of the full expression that made it).
class Plain {
  public:
    explicit Plain(const SecretString& secret) : text_(secret.view()) {}
    ~Plain() { ::explicit_bzero(text_.data(), text_.capacity()); }
    Plain(const Plain&) = delete;
    Plain& operator=(const Plain&) = delete;
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

}  // namespace

CallHandle start(const CheckOtpStatusRequest& r, Completion<OtpStatus> done) {
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
                                           Plain(r.credValue).text(), r.bankKi, r.publicKey,
                                           r.sessionKey, std::move(done));
}

CallHandle start(const FetchOtpChallengeRequest& r, Completion<OtpChallenge> done) {
    return service().startFetchOtpChallenge(r.transactionType, r.txnId, r.paymentInstrumentType,
                                            r.bic, r.sessionKey, r.action, std::move(done));
}

CallHandle start(const ValidateOtpRequest& r, Completion<Accepted> done) {
    return service().startValidateOtp(r.txnId, r.transactionType, Plain(r.credValue).text(),
                                      r.bankKi, r.publicKey, r.sessionKey, r.action, r.bic,
                                      r.referenceid, std::move(done));
}

CallHandle start(const ValidateCardNumberRequest& r, Completion<ValidateCardNumResponse> done) {
    return service().startValidateCardNum(r.sessionKey, r.bankKi, r.publicKey, r.txnId,
                                          Plain(r.cardNumber).text(), r.bic, r.bankName,
                                          std::move(done));
}

CallHandle start(const RegisterCardRequest& r, Completion<CardRegistration> done) {
    std::optional<std::string> account;
    if (r.accountNo) account.emplace(r.accountNo->view());
    CallHandle handle = service().startRegisterCardDetail(
        r.txnId, r.transactionType, r.bic, account, r.bankKi, r.sessionKey,
        Plain(r.cardNumber).text(), Plain(r.expiryMonth).text(), Plain(r.expiryYear).text(),
        Plain(r.cvv).text(), r.publicKey, std::move(done));
    if (account) ::explicit_bzero(account->data(), account->capacity());
    return handle;
}

CallHandle start(const SecureWebUrlRequest& r, Completion<std::string> done) {
    return service().startWebUrl(r.transactionType, r.txnId, r.paymentInstrumentType, r.bic,
                                 r.sessionKey, std::move(done));
}

}  // namespace tavi::cli
