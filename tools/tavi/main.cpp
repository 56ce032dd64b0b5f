// tavi: find, inspect, configure and read GigE Vision 3D cameras.

#include <CLI/CLI.hpp>
#include <csignal>
#include <vector>

#include "commands.h"
#include "exit_codes.h"

namespace {

constexpr const char* kNextSteps =
    "\nFirst steps: `tavi list` finds the cameras, `tavi info SERIAL` connects to one, `tavi capture SERIAL "
    "--preview out.png` shows that it works, and `tavi doctor` checks this PC's network settings.\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace tavi::cli;
    // Output piped into a reader that stops early (`tavi dump | head`) must not kill the tool before
    // it gives the camera's control back; the failed writes are harmless.
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"tavi - find, configure and read GigE Vision 3D cameras"};
    app.require_subcommand(1);
    app.footer(std::string(kNextSteps) + "\n" + ExitCodeHelp());
    const std::vector<Command> commands = {
        AddListCommand(app),     AddInfoCommand(app),    AddGetCommand(app),    AddSetCommand(app),
        AddDumpCommand(app),     AddCaptureCommand(app), AddStatsCommand(app),  AddSaveXmlCommand(app),
        AddFirmwareCommand(app), AddForceIpCommand(app), AddDoctorCommand(app),
    };
    for (const Command& command : commands) command.app->footer(ExitCodeHelp());
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help is a success; every other refusal of the command line is a usage error.
        return app.exit(error) == 0 ? kExitOk : kExitUsage;
    }
    for (const Command& command : commands) {
        if (command.app->parsed()) return command.run();
    }
    return kExitUsage;
}
