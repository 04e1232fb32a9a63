// tavi — the operation declaration table: one request type per server operation, its fields
// declared once.
//
// Shape of every request type R:
//
//   struct R {
//       static constexpr std::string_view command = "retrieve-keys";  // the CLI subcommand
//       static constexpr std::string_view cName   = "retrieve_keys";  // tavi_<cName>, tavi_start_<cName>
//       static constexpr std::string_view operation = "createRetrieveKeysRequest";  // diagnostics
//       static constexpr std::string_view summary = "open a transaction: retrieve its keys";
//       using Result = TransactionKeys;                                // what a call produces
//       <members: std::string, SecretString, std::optional<std::string>,
//                 std::optional<SecretString>>
//       template <class V> static constexpr void fields(V&& visit);
//       template <class V> static void outcome(const Result&, V&& visit);
//   };
//
// fields() calls visit(FieldSpec{name, cName, cliOption, secret, required, help}, &R::member) once for
// each member, in the argument order of the operation (the order of the callback form's
// parameters and of the C function's parameters). `name` is the argument label, which is also
// the member's name and the name an invalid-argument error gives. A member whose FieldSpec says
// `secret` is a SecretString (or an optional one): it never reaches a log line, an error or the
// store in clear, and the CLI accepts it only as `-` (standard input) or `@FILE`. A field that is
// not `required` is a std::optional declared `= {}` (so that requests written without it, by
// position or by name, stay valid) and may be left unset; a required one must be set (an empty
// text is a value).
//
// Two request types are not named after their operation's wire record, whose name is taken:
// RegisterCardRequest (the wire record is RegisterCardDetailRequest) and SecureWebUrlRequest
// (the wire record is WebUrlRequest). The others: CheckRegistrationRequest,
// RegisterDeviceRequest, RetrieveKeysRequest, SubmitCredentialRequest, FetchOtpChallengeRequest,
// CheckOtpStatusRequest, ValidateOtpRequest, ValidateCardNumberRequest.
// Expiry month and year are secret fields too (SecretString, secret = true).
//
// outcome(result, visit) calls visit(name, value) for each value of a success, in order, with a
// bool, a text or an optional text (null when absent): the C result's values and the CLI's JSON
// line both come from it. failed(error, visit), where a request type has one, names the values a
// failure gives beside its error.
//
// Adding a field to an operation: add the member and its visit line here, and the value to the
// wire record the operation sends. Checks, the CLI option with its help and the CLI output follow
// from this table. A new field goes last and is optional: the C functions keep their arguments
// (C ABI) and leave it unset, until a new C function takes it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tavi/call.hpp"
#include "tavi/records.hpp"
#include "tavi/secret.hpp"

namespace tavi {

/// What the table says of one field of a request.
struct FieldSpec {
    std::string_view name;       ///< argument label and member name, e.g. "txnId"
    std::string_view cName;      ///< C parameter name, e.g. "txn_id"
    std::string_view cliOption;  ///< CLI option, e.g. "--txn-id"
    bool secret = false;         ///< a SecretString: never logged, never a CLI literal
    bool required = true;        ///< false: a std::optional that may be left unset
    std::string_view help = {};  ///< what the value is, for the CLI's help
};

namespace field {
// The spellings several operations share.
inline constexpr FieldSpec txnId{"txnId", "txn_id", "--txn-id", false, true,
                               "transaction identifier"};
inline constexpr FieldSpec transactionType{"transactionType", "transaction_type",
                                           "--transaction-type", false, true,
                                           "transaction type, usually FINANCIAL_TXN"};
inline constexpr FieldSpec bic{"bic", "bic", "--bic", false, true,
                             "bank identifier code of the account's bank"};
inline constexpr FieldSpec paymentInstrumentType{"paymentInstrumentType",
                                                 "payment_instrument_type", "--instrument-type",
                                                 false, true,
                                                 "payment instrument type, e.g. ACCOUNT"};
inline constexpr FieldSpec sessionKey{"sessionKey", "session_key", "--session-key", false, true,
                                    "the transaction's session key (\"sessionKey\" from retrieve-keys)"};
inline constexpr FieldSpec bankKi{"bankKi", "bank_ki", "--bank-ki", false, true,
                                "bank key index (\"bankKi\" from retrieve-keys)"};
inline constexpr FieldSpec publicKey{"publicKey", "public_key", "--public-key", false, true,
                                   "the bank's public key (\"publicKey\" from retrieve-keys)"};
}  // namespace field

/// Whether this device counts as registered (TaviUtils::getCheckDeviceRegistered).
struct CheckRegistrationRequest {
    static constexpr std::string_view command = "check";
    static constexpr std::string_view cName = "check_device_registered";
    static constexpr std::string_view operation = "getCheckDeviceRegistered";
    static constexpr std::string_view summary = "ask whether this device counts as registered";
    using Result = RegistrationStatus;

    std::string mobile;

    template <class V>
    static constexpr void fields(V&& visit) {
        visit(FieldSpec{"mobile", "mobile", "--mobile", false, true,
                        "the user's mobile number, e.g. +15550100"},
              &CheckRegistrationRequest::mobile);
    }
    template <class V>
    static void outcome(const Result& s, V&& visit) {
        visit("registered", s == RegistrationStatus::registered);
    }
    template <class V>
    static void failed(const Error&, V&& visit) {
        visit("registered", false);
    }
};

/// Registers the device and its user (DeviceRegistrationController::startDeviceRegistration).
struct RegisterDeviceRequest {
    static constexpr std::string_view command = "register";
    static constexpr std::string_view cName = "register_device";
    static constexpr std::string_view operation = "startDeviceRegistration";
    static constexpr std::string_view summary = "register this device and its user";
    using Result = Accepted;

    std::string sessionKey;  ///< the server's public key (base64 DER)
    std::string mobileNumber;
    std::string txnID;
    std::string appId;

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = RegisterDeviceRequest;
        visit(FieldSpec{"sessionKey", "session_key", "--session-key", false, true,
                        "the server's public key, base64 DER (\"serverPublicKey\" printed by "
                        "tavi sandbox)"},
              &R::sessionKey);
        visit(FieldSpec{"mobileNumber", "mobile", "--mobile", false, true,
                        "the user's mobile number, e.g. +15550100"},
              &R::mobileNumber);
        visit(FieldSpec{"txnID", "txn_id", "--txn-id", false, true,
                        "registration transaction identifier"},
              &R::txnID);
        visit(FieldSpec{"appId", "app_id", "--app-id", false, true,
                        "application identifier registered with the device (this command's "
                        "own option: give a global --app-id before the command)"},
              &R::appId);
    }
    template <class V>
    static void outcome(const Result&, V&& visit) {
        visit("result", "done");
    }
};

/// Opens a transaction: its key material (createRetrieveKeysRequest).
struct RetrieveKeysRequest {
    static constexpr std::string_view command = "retrieve-keys";
    static constexpr std::string_view cName = "retrieve_keys";
    static constexpr std::string_view operation = "createRetrieveKeysRequest";
    static constexpr std::string_view summary = "open a transaction: retrieve its keys";
    using Result = TransactionKeys;

    std::string msgID;
    std::string transactionType;
    std::string txnId;
    std::string bic;
    std::string paymentInstrumentType;

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = RetrieveKeysRequest;
        visit(FieldSpec{"msgID", "msg_id", "--msg-id", false, true,
                        "message identifier, unique per request"},
              &R::msgID);
        visit(field::transactionType, &R::transactionType);
        visit(field::txnId, &R::txnId);
        visit(field::bic, &R::bic);
        visit(field::paymentInstrumentType, &R::paymentInstrumentType);
    }
    template <class V>
    static void outcome(const Result& k, V&& visit) {
        visit("bankKi", k.bankKi);
        visit("publicKey", k.publicKey);
        visit("sessionKey", k.sessionKey);
        visit("txnId", k.txnId);
        visit("rule", k.rule);
    }
};

/// Submits a PIN-type credential (createCredentialSubmissionRequest).
struct SubmitCredentialRequest {
    static constexpr std::string_view command = "submit-credential";
    static constexpr std::string_view cName = "submit_credential";
    static constexpr std::string_view operation = "createCredentialSubmissionRequest";
    static constexpr std::string_view summary = "submit a PIN-type credential";
    using Result = Accepted;

    std::string txnId;
    std::string transactionType;
    std::string credType;
    SecretString credValue;
    std::string bankKi;
    std::string publicKey;
    std::string sessionKey;

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = SubmitCredentialRequest;
        visit(field::txnId, &R::txnId);
        visit(field::transactionType, &R::transactionType);
        visit(FieldSpec{"credType", "cred_type", "--cred-type", false, true, "credential type"},
              &R::credType);
        visit(FieldSpec{"credValue", "cred_value", "--cred-value", true, true,
                        "the credential (the PIN)"},
              &R::credValue);
        visit(field::bankKi, &R::bankKi);
        visit(field::publicKey, &R::publicKey);
        visit(field::sessionKey, &R::sessionKey);
    }
    template <class V>
    static void outcome(const Result&, V&& visit) {
        visit("success", true);
    }
    template <class V>
    static void failed(const Error&, V&& visit) {
        visit("success", false);
    }
};

/// Fetches an OTP challenge (createFetchOtpChallengeRequest).
struct FetchOtpChallengeRequest {
    static constexpr std::string_view command = "fetch-otp";
    static constexpr std::string_view cName = "fetch_otp_challenge";
    static constexpr std::string_view operation = "createFetchOtpChallengeRequest";
    static constexpr std::string_view summary = "fetch an OTP challenge";
    using Result = OtpChallenge;

    std::string transactionType;
    std::string txnId;
    std::string paymentInstrumentType;
    std::string bic;
    std::string sessionKey;
    std::optional<std::string> action = {};

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = FetchOtpChallengeRequest;
        visit(field::transactionType, &R::transactionType);
        visit(field::txnId, &R::txnId);
        visit(field::paymentInstrumentType, &R::paymentInstrumentType);
        visit(field::bic, &R::bic);
        visit(field::sessionKey, &R::sessionKey);
        visit(FieldSpec{"action", "action", "--action", false, false,
                        "what the OTP authorises, e.g. PURCHASE (default: the server's)"},
              &R::action);
    }
    template <class V>
    static void outcome(const Result& c, V&& visit) {
        visit("referenceId", c.referenceId);
        visit("otpChallengeCode", c.otpChallengeCode);
        visit("otpExpiry", c.otpExpiry);
        visit("action", c.action);
    }
    template <class V>
    static void failed(const Error& e, V&& visit) {
        visit("errorCode", e.errorCode);
        visit("errorReason", e.errorReason);
    }
};

/// One poll of an OTP's status (checkOtpStatus).
struct CheckOtpStatusRequest {
    static constexpr std::string_view command = "otp-status";
    static constexpr std::string_view cName = "check_otp_status";
    static constexpr std::string_view operation = "checkOtpStatus";
    static constexpr std::string_view summary = "poll whether a transaction's OTP is verified";
    using Result = OtpStatus;

    std::string txnId;

    template <class V>
    static constexpr void fields(V&& visit) {
        visit(field::txnId, &CheckOtpStatusRequest::txnId);
    }
    template <class V>
    static void outcome(const Result& s, V&& visit) {
        visit("status", s == OtpStatus::pending ? "retry" : "stop");
    }
    template <class V>
    static void failed(const Error&, V&& visit) {
        visit("status", "stop");
    }
};

/// Validates the OTP the user typed (createValidateOtpRequest).
struct ValidateOtpRequest {
    static constexpr std::string_view command = "validate-otp";
    static constexpr std::string_view cName = "validate_otp";
    static constexpr std::string_view operation = "createValidateOtpRequest";
    static constexpr std::string_view summary = "validate an OTP";
    using Result = Accepted;

    std::string txnId;
    std::string transactionType;
    SecretString credValue;  ///< the OTP
    std::string bankKi;
    std::string publicKey;
    std::string sessionKey;
    std::string action;
    std::string bic;
    std::string referenceid;

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = ValidateOtpRequest;
        visit(field::txnId, &R::txnId);
        visit(field::transactionType, &R::transactionType);
        visit(FieldSpec{"credValue", "otp", "--otp", true, true,
                        "the one-time password the user received"},
              &R::credValue);
        visit(field::bankKi, &R::bankKi);
        visit(field::publicKey, &R::publicKey);
        visit(field::sessionKey, &R::sessionKey);
        visit(FieldSpec{"action", "action", "--action", false, true,
                        "\"action\" from fetch-otp, e.g. PURCHASE"},
              &R::action);
        visit(field::bic, &R::bic);
        visit(FieldSpec{"referenceid", "reference_id", "--reference-id", false, true,
                        "\"referenceId\" from fetch-otp"},
              &R::referenceid);
    }
    template <class V>
    static void outcome(const Result&, V&& visit) {
        visit("success", true);
    }
    template <class V>
    static void failed(const Error& e, V&& visit) {
        FetchOtpChallengeRequest::failed(e, visit);
    }
};

/// Validates a card number against a bank (validateCardNumAsync).
struct ValidateCardNumberRequest {
    static constexpr std::string_view command = "validate-card";
    static constexpr std::string_view cName = "validate_card_number";
    static constexpr std::string_view operation = "validateCardNumAsync";
    static constexpr std::string_view summary = "check a card number against a bank";
    using Result = ValidateCardNumResponse;

    std::string sessionKey;
    std::string bankKi;
    std::string publicKey;
    std::string txnId;
    SecretString cardNumber;
    std::string bic;
    std::string bankName;

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = ValidateCardNumberRequest;
        visit(field::sessionKey, &R::sessionKey);
        visit(field::bankKi, &R::bankKi);
        visit(field::publicKey, &R::publicKey);
        visit(field::txnId, &R::txnId);
        visit(FieldSpec{"cardNumber", "card_number", "--card-number", true, true,
                        "the card number, digits only"},
              &R::cardNumber);
        visit(field::bic, &R::bic);
        visit(FieldSpec{"bankName", "bank_name", "--bank-name", false, true,
                        "the bank name the card should belong to"},
              &R::bankName);
    }
    template <class V>
    static void outcome(const Result& v, V&& visit) {
        visit("success", v.commonResponse.success);
        visit("reqMsgId", v.commonResponse.reqMsgID);
        visit("errorCode", v.commonResponse.errorCode);
        visit("errorReason", v.commonResponse.errorReason);
        visit("bankNameMatchStatus", v.bankNameMatchStatus);
    }
};

/// Registers card details and, optionally, an account (registerCardDetailRequest).
struct RegisterCardRequest {
    static constexpr std::string_view command = "register-card";
    static constexpr std::string_view cName = "register_card_detail";
    static constexpr std::string_view operation = "registerCardDetailRequest";
    static constexpr std::string_view summary = "register card and account details";
    using Result = CardRegistration;

    std::string txnId;
    std::string transactionType;
    std::string bic;
    std::optional<SecretString> accountNo = {};
    std::string bankKi;
    std::string sessionKey;
    SecretString cardNumber;
    SecretString expiryMonth;
    SecretString expiryYear;
    SecretString cvv;
    std::string publicKey;

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = RegisterCardRequest;
        visit(field::txnId, &R::txnId);
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true,
                        "transaction type, usually REGISTER_CARD_ACC_DETAIL"},
              &R::transactionType);
        visit(field::bic, &R::bic);
        visit(FieldSpec{"accountNo", "account_no", "--account-no", true, false,
                        "account number (optional)"},
              &R::accountNo);
        visit(field::bankKi, &R::bankKi);
        visit(field::sessionKey, &R::sessionKey);
        visit(FieldSpec{"cardNumber", "card_number", "--card-number", true, true,
                        "the card number, digits only"},
              &R::cardNumber);
        visit(FieldSpec{"expiryMonth", "expiry_month", "--expiry-month", true, true,
                        "expiry month, 1 to 12 (e.g. 07)"},
              &R::expiryMonth);
        visit(FieldSpec{"expiryYear", "expiry_year", "--expiry-year", true, true,
                        "expiry year, four digits, not past"},
              &R::expiryYear);
        visit(FieldSpec{"cvv", "cvv", "--cvv", true, true,
                        "the card's 3- or 4-digit security code"},
              &R::cvv);
        visit(field::publicKey, &R::publicKey);
    }
    template <class V>
    static void outcome(const Result& r, V&& visit) {
        visit("success", r.accepted);
        visit("errorCode", r.errorCode);
    }
};

/// The secure web page's address for a transaction (webUrlRequestAsync).
struct SecureWebUrlRequest {
    static constexpr std::string_view command = "web-url";
    static constexpr std::string_view cName = "web_url";
    static constexpr std::string_view operation = "webUrlRequestAsync";
    static constexpr std::string_view summary = "obtain the secure web page address";
    using Result = std::string;

    std::string transactionType;
    std::string txnId;
    std::string paymentInstrumentType;
    std::string bic;
    std::string sessionKey;

    template <class V>
    static constexpr void fields(V&& visit) {
        using R = SecureWebUrlRequest;
        visit(FieldSpec{"transactionType", "transaction_type", "--transaction-type", false, true,
                        "transaction type, usually SECURE_PAGE_URL"},
              &R::transactionType);
        visit(field::txnId, &R::txnId);
        visit(field::paymentInstrumentType, &R::paymentInstrumentType);
        visit(field::bic, &R::bic);
        visit(field::sessionKey, &R::sessionKey);
    }
    template <class V>
    static void outcome(const Result& refUrl, V&& visit) {
        visit("refUrl", refUrl);
    }
};

/// Every request type, in Connection's order: X(R) once for each.
#define TAVI_REQUEST_TYPES(X)   \
    X(CheckRegistrationRequest)  \
    X(RegisterDeviceRequest)     \
    X(RetrieveKeysRequest)       \
    X(SubmitCredentialRequest)   \
    X(FetchOtpChallengeRequest)  \
    X(CheckOtpStatusRequest)     \
    X(ValidateOtpRequest)        \
    X(ValidateCardNumberRequest) \
    X(RegisterCardRequest)       \
    X(SecureWebUrlRequest)

/// Calls `visit.template operator()<R>()` for every request type, in the CLI's order.
template <class V>
void forEachRequestType(V&& visit) {
    visit.template operator()<CheckOtpStatusRequest>();
    visit.template operator()<CheckRegistrationRequest>();
    visit.template operator()<RegisterDeviceRequest>();
    visit.template operator()<RetrieveKeysRequest>();
    visit.template operator()<SubmitCredentialRequest>();
    visit.template operator()<FetchOtpChallengeRequest>();
    visit.template operator()<ValidateOtpRequest>();
    visit.template operator()<ValidateCardNumberRequest>();
    visit.template operator()<RegisterCardRequest>();
    visit.template operator()<SecureWebUrlRequest>();
}

}  // namespace tavi
