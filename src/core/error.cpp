#include <utility>

#include "tavi/card.hpp"
#include "tavi/result.hpp"

namespace tavi {

std::string Error::description() const {
    std::string out = domain.empty() ? std::string("(empty domain)") : domain;
    out += '(';  // appended in pieces: "(" + std::string trips GCC 12's -Wrestrict at -O3
    out += std::to_string(code);
    out += ')';
    if (!message.empty()) out += ": " + message;
    if (errorCode || errorReason) {
        out += " [errorCode: " + errorCode.value_or("nil") +
               ", errorReason: " + errorReason.value_or("nil") + "]";
    }
    if (underlying) out += " <- " + underlying->description();
    return out;
}

Error Error::inDomain(std::string domain, long code, std::string message) {
    Error error;
    error.domain = std::move(domain);
    error.code = code;
    error.message = std::move(message);
    return error;
}

Error Error::client(ClientError code, std::string message) {
    return inDomain(ErrorDomain::client, static_cast<long>(code), std::move(message));
}

Error Error::decoding(DecodingError code, std::string message) {
    return inDomain(ErrorDomain::decoding, static_cast<long>(code), std::move(message));
}

Error Error::encoding(EncodingError code, std::string message) {
    return inDomain(ErrorDomain::encoding, static_cast<long>(code), std::move(message));
}

Error Error::withUnderlying(Error cause) && {
    underlying = std::make_shared<const Error>(std::move(cause));
    return std::move(*this);
}

Error Error::withDelivery(RequestDelivery how) && {
    delivery = how;
    return std::move(*this);
}

bool Error::is(ClientError c) const {
    return domain == ErrorDomain::client && code == static_cast<long>(c);
}

bool Error::is(DecodingError c) const {
    return domain == ErrorDomain::decoding && code == static_cast<long>(c);
}

std::string_view errorCodeName(std::string_view domain, long code) {
#define TAVI_X(number, name, brief, meaning, action) \
    if (code == (number)) return #name;
    if (domain == ErrorDomain::client) {
        TAVI_CLIENT_ERROR_CODES(TAVI_X)
    } else if (domain == ErrorDomain::apiService) {
        TAVI_API_SERVICE_ERROR_CASES(TAVI_X)
    } else if (domain == ErrorDomain::decoding) {
        TAVI_DECODING_ERROR_CODES(TAVI_X)
    } else if (domain == ErrorDomain::encoding) {
        TAVI_ENCODING_ERROR_CODES(TAVI_X)
    } else if (domain == ErrorDomain::encryption) {
        TAVI_ENCRYPTION_ERROR_CODES(TAVI_X)
    } else if (domain == kCardValidationErrorDomain) {
        TAVI_CARD_ERROR_CODES(TAVI_X)
    } else if (domain == ErrorDomain::store) {
        TAVI_KEYCHAIN_STATUSES(TAVI_X)
    }
#undef TAVI_X
    return {};
}

namespace ApiServiceError {

namespace {
Error make(Case c, std::string message, std::shared_ptr<const Error> underlying = nullptr) {
    Error error = Error::inDomain(ErrorDomain::apiService, static_cast<long>(c), std::move(message));
    error.underlying = std::move(underlying);
    return error;
}
}  // namespace

Error networkError(std::string message) {
    return make(Case::networkError, "networkError: " + message);
}

Error decodingError(Error underlying) {
    std::string message = "decodingError: " + underlying.message;
    return make(Case::decodingError, std::move(message),
                std::make_shared<const Error>(std::move(underlying)));
}

Error invalidURL(const std::string& detail) {
    return make(Case::invalidURL,
                detail.empty() ? std::string("invalidURL") : "invalidURL: " + detail);
}

Error emptyResponseData() { return make(Case::emptyResponseData, "emptyResponseData"); }

std::optional<Case> caseOf(const Error& error) {
    if (error.domain != ErrorDomain::apiService) return std::nullopt;
    if (error.code < 0 || error.code > 3) return std::nullopt;
    return static_cast<Case>(error.code);
}

}  // namespace ApiServiceError
}  // namespace tavi
