// Traces calls as spans, one JSON line each on standard output, in the shape W3C trace context
// and OpenTelemetry exporters use: a call is a root span, each of its HTTP attempts a child span.
// Run `register` first with the same store; this retrieves a transaction's keys and polls the
// sandbox's OTP status once.
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>

#include "example.hpp"

namespace {

std::uint64_t unixNanos() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

struct Span {
    std::string spanId;
    std::uint64_t start = 0;
};

/// Turns the library's events into finished spans: a span begins at a start event and is written
/// when its end event arrives, with the end event's attributes.
class SpanWriter {
  public:
    void operator()(const tavi::TraceEvent& event) {
        const std::uint64_t now = unixNanos();
        std::lock_guard<std::mutex> lock(mutex_);
        Call& call = calls_[event.callId];
        switch (event.kind) {
            case tavi::TraceEventKind::callStart:
                call.traceId = hex(16);
                call.span = {hex(8), now};
                return;
            case tavi::TraceEventKind::exchangeStart:
                call.exchange = {hex(8), now};
                return;
            case tavi::TraceEventKind::exchangeEnd:
                write(call, call.exchange, call.span.spanId, event, now);
                return;
            case tavi::TraceEventKind::callEnd:
                write(call, call.span, "", event, now);
                calls_.erase(event.callId);
                return;
        }
    }

  private:
    struct Call {
        std::string traceId;
        Span span;
        Span exchange;
    };

    std::string hex(int bytes) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string out;
        for (int i = 0; i < bytes; ++i) {
            const auto byte = static_cast<unsigned>(random_() & 0xff);
            out += digits[byte >> 4];
            out += digits[byte & 15];
        }
        return out;
    }

    static void write(const Call& call, const Span& span, const std::string& parent,
                      const tavi::TraceEvent& event, std::uint64_t end) {
        const auto* operation = event.find("tavi.operation");
        std::string name = operation != nullptr ? std::string(operation->text) : "tavi";
        if (event.kind == tavi::TraceEventKind::exchangeEnd) {
            const auto* method = event.find("http.request.method");
            name = method != nullptr ? std::string(method->text) : "HTTP";
        }
        std::string attributes;
        for (const auto& a : event.attributes) {
            if (!attributes.empty()) attributes += ',';
            attributes += quoted(a.key) + ":" +
                          (a.isNumber ? std::to_string(a.number) : quoted(a.text));
        }
        std::printf(
            "{\"trace_id\":\"%s\",\"span_id\":\"%s\",\"parent_span_id\":\"%s\",\"name\":%s,"
            "\"start_time_unix_nano\":%llu,\"end_time_unix_nano\":%llu,\"attributes\":{%s}}\n",
            call.traceId.c_str(), span.spanId.c_str(), parent.c_str(), quoted(name).c_str(),
            static_cast<unsigned long long>(span.start), static_cast<unsigned long long>(end),
            attributes.c_str());
        std::fflush(stdout);
    }

    std::mutex mutex_;
    std::map<std::uint64_t, Call> calls_;
    std::mt19937_64 random_{std::random_device{}()};
};

}  // namespace

int main(int argc, char** argv) {
    ExampleArgs args;
    if (!setUp(argc, argv, args)) return 2;
    auto writer = std::make_shared<SpanWriter>();
    tavi::AppConstantTAVI::shared().traceHook = [writer](const tavi::TraceEvent& event) {
        (*writer)(event);
    };

    bool opened = false;
    tavi::TaviApiService::shared().createRetrieveKeysRequest(
        "MSG-TRACE", "FINANCIAL_TXN", "TXN-TRACE-1", "DEMOBIC1", "ACCOUNT",
        [&](const std::string&, const std::string&, const std::string&, const std::string&,
            const std::string&) { opened = true; },
        [](const tavi::Error& e) { std::fprintf(stderr, "%s\n", e.description().c_str()); });
    std::string status;
    tavi::TaviApiService::shared().checkOtpStatus("DEMO-TXN-1",
                                                  [&](const std::string& s) { status = s; });
    tavi::AppConstantTAVI::shared().traceHook = nullptr;
    return opened && !status.empty() ? 0 : 1;
}
