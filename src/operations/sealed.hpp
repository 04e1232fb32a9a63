// The sealed-request and sealed-response sequences shared by every sealed operation. Each
// operation states only how it differs: which key wraps the request key, where the message
// identifier comes from, which lines it writes, and what its records are.
#pragma once

#include <optional>
#include <string>

#include "core/internal.hpp"
#include "core/secret.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "tavi/crypto.hpp"
#include "tavi/records.hpp"
#include "tavi/result.hpp"

namespace tavi::detail {

/// Attempts in all (the first request plus re-issues) before an operation gives up.
inline constexpr int kMaxAttempts = 3;

/// Which public key wraps the request's AES key.
enum class WrapKey {
    storedServerKey,    ///< the store's "taviKey" (required)
    sessionKeyArgument  ///< the operation's `sessionKey` argument; "taviKey" is not read
};

struct SealedRequestOptions {
    WrapKey wrapKey = WrapKey::storedServerKey;
    std::string sessionKey;            ///< used when wrapKey == sessionKeyArgument
    std::optional<std::string> msgId;  ///< none: a new UUID, made after the key is wrapped
    std::string transactionType;
    std::optional<std::string> txnId;
    bool deviceIdRequired = true;  ///< false: an absent "deviceId" travels as an empty text
};

/// A request whose AES key is wrapped with the operation's `sessionKey` argument.
inline SealedRequestOptions sessionKeyOptions(const std::string& sessionKey,
                                              const std::string& transactionType,
                                              const std::string& txnId,
                                              bool deviceIdRequired = true) {
    SealedRequestOptions options;
    options.wrapKey = WrapKey::sessionKeyArgument;
    options.sessionKey = sessionKey;
    options.transactionType = transactionType;
    options.txnId = txnId;
    options.deviceIdRequired = deviceIdRequired;
    return options;
}

/// A request whose AES key is wrapped with the server key stored at registration.
inline SealedRequestOptions serverKeyOptions(const std::string& transactionType,
                                             const std::string& txnId) {
    SealedRequestOptions options;
    options.wrapKey = WrapKey::storedServerKey;
    options.transactionType = transactionType;
    options.txnId = txnId;
    return options;
}

/// What the first half of the sealed-request sequence produces.
struct SealedRequest {
    SecretBytes aesKey;  ///< the request's AES key; never written anywhere
    CommonRequest header;
    DeviceInfo deviceInfo;  ///< from the store; absent entries are empty texts
    /// The stored server key ("taviKey") as read with the rest of the session, for opening the
    /// answer; none when the session has none.
    std::optional<std::string> serverKey;
};

/// Reads the session from the store, makes a fresh AES key, wraps it, fills the header and the
/// DeviceInfo. Fails (no request can be sent) when a required value is absent, the random source
/// fails, or the wrapping key does not parse.
Result<SealedRequest> beginSealedRequest(const SealedRequestOptions& options);

/// The payload's JSON text (pretty) encrypted under the request's key, as URL-safe base64 with
/// its "=" kept. When `logEncryptedLength`, writes the encrypted buffer's length line.
Result<std::string> sealPayloadText(const SealedRequest& request, const std::string& jsonText,
                                    bool logEncryptedLength);

template <WireRecord P>
Result<std::string> sealPayload(const SealedRequest& request, const P& payload,
                                bool logEncryptedLength) {
    auto text = encodePretty(payload);
    if (!text) {
        // Never an empty payload in place of the one that could not be encoded.
        diag("Error encoding to JSON: " + text.error().description());
        return ApiServiceError::decodingError(text.error());
    }
    return sealPayloadText(request, text.value(), logEncryptedLength);
}

/// The compact request body; ApiServiceError.decodingError carrying the encoder's error.
template <WireRecord R>
Result<Bytes> encodeRequestBody(const R& request) {
    auto text = encodeCompact(request);
    if (!text) return ApiServiceError::decodingError(text.error());
    return Bytes(text.value().begin(), text.value().end());
}

/// The request body of a sealed operation: the payload sealed under the request's key, beside the
/// header, in request record R ({commonRequest, payload text}), encoded compact.
template <WireRecord R, WireRecord P>
Result<Bytes> sealedBody(const SealedRequest& request, const P& payload, bool logEncryptedLength) {
    auto sealed = sealPayload(request, payload, logEncryptedLength);
    if (!sealed) return sealed.error();
    return encodeRequestBody(R{request.header, std::move(sealed).value()});
}

struct OpenOptions {
    /// Decode the payload field with base64URLDecode (no padding restored) instead of
    /// convertToBase64Format + strict base64.
    bool urlDecodeWithoutPadding = false;
    /// Re-issue (rather than fail) when the payload does not decrypt to text.
    bool reissueOnUndecryptable = true;
};

/// The server's refusal (success false) as an error carrying its errorCode and errorReason.
Error refusalError(const CommonResponse& header);
/// The bounded re-issue limit was reached.
Error retryLimitError(const std::string& operation);

}  // namespace tavi::detail
