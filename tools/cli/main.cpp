// tavi — drive every public operation of the library from the command line.
//
// Standard output holds exactly one line: a JSON object with the result. The library's diagnostic
// lines go to standard error (or nowhere with --quiet).

#include <memory>

#include "cli.hpp"

namespace {

/// The command line's grammar: the global options, and the commands `ctx.wants`. With `argv`,
/// only the command it names (when it can tell; see commandNamed).
std::unique_ptr<CLI::App> commandLine(tavi::cli::Context& ctx, int argc,
                                      const char* const* argv) {
    using namespace tavi;
    using namespace tavi::cli;
    auto app = std::make_unique<CLI::App>(
        "tavi — payment SDK command-line tool: drives each operation of the library "
        "and prints its result as one JSON line on standard output.");
    // Global options may also follow the command: a command hands the options it does not know
    // to the main command (set before the commands are added, which inherit it).
    app->fallthrough();
    app->name("tavi");  // the help says "tavi", however the program was started
    app->require_subcommand(1);
    app->set_version_flag("--version", std::string(taviVersionString), "print the version and exit");
    app->footer(
        "\nGlobal options may come before or after the command. Secret options (" +
        secretOptions() +
        ") take - (one line from standard input, in command-line order) or @FILE (a file only "
        "you can read, chmod 600); a secret written on the command line is refused (exit 2), "
        "since other users of this machine can read it there.\n"
        "Exit status: 0 the operation succeeded, 1 it failed (the error is the JSON line), "
        "2 usage error (message on standard error).\n"
        "\nExample:\n"
        "  tavi sandbox --tls --state /tmp/sbx &\n"
        "  tavi otp-status --txn-id DEMO-TXN-1 --server https://127.0.0.1:PORT "
        "--ca-file /tmp/sbx/ca.pem\n"
        "  tavi COMMAND --help");
    addGlobalOptions(*app, ctx.globals);
    ctx.only = argv != nullptr ? commandNamed(*app, argc, argv) : std::string();
    addOperationCommands(*app, ctx);
    addStoreCommands(*app, ctx);
    addSandboxCommands(*app, ctx);
    addPendingCommand(*app, ctx);
    return app;
}

bool hasCommand(CLI::App& app, const std::string& name) {
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        if (command->get_name() == name) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace tavi;
    using namespace tavi::cli;

    // Only the command named is set up (the others' options are never read), unless the name
    // is not a command: then every command is, so that the usage error is the same.
    Context ctx;
    ctx.argv = argv;
    std::unique_ptr<CLI::App> app = commandLine(ctx, argc, argv);
    if (!ctx.only.empty() && !hasCommand(*app, ctx.only)) app = commandLine(ctx, 0, nullptr);
    if (!ctx.only.empty() && handedOver(ctx.only)) return handOver(argv);

    try {
        app->parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // An unknown option comes first: otherwise a required option it pushed aside would be
        // reported instead, and CLI11's own message would repeat any value left over.
        if (e.get_exit_code() != 0) {
            if (auto unknown = unknownArguments(*app); !unknown.empty()) return usageError(unknown);
        }
        const int rc = app->exit(e);
        return rc == 0 ? 0 : kExitUsage;
    } catch (const UsageError& e) {
        return usageError(e.message);
    }
    return ctx.exitCode;
}
