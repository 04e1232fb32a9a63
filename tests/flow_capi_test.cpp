// The whole flow through the C interface only: configuration, store, logging, every operation,
// and the failure outcomes as values. The sandbox runs in-process; the library is reached through
// tavi.h alone.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sandbox.hpp"
#include "tavi/tavi.h"

namespace {

constexpr const char* kBic = "DEMOBIC1";
constexpr const char* kFinancial = "FINANCIAL_TXN";

struct Lines {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::string joined() {
        std::lock_guard<std::mutex> lock(mutex);
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        return out;
    }
};

void collect(const char* line, void* userData) {
    auto* lines = static_cast<Lines*>(userData);
    std::lock_guard<std::mutex> lock(lines->mutex);
    lines->lines.emplace_back(line);
}

#ifdef TAVI_TEST_EMULATOR
// Under qemu-user the sandbox's and the library's RSA and TLS run tens of times slower (as in
// the shared fixture): each operation gets 120 s.
constexpr const char* kTimeoutMilliseconds = "120000";
constexpr int kCompletionWaitSteps = 12000;  // of 10 ms
#else
constexpr const char* kTimeoutMilliseconds = "10000";
constexpr int kCompletionWaitSteps = 1000;
#endif

/// Frees a result at scope end.
struct Owned {
    tavi_result* r;
    explicit Owned(tavi_result* result) : r(result) {}
    ~Owned() { tavi_result_free(r); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    tavi_result* operator->() const { return r; }
    std::string value(const char* name) const {
        const char* v = tavi_result_value(r, name);
        return v ? v : "<null>";
    }
};

std::string text(char* owned) {
    std::string out = owned ? owned : "<null>";
    tavi_string_free(owned);
    return out;
}

/// What a call's completion received (read after tavi_call_wait, or once `runs` is set).
struct Outcome {
    std::atomic<int> runs{0};
    tavi_status status = TAVI_INTERNAL_ERROR;
    long errorCode = 0;
    tavi_delivery delivery = TAVI_DELIVERY_UNKNOWN;
    std::string sessionKey;
    std::thread::id thread;
};

void record(const tavi_result* result, void* userData) {
    auto* o = static_cast<Outcome*>(userData);
    o->status = result->status;
    o->errorCode = result->error ? result->error->code : 0;
    o->delivery = tavi_result_delivery(result);
    if (const char* key = tavi_result_value(result, "sessionKey")) o->sessionKey = key;
    o->thread = std::this_thread::get_id();
    o->runs.fetch_add(1);
}

class CApiFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        tavi::sandbox::Options options;
        options.tls = true;
        server_ = std::make_unique<tavi::sandbox::Server>(options);
        ASSERT_TRUE(server_->start()) << server_->lastError();
        ASSERT_EQ(tavi_config_set("serverURL", server_->url().c_str()), TAVI_OK);
        ASSERT_EQ(tavi_config_set("caFile", server_->caFile().c_str()), TAVI_OK);
        ASSERT_EQ(tavi_config_set("timeoutMilliseconds", kTimeoutMilliseconds), TAVI_OK);
        ASSERT_EQ(tavi_config_set("appId", "com.example.c"), TAVI_OK);
        ASSERT_EQ(tavi_config_set("pspOrgId", "PSPORG1"), TAVI_OK);
        tavi_store* store = tavi_store_new_memory();
        ASSERT_NE(store, nullptr);
        tavi_store_install(store);
        tavi_store_free(store);  // the library keeps its own reference
        tavi_set_log_sink(collect, &lines_);
    }
    void TearDown() override {
        tavi_set_log_sink(nullptr, nullptr);
        tavi_config_set("logLevel", "debug");
        tavi_config_set("serverURL", "https://pay.tavi-payments.net");
        tavi_config_set("caFile", "");
        tavi_set_device_provider(nullptr, nullptr);
        server_->stop();
    }

    void registerDevice() {
        Owned reg(tavi_register_device(server_->serverPublicKey().c_str(), "+15550100", "REG-1",
                                       "com.example.c"));
        ASSERT_EQ(reg->status, TAVI_OK) << (reg->error ? reg->error->message : "");
        EXPECT_EQ(reg.value("result"), "done");
        tavi_preference_delete("IS_REGISTERED");
        ASSERT_EQ(tavi_preference_save("true", "IS_REGISTERED"), 0);
    }

    std::unique_ptr<tavi::sandbox::Server> server_;
    Lines lines_;
};

TEST_F(CApiFlow, WholeFlowThroughTheCInterface) {
    {
        Owned check(tavi_check_device_registered("+15550100"));
        EXPECT_EQ(check.value("registered"), "false");
    }
    registerDevice();
    {
        Owned check(tavi_check_device_registered("+15550100"));
        ASSERT_EQ(check->status, TAVI_OK);
        EXPECT_EQ(check.value("registered"), "true");
    }
    EXPECT_EQ(text(tavi_preference_get("IS_REGISTERED")), "true");
    EXPECT_EQ(tavi_preference_save("again", "IS_REGISTERED"), -25299);  // never overwrites

    Owned keys(tavi_retrieve_keys("MSG-1", kFinancial, "TXN-C-1", kBic, "ACCOUNT"));
    ASSERT_EQ(keys->status, TAVI_OK) << (keys->error ? keys->error->message : "");
    ASSERT_EQ(keys->value_count, 5u);
    const std::string ki = keys.value("bankKi"), pk = keys.value("publicKey"),
                      sk = keys.value("sessionKey");
    EXPECT_EQ(keys.value("txnId"), "TXN-C-1");
    // Which request a success came from, for finding it on the server.
    EXPECT_STREQ(tavi_result_operation(keys.operator->()), "retrieveKeys");
    EXPECT_STREQ(tavi_result_msg_id(keys.operator->()), "MSG-1");
    EXPECT_STREQ(tavi_result_txn_id(keys.operator->()), "TXN-C-1");
    EXPECT_EQ(tavi_result_attempts(keys.operator->()), 1);

    Owned pin(tavi_submit_credential("TXN-C-1", kFinancial, "PIN", tavi::sandbox::kTestPin,
                                     ki.c_str(), pk.c_str(), sk.c_str()));
    EXPECT_EQ(pin->status, TAVI_OK);
    EXPECT_EQ(pin.value("success"), "true");

    Owned otp(
        tavi_fetch_otp_challenge(kFinancial, "TXN-C-1", "ACCOUNT", kBic, sk.c_str(), nullptr));
    ASSERT_EQ(otp->status, TAVI_OK);
    EXPECT_EQ(Owned(tavi_check_otp_status("TXN-C-1")).value("status"), "retry");

    Owned wrong(tavi_validate_otp("TXN-C-1", kFinancial, "000000", ki.c_str(), pk.c_str(),
                                  sk.c_str(), otp.value("action").c_str(), kBic,
                                  otp.value("referenceId").c_str()));
    EXPECT_EQ(wrong->status, TAVI_FAILED);
    ASSERT_NE(wrong->error, nullptr);  // the blocking form carries the whole error too
    EXPECT_STREQ(wrong->error->domain, "ServerRefusal");
    EXPECT_NE(tavi_result_value(wrong.r, "errorCode"), nullptr);

    Owned right(tavi_validate_otp("TXN-C-1", kFinancial, tavi::sandbox::kTestOtp, ki.c_str(),
                                  pk.c_str(), sk.c_str(), otp.value("action").c_str(), kBic,
                                  otp.value("referenceId").c_str()));
    EXPECT_EQ(right->status, TAVI_OK);
    EXPECT_EQ(Owned(tavi_check_otp_status("TXN-C-1")).value("status"), "stop");

    const auto& card = tavi::sandbox::kTestCards[0];
    EXPECT_EQ(tavi_card_check_number(card.number), TAVI_CARD_VALID);
    EXPECT_STREQ(tavi_card_brand(card.number), "Visa");
    Owned validated(tavi_validate_card_number(sk.c_str(), ki.c_str(), pk.c_str(), "TXN-C-1",
                                              card.number, kBic, card.bankName));
    ASSERT_EQ(validated->status, TAVI_OK);
    EXPECT_EQ(validated.value("success"), "true");

    Owned registered(tavi_register_card_detail("TXN-C-1", "REGISTER_CARD_ACC_DETAIL", kBic, nullptr,
                                               ki.c_str(), sk.c_str(), card.number, "12", "2031",
                                               "737", pk.c_str()));
    ASSERT_EQ(registered->status, TAVI_OK);
    EXPECT_EQ(registered.value("success"), "true");

    Owned page(tavi_web_url("SECURE_PAGE_URL", "TXN-C-1", "ACCOUNT", kBic, sk.c_str()));
    ASSERT_EQ(page->status, TAVI_OK);
    EXPECT_EQ(page.value("refUrl").rfind("http", 0), 0u);

    const std::string logged = lines_.joined();
    EXPECT_FALSE(logged.empty());
    EXPECT_EQ(logged.find(card.number), std::string::npos);
}

TEST_F(CApiFlow, FailuresArriveAsValuesWithTheirErrors) {
    // Nothing registered: the operation fails with an error value, nothing thrown.
    Owned keys(tavi_retrieve_keys("MSG-1", kFinancial, "TXN-C-2", kBic, "ACCOUNT"));
    ASSERT_EQ(keys->status, TAVI_FAILED);
    ASSERT_NE(keys->error, nullptr);
    EXPECT_STREQ(keys->error->domain, "TaviClientError");

    registerDevice();
    tavi::sandbox::Fault refusal;
    refusal.path = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
    refusal.kind = tavi::sandbox::Fault::Kind::refusal;
    refusal.errorCode = "E42";
    refusal.errorReason = "refused for the test";
    refusal.times = 1;
    server_->addFault(refusal);
    Owned refused(tavi_retrieve_keys("MSG-2", kFinancial, "TXN-C-3", kBic, "ACCOUNT"));
    ASSERT_EQ(refused->status, TAVI_FAILED);
    ASSERT_NE(refused->error, nullptr);
    EXPECT_STREQ(refused->error->domain, "ServerRefusal");
    ASSERT_NE(refused->error->error_code, nullptr);
    EXPECT_STREQ(refused->error->error_code, "E42");
    EXPECT_STREQ(refused->error->error_reason, "refused for the test");

    // A missing required argument sends nothing.
    const auto before = server_->requests().size();
    Owned invalid(tavi_web_url("SECURE_PAGE_URL", nullptr, "ACCOUNT", kBic, "key"));
    EXPECT_EQ(invalid->status, TAVI_INVALID_ARGUMENT);
    EXPECT_EQ(server_->requests().size(), before);

    // The transport failure of an unreachable server, with its nested chain freed in one call.
    ASSERT_EQ(tavi_config_set("serverURL", "http://127.0.0.1:1"), TAVI_OK);
    Owned unreachable(tavi_retrieve_keys("MSG-3", kFinancial, "TXN-C-4", kBic, "ACCOUNT"));
    EXPECT_EQ(unreachable->status, TAVI_FAILED);
    ASSERT_NE(unreachable->error, nullptr);
    EXPECT_GT(std::strlen(unreachable->error->message), 0u);
    EXPECT_STREQ(tavi_result_msg_id(unreachable.operator->()), "MSG-3");
    EXPECT_EQ(tavi_result_attempts(unreachable.operator->()), 3);  // the first try and two retries

    // Local card checks never name the number in their message.
    Owned card(tavi_card_verify("4111111111111112", nullptr, nullptr, nullptr));
    ASSERT_EQ(card->status, TAVI_FAILED);
    EXPECT_STREQ(card->error->domain, "CardValidationError");
    EXPECT_EQ(std::string(card->error->message).find("411111"), std::string::npos);
}

TEST_F(CApiFlow, ConfigurationAndLogLevelByName) {
    // The version text names the same version as the installed package and the SONAME.
    EXPECT_NE(std::string(tavi_version()).find(std::string(" ") + TAVI_PROJECT_VERSION + " "),
              std::string::npos);
    EXPECT_EQ(text(tavi_config_get("appId")), "com.example.c");
    EXPECT_EQ(tavi_config_set("noSuchSetting", "x"), TAVI_INVALID_ARGUMENT);
    EXPECT_EQ(tavi_config_set("timeoutMilliseconds", "12abc"), TAVI_INVALID_ARGUMENT);
    EXPECT_EQ(tavi_config_set("timeoutMilliseconds", "-5"), TAVI_INVALID_ARGUMENT);
    EXPECT_EQ(text(tavi_config_get("timeoutMilliseconds")), kTimeoutMilliseconds);
    EXPECT_EQ(tavi_config_set("logLevel", "verbose"), TAVI_INVALID_ARGUMENT);
    EXPECT_EQ(tavi_config_set("refUrl", nullptr), TAVI_OK);
    EXPECT_EQ(tavi_config_get("refUrl"), nullptr);
    // The deadline, the proxy (NULL: the environment's; "": none) and the key log by name.
    EXPECT_EQ(tavi_config_set("operationDeadlineMilliseconds", "-1"), TAVI_INVALID_ARGUMENT);
    ASSERT_EQ(tavi_config_set("operationDeadlineMilliseconds", "45000"), TAVI_OK);
    EXPECT_EQ(text(tavi_config_get("operationDeadlineMilliseconds")), "45000");
    ASSERT_EQ(tavi_config_set("operationDeadlineMilliseconds", "0"), TAVI_OK);
    // The connection limit by name: 1 to 256.
    EXPECT_EQ(text(tavi_config_get("maxConnections")), "8");
    EXPECT_EQ(tavi_config_set("maxConnections", "0"), TAVI_INVALID_ARGUMENT);
    EXPECT_EQ(tavi_config_set("maxConnections", "257"), TAVI_INVALID_ARGUMENT);
    ASSERT_EQ(tavi_config_set("maxConnections", "32"), TAVI_OK);
    EXPECT_EQ(text(tavi_config_get("maxConnections")), "32");
    ASSERT_EQ(tavi_config_set("maxConnections", "8"), TAVI_OK);
    ASSERT_EQ(tavi_config_set("proxy", ""), TAVI_OK);
    char* proxy = tavi_config_get("proxy");
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(text(proxy), "");
    ASSERT_EQ(tavi_config_set("proxy", nullptr), TAVI_OK);
    EXPECT_EQ(tavi_config_get("proxy"), nullptr);
    ASSERT_EQ(tavi_config_set("tlsKeyLogFile", "/nonexistent/keys.log"), TAVI_OK);
    EXPECT_EQ(text(tavi_config_get("tlsKeyLogFile")), "/nonexistent/keys.log");
    ASSERT_EQ(tavi_config_set("tlsKeyLogFile", ""), TAVI_OK);

    // One setting turns every line off while operations keep working, and back on.
    ASSERT_EQ(tavi_config_set("logLevel", "off"), TAVI_OK);
    EXPECT_EQ(text(tavi_config_get("logLevel")), "off");
    registerDevice();
    EXPECT_EQ(lines_.joined(), "");
    ASSERT_EQ(tavi_config_set("logLevel", "debug"), TAVI_OK);
    Owned check(tavi_check_device_registered("+15550100"));
    EXPECT_EQ(check.value("registered"), "true");
    EXPECT_NE(lines_.joined(), "");
}

// The trace hook and the leveled sink through C: a call's events in order under one id, each
// attribute a NUL-terminated copy, the path without its query (the poll's txnId travels there),
// the lines with their levels while the plain sink hears none.
TEST_F(CApiFlow, TraceEventsAndLeveledLinesThroughTheCInterface) {
    struct Heard {
        std::mutex mutex;
        std::vector<int> kinds;
        std::vector<std::uint64_t> calls;
        std::map<std::string, std::string> attributes;  // of the exchange's end
        std::vector<int> levels;
    } heard;
    tavi_set_trace_hook(
        [](int kind, std::uint64_t call, int, const tavi_trace_attribute* a, std::size_t n,
           void* user) {
            auto* h = static_cast<Heard*>(user);
            std::lock_guard<std::mutex> lock(h->mutex);
            h->kinds.push_back(kind);
            h->calls.push_back(call);
            if (kind != TAVI_TRACE_EXCHANGE_END) return;
            for (std::size_t i = 0; i < n; ++i) {
                h->attributes[a[i].key] = a[i].text ? a[i].text : std::to_string(a[i].number);
            }
        },
        &heard);
    tavi_set_leveled_log_sink(
        [](int level, const char*, void* user) {
            auto* h = static_cast<Heard*>(user);
            std::lock_guard<std::mutex> lock(h->mutex);
            h->levels.push_back(level);
        },
        &heard);
    const std::string status = Owned(tavi_check_otp_status("TXN-C-TRACE")).value("status");
    tavi_set_trace_hook(nullptr, nullptr);
    tavi_set_leveled_log_sink(nullptr, nullptr);

    EXPECT_NE(status, "<null>");
    EXPECT_EQ(heard.kinds, (std::vector<int>{TAVI_TRACE_CALL_START, TAVI_TRACE_EXCHANGE_START,
                                             TAVI_TRACE_EXCHANGE_END, TAVI_TRACE_CALL_END}));
    ASSERT_EQ(heard.calls.size(), 4u);
    EXPECT_NE(heard.calls[0], 0u);
    EXPECT_EQ(std::count(heard.calls.begin(), heard.calls.end(), heard.calls[0]), 4);
    const std::map<std::string, std::string> want = {
        {"http.request.method", "GET"},     {"server.address", "127.0.0.1"},
        {"server.port", std::to_string(server_->port())},
        {"http.response.status_code", "200"}, {"tavi.operation", "checkOtpStatus"},
        {"tavi.txn_id", "TXN-C-TRACE"},     {"tavi.attempt", "1"},
        {"tavi.delivery", "unknown"}};
    for (const auto& [key, value] : want) EXPECT_EQ(heard.attributes[key], value) << key;
    EXPECT_EQ(heard.attributes["url.path"].find('?'), std::string::npos);
    EXPECT_EQ(heard.attributes["url.path"].find("TXN-C-TRACE"), std::string::npos);
    EXPECT_FALSE(heard.levels.empty());
    EXPECT_EQ(std::count(heard.levels.begin(), heard.levels.end(), TAVI_LOG_DEBUG),
              static_cast<long>(heard.levels.size()));
    EXPECT_EQ(lines_.joined(), "");
}

// A client of its own: its configuration and store, beside the default client's; a wrong PIN
// and a dropped connection are told apart by the error a blocking call now carries.
TEST_F(CApiFlow, AClientOfItsOwnCarriesWholeErrors) {
    tavi_store* own = tavi_store_new_memory();
    tavi_client* client = tavi_client_new(own);
    tavi_store_free(own);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(tavi_config_set("serverURL", "http://127.0.0.1:9"), TAVI_OK);  // default: nowhere
    EXPECT_EQ(text(tavi_client_config_get(client, "serverURL")), server_->url());

    Owned reg(tavi_client_register_device(client, server_->serverPublicKey().c_str(), "+15550100",
                                          "REG-1", "com.example.c"));
    ASSERT_EQ(reg->status, TAVI_OK) << (reg->error ? reg->error->message : "");
    EXPECT_EQ(text(tavi_preference_get("taviKey")), "<null>");  // the default store is untouched
    // Marked registered in the client's own store, the client's check asks the server.
    Owned unmarked(tavi_client_check_device_registered(client, "+15550100"));
    EXPECT_EQ(unmarked.value("status"), "notRegistered");
    ASSERT_EQ(tavi_client_preference_save(client, "true", "IS_REGISTERED"), 0);
    EXPECT_EQ(text(tavi_preference_get("IS_REGISTERED")), "<null>");
    Owned marked(tavi_client_check_device_registered(client, "+15550100"));
    EXPECT_EQ(marked.value("status"), "registered") << (marked->error ? marked->error->message : "");
    EXPECT_EQ(text(tavi_client_preference_get(client, "IS_REGISTERED")), "true");
    EXPECT_EQ(tavi_client_preference_delete(client, "IS_REGISTERED"), 0);

    Owned keys(tavi_client_retrieve_keys(client, "MSG-1", kFinancial, "TXN-K-1", kBic, "ACCOUNT"));
    ASSERT_EQ(keys->status, TAVI_OK) << (keys->error ? keys->error->message : "");
    Owned wrong(tavi_client_submit_credential(client, "TXN-K-1", kFinancial, "PIN", "0000",
                                              keys.value("bankKi").c_str(),
                                              keys.value("publicKey").c_str(),
                                              keys.value("sessionKey").c_str()));
    ASSERT_EQ(wrong->status, TAVI_FAILED);
    EXPECT_EQ(wrong.value("success"), "false");
    ASSERT_NE(wrong->error, nullptr);
    EXPECT_STREQ(wrong->error->domain, "ServerRefusal");

    Owned nowhere(tavi_submit_credential("TXN-K-1", kFinancial, "PIN", "0000", "KI", "PK", "SK"));
    ASSERT_EQ(nowhere->status, TAVI_FAILED);
    ASSERT_NE(nowhere->error, nullptr);
    EXPECT_STRNE(nowhere->error->domain, "ServerRefusal");

    Outcome refused;
    tavi_call* call = tavi_client_start_check_otp_status(nullptr, "TXN-K-1", nullptr, record, &refused);
    tavi_call_wait(call);
    tavi_call_free(call);
    EXPECT_EQ(refused.status, TAVI_INVALID_ARGUMENT);
    EXPECT_NE(refused.thread, std::this_thread::get_id());
    tavi_client_free(client);
}

// A store and a device description implemented by the host in C.
struct HostStore {
    std::map<std::pair<int, std::string>, std::pair<std::vector<uint8_t>, int>> items;
    int released = 0;
};

int32_t hostAdd(void* ud, int cls, const char* name, const uint8_t* data, size_t size,
                int keyClass) {
    auto& items = static_cast<HostStore*>(ud)->items;
    if (items.count({cls, name})) return -25299;
    items[{cls, name}] = {std::vector<uint8_t>(data, data + size), keyClass};
    return 0;
}
int32_t hostCopy(void* ud, int cls, const char* name, tavi_store_item* out) {
    auto& items = static_cast<HostStore*>(ud)->items;
    auto it = items.find({cls, name});
    if (it == items.end()) return -25300;
    tavi_store_item_set(out, it->second.first.data(), it->second.first.size(), it->second.second);
    return 0;
}
int32_t hostRemove(void* ud, int cls, const char* name) {
    return static_cast<HostStore*>(ud)->items.erase({cls, name}) ? 0 : -25300;
}
void hostRelease(void* ud) {
    ++static_cast<HostStore*>(ud)->released;
}

const char* hostModel(void*) {
    return "Kiosk-7";
}
const char* hostSystemName(void*) {
    return "HostOS";
}
const char* hostSystemVersion(void*) {
    return "3.1";
}
const char* hostIdentifier(void*) {
    return "0A1B2C3D-0000-4000-8000-00000000C0DE";
}

TEST_F(CApiFlow, HostStoreAndDeviceProviderCarryTheRegistration) {
    HostStore host;
    const tavi_store_callbacks callbacks{hostAdd, hostCopy, hostRemove, hostRelease};
    tavi_store* store = tavi_store_new_custom(&callbacks, &host);
    ASSERT_NE(store, nullptr);
    tavi_store_install(store);
    tavi_store_free(store);
    const tavi_device_callbacks device{hostModel, hostSystemName, hostSystemVersion,
                                       hostIdentifier};
    ASSERT_EQ(tavi_set_device_provider(&device, nullptr), TAVI_OK);
    EXPECT_EQ(text(tavi_device_identifier()), "0A1B2C3D-0000-4000-8000-00000000C0DE");
    EXPECT_NE(text(tavi_user_agent()).find("Kiosk-7"), std::string::npos);

    registerDevice();
    EXPECT_TRUE(host.items.count({0, "taviKey"}));
    EXPECT_EQ(text(tavi_preference_get("deviceId")), "0A1B2C3D-0000-4000-8000-00000000C0DE");
    Owned keys(tavi_retrieve_keys("MSG-1", kFinancial, "TXN-C-5", kBic, "ACCOUNT"));
    EXPECT_EQ(keys->status, TAVI_OK);

    // Replacing the store releases the host's one exactly once.
    tavi_store* memory = tavi_store_new_memory();
    tavi_store_install(memory);
    tavi_store_free(memory);
    EXPECT_EQ(host.released, 1);
    const tavi_store_callbacks incomplete{hostAdd, nullptr, hostRemove, nullptr};
    EXPECT_EQ(tavi_store_new_custom(&incomplete, &host), nullptr);
}

}  // namespace

TEST_F(CApiFlow, CallsThatReturnAtOnceCompleteOnceAndCanBeCancelled) {
    registerDevice();
    Outcome keys;
    tavi_call* call = tavi_start_retrieve_keys("MSG-A1", kFinancial, "TXN-C-A1", kBic, "ACCOUNT",
                                               nullptr, record, &keys);
    ASSERT_NE(call, nullptr);
    tavi_call_wait(call);
    EXPECT_EQ(keys.status, TAVI_OK);
    EXPECT_FALSE(keys.sessionKey.empty());
    EXPECT_EQ(tavi_call_cancel(call), 0) << "an ended call cannot be cancelled";
    tavi_call_free(call);

    // Cancelled while the server is late: it ends at once, and says its request may have
    // reached the server.
    tavi::sandbox::Fault delay;
    delay.path = "/kora-core/tavi-sdk/urn:apiver:1.0/retrieve-key";
    delay.kind = tavi::sandbox::Fault::Kind::delay;
    delay.delayMs = 6000;
    delay.times = 1;
    server_->addFault(delay);
    Outcome late;
    const tavi_call_options options{30000};
    const std::size_t arrived = server_->arrivals(delay.path);
    call = tavi_start_retrieve_keys("MSG-A2", kFinancial, "TXN-C-A2", kBic, "ACCOUNT", &options,
                                    record, &late);
    for (int i = 0; i < 1000 && server_->arrivals(delay.path) == arrived; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(server_->arrivals(delay.path), arrived) << "the request never reached the server";
    EXPECT_EQ(tavi_call_cancel(call), 1);
    tavi_call_wait(call);
    EXPECT_EQ(late.status, TAVI_FAILED);
    EXPECT_EQ(late.errorCode, 12);
    EXPECT_EQ(late.delivery, TAVI_DELIVERY_MAY_HAVE_BEEN_RECEIVED);
    tavi_call_free(call);

    // A missing argument completes as an invalid argument, never inside the start; a negative
    // deadline too; a freed handle does not cancel: every completion runs, once.
    Outcome invalid, badOptions, freed;
    const auto before = server_->requests().size();
    const tavi_call_options negative{-1};
    tavi_call* calls[] = {
        tavi_start_web_url("SECURE_PAGE_URL", nullptr, "ACCOUNT", kBic, "key", nullptr, record,
                           &invalid),
        tavi_start_check_otp_status("TXN-C-A3", &negative, record, &badOptions),
        tavi_start_retrieve_keys("MSG-A4", kFinancial, "TXN-C-A4", kBic, "ACCOUNT", nullptr,
                                 record, &freed)};
    for (tavi_call* c : calls) ASSERT_NE(c, nullptr);
    tavi_call_wait(calls[0]);
    tavi_call_wait(calls[1]);
    tavi_call_free(calls[0]);
    tavi_call_free(calls[1]);
    tavi_call_free(calls[2]);
    for (int i = 0; i < kCompletionWaitSteps && freed.runs.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(invalid.status, TAVI_INVALID_ARGUMENT);
    EXPECT_NE(invalid.thread, std::this_thread::get_id());
    EXPECT_EQ(badOptions.status, TAVI_INVALID_ARGUMENT);
    EXPECT_EQ(freed.status, TAVI_OK) << "error code " << freed.errorCode;
    EXPECT_EQ(invalid.runs.load() + badOptions.runs.load() + freed.runs.load(), 3);
    EXPECT_EQ(server_->requests().size(), before + 1);
}

// The store's protection through the C interface: a registered SQLite store is sealed (no
// session value in its raw bytes), its status is one JSON line, rekey keeps the session and
// reset starts over.
TEST_F(CApiFlow, SealedStoreStatusRekeyAndReset) {
    char dirTemplate[] = "/tmp/tavi-capi-store-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string path = dir + "/store.db";
    ASSERT_EQ(tavi_config_set("storeProtection", "file"), TAVI_OK);
    EXPECT_EQ(text(tavi_config_get("storeProtection")), "file");
    tavi_result* error = nullptr;
    tavi_store* store = tavi_store_open_sqlite(path.c_str(), &error);
    ASSERT_NE(store, nullptr);
    tavi_store_install(store);
    tavi_store_free(store);
    registerDevice();
    auto json = [](tavi_status (*call)(char**), tavi_status want) {
        char* out = nullptr;
        EXPECT_EQ(call(&out), want);
        return text(out);
    };
    const std::string status = json(tavi_store_status, TAVI_OK);
    EXPECT_NE(status.find("\"backend\":\"file\""), std::string::npos) << status;
    EXPECT_NE(status.find("\"strength\":\"weak\""), std::string::npos) << status;
    EXPECT_NE(status.find("\"formatVersion\":2"), std::string::npos) << status;
    std::string raw;
    for (const char* suffix : {"", "-wal"}) {
        std::ifstream in(path + suffix, std::ios::binary);
        raw += std::string(std::istreambuf_iterator<char>(in), {});
    }
    EXPECT_EQ(raw.find("+15550100"), std::string::npos);
    char* taviId = tavi_preference_get("taviId");
    ASSERT_NE(taviId, nullptr);
    const std::string id = text(taviId);
    EXPECT_EQ(raw.find(id), std::string::npos);
    json(tavi_store_rekey, TAVI_OK);
    EXPECT_EQ(text(tavi_preference_get("taviId")), id);
    const std::string reset = json(tavi_store_reset, TAVI_OK);
    EXPECT_NE(reset.find("\"itemCount\":0"), std::string::npos) << reset;
    EXPECT_EQ(tavi_preference_get("taviId"), nullptr);
    EXPECT_EQ(tavi_store_status(nullptr), TAVI_INVALID_ARGUMENT);
    tavi_config_set("storeProtection", "auto");
    tavi_store* memory = tavi_store_new_memory();
    tavi_store_install(memory);
    tavi_store_free(memory);
    const std::string host = json(tavi_store_status, TAVI_FAILED);
    EXPECT_NE(host.find("\"error\""), std::string::npos) << host;
    // A client's own store, its protection named: its status, not the installed store's.
    tavi_store* own = tavi_store_open_sqlite_protected((dir + "/own.db").c_str(), "file", &error);
    ASSERT_NE(own, nullptr);
    tavi_client* client = tavi_client_new(own);
    tavi_store_free(own);
    char* out = nullptr;
    EXPECT_EQ(tavi_client_store_status(client, &out), TAVI_OK);
    EXPECT_NE(text(out).find("\"backend\":\"file\""), std::string::npos);
    EXPECT_EQ(tavi_client_store_rekey(client, &out), TAVI_OK);
    EXPECT_NE(text(out).find("\"chosen\":\"asked for\""), std::string::npos);
    tavi_client_free(client);
    EXPECT_EQ(tavi_store_open_sqlite_protected((dir + "/x.db").c_str(), "bogus", &error), nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_NE(std::string(error->error->message).find("bogus"), std::string::npos);
    tavi_result_free(error);
    std::filesystem::remove_all(dir);
}
