#include "exit_codes.h"

namespace tavi::cli {
namespace {

struct ExitCodeText {
    ExitCode code;
    const char* meaning;
};

constexpr ExitCodeText kExitCodeTexts[] = {
    {kExitOk, "done"},
    {kExitUsage, "usage: bad arguments, unknown subcommand or option"},
    {kExitNoCamera, "no camera answered, or none with that serial number"},
    {kExitCameraRefused, "the camera refused control or a command, was lost, or sent no frames"},
    {kExitFeature, "the description has no such feature, or does not allow that value"},
    {kExitFile, "a file could not be read or written"},
    {kExitDoctorFound, "doctor found a problem (its fix is printed with it)"},
    {kExitInterrupted, "capture interrupted by Ctrl-C or SIGTERM (the camera is released first)"},
};

}  // namespace

std::string ExitCodeHelp() {
    std::string text = "Exit codes:\n";
    for (const ExitCodeText& entry : kExitCodeTexts) {
        text += (entry.code < 10 ? "  " : "") + std::string("  ") +
                std::to_string(static_cast<int>(entry.code)) + "  " + entry.meaning + "\n";
    }
    return text;
}

}  // namespace tavi::cli
