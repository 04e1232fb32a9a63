// The sandbox's commands in `tavi`: carried out by tavi-sandbox, the same command with the
// sandbox server linked in, which this program becomes for them. Linked here, the server (with
// cpp-httplib) was loaded and its symbols bound at every start of every command: about a tenth
// of a one-shot status poll's instructions, for commands that never start a server.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>

#include "cli.hpp"

#ifndef TAVI_SANDBOX_PROGRAM
#define TAVI_SANDBOX_PROGRAM "tavi-sandbox"
#endif

namespace tavi::cli {
namespace {

/// tavi-sandbox beside this program: where it is installed (TAVI_SANDBOX_PROGRAM, relative to
/// this program's directory), else in the same directory (the build tree). Found from this
/// program's own file, never from the environment or the search path.
std::string sandboxProgram() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return TAVI_SANDBOX_PROGRAM;
    const std::filesystem::path installed = self.parent_path() / TAVI_SANDBOX_PROGRAM;
    if (::access(installed.c_str(), X_OK) == 0) return installed;
    return self.parent_path() / "tavi-sandbox";
}

}  // namespace

bool handedOver(std::string_view name) {
    for (const auto& [command, summary] : kSandboxCommands) {
        if (command == name) return true;
    }
    return false;
}

int handOver(char** argv) {
    const std::string program = sandboxProgram();
    ::execv(program.c_str(), argv);
    std::cerr << "tavi: cannot run " << program << ", which carries out the sandbox's commands: "
              << std::strerror(errno) << std::endl;
    return kExitFailure;
}

void addSandboxCommands(CLI::App& app, Context& ctx) {
    // Listed in the help as they are; whatever follows them is tavi-sandbox's to parse.
    for (const auto& [name, summary] : kSandboxCommands) {
        if (!ctx.wants(name)) continue;
        CLI::App* command = app.add_subcommand(std::string(name), std::string(summary));
        command->set_help_flag();
        command->prefix_command();
        command->allow_extras();
        command->callback([&ctx] { ctx.exitCode = handOver(ctx.argv); });
    }
}

}  // namespace tavi::cli
