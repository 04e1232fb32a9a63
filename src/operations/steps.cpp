// The shared steps of the operations: decoding failures that keep what the answer said, opening
// sealed answers, and the (errorCode, errorReason) callback shape.
#include "operations/steps.hpp"

#include <memory>
#include <utility>

#include "crypto/secret_ops.hpp"
#include "store/journal.hpp"
#include "tavi/crypto.hpp"

namespace tavi::detail {

Task<Result<Answer>> post(std::string endPoint, Result<Bytes> body) {
    if (!body) co_return body.error();
    // A state-changing request is in the journal before it leaves; its record goes when the call
    // ends, unless the request may have been received without its answer being handled.
    auto journal = journalOutgoing();
    if (!journal) co_return Error(journal.error()).withDelivery(RequestDelivery::notSent);
    auto exchange =
        sendRequest(std::move(endPoint), "POST", {}, std::move(body).value(), jsonHeaders());
    auto answer = co_await exchange;
    if (const auto& keep = journal.value()) {
        *keep = !answer && answer.error().delivery == RequestDelivery::mayHaveBeenReceived;
    }
    co_return answer;
}

Error undecodableAnswer(Error decoding, const Answer& answer) {
    Error error = ApiServiceError::decodingError(std::move(decoding));
    error.httpStatus = answer.status;
    // A server that fails often says why in its own words: keep its errorCode when the body is
    // JSON carrying one (at the top level or in commonResponse).
    auto code = textAt(answer.body, {"errorCode"});
    if (!code) code = textAt(answer.body, {"commonResponse", "errorCode"});
    if (code && isValidUTF8(*code)) error.errorCode = std::move(code);
    return error;
}

Attempted<std::string> openAnswer(const CommonResponse& header, const std::string& payloadField,
                                  const std::string& publicKeyText, const OpenOptions& options) {
    const PKIEncryptionDecryptionUtils utils;
    if (!header.symmetricKey) {
        return clientError(ClientErrorCode::responseUnreadable,
                           "the answer carries no symmetricKey");
    }

    // A key that cannot be recovered (or is short) asks for the whole request again.
    const auto key = recoverAnswerKey(utils.convertToBase64Format(*header.symmetricKey),
                                      utils.convertToBase64Format(publicKeyText));
    if (!key || key->size() < kAes256KeyLength) return Reissue{};

    std::optional<Bytes> payload =
        options.urlDecodeWithoutPadding
            ? utils.base64URLDecode(payloadField)
            : base64DecodeStrict(utils.convertToBase64Format(payloadField));
    if (!payload) {
        return clientError(ClientErrorCode::responseUnreadable,
                           "the answer's payload is not valid base64");
    }

    auto decrypted = aesCtrDecrypt(*payload, *key);
    if (!decrypted) {
        Error error = clientError(ClientErrorCode::responseUnreadable,
                                  "the answer's payload could not be decrypted");
        error.underlying = std::make_shared<const Error>(decrypted.error());
        return error;
    }
    if (!decrypted.value()) {
        if (options.reissueOnUndecryptable) return Reissue{};
        return clientError(ClientErrorCode::responseUnreadable,
                           "the answer's payload did not decrypt to text");
    }
    return std::move(*decrypted.value());
}

Attempted<std::string> openWithStoredKey(const SealedRequest& request,
                                         const CommonResponse& header,
                                         const std::string& payloadField,
                                         const OpenOptions& options) {
    if (!request.serverKey) {
        return clientError(ClientErrorCode::missingSessionValue,
                           "the registered session has no \"taviKey\"; register the device first");
    }
    return openAnswer(header, payloadField, *request.serverKey, options);
}

void deliverCodeReason(
    const Error& error,
    const std::function<void(const std::optional<std::string>&, const std::optional<std::string>&)>&
        failure) {
    if (!failure) return;
    if (error.domain == ErrorDomain::refusal) return failure(error.errorCode, error.errorReason);
    failure(std::string(kExceptionOccured), std::string(kExceptionOccured));
}

}  // namespace tavi::detail
