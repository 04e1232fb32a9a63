// The C interface: a thin layer that turns C arguments into the C++ calls, and their callbacks
// into one owned result. Nothing thrown inside escapes: every entry point catches everything.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/internal.hpp"
#include "net/call.hpp"
#include "tavi/card.hpp"
#include "tavi/tavi.h"
#include "tavi/tavi.hpp"

struct tavi_store {
    std::shared_ptr<tavi::SecureStore> store;
};

struct tavi_client {
    tavi::ClientSettings settings;
    tavi::Client client;
};

struct tavi_store_item {
    tavi::StoreItem* item;
};

namespace {

/// What a call's handle shares with its completion.
struct CallCore {
    std::mutex mutex;
    std::condition_variable changed;
    bool completed = false;  // the host's completion has run and returned
    tavi::CallHandle handle;
    tavi::Correlation correlation;  // written by the call before its completion runs

    void finish() {
        {
            std::lock_guard lock(mutex);
            completed = true;
        }
        changed.notify_all();
    }
};

}  // namespace

struct tavi_call {
    std::shared_ptr<CallCore> core;
};

namespace {

using tavi::Error;

/// Owns everything a tavi_result points to.
struct ResultData {
    tavi_result pub{};
    std::deque<std::string> texts;  // stable addresses as it grows
    std::vector<tavi_value> values;
    std::vector<tavi_error> errors;  // the error and its underlying chain
    tavi::RequestDelivery delivery = tavi::RequestDelivery::unknown;
    long httpStatus = 0;
    tavi::Correlation correlation;

    const char* keep(const std::string& text) { return texts.emplace_back(text).c_str(); }
    const char* keep(const std::optional<std::string>& text) {
        return text ? keep(*text) : nullptr;
    }
};

using Value = std::pair<const char*, std::optional<std::string>>;

class ResultBuilder {
  public:
    explicit ResultBuilder(tavi_status status) : data_(std::make_unique<ResultData>()) {
        data_->pub.status = status;
    }
    ResultBuilder& status(tavi_status s) {
        data_->pub.status = s;
        return *this;
    }
    ResultBuilder& value(const char* name, const std::optional<std::string>& text) {
        pending_.emplace_back(name, text);
        return *this;
    }
    ResultBuilder& flag(const char* name, bool on) { return value(name, on ? "true" : "false"); }
    ResultBuilder& error(const Error& e) {
        error_ = e;
        return *this;
    }
    /// The call's correlation (an error's own takes its place).
    ResultBuilder& correlation(const tavi::Correlation& c) {
        data_->correlation = c;
        return *this;
    }

    tavi_result* release() {
        auto& d = *data_;
        for (const auto& [name, text] : pending_)
            d.values.push_back({d.keep(std::string(name)), d.keep(text)});
        if (error_) {
            std::size_t depth = 0;
            for (const Error* e = &*error_; e; e = e->underlying.get()) ++depth;
            d.errors.resize(depth);
            std::size_t i = 0;
            for (const Error* e = &*error_; e; e = e->underlying.get(), ++i) {
                d.errors[i] =
                    tavi_error{d.keep(e->domain),      e->code,
                               d.keep(e->message),     d.keep(e->errorCode),
                               d.keep(e->errorReason), i + 1 < depth ? &d.errors[i + 1] : nullptr};
            }
            d.pub.error = d.errors.data();
            d.delivery = error_->delivery;
            d.httpStatus = error_->httpStatus;
            if (error_->correlation.operation[0] != '\0') d.correlation = error_->correlation;
        }
        d.pub.value_count = d.values.size();
        d.pub.values = d.values.empty() ? nullptr : d.values.data();
        d.pub.internal_ = data_.get();
        return &data_.release()->pub;
    }

  private:
    std::unique_ptr<ResultData> data_;
    std::vector<Value> pending_;
    std::optional<Error> error_;
};

tavi_result* simple(tavi_status status) {
    try {
        return ResultBuilder(status).release();
    } catch (...) {
        return nullptr;
    }
}

/// Runs `body` (which returns a tavi_result*), turning anything thrown into an internal error.
template <class F>
tavi_result* guarded(F&& body) {
    try {
        return body();
    } catch (...) {
        return simple(TAVI_INTERNAL_ERROR);
    }
}

/// One text argument of an entry point, under its parameter name in tavi.h.
struct Arg {
    const char* name;
    const char* text;
    bool optional = false;  ///< NULL is allowed (then not checked)
};

tavi::Error argumentError(const char* name, const char* problem) {
    std::string message = "argument \"";
    message += name;
    message += "\" ";
    message += problem;
    return tavi::detail::clientError(tavi::ClientErrorCode::invalidArgument, std::move(message));
}

/// TAVI_INVALID_ARGUMENT with an error naming the first argument that is NULL (unless optional)
/// or not UTF-8, never showing its value (it may be a card number or a PIN); NULL when every
/// argument is usable.
tavi_result* rejectArguments(std::initializer_list<Arg> args) {
    for (const Arg& a : args) {
        const char* problem = nullptr;
        if (!a.text) {
            if (a.optional) continue;
            problem = "is null";
        } else if (!tavi::detail::isValidUTF8(a.text)) {
            problem = "is not UTF-8";
        } else {
            continue;
        }
        return ResultBuilder(TAVI_INVALID_ARGUMENT).error(argumentError(a.name, problem)).release();
    }
    return nullptr;
}

std::optional<std::string> optionalText(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

char* copyText(const std::string& text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

/// Runs the host's completion with `result`, frees the result, and marks the call completed.
void complete(CallCore& core, tavi_completion_fn completion, void* userData, tavi_result* result) {
    if (completion) completion(result, userData);
    tavi_result_free(result);
    core.finish();
}

/// The C++ call options from the C ones; nullopt when they are unusable.
std::optional<tavi::CallOptions> callOptionsFrom(const tavi_call_options* options) {
    tavi::CallOptions out;
    if (!options || options->deadline_ms == 0) return out;
    if (options->deadline_ms < 0 || options->deadline_ms > tavi::kLongestDurationMilliseconds)
        return std::nullopt;
    out.deadline = std::chrono::milliseconds(options->deadline_ms);  // checked by the call
    return out;
}

/// A failure: TAVI_FAILED with the error.
ResultBuilder failure(const Error& e) {
    ResultBuilder b(TAVI_FAILED);
    b.error(e);
    return b;
}

/// A failure with the server's errorCode and errorReason as values (NULL when it did not refuse).
ResultBuilder codeReasonFailure(const Error& e) {
    ResultBuilder b = failure(e);
    b.value("errorCode", e.errorCode).value("errorReason", e.errorReason);
    return b;
}

// ---- One result-shaping function per operation ------------------------------------------------
// The blocking and the start form of an operation give the same result: the value's members on
// success, and on failure TAVI_FAILED with the whole error (and the values the old shapes had).

using tavi::Result;

ResultBuilder shape(const tavi::CheckRegistrationRequest*, const Result<tavi::RegistrationStatus>& r) {
    using tavi::RegistrationStatus;
    if (!r) return std::move(failure(r.error()).flag("registered", false));
    const char* word = r.value() == RegistrationStatus::registered ? "registered"
                       : r.value() == RegistrationStatus::refused  ? "refused"
                                                                    : "notRegistered";
    ResultBuilder b(TAVI_OK);
    b.flag("registered", r.value() == RegistrationStatus::registered).value("status", word);
    return b;
}

ResultBuilder shape(const tavi::RegisterDeviceRequest*, const Result<tavi::Accepted>& r) {
    if (!r) return failure(r.error());
    return std::move(ResultBuilder(TAVI_OK).value("result", "done"));
}

ResultBuilder shape(const tavi::RetrieveKeysRequest*, const Result<tavi::TransactionKeys>& r) {
    if (!r) return failure(r.error());
    const tavi::TransactionKeys& k = r.value();
    ResultBuilder b(TAVI_OK);
    b.value("bankKi", k.bankKi)
        .value("publicKey", k.publicKey)
        .value("sessionKey", k.sessionKey)
        .value("txnId", k.txnId)
        .value("rule", k.rule);
    return b;
}

ResultBuilder shape(const tavi::SubmitCredentialRequest*, const Result<tavi::Accepted>& r) {
    if (!r) return std::move(failure(r.error()).flag("success", false));
    return std::move(ResultBuilder(TAVI_OK).flag("success", true));
}

ResultBuilder shape(const tavi::FetchOtpChallengeRequest*, const Result<tavi::OtpChallenge>& r) {
    if (!r) return codeReasonFailure(r.error());
    const tavi::OtpChallenge& ch = r.value();
    ResultBuilder b(TAVI_OK);
    b.value("referenceId", ch.referenceId)
        .value("otpChallengeCode", ch.otpChallengeCode)
        .value("otpExpiry", ch.otpExpiry)
        .value("action", ch.action);
    return b;
}

ResultBuilder shape(const tavi::CheckOtpStatusRequest*, const Result<tavi::OtpStatus>& r) {
    if (!r) return std::move(failure(r.error()).value("status", "stop"));
    return std::move(
        ResultBuilder(TAVI_OK).value("status", r.value() == tavi::OtpStatus::pending ? "retry" : "stop"));
}

ResultBuilder shape(const tavi::ValidateOtpRequest*, const Result<tavi::Accepted>& r) {
    if (!r) return codeReasonFailure(r.error());
    return std::move(ResultBuilder(TAVI_OK).flag("success", true));
}

ResultBuilder shape(const tavi::ValidateCardNumberRequest*,
                    const Result<tavi::ValidateCardNumResponse>& r) {
    if (!r) return failure(r.error());
    const tavi::ValidateCardNumResponse& v = r.value();
    ResultBuilder b(TAVI_OK);
    b.flag("success", v.commonResponse.success)
        .value("reqMsgId", v.commonResponse.reqMsgID)
        .value("errorCode", v.commonResponse.errorCode)
        .value("errorReason", v.commonResponse.errorReason)
        .value("bankNameMatchStatus", v.bankNameMatchStatus);
    return b;
}

ResultBuilder shape(const tavi::RegisterCardRequest*, const Result<tavi::CardRegistration>& r) {
    if (!r) return failure(r.error());
    ResultBuilder b(TAVI_OK);
    b.flag("success", r.value().accepted).value("errorCode", r.value().errorCode);
    return b;
}

ResultBuilder shape(const tavi::SecureWebUrlRequest*, const Result<std::string>& r) {
    if (!r) return failure(r.error());
    return std::move(ResultBuilder(TAVI_OK).value("refUrl", r.value()));
}

// ---- Requests from C arguments ------------------------------------------------------------------

void assign(std::string& member, const char* text) { member = text; }
void assign(tavi::SecretString& member, const char* text) { member = tavi::SecretString(text); }
template <class T>
void assign(std::optional<T>& member, const char* text) {
    member.emplace();
    assign(*member, text);
}

template <class R>
constexpr std::size_t fieldCount() {
    std::size_t n = 0;
    R::fields([&n](const tavi::FieldSpec&, auto) { ++n; });
    return n;
}

/// Fills `request` from the C arguments, in declaration order; an invalid-argument error naming
/// the first argument (by its C name) that is NULL (unless optional) or not UTF-8, never showing
/// its value.
template <class R>
std::optional<Error> fill(R& request, const char* const* args) {
    std::optional<Error> refused;
    std::size_t i = 0;
    R::fields([&](const tavi::FieldSpec& spec, auto member) {
        const char* text = args[i++];
        if (refused) return;
        const std::string name(spec.cName);
        if (!text) {
            if (spec.required) refused = argumentError(name.c_str(), "is null");
        } else if (!tavi::detail::isValidUTF8(text)) {
            refused = argumentError(name.c_str(), "is not UTF-8");
        } else {
            assign(request.*member, text);
        }
    });
    return refused;
}

/// An error that ends a call at once, on the same path as a call that ran.
template <class T>
tavi::detail::Task<Result<T>> refusedCall(Error error) {
    co_return error;
}

template <class R>
tavi_result* blocking(const tavi::Client& client, const char* const* args) {
    return guarded([&]() -> tavi_result* {
        R request;
        if (auto refused = fill(request, args))
            return ResultBuilder(TAVI_INVALID_ARGUMENT).error(*refused).release();
        tavi::Correlation correlation;
        tavi::CallOptions options;
        options.correlation = &correlation;
        const auto result = client.call(std::move(request), options);
        return shape(static_cast<const R*>(nullptr), result).correlation(correlation).release();
    });
}

/// Starts a call through the C++ start path; an argument refused here ends the same way (on the
/// completion thread, never inside tavi_start_...), with TAVI_INVALID_ARGUMENT.
template <class R>
tavi_call* start(const tavi::Client* client, const char* const* args,
                 const tavi_call_options* options, tavi_completion_fn completion, void* userData) {
    using T = typename R::Result;
    try {
        auto call = std::make_unique<tavi_call>();
        call->core = std::make_shared<CallCore>();
        std::shared_ptr<CallCore> core = call->core;
        R request;
        std::optional<Error> refused = fill(request, args);
        auto callOptions = callOptionsFrom(options);
        if (callOptions) callOptions->correlation = &core->correlation;
        if (!refused && !client) refused = argumentError("client", "is null");
        if (!refused && !callOptions) {
            refused = argumentError("options", options->deadline_ms < 0
                                                   ? "has a negative deadline_ms"
                                                   : "has a deadline_ms longer than 86400000 (24 hours)");
        }
        const bool invalid = refused.has_value();
        tavi::Completion<T> done = [core, completion, userData, invalid](Result<T> result) {
            tavi_result* out = nullptr;
            try {
                out = invalid ? ResultBuilder(TAVI_INVALID_ARGUMENT).error(result.error()).release()
                              : shape(static_cast<const R*>(nullptr), result)
                                    .correlation(core->correlation)
                                    .release();
            } catch (...) {
                out = simple(TAVI_INTERNAL_ERROR);
            }
            complete(*core, completion, userData, out);
        };
        tavi::CallHandle handle =
            invalid ? tavi::detail::startCall(refusedCall<T>(std::move(*refused)), {}, std::move(done))
                    : client->start(std::move(request), std::move(done), *callOptions);
        {
            std::lock_guard lock(core->mutex);
            core->handle = std::move(handle);
        }
        return call.release();
    } catch (...) {
        return nullptr;
    }
}

const tavi::Client& defaultClient() {
    static const tavi::Client client;
    return client;
}

/// A store over the host's C callbacks.
class CallbackStore final : public tavi::SecureStore {
  public:
    CallbackStore(const tavi_store_callbacks& callbacks, void* userData)
        : cb_(callbacks), userData_(userData) {}
    ~CallbackStore() override {
        if (cb_.release) cb_.release(userData_);
    }
    CallbackStore(const CallbackStore&) = delete;
    CallbackStore& operator=(const CallbackStore&) = delete;

    std::int32_t add(tavi::ItemClass cls, const std::string& name,
                     const tavi::StoreItem& item) override {
        return cb_.add(userData_, static_cast<int>(cls), name.c_str(), item.data.data(),
                       item.data.size(), static_cast<int>(item.keyClass));
    }
    std::int32_t copy(tavi::ItemClass cls, const std::string& name, tavi::StoreItem& out) override {
        tavi::StoreItem item;
        tavi_store_item handle{&item};
        const std::int32_t status =
            cb_.copy(userData_, static_cast<int>(cls), name.c_str(), &handle);
        if (status == tavi::KeychainStatus::success) out = std::move(item);
        return status;
    }
    std::int32_t remove(tavi::ItemClass cls, const std::string& name) override {
        return cb_.remove(userData_, static_cast<int>(cls), name.c_str());
    }

  private:
    tavi_store_callbacks cb_;
    void* userData_;
};

/// A device description over the host's C callbacks.
class CallbackDevice final : public tavi::DeviceDescription {
  public:
    CallbackDevice(const tavi_device_callbacks& callbacks, void* userData)
        : cb_(callbacks), userData_(userData) {}
    std::string model() const override { return text(cb_.model(userData_)); }
    std::string systemName() const override { return text(cb_.system_name(userData_)); }
    std::string systemVersion() const override { return text(cb_.system_version(userData_)); }
    std::optional<std::string> identifierForVendor() const override {
        return optionalText(cb_.identifier_for_vendor(userData_));
    }

  private:
    static std::string text(const char* t) { return t ? t : ""; }
    tavi_device_callbacks cb_;
    void* userData_;
};

tavi_card_state cState(tavi::CardState s) {
    switch (s) {
        case tavi::CardState::valid:
            return TAVI_CARD_VALID;
        case tavi::CardState::incomplete:
            return TAVI_CARD_INCOMPLETE;
        case tavi::CardState::invalid:
            break;
    }
    return TAVI_CARD_INVALID;
}

std::optional<tavi::LogLevel> logLevelFrom(std::string_view word) {
    if (word == "off") return tavi::LogLevel::off;
    if (word == "error") return tavi::LogLevel::error;
    if (word == "debug") return tavi::LogLevel::debug;
    return std::nullopt;
}

const char* logLevelWord(tavi::LogLevel level) {
    switch (level) {
        case tavi::LogLevel::off:
            return "off";
        case tavi::LogLevel::error:
            return "error";
        case tavi::LogLevel::debug:
            break;
    }
    return "debug";
}

/// The configuration's text fields by name.
std::string* textField(tavi::AppConstantTAVI& c, std::string_view name) {
    if (name == "serverURL") return &c.serverURL;
    if (name == "merchantKey") return &c.merchantKey;
    if (name == "merchantKI") return &c.merchantKI;
    if (name == "appId") return &c.appId;
    if (name == "pspOrgId") return &c.pspOrgId;
    if (name == "locale") return &c.locale;
    if (name == "merchantID") return &c.merchantID;
    if (name == "caFile") return &c.caFile;
    if (name == "pinnedPublicKey") return &c.pinnedPublicKey;
    if (name == "tlsKeyLogFile") return &c.tlsKeyLogFile;
    if (name == "storeProtection") return &c.storeProtection;
    return nullptr;
}

tavi_status setConfig(tavi::AppConstantTAVI& c, const char* name, const char* value) {
    try {
        if (!name) return TAVI_INVALID_ARGUMENT;
        const std::string_view n(name);
        if (n == "refUrl") {
            c.refUrl = optionalText(value);
            return TAVI_OK;
        }
        if (n == "proxy") {
            c.proxy = optionalText(value);
            return TAVI_OK;
        }
        if (!value) return TAVI_INVALID_ARGUMENT;
        if (auto* field = textField(c, n)) {
            *field = value;
            return TAVI_OK;
        }
        if (n == "timeoutMilliseconds") {
            long ms = 0;
            const std::string_view v(value);
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), ms);
            if (ec != std::errc() || end != v.data() + v.size() || ms <= 0 ||
                ms > tavi::kLongestDurationMilliseconds)
                return TAVI_INVALID_ARGUMENT;
            c.timeoutMilliseconds = ms;
            return TAVI_OK;
        }
        if (n == "operationDeadlineMilliseconds") {
            long ms = 0;
            const std::string_view v(value);
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), ms);
            if (ec != std::errc() || end != v.data() + v.size() || ms < 0 ||
                ms > tavi::kLongestDurationMilliseconds)
                return TAVI_INVALID_ARGUMENT;
            c.operationDeadlineMilliseconds = ms;
            return TAVI_OK;
        }
        if (n == "maxRetries") {
            int retries = 0;
            const std::string_view v(value);
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), retries);
            if (ec != std::errc() || end != v.data() + v.size() || retries < 0 || retries > 10)
                return TAVI_INVALID_ARGUMENT;
            c.maxRetries = retries;
            return TAVI_OK;
        }
        if (n == "logLevel") {
            const auto level = logLevelFrom(value);
            if (!level) return TAVI_INVALID_ARGUMENT;
            c.logLevel = *level;
            return TAVI_OK;
        }
        return TAVI_INVALID_ARGUMENT;
    } catch (...) {
        return TAVI_INTERNAL_ERROR;
    }
}

char* getConfig(const tavi::AppConstantTAVI& c, const char* name) {
    try {
        if (!name) return nullptr;
        const std::string_view n(name);
        if (auto* field = textField(const_cast<tavi::AppConstantTAVI&>(c), n)) return copyText(*field);
        if (n == "refUrl") return c.refUrl ? copyText(*c.refUrl) : nullptr;
        if (n == "proxy") return c.proxy ? copyText(*c.proxy) : nullptr;
        if (n == "timeoutMilliseconds") return copyText(std::to_string(c.timeoutMilliseconds));
        if (n == "operationDeadlineMilliseconds")
            return copyText(std::to_string(c.operationDeadlineMilliseconds));
        if (n == "maxRetries") return copyText(std::to_string(c.maxRetries));
        if (n == "logLevel") return copyText(logLevelWord(c.logLevel));
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}


// ---- The C functions of every operation -------------------------------------------------------
// Each operation gives four functions: tavi_<name>(args), tavi_start_<name>(args, options,
// completion, user_data), and the same two on a tavi_client (tavi_client_<name>,
// tavi_client_start_<name>). The arguments are the request's fields in declaration order.

#define TAVI_P1 const char* a1
#define TAVI_P2 TAVI_P1, const char* a2
#define TAVI_P3 TAVI_P2, const char* a3
#define TAVI_P4 TAVI_P3, const char* a4
#define TAVI_P5 TAVI_P4, const char* a5
#define TAVI_P6 TAVI_P5, const char* a6
#define TAVI_P7 TAVI_P6, const char* a7
#define TAVI_P8 TAVI_P7, const char* a8
#define TAVI_P9 TAVI_P8, const char* a9
#define TAVI_P10 TAVI_P9, const char* a10
#define TAVI_P11 TAVI_P10, const char* a11
#define TAVI_A1 a1
#define TAVI_A2 TAVI_A1, a2
#define TAVI_A3 TAVI_A2, a3
#define TAVI_A4 TAVI_A3, a4
#define TAVI_A5 TAVI_A4, a5
#define TAVI_A6 TAVI_A5, a6
#define TAVI_A7 TAVI_A6, a7
#define TAVI_A8 TAVI_A7, a8
#define TAVI_A9 TAVI_A8, a9
#define TAVI_A10 TAVI_A9, a10
#define TAVI_A11 TAVI_A10, a11

#define TAVI_C_OPERATIONS(X)                  \
    X(check_device_registered, CheckRegistrationRequest, 1) \
    X(register_device, RegisterDeviceRequest, 4)           \
    X(retrieve_keys, RetrieveKeysRequest, 5)               \
    X(submit_credential, SubmitCredentialRequest, 7)       \
    X(fetch_otp_challenge, FetchOtpChallengeRequest, 6)    \
    X(check_otp_status, CheckOtpStatusRequest, 1)          \
    X(validate_otp, ValidateOtpRequest, 9)                 \
    X(validate_card_number, ValidateCardNumberRequest, 7)  \
    X(register_card_detail, RegisterCardRequest, 11)       \
    X(web_url, SecureWebUrlRequest, 5)

#define TAVI_C_DEFINE(name, R, n)                                                               \
    static_assert(fieldCount<tavi::R>() == n && tavi::R::cName == #name,                        \
                  "the C function's arguments are the request's fields");                       \
    tavi_result* tavi_##name(TAVI_P##n) {                                                       \
        const char* const args[] = {TAVI_A##n};                                                 \
        return blocking<tavi::R>(defaultClient(), args);                                        \
    }                                                                                           \
    tavi_call* tavi_start_##name(TAVI_P##n, const tavi_call_options* options,                   \
                                 tavi_completion_fn completion, void* user_data) {              \
        const char* const args[] = {TAVI_A##n};                                                 \
        return start<tavi::R>(&defaultClient(), args, options, completion, user_data);          \
    }                                                                                           \
    tavi_result* tavi_client_##name(tavi_client* client, TAVI_P##n) {                           \
        const char* const args[] = {TAVI_A##n};                                                 \
        if (!client) return missingClient();                                                    \
        return blocking<tavi::R>(client->client, args);                                         \
    }                                                                                           \
    tavi_call* tavi_client_start_##name(tavi_client* client, TAVI_P##n,                         \
                                        const tavi_call_options* options,                       \
                                        tavi_completion_fn completion, void* user_data) {       \
        const char* const args[] = {TAVI_A##n};                                                 \
        return start<tavi::R>(client ? &client->client : nullptr, args, options, completion,    \
                              user_data);                                                       \
    }

tavi_result* missingClient() {
    return ResultBuilder(TAVI_INVALID_ARGUMENT).error(argumentError("client", "is null")).release();
}

}  // namespace

extern "C" {

const char* tavi_result_value(const tavi_result* result, const char* name) {
    if (!result || !name) return nullptr;
    for (std::size_t i = 0; i < result->value_count; ++i)
        if (std::strcmp(result->values[i].name, name) == 0) return result->values[i].value;
    return nullptr;
}

tavi_delivery tavi_result_delivery(const tavi_result* result) {
    if (!result || !result->internal_) return TAVI_DELIVERY_UNKNOWN;
    switch (static_cast<const ResultData*>(result->internal_)->delivery) {
        case tavi::RequestDelivery::notSent:
            return TAVI_DELIVERY_NOT_SENT;
        case tavi::RequestDelivery::mayHaveBeenReceived:
            return TAVI_DELIVERY_MAY_HAVE_BEEN_RECEIVED;
        case tavi::RequestDelivery::unknown:
            break;
    }
    return TAVI_DELIVERY_UNKNOWN;
}

long tavi_result_http_status(const tavi_result* result) {
    if (!result || !result->internal_) return 0;
    return static_cast<const ResultData*>(result->internal_)->httpStatus;
}

// ---- Correlation ---------------------------------------------------------------------------

namespace {
const tavi::Correlation* correlationOf(const tavi_result* result) {
    if (!result || !result->internal_) return nullptr;
    return &static_cast<const ResultData*>(result->internal_)->correlation;
}
}  // namespace

const char* tavi_result_operation(const tavi_result* result) {
    const auto* c = correlationOf(result);
    return c ? c->operation : "";
}
const char* tavi_result_msg_id(const tavi_result* result) {
    const auto* c = correlationOf(result);
    return c ? c->msgId.c_str() : "";
}
const char* tavi_result_txn_id(const tavi_result* result) {
    const auto* c = correlationOf(result);
    return c ? c->txnId.c_str() : "";
}
long tavi_result_attempts(const tavi_result* result) {
    const auto* c = correlationOf(result);
    return c ? c->attempts : 0;
}
long tavi_result_elapsed_ms(const tavi_result* result) {
    const auto* c = correlationOf(result);
    return c ? static_cast<long>(c->elapsed.count()) : 0;
}

void tavi_result_free(tavi_result* result) {
    if (!result) return;
    std::unique_ptr<ResultData> owner(static_cast<ResultData*>(result->internal_));
}

void tavi_string_free(char* text) {
    std::free(text);
}

const char* tavi_version(void) {
    return tavi::taviVersionString;
}

tavi_status tavi_config_set(const char* name, const char* value) {
    return setConfig(tavi::AppConstantTAVI::shared(), name, value);
}

char* tavi_config_get(const char* name) {
    return getConfig(tavi::AppConstantTAVI::shared(), name);
}

void tavi_set_log_sink(tavi_log_fn fn, void* user_data) {
    try {
        auto& sink = tavi::AppConstantTAVI::shared().diagnosticsSink;
        if (!fn) {
            sink = nullptr;
            return;
        }
        sink = [fn, user_data](std::string_view line) {
            const std::string text(line);
            fn(text.c_str(), user_data);
        };
    } catch (...) {
    }
}

// ---- Store ----------------------------------------------------------------------------------

tavi_store* tavi_store_open_sqlite(const char* path, tavi_result** error) {
    try {
        if (error) *error = nullptr;
        if (!path) {
            if (error) *error = rejectArguments({{"path", path}});
            return nullptr;
        }
        auto opened = tavi::openSqliteSecureStore(path);
        if (!opened) {
            if (error) *error = ResultBuilder(TAVI_FAILED).error(opened.error()).release();
            return nullptr;
        }
        auto handle = std::make_unique<tavi_store>();
        handle->store = opened.value();
        return handle.release();
    } catch (...) {
        return nullptr;
    }
}

tavi_store* tavi_store_new_memory(void) {
    try {
        auto handle = std::make_unique<tavi_store>();
        handle->store = tavi::makeMemorySecureStore();
        return handle.release();
    } catch (...) {
        return nullptr;
    }
}

void tavi_store_item_set(tavi_store_item* item, const uint8_t* data, size_t size, int key_class) {
    try {
        if (!item || !item->item || (!data && size > 0)) return;
        item->item->data.assign(data, data + size);
        item->item->keyClass = (key_class >= 0 && key_class <= 2)
                                   ? static_cast<tavi::KeyClass>(key_class)
                                   : tavi::KeyClass::none;
    } catch (...) {
    }
}

tavi_store* tavi_store_new_custom(const tavi_store_callbacks* callbacks, void* user_data) {
    try {
        if (!callbacks || !callbacks->add || !callbacks->copy || !callbacks->remove) return nullptr;
        auto handle = std::make_unique<tavi_store>();
        handle->store = std::make_shared<CallbackStore>(*callbacks, user_data);
        return handle.release();
    } catch (...) {
        return nullptr;
    }
}

void tavi_store_install(const tavi_store* store) {
    try {
        if (store) tavi::KeychainManager::setStore(store->store);
    } catch (...) {
    }
}

void tavi_store_free(tavi_store* store) {
    std::unique_ptr<tavi_store> owner(store);
}

int32_t tavi_preference_save(const char* value, const char* name) {
    try {
        if (!value || !name) return tavi::KeychainStatus::invalidData;
        return tavi::KeychainManager::savePreference(value, name);
    } catch (...) {
        return tavi::KeychainStatus::ioError;
    }
}

char* tavi_preference_get(const char* name) {
    try {
        if (!name) return nullptr;
        const auto value = tavi::KeychainManager::getPreference(name);
        return value ? copyText(*value) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

int32_t tavi_preference_delete(const char* name) {
    try {
        if (!name) return tavi::KeychainStatus::itemNotFound;
        return tavi::KeychainManager::deletePreference(name);
    } catch (...) {
        return tavi::KeychainStatus::ioError;
    }
}

// ---- Device ---------------------------------------------------------------------------------

tavi_status tavi_set_device_provider(const tavi_device_callbacks* callbacks, void* user_data) {
    try {
        if (!callbacks) {
            tavi::setDeviceDescription(nullptr);
            return TAVI_OK;
        }
        if (!callbacks->model || !callbacks->system_name || !callbacks->system_version ||
            !callbacks->identifier_for_vendor)
            return TAVI_INVALID_ARGUMENT;
        tavi::setDeviceDescription(std::make_shared<CallbackDevice>(*callbacks, user_data));
        return TAVI_OK;
    } catch (...) {
        return TAVI_INTERNAL_ERROR;
    }
}

char* tavi_device_identifier(void) {
    try {
        const auto id = tavi::TaviUtils::getDeviceIdentifier();
        return id ? copyText(*id) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

char* tavi_user_agent(void) {
    try {
        return copyText(tavi::TaviUtils().getUserAgent());
    } catch (...) {
        return nullptr;
    }
}

// ---- Operations: every C function comes from the declaration table -------------------------

TAVI_C_OPERATIONS(TAVI_C_DEFINE)

tavi_client* tavi_client_new(const tavi_store* store) {
    try {
        auto client = std::make_unique<tavi_client>();
        client->settings.configuration = tavi::AppConstantTAVI::shared();
        if (store) client->settings.store = store->store;
        client->client = tavi::Client::connect(client->settings);
        return client.release();
    } catch (...) {
        return nullptr;
    }
}

tavi_status tavi_client_config_set(tavi_client* client, const char* name, const char* value) {
    try {
        if (!client) return TAVI_INVALID_ARGUMENT;
        const tavi_status status = setConfig(client->settings.configuration, name, value);
        if (status == TAVI_OK) client->client = tavi::Client::connect(client->settings);
        return status;
    } catch (...) {
        return TAVI_INTERNAL_ERROR;
    }
}

char* tavi_client_config_get(const tavi_client* client, const char* name) {
    try {
        return client ? getConfig(client->settings.configuration, name) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

void tavi_client_free(tavi_client* client) {
    std::unique_ptr<tavi_client> owner(client);
}

// ---- Calls that return at once --------------------------------------------------------------

int tavi_call_cancel(tavi_call* call) {
    try {
        if (!call) return 0;
        tavi::CallHandle handle;
        {
            std::lock_guard lock(call->core->mutex);
            handle = call->core->handle;
        }
        return handle.cancel() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int tavi_call_wait(tavi_call* call) {
    if (!call) return TAVI_OK;
    if (tavi::detail::insideCompletion()) return TAVI_FAILED;  // it would never return
    std::unique_lock lock(call->core->mutex);
    call->core->changed.wait(lock, [&] { return call->core->completed; });
    return TAVI_OK;
}

void tavi_call_free(tavi_call* call) {
    std::unique_ptr<tavi_call> owner(call);
}

// ---- Local card checks ----------------------------------------------------------------------

tavi_card_state tavi_card_check_number(const char* number) {
    try {
        return number ? cState(tavi::CardValidation::checkNumber(number)) : TAVI_CARD_INVALID;
    } catch (...) {
        return TAVI_CARD_INVALID;
    }
}

const char* tavi_card_brand(const char* number) {
    try {
        // The names are string literals, so the view's data is NUL-terminated and static.
        return tavi::CardValidation::name(number ? tavi::CardValidation::brand(number)
                                                 : tavi::CardBrand::unknown)
            .data();
    } catch (...) {
        return "Unknown";
    }
}

tavi_card_state tavi_card_check_expiry(const char* month, const char* year) {
    try {
        if (!month || !year) return TAVI_CARD_INVALID;
        return cState(tavi::CardValidation::checkExpiry(month, year));
    } catch (...) {
        return TAVI_CARD_INVALID;
    }
}

tavi_card_state tavi_card_check_cvv(const char* cvv, const char* number) {
    try {
        if (!cvv || !number) return TAVI_CARD_INVALID;
        return cState(tavi::CardValidation::checkCvv(cvv, tavi::CardValidation::brand(number)));
    } catch (...) {
        return TAVI_CARD_INVALID;
    }
}

tavi_result* tavi_card_verify(const char* number, const char* expiry_month, const char* expiry_year,
                              const char* cvv) {
    return guarded([&]() -> tavi_result* {
        if (!number) {
            return ResultBuilder(TAVI_INVALID_ARGUMENT)
                .error(argumentError("number", "is null"))
                .release();
        }
        std::optional<std::string_view> month, year, code;
        if (expiry_month) month = expiry_month;
        if (expiry_year) year = expiry_year;
        if (cvv) code = cvv;
        const auto problem = tavi::CardValidation::verify(number, month, year, code);
        if (!problem) return simple(TAVI_OK);
        return ResultBuilder(TAVI_FAILED).error(*problem).release();
    });
}

}  // extern "C"
