// Small internal services shared by the library's subsystems.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <initializer_list>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>
#include <string_view>

#include "tavi/config.hpp"
#include "tavi/correlation.hpp"
#include "tavi/result.hpp"

namespace tavi {
class SecureStore;
}  // namespace tavi

namespace tavi::detail {

/// Writes one diagnostic line through the configured sink (standard error by default), at
/// `level` for a sink that takes levels.
void diag(std::string_view line, DiagnosticLevel level = DiagnosticLevel::debug);
/// Whether diagnostic lines reach anyone: lines that cost something to build are built only then.
bool diagnosticsOn();
/// Writes one message to the system log.
void systemLog(std::string_view message);
/// A card-like number with all but its last four characters replaced by '*'.
std::string maskAllButLastFour(std::string_view value);

/// A new random UUID in its standard upper-case text form (8-4-4-4-12).
std::string newUUID();

/// Standard base64 with padding, no line breaks.
std::string base64Encode(const Bytes& data);
std::string base64Encode(std::span<const std::uint8_t> data);
std::string base64Encode(std::string_view data);
/// Strict standard base64: any character outside the alphabet, or a length that is not a multiple
/// of 4, fails. Padding must be correct.
std::optional<Bytes> base64DecodeStrict(std::string_view text);
/// Lenient: characters outside the base64 alphabet are ignored; decodes what remains.
std::optional<Bytes> base64DecodeLenient(std::string_view text);

/// Whether the bytes are valid UTF-8.
bool isValidUTF8(std::string_view text);
/// Length of the valid UTF-8 character starting at byte `i`, or 0 when none starts there.
std::size_t utf8SequenceAt(std::string_view text, std::size_t i);
/// `text` with every control character written as an escape, so that it stays one line and
/// carries no terminal sequence: \n, \r, \t, \u00XX for the other C0 controls, DEL and the C1
/// controls (U+0080..U+009F), \xNN for a byte that is not part of a UTF-8 character. Everything
/// else is unchanged.
std::string escapeControlCharacters(std::string_view text);

/// An Error in the TaviClientError domain.
Error clientError(long code, std::string message);

/// What a client of its own (tavi::Client::connect) brings to each of its calls: a snapshot of
/// the configuration, and its store (null: the installed store).
struct ClientContext {
    AppConstantTAVI configuration;
    std::shared_ptr<SecureStore> store;
};

struct TracedCall;  // core/trace.cpp

/// What one call carries through its steps: its deadline, where its diagnostic lines go, the
/// client it belongs to (null: the default client) and, for a call on the engine, the state its
/// handle shares (cancellation, delivery).
struct CallContext {
    std::shared_ptr<const ClientContext> client;
    std::chrono::steady_clock::time_point deadline;
    long totalMilliseconds = 0;
    std::function<void(std::string_view)> sink;  ///< none: the configured sink
    void* engineCall = nullptr;                   ///< the handle's state; null on the caller's thread
    /// Set when a duration of the configuration or of the call's options is longer than
    /// kLongestDurationMilliseconds: the call fails with it before anything is sent.
    std::optional<Error> unusable;
    /// What the call's outcome will carry (see noteOperation, noteMsgId, noteExchange).
    Correlation correlation;
    std::chrono::steady_clock::time_point started;
    /// The host's copy of the correlation (CallOptions::correlation), written when the call ends.
    Correlation* report = nullptr;
    /// Whether a request that may have been received may be sent again automatically (a
    /// read-only operation whose repetition the server expects); see noteOperation.
    bool resendAfterReceipt = false;
    /// The msgIds this call put in the journal of outcomes unknown, and what runs when the call
    /// ends (removing the records whose answers were handled).
    std::vector<std::string> journalled;
    std::vector<std::function<void()>> atClose;
    /// Operation scopes opened inside this call's own (an operation run by another): its
    /// outcome is closed for every one of them, but the call ends with the outermost.
    int nesting = 0;
    /// What the trace hook has been told of the call; null while no hook hears it.
    std::shared_ptr<TracedCall> traced;
};

/// How an operation may be repeated when its request did not get an answer.
enum class Resend {
    neverAfterSending,  ///< only a request that never left is sent again
    alsoAfterSending    ///< also one that may have been received (read-only operations)
};

/// Names the current call's operation and transaction (the first operation of a call names it:
/// an operation run inside another keeps the outer one's name).
void noteOperation(const char* name, std::string_view txnId, Resend resend);
/// The msgId of the request the current call is about to send.
void noteMsgId(std::string_view msgId);
/// One exchange ended: it was tried (a connection was attempted), its request went out (`sent`),
/// and what came back: the answer's HTTP status (0: none), the request's delivery.
void noteExchange(bool tried, bool sent, long httpStatus, RequestDelivery delivery);
/// Ends the current call's correlation (its elapsed time), hands it to the host's copy, and puts
/// it on `error` when the error has none yet.
void closeCorrelation(CallContext& call, Error* error);

/// Tells the trace hook, when there is one, that the current call's next HTTP attempt starts
/// (`method` on `endPoint` under the configured server URL) or ended with `outcome`.
void traceExchangeStart(const std::string& endPoint, const std::string& method);
void traceExchangeEnd(long httpStatus, const Error* error);

/// a + b and a * b, held at the largest (smallest) long long instead of overflowing.
long long saturatingAdd(long long a, long long b);
long long saturatingMultiply(long long a, long long b);

/// The call whose steps run on this thread right now; null outside every call.
CallContext* currentCall();

/// The client of the current call, or of the call being started on this thread; null for the
/// default client.
const std::shared_ptr<const ClientContext>& currentClient();
/// The configuration the current call uses: its client's snapshot, else AppConstantTAVI::shared().
const AppConstantTAVI& configuration();

/// Makes `client` the client of the calls started on this thread for a scope.
class StartingClientScope {
  public:
    explicit StartingClientScope(std::shared_ptr<const ClientContext> client);
    ~StartingClientScope();
    StartingClientScope(const StartingClientScope&) = delete;
    StartingClientScope& operator=(const StartingClientScope&) = delete;

  private:
    std::shared_ptr<const ClientContext> previous_;
};

/// Makes `call` the current call of this thread for a scope.
class CurrentCallScope {
  public:
    explicit CurrentCallScope(CallContext* call);
    ~CurrentCallScope();
    CurrentCallScope(const CurrentCallScope&) = delete;
    CurrentCallScope& operator=(const CurrentCallScope&) = delete;

  private:
    CallContext* previous_;
};

/// Makes `client`'s store (null: the installed store) the one the store's functions use for a
/// scope, also inside another client's call running on this thread (from its diagnostics sink
/// or its store, say).
struct ClientStoreScope {
    explicit ClientStoreScope(std::shared_ptr<const ClientContext> client)
        : outside(nullptr), scope(std::move(client)) {}
    const CurrentCallScope outside;
    const StartingClientScope scope;
};

/// A call's context from the configuration: the deadline is
/// AppConstantTAVI::operationDeadlineMilliseconds, or twice timeoutMilliseconds when that is 0;
/// `deadlineMilliseconds` (when given) replaces it.
CallContext newCallContext(std::optional<long long> deadlineMilliseconds = std::nullopt,
                           std::function<void(std::string_view)> sink = {});

/// The deadline of one public operation on the calling thread. Every public entry point opens
/// one; a scope opened inside another (an operation calling another) keeps the outer deadline.
/// Each exchange while a scope is open gets the smaller of its own timeout and what remains, and
/// none is sent once nothing remains.
class OperationScope {
  public:
    OperationScope();
    /// With a call's own deadline and sink (the blocking value forms' CallOptions).
    OperationScope(std::optional<long long> deadlineMilliseconds,
                   std::function<void(std::string_view)> sink, Correlation* report = nullptr);
    ~OperationScope();
    OperationScope(const OperationScope&) = delete;
    OperationScope& operator=(const OperationScope&) = delete;

    /// Milliseconds left to the current call (0 or less: none); none outside every call.
    static std::optional<long long> remainingMilliseconds();
    /// The current call's whole deadline in milliseconds (0 outside every call).
    static long totalMilliseconds();

  private:
    CallContext own_;
    bool outermost_;
    CallContext* previous_ = nullptr;
};

/// One text that goes into a request, with the name it is reported under.
struct RequestText {
    const char* name;
    std::string_view value;
    bool present = true;  ///< false: an absent optional value, not checked
};

/// The first text that is not valid UTF-8, as an invalidArgument error naming it (never showing
/// it): such text cannot be encoded into a request. `kind` says what the texts are ("argument",
/// "configuration value", "stored value").
std::optional<Error> nonUTF8Text(std::initializer_list<RequestText> texts,
                                 const char* kind = "argument");

}  // namespace tavi::detail
