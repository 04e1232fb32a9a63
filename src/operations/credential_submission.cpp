// Credential submission: a PIN-type credential, sealed for the bank, for a transaction whose keys
// the host obtained through key retrieval. The answer is a yes or a no.
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "operations/sealed.hpp"
#include "tavi/service.hpp"
#include "translator/seal.hpp"

namespace tavi {

namespace {

constexpr const char* kEndpoint = "/kora-core/tavi-sdk/urn:apiver:1.0/authorize";

/// The body of the request, or none when it cannot be built (nothing is then sent).
std::optional<Bytes> buildCredentialRequest(const std::string& txnId,
                                            const std::string& transactionType,
                                            const std::string& credType,
                                            const std::string& credValue, const std::string& bankKi,
                                            const std::string& publicKey,
                                            const std::string& sessionKey) {
    auto sealed =
        detail::beginSealedRequest(detail::sessionKeyOptions(sessionKey, transactionType, txnId));
    if (!sealed) return std::nullopt;
    const detail::SealedRequest& request = sealed.value();

    auto sealedCredential = detail::sealForBank(credValue, bankKi, publicKey, txnId);
    if (!sealedCredential) return std::nullopt;

    CredentialSubmissionPayload payload;
    payload.deviceInfo = request.deviceInfo;
    payload.authorizePINCred.credType = credType;
    payload.authorizePINCred.credValue = std::move(*sealedCredential);

    auto encoded = detail::sealedBody<CredentialSubmissionRequest>(request, payload, false);
    if (!encoded) return std::nullopt;
    return std::move(encoded.value());
}

}  // namespace

void TaviApiService::createCredentialSubmissionRequest(
    const std::string& txnId, const std::string& transactionType, const std::string& credType,
    const std::string& credValue, const std::string& bankKi, const std::string& publicKey,
    const std::string& sessionKey, std::function<void(bool)> success,
    std::function<void(bool)> failure) {
    auto fail = [&] {
        if (failure) failure(false);
    };

    const detail::OperationScope scope;
    if (detail::nonUTF8Text({{"txnId", txnId},
                             {"transactionType", transactionType},
                             {"credType", credType},
                             {"credValue", credValue},
                             {"bankKi", bankKi},
                             {"publicKey", publicKey},
                             {"sessionKey", sessionKey}})) {
        return fail();
    }

    auto body = buildCredentialRequest(txnId, transactionType, credType, credValue, bankKi,
                                       publicKey, sessionKey);
    if (!body) return fail();

    performRequest(kEndpoint, "POST", {}, body, {{"Content-Type", "application/json"}},
                   [&](const Result<Bytes>& result) {
                       if (!result) return fail();
                       auto response =
                           detail::decodeBody<CredentialSubmissionResponse>(result.value());
                       if (!response || !response.value().commonResponse.success) return fail();
                       if (success) success(true);
                   });
}

}  // namespace tavi
