// `tavi store status`, `tavi store rekey` and `tavi store reset`: the store's protection.
#include <CLI/CLI.hpp>

#include "cli.hpp"

namespace tavi::cli {
namespace {

Json statusJson(const StoreStatus& status) {
    Json out{{"backend", status.backend},
             {"strength", status.strength},
             {"formatVersion", status.formatVersion},
             {"itemCount", status.itemCount},
             {"migrated", status.migrated},
             {"path", status.path},
             {"chosen", status.chosen}};
    if (!status.caveat.empty()) out["caveat"] = status.caveat;
    return out;
}

void print(const Result<StoreStatus>& result, int& exitCode) {
    if (!result) {
        printResult(errorJson(result.error()));
        exitCode = kExitFailure;
        return;
    }
    printResult(statusJson(result.value()));
}

}  // namespace

void addStoreCommands(CLI::App& store, std::function<bool()> configure,
                      std::function<StoreTarget()> target, int& exitCode) {
    auto* status = store.add_subcommand(
        "status", "how the store is protected: backend, strength, format, items, migration");
    status->footer(
        "\nExample:\n  tavi store status   # {\"backend\":\"tpm\",\"strength\":\"strong\",…}");
    status->callback([configure, &exitCode] {
        if (!configure()) return void(exitCode = kExitFailure);
        print(KeychainManager::status(), exitCode);
    });
    auto* rekey = store.add_subcommand(
        "rekey", "seal every value again under a new data key and destroy the old key");
    rekey->callback([configure, &exitCode] {
        if (!configure()) return void(exitCode = kExitFailure);
        print(KeychainManager::rekeyStore(), exitCode);
    });
    auto* reset = store.add_subcommand(
        "reset",
        "start the store over: every value deleted, a new data key (the device registers again)");
    reset->footer("\nWorks also when the store cannot be opened (its key is gone).");
    reset->callback([target, &exitCode] {
        const StoreTarget where = target();
        print(resetSqliteSecureStore(where.path, where.options), exitCode);
    });
}

}  // namespace tavi::cli
