// Every response decoder on arbitrary bytes: decoding never crashes, a decoded record describes
// itself, and what decodes re-encodes to text that decodes to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/record.hpp"
#include "core/record_fields.hpp"

namespace {

using namespace tavi;

template <class R>
void decode(const Bytes& body) {
    auto decoded = detail::decodeBody<R>(body);
    if (!decoded) {
        (void)decoded.error().description();
        return;
    }
    (void)detail::describe(decoded.value());
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
    return 0;
}
