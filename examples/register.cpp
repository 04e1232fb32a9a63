// Registers this device and its user, marks it registered, and asks the server to confirm.
#include "example.hpp"

int main(int argc, char** argv) {
    ExampleArgs args;
    if (!setUp(argc, argv, args)) return 2;
    const std::string mobile = "+15550100";

    bool done = false;
    tavi::DeviceRegistrationController().startDeviceRegistration(
        true, args.serverPublicKey, mobile, "REG-EXAMPLE-1", "com.example.wallet",
        [&](const std::string& result) { done = (result == "done"); },
        [](const tavi::Error& e) {
            std::fprintf(stderr, "registration failed: %s\n", e.description().c_str());
        });
    if (!done) return 1;

    // Marking the device registered is the host's job.
    tavi::KeychainManager::deletePreference(tavi::SessionManager::IS_REGISTERED);
    tavi::KeychainManager::savePreference("true", tavi::SessionManager::IS_REGISTERED);

    bool registered = false;
    tavi::TaviUtils::getCheckDeviceRegistered(mobile, [&](bool r) { registered = r; });
    std::printf("registered: %s\n", registered ? "yes" : "no");
    return registered ? 0 : 1;
}
