#include "tavi/service.hpp"

#include "core/http.hpp"
#include "tavi/client.hpp"

namespace tavi {

TaviApiService::TaviApiService() = default;

// Defined here so that the class's virtual table lives in this library.
TaviApiService::~TaviApiService() = default;

TaviApiService& TaviApiService::shared() {
    static TaviApiService instance;  // created on first access, thread-safe
    return instance;
}

void TaviApiService::performRequest(const std::string& endPoint, const std::string& method,
                                    const std::map<std::string, QueryValue>& queryParams,
                                    const std::optional<Bytes>& body,
                                    const std::map<std::string, std::string>& headers,
                                    const std::function<void(const Result<Bytes>&)>& completion) {
    detail::performRequest(endPoint, method, queryParams, body, headers, completion);
}

Result<std::vector<PendingOutcome>> TaviApiService::pendingOutcomes() {
    return Client().pendingOutcomes();
}

Result<bool> TaviApiService::settleOutcome(const std::string& msgId) {
    return Client().settleOutcome(msgId);
}

Result<OtpStatus> TaviApiService::settleOtpOutcome(const std::string& msgId,
                                                   const CallOptions& options) {
    return Client().settleOtpOutcome(msgId, options);
}

}  // namespace tavi
