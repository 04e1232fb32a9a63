// What every outcome carries about its call: the operation, its identifiers and how its
// exchanges went, gathered as the call runs and closed when it ends.
#include <chrono>
#include <string_view>
#include <utility>

#include "core/internal.hpp"

namespace tavi::detail {

void noteOperation(const char* name, std::string_view txnId, Resend resend) {
    CallContext* call = currentCall();
    if (call == nullptr || call->correlation.operation[0] != '\0') return;
    call->correlation.operation = name;
    // Only text that can be shown: an identifier that is not UTF-8 is refused before sending,
    // and the outcome then says which operation refused it, not the bytes.
    if (isValidUTF8(txnId)) call->correlation.txnId.assign(txnId);
    call->resendAfterReceipt = resend == Resend::alsoAfterSending;
}

void noteMsgId(std::string_view msgId) {
    CallContext* call = currentCall();
    if (call == nullptr || !isValidUTF8(msgId)) return;
    call->correlation.msgId.assign(msgId);
}

void noteExchange(bool tried, bool sent, long httpStatus, RequestDelivery delivery) {
    CallContext* call = currentCall();
    if (call == nullptr) return;
    Correlation& c = call->correlation;
    if (tried || sent) ++c.attempts;
    c.httpStatus = httpStatus;
    c.delivery = delivery;
}

void closeCorrelation(CallContext& call, Error* error) {
    Correlation& c = call.correlation;
    if (call.started != std::chrono::steady_clock::time_point{}) {
        c.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - call.started);
    }
    if (error != nullptr && error->correlation.operation[0] == '\0') error->correlation = c;
    if (call.report != nullptr) *call.report = c;
    auto atClose = std::move(call.atClose);
    call.atClose.clear();
    for (auto& run : atClose) run();
}

}  // namespace tavi::detail
