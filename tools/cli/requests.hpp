// Starting each operation from its request (tavi/requests.hpp), until the library's client
// takes requests itself: then every start() below is `client.start(request, done, options)`.
#pragma once

#include "tavi/tavi.hpp"

namespace tavi::cli {

CallHandle start(const CheckOtpStatusRequest& request, Completion<OtpStatus> done);
CallHandle start(const CheckRegistrationRequest& request, Completion<RegistrationStatus> done);
CallHandle start(const RegisterDeviceRequest& request, Completion<Accepted> done);
CallHandle start(const RetrieveKeysRequest& request, Completion<TransactionKeys> done);
CallHandle start(const SubmitCredentialRequest& request, Completion<Accepted> done);
CallHandle start(const FetchOtpChallengeRequest& request, Completion<OtpChallenge> done);
CallHandle start(const ValidateOtpRequest& request, Completion<Accepted> done);
CallHandle start(const ValidateCardNumberRequest& request,
                 Completion<ValidateCardNumResponse> done);
CallHandle start(const RegisterCardRequest& request, Completion<CardRegistration> done);
CallHandle start(const SecureWebUrlRequest& request, Completion<std::string> done);

}  // namespace tavi::cli
