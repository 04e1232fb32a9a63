// The subcommands that ask no server: the secure store and the device's identity.

#include "options.hpp"

namespace tavi::cli {
namespace {

/// The `store` subcommand NAME's command: configures, then prints what `run` gives.
CLI::App* storeCommand(CLI::App* store, Context& ctx, const std::string& name,
                       const std::string& summary, const std::string& lines,
                       std::function<Json()> run) {
    CLI::App* command = store->add_subcommand(name, summary);
    command->footer(example(lines));
    command->callback([&ctx, run = std::move(run)] {
        if (!configure(ctx.globals, true)) return void(ctx.exitCode = kExitFailure);
        printResult(run());
    });
    return command;
}

void store(CLI::App& app, Context& ctx) {
    struct State {
        std::string name, value;
    };
    auto s = std::make_shared<State>();
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
    addStoreProtectionCommands(*store, ctx);
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
    store(app, ctx);
    device(app, ctx);
}

}  // namespace tavi::cli
