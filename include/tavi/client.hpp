// tavi — a client of one payment server: its own configuration, store and trust settings, over a
// connection a host can replace (to mock it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tavi/call.hpp"
#include "tavi/config.hpp"
#include "tavi/export.hpp"
#include "tavi/journal.hpp"
#include "tavi/requests.hpp"
#include "tavi/store.hpp"

namespace tavi {

/// The way to the server: one method per operation. Each starts its call and returns at once;
/// the completion receives the result exactly once (see CallHandle). A host subclasses it to
/// mock the server; Client::connect makes the library's own.
class TAVI_EXPORT Connection {
  public:
    virtual ~Connection();

    virtual CallHandle start(CheckRegistrationRequest request,
                             Completion<RegistrationStatus> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(RegisterDeviceRequest request, Completion<Accepted> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(RetrieveKeysRequest request, Completion<TransactionKeys> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(SubmitCredentialRequest request, Completion<Accepted> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(FetchOtpChallengeRequest request, Completion<OtpChallenge> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(CheckOtpStatusRequest request, Completion<OtpStatus> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(ValidateOtpRequest request, Completion<Accepted> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(ValidateCardNumberRequest request,
                             Completion<ValidateCardNumResponse> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(RegisterCardRequest request, Completion<CardRegistration> completion,
                             const CallOptions& options) = 0;
    virtual CallHandle start(SecureWebUrlRequest request, Completion<std::string> completion,
                             const CallOptions& options) = 0;
};

/// What a client of its own is made of. The configuration is copied when the client is made (a
/// snapshot: later changes to AppConstantTAVI::shared() do not reach it); its serverURL, caFile,
/// pinnedPublicKey, timeouts, proxy and diagnostics sink apply to this client's calls only.
struct TAVI_EXPORT ClientSettings {
    AppConstantTAVI configuration;
    /// The client's store (its session, keys and preferences). Null: the store installed with
    /// KeychainManager::setStore (or the default one) at the time of each call.
    std::shared_ptr<SecureStore> store;
};

/// A client: a cheap value (copies share the connection). Every call checks its request (every
/// field valid UTF-8 text, naming the first one that is not) before anything is sent.
class TAVI_EXPORT Client {
  public:
    /// The default client: AppConstantTAVI::shared() and the installed store, as the callback
    /// operations use them.
    Client();
    explicit Client(std::shared_ptr<Connection> connection)
        : connection_(std::move(connection)) {}

    /// The library's connection for `settings`. The engine (its connections, TLS sessions kept
    /// per trust setting, its thread) is shared by every client of the process.
    static Client connect(ClientSettings settings);

    /// Blocks until the call has ended and returns its result (start, then wait).
    template <class R>
    Result<typename R::Result> call(R request, const CallOptions& options = {}) const;

    /// Starts the call; see CallHandle.
    template <class R>
    CallHandle start(R request, Completion<typename R::Result> completion,
                     const CallOptions& options = {}) const {
        return connection_->start(std::move(request), std::move(completion), options);
    }

    const std::shared_ptr<Connection>& connection() const { return connection_; }

    // ---- The journal of outcomes unknown (see PendingOutcome), in this client's store --------

    /// Every state-changing request whose answer was never handled (after a crash, or an error
    /// with RequestDelivery::mayHaveBeenReceived). A host store the library cannot list is a
    /// notAvailable store error.
    Result<std::vector<PendingOutcome>> pendingOutcomes() const;
    /// Forgets the record of `msgId` once the host knows what became of it: true when there was
    /// one, false when there was none.
    Result<bool> settleOutcome(const std::string& msgId) const;
    /// For an OTP validation's record: polls its transaction's OTP status and, when the poll
    /// answers, removes the record and returns the status. invalidArgument when no OTP
    /// validation is recorded under `msgId`; a poll that fails leaves the record.
    Result<OtpStatus> settleOtpOutcome(const std::string& msgId,
                                       const CallOptions& options = {}) const;

    // ---- Text values in this client's store (as KeychainManager's in the installed one) -------

    /// After a registration succeeds, the host marks the device registered in the store the
    /// registration wrote: savePreference("true", SessionManager::IS_REGISTERED).
    std::int32_t savePreference(const std::string& data, const std::string& forKey) const;
    std::optional<std::string> getPreference(const std::string& forKey) const;
    std::int32_t deletePreference(const std::string& forKey) const;

  private:
    std::shared_ptr<Connection> connection_;
};

/// One-shot rendezvous the blocking form uses: the completion stores, call() waits.
struct TAVI_EXPORT ClientWait {
    ClientWait();
    ~ClientWait();
    ClientWait(const ClientWait&) = delete;
    ClientWait& operator=(const ClientWait&) = delete;
    void signal();
    void wait();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

template <class R>
Result<typename R::Result> Client::call(R request, const CallOptions& options) const {
    using T = typename R::Result;
    struct Shared {
        ClientWait done;
        std::optional<Result<T>> result;
    };
    auto shared = std::make_shared<Shared>();
    CallOptions blocking = options;
    // The completion only hands the result over, so it runs wherever the call ends: a blocking
    // call waits on no executor and on no completion thread (it may be made from a completion).
    blocking.executor = [](std::function<void()> run) { run(); };
    start(std::move(request),
          [shared](Result<T> result) {
              shared->result.emplace(std::move(result));
              shared->done.signal();
          },
          blocking);
    shared->done.wait();
    return std::move(*shared->result);
}

}  // namespace tavi
