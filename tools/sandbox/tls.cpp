#include "tls.hpp"

#include <openssl/bn.h>
#include <openssl/x509v3.h>

namespace tavi::sandbox::tls {
namespace {

using X509ExtPtr = std::unique_ptr<X509_EXTENSION, wire::OsslDeleter<X509_EXTENSION_free>>;
using BnPtr = std::unique_ptr<BIGNUM, wire::OsslDeleter<BN_free>>;

constexpr long kHour = 60L * 60L;
constexpr long kValidity = 30L * 24L * kHour;

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

bool randomSerial(X509* cert) {
    BnPtr bn(BN_new());
    if (!bn || BN_rand(bn.get(), 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1) return false;
    return BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

wire::X509Ptr newCert(const wire::Key& key, const char* commonName) {
    wire::X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 || !randomSerial(cert.get()) ||
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kHour) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValidity) == nullptr ||
        X509_set_pubkey(cert.get(), key.get()) != 1) {
        return nullptr;
    }
    X509_NAME* name = X509_get_subject_name(cert.get());
    if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("tavi sandbox"), -1, -1,
                                   0) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                   0) != 1) {
        return nullptr;
    }
    return cert;
}

}  // namespace

std::optional<Material> makeMaterial(std::string& error) {
    Material m;
    m.caKey = wire::generateEc();
    m.key = wire::generateEc();
    if (!m.caKey || !m.key) {
        error = "cannot generate TLS keys";
        return std::nullopt;
    }

    m.caCert = newCert(m.caKey, "tavi sandbox test CA");
    if (!m.caCert ||
        X509_set_issuer_name(m.caCert.get(), X509_get_subject_name(m.caCert.get())) != 1 ||
        !addExtension(m.caCert.get(), m.caCert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !addExtension(m.caCert.get(), m.caCert.get(), NID_key_usage,
                      "critical,keyCertSign,cRLSign") ||
        !addExtension(m.caCert.get(), m.caCert.get(), NID_subject_key_identifier, "hash") ||
        X509_sign(m.caCert.get(), m.caKey.get(), EVP_sha256()) <= 0) {
        error = "cannot make the test CA certificate";
        return std::nullopt;
    }

    m.cert = newCert(m.key, "localhost");
    if (!m.cert || X509_set_issuer_name(m.cert.get(), X509_get_subject_name(m.caCert.get())) != 1 ||
        !addExtension(m.cert.get(), m.caCert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(m.cert.get(), m.caCert.get(), NID_key_usage,
                      "critical,digitalSignature,keyAgreement") ||
        !addExtension(m.cert.get(), m.caCert.get(), NID_ext_key_usage, "serverAuth") ||
        !addExtension(m.cert.get(), m.caCert.get(), NID_subject_alt_name,
                      "DNS:localhost,IP:127.0.0.1,IP:::1") ||
        !addExtension(m.cert.get(), m.caCert.get(), NID_subject_key_identifier, "hash") ||
        !addExtension(m.cert.get(), m.caCert.get(), NID_authority_key_identifier, "keyid:always") ||
        X509_sign(m.cert.get(), m.caKey.get(), EVP_sha256()) <= 0) {
        error = "cannot make the server certificate";
        return std::nullopt;
    }
    return m;
}

}  // namespace tavi::sandbox::tls
