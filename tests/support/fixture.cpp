#include "support/fixture.hpp"

#include <ctime>

namespace tavi::test {

DiagnosticsSink LineCapture::sink() {
    return [this](std::string_view line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(line);
    };
}

std::vector<std::string> LineCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::string LineCapture::joined() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string out;
    for (const auto& l : lines_) out += l + "\n";
    return out;
}

void LineCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

void SandboxTest::SetUp() {
    sandbox::Options options;
    options.tls = useTls();
    options.fixedTransactionKeys = fixedTransactionKeys();
    server_ = std::make_unique<sandbox::Server>(options);
    ASSERT_TRUE(server_->start()) << server_->lastError();
    store_ = makeMemorySecureStore();
    KeychainManager::setStore(store_);
    auto& config = AppConstantTAVI::shared();
    config.serverURL = server_->url();
    config.caFile = useTls() ? server_->caFile() : "";
    config.pinnedPublicKey.clear();
    config.timeoutMilliseconds = kCallTimeoutMs;
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG1";
    config.diagnosticsSink = capture_.sink();
}

void SandboxTest::TearDown() {
    auto& config = AppConstantTAVI::shared();
    config.diagnosticsSink = nullptr;
    config.serverURL = kProductionServerURL;
    config.caFile.clear();
    config.timeoutMilliseconds = 60000;
    if (server_) server_->stop();
}

bool SandboxTest::registerDevice(const std::string& mobile) {
    bool done = false;
    DeviceRegistrationController().startDeviceRegistration(
        true, server_->serverPublicKey(), mobile, "REG-TXN-1", "com.example.wallet",
        [&](const std::string& result) { done = (result == "done"); },
        [&](const Error& e) { ADD_FAILURE() << "registration failed: " << e.description(); });
    if (!done) return false;
    KeychainManager::deletePreference(SessionManager::IS_REGISTERED);
    KeychainManager::savePreference("true", SessionManager::IS_REGISTERED);
    return true;
}

bool SandboxTest::retrieveTransactionKeys(const std::string& txnId, const std::string& msgId,
                                          const std::string& bic,
                                          const std::string& instrumentType) {
    bool got = false;
    TaviApiService::shared().createRetrieveKeysRequest(
        msgId, "FINANCIAL_TXN", txnId, bic, instrumentType,
        [&](const std::string& ki, const std::string& pub, const std::string& session,
            const std::string&, const std::string&) {
            bankKi_ = ki;
            publicKey_ = pub;
            sessionKey_ = session;
            got = true;
        },
        [](const Error& e) { ADD_FAILURE() << "key retrieval failed: " << e.description(); });
    return got;
}

std::string futureYear() {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    return std::to_string(tm.tm_year + 1900 + 4);
}

std::vector<sandbox::RecordedRequest> SandboxTest::requestsTo(const std::string& path) const {
    std::vector<sandbox::RecordedRequest> out;
    for (auto& r : server_->requests())
        if (r.path == path) out.push_back(r);
    return out;
}

}  // namespace tavi::test
