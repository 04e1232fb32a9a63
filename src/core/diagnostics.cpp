#include <syslog.h>

#include <string>

#include "core/internal.hpp"
#include "tavi/config.hpp"

namespace tavi::detail {

void diag(std::string_view line) {
    const auto& config = AppConstantTAVI::shared();
    if (config.logLevel < LogLevel::debug) return;
    if (config.diagnosticsSink) config.diagnosticsSink(line);
}

bool diagnosticsOn() {
    const auto& config = AppConstantTAVI::shared();
    return config.logLevel >= LogLevel::debug && config.diagnosticsSink != nullptr;
}

void systemLog(std::string_view message) {
    if (AppConstantTAVI::shared().logLevel < LogLevel::error) return;
    const std::string text(message);
    ::syslog(LOG_USER | LOG_ERR, "%s", text.c_str());
}

std::string maskAllButLastFour(const std::string& value) {
    if (value.size() <= 4) return std::string(value.size(), '*');
    return std::string(value.size() - 4, '*') + value.substr(value.size() - 4);
}

Error clientError(long code, std::string message) {
    return Error{ErrorDomain::client, code,        std::move(message), nullptr,
                 std::nullopt,        std::nullopt};
}

}  // namespace tavi::detail
