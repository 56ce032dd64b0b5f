#pragma once
// What `tavi` tells its caller through its exit status: one number per kind of outcome, so that scripts
// can tell a typo from a missing camera from a camera that said no.

#include <string>

namespace tavi::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,          // bad arguments, unknown subcommand or option
    kExitNoCamera = 2,       // no camera answered, or none with the serial number asked for
    kExitCameraRefused = 3,  // the camera refused control or a command, stopped answering, or sent no frames
    kExitFeature = 4,        // a feature the description lacks, or a value it does not allow
    kExitFile = 5,           // a file could not be read or written
    kExitDoctorFound = 6,    // `doctor` found a problem (its fix is printed beside it)
    kExitInterrupted = 130,  // Ctrl-C or SIGTERM stopped a capture (the camera is released first)
};

// The table of exit codes as --help and the README show it.
std::string ExitCodeHelp();

}  // namespace tavi::cli
