// What every example does first: read its arguments, configure the library, open the store.
#pragma once

#include <cstdio>
#include <string>
#include <tavi/tavi.hpp>

struct ExampleArgs {
    std::string serverURL;
    std::string serverPublicKey;  // the server's public key, passed to registration
    std::string caFile;           // the CA that signed the server's certificate
    std::string storePath;        // the secure store (SQLite file)
};

/// Parses "SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH" and configures the library.
/// Returns false (with a message) when the arguments or the store are unusable.
inline bool setUp(int argc, char** argv, ExampleArgs& args) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s SERVER_URL SERVER_PUBLIC_KEY CA_FILE STORE_PATH\n",
                     argv[0]);
        return false;
    }
    args = {argv[1], argv[2], argv[3], argv[4]};

    auto& config = tavi::AppConstantTAVI::shared();
    config.serverURL = args.serverURL;
    config.caFile = args.caFile;
    config.appId = "com.example.wallet";
    config.pspOrgId = "PSPORG-EXAMPLE";
    config.timeoutMilliseconds = 15000;
    config.logLevel = tavi::LogLevel::off;  // production setting: no diagnostic lines

    auto store = tavi::openSqliteSecureStore(args.storePath);
    if (!store) {
        std::fprintf(stderr, "store: %s\n", store.error().description().c_str());
        return false;
    }
    tavi::KeychainManager::setStore(store.value());
    return true;
}
