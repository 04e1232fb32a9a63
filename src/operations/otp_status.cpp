#include <string>

#include "core/http.hpp"
#include "core/internal.hpp"
#include "core/record.hpp"
#include "tavi/service.hpp"

namespace tavi {

namespace {

constexpr const char* kTxnStatusEndpoint =
    "/mpgs/txn-status?txnId={txnId}&txnStatusFlagEnum=IS_OTP_VERIFIED";

std::string replaceAll(std::string text, const std::string& placeholder, const std::string& value) {
    std::string::size_type at = 0;
    while ((at = text.find(placeholder, at)) != std::string::npos) {
        text.replace(at, placeholder.size(), value);
        at += value.size();
    }
    return text;
}

// "retry" only while the server reports the transaction as pending.
const char* statusFromBody(const Bytes& body) {
    const auto json = detail::parseJson(body);
    if (!json || !json->is_object()) return "stop";
    const auto it = json->find("txnStatus");
    if (it == json->end() || !it->is_string()) return "stop";
    return it->get_ref<const std::string&>() == "PENDING" ? "retry" : "stop";
}

}  // namespace

void TaviApiService::checkOtpStatus(const std::string& txnId,
                                    std::function<void(const std::string& status)> status) {
    const detail::OperationScope scope;
    std::string word = "stop";
    if (detail::nonUTF8Text({{"txnId", txnId}})) {
        if (status) status(word);
        return;
    }
    // The txnId is one query value: percent-encoded, so that the server receives exactly it.
    performRequest(replaceAll(kTxnStatusEndpoint, "{txnId}", detail::percentEncode(txnId)), "GET",
                   {}, std::nullopt, {}, [&word](const Result<Bytes>& result) {
                       word = result.ok() ? statusFromBody(result.value()) : "stop";
                   });
    if (status) status(word);
}

}  // namespace tavi
