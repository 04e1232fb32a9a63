// The base64 decoders on arbitrary text: strict, lenient and URL-safe decoding never crash, and
// whatever decodes survives a round trip through the encoder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/internal.hpp"
#include "tavi/crypto.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavi;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const Bytes bytes(data, data + size);
    const PKIEncryptionDecryptionUtils utils;

    if (auto strict = detail::base64DecodeStrict(text)) {
        // Strict text is also lenient text, with the same bytes.
        auto lenient = detail::base64DecodeLenient(text);
        if (!lenient || *lenient != *strict) std::abort();
        auto again = detail::base64DecodeStrict(detail::base64Encode(*strict));
        if (!again || *again != *strict) std::abort();
    }
    if (auto lenient = detail::base64DecodeLenient(text)) {
        auto again = detail::base64DecodeLenient(detail::base64Encode(*lenient));
        if (!again || *again != *lenient) std::abort();
    }
    if (auto url = utils.base64URLDecode(text)) {
        auto again = utils.base64URLDecode(utils.base64URLEncode(*url));
        if (!again || *again != *url) std::abort();
    }
    (void)utils.convertToBase64Format(text);
    (void)utils.convertToBase64UrlFormat(text);
    (void)utils.stringToData(text);
    (void)utils.dataToString(bytes);

    // Any bytes encode, and decode back exactly.
    auto back = detail::base64DecodeStrict(detail::base64Encode(bytes));
    if (!back || *back != bytes) std::abort();
    auto urlBack = utils.base64URLDecode(utils.base64URLEncode(bytes));
    if (!urlBack || *urlBack != bytes) std::abort();
    return 0;
}
