// `tavi save-xml SERIAL DIRECTORY`: saves the camera's device description file as the camera serves it.

#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>

#include "camera_session.h"
#include "commands.h"
#include "exit_codes.h"

namespace tavi::cli {
namespace {

struct SaveXmlOptions {
    std::string serial;
    std::string directory = ".";
};

int RunSaveXml(const SaveXmlOptions& options) {
    struct stat status {};
    if (stat(options.directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        std::fprintf(stderr, "tavi: %s is not a directory; create it first\n", options.directory.c_str());
        return kExitFile;
    }
    int exit_code = kExitOk;
    const std::unique_ptr<CameraSession> session = OpenCamera(options.serial, &exit_code);
    if (!session) return exit_code;
    GigeCamera& camera = session->camera();
    const int saved = camera.SaveXmlToLocal(options.directory);
    if (saved != 0) {
        std::fprintf(stderr, "tavi: the description could not be saved into %s (%s)\n",
                     options.directory.c_str(), ResultText(saved).c_str());
        return kExitFile;
    }
    std::printf("saved %s/%s.%s (%d bytes)\n", options.directory.c_str(), camera.xml_file_name.c_str(),
                camera.xml_file_type.c_str(), camera.xml_length);
    return kExitOk;
}

}  // namespace

Command AddSaveXmlCommand(CLI::App& app) {
    auto* command =
        app.add_subcommand("save-xml", "Save the camera's device description file into a directory");
    auto options = std::make_shared<SaveXmlOptions>();
    command->add_option("serial", options->serial, "Serial number of the camera")->required();
    command->add_option("directory", options->directory, "Where to save it (default: here)");
    return {command, [options] { return RunSaveXml(*options); }};
}

}  // namespace tavi::cli
