// `tavi pending`: the journal of outcomes unknown in the store, one JSON line per record (none
// when it is empty); `--settle MSGID` removes one record once its outcome is known.

#include <iostream>

#include "cli.hpp"

namespace tavi::cli {

void addPendingCommand(CLI::App& app, Context& ctx) {
    if (!ctx.wants("pending")) return;
    auto settle = std::make_shared<std::string>();
    auto* command = app.add_subcommand(
        "pending", "list the state-changing requests whose answers were never handled");
    command->add_option("--settle", *settle,
                        "remove the record of this msgId (its outcome is known): "
                        "{\"settled\":true|false}");
    command->footer(example(
        "  tavi pending   # {\"operation\":\"validateOtp\",\"msgId\":…,\"txnId\":…,\"recordedAt\":…}\n"
        "  tavi pending --settle MSGID"));
    command->callback([&ctx, settle] {
        if (!configure(ctx.globals, true)) return void(ctx.exitCode = kExitFailure);
        const Client client;
        if (!settle->empty()) {
            const auto settled = client.settleOutcome(*settle);
            if (!settled) return ctx.fail(errorJson(settled.error()));
            return printResult(Json{{"settled", settled.value()}});
        }
        const auto records = client.pendingOutcomes();
        if (!records) return ctx.fail(errorJson(records.error()));
        for (const auto& record : records.value()) std::cout << record.json() << '\n';
        std::cout.flush();
    });
}

}  // namespace tavi::cli
