#include <syslog.h>

#include <string>

#include "core/internal.hpp"
#include "tavi/config.hpp"

namespace tavi::detail {

void diag(std::string_view line, DiagnosticLevel level) {
    const auto& config = configuration();
    if (config.logLevel < LogLevel::debug) return;
    // Parts of a line come from the server or the host: one line, no terminal sequences. A call
    // with a sink of its own writes there instead of the configured sink.
    if (const CallContext* call = currentCall(); call != nullptr && call->sink) {
        call->sink(escapeControlCharacters(line));
    } else if (config.leveledDiagnosticsSink) {
        config.leveledDiagnosticsSink(level, escapeControlCharacters(line));
    } else if (config.diagnosticsSink) {
        config.diagnosticsSink(escapeControlCharacters(line));
    }
}

bool diagnosticsOn() {
    const auto& config = configuration();
    if (config.logLevel < LogLevel::debug) return false;
    const CallContext* call = currentCall();
    return (call != nullptr && call->sink) || config.leveledDiagnosticsSink != nullptr ||
           config.diagnosticsSink != nullptr;
}

void systemLog(std::string_view message) {
    if (configuration().logLevel < LogLevel::error) return;
    const std::string text = escapeControlCharacters(message);
    ::syslog(LOG_USER | LOG_ERR, "%s", text.c_str());
}

std::string maskAllButLastFour(std::string_view value) {
    if (value.size() <= 4) return std::string(value.size(), '*');
    std::string masked(value.size() - 4, '*');
    masked.append(value.substr(value.size() - 4));
    return masked;
}

std::optional<Error> nonUTF8Text(std::initializer_list<RequestText> texts, const char* kind) {
    for (const auto& text : texts) {
        if (text.present && !isValidUTF8(text.value)) {
            return clientError(ClientErrorCode::invalidArgument,
                               std::string("the ") + kind + " \"" + text.name +
                                   "\" is not valid UTF-8 text; nothing was sent");
        }
    }
    return std::nullopt;
}

Error clientError(long code, std::string message) {
    return Error::client(static_cast<ClientError>(code), std::move(message));
}

}  // namespace tavi::detail

namespace tavi {

std::string_view diagnosticLevelName(DiagnosticLevel level) {
    switch (level) {
        case DiagnosticLevel::debug: return "debug";
        case DiagnosticLevel::info: return "info";
        case DiagnosticLevel::warning: return "warning";
        case DiagnosticLevel::error: return "error";
    }
    return "debug";
}

}  // namespace tavi
