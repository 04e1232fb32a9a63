// Key retrieval phase by phase, as the operation runs them, with the thread's CPU clock read
// between phases. Every other operation makes its exchange with plain libcurl instead of the
// library's client, sending the same freshly sealed request: what the transport costs at the
// library's cadence, with the library's own work in between, rather than in a tight loop.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.hpp"
#include "operations/steps.hpp"
#include "tavi/tavi.hpp"

namespace tavi::bench {

namespace {

constexpr const char* kKeyPath = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";

enum Phase { kSession, kSeal, kExchange, kDecodeAnswer, kOpen, kDecodePayload, kPhases };
constexpr std::array<const char*, kPhases> kPhaseNames = {
    "session read + key wrap", "payload sealing + JSON",  "exchange",
    "answer JSON decoding",    "answer key + decryption", "payload JSON decoding"};

using PhaseTimes = std::array<double, kPhases>;

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

/// One key retrieval; false when any phase fails. `poster` set: the exchange goes through it.
bool oneRetrieval(Env& env, CurlPoster* poster, PhaseTimes& times) {
    double mark = threadCpuNs();
    auto lap = [&](Phase phase) {
        const double now = threadCpuNs();
        times[phase] = now - mark;
        mark = now;
    };

    auto options = detail::serverKeyOptions("FINANCIAL_TXN", "TXN-BENCH-KR");
    options.msgId = std::string("MSG-INSITU");
    const auto sealed = detail::beginSealedRequest(options);
    if (!sealed) return false;
    const detail::SealedRequest& request = sealed.value();
    lap(kSession);

    CredentialKeysRetrievalPayload payload;
    payload.paymentInstrument.paymentInstrumentType = "ACCOUNT";
    payload.paymentInstrument.bic = "BANKXX01";
    payload.deviceInfo = request.deviceInfo;
    payload.startDateTime = TaviUtils::getCurrentTimeInMillis();
    payload.resetCredentialCall = false;
    const auto body = detail::sealedBody<EncryptionKeyRetrievalRequest>(request, payload, true);
    if (!body) return false;
    lap(kSeal);

    Bytes answer;
    if (poster != nullptr) {
        auto reply =
            poster->post(env.url + kKeyPath, std::string(body.value().begin(), body.value().end()));
        if (reply.status != 200) return false;
        answer.assign(reply.body.begin(), reply.body.end());
    } else {
        bool ok = false;
        TaviApiService::shared().performRequest(kKeyPath, "POST", {}, body.value(),
                                                {{"Content-Type", "application/json"}},
                                                [&](const Result<Bytes>& result) {
                                                    ok = result.ok();
                                                    if (ok) answer = result.value();
                                                });
        if (!ok) return false;
    }
    lap(kExchange);

    const auto response = detail::decodeBody<EncryptionKeyRetrievalResponse>(answer);
    if (!response || !response.value().commonResponse.success) return false;
    lap(kDecodeAnswer);

    const auto opened = detail::openWithStoredKey(
        request, response.value().commonResponse,
        response.value().encryptionKeyRetrievalResponsePayloadEnc, detail::OpenOptions{});
    const auto* text = std::get_if<std::string>(&opened);
    if (text == nullptr) return false;
    lap(kOpen);

    if (!detail::decodeText<RetrievalKeyResponsePayload>(*text)) return false;
    lap(kDecodePayload);
    return true;
}

}  // namespace

Json runInSitu(Env& env, int operations) {
    std::fprintf(stderr, "in situ: key retrieval phase by phase...\n");
    CurlPoster poster(env.caFile);
    poster.keepBodies(true);
    std::array<std::vector<double>, kPhases> library;
    std::array<std::vector<double>, kPhases> plain;
    long failures = 0;
    for (int i = 0; i < operations + 20; ++i) {
        const bool viaPlain = i % 2 == 1;
        PhaseTimes times{};
        const bool ok = oneRetrieval(env, viaPlain ? &poster : nullptr, times);
        if (i % 200 == 0) env.server->clearRequests();
        if (i < 20) continue;  // both clients' connections open, caches warm
        if (!ok) {
            ++failures;
            continue;
        }
        for (int p = 0; p < kPhases; ++p) (viaPlain ? plain : library)[p].push_back(times[p]);
    }

    Json phases = Json::array();
    std::printf("\n== Key retrieval in situ (thread CPU per phase, median, microseconds) ==\n");
    std::printf(
        "Every other operation's exchange goes through plain libcurl instead of the library.\n");
    std::printf("%-26s %16s %16s\n", "phase", "library client", "plain libcurl");
    double libraryTotal = 0;
    double plainTotal = 0;
    for (int p = 0; p < kPhases; ++p) {
        const double lib = median(library[p]) / 1e3;
        const double raw = median(plain[p]) / 1e3;
        libraryTotal += lib;
        plainTotal += raw;
        std::printf("%-26s %16.1f %16.1f\n", kPhaseNames[p], lib, raw);
        phases.push_back({{"phase", kPhaseNames[p]}, {"library_us", lib}, {"plain_us", raw}});
    }
    std::printf("%-26s %16.1f %16.1f\n", "sum of medians", libraryTotal, plainTotal);
    return {{"phases", phases},
            {"operations", operations},
            {"failures", failures},
            {"library_sum_us", libraryTotal},
            {"plain_sum_us", plainTotal}};
}

}  // namespace tavi::bench
