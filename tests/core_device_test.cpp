#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tavi/config.hpp"
#include "tavi/device.hpp"

namespace tavi {
namespace {

class FakeDevice final : public DeviceDescription {
  public:
    explicit FakeDevice(std::optional<std::string> id) : id_(std::move(id)) {}
    std::string model() const override { return "iPhone"; }
    std::string systemName() const override { return "iOS"; }
    std::string systemVersion() const override { return "17.2"; }
    std::optional<std::string> identifierForVendor() const override { return id_; }

  private:
    std::optional<std::string> id_;
};

class DeviceIdentity : public ::testing::Test {
  protected:
    void SetUp() override {
        AppConstantTAVI::shared().diagnosticsSink = [this](std::string_view line) {
            lines_.emplace_back(line);
        };
    }
    void TearDown() override {
        setDeviceDescription(nullptr);
        AppConstantTAVI::shared().diagnosticsSink = standardOutputSink();
    }
    std::vector<std::string> takeLines() { return std::exchange(lines_, {}); }

    std::vector<std::string> lines_;
};

const std::regex kUuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");

TEST_F(DeviceIdentity, UserAgentFromInstalledProvider) {
    setDeviceDescription(std::make_shared<FakeDevice>(std::nullopt));
    const std::string expected =
        "deviceModel :: iPhone , systemName :: iOS , systemVersion :: 17.2 SDK VERSION 1.1";
    EXPECT_EQ(TaviUtils().getUserAgent(), expected);
    EXPECT_EQ(TaviUtils().getUserAgent(), expected);
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"iPhone iOS 17.2", "GetUserGentFunction",
                                                     "iPhone iOS 17.2", "GetUserGentFunction"}));
}

TEST_F(DeviceIdentity, UserAgentOfThisMachine) {
    const auto device = systemDeviceDescription();
    EXPECT_EQ(deviceDescription(), device);
    const std::string agent = TaviUtils().getUserAgent();
    EXPECT_EQ(agent.rfind("deviceModel :: ", 0), 0u) << agent;
    const std::string tail = " SDK VERSION 1.1";
    ASSERT_GE(agent.size(), tail.size());
    EXPECT_EQ(agent.substr(agent.size() - tail.size()), tail);
    EXPECT_FALSE(device->model().empty());
    EXPECT_FALSE(device->systemName().empty());
    EXPECT_EQ(agent, "deviceModel :: " + device->model() +
                         " , systemName :: " + device->systemName() +
                         " , systemVersion :: " + device->systemVersion() + tail);
    const auto lines = takeLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              device->model() + " " + device->systemName() + " " + device->systemVersion());
    EXPECT_EQ(lines[1], "GetUserGentFunction");
}

TEST_F(DeviceIdentity, DeviceIdentifierLines) {
    setDeviceDescription(std::make_shared<FakeDevice>(std::nullopt));
    EXPECT_FALSE(TaviUtils::getDeviceIdentifier().has_value());
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"line1", "empty", "line2"}));

    const std::string id = "0F1E2D3C-4B5A-4978-8695-A4B3C2D1E0F9";
    setDeviceDescription(std::make_shared<FakeDevice>(id));
    EXPECT_EQ(TaviUtils::getDeviceIdentifier(), id);
    EXPECT_EQ(takeLines(), (std::vector<std::string>{"line1", id, "line2"}));

    // nullptr puts this machine's provider back.
    setDeviceDescription(nullptr);
    EXPECT_EQ(TaviUtils::getDeviceIdentifier(), systemDeviceDescription()->identifierForVendor());
}

TEST_F(DeviceIdentity, VendorIdentifierOfThisMachineIsStableUuidText) {
    const auto first = systemDeviceDescription()->identifierForVendor();
    if (!first) GTEST_SKIP() << "this host has no readable /etc/machine-id";
    EXPECT_TRUE(std::regex_match(*first, kUuid)) << *first;
    EXPECT_EQ(first, systemDeviceDescription()->identifierForVendor());
    // Derived, not the machine id itself.
    std::string compact;
    for (char c : *first)
        if (c != '-') compact += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(compact.find(std::string(32, '0')), std::string::npos);
}

TEST(Time, MillisTruncateTowardZero) {
    EXPECT_EQ(TaviUtils::millisFromSeconds(1.0005), 1000);
    EXPECT_EQ(TaviUtils::millisFromSeconds(1.001), 1001);
    EXPECT_EQ(TaviUtils::millisFromSeconds(0.0009999), 0);
    EXPECT_EQ(TaviUtils::millisFromSeconds(1700000000.1239), 1700000000123);
    EXPECT_EQ(TaviUtils::millisFromSeconds(-1.0005), -1000);
    EXPECT_EQ(TaviUtils::millisFromSeconds(0.0), 0);
    EXPECT_EQ(TaviUtils::millisFromSeconds(std::nan("")), 0);
    EXPECT_EQ(TaviUtils::millisFromSeconds(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(TaviUtils::millisFromSeconds(-1e300), std::numeric_limits<std::int64_t>::min());
}

TEST(Time, EveryExactMillisecondYieldsItself) {
    for (std::int64_t base : {std::int64_t{0}, std::int64_t{1700000000000}}) {
        for (std::int64_t ms = base; ms < base + 20000; ++ms) {
            const double seconds = static_cast<double>(ms) / 1000.0;
            ASSERT_EQ(TaviUtils::millisFromSeconds(seconds), ms) << ms;
        }
    }
}

TEST(Time, CurrentTimeInMillis) {
    using namespace std::chrono;
    const auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    const auto now = TaviUtils::getCurrentTimeInMillis();
    const auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
    EXPECT_LE(before.count(), now);
    EXPECT_LE(now, after.count());
    EXPECT_GT(now, 1600000000000);
}

}  // namespace
}  // namespace tavi
