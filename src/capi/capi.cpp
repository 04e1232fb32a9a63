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

tavi_result* fromCodeReason(const std::optional<std::string>& code,
                            const std::optional<std::string>& reason) {
    return ResultBuilder(TAVI_FAILED)
        .value("errorCode", code)
        .value("errorReason", reason)
        .release();
}

// ---- Calls that return at once ----------------------------------------------------------------

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

/// Starts a call: `start(options, completion)` starts the C++ call, `shape(result)` turns its
/// result into the C result. Invalid arguments complete on a thread of their own, so that a
/// completion never runs inside tavi_start_….
template <class T, class Shape, class Start>
tavi_call* startCall(tavi_result* rejected, const tavi_call_options* options,
                     tavi_completion_fn completion, void* userData, Shape shape, Start start) {
    try {
        auto call = std::make_unique<tavi_call>();
        call->core = std::make_shared<CallCore>();
        std::shared_ptr<CallCore> core = call->core;
        const auto callOptions = callOptionsFrom(options);
        if (!rejected && !callOptions) {
            rejected = ResultBuilder(TAVI_INVALID_ARGUMENT)
                           .error(argumentError("options", options->deadline_ms < 0
                                                               ? "has a negative deadline_ms"
                                                               : "has a deadline_ms longer than "
                                                                 "86400000 (24 hours)"))
                           .release();
        }
        if (rejected) {
            tavi::CallHandle handle = tavi::detail::completeRefused(
                callOptions.value_or(tavi::CallOptions{}),
                [core, completion, userData, rejected] {
                    complete(*core, completion, userData, rejected);
                });
            std::lock_guard lock(core->mutex);
            core->handle = std::move(handle);
            return call.release();
        }
        tavi::CallHandle handle = start(
            *callOptions, [core, completion, userData, shape](tavi::Result<T> result) {
                tavi_result* out = nullptr;
                try {
                    out = shape(result).release();
                } catch (...) {
                    out = simple(TAVI_INTERNAL_ERROR);
                }
                complete(*core, completion, userData, out);
            });
        {
            std::lock_guard lock(core->mutex);
            core->handle = std::move(handle);
        }
        return call.release();
    } catch (...) {
        return nullptr;
    }
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
    try {
        if (!name) return TAVI_INVALID_ARGUMENT;
        auto& c = tavi::AppConstantTAVI::shared();
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

char* tavi_config_get(const char* name) {
    try {
        if (!name) return nullptr;
        auto& c = tavi::AppConstantTAVI::shared();
        const std::string_view n(name);
        if (auto* field = textField(c, n)) return copyText(*field);
        if (n == "refUrl") return c.refUrl ? copyText(*c.refUrl) : nullptr;
        if (n == "proxy") return c.proxy ? copyText(*c.proxy) : nullptr;
        if (n == "timeoutMilliseconds") return copyText(std::to_string(c.timeoutMilliseconds));
        if (n == "operationDeadlineMilliseconds")
            return copyText(std::to_string(c.operationDeadlineMilliseconds));
        if (n == "logLevel") return copyText(logLevelWord(c.logLevel));
        return nullptr;
    } catch (...) {
        return nullptr;
    }
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

// ---- Registration ---------------------------------------------------------------------------

tavi_result* tavi_check_device_registered(const char* mobile) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"mobile", mobile}})) return bad;
        tavi_result* out = nullptr;
        tavi::TaviUtils::getCheckDeviceRegistered(mobile, [&](bool registered) {
            out = ResultBuilder(TAVI_OK).flag("registered", registered).release();
        });
        return out ? out : simple(TAVI_INTERNAL_ERROR);
    });
}

tavi_result* tavi_register_device(const char* session_key, const char* mobile, const char* txn_id,
                                  const char* app_id) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"session_key", session_key},
                                         {"mobile", mobile},
                                         {"txn_id", txn_id},
                                         {"app_id", app_id}}))
            return bad;
        ResultBuilder b(TAVI_INTERNAL_ERROR);
        tavi::DeviceRegistrationController().startDeviceRegistration(
            true, session_key, mobile, txn_id, app_id,
            [&](const std::string& r) { b.status(TAVI_OK).value("result", r); },
            [&](const Error& e) { b.status(TAVI_FAILED).error(e); });
        return b.release();
    });
}

// ---- Transaction operations -----------------------------------------------------------------

tavi_result* tavi_retrieve_keys(const char* msg_id, const char* transaction_type,
                                const char* txn_id, const char* bic,
                                const char* payment_instrument_type) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"msg_id", msg_id},
                                         {"transaction_type", transaction_type},
                                         {"txn_id", txn_id},
                                         {"bic", bic},
                                         {"payment_instrument_type", payment_instrument_type}}))
            return bad;
        ResultBuilder b(TAVI_INTERNAL_ERROR);
        tavi::TaviApiService::shared().createRetrieveKeysRequest(
            msg_id, transaction_type, txn_id, bic, payment_instrument_type,
            [&](const std::string& bankKi, const std::string& publicKey,
                const std::string& sessionKey, const std::string& id, const std::string& rule) {
                b.status(TAVI_OK)
                    .value("bankKi", bankKi)
                    .value("publicKey", publicKey)
                    .value("sessionKey", sessionKey)
                    .value("txnId", id)
                    .value("rule", rule);
            },
            [&](const Error& e) { b.status(TAVI_FAILED).error(e); });
        return b.release();
    });
}

tavi_result* tavi_submit_credential(const char* txn_id, const char* transaction_type,
                                    const char* cred_type, const char* cred_value,
                                    const char* bank_ki, const char* public_key,
                                    const char* session_key) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"txn_id", txn_id},
                                         {"transaction_type", transaction_type},
                                         {"cred_type", cred_type},
                                         {"cred_value", cred_value},
                                         {"bank_ki", bank_ki},
                                         {"public_key", public_key},
                                         {"session_key", session_key}}))
            return bad;
        ResultBuilder b(TAVI_INTERNAL_ERROR);
        tavi::TaviApiService::shared().createCredentialSubmissionRequest(
            txn_id, transaction_type, cred_type, cred_value, bank_ki, public_key, session_key,
            [&](bool ok) { b.status(TAVI_OK).flag("success", ok); },
            [&](bool ok) { b.status(TAVI_FAILED).flag("success", ok); });
        return b.release();
    });
}

tavi_result* tavi_fetch_otp_challenge(const char* transaction_type, const char* txn_id,
                                      const char* payment_instrument_type, const char* bic,
                                      const char* session_key, const char* action) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"transaction_type", transaction_type},
                                         {"txn_id", txn_id},
                                         {"payment_instrument_type", payment_instrument_type},
                                         {"bic", bic},
                                         {"session_key", session_key},
                                         {"action", action, true}}))
            return bad;
        tavi_result* out = nullptr;
        tavi::TaviApiService::shared().createFetchOtpChallengeRequest(
            transaction_type, txn_id, payment_instrument_type, bic, session_key,
            optionalText(action),
            [&](const std::string& referenceId, const std::string& code, const std::string& expiry,
                const std::string& act) {
                out = ResultBuilder(TAVI_OK)
                          .value("referenceId", referenceId)
                          .value("otpChallengeCode", code)
                          .value("otpExpiry", expiry)
                          .value("action", act)
                          .release();
            },
            [&](const std::optional<std::string>& code, const std::optional<std::string>& reason) {
                out = fromCodeReason(code, reason);
            });
        return out ? out : simple(TAVI_INTERNAL_ERROR);
    });
}

tavi_result* tavi_check_otp_status(const char* txn_id) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"txn_id", txn_id}})) return bad;
        tavi_result* out = nullptr;
        tavi::TaviApiService::shared().checkOtpStatus(txn_id, [&](const std::string& status) {
            out = ResultBuilder(TAVI_OK).value("status", status).release();
        });
        return out ? out : simple(TAVI_INTERNAL_ERROR);
    });
}

tavi_result* tavi_validate_otp(const char* txn_id, const char* transaction_type, const char* otp,
                               const char* bank_ki, const char* public_key, const char* session_key,
                               const char* action, const char* bic, const char* reference_id) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"txn_id", txn_id},
                                         {"transaction_type", transaction_type},
                                         {"otp", otp},
                                         {"bank_ki", bank_ki},
                                         {"public_key", public_key},
                                         {"session_key", session_key},
                                         {"action", action},
                                         {"bic", bic},
                                         {"reference_id", reference_id}}))
            return bad;
        tavi_result* out = nullptr;
        tavi::TaviApiService::shared().createValidateOtpRequest(
            txn_id, transaction_type, otp, bank_ki, public_key, session_key, action, bic,
            reference_id,
            [&](bool ok) { out = ResultBuilder(TAVI_OK).flag("success", ok).release(); },
            [&](const std::optional<std::string>& code, const std::optional<std::string>& reason) {
                out = fromCodeReason(code, reason);
            });
        return out ? out : simple(TAVI_INTERNAL_ERROR);
    });
}

tavi_result* tavi_validate_card_number(const char* session_key, const char* bank_ki,
                                       const char* public_key, const char* txn_id,
                                       const char* card_number, const char* bic,
                                       const char* bank_name) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"session_key", session_key},
                                         {"bank_ki", bank_ki},
                                         {"public_key", public_key},
                                         {"txn_id", txn_id},
                                         {"card_number", card_number},
                                         {"bic", bic},
                                         {"bank_name", bank_name}}))
            return bad;
        ResultBuilder b(TAVI_INTERNAL_ERROR);
        tavi::TaviApiService::shared().validateCardNumAsync(
            session_key, bank_ki, public_key, txn_id, card_number, bic, bank_name,
            [&](const tavi::ValidateCardNumResponse& r) {
                b.status(TAVI_OK)
                    .flag("success", r.commonResponse.success)
                    .value("reqMsgId", r.commonResponse.reqMsgID)
                    .value("errorCode", r.commonResponse.errorCode)
                    .value("errorReason", r.commonResponse.errorReason)
                    .value("bankNameMatchStatus", r.bankNameMatchStatus);
            },
            [&](const Error& e) { b.status(TAVI_FAILED).error(e); });
        return b.release();
    });
}

tavi_result* tavi_register_card_detail(const char* txn_id, const char* transaction_type,
                                       const char* bic, const char* account_no, const char* bank_ki,
                                       const char* session_key, const char* card_number,
                                       const char* expiry_month, const char* expiry_year,
                                       const char* cvv, const char* public_key) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"txn_id", txn_id},
                                         {"transaction_type", transaction_type},
                                         {"bic", bic},
                                         {"account_no", account_no, true},
                                         {"bank_ki", bank_ki},
                                         {"session_key", session_key},
                                         {"card_number", card_number},
                                         {"expiry_month", expiry_month},
                                         {"expiry_year", expiry_year},
                                         {"cvv", cvv},
                                         {"public_key", public_key}}))
            return bad;
        ResultBuilder b(TAVI_INTERNAL_ERROR);
        tavi::TaviApiService::shared().registerCardDetailRequest(
            txn_id, transaction_type, bic, optionalText(account_no), bank_ki, session_key,
            card_number, expiry_month, expiry_year, cvv, public_key,
            [&](bool ok, const std::string& code) {
                b.status(TAVI_OK).flag("success", ok).value("errorCode", code);
            },
            [&](const Error& e) { b.status(TAVI_FAILED).error(e); });
        return b.release();
    });
}

tavi_result* tavi_web_url(const char* transaction_type, const char* txn_id,
                          const char* payment_instrument_type, const char* bic,
                          const char* session_key) {
    return guarded([&]() -> tavi_result* {
        if (auto* bad = rejectArguments({{"transaction_type", transaction_type},
                                         {"txn_id", txn_id},
                                         {"payment_instrument_type", payment_instrument_type},
                                         {"bic", bic},
                                         {"session_key", session_key}}))
            return bad;
        ResultBuilder b(TAVI_INTERNAL_ERROR);
        tavi::TaviApiService::shared().webUrlRequestAsync(
            transaction_type, txn_id, payment_instrument_type, bic, session_key,
            [&](const std::string& url) { b.status(TAVI_OK).value("refUrl", url); },
            [&](const Error& e) { b.status(TAVI_FAILED).error(e); });
        return b.release();
    });
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

tavi_call* tavi_start_check_device_registered(const char* mobile, const tavi_call_options* options,
                                              tavi_completion_fn completion, void* user_data) {
    using tavi::RegistrationStatus;
    return startCall<RegistrationStatus>(
        rejectArguments({{"mobile", mobile}}), options, completion, user_data,
        [](const tavi::Result<RegistrationStatus>& r) {
            if (!r) return std::move(failure(r.error()).flag("registered", false));
            const char* word = r.value() == RegistrationStatus::registered ? "registered"
                               : r.value() == RegistrationStatus::refused  ? "refused"
                                                                            : "notRegistered";
            ResultBuilder b(TAVI_OK);
            b.flag("registered", r.value() == RegistrationStatus::registered).value("status", word);
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<RegistrationStatus> c) {
            return tavi::TaviApiService::shared().startCheckRegistration(mobile, std::move(c), o);
        });
}

tavi_call* tavi_start_register_device(const char* session_key, const char* mobile,
                                      const char* txn_id, const char* app_id,
                                      const tavi_call_options* options,
                                      tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::Accepted>(
        rejectArguments({{"session_key", session_key}, {"mobile", mobile}, {"txn_id", txn_id}, {"app_id", app_id}}), options, completion, user_data,
        [](const tavi::Result<tavi::Accepted>& r) {
            if (!r) return failure(r.error());
            ResultBuilder b(TAVI_OK);
            b.value("result", "done");
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::Accepted> c) {
            return tavi::DeviceRegistrationController().startRegisterDevice(
                session_key, mobile, txn_id, app_id, std::move(c), o);
        });
}

tavi_call* tavi_start_retrieve_keys(const char* msg_id, const char* transaction_type,
                                    const char* txn_id, const char* bic,
                                    const char* payment_instrument_type,
                                    const tavi_call_options* options,
                                    tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::TransactionKeys>(
        rejectArguments({{"msg_id", msg_id}, {"transaction_type", transaction_type}, {"txn_id", txn_id}, {"bic", bic}, {"payment_instrument_type", payment_instrument_type}}), options,
        completion, user_data,
        [](const tavi::Result<tavi::TransactionKeys>& r) {
            if (!r) return failure(r.error());
            const tavi::TransactionKeys& k = r.value();
            ResultBuilder b(TAVI_OK);
            b.value("bankKi", k.bankKi)
                .value("publicKey", k.publicKey)
                .value("sessionKey", k.sessionKey)
                .value("txnId", k.txnId)
                .value("rule", k.rule);
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::TransactionKeys> c) {
            return tavi::TaviApiService::shared().startRetrieveKeys(
                msg_id, transaction_type, txn_id, bic, payment_instrument_type, std::move(c), o);
        });
}

tavi_call* tavi_start_submit_credential(const char* txn_id, const char* transaction_type,
                                        const char* cred_type, const char* cred_value,
                                        const char* bank_ki, const char* public_key,
                                        const char* session_key, const tavi_call_options* options,
                                        tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::Accepted>(
        rejectArguments({{"txn_id", txn_id}, {"transaction_type", transaction_type}, {"cred_type", cred_type}, {"cred_value", cred_value}, {"bank_ki", bank_ki}, {"public_key", public_key}, {"session_key", session_key}}),
        options, completion, user_data,
        [](const tavi::Result<tavi::Accepted>& r) {
            if (!r) return std::move(failure(r.error()).flag("success", false));
            ResultBuilder b(TAVI_OK);
            b.flag("success", true);
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::Accepted> c) {
            return tavi::TaviApiService::shared().startSubmitCredential(
                txn_id, transaction_type, cred_type, cred_value, bank_ki, public_key, session_key,
                std::move(c), o);
        });
}

tavi_call* tavi_start_fetch_otp_challenge(const char* transaction_type, const char* txn_id,
                                          const char* payment_instrument_type, const char* bic,
                                          const char* session_key, const char* action,
                                          const tavi_call_options* options,
                                          tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::OtpChallenge>(
        rejectArguments({{"transaction_type", transaction_type}, {"txn_id", txn_id}, {"payment_instrument_type", payment_instrument_type}, {"bic", bic}, {"session_key", session_key}}), options,
        completion, user_data,
        [](const tavi::Result<tavi::OtpChallenge>& r) {
            if (!r) return codeReasonFailure(r.error());
            const tavi::OtpChallenge& ch = r.value();
            ResultBuilder b(TAVI_OK);
            b.value("referenceId", ch.referenceId)
                .value("otpChallengeCode", ch.otpChallengeCode)
                .value("otpExpiry", ch.otpExpiry)
                .value("action", ch.action);
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::OtpChallenge> c) {
            return tavi::TaviApiService::shared().startFetchOtpChallenge(
                transaction_type, txn_id, payment_instrument_type, bic, session_key,
                optionalText(action), std::move(c), o);
        });
}

tavi_call* tavi_start_check_otp_status(const char* txn_id, const tavi_call_options* options,
                                       tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::OtpStatus>(
        rejectArguments({{"txn_id", txn_id}}), options, completion, user_data,
        [](const tavi::Result<tavi::OtpStatus>& r) {
            if (!r) return std::move(failure(r.error()).value("status", "stop"));
            ResultBuilder b(TAVI_OK);
            b.value("status", r.value() == tavi::OtpStatus::pending ? "retry" : "stop");
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::OtpStatus> c) {
            return tavi::TaviApiService::shared().startOtpStatus(txn_id, std::move(c), o);
        });
}

tavi_call* tavi_start_validate_otp(const char* txn_id, const char* transaction_type,
                                   const char* otp, const char* bank_ki, const char* public_key,
                                   const char* session_key, const char* action, const char* bic,
                                   const char* reference_id, const tavi_call_options* options,
                                   tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::Accepted>(
        rejectArguments({{"txn_id", txn_id}, {"transaction_type", transaction_type}, {"otp", otp}, {"bank_ki", bank_ki}, {"public_key", public_key}, {"session_key", session_key}, {"action", action}, {"bic", bic}, {"reference_id", reference_id}}),
        options, completion, user_data,
        [](const tavi::Result<tavi::Accepted>& r) {
            if (!r) return codeReasonFailure(r.error());
            ResultBuilder b(TAVI_OK);
            b.flag("success", true);
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::Accepted> c) {
            return tavi::TaviApiService::shared().startValidateOtp(
                txn_id, transaction_type, otp, bank_ki, public_key, session_key, action, bic,
                reference_id, std::move(c), o);
        });
}

tavi_call* tavi_start_validate_card_number(const char* session_key, const char* bank_ki,
                                           const char* public_key, const char* txn_id,
                                           const char* card_number, const char* bic,
                                           const char* bank_name, const tavi_call_options* options,
                                           tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::ValidateCardNumResponse>(
        rejectArguments({{"session_key", session_key}, {"bank_ki", bank_ki}, {"public_key", public_key}, {"txn_id", txn_id}, {"card_number", card_number}, {"bic", bic}, {"bank_name", bank_name}}), options,
        completion, user_data,
        [](const tavi::Result<tavi::ValidateCardNumResponse>& r) {
            if (!r) return failure(r.error());
            const tavi::ValidateCardNumResponse& v = r.value();
            ResultBuilder b(TAVI_OK);
            b.flag("success", v.commonResponse.success)
                .value("reqMsgId", v.commonResponse.reqMsgID)
                .value("errorCode", v.commonResponse.errorCode)
                .value("errorReason", v.commonResponse.errorReason)
                .value("bankNameMatchStatus", v.bankNameMatchStatus);
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::ValidateCardNumResponse> c) {
            return tavi::TaviApiService::shared().startValidateCardNum(
                session_key, bank_ki, public_key, txn_id, card_number, bic, bank_name,
                std::move(c), o);
        });
}

tavi_call* tavi_start_register_card_detail(const char* txn_id, const char* transaction_type,
                                           const char* bic, const char* account_no,
                                           const char* bank_ki, const char* session_key,
                                           const char* card_number, const char* expiry_month,
                                           const char* expiry_year, const char* cvv,
                                           const char* public_key, const tavi_call_options* options,
                                           tavi_completion_fn completion, void* user_data) {
    return startCall<tavi::CardRegistration>(
        rejectArguments({{"txn_id", txn_id}, {"transaction_type", transaction_type}, {"bic", bic}, {"bank_ki", bank_ki}, {"session_key", session_key}, {"card_number", card_number}, {"expiry_month", expiry_month}, {"expiry_year", expiry_year}, {"cvv", cvv}, {"public_key", public_key}}),
        options, completion, user_data,
        [](const tavi::Result<tavi::CardRegistration>& r) {
            if (!r) return failure(r.error());
            ResultBuilder b(TAVI_OK);
            b.flag("success", r.value().accepted).value("errorCode", r.value().errorCode);
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<tavi::CardRegistration> c) {
            return tavi::TaviApiService::shared().startRegisterCardDetail(
                txn_id, transaction_type, bic, optionalText(account_no), bank_ki, session_key,
                card_number, expiry_month, expiry_year, cvv, public_key, std::move(c), o);
        });
}

tavi_call* tavi_start_web_url(const char* transaction_type, const char* txn_id,
                              const char* payment_instrument_type, const char* bic,
                              const char* session_key, const tavi_call_options* options,
                              tavi_completion_fn completion, void* user_data) {
    return startCall<std::string>(
        rejectArguments({{"transaction_type", transaction_type}, {"txn_id", txn_id}, {"payment_instrument_type", payment_instrument_type}, {"bic", bic}, {"session_key", session_key}}), options,
        completion, user_data,
        [](const tavi::Result<std::string>& r) {
            if (!r) return failure(r.error());
            ResultBuilder b(TAVI_OK);
            b.value("refUrl", r.value());
            return b;
        },
        [&](const tavi::CallOptions& o, tavi::Completion<std::string> c) {
            return tavi::TaviApiService::shared().startWebUrl(
                transaction_type, txn_id, payment_instrument_type, bic, session_key, std::move(c),
                o);
        });
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
