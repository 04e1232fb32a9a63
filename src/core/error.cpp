#include <utility>

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

namespace ApiServiceError {

namespace {
Error make(Case c, std::string message, std::shared_ptr<const Error> underlying = nullptr) {
    return Error{ErrorDomain::apiService, static_cast<long>(c), std::move(message),
                 std::move(underlying), std::nullopt, std::nullopt};
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
