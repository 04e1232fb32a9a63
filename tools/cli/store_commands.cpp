// `tavi store status`, `tavi store rekey` and `tavi store reset`: the store's protection.
#include <CLI/CLI.hpp>

#include "options.hpp"

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

void addStoreProtectionCommands(CLI::App& store, Context& ctx) {
    auto* status = store.add_subcommand(
        "status", "how the store is protected: backend, strength, format, items, migration");
    status->footer(
        "\nExample:\n  tavi store status   # {\"backend\":\"tpm\",\"strength\":\"strong\",…}");
    status->callback([&ctx] {
        if (!configure(ctx.globals, true)) return void(ctx.exitCode = kExitFailure);
        print(KeychainManager::status(), ctx.exitCode);
    });
    auto* rekey = store.add_subcommand(
        "rekey", "seal every value again under a new data key and destroy the old key");
    rekey->callback([&ctx] {
        if (!configure(ctx.globals, true)) return void(ctx.exitCode = kExitFailure);
        print(KeychainManager::rekeyStore(), ctx.exitCode);
    });
    auto* reset = store.add_subcommand(
        "reset",
        "start the store over: every value deleted, a new data key (the device registers again)");
    reset->footer("\nWorks also when the store cannot be opened (its key is gone).");
    reset->callback([&ctx] {
        const Globals& g = ctx.globals;
        print(resetSqliteSecureStore(g.store.empty() ? defaultStorePath() : g.store,
                                     StoreOptions{g.storeProtection, {}}),
              ctx.exitCode);
    });
}

}  // namespace tavi::cli
