// Shared fixture of the integration tests: a sandbox server on loopback, an in-memory store and
// the library's diagnostic lines captured.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sandbox.hpp"
#include "tavi/tavi.hpp"

namespace tavi::test {

/// A call's timeout in the integration tests. Under qemu-user the sandbox's and the library's RSA
/// and TLS run tens of times slower; a loaded machine took more than 10 s for one registration
/// there.
#ifdef TAVI_TEST_EMULATOR
inline constexpr long kCallTimeoutMs = 120000;
#else
inline constexpr long kCallTimeoutMs = 10000;
#endif

/// Collects the diagnostic lines the library writes.
class LineCapture {
  public:
    DiagnosticsSink sink();
    std::vector<std::string> lines() const;
    std::string joined() const;  ///< every line, each followed by '\n'
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class SandboxTest : public ::testing::Test {
  protected:
    /// Override to start the server with TLS.
    virtual bool useTls() const { return false; }
    /// Override to have key retrieval answer with the same keys every time (no key generation).
    virtual bool fixedTransactionKeys() const { return false; }

    void SetUp() override;
    void TearDown() override;

    /// Registers the device against the sandbox (registration + IS_REGISTERED = "true").
    /// Returns false (with a test failure) if registration fails.
    bool registerDevice(const std::string& mobile = "+15550100");

    /// Retrieves a transaction's keys into bankKi_, publicKey_ and sessionKey_. Returns false
    /// (with a test failure) if retrieval fails.
    bool retrieveTransactionKeys(const std::string& txnId, const std::string& msgId,
                                 const std::string& bic, const std::string& instrumentType);

    sandbox::Server& server() { return *server_; }
    LineCapture& capture() { return capture_; }
    std::vector<sandbox::RecordedRequest> requestsTo(const std::string& path) const;

    std::unique_ptr<sandbox::Server> server_;
    LineCapture capture_;
    std::shared_ptr<SecureStore> store_;
    std::string bankKi_, publicKey_, sessionKey_;  ///< from retrieveTransactionKeys
};

/// A four-digit card expiry year a few years ahead, which the sandbox accepts.
std::string futureYear();

/// A fault that holds the answers to `path` back by `ms` (the next `times` of them; -1: all).
inline sandbox::Fault delay(const char* path, int ms, int times = -1) {
    sandbox::Fault fault;
    fault.path = path;
    fault.kind = sandbox::Fault::Kind::delay;
    fault.delayMs = ms;
    fault.times = times;
    return fault;
}

}  // namespace tavi::test
