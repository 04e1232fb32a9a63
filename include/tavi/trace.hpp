// tavi — trace hooks: what a host's tracer is told about each call and each of its exchanges.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "tavi/export.hpp"

namespace tavi {

/// Where in a call an event is.
enum class TraceEventKind {
    callStart,      ///< an operation began (its name and transaction are known)
    exchangeStart,  ///< one HTTP attempt is about to be made (a retry is an attempt of its own)
    exchangeEnd,    ///< that attempt ended: an answer (any status) or a failure
    callEnd         ///< the call has its outcome; nothing more of it follows
};

/// One attribute of an event. Keys follow the OpenTelemetry HTTP client conventions
/// ("http.request.method", "url.path", "server.address", "server.port",
/// "http.response.status_code", "error.type") plus the library's own ("tavi.operation",
/// "tavi.msg_id", "tavi.txn_id", "tavi.attempt", "tavi.delivery"). A value is text or a number.
struct TraceAttribute {
    std::string_view key;
    std::string_view text;  ///< the value when !isNumber
    long long number = 0;   ///< the value when isNumber
    bool isNumber = false;
};

/// What a hook receives. Every view is valid during the hook's call only: copy what you keep.
///
/// No event carries a secret: the values are the method, the path (never the query), the
/// server's name and port, statuses, the error's domain and code name, the operation's name and
/// the identifiers the server files exchanges under.
struct TraceEvent {
    TraceEventKind kind = TraceEventKind::callStart;
    /// The call the event belongs to: the same for its start, its exchanges and its end, different
    /// for every call in the process, never 0.
    std::uint64_t callId = 0;
    /// The exchange's number in its call (1, 2, ...); 0 for callStart and callEnd.
    int attempt = 0;
    std::span<const TraceAttribute> attributes;

    /// The attribute named `key`, or null.
    const TraceAttribute* find(std::string_view key) const {
        for (const auto& a : attributes)
            if (a.key == key) return &a;
        return nullptr;
    }
};

/// Receives each event, on the thread that runs the call (the library's engine thread for the
/// calls that return at once), possibly from several threads at once: it must be thread-safe,
/// return quickly and not call back into the library. Empty: no events (the default). What it
/// throws is swallowed.
using TraceHook = std::function<void(const TraceEvent& event)>;

}  // namespace tavi
