// The key parsers on arbitrary input: the DER header checks, PKCS#1 padding removal, and public
// key text (PEM, bare base64 DER) never crash and never return more than they were given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crypto/keys.hpp"
#include "tavi/crypto.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tavi;
    const Bytes bytes(data, data + size);

    if (auto key = RSAUtils::stripPublicKeyHeader(bytes); key && key->size() >= bytes.size())
        std::abort();
    if (auto key = RSAUtils::stripPrivateKeyHeader(bytes); key && key->size() >= bytes.size())
        std::abort();
    if (RSAUtils::removePadding(bytes).size() > bytes.size()) std::abort();

    const std::string text(reinterpret_cast<const char*>(data), size);
    if (auto key = detail::publicKeyFromText(text)) {
        if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) std::abort();
    }
    return 0;
}
