#pragma once
// The subcommands of the tavi tool. Each registers its options on the application and returns what
// runs it once the command line has been parsed; that returns the tool's exit code.

#include <CLI/CLI.hpp>
#include <functional>

namespace tavi::cli {

struct Command {
    CLI::App* app;
    std::function<int()> run;
};

Command AddListCommand(CLI::App& app);
Command AddInfoCommand(CLI::App& app);
Command AddGetCommand(CLI::App& app);
Command AddSetCommand(CLI::App& app);
Command AddDumpCommand(CLI::App& app);
Command AddCaptureCommand(CLI::App& app);
Command AddStatsCommand(CLI::App& app);
Command AddSaveXmlCommand(CLI::App& app);
Command AddFirmwareCommand(CLI::App& app);
Command AddForceIpCommand(CLI::App& app);
Command AddDoctorCommand(CLI::App& app);

}  // namespace tavi::cli
