// Device identity: the default description of this machine, the installed provider, and the
// utilities that turn it into the device identifier and the user-agent text.
#include "tavi/device.hpp"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/utsname.h>

#include <array>
#include <cfloat>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <string_view>

#include "core/internal.hpp"
#include "tavi/version.hpp"

namespace tavi {

namespace {

// The SDK version the server reads from the user agent: a fixed text it relies on, not derived
// from the build. When the project's MAJOR.MINOR moves on, this stops compiling so that someone
// decides whether the server may see a new number.
// Decided for 1.2: it keeps the text "1.1". 1.2 adds only local interfaces (calls that return at
// once, cancellation); the requests are the same, and the server has not been told of a 1.2.
constexpr std::string_view kUserAgentSdkVersion = "1.1";
constexpr std::string_view kUserAgentSdkVersionDecidedFor = "1.2";
#define TAVI_DEVICE_STR2(x) #x
#define TAVI_DEVICE_STR(x) TAVI_DEVICE_STR2(x)
static_assert(kUserAgentSdkVersionDecidedFor ==
                  TAVI_DEVICE_STR(TAVI_VERSION_MAJOR) "." TAVI_DEVICE_STR(TAVI_VERSION_MINOR),
              "the project's MAJOR.MINOR moved on: decide whether the user agent's SDK version "
              "(kUserAgentSdkVersion) changes, then record the decision here");
#undef TAVI_DEVICE_STR
#undef TAVI_DEVICE_STR2

// The vendor namespace the identifier is derived under: every application of this vendor on one
// machine sees the same identifier, other vendors see unrelated ones, and the machine id itself
// never leaves the host.
constexpr std::string_view kVendorNamespace = "tavi.vendor-id.6f1c2a9e-4b7d-4e38-9a51-0d3c8e27b4f6";

std::string trim(std::string_view text) {
    const auto* ws = " \t\r\n";
    const auto first = text.find_first_not_of(ws);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(ws);
    return std::string(text.substr(first, last - first + 1));
}

std::optional<std::string> readFirstLine(const char* path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    auto value = trim(line);
    if (value.empty()) return std::nullopt;
    return value;
}

// The value of KEY in an os-release file, with one level of shell quoting removed.
std::optional<std::string> osReleaseValue(const std::string& key) {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream in(path);
        if (!in) continue;
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(key + "=", 0) != 0) continue;
            auto value = trim(std::string_view(line).substr(key.size() + 1));
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front()) {
                value = value.substr(1, value.size() - 2);
            }
            if (value.empty()) return std::nullopt;
            return value;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

struct UnameTexts {
    std::string sysname;
    std::string release;
    std::string machine;
};

UnameTexts unameTexts() {
    struct utsname u {};
    if (::uname(&u) != 0) return {"Linux", "", ""};
    return {u.sysname, u.release, u.machine};
}

std::string uuidText(const unsigned char* bytes) {
    std::array<unsigned char, 16> b{};
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = bytes[i];
    // Shape the derived bytes as a random-form UUID (version 4, RFC 4122 variant).
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kHex[b[i] >> 4];
        out += kHex[b[i] & 0x0F];
    }
    return out;
}

std::optional<std::string> vendorIdentifier() {
    auto machineId = readFirstLine("/etc/machine-id");
    if (!machineId) return std::nullopt;
    std::array<unsigned char, EVP_MAX_MD_SIZE> mac{};
    unsigned int macLength = 0;
    if (HMAC(EVP_sha256(), kVendorNamespace.data(), static_cast<int>(kVendorNamespace.size()),
             reinterpret_cast<const unsigned char*>(machineId->data()), machineId->size(),
             mac.data(), &macLength) == nullptr ||
        macLength < 16) {
        return std::nullopt;
    }
    return uuidText(mac.data());
}

/// What this machine says about itself. Read once: none of it changes while a process runs, and
/// every request's user agent is made from it.
struct MachineFacts {
    std::string model;
    std::string systemName;
    std::string systemVersion;

    static const MachineFacts& get() {
        static const MachineFacts facts = read();
        return facts;
    }

  private:
    static MachineFacts read() {
        const UnameTexts u = unameTexts();
        MachineFacts f;
        f.model = readFirstLine("/sys/class/dmi/id/product_name").value_or(u.machine);
        f.systemName = osReleaseValue("NAME").value_or(u.sysname);
        f.systemVersion = osReleaseValue("VERSION_ID").value_or(u.release);
        return f;
    }
};

class SystemDeviceDescription final : public DeviceDescription {
  public:
    std::string model() const override { return MachineFacts::get().model; }
    std::string systemName() const override { return MachineFacts::get().systemName; }
    std::string systemVersion() const override { return MachineFacts::get().systemVersion; }
    std::optional<std::string> identifierForVendor() const override {
        // Made when first asked for, not with the rest: requests do not carry it, and its keyed
        // hash is the only cryptography a cleartext exchange would otherwise set up.
        static const std::optional<std::string> id = vendorIdentifier();
        return id;
    }
};

std::mutex& providerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<const DeviceDescription>& installedProvider() {
    static std::shared_ptr<const DeviceDescription> provider;
    return provider;
}

}  // namespace

std::shared_ptr<const DeviceDescription> systemDeviceDescription() {
    static const std::shared_ptr<const DeviceDescription> instance =
        std::make_shared<const SystemDeviceDescription>();
    return instance;
}

std::shared_ptr<const DeviceDescription> deviceDescription() {
    {
        std::lock_guard<std::mutex> lock(providerMutex());
        if (installedProvider()) return installedProvider();
    }
    return systemDeviceDescription();
}

void setDeviceDescription(std::shared_ptr<const DeviceDescription> provider) {
    std::lock_guard<std::mutex> lock(providerMutex());
    installedProvider() = std::move(provider);
}

std::optional<std::string> TaviUtils::getDeviceIdentifier() {
    detail::diag("line1");
    detail::diag(deviceDescription()->identifierForVendor().value_or("empty"));
    detail::diag("line2");
    return deviceDescription()->identifierForVendor();
}

std::string TaviUtils::getUserAgent() const {
    const auto device = deviceDescription();
    const std::string model = device->model();
    const std::string name = device->systemName();
    const std::string version = device->systemVersion();
    if (detail::diagnosticsOn()) {
        detail::diag(model + " " + name + " " + version);
        detail::diag("GetUserGentFunction");
    }
    std::string agent;
    agent.reserve(64 + model.size() + name.size() + version.size());
    agent += "deviceModel :: ";
    agent += model;
    agent += " , systemName :: ";
    agent += name;
    agent += " , systemVersion :: ";
    agent += version;
    agent += " SDK VERSION ";
    agent += kUserAgentSdkVersion;
    return agent;
}

std::int64_t TaviUtils::getCurrentTimeInMillis() {
    using namespace std::chrono;
    // duration_cast truncates toward zero, as the conversion of the platform's seconds does.
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t TaviUtils::millisFromSeconds(double seconds) {
    if (std::isnan(seconds)) return 0;
    const double millis = seconds * 1000.0;
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (millis >= 9.2233720368547758e18) return kMax;
    if (millis <= -9.2233720368547758e18) return kMin;
    // A whole millisecond such as 1.001 s has no exact binary form and may land a hair below the
    // integer after scaling; treat anything within a few units of the last place as that integer.
    // Genuine fractions (1.0005 s is 1000.5 ms) are far outside this band and are truncated.
    const double nearest = std::round(millis);
    if (std::fabs(millis - nearest) <= std::fabs(millis) * 4 * DBL_EPSILON) {
        return static_cast<std::int64_t>(nearest);
    }
    return static_cast<std::int64_t>(std::trunc(millis));
}

}  // namespace tavi
