// The operations the command-line tool drives, one request struct each, declared in the shape of
// the library's request types: `command` names the subcommand, `Result` is what the operation
// gives, and `fields(visit)` calls `visit(FieldSpec{...}, &Request::member)` once per field.
// The option layer (options.hpp) reads nothing else, so these declarations can give way to the
// library's own request types without touching it; start() is the one call each operation needs.
#pragma once

#include <string.h>  // explicit_bzero

#include <optional>
#include <string>
#include <string_view>

#include "tavi/tavi.hpp"

namespace tavi::cli {

/// One field of a request: its name, its C name, its command-line option, whether it is a
/// secret (never given inline on the command line), whether it must be given.
struct FieldSpec {
    std::string_view name;
    std::string_view cName;
    std::string_view cliOption;
    bool secret = false;
    bool required = true;
};

/// A secret's text, wiped when it goes.
class SecretString {
  public:
    SecretString() = default;
    explicit SecretString(std::string text) : text_(std::move(text)) {}
    SecretString(SecretString&& other) noexcept : text_(std::move(other.text_)) {
        other.wipe();
    }
    SecretString& operator=(SecretString&& other) noexcept {
        if (this != &other) {
            wipe();
            text_ = std::move(other.text_);
            other.wipe();
        }
        return *this;
    }
    SecretString(const SecretString&) = delete;
    SecretString& operator=(const SecretString&) = delete;
    ~SecretString() { wipe(); }

    const std::string& reveal() const { return text_; }

  private:
    void wipe() noexcept {
        ::explicit_bzero(text_.data(), text_.size());
        text_.clear();
    }
    std::string text_;
};

struct OtpStatusRequest {
    static constexpr std::string_view command = "otp-status";
    using Result = OtpStatus;
    std::string txnId;
    template <class V>
    static void fields(V&& visit) {
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &OtpStatusRequest::txnId);
    }
};

struct CheckRegistrationRequest {
    static constexpr std::string_view command = "check";
    using Result = RegistrationStatus;
    std::string mobile;
    template <class V>
    static void fields(V&& visit) {
        visit(FieldSpec{"mobile", "mobile", "--mobile", false, true},
              &CheckRegistrationRequest::mobile);
    }
};

struct RegisterDeviceRequest {
    static constexpr std::string_view command = "register";
    using Result = Accepted;
    std::string sessionKey, mobileNumber, txnID, appId;
    template <class V>
    static void fields(V&& visit) {
        using R = RegisterDeviceRequest;
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true}, &R::sessionKey);
        visit(FieldSpec{"mobileNumber", "mobile_number", "--mobile", false, true},
              &R::mobileNumber);
        visit(FieldSpec{"txnID", "txn_id", "--txn-id", false, true}, &R::txnID);
        visit(FieldSpec{"appId", "app_id", "--app-id", false, true}, &R::appId);
    }
};

struct RetrieveKeysRequest {
    static constexpr std::string_view command = "retrieve-keys";
    using Result = TransactionKeys;
    std::string msgID, transactionType, txnId, bic, paymentInstrumentType;
    template <class V>
    static void fields(V&& visit) {
        using R = RetrieveKeysRequest;
        visit(FieldSpec{"msgID", "msg_id", "--msg-id", false, true}, &R::msgID);
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true},
              &R::transactionType);
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &R::txnId);
        visit(FieldSpec{"bic", "bic", "--bic", false, true}, &R::bic);
        visit(FieldSpec{"paymentInstrumentType", "payment_instrument_type", "--instrument-type",
                        false, true},
              &R::paymentInstrumentType);
    }
};

struct SubmitCredentialRequest {
    static constexpr std::string_view command = "submit-credential";
    using Result = Accepted;
    std::string txnId, transactionType, credType;
    SecretString credValue;
    std::string bankKi, publicKey, sessionKey;
    template <class V>
    static void fields(V&& visit) {
        using R = SubmitCredentialRequest;
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &R::txnId);
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true},
              &R::transactionType);
        visit(FieldSpec{"credType", "cred_type", "--cred-type", false, true}, &R::credType);
        visit(FieldSpec{"credValue", "cred_value", "--cred-value", true, true}, &R::credValue);
        visit(FieldSpec{"bankKi", "bank_ki", "--bank-ki", false, true}, &R::bankKi);
        visit(FieldSpec{"publicKey", "public_key", "--public-key", false, true}, &R::publicKey);
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true}, &R::sessionKey);
    }
};

struct FetchOtpChallengeRequest {
    static constexpr std::string_view command = "fetch-otp";
    using Result = OtpChallenge;
    std::string transactionType, txnId, paymentInstrumentType, bic, sessionKey;
    std::optional<std::string> action;
    template <class V>
    static void fields(V&& visit) {
        using R = FetchOtpChallengeRequest;
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true},
              &R::transactionType);
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &R::txnId);
        visit(FieldSpec{"paymentInstrumentType", "payment_instrument_type", "--instrument-type",
                        false, true},
              &R::paymentInstrumentType);
        visit(FieldSpec{"bic", "bic", "--bic", false, true}, &R::bic);
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true}, &R::sessionKey);
        visit(FieldSpec{"action", "action", "--action", false, false}, &R::action);
    }
};

struct ValidateOtpRequest {
    static constexpr std::string_view command = "validate-otp";
    using Result = Accepted;
    std::string txnId, transactionType;
    SecretString otp;
    std::string bankKi, publicKey, sessionKey, action, bic, referenceId;
    template <class V>
    static void fields(V&& visit) {
        using R = ValidateOtpRequest;
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &R::txnId);
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true},
              &R::transactionType);
        visit(FieldSpec{"otp", "otp", "--otp", true, true}, &R::otp);
        visit(FieldSpec{"bankKi", "bank_ki", "--bank-ki", false, true}, &R::bankKi);
        visit(FieldSpec{"publicKey", "public_key", "--public-key", false, true}, &R::publicKey);
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true}, &R::sessionKey);
        visit(FieldSpec{"action", "action", "--action", false, true}, &R::action);
        visit(FieldSpec{"bic", "bic", "--bic", false, true}, &R::bic);
        visit(FieldSpec{"referenceId", "reference_id", "--reference-id", false, true},
              &R::referenceId);
    }
};

struct ValidateCardRequest {
    static constexpr std::string_view command = "validate-card";
    using Result = ValidateCardNumResponse;
    std::string sessionKey, bankKi, publicKey, txnId;
    SecretString cardNumber;
    std::string bic, bankName;
    template <class V>
    static void fields(V&& visit) {
        using R = ValidateCardRequest;
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true}, &R::sessionKey);
        visit(FieldSpec{"bankKi", "bank_ki", "--bank-ki", false, true}, &R::bankKi);
        visit(FieldSpec{"publicKey", "public_key", "--public-key", false, true}, &R::publicKey);
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &R::txnId);
        visit(FieldSpec{"cardNumber", "card_number", "--card-number", true, true}, &R::cardNumber);
        visit(FieldSpec{"bic", "bic", "--bic", false, true}, &R::bic);
        visit(FieldSpec{"bankName", "bank_name", "--bank-name", false, true}, &R::bankName);
    }
};

struct RegisterCardRequest {
    static constexpr std::string_view command = "register-card";
    using Result = CardRegistration;
    std::string txnId, transactionType, bic;
    std::optional<SecretString> accountNo;
    std::string bankKi, sessionKey;
    SecretString cardNumber, expiryMonth, expiryYear, cvv;
    std::string publicKey;
    template <class V>
    static void fields(V&& visit) {
        using R = RegisterCardRequest;
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &R::txnId);
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true},
              &R::transactionType);
        visit(FieldSpec{"bic", "bic", "--bic", false, true}, &R::bic);
        visit(FieldSpec{"accountNo", "account_no", "--account-no", true, false}, &R::accountNo);
        visit(FieldSpec{"bankKi", "bank_ki", "--bank-ki", false, true}, &R::bankKi);
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true}, &R::sessionKey);
        visit(FieldSpec{"cardNumber", "card_number", "--card-number", true, true}, &R::cardNumber);
        visit(FieldSpec{"expiryMonth", "expiry_month", "--expiry-month", true, true},
              &R::expiryMonth);
        visit(FieldSpec{"expiryYear", "expiry_year", "--expiry-year", true, true}, &R::expiryYear);
        visit(FieldSpec{"cvv", "cvv", "--cvv", true, true}, &R::cvv);
        visit(FieldSpec{"publicKey", "public_key", "--public-key", false, true}, &R::publicKey);
    }
};

struct WebUrlRequest {
    static constexpr std::string_view command = "web-url";
    using Result = std::string;
    std::string transactionType, txnId, paymentInstrumentType, bic, sessionKey;
    template <class V>
    static void fields(V&& visit) {
        using R = WebUrlRequest;
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true},
              &R::transactionType);
        visit(FieldSpec{"txnId", "txn_id", "--txn-id", false, true}, &R::txnId);
        visit(FieldSpec{"paymentInstrumentType", "payment_instrument_type", "--instrument-type",
                        false, true},
              &R::paymentInstrumentType);
        visit(FieldSpec{"bic", "bic", "--bic", false, true}, &R::bic);
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true}, &R::sessionKey);
    }
};

/// Starts the operation `request` describes; `done` receives its result. (With the library's
/// request types this is `client.start(request, done, options)`.)
CallHandle start(const OtpStatusRequest& request, Completion<OtpStatus> done);
CallHandle start(const CheckRegistrationRequest& request, Completion<RegistrationStatus> done);
CallHandle start(const RegisterDeviceRequest& request, Completion<Accepted> done);
CallHandle start(const RetrieveKeysRequest& request, Completion<TransactionKeys> done);
CallHandle start(const SubmitCredentialRequest& request, Completion<Accepted> done);
CallHandle start(const FetchOtpChallengeRequest& request, Completion<OtpChallenge> done);
CallHandle start(const ValidateOtpRequest& request, Completion<Accepted> done);
CallHandle start(const ValidateCardRequest& request, Completion<ValidateCardNumResponse> done);
CallHandle start(const RegisterCardRequest& request, Completion<CardRegistration> done);
CallHandle start(const WebUrlRequest& request, Completion<std::string> done);

}  // namespace tavi::cli
