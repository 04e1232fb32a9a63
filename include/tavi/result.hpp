// tavi — error value and two-way result used across the public interface.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tavi/correlation.hpp"
#include "tavi/error_codes.hpp"
#include "tavi/export.hpp"

namespace tavi {

using Bytes = std::vector<std::uint8_t>;

/// Error domains the library reports.
namespace ErrorDomain {
inline constexpr const char* apiService = "ApiServiceError";  ///< ApiServiceError cases
inline constexpr const char* encryption = "EncryptionError";  ///< encryptAES256CTR failures
inline constexpr const char* empty = "";                      ///< exchange without data or error
inline constexpr const char* transport = "TransportError";    ///< libcurl; code = CURLcode
inline constexpr const char* refusal = "ServerRefusal";       ///< the server answered success=false
inline constexpr const char* decoding = "DecodingError";      ///< JSON did not match a record
inline constexpr const char* encoding = "EncodingError";      ///< a record could not be encoded
inline constexpr const char* client = "TaviClientError";      ///< the request could not be built
inline constexpr const char* store = "SecureStoreStatus";  ///< a store call; code = KeychainStatus
}  // namespace ErrorDomain

/// Codes of the TaviClientError domain (failures on this side, before or after an exchange).
enum class ClientError : long {
#define TAVI_X(code, name, brief, meaning, action) name = code,
    TAVI_CLIENT_ERROR_CODES(TAVI_X)
#undef TAVI_X
};

/// The codes of ClientError as the numbers Error::code holds, so that
/// `error.code == ClientErrorCode::cancelled` reads as before.
namespace ClientErrorCode {
#define TAVI_X(code, name, brief, meaning, action) \
    inline constexpr long name = static_cast<long>(ClientError::name);
TAVI_CLIENT_ERROR_CODES(TAVI_X)
#undef TAVI_X
}  // namespace ClientErrorCode

/// Codes of the DecodingError domain (underlying an ApiServiceError.decodingError).
enum class DecodingError : long {
#define TAVI_X(code, name, brief, meaning, action) name = code,
    TAVI_DECODING_ERROR_CODES(TAVI_X)
#undef TAVI_X
};

/// Codes of the EncodingError domain.
enum class EncodingError : long {
#define TAVI_X(code, name, brief, meaning, action) name = code,
    TAVI_ENCODING_ERROR_CODES(TAVI_X)
#undef TAVI_X
};

/// Whether a failed call's request may have reached the server.
enum class RequestDelivery {
    unknown,             ///< not said: the error's domain tells (a refusal was received, ...)
    notSent,             ///< nothing reached the server: the call can be repeated safely
    mayHaveBeenReceived  ///< the request may have reached the server and been acted on: check
                         ///< the transaction's state before repeating it; never assume it failed
};

/// One error type, modelled on a platform error value. Never carries a secret in clear.
struct TAVI_EXPORT Error {
    std::string domain;
    long code = 0;
    std::string message;
    std::shared_ptr<const Error> underlying;  ///< e.g. what ApiServiceError.decodingError carries
    std::optional<std::string> errorCode;     ///< the server's errorCode, for refusals
    std::optional<std::string> errorReason;   ///< the server's errorReason, for refusals
    /// Set for cancelled calls, passed deadlines and timeouts (and every transport error).
    RequestDelivery delivery = RequestDelivery::unknown;
    /// The HTTP status of the answer a decoding error (or a refusal) came with; 0 when none.
    long httpStatus = 0;
    /// Which call, which request: the operation, msgId, txnId, attempts and elapsed time.
    Correlation correlation{};

    /// "Domain(code): message", followed by the underlying error's description if any.
    std::string description() const;

    // Named builds, so that no error is made by the position of its fields. (Error stays an
    // aggregate: `Error{.domain = d, .code = c, .message = m}` works as well.)

    /// A TaviClientError.
    static Error client(ClientError code, std::string message);
    /// A DecodingError.
    static Error decoding(DecodingError code, std::string message);
    /// An EncodingError.
    static Error encoding(EncodingError code, std::string message);
    /// An error of any other domain (a CardValidationError, an EncryptionError, ...).
    static Error inDomain(std::string domain, long code, std::string message);
    /// This error, caused by `cause` (kept as `underlying`).
    Error withUnderlying(Error cause) &&;
    /// This error, with the request's delivery set.
    Error withDelivery(RequestDelivery how) &&;

    /// Whether this is the TaviClientError `c` (domain and code both match).
    bool is(ClientError c) const;
    /// Whether this is the DecodingError `c`.
    bool is(DecodingError c) const;
};

/// The name of `code` in `domain` as the error tables give it ("storeUnavailable",
/// "keyNotFound", "duplicateItem", ...), or empty when the table has no such code. For logs and
/// tools: match on domain and code, never on the name.
TAVI_EXPORT std::string_view errorCodeName(std::string_view domain, long code);

/// Two-way result: a value or an error.
template <class T>
class Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Error error) : v_(std::move(error)) {}
    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return std::get<0>(v_); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

/// A result without a value: done, or the error.
using Done = Result<std::monostate>;

/// The four cases of the pipeline's public error enumeration. The library produces decodingError,
/// and invalidURL (with a text naming what was wrong) for a request URL that cannot be formed;
/// such a request is never sent anywhere.
namespace ApiServiceError {
enum class Case {
#define TAVI_X(code, name, brief, meaning, action) name = code,
    TAVI_API_SERVICE_ERROR_CASES(TAVI_X)
#undef TAVI_X
};
TAVI_EXPORT Error networkError(std::string message);
TAVI_EXPORT Error decodingError(Error underlying);
TAVI_EXPORT Error invalidURL(const std::string& detail = {});
TAVI_EXPORT Error emptyResponseData();
/// The case of an error in the ApiServiceError domain, or none for another domain.
TAVI_EXPORT std::optional<Case> caseOf(const Error& error);
}  // namespace ApiServiceError

}  // namespace tavi
