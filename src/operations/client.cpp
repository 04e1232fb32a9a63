// The client over a connection: the library's own connection runs each operation on the shared
// engine inside its client's context (configuration snapshot, store, trust settings).
#include "tavi/client.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "net/call.hpp"
#include "operations/operations.hpp"
#include "store/journal.hpp"

namespace tavi {

Connection::~Connection() = default;

namespace {

/// The library's connection. A null context is the default client: AppConstantTAVI::shared()
/// and the installed store, read at each call.
class EngineConnection final : public Connection {
  public:
    explicit EngineConnection(std::shared_ptr<const detail::ClientContext> context)
        : context_(std::move(context)) {}

#define TAVI_START(R)                                                                        \
    CallHandle start(R r, Completion<R::Result> c, const CallOptions& o) override {          \
        return run(std::move(r), std::move(c), o);                                           \
    }
    TAVI_REQUEST_TYPES(TAVI_START)
#undef TAVI_START

  private:
    template <class R>
    CallHandle run(R request, Completion<typename R::Result> completion,
                   const CallOptions& options) {
        const detail::StartingClientScope scope(context_);
        return detail::startCall(detail::run(std::move(request)), options, std::move(completion));
    }

    std::shared_ptr<const detail::ClientContext> context_;

  public:
    const std::shared_ptr<const detail::ClientContext>& context() const { return context_; }
};

/// The client context of `connection` (null: the default client, or a host's connection, whose
/// journal is the installed store's).
std::shared_ptr<const detail::ClientContext> contextOf(const std::shared_ptr<Connection>& c) {
    if (const auto* engine = dynamic_cast<const EngineConnection*>(c.get())) {
        return engine->context();
    }
    return nullptr;
}

}  // namespace

Client::Client() {
    static const std::shared_ptr<Connection> defaultConnection =
        std::make_shared<EngineConnection>(nullptr);
    connection_ = defaultConnection;
}

Client Client::connect(ClientSettings settings) {
    auto context = std::make_shared<detail::ClientContext>();
    context->configuration = std::move(settings.configuration);
    context->store = std::move(settings.store);
    return Client(std::make_shared<EngineConnection>(std::move(context)));
}

Result<std::vector<PendingOutcome>> Client::pendingOutcomes() const {
    const detail::ClientStoreScope scope(contextOf(connection_));
    return detail::pendingRecords();
}

Result<bool> Client::settleOutcome(const std::string& msgId) const {
    const detail::ClientStoreScope scope(contextOf(connection_));
    return detail::settleRecord(msgId);
}

Result<OtpStatus> Client::settleOtpOutcome(const std::string& msgId,
                                           const CallOptions& options) const {
    auto records = pendingOutcomes();
    if (!records) return records.error();
    const auto& list = records.value();
    const auto it = std::find_if(list.begin(), list.end(), [&](const PendingOutcome& r) {
        return r.msgId == msgId && r.operation == "validateOtp";
    });
    if (it == list.end()) {
        return detail::clientError(ClientErrorCode::invalidArgument,
                                   "no OTP validation is in the journal under this msgId");
    }
    auto status = call(CheckOtpStatusRequest{it->txnId}, options);
    if (!status) return status;
    if (auto settled = settleOutcome(msgId); !settled) return settled.error();
    return status;
}

std::int32_t Client::savePreference(const std::string& data, const std::string& forKey) const {
    const detail::ClientStoreScope scope(contextOf(connection_));
    return KeychainManager::savePreference(data, forKey);
}

std::optional<std::string> Client::getPreference(const std::string& forKey) const {
    const detail::ClientStoreScope scope(contextOf(connection_));
    return KeychainManager::getPreference(forKey);
}

std::int32_t Client::deletePreference(const std::string& forKey) const {
    const detail::ClientStoreScope scope(contextOf(connection_));
    return KeychainManager::deletePreference(forKey);
}

struct ClientWait::Impl {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
};

ClientWait::ClientWait() : impl_(std::make_unique<Impl>()) {}
ClientWait::~ClientWait() = default;

void ClientWait::signal() {
    {
        const std::lock_guard lock(impl_->mutex);
        impl_->done = true;
    }
    impl_->changed.notify_all();
}

void ClientWait::wait() {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait(lock, [this] { return impl_->done; });
}

}  // namespace tavi
