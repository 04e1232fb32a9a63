// The one road to the server: joins an endpoint to the configured base URL, sends the request with
// the library's fixed headers over the process-wide HTTP client, writes the diagnostic lines and
// hands the raw body (any HTTP status) or an error to the completion.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "tavi/result.hpp"

namespace tavi::detail {

/// A query value: text, integer or boolean (the same alternatives as tavi::QueryValue).
using QueryValue = std::variant<std::string, long long, bool>;

/// Largest response body accepted; a larger one fails with ClientErrorCode::responseTooLarge.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{4} << 20;

/// One HTTP exchange under AppConstantTAVI::shared().serverURL. Blocks the calling thread; the
/// completion runs exactly once, on this thread, before this returns. `headers` is only logged.
void performRequest(const std::string& endPoint, const std::string& method,
                    const std::map<std::string, QueryValue>& queryParams,
                    const std::optional<Bytes>& body,
                    const std::map<std::string, std::string>& headers,
                    const std::function<void(const Result<Bytes>&)>& completion);

// ---- Pieces of the pipeline, exposed for tests ---------------------------------------------

/// `baseURL` + `endPoint` (plain concatenation) with the query replaced by `queryParams` when that
/// is not empty and every "+" of the query written "%2B". None when the text is not a valid
/// http(s) URL.
std::optional<std::string> joinURL(const std::string& baseURL, const std::string& endPoint,
                                   const std::map<std::string, QueryValue>& queryParams);

/// Percent-encodes everything outside the unreserved characters (A-Z a-z 0-9 - . _ ~).
std::string percentEncode(std::string_view text);

/// Whether `host` (as it appears in a URL) names the local machine: "localhost", 127.0.0.0/8, ::1.
bool isLoopbackHost(std::string_view host);

/// ["Key": "Value", ...], or [:] for an empty map.
std::string headersText(const std::map<std::string, std::string>& headers);

}  // namespace tavi::detail
