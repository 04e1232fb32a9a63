// What every outcome carries about its call: the operation, its identifiers and how its
// exchanges went, gathered as the call runs and closed when it ends.
#include <openssl/rand.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/internal.hpp"
#include "net/net.hpp"

namespace tavi::detail {

/// What the hook has been told of a call: its identity, and the exchange under way.
struct TracedCall {
    std::uint64_t id = 0;
    int exchanges = 0;
    std::string method;
    std::string path;
    std::string host;
    long port = 0;
};

namespace {

/// At most as many attributes as the richest event has.
class Attributes {
  public:
    void text(std::string_view key, std::string_view value) {
        if (!value.empty() && count_ < items_.size()) items_[count_++] = {key, value, 0, false};
    }
    void number(std::string_view key, long long value) {
        if (count_ < items_.size()) items_[count_++] = {key, {}, value, true};
    }
    std::span<const TraceAttribute> all() const { return {items_.data(), count_}; }

  private:
    std::array<TraceAttribute, 12> items_{};
    std::size_t count_ = 0;
};

const TraceHook* traceHook() {
    const TraceHook& hook = configuration().traceHook;
    return hook ? &hook : nullptr;
}

void tell(const TraceHook& hook, TraceEventKind kind, const TracedCall& traced, int attempt,
          const Attributes& attributes) {
    TraceEvent event;
    event.kind = kind;
    event.callId = traced.id;
    event.attempt = attempt;
    event.attributes = attributes.all();
    // The hook belongs to the host: what it throws ends at this line, not in the call.
    try {
        hook(event);
    } catch (...) {
    }
}

std::uint64_t newCallId() {
    std::uint64_t id = 0;
    std::array<unsigned char, sizeof id> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1) {
        std::memcpy(&id, bytes.data(), sizeof id);
    }
    if (id == 0) {
        // No randomness to be had: the clock still tells calls of this process apart.
        id = static_cast<std::uint64_t>(
                 std::chrono::steady_clock::now().time_since_epoch().count()) | 1u;
    }
    return id;
}

const char* deliveryName(RequestDelivery delivery) {
    switch (delivery) {
        case RequestDelivery::notSent: return "notSent";
        case RequestDelivery::mayHaveBeenReceived: return "mayHaveBeenReceived";
        case RequestDelivery::unknown: break;
    }
    return "unknown";
}

/// The error's domain and the name of its code ("TransportError.7" when the code has none):
/// few distinct values, never the message.
std::string errorType(const Error& error) {
    const std::string_view name = errorCodeName(error.domain, error.code);
    std::string type = error.domain.empty() ? std::string("Error") : error.domain;
    type += '.';
    if (name.empty()) {
        type += std::to_string(error.code);
    } else {
        type += name;
    }
    return type;
}

void callAttributes(Attributes& a, const Correlation& c) {
    a.text("tavi.operation", c.operation);
    a.text("tavi.msg_id", c.msgId);
    a.text("tavi.txn_id", c.txnId);
}

void exchangeAttributes(Attributes& a, const TracedCall& traced, const Correlation& c) {
    a.text("http.request.method", traced.method);
    a.text("url.path", traced.path);
    a.text("server.address", traced.host);
    if (traced.port > 0) a.number("server.port", traced.port);
    callAttributes(a, c);
    a.number("tavi.attempt", traced.exchanges);
}

/// The path of a URL: no authority, no query, no fragment.
std::string pathOf(std::string url) {
    if (const auto end = std::min(url.find('?'), url.find('#')); end != std::string::npos) {
        url.erase(end);
    }
    const auto authority = url.find("://");
    const auto slash =
        authority == std::string::npos ? std::string::npos : url.find('/', authority + 3);
    return slash == std::string::npos ? std::string("/") : url.substr(slash);
}

}  // namespace

void noteOperation(const char* name, std::string_view txnId, Resend resend) {
    CallContext* call = currentCall();
    if (call == nullptr || call->correlation.operation[0] != '\0') return;
    call->correlation.operation = name;
    // Only text that can be shown: an identifier that is not UTF-8 is refused before sending,
    // and the outcome then says which operation refused it, not the bytes.
    if (isValidUTF8(txnId)) call->correlation.txnId.assign(txnId);
    call->resendAfterReceipt = resend == Resend::alsoAfterSending;
    if (const TraceHook* hook = traceHook()) {
        call->traced = std::make_shared<TracedCall>();
        call->traced->id = newCallId();
        Attributes a;
        callAttributes(a, call->correlation);
        tell(*hook, TraceEventKind::callStart, *call->traced, 0, a);
    }
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

void traceExchangeStart(const std::string& endPoint, const std::string& method) {
    CallContext* call = currentCall();
    if (call == nullptr || !call->traced) return;
    const TraceHook* hook = traceHook();
    if (hook == nullptr) return;
    TracedCall& traced = *call->traced;
    const auto& config = configuration();
    ++traced.exchanges;
    traced.method = method;
    std::string problem;
    if (auto url = joinAndParse(config.serverURL, endPoint, {}, problem)) {
        traced.path = pathOf(std::move(url->url));
        traced.host = std::move(url->parts.host);
        traced.port = url->parts.port;
    } else {
        // No URL can be formed: the exchange fails as it is prepared, and its error says why.
        traced.path.clear();
        traced.host.clear();
        traced.port = 0;
    }
    Attributes a;
    exchangeAttributes(a, traced, call->correlation);
    tell(*hook, TraceEventKind::exchangeStart, traced, traced.exchanges, a);
}

void traceExchangeEnd(long httpStatus, const Error* error) {
    CallContext* call = currentCall();
    if (call == nullptr || !call->traced) return;
    const TraceHook* hook = traceHook();
    if (hook == nullptr) return;
    const TracedCall& traced = *call->traced;
    Attributes a;
    exchangeAttributes(a, traced, call->correlation);
    if (httpStatus > 0) a.number("http.response.status_code", httpStatus);
    // As HTTP clients report it: a failed exchange by its error, an answer of 400 or more by its
    // status.
    const std::string type = error != nullptr  ? errorType(*error)
                             : httpStatus >= 400 ? std::to_string(httpStatus)
                                                 : std::string();
    a.text("error.type", type);
    a.text("tavi.delivery", deliveryName(error != nullptr ? error->delivery
                                                          : RequestDelivery::unknown));
    tell(*hook, TraceEventKind::exchangeEnd, traced, traced.exchanges, a);
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
    // An operation run inside another closes the outcome too; the call ends with the outer one.
    if (call.traced && call.nesting == 0) {
        const auto traced = std::move(call.traced);
        if (const TraceHook* hook = traceHook()) {
            Attributes a;
            callAttributes(a, c);
            a.number("tavi.attempt", c.attempts);
            if (c.httpStatus > 0) a.number("http.response.status_code", c.httpStatus);
            const std::string type = error != nullptr ? errorType(*error) : std::string();
            a.text("error.type", type);
            a.text("tavi.delivery", deliveryName(c.delivery));
            tell(*hook, TraceEventKind::callEnd, *traced, 0, a);
        }
    }
}

}  // namespace tavi::detail
