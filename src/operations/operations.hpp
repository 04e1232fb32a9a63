// Every operation as a task over its request type (tavi/requests.hpp), and the checks every
// request gets from its declaration before anything is sent.
#pragma once

#include <optional>
#include <string_view>
#include <type_traits>

#include "core/internal.hpp"
#include "net/task.hpp"
#include "tavi/requests.hpp"

namespace tavi::detail {

Task<Result<RegistrationStatus>> run(CheckRegistrationRequest request);
Task<Result<Accepted>> run(RegisterDeviceRequest request);
Task<Result<TransactionKeys>> run(RetrieveKeysRequest request);
Task<Result<Accepted>> run(SubmitCredentialRequest request);
Task<Result<OtpChallenge>> run(FetchOtpChallengeRequest request);
Task<Result<OtpStatus>> run(CheckOtpStatusRequest request);
Task<Result<Accepted>> run(ValidateOtpRequest request);
Task<Result<ValidateCardNumResponse>> run(ValidateCardNumberRequest request);
Task<Result<CardRegistration>> run(RegisterCardRequest request);
Task<Result<std::string>> run(SecureWebUrlRequest request);

/// A secret copy of an optional text (the caller's copy is the caller's to wipe).
inline std::optional<SecretString> secretCopy(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return SecretString(*text);
}

/// The text of a field, whatever its declared type; none for an unset optional.
inline std::optional<std::string_view> fieldText(const std::string& v) { return v; }
inline std::optional<std::string_view> fieldText(const SecretString& v) { return v.view(); }
template <class T>
std::optional<std::string_view> fieldText(const std::optional<T>& v) {
    if (!v) return std::nullopt;
    return fieldText(*v);
}

/// The first field of `request` that is not valid UTF-8 text (an invalidArgument error naming
/// it, never showing it), in declaration order; none when every field can be sent. An unset
/// optional is not checked.
template <class R>
std::optional<Error> checkRequest(const R& request, const char* kind = "argument") {
    std::optional<Error> refused;
    R::fields([&](const FieldSpec& spec, auto member) {
        if (refused) return;
        const auto text = fieldText(request.*member);
        if (!text) return;
        const std::string name(spec.name);
        refused = nonUTF8Text({{name.c_str(), *text}}, kind);
    });
    return refused;
}

}  // namespace tavi::detail
