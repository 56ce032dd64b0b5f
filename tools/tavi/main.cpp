// tavi: list, inspect, configure and capture from GigE Vision 3D cameras.

#include <CLI/CLI.hpp>

#include "commands.h"

int main(int argc, char** argv) {
    CLI::App app{"tavi - find, configure and read GigE Vision 3D cameras"};
    app.require_subcommand(1);
    tavi::cli::AddListCommand(app);
    tavi::cli::AddForceIpCommand(app);
    tavi::cli::AddInfoCommand(app);
    tavi::cli::AddCaptureCommand(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
