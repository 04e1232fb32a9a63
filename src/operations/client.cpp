// The client over a connection: the library's own connection runs each operation on the shared
// engine inside its client's context (configuration snapshot, store, trust settings).
#include "tavi/client.hpp"

#include <condition_variable>
#include <mutex>
#include <utility>

#include "net/call.hpp"
#include "operations/operations.hpp"

namespace tavi {

Connection::~Connection() = default;

namespace {

/// The library's connection. A null context is the default client: AppConstantTAVI::shared()
/// and the installed store, read at each call.
class EngineConnection final : public Connection {
  public:
    explicit EngineConnection(std::shared_ptr<const detail::ClientContext> context)
        : context_(std::move(context)) {}

    CallHandle start(CheckRegistrationRequest r, Completion<RegistrationStatus> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(RegisterDeviceRequest r, Completion<Accepted> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(RetrieveKeysRequest r, Completion<TransactionKeys> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(SubmitCredentialRequest r, Completion<Accepted> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(FetchOtpChallengeRequest r, Completion<OtpChallenge> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(CheckOtpStatusRequest r, Completion<OtpStatus> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(ValidateOtpRequest r, Completion<Accepted> c, const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(ValidateCardNumberRequest r, Completion<ValidateCardNumResponse> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(RegisterCardRequest r, Completion<CardRegistration> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }
    CallHandle start(SecureWebUrlRequest r, Completion<std::string> c,
                     const CallOptions& o) override {
        return run(std::move(r), std::move(c), o);
    }

  private:
    template <class R>
    CallHandle run(R request, Completion<typename R::Result> completion,
                   const CallOptions& options) {
        const detail::StartingClientScope scope(context_);
        return detail::startCall(detail::run(std::move(request)), options, std::move(completion));
    }

    std::shared_ptr<const detail::ClientContext> context_;
};

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
