#pragma once
// The subcommands of the tavi tool; each registers its options on the application.

#include <CLI/CLI.hpp>

namespace tavi::cli {

void AddListCommand(CLI::App& app);
void AddForceIpCommand(CLI::App& app);
void AddInfoCommand(CLI::App& app);
void AddCaptureCommand(CLI::App& app);

}  // namespace tavi::cli
