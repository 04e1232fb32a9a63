// The TPM 2.0 backend: the data key sealed to the TPM.
//
// The key is a sealed data object (a keyed-hash object with no signing or decryption use, fixed
// to the TPM and to its parent) under a primary storage key of the owner hierarchy, made again
// from the TPM's own seed at every use from a fixed template. The store records the object's
// public and private parts; the private part is encrypted under the primary key, so it opens
// only in the TPM that made it. A copy of the store on another machine, or after the TPM was
// cleared, does not load. The TCTI is TAVI_TPM_TCTI when set (e.g. "swtpm:host=127.0.0.1,
// port=2321"), else the kernel's resource manager, device:/dev/tpmrm0.
//
// An optional PCR policy is not applied by this version. Binding the object to PCR 7 (secure
// boot state) would make it open only in an unchanged boot chain: create it with a policy
// digest from TPM2_PolicyPCR over the chosen PCRs and unseal it in a policy session that
// repeats that command; a firmware or bootloader update then needs a rekey before it.
#include "store/protection.hpp"

#ifdef TAVI_HAVE_TSS2
#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/internal.hpp"
#include "store/loaded_library.hpp"

namespace tavi::detail {
namespace {

/// tpm2-tss's functions (ESAPI, marshalling, response codes, the TCTI loader), loaded the first
/// time the backend is asked for.
struct TssLibrary {
    LibraryHandle esysLibrary, muLibrary, rcLibrary, tctiLibrary;
    std::string problem;  // why they are not there; empty when every function was found
    decltype(&Tss2_TctiLdr_Initialize) tctiInitialize = nullptr;
    decltype(&Tss2_TctiLdr_Finalize) tctiFinalize = nullptr;
    decltype(&Esys_Initialize) initialize = nullptr;
    decltype(&Esys_Finalize) finalize = nullptr;
    decltype(&Esys_Free) free = nullptr;
    decltype(&Esys_CreatePrimary) createPrimary = nullptr;
    decltype(&Esys_Create) create = nullptr;
    decltype(&Esys_Load) load = nullptr;
    decltype(&Esys_Unseal) unseal = nullptr;
    decltype(&Esys_FlushContext) flushContext = nullptr;
    decltype(&Tss2_RC_Decode) rcDecode = nullptr;
    decltype(&Tss2_MU_TPM2B_PRIVATE_Marshal) privateMarshal = nullptr;
    decltype(&Tss2_MU_TPM2B_PUBLIC_Marshal) publicMarshal = nullptr;
    decltype(&Tss2_MU_TPM2B_PRIVATE_Unmarshal) privateUnmarshal = nullptr;
    decltype(&Tss2_MU_TPM2B_PUBLIC_Unmarshal) publicUnmarshal = nullptr;

    TssLibrary() {
        const bool opened = (esysLibrary = openLibrary("libtss2-esys.so.0", problem)) &&
                            (muLibrary = openLibrary("libtss2-mu.so.0", problem)) &&
                            (rcLibrary = openLibrary("libtss2-rc.so.0", problem)) &&
                            (tctiLibrary = openLibrary("libtss2-tctildr.so.0", problem));
        void* e = esysLibrary.get();
        void* m = muLibrary.get();
        const bool bound =
            opened && bindSymbol(tctiLibrary.get(), "Tss2_TctiLdr_Initialize", tctiInitialize,
                                 problem) &&
            bindSymbol(tctiLibrary.get(), "Tss2_TctiLdr_Finalize", tctiFinalize, problem) &&
            bindSymbol(e, "Esys_Initialize", initialize, problem) &&
            bindSymbol(e, "Esys_Finalize", finalize, problem) &&
            bindSymbol(e, "Esys_Free", free, problem) &&
            bindSymbol(e, "Esys_CreatePrimary", createPrimary, problem) &&
            bindSymbol(e, "Esys_Create", create, problem) &&
            bindSymbol(e, "Esys_Load", load, problem) &&
            bindSymbol(e, "Esys_Unseal", unseal, problem) &&
            bindSymbol(e, "Esys_FlushContext", flushContext, problem) &&
            bindSymbol(rcLibrary.get(), "Tss2_RC_Decode", rcDecode, problem) &&
            bindSymbol(m, "Tss2_MU_TPM2B_PRIVATE_Marshal", privateMarshal, problem) &&
            bindSymbol(m, "Tss2_MU_TPM2B_PUBLIC_Marshal", publicMarshal, problem) &&
            bindSymbol(m, "Tss2_MU_TPM2B_PRIVATE_Unmarshal", privateUnmarshal, problem) &&
            bindSymbol(m, "Tss2_MU_TPM2B_PUBLIC_Unmarshal", publicUnmarshal, problem);
        if (!bound) esysLibrary.reset();
    }

    bool loaded() const { return esysLibrary != nullptr; }
};

const TssLibrary& tss() {
    static const TssLibrary loaded;  // loaded once, thread-safe
    return loaded;
}

struct TctiFree {
    void operator()(TSS2_TCTI_CONTEXT* t) const { tss().tctiFinalize(&t); }
};
struct EsysFree {
    void operator()(ESYS_CONTEXT* e) const { tss().finalize(&e); }
};
template <class T>
struct EsysMemory {
    void operator()(T* p) const { tss().free(p); }
};

std::string tctiConfig() {
    if (const char* tcti = std::getenv("TAVI_TPM_TCTI"); tcti != nullptr && *tcti != '\0') {
        return tcti;
    }
    return "device:/dev/tpmrm0";
}

std::string rcText(TSS2_RC rc) {
    return tss().rcDecode(rc);
}

/// A connection to the TPM with its primary storage key loaded; flushed and closed at the end.
class TpmSession {
  public:
    static Result<std::unique_ptr<TpmSession>> open(const std::string& where) {
        auto session = std::make_unique<TpmSession>();
        const std::string config = tctiConfig();
        TSS2_TCTI_CONTEXT* tcti = nullptr;
        if (const TSS2_RC rc = tss().tctiInitialize(config.c_str(), &tcti);
            rc != TSS2_RC_SUCCESS) {
            return fail(where, "no TPM reachable through \"" + config + "\" (" + rcText(rc) +
                                   "); set TAVI_TPM_TCTI, or use another backend");
        }
        session->tcti_.reset(tcti);
        ESYS_CONTEXT* esys = nullptr;
        if (const TSS2_RC rc = tss().initialize(&esys, tcti, nullptr); rc != TSS2_RC_SUCCESS) {
            return fail(where, "cannot talk to the TPM (" + rcText(rc) + ")");
        }
        session->esys_.reset(esys);
        TPM2B_SENSITIVE_CREATE sensitive{};
        TPM2B_PUBLIC templ{};
        templ.publicArea.type = TPM2_ALG_ECC;
        templ.publicArea.nameAlg = TPM2_ALG_SHA256;
        templ.publicArea.objectAttributes =
            TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT | TPMA_OBJECT_FIXEDTPM |
            TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH |
            TPMA_OBJECT_NODA;
        auto& ecc = templ.publicArea.parameters.eccDetail;
        ecc.symmetric.algorithm = TPM2_ALG_AES;
        ecc.symmetric.keyBits.aes = 128;
        ecc.symmetric.mode.aes = TPM2_ALG_CFB;
        ecc.scheme.scheme = TPM2_ALG_NULL;
        ecc.curveID = TPM2_ECC_NIST_P256;
        ecc.kdf.scheme = TPM2_ALG_NULL;
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION pcrs{};
        if (const TSS2_RC rc = tss().createPrimary(
                esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                &templ, &outside, &pcrs, &session->primary_, nullptr, nullptr, nullptr, nullptr);
            rc != TSS2_RC_SUCCESS) {
            return fail(where, "cannot make the primary storage key (" + rcText(rc) +
                                   "); the owner hierarchy may need a password");
        }
        return session;
    }

    ~TpmSession() {
        if (esys_ && primary_ != ESYS_TR_NONE) tss().flushContext(esys_.get(), primary_);
    }

    ESYS_CONTEXT* esys() const { return esys_.get(); }
    ESYS_TR primary() const { return primary_; }

    static Error fail(const std::string& where, const std::string& problem) {
        return clientError(ClientErrorCode::storeUnavailable,
                           "secure store \"" + where + "\": backend tpm: " + problem);
    }

  private:
    std::unique_ptr<TSS2_TCTI_CONTEXT, TctiFree> tcti_;
    std::unique_ptr<ESYS_CONTEXT, EsysFree> esys_;
    ESYS_TR primary_ = ESYS_TR_NONE;
};

class TpmProtection final : public KeyProtection {
  public:
    std::string name() const override { return "tpm"; }
    std::string strength() const override { return "strong"; }

    Result<Bytes> keep(const KeyRef& ref, const SecretBytes& key) override {
        auto session = TpmSession::open(ref.storePath);
        if (!session) return session.error();
        TpmSession& tpm = *session.value();
        TPM2B_SENSITIVE_CREATE sensitive{};
        static_assert(kDataKeySize <= sizeof sensitive.sensitive.data.buffer);
        sensitive.sensitive.data.size = static_cast<UINT16>(key.size());
        std::memcpy(sensitive.sensitive.data.buffer, key.data(), key.size());
        TPM2B_PUBLIC templ{};
        templ.publicArea.type = TPM2_ALG_KEYEDHASH;
        templ.publicArea.nameAlg = TPM2_ALG_SHA256;
        templ.publicArea.objectAttributes =
            TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_USERWITHAUTH |
            TPMA_OBJECT_NODA;
        templ.publicArea.parameters.keyedHashDetail.scheme.scheme = TPM2_ALG_NULL;
        TPM2B_DATA outside{};
        TPML_PCR_SELECTION pcrs{};
        TPM2B_PRIVATE* outPrivate = nullptr;
        TPM2B_PUBLIC* outPublic = nullptr;
        const TSS2_RC rc = tss().create(tpm.esys(), tpm.primary(), ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                       ESYS_TR_NONE, &sensitive, &templ, &outside, &pcrs,
                                       &outPrivate, &outPublic, nullptr, nullptr, nullptr);
        OPENSSL_cleanse(&sensitive, sizeof sensitive);
        const std::unique_ptr<TPM2B_PRIVATE, EsysMemory<TPM2B_PRIVATE>> priv(outPrivate);
        const std::unique_ptr<TPM2B_PUBLIC, EsysMemory<TPM2B_PUBLIC>> pub(outPublic);
        if (rc != TSS2_RC_SUCCESS) {
            return TpmSession::fail(ref.storePath, "cannot seal the data key (" + rcText(rc) + ")");
        }
        Bytes handle(sizeof(TPM2B_PRIVATE) + sizeof(TPM2B_PUBLIC));
        size_t offset = 0;
        if (tss().privateMarshal(priv.get(), handle.data(), handle.size(), &offset) !=
                TSS2_RC_SUCCESS ||
            tss().publicMarshal(pub.get(), handle.data(), handle.size(), &offset) !=
                TSS2_RC_SUCCESS) {
            return TpmSession::fail(ref.storePath, "cannot record the sealed key");
        }
        handle.resize(offset);
        return handle;
    }

    Result<SecretBytes> fetch(const KeyRef& ref, const Bytes& handle) override {
        TPM2B_PRIVATE priv{};
        TPM2B_PUBLIC pub{};
        size_t offset = 0;
        if (tss().privateUnmarshal(handle.data(), handle.size(), &offset, &priv) !=
                TSS2_RC_SUCCESS ||
            tss().publicUnmarshal(handle.data(), handle.size(), &offset, &pub) !=
                TSS2_RC_SUCCESS) {
            return TpmSession::fail(ref.storePath, "the store's record of the sealed key is "
                                                   "damaged; run `tavi store reset`");
        }
        auto session = TpmSession::open(ref.storePath);
        if (!session) return session.error();
        TpmSession& tpm = *session.value();
        ESYS_TR object = ESYS_TR_NONE;
        if (const TSS2_RC rc = tss().load(tpm.esys(), tpm.primary(), ESYS_TR_PASSWORD,
                                         ESYS_TR_NONE, ESYS_TR_NONE, &priv, &pub, &object);
            rc != TSS2_RC_SUCCESS) {
            return TpmSession::fail(
                ref.storePath,
                "this TPM cannot load the store's sealed key (" + rcText(rc) +
                    "): the store was copied from another machine, or the TPM was cleared; "
                    "run `tavi store reset` (or call resetStore) to start over, then register "
                    "again");
        }
        TPM2B_SENSITIVE_DATA* raw = nullptr;
        const TSS2_RC rc = tss().unseal(tpm.esys(), object, ESYS_TR_PASSWORD, ESYS_TR_NONE,
                                       ESYS_TR_NONE, &raw);
        tss().flushContext(tpm.esys(), object);
        const std::unique_ptr<TPM2B_SENSITIVE_DATA, EsysMemory<TPM2B_SENSITIVE_DATA>> data(raw);
        if (rc != TSS2_RC_SUCCESS || !data || data->size != kDataKeySize) {
            return TpmSession::fail(ref.storePath, "cannot unseal the data key (" + rcText(rc) + ")");
        }
        SecretBytes key(data->buffer, data->buffer + data->size);
        OPENSSL_cleanse(data->buffer, data->size);
        return key;
    }

    Done destroy(const KeyRef&, const Bytes&) override {
        // The sealed object lives only in the store's record, which the caller has replaced.
        return std::monostate{};
    }
};

}  // namespace

Result<std::unique_ptr<KeyProtection>> makeTpmProtection(const std::string& storePath) {
    // Only where a TPM is configured or present: auto does not probe the network for one.
    if (std::getenv("TAVI_TPM_TCTI") == nullptr && ::access("/dev/tpmrm0", R_OK | W_OK) != 0) {
        return TpmSession::fail(storePath, "no TPM here (no /dev/tpmrm0 this user can use, and "
                                           "TAVI_TPM_TCTI unset)");
    }
    if (!tss().loaded()) {
        return TpmSession::fail(storePath, "tpm2-tss is not installed (" + tss().problem + ")");
    }
    auto session = TpmSession::open(storePath);
    if (!session) return session.error();
    return std::unique_ptr<KeyProtection>(std::make_unique<TpmProtection>());
}

}  // namespace tavi::detail

#endif  // TAVI_HAVE_TSS2
