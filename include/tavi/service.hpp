// tavi — the payment server operations.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>

#include "tavi/call.hpp"
#include "tavi/export.hpp"
#include "tavi/journal.hpp"
#include "tavi/records.hpp"
#include "tavi/result.hpp"

namespace tavi {

/// A query value: text, integer or boolean.
using QueryValue = std::variant<std::string, long long, bool>;

/// The server operations. Every callback operation blocks the calling thread for its HTTP exchanges and
/// calls exactly one of its callbacks, once, on that thread, before it returns. Nothing is thrown.
/// Operations may run on several threads at once; call them off a UI thread. Failures carry a
/// tavi::Error (see result.hpp for the domains and codes) unless the callback's shape says
/// otherwise.
/// Public operations are virtual so that a host can subclass the service to mock it.
///
/// Every operation (and TaviUtils::getCheckDeviceRegistered, DeviceRegistrationController::
/// startDeviceRegistration) ends by AppConstantTAVI::operationDeadlineMilliseconds, re-issues and
/// restarts included: past it the failure is ClientErrorCode::deadlineExceeded. An argument that
/// is not valid UTF-8 text is refused before anything is sent: ClientErrorCode::invalidArgument,
/// naming the argument. Callbacks without an error value report both as their shape allows
/// (false, "Exception Occured", "stop").
class TAVI_EXPORT TaviApiService {
public:
    TaviApiService();
    virtual ~TaviApiService();
    /// The process-wide instance.
    static TaviApiService& shared();

    using ErrorCallback = std::function<void(const Error&)>;
    using CodeReasonCallback =
        std::function<void(const std::optional<std::string>& errorCode,
                           const std::optional<std::string>& errorReason)>;

    /// Validates a card number against a bank, in transaction `txnId` (keys from key retrieval).
    /// The number is sealed for the bank with `publicKey`/`bankKi`; the request is sealed under
    /// `sessionKey`. `success` receives the decoded answer (its header says whether the bank
    /// knows the number; `bankNameMatchStatus` whether `bankName` matches). `failure`: transport
    /// errors, refusals (ServerRefusal with errorCode/errorReason), undecodable or unreadable
    /// answers, keys that do not parse. No local check is made: see CardValidation.
    virtual void validateCardNumAsync(const std::string& sessionKey, const std::string& bankKi,
                                      const std::string& publicKey, const std::string& txnId,
                                      const std::string& cardNumber, const std::string& bic,
                                      const std::string& bankName,
                                      std::function<void(const ValidateCardNumResponse&)> success,
                                      ErrorCallback failure);

    /// The address of the secure web page for a transaction (sealed under the stored "taviKey").
    /// `success` receives the address; `failure` the error (missing session, transport, refusal,
    /// unreadable answer, retry limit after repeated unreadable answer keys).
    virtual void webUrlRequestAsync(const std::string& transactionType, const std::string& txnId,
                                    const std::string& paymentInstrumentType,
                                    const std::string& bic, const std::string& sessionKey,
                                    std::function<void(const std::string& refUrl)> success,
                                    ErrorCallback failure);

    /// Registers card details and, when `accountNo` is given, an account; every value is sealed
    /// for the bank. `success(ok, errorCode)` reports the server's verdict (ok false with its
    /// errorCode when it declined); `failure` a request that could not be made or read.
    virtual void registerCardDetailRequest(
        const std::string& txnId, const std::string& transactionType, const std::string& bic,
        const std::optional<std::string>& accountNo, const std::string& bankKi,
        const std::string& sessionKey, const std::string& cardNumber,
        const std::string& expiryMonth, const std::string& expiryYear, const std::string& cvv,
        const std::string& publicKey,
        std::function<void(bool success, const std::string& errorCode)> success,
        ErrorCallback failure);

    /// Opens a transaction: retrieves its key material (sealed under the stored "taviKey").
    /// `success(bankKi, publicKey, sessionKey, txnId, rule)`: pass bankKi, publicKey and
    /// sessionKey on to the other operations of the transaction. `failure`: missing session
    /// (device not registered), transport, refusal, unreadable answer, retry limit.
    virtual void createRetrieveKeysRequest(
        const std::string& msgID, const std::string& transactionType, const std::string& txnId,
        const std::string& bic, const std::string& paymentInstrumentType,
        std::function<void(const std::string& bankKi, const std::string& publicKey,
                           const std::string& sessionKey, const std::string& txnId,
                           const std::string& rule)>
            success,
        ErrorCallback failure);

    /// Submits a PIN-type credential (`credType` "PIN", "MPIN", ...), sealed for the bank.
    /// `success(true)` when the server accepts it; `failure(false)` for every failure (refusal,
    /// transport, unreadable answer). No error value is reported.
    virtual void createCredentialSubmissionRequest(
        const std::string& txnId, const std::string& transactionType, const std::string& credType,
        const std::string& credValue, const std::string& bankKi, const std::string& publicKey,
        const std::string& sessionKey, std::function<void(bool)> success,
        std::function<void(bool)> failure);

    /// Fetches an OTP challenge. `success(referenceId, otpChallengeCode, otpExpiry, action)`:
    /// referenceId and action go back with createValidateOtpRequest. `failure(errorCode,
    /// errorReason)`: the server's values for a refusal, "Exception Occured" twice otherwise.
    virtual void createFetchOtpChallengeRequest(
        const std::string& transactionType, const std::string& txnId,
        const std::string& paymentInstrumentType, const std::string& bic,
        const std::string& sessionKey, const std::optional<std::string>& action,
        std::function<void(const std::string& referenceId, const std::string& otpChallengeCode,
                           const std::string& otpExpiry, const std::string& action)>
            success,
        CodeReasonCallback failure);

    /// One poll: "retry" while the server reports the transaction "PENDING", else "stop".
    virtual void checkOtpStatus(const std::string& txnId,
                                std::function<void(const std::string& status)> status);

    /// Validates the OTP the user typed (sealed for the bank). `success(true)` when accepted;
    /// `failure(errorCode, errorReason)` as for createFetchOtpChallengeRequest.
    virtual void createValidateOtpRequest(
        const std::string& txnId, const std::string& transactionType, const std::string& credValue,
        const std::string& bankKi, const std::string& publicKey, const std::string& sessionKey,
        const std::string& action, const std::string& bic, const std::string& referenceid,
        std::function<void(bool)> success, CodeReasonCallback failure);

    // ---- The operations as values ------------------------------------------------------------
    //
    // Every operation also comes in two more forms, with the same arguments and checks:
    //  - `name(..., options)` blocks the calling thread and returns the operation's Result;
    //  - `startName(..., completion, options)` returns at once with a CallHandle: the exchanges run
    //    on the library's engine thread, the completion receives the Result exactly once on
    //    options.executor (or the library's completion thread), and the call can be cancelled
    //    (ClientErrorCode::cancelled, with Error::delivery saying whether the request may have
    //    reached the server). Many calls may be in flight at once.
    // options.deadline bounds the whole call, re-issues included; options.diagnosticsSink receives
    // its diagnostic lines. Failures are errors in every case: a refusal is a ServerRefusal
    // carrying the server's errorCode and errorReason.

    Result<ValidateCardNumResponse> validateCardNum(const std::string& sessionKey,
                                                    const std::string& bankKi,
                                                    const std::string& publicKey,
                                                    const std::string& txnId,
                                                    const std::string& cardNumber,
                                                    const std::string& bic,
                                                    const std::string& bankName,
                                                    const CallOptions& options = {});
    CallHandle startValidateCardNum(const std::string& sessionKey, const std::string& bankKi,
                                    const std::string& publicKey, const std::string& txnId,
                                    const std::string& cardNumber, const std::string& bic,
                                    const std::string& bankName,
                                    Completion<ValidateCardNumResponse> completion,
                                    const CallOptions& options = {});

    /// The secure web page's address.
    Result<std::string> webUrl(const std::string& transactionType, const std::string& txnId,
                               const std::string& paymentInstrumentType, const std::string& bic,
                               const std::string& sessionKey, const CallOptions& options = {});
    CallHandle startWebUrl(const std::string& transactionType, const std::string& txnId,
                           const std::string& paymentInstrumentType, const std::string& bic,
                           const std::string& sessionKey, Completion<std::string> completion,
                           const CallOptions& options = {});

    Result<CardRegistration> registerCardDetail(
        const std::string& txnId, const std::string& transactionType, const std::string& bic,
        const std::optional<std::string>& accountNo, const std::string& bankKi,
        const std::string& sessionKey, const std::string& cardNumber,
        const std::string& expiryMonth, const std::string& expiryYear, const std::string& cvv,
        const std::string& publicKey, const CallOptions& options = {});
    CallHandle startRegisterCardDetail(
        const std::string& txnId, const std::string& transactionType, const std::string& bic,
        const std::optional<std::string>& accountNo, const std::string& bankKi,
        const std::string& sessionKey, const std::string& cardNumber,
        const std::string& expiryMonth, const std::string& expiryYear, const std::string& cvv,
        const std::string& publicKey, Completion<CardRegistration> completion,
        const CallOptions& options = {});

    Result<TransactionKeys> retrieveKeys(const std::string& msgID,
                                         const std::string& transactionType,
                                         const std::string& txnId, const std::string& bic,
                                         const std::string& paymentInstrumentType,
                                         const CallOptions& options = {});
    CallHandle startRetrieveKeys(const std::string& msgID, const std::string& transactionType,
                                 const std::string& txnId, const std::string& bic,
                                 const std::string& paymentInstrumentType,
                                 Completion<TransactionKeys> completion,
                                 const CallOptions& options = {});

    /// Accepted when the server accepts the credential.
    Result<Accepted> submitCredential(const std::string& txnId, const std::string& transactionType,
                                      const std::string& credType, const std::string& credValue,
                                      const std::string& bankKi, const std::string& publicKey,
                                      const std::string& sessionKey,
                                      const CallOptions& options = {});
    CallHandle startSubmitCredential(const std::string& txnId, const std::string& transactionType,
                                     const std::string& credType, const std::string& credValue,
                                     const std::string& bankKi, const std::string& publicKey,
                                     const std::string& sessionKey, Completion<Accepted> completion,
                                     const CallOptions& options = {});

    Result<OtpChallenge> fetchOtpChallenge(const std::string& transactionType,
                                           const std::string& txnId,
                                           const std::string& paymentInstrumentType,
                                           const std::string& bic, const std::string& sessionKey,
                                           const std::optional<std::string>& action,
                                           const CallOptions& options = {});
    CallHandle startFetchOtpChallenge(const std::string& transactionType, const std::string& txnId,
                                      const std::string& paymentInstrumentType,
                                      const std::string& bic, const std::string& sessionKey,
                                      const std::optional<std::string>& action,
                                      Completion<OtpChallenge> completion,
                                      const CallOptions& options = {});

    /// One poll of the OTP's status; a poll that could not ask is an error (not "stop").
    Result<OtpStatus> otpStatus(const std::string& txnId, const CallOptions& options = {});
    CallHandle startOtpStatus(const std::string& txnId, Completion<OtpStatus> completion,
                              const CallOptions& options = {});

    Result<Accepted> validateOtp(const std::string& txnId, const std::string& transactionType,
                                 const std::string& credValue, const std::string& bankKi,
                                 const std::string& publicKey, const std::string& sessionKey,
                                 const std::string& action, const std::string& bic,
                                 const std::string& referenceid, const CallOptions& options = {});
    CallHandle startValidateOtp(const std::string& txnId, const std::string& transactionType,
                                const std::string& credValue, const std::string& bankKi,
                                const std::string& publicKey, const std::string& sessionKey,
                                const std::string& action, const std::string& bic,
                                const std::string& referenceid, Completion<Accepted> completion,
                                const CallOptions& options = {});

    /// What the server says of the stored registration (see RegistrationStatus); an error when
    /// the check could not ask.
    Result<RegistrationStatus> checkRegistration(const std::string& mobile,
                                                 const CallOptions& options = {});
    CallHandle startCheckRegistration(const std::string& mobile,
                                      Completion<RegistrationStatus> completion,
                                      const CallOptions& options = {});

    /// The journal of outcomes unknown in the installed store: see Client::pendingOutcomes,
    /// Client::settleOutcome and Client::settleOtpOutcome.
    Result<std::vector<PendingOutcome>> pendingOutcomes();
    Result<bool> settleOutcome(const std::string& msgId);
    Result<OtpStatus> settleOtpOutcome(const std::string& msgId, const CallOptions& options = {});

    // ---- Used inside the library (public so the registration flow and tests can reach them) --

    /// One HTTP exchange under AppConstantTAVI::shared().serverURL. The completion receives the
    /// body (any HTTP status) or an error, and has run before this returns.
    void performRequest(const std::string& endPoint, const std::string& method,
                        const std::map<std::string, QueryValue>& queryParams,
                        const std::optional<Bytes>& body,
                        const std::map<std::string, std::string>& headers,
                        const std::function<void(const Result<Bytes>&)>& completion);

    /// The SMS step of registration; success receives the body bytes.
    void mockSmsRequestAsync(const UserRegistrationTxnSMSRequest& request,
                             const std::function<void(const Bytes&)>& success,
                             const ErrorCallback& failure);
    /// The sealed registration request; success receives the decoded answer.
    void registerUserAsync(const TaviRegistrationRequest& request,
                           const std::function<void(const TaviRegistrationResponse&)>& success,
                           const ErrorCallback& failure);
    /// The sealed registration check request.
    void checkDeviceRegistrationAsync(
        const CheckDeviceRegistrationRequest& request,
        const std::function<void(const CheckDeviceRegistrationResponse&)>& success,
        const ErrorCallback& failure);
};

/// Registers the device and its user with the server and keeps the session in the store.
class TAVI_EXPORT DeviceRegistrationController {
public:
    DeviceRegistrationController() = default;
    /// Runs the SMS step, then the sealed registration. `onSuccess("done")` when the session is
    /// stored; `onError` otherwise. Nothing at all happens when `success` is false.
    void startDeviceRegistration(bool success, const std::string& sessionKey,
                                 const std::string& mobileNumber, const std::string& txnID,
                                 const std::string& appId,
                                 const std::function<void(const std::string&)>& onSuccess,
                                 const std::function<void(const Error&)>& onError) const;

    /// Registration as a value (see TaviApiService's value forms): Accepted once the whole
    /// session is stored. A cancel that arrives while the session is being written is refused
    /// (cancel() returns false): the store holds the old session or the whole new one.
    Result<Accepted> registerDevice(const std::string& sessionKey, const std::string& mobileNumber,
                                    const std::string& txnID, const std::string& appId,
                                    const CallOptions& options = {}) const;
    CallHandle startRegisterDevice(const std::string& sessionKey, const std::string& mobileNumber,
                                   const std::string& txnID, const std::string& appId,
                                   Completion<Accepted> completion,
                                   const CallOptions& options = {}) const;
};

}  // namespace tavi
