// tavi — error value and two-way result used across the public interface.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "tavi/correlation.hpp"
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
}  // namespace ErrorDomain

/// Codes of the TaviClientError domain (failures on this side, before or after an exchange).
namespace ClientErrorCode {
inline constexpr long missingSessionValue = 1;  ///< a required keychain value is absent
inline constexpr long invalidKey = 2;           ///< a key text cannot be parsed as an RSA public key
inline constexpr long randomSourceFailed = 3;   ///< the secure random source failed
inline constexpr long encryptionFailed = 4;     ///< payload or key encryption failed
inline constexpr long responseUnreadable = 5;   ///< the sealed answer could not be opened
inline constexpr long retryLimitReached = 6;    ///< the bounded re-issue/restart limit was hit
inline constexpr long insecureTransport = 7;    ///< cleartext http to a non-loopback host
inline constexpr long responseTooLarge = 8;     ///< the response body exceeded the cap
inline constexpr long storeUnavailable = 9;     ///< the secure store file cannot be used
inline constexpr long deadlineExceeded = 10;    ///< the operation's deadline passed
inline constexpr long invalidArgument = 11;     ///< an argument or value is unusable (not UTF-8)
inline constexpr long cancelled = 12;           ///< the host cancelled the call
}  // namespace ClientErrorCode

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
};

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

/// The four cases of the pipeline's public error enumeration. The library produces decodingError,
/// and invalidURL (with a text naming what was wrong) for a request URL that cannot be formed;
/// such a request is never sent anywhere.
namespace ApiServiceError {
enum class Case { networkError = 0, decodingError = 1, invalidURL = 2, emptyResponseData = 3 };
TAVI_EXPORT Error networkError(std::string message);
TAVI_EXPORT Error decodingError(Error underlying);
TAVI_EXPORT Error invalidURL(const std::string& detail = {});
TAVI_EXPORT Error emptyResponseData();
/// The case of an error in the ApiServiceError domain, or none for another domain.
TAVI_EXPORT std::optional<Case> caseOf(const Error& error);
}  // namespace ApiServiceError

}  // namespace tavi
