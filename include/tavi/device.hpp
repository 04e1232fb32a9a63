// tavi — device identity, client headers and small utilities.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "tavi/export.hpp"

namespace tavi {

/// What the library reads about the device. The default provider reads the DMI product name
/// (fallback: uname machine), /etc/os-release (fallback: uname) and derives a vendor-scoped
/// identifier from /etc/machine-id. A host may install its own.
class TAVI_EXPORT DeviceDescription {
public:
    virtual ~DeviceDescription() = default;
    virtual std::string model() const = 0;
    virtual std::string systemName() const = 0;
    virtual std::string systemVersion() const = 0;
    /// Upper-case UUID text (8-4-4-4-12), or none when the platform has none.
    virtual std::optional<std::string> identifierForVendor() const = 0;
};

/// The provider the library uses (the default one until a host installs its own).
TAVI_EXPORT std::shared_ptr<const DeviceDescription> deviceDescription();
/// Install a provider; nullptr restores the default.
TAVI_EXPORT void setDeviceDescription(std::shared_ptr<const DeviceDescription> provider);
/// The default provider, reading this machine.
TAVI_EXPORT std::shared_ptr<const DeviceDescription> systemDeviceDescription();

/// Stateless utilities.
class TAVI_EXPORT TaviUtils {
public:
    /// The vendor-scoped device identifier; writes "line1", the identifier or "empty", "line2".
    static std::optional<std::string> getDeviceIdentifier();
    /// "deviceModel :: M , systemName :: N , systemVersion :: V SDK VERSION 1.1"; writes two lines.
    std::string getUserAgent() const;
    /// Milliseconds since 1970-01-01 UTC, the fraction truncated toward zero.
    static std::int64_t getCurrentTimeInMillis();
    /// Seconds since the epoch to milliseconds, truncating toward zero (1.0005 s gives 1000).
    static std::int64_t millisFromSeconds(double seconds);

    /// Whether this device, with this mobile number, counts as registered: false at once when the
    /// stored registration is incomplete, otherwise the server's verdict. `completion` runs once,
    /// on the calling thread, before this returns.
    static void getCheckDeviceRegistered(const std::string& mobile,
                                         const std::function<void(bool)>& completion);

    /// A double in [0, 1) from 53 bits of the secure random source.
    double generateRandomNumber() const;
    /// Standard base64 (strict) of UTF-8 text, decoded to that text; none if either step fails.
    std::optional<std::string> decodePublicKey(const std::string& pubKey) const;
};

/// An empty public class kept for the host's use.
class FontScheme {
public:
    FontScheme() = default;
};

}  // namespace tavi
