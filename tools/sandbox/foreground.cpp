// `tavi sandbox`: the sandbox in the foreground until SIGINT or SIGTERM.
#include <pthread.h>

#include <csignal>
#include <iostream>
#include <nlohmann/json.hpp>

#include "sandbox.hpp"

namespace tavi::sandbox {

int runForeground(const Options& options) {
    // Block the signals before any thread starts, so that every thread inherits the mask and
    // only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);

    int status = 0;
    {
        Server server(options);
        if (!server.start()) {
            std::cerr << "sandbox: " << server.lastError() << std::endl;
            status = 1;
        } else {
            nlohmann::ordered_json line = {{"url", server.url()},
                                           {"serverPublicKey", server.serverPublicKey()},
                                           {"caFile", server.caFile()}};
            std::cout << line.dump() << std::endl;
            int received = 0;
            sigwait(&stopSignals, &received);
            server.stop();
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

}  // namespace tavi::sandbox
