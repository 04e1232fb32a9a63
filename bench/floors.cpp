// The floor: what OpenSSL itself spends on the primitives an operation cannot avoid, measured in
// this process so that the library's figures compare on the same machine. Beside it, the JSON
// work of one key retrieval, by the library and by nlohmann documents.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "bench.hpp"
#include "core/record.hpp"
#include "core/record_fields.hpp"
#include "support/record_tree.hpp"

namespace tavi::bench {
namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct KeyCtxDeleter {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};
struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyDeleter>;
using KeyCtx = std::unique_ptr<EVP_PKEY_CTX, KeyCtxDeleter>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

/// The typical sealed payload: about what a key retrieval carries each way.
constexpr std::size_t kPayloadBytes = 1024;

const EVP_PKEY* rsaKey() {
    static const Key key(EVP_RSA_gen(2048));
    return key.get();
}

// Public-key encryption with PKCS#1 v1.5 of `length` bytes (a wrapped AES key, a sealed value).
void publicEncrypt(benchmark::State& state, std::size_t length) {
    std::vector<unsigned char> in(length, 'k');
    std::array<unsigned char, 512> out{};
    for (auto _ : state) {
        KeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(rsaKey()), nullptr));
        std::size_t outLength = out.size();
        if (!ctx || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_encrypt(ctx.get(), out.data(), &outLength, in.data(), in.size()) != 1) {
            state.SkipWithError("RSA encryption failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_RsaWrap(benchmark::State& state) {
    publicEncrypt(state, 44);  // a base64 AES-256 key
}

void BM_BankSeal(benchmark::State& state) {
    publicEncrypt(state, 40);  // "txnId|value|random"
}

// Raw public-key recovery of a whole block (the answer's key, wrapped with the private key).
void BM_RsaUnwrap(benchmark::State& state) {
    std::array<unsigned char, 256> block{};
    {
        std::array<unsigned char, 32> aesKey{};
        RAND_bytes(aesKey.data(), static_cast<int>(aesKey.size()));
        KeyCtx sign(EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(rsaKey()), nullptr));
        std::size_t length = block.size();
        if (!sign || EVP_PKEY_sign_init(sign.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(sign.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_sign(sign.get(), block.data(), &length, aesKey.data(), aesKey.size()) != 1) {
            state.SkipWithError("RSA signing failed");
            return;
        }
    }
    std::array<unsigned char, 256> out{};
    for (auto _ : state) {
        KeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(rsaKey()), nullptr));
        std::size_t outLength = out.size();
        if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) != 1 ||
            EVP_PKEY_verify_recover(ctx.get(), out.data(), &outLength, block.data(),
                                    block.size()) != 1) {
            state.SkipWithError("RSA recovery failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_Aes256Ctr(benchmark::State& state) {
    std::array<unsigned char, 32> key{};
    std::array<unsigned char, 16> iv{};
    RAND_bytes(key.data(), static_cast<int>(key.size()));
    std::vector<unsigned char> in(kPayloadBytes, 'p');
    std::vector<unsigned char> out(kPayloadBytes + 16);
    for (auto _ : state) {
        CipherCtx ctx(EVP_CIPHER_CTX_new());
        int length = 0;
        if (!ctx ||
            EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, key.data(), iv.data()) != 1 ||
            EVP_EncryptUpdate(ctx.get(), out.data(), &length, in.data(),
                              static_cast<int>(in.size())) != 1 ||
            EVP_EncryptFinal_ex(ctx.get(), out.data() + length, &length) != 1) {
            state.SkipWithError("AES failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kPayloadBytes));
}

/// Base64-like filler (slashes included: the writer escapes them) of a sealed value's length.
std::string base64Text(std::size_t length, unsigned seed) {
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text(length, 'A');
    for (auto& c : text) {
        seed = seed * 1103515245u + 12345u;
        c = alphabet[(seed >> 16) % 64];
    }
    return text;
}

/// A key retrieval's four JSON texts, at the sizes the sandbox exchanges: the payload (pretty,
/// before sealing) and the request body written; the answer body and its opened payload read.
struct KeyRetrievalJson {
    CredentialKeysRetrievalPayload payload;
    EncryptionKeyRetrievalRequest request;
    Bytes answer;
    std::string answerPayload;

    KeyRetrievalJson() {
        payload.paymentInstrument = PaymentInstrument{"ACCOUNT", "BANKXX01"};
        payload.deviceInfo = DeviceInfo{"5f0c2a9e-3b1d-4c8e-9a7f-2d6b1e8c4a03", "com.example/wallet",
                                        "356938035643809", "356938035643817", "+15550100",
                                        std::nullopt};
        payload.startDateTime = 1700000000123;
        payload.resetCredentialCall = false;
        request.commonRequest = CommonRequest{"MSG-7d3e0b5a-1f42-4c6a-8e9d-3b2a1c0f5e7d",
                                              "PSP01",
                                              "TAVI-0001",
                                              base64Text(344, 1),
                                              std::string("FINANCIAL_TXN"),
                                              std::string("TXN-BENCH-KR")};
        request.credentialKeysRetrievalPayloadEnc = base64Text(612, 2);

        EncryptionKeyRetrievalResponse response;
        response.commonResponse.reqMsgID = request.commonRequest.msgId;
        response.commonResponse.symmetricKey = base64Text(344, 3);
        response.commonResponse.success = true;
        response.encryptionKeyRetrievalResponsePayloadEnc = base64Text(1468, 4);
        const auto body = tree::encodeWithTree(response, false);
        if (body) answer.assign(body.value().begin(), body.value().end());
        const RetrievalKeyResponsePayload keys{base64Text(392, 5), "KI-0001", base64Text(524, 6),
                                               false, "PIN_LENGTH=4"};
        const auto text = tree::encodeWithTree(keys, true);
        if (text) answerPayload = text.value();
    }
};

/// Writes the payload (pretty) and the request (compact), reads the answer and its payload: by
/// the library's writer and reader, or (tree) through nlohmann documents as the library once
/// did. False on a failure.
[[gnu::noinline]] bool keyRetrievalJson(const KeyRetrievalJson& bodies, bool tree) {
    if (tree) {
        return tree::encodeWithTree(bodies.payload, true).ok() &&
               tree::encodeWithTree(bodies.request, false).ok() &&
               tree::decodeWithTree<EncryptionKeyRetrievalResponse>(bodies.answer).ok() &&
               tree::decodeWithTree<RetrievalKeyResponsePayload>(bodies.answerPayload).ok();
    }
    return detail::encodePretty(bodies.payload).ok() &&
           detail::encodeCompact(bodies.request).ok() &&
           detail::decodeBody<EncryptionKeyRetrievalResponse>(bodies.answer).ok() &&
           detail::decodeText<RetrievalKeyResponsePayload>(bodies.answerPayload).ok();
}

void BM_KeyRetrievalJson(benchmark::State& state, bool tree) {
    const KeyRetrievalJson bodies;
    for (auto _ : state) {
        if (!keyRetrievalJson(bodies, tree)) {
            state.SkipWithError("JSON encoding or decoding failed");
            break;
        }
    }
}

}  // namespace

void registerFloorBenchmarks() {
    (void)rsaKey();  // generated before any timing
    benchmark::RegisterBenchmark("floor/rsa_wrap", BM_RsaWrap)->MinTime(0.1)->Repetitions(5);
    benchmark::RegisterBenchmark("floor/rsa_unwrap", BM_RsaUnwrap)->MinTime(0.1)->Repetitions(5);
    benchmark::RegisterBenchmark("floor/bank_seal", BM_BankSeal)->MinTime(0.1)->Repetitions(5);
    benchmark::RegisterBenchmark("floor/aes256ctr_1k", BM_Aes256Ctr)->MinTime(0.1)->Repetitions(5);
    for (const bool tree : {false, true}) {
        benchmark::RegisterBenchmark(tree ? "json/key_retrieval_tree" : "json/key_retrieval",
                                     BM_KeyRetrievalJson, tree)
            ->MinTime(0.1)
            ->Repetitions(5);
    }
}

}  // namespace tavi::bench
