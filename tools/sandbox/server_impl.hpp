// Internals of the sandbox server, shared by server.cpp (listener, faults, control) and
// endpoints.cpp (the payment server's and the bank's side of each exchange).
#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"
#include "wire.hpp"

namespace tavi::sandbox {

using json = nlohmann::ordered_json;

namespace detail {

/// A request the server refuses as malformed: HTTP 400 with an error answer.
struct BadRequest {
    std::string reason;
    std::string code = "BAD_REQUEST";
};

/// What an endpoint answers, before sealing and before any fault is applied.
struct Answer {
    int status = 200;
    /// true: {"commonResponse":{…}, payload key, extra members}; false: `plain` (or `html`).
    bool envelope = true;
    std::optional<std::string> reqMsgId;
    bool success = true;
    std::optional<std::string> errorCode;
    std::optional<std::string> errorReason;
    /// The answer record's payload key, empty when the answer carries no payload.
    std::string payloadKey;
    /// The payload record, sealed under `payloadKey` when the answer succeeds.
    std::optional<json> payload;
    /// The private key that wraps the answer's AES key.
    wire::Key wrapKey;
    /// Further top-level members, after the payload.
    json extra = json::object();
    json plain = json::object();
    std::optional<std::string> html;

    void refuse(std::string code, std::string reason) {
        success = false;
        errorCode = std::move(code);
        errorReason = std::move(reason);
        payload.reset();
    }
};

struct Exchange {
    const httplib::Request& req;
    RecordedRequest& rec;
};

struct Registration {
    std::string taviId;
    std::string deviceId;
    std::string appId;
    std::string imei1;
    std::string imei2;
    std::string mobile;
    std::string pspId;
    wire::Key deviceKey;
};

struct Challenge {
    std::string referenceId;
    std::string code;
    std::string expiry;
    std::string action;
};

struct Transaction {
    std::string taviId;
    wire::Key sessionKey;  ///< absent until key retrieval
    wire::Key bankKey;
    std::string bankKi;
    std::string rule;
    std::string status;  ///< OTP state: empty, "PENDING", "VERIFIED" or what a test set
    std::optional<Challenge> challenge;
};

}  // namespace detail

struct Server::Impl {
    using Answer = detail::Answer;
    using Exchange = detail::Exchange;
    using Handler = void (Impl::*)(Exchange&, Answer&);

    explicit Impl(Options o) : options(std::move(o)) {}

    Options options;

    // Configuration fixed by start().
    std::string stateDir;
    bool ownsStateDir = false;
    wire::Key serverKey;
    std::string serverKeyText;  ///< bare base64 DER
    std::string caPath;
    std::string pin;
    std::string baseUrl;
    int boundPort = -1;

    std::unique_ptr<httplib::Server> http;
    std::thread thread;
    std::atomic<bool> listenDone{false};

    mutable std::mutex mutex;  // guards everything below
    std::condition_variable stopping;  ///< a delayed answer ends its wait when the server stops
    bool stopped = false;
    std::string error;
    wire::Key strangerKey;
    wire::Key fixedSessionKey;  ///< options.fixedTransactionKeys
    wire::Key fixedBankKey;
    std::map<std::string, std::string> smsTxns;  ///< txnId -> mobile number
    std::map<std::string, detail::Registration> registrations;
    std::map<std::string, detail::Transaction> transactions;
    int demoPolls = 0;
    int kiCounter = 0;
    std::vector<Fault> faults;
    std::vector<RecordedRequest> recorded;
    std::vector<std::string> arrived;  // paths of requests as they arrive, before any answer
    std::vector<std::string> arrivedMsgIds;  // their msgIds, in order of arrival (never forgotten)

    // server.cpp
    bool start();
    void stop();
    bool prepareStateDir();
    bool prepareServerKey();
    void handle(const httplib::Request& req, httplib::Response& res);
    void control(const httplib::Request& req, httplib::Response& res);
    std::optional<Fault> takeFault(const std::string& path);
    void render(Answer& answer, const std::optional<Fault>& fault, httplib::Response& res,
                RecordedRequest& rec);
    std::string envelopeBody(const Answer& answer, Fault::Kind kind);
    wire::Key stranger();

    // endpoints.cpp
    Answer route(Exchange& ex);
    void txnStatus(Exchange& ex, Answer& a);
    void securePage(Exchange& ex, Answer& a);
    void smsRegistration(Exchange& ex, Answer& a);
    void userRegistration(Exchange& ex, Answer& a);
    void checkDeviceRegistration(Exchange& ex, Answer& a);
    void retrieveKey(Exchange& ex, Answer& a);
    void authorize(Exchange& ex, Answer& a);
    void fetchOtpChallenge(Exchange& ex, Answer& a);
    void validateOtp(Exchange& ex, Answer& a);
    void validateCardNum(Exchange& ex, Answer& a);
    void registerCardDetail(Exchange& ex, Answer& a);
    void requestWebUrl(Exchange& ex, Answer& a);
};

}  // namespace tavi::sandbox
