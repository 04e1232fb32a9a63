// The subcommands around the sandbox server: run it, shape its answers, and the demo.

#include <climits>

#include "cli.hpp"
#include "sandbox.hpp"

namespace tavi::cli {
namespace {

/// An option that takes a whole number from `min` to `max` (`rule` says so in the error).
template <class T>
CLI::Option* number(CLI::App* app, const std::string& name, T& target, const std::string& help,
                    long min, long max, const std::string& rule) {
    return app->add_option(name, target, help)->type_name("N")->check(wholeNumber(min, max, rule));
}

void sandboxServer(CLI::App& app, Context& ctx) {
    auto options = std::make_shared<sandbox::Options>();
    auto* sb = app.add_subcommand("sandbox", std::string(kSandboxCommands[0].second));
    sb->add_option("--host", options->host,
                   "loopback address to bind: 127.0.0.1 (default), another 127.x.y.z, ::1 or "
                   "localhost")
        ->type_name("ADDRESS");
    number(sb, "--port", options->port,
           "port, 1 to 65535, or 0 for an ephemeral port (default 0); a port in use is an error",
           0, 65535, "1 to 65535, or 0 for an ephemeral port");
    sb->add_flag("--tls", options->tls, "serve HTTPS with a generated test CA");
    sb->add_option("--state", options->stateDir,
                   "directory for the server key, CA and certificate, kept across runs "
                   "(default: a temporary directory)")
        ->type_name("DIR");
    number(sb, "--keep-alive", options->keepAliveSeconds,
           "seconds an idle kept connection stays open, 1 to 3600 (default 1); answers say so "
           "in Keep-Alive: timeout=N",
           1, 3600, "1 to 3600")
        ->type_name("SECONDS");
    sb->footer(
        example("  tavi sandbox --tls --port 8443 --state /tmp/sbx > sandbox.out &\n"
                "  # first line: {\"url\":…,\"serverPublicKey\":…,\"caFile\":…}; SIGINT or SIGTERM "
                "stops it.\n"
                "  # Test credentials, cards, faults and control endpoints: docs/SANDBOX.md"));
    sb->callback([options, &ctx] { ctx.exitCode = sandbox::runForeground(*options); });
}

/// sandbox-fault's options, and the options that only make sense with --kind.
struct FaultOptions {
    sandbox::Fault fault;
    std::string endpoint, kindName, errorCode, errorReason;
    bool clear = false;
    CLI::Option* code = nullptr;
    CLI::Option* reason = nullptr;
    std::vector<CLI::Option*> faultOnly;
};

/// The fault the options describe; a UsageError when they describe none.
sandbox::Fault faultFrom(const FaultOptions& o) {
    if (o.kindName.empty()) throw UsageError{"sandbox-fault needs --kind KIND, or --clear"};
    const auto kind = sandbox::faultKindFromName(o.kindName);
    if (!kind || o.kindName == "none") {
        throw UsageError{"--kind " + o.kindName + ": not a fault; use one of " +
                         joined(sandbox::faultKindNames())};
    }
    sandbox::Fault fault = o.fault;
    if (!o.endpoint.empty()) {
        auto path = sandbox::endpointPath(o.endpoint);
        if (!path) {
            throw UsageError{"--endpoint " + o.endpoint + ": not an endpoint; use one of " +
                             joined(sandbox::endpointNames()) + ", or a path"};
        }
        fault.path = *path;
    }
    fault.kind = *kind;
    if (o.code->count() > 0) fault.errorCode = o.errorCode;
    if (o.reason->count() > 0) fault.errorReason = o.errorReason;
    return fault;
}

/// Sends the fault (or the clearing) to the sandbox and prints what it answered.
void sendFault(const FaultOptions& o, Context& ctx) {
    const Globals& g = ctx.globals;
    if (g.server == kProductionServerURL) {
        throw UsageError{"sandbox-fault needs --server (or $TAVI_SERVER_URL) with the sandbox's URL"};
    }
    Json out = Json{{"ok", true}};
    sandbox::ControlAnswer answer;
    if (o.clear) {
        for (const auto* option : o.faultOnly) {
            if (option->count() > 0) throw UsageError{"--clear takes no " + option->get_name()};
        }
        answer = sandbox::sendClearFaults(g.server, g.caFile);
        out["cleared"] = true;
    } else {
        const sandbox::Fault fault = faultFrom(o);
        answer = sandbox::sendFault(g.server, g.caFile, fault);
        out["fault"] = Json::parse(sandbox::faultJson(fault));
    }
    if (answer.status == 200) return printResult(out);
    std::string message = answer.error;
    if (answer.status != 0) {
        Json body = Json::parse(answer.body, nullptr, false);
        message = "the sandbox answered HTTP " + std::to_string(answer.status);
        if (body.is_object() && body.contains("error") && body["error"].is_string()) {
            message += ": " + body["error"].get<std::string>();
        }
    }
    ctx.fail(Json{{"error", {{"domain", "SandboxControlError"},
                             {"code", answer.status},
                             {"message", message}}}});
}

void sandboxFault(CLI::App& app, Context& ctx) {
    auto o = std::make_shared<FaultOptions>();
    auto* sf = app.add_subcommand("sandbox-fault", std::string(kSandboxCommands[1].second));
    sf->add_option("--endpoint", o->endpoint,
                   "endpoint whose answers the fault shapes: " + joined(sandbox::endpointNames()) +
                       ", or a path starting with /; omitted: every endpoint")
        ->type_name("NAME");
    o->faultOnly = {
        sf->add_option("--kind", o->kindName, "fault: " + joined(sandbox::faultKindNames()))
            ->type_name("KIND"),
        number(sf, "--status", o->fault.status,
               "HTTP status, 100 to 599 (status, body, emptyBody, nonJson, oversized)", 100, 599,
               "an HTTP status, 100 to 599"),
        sf->add_option("--body", o->fault.body, "the answer's body (body)")->type_name("TEXT"),
        number(sf, "--delay-ms", o->fault.delayMs, "delay before the answer, at least 1 (delay)",
               1, INT_MAX, "a whole number of milliseconds, at least 1"),
        number(sf, "--size", o->fault.size,
               "body size in bytes, up to 64 MiB (oversized; default 8 MiB)", 0, 64L << 20,
               "a number of bytes, 0 to 67108864 (64 MiB)"),
        o->code = sf->add_option("--error-code", o->errorCode,
                                 "errorCode of the refusal (refusal, refusalNoPayload)")
                      ->type_name("TEXT"),
        o->reason = sf->add_option("--error-reason", o->errorReason,
                                   "errorReason of the refusal (refusal, refusalNoPayload)")
                        ->type_name("TEXT"),
        number(sf, "--times", o->fault.times,
               "apply to this many requests, at least 1 (default: until cleared)", 1, INT_MAX,
               "a whole number, at least 1"),
    };
    sf->add_flag("--clear", o->clear, "clear every fault instead");
    sf->footer(example(
        "  tavi sandbox-fault --server http://127.0.0.1:8080 --endpoint retrieve-key --kind "
        "refusal --error-code U30 --times 1\n"
        "  tavi sandbox-fault --server https://127.0.0.1:8443 --ca-file /tmp/sbx/ca.pem --clear\n"
        "  # prints {\"ok\":true,\"fault\":{…}} or {\"ok\":true,\"cleared\":true}; a sandbox that "
        "cannot be reached or refuses: an error value, exit 1"));
    sf->callback([o, &ctx] { sendFault(*o, ctx); });
}

void demo(CLI::App& app, Context& ctx) {
    auto verbose = std::make_shared<bool>(false);
    auto* demo = app.add_subcommand("demo", std::string(kSandboxCommands[2].second));
    demo->add_flag("--verbose", *verbose, "also show the library's diagnostic lines");
    demo->footer(example("  tavi demo --verbose"));
    demo->callback([verbose, &ctx] { ctx.exitCode = runDemo(*verbose); });
}

}  // namespace

bool handedOver(std::string_view) {
    return false;  // this is tavi-sandbox
}

int handOver(char**) {
    return kExitFailure;
}

void addSandboxCommands(CLI::App& app, Context& ctx) {
    if (ctx.wants("sandbox")) sandboxServer(app, ctx);
    if (ctx.wants("sandbox-fault")) sandboxFault(app, ctx);
    if (ctx.wants("demo")) demo(app, ctx);
}

}  // namespace tavi::cli
