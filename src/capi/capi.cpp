// The C interface: C arguments become request types (their declaration says which argument is
// which), every call goes through tavi::Client, and its outcome becomes one owned tavi_result.
// Nothing thrown inside escapes: every entry point catches everything.

#include <array>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/internal.hpp"
#include "net/call.hpp"
#include "store/sqlite_store.hpp"
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
/// What a call's handle shares with its completion.
struct tavi_call {
    struct Core {
        std::mutex mutex;
        std::condition_variable changed;
        bool completed = false;  // the host's completion has run and returned
        tavi::CallHandle handle;
        tavi::Correlation correlation;  // written by the call before its completion runs
    };
    std::shared_ptr<Core> core = std::make_shared<Core>();
};

namespace {

using tavi::Error;
using tavi::Result;

/// Runs `body`; anything thrown becomes `fallback`.
template <class T, class F>
T guard(T fallback, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

/// As guard, for the functions that return nothing.
template <class F>
void quietly(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

char* copyText(const std::string& text) {
    char* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out) std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}
char* copyText(const std::optional<std::string>& text) {
    return text ? copyText(*text) : nullptr;
}
std::optional<std::string> optionalText(const char* text) {
    return text ? std::optional<std::string>(text) : std::nullopt;
}

/// Owns everything a tavi_result points to.
struct ResultData {
    tavi_result pub{};
    std::deque<std::string> texts;  // stable addresses as it grows
    std::vector<tavi_value> values;
    std::vector<tavi_error> errors;  // the error and its underlying chain
    tavi::RequestDelivery delivery = tavi::RequestDelivery::unknown;
    long httpStatus = 0;
    tavi::Correlation correlation;

    const char* keep(const std::optional<std::string>& text) {
        return text ? texts.emplace_back(*text).c_str() : nullptr;
    }
};

/// What a result owns beside its public part; null for no result.
const ResultData* dataOf(const tavi_result* result) {
    return result ? static_cast<const ResultData*>(result->internal_) : nullptr;
}

/// A result's named values; a null value is absent.
using Values = std::vector<std::pair<const char*, std::optional<std::string>>>;

std::optional<std::string> flag(bool on) {
    return on ? "true" : "false";
}

/// The one place an Error becomes C: the error and its chain, its delivery and HTTP status.
tavi_result* make(tavi_status status, const Values& values = {}, const Error* error = nullptr) {
    return guard<tavi_result*>(nullptr, [&] {
        auto d = std::make_unique<ResultData>();
        d->pub.status = status;
        for (const auto& [name, text] : values) d->values.push_back({d->keep(name), d->keep(text)});
        std::size_t depth = 0;
        for (const Error* e = error; e; e = e->underlying.get()) ++depth;
        d->errors.resize(depth);
        std::size_t i = 0;
        for (const Error* e = error; e; e = e->underlying.get(), ++i) {
            d->errors[i] = {d->keep(e->domain),    e->code,
                            d->keep(e->message),   d->keep(e->errorCode),
                            d->keep(e->errorReason), i + 1 < depth ? &d->errors[i + 1] : nullptr};
        }
        if (error) {
            d->pub.error = d->errors.data();
            d->delivery = error->delivery;
            d->httpStatus = error->httpStatus;
            d->correlation = error->correlation;
        }
        d->pub.value_count = d->values.size();
        d->pub.values = d->values.empty() ? nullptr : d->values.data();
        d->pub.internal_ = d.get();
        return &d.release()->pub;
    });
}

/// As guard, for the functions that return a result: an internal error.
template <class F>
tavi_result* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return make(TAVI_INTERNAL_ERROR);
    }
}

tavi::Error argumentError(std::string_view name, const char* problem) {
    return tavi::detail::clientError(tavi::ClientErrorCode::invalidArgument,
                                     "argument \"" + std::string(name) + "\" " + problem);
}
tavi_result* invalid(const Error& e) {
    return make(TAVI_INVALID_ARGUMENT, {}, &e);
}

// ---- Result shaping ----------------------------------------------------------------------------
// The blocking and the start form of an operation give the same result: the values its request
// type's outcome() names on success; on failure TAVI_FAILED with the whole error, beside the
// values its failed() names.

/// Collects what outcome() and failed() name: a bool as "true" or "false", a text, or NULL.
struct Collect {
    Values& out;
    template <class T>
    void operator()(const char* name, const T& value) const {
        if constexpr (std::is_same_v<T, bool>)
            out.emplace_back(name, flag(value));
        else
            out.emplace_back(name, std::optional<std::string>(value));
    }
};

/// A success carries the call's correlation; an error carries its own.
template <class R>
tavi_result* shape(const Result<typename R::Result>& r, const tavi::Correlation& correlation) {
    return guarded([&] {
        Values values;
        if (!r) {
            if constexpr (requires { R::failed(r.error(), Collect{values}); })
                R::failed(r.error(), Collect{values});
            return make(TAVI_FAILED, values, &r.error());
        }
        R::outcome(r.value(), Collect{values});
        if constexpr (std::is_same_v<R, tavi::CheckRegistrationRequest>) {
            using S = tavi::RegistrationStatus;
            const S s = r.value();
            values.emplace_back("status", s == S::registered ? "registered"
                                          : s == S::refused  ? "refused"
                                                             : "notRegistered");
        }
        tavi_result* out = make(TAVI_OK, values);
        if (out) static_cast<ResultData*>(out->internal_)->correlation = correlation;
        return out;
    });
}

// ---- Requests from C arguments ------------------------------------------------------------------

void assign(std::string& member, const char* text) {
    member = text;
}
void assign(tavi::SecretString& member, const char* text) {
    member = tavi::SecretString(text);
}
template <class T>
void assign(std::optional<T>& member, const char* text) {
    assign(member.emplace(), text);
}

/// Whether the C functions' `n` arguments are the request's first fields, and any field after
/// them is optional (left unset: a field added later never changes a C function's arguments).
template <class R>
constexpr bool takesArguments(std::size_t n) {
    std::size_t i = 0;
    bool ok = true;
    R::fields([&](const tavi::FieldSpec& spec, auto) { ok = ok && (i++ < n || !spec.required); });
    return ok && i >= n;
}

/// Fills `request` from the C arguments, in declaration order; an invalid-argument error naming
/// the first argument (by its C name) that is NULL (unless optional) or not UTF-8, never showing
/// its value.
template <class R, std::size_t N>
std::optional<Error> fill(R& request, const char* const (&args)[N]) {
    std::optional<Error> refused;
    std::size_t i = 0;
    R::fields([&](const tavi::FieldSpec& spec, auto member) {
        const char* text = i < N ? args[i] : nullptr;
        ++i;
        if (refused) return;
        if (!text) {
            if (spec.required) refused = argumentError(spec.cName, "is null");
        } else if (!tavi::detail::isValidUTF8(text)) {
            refused = argumentError(spec.cName, "is not UTF-8");
        } else {
            assign(request.*member, text);
        }
    });
    return refused;
}

template <class R, std::size_t N>
tavi_result* blocking(const tavi_client* client, const char* const (&args)[N]) {
    return guarded([&] {
        if (!client) return invalid(argumentError("client", "is null"));
        R request;
        if (auto refused = fill(request, args)) return invalid(*refused);
        tavi::Correlation correlation;
        tavi::CallOptions options;
        options.correlation = &correlation;
        return shape<R>(client->client.call(std::move(request), options), correlation);
    });
}

/// An error that ends a call at once, on the same path as a call that ran.
template <class T>
tavi::detail::Task<Result<T>> refusedCall(Error error) {
    co_return error;
}

/// Starts a call through the C++ start path; an argument refused here ends the same way (on the
/// completion thread, never inside tavi_start_...), with TAVI_INVALID_ARGUMENT.
template <class R, std::size_t N>
tavi_call* start(const tavi_client* client, const char* const (&args)[N],
                 const tavi_call_options* options, tavi_completion_fn completion, void* userData) {
    using T = typename R::Result;
    return guard<tavi_call*>(nullptr, [&] {
        auto call = std::make_unique<tavi_call>();
        R request;
        std::optional<Error> refused = fill(request, args);
        tavi::CallOptions callOptions;
        const long ms = options ? options->deadline_ms : 0;
        if (!refused && !client) refused = argumentError("client", "is null");
        if (!refused && ms < 0) refused = argumentError("options", "has a negative deadline_ms");
        if (!refused && ms > tavi::kLongestDurationMilliseconds)
            refused = argumentError("options", "has a deadline_ms longer than 86400000 (24 hours)");
        if (ms > 0) callOptions.deadline = std::chrono::milliseconds(ms);  // checked by the call
        callOptions.correlation = &call->core->correlation;
        const bool isInvalid = refused.has_value();
        tavi::Completion<T> done = [core = call->core, completion, userData,
                                    isInvalid](Result<T> result) {
            tavi_result* out =
                isInvalid ? invalid(result.error()) : shape<R>(result, core->correlation);
            if (completion) completion(out, userData);
            tavi_result_free(out);
            {
                std::lock_guard lock(core->mutex);
                core->completed = true;
            }
            core->changed.notify_all();
        };
        tavi::CallHandle handle =
            isInvalid ? tavi::detail::startCall(refusedCall<T>(std::move(*refused)), {}, std::move(done))
                      : client->client.start(std::move(request), std::move(done), callOptions);
        std::lock_guard lock(call->core->mutex);
        call->core->handle = std::move(handle);
        return call.release();
    });
}

tavi_client* defaultClient() {
    static tavi_client client;
    return &client;
}

/// The C++ client of `client`; NULL: the default client.
tavi::Client clientOf(const tavi_client* client) {
    return client ? client->client : tavi::Client();
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
        const std::int32_t status = cb_.copy(userData_, static_cast<int>(cls), name.c_str(), &handle);
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
    return s == tavi::CardState::valid        ? TAVI_CARD_VALID
           : s == tavi::CardState::incomplete ? TAVI_CARD_INCOMPLETE
                                              : TAVI_CARD_INVALID;
}

/// An error as one JSON line: {"error":{"domain":…,"code":…,"message":…}}.
std::string errorJson(const Error& e) {
    using tavi::detail::jsonQuoted;
    return "{\"error\":{\"domain\":" + jsonQuoted(e.domain) + ",\"code\":" +
           std::to_string(e.code) + ",\"message\":" + jsonQuoted(e.message) + "}}";
}

/// The store's protection as one JSON line in *json: its status, or its error.
template <class F>
tavi_status storeJson(char** json, F&& call) {
    if (!json) return TAVI_INVALID_ARGUMENT;
    *json = nullptr;
    return guard(TAVI_INTERNAL_ERROR, [&] {
        const tavi::Result<tavi::StoreStatus> r = call();
        *json = copyText(r ? r.value().json() : errorJson(r.error()));
        return !*json ? TAVI_INTERNAL_ERROR : r ? TAVI_OK : TAVI_FAILED;
    });
}

/// As storeJson, for `client`'s own store (`own`), else for the installed store (`installed`,
/// outside any call running on this thread).
template <class Own, class Installed>
tavi_status clientStoreJson(const tavi_client* client, char** json, Own&& own,
                            Installed&& installed) {
    return storeJson(json, [&] {
        const auto& store = client ? client->settings.store : nullptr;
        if (store) return own(*store);
        const tavi::detail::ClientStoreScope outside(nullptr);
        return installed();
    });
}

// ---- Configuration by name ----------------------------------------------------------------------

using tavi::AppConstantTAVI;
constexpr std::pair<std::string_view, std::string AppConstantTAVI::*> kTexts[] = {
    {"serverURL", &AppConstantTAVI::serverURL},
    {"merchantKey", &AppConstantTAVI::merchantKey},
    {"merchantKI", &AppConstantTAVI::merchantKI},
    {"appId", &AppConstantTAVI::appId},
    {"pspOrgId", &AppConstantTAVI::pspOrgId},
    {"locale", &AppConstantTAVI::locale},
    {"merchantID", &AppConstantTAVI::merchantID},
    {"caFile", &AppConstantTAVI::caFile},
    {"pinnedPublicKey", &AppConstantTAVI::pinnedPublicKey},
    {"tlsKeyLogFile", &AppConstantTAVI::tlsKeyLogFile},
    {"storeProtection", &AppConstantTAVI::storeProtection}};
/// Texts a NULL value clears.
constexpr std::pair<std::string_view, std::optional<std::string> AppConstantTAVI::*> kOptionals[] =
    {{"refUrl", &AppConstantTAVI::refUrl}, {"proxy", &AppConstantTAVI::proxy}};
/// Durations in milliseconds: the least value each takes (the most is 24 hours).
struct Duration {
    std::string_view name;
    long AppConstantTAVI::*member;
    long least;
};
constexpr Duration kDurations[] = {
    {"timeoutMilliseconds", &AppConstantTAVI::timeoutMilliseconds, 1},
    {"operationDeadlineMilliseconds", &AppConstantTAVI::operationDeadlineMilliseconds, 0}};
/// Counts, each with its range.
struct Count {
    std::string_view name;
    int AppConstantTAVI::*member;
    int least, most;
};
constexpr Count kCounts[] = {{"maxRetries", &AppConstantTAVI::maxRetries, 0, 10},
                             {"maxConnections", &AppConstantTAVI::maxConnections, 1, 256}};
constexpr std::string_view kLogLevels[] = {"off", "error", "debug"};  // by LogLevel's value

tavi_status setConfig(AppConstantTAVI& c, const char* name, const char* value) {
    if (!name) return TAVI_INVALID_ARGUMENT;
    const std::string_view n(name);
    for (const auto& [key, member] : kOptionals)
        if (key == n) return c.*member = optionalText(value), TAVI_OK;
    if (!value) return TAVI_INVALID_ARGUMENT;
    const std::string_view v(value);
    for (const auto& [key, member] : kTexts)
        if (key == n) return c.*member = value, TAVI_OK;
    for (const auto& d : kDurations) {
        if (d.name != n) continue;
        long ms = 0;
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), ms);
        if (ec != std::errc() || end != v.data() + v.size() || ms < d.least ||
            ms > tavi::kLongestDurationMilliseconds)
            return TAVI_INVALID_ARGUMENT;
        return c.*d.member = ms, TAVI_OK;
    }
    for (const auto& k : kCounts) {
        if (k.name != n) continue;
        int count = 0;
        const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), count);
        if (ec != std::errc() || end != v.data() + v.size() || count < k.least || count > k.most)
            return TAVI_INVALID_ARGUMENT;
        return c.*k.member = count, TAVI_OK;
    }
    for (std::size_t i = 0; n == "logLevel" && i < std::size(kLogLevels); ++i)
        if (kLogLevels[i] == v) return c.logLevel = static_cast<tavi::LogLevel>(i), TAVI_OK;
    return TAVI_INVALID_ARGUMENT;
}

char* getConfig(const AppConstantTAVI& c, const char* name) {
    const std::string_view n(name ? name : "");
    for (const auto& [key, member] : kTexts)
        if (key == n) return copyText(c.*member);
    for (const auto& [key, member] : kOptionals)
        if (key == n) return copyText(c.*member);
    for (const auto& d : kDurations)
        if (d.name == n) return copyText(std::to_string(c.*d.member));
    for (const auto& k : kCounts)
        if (k.name == n) return copyText(std::to_string(c.*k.member));
    if (n == "logLevel") return copyText(std::string(kLogLevels[static_cast<int>(c.logLevel)]));
    return nullptr;
}

// ---- The C functions of every operation -------------------------------------------------------
// Each operation gives four functions: tavi_<name>(args), tavi_start_<name>(args, options,
// completion, user_data), and the same two on a tavi_client (tavi_client_<name>,
// tavi_client_start_<name>). The arguments are the request's fields in declaration order; a field
// added after them is optional and stays unset here, so that no C function's arguments change.

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

#define TAVI_C_OPERATIONS(X)                                \
    X(check_device_registered, CheckRegistrationRequest, 1) \
    X(register_device, RegisterDeviceRequest, 4)            \
    X(retrieve_keys, RetrieveKeysRequest, 5)                \
    X(submit_credential, SubmitCredentialRequest, 7)        \
    X(fetch_otp_challenge, FetchOtpChallengeRequest, 6)     \
    X(check_otp_status, CheckOtpStatusRequest, 1)           \
    X(validate_otp, ValidateOtpRequest, 9)                  \
    X(validate_card_number, ValidateCardNumberRequest, 7)   \
    X(register_card_detail, RegisterCardRequest, 11)        \
    X(web_url, SecureWebUrlRequest, 5)

#define TAVI_C_DEFINE(name, R, n)                                                               \
    static_assert(takesArguments<tavi::R>(n) && tavi::R::cName == #name,                        \
                  "the C function's arguments are the request's first fields");                 \
    tavi_result* tavi_##name(TAVI_P##n) {                                                       \
        const char* const args[] = {TAVI_A##n};                                                 \
        return blocking<tavi::R>(defaultClient(), args);                                        \
    }                                                                                           \
    tavi_call* tavi_start_##name(TAVI_P##n, const tavi_call_options* options,                   \
                                 tavi_completion_fn completion, void* user_data) {              \
        const char* const args[] = {TAVI_A##n};                                                 \
        return start<tavi::R>(defaultClient(), args, options, completion, user_data);           \
    }                                                                                           \
    tavi_result* tavi_client_##name(tavi_client* client, TAVI_P##n) {                           \
        const char* const args[] = {TAVI_A##n};                                                 \
        return blocking<tavi::R>(client, args);                                                 \
    }                                                                                           \
    tavi_call* tavi_client_start_##name(tavi_client* client, TAVI_P##n,                         \
                                        const tavi_call_options* options,                       \
                                        tavi_completion_fn completion, void* user_data) {       \
        const char* const args[] = {TAVI_A##n};                                                 \
        return start<tavi::R>(client, args, options, completion, user_data);                    \
    }

}  // namespace

extern "C" {

TAVI_C_OPERATIONS(TAVI_C_DEFINE)

// ---- Results ------------------------------------------------------------------------------------

const char* tavi_result_value(const tavi_result* result, const char* name) {
    for (std::size_t i = 0; result && name && i < result->value_count; ++i)
        if (std::strcmp(result->values[i].name, name) == 0) return result->values[i].value;
    return nullptr;
}

tavi_delivery tavi_result_delivery(const tavi_result* result) {
    static_assert(static_cast<int>(tavi::RequestDelivery::notSent) == TAVI_DELIVERY_NOT_SENT &&
                  static_cast<int>(tavi::RequestDelivery::mayHaveBeenReceived) ==
                      TAVI_DELIVERY_MAY_HAVE_BEEN_RECEIVED);
    const ResultData* d = dataOf(result);
    return d ? static_cast<tavi_delivery>(d->delivery) : TAVI_DELIVERY_UNKNOWN;
}

long tavi_result_http_status(const tavi_result* result) {
    const ResultData* d = dataOf(result);
    return d ? d->httpStatus : 0;
}

// ---- Correlation ---------------------------------------------------------------------------

const char* tavi_result_operation(const tavi_result* result) {
    const ResultData* d = dataOf(result);
    return d ? d->correlation.operation : "";
}
const char* tavi_result_msg_id(const tavi_result* result) {
    const ResultData* d = dataOf(result);
    return d ? d->correlation.msgId.c_str() : "";
}
const char* tavi_result_txn_id(const tavi_result* result) {
    const ResultData* d = dataOf(result);
    return d ? d->correlation.txnId.c_str() : "";
}
long tavi_result_attempts(const tavi_result* result) {
    const ResultData* d = dataOf(result);
    return d ? d->correlation.attempts : 0;
}
long tavi_result_elapsed_ms(const tavi_result* result) {
    const ResultData* d = dataOf(result);
    return d ? static_cast<long>(d->correlation.elapsed.count()) : 0;
}

void tavi_result_free(tavi_result* result) {
    if (result) std::unique_ptr<ResultData> owner(static_cast<ResultData*>(result->internal_));
}

void tavi_string_free(char* text) {
    std::free(text);
}

const char* tavi_version(void) {
    return tavi::taviVersionString;
}

// ---- Configuration and logging ----------------------------------------------------------------

tavi_status tavi_config_set(const char* name, const char* value) {
    return guard(TAVI_INTERNAL_ERROR, [&] { return setConfig(AppConstantTAVI::shared(), name, value); });
}

char* tavi_config_get(const char* name) {
    return guard<char*>(nullptr, [&] { return getConfig(AppConstantTAVI::shared(), name); });
}

void tavi_set_log_sink(tavi_log_fn fn, void* user_data) {
    quietly([&] {
        AppConstantTAVI::shared().diagnosticsSink =
            fn ? tavi::DiagnosticsSink([fn, user_data](std::string_view line) {
                fn(std::string(line).c_str(), user_data);
            })
               : nullptr;
    });
}

// ---- Store ----------------------------------------------------------------------------------

tavi_store* tavi_store_open_sqlite_protected(const char* path, const char* protection,
                                             tavi_result** error) {
    return guard<tavi_store*>(nullptr, [&]() -> tavi_store* {
        if (error) *error = nullptr;
        const auto opened =
            path ? tavi::openSqliteSecureStore(path, tavi::StoreOptions{protection ? protection
                                                                                   : "auto",
                                                                        {}})
                 : Result<std::shared_ptr<tavi::SecureStore>>(argumentError("path", "is null"));
        if (opened) return new tavi_store{opened.value()};
        if (error) *error = make(path ? TAVI_FAILED : TAVI_INVALID_ARGUMENT, {}, &opened.error());
        return nullptr;
    });
}

tavi_store* tavi_store_open_sqlite(const char* path, tavi_result** error) {
    return tavi_store_open_sqlite_protected(path, nullptr, error);
}

tavi_store* tavi_store_new_memory(void) {
    return guard<tavi_store*>(nullptr, [] { return new tavi_store{tavi::makeMemorySecureStore()}; });
}

void tavi_store_item_set(tavi_store_item* item, const uint8_t* data, size_t size, int key_class) {
    quietly([&] {
        if (!item || !item->item || (!data && size > 0)) return;
        item->item->data.assign(data, data + size);
        item->item->keyClass = (key_class >= 0 && key_class <= 2)
                                   ? static_cast<tavi::KeyClass>(key_class)
                                   : tavi::KeyClass::none;
    });
}

tavi_store* tavi_store_new_custom(const tavi_store_callbacks* callbacks, void* user_data) {
    return guard<tavi_store*>(nullptr, [&]() -> tavi_store* {
        if (!callbacks || !callbacks->add || !callbacks->copy || !callbacks->remove) return nullptr;
        return new tavi_store{std::make_shared<CallbackStore>(*callbacks, user_data)};
    });
}

void tavi_store_install(const tavi_store* store) {
    quietly([&] {
        if (store) tavi::KeychainManager::setStore(store->store);
    });
}

void tavi_store_free(tavi_store* store) {
    delete store;
}

int32_t tavi_client_preference_save(const tavi_client* client, const char* value,
                                    const char* name) {
    return guard<int32_t>(tavi::KeychainStatus::ioError, [&] {
        return value && name ? clientOf(client).savePreference(value, name)
                             : tavi::KeychainStatus::invalidData;
    });
}

char* tavi_client_preference_get(const tavi_client* client, const char* name) {
    return guard<char*>(nullptr, [&] {
        return name ? copyText(clientOf(client).getPreference(name)) : nullptr;
    });
}

int32_t tavi_client_preference_delete(const tavi_client* client, const char* name) {
    return guard<int32_t>(tavi::KeychainStatus::ioError, [&] {
        return name ? clientOf(client).deletePreference(name) : tavi::KeychainStatus::itemNotFound;
    });
}

int32_t tavi_preference_save(const char* value, const char* name) {
    return tavi_client_preference_save(nullptr, value, name);
}

char* tavi_preference_get(const char* name) {
    return tavi_client_preference_get(nullptr, name);
}

int32_t tavi_preference_delete(const char* name) {
    return tavi_client_preference_delete(nullptr, name);
}

tavi_status tavi_client_store_status(const tavi_client* client, char** json) {
    return clientStoreJson(client, json, tavi::secureStoreStatus, tavi::KeychainManager::status);
}

tavi_status tavi_store_status(char** json) {
    return tavi_client_store_status(nullptr, json);
}

tavi_status tavi_store_reset(char** json) {
    return storeJson(json, [] { return tavi::KeychainManager::resetStore(); });
}

tavi_status tavi_client_store_rekey(const tavi_client* client, char** json) {
    return clientStoreJson(client, json, tavi::rekeySecureStore,
                           tavi::KeychainManager::rekeyStore);
}

tavi_status tavi_store_rekey(char** json) {
    return tavi_client_store_rekey(nullptr, json);
}

// ---- Device ---------------------------------------------------------------------------------

tavi_status tavi_set_device_provider(const tavi_device_callbacks* callbacks, void* user_data) {
    return guard(TAVI_INTERNAL_ERROR, [&] {
        if (callbacks && (!callbacks->model || !callbacks->system_name ||
                          !callbacks->system_version || !callbacks->identifier_for_vendor))
            return TAVI_INVALID_ARGUMENT;
        tavi::setDeviceDescription(
            callbacks ? std::make_shared<CallbackDevice>(*callbacks, user_data) : nullptr);
        return TAVI_OK;
    });
}

char* tavi_device_identifier(void) {
    return guard<char*>(nullptr, [] { return copyText(tavi::TaviUtils::getDeviceIdentifier()); });
}

char* tavi_user_agent(void) {
    return guard<char*>(nullptr, [] { return copyText(tavi::TaviUtils().getUserAgent()); });
}

// ---- Clients of their own -------------------------------------------------------------------

tavi_client* tavi_client_new(const tavi_store* store) {
    return guard<tavi_client*>(nullptr, [&] {
        auto client = std::make_unique<tavi_client>();
        client->settings.configuration = AppConstantTAVI::shared();
        if (store) client->settings.store = store->store;
        client->client = tavi::Client::connect(client->settings);
        return client.release();
    });
}

tavi_status tavi_client_config_set(tavi_client* client, const char* name, const char* value) {
    return guard(TAVI_INTERNAL_ERROR, [&] {
        if (!client) return TAVI_INVALID_ARGUMENT;
        const tavi_status status = setConfig(client->settings.configuration, name, value);
        if (status == TAVI_OK) client->client = tavi::Client::connect(client->settings);
        return status;
    });
}

char* tavi_client_config_get(const tavi_client* client, const char* name) {
    return guard<char*>(nullptr, [&] {
        return client ? getConfig(client->settings.configuration, name) : nullptr;
    });
}

void tavi_client_free(tavi_client* client) {
    delete client;
}

// ---- Calls that return at once --------------------------------------------------------------

int tavi_call_cancel(tavi_call* call) {
    return guard(0, [&] {
        if (!call) return 0;
        tavi::CallHandle handle;
        {
            std::lock_guard lock(call->core->mutex);
            handle = call->core->handle;
        }
        return handle.cancel() ? 1 : 0;
    });
}

int tavi_call_wait(tavi_call* call) {
    if (!call) return TAVI_OK;
    if (tavi::detail::insideCompletion()) return TAVI_FAILED;  // it would never return
    std::unique_lock lock(call->core->mutex);
    call->core->changed.wait(lock, [&] { return call->core->completed; });
    return TAVI_OK;
}

void tavi_call_free(tavi_call* call) {
    delete call;
}

// ---- Local card checks ----------------------------------------------------------------------

tavi_card_state tavi_card_check_number(const char* number) {
    return guard(TAVI_CARD_INVALID, [&] {
        return number ? cState(tavi::CardValidation::checkNumber(number)) : TAVI_CARD_INVALID;
    });
}

const char* tavi_card_brand(const char* number) {
    // The names are string literals, so the view's data is NUL-terminated and static.
    return guard("Unknown", [&] {
        using tavi::CardValidation;
        return CardValidation::name(number ? CardValidation::brand(number) : tavi::CardBrand::unknown)
            .data();
    });
}

tavi_card_state tavi_card_check_expiry(const char* month, const char* year) {
    return guard(TAVI_CARD_INVALID, [&] {
        return month && year ? cState(tavi::CardValidation::checkExpiry(month, year))
                             : TAVI_CARD_INVALID;
    });
}

tavi_card_state tavi_card_check_cvv(const char* cvv, const char* number) {
    return guard(TAVI_CARD_INVALID, [&] {
        using tavi::CardValidation;
        return cvv && number ? cState(CardValidation::checkCvv(cvv, CardValidation::brand(number)))
                             : TAVI_CARD_INVALID;
    });
}

tavi_result* tavi_card_verify(const char* number, const char* expiry_month, const char* expiry_year,
                              const char* cvv) {
    return guarded([&] {
        if (!number) return invalid(argumentError("number", "is null"));
        auto view = [](const char* t) { return t ? std::optional<std::string_view>(t) : std::nullopt; };
        const auto problem =
            tavi::CardValidation::verify(number, view(expiry_month), view(expiry_year), view(cvv));
        return problem ? make(TAVI_FAILED, {}, &*problem) : make(TAVI_OK);
    });
}

}  // extern "C"

// ---- The journal of outcomes unknown ------------------------------------------------------------

namespace {

tavi_status journalFailure(const tavi::Error& error, char** error_json) {
    if (error_json) *error_json = copyText(errorJson(error));
    return TAVI_FAILED;
}

}  // namespace

extern "C" {

void tavi_pending_outcomes_free(tavi_pending_outcome* outcomes, size_t count) {
    if (!outcomes) return;
    for (size_t i = 0; i < count; ++i) {
        std::free(const_cast<char*>(outcomes[i].operation));
        std::free(const_cast<char*>(outcomes[i].msg_id));
        std::free(const_cast<char*>(outcomes[i].txn_id));
    }
    std::free(outcomes);
}

tavi_status tavi_pending_outcomes(const tavi_client* client, tavi_pending_outcome** outcomes,
                                  size_t* count, char** error_json) {
    if (error_json) *error_json = nullptr;
    if (!outcomes || !count) return TAVI_INVALID_ARGUMENT;
    *outcomes = nullptr;
    *count = 0;
    return guard(TAVI_INTERNAL_ERROR, [&] {
        const auto records = clientOf(client).pendingOutcomes();
        if (!records) return journalFailure(records.error(), error_json);
        const auto& list = records.value();
        if (list.empty()) return TAVI_OK;
        auto* out = static_cast<tavi_pending_outcome*>(
            std::calloc(list.size(), sizeof(tavi_pending_outcome)));
        if (!out) return TAVI_INTERNAL_ERROR;
        for (size_t i = 0; i < list.size(); ++i) {
            out[i].operation = copyText(list[i].operation);
            out[i].msg_id = copyText(list[i].msgId);
            out[i].txn_id = copyText(list[i].txnId);
            out[i].recorded_at_ms = list[i].recordedAt;
            if (!out[i].operation || !out[i].msg_id || !out[i].txn_id) {
                tavi_pending_outcomes_free(out, i + 1);
                return TAVI_INTERNAL_ERROR;
            }
        }
        *outcomes = out;
        *count = list.size();
        return TAVI_OK;
    });
}

tavi_status tavi_settle_outcome(const tavi_client* client, const char* msg_id, int* removed,
                                char** error_json) {
    if (error_json) *error_json = nullptr;
    if (removed) *removed = 0;
    if (!msg_id) return TAVI_INVALID_ARGUMENT;
    return guard(TAVI_INTERNAL_ERROR, [&] {
        const auto settled = clientOf(client).settleOutcome(msg_id);
        if (!settled) return journalFailure(settled.error(), error_json);
        if (removed) *removed = settled.value() ? 1 : 0;
        return TAVI_OK;
    });
}

}  // extern "C"

// ---- Diagnostic levels and trace hooks --------------------------------------------------------

extern "C" {

void tavi_set_leveled_log_sink(tavi_leveled_log_fn fn, void* user_data) {
    quietly([&] {
        AppConstantTAVI::shared().leveledDiagnosticsSink =
            fn ? tavi::LeveledDiagnosticsSink(
                     [fn, user_data](tavi::DiagnosticLevel level, std::string_view line) {
                         fn(static_cast<int>(level), std::string(line).c_str(), user_data);
                     })
               : nullptr;
    });
}

void tavi_set_trace_hook(tavi_trace_fn fn, void* user_data) {
    quietly([&] {
        if (!fn) {
            AppConstantTAVI::shared().traceHook = nullptr;
            return;
        }
        AppConstantTAVI::shared().traceHook = [fn, user_data](const tavi::TraceEvent& event) {
            // Keys are the library's literals; values are copied so that each ends in a NUL.
            std::array<std::string, 16> texts;
            std::array<tavi_trace_attribute, 16> out{};
            std::size_t count = 0;
            for (const auto& a : event.attributes) {
                if (count == out.size()) break;
                texts[count].assign(a.text);
                out[count] = {a.key.data(), a.isNumber ? nullptr : texts[count].c_str(), a.number};
                ++count;
            }
            fn(static_cast<int>(event.kind), event.callId, event.attempt, out.data(), count,
               user_data);
        };
    });
}

}  // extern "C"
