// The steps every operation is built from, and the adapters that hand an operation's result to the
// callback shapes of the public interface. An operation states what it sends and what it makes of
// the answer; posting, decoding, re-issuing and opening sealed answers are written once, here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "core/internal.hpp"
#include "core/record.hpp"
#include "net/call.hpp"
#include "operations/operations.hpp"
#include "operations/sealed.hpp"
#include "tavi/call.hpp"
#include "tavi/result.hpp"
#include "translator/seal.hpp"

namespace tavi::detail {

/// The JSON request header every operation sends.
inline const std::map<std::string, std::string>& jsonHeaders() {
    static const std::map<std::string, std::string> headers{{"Content-Type", "application/json"}};
    return headers;
}

/// ApiServiceError.decodingError for an answer that did not decode as the expected record,
/// keeping the answer's HTTP status and, when the body had one, the server's errorCode.
Error undecodableAnswer(Error decoding, const Answer& answer);

/// POSTs `body` (unless it could not be encoded) to `endPoint`: the raw answer, any HTTP status.
Task<Result<Answer>> post(std::string endPoint, Result<Bytes> body);

/// POSTs `body` to `endPoint` and decodes the answer (any HTTP status) as record R.
template <WireRecord R>
Task<Result<R>> postAndDecode(std::string endPoint, Result<Bytes> body) {
    auto exchange = post(std::move(endPoint), std::move(body));
    auto answer = co_await exchange;
    if (!answer) co_return answer.error();
    auto decoded = decodeBody<R>(answer.value().body);
    if (!decoded) co_return undecodableAnswer(decoded.error(), answer.value());
    co_return std::move(decoded).value();
}

/// `value` sealed for the bank under the request's bankKi and publicKey. The error names `what`
/// (for example "the OTP"), never the value.
template <class R>
Result<std::string> sealedForBank(const R& call, std::string_view value, std::string_view what) {
    if (auto sealed = sealForBank(value, call.bankKi, call.publicKey, call.txnId))
        return std::move(*sealed);
    return clientError(ClientErrorCode::invalidKey,
                       std::string(what) +
                           " could not be sealed for the bank: the bank key cannot be used");
}

/// The first half of a request whose AES key is wrapped with the call's sessionKey argument.
template <class R>
Result<SealedRequest> beginSessionKeyRequest(const R& call) {
    return beginSealedRequest(sessionKeyOptions(call.sessionKey, call.transactionType, call.txnId));
}

/// Asks the whole request again (a fresh key, a new request): the answer's key could not be
/// recovered.
struct Reissue {};

/// What one attempt of an operation produced.
template <class T>
using Attempted = std::variant<T, Error, Reissue>;

/// An attempt that did not open its answer, passed on as the operation's own outcome.
template <class T>
Attempted<T> notOpened(Attempted<std::string>&& opened) {
    if (auto* error = std::get_if<Error>(&opened)) return std::move(*error);
    return Reissue{};
}

/// Runs `attempt(n)` for n = 1, 2, ... until it produces a value or an error, at most
/// kMaxAttempts times; then the retry-limit error naming `operation`.
template <class T, class MakeAttempt>
Task<Result<T>> withReissues(const char* operation, MakeAttempt attempt) {
    for (int n = 1;; ++n) {
        auto task = attempt(n);
        Attempted<T> outcome = co_await task;
        if (auto* value = std::get_if<T>(&outcome)) co_return std::move(*value);
        if (auto* error = std::get_if<Error>(&outcome)) co_return std::move(*error);
        if (n >= kMaxAttempts) co_return retryLimitError(operation);
    }
}

/// The whole call of an operation whose answer may have to be asked again: it is noted as
/// `name`, its request checked, then `attempt(call)` runs as withReissues says.
template <class R, class Attempt>
Task<Result<typename R::Result>> reissuingCall(R call, const char* name, Resend resend,
                                               Attempt attempt) {
    noteOperation(name, call.txnId, resend);
    if (auto refused = checkRequest(call)) co_return *refused;
    AdmissionStep turn;  // the request is sealed only once a connection is near
    if (auto ended = co_await turn) co_return *ended;
    auto attempts = withReissues<typename R::Result>(R::operation.data(),
                                                     [&](int) { return attempt(call); });
    co_return co_await attempts;
}

/// The decrypted payload text of a sealed answer, a re-issue, or why it cannot be opened.
Attempted<std::string> openAnswer(const CommonResponse& header, const std::string& payloadField,
                                  const std::string& publicKeyText, const OpenOptions& options);

/// openAnswer with the server key stored at registration, as read for `request`.
Attempted<std::string> openWithStoredKey(const SealedRequest& request,
                                         const CommonResponse& header,
                                         const std::string& payloadField,
                                         const OpenOptions& options);

// ---- Adapters to the callback shapes ----------------------------------------------------------

/// The value to `success` (which checks for itself whether the host gave a callback), or the
/// error value to `failure`.
template <class T, class Success>
void deliverResult(Result<T>&& result, const Success& success,
                   const std::function<void(const Error&)>& failure) {
    if (result) {
        success(std::move(result).value());
    } else if (failure) {
        failure(result.error());
    }
}

inline constexpr const char* kExceptionOccured = "Exception Occured";

/// A failure as (errorCode, errorReason): the server's values for a refusal, "Exception Occured"
/// twice for everything else.
void deliverCodeReason(
    const Error& error,
    const std::function<void(const std::optional<std::string>&, const std::optional<std::string>&)>&
        failure);

/// Runs an operation on the calling thread, inside an operation scope with the call's options.
template <class T>
Result<T> runBlocking(Task<Result<T>> task, const CallOptions& options) {
    std::optional<long long> deadline;
    if (options.deadline) deadline = std::max<long long>(1, options.deadline->count());
    const OperationScope scope(deadline, options.diagnosticsSink, options.correlation);
    return runHere(std::move(task));
}

}  // namespace tavi::detail
