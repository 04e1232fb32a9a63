// Every response decoder on arbitrary bytes: decoding never crashes, a decoded record describes
// itself, and what decodes re-encodes to text that decodes to the same record. The reader and the
// writer are held to an independent reading of the same declarations through nlohmann-json
// documents (tests/support/record_tree.hpp): the same verdict, the same error, the same record
// and the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "support/record_tree.hpp"

namespace {

using namespace tavi;

bool sameError(const Error& a, const Error& b) {
    return a.domain == b.domain && a.code == b.code && a.message == b.message;
}

/// The writer against the tree's dump, in both forms (a refusal in the same domain and code: the
/// tree's message is nlohmann-json's).
template <class R>
void writeLikeTree(const R& record) {
    for (const bool pretty : {false, true}) {
        auto direct = pretty ? detail::encodePretty(record) : detail::encodeCompact(record);
        auto tree = tree::encodeWithTree(record, pretty);
        if (direct.ok() != tree.ok()) std::abort();
        if (direct.ok() ? direct.value() != tree.value()
                        : direct.error().domain != tree.error().domain ||
                              direct.error().code != tree.error().code)
            std::abort();
    }
}

template <class R>
void decode(const Bytes& body) {
    auto decoded = detail::decodeBody<R>(body);
    auto tree = tree::decodeWithTree<R>(body);
    if (decoded.ok() != tree.ok()) std::abort();
    if (!decoded) {
        if (!sameError(decoded.error(), tree.error())) std::abort();
        (void)decoded.error().description();
        return;
    }
    if (detail::describe(decoded.value()) != detail::describe(tree.value())) std::abort();
    writeLikeTree(decoded.value());
    auto encoded = detail::encodeCompact(decoded.value());
    if (!encoded) return;  // text that is not UTF-8 is refused by the encoder
    auto again = detail::decodeText<R>(encoded.value());
    if (!again) std::abort();  // the library cannot read what it wrote
    auto reencoded = detail::encodeCompact(again.value());
    if (!reencoded || reencoded.value() != encoded.value()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes body(data, data + size);
    // The answers' envelopes.
    decode<CheckDeviceRegistrationResponse>(body);
    decode<EncryptionKeyRetrievalResponse>(body);
    decode<TaviRegistrationResponse>(body);
    decode<CredentialSubmissionResponse>(body);
    decode<EncryptionFetchOtpRetrievalResponse>(body);
    decode<EncryptionValidateOtpRetrievalResponse>(body);
    decode<ValidateCardNumResponse>(body);
    decode<RegisterCardDetailResponse>(body);
    decode<WebUrlResponse>(body);
    // The payloads inside sealed answers, once decrypted.
    decode<RetrievalKeyResponsePayload>(body);
    decode<UserRegistrationDecrpytedPayload>(body);
    decode<FetchOtpRetrievalResponsePayload>(body);
    decode<WebUrlResponsePayload>(body);
    // Texts that no decoder yields (not UTF-8, any control character) reach the writer too.
    const std::string text(body.begin(), body.end());
    writeLikeTree(DeviceInfo{text, "a/b", text, "", text, std::nullopt});
    return 0;
}
