// The subcommands that ask no server: the secure store (its values and its protection) and the
// device's identity.

#include "cli.hpp"

namespace tavi::cli {
namespace {

Json statusJson(const Result<StoreStatus>& result) {
    if (!result) return errorJson(result.error());
    const StoreStatus& s = result.value();
    Json out{{"backend", s.backend},     {"strength", s.strength}, {"formatVersion", s.formatVersion},
             {"itemCount", s.itemCount}, {"migrated", s.migrated}, {"path", s.path},
             {"chosen", s.chosen}};
    if (!s.caveat.empty()) out["caveat"] = s.caveat;
    return out;
}

/// The `store` subcommand NAME: configures (unless `opensStore` is false), then prints what
/// `run` gives, exit 1 when that is an error.
CLI::App* storeCommand(CLI::App* store, Context& ctx, const std::string& name,
                       const std::string& summary, std::string_view lines,
                       std::function<Json()> run, bool opensStore = true) {
    CLI::App* command = store->add_subcommand(name, summary);
    if (!lines.empty()) command->footer(example(lines));
    command->callback([&ctx, run = std::move(run), opensStore] {
        if (opensStore && !configure(ctx.globals, true)) return void(ctx.exitCode = kExitFailure);
        const Json out = run();
        if (out.contains("error")) return ctx.fail(out);
        printResult(out);
    });
    return command;
}

void store(CLI::App& app, Context& ctx) {
    struct State {
        std::string name, value;
    };
    auto s = std::make_shared<State>();
    const Globals& g = ctx.globals;
    auto* store = app.add_subcommand("store", "read and write the secure store");
    store->require_subcommand(1);
    store->footer(
        example("  tavi store set IS_REGISTERED true   # {\"status\":0}\n"
                "  tavi store get IS_REGISTERED        # {\"value\":\"true\"}\n"
                "  tavi store delete IS_REGISTERED     # {\"status\":0}"));
    storeCommand(store, ctx, "get", "read a value: {\"value\":…} or null", "  tavi store get taviId",
                 [s] { return Json{{"value", optionalJson(KeychainManager::getPreference(s->name))}}; })
        ->add_option("NAME", s->name, "the value's name, e.g. IS_REGISTERED, taviId, pspId")
        ->required();
    auto* set = storeCommand(
        store, ctx, "set", "write a value; never overwrites (status -25299 when the name exists)",
        "  tavi store delete IS_REGISTERED; tavi store set IS_REGISTERED true",
        [s] { return Json{{"status", KeychainManager::savePreference(s->value, s->name)}}; });
    set->add_option("NAME", s->name, "the value's name")->required();
    set->add_option("VALUE", s->value, "the value")->required();
    storeCommand(store, ctx, "delete", "delete a value (status -25300 when there is none)",
                 "  tavi store delete IS_REGISTERED",
                 [s] { return Json{{"status", KeychainManager::deletePreference(s->name)}}; })
        ->add_option("NAME", s->name, "the value's name")
        ->required();
    storeCommand(store, ctx, "status",
                 "how the store is protected: backend, strength, format, items, migration",
                 "  tavi store status   # {\"backend\":\"tpm\",\"strength\":\"strong\",…}",
                 [] { return statusJson(KeychainManager::status()); });
    storeCommand(store, ctx, "rekey",
                 "seal every value again under a new data key and destroy the old key", "",
                 [] { return statusJson(KeychainManager::rekeyStore()); });
    // Works also when the store cannot be opened (its key is gone).
    storeCommand(
        store, ctx, "reset",
        "start the store over: every value deleted, a new data key (the device registers again)",
        "  tavi store reset   # also when the store cannot be opened (its key is gone)",
        [&g] {
            return statusJson(resetSqliteSecureStore(g.store.empty() ? defaultStorePath() : g.store,
                                                     StoreOptions{g.storeProtection, {}}));
        },
        false);
}

void device(CLI::App& app, Context& ctx) {
    auto* device = app.add_subcommand("device", "show the device identifier and user agent");
    device->footer(example("  tavi device      # {\"deviceId\":…,\"userAgent\":…}"));
    device->callback([&ctx] {
        if (!configure(ctx.globals, false)) return void(ctx.exitCode = kExitFailure);
        printResult(Json{{"deviceId", optionalJson(TaviUtils::getDeviceIdentifier())},
                         {"userAgent", TaviUtils().getUserAgent()}});
    });
}

}  // namespace

void addStoreCommands(CLI::App& app, Context& ctx) {
    if (ctx.wants("store")) store(app, ctx);
    if (ctx.wants("device")) device(app, ctx);
}

}  // namespace tavi::cli
