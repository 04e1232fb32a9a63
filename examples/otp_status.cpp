// Polls a transaction's OTP status until the server stops reporting it pending.
// The sandbox's transaction DEMO-TXN-1 is pending for three polls, then verified.
#include <chrono>
#include <thread>

#include "example.hpp"

int main(int argc, char** argv) {
    ExampleArgs args;
    if (!setUp(argc, argv, args)) return 2;

    for (int poll = 1; poll <= 10; ++poll) {
        std::string status;
        tavi::TaviApiService::shared().checkOtpStatus("DEMO-TXN-1",
                                                      [&](const std::string& s) { status = s; });
        std::printf("poll %d: %s\n", poll, status.c_str());
        if (status == "stop") return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 1;
}
